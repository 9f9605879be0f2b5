// Device list, open, close and reset.
#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

#include "core/capture.h"
#include "core/clock.h"
#include "core/device.h"
#include "core/globals.h"
#include "core/vzlog.h"
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

// Releases everything a failed open created, and the record when asked to.
vizor_dev_t *fail_open(vizor_dev_t *dev, bool transport_open) {
    vizor_ll_t *ll = dev->ll;
    ll->opened = 0;
    if (transport_open) vizor_ll_dev_close(ll);
    if (ll->stream) vz_stream_destroy(ll->stream);
    detach_name_buffers(*dev);
    delete ll;
    dev->ll = nullptr;
    if (dev->free_on_close) free(dev);
    vz::current_device().store(nullptr);
    return nullptr;
}

// Runs the driver's open-time operations; a negative calibration check means
// the driver lacks its calibration files.
void run_driver_init(vizor_dev_t &dev, vizor_drv_t &drv) {
    const vizor_drv_ops_t *ops = drv.ops;
    if (ops->init) ops->init(&drv, &dev);
    if (ops->calib_names_get) {
        ops->calib_names_get(&drv, &dev.calib_names[0], 0);
        ops->calib_names_get(&drv, &dev.calib_names[1], 1);
    }
    const int check = ops->calib_data_check ? ops->calib_data_check(&drv, 0, 0, 2) : 0;
    if (check < 0) vz::load_calib_data(dev);
}

// Waits for public calls still inside the library on other threads. Every
// call is bounded, so the wait ends; after 3 s it is reported once.
void wait_not_busy(vizor_ll_t &ll) {
    for (int i = 0; ll.busy.load() > 0; ++i) {
        if (i == kCloseWaitRounds) vz_wrn("[%s]  api wait timeout\n", "vizor_dev_close");
        vz::sleep_ms(kCloseWaitMs);
    }
}

// Frees the bulk transfers while their USB context still exists. A transfer
// that never came back from its cancellation is left allocated: freeing it
// would let its late completion write into freed memory.
void release_transfers(vizor_ll_t &ll) {
    if (!ll.xfers) return;
    if (ll.xfers->in_flight.load() > 0) {
        vz_wrn("[%s] %d transfers still pending, not released\n", "vizor_dev_close",
               ll.xfers->in_flight.load());
        (void)ll.xfers.release();
        return;
    }
    ll.xfers.reset();
}

}  // namespace

