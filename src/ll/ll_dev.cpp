// Enumeration, open, close and reset of the camera. The camera is recognised
// by its USB vendor and product identifiers alone; locations are printed as
// port:bus:address.
#include <pthread.h>

#include <atomic>
#include <cstring>

#include "base/clock.h"
#include "base/firewall.h"
#include "ll/ll.h"
#include "ll/ll_wire.h"

namespace vz::ll {
namespace {

// The camera's USB identity (build options).
constexpr uint16_t kVid = VIZOR_USB_VID;
constexpr uint16_t kPid = VIZOR_USB_PID;
constexpr uint32_t kUsbId = uint32_t(kVid) | (uint32_t(kPid) << 16);

struct Location {
    uint8_t bus, port, addr, speed;
};

Location location_of(libusb_device *dev) {
    return {libusb_get_bus_number(dev), libusb_get_port_number(dev), libusb_get_device_address(dev),
            uint8_t(libusb_get_device_speed(dev))};
}

bool is_camera(const libusb_device_descriptor &d) {
    return d.idVendor == kVid && d.idProduct == kPid;
}

void take_location(vizor_ll_usb_t *u, const Location &loc) {
    u->usb_id = kUsbId;
    u->usb_bus_num = loc.bus;
    u->usb_port_num = loc.port;
    u->usb_addr = loc.addr;
    u->usb_speed = loc.speed;
}

// Finds and opens the camera into u->usb_hdl (steps under "_vizor_ll_dev_open").
// Returns false when no camera was opened.
bool find_and_open(vizor_ll_usb_t *u) {
    static const char *const fn = "_vizor_ll_dev_open";
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(u->usb_ctx, &list);
    if (n < 0) {
        vz_err("[%s]   enum libusb device failed: %d \n", fn, int(n));
        return false;
    }
    vz_trc("[%s]   %d usb device found \n", fn, int(n));
    for (ssize_t i = 0; i < n && !u->usb_hdl; ++i) {
        libusb_device_descriptor desc;
        std::memset(&desc, 0, sizeof desc);
        if (libusb_get_device_descriptor(list[i], &desc) < 0) {
            vz_err("[%s]   Failed to get device desc of device %d\n", fn, int(i));
            continue;
        }
        const Location loc = location_of(list[i]);
        if (u->usb_loc_valid) {
            vz_trc("[%s] [%d] %04x:%04x (speed=%d) @ %03d:%03d:%03d\n", fn, int(i), desc.idVendor,
                   desc.idProduct, loc.speed, loc.port, loc.bus, loc.addr);
            if (!is_camera(desc) || loc.bus != u->usb_bus_num || loc.port != u->usb_port_num)
                continue;
            vz_dbg("[%s] open vizor device @ %03d:%03d:%03d\n", fn, u->usb_port_num, u->usb_bus_num,
                   u->usb_addr);
            const int r = libusb_open(list[i], &u->usb_hdl);
            if (r == 0) {
                take_location(u, loc);  // the address may have changed since it was listed
            } else {
                u->usb_hdl = nullptr;
                vz_wrn("[%s] failed to open this device: %s\n", fn, libusb_error_name(r));
            }
        } else if (is_camera(desc)) {
            vz_trc("[%s] found vizor device (speed=%d) @ %03d:%03d:%03d\n", fn, loc.speed, loc.port,
                   loc.bus, loc.addr);
            if (loc.speed <= LIBUSB_SPEED_FULL)
                vz_wrn("[%s] found vizor device not in HS mode (speed=%d) @ %03d:%03d:%03d\n", fn,
                       loc.speed, loc.port, loc.bus, loc.addr);
            const int r = libusb_open(list[i], &u->usb_hdl);
            if (r == 0) {
                u->usb_loc_valid = 1;
                take_location(u, loc);
            } else {
                u->usb_hdl = nullptr;
                vz_wrn("[%s]   failed to open this device: %s, try next ...\n", fn,
                       libusb_error_name(r));
            }
        }
    }
    libusb_free_device_list(list, 1);
    return u->usb_hdl != nullptr;
}

// Releases what an open or a close leaves: interfaces, handle, the command
// transfers given up on, and the context.
void release_device(vizor_ll_usb_t *u) {
    libusb_device_handle *hdl = u->usb_hdl;
    libusb_release_interface(hdl, 0);
    libusb_release_interface(hdl, 1);
    libusb_close(hdl);
    release_abandoned_cmds(hdl);
    libusb_exit(u->usb_ctx);
    u->usb_hdl = nullptr;
    u->usb_ctx = nullptr;
}

}  // namespace

}  // namespace vz::ll

