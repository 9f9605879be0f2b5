// Enumeration, open, close and reset on the virtual bus.
#include <signal.h>

#include <atomic>
#include <cstring>

#include "ll/vcam_fixture.h"

using namespace std::chrono_literals;
using vcam::Fault;

namespace {

// A second libusb client on the same bus (another program holding the camera).
struct OtherClient {
    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;
    explicit OtherClient(const vcam::Camera &cam) {
        EXPECT_EQ(libusb_init(&ctx), 0);
        libusb_device **l = nullptr;
        const ssize_t n = libusb_get_device_list(ctx, &l);
        for (ssize_t i = 0; i < n && !h; ++i) {
            if (libusb_get_bus_number(l[i]) == cam.bus() &&
                libusb_get_port_number(l[i]) == cam.port()) {
                EXPECT_EQ(libusb_open(l[i], &h), 0);
            }
        }
        if (n >= 0) libusb_free_device_list(l, 1);
    }
    ~OtherClient() {
        if (h) {
            libusb_release_interface(h, 0);
            libusb_release_interface(h, 1);
            libusb_close(h);
        }
        libusb_exit(ctx);
    }
    int claim(int iface) { return h ? libusb_claim_interface(h, iface) : LIBUSB_ERROR_NO_DEVICE; }
};

}  // namespace

// ---- enumeration ----------------------------------------------------------------

TEST_F(LlVcam, ListWithNoCameraFindsNothing) {
    vizor_ll_usb_t e[2];
    std::memset(e, 0xAB, sizeof e);
    EXPECT_EQ(vizor_ll_dev_list(e, 2), 0);
    EXPECT_EQ(e[0].usb_loc_valid, 0);  // entries are zeroed
    EXPECT_EQ(e[1].usb_id, 0u);
    EXPECT_TRUE(
        log.has("[TRC] [vizor_ll_dev_list] try to find vizor device (max=2) in 0 usb device\n"));
}

TEST_F(LlVcam, ListFillsLocationIdentityAndSpeed) {
    auto &cam = bus.add_camera(3, 2);
    vizor_ll_usb_t e[3];
    EXPECT_EQ(vizor_ll_dev_list(e, 3), 1);
    EXPECT_EQ(e[0].usb_id, uint32_t(vcam::usb_vendor_id()) | uint32_t(vcam::usb_product_id())
                                                                 << 16);
    EXPECT_EQ(e[0].usb_bus_num, 3);
    EXPECT_EQ(e[0].usb_port_num, 2);
    EXPECT_EQ(e[0].usb_addr, cam.address());
    EXPECT_EQ(e[0].usb_speed, LIBUSB_SPEED_HIGH);
    EXPECT_EQ(e[0].usb_loc_valid, 1);
    EXPECT_EQ(e[0].usb_ctx, nullptr);  // nothing is opened
    EXPECT_EQ(e[0].usb_hdl, nullptr);
    EXPECT_EQ(e[1].usb_loc_valid, 0);
    EXPECT_TRUE(
        log.has("[DBG] [vizor_ll_dev_list]   VIZOR device (speed=3) found " + at(cam) + ", 0x"));
    char line[96];
    std::snprintf(line, sizeof line, "[vizor_ll_dev_list] [00] %04x:%04x %s\n",
                  vcam::usb_vendor_id(), vcam::usb_product_id(), at(cam).c_str());
    EXPECT_TRUE(log.has(line));
}

TEST_F(LlVcam, ListOfTwoCamerasWithRoomForOneGivesTheFirstInLibusbOrder) {
    bus.add_camera(3, 2);
    bus.add_camera(3, 4);
    vizor_ll_usb_t all[2], one[2];
    ASSERT_EQ(vizor_ll_dev_list(all, 2), 2);
    ASSERT_EQ(vizor_ll_dev_list(one, 1), 1);
    EXPECT_EQ(one[0].usb_port_num, all[0].usb_port_num);
    EXPECT_EQ(one[0].usb_addr, all[0].usb_addr);
}

// ---- open ----------------------------------------------------------------------

TEST_F(LlVcam, OpenWithNoCameraFailsAndReleasesTheContextItMade) {
    TestLl t;
    EXPECT_EQ(vizor_ll_dev_open(t.ll()), nullptr);
    EXPECT_EQ(t.usb.usb_ctx, nullptr);
    EXPECT_EQ(t.usb.usb_hdl, nullptr);
    EXPECT_TRUE(log.has("[DBG] [_vizor_ll_dev_open]  create usb context\n"));
    EXPECT_TRUE(log.has("[TRC] [_vizor_ll_dev_open]   0 usb device found \n"));
}

