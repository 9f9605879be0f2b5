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

/* ==== end of image processing ==== */


/* ==== grayscale and FLIM calibration ==== */

/* ==== end of grayscale and FLIM calibration ==== */

#ifdef __cplusplus
}
#endif

#endif /* VIZOR_EPC660_H */
