// Stream reassembler: header search and verification, index continuity,
// cutting payload into frames, and the buffer of complete frames.
//
// Feeding runs on one thread and keeps its state (held header, flags,
// continuity, the frames under assembly) unlocked. Frame blocks come from and
// return to a pool sized by the buffer's frame count, so a running capture
// does not allocate. The buffer of complete
// frames ("ready") and its counter are shared with fetching threads under a
// reader/writer lock; the statistics are atomics so that readers may copy them
// while the feeder counts.
#include "stream/reassembler.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "base/clock.h"
#include "base/log.h"

namespace vz::stream {

namespace {

constexpr const char *kFeedTag = "vz_stream_feed_input";
constexpr const char *kSyncTag = "_sync_stream_hdr";
constexpr const char *kDiscardTag = "_discard_cur_frame";
constexpr const char *kAddTag = "_fr_node_add_data";
constexpr const char *kRefreshTag = "_fr_list_refresh";

std::atomic<FrameAllocFn> g_alloc{nullptr};

uint16_t rd16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t rd32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Counters with a single writer at a time (the feeder, or whoever holds the
// write lock): a plain read-modify-write of the atomic is enough.
void add(std::atomic<uint32_t> &a, uint32_t v) {
    a.store(a.load(std::memory_order_relaxed) + v, std::memory_order_relaxed);
}
void sub(std::atomic<uint32_t> &a, uint32_t v) {
    a.store(a.load(std::memory_order_relaxed) - v, std::memory_order_relaxed);
}
uint32_t get(const std::atomic<uint32_t> &a) { return a.load(std::memory_order_relaxed); }

}  // namespace

// The sums reduced modulo 255 once per block instead of once per byte (the
// same residues): within a block of 256 bytes s2 stays below 2^25.
uint16_t fletcher16(const uint8_t *p, size_t n) {
    uint32_t s1 = 0, s2 = 0;
    while (n > 0) {
        const size_t len = std::min<size_t>(n, 256);
        for (size_t i = 0; i < len; ++i) {
            s1 += p[i];
            s2 += s1;
        }
        s1 %= 255;
        s2 %= 255;
        p += len;
        n -= len;
    }
    return uint16_t(s1 | s2 << 8);
}

Header parse_header(const uint8_t *raw) {
    Header h;
    h.hdr_idx = rd16(raw + 2);
    h.dlen = rd32(raw + 4);
    h.frame_size = rd32(raw + 8);
    h.fridx = rd16(raw + 12);
    h.frame_format = rd16(raw + 14);
    h.width = rd16(raw + 16);
    h.height = rd16(raw + 18);
    std::memcpy(h.sensor_data, raw + 20, sizeof h.sensor_data);
    h.flags = raw[32];
    return h;
}

bool header_valid(const uint8_t *raw) {
    if (raw[0] != kMagic0 || raw[1] != kMagic1) return false;
    if (fletcher16(raw, 34) != rd16(raw + 34)) return false;
    const uint32_t frame_size = rd32(raw + 8);
    return rd32(raw + 4) <= VZ_STREAM_MAX_DLEN && frame_size != 0 &&
           frame_size <= VZ_STREAM_MAX_FRAME_SIZE && rd16(raw + 14) <= VZ_STREAM_MAX_FRAME_FORMAT;
}

void set_frame_allocator(FrameAllocFn fn) { g_alloc.store(fn, std::memory_order_relaxed); }

Frame *alloc_frame(uint32_t frame_size, size_t *asked) {
    const size_t block = sizeof(Frame) + frame_size;
    const FrameAllocFn alloc = g_alloc.load(std::memory_order_relaxed);
    Frame *f = nullptr;
    bool mapped = false;
    if (alloc) {
        f = static_cast<Frame *>(alloc(block));
    } else if (block >= kMapBytes) {
        // Populated: a block set aside is resident from the start, so memory
        // does not creep up as a lagging reader first reaches more blocks.
        void *p = mmap(nullptr, block, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        f = p == MAP_FAILED ? nullptr : static_cast<Frame *>(p);
        mapped = true;
    } else {
        f = static_cast<Frame *>(std::malloc(block));
    }
    if (!f) {
        if (asked) *asked = block;
        return nullptr;
    }
    f->room = frame_size;
    f->mapped = mapped ? 1 : 0;
    return f;
}

void free_frame(Frame *f) {
    if (f && f->mapped)
        munmap(f, sizeof(Frame) + f->room);
    else
        std::free(f);
}

void FrameList::push_back(Frame *f) {
    f->next = nullptr;
    if (!head_) {
        f->prev = f;
        head_ = f;
    } else {
        Frame *tail = head_->prev;
        tail->next = f;
        f->prev = tail;
        head_->prev = f;
    }
    ++size_;
}

Frame *FrameList::pop_front() {
    Frame *f = head_;
    if (!f) return nullptr;
    head_ = f->next;
    if (head_) head_->prev = f->prev;
    --size_;
    f->next = f->prev = nullptr;
    return f;
}

Frame *FrameList::pop_back() {
    if (!head_) return nullptr;
    Frame *f = head_->prev;
    if (f == head_) {
        head_ = nullptr;
    } else {
        head_->prev = f->prev;
        f->prev->next = nullptr;
    }
    --size_;
    f->next = f->prev = nullptr;
    return f;
}

void FrameList::splice_back(FrameList &other) {
    if (!other.head_) return;
    if (!head_) {
        head_ = other.head_;
    } else {
        Frame *tail = head_->prev;
        Frame *other_tail = other.head_->prev;
        tail->next = other.head_;
        other.head_->prev = tail;
        head_->prev = other_tail;
    }
    size_ += other.size_;
    other.head_ = nullptr;
    other.size_ = 0;
}

void FrameList::split_front(uint32_t n, FrameList &out) {
    if (n == 0) return;
    if (n >= size_) {
        out.splice_back(*this);
        return;
    }
    Frame *first = head_;
    Frame *tail = head_->prev;
    Frame *last_taken = head_;
    for (uint32_t i = 1; i < n; ++i) last_taken = last_taken->next;
    head_ = last_taken->next;
    head_->prev = tail;
    last_taken->next = nullptr;
    first->prev = last_taken;
    out.head_ = first;
    out.size_ = n;
    size_ -= n;
}

void FrameList::clear() {
    while (Frame *f = pop_front()) free_frame(f);
}

Frame *FramePool::take(uint32_t frame_size, size_t *asked) {
    Frame *f;
    {
        std::lock_guard lk(mu_);
        f = free_.pop_back();
    }
    if (f && f->room >= frame_size) return f;
    free_frame(f);  // too small for this stream's frames
    return alloc_frame(frame_size, asked);
}

void FramePool::give(Frame *f, uint32_t keep) {
    {
        std::lock_guard lk(mu_);
        if (free_.size() < keep) {
            free_.push_back(f);
            return;
        }
    }
    free_frame(f);
}

void FramePool::give_all(FrameList &list, uint32_t keep) {
    while (Frame *f = list.pop_front()) give(f, keep);
}

void FramePool::reserve(uint32_t frame_size, uint32_t count) {
    FrameList keep, small;
    {
        std::lock_guard lk(mu_);
        while (Frame *f = free_.pop_front())
            (f->room >= frame_size && f->room / 2 <= frame_size ? keep : small).push_back(f);
        free_.splice_back(keep);
        count = count > free_.size() ? count - free_.size() : 0;
    }
    // Allocated outside the lock: fetchers give blocks back meanwhile.
    for (; count > 0; --count) {
        Frame *f = alloc_frame(frame_size, nullptr);
        if (!f) break;
        keep.push_back(f);
    }
    std::lock_guard lk(mu_);
    free_.splice_back(keep);
}

void FramePool::clear() {
    FrameList old;
    {
        std::lock_guard lk(mu_);
        old.splice_back(free_);
    }
}

uint32_t FramePool::size() {
    std::lock_guard lk(mu_);
    return free_.size();
}

}  // namespace vz::stream

using namespace vz::stream;

vz_stream::vz_stream(uint32_t max) : max_frames(max) { take_reset_time(); }

void vz_stream::take_reset_time() {
    struct timeval tv;
    vz::gettimeofday(&tv);
    stats.reset_sec.store(uint32_t(tv.tv_sec), std::memory_order_relaxed);
    stats.reset_usec.store(uint32_t(tv.tv_usec), std::memory_order_relaxed);
}

// ---- feeding ------------------------------------------------------------------

void vz_stream::feed(const uint8_t *p, size_t n) {
    while (n > 0) {
        if (hdr_len == kHdrLen) {
            if (!discarding && !chunk_done) {
                payload(p, n);
                continue;
            }
            // End of a chunk, or a chunk skipped while discarding: remember its
            // indices and look for the next header (over the skipped payload).
            take_continuity();
            if (!discarding) {
                hdr_len = 0;
                chunk_done = false;
            }
        } else if (hdr_len > 0) {
            const Partial r = partial(p, n);
            if (r == Partial::stop) return;
            if (r == Partial::again) continue;
        } else {
            // No header held: continuity is lost.
            last_hdr_idx = -1;
            last_fridx = -1;
            fridx_step = 1;
            chunk_done = false;
        }
        if (hunt(p, n) == Hunt::stop) return;
    }
}

void vz_stream::take_continuity() {
    last_hdr_idx = cur.hdr_idx;
    last_fridx = cur.fridx;
    fridx_step = cur.frame_size < cur.dlen ? uint16_t(cur.dlen / cur.frame_size) : uint16_t(1);
}

// Payload of the held chunk. A valid header that follows the held one,
// found inside the payload, means the camera sent fewer bytes than the header
// announced: the chunk ends there and its incomplete frame is discarded, so
// the next frame's header and data never fill the rest of it. A candidate
// whose 36 bytes run past this transfer is held back (tail) until the next
// bytes show whether it is a header.
void vz_stream::payload(const uint8_t *&p, size_t &n) {
    if (tail_len > 0 && resolve_tail(p, n)) return;
    const size_t left = cur.dlen - rx;
    const size_t take = std::min<size_t>(left, n);
    // A lone FB that ends the transfer may start a header: it is held back.
    const bool lone = take == n && take > 0 && p[take - 1] == kMagic0 && take - 1 + kHdrLen <= left;
    const size_t scan_end = lone ? take - 1 : take;
    size_t done = 0;
    while (done < scan_end) {
        done += append(p + done, scan_end - done, true);
        if (done == scan_end) break;
        // A magic pair at p + done.
        if (done + kHdrLen <= take) {
            if (successor(p + done)) {
                rx += uint32_t(done);
                publish_complete();
                p += done;
                n -= done;
                cut_chunk(p);
                p += kHdrLen;
                n -= kHdrLen;
                return;
            }
            done += append(p + done, 1, false);
            continue;
        }
        // Its 36 bytes run past the transfer: held back until the next one
        // completes them, unless they would run past the chunk.
        if (take != n || done + kHdrLen > left) done += append(p + done, take - done, false);
        break;
    }
    const size_t hold = take - done;
    std::memcpy(tail, p + done, hold);
    tail_len = uint8_t(hold);
    rx += uint32_t(take);
    publish_complete();
    p += take;
    n -= take;
    if (rx == cur.dlen) {
        chunk_done = true;
        rx = 0;
    }
}

// Completes a held-back candidate from p. True: every byte was used (p is
// past the bytes taken); false: the held bytes were payload, now appended,
// and p is untouched. A failed candidate hands on to the next magic pair
// within the held bytes (or split between them and p), which may be the
// header.
bool vz_stream::resolve_tail(const uint8_t *&p, size_t &n) {
    while (tail_len > 0) {
        const size_t need = kHdrLen - tail_len;
        if (n < need) {
            std::memcpy(tail + tail_len, p, n);
            tail_len = uint8_t(tail_len + n);
            rx += uint32_t(n);
            p += n;
            n = 0;
            return true;
        }
        std::memcpy(tail + tail_len, p, need);
        if (successor(tail)) {
            tail_len = 0;
            p += need;
            n -= need;
            cut_chunk(tail);
            return true;
        }
        const size_t k = 1 + find_magic(tail + 1, tail_len);
        const size_t rest = tail_len - std::min<size_t>(k, tail_len);
        if (k >= tail_len || kHdrLen - rest > cur.dlen - rx) break;
        append_held(k);
        std::memmove(tail, tail + k, rest);
        tail_len = uint8_t(rest);
    }
    append_held(tail_len);
    tail_len = 0;
    return false;
}

void vz_stream::append_held(size_t k) {
    append(tail, k, false);
    publish_complete();
}

bool vz_stream::successor(const uint8_t *raw) const {
    return header_valid(raw) && parse_header(raw).hdr_idx == uint16_t(cur.hdr_idx + 1);
}

void vz_stream::publish_complete() {
    if (!assembling.empty() && assembling.front()->complete()) {
        const uint32_t size = assembling.front()->capacity;
        publish();
        if (get(stats.frames_in_buffer) > max_frames.load(std::memory_order_relaxed)) trim();
        reserve_blocks(size);
    }
}

// Once two frames of one size in a row have come through, the pool holds as
// many blocks for that size as the buffer, the frame under assembly and a
// fetch in progress can use at once (within kReserveBlocks and
// kReserveBytes). Blocks are then taken and given back but never allocated,
// so memory stays flat instead of growing whenever a slow reader lets the
// buffer fill further than before. A one-off frame (the calibration data
// after open) reserves nothing; a new size that repeats, or a new buffer
// size, reserves again.
void vz_stream::reserve_blocks(uint32_t frame_size) {
    const uint32_t prev = last_size;
    last_size = frame_size;
    const uint32_t keep = pool_keep();
    if (frame_size != prev || (frame_size == reserved_room && keep == reserved_count)) return;
    const uint64_t by_bytes = kReserveBytes / (sizeof(Frame) + uint64_t(frame_size));
    const uint32_t count = uint32_t(std::min<uint64_t>({keep, kReserveBlocks, by_bytes}));
    reserved_room = frame_size;
    reserved_count = keep;
    // Blocks of the buffer and of assembly are out of the pool now.
    const uint32_t out = get(stats.frames_in_buffer) + assembling.size();
    if (count > out) pool.reserve(frame_size, count - out);
}

// The held chunk ended early at the header raw: its incomplete frame is lost,
// and the header is taken as if it had come at the chunk's end. A
// continuation of the frame just discarded is skipped without counting it
// twice.
void vz_stream::cut_chunk(const uint8_t *raw) {
    vz_dbg("[%s] discard frame: chunk cut short, next stream hdr inside its payload\n", kFeedTag);
    const Frame *last = assembling.back();
    const bool lost = last && !last->complete();
    discard_cur_frame();
    take_continuity();
    take_header(raw);
    if (lost) discarding = true;
    post_header();
}

void vz_stream::take_header(const uint8_t *raw) {
    if (raw != hdr) std::memcpy(hdr, raw, kHdrLen);
    hdr_len = uint8_t(kHdrLen);
    cur = parse_header(hdr);
    rx = 0;
    tail_len = 0;
    chunk_frames = 0;
    chunk_done = false;
    vz_trc("[%s] stream hdr found: idx = %d (dlen=%d,fridx=%d)\n", kSyncTag, int(cur.hdr_idx),
           int(cur.dlen), int(cur.fridx));
}

// Scans p[0..n) for the next valid header. Found: p and n are past it and the
// post-header checks have run. Stop: every byte is consumed.
vz_stream::Hunt vz_stream::hunt(const uint8_t *&p, size_t &n) {
    size_t i = 0;
    while (i + 1 < n) {
        const size_t at = find_magic(p + i, n - i);
        if (at >= n - i) break;
        i += at;
        if (n - i < kHdrLen) {
            hdr_len = uint8_t(n - i);
            std::memcpy(hdr, p + i, hdr_len);
            vz_trc("[%s] partial stream hdr found: %d bytes, need more bytes.\n", kFeedTag,
                   int(hdr_len));
            p += n;
            n = 0;
            return Hunt::stop;
        }
        if (header_valid(p + i)) {
            take_header(p + i);
            if (i > 0) {
                vz_dbg("[%s] sync hdr: skip %d bytes\n", kFeedTag, int(i));
                add(stats.bytes_dropped, uint32_t(i));
            }
            p += i + kHdrLen;
            n -= i + kHdrLen;
            post_header();
            return Hunt::found;
        }
        hdr_len = 0;  // a header held while discarding is given up
        ++i;
    }

    if (p[n - 1] == kMagic0) {
        hdr[0] = kMagic0;
        hdr_len = 1;
        vz_trc("[%s] partial stream hdr found: %d bytes, need more bytes.\n", kFeedTag, 1);
        p += n;
        n = 0;
        return Hunt::stop;
    }
    const size_t skipped = n;
    p += n;
    n = 0;
    if (hdr_len == kHdrLen) {
        // Payload of a chunk skipped while discarding; the header stays held
        // and the stream keeps discarding.
        if (skipped > kHdrLen) {
            vz_dbg("[%s] sync hdr: skip %d bytes\n", kFeedTag, int(skipped - kHdrLen));
            add(stats.bytes_dropped, uint32_t(skipped - kHdrLen));
        }
    } else if (!discarding) {
        vz_dbg("[%s] discard frame: stream hdr verify failed\n", kFeedTag);
        discarding = true;
        discard_cur_frame();
    }
    return Hunt::stop;
}

// Completes a partial header from p. Stop: every byte was consumed. Again:
// the main loop goes on with p. Hunt: the candidate was no header; the search
// goes on over p.
vz_stream::Partial vz_stream::partial(const uint8_t *&p, size_t &n) {
    const size_t need = kHdrLen - hdr_len;
    if (n < need) {
        std::memcpy(hdr + hdr_len, p, n);
        hdr_len = uint8_t(hdr_len + n);
        vz_trc("[%s] partial stream hdr found: %d bytes, need more bytes.\n", kFeedTag,
               int(hdr_len));
        p += n;
        n = 0;
        return Partial::stop;
    }
    std::memcpy(hdr + hdr_len, p, need);
    if (header_valid(hdr)) {
        take_header(hdr);
        p += need;
        n -= need;
        post_header();
        return Partial::again;
    }
    // Not a header. A candidate split by a transfer boundary is handled as if
    // it had arrived in one piece: the search resumes at its second byte (the
    // held bytes may start the real header) and the index continuity of the
    // previous chunk still holds. The completing bytes are not consumed.
    const size_t held = hdr_len;
    for (size_t j = 1; j < held; ++j) {
        if (hdr[j] == kMagic0 && hdr[j + 1] == kMagic1) {
            std::memmove(hdr, hdr + j, held - j);
            hdr_len = uint8_t(held - j);
            return Partial::again;
        }
    }
    hdr_len = 0;
    return Partial::hunt;
}

void vz_stream::post_header() {
    if (discarding) {
        if (!cur.sof()) return;  // this chunk is skipped
        discarding = false;
        last_hdr_idx = -1;
        frame_start_checks();
        return;
    }
    if (cur.sof()) {
        frame_start_checks();
        return;
    }
    // A continuation chunk.
    if (last_fridx != -1 && last_fridx != int32_t(cur.fridx)) {
        vz_dbg("[%s] discard frame: frame idx not consist (prev=%d, cur=%d)\n", kFeedTag,
               int(last_fridx), int(cur.fridx));
        discard_cur_frame();
        last_hdr_idx = -1;
        lose_continued_frame();
        return;
    }
    if (last_hdr_idx != -1 && int32_t(cur.hdr_idx) != ((last_hdr_idx + 1) & 0xFFFF)) {
        vz_dbg("[%s] discard frame: stream hdr idx not correct (prev=%d, cur=%d)\n", kFeedTag,
               int(last_hdr_idx), int(cur.hdr_idx));
        discarding = true;
        discard_cur_frame();
        return;
    }
    if (assembling.empty()) lose_continued_frame();
}

// The chunk continues a frame whose start was never assembled (or belongs to
// another frame): its payload would start a frame in the middle of the
// camera's frame and give a misaligned frame. That frame is lost; skip to the
// next header that starts a frame.
void vz_stream::lose_continued_frame() {
    add(stats.frames_discarded, 1);
    vz_dbg("[%s] discard frame: idx = %d\n", kDiscardTag, int(cur.fridx));
    discarding = true;
}

void vz_stream::frame_start_checks() {
    if (!assembling.empty()) {
        vz_dbg("[%s] discard frame: frame bound met, prev not complete\n", kFeedTag);
        discard_cur_frame();
        last_hdr_idx = -1;
        return;
    }
    if (get(stats.frames_done) > 0 && last_fridx != -1) {
        const int expected = (last_fridx + fridx_step) & 0xFFFF;
        if (expected != int(cur.fridx))
            vz_dbg("[%s] missing frame: jumpping frame idx (prev=%d, cur=%d)\n", kFeedTag, expected,
                   int(cur.fridx));
    }
}

void vz_stream::discard_cur_frame() {
    Frame *f = assembling.back();
    if (!f || f->complete()) return;
    add(stats.bytes_dropped, f->filled);
    add(stats.frames_discarded, 1);
    vz_dbg("[%s] discard frame: idx = %d\n", kDiscardTag, int(f->desc.frame_idx));
    pool.give(assembling.pop_back(), pool_keep());
}

// Appends up to k payload bytes to the frames, starting new frames as they
// fill. With scan, stops before the first magic pair within the k bytes.
// Returns the bytes taken.
size_t vz_stream::append(const uint8_t *src, size_t k, bool scan) {
    const size_t total = k;
    Frame *last = assembling.back();
    if (last && !last->complete()) {
        const size_t room = std::min<size_t>(last->capacity - last->filled, k);
        const size_t c = fill(last, src, room, k, scan);
        src += c;
        k -= c;
        if (c < room) return total - k;
    }
    while (k > 0) {
        size_t asked = 0;
        Frame *f = pool.take(cur.frame_size, &asked);
        if (!f) {
            vz_err("[%s] malloc failed: %d bytes\n", kAddTag, int(asked));
            // The frame's bytes are lost; later bytes of this chunk must not
            // start a frame in its middle, so skip to the next frame start.
            add(stats.frames_discarded, 1);
            add(stats.bytes_dropped, uint32_t(k));
            discarding = true;
            return total;
        }
        // Not zeroed: a frame leaves the reassembler only when every byte of
        // it has been written.
        f->desc.frame_size = cur.frame_size;
        f->desc.frame_idx = uint16_t(cur.fridx + chunk_frames);
        f->desc.frame_format = cur.frame_format;
        f->desc.width = cur.width;
        f->desc.height = cur.height;
        std::memcpy(f->desc.sensor_data, cur.sensor_data, sizeof f->desc.sensor_data);
        f->capacity = cur.frame_size;
        f->filled = 0;
        assembling.push_back(f);
        const size_t room = std::min<size_t>(cur.frame_size, k);
        const size_t c = fill(f, src, room, k, scan);
        src += c;
        k -= c;
        if (c < room) break;
    }
    return total - k;
}

// Copies up to room bytes into f (avail: bytes at src, for a magic pair that
// straddles the frame's end); counts the frame done when it fills.
size_t vz_stream::fill(Frame *f, const uint8_t *src, size_t room, size_t avail, bool scan) {
    uint8_t *dst = f->data() + f->filled;
    const size_t c = scan ? copy_until_magic(dst, src, room, avail) : room;
    if (!scan) std::memcpy(dst, src, c);
    f->filled += uint32_t(c);
    if (f->complete()) {
        add(stats.frames_done, 1);
        ++chunk_frames;
    }
    return c;
}

void vz_stream::publish() {
    // The incomplete frame, if any, stays under assembly.
    Frame *open = nullptr;
    if (!assembling.back()->complete()) open = assembling.pop_back();
    const uint32_t count = assembling.size();
    {
        std::unique_lock lk(lock);
        ready.splice_back(assembling);
        add(stats.frames_ready_total, count);
        add(stats.frames_in_buffer, count);
    }
    if (open) assembling.push_back(open);
}

void vz_stream::trim() {
    FrameList dropped;
    uint32_t total = 0;
    {
        std::unique_lock lk(lock);
        const uint32_t in = get(stats.frames_in_buffer);
        const uint32_t max = max_frames.load(std::memory_order_relaxed);
        if (in <= max) return;  // fetchers made room meanwhile
        const uint32_t excess = in - max;
        ready.split_front(excess, dropped);
        sub(stats.frames_in_buffer, excess);
        add(stats.frames_dropped_full, excess);
        total = get(stats.frames_dropped_full);
        uint32_t bytes = 0;
        for (Frame *f = dropped.front(); f; f = f->next) bytes += f->desc.frame_size;
        add(stats.bytes_dropped, bytes);
    }
    vz_dbg("[%s] discard frames: frame buffer is full (%d/%d)\n", kRefreshTag, int(dropped.size()),
           int(total));
    while (Frame *f = dropped.pop_front()) {
        vz_dbg("[%s] discard frame: idx = %d\n", kRefreshTag, int(f->desc.frame_idx));
        pool.give(f, pool_keep());
    }
}

// ---- fetching -------------------------------------------------------------------

uint32_t vz_stream::fetch(uint8_t *dst, uint32_t dst_len, uint32_t count,
                          vz_stream_frame_hdr_t *first, bool peek) {
    count = std::min(count, get(stats.frames_in_buffer));
    if (count == 0) return 0;

    if (peek) {
        if (!dst) return count;
        std::shared_lock lk(lock);
        // A trim or another fetch may have removed frames since the count
        // was read.
        count = std::min(count, get(stats.frames_in_buffer));
        Frame *f = ready.front();
        for (uint32_t i = 0; i < count; ++i, f = f->next) {
            if (i == 0 && first) *first = f->desc;
            const uint32_t c = std::min(dst_len, f->filled);
            std::memcpy(dst, f->data(), c);
            dst += c;
            dst_len -= c;
        }
        return count;
    }

    // Unlink under the lock, copy outside it: the frames are ours now.
    FrameList taken;
    {
        std::unique_lock lk(lock);
        count = std::min(count, get(stats.frames_in_buffer));
        ready.split_front(count, taken);
        sub(stats.frames_in_buffer, count);
    }
    if (count > 0 && first) *first = taken.front()->desc;
    while (Frame *f = taken.pop_front()) {
        if (dst) {
            const uint32_t c = std::min(dst_len, f->filled);
            std::memcpy(dst, f->data(), c);
            dst += c;
            dst_len -= c;
        }
        pool.give(f, pool_keep());
    }
    return count;
}

void vz_stream::get_state(vz_stream_state_t *out) {
    std::shared_lock lk(lock);
    out->frames_done = get(stats.frames_done);
    out->frames_ready_total = get(stats.frames_ready_total);
    out->frames_discarded = get(stats.frames_discarded);
    out->frames_dropped_full = get(stats.frames_dropped_full);
    out->frames_in_buffer = get(stats.frames_in_buffer);
    out->rsvd0 = 0;
    out->bytes_dropped = get(stats.bytes_dropped);
    out->rsvd1 = 0;
    out->reset_sec = get(stats.reset_sec);
    out->reset_usec = get(stats.reset_usec);
}

void vz_stream::reset() {
    FrameList old;
    {
        std::unique_lock lk(lock);
        old.splice_back(ready);
        for (auto *a : {&stats.frames_done, &stats.frames_ready_total, &stats.frames_discarded,
                        &stats.frames_dropped_full, &stats.frames_in_buffer, &stats.bytes_dropped})
            a->store(0, std::memory_order_relaxed);
        take_reset_time();
    }
    pool.give_all(old, pool_keep());
    pool.give_all(assembling, pool_keep());
    std::memset(hdr, 0, sizeof hdr);
    hdr_len = 0;
    chunk_done = false;
    rx = 0;
    tail_len = 0;
    chunk_frames = 0;
    last_hdr_idx = -1;
    last_fridx = -1;
    fridx_step = 1;
    // discarding keeps its value: a stream reset in the middle of a damaged
    // frame resumes at the next frame start.
}
