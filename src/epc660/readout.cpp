// Readout control of the chip: binning, row reduction, dual MGX and HDR in
// the readout register 148 and the sequencer slots, and the region of
// interest in registers 150..155, each a read-modify-write through i2c.
#include "epc660/base.h"

namespace {

constexpr int kRegReadout = 148;
constexpr int kRegRoi = 150;
constexpr int kRegSequencer = 146;

struct ReadOutState {
    int x1 = 0, x2 = 0, y1 = 0, y2 = 0;  // region of interest as last written
};
ReadOutState &readout_state() { return vz::epc::state<ReadOutState>(vz::epc::kSlotReadout); }
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] ReadOutState &g_readout = readout_state();

using vz::epc::reg_update;

// Replaces the low nibble of a sequencer slot.
void slot(int addr, int reg, uint8_t program) { reg_update(addr, reg, 0xF0, program); }

int bit(int addr, int mask) {
    uint8_t v = 0;
    vz::epc::reg_read(addr, kRegReadout, v);
    return (v & mask) ? 1 : 0;
}

}  // namespace

extern "C" {

VZ_API int readOutEnableHorizontalBinning(int on, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        reg_update(deviceAddress, kRegReadout, on ? 0xFF : 0xEE, on ? 0x11 : 0);
        return 0;
    });
}
VZ_API int readOutIsHorizontalBinning(int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return bit(deviceAddress, 0x10); });
}
VZ_API int readOutEnableVerticalBinning(int on, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        reg_update(deviceAddress, kRegReadout, on ? 0xFF : 0xDF, on ? 0x20 : 0);
        return 0;
    });
}
VZ_API int readOutIsVerticalBinning(int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return bit(deviceAddress, 0x20); });
}
VZ_API int readOutSetRowReduction(int n, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        // (value OR n x 4) AND (n x 4 OR 0xF3): bits 2-3 hold n.
        const uint8_t b = uint8_t((n & 3) << 2);
        reg_update(deviceAddress, kRegReadout, uint8_t(b | 0xF3), b);
        return 0;
    });
}
VZ_API int readOutEnableDualMGX(int on, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        reg_update(deviceAddress, kRegReadout, on ? 0xFF : 0x7F, on ? 0x80 : 0);
        slot(deviceAddress, 34, on ? 4 : 0);
        slot(deviceAddress, 37, on ? 0xE : 5);
        return 0;
    });
}
VZ_API int readOutEnableHDR(int on, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        reg_update(deviceAddress, kRegReadout, on ? 0xFF : 0x7F, on ? 0x80 : 0);
        static const uint8_t kOn[4] = {0, 5, 10, 15}, kOff[4] = {4, 1, 0xE, 0xB};
        static const int kSlots[4] = {34, 37, 40, 43};
        for (int i = 0; i < 4; ++i) slot(deviceAddress, kSlots[i], on ? kOn[i] : kOff[i]);
        reg_update(deviceAddress, kRegSequencer, on ? 0xFF : 0xF7, on ? 0x08 : 0);
        return 0;
    });
}
VZ_API int readOutSetROI(int x1, int x2, int y1, int y2, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        g_readout = {x1, x2, y1, y2};
        const uint8_t b[6] = {uint8_t(x1 >> 8), uint8_t(x1), uint8_t(x2 >> 8),
                              uint8_t(x2),      uint8_t(y1), uint8_t(y2)};
        vz::epc::reg_write_n(deviceAddress, kRegRoi, b, 6);
        return 0;
    });
}
VZ_API int readOutGetTopLeftX(void) noexcept {
    EPC_ENTRY(-1, { return g_readout.x1; });
}
VZ_API int readOutGetBottomRightX(void) noexcept {
    EPC_ENTRY(-1, { return g_readout.x2; });
}
VZ_API int readOutGetTopLeftY(void) noexcept {
    EPC_ENTRY(-1, { return g_readout.y1; });
}
VZ_API int readOutGetBottomRightY(void) noexcept {
    EPC_ENTRY(-1, { return g_readout.y2; });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps readout_slot = slot_ops<ReadOutState>();
}  // namespace vz::epc
