// The command channel on the virtual camera: registers, parameters, status
// checks, capture control, and transfers that fail or never complete.
#include <atomic>
#include <cstring>
#include <future>
#include <string>

#include "ll/ll_wire.h"
#include "ll/vcam_fixture.h"

using namespace std::chrono_literals;
using vcam::Fault;

namespace {

uint32_t le32(const std::vector<uint8_t> &v, size_t at) { return vz::ll::get_u32le(v.data() + at); }
uint16_t le16(const std::vector<uint8_t> &v, size_t at) { return uint16_t(v[at] | v[at + 1] << 8); }

vcam::FaultSpec strike_plan(uint32_t after, uint32_t count, int value = 0,
                            std::string message = {}) {
    return vcam::FaultSpec().after(after).times(count).arg(value).text(std::move(message));
}

vizor_ll_param_wire_t rec(uint8_t id) {
    vizor_ll_param_wire_t r{};
    r.param_id = id;
    return r;
}

}  // namespace

class LlCmd : public LlVcam {
protected:
    void SetUp() override {
        cam = &bus.add_camera(3, 2);
        open(t, *cam);
    }
    vcam::Camera *cam = nullptr;
    TestLl t;
};

// ---- registers -----------------------------------------------------------------

TEST_F(LlCmd, RegisterWriteSendsHeaderAndValuesInOneTransfer) {
    std::vector<uint32_t> v(20);
    for (size_t i = 0; i < v.size(); ++i) v[i] = 0x01000000u * uint32_t(i) + 0x10203u;
    ASSERT_TRUE(vizor_ll_reg_write(t.ll(), 2, 0x100, v.data(), uint16_t(v.size())));
    auto c = commands(*cam);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].request_type, VIZOR_REQTYPE_WRITE);
    EXPECT_EQ(c[0].request, VIZOR_REQ_CTRL);
    EXPECT_EQ(c[0].value, VIZOR_CTRL_REG_WRITE);
    ASSERT_EQ(c[0].out.size(), 7u + 80u);
    EXPECT_EQ(c[0].out[0], 2);
    EXPECT_EQ(le32(c[0].out, 1), 0x100u);
    EXPECT_EQ(le16(c[0].out, 5), 80);
    for (uint32_t i = 0; i < 20; ++i) EXPECT_EQ(cam->fw().reg(2, 0x100 + i), v[i]);
    EXPECT_EQ(status_reads(*cam), 1u);
}

TEST_F(LlCmd, RegisterReadOf40RegistersMakesThreeExchangesWithAdvancingAddresses) {
    for (uint32_t i = 0; i < 40; ++i) cam->fw().set_reg(2, 500 + i, 0xA0000000u + i);
    std::vector<uint32_t> got(41, 0xDEADBEEF);
    ASSERT_TRUE(vizor_ll_reg_read(t.ll(), 2, 500, got.data(), 40));
    for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(got[i], 0xA0000000u + i) << i;
    EXPECT_EQ(got[40], 0xDEADBEEFu);  // nothing written past the count

    auto c = commands(*cam);
    ASSERT_EQ(c.size(), 6u);
    const uint32_t addr[3] = {500, 516, 532};
    const uint16_t bytes[3] = {64, 64, 32};
    for (int x = 0; x < 3; ++x) {
        const auto &w = c[size_t(2 * x)], &r = c[size_t(2 * x + 1)];
        EXPECT_EQ(w.request_type, VIZOR_REQTYPE_WRITE);
        EXPECT_EQ(w.value, VIZOR_CTRL_REG_READ);
        ASSERT_EQ(w.out.size(), 7u);
        EXPECT_EQ(le32(w.out, 1), addr[x]);
        EXPECT_EQ(le16(w.out, 5), bytes[x]);
        EXPECT_EQ(r.request_type, VIZOR_REQTYPE_READ);
        EXPECT_EQ(r.request, VIZOR_REQ_CTRL);
        EXPECT_EQ(r.value, VIZOR_CTRL_REG_READ);
        EXPECT_EQ(r.length, bytes[x]);
    }
    EXPECT_EQ(status_reads(*cam), 6u);  // one after each phase
}

