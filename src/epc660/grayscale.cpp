// Grayscale flattening: a per-pixel dark offset and gain built from a bright
// and a dark mean image over 100 frames, kept in
// "./grayscale660_gain_offset_W%03i_C%03i.txt" (or the 635 twin) and applied
// to sorted gray images.
#include "epc660/grayscale.h"

#include <array>
#include <cstdio>
#include <string>

#include "base/firewall.h"
#include "base/log.h"
#include "epc660/base.h"
#include "epc660/calib_guard.h"
#include "epc660/gain_offset.h"
#include "epc660/image_geometry.h"

namespace vz::epc::grayscale {

namespace {

constexpr int kCalibrationFrames = 100;
constexpr const char *kTempImage = "./grayscale_temp_image.txt";

struct GrayscaleState {
    std::array<double, kStatePixels> gain;
    std::array<double, kStatePixels> offset;
    std::array<int, kStatePixels> bright{};
    std::array<int, kStatePixels> dark{};
    int correctOffset = 0;
    int correctGain = 0;
    GrayscaleState() { calib::resetTables(gain.data(), offset.data()); }
};

GrayscaleState &gray_state() { return vz::epc::state<GrayscaleState>(vz::epc::kSlotGrayscale); }
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] GrayscaleState &g_gray = gray_state();

// The gain/offset file of the chip in use.
std::string tableFile() {
    const int type = configGetPartType();
    char name[64];
    std::snprintf(name, sizeof name, "./grayscale%s_gain_offset_W%03i_C%03i.txt",
                  type == 4 || type == 5 ? "635" : "660", configGetWaferID(), configGetChipID());
    return name;
}

void correct(uint16_t *image) {
    GrayscaleState &g_gray = gray_state();
    const CalibrationFrame f = calibrationFrame();
    print(true, 2, "grayscale offsetX= %d offsetY=%d  width= %d  height = %d\n", f.offsetX,
          f.offsetY, f.image.width, f.image.height);
    for (int r = 0; r < f.image.height; ++r)
        for (int c = 0; c < f.image.width; ++c) {
            const int k = f.index(r, c);
            if (k < 0) continue;
            uint16_t &v = image[r * f.image.width + c];
            // Corrected values stay codes: below 0 is 0, nothing becomes a marker.
            if (g_gray.correctOffset && v <= kMaxCode)
                v = static_cast<uint16_t>(calib::toRange(v - g_gray.offset[k], true, 0, kMaxCode));
            if (g_gray.correctGain && v <= kMaxCode)
                v = static_cast<uint16_t>(
                    calib::toRange((v - 2048.0) * g_gray.gain[k] + 2048.0, true, 0, kMaxCode));
        }
}

// Mean of `count` gray frames into `values`; false when nothing was measured.
bool mean(int count, int *values) {
    const ImageSize s = grayImageSize();
    print(true, 2, "calculationGrayscaleMean: width= %d  height= %d\n", s.width, s.height);
    apiLoadConfig(0, configGetDeviceAddress());
    return calib::meanOfFrames("calculationGrayscaleMean", count, values, s, -1, true) > 0;
}

void gainOffset() {
    GrayscaleState &g_gray = gray_state();
    const ImageSize s = grayImageSize();
    const double avr = calib::gainOffset(g_gray.bright.data(), g_gray.dark.data(), s.pixels, 2048,
                                         g_gray.gain.data(), g_gray.offset.data());
    vz_dbg("[%s] avr = %f ", "calculationGrayscaleGainOffset", avr);
    for (int i = 0; i < 10 && i < s.pixels; ++i)
        print(true, 2, "grayScaleOffset[%d]= %.4e    %d\n", i, g_gray.offset[i], g_gray.dark[i]);
    for (int i = 0; i < 20 && i < s.pixels; ++i)
        print(true, 2, "grayScaleGain[%d]= %.4e\n", i, g_gray.gain[i]);
}

// A step stopped (no camera, no frame) returns -1 and writes no file.
int calibrate(int step) {
    GrayscaleState &g_gray = gray_state();
    const char *fn = "calculationCalibrateGrayscale";
    CalibRun run(fn);
    if (!run.ok()) return -1;
    if (step == 1) {
        vz_dbg("[%s] save bright averaged %d images\n", fn, kCalibrationFrames);
        if (!mean(kCalibrationFrames, g_gray.bright.data())) return -1;
        calib::saveMean("calculateSaveGrayscaleImage", kTempImage, g_gray.bright.data(),
                        grayImageSize());
        return run.commit() ? 0 : -1;
    }
    vz_dbg("[%s] save dark averaged %d images and calculate offset and gain\n", fn,
           kCalibrationFrames);
    calib::loadMean("calculateLoadGrayscaleImage", kTempImage, g_gray.bright.data(),
                    grayImageSize());
    // Without a dark mean the tables and the file keep what they hold.
    if (!mean(kCalibrationFrames, g_gray.dark.data())) {
        vz_err("[%s] no dark frames, gain and offset unchanged\n", fn);
        return -1;
    }
    gainOffset();
    const std::string file = tableFile();
    calib::saveTables("calculateSaveGrayscaleGainOffset", file.c_str(), g_gray.gain.data(),
                      g_gray.offset.data(), grayImageSize());
    return run.commit() ? 0 : -1;
}

}  // namespace