TEST_F(LlVcam, OpenWithNoCameraKeepsTheCallersContextForTheNextAttempt) {
    TestLl t;
    ASSERT_EQ(libusb_init(&t.usb.usb_ctx), 0);
    libusb_context *ctx = t.usb.usb_ctx;
    EXPECT_EQ(vizor_ll_dev_open(t.ll()), nullptr);
    EXPECT_EQ(t.usb.usb_ctx, ctx);
    EXPECT_FALSE(log.has("create usb context"));
    // A close of the lone context releases it.
    vizor_ll_dev_close(t.ll());
    EXPECT_EQ(t.usb.usb_ctx, nullptr);
    EXPECT_TRUE(log.has("[WRN] [vizor_ll_dev_close] device no need to closed!\n"));
}

TEST_F(LlVcam, OpenThatCannotClaimAnInterfaceUndoesEverythingIncludingTheContext) {
    auto &cam = bus.add_camera(3, 2);
    OtherClient other(cam);
    ASSERT_EQ(other.claim(0), 0);
    ASSERT_EQ(other.claim(1), 0);
    TestLl t;
    ASSERT_EQ(libusb_init(&t.usb.usb_ctx), 0);  // even a context handed in goes
    EXPECT_EQ(vizor_ll_dev_open(t.ll()), nullptr);
    EXPECT_EQ(t.usb.usb_ctx, nullptr);
    EXPECT_EQ(t.usb.usb_hdl, nullptr);
    EXPECT_TRUE(
        log.has("[ERR] [vizor_ll_dev_open] libusb_claim_interface failed: LIBUSB_ERROR_BUSY\n"));
    EXPECT_FALSE(log.has("[_vizor_ll_evt_thread] enter"));
}

TEST_F(LlVcam, OpenTakesTheFirstCameraAndRecordsItsLocation) {
    auto &cam = bus.add_camera(3, 2);
    TestLl t;
    ASSERT_EQ(vizor_ll_dev_open(t.ll()), t.ll());
    EXPECT_NE(t.usb.usb_ctx, nullptr);
    EXPECT_NE(t.usb.usb_hdl, nullptr);
    EXPECT_EQ(t.usb.usb_loc_valid, 1);
    EXPECT_EQ(t.usb.usb_id, uint32_t(vcam::usb_vendor_id()) | uint32_t(vcam::usb_product_id())
                                                                  << 16);
    EXPECT_EQ(t.usb.usb_bus_num, 3);
    EXPECT_EQ(t.usb.usb_port_num, 2);
    EXPECT_EQ(t.usb.usb_addr, cam.address());
    EXPECT_EQ(t.usb.usb_speed, LIBUSB_SPEED_HIGH);
    EXPECT_TRUE(
        log.has("[TRC] [_vizor_ll_dev_open] found vizor device (speed=3) " + at(cam) + "\n"));
    EXPECT_FALSE(log.has("not in HS mode"));
    EXPECT_TRUE(eventually([&] { return log.has("[DBG] [_vizor_ll_evt_thread] enter\n"); }));
}

TEST_F(LlVcam, OpenOnFullSpeedPortWarnsAndOpensAnyway) {
    auto &cam = bus.add_camera(2, 5, vcam::Speed::full);
    TestLl t;
    ASSERT_EQ(vizor_ll_dev_open(t.ll()), t.ll());
    EXPECT_EQ(t.usb.usb_speed, LIBUSB_SPEED_FULL);
    EXPECT_TRUE(log.has("[WRN] [_vizor_ll_dev_open] found vizor device not in HS mode (speed=2) " +
                        at(cam) + "\n"));
}

TEST_F(LlVcam, OpenByLocationTakesTheListedCamera) {
    bus.add_camera(3, 2);
    auto &second = bus.add_camera(3, 4);
    vizor_ll_usb_t e[2];
    ASSERT_EQ(vizor_ll_dev_list(e, 2), 2);
    TestLl t;
    t.usb = e[0].usb_port_num == 4 ? e[0] : e[1];
    ASSERT_EQ(vizor_ll_dev_open(t.ll()), t.ll());
    EXPECT_EQ(t.usb.usb_port_num, 4);
    EXPECT_EQ(t.usb.usb_addr, second.address());
    EXPECT_TRUE(log.has("[DBG] [_vizor_ll_dev_open] open vizor device " + at(second) + "\n"));
}

