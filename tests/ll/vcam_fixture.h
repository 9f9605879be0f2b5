// Tests of the USB transport on the virtual camera: a virtual bus made before
// any USB context, the log captured, and transport records as the device API
// holds them (the USB group first).
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ll/ll.h"
#include "log_capture.h"
#include "testutil.h"
#include "vcam/vcam.h"
#include "vizor/ll.h"

// A zeroed transport record; closes itself when a test leaves it open.
struct TestLl {
    vizor_ll_usb_t usb{};
    vizor_ll_t *ll() { return reinterpret_cast<vizor_ll_t *>(&usb); }
    TestLl() = default;
    TestLl(const TestLl &) = delete;
    TestLl &operator=(const TestLl &) = delete;
    ~TestLl() {
        if (usb.usb_hdl || usb.usb_ctx) vizor_ll_dev_close(ll());
    }
};

using vzt::eventually;

// "@ port:bus:address" as the transport prints a location.
inline std::string at(const vcam::Camera &cam) {
    char b[32];
    std::snprintf(b, sizeof b, "@ %03d:%03d:%03d", cam.port(), cam.bus(), cam.address());
    return b;
}

class LlVcam : public ::testing::Test {
protected:
    // Commands the camera received, status reads left out.
    static std::vector<vcam::CommandRecord> commands(vcam::Camera &cam) {
        auto l = cam.fw().command_log();
        std::erase_if(l,
                      [](const vcam::CommandRecord &r) { return r.request == VIZOR_REQ_STATUS; });
        return l;
    }
    static uint64_t status_reads(vcam::Camera &cam) { return cam.fw().stats().status_reads; }

    // Opens the first camera into t and forgets the traffic of the open.
    static void open(TestLl &t, vcam::Camera &cam) {
        ASSERT_EQ(vizor_ll_dev_open(t.ll()), t.ll());
        cam.fw().clear_command_log();
    }

    vcam::Bus bus;  // before any USB context
    LogCapture log;
};
