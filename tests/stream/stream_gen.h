// Test stream generator: builds camera byte streams (36-byte headers and
// payload) from frame descriptions, with the chunk layouts a camera may use,
// plus damage, and cuts them into transfers. Written from the wire format
// alone (its own header writer and check sum), so that it does not mirror the
// reassembler's code. Header-only: used by the tests, the fuzzer's seed
// corpus and the benchmark.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "vizor/stream.h"

namespace vzt {

using Bytes = std::vector<uint8_t>;

// Fletcher-16 over bytes 0..33 of a header, as the camera documents it.
inline uint16_t ref_fletcher16(const uint8_t *p, size_t n) {
    unsigned s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) {
        s1 = (s1 + p[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return uint16_t(s1 + 256 * s2);
}

// Fields of one wire header.
struct Hdr {
    uint16_t hdr_idx = 0;
    uint32_t dlen = 0;
    uint32_t frame_size = 0;
    uint16_t fridx = 0;
    uint16_t frame_format = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    std::array<uint8_t, 8> sensor{};
    bool sof = false;
    bool bad_cksum = false;  // write a wrong check sum
};

inline std::array<uint8_t, 36> encode(const Hdr &h) {
    std::array<uint8_t, 36> b{};
    auto w16 = [&](size_t o, uint32_t v) {
        b[o] = uint8_t(v);
        b[o + 1] = uint8_t(v >> 8);
    };
    auto w32 = [&](size_t o, uint32_t v) {
        w16(o, v & 0xFFFF);
        w16(o + 2, v >> 16);
    };
    b[0] = 0xFB;
    b[1] = 0x98;
    w16(2, h.hdr_idx);
    w32(4, h.dlen);
    w32(8, h.frame_size);
    w16(12, h.fridx);
    w16(14, h.frame_format);
    w16(16, h.width);
    w16(18, h.height);
    std::copy(h.sensor.begin(), h.sensor.end(), b.begin() + 20);
    b[32] = h.sof ? 1 : 0;
    uint16_t ck = ref_fletcher16(b.data(), 34);
    if (h.bad_cksum) ck ^= 0x0101;
    w16(34, ck);
    return b;
}

// A frame as the application must receive it.
struct Frame {
    vz_stream_frame_hdr_t desc{};
    Bytes data;
    int group = 0;  // the chunk group that carries it
};

// One chunk: its header and payload, optionally preceded by junk bytes.
struct Chunk {
    Hdr hdr;
    Bytes payload;
    Bytes junk_before;
    int group = 0;  // chunks of one group carry the same frames
};

struct Stream {
    std::vector<Frame> frames;  // every frame, in stream order
    std::vector<Chunk> chunks;

    Bytes bytes() const {
        Bytes out;
        for (const Chunk &c : chunks) {
            out.insert(out.end(), c.junk_before.begin(), c.junk_before.end());
            const auto h = encode(c.hdr);
            out.insert(out.end(), h.begin(), h.end());
            out.insert(out.end(), c.payload.begin(), c.payload.end());
        }
        return out;
    }

    // Damage, as a faulty device or a lossy link produces it.
    void bad_checksum(size_t k) { chunks.at(k).hdr.bad_cksum = true; }
    void drop_chunk(size_t k) { chunks.erase(chunks.begin() + long(k)); }
    void index_gap(size_t k) {  // hdr_idx jumps by one before chunk k
        for (size_t i = k; i < chunks.size(); ++i) ++chunks[i].hdr.hdr_idx;
    }
    void junk_before(size_t k, Bytes junk) { chunks.at(k).junk_before = std::move(junk); }
    void truncate(size_t k, size_t t) {  // payload shorter than its dlen
        Bytes &p = chunks.at(k).payload;
        p.resize(p.size() - std::min(t, p.size()));
    }

    // Frames whose idx is not in the list, in order.
    std::vector<const Frame *> frames_except(std::initializer_list<int> lost) const {
        std::vector<const Frame *> out;
        for (const Frame &f : frames)
            if (std::find(lost.begin(), lost.end(), int(f.desc.frame_idx)) == lost.end())
                out.push_back(&f);
        return out;
    }

    // Renumbers hdr_idx consecutively from first (after damage that removed
    // or inserted chunks, when the test wants an unbroken header sequence).
    void renumber(uint16_t first) {
        for (Chunk &c : chunks) c.hdr.hdr_idx = first++;
    }
};

inline Bytes random_bytes(std::mt19937 &rng, size_t n) {
    Bytes b(n);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const uint32_t r = uint32_t(rng());
        std::memcpy(b.data() + i, &r, 4);
    }
    for (; i < n; ++i) b[i] = uint8_t(rng());
    return b;
}

// Chunk layouts a camera may send for a group of frames of one description.
enum class Layout {
    whole,       // one chunk of k whole frames (sof)
    split,       // one frame over m chunks (first sof, the rest continue it)
    split_tail,  // split, and the last chunk also carries k whole frames
};

struct GenOptions {
    uint32_t min_frame = 1;
    uint32_t max_frame = 4096;
    uint16_t first_hdr_idx = 0;
    uint16_t first_fridx = 0;
    bool allow_split = true;
    bool allow_split_tail = true;
    int max_whole = 4;  // frames per whole chunk
};

class Generator {
public:
    Generator(std::mt19937 &rng, GenOptions opt)
        : rng_(rng), opt_(opt), hdr_idx_(opt.first_hdr_idx), fridx_(opt.first_fridx) {}

    // Appends frames in groups of random layout until at least n frames exist.
    Stream make(size_t n) {
        Stream s;
        while (s.frames.size() < n) {
            Layout l = Layout::whole;
            const unsigned r = rng_() % 3;
            if (r == 1 && opt_.allow_split) l = Layout::split;
            if (r == 2 && opt_.allow_split_tail) l = Layout::split_tail;
            add_group(s, l, random_desc());
        }
        return s;
    }

    vz_stream_frame_hdr_t random_desc() {
        vz_stream_frame_hdr_t d{};
        d.frame_size = opt_.min_frame + uint32_t(rng_() % (opt_.max_frame - opt_.min_frame + 1));
        d.frame_format = uint16_t(rng_() % 0x400);
        d.width = uint16_t(rng_());
        d.height = uint16_t(rng_());
        for (auto &b : d.sensor_data) b = uint8_t(rng_());
        return d;
    }

    // Adds one group of the layout with frames of description d: `whole`
    // frames in a whole chunk or after a split frame's tail (0: random), the
    // split frame in `parts` chunks (0: random, 2 to 4).
    void add_group(Stream &s, Layout l, vz_stream_frame_hdr_t d, int whole = 0,
                   uint32_t parts = 0) {
        ++group_;
        const uint32_t fs = d.frame_size;
        if (fs < 2 && l != Layout::whole) l = Layout::whole;  // cannot split 1 byte
        const int cap = int(std::max<uint32_t>(
            1, std::min<uint32_t>(uint32_t(opt_.max_whole), VZ_STREAM_MAX_DLEN / fs)));
        if (whole <= 0) whole = 1 + int(rng_() % unsigned(cap));
        if (l == Layout::whole) {
            Chunk c = chunk(d, fridx_, true);
            for (int i = 0; i < whole; ++i) append_frame(s, c, d);
            s.chunks.push_back(std::move(c));
            return;
        }
        // One frame over m chunks at random cut points.
        const uint32_t m = parts ? std::min(parts, fs) : 2 + rng_() % std::min<uint32_t>(3, fs - 1);
        std::vector<uint32_t> cuts{0, fs};
        while (cuts.size() < m + 1) {
            const uint32_t at = 1 + rng_() % (fs - 1);
            if (std::find(cuts.begin(), cuts.end(), at) == cuts.end()) cuts.push_back(at);
        }
        std::sort(cuts.begin(), cuts.end());
        const uint16_t f = fridx_;
        Frame fr = new_frame(d);
        for (size_t i = 0; i + 1 < cuts.size(); ++i) {
            Chunk c = chunk(d, f, i == 0);
            c.payload.assign(fr.data.begin() + cuts[i], fr.data.begin() + cuts[i + 1]);
            c.hdr.dlen = uint32_t(c.payload.size());
            s.chunks.push_back(std::move(c));
        }
        s.frames.push_back(std::move(fr));
        Chunk &last = s.chunks.back();
        if (l == Layout::split_tail) {
            const int k =
                std::max(1, std::min(whole, int((VZ_STREAM_MAX_DLEN - last.payload.size()) / fs)));
            for (int i = 0; i < k; ++i) append_frame(s, last, d);
        }
        last.hdr.dlen = uint32_t(last.payload.size());
    }

private:
    Chunk chunk(const vz_stream_frame_hdr_t &d, uint16_t fridx, bool sof) {
        Chunk c;
        c.hdr.hdr_idx = hdr_idx_++;
        c.hdr.frame_size = d.frame_size;
        c.hdr.fridx = fridx;
        c.hdr.frame_format = d.frame_format;
        c.hdr.width = d.width;
        c.hdr.height = d.height;
        std::copy(std::begin(d.sensor_data), std::end(d.sensor_data), c.hdr.sensor.begin());
        c.hdr.sof = sof;
        c.group = group_;
        return c;
    }

    Frame new_frame(const vz_stream_frame_hdr_t &d) {
        Frame fr;
        fr.desc = d;
        fr.desc.frame_idx = fridx_++;
        fr.data = random_bytes(rng_, d.frame_size);
        fr.group = group_;
        return fr;
    }

    void append_frame(Stream &s, Chunk &c, const vz_stream_frame_hdr_t &d) {
        Frame fr = new_frame(d);
        c.payload.insert(c.payload.end(), fr.data.begin(), fr.data.end());
        c.hdr.dlen = uint32_t(c.payload.size());
        s.frames.push_back(std::move(fr));
    }

    std::mt19937 &rng_;
    GenOptions opt_;
    uint16_t hdr_idx_;
    uint16_t fridx_;
    int group_ = 0;
};

// Transfer sizes covering total bytes: every transfer `fixed` bytes (the last
// may be shorter), or, with fixed 0, random sizes from 1 to max_random.
inline std::vector<size_t> cut(size_t total, size_t fixed, std::mt19937 &rng,
                               size_t max_random = 131072) {
    std::vector<size_t> sizes;
    for (size_t at = 0; at < total;) {
        size_t n = fixed ? fixed : 1 + rng() % max_random;
        n = std::min(n, total - at);
        sizes.push_back(n);
        at += n;
    }
    return sizes;
}

}  // namespace vzt
