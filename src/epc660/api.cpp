// The API facade of the EPC processing library: flat entry points that keep
// the chip, the image source, the calculation and the filters consistent when
// a readout mode changes (region of interest, binning, row reduction, pi
// delay, dual MGX, HDR, 2D/3D), and forwards to the module functions for the
// rest. Every internal call goes through the exported functions, so the
// library behaves the same whether an application or the pipeline calls.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include "epc660/base.h"
#include "epc660/correction.h"
#include "epc660/hysteresis_threshold.h"
#include "epc660/image_filter.h"

namespace {

// v x unit, held within int (absurd user values must not overflow).
int saturated(int v, int unit) {
    return int(std::clamp<int64_t>(int64_t(v) * unit, INT_MIN, INT_MAX));
}

struct ApiState {
    int tof_dcs = 4;  // DCS samples per pixel of the current TOF mode (4, 2 or 1)
};
ApiState &api_state() { return vz::epc::state<ApiState>(vz::epc::kSlotApi); }
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] ApiState &g_api = api_state();

// A readout or frequency change makes every filter that remembers earlier
// frames forget them: the difference reference, the temporal average, the
// amplitude hysteresis and the Kalman filters start over, so that changing a
// control and changing it back decodes as if it had never changed.
void restart_filters() {
    imageDifferenceInit();
    vz::epc::image::forget_history();
    vz::epc::hysteresis::forget();
    vz::epc::corr::kalman_restart();
}

// The pixel-correction map and the filters follow the readout.
void geometry_changed() {
    imageCorrectionTransform();
    restart_filters();
}

int set_roi(int x1, int x2, int y1, int y2, int addr) {
    if (x1 < 0 || x2 < x1 || (x1 & 1) || x2 < 5 || x2 > 327 || !(x2 & 1)) {
        vz::epc::print(true, 0, "bad x coordinates");
        return -1;
    }
    if (y1 < 0 || y2 < y1 || (y1 & 1) || y2 <= 0 || y2 > 125 || !(y2 & 1)) {
        vz::epc::print(true, 0, "bad y coordinates");
        return -1;
    }
    const int min_w = 6 * int(pruGetColReduction()), min_h = 2 * int(pruGetRowReduction());
    if (x2 - x1 + 1 < min_w || y2 - y1 + 1 < min_h) {
        vz::epc::print(true, 0, "size too small: min size = %i x %i\n", min_w, min_h);
        return -1;
    }
    readOutSetROI(x1, x2, y1, y2, addr);
    pruSetSize(x2 - x1 + 1, y2 - y1 + 1);
    geometry_changed();
    return 0;
}

void set_row_reduction(int n, int addr) {
    readOutSetRowReduction(n, addr);
    pruSetRowReduction(n);
    geometry_changed();
}

int vertical_binning(int on, int addr) {
    if (on) {
        if (std::log2(double(pruGetRowReduction())) < 2) set_row_reduction(1, addr);
        readOutEnableVerticalBinning(1, addr);
    } else {
        set_row_reduction(0, addr);
        readOutEnableVerticalBinning(0, addr);
    }
    geometry_changed();
    return on;
}

void set_dcs(int n, int addr) {
    ApiState &g_api = api_state();
    g_api.tof_dcs = n;
    configSetDCS(n, addr);
    pruSetDCS(n);
}

int pi_delay(int on, int addr) {
    const bool mgx = calculationIsDualMGX() != 0;
    set_dcs(on ? (mgx ? 2 : 4) : (mgx ? 1 : 2), addr);
    calculationEnablePiDelay(on);
    restart_filters();
    return on;
}

int dual_mgx(int on, int addr) {
    const bool pi = calculationIsPiDelay() != 0;
    const int n = on ? (pi ? 2 : 1) : (pi ? 4 : 2);
    readOutEnableDualMGX(on, addr);
    // HDR shares the readout register and slots: switching dual MGX off must
    // leave a running HDR readout as it was.
    if (!on && calculationIsHDR()) readOutEnableHDR(1, addr);
    configSetIntegrationTime3D(configGetIntegrationTime3D());
    calculationEnableDualMGX(on);
    set_dcs(n, addr);
    geometry_changed();
    return on;
}

// Saves the parameter file after a tuning value changed.
template <class T>
T saved(T v) {
    configSaveParameters();
    return v;
}

}  // namespace

