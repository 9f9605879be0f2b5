// The firmware model driven with setup packets, without USB: every request,
// the status reply, registers, parameters, capture, reset, the data-transfer
// state machine with its flash store, and the calibration-upload mode.
#include <gtest/gtest.h>

#include <numeric>

#include "vcam/fw_host.h"

namespace {

using fwtest::Host;
using fwtest::le16;
using fwtest::le32;
using fwtest::w16;
using fwtest::w32;
using vcam::Fault;
using vcam::FaultSpec;
using vcam::Firmware;

class Fw : public ::testing::Test {
protected:
    Firmware fw;
    Host host{fw};
};

// ---- status reply ------------------------------------------------------------------

TEST_F(Fw, StatusNamesTheLastCommandDone) {
    ASSERT_TRUE(host.out(0xC2, 5, {0xC2}));
    auto s = host.status();
    EXPECT_EQ(s.len, 63u);
    EXPECT_EQ(s.code, 0x00);
    EXPECT_EQ(s.req, 0xC2);
    EXPECT_EQ(s.value, 5);
    // Reading the status does not change it.
    EXPECT_EQ(host.status().req, 0xC2);
}

TEST_F(Fw, FailedCommandReportsItsMessage) {
    ASSERT_TRUE(host.out(0xC2, 9, {}));
    auto s = host.status();
    EXPECT_EQ(s.code, 0xFF);
    EXPECT_EQ(s.req, 0xC2);
    EXPECT_EQ(s.value, 9);
    EXPECT_EQ(s.text, "unknown control command 9");
}

TEST_F(Fw, StatusMessageIsCutToTheReply) {
    fw.inject(Fault::command_fails, FaultSpec().text(std::string(80, 'x')));
    ASSERT_TRUE(host.out(0xC2, 5, {0xC2}));
    auto r = host.in(0xB0, 0, 63);
    ASSERT_EQ(r.size(), 63u);
    EXPECT_EQ(r[0], 0xFF);
    EXPECT_EQ(std::count(r.begin() + 3, r.end(), 'x'), 60);  // no terminator fits
    EXPECT_TRUE(fw.capturing() == false);
}

TEST_F(Fw, FailedCommandIsNotExecuted) {
    fw.inject(Fault::command_fails, FaultSpec().text("sensor not ready"));
    ASSERT_TRUE(host.out(0xC2, 4, {0, 0, 0, 0}));
    auto s = host.status();
    EXPECT_EQ(s.code, 0xFF);
    EXPECT_EQ(s.text, "sensor not ready");
    EXPECT_FALSE(fw.capturing());
    // The fault struck once; the next start works.
    EXPECT_TRUE(host.start(0));
    EXPECT_TRUE(fw.capturing());
}

TEST_F(Fw, BusyFaultAnswersBusyThenDone) {
    fw.inject(Fault::status_busy, FaultSpec().times(2));
    ASSERT_TRUE(host.out(0xC2, 5, {0xC2}));
    EXPECT_EQ(host.status().code, 0xFE);
    auto s = host.status();
    EXPECT_EQ(s.code, 0xFE);
    EXPECT_EQ(s.req, 0xC2);
    EXPECT_EQ(host.status().code, 0x00);
    EXPECT_EQ(fw.fault_hits(Fault::status_busy), 2u);
}

TEST_F(Fw, OtherCommandFaultNamesAnotherRequest) {
    fw.inject(Fault::status_other_cmd);
    ASSERT_TRUE(host.out(0xC0, 3, {}));
    auto s = host.status();
    EXPECT_EQ(s.code, 0x00);
    EXPECT_NE(s.req, 0xC0);
    EXPECT_EQ(host.status().req, 0xC0);
}

TEST_F(Fw, ShortReplyFaultWithholdsBytes) {
    fw.inject(Fault::short_control_reply, FaultSpec().after(1).arg(10));
    EXPECT_EQ(host.in(0xB0, 0, 63).size(), 63u);
    EXPECT_EQ(host.in(0xB0, 0, 63).size(), 53u);
    EXPECT_EQ(host.in(0xB0, 0, 63).size(), 63u);
}

TEST_F(Fw, MalformedSetupPacketsStall) {
    EXPECT_FALSE(host.out(0xC2, 5, {0xC2}, 0x40));  // vendor, device recipient
    EXPECT_FALSE(host.out(0xC2, 5, {0xC2}, 0x21));  // class, interface recipient
    auto s = Host::setup(0x22, 0xC2, 5, 1, 3);      // wIndex not 0
    uint8_t b = 0xC2;
    EXPECT_TRUE(fw.control(s.data(), {&b, 1}, {}).stall);
    EXPECT_FALSE(host.out(0xB0, 0, {}));  // status is read-only
    host.in(0xC2, 4, 4);                  // capture start cannot be read
    EXPECT_TRUE(host.stalled);
    EXPECT_EQ(fw.stats().protocol_errors, 5u);
}

TEST_F(Fw, CommandLogRecordsTheTraffic) {
    host.out(0xC0, 3, Host::rec(13, {0x10, 0x27}));
    host.status();
    auto log = fw.command_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].request_type, 0x22);
    EXPECT_EQ(log[0].request, 0xC0);
    EXPECT_EQ(log[0].value, 3);
    EXPECT_EQ(log[0].length, 20);
    EXPECT_EQ(log[0].out.size(), 20u);
    EXPECT_EQ(log[1].request, 0xB0);
}

