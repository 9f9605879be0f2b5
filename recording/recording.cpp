// The ".vzr" recording container over SQLite: schema, writer and checked
// reader (docs/recording.md).
#include "recording/recording.h"

#include <sqlite3.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace vzrec {

namespace {

const char *const kSchema = R"(
CREATE TABLE meta(key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL);
CREATE TABLE params(id INTEGER PRIMARY KEY NOT NULL, value BLOB NOT NULL);
CREATE TABLE registers(target INTEGER NOT NULL, addr INTEGER NOT NULL, value INTEGER NOT NULL,
                       PRIMARY KEY(target, addr));
CREATE TABLE images(type INTEGER PRIMARY KEY NOT NULL, version INTEGER NOT NULL,
                    bytes BLOB NOT NULL);
CREATE TABLE frames(seq INTEGER PRIMARY KEY NOT NULL, host_ns INTEGER NOT NULL,
                    frame_idx INTEGER NOT NULL, frame_format INTEGER NOT NULL,
                    width INTEGER NOT NULL, height INTEGER NOT NULL,
                    pixel_depth INTEGER NOT NULL, sensor_data BLOB NOT NULL,
                    data BLOB NOT NULL, crc32 INTEGER NOT NULL);
)";

// A batch of frames is committed after this many frames or this long.
constexpr int kBatchFrames = 8;
constexpr std::chrono::milliseconds kBatchTime{250};

// Statement owner.
struct Stmt {
    sqlite3_stmt *s = nullptr;
    ~Stmt() { sqlite3_finalize(s); }
};

std::string errmsg(sqlite3 *db) { return db ? sqlite3_errmsg(db) : "out of memory"; }

std::vector<uint8_t> blob_of(sqlite3_stmt *s, int col) {
    const auto *p = static_cast<const uint8_t *>(sqlite3_column_blob(s, col));
    const int n = sqlite3_column_bytes(s, col);
    return p && n > 0 ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
}

}  // namespace

uint32_t crc_of(const uint8_t *p, size_t n) {
    return uint32_t(crc32(crc32(0L, Z_NULL, 0), p, uInt(n)));
}

bool looks_like_recording(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    char head[16] = {};
    return f.read(head, sizeof head) && std::memcmp(head, "SQLite format 3", 16) == 0;
}

// ---- writer ------------------------------------------------------------------------

Writer::Writer(const std::string &path) : path_(path) {
    // A journal left by an earlier writer that was killed would be rolled
    // back into the new file: both go.
    std::remove(path.c_str());
    std::remove((path + "-journal").c_str());
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        const std::string why = errmsg(db_);
        sqlite3_close(db_);
        db_ = nullptr;
        throw RecordingError("cannot create " + path + ": " + why);
    }
    // The rollback journal keeps the file whole at every commit; NORMAL
    // syncs at commits only.
    exec("PRAGMA journal_mode=DELETE; PRAGMA synchronous=NORMAL;");
    exec(("PRAGMA application_id=" + std::to_string(kApplicationId) +
          "; PRAGMA user_version=" + std::to_string(kFormatVersion) + ";")
             .c_str());
    exec("BEGIN;");
    exec(kSchema);
    exec("COMMIT;");
    if (sqlite3_prepare_v2(
            db_,
            "INSERT INTO frames(seq, host_ns, frame_idx, frame_format, width, "
            "height, pixel_depth, sensor_data, data, crc32) VALUES(?,?,?,?,?,?,?,?,?,?)",
            -1, &ins_, nullptr) != SQLITE_OK)
        throw RecordingError("cannot prepare " + path + ": " + errmsg(db_));
}

Writer::~Writer() {
    try {
        close();
    } catch (...) {}
}

void Writer::exec(const char *sql) {
    if (!db_) throw RecordingError(path_ + " is closed");
    char *err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string why = err ? err : errmsg(db_);
        sqlite3_free(err);
        throw RecordingError("cannot write " + path_ + ": " + why);
    }
}

