// The DRNU calibration run and what is built from its distance images: the
// delay-line sweep with averaged step images and temperature-drift
// repetition (bounded), the offset table from distance images, the search
// of the step size that makes the table flattest, the table renewal, and
// the bad-pixel search on the sensor's dark image.
#include "epc660/calibration_run.h"

#include <math.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "base/firewall.h"
#include "base/log.h"
#include "epc660/base.h"
#include "epc660/calib_guard.h"
#include "epc660/calibration.h"
#include "vizor/epc660.h"

namespace vz::epc::cal {
namespace {

struct Block {
    int16_t values[2 * kMaxSteps];  // the block returned by renew and show
};
int16_t *block() { return vz::epc::state<Block>(vz::epc::kSlotCalibrationRun).values; }

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

int plane() { return calibrateGetWidth() * calibrateGetHeight(); }
int32_t &lut_at(int i, int r, int c) {
    return lut_mut()[((size_t)i * kLutRows + r) * kLutCols + c];
}

double speed() { return calibrateGetSpeedOfLightDiv2(); }
double freq() { return configGetModulationFrequency(); }

// Length of one delay-line step in phase codes at a temperature.
double step_codes(int temp) {
    return (delay_cal() + (temp - 270) * 0.000395) * 450000 / (speed() / (freq() * 10));
}

// Step averages of the current table; returns the variance and logs both.
double step_stats(const char *fn) {
    const int n = calibrateGetNumDistances();
    if (n <= 0) return 0;
    double avg = 0;
    for (int i = 0; i < n; ++i) {
        long long sum = 0;
        for (int r = 0; r < calibrateGetHeight(); ++r)
            for (int c = 0; c < calibrateGetWidth(); ++c) sum += lut_at(i, r, c);
        step_avgs()[i] = (int16_t)(sum / plane());
        avg += step_avgs()[i];
    }
    avg /= n;
    double var = 0;
    for (int i = 0; i < n; ++i) var += (step_avgs()[i] - avg) * (step_avgs()[i] - avg);
    var /= n;
    vz_inf("[%s] drnu_avr: avg = %.2f, std^2=%.2f\n", fn, avg, var);
    return var;
}

void fill_block() {
    int16_t *g_block = block();
    std::copy_n(step_avgs(), kMaxSteps, g_block);
    std::copy_n(step_temps(), kMaxSteps, g_block + kMaxSteps);
}

// One averaged step image: n frames, unwrapped against the previous step.
int create_step(int step, int n) {
    const char *fn = "calibrationCreateDRNU_LUT";
    vz_inf("[%s] calibrationCreateDRNU_LUT: %d  numAvrFrames= %d\n", fn, step, n);
    if (step < 0 || step >= kMaxSteps || n <= 0) {
        vz_err("[%s] step %d or frame count %d refused\n", fn, step, n);
        return -1;
    }
    const int px = plane();
    std::vector<long long> acc;
    try {
        acc.assign(px, 0);
    } catch (const std::bad_alloc &) {
        vz_err("[%s] Malloc failed\n", fn);
        return -1;
    }
    int32_t *prev = prev_step_image();
    long long tsum = 0;
    uint16_t *img = nullptr;
    for (int f = 0; f < n; ++f) {
        const int delay = calibrateGetDRNUCalibrateDelay();
        if (delay > 0 && delay < 1000000) usleep((useconds_t)delay);
        img = nullptr;
        const int count = calculationDistanceSorted(&img);
        if (frame_missing(fn)) return -1;
        if (img == nullptr || count < px) {
            vz_err("[%s] distance image of %d pixels, %d needed\n", fn, count, px);
            return -1;
        }
        tsum += temperatureGetTemperature();
        for (int p = 0; p < px; ++p) {
            long code = img[p];
            if (step > 0 && code < prev[p]) code += 30000;
            acc[p] += code;
        }
    }
    step_temps()[step] = (int16_t)(tsum / n);
    uint16_t *dst = dist_images_mut(freq_mode()) + (size_t)step * px;
    long long mean = 0;
    for (int p = 0; p < px; ++p) {
        const int32_t v = (int32_t)(acc[p] / n);
        prev[p] = v;
        dst[p] = (uint16_t)v;
        img[p] = (uint16_t)v;
        mean += v;
    }
    if (step == 0) set_offset_drnu((int)(mean / px));
    const double s = step_codes(step_temps()[step]);
    const int w = calibrateGetWidth();
    for (int r = 0; r < calibrateGetHeight(); ++r) {
        for (int c = 0; c < w; ++c) {
            const int v = prev[r * w + c];
            lut_at(step, r, c) = round_i32(v - calibrationGetOffsetDRNU() - step * s);
            if (r < 2 && c >= 10 && c <= 14)
                vz::epc::print(
                    true, 2,
                    "value= %d  pMem[%d]= %d  drnuLut[%d]= %d  offset= %d stepLSB= %2.2f  "
                    "temp= %d\n",
                    v, r * w + c, v, r * w + c, lut_at(step, r, c), calibrationGetOffsetDRNU(), s,
                    step_temps()[step]);
        }
    }
    return 0;
}

// One sweep over all steps; restarts at step 0 when a step drifts beyond
// the allowed difference from step 0. Returns the number of drift restarts
// used (passes), or -1 when a step cannot be captured or the bound is hit.
int sweep(int &passes) {
    const char *fn = "calibrationDRNU";
    const int n = calibrateGetNumDistances();
    long sum = 0;
    for (int i = 0; i < n;) {
        reg_write(115, (uint8_t)i);
        if (create_step(i, calibrateGetDRNUAverage()) != 0) return -1;
        vz_inf("[%s] gTemperatureDRNU[i]= %d\n", fn, step_temps()[i]);
        sum += step_temps()[i];
        if (abs(step_temps()[i] - step_temps()[0]) > calibrateGetDRNUDiffTemp()) {
            if (++passes >= kMaxDriftPasses) return -1;
            i = 0;
            sum = 0;
            continue;
        }
        ++i;
    }
    set_temp_cal(n > 0 ? (int)(sum / n) : 0);
    return 0;
}

// Writes the upload image: the parameter block and the distance images.
void write_upload_image() {
    const char *fn = "calibrationDRNU";
    char name[64];
    snprintf(name, sizeof name, "calib_and_param_%03i.bin", (int)configGetChipID());
    vz_inf("[%s] Fname:%s\n", fn, name);
    File param(fopen(read_path(file_name("drnu_param", "_10.", "bin")).c_str(), "rb"));
    if (!param) {
        vz_err("[%s] open param failed\n", fn);
        return;
    }
    uint8_t head[16] = {};
    const size_t got = fread(head, 1, sizeof head, param.get());
    File out(fopen(write_path(name).c_str(), "wb"));
    if (!out) return;
    fwrite(head, 1, got, out.get());
    File img(fopen(read_path(file_name("images_drnu", "_10.", "bin")).c_str(), "rb"));
    if (!img) return;
    uint8_t buf[4096];
    size_t k;
    while ((k = fread(buf, 1, sizeof buf, img.get())) > 0) fwrite(buf, 1, k, out.get());
}

// Switches the run saves and restores.
struct Saved {
    int mode, min_amp, phase, ambient, drnu, temperature;
};

void restore(const Saved &s, int addr) {
    reg_write(174, 1);
    reg_write(113, 0);
    reg_write(114, 0);
    reg_write(115, 0);
    if (s.mode == 0) apiLoadConfig(0, addr);
    apiSetMinAmplitude(s.min_amp);
    calibrationSetOffsetPhase(s.phase);
    calculationSetEnableAmbientLight(s.ambient);
    calculationSetEnableDRNU(s.drnu);
    calculationSetEnableTemperature(s.temperature);
}

bool epc635() {
    const int pt = configGetPartType();
    return pt == 4 || pt == 5;
}

void set_full_roi(int addr) {
    if (epc635())
        apiSetROI(4, 163, 6, 65, addr);
    else
        apiSetROI(4, 323, 6, 125, addr);
}

int run_calibration() {
    const char *fn = "calibrationDRNU";
    CalibRun run(fn);
    if (!run.ok()) return -1;
    const int addr = configGetDeviceAddress();
    Saved s{configGetCurrentMode(),      pruGetMinAmplitude(),
            calibrationGetOffsetPhase(), calculationGetEnableAmbientLight(),
            calculationGetEnableDRNU(),  calculationGetEnableTemperature()};
    if (s.mode == 0) apiLoadConfig(1, addr);
    set_full_roi(addr);
    apiSetMinAmplitude(0);
    calibrationSetOffsetPhase(0);
    calculationSetEnableAmbientLight(0);
    calculationSetEnableDRNU(0);
    calculationSetEnableTemperature(0);
    reg_write(174, 4);
    reg_write(113, 0);
    reg_write(114, 0);
    const int d = reg_read(233);
    set_delay_cal(d == 255 || d < 0 ? 1.8 : (d - 128) * 0.003 + 1.8);
    vz_inf("[%s] gDelayCal: %3.2f \n", fn, delay_cal());

    const int n = calibrateGetNumDistances();
    int passes = 0;
    for (int count = 1;; ++count) {
        if (n < 1 || sweep(passes) != 0) {
            vz_err("[%s] calibration stopped: %s\n", fn,
                   n < 1                       ? "no steps"
                   : passes >= kMaxDriftPasses ? "temperature drift in 10 passes"
                                               : "no distance image");
            restore(s, addr);
            return -1;
        }
        const int tc = calibrateGetTempCalib();
        set_step_mm((delay_cal() + (tc - 270) * 0.000395) * 450000 / (speed() / (freq() * 10)) *
                    speed() / freq() / 30000);
        const int drift = step_temps()[n - 1] - step_temps()[0];
        vz_inf("[%s] tempDiff= %d  gTempCal= %d  count= %d\n", fn, drift, tc, count);
        calibrationSaveDistanceImages();
        calibrationTestStep();
        if (drift <= calibrateGetDRNUDiffTemp()) break;
        if (++passes >= kMaxDriftPasses) {
            vz_err("[%s] calibration stopped: temperature drift in 10 passes\n", fn);
            restore(s, addr);
            return -1;
        }
    }
    calibrationSaveTemperatureDRNU();
    calibrationDRNU_FromFile(trunc_i32(calibrateGetStepCalMM() * 10));
    if (calibrationAutoRenew() == 1) vz_inf("[%s] Find best step value : OK\n", fn);
    // The parameter block is kept under the name the loader reads, so that the
    // run's own offset, temperature and step survive a restart.
    write_param_block(file_name("drnu_param", freq_suffix(configGetModulationFrequency()), "bin"),
                      calibrationGetOffsetDRNU(), calibrateGetTempCalib(), calibrateGetStepCalMM());
    restore(s, addr);
    write_upload_image();
    return run.commit() ? 0 : -1;
}

// ---- bad pixels -------------------------------------------------------------

int search_bad_pixels() {
    CalibRun run("calibrationSearchBadPixelsWithMin");
    if (!run.ok()) return -1;
    const int addr = configGetDeviceAddress();
    const int mode = configGetCurrentMode();
    apiEnableVerticalBinning(0, addr);
    apiEnableHorizontalBinning(0, addr);
    apiSetRowReduction(0, addr);
    apiSetModulationFrequency(1, addr);
    apiEnableABS(1, addr);
    apiEnablePiDelay(1, addr);
    apiEnableDualMGX(0, addr);
    if (mode == 1) apiLoadConfig(0, addr);
    const int r34 = epc635() ? reg_read(34) : -1;
    if (r34 >= 0) reg_write(34, (uint8_t)(r34 & ~0x30));
    int roi[6], hdr[4];
    for (int i = 0; i < 6; ++i) roi[i] = reg_read(150 + i);
    set_full_roi(addr);
    const uint8_t hdr_new[4] = {0, 1, 0, 4};
    for (int i = 0; i < 4; ++i) {
        hdr[i] = reg_read(160 + i);
        reg_write(160 + i, hdr_new[i]);
    }
    const int r36 = reg_read(36);
    if (r36 >= 0) reg_write(36, (uint8_t)(r36 | 0x03));

    uint16_t *img = nullptr;
    int count = calcBWSorted(&img);
    if (frame_missing("calibrationSearchBadPixelsWithMin")) img = nullptr, count = 0;
    const int cols = pruGetNCols();
    char name[96];
    snprintf(name, sizeof name, "./calibration/PT%02i_W%03i_C%03i_bad_pixels.txt",
             configGetPartType(), (int)configGetWaferID(), (int)configGetChipID());
    int bad = -1;
    if (File f{img ? fopen(write_path(name).c_str(), "w") : nullptr}; f) {
        bad = 0;
        for (int y = 0; y < rows_max(); ++y) {
            for (int x = 0; x < cols_max(); ++x) {
                const long idx = (long)y * cols + x;
                if (x >= cols || idx >= count) continue;
                if (img[idx] < 2000 || img[idx] > 2096) {
                    fprintf(f.get(), "%i %i\n", x + 4, y + 6);
                    ++bad;
                }
            }
        }
    }
    if (r36 >= 0) reg_write(36, (uint8_t)r36);
    for (int i = 0; i < 4; ++i)
        if (hdr[i] >= 0) reg_write(160 + i, (uint8_t)hdr[i]);
    if (r34 >= 0) reg_write(34, (uint8_t)r34);
    if (mode == 1) apiLoadConfig(1, addr);
    if (roi[0] >= 0 && roi[5] >= 0)
        apiSetROI(roi[0] << 8 | roi[1], roi[2] << 8 | roi[3], roi[4], roi[5], addr);
    if (bad < 0) return -1;
    struct stat st;
    if (stat(read_path(name).c_str(), &st) != 0 || (st.st_size == 0 && bad > 0)) return -1;
    return run.commit() ? bad : -1;
}

}  // namespace

int image0_mean(int mode) {
    const int px = plane();
    const uint16_t *img = dist_images(mode);
    long long sum = 0;
    for (int p = 0; p < px; ++p) sum += img[p];
    return px > 0 ? (int)(sum / px) : 0;
}

void fill_table(int mode, double lsb, int offset) {
    const int w = calibrateGetWidth(), px = plane();
    const uint16_t *img = dist_images(mode);
    for (int i = 0; i < calibrateGetNumDistances(); ++i)
        for (int r = 0; r < calibrateGetHeight(); ++r)
            for (int c = 0; c < w; ++c)
                lut_at(i, r, c) = round_i32(img[(size_t)i * px + r * w + c] - offset - i * lsb);
}

double build_table(int mode, double lsb, int offset, const char *fn) {
    fill_table(mode, lsb, offset);
    return step_stats(fn);
}

}  // namespace vz::epc::cal

