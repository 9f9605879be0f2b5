// The virtual camera seen through the real libusb-1.0, with raw libusb calls
// only (no library code): enumeration, open, control round trips, status,
// bulk streaming, cancellation, time-outs and every USB-visible fault.
#include <libusb.h>
#include <poll.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "vcam/vcam.h"

namespace {

using vcam::Fault;
using vcam::FaultSpec;

// ---- a minimal host ------------------------------------------------------------

uint16_t le16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t *p) {
    return uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24);
}

struct Host {
    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;

    Host() { EXPECT_EQ(libusb_init(&ctx), 0); }
    ~Host() {
        if (h) {
            libusb_release_interface(h, 0);
            libusb_close(h);
        }
        libusb_exit(ctx);
    }

    struct Found {
        uint8_t bus, port, addr;
        int speed;
    };
    std::vector<Found> list() {
        std::vector<Found> v;
        libusb_device **l = nullptr;
        ssize_t n = libusb_get_device_list(ctx, &l);
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor dd{};
            libusb_get_device_descriptor(l[i], &dd);
            if (dd.idVendor == vcam::usb_vendor_id() && dd.idProduct == vcam::usb_product_id())
                v.push_back({libusb_get_bus_number(l[i]), libusb_get_port_number(l[i]),
                             libusb_get_device_address(l[i]), libusb_get_device_speed(l[i])});
        }
        if (n >= 0) libusb_free_device_list(l, 1);
        return v;
    }

    bool open(uint8_t bus, uint8_t port, bool claim = true) {
        libusb_device **l = nullptr;
        ssize_t n = libusb_get_device_list(ctx, &l);
        for (ssize_t i = 0; i < n && !h; ++i) {
            if (libusb_get_bus_number(l[i]) == bus && libusb_get_port_number(l[i]) == port) {
                EXPECT_EQ(libusb_open(l[i], &h), 0);
            }
        }
        if (n >= 0) libusb_free_device_list(l, 1);
        if (!h) return false;
        EXPECT_EQ(libusb_set_configuration(h, 1), 0);
        return !claim || libusb_claim_interface(h, 0) == 0;
    }

    // Runs events until the flag is set (the transfer's completion).
    void wait(const std::atomic<bool> &flag) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!flag && std::chrono::steady_clock::now() < until) {
            timeval tv{0, 100000};
            libusb_handle_events_timeout(ctx, &tv);
        }
    }

    struct Xfer {
        std::atomic<bool> done{false};
        int status = -1;
        int actual = 0;
        std::vector<uint8_t> buf;
        libusb_transfer *t = nullptr;
        Xfer() : t(libusb_alloc_transfer(0)) {}
        ~Xfer() { libusb_free_transfer(t); }
    };
    static void LIBUSB_CALL cb(libusb_transfer *t) {
        auto *x = static_cast<Xfer *>(t->user_data);
        x->status = t->status;
        x->actual = t->actual_length;
        x->done = true;
    }

    // Asynchronous control transfer; returns the transfer status.
    int control(uint8_t type, uint8_t req, uint16_t value, std::vector<uint8_t> &data,
                int *actual = nullptr, unsigned timeout = 1000) {
        Xfer x;
        x.buf.assign(8 + data.size(), 0);
        libusb_fill_control_setup(x.buf.data(), type, req, value, 0, uint16_t(data.size()));
        if (!(type & 0x80) && !data.empty())
            std::memcpy(x.buf.data() + 8, data.data(), data.size());
        libusb_fill_control_transfer(x.t, h, x.buf.data(), cb, &x, timeout);
        int r = libusb_submit_transfer(x.t);
        if (r != 0) return 1000 + r;
        wait(x.done);
        if ((type & 0x80) && x.actual > 0)
            std::memcpy(data.data(), x.buf.data() + 8, size_t(x.actual));
        if (actual) *actual = x.actual;
        return x.status;
    }
    bool command(uint8_t req, uint16_t value, std::vector<uint8_t> payload) {
        int actual = 0;
        return control(0x22, req, value, payload, &actual) == LIBUSB_TRANSFER_COMPLETED &&
               actual == int(payload.size());
    }
    std::vector<uint8_t> status() {
        std::vector<uint8_t> s(63, 0);
        int actual = 0;
        EXPECT_EQ(control(0xA2, 0xB0, 0, s, &actual), LIBUSB_TRANSFER_COMPLETED);
        s.resize(size_t(actual));
        return s;
    }
    bool start(uint32_t frames) {
        std::vector<uint8_t> p(4);
        p[0] = uint8_t(frames);
        p[1] = uint8_t(frames >> 8);
        p[2] = uint8_t(frames >> 16);
        p[3] = uint8_t(frames >> 24);
        return command(0xC2, 4, p);
    }

    // One asynchronous bulk IN transfer on 0x81.
    struct Bulk {
        int status;
        int actual;
        std::vector<uint8_t> data;
    };
    Bulk bulk(size_t len, unsigned timeout = 1000) {
        Xfer x;
        x.buf.assign(len, 0);
        libusb_fill_bulk_transfer(x.t, h, 0x81, x.buf.data(), int(len), cb, &x, timeout);
        int r = libusb_submit_transfer(x.t);
        if (r != 0) return {1000 + r, 0, {}};
        wait(x.done);
        x.buf.resize(size_t(std::max(0, x.actual)));
        return {x.status, x.actual, std::move(x.buf)};
    }
};

