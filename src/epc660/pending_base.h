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