using namespace vz::epc;

extern "C" {

VZ_API int calibrationCreateDRNU_LUT(int step, int framesToAverage) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationCreateDRNU_LUT", -1,
                     [&] { return cal::create_step(step, framesToAverage); });
}

VZ_API int calibrationDRNU(void) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationDRNU", -1, [&] { return cal::run_calibration(); });
}

VZ_API int calibrationDRNU_FromFile(int stepTenthsOfMm) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationDRNU_FromFile", -1, [&] {
        const char *fn = "calibrationDRNU_FromFile";
        if (stepTenthsOfMm <= 0) {
            vz_err("[%s] step %d refused\n", fn, stepTenthsOfMm);
            return -1;
        }
        cal::set_step_mm(stepTenthsOfMm / 10.0);
        calibrationLoadTemperatureDRNU();
        const int mode = cal::freq_mode();
        cal::set_offset_drnu(cal::image0_mean(mode));
        const double lsb = cal::step_lsb();
        if (configPrint() > 1)
            vz_inf("[%s] gStepCalMM= %2.4f, stepLSB= %2.2f offsetDRNU= %d\n", fn,
                   calibrateGetStepCalMM(), lsb, calibrationGetOffsetDRNU());
        cal::fill_table(mode, lsb, calibrationGetOffsetDRNU());
        calibrationSaveDRNU_LUT();
        cal::step_stats(fn);
        return 0;
    });
}

