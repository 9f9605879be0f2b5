// Register and parameter batches: the device firewall, argument checks, and
// the translation between public parameter items and wire records.
#include <string.h>

#include <vector>

#include "base/log.h"
#include "core/capture.h"
#include "core/device.h"

namespace {

void trace_reg(const char *fn, uint8_t target, uint32_t reg_base, const void *vals,
               uint16_t reg_num) {
    vz_trc("[%s] target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n", fn, target, int(reg_base), reg_num,
           vals);
}

// A batch of count items at items: false (with a log line) for a negative
// count or a missing array.
bool batch_ok(const char *fn, const void *items, int count) {
    if (count >= 0 && (items || count == 0)) return true;
    vz_err("[%s] wrong parameter list: params=%p, param_num=%d\n", fn, items, count);
    return false;
}

}  // namespace

extern "C" {

VZ_API bool vizor_reg_batch_write(vizor_dev_t *dev, uint8_t target, uint32_t reg_base,
                                  const uint32_t *reg_vals, uint16_t reg_num) noexcept {
    const char *const fn = __func__;
    trace_reg(fn, target, reg_base, reg_vals, reg_num);
    return vz::dev_call(fn, dev, false, [&](vizor_dev_t &d) {
        return vizor_ll_reg_write(d.ll, target, reg_base, reg_vals, reg_num);
    });
}

VZ_API bool vizor_reg_batch_read(vizor_dev_t *dev, uint8_t target, uint32_t reg_base,
                                 uint32_t *reg_vals, uint16_t reg_num) noexcept {
    const char *const fn = __func__;
    trace_reg(fn, target, reg_base, reg_vals, reg_num);
    return vz::dev_call(fn, dev, false, [&](vizor_dev_t &d) {
        return vizor_ll_reg_read(d.ll, target, reg_base, reg_vals, reg_num);
    });
}

VZ_API bool vizor_param_batch_set(vizor_dev_t *dev, const vizor_param_item_t *params,
                                  int param_num) noexcept {
    static const char *const fn = "_vizor_param_batch_set";
    vz_dbg("[%s] set %d param\n", fn, param_num);
    if (!batch_ok(fn, params, param_num)) return false;
    return vz::dev_call(fn, dev, false, [&](vizor_dev_t &d) {
        std::vector<vizor_ll_param_wire_t> wire(static_cast<size_t>(param_num));
        for (size_t i = 0; i < wire.size(); ++i) {
            wire[i].param_id = uint8_t(params[i].param_id);
            wire[i].param_val_len = params[i].param_val_len;
            memcpy(wire[i].param_val, params[i].param_val, sizeof wire[i].param_val);
        }
        return vizor_ll_param_set(d.ll, wire.data(), param_num);
    });
}

VZ_API bool vizor_param_batch_get(vizor_dev_t *dev, vizor_param_item_t *params,
                                  int param_num) noexcept {
    static const char *const fn = "_vizor_param_batch_get";
    if (!batch_ok(fn, params, param_num)) return false;
    return vz::dev_call(fn, dev, false,
                        [&](vizor_dev_t &d) { return vz::param_get(d, params, param_num); });
}

}  // extern "C"
