// Driver filters switched on and off by the application.
#include "base/log.h"
#include "core/device.h"
#include "drivers/registry.h"
#include "imgproc/flying.h"

#include <cstdint>
#include <cstring>

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

// The flying-pixel threshold an enable call asks for: the float at arg, or
// the default for a null arg; 0 for an argument that is too short or no
// usable threshold.
float flying_threshold_arg(const void *arg, int arg_size) {
    if (!arg) return vz::flying::kDefaultThreshold;
    if (arg_size < int(sizeof(float))) return 0.0f;
    float t = 0.0f;
    std::memcpy(&t, arg, sizeof t);
    return vz::flying::usable_threshold(t) ? t : 0.0f;
}

// Pixels of d[0..n) that hold a distance. The filter only turns such pixels
// into 0, so two counts tell how many it dropped.
size_t distances_in(const float *d, size_t n) {
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) k += (d[i] > 0.0f) & (d[i] < 60.0f);
    return k;
}

// The flying-pixel filter works on decoded distances in the device's state,
// whatever its driver: set(ll) runs with the record marked busy.
template <class Set>
int with_own_state(const char *fn, vizor_dev_t *dev, Set &&set) noexcept {
    return vz::entry(fn, -1, [&] {
        if (!dev) return -1;
        vz::DevMark busy(dev);
        if (!dev->ll || !vz::has_own_state(dev)) {
            vz::log_bad_handle(fn);
            return -1;
        }
        return set(*dev->ll);
    });
}

}  // namespace

// The common body: the busy mark (filters also work on a record whose
// device state has no driver yet), the driver, then one operation.
template <class Op>
int with_filter_driver(const char *fn, vizor_dev_t *dev, Op &&op) noexcept {
    return vz::entry(fn, -1, [&] {
        if (!dev) return -1;
        vz::DevMark busy(dev);
        if (dev->ll && !vz::has_own_state(dev)) {
            vz::log_bad_handle(fn);
            return -1;
        }
        vizor_drv_t *drv = driver_of(dev, fn);
        return drv ? op(*drv) : -1;
    });
}

extern "C" {

VZ_API int vizor_filter_enable(vizor_dev_t *dev, int filter_id, void *arg, int arg_size) noexcept {
    const char *const fn = __func__;
    if (filter_id == VIZOR_FILTER_FLYING_PIXELS)
        return with_own_state(fn, dev, [&](vizor_ll_t &ll) {
            const float t = flying_threshold_arg(arg, arg_size);
            if (t <= 0.0f) return 0;
            ll.flying_threshold.store(t, std::memory_order_relaxed);
            return 1;
        });
    return with_filter_driver(fn, dev, [&](vizor_drv_t &drv) {
        if (!drv.ops->filter_enable) return -1;
        return drv.ops->filter_enable(&drv, filter_id, arg, arg_size) ? 1 : 0;
    });
}

VZ_API int vizor_filter_disable(vizor_dev_t *dev, int filter_id) noexcept {
    const char *const fn = __func__;
    if (filter_id == VIZOR_FILTER_FLYING_PIXELS)
        return with_own_state(fn, dev, [&](vizor_ll_t &ll) {
            ll.flying_threshold.store(0.0f, std::memory_order_relaxed);
            return 1;
        });
    return with_filter_driver(fn, dev, [&](vizor_drv_t &drv) {
        if (!drv.ops->filter_disable) return -1;
        return drv.ops->filter_disable(&drv, filter_id) ? 1 : 0;
    });
}

VZ_API int vizor_frame_remove_flying_pixels(float *dist, int dist_len, int width, int height,
                                            float threshold) noexcept {
    return vz::entry(__func__, -1, [&] {
        if (!dist || width < 3 || height < 3 || width > vz::flying::kMaxWidth ||
            int64_t(dist_len) < int64_t(width) * int64_t(height))
            return -1;
        const size_t n = size_t(width) * size_t(height);
        const size_t before = distances_in(dist, n);
        if (!vz::flying::apply(dist, width, height, threshold)) return -1;
        return int(before - distances_in(dist, n));
    });
}

}  // extern "C"