extern "C" {

// ---- mode changes ----
VZ_API int apiSetROI(int x1, int x2, int y1, int y2, int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return set_roi(x1, x2, y1, y2, deviceAddress); });
}
VZ_API int apiEnableHorizontalBinning(int on, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        const int v = on ? 1 : 0;
        readOutEnableHorizontalBinning(v, deviceAddress);
        pruSetColReduction(v);
        geometry_changed();
        return v;
    });
}
VZ_API int apiEnableVerticalBinning(int on, int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return vertical_binning(on ? 1 : 0, deviceAddress); });
}
VZ_API int apiSetRowReduction(int n, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        const int v = n < 0 ? 0 : n > 3 ? 3 : n;
        set_row_reduction(v, deviceAddress);
        return v;
    });
}
VZ_API int apiEnablePiDelay(int on, int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return pi_delay(on ? 1 : 0, deviceAddress); });
}
VZ_API int apiEnableDualMGX(int on, int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return dual_mgx(on ? 1 : 0, deviceAddress); });
}
VZ_API int apiEnableHDR(int on, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        readOutEnableHDR(on, deviceAddress);
        // The same for HDR off under a running dual-MGX readout.
        if (!on && calculationIsDualMGX()) readOutEnableDualMGX(1, deviceAddress);
        calculationEnableHDR(on);
        imageCorrectionTransform();
        configSetIntegrationTimesHDR();
        restart_filters();
        return on;
    });
}
VZ_API int apiSelectMode(int mode, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        const int m = mode > 0 ? 1 : 0;
        configSetMode(m, deviceAddress);
        calculationEnablePN(m);
        restart_filters();
        return m;
    });
}
VZ_API int apiSetModulationFrequency(int index, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        if (index < 0 || index >= configGetModFreqCount()) return -1;
        configSetModulationFrequency(index, deviceAddress);
        restart_filters();
        calibrationUpdateFrequency();
        return 0;
    });
}
VZ_API int apiLoadConfig(int mode, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        pruSetDCS(mode == 1 ? g_api.tof_dcs : 1);
        configLoad(mode == 1 ? 1 : 0, deviceAddress);
        return mode;
    });
}
VZ_API int apiEnableABS(int on, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        configEnableABS(on, deviceAddress);
        restart_filters();
        return on;
    });
}
VZ_API int apiSetMinAmplitude(int amplitude) noexcept {
    EPC_ENTRY(-1, {
        pruSetMinAmplitude(amplitude);
        hysteresisUpdateThresholds(amplitude);
        return amplitude;
    });
}
VZ_API int apiGetMinAmplitude(void) noexcept {
    EPC_ENTRY(-1, { return pruGetMinAmplitude(); });
}
VZ_API int apiSetHysteresis(int width) noexcept {
    EPC_ENTRY(-1, { return hysteresisSetThresholds(pruGetMinAmplitude(), width); });
}

// ---- chip and temperatures ----
VZ_API int16_t apiGetAveragedTemperature(int deviceAddress) noexcept {
    EPC_ENTRY(int16_t(0),
              { return int16_t(int(temperatureGetAveragedChipTemperature(deviceAddress) * 10)); });
}
VZ_API int apiGetTemperature(int deviceAddress, int16_t *out) noexcept {
    EPC_ENTRY(-1, { return temperatureGetTemperatures(deviceAddress, out); });
}
VZ_API int apiGetChipInfo(int deviceAddress, uint16_t *info) noexcept {
    EPC_ENTRY(-1, { return chipInfoGetInfo(deviceAddress, info); });
}
VZ_API int apiGetIcVersion(void) noexcept {
    EPC_ENTRY(-1, { return configGetIcVersion(); });
}
VZ_API int apiGetPartVersion(void) noexcept {
    EPC_ENTRY(-1, { return configGetPartVersion(); });
}
VZ_API int apiIsFLIM(void) noexcept {
    EPC_ENTRY(0, { return configIsFLIM(); });
}
VZ_API int apiTOF(void) noexcept {
    EPC_ENTRY(-1, { return configRestartTOF(); });
}
VZ_API int apiFLIM(void) noexcept {
    EPC_ENTRY(-1, { return configRestartFLIM(); });
}
VZ_API int apiReadRegister(int reg, int count, unsigned char **data, int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return i2c(deviceAddress, 'r', reg, count, data) == 0 ? count : -1; });
}
VZ_API int apiWriteRegister(int reg, int count, unsigned char **data, int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return i2c(deviceAddress, 'w', reg, count, data) == 0 ? count : -1; });
}

