// Stream reassembler internals: the wire header, frame blocks, the intrusive
// frame lists, the pool that recycles frame blocks and the reassembler object
// behind vz_stream_t.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "stream/magic_scan.h"
#include "vizor/stream.h"

namespace vz::stream {

inline constexpr size_t kHdrLen = VZ_STREAM_HDR_LEN;
inline constexpr uint8_t kMagic0 = 0xFB;
inline constexpr uint8_t kMagic1 = 0x98;

// Fletcher-16 as the camera computes it: s1 and s2 start at 0, each byte adds
// to s1 and s1 to s2, both modulo 255. Result s1 | s2 << 8.
uint16_t fletcher16(const uint8_t *p, size_t n);

// Fields of a 36-byte wire header.
struct Header {
    uint16_t hdr_idx = 0;
    uint32_t dlen = 0;
    uint32_t frame_size = 0;
    uint16_t fridx = 0;
    uint16_t frame_format = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t sensor_data[8] = {};
    uint8_t flags = 0;

    bool sof() const { return (flags & VZ_STREAM_FLAG_SOF) != 0; }
};

Header parse_header(const uint8_t *raw);

// Magic, check sum and the limits of dlen, frame_size and frame_format.
bool header_valid(const uint8_t *raw);

// One frame: this record and room data bytes in one block; the frame uses
// the first capacity of them (a recycled block may be larger).
struct Frame {
    Frame *next;
    Frame *prev;  // the first frame of a list links back to the last
    vz_stream_frame_hdr_t desc;
    uint32_t filled;
    uint32_t capacity;
    uint32_t room;
    uint32_t mapped;  // 1: mapped from the system (kMapBytes), else from malloc
    uint64_t pad;     // keeps the data that follows aligned

    uint8_t *data() { return reinterpret_cast<uint8_t *>(this + 1); }
    bool complete() const { return filled == capacity; }
};
static_assert(sizeof(Frame) % alignof(std::max_align_t) == 0, "frame data stays aligned");

// Frame blocks of this many bytes or more are mapped from the system: freed,
// they go back to it whole, whichever thread frees them. From malloc they
// would stay in a thread's arena, and a thread that meets contention moves
// to another arena and fills that one too.
inline constexpr size_t kMapBytes = size_t(256) << 10;

// Allocation of frame blocks. Tests replace it to provoke failures; nullptr
// restores the default (mapped or malloc by size).
using FrameAllocFn = void *(*)(size_t);
void set_frame_allocator(FrameAllocFn fn);

// Doubly linked list of frames; the head's prev is the tail, so appending and
// unlinking at either end are constant time. Owns its frames.
class FrameList {
public:
    FrameList() = default;
    FrameList(const FrameList &) = delete;
    FrameList &operator=(const FrameList &) = delete;
    ~FrameList() { clear(); }

    bool empty() const { return head_ == nullptr; }
    uint32_t size() const { return size_; }
    Frame *front() const { return head_; }
    Frame *back() const { return head_ ? head_->prev : nullptr; }

    void push_back(Frame *f);
    Frame *pop_front();
    Frame *pop_back();
    // Moves every frame of other to the end of this list.
    void splice_back(FrameList &other);
    // Moves the first n frames (n <= size) to the empty list out.
    void split_front(uint32_t n, FrameList &out);
    void clear();

private:
    Frame *head_ = nullptr;
    uint32_t size_ = 0;
};

// A block with room for frame_size bytes, or nullptr (*asked: the size that
// could not be had).
Frame *alloc_frame(uint32_t frame_size, size_t *asked);
void free_frame(Frame *f);

// Frame blocks waiting for reuse. The feeder takes blocks, fetchers and the
// feeder give them back; at most `keep` blocks are kept, the rest released,
// so steady-state capture allocates nothing and never returns memory to the
// heap (whose trimming would otherwise cost page faults on every frame).
class FramePool {
public:
    FramePool() = default;
    FramePool(const FramePool &) = delete;
    FramePool &operator=(const FramePool &) = delete;
    ~FramePool() { clear(); }