// ---- registers ---------------------------------------------------------------------

TEST_F(Fw, SensorRegistersKeepTheLowByte) {
    ASSERT_TRUE(host.reg_write(1, 250, {0x1234, 0xFF, 0xABCDEF01}));
    std::vector<uint32_t> v;
    ASSERT_TRUE(host.reg_read(1, 250, 3, v));
    EXPECT_EQ(v, (std::vector<uint32_t>{0x34, 0xFF, 0x01}));
    EXPECT_EQ(fw.reg(1, 251), 0xFFu);
}

TEST_F(Fw, SensorRegistersEndAt255) {
    EXPECT_FALSE(host.reg_write(1, 255, {1, 2}));
    EXPECT_EQ(fw.reg(1, 255), 0u);  // a refused write changes nothing
    std::vector<uint32_t> v;
    EXPECT_FALSE(host.reg_read(1, 256, 1, v));
    EXPECT_TRUE(host.reg_write(1, 255, {7}));
}

TEST_F(Fw, OtherTargetsHold32BitRegisters) {
    ASSERT_TRUE(host.reg_write(2, 0x100000, {0xDEADBEEF, 0x01020304}));
    ASSERT_TRUE(host.reg_write(9, 0x100000, {5}));
    std::vector<uint32_t> v;
    ASSERT_TRUE(host.reg_read(2, 0x100000, 3, v));
    EXPECT_EQ(v, (std::vector<uint32_t>{0xDEADBEEF, 0x01020304, 0}));
    EXPECT_EQ(fw.reg(9, 0x100000), 5u);
}

TEST_F(Fw, RegisterWriteOfNoRegistersSucceeds) { EXPECT_TRUE(host.reg_write(1, 0, {})); }

TEST_F(Fw, RegisterByteCountMustMatchThePayload) {
    std::vector<uint8_t> p = {2, 0, 0, 0, 0, 8, 0, 1, 0, 0, 0};  // says 8, carries 4
    ASSERT_TRUE(host.out(0xC2, 0, p));
    auto s = host.status();
    EXPECT_EQ(s.code, 0xFF);
    EXPECT_EQ(fw.reg(2, 0), 0u);
}

TEST_F(Fw, RegisterReadWithoutItsWritePhaseFails) {
    auto r = host.in(0xC2, 1, 4);
    EXPECT_TRUE(r.empty());
    EXPECT_EQ(host.status().code, 0xFF);
}

