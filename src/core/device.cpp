// Device list, open, close and reset, and the device firewall's busy mark:
// close is one teardown path, shared with a failed open, and never frees
// what a call in progress still uses.
#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

#include "base/clock.h"
#include "base/dev_hold.h"
#include "base/log.h"
#include "core/capture.h"
#include "core/device.h"
#include "core/globals.h"
#include "drivers/registry.h"

namespace {

constexpr int kOpenFrames = 10;
constexpr size_t kNameBufLen = 256;
constexpr int kCloseWaitRounds = 30;
constexpr uint32_t kCloseWaitMs = 100;

void copy_location_to_ll(const vizor_dev_t &dev, vizor_ll_t &ll) {
    ll.usb.usb_bus_num = dev.usb_bus_num;
    ll.usb.usb_port_num = dev.usb_port_num;
    ll.usb.usb_addr = dev.usb_addr;
    ll.usb.usb_speed = dev.usb_speed;
    ll.usb.usb_loc_valid = dev.usb_loc_valid;
}

void copy_location_to_dev(const vizor_ll_t &ll, vizor_dev_t &dev) {
    dev.usb_bus_num = ll.usb.usb_bus_num;
    dev.usb_port_num = ll.usb.usb_port_num;
    dev.usb_addr = ll.usb.usb_addr;
    dev.usb_speed = ll.usb.usb_speed;
    dev.usb_loc_valid = ll.usb.usb_loc_valid;
}

// Text of a parameter value: up to its terminator within the 18-byte area,
// NUL-padded to the 32-byte field.
void copy_text(char (&dst)[32], const vizor_param_item_t &item) {
    memset(dst, 0, sizeof dst);
    size_t n = strnlen(reinterpret_cast<const char *>(item.param_val), sizeof item.param_val);
    memcpy(dst, item.param_val, n);
}

template <size_t N>
void copy_bytes(uint8_t (&dst)[N], const vizor_param_item_t &item) {
    size_t n = item.param_val_len;
    if (n > sizeof item.param_val) n = sizeof item.param_val;
    if (n > N) n = N;
    memset(dst, 0, N);
    memcpy(dst, item.param_val, n);
}

// Reads the four device-information parameters into the record.
bool read_device_info(vizor_dev_t &dev) {
    vizor_param_item_t items[4] = {};
    items[0].param_id = VIZOR_PARAM_INFO_STR;
    items[1].param_id = VIZOR_PARAM_INFO_PRODUCT;
    items[2].param_id = VIZOR_PARAM_INFO_BLOB;
    items[3].param_id = VIZOR_PARAM_INFO_EXT;
    if (!vz::param_get(dev, items, 4)) return false;
    copy_text(dev.dev_info_str, items[0]);
    copy_text(dev.product, items[1]);
    copy_bytes(dev.dev_info_blob, items[2]);
    copy_bytes(dev.dev_info_ext, items[3]);
    return true;
}

void attach_name_buffers(vizor_dev_t &dev, vizor_ll_t &ll) {
    char *bufs[4];
    for (int i = 0; i < 4; ++i) bufs[i] = ll.name_bufs[i].get();
    dev.calib_names[0].dist_img_name = bufs[0];
    dev.calib_names[1].dist_img_name = bufs[1];
    dev.calib_names[0].param_name = bufs[2];
    dev.calib_names[1].param_name = bufs[3];
}

void detach_name_buffers(vizor_dev_t &dev) {
    for (auto &set : dev.calib_names) {
        set.dist_img_name = nullptr;
        set.param_name = nullptr;
    }
    dev.cfg_path = nullptr;
}

// The failure path of an open: the one teardown of close, then NULL.
vizor_dev_t *fail_open(vizor_dev_t *dev) {
    vz::finish_close(*dev);
    return nullptr;
}

// Runs the driver's open-time operations; a negative calibration check means
// the driver lacks its calibration files.
void run_driver_init(vizor_dev_t &dev, vz::DriverOwner &owner) {
    owner.bind(dev);
    vizor_drv_t &drv = *owner.get();
    const vizor_drv_ops_t *ops = drv.ops;
    if (ops->calib_names_get) {
        ops->calib_names_get(&drv, &dev.calib_names[0], 0);
        ops->calib_names_get(&drv, &dev.calib_names[1], 1);
    }
    const int check = ops->calib_data_check ? ops->calib_data_check(&drv, 0, 0, 2) : 0;
    if (check < 0) vz::load_calib_data(dev);
}

// Waits up to 30 x 100 ms for public calls still inside the library on
// other threads. False when some are still inside after that.
bool wait_not_busy(vizor_ll_t &ll) {
    for (int i = 0; i < kCloseWaitRounds; ++i) {
        if ((ll.busy.load() & vz::kBusyCount) == 0) return true;
        vz::sleep_ms(kCloseWaitMs);
    }
    return (ll.busy.load() & vz::kBusyCount) == 0;
}

// Devices the calling thread is inside a public call on, with their counts.
struct HeldMark {
    const vizor_ll_t *ll;
    int count;
};
constexpr int kHeldSlots = 8;
thread_local HeldMark t_held[kHeldSlots] = {};

void note_mark(const vizor_ll_t *ll, int delta) {
    HeldMark *free_slot = nullptr;
    for (HeldMark &h : t_held) {
        if (h.ll == ll && h.count > 0) {
            h.count += delta;
            return;
        }
        if (h.count == 0 && !free_slot) free_slot = &h;
    }
    // More devices than slots: the close of the extra ones falls back to the
    // bounded wait and the deferred finish.
    if (delta > 0 && free_slot) *free_slot = HeldMark{ll, delta};
}

}  // namespace