// ---- integration times ----
VZ_API int apiSetIntegrationTime2D(int us) noexcept {
    EPC_ENTRY(-1, { return configSetIntegrationTime2D(us); });
}
VZ_API int apiSetIntegrationTime3D(int us) noexcept {
    EPC_ENTRY(-1, { return configSetIntegrationTime3D(us); });
}
VZ_API int apiSetIntegrationTime3DHDR(int us) noexcept {
    EPC_ENTRY(-1, { return configSetIntegrationTime3DHDR(us); });
}
VZ_API int apiGetImagingTime(void) noexcept {
    EPC_ENTRY(-1, { return configGetImagingTime(); });
}
VZ_API int apiEnableAddArgThreshold(int on) noexcept {
    EPC_ENTRY(-1, { return configEnableAddArg(on); });
}
VZ_API int apiSetAddArgThreshold(int t) noexcept {
    EPC_ENTRY(-1, { return configSetDcsAdd_threshold(t); });
}
VZ_API int apiSetAddArgMin(int arg) noexcept {
    EPC_ENTRY(-1, { return configSetAddArgMin(arg); });
}
VZ_API int apiSetAddArgMax(int arg) noexcept {
    EPC_ENTRY(-1, { return configSetAddArgMax(arg); });
}
VZ_API int *apiGetModulationFrequencies(void) noexcept {
    EPC_ENTRY(static_cast<int *>(nullptr), { return configGetModulationFrequencies(); });
}
VZ_API int apiSetEnableImaging(int on) noexcept {
    EPC_ENTRY(-1, { return int(setEnableImaging(on)); });
}

// ---- tuning values saved in the parameter file ----
VZ_API double apiSetAmbientLightFactor(double factor) noexcept {
    EPC_ENTRY(-1.0, {
        calculationSetAmbientLightFactorOrg(factor);
        configSaveParameters();
        const int t = configGetIntegrationTime3D();
        if (t > 0) calculationSetAmbientLightFactor(factor / std::sqrt(double(t)));
        return factor;
    });
}
VZ_API int apiSetDRNUDelay(int seconds) noexcept {
    EPC_ENTRY(-1, { return saved(calibrateSetDRNUCalibrateDelay(saturated(seconds, 1000))); });
}
VZ_API int apiSetDRNUDiffTemp(int degrees) noexcept {
    EPC_ENTRY(-1, { return saved(calibrateSetDRNUDiffTemp(saturated(degrees, 10))); });
}
VZ_API int apiSetDRNUAverage(int frames) noexcept {
    EPC_ENTRY(-1, {
        if (frames <= 0) {  // a count that is divided by
            vz_wrn("[%s] frame count %d refused\n", epc_fn, frames);
            return -1;
        }
        return saved(calibrateSetDRNUAverage(frames));
    });
}
VZ_API int apiPrint(int level) noexcept {
    EPC_ENTRY(-1, { return saved(configSetPrint(level)); });
}
VZ_API double apiSetTempCoef(double coefficient) noexcept {
    EPC_ENTRY(-1.0, { return saved(calibrateSetTempCoef(coefficient, configGetPartType())); });
}
VZ_API double apiSetSpeedOfLight(double metresPerSecond) noexcept {
    EPC_ENTRY(-1.0, {
        vz::epc::print(true, 0, "apiSetSpeedOflight: %2.2f\n", metresPerSecond);
        if (!(metresPerSecond > 0) || !std::isfinite(metresPerSecond)) {  // a divisor
            vz_wrn("[%s] speed %f refused\n", epc_fn, metresPerSecond);
            return -1.0;
        }
        calibrateSetSpeedOfLightDiv2(metresPerSecond * 0.5);
        return saved(metresPerSecond);
    });
}
VZ_API double apiGetSpeedOfLightDev2(void) noexcept {
    EPC_ENTRY(-1.0, { return calibrateGetSpeedOfLightDiv2(); });
}

