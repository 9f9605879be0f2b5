// Board functions of the original hardware: GPIO, ADC and LED stubs with
// constant answers, chip identification from the chip registers and its fuse
// memory, and the legacy power-up sequence, which now only waits and talks to
// the chip through the register shim.
#include <chrono>
#include <thread>

#include "epc660/base.h"

namespace {

// GPIO lines of the original board (the stubs ignore them).
enum Gpio { kChipEnable = 0, kRail5V10V, kRail3V3, kRailMinus5V, kBootDisable, kShutter };

constexpr int kRegFuseAddress = 17;  // write: fuse address to read next
constexpr int kRegFuseData = 18;     // read: one fuse byte, then the next address

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Reads `n` consecutive fuse bytes starting at `fuse`; false on a failed call.
bool read_fuses(int addr, int fuse, uint8_t *out, int n) {
    if (!vz::epc::reg_write(addr, kRegFuseAddress, uint8_t(fuse))) return false;
    for (int i = 0; i < n; ++i)
        if (!vz::epc::reg_read(addr, kRegFuseData, out[i])) return false;
    return true;
}

int fuse8(int addr, int fuse) {
    uint8_t v = 0;
    return read_fuses(addr, fuse, &v, 1) ? v : -1;
}

int fuse16(int addr, int fuse) {
    uint8_t v[2] = {};
    return read_fuses(addr, fuse, v, 2) ? (v[0] << 8) | v[1] : -1;
}

// Prints one identity item as "NAME: value" and returns the value.
int printed(const char *name, int value) {
    vz::epc::print(true, 0, "%s: %i\n", name, value);
    return value;
}

void release_lines() {
    for (int g : {kChipEnable, kRail5V10V, kRail3V3, kRailMinus5V, kBootDisable, kShutter}) {
        gpio_close_val(g);
        gpio_unexport(g);
    }
}

void rails(int on) {
    for (int g : {kRail3V3, kRail5V10V, kRailMinus5V, kChipEnable}) gpio_set_val(g, on);
}

int boot_body() {
    int addr = -1;
    for (int attempt = 0; attempt < 10; ++attempt) {
        bootInit();
        rails(1);
        sleep_ms(500);
        uint8_t found[2] = {};
        uint8_t *p = found;
        if (i2c(0, 'd', 0, 2, &p) == 0 && found[0] >= 32 && found[0] <= 35) {
            addr = found[0];
            break;
        }
        rails(0);
        sleep_ms(1000);
        release_lines();
    }
    if (addr < 0) return -1;
    configSetPartType(bootGetPartType(addr));
    configSetPartVersion(bootGetPartVersion(addr));
    configSetIcVersion(bootGetIcVersion(addr));
    configSetWaferID(uint16_t(bootGetWaferID(addr)));
    configSetChipID(uint16_t(bootGetChipID(addr)));
    configSetDeviceAddress(addr);
    bootNormalMode(addr);
    release_lines();
    return addr;
}

int normal_mode(int addr) {
    uint8_t v = 0;
    if (!vz::epc::reg_read(addr, 126, v) || !(v & 0x80)) return 0;
    vz::epc::print(true, 0, "Changing mode...\n");
    vz::epc::print(true, 0, "Enabling PLL...\n");
    vz::epc::reg_write(addr, 125, 0x9F);
    sleep_ms(1);
    vz::epc::reg_write(addr, 128, 0);
    vz::epc::print(true, 0, "Disabling PLL bypass...\n");
    vz::epc::reg_write(addr, 125, 0x94);
    vz::epc::print(true, 0, "Disabling sys_clk bypass...\n");
    vz::epc::reg_write(addr, 125, 0x84);
    vz::epc::print(true, 0, "Switching to normal mode...\n");
    vz::epc::reg_write(addr, 125, 0x04);
    vz::epc::reg_write(addr, 128, 0x3F);
    return 0;
}

}  // namespace

