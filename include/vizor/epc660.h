/*
 * The EPC processing library: the epc660/epc635 chain that turns raw DCS
 * frames into sorted distance, amplitude and gray images, with its chip
 * configuration, corrections, filters and calibration tables.
 *
 * The library keeps one module-wide instance of its state per process and
 * serves one camera at a time: the EPC default device, the device whose EPC
 * driver was initialised last. It is not thread-safe: one thread at a time
 * may call it. Results are handed out as pointers to module-wide buffers
 * that the next call of the same function overwrites.
 *
 * Distance codes are unsigned 16-bit: 0 to 29999 for one modulation period,
 * 65300 amplitude too low, 65400 saturated, 65500 ADC overflow; values above
 * 65299 are markers that every later stage passes through unchanged. Sorted
 * images are row-major, top row first. Per-pixel state arrays hold 82656
 * entries (328 x 252). Part types: 2 epc660 TOF, 3 epc660 FLIM, 4 epc635
 * TOF, 5 epc635 FLIM.
 *
 * Every function survives every argument: NULL pointers and out-of-range
 * values give the failure value named in its group, never a crash.
 */
#ifndef VIZOR_EPC660_H
#define VIZOR_EPC660_H

#include <stdbool.h>
#include <stdint.h>

#include "vizor/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ==== device access shims (pru, i2c, adc, gpio, board) ==== */

/* ==== end of device access shims ==== */


/* ==== configuration and parameter file (config) ==== */

/* ==== end of configuration ==== */


/* ==== DLL, illumination and FLIM timing control ==== */

/* ==== end of timing control ==== */


/* ==== temperature readout ==== */

/* ==== end of temperature readout ==== */


/* ==== API facade and readout control (api, readOut) ==== */

/* ==== end of API facade ==== */


/* ==== distance and amplitude calculation ==== */

/* ==== end of calculation ==== */


/* ==== per-pixel corrections ==== */

/*
 * Corrections of sorted distance images (columns x rows of the image source,
 * at most 82656 entries). Codes above 65299 are markers and pass unchanged.
 * Functions taking an image return 0, or -1 when the image is NULL.
 */

/* DRNU mode: 0 off, 1 offset table, 2 distance-image interpolation (other
 * values are refused and the mode kept). Writes chip registers 113-115 and
 * 174 and sets the default phase offset (mode 0: 0; otherwise box offset -
 * DRNU offset, also made the current phase offset). Returns the mode. */
VZ_API int calculationSetEnableDRNU(int mode);
VZ_API int calculationGetEnableDRNU(void);
/* Temperature compensation switch (0/1); writes the same four registers. */
VZ_API int calculationSetEnableTemperature(int on);
VZ_API int calculationGetEnableTemperature(void);
/* Ambient-light correction switch (0/1) of the raw DCS samples. */
VZ_API int calculationSetEnableAmbientLight(int on);
VZ_API int calculationGetEnableAmbientLight(void);
/* Working ambient-light factor (default 250.0). */
VZ_API double calculationSetAmbientLightFactor(double factor);
VZ_API double calculationGetAmbientLightFactor(void);
/* Unscaled ambient-light factor, kept in the parameter file (default 250.0). */
VZ_API double calculationSetAmbientLightFactorOrg(double factor);
VZ_API double calculationGetAmbientLightFactorOrg(void);
/* Temperature difference used while the ambient-light correction is on. */
VZ_API int16_t calculationSetDiffTemp(int16_t diff);

/* DRNU mode 1 (offset table, 50 steps); does nothing in mode 0. */
VZ_API int calculationCorrectDRNU(uint16_t *image);
/* DRNU mode 2: interpolates every code of source between the calibration
 * distance images and stores the result in destination (both may be the
 * same image). Below the smallest calibrated distance a pixel becomes 65300,
 * above the largest 65500; pixels outside the calibration image are copied
 * unchanged. */
VZ_API int calculationCorrectDRNU2_opt(uint16_t *destination, uint16_t *source);
/* Stand-alone temperature compensation when it is enabled. */
VZ_API int calculationTemperatureCompensation(uint16_t *image);
/* Adds the phase offset of the current DRNU mode, wrapping into 0..29999
 * (65300, 65400 and 65500 stay). */