TEST_F(Fw, RegisterReadPhasesFollowTheHeader) {
    fw.set_reg(3, 40, 11);
    fw.set_reg(3, 55, 22);
    std::vector<uint32_t> v;
    ASSERT_TRUE(host.reg_read(3, 40, 16, v));
    EXPECT_EQ(v[0], 11u);
    EXPECT_EQ(v[15], 22u);
    // A read phase asking for less than announced delivers it but fails.
    std::vector<uint8_t> p = {3, 40, 0, 0, 0, 8, 0};
    ASSERT_TRUE(host.out(0xC2, 1, p));
    EXPECT_EQ(host.in(0xC2, 1, 4).size(), 4u);
    EXPECT_EQ(host.status().code, 0xFF);
}

// ---- parameters -----------------------------------------------------------------------

TEST_F(Fw, EveryDeviceParameterHasItsValue) {
    auto r = host.param_get({0, 2, 3});
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0][0], 0);
    EXPECT_EQ(r[0][1], 1);
    EXPECT_EQ(r[0][2], 0);  // normal mode
    EXPECT_EQ(r[1][1], 18);
    EXPECT_EQ(std::string(&r[1][2], &r[1][2] + 18), std::string("vizor vcam") + std::string(8, 0));
    EXPECT_EQ(r[2][1], 9);
    EXPECT_EQ(std::string(&r[2][2], &r[2][2] + 9), "VZ-T0-320");

    r = host.param_get({5, 6, 7});
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0][1], 4);
    EXPECT_EQ(r[1][1], 4);
    EXPECT_EQ(r[2][1], 6);
    EXPECT_EQ(le16(&r[2][2]), 7);       // part version
    EXPECT_EQ(le16(&r[2][4]), 0x1234);  // chip id
    EXPECT_EQ(le16(&r[2][6]), 0x0042);  // wafer id

    r = host.param_get({8, 10, 13});
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0][1], 18);
    EXPECT_EQ(r[0][2], 0);  // no calibration data stored
    EXPECT_EQ(r[1][1], 1);
    EXPECT_EQ(r[1][2], 1);
    EXPECT_EQ(r[2][1], 2);
    EXPECT_EQ(le16(&r[2][2]), 1000);

    r = host.param_get({15});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0][1], 8);
    EXPECT_EQ(int16_t(le16(&r[0][2])), 350);
}

TEST_F(Fw, ParameterGetRepliesInTheRequestedOrder) {
    auto r = host.param_get({13, 3, 99, 10, 0, 2, 7});
    ASSERT_EQ(r.size(), 7u);
    std::vector<uint8_t> ids;
    for (auto &x : r) ids.push_back(x[0]);
    EXPECT_EQ(ids, (std::vector<uint8_t>{13, 3, 99, 10, 0, 2, 7}));
    EXPECT_EQ(r[2][1], 0);  // unknown id: empty value
}

TEST_F(Fw, AnyParameterIdCanBeSetAndRead) {
    ASSERT_TRUE(host.param_set({Host::rec(13, {0x20, 0x03}), Host::rec(77, {1, 2, 3})}));
    auto r = host.param_get({13, 77});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(le16(&r[0][2]), 800);
    EXPECT_EQ(r[1][1], 3);
    EXPECT_EQ(r[1][4], 3);
    EXPECT_EQ(fw.param(77), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(Fw, DeviceInformationIsReadOnly) {
    EXPECT_FALSE(host.param_set({Host::rec(3, {'X'})}));
    EXPECT_EQ(host.status().text, "parameter 3 is read-only");
    // A refused batch changes nothing, not even its valid records.
    EXPECT_FALSE(host.param_set({Host::rec(13, {1, 0}), Host::rec(7, {0})}));
    EXPECT_EQ(fw.param(13), (std::vector<uint8_t>{0xE8, 0x03}));
}

TEST_F(Fw, ParameterLengthAbove18IsRefused) {
    auto r = Host::rec(50, {1});
    r[1] = 19;
    EXPECT_FALSE(host.param_set({r}));
    EXPECT_FALSE(fw.param(50).has_value());
}

TEST_F(Fw, ParameterSetOfNoRecordsSucceeds) { EXPECT_TRUE(host.param_set({})); }

TEST_F(Fw, LengthOverflowFaultReportsTooLongValue) {
    fw.inject(Fault::param_len_overflow, FaultSpec().after(1).arg(60));
    auto r = host.param_get({13, 10});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0][1], 2);
    EXPECT_EQ(r[1][1], 60);
    EXPECT_EQ(r[1][2], 1);  // the value itself is intact
}