extern "C" {

// ---- GPIO, LED and ADC stubs: constant answers, no hardware ----
VZ_API int gpio_export(int) noexcept {
    EPC_ENTRY(-1, { return 0; });
}
VZ_API int gpio_unexport(int) noexcept {
    EPC_ENTRY(-1, { return 0; });
}
VZ_API int gpio_open_dir(int) noexcept {
    EPC_ENTRY(-1, { return 0; });
}
VZ_API int gpio_set_dir(int, int) noexcept {
    EPC_ENTRY(-1, { return 0; });
}
VZ_API int gpio_get_dir(int) noexcept {
    EPC_ENTRY(-1, { return 1; });
}
VZ_API int gpio_close_dir(int) noexcept {
    EPC_ENTRY(-1, { return 0; });
}
VZ_API int gpio_open_val(int) noexcept {
    EPC_ENTRY(-1, { return 0; });
}
VZ_API int gpio_set_val(int, int) noexcept {
    EPC_ENTRY(-1, { return 0; });
}
VZ_API int gpio_get_val(int) noexcept {
    EPC_ENTRY(-1, { return 0; });
}
VZ_API int gpio_close_val(int) noexcept {
    EPC_ENTRY(-1, { return 0; });
}
VZ_API int bbbLEDEnable(int) noexcept {
    EPC_ENTRY(-1, { return 0; });
}

VZ_API int adcOpen(int channel) noexcept {
    EPC_ENTRY(-1, { return channel >= 0 && channel <= 7 ? channel : -1; });
}
VZ_API int adcGetValue(int) noexcept {
    EPC_ENTRY(-1, { return 1024; });
}
VZ_API int adcGetValueMillivolts(int) noexcept {
    EPC_ENTRY(-1, { return 450; });
}
VZ_API int adcGetValueMicroAmpere(int, int ohms) noexcept {
    EPC_ENTRY(-1, { return ohms == 0 ? -1 : 450000 / ohms; });
}

// ---- chip identification ----
VZ_API int chipInfoGetInfo(int deviceAddress, uint16_t *info) noexcept {
    EPC_ENTRY(-1, {
        if (info == nullptr) return -1;
        uint8_t regs[2] = {};
        uint8_t fuses[7] = {};  // 245 .. 251
        vz::epc::reg_read_n(deviceAddress, 0, regs, 2);
        read_fuses(deviceAddress, 245, fuses, 7);
        info[0] = regs[0];
        info[1] = regs[1];
        info[2] = fuses[0];
        info[3] = uint16_t((fuses[1] << 8) | fuses[2]);
        info[4] = uint16_t((fuses[3] << 8) | fuses[4]);
        info[5] = fuses[5];
        info[6] = fuses[6];
        info[7] = configGetSequencerVersion();
        return 8;
    });
}

VZ_API int bootGetIcVersion(int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        uint8_t v = 0;
        if (!vz::epc::reg_read(deviceAddress, 1, v)) return -1;
        return printed("IC_VERSION", v);
    });
}
VZ_API int bootGetPartType(int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return printed("PART_TYPE", fuse8(deviceAddress, 250)); });
}
VZ_API int bootGetPartVersion(int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return printed("PART_VERSION", fuse8(deviceAddress, 251)); });
}
VZ_API int bootGetWaferID(int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return printed("WAFER_ID", fuse16(deviceAddress, 246)); });
}
VZ_API int bootGetChipID(int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return printed("CHIP_ID", fuse16(deviceAddress, 248)); });
}

// ---- legacy power-up ----
VZ_API int boot(void) noexcept {
    EPC_ENTRY(-1, { return boot_body(); });
}

VZ_API int bootInit(void) noexcept {
    EPC_ENTRY(-1, {
        for (int g : {kChipEnable, kRail5V10V, kRail3V3, kRailMinus5V, kBootDisable, kShutter}) {
            gpio_export(g);
            gpio_open_dir(g);
            gpio_set_dir(g, 1);
            gpio_close_dir(g);
            gpio_open_val(g);
        }
        gpio_set_val(kBootDisable, 1);
        gpio_set_val(kShutter, 0);
        return 0;
    });
}

VZ_API int bootNormalMode(int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return normal_mode(deviceAddress); });
}

VZ_API int bootReset(void) noexcept {
    EPC_ENTRY(-1, {
        gpio_set_val(kChipEnable, 0);
        sleep_ms(1);
        gpio_set_val(kChipEnable, 1);
        sleep_ms(500);
        return 0;
    });
}

VZ_API int bootUndo(void) noexcept {
    EPC_ENTRY(-1, {
        for (int g : {kBootDisable, kChipEnable, kRailMinus5V, kRail5V10V, kRail3V3})
            gpio_set_val(g, 0);
        sleep_ms(1000);
        return 0;
    });
}

VZ_API int bootCloseEpc660_enable(void) noexcept {
    EPC_ENTRY(-1, {
        gpio_close_val(kChipEnable);
        return 0;
    });
}

}  // extern "C"