namespace vz {

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

VZ_API int vizor_dev_list(vizor_dev_t *dev_list, int dev_list_num) {
    if (!dev_list || dev_list_num <= 0) {
        vz_err("[%s]   wrong params: dev_list=%p, dev_list_num=%d \n", __func__,
               static_cast<void *>(dev_list), dev_list_num);
        return 0;
    }
    memset(dev_list, 0, sizeof(vizor_dev_t) * size_t(dev_list_num));
    std::unique_ptr<vizor_ll_usb_t[]> found(new (std::nothrow) vizor_ll_usb_t[size_t(dev_list_num)]());
    if (!found) return 0;
    const int n = vizor_ll_dev_list(found.get(), dev_list_num);
    for (int i = 0; i < n; ++i) {
        dev_list[i].usb_bus_num = found[i].usb_bus_num;
        dev_list[i].usb_port_num = found[i].usb_port_num;
        dev_list[i].usb_addr = found[i].usb_addr;
        dev_list[i].usb_speed = found[i].usb_speed;
        dev_list[i].usb_loc_valid = 1;
    }
    return n;
}

VZ_API vizor_dev_t *vizor_dev_open(vizor_dev_t *dev) {
    if (!dev) {
        dev = &vz::default_device();
        if (dev->ll) {
            vz_err("[%s] default device may not close properly!", __func__);
            return nullptr;
        }
        memset(dev, 0, sizeof *dev);
    }
    if (dev->ll && dev->ll->opened) {
        vz_wrn("[%s] device not close correctly. close it..\n", __func__);
        vizor_dev_close(dev);  // then open afresh with a new state record
    }
    if (!dev->ll) {
        dev->ll = new (std::nothrow) vizor_ll_t();
        if (!dev->ll) return nullptr;
        copy_location_to_ll(*dev, *dev->ll);
    }
    vizor_ll_t &ll = *dev->ll;
    for (auto &buf : ll.name_bufs) {
        buf.reset(new (std::nothrow) char[kNameBufLen]());
        if (!buf) return fail_open(dev, false);
    }
    attach_name_buffers(*dev, ll);
    vz_dbg("[%s] open vizor device @ %p\n", __func__, static_cast<void *>(dev));

    if (!vizor_ll_dev_open(&ll)) {
        vz_err("[%s] open device failed!\n", __func__);
        return fail_open(dev, false);
    }
    copy_location_to_dev(ll, *dev);
    ll.cfg_path.reset(new (std::nothrow) char[kNameBufLen]());
    if (ll.cfg_path) {
        strcpy(ll.cfg_path.get(), ".\\");
    } else {
        vz_err("[%s] Path malloc failed\n", __func__);
    }
    dev->cfg_path = ll.cfg_path.get();
    ll.opened = 1;

    if (!read_device_info(*dev)) {
        vz_wrn("[%s]  cannot get info of device\n", __func__);
        return fail_open(dev, true);
    }
    const vizor_drv_t *proto = vizor_drv_find(dev);
    if (!proto) {
        vz_err("[%s] cannot find driver for device: product=%s\n", __func__, dev->product);
        return fail_open(dev, true);
    }
    ll.drv = vz::drv::instantiate(*proto);

    vz_stream_cfg_t cfg{};
    cfg.max_frames = kOpenFrames;
    ll.stream = vz_stream_create(&cfg);
    if (!ll.stream) {
        vz_err("[%s] vz_stream_create failed\n", __func__);
        return fail_open(dev, true);
    }
    ll.xfers = vz::cap::XferPool::create();
    if (!ll.xfers) {
        vz_err("[%s] malloc failed!\n", __func__);
        return fail_open(dev, true);
    }
    std::atomic_ref<uint8_t>(dev->api_busy).store(0);
    ll.capturing = 0;
    ll.cap_halted = 1;
    vz::current_device().store(dev);

    run_driver_init(*dev, *ll.drv);
    return dev;
}

VZ_API vizor_dev_t *vizor_dev_open_by_fd(int fd) {
    vz_err("[%s] vizor_dev_open_by_fd currently only support in android!\n", __func__);
    return nullptr;
}

VZ_API void vizor_dev_close(vizor_dev_t *dev) {
    vz_dbg("[%s] close vizor device @ %p\n", __func__, static_cast<void *>(dev));
    if (!dev || !dev->ll) return;
    vizor_ll_t &ll = *dev->ll;
    // New calls are refused from here on; blocked waiters wake and return.
    ll.closing = true;
    vz::cap::wake_all(ll);
    if (ll.capturing && !vz::cap::stop(*dev)) vz_err("[%s] stop capture failed!\n", __func__);
    wait_not_busy(ll);
    release_transfers(ll);
    vizor_ll_dev_close(&ll);
    detach_name_buffers(*dev);
    ll.opened = 0;
    if (ll.drv && ll.drv->ops->uninit) ll.drv->ops->uninit(ll.drv.get());
    if (ll.stream) vz_stream_destroy(ll.stream);
    delete dev->ll;
    dev->ll = nullptr;
    std::atomic_ref<uint8_t>(dev->api_busy).store(0);
    if (dev->free_on_close) free(dev);
    vz::current_device().store(nullptr);
}

VZ_API bool vizor_dev_reset(vizor_dev_t *dev, uint32_t target) {
    vz_dbg("[%s] rest device (target=%d)\n", __func__, int(target));
    if (!vz::dev_ok(dev)) {
        vz_err("[%s]  Device handler Is NULL!\r\n", __func__);
        return false;
    }
    if (target > 8) {
        vz_err("[%s] wrong reset target: %d\n", __func__, int(target));
        return false;
    }
    vz::BusyGuard busy(dev);
    return vizor_ll_dev_reset(dev->ll, uint8_t(target));
}

VZ_API vizor_drv_t *vizor_dev_get_drv(vizor_dev_t *dev) {
    return dev && dev->ll ? dev->ll->drv.get() : nullptr;
}

}  // extern "C"
