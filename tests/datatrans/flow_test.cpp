// Writing data images into the virtual camera's flash and reading them back.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <thread>

#include "datatrans/dt_fixture.h"

using vcam::Fault;

namespace {

uint32_t u32_at(const Bytes &b, size_t off) {
    return uint32_t(b[off]) | uint32_t(b[off + 1]) << 8 | uint32_t(b[off + 2]) << 16 |
           uint32_t(b[off + 3]) << 24;
}

bool exists(const char *path) {
    struct stat st;
    return stat(path, &st) == 0;
}

// Progress reports of one flow.
struct Reports {
    std::vector<std::pair<uint32_t, uint32_t>> calls;
    vizor_dev_t *dev = nullptr;
    std::vector<int> busy;  // the device's busy mark seen at each report
    static void cb(void *user, uint32_t done, uint32_t total) {
        auto *r = static_cast<Reports *>(user);
        r->calls.emplace_back(done, total);
        if (r->dev) r->busy.push_back(r->dev->api_busy);
    }
};

}  // namespace

// ---- write: records and chunking ------------------------------------------------

TEST_F(DataVcam, LastChunkOfThreeBytesTravelsAsNineBytes) {
    write_file("abc.bin", {'a', 'b', 'c'});
    EXPECT_EQ(vizor_bin_data_write(ll, 5, 1, 0, "abc.bin"), 1);

    const auto chunks = data_cmds(AL_ACT_DATA);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].out, (Bytes{0xD6, 0x9D, 0x03, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63}));
    EXPECT_EQ(flash(5), (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(cam->fw().image(5)->version, 1);
    EXPECT_TRUE(log.has("[vizor_bin_data_write] Data transfer finished.\n"));
}

TEST_F(DataVcam, AnnouncementEraseAndInfoQueryCarryTheirRecords) {
    write_file("img.bin", random_image(3000, 1));
    ASSERT_EQ(vizor_bin_data_write(ll, 7, 0x0203, 0, "img.bin"), 1);

    // The version gate asks about type 0 whatever type is written.
    const auto info = data_cmds(AL_ACT_GET_INFO);
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].out, Bytes(16, 0));
    const auto ann = data_cmds(AL_ACT_WRITE_INFO);
    ASSERT_EQ(ann.size(), 1u);
    EXPECT_EQ(ann[0].out, (Bytes{7, 0, 0x03, 0x02, 0xB8, 0x0B, 0, 0, 0, 0, 0, 0}));
    const auto erase = data_cmds(AL_ACT_ERASE);
    ASSERT_EQ(erase.size(), 1u);
    EXPECT_EQ(erase[0].out, (Bytes{7, 0xB8, 0x0B, 0, 0, 0xFA, 0x03, 0, 0, 0, 0, 0, 0}));
    // Every acknowledgement read sends 13 zero bytes first.
    for (const auto &a : data_cmds(AL_ACT_ACK)) EXPECT_EQ(a.out, Bytes(13, 0));

    EXPECT_TRUE(log.has("[INF] [vizor_bin_data_write] name:img.bin, type:7, version:515\n"));
    EXPECT_TRUE(log.has("[INF] [vizor_bin_data_write] File size:3000\n"));
    EXPECT_TRUE(log.has("[INF] [vizor_bin_data_write] File read ok,3000\n"));
    EXPECT_TRUE(log.has("[INF] [al_data_send_action_info] type = 7, version = 515, size = 3000\n"));
    EXPECT_TRUE(log.has("[INF] [vizor_bin_data_write] read ack: next=0, status=3\n"));
    EXPECT_TRUE(log.has("[INF] [vizor_bin_data_write] INFO ack ok\n"));
    EXPECT_TRUE(
        log.has("[INF] [vizor_bin_data_write] Version:0,type:0, addr:0x80000,data size:-1\n"));
}

