// The per-device event thread, the event loop it runs, and the commands that
// start and stop the camera's frame stream.
#include <sys/time.h>

#include <atomic>

#include "base/firewall.h"
#include "ll/ll.h"
#include "ll/ll_wire.h"

namespace vz::ll {

void *evt_thread(void *arg) {
    static const char *const fn = "_vizor_ll_evt_thread";
    auto *ll = static_cast<vizor_ll_t *>(arg);
    vz_dbg("[%s] enter\n", fn);
    vizor_ll_event_loop(ll, kEvtWaitMs, &usb(ll)->evt_stop);
    vz_dbg("[%s] exit\n", fn);
    return nullptr;
}

void evt_wake(vizor_ll_usb_t *u) { libusb_interrupt_event_handler(u->usb_ctx); }

}  // namespace vz::ll

using namespace vz::ll;

extern "C" {

static int vizor_ll_event_loop_body(vizor_ll_t *ll, int timeout_ms, int *completed) {
    static const char *const fn = "vizor_ll_event_loop";
    if (!ll || !usb(ll)->usb_ctx) return LIBUSB_ERROR_INVALID_PARAM;
    vizor_ll_usb_t *u = usb(ll);
    std::atomic_ref<uint8_t> running(u->evt_running);
    running.store(1);
    vz_trc("[%s] Enter ll event loop...\n", fn);

    const int ms = timeout_ms > 0 ? timeout_ms : 0;
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;

    // Logs a failed round; true when event handling should go on.
    auto go_on_after = [](int r) {
        vz_err("[%s] libusb reports error: %s\n", fn, libusb_error_name(r));
        switch (r) {
        case LIBUSB_ERROR_INTERRUPTED:
            // A signal cut the wait short: nothing is wrong with the device.
            vz_wrn("[%s] libusb_handle_events LIBUSB_ERROR_INTERRUPTED \n", fn);
            return true;
        case LIBUSB_ERROR_TIMEOUT: vz_wrn("[%s] libusb_handle_events timeout \n", fn); return false;
        case LIBUSB_ERROR_BUSY:
        case LIBUSB_ERROR_OVERFLOW: return true;
        default: return false;
        }
    };

    int r = 0;
    if (completed) {
        // The flag is set by another thread (close), which then wakes the wait.
        std::atomic_ref<int> done(*completed);
        for (;;) {
            r = libusb_handle_events_timeout_completed(u->usb_ctx, &tv, completed);
            if (r < 0 && !go_on_after(r)) break;
            if (done.load()) break;
        }
    } else {
        r = libusb_handle_events_timeout_completed(u->usb_ctx, &tv, nullptr);
        if (r < 0) go_on_after(r);
    }

    running.store(0);
    vz_trc("[%s] Exit ll event loop...\n", fn);
    return r;
}

VZ_API int vizor_ll_event_loop(vizor_ll_t *ll, int timeout_ms, int *completed) noexcept {
    return vz::entry("vizor_ll_event_loop", int(LIBUSB_ERROR_OTHER),
                     [&] { return vizor_ll_event_loop_body(ll, timeout_ms, completed); });
}

static bool vizor_ll_cap_start_body(vizor_ll_t *ll, uint32_t frame_count) {
    vz_trc("[%s] Enter\n", "vizor_ll_cap_start");
    if (!require_open(ll)) return false;
    uint8_t payload[4];
    put_u32le(payload, frame_count);
    vizor_ll_usb_t *u = usb(ll);
    return exe_cmd(u, 1, VIZOR_REQ_CTRL, VIZOR_CTRL_CAP_START, payload, sizeof payload,
                   VIZOR_CMD_TIMEOUT_MS) &&
           check_last_cmd(u, VIZOR_REQ_CTRL, VIZOR_CTRL_CAP_START);
}

VZ_API bool vizor_ll_cap_start(vizor_ll_t *ll, uint32_t frame_count) noexcept {
    return vz::entry("vizor_ll_cap_start", false,
                     [&] { return vizor_ll_cap_start_body(ll, frame_count); });
}

static bool vizor_ll_cap_stop_body(vizor_ll_t *ll) {
    if (!require_open(ll)) return false;
    uint8_t payload[1] = {VIZOR_REQ_CTRL};
    vizor_ll_usb_t *u = usb(ll);
    return exe_cmd(u, 1, VIZOR_REQ_CTRL, VIZOR_CTRL_CAP_STOP, payload, sizeof payload,
                   VIZOR_CMD_TIMEOUT_MS) &&
           check_last_cmd(u, VIZOR_REQ_CTRL, VIZOR_CTRL_CAP_STOP);
}

VZ_API bool vizor_ll_cap_stop(vizor_ll_t *ll) noexcept {
    return vz::entry("vizor_ll_cap_stop", false, [&] { return vizor_ll_cap_stop_body(ll); });
}

}  // extern "C"
