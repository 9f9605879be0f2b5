// The camera's bulk stream: frames cut into chunks behind stream headers, and
// the bulk IN pipe that hands them to host transfers.
#include "vcam/stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "vcam/proto.h"

namespace vcam {

using namespace proto;

void BulkPipe::push(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        size_t take = bytes.size();
        if (segment_ > 0) take = std::min<size_t>(take, segment_ - (wr_ - seg_start_));
        buf_.insert(buf_.end(), bytes.begin(), bytes.begin() + long(take));
        wr_ += take;
        bytes = bytes.subspan(take);
        if (segment_ > 0 && wr_ - seg_start_ == segment_) {
            // A full segment runs straight into the next one unless it ends short.
            if (segment_ % packet_ != 0) ends_.push_back(wr_);
            seg_start_ = wr_;
        }
    }
}

void BulkPipe::end_transfer() { mark_boundary(); }

void BulkPipe::mark_boundary() {
    uint64_t len = wr_ - seg_start_;
    if (len == 0) return;
    if (len % packet_ != 0 || zlp_) ends_.push_back(wr_);
    seg_start_ = wr_;
}

void BulkPipe::end_frames(uint32_t frames) {
    if (!frame_ends_.empty() && frame_ends_.back().first == wr_)
        frame_ends_.back().second += frames;
    else
        frame_ends_.emplace_back(wr_, frames);
}

uint64_t BulkPipe::frames_queued() const {
    uint64_t n = 0;
    for (const auto &e : frame_ends_)
        if (e.first > rd_) n += e.second;
    return n;
}

void BulkPipe::clear() {
    buf_.clear();
    ends_.clear();
    frame_ends_.clear();
    base_ = rd_ = wr_ = seg_start_ = 0;
}

BulkPipe::Fill BulkPipe::plan(size_t room, uint8_t *dst, uint64_t *pos_out,
                              size_t *ends_used) const {
    Fill f;
    uint64_t pos = rd_;
    size_t bi = 0;
    const uint64_t none = std::numeric_limits<uint64_t>::max();
    while (true) {
        if (f.length == room) {
            f.complete = true;
            break;
        }
        uint64_t end = bi < ends_.size() ? ends_[bi] : none;
        if (end == pos) {  // zero-length packet
            ++bi;
            f.complete = true;
            break;
        }
        uint64_t avail = (end == none ? wr_ : end) - pos;
        size_t p;
        if (end == none) {
            if (avail < packet_) break;  // the open transfer has no full packet yet
            p = packet_;
        } else {
            p = size_t(std::min<uint64_t>(packet_, avail));
        }
        size_t left = room - f.length;
        size_t copy = std::min(p, left);
        if (dst) copy_bytes(dst + f.length, buf_.data() + (pos - base_), copy);
        f.length += copy;
        pos += p;
        const bool short_pkt = p < packet_;
        if (short_pkt) ++bi;  // the transfer's last packet: its end is used up
        if (p > left) {
            f.overflow = true;
            f.complete = true;
            break;
        }
        if (short_pkt) {
            f.complete = true;
            break;
        }
    }
    if (pos_out) *pos_out = pos;
    if (ends_used) *ends_used = bi;
    return f;
}

BulkPipe::Fill BulkPipe::fill(std::span<uint8_t> dst) {
    Fill f = plan(dst.size(), nullptr, nullptr, nullptr);
    if (!f.complete) return f;
    uint64_t pos = 0;
    size_t used = 0;
    f = plan(dst.size(), dst.data(), &pos, &used);
    rd_ = pos;
    ends_.erase(ends_.begin(), ends_.begin() + long(used));
    while (!frame_ends_.empty() && frame_ends_.front().first <= rd_) frame_ends_.pop_front();
    // Release consumed bytes.
    if (rd_ == wr_) {
        buf_.clear();
        base_ = rd_;
    } else if (rd_ - base_ > (1u << 20) && rd_ - base_ > buf_.size() / 2) {
        buf_.erase(buf_.begin(), buf_.begin() + long(rd_ - base_));
        base_ = rd_;
    }
    return f;
}