TEST_F(LlCmd, ZeroRegisterWriteStillSendsTheHeaderAndChecksStatus) {
    ASSERT_TRUE(vizor_ll_reg_write(t.ll(), 2, 9, nullptr, 0));
    auto c = commands(*cam);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].out, (std::vector<uint8_t>{2, 9, 0, 0, 0, 0, 0}));
    EXPECT_EQ(status_reads(*cam), 1u);
}

TEST_F(LlCmd, ZeroRegisterReadSendsNothing) {
    EXPECT_TRUE(vizor_ll_reg_read(t.ll(), 2, 9, nullptr, 0));
    EXPECT_TRUE(cam->fw().command_log().empty());
}

TEST_F(LlCmd, RegisterWriteTooLargeForOneTransferIsRefusedUnsent) {
    std::vector<uint32_t> v(16383, 7);
    // Linux usbfs carries at most 4096 payload bytes per control transfer.
    for (uint16_t n : {uint16_t(VIZOR_REG_WRITE_MAX + 1), uint16_t(16383)})
        EXPECT_FALSE(vizor_ll_reg_write(t.ll(), 2, 0, v.data(), n)) << n;
    EXPECT_TRUE(cam->fw().command_log().empty());
    EXPECT_TRUE(
        log.has("[ERR] [vizor_ll_reg_write] 1023 registers exceed the limit of 1022 per "
                "write (4096 bytes per control transfer)\n"));
    std::vector<uint8_t> big(VIZOR_CTRL_PAYLOAD_MAX + 1);
    EXPECT_FALSE(
        vizor_ll_exe_cmd(t.ll(), 1, VIZOR_REQ_CTRL, 0, big.data(), uint16_t(big.size()), 1000));
    EXPECT_TRUE(cam->fw().command_log().empty());
    EXPECT_TRUE(log.has("payload of 4097 bytes exceeds the limit of 4096 bytes per control"));
    ASSERT_TRUE(vizor_ll_reg_write(t.ll(), 2, 0, v.data(), VIZOR_REG_WRITE_MAX));  // 4095 bytes
    EXPECT_EQ(cam->fw().reg(2, 1021), 7u);
}

TEST_F(LlCmd, RegisterReadStopsAtAFailedBatchKeepingEarlierValues) {
    for (uint32_t i = 0; i < 40; ++i) cam->fw().set_reg(2, i, 100 + i);
    // Commands: write, read (batch 1), write (batch 2) fails.
    cam->inject(Fault::command_fails, strike_plan(2, 1, 0, "busy bus"));
    std::vector<uint32_t> got(40, 0);
    EXPECT_FALSE(vizor_ll_reg_read(t.ll(), 2, 0, got.data(), 40));
    for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(got[i], 100 + i);
    EXPECT_EQ(got[16], 0u);
    EXPECT_TRUE(log.has("[ERR] [vizor_ll_reg_read] write phase failed\n"));
}

// ---- parameters ----------------------------------------------------------------

TEST_F(LlCmd, ParameterSetSendsAllRecordsInOneWrite) {
    std::vector<vizor_ll_param_wire_t> p(4);
    for (uint8_t i = 0; i < 4; ++i) {
        p[i].param_id = uint8_t(40 + i);
        p[i].param_val_len = 2;
        p[i].param_val[0] = i;
        p[i].param_val[1] = 0x77;
    }
    ASSERT_TRUE(vizor_ll_param_set(t.ll(), p.data(), 4));
    auto c = commands(*cam);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].request, VIZOR_REQ_CFG);
    EXPECT_EQ(c[0].value, VIZOR_CFG_PARAM_SET);
    EXPECT_EQ(c[0].out.size(), 80u);
    EXPECT_EQ(cam->fw().param(42), (std::vector<uint8_t>{2, 0x77}));
}