void Writer::write_header(const Header &h) {
    exec("BEGIN;");
    auto run = [&](const char *sql, auto bind) {
        Stmt st;
        if (sqlite3_prepare_v2(db_, sql, -1, &st.s, nullptr) != SQLITE_OK)
            throw RecordingError("cannot write " + path_ + ": " + errmsg(db_));
        bind(st.s);
        if (sqlite3_step(st.s) != SQLITE_DONE)
            throw RecordingError("cannot write " + path_ + ": " + errmsg(db_));
    };
    // Plain element references rather than structured bindings: lambdas may
    // not capture those before clang 16.
    for (const auto &e : h.meta)
        run("INSERT OR REPLACE INTO meta VALUES(?,?)", [&](sqlite3_stmt *s) {
            sqlite3_bind_text(s, 1, e.first.c_str(), int(e.first.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(s, 2, e.second.c_str(), int(e.second.size()), SQLITE_TRANSIENT);
        });
    for (const auto &e : h.params)
        run("INSERT OR REPLACE INTO params VALUES(?,?)", [&](sqlite3_stmt *s) {
            sqlite3_bind_int(s, 1, e.first);
            sqlite3_bind_blob(s, 2, e.second.data(), int(e.second.size()), SQLITE_TRANSIENT);
        });
    for (const auto &e : h.registers)
        run("INSERT OR REPLACE INTO registers VALUES(?,?,?)", [&](sqlite3_stmt *s) {
            sqlite3_bind_int(s, 1, e.first.first);
            sqlite3_bind_int(s, 2, e.first.second);
            sqlite3_bind_int64(s, 3, e.second);
        });
    for (const auto &img : h.images)
        run("INSERT OR REPLACE INTO images VALUES(?,?,?)", [&](sqlite3_stmt *s) {
            sqlite3_bind_int(s, 1, img.type);
            sqlite3_bind_int(s, 2, img.version);
            sqlite3_bind_blob(s, 3, img.bytes.data(), int(img.bytes.size()), SQLITE_TRANSIENT);
        });
    exec("COMMIT;");
}

void Writer::add_frame(const Frame &f) {
    if (!db_) throw RecordingError(path_ + " is closed");
    if (!in_batch_) {
        exec("BEGIN;");
        in_batch_ = true;
        batch_start_ = std::chrono::steady_clock::now();
    }
    sqlite3_reset(ins_);
    sqlite3_bind_int64(ins_, 1, frames_);
    sqlite3_bind_int64(ins_, 2, f.host_ns);
    sqlite3_bind_int(ins_, 3, f.frame_idx);
    sqlite3_bind_int(ins_, 4, f.frame_format);
    sqlite3_bind_int64(ins_, 5, f.width);
    sqlite3_bind_int64(ins_, 6, f.height);
    sqlite3_bind_int(ins_, 7, f.pixel_depth);
    sqlite3_bind_blob(ins_, 8, f.sensor_data.data(), int(f.sensor_data.size()), SQLITE_STATIC);
    sqlite3_bind_blob(ins_, 9, f.data.data(), int(f.data.size()), SQLITE_STATIC);
    sqlite3_bind_int64(ins_, 10, int64_t(crc_of(f.data.data(), f.data.size())));
    if (sqlite3_step(ins_) != SQLITE_DONE)
        throw RecordingError("cannot write " + path_ + ": " + errmsg(db_));
    sqlite3_reset(ins_);
    ++frames_;
    if (++batch_frames_ >= kBatchFrames ||
        std::chrono::steady_clock::now() - batch_start_ >= kBatchTime)
        commit();
}

void Writer::commit() {
    if (!in_batch_) return;
    in_batch_ = false;
    batch_frames_ = 0;
    exec("COMMIT;");
}

void Writer::close() {
    if (!db_) return;
    commit();
    sqlite3_finalize(ins_);
    ins_ = nullptr;
    const int rc = sqlite3_close(db_);
    db_ = nullptr;
    if (rc != SQLITE_OK) throw RecordingError("cannot close " + path_);
}

// ---- reader ------------------------------------------------------------------------

Reader::Reader(const std::string &path) : path_(path) {
    if (!looks_like_recording(path))
        throw RecordingError(path + " is not a vizor recording (no SQLite header)");
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        const std::string why = errmsg(db_);
        sqlite3_close(db_);
        db_ = nullptr;
        throw RecordingError("cannot open " + path + ": " + why);
    }
    try {
        // A hostile file's schema cannot run functions with side effects, and
        // no value can grow beyond the largest one a recording holds.
        sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
        sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
        sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, int(kMaxImageBytes + 1024));
        read_header();
        if (sqlite3_prepare_v2(db_,
                               "SELECT seq, host_ns, frame_idx, frame_format, width, height, "
                               "pixel_depth, sensor_data, data, crc32 FROM frames WHERE seq >= ? "
                               "ORDER BY seq LIMIT 1",
                               -1, &sel_, nullptr) != SQLITE_OK)
            fail(errmsg(db_));
    } catch (...) {
        sqlite3_finalize(sel_);
        sqlite3_close(db_);
        throw;
    }
}