TEST_F(LlVcam, OpenByLocationFailsWhenTheCameraMovedToAnotherPort) {
    auto &cam = bus.add_camera(3, 2);
    vizor_ll_usb_t e[1];
    ASSERT_EQ(vizor_ll_dev_list(e, 1), 1);
    bus.remove_camera(cam);
    auto &moved = bus.add_camera(3, 6);
    TestLl t;
    t.usb = e[0];
    EXPECT_EQ(vizor_ll_dev_open(t.ll()), nullptr);  // no fall-back to the camera on port 6
    EXPECT_EQ(t.usb.usb_hdl, nullptr);
    EXPECT_EQ(t.usb.usb_ctx, nullptr);
    EXPECT_EQ(t.usb.usb_port_num, 2);
    EXPECT_FALSE(log.has("open vizor device"));
    EXPECT_TRUE(log.has(" (speed=3) " + at(moved) + "\n"));  // it was looked at
}

TEST_F(LlVcam, CameraRefusingInterface0IsUsedThroughInterface1) {
    auto &cam = bus.add_camera(3, 2);
    cam.inject(Fault::refuse_interface0);
    TestLl t;
    ASSERT_EQ(vizor_ll_dev_open(t.ll()), t.ll());
    EXPECT_EQ(cam.fw().fault_hits(Fault::refuse_interface0), 1u);
    OtherClient other(cam);
    EXPECT_EQ(other.claim(1), LIBUSB_ERROR_BUSY);  // ours
    EXPECT_EQ(other.claim(0), 0);                  // left alone
    EXPECT_TRUE(vizor_ll_cap_stop(t.ll()));        // and commands work
}

