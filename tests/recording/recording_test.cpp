// The ".vzr" container without the tool or a camera: what is written is read
// back field for field, frames are found by sequence number, a writer cut off
// between commits leaves a whole recording of its committed frames, and a
// file whose tables were tampered with is refused naming what is wrong.
#include "recording/recording.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace {

namespace fs = std::filesystem;

vzrec::Header sample_header() {
    vzrec::Header h;
    h.meta = {{"product", "VZ-E1-660"}, {"serial", "0042"}};
    h.params = {{0, {1, 2, 3}}, {17, std::vector<uint8_t>(18, 0xab)}};
    h.registers = {{{0, 0x10}, 0xdeadbeefu}, {{2, 0xffff}, 7u}};
    h.images = {{0, 1, std::vector<uint8_t>(3000, 0x5a)}, {5, 65535, {9}}};
    return h;
}

vzrec::Frame sample_frame(int i) {
    vzrec::Frame f;
    f.host_ns = 1'000'000 * i;
    f.frame_idx = uint16_t(65534 + i);  // wraps, as the camera's counter does
    f.frame_format = 3;
    f.width = 320;
    f.height = 240;
    f.pixel_depth = 12;
    f.sensor_data = {uint8_t(i), 1, 2, 3, 4, 5, 6, 7};
    f.data.resize(320 * 240 * 2);
    for (size_t k = 0; k < f.data.size(); ++k) f.data[k] = uint8_t(k * 7 + i);
    return f;
}

// A recording of `frames` frames in a fresh file in the working folder.
std::string make(const std::string &name, int frames) {
    const std::string path = "vzr_" + name;
    vzrec::Writer w(path);
    w.write_header(sample_header());
    for (int i = 0; i < frames; ++i) w.add_frame(sample_frame(i));
    w.close();
    return path;
}

void sql(const std::string &path, const std::string &statements) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char *err = nullptr;
    const int rc = sqlite3_exec(db, statements.c_str(), nullptr, nullptr, &err);
    const std::string why = err ? err : "";
    sqlite3_free(err);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << why;
}

std::string refusal(const std::string &path) {
    try {
        vzrec::Reader r(path);
        vzrec::Frame f;
        for (int64_t s = 0; r.frame_at(s, f); s = f.seq + 1) {}
    } catch (const vzrec::RecordingError &e) {
        return e.what();
    }
    return "";
}

TEST(Recording, RoundTripKeepsEveryField) {
    const std::string path = make("roundtrip.vzr", 11);
    vzrec::Reader r(path);
    const vzrec::Header want = sample_header();
    EXPECT_EQ(r.header().meta, want.meta);
    EXPECT_EQ(r.header().params, want.params);
    EXPECT_EQ(r.header().registers, want.registers);
    ASSERT_EQ(r.header().images.size(), want.images.size());
    for (size_t i = 0; i < want.images.size(); ++i) {
        EXPECT_EQ(r.header().images[i].type, want.images[i].type);
        EXPECT_EQ(r.header().images[i].version, want.images[i].version);
        EXPECT_EQ(r.header().images[i].bytes, want.images[i].bytes);
    }
    EXPECT_EQ(r.header().get("serial"), "0042");
    EXPECT_EQ(r.header().get("absent", "none"), "none");
    ASSERT_EQ(r.frame_count(), 11);

    vzrec::Frame f;
    for (int i = 0; i < 11; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(r.frame_at(i, f));
        const vzrec::Frame w = sample_frame(i);
        EXPECT_EQ(f.seq, i);
        EXPECT_EQ(f.host_ns, w.host_ns);
        EXPECT_EQ(f.frame_idx, w.frame_idx);
        EXPECT_EQ(f.frame_format, w.frame_format);
        EXPECT_EQ(f.width, w.width);
        EXPECT_EQ(f.height, w.height);
        EXPECT_EQ(f.pixel_depth, w.pixel_depth);
        EXPECT_EQ(f.sensor_data, w.sensor_data);
        EXPECT_EQ(f.data, w.data);
    }
    EXPECT_FALSE(r.frame_at(11, f));
    // Random access, backwards too.
    ASSERT_TRUE(r.frame_at(3, f));
    EXPECT_EQ(f.seq, 3);
    fs::remove(path);
}

