// Internal helpers of the EPC processing library shared by its modules: the
// console print helper gated by the print level, the EPC default device the
// shims act on, the entry firewall shorthand and the configuration's
// correction switches that other modules keep up to date.
#pragma once

#include <cstdint>

#include "base/firewall.h"
#include "epc660/context.h"
#include "vizor/epc660.h"
#include "vizor/vizor.h"

// Runs the body of an exported EPC function through the entry firewall:
//   int f(int a) { EPC_ENTRY(-1, { return a; }); }
// Inside the body, epc_fn names the exported function (for log lines). The
// body runs under the current context's lock (vz::epc::Use) and starts with
// EPC_BIND, which a module redefines to bind its state to the name the body
// uses, e.g. `ConfigState &g_cfg = config_state();`.
#define EPC_ENTRY(fail, ...)                         \
    const char *const epc_fn = __func__;             \
    return vz::entry(epc_fn, (fail), [&]() {         \
        [[maybe_unused]] const vz::epc::Use epc_use; \
        EPC_BIND __VA_ARGS__                         \
    })
#define EPC_ENTRY_VOID(...)                          \
    const char *const epc_fn = __func__;             \
    vz::entry_void(epc_fn, [&]() {                   \
        [[maybe_unused]] const vz::epc::Use epc_use; \
        EPC_BIND __VA_ARGS__                         \
    })
#define EPC_BIND

namespace vz::epc {

// Writes a diagnostic to standard output when `enable` is true and `level` is
// at most the library's print level (configSetPrint). Level 0 lines appear
// whenever they are enabled. Internal: applications cannot replace it.
void print(bool enable, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// The device of the current context: the device the register shim, the
// image source and the parameter calls act on (the EPC default device outside
// a driver call). NULL makes every device call fail.
vizor_dev_t *default_device();
// Sets the device of the current context.
void set_default_device(vizor_dev_t *dev);

// Reads or writes one 8-bit chip register through the i2c shim; false when
// the shim fails (the value is then left unchanged).
bool reg_read(int addr, int reg, uint8_t &value);
bool reg_write(int addr, int reg, uint8_t value);
// Several consecutive registers.
bool reg_read_n(int addr, int reg, uint8_t *values, int count);
bool reg_write_n(int addr, int reg, const uint8_t *values, int count);
// Read-modify-write: register = (register AND keep) OR set.
bool reg_update(int addr, int reg, uint8_t keep, uint8_t set);

// Sets one device parameter with a little-endian value of `len` bytes on the
// default device; false when the call fails.
bool param_set(uint32_t id, uint32_t value, uint8_t len);

// True when the image source's last frame came from a fetch on the device
// that brought no frame (the image it handed out is zeros).
bool pru_fetch_failed();

// Full geometry of the image source (before column and row reduction).
void pru_full_size(int &columns, int &rows_per_half);

// Correction switches the configuration reports (configIsEnabled*); the
// correction modules set them when their switches change.
void config_set_drnu_enabled(int on);
void config_set_drnu2_enabled(int on);
void config_set_grayscale_enabled(int on);
void config_set_temperature_enabled(int on);
void config_set_ambient_light_enabled(int on);

}  // namespace vz::epc
