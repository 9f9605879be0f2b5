// FLIM timing of the chip: the seven timing steps (flash width, flash delay,
// T1..T4, repetition period), each a 16-bit register value minus one, the
// skip mask that leaves a step out, and the repetition count.
#include "epc660/base.h"

namespace {

constexpr int kRegSkip = 47;  // bit n set: timing step n skipped
constexpr int kRegRepetitions = 186;

struct FlimState {
    uint16_t repetitions = 0;
    uint16_t flash_width = 0;
};
FlimState &flim_state() { return vz::epc::state<FlimState>(vz::epc::kSlotFlim); }
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] FlimState &g_flim = flim_state();

// Register of timing step 1..7 (1 flash width, 2 flash delay, 3..6 T1..T4, 7 TREP).
int step_register(int step) {
    static const int kReg[8] = {0, 190, 188, 176, 178, 180, 182, 184};
    return step >= 1 && step <= 7 ? kReg[step] : -1;
}

// Chips of part types 1 and 3 up to IC version 2 have no skip mask.
bool has_skip_mask() {
    const int type = configGetPartType();
    return !((type == 1 || type == 3) && configGetIcVersion() <= 2);
}

void write16(int addr, int reg, uint16_t v) {
    const uint8_t b[2] = {uint8_t(v >> 8), uint8_t(v)};
    vz::epc::reg_write_n(addr, reg, b, 2);
}

int set_step(int step, uint16_t value) {
    const int reg = step_register(step);
    if (reg < 0) return -1;
    const int addr = configGetDeviceAddress();
    const bool mask = has_skip_mask();
    if (value == 0) {
        if (!mask) return -1;
        vz::epc::reg_update(addr, kRegSkip, 0xFF, uint8_t(1u << step));
        return 0;
    }
    if (mask) vz::epc::reg_update(addr, kRegSkip, uint8_t(~(1u << step)), 0);
    write16(addr, reg, uint16_t(value - 1));
    return 0;
}

int skip(int step, bool on) {
    if (step < 0 || step > 7) return -1;
    const uint8_t bit = uint8_t(1u << step);
    vz::epc::reg_update(configGetDeviceAddress(), kRegSkip, on ? 0xFF : uint8_t(~bit),
                        on ? bit : 0);
    return 0;
}

}  // namespace

extern "C" {

VZ_API int flimSetFlashWidth(uint16_t value) noexcept {
    EPC_ENTRY(-1, {
        g_flim.flash_width = value;
        return set_step(1, value);
    });
}
VZ_API int flimSetFlashDelay(uint16_t value) noexcept {
    EPC_ENTRY(-1, { return set_step(2, value); });
}
VZ_API int flimSetT1(uint16_t value) noexcept {
    EPC_ENTRY(-1, { return set_step(3, value); });
}
VZ_API int flimSetT2(uint16_t value) noexcept {
    EPC_ENTRY(-1, { return set_step(4, value); });
}
VZ_API int flimSetT3(uint16_t value) noexcept {
    EPC_ENTRY(-1, { return set_step(5, value); });
}
VZ_API int flimSetT4(uint16_t value) noexcept {
    EPC_ENTRY(-1, { return set_step(6, value); });
}
VZ_API int flimSetTREP(uint16_t value) noexcept {
    EPC_ENTRY(-1, { return set_step(7, value); });
}
VZ_API int flimSetDelay(int index, uint16_t value) noexcept {
    EPC_ENTRY(-1, { return set_step(index, value); });
}
VZ_API int flimSetSkip(int step) noexcept {
    EPC_ENTRY(-1, { return skip(step, true); });
}
VZ_API int flimResetSkip(int step) noexcept {
    EPC_ENTRY(-1, { return skip(step, false); });
}
VZ_API int flimSetRepetitions(uint16_t count) noexcept {
    EPC_ENTRY(-1, {
        g_flim.repetitions = count;
        const uint16_t v = count ? uint16_t(count - 1) : 0;
        write16(configGetDeviceAddress(), kRegRepetitions, v);
        return int(v);
    });
}
VZ_API uint16_t flimGetRepetitions(void) noexcept {
    EPC_ENTRY(uint16_t(0), { return g_flim.repetitions; });
}
VZ_API uint16_t flimGetFlashWidth(void) noexcept {
    EPC_ENTRY(uint16_t(0), { return g_flim.flash_width; });
}
VZ_API uint16_t flimGetStep(void) noexcept {
    EPC_ENTRY(uint16_t(0), { return uint16_t(int(configGetTModClk() * 1000)); });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps flim_slot = slot_ops<FlimState>();
}  // namespace vz::epc