Reader::~Reader() {
    sqlite3_finalize(sel_);
    sqlite3_close(db_);
}

void Reader::fail(const std::string &what) const {
    throw RecordingError(path_ + " is not a usable vizor recording: " + what);
}

void Reader::read_header() {
    auto query = [&](const char *sql, auto row) {
        Stmt st;
        if (sqlite3_prepare_v2(db_, sql, -1, &st.s, nullptr) != SQLITE_OK) fail(errmsg(db_));
        int rc;
        while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) row(st.s);
        if (rc != SQLITE_DONE) fail(errmsg(db_));
    };
    int app = 0, version = 0;
    query("PRAGMA application_id", [&](sqlite3_stmt *s) { app = sqlite3_column_int(s, 0); });
    query("PRAGMA user_version", [&](sqlite3_stmt *s) { version = sqlite3_column_int(s, 0); });
    if (app != kApplicationId) fail("an SQLite database of another application");
    if (version != kFormatVersion)
        fail("format version " + std::to_string(version) + "; this vizor reads version " +
             std::to_string(kFormatVersion));
    // Each table must be a real table, not a view over something else.
    int tables = 0;
    query(
        "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name IN "
        "('meta', 'params', 'registers', 'images', 'frames')",
        [&](sqlite3_stmt *s) { tables = sqlite3_column_int(s, 0); });
    if (tables != 5) fail("tables missing");

    query("SELECT key, value FROM meta", [&](sqlite3_stmt *s) {
        const auto *k = sqlite3_column_text(s, 0);
        const auto *v = sqlite3_column_text(s, 1);
        if (!k || !v || sqlite3_column_bytes(s, 0) > int(kMaxMetaBytes) ||
            sqlite3_column_bytes(s, 1) > int(kMaxMetaBytes) || header_.meta.size() > 256)
            fail("a metadata entry out of bounds");
        header_.meta[reinterpret_cast<const char *>(k)] = reinterpret_cast<const char *>(v);
    });
    query("SELECT id, value FROM params", [&](sqlite3_stmt *s) {
        const int64_t id = sqlite3_column_int64(s, 0);
        if (id < 0 || id > 255 || sqlite3_column_bytes(s, 1) > int(kMaxParamBytes))
            fail("parameter " + std::to_string(id) + " out of bounds");
        header_.params[int(id)] = blob_of(s, 1);
    });
    query("SELECT target, addr, value FROM registers", [&](sqlite3_stmt *s) {
        const int64_t t = sqlite3_column_int64(s, 0), a = sqlite3_column_int64(s, 1);
        const int64_t v = sqlite3_column_int64(s, 2);
        if (t < 0 || t > 255 || a < 0 || a > 0xFFFF || v < 0 || v > 0xFFFFFFFFll ||
            header_.registers.size() > 65536)
            fail("a register entry out of bounds");
        header_.registers[{int(t), int(a)}] = uint32_t(v);
    });
    query("SELECT type, version, bytes FROM images", [&](sqlite3_stmt *s) {
        const int64_t t = sqlite3_column_int64(s, 0), v = sqlite3_column_int64(s, 1);
        if (t < 0 || t > 255 || v < 0 || v > 65535 ||
            sqlite3_column_bytes(s, 2) > int(kMaxImageBytes) || header_.images.size() > 16)
            fail("a flash image out of bounds");
        header_.images.push_back({int(t), int(v), blob_of(s, 2)});
    });
    // Every frame's header fields, without its data: a file whose frames
    // cannot all be replayed is refused before the first one.
    query(
        "SELECT seq, host_ns, frame_idx, frame_format, width, height, pixel_depth, "
        "length(sensor_data), length(data), typeof(crc32) FROM frames ORDER BY seq",
        [&](sqlite3_stmt *s) {
            auto bad = [&](int col, int64_t lo, int64_t hi) {
                const int64_t v = sqlite3_column_int64(s, col);
                return sqlite3_column_type(s, col) != SQLITE_INTEGER || v < lo || v > hi;
            };
            if (bad(0, 0, INT64_MAX) || bad(1, 0, INT64_MAX) || bad(2, 0, 0xFFFF) ||
                bad(3, 0, 0xFFFF) || bad(4, 1, kMaxDimension) || bad(5, 1, kMaxDimension) ||
                bad(6, 0, 255) || bad(7, 8, 8) || bad(8, 1, kMaxFrameBytes) ||
                std::strcmp(reinterpret_cast<const char *>(sqlite3_column_text(s, 9)), "integer") !=
                    0)
                fail("frame " + std::to_string(sqlite3_column_int64(s, 0)) +
                     ": a header field out of bounds");
            ++count_;
        });
    if (header_.get("product").empty()) fail("no product in its metadata");
}

