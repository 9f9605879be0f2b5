// The layouts of the public records, status reply parsing, and the argument
// checks that need no camera. (The setup stage and the register header are
// checked on the wire by the tests on the virtual camera.)
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "ll/ll.h"
#include "ll/ll_wire.h"
#include "ll/log_capture.h"
#include "vizor/ll.h"

#define AT(type, field, off) static_assert(offsetof(type, field) == (off), #type "." #field)

static_assert(sizeof(vizor_ll_usb_t) == 40);
AT(vizor_ll_usb_t, usb_ctx, 0);
AT(vizor_ll_usb_t, usb_hdl, 8);
AT(vizor_ll_usb_t, usb_id, 16);
AT(vizor_ll_usb_t, usb_bus_num, 20);
AT(vizor_ll_usb_t, usb_port_num, 21);
AT(vizor_ll_usb_t, usb_addr, 22);
AT(vizor_ll_usb_t, usb_speed, 23);
AT(vizor_ll_usb_t, evt_thread, 24);
AT(vizor_ll_usb_t, evt_stop, 32);
AT(vizor_ll_usb_t, evt_running, 36);
AT(vizor_ll_usb_t, usb_loc_valid, 37);

static_assert(sizeof(vizor_ll_param_wire_t) == 20);
AT(vizor_ll_param_wire_t, param_id, 0);
AT(vizor_ll_param_wire_t, param_val_len, 1);
AT(vizor_ll_param_wire_t, param_val, 2);

using namespace vz::ll;

TEST(WireStatus, FieldsAndNulTerminatedText) {
    uint8_t r[VIZOR_STATUS_LEN] = {0xFF, 0xC0, 0x03};
    std::memcpy(r + 3, "bad id", 7);
    const Status st = parse_status(r);
    EXPECT_EQ(st.code, 0xFF);
    EXPECT_EQ(st.request, 0xC0);
    EXPECT_EQ(st.value, 0x03);
    EXPECT_EQ(st.msg, "bad id");
}

TEST(WireStatus, TextFillingTheReplyEndsAtTheReply) {
    // 60 text bytes and no terminator: the text is exactly the reply's bytes.
    std::vector<uint8_t> r(VIZOR_STATUS_LEN, 'x');
    r[0] = 0xFF;
    const Status st = parse_status(r);
    EXPECT_EQ(st.msg.size(), size_t(VIZOR_STATUS_MSG_LEN));
    EXPECT_EQ(st.msg.data(), reinterpret_cast<const char *>(r.data() + 3));
}

TEST(WireStatus, ShortReplyReadsMissingBytesAsZero) {
    const uint8_t r[2] = {0xFE, 0xB0};
    const Status st = parse_status(std::span<const uint8_t>(r, 2));
    EXPECT_EQ(st.code, 0xFE);
    EXPECT_EQ(st.request, 0xB0);
    EXPECT_EQ(st.value, 0);
    EXPECT_TRUE(st.msg.empty());
}

TEST(LlArguments, CommandsOnClosedDeviceFailWithHandlerMessage) {
    LogCapture log;
    vizor_ll_usb_t u{};
    auto *ll = reinterpret_cast<vizor_ll_t *>(&u);
    uint32_t regs[2] = {};
    vizor_ll_param_wire_t p[1] = {};
    uint8_t b[4] = {};
    EXPECT_FALSE(vizor_ll_exe_cmd(nullptr, 1, 0xC2, 0, b, 4, 1000));
    EXPECT_FALSE(vizor_ll_exe_cmd(ll, 1, 0xC2, 0, b, 4, 1000));
    EXPECT_FALSE(vizor_ll_check_last_cmd(ll, 0xC2, 0));
    EXPECT_FALSE(vizor_ll_reg_write(ll, 1, 0, regs, 2));
    EXPECT_FALSE(vizor_ll_reg_read(ll, 1, 0, regs, 2));
    EXPECT_FALSE(vizor_ll_param_set(ll, p, 1));
    EXPECT_FALSE(vizor_ll_param_get(ll, p, 1));
    EXPECT_FALSE(vizor_ll_cap_start(ll, 0));
    EXPECT_FALSE(vizor_ll_cap_stop(ll));
    EXPECT_FALSE(vizor_ll_dev_reset(ll, VIZOR_RESET_SENSOR));
    EXPECT_EQ(log.count("[ERR] [vizor_ll_exe_cmd]  USB handler Is NULL!\r\n"), 10);
}

TEST(LlArguments, CloseOfNullOrClosedDeviceOnlyWarns) {
    LogCapture log;
    vizor_ll_usb_t u{};
    vizor_ll_dev_close(nullptr);
    vizor_ll_dev_close(reinterpret_cast<vizor_ll_t *>(&u));
    EXPECT_EQ(log.count("[WRN] [vizor_ll_dev_close] device no need to closed!\n"), 2);
}

TEST(LlArguments, OpenNullAndListWithoutRoomGiveNothing) {
    EXPECT_EQ(vizor_ll_dev_open(nullptr), nullptr);
    vizor_ll_usb_t e{};
    EXPECT_EQ(vizor_ll_dev_list(nullptr, 4), 0);
    EXPECT_EQ(vizor_ll_dev_list(&e, 0), 0);
}

TEST(LlArguments, EventLoopWithoutContextIsInvalid) {
    vizor_ll_usb_t u{};
    EXPECT_EQ(vizor_ll_event_loop(reinterpret_cast<vizor_ll_t *>(&u), 10, nullptr),
              LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(vizor_ll_event_loop(nullptr, 10, nullptr), LIBUSB_ERROR_INVALID_PARAM);
}
