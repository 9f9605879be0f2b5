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
/*
 * Distance and amplitude calculation: turns the image source's raw DCS frame
 * into sorted distance and amplitude images, and sorts gray and DCS frames
 * into image order.
 *
 * Sorted-image entry points store a pointer to a module-wide buffer in *out
 * (valid until the next call of the same function) and return the number of
 * 16-bit values: pixels for distance or amplitude, 2 x pixels for distance
 * followed by amplitude, samples for gray and DCS images. They return 0 (and
 * leave *out unchanged) for a NULL out, and 0 with *out set for a geometry
 * the calculation cannot hold (more than 82656 pixels, more than 255 rows,
 * halves other than 1 or 2). A frame that carries fewer samples per pixel
 * than the mode needs yields the pixels it carries; one that carries more
 * yields at most the image's pixels.
 *
 * Distance pipeline (calculationDistanceSorted, ...AndAmplitudeSorted): the
 * variant chosen by the mode flags, then the defect, spatial, temporal and
 * difference filters, the Kalman filters, the DRNU or temperature correction
 * and the phase offset, in this order. calculationAmplitudeSorted runs the
 * variant only.
 *
 * Variants calc{Def,MGX,PNDef,PNMGX}{No,}PiDelayGetDataSorted(type, out):
 * type 0 distance, 1 amplitude, 2 distance followed by amplitude (any other
 * type is treated as 0). Codes: 0..29999 distance or amplitude, 65300
 * amplitude below the hysteresis threshold, 65400 saturated, 65500 ADC
 * overflow.
 */
VZ_API int calculationDistanceSorted(uint16_t **out);
VZ_API int calculationDistanceAndAmplitudeSorted(uint16_t **out);
VZ_API int calculationAmplitudeSorted(uint16_t **out);
VZ_API int calculationBWSorted(uint16_t **out);
VZ_API int calculationDCSSorted(uint16_t **out);
/* Takes the image source's gray frame, masks it in place (FLIM mode: splits
 * it into the two gate images), stores the frame pointer in *frame and
 * returns its sample count (0 for a NULL frame). */
VZ_API int calculationBW(uint16_t **frame);
VZ_API int calcBWSorted(uint16_t **out);

VZ_API int calcDefNoPiDelayGetDataSorted(int type, uint16_t **out);
VZ_API int calcDefPiDelayGetDataSorted(int type, uint16_t **out);
VZ_API int calcMGXNoPiDelayGetDataSorted(int type, uint16_t **out);
VZ_API int calcMGXPiDelayGetDataSorted(int type, uint16_t **out);
VZ_API int calcPNDefNoPiDelayGetDataSorted(int type, uint16_t **out);
VZ_API int calcPNDefPiDelayGetDataSorted(int type, uint16_t **out);
VZ_API int calcPNMGXNoPiDelayGetDataSorted(int type, uint16_t **out);
VZ_API int calcPNMGXPiDelayGetDataSorted(int type, uint16_t **out);

/* Mode flags (setters return the value set). Pi delay (default 1): four
 * samples per pixel, else two; dual MGX (0): sample pairs from alternating
 * row sets; PN (0): pseudo-noise modulation; HDR (0): stored only. */
VZ_API int calculationEnablePiDelay(int enable);
VZ_API int calculationIsPiDelay(void);
VZ_API int calculationEnableDualMGX(int enable);
VZ_API int calculationIsDualMGX(void);
VZ_API int calculationEnablePN(int enable);
VZ_API int calculationIsPN(void);
VZ_API int calculationEnableHDR(int enable);
VZ_API int calculationIsHDR(void);
VZ_API void calculationEnableLinear(void); /* no effect */

/*
 * Per-pixel calculator on module-wide registers. calculatorInit(divider)
 * sets amplitudeDivider and copies the image source's minimum amplitude to
 * minAmplitude (returned). calculatorSetArgs2DCS/4DCS load one pixel;
 * calculatorGetAmp* return its amplitude (or a marker), calculatorGetDistAndAmp*
 * apply the hysteresis test and return amplitude << 16 | distance (a marker
 * in both halves). An amplitudeDivider of 0 counts as 1.
 */
VZ_API extern uint16_t pixelDCS0;
VZ_API extern uint16_t pixelDCS1;
VZ_API extern uint16_t pixelDCS2;
VZ_API extern uint16_t pixelDCS3;
VZ_API extern int arg1;
VZ_API extern int arg2;
VZ_API extern int8_t amplitudeDivider;
VZ_API extern int minAmplitude;
VZ_API extern int indexMemory;
VZ_API extern int indexCal;

