// Adapter of the EPC processing library, which serves a single chip, to one
// device: it makes that device the EPC default device, reads the chip's
// identity, initialises the library and applies the driver's settings. Used
// standalone (no device given) it opens the first camera itself.
#include <stdio.h>
#include <string.h>
#include <atomic>

#include "base/firewall.h"
#include "base/log.h"
#include "drivers/drv_epc.h"
#include "epc660/base.h"
#include "vizor/epc660.h"

namespace {

constexpr int kDeviceAddress = 32;
constexpr uint32_t kStandaloneFrameBuffer = 6144000;

// Adapter state: whether the adapter opened the default device itself.
struct Adapter {
    std::atomic<bool> owns_device = false;
};
Adapter g_adapter;

// Part type by the product's driver name: "E2" cameras carry the epc635,
// "E1" cameras the epc660 (parameter 7 does not tell the two apart).
int part_type_of(const vizor_dev_t *dev) {
    char product[sizeof dev->product + 1] = {};
    memcpy(product, dev->product, sizeof dev->product);
    const char *first = strchr(product, '-');
    return first && strncmp(first + 1, "E2-", 3) == 0 ? 4 : 2;
}

// The chip identity of parameter 7: part version, chip id, wafer id (u16 LE).
bool bind_chip(vizor_dev_t *dev) {
    vz::epc::set_default_device(dev);
    configSetPartType(part_type_of(dev));
    vizor_param_item_t item{};
    item.param_id = VIZOR_PARAM_INFO_SENSOR;
    if (!vizor_param_batch_get(dev, &item, 1) || item.param_val_len < 6) {
        printf("Get chip info failed");
        vz::epc::set_default_device(nullptr);
        return false;
    }
    const auto u16 = [&](int i) {
        return uint16_t(item.param_val[i] | item.param_val[i + 1] << 8);
    };
    configSetPartVersion(u16(0));
    configSetIcVersion(u16(0));
    configSetWaferID(u16(4));
    configSetChipID(u16(2));
    configSetDeviceAddress(kDeviceAddress);
    configInit(kDeviceAddress);
    calibrationSetDefaultOffsetPhase(-6600);
    apiEnableDefaultOffset(1);
    apiEnableABS(1, kDeviceAddress);
    apiEnableAdcOverflow(1);
    apiSetModulationFrequency(1, kDeviceAddress);
    apiSetMinAmplitude(30);
    // The image area of the chip configInit found: the epc635 has no rows and
    // columns beyond its 160 x 60 image area.
    if (configGetPartType() == 4)
        apiSetROI(4, 163, 6, 65, kDeviceAddress);
    else
        apiSetROI(4, 323, 6, 125, kDeviceAddress);
    apiSetHysteresis(20);
    return true;
}

// Closes the device the adapter opened itself, if any.
void close_own() {
    if (!g_adapter.owns_device.exchange(false)) return;
    printf("close dev..");
    vizor_dev_close(vz::epcdrv::adapter_device());
    vizor_uninit();
    printf("uninit done..");
}

}  // namespace

namespace vz::epcdrv {

vizor_dev_t *adapter_device() {
    const vz::epc::ContextPtr ctx = vz::epc::context_default();
    std::lock_guard lk(ctx->mu);
    return ctx->device;
}

void adapter_release(vizor_dev_t *dev) {
    if (!dev) return;
    // The device is being closed already: the adapter must not close it again.
    if (adapter_device() == dev) g_adapter.owns_device = false;
    // A device the EPC driver did not bind may still be the standalone
    // context's device.
    const vz::epc::ContextPtr ctx = vz::epc::context_default();
    std::lock_guard lk(ctx->mu);
    if (ctx->device == dev) ctx->device = nullptr;
}

}  // namespace vz::epcdrv

namespace {

// Binds dev in its own context when the EPC driver made one for it, else in
// the standalone context.
bool bind(vizor_dev_t *dev) {
    vz::epc::ContextPtr ctx = vz::epc::context_of(dev);
    if (ctx)
        vz::epc::context_select(dev);
    else
        vz::epc::context_select_none();
    if (!ctx) ctx = vz::epc::context_default();
    const vz::epc::Scope scope(ctx);
    return bind_chip(dev);
}

void clear_default() {
    vz::epc::context_select_none();
    const vz::epc::Use use;
    vz::epc::set_default_device(nullptr);
}

bool adapter_init(vizor_dev_t *dev) {
    if (dev) return bind(dev);
    close_own();
    clear_default();
    vizor_init(nullptr);
    vizor_log_cfg(1, 1, 5);
    vizor_dev_t *opened = vizor_dev_open(nullptr);
    if (!opened) {
        vizor_uninit();
        clear_default();
        return false;
    }
    if (!vz::epc::context_select(opened)) {
        const vz::epc::Use use;
        vz::epc::set_default_device(opened);
    }
    vizor_cap_set_frame_buffer(opened, nullptr, kStandaloneFrameBuffer);
    g_adapter.owns_device = true;
    return true;
}

}  // namespace

extern "C" {

VZ_API bool epc_adapter_init(vizor_dev_t *dev) noexcept {
    return vz::entry(__func__, false, [&] { return adapter_init(dev); });
}

VZ_API void epc_adapter_uninit(void) noexcept {
    vz::entry_void(__func__, [] {
        close_own();
        clear_default();
    });
}

VZ_API bool epc_adapter_select(vizor_dev_t *dev) noexcept {
    return vz::entry(__func__, false, [&] { return vz::epc::context_select(dev); });
}

VZ_API bool epc_adapter_call(vizor_dev_t *dev, epc_device_fn fn, void *user) noexcept {
    return vz::entry(__func__, false, [&] {
        if (!dev || !fn) return false;
        const vz::epc::ContextPtr ctx = vz::epc::context_of(dev);
        if (!ctx) return false;
        const vz::epc::Scope scope(ctx);
        // A close between the look-up and the lock detached the device.
        if (ctx->device != dev) return false;
        fn(user);
        return true;
    });
}

VZ_API void epc_adapater_set_frame_valid(uint8_t valid) noexcept {
    vz::entry_void(__func__, [&] {
        vizor_dev_t *dev = vz::epcdrv::adapter_device();
        vizor_drv_t *drv = dev ? vizor_dev_get_drv(dev) : nullptr;
        if (auto *p = drv ? static_cast<epc_priv_t *>(drv->priv) : nullptr) p->frame_valid = valid;
    });
}

VZ_API uint8_t epc_adapater_get_frame_valid(void) noexcept {
    return vz::entry(__func__, uint8_t(1), [] {
        vizor_dev_t *dev = vz::epcdrv::adapter_device();
        if (!dev) return uint8_t(1);
        vizor_drv_t *drv = vizor_dev_get_drv(dev);
        auto *p = drv ? static_cast<epc_priv_t *>(drv->priv) : nullptr;
        return p ? p->frame_valid : uint8_t(0);
    });
}

}  // extern "C"
