// The image source: the raw frame the EPC driver pushed for decoding, or one
// frame fetched from the EPC default device, handed to the calculation with
// the readout geometry (columns, DCS samples, rows per half, halves) that the
// facade keeps in step with the chip.
#include <cmath>
#include <cstring>

#include "epc660/base.h"

namespace {

constexpr uint32_t kScratchBytes = 2644992;

struct PruState {
    int full_cols = 320;
    int full_rows_per_half = 120;
    int cols = 320;
    int rows_per_half = 120;
    int halves = 2;
    unsigned col_reduction = 1;
    unsigned row_reduction = 1;
    int ndcs = 4;
    int min_amplitude = 0;
    bool pushed = false;
    bool fetch_failed = false;  // the last frame was a failed fetch
    epc_raw_image_t *image = nullptr;
    // Frames fetched from the device land here; frames too short for the
    // geometry are copied here and zero-padded. 2-byte aligned for samples.
    alignas(8) uint8_t scratch[kScratchBytes] = {};
};
PruState &pru_state() { return vz::epc::state<PruState>(vz::epc::kSlotPru); }
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] PruState &g_pru = pru_state();

void recompute() {
    PruState &g_pru = pru_state();
    g_pru.cols = int(g_pru.full_cols / int(g_pru.col_reduction));
    g_pru.rows_per_half = int(g_pru.full_rows_per_half / int(g_pru.row_reduction));
}

unsigned reduction_of(int n) {
    // 2^n as the power function gives it, truncated; absurd exponents keep 1.
    if (n < 0 || n > 16) return 1;
    return unsigned(std::pow(2.0, n));
}

// Expected byte count of one frame of the current geometry (never negative).
uint64_t expected_bytes() {
    PruState &g_pru = pru_state();
    const int64_t samples = int64_t(g_pru.cols) * g_pru.ndcs * g_pru.rows_per_half * g_pru.halves;
    return samples > 0 ? uint64_t(samples) * 2 : 0;
}

uint16_t *scratch_samples() {
    PruState &g_pru = pru_state();
    return reinterpret_cast<uint16_t *>(g_pru.scratch);
}

// Hands out the pushed frame. A frame shorter than the geometry is copied into
// the scratch image and zero-padded so that no caller reads past its end.
uint16_t *take_pushed(uint64_t expected) {
    PruState &g_pru = pru_state();
    epc_raw_image_t *img = g_pru.image;
    g_pru.pushed = false;
    g_pru.image = nullptr;
    uint16_t *samples = img->frame_data;
    img->frame_data = nullptr;
    const uint64_t got = img->frame_info.frame_size;
    if (got != expected)
        vz::epc::print(true, 0, " wrong frame size: expect %d, get %d\n", int(expected), int(got));
    if (samples != nullptr && got >= expected) return samples;
    const uint64_t keep = samples ? (got < expected ? got : expected) & ~uint64_t(1) : 0;
    if (keep) memmove(g_pru.scratch, samples, keep);
    memset(g_pru.scratch + keep, 0, expected - keep);
    return scratch_samples();
}

// Fetches one frame from the default device into the scratch image.
uint16_t *fetch(uint64_t expected) {
    PruState &g_pru = pru_state();
    vizor_dev_t *dev = vz::epc::default_device();
    if (!vizor_cap_is_ongoing(dev)) vizor_cap_start(dev);
    vizor_frame_info_t info{};
    const int n = vizor_cap_get_frames(dev, 1, g_pru.scratch, kScratchBytes, &info);
    g_pru.fetch_failed = n != 1;
    if (n == 1) {
        vz::epc::print(true, 0, " get one frame #%d: %dx%d, size=%d\n", int(info.frame_idx),
                       int(info.width), int(info.height), int(info.frame_size));
        vizor_cap_stop(dev);
        if (info.frame_size != expected) {
            vz::epc::print(true, 0, " wrong frame size: expect %d, get %d\n", int(expected),
                           int(info.frame_size));
            memset(g_pru.scratch, 0, kScratchBytes);
        }
    } else {
        vz::epc::print(true, 0, " get frame failed");
        vizor_cap_stop(dev);
        memset(g_pru.scratch, 0, kScratchBytes);
    }
    return scratch_samples();
}

}  // namespace