    // A block with room for frame_size bytes (contents undefined), or
    // nullptr when it cannot be allocated; *asked is the size of the
    // allocation that failed.
    Frame *take(uint32_t frame_size, size_t *asked);
    void give(Frame *f, uint32_t keep);
    void give_all(FrameList &list, uint32_t keep);
    // Fills the pool to count blocks with room for frame_size bytes each,
    // releasing those too small or more than twice as large; stops early
    // when memory is short.
    void reserve(uint32_t frame_size, uint32_t count);
    void clear();
    uint32_t size();

private:
    std::mutex mu_;
    FrameList free_;
};

// Blocks kept beyond the buffer's frame count: the frame under assembly and
// one that a fetcher is copying out.
inline constexpr uint32_t kPoolSpare = 2;
// Most blocks and bytes the pool sets aside at once: a buffer larger than
// this still grows on demand.
inline constexpr uint32_t kReserveBlocks = 64;
inline constexpr uint64_t kReserveBytes = uint64_t(256) << 20;

// Statistics words; the feeder writes most of them without the lock, readers
// copy them under it, so each is an atomic (relaxed: the lock orders them).
struct Stats {
    std::atomic<uint32_t> frames_done{0};
    std::atomic<uint32_t> frames_ready_total{0};
    std::atomic<uint32_t> frames_discarded{0};
    std::atomic<uint32_t> frames_dropped_full{0};
    std::atomic<uint32_t> frames_in_buffer{0};  // changed only under the write lock
    std::atomic<uint32_t> bytes_dropped{0};
    std::atomic<uint32_t> reset_sec{0};
    std::atomic<uint32_t> reset_usec{0};
};

}  // namespace vz::stream

// The reassembler. Fields marked "feeder" belong to the one feeding thread
// and are touched without a lock.
struct vz_stream {
    explicit vz_stream(uint32_t max_frames);
    ~vz_stream() = default;

    void feed(const uint8_t *p, size_t n);
    uint32_t fetch(uint8_t *dst, uint32_t dst_len, uint32_t count, vz_stream_frame_hdr_t *first,
                   bool peek);
    void get_state(vz_stream_state_t *out);
    void reset();

    std::atomic<uint32_t> max_frames;  // written by set_cfg without the lock

    vz::stream::FramePool pool;   // declared first: destroyed after the lists
    vz::stream::FrameList ready;  // complete frames, oldest first; under lock
    std::shared_mutex lock;

    // feeder
    uint8_t hdr[vz::stream::kHdrLen] = {};  // the held header (or its first hdr_len bytes)
    vz::stream::Header cur;                 // hdr parsed, valid when hdr_len == 36
    bool discarding = false;
    bool chunk_done = false;
    uint8_t hdr_len = 0;
    uint32_t rx = 0;                         // payload bytes of the held header consumed
    uint8_t tail[vz::stream::kHdrLen] = {};  // payload held back: a header candidate
    uint8_t tail_len = 0;                    // cut by the end of a transfer
    uint16_t chunk_frames = 0;               // frames completed within the held header's chunk
    int32_t last_hdr_idx = -1;
    int32_t last_fridx = -1;
    uint16_t fridx_step = 1;
    vz::stream::FrameList assembling;  // at most one incomplete frame, always last
    uint32_t last_size = 0;            // of the frame published last
    uint32_t reserved_room = 0;        // frame size and block count the pool was
    uint32_t reserved_count = 0;       // last filled for

    vz::stream::Stats stats;

private:
    enum class Hunt { found, stop };
    enum class Partial { stop, again, hunt };

    void payload(const uint8_t *&p, size_t &n);
    bool resolve_tail(const uint8_t *&p, size_t &n);
    bool successor(const uint8_t *raw) const;
    void append_held(size_t k);
    void publish_complete();
    void cut_chunk(const uint8_t *raw);
    void take_continuity();
    Hunt hunt(const uint8_t *&p, size_t &n);
    Partial partial(const uint8_t *&p, size_t &n);
    void take_header(const uint8_t *raw);
    void post_header();
    void frame_start_checks();
    void discard_cur_frame();
    void lose_continued_frame();
    size_t append(const uint8_t *src, size_t k, bool scan);
    size_t fill(vz::stream::Frame *f, const uint8_t *src, size_t room, size_t avail, bool scan);
    void publish();
    void reserve_blocks(uint32_t frame_size);
    void trim();
    void take_reset_time();
    uint32_t pool_keep() const {
        const uint32_t m = max_frames.load(std::memory_order_relaxed);
        return m > UINT32_MAX - vz::stream::kPoolSpare ? UINT32_MAX : m + vz::stream::kPoolSpare;
    }
};