TEST_F(Fw, TestSetParametersSurviveABoardReset) {
    fw.set_param(40, {9, 9});
    ASSERT_TRUE(host.param_set({Host::rec(13, {1, 0}), Host::rec(41, {5})}));
    ASSERT_TRUE(host.reset(0));
    EXPECT_EQ(fw.param(40), (std::vector<uint8_t>{9, 9}));
    EXPECT_EQ(fw.param(13), (std::vector<uint8_t>{0xE8, 0x03}));
    EXPECT_FALSE(fw.param(41).has_value());
}

// ---- capture and reset -------------------------------------------------------------------

TEST_F(Fw, CaptureStreamsTheRequestedFrameCount) {
    ASSERT_TRUE(host.start(2));
    auto s = host.drain();
    EXPECT_EQ(s.size(), 2u * (36 + 307200));
    EXPECT_EQ(fw.stats().frames_sent, 2u);
}

TEST_F(Fw, FrameCountZeroStreamsWithoutLimit) {
    ASSERT_TRUE(host.start(0));
    auto s = host.drain(131072, 30);
    EXPECT_EQ(fw.stats().frames_sent, 10u);  // 3 transfers per frame
    ASSERT_TRUE(host.stop());
    EXPECT_FALSE(fw.bulk_ready(131072));
    EXPECT_FALSE(fw.capturing());
}

TEST_F(Fw, CaptureCommandsCheckTheirPayload) {
    ASSERT_TRUE(host.out(0xC2, 4, {1, 0}));
    EXPECT_EQ(host.status().code, 0xFF);
    EXPECT_FALSE(fw.capturing());
    ASSERT_TRUE(host.start(0));
    ASSERT_TRUE(host.out(0xC2, 5, {0x00}));
    EXPECT_EQ(host.status().code, 0xFF);
    EXPECT_TRUE(fw.capturing());
}

TEST_F(Fw, BoardResetStopsCaptureAndClearsState) {
    ASSERT_TRUE(host.reg_write(1, 3, {0x55}));
    ASSERT_TRUE(host.reg_write(2, 3, {0x55}));
    ASSERT_TRUE(host.start(0));
    ASSERT_TRUE(host.reset(0));
    EXPECT_FALSE(fw.capturing());
    EXPECT_EQ(fw.reg(1, 3), 0u);
    EXPECT_EQ(fw.reg(2, 3), 0u);
}

TEST_F(Fw, SensorResetClearsOnlySensorRegisters) {
    ASSERT_TRUE(host.reg_write(1, 3, {0x55}));
    ASSERT_TRUE(host.reg_write(2, 3, {0x55}));
    ASSERT_TRUE(host.reset(1));
    EXPECT_EQ(fw.reg(1, 3), 0u);
    EXPECT_EQ(fw.reg(2, 3), 0x55u);
}

TEST_F(Fw, UsbResetAsksForAReplug) {
    EXPECT_FALSE(fw.take_usb_reset_request());
    ASSERT_TRUE(host.reset(3));
    EXPECT_TRUE(fw.take_usb_reset_request());
    EXPECT_FALSE(fw.take_usb_reset_request());
}

TEST_F(Fw, UnknownResetTargetFails) {
    std::vector<uint8_t> p;
    w32(p, 2);
    ASSERT_TRUE(host.out(0xC0, 0, p));
    auto s = host.status();
    EXPECT_EQ(s.code, 0xFF);
    EXPECT_EQ(s.text, "unknown reset target 2");
}

