// The camera's bulk stream: frames cut into chunks behind 36-byte stream
// headers (StreamGen), and the device side of the bulk IN pipe that hands the
// byte stream to host transfers in max-packet units (BulkPipe).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <utility>
#include <vector>

#include "vcam/faults.h"
#include "vcam/sensor.h"

namespace vcam {

struct StreamConfig {
    // Largest payload of one chunk (dlen), at most 0xFFFFF. A frame larger than
    // this is split over several chunks (first with sof, the rest without).
    uint32_t max_dlen = 0xFFFFF;
    // Whole frames packed into one chunk when they fit into max_dlen (the
    // chunk's fridx is its first frame's index).
    uint32_t frames_per_chunk = 1;
    // 0: every chunk (header and payload) is one device-side transfer, ended by
    // a short packet. S > 0: the device sends the stream in transfers of S
    // bytes; a transfer also ends after the last chunk of each frame group.
    uint32_t segment_bytes = 0;
    // A device transfer whose length is a whole number of packets ends with a
    // zero-length packet (otherwise it runs on into the next one).
    bool zlp = true;
    // Frames per second; 0 = as fast as the host reads.
    double fps = 0;
    // Header and frame index of the first chunk after each capture start.
    uint16_t first_hdr_idx = 0;
    uint16_t first_fridx = 0;
    // Frames that may wait in the device when the host reads too slowly (rate
    // mode only); later frames are dropped at the sensor (their fridx is used).
    uint32_t max_queued_frames = 8;
};

// Device side of the bulk IN endpoint. Bytes are pushed as device-side
// transfers; a host transfer takes whole packets until it is full or a short
// (or zero-length) packet ends it. A packet that does not fit the room left
// in the host transfer overflows it: the room is filled, the rest of that
// packet is lost and the transfer ends with an overflow.
class BulkPipe {
public:
    explicit BulkPipe(uint32_t packet_size = 512) : packet_(packet_size) {}

    void set_packet_size(uint32_t p) { packet_ = p ? p : 512; }
    uint32_t packet_size() const { return packet_; }
    void set_segment(uint32_t segment_bytes, bool zlp) {
        segment_ = segment_bytes;
        zlp_ = zlp;
    }

    // Appends bytes to the current device-side transfer (cutting it into
    // segment-sized transfers when a segment size is set).
    void push(std::span<const uint8_t> bytes);
    // Ends the current device-side transfer.
    void end_transfer();
    void clear();

    // Bytes waiting in the device.
    size_t queued() const { return size_t(wr_ - rd_); }
    // Marks the bytes pushed so far as the end of `frames` frames.
    void end_frames(uint32_t frames);
    // Frames whose last byte has not left the device yet.
    uint64_t frames_queued() const;

    struct Fill {
        bool complete = false;  // the host transfer ends now
        size_t length = 0;      // bytes delivered
        bool overflow = false;  // ended by a packet larger than the room left
    };
    // Whether a host transfer of `room` bytes would complete now.
    bool can_complete(size_t room) const { return plan(room, nullptr, nullptr, nullptr).complete; }
    // Completes a host transfer into dst (when it can complete; otherwise
    // nothing is taken and complete is false).
    Fill fill(std::span<uint8_t> dst);

private:
    Fill plan(size_t room, uint8_t *dst, uint64_t *pos_out, size_t *ends_used) const;
    void mark_boundary();

    uint32_t packet_;
    uint32_t segment_ = 0;
    bool zlp_ = true;
    std::vector<uint8_t> buf_;   // bytes from stream position base_
    uint64_t base_ = 0;          // stream position of buf_[0]
    uint64_t rd_ = 0, wr_ = 0;   // stream positions
    uint64_t seg_start_ = 0;     // start of the open device transfer
    std::deque<uint64_t> ends_;  // ends of device transfers that end with a
                                 // short or zero-length packet
    // Stream position after the last byte of frames still (partly) in the
    // device, with the frame count ending there.
    std::deque<std::pair<uint64_t, uint32_t>> frame_ends_;
};

// Writes the 36-byte header of one chunk.
struct ChunkHeader {
    uint16_t hdr_idx = 0;
    uint32_t dlen = 0;
    uint32_t frame_size = 0;
    uint16_t fridx = 0;
    uint16_t frame_format = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    std::array<uint8_t, 8> sensor_data{};
    bool sof = false;
    void write(uint8_t *out) const;  // with a correct Fletcher-16
};

// Turns frames into chunks. Stream faults (FaultTable) strike per chunk.
class StreamGen {
public:
    void start(const StreamConfig &cfg) {
        cfg_ = cfg;
        hdr_idx_ = cfg.first_hdr_idx;
        fridx_ = cfg.first_fridx;
    }
    // How many frames of `desc` the next emit() should carry.
    uint32_t group_size(const FrameDesc &desc, uint32_t frames_left) const;
    // Emits `nframes` frames laid out back to back in `data` as chunks into
    // the pipe, then ends the device-side transfer.
    void emit(const FrameDesc &desc, std::span<const uint8_t> data, uint32_t nframes,
              BulkPipe &pipe, FaultTable &faults);
    // A frame lost at the sensor: its index is used up.
    void skip_frame() { ++fridx_; }
    // The frame index of the next frame (a replay keeps the recorded ones).
    void set_next_fridx(uint16_t fridx) { fridx_ = fridx; }
    uint16_t next_fridx() const { return fridx_; }
    uint16_t next_hdr_idx() const { return hdr_idx_; }
    uint64_t chunks() const { return chunks_; }
    // Frames of which no chunk reached the pipe with an intact header (every
    // chunk lost or its header check sum broken): the host cannot see them.
    uint64_t frames_unseen() const { return unseen_; }
    // Frames cut in two by a wrong frame index on a continuation chunk that
    // follows intact ones: the host drops the frame it was assembling and the
    // continuation as a frame of its own, counting two discards for one frame.
    uint64_t frames_split() const { return split_; }

private:
    // What the faults did to the last chunk.
    struct Fate {
        bool lost = false, wrong_fridx = false, bad_ck = false, truncated = false;
        bool intact() const { return !lost && !wrong_fridx && !bad_ck && !truncated; }
    };
    // Returns whether the chunk's header went out intact.
    bool chunk(ChunkHeader h, std::span<const uint8_t> payload, BulkPipe &pipe, FaultTable &faults);
    StreamConfig cfg_;
    uint16_t hdr_idx_ = 0;
    uint16_t fridx_ = 0;
    uint64_t chunks_ = 0;
    uint64_t unseen_ = 0;
    uint64_t split_ = 0;
    Fate fate_;
};

}  // namespace vcam