namespace vz::epc {

bool pru_fetch_failed() { return pru_state().fetch_failed; }

void pru_full_size(int &columns, int &rows_per_half) {
    PruState &g_pru = pru_state();
    columns = g_pru.full_cols;
    rows_per_half = g_pru.full_rows_per_half;
}

}  // namespace vz::epc

extern "C" {

VZ_API int pruInit(void) noexcept {
    EPC_ENTRY(-1, {
        const bool epc635 = configGetPartType() == 4 || configGetPartType() == 5;
        g_pru.full_cols = g_pru.cols = epc635 ? 160 : 320;
        g_pru.full_rows_per_half = g_pru.rows_per_half = epc635 ? 60 : 120;
        g_pru.halves = epc635 ? 1 : 2;
        g_pru.ndcs = configIsFLIM() ? 2 : 4;
        g_pru.pushed = false;
        g_pru.image = nullptr;
        return 0;
    });
}

VZ_API int pruSetSize(int columns, int rowsPerHalf) noexcept {
    EPC_ENTRY(-1, {
        g_pru.full_cols = columns;
        g_pru.full_rows_per_half = rowsPerHalf;
        recompute();
        return 0;
    });
}

VZ_API int pruSetColReduction(int n) noexcept {
    EPC_ENTRY(-1, {
        g_pru.col_reduction = reduction_of(n);
        recompute();
        return n;
    });
}

VZ_API int pruSetRowReduction(int n) noexcept {
    EPC_ENTRY(-1, {
        g_pru.row_reduction = reduction_of(n);
        recompute();
        return n;
    });
}

VZ_API int pruSetDCS(int n) noexcept {
    EPC_ENTRY(-1, { return g_pru.ndcs = n; });
}
VZ_API int pruGetNDCS(void) noexcept {
    EPC_ENTRY(-1, { return g_pru.ndcs; });
}
VZ_API int pruGetNCols(void) noexcept {
    EPC_ENTRY(-1, { return g_pru.cols; });
}
VZ_API int pruGetNRowsPerHalf(void) noexcept {
    EPC_ENTRY(-1, { return g_pru.rows_per_half; });
}
VZ_API int pruGetNumberOfHalves(void) noexcept {
    EPC_ENTRY(-1, { return g_pru.halves; });
}
VZ_API unsigned int pruGetColReduction(void) noexcept {
    EPC_ENTRY(1u, { return g_pru.col_reduction; });
}
VZ_API unsigned int pruGetRowReduction(void) noexcept {
    EPC_ENTRY(1u, { return g_pru.row_reduction; });
}
VZ_API int pruSetMinAmplitude(int amplitude) noexcept {
    EPC_ENTRY(-1, { return g_pru.min_amplitude = amplitude; });
}
VZ_API int pruGetMinAmplitude(void) noexcept {
    EPC_ENTRY(-1, { return g_pru.min_amplitude; });
}

VZ_API epc_raw_image_t *pruSetImage(epc_raw_image_t *image) noexcept {
    EPC_ENTRY(static_cast<epc_raw_image_t *>(nullptr), {
        g_pru.image = image;
        g_pru.pushed = image != nullptr;
        return image;
    });
}

VZ_API int pruGetImage(uint16_t **out) noexcept {
    EPC_ENTRY(0, {
        if (out == nullptr) return 0;
        uint64_t expected = expected_bytes();
        if (expected > kScratchBytes) expected = kScratchBytes;  // geometry beyond any frame
        g_pru.fetch_failed = false;
        *out = g_pru.pushed && g_pru.image ? take_pushed(expected) : fetch(expected);
        return int(expected / 2);
    });
}

VZ_API int pruRelease(void) noexcept {
    EPC_ENTRY(-1, { return 0; });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps pru_slot = slot_ops<PruState>();
}  // namespace vz::epc