TEST_F(Fw, InterfaceZeroRefusalFault) {
    EXPECT_TRUE(fw.claim_allowed(0));
    fw.inject(Fault::refuse_interface0, FaultSpec().always());
    EXPECT_FALSE(fw.claim_allowed(0));
    EXPECT_FALSE(fw.claim_allowed(0));
    EXPECT_TRUE(fw.claim_allowed(1));
}

// ---- data transfer -------------------------------------------------------------------------

struct DataHost : Host {
    using Host::Host;
    std::vector<uint8_t> info(uint8_t type) {
        std::vector<uint8_t> q(16, 0);
        q[0] = type;
        if (!out(0xCC, 0, q) || !ok(0xCC, 0)) return {};
        auto r = in(0xCC, 0, 16);
        if (!ok(0xCC, 0)) return {};
        return r;
    }
    bool announce(uint8_t type, uint16_t version, uint32_t size) {
        std::vector<uint8_t> p = {type, 0};
        w16(p, version);
        w32(p, size);
        w32(p, 0);
        return out(0xCC, 1, p) && ok(0xCC, 1);
    }
    // Returns {next, status}, or {-1, -1} when the exchange failed.
    std::pair<int64_t, int> ack() {
        if (!out(0xCC, 4, std::vector<uint8_t>(13, 0)) || !ok(0xCC, 4)) return {-1, -1};
        auto r = in(0xCC, 4, 13);
        if (r.size() != 13 || !ok(0xCC, 4)) return {-1, -1};
        return {le32(r.data()), r[4]};
    }
    bool erase(uint8_t type, uint32_t size, uint32_t chunk = 1018) {
        std::vector<uint8_t> p = {type};
        w32(p, size);
        w32(p, chunk);
        w32(p, 0);
        return out(0xCC, 7, p) && ok(0xCC, 7);
    }
    bool chunk(const uint8_t *d, size_t n, int crc_delta = 0) {
        uint16_t crc = 0;
        for (size_t i = 0; i < n; ++i) {
            crc = uint16_t(crc ^ (d[i] << 8));
            for (int b = 0; b < 8; ++b)
                crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
        }
        std::vector<uint8_t> p;
        w16(p, uint16_t(crc + crc_delta));
        w32(p, uint32_t(n));
        p.insert(p.end(), d, d + n);
        return out(0xCC, 6, p) && ok(0xCC, 6);
    }
    std::vector<uint8_t> piece(uint32_t n) {
        std::vector<uint8_t> q;
        w32(q, 0);
        w32(q, n);
        w32(q, 0);
        if (!out(0xCC, 17, q) || !ok(0xCC, 17)) return {};
        return in(0xCC, 17, uint16_t(n));
    }
    // The whole write flow; returns false at the first unexpected answer.
    bool write_image(uint8_t type, uint16_t version, const std::vector<uint8_t> &img) {
        if (!announce(type, version, uint32_t(img.size()))) return false;
        if (ack() != std::pair<int64_t, int>{0, 3}) return false;
        if (!erase(type, uint32_t(img.size()))) return false;
        auto a = ack();
        while (a.second == 4) a = ack();
        if (a != std::pair<int64_t, int>{0, 1}) return false;
        size_t n = (img.size() + 1017) / 1018;
        for (size_t i = 0; i < n; ++i) {
            size_t len = std::min<size_t>(1018, img.size() - i * 1018);
            if (!chunk(img.data() + i * 1018, len)) return false;
            if (ack() != std::pair<int64_t, int>{int64_t(i + 1), 1}) return false;
        }
        return true;
    }
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 31 + seed + (i >> 8));
    return v;
}

class Data : public ::testing::Test {
protected:
    Firmware fw;
    DataHost host{fw};
};

TEST_F(Data, InfoOfAnEmptySlotReportsNoData) {
    auto r = host.info(2);
    ASSERT_EQ(r.size(), 16u);
    EXPECT_EQ(r[0], 2);
    EXPECT_EQ(le32(&r[4]), 0xFFFFFFFFu);
}

