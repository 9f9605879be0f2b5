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

/* ==== end of per-pixel corrections ==== */


/* ==== DRNU calibration tables and files ==== */

/* ==== end of DRNU calibration ==== */


/* ==== image processing ==== */

/*
 * Filters on the sorted distance image, called by the distance pipeline in
 * this order: defect replacement, spatial averaging, temporal averaging,
 * difference test. Every filter is off by default. Images are distance
 * codes of the current geometry: width = pruGetNCols(), height = rows per
 * half x halves (halved with dual MGX); 65300 marks a rejected pixel. Image
 * arguments may be NULL (nothing happens); a non-NULL image must hold the
 * current geometry's pixels.
 */

/* Loads a defect list (one defect per line: x in characters 0-2, y in 4-6,
 * neighbour code W, NW, N, NE, E, SE, S, SW from character 8), replacing the
 * previous list, and rebuilds the transformed list for the current region of
 * interest. At most 1024 entries; malformed lines are skipped with one log
 * line each. Returns the result of closing the file, 0 when it cannot be
 * opened (the list is then empty). */
VZ_API int imageCorrectionLoad(const char *path);
/* Switches defect replacement on (non-zero) or off; returns on. */
VZ_API int imageCorrectionEnable(int on);
/* Maps the loaded defects into the current region of interest, binning and
 * row reduction; returns the number of loaded entries. */
VZ_API int imageCorrectionTransform(void);
/* Replaces every mapped defect by its listed neighbour, in list order. */
VZ_API void imageCorrect(uint16_t *image);

/* Spatial mode: 1 four-neighbour, 2 eight-neighbour averaging, 0 and 3 off;
 * values above 3 become 3. Returns the stored mode. */
VZ_API int imageSetProcessing(int mode);
/* Runs the spatial filter of the current mode. */
VZ_API void imageProcess(uint16_t *image);
VZ_API void imageAverageFourConnectivity(uint16_t *image);
VZ_API void imageAverageEightConnectivity(uint16_t *image);

/* Temporal averaging over n pictures (0 stores 1; below 2 it is off).
 * Returns the stored value. */
VZ_API int imageSetNumberOfPicture(int n);
VZ_API void imageAverage(uint16_t *image);

/* Difference test: with threshold t > 0 the first frame after a threshold
 * change or imageDifferenceInit() becomes the reference; later pixels closer
 * than t to it become 65300. 0 switches the test off. Returns t. */
VZ_API int imageDifferenceSetThreshold(int t);
VZ_API void imageDifferenceInit(void);
VZ_API void imageDifference(uint16_t *image);

/* Amplitude hysteresis: upper threshold = amplitude, lower = amplitude -
 * width; both clear the per-pixel state. The first returns width. */
VZ_API int hysteresisSetThresholds(int amplitude, int width);
VZ_API void hysteresisUpdateThresholds(int amplitude);
/* The pixel's hysteresis state (1 = currently valid); 0 for an index outside
 * 0..82655. */
VZ_API int hysteresisIsEnabled(int index);

/* ==== end of image processing ==== */


/* ==== grayscale and FLIM calibration ==== */

/*
 * Per-pixel dark offset and gain for grayscale images and for the two FLIM
 * gates (gate 0 = mga, 1 = mgb), built from bright and dark mean images over
 * 100 frames, kept in text files in the current directory and applied to the
 * sorted gray image. Tables are indexed by the calibration index of a pixel:
 * (top-left y - 6 + row) x calibration width + (top-left x - 4) + column;
 * pixels whose index falls outside the calibration image stay uncorrected.
 * Mean-image buffers (`values`) must hold 82656 ints. Gate numbers other
 * than 0 and 1 are refused (failure value, nothing changes).
 */

/* Correction switches; each returns the value stored. */
VZ_API int setCorrectGrayscaleOffset(int on);
VZ_API int setCorrectGrayscaleGain(int on);
VZ_API int calculationCorrectFlimOffset(int on);
VZ_API int calculationCorrectFlimGain(int on);
VZ_API int calculateSetFlimCorrectionAvailable(int on);
VZ_API int calculateIsFlimCorrectionAvailable(void);

/* Applies the grayscale offset and gain (as switched on) to a sorted gray
 * image; marker codes stay. */
VZ_API void calculateGrayscaleCorrection(uint16_t *image);
/* Applies the FLIM offset and gain to the two gate planes of a sorted FLIM
 * image of `samples` values (plane 1 starts at samples / 2). */
VZ_API void calculationFlimCorrection(uint16_t *image, int samples);

/* Grayscale calibration: step 1 records the bright mean into
 * "./grayscale_temp_image.txt"; any other step takes the dark mean, computes
 * gain and offset and saves the gain/offset file. Returns 0. */
VZ_API int calculationCalibrateGrayscale(int step);
/* Mean of `count` sorted gray frames per pixel (the chip is switched to
 * grayscale first); count <= 0 is refused and values stay. */
VZ_API void calculationGrayscaleMean(int count, int *values);
/* Gain and offset from the bright and dark grayscale means. */
VZ_API void calculationGrayscaleGainOffset(void);
/* Mean-image files: 0, or -1 when the file cannot be opened (or, loading, a
 * row is missing). */
VZ_API int calculateSaveGrayscaleImage(const int *values);
VZ_API int calculateLoadGrayscaleImage(int *values);
/* The gain/offset file of this chip: 0, or -1 when it cannot be opened. The
 * loader resets the tables to gain 1.0 and offset 0.0 first. */
VZ_API int calculateSaveGrayscaleGainOffset(void);
VZ_API int calculateLoadGrayscaleGainOffset(void);

/* FLIM calibration of gate "mga" (any other text: mgb), bright with the
 * current illumination and dark with it switched off. Returns 0. */
VZ_API int calculationFlimCalibration(const char *gateName);
/* Stepwise FLIM calibration: 1 bright mga, 3 bright mgb, 0 dark mga, other
 * values dark mgb. Returns 0. */
VZ_API int calculationCalibrateFlim(int step);
/* Mean of `count` frames of one gate plane; returns the frame's sample
 * count (0 when nothing was measured). */
VZ_API int calculationFlimMean(int count, int *values, int gate);
VZ_API void calculationFlimGainOffset(int gate);
VZ_API int calculateSaveFlimImage(const int *values);
VZ_API int calculateLoadFlimImage(int *values);
VZ_API int calculateSaveFlimGainOffset(int gate);
VZ_API int calculateLoadFlimGainOffset(int gate);

/* ==== end of grayscale and FLIM calibration ==== */

#ifdef __cplusplus
}
#endif

#endif /* VIZOR_EPC660_H */
