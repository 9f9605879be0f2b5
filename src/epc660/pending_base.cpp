// TEMPORARY stand-ins for functions of the calculation, correction,
// calibration and image modules, which other branches build. They keep the
// few values the base modules and their tests need (mode flags, tuning
// values of the parameter file) and otherwise report, with a debug line, that
// the real function is not built yet. The integrator deletes this file and
// pending_base.h when the owners' modules land; the stand-ins are weak
// symbols, so a merged owner's definition replaces them even before that.
#include "epc660/base.h"

namespace {

struct PendingState {
    int pi_delay = 1, dual_mgx = 0, pn = 0, hdr = 0;
    double ambient = 250.0, ambient_org = 250.0;
    int diff_temp = 7, drnu_delay = 200000, drnu_average = 25;
    double coef660 = 1.7, coef635 = 1.56131, c2 = 149896229.0;
    int16_t drnu_block[100] = {};
};
PendingState g_pending;

int pending(const char *fn, int result) {
    vz_dbg("[%s] not built yet: pass-through\n", fn);
    return result;
}

}  // namespace

#define PASS(result) return pending(__func__, (result))
// Weak, so that the real definition wins wherever it is linked in already.
#define STANDIN [[gnu::weak]]

extern "C" {

STANDIN int calculationIsHDR(void) { return g_pending.hdr; }
STANDIN int calculationIsPiDelay(void) { return g_pending.pi_delay; }
STANDIN int calculationIsDualMGX(void) { return g_pending.dual_mgx; }
STANDIN int calculationEnableHDR(int on) { return g_pending.hdr = on; }
STANDIN int calculationEnablePiDelay(int on) { return g_pending.pi_delay = on; }
STANDIN int calculationEnableDualMGX(int on) { return g_pending.dual_mgx = on; }
STANDIN int calculationEnablePN(int on) { return g_pending.pn = on; }
// The plain grayscale reading: take one image and keep the 12 sample bits.
STANDIN int calculationBW(uint16_t **data) {
    uint16_t *p = nullptr;
    const int n = pruGetImage(&p);
    if (configGetCurrentMode() != 2)
        for (int i = 0; i < n; ++i) p[i] &= 0x0FFF;
    if (data) *data = p;
    return n;
}
STANDIN int calculationBWSorted(uint16_t **) { PASS(-1); }
STANDIN int calculationDCSSorted(uint16_t **) { PASS(-1); }
STANDIN int calculationDistanceSorted(uint16_t **) { PASS(-1); }
STANDIN int calculationAmplitudeSorted(uint16_t **) { PASS(-1); }
STANDIN int calculationDistanceAndAmplitudeSorted(uint16_t **) { PASS(-1); }
STANDIN int calculatorSetPixelMask(uint16_t mask) { PASS(mask); }
STANDIN int saturationSetSaturationBit(void) { PASS(0); }
STANDIN int saturationEnable(int on) { PASS(on); }
STANDIN int adcOverflowEnable(int on) { PASS(on); }
STANDIN int adcOverflowSetMin(uint16_t v) { PASS(v); }
STANDIN int adcOverflowSetMax(uint16_t v) { PASS(v); }
STANDIN int atan2lut_Init(void) { PASS(0); }
STANDIN int pnSelectPolynomial(int, int, int) { PASS(-1); }
STANDIN uint16_t setEnableImaging(int on) { return uint16_t(pending(__func__, on)); }

STANDIN int calculationSetEnableDRNU(int mode) { PASS(mode); }
STANDIN int calculationSetEnableTemperature(int on) { PASS(on); }
STANDIN int calculationSetEnableAmbientLight(int on) { PASS(on); }
STANDIN double calculationSetAmbientLightFactor(double f) { return g_pending.ambient = f; }
STANDIN double calculationSetAmbientLightFactorOrg(double f) { return g_pending.ambient_org = f; }
STANDIN double calculationGetAmbientLightFactorOrg(void) { return g_pending.ambient_org; }
STANDIN int calculationInitKalman(void) { PASS(0); }
STANDIN int calculationEnableKalman(int mode) { PASS(mode); }
STANDIN int calculationSetKalmanNumCheck(int n) { PASS(n); }
STANDIN int calculationSetKalmanThreshold(int, int t) { PASS(t); }

STANDIN int calibrateSetWidth(int w) { PASS(w); }
STANDIN int calibrateSetHeight(int h) { PASS(h); }
STANDIN int calibrateSetNumDistances(int n) { PASS(n); }
STANDIN int calibrateSetDRNUDiffTemp(int v) { return g_pending.diff_temp = v; }
STANDIN int calibrateGetDRNUDiffTemp(void) { return g_pending.diff_temp; }
STANDIN int calibrateSetDRNUCalibrateDelay(int v) { return g_pending.drnu_delay = v; }
STANDIN int calibrateGetDRNUCalibrateDelay(void) { return g_pending.drnu_delay; }
STANDIN int calibrateSetDRNUAverage(int v) { return g_pending.drnu_average = v; }
STANDIN int calibrateGetDRNUAverage(void) { return g_pending.drnu_average; }
STANDIN double calibrateSetTempCoef(double c, int type) {
    return (type == 4 || type == 5 ? g_pending.coef635 : g_pending.coef660) = c;
}
STANDIN double calibrateGetTempCoef(int type) {
    return type == 4 || type == 5 ? g_pending.coef635 : g_pending.coef660;
}
STANDIN double calibrateSetSpeedOfLightDiv2(double v) { return g_pending.c2 = v; }
STANDIN double calibrateGetSpeedOfLightDiv2(void) { return g_pending.c2; }
STANDIN int16_t *calibrateRenewDRNU(int) { return pending(__func__, 0), g_pending.drnu_block; }
STANDIN int16_t *calibrateShowDRNU(void) { return pending(__func__, 0), g_pending.drnu_block; }
STANDIN int calibrationSetNumberOfColumnsMax(int n) { PASS(n); }
STANDIN int calibrationSetNumberOfRowsMax(int n) { PASS(n); }
STANDIN int calibrationLoadDRNU_LUT(void) { PASS(-1); }
STANDIN int calibrationLoadDistanceImages(int) { PASS(-1); }
STANDIN int16_t *calibrationLoadTemperatureDRNU(void) { return pending(__func__, 0), nullptr; }
STANDIN int calibrationUpdateFrequency(void) { PASS(0); }
STANDIN int calibrationSetOffset(int, int) { PASS(-1); }
STANDIN int calibrationGetOffset(int) { PASS(-1); }
STANDIN int calibrationEnableDefaultOffset(int on) { PASS(on); }
STANDIN int calibrationGetBadPixels(int *) { PASS(-1); }
STANDIN int calibrationDRNU(void) { PASS(-1); }

STANDIN int imageCorrectionTransform(void) { PASS(0); }
STANDIN int imageCorrectionEnable(int on) { PASS(on); }
STANDIN int imageSetNumberOfPicture(int n) { PASS(n); }
STANDIN int imageSetProcessing(int mode) { PASS(mode); }
STANDIN int imageDifferenceSetThreshold(int t) { PASS(t); }
STANDIN int hysteresisSetThresholds(int, int width) { PASS(width); }
STANDIN int calculateLoadGrayscaleGainOffset(void) { PASS(-1); }
STANDIN int calculationCalibrateGrayscale(int) { PASS(-1); }
STANDIN int setCorrectGrayscaleOffset(int on) { PASS(on); }
STANDIN int setCorrectGrayscaleGain(int on) { PASS(on); }
STANDIN int calculationFlimCalibration(const char *) { PASS(-1); }
STANDIN int calculationCorrectFlimOffset(int on) { PASS(on); }
STANDIN int calculationCorrectFlimGain(int on) { PASS(on); }
STANDIN int calculateIsFlimCorrectionAvailable(void) { PASS(0); }

}  // extern "C"