TEST_F(LlCmd, ZeroParameterSetSendsAnEmptyPayloadAndChecksStatus) {
    ASSERT_TRUE(vizor_ll_param_set(t.ll(), nullptr, 0));
    auto c = commands(*cam);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].length, 0);
    EXPECT_EQ(status_reads(*cam), 1u);
}

TEST_F(LlCmd, ZeroParameterGetSendsNothing) {
    EXPECT_TRUE(vizor_ll_param_get(t.ll(), nullptr, 0));
    EXPECT_TRUE(cam->fw().command_log().empty());
}

TEST_F(LlCmd, ParameterSetTooLargeForOneTransferIsRefused) {
    std::vector<vizor_ll_param_wire_t> p(3277, rec(40));
    EXPECT_FALSE(vizor_ll_param_set(t.ll(), p.data(), VIZOR_PARAM_SET_MAX + 1));  // 4100 bytes
    EXPECT_FALSE(vizor_ll_param_set(t.ll(), p.data(), 3277));                     // 65540 bytes
    EXPECT_FALSE(vizor_ll_param_set(t.ll(), p.data(), -1));
    EXPECT_TRUE(cam->fw().command_log().empty());
    EXPECT_TRUE(log.has("[vizor_ll_param_set] 205 parameters exceed the limit of 204 per set"));
    EXPECT_TRUE(vizor_ll_param_set(t.ll(), p.data(), VIZOR_PARAM_SET_MAX));
}

TEST_F(LlCmd, ParameterGetOf7RecordsGoesIn3And3And1WithLengthsCleared) {
    const uint8_t ids[7] = {2, 3, 5, 6, 7, 10, 13};
    vizor_ll_param_wire_t p[7];
    for (int i = 0; i < 7; ++i) {
        std::memset(&p[i], 0x5C, sizeof p[i]);  // stale length and value
        p[i].param_id = ids[i];
    }
    ASSERT_TRUE(vizor_ll_param_get(t.ll(), p, 7));

    auto c = commands(*cam);
    ASSERT_EQ(c.size(), 6u);
    const size_t n[3] = {3, 3, 1};
    size_t first = 0;
    for (int x = 0; x < 3; ++x) {
        const auto &w = c[size_t(2 * x)], &r = c[size_t(2 * x + 1)];
        EXPECT_EQ(w.request_type, VIZOR_REQTYPE_WRITE);
        EXPECT_EQ(w.value, VIZOR_CFG_PARAM_GET);
        ASSERT_EQ(w.out.size(), 20 * n[x]);
        for (size_t k = 0; k < n[x]; ++k) {
            EXPECT_EQ(w.out[20 * k], ids[first + k]);
            for (size_t b = 1; b < 20; ++b) EXPECT_EQ(w.out[20 * k + b], 0) << "record " << k;
        }
        EXPECT_EQ(r.request_type, VIZOR_REQTYPE_READ);
        EXPECT_EQ(r.length, 20 * n[x]);
        first += n[x];
    }
    for (int i = 0; i < 7; ++i) {
        auto want = cam->fw().param(ids[i]);
        ASSERT_TRUE(want.has_value()) << int(ids[i]);
        EXPECT_EQ(p[i].param_id, ids[i]);
        ASSERT_EQ(p[i].param_val_len, want->size());
        EXPECT_EQ(std::vector<uint8_t>(p[i].param_val, p[i].param_val + p[i].param_val_len), *want);
    }
}

TEST_F(LlCmd, ParameterLengthFromTheCameraIsClampedToTheValueArea) {
    cam->inject(Fault::param_len_overflow, strike_plan(0, 1, 200));
    vizor_ll_param_wire_t p[1] = {rec(VIZOR_PARAM_INFO_STR)};
    ASSERT_TRUE(vizor_ll_param_get(t.ll(), p, 1));
    EXPECT_EQ(p[0].param_val_len, 18);
}