VZ_API int calculationAddOffset(uint16_t *image);
/* Ambient-light correction of one DCS sample with its grayscale value. */
VZ_API uint16_t calculationAmbientDCSCorrectionPixel(uint16_t dcs, uint16_t gray);
/* Corrects the first two DCS planes (samplesPerDCS samples apart, at most
 * 4 x 82656) of a sorted DCS image in place; -1 on a bad argument. */
VZ_API int calculationAmbientDCSCorrection(uint16_t *image, int samplesPerDCS);

/* Kalman mode: 0 off, 1 simple, 2 variance-driven, 3 adaptive gain; zeroes
 * every pixel's sample counter. Returns the mode. */
VZ_API int calculationEnableKalman(int mode);
/* Fills the error covariance of every pixel with a tiny positive value. */
VZ_API int calculationInitKalman(void);
/* Filters every code up to 29999 of a sorted distance image in place. */
VZ_API int calculationFalmanFiltering(uint16_t *image);
/* One step of the simple filter at pixel index (0..82655) with gain;
 * returns the new estimate (the measurement for an index out of range). */
VZ_API double calculationSimpleKalmanFilter(double measurement, int index, double gain);
/* One step of the variance-driven filter; returns the new estimate. */
VZ_API double calculationKalmanFilter(double measurement, int index, double q, double variance);
/* Running-variance step of mode 2 with sample count n; returns the variance. */
VZ_API double calculationVariance(double x, int n, int index);
/* Gain K (also the ceiling of mode 3), Kdiff, process noise Q. */
VZ_API double calculationSetKalmanK(double k);
VZ_API double calculationSetKalmanKdiff(double kdiff);
VZ_API double calculationSetKalmanQ(double q);
/* Threshold 1 (which == 1) or 2 (any other which); returns t. */
VZ_API int calculationSetKalmanThreshold(int which, int t);
VZ_API int calculationSetKalmanNumCheck(int n);
/* y0 + dy x (x - x0) / (x1 - x0) (y0 when x1 == x0), rounded half away
 * from zero. */
VZ_API int calculationInterpolate(double x, double x0, double y0, double x1, double dy);

/* ==== end of per-pixel corrections ==== */


/* ==== DRNU calibration tables and files ==== */

/*
 * Calibration files live in the current directory; their names carry the
 * wafer and chip ID and a frequency suffix ("_20.", "_10." or "_5.").
 * Loaders return 0 or -1; a file that is missing, truncated, oversized or
 * holds absurd values is refused with a log line and the previous values
 * stay. Name buffers hold 256 bytes.
 */

/* Calibration image geometry (1..328 x 1..252; other values refused). */
VZ_API int calibrateSetWidth(int width);
VZ_API int calibrateGetWidth(void);
VZ_API int calibrateSetHeight(int height);
VZ_API int calibrateGetHeight(void);
/* Number of calibration steps, 0..50. */
VZ_API int calibrateSetNumDistances(int n);
VZ_API int calibrateGetNumDistances(void);
VZ_API int calibrationGetOffsetDRNU(void);
VZ_API int calibrateGetTempCalib(void);
VZ_API double calibrateGetStepCalMM(void);
/* Speed of light / 2 in m/s (default 149896229.0; non-positive refused). */
VZ_API double calibrateSetSpeedOfLightDiv2(double value);
VZ_API double calibrateGetSpeedOfLightDiv2(void);
/* Temperature coefficient in mm per unit by part type (1.7 epc660,
 * 1.56131 epc635 for part types 4 and 5). */
VZ_API double calibrateSetTempCoef(double coef, int partType);
VZ_API double calibrateGetTempCoef(int partType);
/* Frames averaged per step (default 25; non-positive refused). */
VZ_API int calibrateSetDRNUAverage(int n);
VZ_API int calibrateGetDRNUAverage(void);
/* Delay between frames in microseconds (default 200000; 1000000 and more
 * are not waited). */
VZ_API int calibrateSetDRNUCalibrateDelay(int us);
VZ_API int calibrateGetDRNUCalibrateDelay(void);
/* Allowed step-temperature drift of a calibration pass (default 7). */
VZ_API int calibrateSetDRNUDiffTemp(int diff);
VZ_API int calibrateGetDRNUDiffTemp(void);
/* Bad-pixel search area: stores n - 12 rows / n - 8 columns. */
VZ_API int calibrationSetNumberOfRowsMax(int n);
VZ_API int calibrationSetNumberOfColumnsMax(int n);
VZ_API int calibrateGetoffsetPhaseDefaultFPN(void);

