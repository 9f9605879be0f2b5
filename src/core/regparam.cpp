// Register and parameter batches: device checks, the busy mark, and the
// translation between public parameter items and wire records.
#include <string.h>

#include <new>
#include <vector>

#include "core/capture.h"
#include "core/device.h"
#include "core/vzlog.h"

namespace {

bool reg_call(const char *fn, vizor_dev_t *dev, uint8_t target, uint32_t reg_base, const void *vals,
              uint16_t reg_num) {
    vz_trc("[%s] target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n", fn, target, int(reg_base), reg_num,
           vals);
    if (!vz::dev_ok(dev)) {
        vz_err("[%s]  Device handler Is NULL!\r\n", fn);
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

VZ_API bool vizor_reg_batch_write(vizor_dev_t *dev, uint8_t target, uint32_t reg_base,
                                  const uint32_t *reg_vals, uint16_t reg_num) {
    if (!reg_call(__func__, dev, target, reg_base, reg_vals, reg_num)) return false;
    vz::BusyGuard busy(dev);
    return vizor_ll_reg_write(dev->ll, target, reg_base, reg_vals, reg_num);
}

VZ_API bool vizor_reg_batch_read(vizor_dev_t *dev, uint8_t target, uint32_t reg_base,
                                 uint32_t *reg_vals, uint16_t reg_num) {
    if (!reg_call(__func__, dev, target, reg_base, reg_vals, reg_num)) return false;
    vz::BusyGuard busy(dev);
    return vizor_ll_reg_read(dev->ll, target, reg_base, reg_vals, reg_num);
}

VZ_API bool vizor_param_batch_set(vizor_dev_t *dev, const vizor_param_item_t *params,
                                  int param_num) {
    vz::BusyGuard busy(dev);
    const size_t n = param_num > 0 ? size_t(param_num) : 0;
    std::vector<vizor_ll_param_wire_t> wire;
    try {
        wire.resize(n);
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        wire[i].param_id = uint8_t(params[i].param_id);
        wire[i].param_val_len = params[i].param_val_len;
        memcpy(wire[i].param_val, params[i].param_val, sizeof wire[i].param_val);
    }
    vz_dbg("[%s] set %d param\n", "_vizor_param_batch_set", param_num);
    if (!vz::dev_ok(dev)) {
        vz_err("[%s]  Device handler Is NULL!\r\n", "_vizor_param_batch_set");
        return false;
    }
    return vizor_ll_param_set(dev->ll, wire.data(), param_num);
}

VZ_API bool vizor_param_batch_get(vizor_dev_t *dev, vizor_param_item_t *params, int param_num) {
    vz::BusyGuard busy(dev);
    if (!vz::dev_ok(dev)) {
        vz_err("[%s]  Device handler Is NULL!\r\n", "_vizor_param_batch_get");
        return false;
    }
    try {
        return vz::param_get(*dev, params, param_num);
    } catch (const std::bad_alloc &) {
        return false;
    }
}

}  // extern "C"