TEST_F(LlCmd, ParameterGetReportsTheFailedPhase) {
    cam->inject(Fault::command_fails, strike_plan(1, 1));  // the read of the first batch
    vizor_ll_param_wire_t p[2] = {rec(2), rec(3)};
    EXPECT_FALSE(vizor_ll_param_get(t.ll(), p, 2));
    EXPECT_TRUE(log.has("[ERR] [vizor_ll_param_get] read phase failed\n"));
    EXPECT_TRUE(log.has("[ERR] [vizor_ll_check_last_cmd] command failed\n"));
}

// ---- status check --------------------------------------------------------------

TEST_F(LlCmd, BusyTwiceThenDoneReadsThreeRepliesAndSucceeds) {
    cam->inject(Fault::status_busy, strike_plan(0, 2));
    EXPECT_TRUE(vizor_ll_cap_stop(t.ll()));
    EXPECT_EQ(status_reads(*cam), 3u);
}

TEST_F(LlCmd, BusyForeverFailsOnceTheBoundHasPassed) {
    vz::ll::set_busy_limit_ms(100);
    cam->inject(Fault::status_busy, strike_plan(0, 0));
    EXPECT_FALSE(vizor_ll_cap_stop(t.ll()));
    vz::ll::set_busy_limit_ms(vz::ll::kBusyLimitMs);
    EXPECT_GE(status_reads(*cam), 2u);
    EXPECT_LE(status_reads(*cam), 102u);  // 1 ms apart at least
    EXPECT_TRUE(log.has("[ERR] [vizor_ll_check_last_cmd] device still busy after 100 ms\n"));
}

TEST_F(LlCmd, StatusNamingAnotherCommandFailsEvenWhenDone) {
    cam->inject(Fault::status_other_cmd);
    uint32_t v = 1;
    EXPECT_FALSE(vizor_ll_reg_write(t.ll(), 2, 3, &v, 1));
    EXPECT_EQ(cam->fw().reg(2, 3), 1u);  // the camera did execute it
    EXPECT_TRUE(
        log.has("[WRN] [vizor_ll_check_last_cmd]  last cmd (t=192,v=0) is not as "
                "expect(t=194,v=0)\r\n"));
}

TEST_F(LlCmd, FailureTextFillingTheReplyIsLoggedWithoutReadingPastIt) {
    const std::string text(60, 'm');
    cam->inject(Fault::command_fails, strike_plan(0, 1, 0, text + "-cut-off"));
    EXPECT_FALSE(vizor_ll_cap_start(t.ll(), 0));
    EXPECT_TRUE(log.has("[ERR] [vizor_ll_check_last_cmd] " + text + "\n"));
    EXPECT_EQ(cam->fw().stats().failed_commands, 1u);
}

// ---- capture control -----------------------------------------------------------

TEST_F(LlCmd, CaptureStartSendsTheFrameCountAndStopTheByteC2) {
    ASSERT_TRUE(vizor_ll_cap_start(t.ll(), 0x01020305));
    EXPECT_TRUE(cam->fw().capturing());
    ASSERT_TRUE(vizor_ll_cap_stop(t.ll()));
    EXPECT_FALSE(cam->fw().capturing());
    auto c = commands(*cam);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].value, VIZOR_CTRL_CAP_START);
    EXPECT_EQ(c[0].out, (std::vector<uint8_t>{5, 3, 2, 1}));
    EXPECT_EQ(c[1].value, VIZOR_CTRL_CAP_STOP);
    EXPECT_EQ(c[1].out, (std::vector<uint8_t>{0xC2}));
    EXPECT_TRUE(log.has("[TRC] [vizor_ll_cap_start] Enter\n"));
}

// ---- transfers that fail or never complete --------------------------------------

