// The stream generator and the bulk pipe, checked with a minimal header
// parser written here from the stream header table (Fletcher-16, limits,
// hdr_idx, fridx, sof), independent of the generator's code.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "vcam/fw_host.h"
#include "vcam/sensor.h"
#include "vcam/stream.h"

namespace {

using fwtest::Host;
using fwtest::le16;
using fwtest::le32;
using vcam::Fault;
using vcam::FaultSpec;
using vcam::Firmware;
using vcam::FirmwareConfig;
using vcam::PatternSensor;
using vcam::StreamConfig;

// ---- independent parser ---------------------------------------------------------------

struct Chunk {
    uint16_t hdr_idx;
    uint32_t dlen, frame_size;
    uint16_t fridx, format, width, height;
    bool sof;
    bool cksum_ok;
    uint8_t sensor[8];
    size_t payload_at;  // offset of the payload in the stream
};

bool fletcher_ok(const uint8_t *h) {
    unsigned a = 0, b = 0;
    for (int i = 0; i < 34; ++i) {
        a = (a + h[i]) % 255;
        b = (b + a) % 255;
    }
    return h[34] == a && h[35] == b;
}

// Walks the stream header by header (each header right after the previous
// chunk's payload). Stops at the first place that is not a header.
struct Parsed {
    std::vector<Chunk> chunks;
    size_t consumed = 0;
    bool clean = true;  // the whole stream was headers and payloads
};
Parsed parse(const std::vector<uint8_t> &s) {
    Parsed p;
    size_t o = 0;
    while (o + 36 <= s.size()) {
        const uint8_t *h = &s[o];
        if (h[0] != 0xFB || h[1] != 0x98) break;
        Chunk c{};
        c.hdr_idx = le16(h + 2);
        c.dlen = le32(h + 4);
        c.frame_size = le32(h + 8);
        c.fridx = le16(h + 12);
        c.format = le16(h + 14);
        c.width = le16(h + 16);
        c.height = le16(h + 18);
        std::memcpy(c.sensor, h + 20, 8);
        c.sof = h[32] & 1;
        c.cksum_ok = fletcher_ok(h);
        c.payload_at = o + 36;
        if (c.dlen > 0xFFFFF || c.frame_size == 0 || c.frame_size > 0x7FFFFFF || c.format > 0x3FF)
            break;
        if (o + 36 + c.dlen > s.size()) break;
        p.chunks.push_back(c);
        o += 36 + c.dlen;
    }
    p.consumed = o;
    p.clean = o == s.size();
    return p;
}

struct Frame {
    uint16_t fridx;
    std::vector<uint8_t> data;
};
// Reassembles frames from clean chunks (sof starts one or several frames).
std::vector<Frame> frames_of(const std::vector<uint8_t> &s, const Parsed &p) {
    std::vector<Frame> out;
    for (auto &c : p.chunks) {
        if (c.sof) {
            for (uint32_t off = 0; off < c.dlen; off += c.frame_size) {
                Frame f;
                f.fridx = uint16_t(c.fridx + off / c.frame_size);
                uint32_t n = std::min(c.frame_size, c.dlen - off);
                f.data.assign(s.begin() + long(c.payload_at + off),
                              s.begin() + long(c.payload_at + off + n));
                out.push_back(std::move(f));
            }
        } else if (!out.empty()) {
            out.back().data.insert(out.back().data.end(), s.begin() + long(c.payload_at),
                                   s.begin() + long(c.payload_at + c.dlen));
        }
    }
    return out;
}

bool is_pattern(const Frame &f, uint32_t frame_no) {
    for (uint32_t i = 0; i < f.data.size(); ++i)
        if (f.data[i] != PatternSensor::byte_at(frame_no, i)) return false;
    return true;
}

// A firmware whose sensor yields small recognisable frames.
struct Rig {
    Firmware fw;
    Host host{fw};
    Rig(uint16_t w, uint16_t h, uint32_t bpp, StreamConfig sc, uint32_t packet = 512)
        : fw([&] {
              FirmwareConfig c;
              c.stream = sc;
              c.packet_size = packet;
              return c;
          }()) {
        fw.set_sensor(std::make_unique<PatternSensor>(w, h, bpp, 2));
    }
};

// ---- chunking ----------------------------------------------------------------------------

TEST(Stream, OneFramePerChunkCarriesEveryField) {
    Rig r(10, 5, 4, {});
    r.fw.with_sensor([](vcam::Sensor &s) {
        static_cast<PatternSensor &>(s).set_sensor_data({1, 2, 3, 4, 5, 6, 7, 8});
    });
    ASSERT_TRUE(r.host.start(3));
    auto s = r.host.drain();
    auto p = parse(s);
    ASSERT_TRUE(p.clean);
    ASSERT_EQ(p.chunks.size(), 3u);
    for (uint16_t i = 0; i < 3; ++i) {
        const auto &c = p.chunks[i];
        EXPECT_TRUE(c.cksum_ok);
        EXPECT_EQ(c.hdr_idx, i);
        EXPECT_EQ(c.fridx, i);
        EXPECT_TRUE(c.sof);
        EXPECT_EQ(c.dlen, 200u);
        EXPECT_EQ(c.frame_size, 200u);
        EXPECT_EQ(c.format, 2);
        EXPECT_EQ(c.width, 10);
        EXPECT_EQ(c.height, 5);
        EXPECT_EQ(c.sensor[7], 8);
    }
    auto f = frames_of(s, p);
    ASSERT_EQ(f.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_TRUE(is_pattern(f[i], i));
}

TEST(Stream, SeveralFramesShareAChunk) {
    StreamConfig sc;
    sc.frames_per_chunk = 3;
    Rig r(10, 10, 2, sc);
    ASSERT_TRUE(r.host.start(7));
    auto s = r.host.drain();
    auto p = parse(s);
    ASSERT_TRUE(p.clean);
    ASSERT_EQ(p.chunks.size(), 3u);  // 3 + 3 + 1 frames
    EXPECT_EQ(p.chunks[0].dlen, 600u);
    EXPECT_EQ(p.chunks[0].fridx, 0);
    EXPECT_EQ(p.chunks[1].fridx, 3);
    EXPECT_EQ(p.chunks[2].fridx, 6);
    EXPECT_EQ(p.chunks[2].dlen, 200u);
    auto f = frames_of(s, p);
    ASSERT_EQ(f.size(), 7u);
    for (uint32_t i = 0; i < 7; ++i) {
        EXPECT_EQ(f[i].fridx, i);
        EXPECT_TRUE(is_pattern(f[i], i));
    }
}

TEST(Stream, FramesPerChunkAreLimitedByDlen) {
    StreamConfig sc;
    sc.frames_per_chunk = 8;
    sc.max_dlen = 450;
    Rig r(10, 10, 2, sc);
    ASSERT_TRUE(r.host.start(4));
    auto p = parse(r.host.drain());
    ASSERT_EQ(p.chunks.size(), 2u);
    EXPECT_EQ(p.chunks[0].dlen, 400u);
}

TEST(Stream, LargeFrameIsSplitOverChunks) {
    StreamConfig sc;
    sc.max_dlen = 1000;
    Rig r(50, 25, 2, sc);  // 2500-byte frames
    ASSERT_TRUE(r.host.start(2));
    auto s = r.host.drain();
    auto p = parse(s);
    ASSERT_TRUE(p.clean);
    ASSERT_EQ(p.chunks.size(), 6u);
    const uint32_t dl[] = {1000, 1000, 500, 1000, 1000, 500};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(p.chunks[i].dlen, dl[i]);
        EXPECT_EQ(p.chunks[i].hdr_idx, i);
        EXPECT_EQ(p.chunks[i].sof, i % 3 == 0);
        EXPECT_EQ(p.chunks[i].fridx, i / 3);
        EXPECT_EQ(p.chunks[i].frame_size, 2500u);
    }
    auto f = frames_of(s, p);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_TRUE(is_pattern(f[0], 0));
    EXPECT_TRUE(is_pattern(f[1], 1));
}

TEST(Stream, IndicesStartWhereConfiguredAndWrap) {
    StreamConfig sc;
    sc.first_hdr_idx = 65534;
    sc.first_fridx = 65535;
    Rig r(4, 4, 1, sc);
    ASSERT_TRUE(r.host.start(3));
    auto p = parse(r.host.drain());
    ASSERT_EQ(p.chunks.size(), 3u);
    EXPECT_EQ(p.chunks[0].hdr_idx, 65534);
    EXPECT_EQ(p.chunks[1].hdr_idx, 65535);
    EXPECT_EQ(p.chunks[2].hdr_idx, 0);
    EXPECT_EQ(p.chunks[0].fridx, 65535);
    EXPECT_EQ(p.chunks[1].fridx, 0);
}

TEST(Stream, EveryCaptureStartsTheIndicesOver) {
    Rig r(4, 4, 1, {});
    ASSERT_TRUE(r.host.start(2));
    r.host.drain();
    ASSERT_TRUE(r.host.start(1));
    auto p = parse(r.host.drain());
    ASSERT_EQ(p.chunks.size(), 1u);
    EXPECT_EQ(p.chunks[0].hdr_idx, 0);
    EXPECT_EQ(p.chunks[0].fridx, 0);
}

// ---- delivery into host transfers -------------------------------------------------------------

// Reads the stream of `frames` frames in transfers of `room` bytes.
std::vector<size_t> transfer_sizes(Rig &r, size_t room, std::vector<uint8_t> *all = nullptr) {
    std::vector<size_t> sizes;
    std::vector<uint8_t> buf(room);
    while (r.fw.bulk_ready(room)) {
        auto x = r.fw.bulk_in(buf);
        EXPECT_EQ(x.status, Firmware::BulkStatus::ok);
        sizes.push_back(x.length);
        if (all) all->insert(all->end(), buf.begin(), buf.begin() + long(x.length));
    }
    return sizes;
}

TEST(Delivery, ShortPacketEndsTheHostTransfer) {
    Rig r(10, 20, 1, {});  // chunk of 236 bytes
    ASSERT_TRUE(r.host.start(2));
    EXPECT_EQ(transfer_sizes(r, 16384), (std::vector<size_t>{236, 236}));
}

TEST(Delivery, ChunkLargerThanTheTransferFillsSeveral) {
    Rig r(100, 20, 1, {});  // chunk of 2036 bytes
    ASSERT_TRUE(r.host.start(1));
    EXPECT_EQ(transfer_sizes(r, 1024), (std::vector<size_t>{1024, 1012}));
}

TEST(Delivery, ZeroLengthPacketEndsAWholePacketTransfer) {
    StreamConfig sc;
    Rig r(988, 1, 1, sc);  // 36 + 988 = 1024 bytes: two full packets
    ASSERT_TRUE(r.host.start(2));
    EXPECT_EQ(transfer_sizes(r, 16384), (std::vector<size_t>{1024, 1024}));
    // An exactly filled transfer leaves the zero-length packet to the next one.
    ASSERT_TRUE(r.host.start(1));
    EXPECT_EQ(transfer_sizes(r, 1024), (std::vector<size_t>{1024, 0}));
}

TEST(Delivery, WithoutZeroLengthPacketsWholePacketChunksRunOn) {
    StreamConfig sc;
    sc.zlp = false;
    Rig r(988, 1, 1, sc);
    ASSERT_TRUE(r.host.start(4));
    EXPECT_EQ(transfer_sizes(r, 2048), (std::vector<size_t>{2048, 2048}));
    // A transfer the device cannot end (no short packet follows) waits.
    ASSERT_TRUE(r.host.start(1));
    EXPECT_TRUE(transfer_sizes(r, 2048).empty());
}

TEST(Delivery, EachChunkIsItsOwnDeviceTransferByDefault) {
    StreamConfig sc;
    sc.max_dlen = 3000;
    Rig r(100, 100, 1, sc);  // 10000-byte frames in chunks of 3000, 3000, 3000, 1000
    ASSERT_TRUE(r.host.start(1));
    EXPECT_EQ(transfer_sizes(r, 16384), (std::vector<size_t>{3036, 3036, 3036, 1036}));
}

TEST(Delivery, FixedDeviceTransfersRunAcrossChunks) {
    StreamConfig sc;
    sc.max_dlen = 3000;
    sc.segment_bytes = 4096;
    Rig r(100, 100, 1, sc);
    ASSERT_TRUE(r.host.start(2));
    std::vector<uint8_t> all;
    // The frame's four chunks (10144 bytes) go out back to back; the end of
    // the frame ends the device transfer with a short packet.
    EXPECT_EQ(transfer_sizes(r, 16384, &all), (std::vector<size_t>{10144, 10144}));
    auto p = parse(all);
    EXPECT_TRUE(p.clean);
    EXPECT_EQ(p.chunks.size(), 8u);
    EXPECT_EQ(frames_of(all, p).size(), 2u);
}

TEST(Delivery, AnyMultipleOfThePacketSizeYieldsTheSameStream) {
    std::vector<uint8_t> ref;
    for (size_t room : {512u, 1536u, 16384u, 131072u, 1048576u}) {
        StreamConfig sc;
        sc.max_dlen = 3000;
        sc.frames_per_chunk = 2;
        Rig r(70, 10, 2, sc);  // 1400-byte frames, two per chunk
        ASSERT_TRUE(r.host.start(9));
        std::vector<uint8_t> all;
        transfer_sizes(r, room, &all);
        if (ref.empty()) ref = all;
        EXPECT_EQ(all, ref) << "transfer size " << room;
    }
    auto p = parse(ref);
    EXPECT_TRUE(p.clean);
    EXPECT_EQ(frames_of(ref, p).size(), 9u);
}

TEST(Delivery, PacketLargerThanTheRoomLeftOverflows) {
    Rig r(1000, 1, 1, {});  // 1036-byte chunk: 512 + 512 + 12
    ASSERT_TRUE(r.host.start(1));
    std::vector<uint8_t> buf(700);
    ASSERT_TRUE(r.fw.bulk_ready(700));
    auto x = r.fw.bulk_in(buf);
    EXPECT_EQ(x.status, Firmware::BulkStatus::overflow);
    EXPECT_EQ(x.length, 700u);
    // The rest of the overflowing packet is lost; the short packet follows.
    auto y = r.fw.bulk_in(buf);
    EXPECT_EQ(y.status, Firmware::BulkStatus::ok);
    EXPECT_EQ(y.length, 12u);
}

TEST(Delivery, FullSpeedUsesSixtyFourBytePackets) {
    Rig r(100, 1, 1, {}, 64);  // 136-byte chunk
    ASSERT_TRUE(r.host.start(1));
    std::vector<uint8_t> buf(100);
    auto x = r.fw.bulk_in(buf);
    EXPECT_EQ(x.status, Firmware::BulkStatus::overflow);  // 64 + a packet of 64 in 36 bytes
    EXPECT_EQ(x.length, 100u);
}

TEST(Delivery, NothingIsReadyBeforeCaptureStarts) {
    Rig r(10, 10, 1, {});
    EXPECT_FALSE(r.fw.bulk_ready(512));
    std::vector<uint8_t> buf(512);
    EXPECT_FALSE(r.fw.bulk_in(buf).complete);
}

// ---- frame rate ------------------------------------------------------------------------------

TEST(Rate, FramesAppearWhenDue) {
    StreamConfig sc;
    sc.fps = 10;
    Rig r(10, 10, 1, sc);
    ASSERT_TRUE(r.host.start(0));
    auto due = r.fw.next_frame_due();
    ASSERT_TRUE(due.has_value());
    EXPECT_FALSE(r.fw.bulk_ready(16384));
    r.fw.run_due(*due);
    EXPECT_EQ(r.fw.stats().frames_sent, 1u);
    r.fw.run_due(*due + std::chrono::milliseconds(250));
    EXPECT_EQ(r.fw.stats().frames_sent, 3u);
    EXPECT_EQ(transfer_sizes(r, 16384).size(), 3u);
    auto next = r.fw.next_frame_due();
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(*next - *due, std::chrono::milliseconds(300));
}

TEST(Rate, SlowHostLosesFramesAtTheSensor) {
    StreamConfig sc;
    sc.fps = 100;
    sc.max_queued_frames = 2;
    Rig r(10, 10, 1, sc);
    ASSERT_TRUE(r.host.start(0));
    auto t = *r.fw.next_frame_due();
    r.fw.run_due(t + std::chrono::milliseconds(45));  // five frames due
    EXPECT_EQ(r.fw.stats().frames_sent, 2u);
    EXPECT_EQ(r.fw.stats().frames_dropped, 3u);
    auto p = parse(r.host.drain(16384));
    ASSERT_EQ(p.chunks.size(), 2u);
    r.fw.run_due(t + std::chrono::milliseconds(50));
    p = parse(r.host.drain(16384));
    ASSERT_EQ(p.chunks.size(), 1u);
    EXPECT_EQ(p.chunks[0].fridx, 5);  // frames 2..4 never left the sensor
    EXPECT_EQ(p.chunks[0].hdr_idx, 2);
}

TEST(Rate, FrameCountEndsTheSchedule) {
    StreamConfig sc;
    sc.fps = 1000;
    Rig r(10, 10, 1, sc);
    ASSERT_TRUE(r.host.start(2));
    r.fw.run_due(*r.fw.next_frame_due() + std::chrono::seconds(1));
    EXPECT_EQ(r.fw.stats().frames_sent, 2u);
    EXPECT_FALSE(r.fw.next_frame_due().has_value());
}

// ---- stream faults -----------------------------------------------------------------------------

TEST(StreamFault, CorruptedChecksumHitsOneHeader) {
    Rig r(10, 10, 1, {});
    r.fw.inject(Fault::corrupt_header_cksum, FaultSpec().after(1));
    ASSERT_TRUE(r.host.start(3));
    auto p = parse(r.host.drain());
    ASSERT_EQ(p.chunks.size(), 3u);
    EXPECT_TRUE(p.chunks[0].cksum_ok);
    EXPECT_FALSE(p.chunks[1].cksum_ok);
    EXPECT_TRUE(p.chunks[2].cksum_ok);
}

TEST(StreamFault, LostChunkSkipsAHeaderIndex) {
    StreamConfig sc;
    sc.max_dlen = 40;
    Rig r(10, 10, 1, sc);  // 100-byte frames in chunks of 40, 40, 20
    r.fw.inject(Fault::lost_chunk, FaultSpec().after(1));
    ASSERT_TRUE(r.host.start(2));
    auto p = parse(r.host.drain());
    ASSERT_EQ(p.chunks.size(), 5u);
    EXPECT_EQ(p.chunks[0].hdr_idx, 0);
    EXPECT_EQ(p.chunks[1].hdr_idx, 2);
    EXPECT_EQ(p.chunks[1].sof, false);
    EXPECT_EQ(r.fw.fault_hits(Fault::lost_chunk), 1u);
}

TEST(StreamFault, WrongFridxOnAContinuationChunk) {
    StreamConfig sc;
    sc.max_dlen = 60;
    Rig r(10, 10, 1, sc);
    r.fw.inject(Fault::wrong_fridx, FaultSpec().after(1).arg(5));
    ASSERT_TRUE(r.host.start(1));
    auto p = parse(r.host.drain());
    ASSERT_EQ(p.chunks.size(), 2u);
    EXPECT_EQ(p.chunks[0].fridx, 0);
    EXPECT_EQ(p.chunks[1].fridx, 5);
    EXPECT_TRUE(p.chunks[1].cksum_ok);
}

TEST(StreamFault, TruncatedPayloadBringsTheNextHeaderEarly) {
    Rig r(10, 10, 1, {});
    r.fw.inject(Fault::truncated_payload, FaultSpec().arg(30));
    ASSERT_TRUE(r.host.start(2));
    auto s = r.host.drain();
    EXPECT_EQ(s.size(), 2u * 136u - 30u);
    // The first header announces 100 bytes; only 70 follow before the next header.
    EXPECT_EQ(le32(&s[4]), 100u);
    EXPECT_EQ(s[36 + 70], 0xFB);
    EXPECT_EQ(s[36 + 71], 0x98);
}

// Where the frames a capture sent went, as the camera counts them: a frame
// none of whose chunks went out with an intact header is unseen (the host
// cannot know of it); a frame not wholly read when capture stops is unsent.
// Every other frame reached the host whole or with a header it can count.
TEST(StreamFault, EveryFrameSentIsReadUnseenOrUnsent) {
    struct Case {
        const char *name;
        uint32_t max_dlen, segment;  // 100-byte frames
        Fault fault;
        uint32_t after, times;  // 0 times: no fault
        int transfers;          // host transfers read before the stop
        uint64_t unseen;
        uint64_t read;   // frames read whole
        uint64_t split;  // frames the host counts twice
    };
    const Case cases[] = {
        {"clean", 0xFFFFF, 0, Fault::lost_chunk, 0, 0, 1000, 0, 3, 0},
        {"whole frame lost", 0xFFFFF, 0, Fault::lost_chunk, 1, 1, 1000, 1, 2, 0},
        {"only header broken", 0xFFFFF, 0, Fault::corrupt_header_cksum, 1, 1, 1000, 1, 2, 0},
        {"one of three chunks lost", 40, 0, Fault::lost_chunk, 1, 1, 1000, 0, 3, 0},
        {"all three chunks lost", 40, 0, Fault::lost_chunk, 0, 3, 1000, 1, 2, 0},
        {"stopped after one frame", 0xFFFFF, 0, Fault::lost_chunk, 0, 0, 1, 0, 1, 0},
        {"stopped inside a frame", 0xFFFFF, 64, Fault::lost_chunk, 0, 0, 1, 0, 0, 0},
        // Frame 0's chunks are 0 1 2, frame 1's 3 4 5: chunk 1 continues an
        // intact start, chunk 3 starts a frame.
        {"index changed mid-frame", 40, 0, Fault::wrong_fridx, 1, 1, 1000, 0, 3, 1},
        {"index changed at a start", 40, 0, Fault::wrong_fridx, 3, 1, 1000, 0, 3, 0},
    };
    for (const Case &c : cases) {
        StreamConfig sc;
        sc.max_dlen = c.max_dlen;
        sc.segment_bytes = c.segment;
        Rig r(10, 10, 1, sc);
        if (c.times) r.fw.inject(c.fault, FaultSpec().after(c.after).times(c.times));
        ASSERT_TRUE(r.host.start(3)) << c.name;
        r.host.drain(131072, c.transfers);
        ASSERT_TRUE(r.host.stop()) << c.name;
        const vcam::FirmwareStats st = r.fw.stats();
        EXPECT_EQ(st.frames_unseen, c.unseen) << c.name;
        EXPECT_EQ(st.frames_split, c.split) << c.name;
        EXPECT_GE(st.frames_sent, std::max<uint64_t>(c.read, 1)) << c.name;
        EXPECT_EQ(st.frames_sent, c.read + st.frames_unseen + st.frames_unsent) << c.name;
    }
}

// ---- bulk endpoint faults in the model -------------------------------------------------------------

TEST(BulkFault, StallAndErrorStrikeTheirTransfers) {
    Rig r(10, 10, 1, {});
    r.fw.inject(Fault::bulk_stall, FaultSpec().after(1));
    r.fw.inject(Fault::bulk_error, FaultSpec().after(2));
    ASSERT_TRUE(r.host.start(0));
    std::vector<uint8_t> buf(16384);
    std::vector<Firmware::BulkStatus> st;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(r.fw.bulk_ready(buf.size()));
        st.push_back(r.fw.bulk_in(buf).status);
    }
    using S = Firmware::BulkStatus;
    EXPECT_EQ(st, (std::vector<S>{S::ok, S::stall, S::error, S::ok}));
}

