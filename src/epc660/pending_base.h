// TEMPORARY: declarations of functions of the calculation, correction,
// calibration and image modules, which are built on other branches. The
// base modules call them by name; pending_base.cpp holds stand-ins until the
// owners' modules land. The integrator deletes both files then (the public
// header declares the real functions).
#pragma once

#include <cstdint>

extern "C" {

// distance and amplitude calculation
int calculationIsHDR(void);
int calculationIsPiDelay(void);
int calculationIsDualMGX(void);
int calculationEnableHDR(int on);
int calculationEnablePiDelay(int on);
int calculationEnableDualMGX(int on);
int calculationEnablePN(int on);
int calculationBW(uint16_t **data);
int calculationBWSorted(uint16_t **data);
int calculationDCSSorted(uint16_t **data);
int calculationDistanceSorted(uint16_t **data);
int calculationAmplitudeSorted(uint16_t **data);
int calculationDistanceAndAmplitudeSorted(uint16_t **data);
int calculatorSetPixelMask(uint16_t mask);
int saturationSetSaturationBit(void);
int saturationEnable(int on);
int adcOverflowEnable(int on);
int adcOverflowSetMin(uint16_t value);
int adcOverflowSetMax(uint16_t value);
int atan2lut_Init(void);
int pnSelectPolynomial(int length, int taps, int deviceAddress);
uint16_t setEnableImaging(int on);

// per-pixel corrections
int calculationSetEnableDRNU(int mode);
int calculationSetEnableTemperature(int on);
int calculationSetEnableAmbientLight(int on);
double calculationSetAmbientLightFactor(double factor);
double calculationSetAmbientLightFactorOrg(double factor);
double calculationGetAmbientLightFactorOrg(void);
int calculationInitKalman(void);
int calculationEnableKalman(int mode);
int calculationSetKalmanNumCheck(int n);
int calculationSetKalmanThreshold(int which, int threshold);

// DRNU calibration
int calibrateSetWidth(int width);
int calibrateSetHeight(int height);
int calibrateSetNumDistances(int n);
int calibrateSetDRNUDiffTemp(int diff);
int calibrateGetDRNUDiffTemp(void);
int calibrateSetDRNUCalibrateDelay(int delay);
int calibrateGetDRNUCalibrateDelay(void);
int calibrateSetDRNUAverage(int frames);
int calibrateGetDRNUAverage(void);
double calibrateSetTempCoef(double coefficient, int partType);
double calibrateGetTempCoef(int partType);
double calibrateSetSpeedOfLightDiv2(double value);
double calibrateGetSpeedOfLightDiv2(void);
int16_t *calibrateRenewDRNU(int step);
int16_t *calibrateShowDRNU(void);
int calibrationSetNumberOfColumnsMax(int n);
int calibrationSetNumberOfRowsMax(int n);
int calibrationLoadDRNU_LUT(void);
int calibrationLoadDistanceImages(int mode);
int16_t *calibrationLoadTemperatureDRNU(void);
int calibrationUpdateFrequency(void);
int calibrationSetOffset(int cm, int deviceAddress);
int calibrationGetOffset(int deviceAddress);
int calibrationEnableDefaultOffset(int on);
int calibrationGetBadPixels(int *values);
int calibrationDRNU(void);

// image processing, grayscale and FLIM calibration
int imageCorrectionTransform(void);
int imageCorrectionEnable(int on);
int imageSetNumberOfPicture(int n);
int imageSetProcessing(int mode);
int imageDifferenceSetThreshold(int threshold);
int hysteresisSetThresholds(int minAmplitude, int width);
int calculateLoadGrayscaleGainOffset(void);
int calculationCalibrateGrayscale(int step);
int setCorrectGrayscaleOffset(int on);
int setCorrectGrayscaleGain(int on);
int calculationFlimCalibration(const char *gateName);
int calculationCorrectFlimOffset(int on);
int calculationCorrectFlimGain(int on);
int calculateIsFlimCorrectionAvailable(void);

}  // extern "C"