TEST_F(DataVcam, ImageOfWholeChunksSendsOnlyFullChunks) {
    for (uint32_t k : {1u, 3u}) {
        const Bytes img = random_image(AL_CHUNK_MAX * k, k);
        write_file("img.bin", img);
        cam->fw().clear_command_log();
        ASSERT_EQ(vizor_bin_data_write(ll, 5, uint16_t(k), 0, "img.bin"), 1) << k;
        const auto chunks = data_cmds(AL_ACT_DATA);
        ASSERT_EQ(chunks.size(), k);
        for (uint32_t i = 0; i < k; ++i) {
            EXPECT_EQ(chunks[i].length, 1024);
            EXPECT_EQ(u32_at(chunks[i].out, 2), uint32_t(AL_CHUNK_MAX));
        }
        EXPECT_EQ(flash(5), img);
    }
}

TEST_F(DataVcam, OneByteMoreAddsAOneByteChunk) {
    for (uint32_t k : {1u, 3u}) {
        const Bytes img = random_image(AL_CHUNK_MAX * k + 1, 10 + k);
        write_file("img.bin", img);
        cam->fw().clear_command_log();
        ASSERT_EQ(vizor_bin_data_write(ll, 5, uint16_t(k), 0, "img.bin"), 1) << k;
        const auto chunks = data_cmds(AL_ACT_DATA);
        ASSERT_EQ(chunks.size(), k + 1);
        EXPECT_EQ(chunks[k - 1].length, 1024);
        EXPECT_EQ(chunks[k].length, 7);
        EXPECT_EQ(u32_at(chunks[k].out, 2), 1u);
        EXPECT_EQ(chunks[k].out[6], img.back());
        EXPECT_EQ(flash(5), img);
    }
}

// ---- write: refusals ------------------------------------------------------------------

TEST_F(DataVcam, VersionGateRefusesSameOrNewerStoredVersion) {
    write_file("img.bin", random_image(100, 2));
    for (uint16_t stored : {5, 6}) {
        cam->fw().store_image(0, stored, Bytes(10, 0xEE));
        cam->fw().clear_command_log();
        EXPECT_EQ(vizor_data_download(dev, "img.bin", 5, 5, 0), -1);
        char line[96];
        std::snprintf(line, sizeof line,
                      "[ERR] [vizor_bin_data_write] Wrong version(Target:%d,Now:5)\n", int(stored));
        EXPECT_TRUE(log.has(line)) << stored;
        EXPECT_EQ(data_cmds(AL_ACT_WRITE_INFO).size(), 0u);  // nothing announced
        EXPECT_EQ(data_cmds().size(), 1u);                   // the info query only
    }
    EXPECT_FALSE(cam->fw().image(5));
    EXPECT_FALSE(log.has("data upgrade failed!"));
    // One version above the stored one goes through.
    EXPECT_EQ(vizor_data_download(dev, "img.bin", 5, 7, 0), 1);
}

TEST_F(DataVcam, MissingOrEmptyFileSendsNothing) {
    EXPECT_EQ(vizor_bin_data_write(ll, 5, 1, 0, "none.bin"), -1);
    EXPECT_TRUE(log.has("[INF] [vizor_bin_data_write] File open failed\n"));
    EXPECT_EQ(vizor_bin_data_write(ll, 5, 1, 0, nullptr), -1);
    write_file("empty.bin", {});
    EXPECT_EQ(vizor_bin_data_write(ll, 5, 1, 0, "empty.bin"), -1);
    EXPECT_TRUE(log.has("[INF] [vizor_bin_data_write] File size:0\n"));
    EXPECT_EQ(log.count("[ERR] [vizor_bin_data_write] data upgrade failed!\n"), 1);
    EXPECT_TRUE(cam->fw().command_log().empty());
}

TEST_F(DataVcam, RefusedAnnouncementFailsTheWrite) {
    write_file("img.bin", random_image(2000, 3));
    cam->inject(Fault::command_fails, vcam::FaultSpec().after(2).text("flash busy"));
    EXPECT_EQ(vizor_bin_data_write(ll, 5, 1, 0, "img.bin"), -1);
    EXPECT_TRUE(log.has("[ERR] [vizor_ll_check_last_cmd] flash busy\n"));
    EXPECT_TRUE(log.has("[ERR] [vizor_bin_data_write] data upgrade failed!\n"));
    EXPECT_EQ(data_cmds(AL_ACT_ERASE).size(), 0u);
    EXPECT_FALSE(cam->fw().image(5));
}

