// Driver filters switched on and off by the application.
#include "core/device.h"
#include "core/vzlog.h"
#include "drivers/registry.h"

namespace {

// The driver of dev, looked up from its product string when none is stored.
vizor_drv_t *driver_of(vizor_dev_t *dev, const char *fn) {
    vizor_ll_t *ll = dev->ll;
    if (ll && ll->drv) return ll->drv.get();
    const vizor_drv_t *proto = vizor_drv_find(dev);
    if (!proto || !ll) {
        vz_err("[%s] cannot find driver for device: product=%s\n", fn, dev->product);
        return nullptr;
    }
    ll->drv = vz::drv::instantiate(*proto);
    return ll->drv.get();
}

}  // namespace

extern "C" {

VZ_API int vizor_filter_enable(vizor_dev_t *dev, int filter_id, void *arg, int arg_size) {
    if (!dev) return -1;
    vz::BusyGuard busy(dev);
    vizor_drv_t *drv = driver_of(dev, __func__);
    if (!drv || !drv->ops->filter_enable) return -1;
    return drv->ops->filter_enable(drv, filter_id, arg, arg_size) ? 1 : 0;
}

VZ_API int vizor_filter_disable(vizor_dev_t *dev, int filter_id) {
    if (!dev) return -1;
    vz::BusyGuard busy(dev);
    vizor_drv_t *drv = driver_of(dev, __func__);
    if (!drv || !drv->ops->filter_disable) return -1;
    return drv->ops->filter_disable(drv, filter_id) ? 1 : 0;
}

}  // extern "C"