TEST_F(LlCmd, ShortReplyCopiesWhatArrivedAndFails) {
    cam->inject(Fault::short_control_reply, strike_plan(0, 1, 3));
    uint8_t reply[VIZOR_STATUS_LEN];
    std::memset(reply, 0xEE, sizeof reply);
    EXPECT_FALSE(vizor_ll_exe_cmd(t.ll(), 0, VIZOR_REQ_STATUS, 0, reply, sizeof reply, 1000));
    EXPECT_EQ(reply[VIZOR_STATUS_LEN - 4], 0);     // arrived
    EXPECT_EQ(reply[VIZOR_STATUS_LEN - 1], 0xEE);  // did not
    EXPECT_TRUE(log.has("[ERR] [vizor_ll_exe_cmd] exe usb cmd failed: "));
}

TEST_F(LlCmd, CompletionWithNoDeviceFailsWithItsName) {
    cam->inject(Fault::control_hang);
    auto cmd = std::async(std::launch::async, [&] { return vizor_ll_cap_stop(t.ll()); });
    ASSERT_TRUE(eventually([&] { return cam->fw().fault_hits(Fault::control_hang) == 1; }));
    cam->unplug();
    EXPECT_FALSE(cmd.get());
    EXPECT_TRUE(log.has("[ERR] [vizor_ll_exe_cmd] exe usb cmd failed: LIBUSB_ERROR_NO_DEVICE\n"));
    EXPECT_FALSE(log.has("contrl trans timeout"));
}

TEST_F(LlCmd, TransferThatNeverCompletesIsGivenUpAndReleasedAtClose) {
    cam->inject(Fault::control_hang);
    libusb_device_handle *hdl = t.usb.usb_hdl;
    EXPECT_FALSE(vizor_ll_cap_stop(t.ll()));
    EXPECT_TRUE(log.has("[WRN] [vizor_ll_exe_cmd] contrl trans timeout , cancel it\n"));
    EXPECT_TRUE(log.has("[ERR] [vizor_ll_exe_cmd] control transfer timeout !\n"));
    EXPECT_TRUE(log.has("[ERR] [vizor_ll_exe_cmd] exe usb cmd failed: LIBUSB_ERROR_TIMEOUT\n"));
    EXPECT_EQ(vz::ll::abandoned_cmds(hdl), 1);
    EXPECT_TRUE(vizor_ll_cap_stop(t.ll()));  // the channel still works
    vizor_ll_dev_close(t.ll());
    EXPECT_EQ(vz::ll::abandoned_cmds(hdl), 0);
}

TEST_F(LlCmd, LateCompletionOfAGivenUpTransferReleasesIt) {
    cam->inject(Fault::control_hang);
    libusb_device_handle *hdl = t.usb.usb_hdl;
    EXPECT_FALSE(vizor_ll_cap_stop(t.ll()));
    ASSERT_EQ(vz::ll::abandoned_cmds(hdl), 1);
    cam->unplug();  // now it completes, long after its caller left
    EXPECT_TRUE(eventually([&] { return vz::ll::abandoned_cmds(hdl) == 0; }));
}

TEST_F(LlCmd, CommandsWaitForTheirOwnLongerTimeout) {
    // A 3 s transfer time-out is not cut short at one second: the reply
    // arrives after the unplug at about 1.2 s as "no device", not as a
    // host-side time-out.
    cam->inject(Fault::control_hang);
    uint8_t b[1] = {0xC2};
    auto cmd = std::async(std::launch::async, [&] {
        return vizor_ll_exe_cmd(t.ll(), 1, VIZOR_REQ_CTRL, VIZOR_CTRL_CAP_STOP, b, 1, 3000);
    });
    ASSERT_TRUE(eventually([&] { return cam->fw().fault_hits(Fault::control_hang) == 1; }));
    std::this_thread::sleep_for(1200ms);  // the scenario: a slow answer, not synchronisation
    cam->unplug();
    EXPECT_FALSE(cmd.get());
    EXPECT_FALSE(log.has("contrl trans timeout"));
    EXPECT_TRUE(log.has("exe usb cmd failed: LIBUSB_ERROR_NO_DEVICE\n"));
}