VZ_API int calculatorInit(int divider);
VZ_API void calculatorSetArgs2DCS(uint16_t dcs0, uint16_t dcs1, int indexMem, int indexCalib);
VZ_API void calculatorSetArgs4DCS(uint16_t dcs0, uint16_t dcs1, uint16_t dcs2, uint16_t dcs3,
                                  int indexMem, int indexCalib);
VZ_API uint16_t calculatorGetAmpSine(void);
VZ_API uint16_t calculatorGetAmpPN(void);
VZ_API uint32_t calculatorGetDistAndAmpSine(void);
VZ_API uint32_t calculatorGetDistAndAmpPN(void);
VZ_API int calculatorSetPixelMask(uint16_t mask); /* default 0x0FFF */
VZ_API uint16_t calculatorGetPixelMask(void);

/* Arctangent table (4096 entries over 0..45 degrees in phase codes) and the
 * lookup: phase code of the vector (x, y), one period = 30000 codes. */
VZ_API int atan2lut_Init(void);
VZ_API int atan2_lut(int y, int x);

/* Readout-order iterators over the samples of one DCS plane. */
typedef struct iterator_position {
    uint16_t column;
    uint8_t row;
    int indexIn;  /* index of the sample in the plane */
    int indexOut; /* index of the pixel in the sorted image */
} iterator_position_t;

typedef struct iterator_mgx_position {
    uint16_t column;
    uint8_t row;
    int indexIn;
    int indexOut;
    int count;   /* running output count */
    int topHalf; /* 1 for the top half of a two-half readout */
} iterator_mgx_position_t;

VZ_API void iteratorDefaultInit(int count, int columns, int rows);
VZ_API bool iteratorDefaultHasNext(void);
VZ_API void iteratorDefaultNext(iterator_position_t *position);
VZ_API void iteratorMGXInit(int count, int columns, int rows);
VZ_API bool iteratorMGXHasNext(void);
VZ_API void iteratorMGXNext(iterator_mgx_position_t *position);

/* Validity checks. Saturation (default off): a sample equal to 4095. ADC
 * overflow (default off): a sample below the lower (default 1) or above the
 * upper limit (default 4094). Setters return the value set. */
VZ_API void saturationSet1DCS(uint16_t s);
VZ_API void saturationSet2DCS(uint16_t s0, uint16_t s1);
VZ_API void saturationSet4DCS(uint16_t s0, uint16_t s1, uint16_t s2, uint16_t s3);
VZ_API int saturationCheck(void);
VZ_API int saturationEnable(int enable);
VZ_API int saturationSetSaturationBit(void); /* no effect; returns 0 */
VZ_API int adcOverflowCheck1DCS(uint16_t s);
VZ_API int adcOverflowCheck2DCS(uint16_t s0, uint16_t s1);
VZ_API int adcOverflowCheck4DCS(uint16_t s0, uint16_t s1, uint16_t s2, uint16_t s3);
VZ_API int adcOverflowEnable(int enable);
VZ_API int adcOverflowIsEnabled(void);
VZ_API int adcOverflowSetMin(uint16_t value);
VZ_API uint16_t adcOverflowGetMin(void);
VZ_API int adcOverflowSetMax(uint16_t value);
VZ_API uint16_t adcOverflowGetMax(void);

/* Amplitude hysteresis of pixel `index` (0..82655): 1 pass, 0 fail; updates
 * the pixel's state. An index outside the state array passes only at or
 * above the upper threshold and stores nothing. */
VZ_API int hysteresisUpdate(int index, int amplitude);

/* PN generator: length 1..7 and taps 0..4 (clamped) select the feedback word
 * written to registers 140/141; register 146 bits 0-2 get the length.
 * Returns the word. */
VZ_API int pnSelectPolynomial(int length, int taps, int deviceAddress);
/* Reads the 256 chip registers into dst (256 entries); 0, or -1 when the read
 * fails (dst unchanged) or dst is NULL. */
VZ_API int dumpAllRegisters(int deviceAddress, uint16_t *dst);
VZ_API uint16_t setEnableImaging(int enable);

/* ==== end of calculation ==== */


/* ==== per-pixel corrections ==== */

/* ==== end of per-pixel corrections ==== */


/* ==== DRNU calibration tables and files ==== */

/* ==== end of DRNU calibration ==== */


/* ==== image processing ==== */

/* ==== end of image processing ==== */


/* ==== grayscale and FLIM calibration ==== */

/* ==== end of grayscale and FLIM calibration ==== */

#ifdef __cplusplus
}
#endif

#endif /* VIZOR_EPC660_H */