TEST_F(DataVcam, FailedChunkEndsTheWriteWithoutResend) {
    write_file("img.bin", random_image(3000, 4));
    // Info query (2), announcement, ack read (2), erase, 3 erase polls and the
    // ready read (8): the next command is the first chunk.
    cam->inject(Fault::command_fails, vcam::FaultSpec().after(14));
    EXPECT_EQ(vizor_bin_data_write(ll, 5, 1, 0, "img.bin"), -1);
    EXPECT_TRUE(log.has("[INF] [vizor_bin_data_write] Data transfer failed D.\n"));
    EXPECT_TRUE(log.has("[ERR] [vizor_bin_data_write] data upgrade failed!\n"));
    EXPECT_EQ(data_cmds(AL_ACT_DATA).size(), 1u);
}

TEST_F(DataVcam, FirstChunkAnsweredWithNextZeroEndsAtOnce) {
    write_file("img.bin", random_image(3000, 15));
    cam->fw().set_erase_polls(0);
    // The camera takes the first chunk but its acknowledgement still asks
    // for chunk 0.
    cam->inject(Fault::ack_next, vcam::FaultSpec().arg(0));
    EXPECT_EQ(vizor_bin_data_write(ll, 5, 1, 0, "img.bin"), -1);
    EXPECT_TRUE(log.has("[INF] [vizor_bin_data_write] Data transfer failed A.indx0, 0\n"));
    EXPECT_TRUE(log.has("[ERR] [vizor_bin_data_write] data upgrade failed!\n"));
    EXPECT_EQ(data_cmds(AL_ACT_DATA).size(), 1u);  // no resend
}

TEST_F(DataVcam, ChunkAnsweredWithItsOwnIndexEndsAtOnce) {
    write_file("img.bin", random_image(3 * AL_CHUNK_MAX, 16));
    cam->fw().set_erase_polls(0);
    // After the first chunk was accepted the camera starts over (announced
    // and erased again): it takes the second chunk as its first and answers
    // next = 1.
    struct Restart {
        DataVcam *self;
        static void cb(void *user, uint32_t done, uint32_t) {
            if (done != AL_CHUNK_MAX) return;
            auto *me = static_cast<Restart *>(user)->self;
            me->fw_out(AL_ACT_WRITE_INFO, {5, 0, 1, 0, 0xEE, 0x0B, 0, 0, 0, 0, 0, 0});
            me->fw_out(AL_ACT_ERASE, {5, 0xEE, 0x0B, 0, 0, 0xFA, 0x03, 0, 0, 0, 0, 0, 0});
        }
    } restart{this};
    vizor_data_set_progress_cb(&Restart::cb, &restart);
    EXPECT_EQ(vizor_bin_data_write(ll, 5, 1, 0, "img.bin"), -1);
    EXPECT_TRUE(log.has("[INF] [vizor_bin_data_write] Data transfer failed A.indx1, 1\n"));
    EXPECT_EQ(data_cmds(AL_ACT_DATA).size(), 2u);
}

TEST_F(DataVcam, EraseIsPolledEveryTenMilliseconds) {
    write_file("img.bin", random_image(500, 5));
    cam->fw().set_erase_polls(4);
    ASSERT_EQ(vizor_bin_data_write(ll, 5, 1, 0, "img.bin"), 1);
    EXPECT_EQ(FakeTiming::sleeps, (std::vector<uint32_t>(4, 10)));
    EXPECT_TRUE(log.has("[INF] [vizor_bin_data_write] Wait flash erase.....\n"));
    EXPECT_TRUE(log.has("[INF] [vizor_bin_data_write] Download.....\n"));
}

TEST_F(DataVcam, EraseThatNeverEndsGivesUpAfterItsBound) {
    write_file("img.bin", random_image(500, 6));
    cam->fw().set_erase_polls(UINT32_MAX);
    FakeTiming::scale = 1000;  // every 10 ms pause counts as 10 s
    EXPECT_EQ(vizor_bin_data_write(ll, 5, 1, 0, "img.bin"), -1);
    // 120 s of 10 s steps: the first read and 12 more.
    EXPECT_EQ(FakeTiming::sleeps.size(), 12u);
    EXPECT_EQ(data_cmds(AL_ACT_ACK).size(), 1u + 13u);
    EXPECT_TRUE(log.has("[ERR] [vizor_bin_data_write] Flash erase timeout\n"));
    EXPECT_TRUE(log.has("[ERR] [vizor_bin_data_write] data upgrade failed!\n"));
    EXPECT_EQ(data_cmds(AL_ACT_DATA).size(), 0u);
}