vizor_ll::~vizor_ll() {
    vz::cap::XferPool::release(xfers, "vizor_dev_close");
    // Also releases a lone context of a failed open.
    if (usb.usb_hdl || usb.usb_ctx) vizor_ll_dev_close(this);
    drv = std::unique_ptr<vizor_drv_t>();
}

namespace vz {

DevMark::DevMark(vizor_dev_t *dev) noexcept : dev_(dev), ll_(dev ? dev->ll : nullptr), ok_(false) {
    if (!ll_) return;
    // The mark comes before the check: a close that sees no mark afterwards
    // knows this call will see `closing` and stay away.
    ll_->busy.fetch_add(1);
    std::atomic_ref<uint8_t>(dev_->api_busy).store(1);
    note_mark(ll_, 1);
    ok_ = dev_ok(dev);
}

DevMark::~DevMark() {
    if (!ll_) return;
    note_mark(ll_, -1);
    // Nothing of the state or the record is touched once the mark is gone: a
    // closer may free both then. The last call out of a deferred close takes
    // the whole word to 0 and finishes that close itself.
    int cur = ll_->busy.load();
    if ((cur & kBusyCount) == 1) std::atomic_ref<uint8_t>(dev_->api_busy).store(0);
    while (!ll_->busy.compare_exchange_weak(cur, cur == (kCloseDeferred | 1) ? 0 : cur - 1)) {}
    if (cur == (kCloseDeferred | 1)) finish_close(*dev_);
}

// Leaves the rest of a close to the last call still inside: true when the
// deferral was taken, false when no call is inside any more (the caller then
// finishes the close itself).
bool defer_close(vizor_ll_t &ll) {
    int cur = ll.busy.load();
    for (;;) {
        if ((cur & kBusyCount) == 0) return false;
        if (ll.busy.compare_exchange_weak(cur, cur | kCloseDeferred)) return true;
    }
}

int marks_held_here(const vizor_ll_t *ll) noexcept {
    for (const HeldMark &h : t_held)
        if (h.ll == ll && h.count > 0) return h.count;
    return 0;
}

namespace {

// The hold of base/dev_hold.h: a busy mark kept across calls.
void *hold_take(vizor_dev_t *dev) {
    auto *mark = new (std::nothrow) DevMark(dev);
    if (mark && !mark->ok()) {
        delete mark;
        mark = nullptr;
    }
    return mark;
}
void hold_drop(void *token) { delete static_cast<DevMark *>(token); }

[[maybe_unused]] const bool g_hold_installed =
    (set_dev_hold_ops(DevHoldOps{hold_take, hold_drop}), true);

}  // namespace

void finish_close(vizor_dev_t &dev) noexcept {
    vizor_ll_t *ll = dev.ll;
    if (!ll) return;
    ll->closing = true;
    cap::wake_all(*ll);
    if (ll->capturing && !cap::stop(dev)) vz_err("[%s] stop capture failed!\n", "vizor_dev_close");
    detach_name_buffers(dev);
    ll->opened = 0;
    delete ll;  // transfers, transport, driver, reassembler, buffers
    dev.ll = nullptr;
    std::atomic_ref<uint8_t>(dev.api_busy).store(0);
    vz::current_device().store(nullptr);
    if (dev.free_on_close) free(&dev);
}

bool param_get(vizor_dev_t &dev, vizor_param_item_t *items, int count) {
    std::vector<vizor_ll_param_wire_t> wire(size_t(count > 0 ? count : 0));
    for (int i = 0; i < count; ++i) {
        wire[size_t(i)].param_id = uint8_t(items[i].param_id);
        wire[size_t(i)].param_val_len = items[i].param_val_len;
    }
    vz_dbg("[%s] get %d param\n", "_vizor_param_batch_get", count);
    if (!vizor_ll_param_get(dev.ll, wire.data(), count)) return false;
    for (int i = 0; i < count; ++i) {
        items[i].param_val_len = wire[size_t(i)].param_val_len;
        memcpy(items[i].param_val, wire[size_t(i)].param_val, sizeof items[i].param_val);
    }
    return true;
}

}  // namespace vz