// Parses chunk headers out of a byte stream (independently of the camera).
struct MiniParser {
    std::vector<uint8_t> pending;
    int frames = 0;
    int chunks = 0;
    bool bad = false;
    void feed(const std::vector<uint8_t> &d) {
        pending.insert(pending.end(), d.begin(), d.end());
        while (pending.size() >= 36) {
            if (le16(&pending[0]) != 0x98FB) {
                bad = true;
                return;
            }
            uint32_t dlen = le32(&pending[4]);
            if (pending.size() < 36 + dlen) return;
            ++chunks;
            if (pending[32] & 1) ++frames;
            pending.erase(pending.begin(), pending.begin() + 36 + dlen);
        }
    }
};

class VcamUsb : public ::testing::Test {
protected:
    vcam::Bus bus;
};

// ---- enumeration and open ------------------------------------------------------

TEST_F(VcamUsb, TwoCamerasEnumerateOnTheirPorts) {
    auto &a = bus.add_camera(3, 2);
    auto &b = bus.add_camera(3, 4, vcam::Speed::full, "VZ-E1-660");
    Host host;
    auto l = host.list();
    ASSERT_EQ(l.size(), 2u);
    std::sort(l.begin(), l.end(), [](auto &x, auto &y) { return x.port < y.port; });
    EXPECT_EQ(l[0].bus, 3);
    EXPECT_EQ(l[0].port, 2);
    EXPECT_EQ(l[0].addr, a.address());
    EXPECT_EQ(l[0].speed, LIBUSB_SPEED_HIGH);
    EXPECT_EQ(l[1].port, 4);
    EXPECT_EQ(l[1].addr, b.address());
    EXPECT_EQ(l[1].speed, LIBUSB_SPEED_FULL);
}

TEST_F(VcamUsb, DescriptorsShowConfigurationOneWithBulkEndpoint) {
    bus.add_camera(1, 1);
    Host host;
    ASSERT_TRUE(host.open(1, 1));
    libusb_config_descriptor *cfg = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(host.h), &cfg), 0);
    EXPECT_EQ(cfg->bConfigurationValue, 1);
    ASSERT_EQ(cfg->bNumInterfaces, 2);
    ASSERT_EQ(cfg->interface[0].altsetting[0].bNumEndpoints, 1);
    EXPECT_EQ(cfg->interface[0].altsetting[0].endpoint[0].bEndpointAddress, 0x81);
    EXPECT_EQ(cfg->interface[0].altsetting[0].endpoint[0].wMaxPacketSize, 512);
    libusb_free_config_descriptor(cfg);
    unsigned char text[64] = {};
    libusb_device_descriptor dd{};
    libusb_get_device_descriptor(libusb_get_device(host.h), &dd);
    ASSERT_GT(libusb_get_string_descriptor_ascii(host.h, dd.iProduct, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(text), "VZ-T0-320");
}