VZ_API float calibrationCalcDRNUStd(int stepTenthsOfMm, int mode) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationCalcDRNUStd", -1.0f, [&] {
        const float lsb = (float)(int64_t(stepTenthsOfMm) * 30000 / 10) / (float)cal::range_mm();
        return (float)cal::build_table(mode == 0 ? 0 : 1, lsb, calibrationGetOffsetDRNU(),
                                       "_calibrationCalcDRNUStd");
    });
}

VZ_API int calibrationAutoRenew(void) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationAutoRenew", 0, [&] {
        const char *fn = "calibrationAutoRenew";
        calibrationLoadTemperatureDRNU();
        const int mode = cal::freq_mode();
        cal::set_offset_drnu(cal::image0_mean(mode));
        int best = -1;
        double best_var = 1e9;
        for (int t = 2700; t <= 3400; t += 20) {
            const double v = calibrationCalcDRNUStd(t, mode);
            if (v < best_var) {
                best_var = v;
                best = t;
            }
        }
        if (best < 0 || best == 2700 || best == 3400) {
            vz_wrn("[%s]  cannot find best step between %d ~ %d\n", fn, 2700, 3400);
            return 0;
        }
        vz_inf("[%s] best step (coarse search) : %d, std = %.2f\n", fn, best, best_var);
        const int coarse = best;
        for (int t = coarse - 19; t <= coarse + 19; ++t) {
            const double v = calibrationCalcDRNUStd(t, mode);
            if (v < best_var) {
                best_var = v;
                best = t;
            }
        }
        vz_inf("[%s] best step (fine search) : %d, std = %.2f\n", fn, best, best_var);
        cal::set_step_mm(best / 10.0);
        calibrationSaveDRNU_LUT();
        return 1;
    });
}