bool Reader::frame_at(int64_t seq, Frame &f) {
    sqlite3_reset(sel_);
    sqlite3_bind_int64(sel_, 1, seq);
    const int rc = sqlite3_step(sel_);
    if (rc == SQLITE_DONE) return false;
    if (rc != SQLITE_ROW) fail(errmsg(db_));
    auto in = [&](int col, int64_t lo, int64_t hi, const char *what) {
        const int64_t v = sqlite3_column_int64(sel_, col);
        if (sqlite3_column_type(sel_, col) != SQLITE_INTEGER || v < lo || v > hi)
            fail(std::string("frame ") + std::to_string(sqlite3_column_int64(sel_, 0)) + ": " +
                 what + " out of bounds");
        return v;
    };
    f.seq = in(0, 0, INT64_MAX, "sequence number");
    f.host_ns = in(1, 0, INT64_MAX, "host time");
    f.frame_idx = uint16_t(in(2, 0, 0xFFFF, "frame index"));
    f.frame_format = uint16_t(in(3, 0, 0xFFFF, "frame format"));
    f.width = uint32_t(in(4, 1, kMaxDimension, "width"));
    f.height = uint32_t(in(5, 1, kMaxDimension, "height"));
    f.pixel_depth = uint8_t(in(6, 0, 255, "pixel depth"));
    const int nsd = sqlite3_column_bytes(sel_, 7);
    const auto *sd = static_cast<const uint8_t *>(sqlite3_column_blob(sel_, 7));
    if (nsd != 8 || !sd) fail("frame " + std::to_string(f.seq) + ": sensor data is not 8 bytes");
    std::memcpy(f.sensor_data.data(), sd, 8);
    const int n = sqlite3_column_bytes(sel_, 8);
    const auto *p = static_cast<const uint8_t *>(sqlite3_column_blob(sel_, 8));
    if (n <= 0 || !p || uint32_t(n) > kMaxFrameBytes ||
        sqlite3_column_type(sel_, 9) != SQLITE_INTEGER)
        fail("frame " + std::to_string(f.seq) + ": " + std::to_string(n) + " data bytes");
    if (sqlite3_column_int64(sel_, 9) != int64_t(crc_of(p, size_t(n))))
        fail("frame " + std::to_string(f.seq) + ": its data is damaged (checksum)");
    f.data.assign(p, p + n);
    sqlite3_reset(sel_);
    return true;
}

}  // namespace vzrec
