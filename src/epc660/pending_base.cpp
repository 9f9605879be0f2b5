// TEMPORARY stand-ins for functions of the calculation, correction,
// calibration and image modules, which other branches build. They keep the
// few values the base modules and their tests need (mode flags, tuning
// values of the parameter file) and otherwise report, with a debug line, that
// the real function is not built yet. The integrator deletes this file and
// pending_base.h when the owners' modules land.
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

extern "C" {

int calculationIsHDR(void) { return g_pending.hdr; }
int calculationIsPiDelay(void) { return g_pending.pi_delay; }
int calculationIsDualMGX(void) { return g_pending.dual_mgx; }
int calculationEnableHDR(int on) { return g_pending.hdr = on; }
int calculationEnablePiDelay(int on) { return g_pending.pi_delay = on; }
int calculationEnableDualMGX(int on) { return g_pending.dual_mgx = on; }
int calculationEnablePN(int on) { return g_pending.pn = on; }
// The plain grayscale reading: take one image and keep the 12 sample bits.
int calculationBW(uint16_t **data) {
    uint16_t *p = nullptr;
    const int n = pruGetImage(&p);
    if (configGetCurrentMode() != 2)
        for (int i = 0; i < n; ++i) p[i] &= 0x0FFF;
    if (data) *data = p;
    return n;
}
int calculationBWSorted(uint16_t **) { PASS(-1); }
int calculationDCSSorted(uint16_t **) { PASS(-1); }
int calculationDistanceSorted(uint16_t **) { PASS(-1); }
int calculationAmplitudeSorted(uint16_t **) { PASS(-1); }
int calculationDistanceAndAmplitudeSorted(uint16_t **) { PASS(-1); }
int calculatorSetPixelMask(uint16_t mask) { PASS(mask); }
int saturationSetSaturationBit(void) { PASS(0); }
int saturationEnable(int on) { PASS(on); }
int adcOverflowEnable(int on) { PASS(on); }
int adcOverflowSetMin(uint16_t v) { PASS(v); }
int adcOverflowSetMax(uint16_t v) { PASS(v); }
int atan2lut_Init(void) { PASS(0); }
int pnSelectPolynomial(int, int, int) { PASS(-1); }
uint16_t setEnableImaging(int on) { return uint16_t(pending(__func__, on)); }
int hysteresisUpdateThresholds(int a) { PASS(a); }

int calculationSetEnableDRNU(int mode) { PASS(mode); }
int calculationSetEnableTemperature(int on) { PASS(on); }
int calculationSetEnableAmbientLight(int on) { PASS(on); }
double calculationSetAmbientLightFactor(double f) { return g_pending.ambient = f; }
double calculationSetAmbientLightFactorOrg(double f) { return g_pending.ambient_org = f; }
double calculationGetAmbientLightFactorOrg(void) { return g_pending.ambient_org; }
int calculationInitKalman(void) { PASS(0); }
int calculationEnableKalman(int mode) { PASS(mode); }
int calculationSetKalmanKdiff(double) { PASS(0); }
int calculationSetKalmanK(double) { PASS(0); }
int calculationSetKalmanQ(double) { PASS(0); }
int calculationSetKalmanNumCheck(int n) { PASS(n); }
int calculationSetKalmanThreshold(int, int t) { PASS(t); }

int calibrateSetWidth(int w) { PASS(w); }
int calibrateSetHeight(int h) { PASS(h); }
int calibrateSetNumDistances(int n) { PASS(n); }
int calibrateSetDRNUDiffTemp(int v) { return g_pending.diff_temp = v; }
int calibrateGetDRNUDiffTemp(void) { return g_pending.diff_temp; }
int calibrateSetDRNUCalibrateDelay(int v) { return g_pending.drnu_delay = v; }
int calibrateGetDRNUCalibrateDelay(void) { return g_pending.drnu_delay; }
int calibrateSetDRNUAverage(int v) { return g_pending.drnu_average = v; }
int calibrateGetDRNUAverage(void) { return g_pending.drnu_average; }
double calibrateSetTempCoef(double c, int type) {
    return (type == 4 || type == 5 ? g_pending.coef635 : g_pending.coef660) = c;
}
double calibrateGetTempCoef(int type) {
    return type == 4 || type == 5 ? g_pending.coef635 : g_pending.coef660;
}
double calibrateSetSpeedOfLightDiv2(double v) { return g_pending.c2 = v; }
double calibrateGetSpeedOfLightDiv2(void) { return g_pending.c2; }
int16_t *calibrateRenewDRNU(int) { return pending(__func__, 0), g_pending.drnu_block; }
int16_t *calibrateShowDRNU(void) { return pending(__func__, 0), g_pending.drnu_block; }
int calibrationSetNumberOfColumnsMax(int n) { PASS(n); }
int calibrationSetNumberOfRowsMax(int n) { PASS(n); }
int calibrationLoadDRNU_LUT(void) { PASS(-1); }
int calibrationLoadDistanceImages(int) { PASS(-1); }
int16_t *calibrationLoadTemperatureDRNU(void) { return pending(__func__, 0), nullptr; }
int calibrationUpdateFrequency(void) { PASS(0); }
int calibrationSetOffset(int, int) { PASS(-1); }
int calibrationGetOffset(int) { PASS(-1); }
int calibrationEnableDefaultOffset(int on) { PASS(on); }
int calibrationGetBadPixels(int *) { PASS(-1); }
int calibrationDRNU(void) { PASS(-1); }

int imageCorrectionTransform(void) { PASS(0); }
int imageDifferenceInit(void) { PASS(0); }
int imageCorrectionEnable(int on) { PASS(on); }
int imageSetNumberOfPicture(int n) { PASS(n); }
int imageSetProcessing(int mode) { PASS(mode); }
int imageDifferenceSetThreshold(int t) { PASS(t); }
int hysteresisSetThresholds(int, int width) { PASS(width); }
int calculateLoadGrayscaleGainOffset(void) { PASS(-1); }
int calculationCalibrateGrayscale(int) { PASS(-1); }
int setCorrectGrayscaleOffset(int on) { PASS(on); }
int setCorrectGrayscaleGain(int on) { PASS(on); }
int calculationFlimCalibration(const char *) { PASS(-1); }
int calculationCorrectFlimOffset(int on) { PASS(on); }
int calculationCorrectFlimGain(int on) { PASS(on); }
int calculateIsFlimCorrectionAvailable(void) { PASS(0); }

}  // extern "C"