bool correctionSwitchedOn() {
    GrayscaleState &g_gray = gray_state();
    return g_gray.correctOffset || g_gray.correctGain;
}

}  // namespace vz::epc::grayscale

using namespace vz::epc;
using namespace vz::epc::grayscale;

extern "C" {

VZ_API int setCorrectGrayscaleOffset(int on) noexcept {
    const vz::epc::Use epc_use;
    GrayscaleState &g_gray = gray_state();
    return vz::entry(__func__, on, [&] { return g_gray.correctOffset = on; });
}

VZ_API int setCorrectGrayscaleGain(int on) noexcept {
    const vz::epc::Use epc_use;
    GrayscaleState &g_gray = gray_state();
    return vz::entry(__func__, on, [&] { return g_gray.correctGain = on; });
}

VZ_API void calculateGrayscaleCorrection(uint16_t *image) noexcept {
    const vz::epc::Use epc_use;
    vz::entry_void(__func__, [&] {
        if (image) correct(image);
    });
}

VZ_API int calculationCalibrateGrayscale(int step) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry(__func__, 0, [&] { return calibrate(step); });
}

VZ_API void calculationGrayscaleMean(int count, int *values) noexcept {
    const vz::epc::Use epc_use;
    vz::entry_void(__func__, [&] {
        if (values) mean(count, values);
    });
}

VZ_API void calculationGrayscaleGainOffset(void) noexcept {
    const vz::epc::Use epc_use;
    vz::entry_void(__func__, [&] { gainOffset(); });
}

VZ_API int calculateSaveGrayscaleImage(const int *values) noexcept {
    EPC_ENTRY(
        -1, { return values ? calib::saveMean(epc_fn, kTempImage, values, grayImageSize()) : -1; });
}

VZ_API int calculateLoadGrayscaleImage(int *values) noexcept {
    EPC_ENTRY(
        -1, { return values ? calib::loadMean(epc_fn, kTempImage, values, grayImageSize()) : -1; });
}

VZ_API int calculateSaveGrayscaleGainOffset(void) noexcept {
    EPC_ENTRY(-1, {
        const std::string file = tableFile();
        return calib::saveTables(epc_fn, file.c_str(), g_gray.gain.data(), g_gray.offset.data(),
                                 grayImageSize());
    });
}

VZ_API int calculateLoadGrayscaleGainOffset(void) noexcept {
    EPC_ENTRY(-1, {
        const std::string file = tableFile();
        return calib::loadTables(epc_fn, file.c_str(), g_gray.gain.data(), g_gray.offset.data(),
                                 grayImageSize());
    });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps grayscale_slot = slot_ops<grayscale::GrayscaleState>();
}  // namespace vz::epc
