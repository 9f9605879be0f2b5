// The raw recording container of `vizor record` (".vzr"): an SQLite database
// holding the camera's identity, the register and parameter state and flash
// images read at the start, and every raw frame with its stream header fields
// and host timestamp. The tool writes it; `vizor play`, the virtual camera
// and the Python package read it. docs/recording.md documents the schema.
// Nothing here calls libvizor, so the virtual camera links it without the
// library.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace vzrec {

// The container's format version (PRAGMA user_version) and application id
// (PRAGMA application_id, "VZR1").
inline constexpr int kFormatVersion = 1;
inline constexpr int32_t kApplicationId = 0x565a5231;
// Bounds a reader accepts: the largest frame the library hands out, the
// largest flash image, a parameter value, a metadata text.
inline constexpr uint32_t kMaxFrameBytes = 6220800;
inline constexpr uint32_t kMaxDimension = 8192;
inline constexpr uint32_t kMaxImageBytes = 16u << 20;
inline constexpr uint32_t kMaxParamBytes = 18;
inline constexpr uint32_t kMaxMetaBytes = 4096;

// A file that is no usable recording, or a write that failed.
struct RecordingError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// CRC-32 (zlib's) of a frame's data, stored with it.
uint32_t crc_of(const uint8_t *p, size_t n);

// Whether the file starts with the SQLite header (a recording, or meant to be).
bool looks_like_recording(const std::string &path);

// One raw frame: the fields of its stream header that reach the application,
// the sensor bytes, the host's receive time.
struct Frame {
    int64_t seq = 0;      // 0, 1, 2 ... in the order received
    int64_t host_ns = 0;  // host monotonic clock, ns since the recording started
    uint16_t frame_idx = 0;
    uint16_t frame_format = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t pixel_depth = 0;
    std::array<uint8_t, 8> sensor_data{};
    std::vector<uint8_t> data;  // frame_size bytes
};

struct FlashImage {
    int type = 0;
    int version = 0;
    std::vector<uint8_t> bytes;
};

// What was read from the camera when the recording started.
struct Header {
    std::map<std::string, std::string> meta;  // see docs/recording.md for the keys
    std::map<int, std::vector<uint8_t>> params;
    std::map<std::pair<int, int>, uint32_t> registers;  // (target, address) -> value
    std::vector<FlashImage> images;

    std::string get(const std::string &key, const std::string &fallback = {}) const {
        auto it = meta.find(key);
        return it == meta.end() ? fallback : it->second;
    }
};

// Writes a new recording. The start state goes in one transaction; frames
// are committed in small batches (8 frames or 250 ms), so that the file on disk is always a whole
// recording of the frames committed so far (the rollback journal undoes a
// batch cut by a crash).
class Writer {
public:
    // Creates path (an existing file is replaced). Throws RecordingError.
    explicit Writer(const std::string &path);
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    void write_header(const Header &h);
    void add_frame(const Frame &f);
    // Commits the frames added so far.
    void commit();
    // Commits and closes; further calls throw.
    void close();
    int64_t frames() const { return frames_; }

private:
    void exec(const char *sql);
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *ins_ = nullptr;
    bool in_batch_ = false;
    int batch_frames_ = 0;
    std::chrono::steady_clock::time_point batch_start_{};
    int64_t frames_ = 0;
    std::string path_;
};

// Reads a recording; every field is checked against its bounds (the frames'
// header fields when it opens, each frame's data and checksum when read), so
// a hostile or damaged file gives a RecordingError naming what is wrong.
class Reader {
public:
    explicit Reader(const std::string &path);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    const Header &header() const { return header_; }
    int64_t frame_count() const { return count_; }
    // The first frame whose seq is at least `seq` (frames are indexed by
    // seq); false after the last one. f.data keeps its capacity. Throws
    // RecordingError for a frame whose data fails its checksum.
    bool frame_at(int64_t seq, Frame &f);

private:
    [[noreturn]] void fail(const std::string &what) const;
    void read_header();
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *sel_ = nullptr;
    Header header_;
    int64_t count_ = 0;
    std::string path_;
};

}  // namespace vzrec