TEST(BulkFault, TimeoutHoldsTheHeadTransferUntilCancelled) {
    Rig r(10, 10, 1, {});
    r.fw.inject(Fault::bulk_timeout, FaultSpec().after(1));
    ASSERT_TRUE(r.host.start(0));
    std::vector<uint8_t> buf(16384);
    ASSERT_TRUE(r.fw.bulk_ready(buf.size()));
    EXPECT_EQ(r.fw.bulk_in(buf).length, 136u);
    EXPECT_FALSE(r.fw.bulk_ready(buf.size()));
    r.fw.bulk_head_cancelled();
    ASSERT_TRUE(r.fw.bulk_ready(buf.size()));
    auto p = parse(std::vector<uint8_t>(buf.begin(), buf.begin() + long(r.fw.bulk_in(buf).length)));
    ASSERT_EQ(p.chunks.size(), 1u);
    EXPECT_EQ(p.chunks[0].fridx, 1);  // no data was lost while the host waited
}

TEST(BulkFault, VanishedDeviceReportsNoDevice) {
    Rig r(10, 10, 1, {});
    r.fw.inject(Fault::vanish, FaultSpec().after(2));
    ASSERT_TRUE(r.host.start(0));
    std::vector<uint8_t> buf(16384);
    EXPECT_EQ(r.fw.bulk_in(buf).status, Firmware::BulkStatus::ok);
    EXPECT_EQ(r.fw.bulk_in(buf).status, Firmware::BulkStatus::ok);
    auto x = r.fw.bulk_in(buf);
    EXPECT_TRUE(x.complete);
    EXPECT_EQ(x.status, Firmware::BulkStatus::no_device);
    EXPECT_TRUE(r.fw.unplugged());
    EXPECT_FALSE(r.fw.capturing());
}

}  // namespace