// ---- sorted images ----
VZ_API int apiGetBWSorted(uint16_t **out) noexcept {
    EPC_ENTRY(-1, { return calculationBWSorted(out); });
}
VZ_API int apiGetDCSSorted(uint16_t **out) noexcept {
    EPC_ENTRY(-1, { return calculationDCSSorted(out); });
}
VZ_API int apiGetDistanceSorted(uint16_t **out) noexcept {
    EPC_ENTRY(-1, { return calculationDistanceSorted(out); });
}
VZ_API int apiGetAmplitudeSorted(uint16_t **out) noexcept {
    EPC_ENTRY(-1, { return calculationAmplitudeSorted(out); });
}
VZ_API int apiGetDistanceAndAmplitudeSorted(uint16_t **out) noexcept {
    EPC_ENTRY(-1, { return calculationDistanceAndAmplitudeSorted(out); });
}

// ---- corrections, calibration and filters ----
VZ_API int apiSetOffset(int cm, int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return calibrationSetOffset(cm, deviceAddress); });
}
VZ_API int apiGetOffset(int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return calibrationGetOffset(deviceAddress); });
}
VZ_API int apiEnableDefaultOffset(int on) noexcept {
    EPC_ENTRY(-1, { return calibrationEnableDefaultOffset(on); });
}
VZ_API int apiGetBadPixels(int *values) noexcept {
    EPC_ENTRY(-1, { return calibrationGetBadPixels(values); });
}
VZ_API int apiSelectPolynomial(int length, int taps, int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return pnSelectPolynomial(length, taps, deviceAddress); });
}
VZ_API int apiEnableImageCorrection(int on) noexcept {
    EPC_ENTRY(-1, { return imageCorrectionEnable(on); });
}
VZ_API int apiSetImageAveraging(int n) noexcept {
    EPC_ENTRY(-1, { return imageSetNumberOfPicture(n); });
}
VZ_API int apiSetImageProcessing(int mode) noexcept {
    EPC_ENTRY(-1, { return imageSetProcessing(mode); });
}
VZ_API int apiSetImageDifferenceThreshold(int t) noexcept {
    EPC_ENTRY(-1, { return imageDifferenceSetThreshold(t); });
}
VZ_API int apiEnableSaturation(int on) noexcept {
    EPC_ENTRY(-1, { return saturationEnable(on); });
}
VZ_API int apiEnableAdcOverflow(int on) noexcept {
    EPC_ENTRY(-1, { return adcOverflowEnable(on); });
}
VZ_API int apiCalibrateGrayscale(int step) noexcept {
    EPC_ENTRY(-1, { return calculationCalibrateGrayscale(step); });
}
VZ_API int apiCorrectGrayscaleOffset(int on) noexcept {
    EPC_ENTRY(-1, { return setCorrectGrayscaleOffset(on), 0; });
}
VZ_API int apiCorrectGrayscaleGain(int on) noexcept {
    EPC_ENTRY(-1, { return setCorrectGrayscaleGain(on), 0; });
}
VZ_API int apiCalibrateDRNU(void) noexcept {
    EPC_ENTRY(-1, { return calibrationDRNU(); });
}
VZ_API int apiCorrectDRNU(int mode) noexcept {
    EPC_ENTRY(-1, { return calculationSetEnableDRNU(mode), 0; });
}
VZ_API int apiCorrectTemperature(int on) noexcept {
    EPC_ENTRY(-1, { return calculationSetEnableTemperature(on), 0; });
}
VZ_API int apiCorrectAmbientLight(int on) noexcept {
    EPC_ENTRY(-1, { return calculationSetEnableAmbientLight(on), 0; });
}
VZ_API int apiIsEnabledDRNUCorrection(void) noexcept {
    EPC_ENTRY(0, { return configIsEnabledDRNUCorrection(); });
}
VZ_API int apiIsEnabledGrayscaleCorrection(void) noexcept {
    EPC_ENTRY(0, { return configIsEnabledGrayscaleCorrection(); });
}
VZ_API int apiIsEnabledTemperatureCorrection(void) noexcept {
    EPC_ENTRY(0, { return configIsEnabledTemperatureCorrection(); });
}
VZ_API int apiIsEnabledAmbientLightCorrection(void) noexcept {
    EPC_ENTRY(0, { return configIsEnabledAmbientLightCorrection(); });
}
VZ_API int16_t *apiRenewDRNU(int step) noexcept {
    EPC_ENTRY(static_cast<int16_t *>(nullptr), { return calibrateRenewDRNU(step); });
}
VZ_API int16_t *apiShowDRNU(void) noexcept {
    EPC_ENTRY(static_cast<int16_t *>(nullptr), { return calibrateShowDRNU(); });
}
VZ_API int16_t *apiLoadTemperatureDRNU(void) noexcept {
    EPC_ENTRY(static_cast<int16_t *>(nullptr), { return calibrationLoadTemperatureDRNU(); });
}
VZ_API int apiEnableKalman(int mode) noexcept {
    EPC_ENTRY(-1, { return calculationEnableKalman(mode), 0; });
}
VZ_API int apiSetKalmanKdiff(double k) noexcept {
    EPC_ENTRY(-1, { return calculationSetKalmanKdiff(k), 0; });
}
VZ_API int apiSetKalmanK(double k) noexcept {
    EPC_ENTRY(-1, { return calculationSetKalmanK(k), 0; });
}
VZ_API int apiSetKalmanQ(double q) noexcept {
    EPC_ENTRY(-1, { return calculationSetKalmanQ(q), 0; });
}
VZ_API int apiSetKalmanNumCheck(int n) noexcept {
    EPC_ENTRY(-1, { return calculationSetKalmanNumCheck(n), 0; });
}
VZ_API int apiSetKalmanThreshold(int t) noexcept {
    EPC_ENTRY(-1, { return calculationSetKalmanThreshold(1, t); });
}
VZ_API int apiSetKalmanThreshold2(int t) noexcept {
    EPC_ENTRY(-1, { return calculationSetKalmanThreshold(2, t); });
}
VZ_API int apiCalibrateFlim(const char *gateName) noexcept {
    EPC_ENTRY(-1, { return calculationFlimCalibration(gateName); });
}
VZ_API int apiCorrectFlimOffset(int on) noexcept {
    EPC_ENTRY(-1, {
        vz::epc::print(true, 1, "correctFlimOffset %d\n", on);
        return calculationCorrectFlimOffset(on);
    });
}
VZ_API int apiCorrectFlimGain(int on) noexcept {
    EPC_ENTRY(-1, {
        vz::epc::print(true, 1, "correctFlimGain %d\n", on);
        return calculationCorrectFlimGain(on);
    });
}
VZ_API int apiIsFlimCorrectionAvailable(void) noexcept {
    EPC_ENTRY(0, { return calculateIsFlimCorrectionAvailable(); });
}

