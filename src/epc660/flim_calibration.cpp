// FLIM flattening: per-gate (0 = mga, 1 = mgb) offset and gain built from a
// bright mean (illumination as set) and a dark mean (no flashes) over 100
// frames of that gate's plane, kept in "./epc502_mg?_gain_offset_W%03i_C%03i.txt"
// (epc503 for the epc635) and applied to both planes of sorted FLIM images.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/firewall.h"
#include "base/log.h"
#include "epc660/base.h"
#include "epc660/calib_guard.h"
#include "epc660/gain_offset.h"
#include "epc660/image_geometry.h"

namespace vz::epc {

namespace {

constexpr int kCalibrationFrames = 100;
constexpr const char *kTempImage = "./flim_temp_image.txt";
constexpr const char *kGateName[2] = {"mga", "mgb"};

struct FlimCalibrationState {
    std::array<std::array<double, kStatePixels>, 2> gain;
    std::array<std::array<double, kStatePixels>, 2> offset;
    std::array<int, kStatePixels> bright{};
    std::array<int, kStatePixels> dark{};
    int correctOffset = 0;
    int correctGain = 0;
    int available = 0;
    FlimCalibrationState() {
        for (int g = 0; g < 2; ++g) calib::resetTables(gain[g].data(), offset[g].data());
    }
};

FlimCalibrationState &flim_state() {
    return vz::epc::state<FlimCalibrationState>(vz::epc::kSlotFlimCalibration);
}
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] FlimCalibrationState &g_flim = flim_state();

bool validGate(const char *fn, int gate) {
    if (gate == 0 || gate == 1) return true;
    vz_err("[%s] gate %d refused\n", fn, gate);
    return false;
}

std::string tableFile(int gate) {
    const int type = configGetPartType();
    char name[64];
    std::snprintf(name, sizeof name, "./%s_%s_gain_offset_W%03i_C%03i.txt",
                  type == 4 || type == 5 ? "epc503" : "epc502", kGateName[gate], configGetWaferID(),
                  configGetChipID());
    return name;
}

// Values are signed 16-bit samples; results stay within that range.
void correct(uint16_t *image, int samples) {
    FlimCalibrationState &g_flim = flim_state();
    const CalibrationFrame f = calibrationFrame();
    const int w = f.image.width;
    if (w <= 0 || samples <= 0) return;
    const int plane = samples / 2;
    const int rows = std::min(f.image.height, plane / w);
    for (int gate = 0; gate < 2; ++gate) {
        uint16_t *p = image + static_cast<long>(gate) * plane;
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < w; ++c) {
                const int k = f.index(r, c);
                if (k < 0) continue;
                int v = static_cast<int16_t>(p[r * w + c]);
                if (g_flim.correctOffset) {
                    if ((r == 31 || r == 32) && (c == 81 || c == 82))
                        print(true, 2, "flimValue= %d\n", v);
                    v = calib::toRange(v - g_flim.offset[gate][k], false, INT16_MIN, INT16_MAX);
                }
                if (g_flim.correctGain)
                    v = calib::toRange(v * g_flim.gain[gate][k], true, INT16_MIN, INT16_MAX);
                p[r * w + c] = static_cast<uint16_t>(v);
            }
    }
}

int mean(int count, int *values, int gate) {
    const ImageSize s = grayImageSize();
    print(true, 2, "calculationFlimMean: width= %d  height= %d\n", s.width, s.height);
    return calib::meanOfFrames("calculationFlimMean", count, values, s, gate, false);
}

void gainOffset(int gate) {
    FlimCalibrationState &g_flim = flim_state();
    const ImageSize s = grayImageSize();
    const double avr = calib::gainOffset(g_flim.bright.data(), g_flim.dark.data(), s.pixels, 0,
                                         g_flim.gain[gate].data(), g_flim.offset[gate].data());
    for (int i = 0; i < 4 && i < s.pixels; ++i) {
        print(true, 2, "flimOffset[%d][%d]= %2.4f    %d\n", gate, i, g_flim.offset[gate][i],
              g_flim.dark[i]);
        print(true, 2, "flimGain[%d][%d]= %2.4f  avr= %2.4f\n", gate, i, g_flim.gain[gate][i], avr);
    }
}

int saveTables(const char *fn, int gate) {
    FlimCalibrationState &g_flim = flim_state();
    const std::string file = tableFile(gate);
    return calib::saveTables(fn, file.c_str(), g_flim.gain[gate].data(), g_flim.offset[gate].data(),
                             grayImageSize());
}

// False when no bright frame came.
bool bright(const char *fn, int gate) {
    FlimCalibrationState &g_flim = flim_state();
    vz_dbg("[%s] save bright %s averaged %d images\n", fn, kGateName[gate], kCalibrationFrames);
    if (mean(kCalibrationFrames, g_flim.bright.data(), gate) <= 0) return false;
    calib::saveMean("calculateSaveFlimImage", kTempImage, g_flim.bright.data(), grayImageSize());
    return true;
}