using namespace vz::ll;

extern "C" {

static int vizor_ll_dev_list_body(vizor_ll_usb_t *entries, int max) {
    static const char *const fn = "vizor_ll_dev_list";
    if (!entries || max <= 0) return 0;
    std::memset(entries, 0, sizeof(*entries) * size_t(max));

    libusb_context *ctx = nullptr;
    const int rc = libusb_init(&ctx);
    if (rc < 0) {
        vz_err("[%s]  create usb context failed: %s\n", fn, libusb_error_name(rc));
        return 0;
    }
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) {
        vz_err("[%s]   enum usb device failed: %d \n", fn, int(n));
        libusb_exit(ctx);
        return 0;
    }
    vz_trc("[%s] try to find vizor device (max=%d) in %d usb device\n", fn, max, int(n));
    int found = 0;
    for (ssize_t i = 0; i < n && found < max; ++i) {
        libusb_device_descriptor desc;
        std::memset(&desc, 0, sizeof desc);
        if (libusb_get_device_descriptor(list[i], &desc) < 0) {
            vz_err("[%s]   Failed to get device desc of device %d\n", fn, int(i));
            continue;
        }
        const Location loc = location_of(list[i]);
        vz_trc("[%s] [%02d] %04x:%04x @ %03d:%03d:%03d\n", fn, int(i), desc.idVendor,
               desc.idProduct, loc.port, loc.bus, loc.addr);
        if (!is_camera(desc)) continue;
        vizor_ll_usb_t *e = &entries[found++];
        std::memset(e, 0, sizeof *e);
        e->usb_loc_valid = 1;
        take_location(e, loc);
        vz_dbg("[%s]   VIZOR device (speed=%d) found @ %03d:%03d:%03d, %p\n", fn, loc.speed,
               loc.port, loc.bus, loc.addr, static_cast<void *>(e));
    }
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return found;
}

VZ_API int vizor_ll_dev_list(vizor_ll_usb_t *entries, int max) noexcept {
    return vz::entry("vizor_ll_dev_list", 0, [&] { return vizor_ll_dev_list_body(entries, max); });
}

static vizor_ll_t *vizor_ll_dev_open_body(vizor_ll_t *ll) {
    static const char *const fn0 = "_vizor_ll_dev_open";
    static const char *const fn = "vizor_ll_dev_open";
    if (!ll) return nullptr;
    vizor_ll_usb_t *u = usb(ll);
    if (u->usb_hdl) {
        vz_wrn("[%s] device already open\n", fn);
        return ll;
    }

    bool own_ctx = false;
    if (!u->usb_ctx) {
        vz_dbg("[%s]  create usb context\n", fn0);
        const int r = libusb_init(&u->usb_ctx);
        if (r < 0) {
            vz_err("[%s]  create usb context failed: %s\n", fn0, libusb_error_name(r));
            u->usb_ctx = nullptr;
            return nullptr;
        }
        own_ctx = true;
        libusb_set_option(u->usb_ctx, LIBUSB_OPTION_LOG_LEVEL, debug_level());
    }

    if (!find_and_open(u)) {
        // A context made here goes again; one the caller handed in stays for
        // the next attempt.
        if (own_ctx) {
            libusb_exit(u->usb_ctx);
            u->usb_ctx = nullptr;
        }
        return nullptr;
    }

    int r = libusb_set_configuration(u->usb_hdl, 1);
    if (r != 0) {
        vz_err("[%s] libusb_set_configuration failed: %s\n", fn, libusb_error_name(r));
        release_device(u);
        return nullptr;
    }
    libusb_set_auto_detach_kernel_driver(u->usb_hdl, 1);
    r = libusb_claim_interface(u->usb_hdl, 0);
    if (r != 0) r = libusb_claim_interface(u->usb_hdl, 1);
    if (r != 0) {
        vz_err("[%s] libusb_claim_interface failed: %s\n", fn, libusb_error_name(r));
        release_device(u);
        return nullptr;
    }

    std::atomic_ref<uint8_t>(u->evt_running).store(0);
    std::atomic_ref<int>(u->evt_stop).store(0);
    if (pthread_create(&u->evt_thread, nullptr, evt_thread, ll) != 0) {
        vz_err("[%s]  create evt thread failed\n", fn);
        release_device(u);
        return nullptr;
    }
    return ll;
}