// ---- control endpoint ------------------------------------------------------------

TEST_F(VcamUsb, AsyncControlRoundTripAndStatus) {
    auto &cam = bus.add_camera(3, 2);
    Host host;
    ASSERT_TRUE(host.open(3, 2));
    // Register write to target 2, then read it back in two phases.
    std::vector<uint8_t> w = {2, 0x10, 0, 0, 0, 4, 0, 0x78, 0x56, 0x34, 0x12};
    ASSERT_TRUE(host.command(0xC2, 0, w));
    auto s = host.status();
    ASSERT_EQ(s.size(), 63u);
    EXPECT_EQ(s[0], 0x00);
    EXPECT_EQ(s[1], 0xC2);
    EXPECT_EQ(s[2], 0);
    EXPECT_EQ(cam.fw().reg(2, 0x10), 0x12345678u);
    ASSERT_TRUE(host.command(0xC2, 1, {2, 0x10, 0, 0, 0, 4, 0}));
    std::vector<uint8_t> r(4);
    int actual = 0;
    ASSERT_EQ(host.control(0xA2, 0xC2, 1, r, &actual), LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(actual, 4);
    EXPECT_EQ(le32(r.data()), 0x12345678u);
    EXPECT_EQ(host.status()[1], 0xC2);
}

TEST_F(VcamUsb, UnknownInRequestStalls) {
    bus.add_camera(3, 2);
    Host host;
    ASSERT_TRUE(host.open(3, 2));
    std::vector<uint8_t> r(4);
    EXPECT_EQ(host.control(0xA2, 0xC2, 9, r), LIBUSB_TRANSFER_STALL);
}

// ---- bulk streaming ------------------------------------------------------------------

TEST_F(VcamUsb, StreamsFramesThroughAsyncBulkTransfers) {
    bus.add_camera(3, 2);
    Host host;
    ASSERT_TRUE(host.open(3, 2));
    ASSERT_TRUE(host.start(3));
    MiniParser p;
    // Each 307236-byte chunk ends with a short packet: 131072, 131072, 45092.
    for (int i = 0; i < 9; ++i) {
        auto b = host.bulk(131072);
        ASSERT_EQ(b.status, LIBUSB_TRANSFER_COMPLETED);
        EXPECT_EQ(b.actual, (i % 3 == 2) ? 45092 : 131072);
        p.feed(b.data);
    }
    EXPECT_FALSE(p.bad);
    EXPECT_EQ(p.frames, 3);
    EXPECT_TRUE(p.pending.empty());
    // Three frames asked for: nothing more comes.
    EXPECT_EQ(host.bulk(131072, 50).status, LIBUSB_TRANSFER_TIMED_OUT);
}

TEST_F(VcamUsb, SeveralTransfersInFlightCompleteInOrder) {
    bus.add_camera(3, 2);
    Host host;
    ASSERT_TRUE(host.open(3, 2));
    std::vector<std::unique_ptr<Host::Xfer>> xs;
    for (int i = 0; i < 4; ++i) {
        auto x = std::make_unique<Host::Xfer>();
        x->buf.assign(16384, 0);
        libusb_fill_bulk_transfer(x->t, host.h, 0x81, x->buf.data(), 16384, Host::cb, x.get(),
                                  2000);
        ASSERT_EQ(libusb_submit_transfer(x->t), 0);
        xs.push_back(std::move(x));
    }
    ASSERT_TRUE(host.start(1));
    for (auto &x : xs) host.wait(x->done);
    MiniParser p;
    for (auto &x : xs) {
        ASSERT_EQ(x->status, LIBUSB_TRANSFER_COMPLETED);
        x->buf.resize(size_t(x->actual));
        p.feed(x->buf);
    }
    EXPECT_FALSE(p.bad);
    EXPECT_EQ(p.chunks, 0);  // 64 KiB of a 300 KiB frame so far
    EXPECT_EQ(p.pending.size(), 65536u);
}

TEST_F(VcamUsb, CancelledTransferReportsCancelled) {
    bus.add_camera(3, 2);
    Host host;
    ASSERT_TRUE(host.open(3, 2));
    Host::Xfer x;
    x.buf.assign(4096, 0);
    libusb_fill_bulk_transfer(x.t, host.h, 0x81, x.buf.data(), 4096, Host::cb, &x, 0);
    ASSERT_EQ(libusb_submit_transfer(x.t), 0);
    ASSERT_EQ(libusb_cancel_transfer(x.t), 0);
    host.wait(x.done);
    EXPECT_EQ(x.status, LIBUSB_TRANSFER_CANCELLED);
}

TEST_F(VcamUsb, FrameRateStreamArrivesThroughTheWorker) {
    vcam::CameraConfig cfg;
    cfg.fw.stream.fps = 200;
    bus.add_camera(3, 2, cfg);
    Host host;
    ASSERT_TRUE(host.open(3, 2));
    ASSERT_TRUE(host.start(2));
    MiniParser p;
    for (int i = 0; i < 6; ++i) {
        auto b = host.bulk(131072, 2000);
        ASSERT_EQ(b.status, LIBUSB_TRANSFER_COMPLETED);
        p.feed(b.data);
    }
    EXPECT_EQ(p.frames, 2);
    EXPECT_FALSE(p.bad);
}

TEST_F(VcamUsb, IdleDeviceNodeIsNotWritable) {
    bus.add_camera(3, 2);
    Host host;
    ASSERT_TRUE(host.open(3, 2));
    Host::Xfer x;  // a pending bulk transfer without data changes nothing
    x.buf.assign(512, 0);
    libusb_fill_bulk_transfer(x.t, host.h, 0x81, x.buf.data(), 512, Host::cb, &x, 0);
    ASSERT_EQ(libusb_submit_transfer(x.t), 0);
    timeval zero{0, 0};
    libusb_handle_events_timeout(host.ctx, &zero);
    // usbfs signals completions by the node becoming writable: with nothing to
    // reap it must not be, so libusb's event loop sleeps in poll().
    auto fds = libusb_get_pollfds(host.ctx);
    ASSERT_NE(fds, nullptr);
    std::vector<pollfd> pf;
    for (int i = 0; fds[i]; ++i)
        if (fds[i]->events & POLLOUT) pf.push_back({fds[i]->fd, fds[i]->events, 0});
    libusb_free_pollfds(fds);
    ASSERT_EQ(pf.size(), 1u);
    EXPECT_EQ(poll(pf.data(), pf.size(), 0), 0);
    // Once a completion is waiting it is.
    libusb_cancel_transfer(x.t);
    EXPECT_EQ(poll(pf.data(), pf.size(), 1000), 1);
    host.wait(x.done);
    EXPECT_EQ(poll(pf.data(), pf.size(), 0), 0);
}

TEST_F(VcamUsb, IdleTransferTimesOut) {
    bus.add_camera(3, 2);
    Host host;
    ASSERT_TRUE(host.open(3, 2));
    EXPECT_EQ(host.bulk(512, 30).status, LIBUSB_TRANSFER_TIMED_OUT);
}

// ---- faults as libusb sees them ------------------------------------------------------------

class VcamFault : public VcamUsb {
protected:
    vcam::Camera *cam = nullptr;
    std::unique_ptr<Host> host;
    void SetUp() override {
        cam = &bus.add_camera(3, 2);
        host = std::make_unique<Host>();
        ASSERT_TRUE(host->open(3, 2));
    }
};

TEST_F(VcamFault, BulkStallIsAStallUntilCleared) {
    cam->inject(Fault::bulk_stall, FaultSpec().after(1));
    ASSERT_TRUE(host->start(0));
    EXPECT_EQ(host->bulk(131072).status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(host->bulk(131072).status, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(libusb_clear_halt(host->h, 0x81), 0);
    EXPECT_EQ(host->bulk(131072).status, LIBUSB_TRANSFER_COMPLETED);
}

TEST_F(VcamFault, BulkErrorIsATransferError) {
    cam->inject(Fault::bulk_error);
    ASSERT_TRUE(host->start(0));
    EXPECT_EQ(host->bulk(131072).status, LIBUSB_TRANSFER_ERROR);
    EXPECT_EQ(host->bulk(131072).status, LIBUSB_TRANSFER_COMPLETED);
}

TEST_F(VcamFault, SilentBulkEndpointTimesTheTransferOut) {
    cam->inject(Fault::bulk_timeout, FaultSpec().times(2));
    ASSERT_TRUE(host->start(1));
    EXPECT_EQ(host->bulk(131072, 20).status, LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_EQ(host->bulk(131072, 20).status, LIBUSB_TRANSFER_TIMED_OUT);
    auto b = host->bulk(131072);
    EXPECT_EQ(b.status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(le16(b.data.data()), 0x98FB);  // the stream starts intact
}

TEST_F(VcamFault, OversizedPacketOverflowsTheTransfer) {
    ASSERT_TRUE(host->start(1));
    EXPECT_EQ(host->bulk(700).status, LIBUSB_TRANSFER_OVERFLOW);
}

TEST_F(VcamFault, VanishingCameraCompletesEverythingWithNoDevice) {
    cam->inject(Fault::vanish, FaultSpec().after(2));
    std::vector<std::unique_ptr<Host::Xfer>> xs;
    for (int i = 0; i < 5; ++i) {
        auto x = std::make_unique<Host::Xfer>();
        x->buf.assign(65536, 0);
        libusb_fill_bulk_transfer(x->t, host->h, 0x81, x->buf.data(), 65536, Host::cb, x.get(),
                                  2000);
        ASSERT_EQ(libusb_submit_transfer(x->t), 0);
        xs.push_back(std::move(x));
    }
    ASSERT_TRUE(host->start(0));
    for (auto &x : xs) host->wait(x->done);
    EXPECT_EQ(xs[0]->status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(xs[1]->status, LIBUSB_TRANSFER_COMPLETED);
    for (int i = 2; i < 5; ++i) EXPECT_EQ(xs[size_t(i)]->status, LIBUSB_TRANSFER_NO_DEVICE) << i;
    // Gone: requests fail, and a fresh enumeration no longer finds it.
    std::vector<uint8_t> st(63);
    EXPECT_EQ(host->control(0xA2, 0xB0, 0, st), 1000 + LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(cam->wait_present(false));
    {
        Host other;
        EXPECT_TRUE(other.list().empty());
    }
    // The test puts it back: same bus and port, new address.
    uint8_t old = cam->address();
    cam->replug();
    Host again;
    auto l = again.list();
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].port, 2);
    EXPECT_NE(l[0].addr, old);
    ASSERT_TRUE(again.open(3, 2));
    EXPECT_EQ(again.status().size(), 63u);
}

TEST_F(VcamFault, ShortControlReplyEndsShort) {
    cam->inject(Fault::short_control_reply, FaultSpec().arg(3));
    std::vector<uint8_t> st(63);
    int actual = 0;
    EXPECT_EQ(host->control(0xA2, 0xB0, 0, st, &actual), LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(actual, 60);
}

TEST_F(VcamFault, StatusFaultsShowInTheStatusReply) {
    cam->inject(Fault::status_busy, FaultSpec().times(2));
    ASSERT_TRUE(host->command(0xC2, 5, {0xC2}));
    EXPECT_EQ(host->status()[0], 0xFE);
    EXPECT_EQ(host->status()[0], 0xFE);
    EXPECT_EQ(host->status()[0], 0x00);
    cam->inject(Fault::status_other_cmd);
    EXPECT_NE(host->status()[1], 0xC2);
    cam->inject(Fault::command_fails, FaultSpec().text("flash busy"));
    ASSERT_TRUE(host->command(0xC0, 3, {}));
    auto s = host->status();
    EXPECT_EQ(s[0], 0xFF);
    EXPECT_STREQ(reinterpret_cast<const char *>(&s[3]), "flash busy");
}

TEST_F(VcamFault, HungControlRequestEndsOnlyWithTheDevice) {
    cam->inject(Fault::control_hang);
    Host::Xfer x;
    x.buf.assign(8 + 63, 0);
    libusb_fill_control_setup(x.buf.data(), 0xA2, 0xB0, 0, 0, 63);
    libusb_fill_control_transfer(x.t, host->h, x.buf.data(), Host::cb, &x, 50);
    ASSERT_EQ(libusb_submit_transfer(x.t), 0);
    // Its time-out cannot cancel it: the device never gives it back ...
    for (int i = 0; i < 3; ++i) {
        timeval tv{0, 50000};
        libusb_handle_events_timeout(host->ctx, &tv);
    }
    EXPECT_FALSE(x.done);
    // ... until it leaves the bus.
    cam->unplug();
    host->wait(x.done);
    EXPECT_EQ(x.status, LIBUSB_TRANSFER_NO_DEVICE);
}

TEST_F(VcamFault, ParameterLengthByteBeyondTheValueArea) {
    cam->inject(Fault::param_len_overflow, FaultSpec().arg(200));
    std::vector<uint8_t> rec(20, 0);
    rec[0] = 13;
    ASSERT_TRUE(host->command(0xC0, 4, rec));
    std::vector<uint8_t> r(20);
    ASSERT_EQ(host->control(0xA2, 0xC0, 4, r), LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(r[0], 13);
    EXPECT_EQ(r[1], 200);
}

TEST_F(VcamFault, StreamFaultsReachTheHost) {
    cam->inject(Fault::corrupt_header_cksum, FaultSpec().after(1));
    ASSERT_TRUE(host->start(2));
    std::vector<uint8_t> all;
    for (int i = 0; i < 6; ++i) {
        auto b = host->bulk(131072);
        ASSERT_EQ(b.status, LIBUSB_TRANSFER_COMPLETED);
        all.insert(all.end(), b.data.begin(), b.data.end());
    }
    ASSERT_EQ(all.size(), 2u * 307236u);
    auto fletcher = [](const uint8_t *h) {
        unsigned a = 0, b = 0;
        for (int i = 0; i < 34; ++i) {
            a = (a + h[i]) % 255;
            b = (b + a) % 255;
        }
        return uint16_t(a | b << 8);
    };
    EXPECT_EQ(fletcher(&all[0]), le16(&all[34]));
    EXPECT_NE(fletcher(&all[307236]), le16(&all[307236 + 34]));
}

TEST(VcamPort, InterfaceZeroRefusedLeavesInterfaceOne) {
    vcam::Bus bus;
    auto &cam = bus.add_camera(2, 7);
    cam.inject(Fault::refuse_interface0, FaultSpec().always());
    Host host;
    ASSERT_TRUE(host.open(2, 7, false));
    libusb_set_auto_detach_kernel_driver(host.h, 1);
    EXPECT_EQ(libusb_claim_interface(host.h, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(host.h, 1), 0);
    // Streaming works through interface 1's claim.
    ASSERT_TRUE(host.start(1));
    EXPECT_EQ(host.bulk(131072).status, LIBUSB_TRANSFER_COMPLETED);
    libusb_release_interface(host.h, 1);
}

TEST(VcamPort, FullSpeedPortHasSmallPackets) {
    vcam::Bus bus;
    bus.add_camera(2, 7, vcam::Speed::full);
    Host host;
    auto l = host.list();
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].speed, LIBUSB_SPEED_FULL);
    ASSERT_TRUE(host.open(2, 7));
    libusb_config_descriptor *cfg = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(host.h), &cfg), 0);
    EXPECT_EQ(cfg->interface[0].altsetting[0].endpoint[0].wMaxPacketSize, 64);
    libusb_free_config_descriptor(cfg);
    ASSERT_TRUE(host.start(1));
    EXPECT_EQ(host.bulk(100).status, LIBUSB_TRANSFER_OVERFLOW);  // 64 + 64 in 100 bytes
}

// ---- reset and replug ------------------------------------------------------------------------------

TEST(VcamReplug, UsbInterfaceResetComesBackOnTheSamePort) {
    vcam::Bus bus;
    vcam::CameraConfig cfg;
    cfg.usb_reset_delay = std::chrono::milliseconds(300);
    auto &cam = bus.add_camera(4, 3, cfg);
    bus.add_camera(4, 5);
    const uint8_t old = cam.address();
    {
        Host host;
        ASSERT_TRUE(host.open(4, 3));
        ASSERT_TRUE(host.command(0xC0, 0, {3, 0, 0, 0}));
        // Gone at once, back on the same bus and port after the reset delay.
        ASSERT_TRUE(cam.wait_present(false));
    }
    ASSERT_TRUE(cam.wait_present(true));
    Host host;
    auto l = host.list();
    ASSERT_EQ(l.size(), 2u);
    std::sort(l.begin(), l.end(), [](auto &x, auto &y) { return x.port < y.port; });
    EXPECT_EQ(l[0].bus, 4);
    EXPECT_EQ(l[0].port, 3);
    EXPECT_EQ(l[0].addr, cam.address());
    EXPECT_NE(l[0].addr, old);
    ASSERT_TRUE(host.open(4, 3));
    EXPECT_EQ(host.status()[0], 0x00);
}

TEST(VcamReplug, UnpluggedCameraLeavesEnumerationAndComesBack) {
    vcam::Bus bus;
    auto &cam = bus.add_camera(1, 1);
    cam.unplug();
    EXPECT_FALSE(cam.present());
    {
        Host host;
        EXPECT_TRUE(host.list().empty());
    }
    cam.replug();
    Host host;
    EXPECT_EQ(host.list().size(), 1u);
}

TEST(VcamReplug, AddressesWrapAroundAfterManyReplugs) {
    vcam::Bus bus;
    auto &cam = bus.add_camera(1, 1);
    auto &other = bus.add_camera(1, 2);
    for (int i = 0; i < 130; ++i) {
        cam.unplug();
        cam.replug();
        ASSERT_GE(cam.address(), 2);
        ASSERT_LE(cam.address(), 127);
        ASSERT_NE(cam.address(), other.address());
    }
    Host host;
    ASSERT_TRUE(host.open(1, 1));
    EXPECT_EQ(host.status().size(), 63u);
}

TEST(VcamReplug, CameraAddedLaterIsAnnouncedToARunningContext) {
    vcam::Bus bus;
    Host host;
    EXPECT_TRUE(host.list().empty());
    bus.add_camera(1, 4);
    std::vector<Host::Found> l;
    for (int i = 0; i < 200 && l.empty(); ++i) {
        timeval tv{0, 5000};
        libusb_handle_events_timeout(host.ctx, &tv);
        l = host.list();
    }
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].port, 4);
}

}  // namespace