// The dark half of a gate's calibration; the tables and the file keep what
// they hold when no dark frame came.
bool dark(const char *fn, int gate) {
    FlimCalibrationState &g_flim = flim_state();
    vz_dbg("[%s] save dark %s averaged %d images and calculate offset and gain\n", fn,
           kGateName[gate], kCalibrationFrames);
    calib::loadMean("calculateLoadFlimImage", kTempImage, g_flim.bright.data(), grayImageSize());
    if (mean(kCalibrationFrames, g_flim.dark.data(), gate) <= 0) {
        vz_err("[%s] no dark frames, gain and offset of %s unchanged\n", fn, kGateName[gate]);
        return false;
    }
    gainOffset(gate);
    saveTables("calculateSaveFlimGainOffset", gate);
    g_flim.available = 1;
    return true;
}

int calibrateGate(const char *gateName) {
    FlimCalibrationState &g_flim = flim_state();
    const char *fn = "calculationFlimCalibration";
    const int gate = std::strcmp(gateName, "mga") == 0 ? 0 : 1;
    vz_dbg("[%s] calibrate flim %s\n", fn, kGateName[gate]);
    // A run stopped (no camera, no frame) returns -1 and writes no file.
    CalibRun run(fn);
    if (!run.ok() || !bright(fn, gate)) return -1;
    const uint16_t repetitions = flimGetRepetitions();
    const uint16_t flashWidth = flimGetFlashWidth();
    vz_dbg("[%s] %s flashWidth= %d  repetitions= %d\n", fn, kGateName[gate], flashWidth,
           repetitions);
    // Dark frames: one repetition without flashes.
    flimSetRepetitions(1);
    flimSetFlashWidth(0);
    const bool whole = dark(fn, gate);
    flimSetRepetitions(repetitions);
    flimSetFlashWidth(flashWidth);
    if (!whole) return -1;
    g_flim.available = 1;
    return run.commit() ? 0 : -1;
}

int calibrateStep(int step) {
    const char *fn = "calculationCalibrateFlim";
    CalibRun run(fn);
    if (!run.ok()) return -1;
    bool whole;
    if (step == 1)
        whole = bright(fn, 0);
    else if (step == 3)
        whole = bright(fn, 1);
    else
        whole = dark(fn, step == 0 ? 0 : 1);
    return whole && run.commit() ? 0 : -1;
}

}  // namespace

}  // namespace vz::epc

using namespace vz::epc;

extern "C" {

VZ_API int calculationCorrectFlimOffset(int on) noexcept {
    const vz::epc::Use epc_use;
    FlimCalibrationState &g_flim = flim_state();
    return vz::entry(__func__, on, [&] { return g_flim.correctOffset = on; });
}

VZ_API int calculationCorrectFlimGain(int on) noexcept {
    const vz::epc::Use epc_use;
    FlimCalibrationState &g_flim = flim_state();
    return vz::entry(__func__, on, [&] { return g_flim.correctGain = on; });
}

VZ_API int calculateSetFlimCorrectionAvailable(int on) noexcept {
    const vz::epc::Use epc_use;
    FlimCalibrationState &g_flim = flim_state();
    return vz::entry(__func__, on, [&] { return g_flim.available = on; });
}

VZ_API int calculateIsFlimCorrectionAvailable(void) noexcept {
    const vz::epc::Use epc_use;
    FlimCalibrationState &g_flim = flim_state();
    return vz::entry(__func__, 0, [&] { return g_flim.available; });
}

VZ_API void calculationFlimCorrection(uint16_t *image, int samples) noexcept {
    const vz::epc::Use epc_use;
    vz::entry_void(__func__, [&] {
        if (image) correct(image, samples);
    });
}

VZ_API int calculationFlimCalibration(const char *gateName) noexcept {
    EPC_ENTRY(0, {
        if (!gateName) {
            vz_err("[%s] gate name is NULL\n", epc_fn);
            return 0;
        }
        return calibrateGate(gateName);
    });
}

VZ_API int calculationCalibrateFlim(int step) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry(__func__, 0, [&] { return calibrateStep(step); });
}

VZ_API int calculationFlimMean(int count, int *values, int gate) noexcept {
    EPC_ENTRY(0, {
        if (!values || !validGate(epc_fn, gate)) return 0;
        return mean(count, values, gate);
    });
}

VZ_API void calculationFlimGainOffset(int gate) noexcept {
    EPC_ENTRY_VOID({
        if (validGate(epc_fn, gate)) gainOffset(gate);
    });
}

VZ_API int calculateSaveFlimImage(const int *values) noexcept {
    EPC_ENTRY(
        -1, { return values ? calib::saveMean(epc_fn, kTempImage, values, grayImageSize()) : -1; });
}

VZ_API int calculateLoadFlimImage(int *values) noexcept {
    EPC_ENTRY(
        -1, { return values ? calib::loadMean(epc_fn, kTempImage, values, grayImageSize()) : -1; });
}

VZ_API int calculateSaveFlimGainOffset(int gate) noexcept {
    EPC_ENTRY(-1, { return validGate(epc_fn, gate) ? saveTables(epc_fn, gate) : -1; });
}

VZ_API int calculateLoadFlimGainOffset(int gate) noexcept {
    EPC_ENTRY(-1, {
        if (!validGate(epc_fn, gate)) return -1;
        const std::string file = tableFile(gate);
        const int r = calib::loadTables(epc_fn, file.c_str(), g_flim.gain[gate].data(),
                                        g_flim.offset[gate].data(), grayImageSize());
        if (r == 0) g_flim.available = 1;
        return r;
    });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps flim_calibration_slot = slot_ops<FlimCalibrationState>();
}  // namespace vz::epc