void ChunkHeader::write(uint8_t *o) const {
    std::memset(o, 0, kStreamHdrLen);
    put16(o + 0, kStreamMagic);
    put16(o + 2, hdr_idx);
    put32(o + 4, dlen);
    put32(o + 8, frame_size);
    put16(o + 12, fridx);
    put16(o + 14, frame_format);
    put16(o + 16, width);
    put16(o + 18, height);
    std::memcpy(o + 20, sensor_data.data(), 8);
    o[32] = sof ? 1 : 0;
    put16(o + 34, fletcher16(o, 34));
}

uint32_t StreamGen::group_size(const FrameDesc &desc, uint32_t frames_left) const {
    uint32_t k = std::max<uint32_t>(1, cfg_.frames_per_chunk);
    if (desc.size == 0 || desc.size > cfg_.max_dlen) return 1;
    k = std::min(k, cfg_.max_dlen / desc.size);
    k = std::min(k, std::max<uint32_t>(1, frames_left));
    return std::max<uint32_t>(1, k);
}

void StreamGen::emit(const FrameDesc &desc, std::span<const uint8_t> data, uint32_t nframes,
                     BulkPipe &pipe, FaultTable &faults) {
    ChunkHeader h;
    h.frame_size = desc.size;
    h.frame_format = desc.format;
    h.width = desc.width;
    h.height = desc.height;
    h.sensor_data = desc.sensor_data;
    h.fridx = fridx_;
    const uint32_t max_dlen = std::clamp<uint32_t>(cfg_.max_dlen, 1, kMaxDlen);
    bool seen = false;
    if (nframes > 1 || data.size() <= max_dlen) {
        h.dlen = uint32_t(data.size());
        h.sof = true;
        seen = chunk(h, data, pipe, faults);
    } else {
        size_t off = 0;
        bool first = true, intact = true;  // every chunk so far went out whole
        while (off < data.size()) {
            size_t len = std::min<size_t>(max_dlen, data.size() - off);
            h.dlen = uint32_t(len);
            h.sof = first;
            seen = chunk(h, data.subspan(off, len), pipe, faults) || seen;
            if (!first && intact && fate_.wrong_fridx && !fate_.lost && !fate_.bad_ck) ++split_;
            intact = intact && fate_.intact();
            off += len;
            first = false;
        }
    }
    fridx_ = uint16_t(fridx_ + nframes);
    // A frame the host can see is in the device until its last byte leaves.
    if (seen)
        pipe.end_frames(nframes);
    else
        unseen_ += nframes;
    pipe.end_transfer();
}

bool StreamGen::chunk(ChunkHeader h, std::span<const uint8_t> payload, BulkPipe &pipe,
                      FaultTable &faults) {
    h.hdr_idx = hdr_idx_++;
    ++chunks_;
    // Each chunk is one occurrence of every stream fault.
    const bool lost = faults.strike(Fault::lost_chunk);
    const bool bad_fridx = faults.strike(Fault::wrong_fridx);
    const bool bad_ck = faults.strike(Fault::corrupt_header_cksum);
    const bool trunc = faults.strike(Fault::truncated_payload);
    fate_ = {lost, bad_fridx, bad_ck, trunc};
    if (lost) return false;
    if (bad_fridx) {
        int v = faults.value(Fault::wrong_fridx);
        h.fridx = uint16_t(h.fridx + (v != 0 ? v : 1));
    }
    uint8_t hdr[kStreamHdrLen];
    h.write(hdr);
    if (bad_ck) hdr[34] = uint8_t(~hdr[34]);
    size_t n = payload.size();
    if (trunc) {
        int v = faults.value(Fault::truncated_payload);
        size_t cut = v > 0 ? std::min<size_t>(size_t(v), n) : n / 2;
        n -= cut;
    }
    pipe.push({hdr, kStreamHdrLen});
    pipe.push(payload.first(n));
    if (cfg_.segment_bytes == 0) pipe.end_transfer();
    return !bad_ck;
}

}  // namespace vcam