// ---- FLIM timing ----
VZ_API int apiFLIMSetT1(uint16_t v) noexcept {
    EPC_ENTRY(-1, { return flimSetT1(v); });
}
VZ_API int apiFLIMSetT2(uint16_t v) noexcept {
    EPC_ENTRY(-1, { return flimSetT2(v); });
}
VZ_API int apiFLIMSetT3(uint16_t v) noexcept {
    EPC_ENTRY(-1, { return flimSetT3(v); });
}
VZ_API int apiFLIMSetT4(uint16_t v) noexcept {
    EPC_ENTRY(-1, { return flimSetT4(v); });
}
VZ_API int apiFLIMSetTREP(uint16_t v) noexcept {
    EPC_ENTRY(-1, { return flimSetTREP(v); });
}
VZ_API int apiFLIMSetRepetitions(uint16_t n) noexcept {
    EPC_ENTRY(-1, { return flimSetRepetitions(n); });
}
VZ_API int apiFLIMSetFlashDelay(uint16_t v) noexcept {
    EPC_ENTRY(-1, { return flimSetFlashDelay(v); });
}
VZ_API int apiFLIMSetFlashWidth(uint16_t v) noexcept {
    EPC_ENTRY(-1, { return flimSetFlashWidth(v); });
}
VZ_API uint16_t apiFLIMGetStep(void) noexcept {
    EPC_ENTRY(uint16_t(0), { return flimGetStep(); });
}

// ---- version and test ----
VZ_API int16_t apiTest(int value) noexcept {
    EPC_ENTRY(int16_t(0), {
        vz::epc::print(true, 0, "test... ");
        return int16_t(value);
    });
}
VZ_API int apiGetVersion(void) noexcept {
    EPC_ENTRY(-1, { return getVersion(); });
}
VZ_API int getVersion(void) noexcept {
    EPC_ENTRY(-1, { return 20800; });
}
VZ_API int getMajor(void) noexcept {
    EPC_ENTRY(-1, { return 2; });
}
VZ_API int getMinor(void) noexcept {
    EPC_ENTRY(-1, { return 8; });
}
VZ_API int getPatch(void) noexcept {
    EPC_ENTRY(-1, { return 0; });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps api_slot = slot_ops<ApiState>();
}  // namespace vz::epc