/* Phase offset added to every distance (codes). */
VZ_API int calibrationSetOffsetPhase(int offset);
VZ_API int calibrationGetOffsetPhase(void);
VZ_API int calibrationSetDefaultOffsetPhase(int offset);
/* On copies the default phase offset into the phase offset. */
VZ_API int calibrationEnableDefaultOffset(int on);
VZ_API int calibrationIsDefaultEnabled(void);
/* Phase offset from centimetres; returns it. */
VZ_API int calibrationSetOffset(int cm, int deviceAddress);
/* Default phase offset in centimetres. */
VZ_API int calibrationGetOffset(int deviceAddress);

/* Offset table entry [step][row][column] (0 outside 50 x 252 x 328). */
VZ_API int calibrateGetDRNULutPixel(int step, int row, int column);
/* Distance-image value of the current frequency mode; index = step x
 * width x height + pixel (0 outside the table). */
VZ_API uint16_t calibrateGetDistImagePixel(int index);

/* The whole calibration run on the EPC default device; 0 on success, -1
 * when a pass cannot be completed (see the log). */
VZ_API int calibrationDRNU(void);
/* Captures and averages n frames at one delay-line step. */
VZ_API int calibrationCreateDRNU_LUT(int step, int framesToAverage);
/* Builds the offset table from the distance images with a step of
 * stepTenthsOfMm / 10 mm and saves it; 0. */
VZ_API int calibrationDRNU_FromFile(int stepTenthsOfMm);
/* Searches the step (27.0 to 34.0 cm) that makes the table flattest; 1 on
 * success, 0 when none was found. */
VZ_API int calibrationAutoRenew(void);
/* Variance of the step averages for a trial step and frequency mode. */
VZ_API float calibrationCalcDRNUStd(int stepTenthsOfMm, int mode);
/* Rebuild (n < 0: with a step search; n == 0: current step; else n / 10
 * mm) or show the table; return a module-wide block of 50 step averages
 * and 50 step temperatures (signed 16-bit). */
VZ_API int16_t *calibrateRenewDRNU(int n);
VZ_API int16_t *calibrateShowDRNU(void);
/* Logs the delay calibration that the current step implies. */
VZ_API int calibrationTestStep(void);

VZ_API int calibrationLoadDRNU_LUT(void);
/* Mode 1: the "_10." files, mode 0: the "_20." files. */
VZ_API int calibrationLoadDistanceImages(int mode);
/* The step-temperature table (50 entries), or NULL without the file. */
VZ_API int16_t *calibrationLoadTemperatureDRNU(void);
/* Copies a table slot (0 or 1) into the offset table; its DRNU offset. */
VZ_API int calibrationChangeDRNU_LUT(int slot);
VZ_API int calibrationUpdateFrequency(void);

VZ_API int calibrationSaveDRNU_LUT(void);
VZ_API int calibrationSaveTemperatureDRNU(void);
VZ_API int calibrationSaveDistanceImages(void);
VZ_API int calibrationSaveDistanceImagesTXT(void);
VZ_API int calibrationSaveDRNU_LUT_TestXY(const char *path);
VZ_API int calibrationSaveDRNU_LUT_TestYX(const char *path);

/* File names into a 256-byte buffer; return mode. */
VZ_API int calibrationGetDistanceImagesName(char *buffer, int mode);
VZ_API int calibrationGetParamName(char *buffer, int mode);
/* 0 when the distance-image file of the mode exists, -1 otherwise. */
VZ_API int calibrationDataFileCheck(int mode);

/* Offset table analysis. */
VZ_API double calibrationFindLine(int step);
VZ_API int calibrationLinearRegresion(double *slope, double *intercept);
VZ_API int calibrationCorrectDRNU_LUT(double slope, double intercept);
VZ_API int calibrationErrorCurveEndIndex(void);

/* Bad-pixel search on the device: count of bad pixels, or -1. */
VZ_API int calibrationSearchBadPixelsWithMin(void);
/* Reads the bad-pixel list into values (room for 2 x 82656 ints): the
 * number of values, or -1 (missing file, malformed line, too many). */
VZ_API int calibrationGetBadPixels(int *values);

/* ==== end of DRNU calibration ==== */


/* ==== image processing ==== */

/* ==== end of image processing ==== */


/* ==== grayscale and FLIM calibration ==== */

/* ==== end of grayscale and FLIM calibration ==== */

#ifdef __cplusplus
}
#endif

#endif /* VIZOR_EPC660_H */