TEST_F(LlVcam, OpenClaimsInterface0Only) {
    auto &cam = bus.add_camera(3, 2);
    TestLl t;
    ASSERT_EQ(vizor_ll_dev_open(t.ll()), t.ll());
    OtherClient other(cam);
    EXPECT_EQ(other.claim(0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(other.claim(1), 0);
}

// ---- close ---------------------------------------------------------------------

TEST_F(LlVcam, SecondCloseOnlyWarns) {
    bus.add_camera(3, 2);
    TestLl t;
    ASSERT_EQ(vizor_ll_dev_open(t.ll()), t.ll());
    vizor_ll_dev_close(t.ll());
    EXPECT_EQ(t.usb.usb_ctx, nullptr);
    EXPECT_EQ(t.usb.usb_hdl, nullptr);
    EXPECT_FALSE(log.has("device no need to closed!"));
    vizor_ll_dev_close(t.ll());
    EXPECT_EQ(log.count("[WRN] [vizor_ll_dev_close] device no need to closed!\n"), 1);
    EXPECT_EQ(log.count("[TRC] [vizor_ll_dev_close] stop evt thread...\n"), 1);
}

TEST_F(LlVcam, CloseWithNothingPendingEndsTheEventThreadWithinItsWait) {
    bus.add_camera(3, 2);
    TestLl t;
    ASSERT_EQ(vizor_ll_dev_open(t.ll()), t.ll());
    ASSERT_TRUE(
        eventually([&] { return std::atomic_ref<uint8_t>(t.usb.evt_running).load() == 1; }));
    const auto t0 = std::chrono::steady_clock::now();
    vizor_ll_dev_close(t.ll());
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, 750ms);  // the 500 ms event wait at most (the thread is woken)
    EXPECT_EQ(t.usb.evt_running, 0);
    EXPECT_NE(t.usb.evt_stop, 0);
    EXPECT_TRUE(log.has("[TRC] [vizor_ll_event_loop] Exit ll event loop...\n"));
    EXPECT_TRUE(log.has("[DBG] [_vizor_ll_evt_thread] exit\n"));
}

TEST_F(LlVcam, DeviceCanBeOpenedAgainAfterClose) {
    bus.add_camera(3, 2);
    TestLl t;
    ASSERT_EQ(vizor_ll_dev_open(t.ll()), t.ll());
    vizor_ll_dev_close(t.ll());
    ASSERT_EQ(vizor_ll_dev_open(t.ll()), t.ll());
    EXPECT_TRUE(vizor_ll_cap_stop(t.ll()));
}

// ---- event loop ----------------------------------------------------------------

namespace {
void on_sigusr1(int) {}
}  // namespace

TEST_F(LlVcam, SignalDuringEventWaitDoesNotEndTheEventThread) {
    auto &cam = bus.add_camera(3, 2);
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_sigusr1;  // no SA_RESTART: the wait ends with EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    TestLl t;
    open(t, cam);
    ASSERT_TRUE(
        eventually([&] { return std::atomic_ref<uint8_t>(t.usb.evt_running).load() == 1; }));
    const bool interrupted = eventually([&] {
        pthread_kill(t.usb.evt_thread, SIGUSR1);
        return log.has(
            "[WRN] [vizor_ll_event_loop] libusb_handle_events LIBUSB_ERROR_INTERRUPTED \n");
    });
    EXPECT_TRUE(interrupted);
    EXPECT_TRUE(
        log.has("[ERR] [vizor_ll_event_loop] libusb reports error: LIBUSB_ERROR_INTERRUPTED\n"));
    EXPECT_EQ(std::atomic_ref<uint8_t>(t.usb.evt_running).load(), 1);
    EXPECT_TRUE(vizor_ll_cap_stop(t.ll()));  // completions still arrive
    vizor_ll_dev_close(t.ll());
    sigaction(SIGUSR1, &old, nullptr);
}

// ---- reset ---------------------------------------------------------------------

TEST_F(LlVcam, UsbInterfaceResetReopensTheCameraOnTheSameBusAndPort) {
    auto &cam = bus.add_camera(3, 2);
    TestLl t;
    open(t, cam);
    const uint8_t old_addr = t.usb.usb_addr;
    EXPECT_TRUE(vizor_ll_dev_reset(t.ll(), VIZOR_RESET_USB_IF));
    EXPECT_NE(t.usb.usb_hdl, nullptr);
    EXPECT_EQ(t.usb.usb_bus_num, 3);
    EXPECT_EQ(t.usb.usb_port_num, 2);
    EXPECT_NE(cam.address(), old_addr);
    EXPECT_EQ(t.usb.usb_addr, cam.address());
    EXPECT_TRUE(log.has("[TRC] [vizor_ll_dev_reset] rest device (target=3)\n"));
    EXPECT_TRUE(log.has("[TRC] [vizor_ll_dev_reset] Reset usb if (timeout = 3000 ms) ...\n"));
    EXPECT_TRUE(log.has("[TRC] [vizor_ll_dev_reset] Reset usb if end. \n"));
    EXPECT_FALSE(log.has("reopen device failed!"));
    uint32_t v = 0x5A, back = 0;
    EXPECT_TRUE(vizor_ll_reg_write(t.ll(), 2, 7, &v, 1));
    EXPECT_TRUE(vizor_ll_reg_read(t.ll(), 2, 7, &back, 1));
    EXPECT_EQ(back, 0x5Au);
}

TEST_F(LlVcam, UsbInterfaceResetWithCameraGoneGivesUpAfterFifteenAttempts) {
    auto &cam = bus.add_camera(3, 2);
    TestLl t;
    open(t, cam);
    cam.unplug();
    EXPECT_FALSE(vizor_ll_dev_reset(t.ll(), VIZOR_RESET_USB_IF));
    EXPECT_EQ(log.count("[DBG] [_vizor_ll_dev_open]  create usb context\n"),
              15 + 1);  // + the first open
    EXPECT_TRUE(log.has("[WRN] [vizor_ll_dev_reset] reopen device failed!\n"));
    EXPECT_TRUE(log.has("[TRC] [vizor_ll_dev_reset] Reset usb if end. \n"));
    EXPECT_EQ(t.usb.usb_hdl, nullptr);
    EXPECT_EQ(t.usb.usb_ctx, nullptr);  // no context left behind by the attempts
    EXPECT_EQ(t.usb.usb_loc_valid, 1);
}

TEST_F(LlVcam, ResetOfAnotherTargetReturnsTheCameraStatus) {
    auto &cam = bus.add_camera(3, 2);
    TestLl t;
    open(t, cam);
    EXPECT_TRUE(vizor_ll_dev_reset(t.ll(), VIZOR_RESET_SENSOR));
    auto cmds = commands(cam);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].request, VIZOR_REQ_CFG);
    EXPECT_EQ(cmds[0].value, VIZOR_CFG_RESET);
    EXPECT_EQ(cmds[0].out, (std::vector<uint8_t>{1, 0, 0, 0}));
    cam.inject(Fault::command_fails, vcam::FaultSpec().text("no sensor"));
    EXPECT_FALSE(vizor_ll_dev_reset(t.ll(), VIZOR_RESET_SENSOR));
    EXPECT_TRUE(log.has("[ERR] [vizor_ll_check_last_cmd] no sensor\n"));
    EXPECT_NE(t.usb.usb_hdl, nullptr);  // still open
}