TEST(Recording, SeekFindsTheNextFrameAfterAGap) {
    const std::string path = make("gap.vzr", 6);
    sql(path, "DELETE FROM frames WHERE seq IN (2, 3);");
    vzrec::Reader r(path);
    EXPECT_EQ(r.frame_count(), 4);
    vzrec::Frame f;
    ASSERT_TRUE(r.frame_at(2, f));
    EXPECT_EQ(f.seq, 4);
    EXPECT_EQ(f.data, sample_frame(4).data);
    fs::remove(path);
}

TEST(Recording, AWriterCutOffLeavesItsCommittedFrames) {
    const std::string path = std::string("vzr_cut.vzr");
    std::ofstream(path + "-journal") << "left by a killed writer";
    vzrec::Writer w(path);
    w.write_header(sample_header());
    for (int i = 0; i < 3; ++i) w.add_frame(sample_frame(i));
    w.commit();
    w.add_frame(sample_frame(3));  // in an open batch, as when the writer is killed
    {
        vzrec::Reader r(path);
        EXPECT_EQ(r.frame_count(), 3);
    }
    w.close();
    EXPECT_EQ(vzrec::Reader(path).frame_count(), 4);
    EXPECT_THROW(w.add_frame(sample_frame(4)), vzrec::RecordingError);
    // A new writer replaces the file.
    vzrec::Writer again(path);
    again.write_header(sample_header());
    again.close();
    EXPECT_EQ(vzrec::Reader(path).frame_count(), 0);
    fs::remove(path);
}

TEST(Recording, DamagedOrHostileFilesAreRefused) {
    const struct {
        const char *name, *tamper, *why;
    } cases[] = {
        {"app.vzr", "PRAGMA application_id=7;", "another application"},
        {"version.vzr", "PRAGMA user_version=2;", "format version 2"},
        {"view.vzr", "DROP TABLE images; CREATE VIEW images AS SELECT 1 AS type;",
         "tables missing"},
        {"product.vzr", "DELETE FROM meta WHERE key = 'product';", "no product"},
        {"meta.vzr", "INSERT INTO meta VALUES('long', printf('%.5000c', 'x'));", "metadata"},
        {"param.vzr", "INSERT INTO params VALUES(300, x'00');", "parameter 300"},
        {"param_len.vzr", "UPDATE params SET value = zeroblob(19) WHERE id = 0;", "parameter 0"},
        {"reg.vzr", "INSERT INTO registers VALUES(0, 1, 4294967296);", "register"},
        {"reg_addr.vzr", "INSERT INTO registers VALUES(0, 65536, 1);", "register"},
        {"image.vzr", "UPDATE images SET version = 65536 WHERE type = 0;", "flash image"},
        {"width.vzr", "UPDATE frames SET width = 8193 WHERE seq = 1;", "frame 1: a header field"},
        {"depth.vzr", "UPDATE frames SET pixel_depth = 256 WHERE seq = 0;", "frame 0"},
        {"sensor.vzr", "UPDATE frames SET sensor_data = x'00' WHERE seq = 2;", "frame 2"},
        {"text.vzr", "UPDATE frames SET frame_idx = 'one' WHERE seq = 0;", "frame 0"},
        {"crc_type.vzr", "UPDATE frames SET crc32 = 1.5 WHERE seq = 1;", "frame 1"},
        {"empty.vzr", "UPDATE frames SET data = x'' WHERE seq = 1;", "frame 1"},
        {"damaged.vzr", "UPDATE frames SET data = x'0102' WHERE seq = 2;", "frame 2: its data"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = make(c.name, 3);
        sql(path, c.tamper);
        const std::string why = refusal(path);
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
        fs::remove(path);
    }
    const std::string text = std::string("vzr_text.vzr");
    std::ofstream(text) << "not a database at all";
    EXPECT_NE(refusal(text).find("no SQLite header"), std::string::npos);
    EXPECT_FALSE(vzrec::looks_like_recording(text));
    EXPECT_FALSE(vzrec::looks_like_recording(text + ".absent"));
    EXPECT_NE(refusal(text + ".absent").find("no SQLite header"), std::string::npos);
    fs::remove(text);
}

TEST(Recording, ChecksumIsZlibCrc32) {
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(vzrec::crc_of(text, sizeof text), 0xCBF43926u);  // the CRC-32 check value
    EXPECT_EQ(vzrec::crc_of(text, 0), 0u);
}

}  // namespace