TEST_F(DataVcam, FailedEraseReadEndsTheWait) {
    write_file("img.bin", random_image(500, 7));
    cam->fw().set_erase_polls(UINT32_MAX);
    // Info query (2), announcement, ack read (2), erase, one erase poll (2):
    // the second poll's request fails.
    cam->inject(Fault::command_fails, vcam::FaultSpec().after(8));
    EXPECT_EQ(vizor_bin_data_write(ll, 5, 1, 0, "img.bin"), -1);
    EXPECT_TRUE(log.has("[ERR] [al_data_read_action_info] Write phase failed\n"));
    EXPECT_TRUE(log.has("[ERR] [vizor_bin_data_write] DATA ACK failed\n"));
    EXPECT_EQ(FakeTiming::sleeps.size(), 1u);
}

// ---- write: what follows the last chunk -------------------------------------------------

TEST_F(DataVcam, FirmwareOfTypeOneResetsTheBoardAndWaits) {
    write_file("fw.bin", random_image(2500, 8));
    int busy_in_wait = -1;  // the device stays busy through the wait
    FakeTiming::on_sleep = [&](uint32_t ms) {
        if (ms == 20000) busy_in_wait = dev->ll->busy.load();
    };
    ASSERT_EQ(vizor_firmware_upgrade(dev, 1, 3, "fw.bin"), 1);
    EXPECT_EQ(busy_in_wait, 1);
    EXPECT_EQ(dev->ll->busy.load(), 0);
    const auto r = resets();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].out, (Bytes{0, 0, 0, 0}));  // board reset
    // ... sent after the last chunk was acknowledged.
    const auto all = cam->fw().command_log();
    size_t last_chunk = 0, reset = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].request == VIZOR_REQ_DATA && all[i].value == AL_ACT_DATA) last_chunk = i;
        if (all[i].request == VIZOR_REQ_CFG) reset = i;
    }
    EXPECT_GT(reset, last_chunk + 4);  // ack out, status, ack in, status
    EXPECT_EQ(FakeTiming::sleeps.back(), 20000u);
    EXPECT_TRUE(log.has("[WRN] [vizor_bin_data_write]  * Wait board to reset...\n"));
    EXPECT_TRUE(
        log.has("[WRN] [vizor_bin_data_write] !!! DO NOT RESET or POWER OFF the board until return "
                "!!!!\n"));
    EXPECT_EQ(log.count("[WRN] [vizor_bin_data_write] ------------------------------------------"
                        "----------------\n"),
              2);
    EXPECT_EQ(cam->fw().image(1)->version, 3);
}

TEST_F(DataVcam, DataOfTypeTwoWaitsSevenSecondsWithoutReset) {
    write_file("cal.bin", random_image(700, 9));
    ASSERT_EQ(vizor_data_download(dev, "cal.bin", 2, 1, 0xDEADBEEF), 1);
    EXPECT_TRUE(resets().empty());
    EXPECT_EQ(FakeTiming::sleeps.back(), 7000u);
    EXPECT_TRUE(log.has("!!! DO NOT RESET or POWER OFF the board until return !!!!\n"));
}

TEST_F(DataVcam, TypeFiveReturnsRightAfterTheLastChunk) {
    write_file("img.bin", random_image(700, 10));
    cam->fw().set_erase_polls(0);
    ASSERT_EQ(vizor_ll_firmware_upgrade(ll, 5, 1, "img.bin"), 1);
    EXPECT_TRUE(resets().empty());
    EXPECT_TRUE(FakeTiming::sleeps.empty());
    EXPECT_FALSE(log.has("DO NOT RESET"));
    EXPECT_EQ(cam->fw().command_log().back().request, VIZOR_REQ_STATUS);
}

// ---- read -------------------------------------------------------------------------------