extern "C" {

VZ_API int vizor_dev_list(vizor_dev_t *dev_list, int dev_list_num) noexcept {
    const char *const fn = __func__;
    return vz::entry(fn, 0, [&] {
        if (!dev_list || dev_list_num <= 0) {
            vz_err("[%s]   wrong params: dev_list=%p, dev_list_num=%d \n", fn,
                   static_cast<void *>(dev_list), dev_list_num);
            return 0;
        }
        memset(dev_list, 0, sizeof(vizor_dev_t) * size_t(dev_list_num));
        std::unique_ptr<vizor_ll_usb_t[]> found(new vizor_ll_usb_t[size_t(dev_list_num)]());
        const int n = vizor_ll_dev_list(found.get(), dev_list_num);
        for (int i = 0; i < n; ++i) {
            dev_list[i].usb_bus_num = found[i].usb_bus_num;
            dev_list[i].usb_port_num = found[i].usb_port_num;
            dev_list[i].usb_addr = found[i].usb_addr;
            dev_list[i].usb_speed = found[i].usb_speed;
            dev_list[i].usb_loc_valid = 1;
        }
        return n;
    });
}

namespace {

vizor_dev_t *open_device(vizor_dev_t *dev) {
    static const char *const fn = "vizor_dev_open";
    if (!dev) {
        dev = &vz::default_device();
        if (dev->ll) {
            vz_err("[%s] default device may not close properly!", fn);
            return nullptr;
        }
        memset(dev, 0, sizeof *dev);
    }
    if (dev->ll && dev->ll->opened) {
        vz_wrn("[%s] device not close correctly. close it..\n", fn);
        vizor_dev_close(dev);         // then open afresh with a new state record
        if (dev->ll) return nullptr;  // the close is still waiting for a call
    }
    if (!dev->ll) {
        dev->ll = new (std::nothrow) vizor_ll_t();
        if (!dev->ll) return nullptr;
        copy_location_to_ll(*dev, *dev->ll);
    }
    vizor_ll_t &ll = *dev->ll;
    ll.owner = dev;
    for (auto &buf : ll.name_bufs) {
        buf.reset(new (std::nothrow) char[kNameBufLen]());
        if (!buf) return fail_open(dev);
    }
    attach_name_buffers(*dev, ll);
    vz_dbg("[%s] open vizor device @ %p\n", fn, static_cast<void *>(dev));

    if (!vizor_ll_dev_open(&ll)) {
        vz_err("[%s] open device failed!\n", fn);
        return fail_open(dev);
    }
    copy_location_to_dev(ll, *dev);
    ll.cfg_path.reset(new (std::nothrow) char[kNameBufLen]());
    if (ll.cfg_path) {
        strcpy(ll.cfg_path.get(), ".\\");
    } else {
        vz_err("[%s] Path malloc failed\n", fn);
    }
    dev->cfg_path = ll.cfg_path.get();
    ll.opened = 1;

    if (!read_device_info(*dev)) {
        vz_wrn("[%s]  cannot get info of device\n", fn);
        return fail_open(dev);
    }
    const vizor_drv_t *proto = vizor_drv_find(dev);
    if (!proto) {
        vz_err("[%s] cannot find driver for device: product=%s\n", fn, dev->product);
        return fail_open(dev);
    }
    ll.drv = vz::drv::instantiate(*proto);

    vz_stream_cfg_t cfg{};
    cfg.max_frames = kOpenFrames;
    ll.stream = vz_stream_create(&cfg);
    if (!ll.stream) {
        vz_err("[%s] vz_stream_create failed\n", fn);
        return fail_open(dev);
    }
    ll.xfers = vz::cap::XferPool::create();
    if (!ll.xfers) {
        vz_err("[%s] malloc failed!\n", fn);
        return fail_open(dev);
    }
    std::atomic_ref<uint8_t>(dev->api_busy).store(0);
    ll.capturing = 0;
    ll.cap_halted = 1;
    vz::current_device().store(dev);

    run_driver_init(*dev, ll.drv);
    return dev;
}

}  // namespace

VZ_API vizor_dev_t *vizor_dev_open(vizor_dev_t *dev) noexcept {
    const char *const fn = __func__;
    return vz::entry(fn, static_cast<vizor_dev_t *>(nullptr), [&]() -> vizor_dev_t * {
        // A failure that throws half-way takes the failure path as well.
        try {
            return open_device(dev);
        } catch (...) {
            vizor_dev_t *rec = dev ? dev : &vz::default_device();
            if (rec->ll) fail_open(rec);
            throw;
        }
    });
}

VZ_API vizor_dev_t *vizor_dev_open_by_fd(int fd) noexcept {
    vz_err("[%s] vizor_dev_open_by_fd currently only support in android!\n", __func__);
    return nullptr;
}

VZ_API void vizor_dev_close(vizor_dev_t *dev) noexcept {
    const char *const fn = __func__;
    vz::entry_void(fn, [&] {
        vz_dbg("[%s] close vizor device @ %p\n", fn, static_cast<void *>(dev));
        if (!dev || !dev->ll) return;
        vizor_ll_t &ll = *dev->ll;
        if (!vz::has_own_state(dev)) {
            vz_err("[%s] record is a copy of another device's record: not closed\n", fn);
            return;
        }
        // New calls are refused from here on; blocked waiters wake and return.
        if (ll.closing.exchange(true)) {
            vz_dbg("[%s] device is already closing\n", fn);
            return;
        }
        vz::cap::wake_all(ll);
        if (vz::marks_held_here(&ll) > 0) {
            // Called from inside a call on this device (a frame-ready or
            // error callback): that call is still using the device, so the
            // close finishes as soon as it returns.
            vz_wrn(
                "[%s] called inside a call on this device: it completes when that call "
                "returns\n",
                fn);
            vz::defer_close(ll);  // this thread's own mark keeps the count above 0
            return;
        }
        if (ll.capturing && !vz::cap::stop(*dev)) vz_err("[%s] stop capture failed!\n", fn);
        if (!wait_not_busy(ll)) {
            // Never free what another call still uses: the last call to leave
            // finishes the close; the caller does not wait longer.
            vz_wrn("[%s]  api wait timeout\n", fn);
            if (vz::defer_close(ll)) return;
        }
        vz::finish_close(*dev);
    });
}

VZ_API bool vizor_dev_reset(vizor_dev_t *dev, uint32_t target) noexcept {
    const char *const fn = __func__;
    vz_dbg("[%s] rest device (target=%d)\n", fn, int(target));
    return vz::dev_call(fn, dev, false, [&](vizor_dev_t &d) {
        if (target > 8) {
            vz_err("[%s] wrong reset target: %d\n", fn, int(target));
            return false;
        }
        return vizor_ll_dev_reset(d.ll, uint8_t(target));
    });
}

VZ_API vizor_drv_t *vizor_dev_get_drv(vizor_dev_t *dev) noexcept {
    return vz::has_own_state(dev) ? dev->ll->drv.get() : nullptr;
}

}  // extern "C"