VZ_API int16_t *calibrateRenewDRNU(int n) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrateRenewDRNU", (int16_t *)nullptr, [&] {
        if (n < 0) calibrationAutoRenew();
        if (n <= 0) n = cal::trunc_i32(calibrateGetStepCalMM() * 10);
        calibrationLoadDistanceImages(cal::freq_mode() == 1);
        calibrationDRNU_FromFile(n);
        calibrationLoadTemperatureDRNU();
        cal::fill_block();
        calibrationTestStep();
        return cal::block();
    });
}

VZ_API int16_t *calibrateShowDRNU(void) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrateShowDRNU", (int16_t *)nullptr, [&] {
        cal::step_stats("calibrateShowDRNU");
        calibrationLoadTemperatureDRNU();
        cal::fill_block();
        return cal::block();
    });
}

VZ_API int calibrationTestStep(void) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationTestStep", -1, [&] {
        const int d = cal::reg_read(233);
        const double f = cal::freq(), c2 = cal::speed();
        const double lsb = calibrateGetStepCalMM() * 30000 * f / c2;
        const double nd =
            lsb / (450000 / (c2 / (f * 10))) - (calibrateGetTempCalib() - 270) * 0.000395;
        vz_inf(
            "[%s] orgDelCal= %d  newDelCal= %d  delayCalOrg= %2.4f  delayCalNew= %2.4f  "
            "gStepCalMM= %2.4f  stepLSB= %2.4f\n",
            "calibrationTestStep", d, cal::trunc_i32((nd - 1.8) / 0.003 + 128),
            (d - 128) * 0.003 + 1.8, nd, calibrateGetStepCalMM(), lsb);
        return 0;
    });
}

VZ_API int calibrationSearchBadPixelsWithMin(void) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationSearchBadPixelsWithMin", -1,
                     [&] { return cal::search_bad_pixels(); });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps calibration_run_slot = slot_ops<cal::Block>();
}  // namespace vz::epc