TEST_F(Data, WriteFlowStoresTheImage) {
    auto img = pattern(1018 * 3 + 1);
    ASSERT_TRUE(host.write_image(5, 7, img));
    auto st = fw.image(5);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(st->bytes, img);
    EXPECT_EQ(st->version, 7);
    auto r = host.info(5);
    ASSERT_EQ(r.size(), 16u);
    EXPECT_EQ(r[0], 5);
    EXPECT_EQ(le16(&r[2]), 7);
    EXPECT_EQ(le32(&r[4]), img.size());
    EXPECT_EQ(le32(&r[8]), st->addr);
}

TEST_F(Data, ImageOfWholeChunksNeedsNoPartialChunk) {
    auto img = pattern(1018 * 2);
    ASSERT_TRUE(host.write_image(2, 1, img));
    EXPECT_EQ(fw.image(2)->bytes, img);
}

TEST_F(Data, EraseReportsErasingForTheConfiguredPolls) {
    fw.set_erase_polls(5);
    ASSERT_TRUE(host.announce(1, 3, 100));
    EXPECT_EQ(host.ack(), (std::pair<int64_t, int>{0, 3}));
    ASSERT_TRUE(host.erase(1, 100));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(host.ack(), (std::pair<int64_t, int>{0, 4}));
    EXPECT_EQ(host.ack(), (std::pair<int64_t, int>{0, 1}));
    EXPECT_EQ(host.ack(), (std::pair<int64_t, int>{0, 1}));
}

TEST_F(Data, ChunkWithBadCrcIsAskedForAgain) {
    auto img = pattern(2000);
    fw.set_erase_polls(0);
    ASSERT_TRUE(host.announce(2, 1, 2000));
    ASSERT_TRUE(host.erase(2, 2000));
    EXPECT_EQ(host.ack(), (std::pair<int64_t, int>{0, 1}));
    ASSERT_TRUE(host.chunk(img.data(), 1018, 1));
    EXPECT_EQ(host.ack(), (std::pair<int64_t, int>{0, 1}));
    EXPECT_EQ(fw.stats().crc_errors, 1u);
    ASSERT_TRUE(host.chunk(img.data(), 1018));
    EXPECT_EQ(host.ack(), (std::pair<int64_t, int>{1, 1}));
    ASSERT_TRUE(host.chunk(img.data() + 1018, 982));
    EXPECT_EQ(host.ack(), (std::pair<int64_t, int>{2, 1}));
    EXPECT_EQ(fw.image(2)->bytes, img);
}

TEST_F(Data, ChunkOfTheWrongLengthIsRefused) {
    auto img = pattern(3000);
    fw.set_erase_polls(0);
    ASSERT_TRUE(host.announce(2, 1, 3000));
    ASSERT_TRUE(host.erase(2, 3000));
    EXPECT_FALSE(host.chunk(img.data(), 1000));  // only the last chunk may be short
    EXPECT_EQ(host.ack(), (std::pair<int64_t, int>{0, 1}));
}

TEST_F(Data, DataBeforeEraseIsRefused) {
    auto img = pattern(10);
    ASSERT_TRUE(host.announce(2, 1, 10));
    EXPECT_FALSE(host.chunk(img.data(), 10));
    ASSERT_TRUE(host.erase(2, 10));
    EXPECT_FALSE(host.chunk(img.data(), 10));  // still erasing
}

TEST_F(Data, EraseMustMatchTheAnnouncement) {
    EXPECT_FALSE(host.erase(2, 10));  // nothing announced
    ASSERT_TRUE(host.announce(2, 1, 10));
    EXPECT_FALSE(host.erase(2, 11));
    EXPECT_FALSE(host.erase(3, 10));
    EXPECT_FALSE(host.erase(2, 10, 512));
    EXPECT_TRUE(host.erase(2, 10));
}

