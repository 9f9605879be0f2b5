// Demodulation delay-locked loop of the chip: bypass, demodulation delay,
// preheat, divider setup by the modulation clock divider, and the automatic
// lock that measures the loop's fine and coarse control values and writes
// them back as external control values.
#include <chrono>
#include <cmath>
#include <thread>

#include "epc660/base.h"

namespace {

// Registers of the loop.
constexpr int kRegCtrlExt = 113;  // 113..115: external fine (2 + 8 bits) and coarse control
constexpr int kRegStatus =
    116;  // 116..118: measured fine (bits 0-1 high, bit 7 locked), fine low, coarse
constexpr int kRegDivider = 132;
constexpr int kRegModDivider = 133;
constexpr int kRegDemodDelay = 139;
constexpr int kRegPreheat = 144;
constexpr int kRegSetting = 172;
constexpr int kRegBypass = 174;  // bit 0 bypass, bit 1 starts one lock measurement
constexpr int kAttempts = 100;
constexpr int kLocksWanted = 10;

struct DllState {
    uint16_t fine = 0;
    uint8_t coarse = 0;
    bool initialising = false;  // the running lock belongs to dllInitialize
    bool locked_once = false;
};
DllState &dll_state() { return vz::epc::state<DllState>(vz::epc::kSlotDll); }
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] DllState &g_dll = dll_state();

struct Reading {
    bool locked;
    int fine;
    int coarse;
};

Reading measure(int addr, uint8_t bypass, int wait_ms) {
    vz::epc::reg_write(addr, kRegBypass, uint8_t((bypass & ~1u) | 2u));
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    uint8_t s[3] = {};
    if (!vz::epc::reg_read_n(addr, kRegStatus, s, 3)) return {false, 0, 0};
    return {(s[0] & 0x80) != 0, ((s[0] & 3) << 8) | s[1], s[2]};
}

int lock(int addr) {
    DllState &g_dll = dll_state();
    uint8_t bypass = 0, divider = 0;
    if (!vz::epc::reg_read(addr, kRegBypass, bypass)) return -1;
    vz::epc::reg_read(addr, kRegModDivider, divider);
    const int wait_ms = 1 + (divider & 0x1F) / 8;  // slower modulation clocks lock slower
    Reading r[kLocksWanted];
    int n = 0, attempts = 0;
    while (n < kLocksWanted && attempts < kAttempts) {
        ++attempts;
        const Reading x = measure(addr, bypass, wait_ms);
        if (!x.locked) continue;
        vz::epc::print(true, 0,
                       "dll_fine_ctrl_ext: 0x%04X (%d)\ndll_coarse_ctrl_ext: 0x%02X (%d)\n",
                       unsigned(x.fine), x.fine, unsigned(x.coarse), x.coarse);
        r[n++] = x;
        vz::epc::print(true, 0,
                       "INFO: DLL locked and matched %d times after a total of %d attempt(s).\n", n,
                       attempts);
    }
    vz::epc::reg_write(addr, kRegBypass, bypass);  // restore what the measurement changed
    if (n < kLocksWanted)
        vz::epc::print(true, 0, "WARNING: DLL locking failed (max. no. of loops reached).\n");
    if (n == 0) return -1;
    double coarse_sum = 0;
    for (int i = 0; i < n; ++i) coarse_sum += r[i].coarse;
    const int coarse = int(std::lround(coarse_sum / n));
    double fine_sum = 0;
    int fine_n = 0;
    for (int i = 0; i < n; ++i)
        if (r[i].coarse == coarse) fine_sum += r[i].fine, ++fine_n;
    int fine = fine_n ? int(std::lround(fine_sum / fine_n)) : r[0].fine;
    for (int i = 0; i < n; ++i) {
        if (r[i].coarse < coarse)
            vz::epc::print(true, 0,
                           "INFO: Coarse value below average. Difference to average for fine "
                           "value: %d\n",
                           r[i].fine - fine);
        else if (r[i].coarse > coarse)
            vz::epc::print(true, 0,
                           "INFO: Coarse value above average. Difference to average for fine "
                           "value: %d\n",
                           r[i].fine - fine);
    }
    if (g_dll.locked_once && coarse == g_dll.coarse && !g_dll.initialising)
        fine = int(std::lround((0.75 * g_dll.fine + fine) / 1.75));
    const uint8_t out[3] = {uint8_t((fine >> 8) & 3), uint8_t(fine), uint8_t(coarse)};
    vz::epc::reg_write_n(addr, kRegCtrlExt, out, 3);
    g_dll.fine = uint16_t(fine);
    g_dll.coarse = uint8_t(coarse);
    g_dll.locked_once = true;
    return 0;
}

int initialize(int addr) {
    DllState &g_dll = dll_state();
    uint8_t div = 0;
    if (!vz::epc::reg_read(addr, kRegModDivider, div)) return -1;
    static const struct {
        uint8_t mod, div, setting;
    } kTable[] = {{0, 3, 115},  {1, 7, 119},   {3, 15, 119},
                  {7, 31, 119}, {15, 63, 119}, {31, 127, 119}};
    for (const auto &e : kTable) {
        if (e.mod != div) continue;
        g_dll.initialising = true;
        vz::epc::reg_write(addr, kRegDivider, e.div);
        vz::epc::reg_write(addr, kRegSetting, e.setting);
        dllLockAutomatically(addr);
        g_dll.initialising = false;
        return 0;
    }
    return -1;
}

}  // namespace

extern "C" {

VZ_API int dllBypassDLL(int on, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        if (on) {
            vz::epc::reg_update(deviceAddress, kRegBypass, 0xFF, 0x01);
        } else {
            vz::epc::reg_update(deviceAddress, kRegBypass, 0xFE, 0);
            dllInitialize(deviceAddress);
        }
        return 0;
    });
}
VZ_API int dllDetermineAndSetDemodulationDelay(int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        vz::epc::reg_write(deviceAddress, kRegDemodDelay, 2);
        vz::epc::reg_write(deviceAddress, kRegBypass, 1);
        return 2;
    });
}
VZ_API int dllResetDemodulationDelay(int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        vz::epc::reg_write(deviceAddress, kRegDemodDelay, 0);
        return 0;
    });
}
VZ_API int dllEnablePreheat(int on, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        vz::epc::reg_update(deviceAddress, kRegPreheat, 0xF7, on ? 0x08 : 0);
        return 0;
    });
}
VZ_API int dllInitialize(int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return initialize(deviceAddress); });
}
VZ_API int dllLockAutomatically(int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return lock(deviceAddress); });
}
VZ_API uint16_t dllGetFineCtrlExt(void) noexcept {
    EPC_ENTRY(uint16_t(0), { return g_dll.fine; });
}
VZ_API uint8_t dllGetCoarseCtrlExt(void) noexcept {
    EPC_ENTRY(uint8_t(0), { return g_dll.coarse; });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps dll_slot = slot_ops<DllState>();
}  // namespace vz::epc