TEST_F(DataVcam, UploadOf901BytesReadsPiecesOf450_450_1) {
    const Bytes img = random_image(901, 11);
    cam->fw().store_image(2, 4, img);
    ASSERT_EQ(vizor_data_upload(dev, 2, "up.bin"), 1);
    EXPECT_EQ(read_bytes("up.bin"), img);
    std::vector<uint32_t> pieces;
    for (const auto &c : data_cmds(AL_ACT_PAYLOAD)) {
        EXPECT_EQ(c.out.size(), 12u);
        pieces.push_back(u32_at(c.out, 4));
    }
    EXPECT_EQ(pieces, (std::vector<uint32_t>{450, 450, 1}));
    const auto query = data_cmds(AL_ACT_GET_INFO);
    ASSERT_EQ(query.size(), 1u);
    EXPECT_EQ(query[0].out[0], 2);
    EXPECT_TRUE(
        log.has("[INF] [vizor_bin_data_read] Version:4,type:2, addr:0x480000,data size:901\n"));
}

TEST_F(DataVcam, UploadOfTypeWithoutValidDataCreatesNoFile) {
    EXPECT_EQ(vizor_bin_data_read(ll, 3, "none.bin"), -1);
    EXPECT_FALSE(exists("none.bin"));
    EXPECT_TRUE(log.has("[ERR] [vizor_bin_data_read] No valid data to read, please check\n"));
    EXPECT_TRUE(data_cmds(AL_ACT_PAYLOAD).empty());
}

TEST_F(DataVcam, UploadWithoutFileNameWritesCalibBin) {
    const Bytes img = random_image(1234, 12);
    cam->fw().store_image(2, 1, img);
    ASSERT_EQ(vizor_data_upload(dev, 2, nullptr), 1);
    EXPECT_EQ(read_bytes("calib.bin"), img);
}

TEST_F(DataVcam, UploadOfEmptyImageGivesEmptyFile) {
    write_file("old.bin", Bytes(50, 1));
    cam->fw().store_image(4, 1, {});
    ASSERT_EQ(vizor_bin_data_read(ll, 4, "old.bin"), 1);  // truncated
    EXPECT_TRUE(exists("old.bin"));
    EXPECT_TRUE(read_bytes("old.bin").empty());
    EXPECT_TRUE(data_cmds(AL_ACT_PAYLOAD).empty());
}

TEST_F(DataVcam, FailedPieceKeepsWhatWasWritten) {
    const Bytes img = random_image(1000, 13);
    cam->fw().store_image(2, 1, img);
    // Info query (2), first piece (2): the second piece's request fails.
    cam->inject(Fault::command_fails, vcam::FaultSpec().after(4));
    EXPECT_EQ(vizor_bin_data_read(ll, 2, "part.bin"), -1);
    EXPECT_TRUE(log.has("[ERR] [al_get_data_payload] write phase failed\n"));
    EXPECT_EQ(read_bytes("part.bin"), Bytes(img.begin(), img.begin() + 450));
}

TEST_F(DataVcam, UnwritableFileFailsTheUpload) {
    cam->fw().store_image(2, 1, Bytes(10, 3));
    EXPECT_EQ(vizor_bin_data_read(ll, 2, "no/such/dir/x.bin"), -1);
    EXPECT_TRUE(log.has("[ERR] [vizor_bin_data_read] File open failed\n"));
    EXPECT_TRUE(data_cmds(AL_ACT_PAYLOAD).empty());
}

// ---- round trips, progress, busy mark ----------------------------------------------------

TEST_F(DataVcam, DownloadThenUploadGivesTheSameBytes) {
    uint16_t version = 1;
    for (size_t size : {size_t(1), size_t(449), size_t(450), size_t(451), size_t(1017),
                        size_t(2036), size_t(4097), size_t(65536 + 3), size_t(150001)}) {
        const Bytes img = random_image(size, uint32_t(size));
        write_file("down.bin", img);
        ASSERT_EQ(vizor_data_download(dev, "down.bin", 6, version++, 0), 1) << size;
        ASSERT_EQ(vizor_data_upload(dev, 6, "up.bin"), 1) << size;
        EXPECT_EQ(read_bytes("up.bin"), img) << size;
    }
    EXPECT_EQ(cam->fw().stats().crc_errors, 0u);
}

