// The register shim: the chip's I2C register access of the original board
// becomes register batch calls on the EPC default device (target 1, the
// sensor's 8-bit registers), with the small helpers the modules use for
// single registers, read-modify-write and device parameters.
#include <cstdio>
#include <cstring>

#include "epc660/base.h"

namespace {

constexpr uint8_t kSensorTarget = 1;  // register space and reset target of the sensor
constexpr int kScratch = 261;         // 32-bit values the shim converts at once

struct I2cState {
    uint32_t values[kScratch] = {};
};
I2cState &i2c_state() { return vz::epc::state<I2cState>(vz::epc::kSlotI2c); }

int i2c_read(int reg, int count, uint8_t *data) {
    I2cState &g_i2c = i2c_state();
    if (!vizor_reg_batch_read(vz::epc::default_device(), kSensorTarget, uint32_t(reg), g_i2c.values,
                              uint16_t(count))) {
        vz::epc::print(true, 0, "reg read faild!");
        return -1;
    }
    for (int i = 0; i < count; ++i) data[i] = uint8_t(g_i2c.values[i]);
    return 0;
}

int i2c_write(int reg, int count, const uint8_t *data) {
    I2cState &g_i2c = i2c_state();
    for (int i = 0; i < count; ++i) g_i2c.values[i] = data[i];
    if (!vizor_reg_batch_write(vz::epc::default_device(), kSensorTarget, uint32_t(reg),
                               g_i2c.values, uint16_t(count))) {
        vz::epc::print(true, 0, "reg write fail!");
        return -1;
    }
    return 0;
}

int i2c_body(int addr, char op, int reg, int count, unsigned char **data) {
    if (addr < 0 || addr > 127) {
        vz::epc::print(true, 0, "Device address is out of range.");
        return -1;
    }
    if (reg < 0 || reg > 255) {
        vz::epc::print(true, 0, "Register address is out of range.");
        return -1;
    }
    if (count > 257) vz::epc::print(true, 0, "rw much data: %d", count);
    const bool moves_data = op == 'd' || op == 'r' || op == 'w';
    // Counts beyond the value scratch are refused instead of overflowing it.
    if (moves_data && (count < 0 || count > kScratch)) return -1;
    if (moves_data && (data == nullptr || (*data == nullptr && count > 0))) return -1;
    switch (op) {
    case 'd':
        if (count < 2) return -1;
        (*data)[0] = 0x20;  // one chip present at address 0x20
        (*data)[1] = 0xFF;
        return 0;
    case 'l':
        vz::epc::print(true, 0, "uncompleted function : %s!\n", "<i2c device reload>");
        return 0;
    case 'r': return i2c_read(reg, count, *data);
    case 's':
        if (!vizor_dev_reset(vz::epc::default_device(), kSensorTarget)) {
            vz::epc::print(true, 0, "reset tfc device failed!");
            return -1;
        }
        return 0;
    case 'w': return i2c_write(reg, count, *data);
    default:
        vz::epc::print(true, 0,
                       "Invalid operation: Only 'd' (devices), 'r' (read), 'w' (write) and 's' "
                       "(software reset) are allowed.");
        return -1;
    }
}

}  // namespace

namespace vz::epc {

vizor_dev_t *default_device() { return current().device; }
void set_default_device(vizor_dev_t *dev) { current().device = dev; }

bool reg_read_n(int addr, int reg, uint8_t *values, int count) {
    return i2c(addr, 'r', reg, count, &values) == 0;
}

bool reg_write_n(int addr, int reg, const uint8_t *values, int count) {
    auto *p = const_cast<uint8_t *>(values);  // the shim only reads a write buffer
    return i2c(addr, 'w', reg, count, &p) == 0;
}

bool reg_read(int addr, int reg, uint8_t &value) { return reg_read_n(addr, reg, &value, 1); }
bool reg_write(int addr, int reg, uint8_t value) { return reg_write_n(addr, reg, &value, 1); }

bool reg_update(int addr, int reg, uint8_t keep, uint8_t set) {
    uint8_t v = 0;
    if (!reg_read(addr, reg, v)) return false;
    return reg_write(addr, reg, uint8_t((v & keep) | set));
}

bool param_set(uint32_t id, uint32_t value, uint8_t len) {
    vizor_param_item_t item{};
    item.param_id = id;
    item.param_val_len = len;
    for (uint8_t i = 0; i < len && i < 4; ++i) item.param_val[i] = uint8_t(value >> (8 * i));
    return vizor_param_batch_set(vz::epc::default_device(), &item, 1);
}

}  // namespace vz::epc

extern "C" {

VZ_API int i2c(int deviceAddress, char operation, int reg, int count,
               unsigned char **data) noexcept {
    EPC_ENTRY(-1, { return i2c_body(deviceAddress, operation, reg, count, data); });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps i2c_slot = slot_ops<I2cState>();
}  // namespace vz::epc