TEST_F(Data, AnnouncementOfAnEmptyOrHugeImageIsRefused) {
    EXPECT_FALSE(host.announce(2, 1, 0));
    EXPECT_FALSE(host.announce(2, 1, 64u << 20));
}

TEST_F(Data, PayloadReadsContinueFromTheKeptPosition) {
    auto img = pattern(901);
    fw.store_image(3, 4, img);
    ASSERT_EQ(le32(&host.info(3)[4]), 901u);
    std::vector<uint8_t> got;
    for (uint32_t n : {450u, 450u, 1u}) {
        auto p = host.piece(n);
        ASSERT_EQ(p.size(), n);
        got.insert(got.end(), p.begin(), p.end());
    }
    EXPECT_EQ(got, img);
    EXPECT_TRUE(host.piece(10).empty());  // nothing left
    // A new info query starts the upload over.
    host.info(3);
    EXPECT_EQ(host.piece(5), std::vector<uint8_t>(img.begin(), img.begin() + 5));
}

TEST_F(Data, PayloadPieceIsAtMost450Bytes) {
    fw.store_image(3, 4, pattern(1000));
    host.info(3);
    EXPECT_TRUE(host.piece(451).empty());
    EXPECT_EQ(host.piece(450).size(), 450u);
}

TEST_F(Data, OpaqueActionFiveAnswersNineBytes) {
    fw.set_opaque5({1, 2, 3, 4, 5, 6, 7, 8, 9});
    ASSERT_TRUE(host.out(0xCC, 5, std::vector<uint8_t>(9, 0)));
    auto r = host.in(0xCC, 5, 9);
    EXPECT_EQ(r, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_TRUE(host.ok(0xCC, 5));
}

TEST_F(Data, CalibrationParameterDescribesTheStoredImage) {
    auto img = pattern(777);
    fw.store_image(2, 0x0105, img);
    auto r = host.param_get({8});
    ASSERT_EQ(r.size(), 1u);
    const uint8_t *v = &r[0][2];
    EXPECT_EQ(r[0][1], 18);
    EXPECT_EQ(v[0], 1);
    EXPECT_EQ(le32(v + 3), 0x0105u);
    EXPECT_EQ(le32(v + 7), 777u);
    EXPECT_EQ(le32(v + 11), 777u);
    uint16_t crc = 0;
    for (uint8_t b : img) {
        crc = uint16_t(crc ^ (b << 8));
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    EXPECT_EQ(le16(v + 15), crc);
}

// ---- calibration upload mode -----------------------------------------------------------------

TEST_F(Data, DataUpModeStreamsTheCalibrationImageAsOneFrame) {
    auto img = pattern(5000);
    fw.store_image(2, 1, img);
    ASSERT_TRUE(host.param_set({Host::rec(0, {9})}));
    EXPECT_EQ(host.param_get({0})[0][2], 9);
    ASSERT_TRUE(host.start(0));
    auto s = host.drain();
    ASSERT_EQ(s.size(), 36u + 5000u);
    EXPECT_EQ(le16(&s[0]), 0x98FB);
    EXPECT_EQ(le32(&s[4]), 5000u);  // dlen
    EXPECT_EQ(le32(&s[8]), 5000u);  // frame size
    EXPECT_EQ(le16(&s[14]), 171);   // format
    EXPECT_EQ(s[32] & 1, 1);        // sof
    EXPECT_TRUE(std::equal(img.begin(), img.end(), s.begin() + 36));
    // The mode is used up: the next capture streams images again.
    EXPECT_EQ(fw.dev_mode(), 0);
    ASSERT_TRUE(host.start(1));
    EXPECT_EQ(host.drain().size(), 36u + 307200u);
}

TEST_F(Data, DataUpModeWithoutImageStreamsNothing) {
    ASSERT_TRUE(host.param_set({Host::rec(0, {9})}));
    ASSERT_TRUE(host.start(0));
    EXPECT_TRUE(host.drain().empty());
}

}  // namespace