TEST_F(DataVcam, ProgressReportsEveryAcceptedChunkWhileTheDeviceIsBusy) {
    Reports r;
    r.dev = dev;
    vizor_data_set_progress_cb(&Reports::cb, &r);
    write_file("img.bin", random_image(2100, 14));
    ASSERT_EQ(vizor_data_download(dev, "img.bin", 5, 1, 0), 1);
    EXPECT_EQ(r.calls, (std::vector<std::pair<uint32_t, uint32_t>>{
                           {0, 2100}, {1018, 2100}, {2036, 2100}, {2100, 2100}}));
    EXPECT_EQ(r.busy, std::vector<int>(4, 1));
    EXPECT_EQ(dev->api_busy, 0);

    r.calls.clear();
    r.busy.clear();
    ASSERT_EQ(vizor_data_upload(dev, 5, "up.bin"), 1);
    EXPECT_EQ(r.calls,
              (std::vector<std::pair<uint32_t, uint32_t>>{
                  {0, 2100}, {450, 2100}, {900, 2100}, {1350, 2100}, {1800, 2100}, {2100, 2100}}));
    EXPECT_EQ(r.busy, std::vector<int>(6, 1));

    vizor_data_set_progress_cb(nullptr, &r);
    r.calls.clear();
    ASSERT_EQ(vizor_data_upload(dev, 5, "up.bin"), 1);
    EXPECT_TRUE(r.calls.empty());
}

// ---- record calls ---------------------------------------------------------------------------

TEST_F(DataVcam, ChunkHeadersOutsideOneToMaxAreRefusedUnsent) {
    const Bytes data(AL_CHUNK_MAX + 1, 7);
    const al_chunk_hdr_t empty{0, 0}, big{0, AL_CHUNK_MAX + 1};
    EXPECT_EQ(al_data_send_action_info(ll, AL_ACT_DATA, &empty, data.data()), -1);
    EXPECT_EQ(al_data_send_action_info(ll, AL_ACT_DATA, &big, data.data()), -1);
    const al_chunk_hdr_t one{0, 1};
    EXPECT_EQ(al_data_send_action_info(ll, AL_ACT_DATA, &one, nullptr), -1);
    EXPECT_EQ(al_data_send_action_info(ll, 9, &one, data.data()), -1);
    EXPECT_TRUE(cam->fw().command_log().empty());
}

TEST_F(DataVcam, AckAndOpaqueRecordsTravelWhole) {
    const al_ack_t ack{0x01020304, AL_STATUS_READY, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(al_data_send_action_info(ll, AL_ACT_ACK, &ack, nullptr), 1);
    const auto sent = data_cmds(AL_ACT_ACK);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].out, (Bytes{4, 3, 2, 1, 1, 1, 2, 3, 4, 5, 6, 7, 8}));

    const std::array<uint8_t, 9> reply{9, 8, 7, 6, 5, 4, 3, 2, 1};
    cam->fw().set_opaque5(reply);
    uint8_t dst[9] = {};
    EXPECT_EQ(al_data_read_action_info(ll, AL_ACK9_ACTION, dst), 1);
    EXPECT_EQ(0, std::memcmp(dst, reply.data(), 9));
    const auto opaque = data_cmds(AL_ACK9_ACTION, false);
    ASSERT_EQ(opaque.size(), 2u);  // 9 bytes out, 9 bytes in
    EXPECT_EQ(opaque[0].out, Bytes(9, 0));
    EXPECT_EQ(opaque[1].length, 9);
}

TEST_F(DataVcam, FailedReplyReadLeavesTheDestinationAlone) {
    // The request goes out; reading the reply fails.
    cam->inject(Fault::command_fails, vcam::FaultSpec().after(1));
    al_ack_t ack{77, 9, {}};
    EXPECT_EQ(al_data_read_action_info(ll, AL_ACT_ACK, &ack), -1);
    EXPECT_EQ(ack.next, 77u);
    EXPECT_EQ(ack.status, 9);
    EXPECT_TRUE(log.has("[ERR] [al_data_read_action_info] Read phase failed\n"));
    cam->inject(Fault::command_fails);
    EXPECT_EQ(al_data_read_action_info(ll, AL_ACT_ACK, &ack), 0);
    EXPECT_TRUE(log.has("[ERR] [al_data_read_action_info] Write phase failed\n"));
}