VZ_API vizor_ll_t *vizor_ll_dev_open(vizor_ll_t *ll) noexcept {
    return vz::entry("vizor_ll_dev_open", static_cast<vizor_ll_t *>(nullptr),
                     [&] { return vizor_ll_dev_open_body(ll); });
}

static void vizor_ll_dev_close_body(vizor_ll_t *ll) {
    static const char *const fn = "vizor_ll_dev_close";
    vizor_ll_usb_t *u = ll ? usb(ll) : nullptr;
    if (!u || !u->usb_ctx || !u->usb_hdl) {
        vz_wrn("[%s] device no need to closed!\n", fn);
        if (u && u->usb_ctx && !u->usb_hdl) {  // a context without a device
            libusb_exit(u->usb_ctx);
            u->usb_ctx = nullptr;
        }
        return;
    }
    // An open device always has its event thread (it may have ended on an
    // error already, then the join returns at once).
    std::atomic_ref<int> stop(u->evt_stop);
    if (stop.load() == 0) vz_trc("[%s] stop evt thread...\n", fn);
    stop.store(1);
    evt_wake(u);
    pthread_join(u->evt_thread, nullptr);
    release_device(u);
}

VZ_API void vizor_ll_dev_close(vizor_ll_t *ll) noexcept {
    vz::entry_void("vizor_ll_dev_close", [&] { vizor_ll_dev_close_body(ll); });
}

static bool vizor_ll_dev_reset_body(vizor_ll_t *ll, uint8_t target) {
    static const char *const fn = "vizor_ll_dev_reset";
    vz_trc("[%s] rest device (target=%d)\n", fn, int(target));
    if (!ll) return require_open(ll);
    vizor_ll_usb_t *u = usb(ll);
    uint8_t payload[4];
    put_u32le(payload, target);

    if (target == VIZOR_RESET_USB_IF) {
        vz_trc("[%s] Reset usb if (timeout = %d ms) ...\n", fn, 3000);
        // The camera drops off the bus: neither the transfer nor a status
        // answer is to be expected.
        if (require_open(ll))
            exe_cmd(u, 1, VIZOR_REQ_CFG, VIZOR_CFG_RESET, payload, sizeof payload,
                    VIZOR_CMD_TIMEOUT_MS);
        vizor_ll_dev_close(ll);
        bool reopened = false;
        for (int i = 0; i < kResetReopenTries && !reopened; ++i) {
            vz::sleep_ms(kResetReopenPauseMs);
            reopened = vizor_ll_dev_open(ll) != nullptr;
        }
        if (!reopened) vz_wrn("[%s] reopen device failed!\n", fn);
        vz_trc("[%s] Reset usb if end. \n", fn);
        return reopened;
    }

    if (!require_open(ll)) return false;
    return exe_cmd(u, 1, VIZOR_REQ_CFG, VIZOR_CFG_RESET, payload, sizeof payload,
                   VIZOR_CMD_TIMEOUT_MS) &&
           check_last_cmd(u, VIZOR_REQ_CFG, VIZOR_CFG_RESET);
}

VZ_API bool vizor_ll_dev_reset(vizor_ll_t *ll, uint8_t target) noexcept {
    return vz::entry("vizor_ll_dev_reset", false,
                     [&] { return vizor_ll_dev_reset_body(ll, target); });
}

}  // extern "C"
