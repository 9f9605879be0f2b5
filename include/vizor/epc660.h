/** \file
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
 * values give the failure value named in its documentation, never a crash.
 * A function whose body fails inside (out of memory) logs an error and
 * returns the same failure value; a void function then just returns.
 *
 * Buffers: a returned pointer points into a module-wide buffer of the
 *          library: never free it; it stays valid for the life of the
 *          process, and the next call that refills the buffer overwrites
 *          it. Buffers an application passes in stay the application's;
 *          each function says how much of them it reads or writes.
 * Thread:  one thread at a time for the whole library: its state is
 *          module-wide and no call synchronises with another. With a camera
 *          open, that is the thread that decodes the EPC default device's
 *          frames (the EPC driver calls the library from the frame calls of
 *          vizor.h).
 * Close:   close the device or stop capture from the thread that calls
 *          the library, or while no call of it runs: the library does not
 *          synchronise with other threads. Device calls (the register shim,
 *          the image source and the device parameters) reach the EPC
 *          default device through the register, parameter and capture
 *          calls of vizor.h, so a close on another thread waits (bounded)
 *          for the one in progress, and a function making several device
 *          calls may see the first succeed and the rest fail. Once the
 *          device is closed the EPC driver has released the library, which
 *          has no EPC default device until a driver binds one again:
 *          register reads fail and leave their values unchanged, register
 *          writes change nothing, the image source hands out zero-filled
 *          frames and temperature parameter reads fail; each function then
 *          answers as its Returns line says for a failed device call.
 *          Capture stopped by another thread makes a frame fetch fail the
 *          same way. The module-wide state (configuration, tables, images)
 *          is kept.
 */
#ifndef VIZOR_EPC660_H
#define VIZOR_EPC660_H

#include <stdbool.h>
#include <stdint.h>

#include "vizor/export.h"
#include "vizor/vizor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ==== device access shims (pru, i2c, adc, gpio, board) ==== */
/** @name Device access shims: register access
 * The library was written for a board where the chip sat on an I2C bus,
 * frames came through a real-time unit and rails were switched by GPIO
 * lines; here those paths act on the EPC default device (the device whose
 * EPC driver was initialised last) through the public register, parameter
 * and capture calls. Messages of the shims go to standard output.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   a device call fails as a failed register call while or after the
 *          EPC default device closes (see the file description).
 * @{ */

/** Register shim: one operation on the chip's 8-bit registers.
 * `operation` is 'd' (list chips: writes 0x20, 0xFF; count at least 2),
 * 'l' (reload, no effect), 'r' (read `count` registers from `reg`),
 * 's' (reset the sensor), 'w' (write `count` registers from `reg`).
 * Returns: 0; -1 for a device address outside 0..127, a register outside
 *          0..255, a count outside 0..261, `data` NULL or `*data` NULL with
 *          a count above 0 (these three for 'd', 'r', 'w'), 'd' with a count
 *          below 2, a failed
 *          device call ('r', 'w', 's') or an unknown operation. A failed
 *          call leaves the buffer (read) and the chip (write) unchanged.
 * Buffers: `data` points to the caller's pointer to a byte array of at
 *          least `count` bytes: 'r' writes `count` bytes, 'w' reads them,
 *          'd' writes 2. Counts above 257 are carried out with a message.
 */
VZ_API int i2c(int deviceAddress, char operation, int reg, int count,
               unsigned char **data) VZ_NOEXCEPT;

/** @} */

/** @name Device access shims: image source
 * The geometry is columns x DCS count x rows per half x halves 16-bit
 * samples; pruInit sets it by part type (epc635: 160 x 60 x 1 half, else
 * 320 x 120 x 2 halves; DCS 2 with FLIM, else 4), column and row reduction
 * divide the full columns and rows. pruGetImage hands out the frame the EPC
 * driver pushed with pruSetImage, or fetches one frame from the EPC default
 * device. pruSetSize, pruSetDCS and pruSetMinAmplitude store their value
 * without a range check.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   a frame fetch while or after the EPC default device closes, or
 *          while another thread stops capture, hands out a zero-filled
 *          frame (see the file description).
 * @{ */

/** Raw image pushed by the EPC driver: the frame's description and its
 * 16-bit samples. */
typedef struct epc_raw_image {
    vizor_frame_info_t frame_info; /**< The frame's description; frame_size is the byte length
                                        of frame_data. */
    uint16_t *frame_data;          /**< The raw 16-bit samples (the pusher's buffer). */
} epc_raw_image_t;

/** Sets the full and the reduced geometry to those of the current part type
 * (see above), keeps the reductions the setters chose, and forgets a pushed
 * frame.
 * Returns: 0. */
VZ_API int pruInit(void) VZ_NOEXCEPT;
/** Sets the full geometry (before reduction).
 * Returns: 0. */
VZ_API int pruSetSize(int columns, int rowsPerHalf) VZ_NOEXCEPT;
/** Sets the column reduction to 2^n (1 for n outside 0..16).
 * Returns: n as given. */
VZ_API int pruSetColReduction(int n) VZ_NOEXCEPT;
/** Sets the row reduction to 2^n (1 for n outside 0..16).
 * Returns: n as given. */
VZ_API int pruSetRowReduction(int n) VZ_NOEXCEPT;
/** Sets the DCS count of a frame.
 * Returns: n. */
VZ_API int pruSetDCS(int n) VZ_NOEXCEPT;
VZ_API int pruGetNDCS(void) VZ_NOEXCEPT;           /**< Returns: the DCS count of a frame. */
VZ_API int pruGetNCols(void) VZ_NOEXCEPT;          /**< Returns: the columns after reduction. */
VZ_API int pruGetNRowsPerHalf(void) VZ_NOEXCEPT;   /**< Returns: the rows per half after
                                                       reduction. */
VZ_API int pruGetNumberOfHalves(void) VZ_NOEXCEPT; /**< Returns: the halves, 1 or 2. */
/** Returns: the column reduction factor: 1, 2, 4, ...; 1 on an internal error. */
VZ_API unsigned int pruGetColReduction(void) VZ_NOEXCEPT;
/** Returns: the row reduction factor: 1, 2, 4, ...; 1 on an internal error. */
VZ_API unsigned int pruGetRowReduction(void) VZ_NOEXCEPT;
/** Stores the minimum amplitude (apiSetMinAmplitude also updates the filters).
 * Returns: amplitude. */
VZ_API int pruSetMinAmplitude(int amplitude) VZ_NOEXCEPT;
VZ_API int pruGetMinAmplitude(void) VZ_NOEXCEPT; /**< Returns: the minimum amplitude. */
/** Pushes the raw image the next pruGetImage hands out (NULL withdraws it).
 * Returns: image.
 * Buffers: the record and its samples stay the caller's; the library keeps
 *          the pointer until pruGetImage takes it, then sets its frame_data to
 *          NULL. Keep both alive until then. */
VZ_API epc_raw_image_t *pruSetImage(epc_raw_image_t *image) VZ_NOEXCEPT;
/** Hands out one raw frame: the pushed one (taken once), else one fetched
 * from the EPC default device. A fetch starts capture when it is not running
 * and stops capture afterwards (also a capture that was running before).
 * Returns: the geometry's sample count (at most 1322496); 0 for a NULL out.
 * Buffers: *out receives the pushed samples when the pushed frame is long
 *          enough, else the library's scratch image: a short pushed frame is
 *          copied there and zero-padded, a fetched frame of the wrong size
 *          or a failed fetch leaves it all zeros. At least the returned
 *          count of samples can be read. The pointer stays valid until the
 *          next pruGetImage or the pushed buffer's release. */
VZ_API int pruGetImage(uint16_t **out) VZ_NOEXCEPT;
/** Kept for the original interface: nothing to release.
 * Returns: 0. */
VZ_API int pruRelease(void) VZ_NOEXCEPT;

/** @} */

/** @name Device access shims: chip identification
 * Chip identification over the register shim: the chip registers and its
 * fuse memory (fuse address written to register 17, bytes read from 18).
 * The boot getters read one item, print it and return it.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   reads fail as described in the file description.
 * @{ */

/** Reads the chip's identity into eight 16-bit values: IC type (register 0),
 * IC version (register 1), fuse byte 245, wafer ID (fuses 246/247), chip ID
 * (248/249), part type (250), part version (251), sequencer version.
 * Returns: 8; -1 for a NULL record. Values whose read failed are 0.
 * Buffers: info is the caller's array of at least 8 values, all written. */
VZ_API int chipInfoGetInfo(int deviceAddress, uint16_t *info) VZ_NOEXCEPT;
/** Returns: the IC version (register 1); -1 when the read failed. */
VZ_API int bootGetIcVersion(int deviceAddress) VZ_NOEXCEPT;
/** Returns: the part type (fuse 250); -1 when the read failed. */
VZ_API int bootGetPartType(int deviceAddress) VZ_NOEXCEPT;
/** Returns: the part version (fuse 251); -1 when the read failed. */
VZ_API int bootGetPartVersion(int deviceAddress) VZ_NOEXCEPT;
/** Returns: the wafer ID (fuses 246/247, high byte first); -1 when a read failed. */
VZ_API int bootGetWaferID(int deviceAddress) VZ_NOEXCEPT;
/** Returns: the chip ID (fuses 248/249, high byte first); -1 when a read failed. */
VZ_API int bootGetChipID(int deviceAddress) VZ_NOEXCEPT;

/** @} */

/** @name Device access shims: legacy board power-up
 * The rail switching acts on GPIO stubs: only the waits remain, so these
 * calls block for the times named.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   register calls fail as described in the file description.
 * @{ */

/** Finds the chip (at most 10 attempts of 0.5 s, 1 s more after each miss),
 * stores its identity and address in the configuration (an item whose read
 * failed is stored as -1, 65535 for the 16-bit IDs) and switches it to
 * normal mode.
 * Returns: its device address (32: the register shim lists one chip at 0x20);
 *          -1 when no chip was found. */
VZ_API int boot(void) VZ_NOEXCEPT;
/** Prepares the GPIO lines (stubs).
 * Returns: 0. */
VZ_API int bootInit(void) VZ_NOEXCEPT;
/** Switches a chip still in boot mode (register 126 bit 7) to normal mode;
 * a chip in normal mode or a failed read is left alone.
 * Returns: 0. */
VZ_API int bootNormalMode(int deviceAddress) VZ_NOEXCEPT;
/** Pulses the chip-enable line (stub) and waits about 0.5 s.
 * Returns: 0. */
VZ_API int bootReset(void) VZ_NOEXCEPT;
/** Switches the rails off (stubs) and waits 1 s.
 * Returns: 0. */
VZ_API int bootUndo(void) VZ_NOEXCEPT;
/** Releases the chip-enable line (stub).
 * Returns: 0. */
VZ_API int bootCloseEpc660_enable(void) VZ_NOEXCEPT;

/** @} */

/** @name Device access shims: board stubs
 * GPIO, LED and ADC calls of the original board with constant answers; they
 * touch no hardware.
 *
 * Thread:  any one thread at a time (no state).
 * @{ */

VZ_API int gpio_export(int gpio) VZ_NOEXCEPT;            /**< Returns: 0. */
VZ_API int gpio_unexport(int gpio) VZ_NOEXCEPT;          /**< Returns: 0. */
VZ_API int gpio_open_dir(int gpio) VZ_NOEXCEPT;          /**< Returns: 0. */
VZ_API int gpio_set_dir(int fd, int output) VZ_NOEXCEPT; /**< Returns: 0. */
VZ_API int gpio_get_dir(int fd) VZ_NOEXCEPT;             /**< Returns: 1. */
VZ_API int gpio_close_dir(int fd) VZ_NOEXCEPT;           /**< Returns: 0. */
VZ_API int gpio_open_val(int gpio) VZ_NOEXCEPT;          /**< Returns: 0. */
VZ_API int gpio_set_val(int fd, int value) VZ_NOEXCEPT;  /**< Returns: 0. */
VZ_API int gpio_get_val(int fd) VZ_NOEXCEPT;             /**< Returns: 0. */
VZ_API int gpio_close_val(int fd) VZ_NOEXCEPT;           /**< Returns: 0. */
VZ_API int bbbLEDEnable(int on) VZ_NOEXCEPT;             /**< Returns: 0. */
VZ_API int adcOpen(int channel) VZ_NOEXCEPT;     /**< Returns: channel for 0..7; -1 otherwise. */
VZ_API int adcGetValue(int channel) VZ_NOEXCEPT; /**< Returns: 1024. */
VZ_API int adcGetValueMillivolts(int channel) VZ_NOEXCEPT; /**< Returns: 450. */
/** Returns: 450000 / ohms (integer division); -1 for ohms 0. */
VZ_API int adcGetValueMicroAmpere(int channel, int ohms) VZ_NOEXCEPT;

/** @} */

/* ==== end of device access shims ==== */

/* ==== configuration and parameter file (config) ==== */
/** @name Configuration: initialisation and parameter file
 * Chip identity and runtime configuration: part type (2 epc660 TOF, 3 epc660
 * FLIM, 4 epc635 TOF, 5 epc635 FLIM), mode (0 2D gray, 1 3D TOF, 2 FLIM),
 * modulation frequency (kHz, from a table of 6 computed from the clock
 * registers 129/130; index 1 is 12000 kHz on the usual clock), integration
 * times (microseconds), DCS count, ABS, correction switches, temperature
 * trims and the print level that gates the library's console output.
 * Register writes go through i2c on `deviceAddress`, device parameters
 * (integration time 13, image mode 10) to the EPC default device; a failed
 * register or parameter call is not reported: the function still returns
 * its usual value.
 *
 * "./config.txt" holds eight tuning values, one a line: the unscaled
 * ambient-light factor, the print level, the DRNU temperature difference,
 * the DRNU calibration delay, the DRNU frame count, the epc635 and epc660
 * temperature coefficients and half the speed of light.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   register and parameter calls fail as described in the file
 *          description; the configuration keeps its values.
 * @{ */

/** Initialises the whole library for the chip whose identity was set
 * (called by the EPC driver): DLL, clocks, frequency table, geometry,
 * temperature readout, image source, calibration tables and "./config.txt"
 * (written with the current values when it cannot be opened).
 * Returns: 0; it never fails, also without a usable "./config.txt" or
 *          calibration files. */
VZ_API int configInit(int deviceAddress) VZ_NOEXCEPT;
/** Writes the eight tuning values to "./config.txt".
 * Returns: 0; -1 when the file cannot be opened or written. */
VZ_API int configSaveParameters(void) VZ_NOEXCEPT;
/** Reads the tuning values of "./config.txt", each line's first word as
 * "%i" or "%lf" reads it ("1.5" on an integer line is 1, "3x" is 3). Values of
 * missing lines stay as they are; a line without a number, and a value that
 * is divided by and is 0 or absurd (the ambient-light factor 0, a frame count
 * below 1, a speed of light outside 1e6..1e10), keeps its value and is logged.
 * Returns: 0; -1 when the file cannot be opened. */
VZ_API int configLoadParameters(void) VZ_NOEXCEPT;
/** Switches a FLIM part (type 3 or 5) to its TOF type (other parts keep
 * theirs), resets the chip, reads its identity again and re-initialises the
 * library (configInit); the illumination flag ends up on.
 * Returns: 0. */
VZ_API int configRestartTOF(void) VZ_NOEXCEPT;
/** Switches a TOF part (type 2 or 4) to its FLIM type (other parts keep
 * theirs), resets the chip, reads its identity again and re-initialises the
 * library (configInit); the illumination flag ends up on.
 * Returns: 0. */
VZ_API int configRestartFLIM(void) VZ_NOEXCEPT;
/** Writes the register settings of a mode; only mode 2 (FLIM) has any.
 * Returns: 0. */
VZ_API int configInitRegisters(int mode) VZ_NOEXCEPT;
/** Logs the chip identity and the configuration at DBG level. */
VZ_API void printChipParam(void) VZ_NOEXCEPT;

/** @} */

/** @name Configuration: mode, DCS count and ABS
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   register and parameter calls fail as described in the file
 *          description; the configuration keeps its values.
 * @{ */

/** Selects the imaging mode: 1 3D (DCS count and 3D time programmed), 2
 * FLIM, anything else 2D; the mode value goes to the device as given.
 * Returns: 0. */
VZ_API int configLoad(int mode, int deviceAddress) VZ_NOEXCEPT;
VZ_API int configGetCurrentMode(void) VZ_NOEXCEPT; /**< Returns: the mode: 0 2D, 1 3D, 2 FLIM. */
VZ_API int configGetModeCount(void) VZ_NOEXCEPT;   /**< Returns: 3, the number of modes. */
/** Switches pseudo-noise modulation (register 146 bit 6).
 * Returns: pseudoNoise as given. */
VZ_API int configSetMode(int pseudoNoise, int deviceAddress) VZ_NOEXCEPT;
/** Sets the DCS count of the 3D mode (register 146 bits 4-5 hold nDCS - 1).
 * Returns: nDCS as given. */
VZ_API int configSetDCS(int nDCS, int deviceAddress) VZ_NOEXCEPT;
/** Switches ambient-light suppression (ABS) in the sequencer slots 34, 37,
 * 40 and 43.
 * Returns: on as given. */
VZ_API int configEnableABS(int on, int deviceAddress) VZ_NOEXCEPT;
/** Returns: 1 when ABS is on in register 34; 0 when off or the read failed. */
VZ_API int configIsABS(int deviceAddress) VZ_NOEXCEPT;

/** @} */

/** @name Configuration: modulation frequency and clocks
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   register reads fail as described in the file description: a
 *          failed clock register read counts as 0.
 * @{ */

/** Selects entry `index` of the frequency table (register 133 divider;
 * unknown indices count as 1) and reprograms the integration times for it.
 * Returns: 0. */
VZ_API int configSetModulationFrequency(int index, int deviceAddress) VZ_NOEXCEPT;
/** Returns: the modulation frequency selected, kHz. */
VZ_API int configGetModulationFrequency(void) VZ_NOEXCEPT;
/** Returns: the frequency table (6 entries, kHz).
 * Buffers: the library's table; configFindModulationFrequencies and
 *          configInit refill it. */
VZ_API int *configGetModulationFrequencies(void) VZ_NOEXCEPT;
/** Recomputes the frequency table from the system clock (clock / 4, / 8, ...).
 * Returns: its last entry (clock / 128), kHz. */
VZ_API int configFindModulationFrequencies(void) VZ_NOEXCEPT;
VZ_API int configGetModFreqMode(void) VZ_NOEXCEPT;  /**< Returns: the table index selected. */
VZ_API int configGetModFreqCount(void) VZ_NOEXCEPT; /**< Returns: 6, the table's size. */
/** Returns: the system clock from registers 129/130, kHz. */
VZ_API int configGetSysClk(void) VZ_NOEXCEPT;
/** Returns: the PLL clock period, ns. */
VZ_API double configGetTPLLClk(void) VZ_NOEXCEPT;
/** Returns: the modulation clock period (system clock / register 133 divider), ns. */
VZ_API double configGetTModClk(void) VZ_NOEXCEPT;

/** @} */

/** @name Configuration: integration times
 * Times are microseconds; the device parameter carries two bytes, so longer
 * times are sent as 65535. A setter with a time out of range changes nothing.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   register and parameter calls fail as described in the file
 *          description; the stored times are kept.
 * @{ */

/** Sets the 2D time (sent to the device in 2D mode).
 * Returns: 0; -1 for a time below 0 or above 1000000. */
VZ_API int configSetIntegrationTime2D(int us) VZ_NOEXCEPT;
/** Sets the 3D time (HDR registers with HDR on, else sent to the device in
 * 3D mode) and updates the additive-argument threshold and the ambient-light
 * factor (the unscaled factor / sqrt(time); the unscaled one for a time of 0).
 * Returns: 0; -1 for a time below 0 or above 4000. */
VZ_API int configSetIntegrationTime3D(int us) VZ_NOEXCEPT;
/** Sets the second HDR time and programs the HDR registers.
 * Returns: 0; -1 for a time below 0 or above 4000. */
VZ_API int configSetIntegrationTime3DHDR(int us) VZ_NOEXCEPT;
/** Sends a time to the device without storing or checking it (clamped to
 * 0..65535).
 * Returns: 0. */
VZ_API int configSetIntegrationTime(int us) VZ_NOEXCEPT;
/** Programs the HDR registers from the stored 3D and HDR times.
 * Returns: 0. */
VZ_API int configSetIntegrationTimesHDR(void) VZ_NOEXCEPT;
VZ_API int configGetIntegrationTime2D(void) VZ_NOEXCEPT;    /**< Returns: the 2D time. */
VZ_API int configGetIntegrationTime3D(void) VZ_NOEXCEPT;    /**< Returns: the 3D time. */
VZ_API int configGetIntegrationTime3DHDR(void) VZ_NOEXCEPT; /**< Returns: the HDR time. */
VZ_API int configGetImagingTime(void) VZ_NOEXCEPT;          /**< Returns: 15000. */

/** @} */

/** @name Configuration: additive-argument threshold
 * A linear model of the threshold over the 3D integration time: a line
 * through (time at configSetAddArgMin, its argument) and (time at
 * configSetAddArgMax, its argument). No device call.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * @{ */

/** Sets the lower point of the line at the current 3D time (the slope is
 * kept, with a warning, when both points have the same time).
 * Returns: arg. */
VZ_API int configSetAddArgMin(int arg) VZ_NOEXCEPT;
/** Sets the upper point of the line at the current 3D time (the slope is
 * kept, with a warning, when both points have the same time).
 * Returns: arg. */
VZ_API int configSetAddArgMax(int arg) VZ_NOEXCEPT;
VZ_API int configEnableAddArg(int on) VZ_NOEXCEPT;     /**< Returns: on as given. */
VZ_API int configStatusEnableAddArg(void) VZ_NOEXCEPT; /**< Returns: the switch as last set. */
/** Sets the threshold until the next 3D time recomputes it.
 * Returns: threshold. */
VZ_API int configSetDcsAdd_threshold(int threshold) VZ_NOEXCEPT;
VZ_API int configGetDcsAdd_threshold(void) VZ_NOEXCEPT; /**< Returns: the threshold. */

/** @} */

/** @name Configuration: chip identity
 * Stored values only; the setters do not touch the chip.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * @{ */

VZ_API int configSetDeviceAddress(int deviceAddress) VZ_NOEXCEPT; /**< Returns: deviceAddress. */
VZ_API int configGetDeviceAddress(void) VZ_NOEXCEPT;       /**< Returns: the chip's address. */
VZ_API int configSetIcVersion(int version) VZ_NOEXCEPT;    /**< Returns: version. */
VZ_API int configGetIcVersion(void) VZ_NOEXCEPT;           /**< Returns: the IC version. */
VZ_API int configSetPartType(int type) VZ_NOEXCEPT;        /**< Returns: type. */
VZ_API int configGetPartType(void) VZ_NOEXCEPT;            /**< Returns: the part type. */
VZ_API int configSetPartVersion(int version) VZ_NOEXCEPT;  /**< Returns: version. */
VZ_API int configGetPartVersion(void) VZ_NOEXCEPT;         /**< Returns: the part version. */
VZ_API uint16_t configSetWaferID(uint16_t id) VZ_NOEXCEPT; /**< Returns: id. */
VZ_API uint16_t configGetWaferID(void) VZ_NOEXCEPT;        /**< Returns: the wafer ID. */
VZ_API uint16_t configSetChipID(uint16_t id) VZ_NOEXCEPT;  /**< Returns: id. */
VZ_API uint16_t configGetChipID(void) VZ_NOEXCEPT;         /**< Returns: the chip ID. */
/** Returns: the sequencer version (9 after configInit, 0 before). */
VZ_API uint16_t configGetSequencerVersion(void) VZ_NOEXCEPT;
/** Returns: the FLIM flag of the configuration: 0 (configInit clears it and
 *          no call sets it). */
VZ_API int configIsFLIM(void) VZ_NOEXCEPT;

/** @} */

/** @name Configuration: temperature trims
 * Trims of the chip's temperature sensors, fixed by configInit (0 before).
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * @{ */

VZ_API uint8_t configGetGX(void) VZ_NOEXCEPT; /**< Returns: the X trim (0x10). */
VZ_API uint8_t configGetGY(void) VZ_NOEXCEPT; /**< Returns: the Y trim (0x39). */
VZ_API int configGetGZ(void) VZ_NOEXCEPT;     /**< Returns: the Z offset (-268). */
VZ_API uint8_t configGetGM(void) VZ_NOEXCEPT; /**< Returns: the M trim (52). */
VZ_API uint8_t configGetGL(void) VZ_NOEXCEPT; /**< Returns: the L trim (0). */
VZ_API uint8_t configGetGC(void) VZ_NOEXCEPT; /**< Returns: the C trim (141). */

/** @} */

/** @name Configuration: correction switches and print level
 * The switches the correction modules keep up to date. Console diagnostics
 * of a given level appear when the level is at most the print level.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * @{ */

/** Returns: the DRNU correction switch (0 off). */
VZ_API int configIsEnabledDRNUCorrection(void) VZ_NOEXCEPT;
/** Returns: the grayscale correction switch (0 off). */
VZ_API int configIsEnabledGrayscaleCorrection(void) VZ_NOEXCEPT;
/** Returns: the temperature correction switch (0 off). */
VZ_API int configIsEnabledTemperatureCorrection(void) VZ_NOEXCEPT;
/** Returns: the ambient-light correction switch (0 off). */
VZ_API int configIsEnabledAmbientLightCorrection(void) VZ_NOEXCEPT;
VZ_API int configSetPrint(int level) VZ_NOEXCEPT; /**< Returns: level. */
VZ_API int configPrint(void) VZ_NOEXCEPT;         /**< Returns: the print level. */

/** @} */

/** @name Configuration: calibration file names
 * Thread:  one thread at a time (the library is not thread-safe).
 * @{ */

/** Appends the modulation-frequency suffix ("_20." above 19999 kHz, "_10."
 * above 9999 kHz, else "_5.") and the extension to a name.
 * Returns: name; NULL (name unchanged) when an argument is NULL or the
 *          result would not fit in 256 bytes with its terminator.
 * Buffers: name is the caller's buffer of 256 bytes: read up to its
 *          terminator, written up to 256 bytes; extension is read. */
VZ_API char *configAddEndFileName(char *name, const char *extension) VZ_NOEXCEPT;

/** Calibration folder, "./calibration/"; kept for applications (the library
 * reads none of these names). A 256-byte string the application may read
 * and overwrite. */
VZ_API extern char pathdir[256];
/** Offset calibration files (factory, user); 256-byte strings kept for
 * applications. */
VZ_API extern char pathOffset[2][256];
/** FPN calibration files (factory, user); 256-byte strings kept for
 * applications. */
VZ_API extern char pathFPN[2][256];
/** Calibration file name, "calib.bin"; a 256-byte string kept for
 * applications. */
VZ_API extern char calib_file_name[256];

/** @} */

/* ==== end of configuration ==== */

/* ==== DLL, illumination and FLIM timing control ==== */
/** @name Timing control: delay-locked loop
 * The chip's demodulation delay-locked loop (DLL), programmed through i2c on
 * `deviceAddress`. A failed register write is not reported.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   register calls fail as described in the file description.
 * @{ */

/** Switches the DLL bypass (register 174 bit 0); switching it off also runs
 * dllInitialize.
 * Returns: 0. */
VZ_API int dllBypassDLL(int on, int deviceAddress) VZ_NOEXCEPT;
/** Sets the demodulation delay to 2 (register 139) and the bypass on.
 * Returns: 2, the delay set. */
VZ_API int dllDetermineAndSetDemodulationDelay(int deviceAddress) VZ_NOEXCEPT;
/** Sets the demodulation delay to 0.
 * Returns: 0. */
VZ_API int dllResetDemodulationDelay(int deviceAddress) VZ_NOEXCEPT;
/** Switches the DLL preheat (register 144 bit 3).
 * Returns: 0. */
VZ_API int dllEnablePreheat(int on, int deviceAddress) VZ_NOEXCEPT;
/** Sets the DLL divider for the modulation clock divider (register 133)
 * and locks the loop (dllLockAutomatically; its result is not checked).
 * Returns: 0; -1 when the divider cannot be read or is unknown. */
VZ_API int dllInitialize(int deviceAddress) VZ_NOEXCEPT;
/** Measures the loop up to 100 times until it locked 10 times (each
 * measurement waits 1 ms or more) and writes the averaged fine and coarse
 * control values (the fine one smoothed with the previous lock at the same
 * coarse value) back as external control values (registers 113..115).
 * Returns: 0 when at least one reading locked; -1 when none did or the
 *          bypass register cannot be read (no control values written). */
VZ_API int dllLockAutomatically(int deviceAddress) VZ_NOEXCEPT;
/** Returns: the fine control value last written; 0 before the first lock. */
VZ_API uint16_t dllGetFineCtrlExt(void) VZ_NOEXCEPT;
/** Returns: the coarse control value last written; 0 before the first lock. */
VZ_API uint8_t dllGetCoarseCtrlExt(void) VZ_NOEXCEPT;

/** @} */

/** @name Timing control: illumination flag
 * The original board switched the light source by a GPIO line; only the
 * flag remains. No device call.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * @{ */

VZ_API int illuminationEnable(void) VZ_NOEXCEPT;    /**< Sets the flag. Returns: 0. */
VZ_API int illuminationDisable(void) VZ_NOEXCEPT;   /**< Clears the flag. Returns: 0. */
VZ_API int isIlluminationEnabled(void) VZ_NOEXCEPT; /**< Returns: the flag, 1 or 0. */

/** @} */

/** @name Timing control: FLIM timing steps
 * The seven FLIM timing steps (1 flash width, 2 flash delay, 3..6 T1..T4,
 * 7 TREP), programmed through i2c on configGetDeviceAddress(). A setter
 * takes a step length in modulation clock periods (flimGetStep() gives the
 * period in ps) and writes it minus one; 0 skips the step where the chip has
 * the skip mask (register 47) and fails with -1 where it has none (part
 * types 1 and 3 up to IC version 2). A failed register write is not
 * reported.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   register calls fail as described in the file description.
 * @{ */

VZ_API int flimSetT1(uint16_t value) VZ_NOEXCEPT; /**< Returns: 0; -1 for 0 without skip mask. */
VZ_API int flimSetT2(uint16_t value) VZ_NOEXCEPT; /**< Returns: 0; -1 for 0 without skip mask. */
VZ_API int flimSetT3(uint16_t value) VZ_NOEXCEPT; /**< Returns: 0; -1 for 0 without skip mask. */
VZ_API int flimSetT4(uint16_t value) VZ_NOEXCEPT; /**< Returns: 0; -1 for 0 without skip mask. */
/** Sets the repetition period step.
 * Returns: 0; -1 for 0 without skip mask. */
VZ_API int flimSetTREP(uint16_t value) VZ_NOEXCEPT;
/** Sets the flash delay step.
 * Returns: 0; -1 for 0 without skip mask. */
VZ_API int flimSetFlashDelay(uint16_t value) VZ_NOEXCEPT;
/** Sets the flash width step and remembers the value (flimGetFlashWidth).
 * Returns: 0; -1 for 0 without skip mask. */
VZ_API int flimSetFlashWidth(uint16_t value) VZ_NOEXCEPT;
/** Sets timing step `index` (1..7, see above).
 * Returns: 0; -1 for an index outside 1..7 or 0 without skip mask. */
VZ_API int flimSetDelay(int index, uint16_t value) VZ_NOEXCEPT;
/** Sets bit `step` of the skip mask.
 * Returns: 0; -1 for a step outside 0..7. */
VZ_API int flimSetSkip(int step) VZ_NOEXCEPT;
/** Clears bit `step` of the skip mask.
 * Returns: 0; -1 for a step outside 0..7. */
VZ_API int flimResetSkip(int step) VZ_NOEXCEPT;
/** Sets the repetition count (register 186 holds count - 1).
 * Returns: the value written: count - 1, or 0 for a count of 0. */
VZ_API int flimSetRepetitions(uint16_t count) VZ_NOEXCEPT;
/** Returns: the repetition count last set; 0 before. */
VZ_API uint16_t flimGetRepetitions(void) VZ_NOEXCEPT;
/** Returns: the flash width last set; 0 before. */
VZ_API uint16_t flimGetFlashWidth(void) VZ_NOEXCEPT;
/** Returns: the modulation clock period in ps, truncated to 16 bits. */
VZ_API uint16_t flimGetStep(void) VZ_NOEXCEPT;

/** @} */

/* ==== end of timing control ==== */

/* ==== temperature readout ==== */
/** @name Temperature readout
 * Chip and illumination temperatures, signed 16-bit tenths of a degree
 * Celsius unless stated. The EPC driver hands the two frame-header words
 * (chip, illumination board) to temperatureSetTemperatureByFrameHeader for
 * every frame; temperatureGetTemperature and the two multi-value getters
 * read device parameter 15 (at most 4 chip values); the illumination values
 * come from the board's ADC stubs. The chip readout methods (register, ROI,
 * direct sensor) act on the chip through i2c; the ROI and direct methods
 * also take one frame from the image source (they switch 3D mode to 2D for
 * it and back afterwards) and keep it as the grayscale image of
 * temperatureGetGrayscaleData. `deviceAddress` is unused
 * by the calls that read the device parameter.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   parameter reads fail and register reads leave their values as
 *          described in the file description; a frame fetch then gives a
 *          zero-filled frame.
 * @{ */

/** Opens the illumination ADC channels 2 and 4 (stubs).
 * Returns: 0. */
VZ_API int temperatureInit(void) VZ_NOEXCEPT;
/** Stores the chip and illumination-board temperatures of a frame header.
 * Returns: 0; -1 for NULL values.
 * Buffers: values[0] (chip) and values[1] (board) of the caller's are read. */
VZ_API int temperatureSetTemperatureByFrameHeader(const uint16_t *values) VZ_NOEXCEPT;
/** Returns: the chip temperature of the last frame header; 0 before. */
VZ_API int16_t temperatureGetTemperatureByFrameHeader(void) VZ_NOEXCEPT;
/** Returns: the illumination-board temperature of the last frame header; 0 before. */
VZ_API int16_t temperatureGetIbTemperatureByFrameHeader(void) VZ_NOEXCEPT;
/** Reads device parameter 15 and refreshes the illumination values.
 * Returns: the mean of the four chip values for part types 2 and 3, else
 *          the first value; 0 when the parameter read failed. */
VZ_API int16_t temperatureGetTemperature(void) VZ_NOEXCEPT;
/** Reads the chip values of device parameter 15, then the two illumination
 * values.
 * Returns: the number of values written (chip values + 2, at most 6); -1
 *          for a NULL buffer or a failed parameter read (nothing written).
 * Buffers: out is the caller's array of at least 6 values. */
VZ_API int temperatureGetTemperatures(int deviceAddress, int16_t *out) VZ_NOEXCEPT;
/** Reads the chip values of device parameter 15.
 * Returns: the number of values written (at most 4); -1 for a NULL buffer
 *          or a failed parameter read (nothing written).
 * Buffers: out is the caller's array of at least 4 values. */
VZ_API int temperatureGetTemperatureChip(int deviceAddress, int16_t *out) VZ_NOEXCEPT;
/** Reads the two illumination values (ADC stubs) and keeps their mean.
 * Returns: 2, the number of values written; -1 for a NULL buffer.
 * Buffers: out is the caller's array of at least 2 values. */
VZ_API int temperatureGetTemperatureIllumination(int16_t *out) VZ_NOEXCEPT;
/** Returns: the rounded mean of the last register readout
 *          (temperatureGetTemperatureRegister); 0 before. */
VZ_API int16_t temperatureGetLastTempChip(void) VZ_NOEXCEPT;
/** Returns: the mean of the last illumination values read; 0 before. */
VZ_API int16_t temperatureGetLastTempIllumination(void) VZ_NOEXCEPT;
/** Smooths n values in place, each against its own previous state
 * (new = old / 2 + value / 2).
 * Returns: n; -1 for n outside 0..8 or NULL values with n above 0.
 * Buffers: n values of the caller's are read and overwritten. */
VZ_API int temperatureKalmanFilter(int16_t *values, int n) VZ_NOEXCEPT;
/** Reads the chip's temperature registers (96..) with their fuse trims
 * (232..); a failed read counts as 0.
 * Returns: the number of values written: 4 for the epc660, 1 for the
 *          epc635 (by part type); -1 for a NULL buffer.
 * Buffers: out is the caller's array of at least 4 values. */
VZ_API int temperatureGetTemperatureRegister(int deviceAddress, int16_t *out) VZ_NOEXCEPT;
/** Reads the temperature pixels of a small region of interest in one 2D
 * frame, with the fuse trims; a failed read or a short frame counts as 0,
 * and on the epc635 no pixel is read (its value is computed from 0). The
 * readout and region-of-interest registers and the image source geometry
 * are restored afterwards.
 * Returns: the number of values written: 4 for the epc660, 1 for the
 *          epc635 (by part type); -1 for a NULL buffer.
 * Buffers: out is the caller's array of at least 4 values. */
VZ_API int temperatureGetTemperatureROI(int deviceAddress, int16_t *out) VZ_NOEXCEPT;
/** Reads the four direct temperature sensors of an epc660 (part version 7)
 * during one 2D frame at 100 us, with their fuse offsets; afterwards the 2D
 * time and register 146 are restored and the sensors switched off.
 * Returns: 4, the number of values written; -1 for a NULL buffer.
 * Buffers: out is the caller's array of at least 4 values. */
VZ_API int temperatureGetTemperatureROI_EPC660_CHIP7(int deviceAddress, int16_t *out) VZ_NOEXCEPT;
/** Reads the one direct temperature sensor of an epc635 during one 2D frame
 * at 100 us, with the configured trims; afterwards the 2D time and register
 * 146 are restored and the sensor switched off.
 * Returns: 1, the number of values written; -1 for a NULL buffer.
 * Buffers: out is the caller's array of at least 1 value. */
VZ_API int temperatureGetTemperature635(int deviceAddress, int16_t *out) VZ_NOEXCEPT;
/** Reads the ROI temperatures (temperatureGetTemperatureROI).
 * Returns: the sum of four ROI values / 40, degrees Celsius (on the epc635
 *          one value is measured and the other three count as 0). */
VZ_API double temperatureGetAveragedChipTemperature(int deviceAddress) VZ_NOEXCEPT;
/** Returns: pixel `index` of the grayscale image of the last ROI or direct
 *          readout; 0 for an index outside 0..82655 or before any readout. */
VZ_API uint16_t temperatureGetGrayscalePixel(int index) VZ_NOEXCEPT;
/** Returns: the grayscale image of the last ROI or direct readout.
 * Buffers: the library's array of 82656 values (zeros past the frame's
 *          samples); the next ROI or direct readout overwrites it. */
VZ_API uint16_t *temperatureGetGrayscaleData(void) VZ_NOEXCEPT;

/** @} */

/* ==== end of temperature readout ==== */

/* ==== API facade and readout control (api, readOut) ==== */
/** @name Readout control
 * Read-modify-write of the readout register 148 (binning, row reduction,
 * dual MGX/HDR bit), the region of interest 150..155 and the sequencer
 * slots 34/37/40/43 and 146, through i2c on `deviceAddress`. A register
 * whose read fails is not written; failures are not reported. These calls
 * change only the chip: the facade's calls keep the rest of the library in
 * step.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   register calls fail as described in the file description.
 * @{ */

/** Switches horizontal binning (register 148 bits 0 and 4).
 * Returns: 0. */
VZ_API int readOutEnableHorizontalBinning(int on, int deviceAddress) VZ_NOEXCEPT;
/** Returns: 1 when horizontal binning is on; 0 when off or the read failed. */
VZ_API int readOutIsHorizontalBinning(int deviceAddress) VZ_NOEXCEPT;
/** Switches vertical binning (register 148 bit 5).
 * Returns: 0. */
VZ_API int readOutEnableVerticalBinning(int on, int deviceAddress) VZ_NOEXCEPT;
/** Returns: 1 when vertical binning is on; 0 when off or the read failed. */
VZ_API int readOutIsVerticalBinning(int deviceAddress) VZ_NOEXCEPT;
/** Sets the row reduction exponent n AND 3 (register 148 bits 2-3).
 * Returns: 0. */
VZ_API int readOutSetRowReduction(int n, int deviceAddress) VZ_NOEXCEPT;
/** Switches dual MGX (register 148 bit 7, sequencer slots 34 and 37).
 * Returns: 0. */
VZ_API int readOutEnableDualMGX(int on, int deviceAddress) VZ_NOEXCEPT;
/** Switches HDR (register 148 bit 7, sequencer slots 34..43, register 146
 * bit 3).
 * Returns: 0. */
VZ_API int readOutEnableHDR(int on, int deviceAddress) VZ_NOEXCEPT;
/** Writes the region of interest as given (no check; apiSetROI checks) and
 * remembers it.
 * Returns: 0. */
VZ_API int readOutSetROI(int x1, int x2, int y1, int y2, int deviceAddress) VZ_NOEXCEPT;
VZ_API int readOutGetTopLeftX(void) VZ_NOEXCEPT;     /**< Returns: x1 as last set; 0 before. */
VZ_API int readOutGetBottomRightX(void) VZ_NOEXCEPT; /**< Returns: x2 as last set; 0 before. */
VZ_API int readOutGetTopLeftY(void) VZ_NOEXCEPT;     /**< Returns: y1 as last set; 0 before. */
VZ_API int readOutGetBottomRightY(void) VZ_NOEXCEPT; /**< Returns: y2 as last set; 0 before. */

/** @} */

/** @name API facade: readout modes and chip
 * The flat entry of the library. Mode changes (region of interest, binning,
 * row reduction, pi delay, dual MGX, HDR, 2D/3D) keep the chip, the image
 * source, the calculation and the filters consistent; the rest forwards to
 * one module function and returns its result. Range failures return -1
 * without touching the chip (apiSetROI also prints why). The region of interest
 * is x1..x2 (even start, odd end, 0..327) and y1..y2 rows of one half (even
 * start, odd end, 0..125), at least 6 x column reduction by 2 x row
 * reduction. Functions touching the chip take its address last; failed
 * register calls are not reported.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   device calls fail as described in the file description; the
 *          library's own state still changes.
 * @{ */

/** Sets the region of interest on the chip and the image source geometry.
 * Returns: 0; -1 for coordinates outside the rules above or a region below
 *          the minimum size (nothing changed). */
VZ_API int apiSetROI(int x1, int x2, int y1, int y2, int deviceAddress) VZ_NOEXCEPT;
/** Switches horizontal binning and halves the image source columns.
 * Returns: 1 for on (any non-zero), 0 for off. */
VZ_API int apiEnableHorizontalBinning(int on, int deviceAddress) VZ_NOEXCEPT;
/** Switches vertical binning; on sets row reduction 2 unless it is already
 * 4 or more, off sets row reduction 1.
 * Returns: 1 for on (any non-zero), 0 for off. */
VZ_API int apiEnableVerticalBinning(int on, int deviceAddress) VZ_NOEXCEPT;
/** Sets the row reduction to 2^n on the chip and in the image source.
 * Returns: n clamped to 0..3. */
VZ_API int apiSetRowReduction(int n, int deviceAddress) VZ_NOEXCEPT;
/** Switches the pi delay and sets the DCS count for it (on: 4, or 2 with
 * dual MGX; off: 2, or 1 with dual MGX).
 * Returns: 1 for on (any non-zero), 0 for off. */
VZ_API int apiEnablePiDelay(int on, int deviceAddress) VZ_NOEXCEPT;
/** Switches dual MGX and sets the DCS count for it.
 * Returns: 1 for on (any non-zero), 0 for off. */
VZ_API int apiEnableDualMGX(int on, int deviceAddress) VZ_NOEXCEPT;
/** Switches HDR on the chip and in the calculation and programs the HDR
 * times.
 * Returns: on as given. */
VZ_API int apiEnableHDR(int on, int deviceAddress) VZ_NOEXCEPT;
/** Selects pseudo-noise modulation for a mode above 0, else normal.
 * Returns: 1 for pseudo-noise, 0 for normal. */
VZ_API int apiSelectMode(int mode, int deviceAddress) VZ_NOEXCEPT;
/** Selects entry `index` of the frequency table and updates the
 * calibration for it.
 * Returns: 0; -1 for an index outside 0..5 (nothing changed). */
VZ_API int apiSetModulationFrequency(int index, int deviceAddress) VZ_NOEXCEPT;
/** Selects 3D imaging for mode 1 (with the DCS count of the current TOF
 * mode), else 2D imaging (one DCS).
 * Returns: mode as given. */
VZ_API int apiLoadConfig(int mode, int deviceAddress) VZ_NOEXCEPT;
/** Switches ambient-light suppression (ABS).
 * Returns: on as given. */
VZ_API int apiEnableABS(int on, int deviceAddress) VZ_NOEXCEPT;
/** Sets the minimum amplitude and the hysteresis thresholds for it.
 * Returns: amplitude. */
VZ_API int apiSetMinAmplitude(int amplitude) VZ_NOEXCEPT;
VZ_API int apiGetMinAmplitude(void) VZ_NOEXCEPT; /**< Returns: the minimum amplitude. */
/** Sets the hysteresis width around the minimum amplitude.
 * Returns: width. */
VZ_API int apiSetHysteresis(int width) VZ_NOEXCEPT;
/** Returns: temperatureGetAveragedChipTemperature() in tenths of a degree,
 *          truncated. */
VZ_API int16_t apiGetAveragedTemperature(int deviceAddress) VZ_NOEXCEPT;
/** Returns: what temperatureGetTemperatures() returns: the number of values
 *          written (at most 6); -1 for a NULL buffer or a failed read.
 * Buffers: out is the caller's array of at least 6 values. */
VZ_API int apiGetTemperature(int deviceAddress, int16_t *out) VZ_NOEXCEPT;
/** Returns: what chipInfoGetInfo() returns: 8; -1 for a NULL record.
 * Buffers: info is the caller's array of at least 8 values. */
VZ_API int apiGetChipInfo(int deviceAddress, uint16_t *info) VZ_NOEXCEPT;
VZ_API int apiGetIcVersion(void) VZ_NOEXCEPT;   /**< Returns: configGetIcVersion(). */
VZ_API int apiGetPartVersion(void) VZ_NOEXCEPT; /**< Returns: configGetPartVersion(). */
VZ_API int apiIsFLIM(void) VZ_NOEXCEPT;         /**< Returns: configIsFLIM(). */
/** Restarts the chip as a TOF part (configRestartTOF).
 * Returns: 0. */
VZ_API int apiTOF(void) VZ_NOEXCEPT;
/** Restarts the chip as a FLIM part (configRestartFLIM).
 * Returns: 0. */
VZ_API int apiFLIM(void) VZ_NOEXCEPT;

/** @} */

/** @name API facade: registers
 * `count` 8-bit registers from `reg` through the register shim (i2c).
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   the call fails (-1) as described in the file description.
 * @{ */

/** Reads registers.
 * Returns: count; -1 when the read failed or was refused (see i2c: address,
 *          register or count out of range, NULL buffer).
 * Buffers: data points to the caller's pointer to at least `count` bytes,
 *          all written on success, unchanged on failure. */
VZ_API int apiReadRegister(int reg, int count, unsigned char **data, int deviceAddress) VZ_NOEXCEPT;
/** Writes registers.
 * Returns: count; -1 when the write failed or was refused (as apiReadRegister).
 * Buffers: data points to the caller's pointer to at least `count` bytes,
 *          read. */
VZ_API int apiWriteRegister(int reg, int count, unsigned char **data,
                            int deviceAddress) VZ_NOEXCEPT;

/** @} */

/** @name API facade: integration times and additive-argument threshold
 * Times are microseconds; these forward to the configuration.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   parameter calls fail as described in the file description.
 * @{ */

/** Returns: 0; -1 for a time below 0 or above 1000000 (configSetIntegrationTime2D). */
VZ_API int apiSetIntegrationTime2D(int us) VZ_NOEXCEPT;
/** Returns: 0; -1 for a time below 0 or above 4000 (configSetIntegrationTime3D). */
VZ_API int apiSetIntegrationTime3D(int us) VZ_NOEXCEPT;
/** Returns: 0; -1 for a time below 0 or above 4000 (configSetIntegrationTime3DHDR). */
VZ_API int apiSetIntegrationTime3DHDR(int us) VZ_NOEXCEPT;
VZ_API int apiGetImagingTime(void) VZ_NOEXCEPT;          /**< Returns: 15000. */
VZ_API int apiEnableAddArgThreshold(int on) VZ_NOEXCEPT; /**< Returns: on as given. */
/** Sets the additive-argument threshold (configSetDcsAdd_threshold).
 * Returns: threshold. */
VZ_API int apiSetAddArgThreshold(int threshold) VZ_NOEXCEPT;
VZ_API int apiSetAddArgMin(int arg) VZ_NOEXCEPT; /**< Returns: arg (configSetAddArgMin). */
VZ_API int apiSetAddArgMax(int arg) VZ_NOEXCEPT; /**< Returns: arg (configSetAddArgMax). */
/** Returns: the frequency table (configGetModulationFrequencies).
 * Buffers: the library's table of 6 entries, kHz. */
VZ_API int *apiGetModulationFrequencies(void) VZ_NOEXCEPT;
/** Kept for the original interface: switches nothing.
 * Returns: on, truncated to 16 bits unsigned. */
VZ_API int apiSetEnableImaging(int on) VZ_NOEXCEPT;

/** @} */

/** @name API facade: tuning values
 * Tuning values kept in "./config.txt": each setter that accepts its value
 * saves the file (a failed save is not reported). No device call.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * @{ */

/** Sets the unscaled ambient-light factor, saves the file, and sets the
 * factor in use to it divided by the square root of the 3D time (when that
 * time is above 0).
 * Returns: factor. */
VZ_API double apiSetAmbientLightFactor(double factor) VZ_NOEXCEPT;
/** Sets the delay before a DRNU calibration.
 * Returns: the delay stored, seconds x 1000. */
VZ_API int apiSetDRNUDelay(int seconds) VZ_NOEXCEPT;
/** Sets the temperature difference of the DRNU calibration.
 * Returns: the value stored, degrees x 10. */
VZ_API int apiSetDRNUDiffTemp(int degrees) VZ_NOEXCEPT;
/** Sets the frames averaged by the DRNU calibration.
 * Returns: frames; -1 for a count of 0 or less (nothing saved). */
VZ_API int apiSetDRNUAverage(int frames) VZ_NOEXCEPT;
/** Sets the print level.
 * Returns: level. */
VZ_API int apiPrint(int level) VZ_NOEXCEPT;
/** Sets the temperature coefficient of the current part type.
 * Returns: coefficient. */
VZ_API double apiSetTempCoef(double coefficient) VZ_NOEXCEPT;
/** Sets the speed of light (half of it is stored).
 * Returns: metresPerSecond; -1.0 for a speed not above 0 or not finite
 *          (nothing changed). */
VZ_API double apiSetSpeedOfLight(double metresPerSecond) VZ_NOEXCEPT;
/** Returns: half the speed of light, metres per second. */
VZ_API double apiGetSpeedOfLightDev2(void) VZ_NOEXCEPT;

/** @} */

/** @name API facade: sorted images
 * Forward to the calculation functions of the same names.
 *
 * Buffers: *out receives a pointer to a module-wide buffer, valid until the
 *          next call of the same function; *out is left unchanged for a
 *          NULL out.
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   a frame fetch then gives a zero-filled frame (see the file
 *          description).
 * @{ */

/** Returns: the number of values, see calculationBWSorted(); 0 for a NULL out. */
VZ_API int apiGetBWSorted(uint16_t **out) VZ_NOEXCEPT;
/** Returns: the number of values, see calculationDCSSorted(); 0 for a NULL out. */
VZ_API int apiGetDCSSorted(uint16_t **out) VZ_NOEXCEPT;
/** Returns: the number of values, see calculationDistanceSorted(); 0 for a NULL out. */
VZ_API int apiGetDistanceSorted(uint16_t **out) VZ_NOEXCEPT;
/** Returns: the number of values, see calculationAmplitudeSorted(); 0 for a NULL out. */
VZ_API int apiGetAmplitudeSorted(uint16_t **out) VZ_NOEXCEPT;
/** Returns: the number of values, see calculationDistanceAndAmplitudeSorted();
 *          0 for a NULL out. */
VZ_API int apiGetDistanceAndAmplitudeSorted(uint16_t **out) VZ_NOEXCEPT;

/** @} */

/** @name API facade: corrections, calibration and filters
 * Forward to their modules and return their results.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   device calls fail as described in the file description;
 *          calibration runs then work on zero-filled frames.
 * @{ */

/** Sets the phase offset from a distance (calibrationSetOffset).
 * Returns: the offset stored, in distance codes. */
VZ_API int apiSetOffset(int centimetres, int deviceAddress) VZ_NOEXCEPT;
/** Returns: the default offset in centimetres (calibrationGetOffset). */
VZ_API int apiGetOffset(int deviceAddress) VZ_NOEXCEPT;
/** Switches the default offset (calibrationEnableDefaultOffset).
 * Returns: 1 for on (any non-zero), 0 for off. */
VZ_API int apiEnableDefaultOffset(int on) VZ_NOEXCEPT;
/** Reads the chip's bad-pixel file (calibrationGetBadPixels).
 * Returns: the number of values stored; -1 for a NULL buffer, a missing or
 *          malformed file, or more values than the buffer holds.
 * Buffers: values is the caller's array of at least 165312 (2 x 82656)
 *          values. */
VZ_API int apiGetBadPixels(int *values) VZ_NOEXCEPT;
/** Selects the pseudo-noise polynomial (pnSelectPolynomial; length clamped
 * to 1..7, taps to 0..4).
 * Returns: the 16-bit polynomial word written. */
VZ_API int apiSelectPolynomial(int length, int taps, int deviceAddress) VZ_NOEXCEPT;
/** Switches the defect-pixel correction (imageCorrectionEnable).
 * Returns: on as given. */
VZ_API int apiEnableImageCorrection(int on) VZ_NOEXCEPT;
/** Sets the frames of the temporal filter (imageSetNumberOfPicture).
 * Returns: the count stored (1 for 0). */
VZ_API int apiSetImageAveraging(int pictures) VZ_NOEXCEPT;
/** Selects the spatial filter (imageSetProcessing).
 * Returns: the mode stored (at most 3). */
VZ_API int apiSetImageProcessing(int mode) VZ_NOEXCEPT;
/** Sets the difference filter's threshold (imageDifferenceSetThreshold).
 * Returns: threshold. */
VZ_API int apiSetImageDifferenceThreshold(int threshold) VZ_NOEXCEPT;
/** Switches the saturation marker (saturationEnable).
 * Returns: on as given. */
VZ_API int apiEnableSaturation(int on) VZ_NOEXCEPT;
/** Switches the ADC overflow marker (adcOverflowEnable).
 * Returns: on as given. */
VZ_API int apiEnableAdcOverflow(int on) VZ_NOEXCEPT;
/** Runs a grayscale calibration step (calculationCalibrateGrayscale): 1
 * averages bright frames, any other step dark frames and computes the
 * tables.
 * Returns: 0; -1 when it stopped (no camera, a failed frame fetch). */
VZ_API int apiCalibrateGrayscale(int step) VZ_NOEXCEPT;
/** Switches the grayscale offset correction (setCorrectGrayscaleOffset).
 * Returns: 0. */
VZ_API int apiCorrectGrayscaleOffset(int on) VZ_NOEXCEPT;
/** Switches the grayscale gain correction (setCorrectGrayscaleGain).
 * Returns: 0. */
VZ_API int apiCorrectGrayscaleGain(int on) VZ_NOEXCEPT;
/** Runs the DRNU calibration (calibrationDRNU).
 * Returns: 0; -1 when it stopped (no camera, a failed frame fetch, no
 *          distance image, temperature drift). */
VZ_API int apiCalibrateDRNU(void) VZ_NOEXCEPT;
/** Selects the DRNU correction mode (calculationSetEnableDRNU).
 * Returns: 0. */
VZ_API int apiCorrectDRNU(int mode) VZ_NOEXCEPT;
/** Switches the temperature correction (calculationSetEnableTemperature).
 * Returns: 0. */
VZ_API int apiCorrectTemperature(int on) VZ_NOEXCEPT;
/** Switches the ambient-light correction (calculationSetEnableAmbientLight).
 * Returns: 0. */
VZ_API int apiCorrectAmbientLight(int on) VZ_NOEXCEPT;
/** Returns: configIsEnabledDRNUCorrection(). */
VZ_API int apiIsEnabledDRNUCorrection(void) VZ_NOEXCEPT;
/** Returns: configIsEnabledGrayscaleCorrection(). */
VZ_API int apiIsEnabledGrayscaleCorrection(void) VZ_NOEXCEPT;
/** Returns: configIsEnabledTemperatureCorrection(). */
VZ_API int apiIsEnabledTemperatureCorrection(void) VZ_NOEXCEPT;
/** Returns: configIsEnabledAmbientLightCorrection(). */
VZ_API int apiIsEnabledAmbientLightCorrection(void) VZ_NOEXCEPT;
/** Rebuilds the DRNU tables from the distance images (calibrateRenewDRNU).
 * Returns: the library's block of 100 values; NULL on an internal error.
 * Buffers: the library's block of 100 values; the next renew or show
 *          overwrites it. */
VZ_API int16_t *apiRenewDRNU(int step) VZ_NOEXCEPT;
/** Reports the DRNU steps (calibrateShowDRNU).
 * Returns: the library's block of 100 values; NULL on an internal error.
 * Buffers: the library's block of 100 values; the next renew or show
 *          overwrites it. */
VZ_API int16_t *apiShowDRNU(void) VZ_NOEXCEPT;
/** Loads the step temperatures of the DRNU calibration
 * (calibrationLoadTemperatureDRNU).
 * Returns: the library's array of step temperatures (50 values); NULL when
 *          the file cannot be opened.
 * Buffers: module-wide; the next load overwrites it. */
VZ_API int16_t *apiLoadTemperatureDRNU(void) VZ_NOEXCEPT;
/** Selects the Kalman filter mode (calculationEnableKalman).
 * Returns: 0. */
VZ_API int apiEnableKalman(int mode) VZ_NOEXCEPT;
/** Sets the Kalman filter's difference gain (calculationSetKalmanKdiff).
 * Returns: 0. */
VZ_API int apiSetKalmanKdiff(double kdiff) VZ_NOEXCEPT;
/** Sets the Kalman filter's gain (calculationSetKalmanK).
 * Returns: 0. */
VZ_API int apiSetKalmanK(double k) VZ_NOEXCEPT;
/** Sets the Kalman filter's process noise (calculationSetKalmanQ).
 * Returns: 0. */
VZ_API int apiSetKalmanQ(double q) VZ_NOEXCEPT;
/** Sets the Kalman filter's check count (calculationSetKalmanNumCheck).
 * Returns: 0. */
VZ_API int apiSetKalmanNumCheck(int n) VZ_NOEXCEPT;
/** Sets the first Kalman threshold (calculationSetKalmanThreshold).
 * Returns: threshold. */
VZ_API int apiSetKalmanThreshold(int threshold) VZ_NOEXCEPT;
/** Sets the second Kalman threshold (calculationSetKalmanThreshold).
 * Returns: threshold. */
VZ_API int apiSetKalmanThreshold2(int threshold) VZ_NOEXCEPT;
/** Runs the FLIM calibration of one gate, "mga" or any other name for the
 * second gate (calculationFlimCalibration).
 * Returns: 0, also for a NULL gate name (logged, nothing done); -1 when it
 *          stopped (no camera, a failed frame fetch).
 * Buffers: gateName, a string of the caller's, is read. */
VZ_API int apiCalibrateFlim(const char *gateName) VZ_NOEXCEPT;
/** Switches the FLIM offset correction (calculationCorrectFlimOffset).
 * Returns: on as given. */
VZ_API int apiCorrectFlimOffset(int on) VZ_NOEXCEPT;
/** Switches the FLIM gain correction (calculationCorrectFlimGain).
 * Returns: on as given. */
VZ_API int apiCorrectFlimGain(int on) VZ_NOEXCEPT;
/** Returns: 1 when FLIM calibration tables are available, else 0
 *          (calculateIsFlimCorrectionAvailable). */
VZ_API int apiIsFlimCorrectionAvailable(void) VZ_NOEXCEPT;

/** @} */

/** @name API facade: FLIM timing
 * Forward to the FLIM timing setters of the same names.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * Close:   register calls fail as described in the file description.
 * @{ */

VZ_API int apiFLIMSetT1(uint16_t value) VZ_NOEXCEPT;   /**< Returns: flimSetT1(value). */
VZ_API int apiFLIMSetT2(uint16_t value) VZ_NOEXCEPT;   /**< Returns: flimSetT2(value). */
VZ_API int apiFLIMSetT3(uint16_t value) VZ_NOEXCEPT;   /**< Returns: flimSetT3(value). */
VZ_API int apiFLIMSetT4(uint16_t value) VZ_NOEXCEPT;   /**< Returns: flimSetT4(value). */
VZ_API int apiFLIMSetTREP(uint16_t value) VZ_NOEXCEPT; /**< Returns: flimSetTREP(value). */
/** Returns: flimSetRepetitions(count): the value written. */
VZ_API int apiFLIMSetRepetitions(uint16_t count) VZ_NOEXCEPT;
/** Returns: flimSetFlashDelay(value). */
VZ_API int apiFLIMSetFlashDelay(uint16_t value) VZ_NOEXCEPT;
/** Returns: flimSetFlashWidth(value). */
VZ_API int apiFLIMSetFlashWidth(uint16_t value) VZ_NOEXCEPT;
/** Returns: flimGetStep(): the modulation clock period in ps. */
VZ_API uint16_t apiFLIMGetStep(void) VZ_NOEXCEPT;

/** @} */

/** @name API facade: test and version
 * Version of the processing library: 20800 = 2.8.0. No device call.
 *
 * Thread:  any thread (constant answers).
 * @{ */

/** Prints "test... ".
 * Returns: value, truncated to 16 bits. */
VZ_API int16_t apiTest(int value) VZ_NOEXCEPT;
VZ_API int apiGetVersion(void) VZ_NOEXCEPT; /**< Returns: 20800. */
VZ_API int getVersion(void) VZ_NOEXCEPT;    /**< Returns: 20800. */
VZ_API int getMajor(void) VZ_NOEXCEPT;      /**< Returns: 2. */
VZ_API int getMinor(void) VZ_NOEXCEPT;      /**< Returns: 8. */
VZ_API int getPatch(void) VZ_NOEXCEPT;      /**< Returns: 0. */

/** @} */

/** @name API facade: frame queue
 * Frame queue for applications (the library does not use it): four slots
 * of 661248 bytes, oldest frame first. Frames are copied in and out. No
 * device call.
 *
 * Thread:  one thread at a time (the library is not thread-safe).
 * @{ */

/** Empties the queue and clears its error count.
 * Returns: 0. */
VZ_API int queueInit(void) VZ_NOEXCEPT;
/** Copies a frame into the next free slot.
 * Returns: 0; -1 for a NULL frame, a length outside 0..661248 or a full
 *          queue (counted by queueError).
 * Buffers: `length` bytes of the caller's frame are read. */
VZ_API int enqueue(const uint8_t *frame, int length) VZ_NOEXCEPT;
/** Copies the oldest frame out and frees its slot.
 * Returns: its length in bytes; -1 for a NULL out or an empty queue
 *          (counted by queueError).
 * Buffers: out is the caller's buffer; the frame's length, at most 661248
 *          bytes, is written. */
VZ_API int dequeue(uint8_t *out) VZ_NOEXCEPT;
VZ_API int isQueueEmpty(void) VZ_NOEXCEPT; /**< Returns: 1 when empty, else 0. */
/** Returns: the refused enqueue and dequeue calls since queueInit. */
VZ_API int queueError(void) VZ_NOEXCEPT;
/** Returns: the slot after `index`: (index mod 4 + 1) mod 4; 0 for a negative index. */
VZ_API int succ(int index) VZ_NOEXCEPT;
/** Empties the queue; the error count stays.
 * Returns: 0. */
VZ_API int cleanQueue_intern(void) VZ_NOEXCEPT;

/** @} */

/* ==== end of API facade ==== */

/* ==== distance and amplitude calculation ==== */
/**
 * @name Distance and amplitude calculation
 * Turns the image source's raw DCS frame into sorted distance and amplitude
 * images, and sorts gray and DCS frames into image order.
 *
 * Sorted-image entry points store a pointer to a module-wide buffer in *out
 * and return the number of 16-bit values: pixels for distance or amplitude,
 * 2 x pixels for distance followed by amplitude, samples for gray and DCS
 * images. They return 0 (and leave *out unchanged) for a NULL out, and 0 with
 * *out set for a geometry the calculation cannot hold (more than 82656
 * pixels, more than 255 rows, halves other than 1 or 2) or when the image
 * source has no frame. A frame that carries fewer samples per pixel than the
 * mode needs yields the pixels it carries; one that carries more yields at
 * most the image's pixels.
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
 *
 * Buffers: each variant owns one module-wide buffer of 2 x 82656 codes; the
 *          distance pipeline and calculationAmplitudeSorted hand out the buffer
 *          of the variant the mode flags select, so it stays valid until the
 *          next call that runs that variant. The gray and DCS sorters share one
 *          module-wide buffer of 4 x 82656 codes. The caller never frees them.
 * Thread:  one thread at a time: the EPC library keeps module-wide state for one
 *          camera (the EPC default device) and is not thread-safe.
 * Close:   the frame comes from the image source: a frame pushed by the EPC
 *          driver involves no device; otherwise it is fetched from the EPC
 *          default device. When another thread stops capture or closes that
 *          device meanwhile the fetch fails and the image source hands out a
 *          zeroed frame, so the call still returns its count, with the codes of
 *          an all-zero frame (65500 when the ADC-overflow check is on). A close
 *          must not overlap the call itself; after it the EPC default device is
 *          cleared and every fetch gives a zeroed frame.
 * @{
 */
/** Distance image through the whole distance pipeline.
 * Returns: the number of pixels (codes at *out); 0 as described above. */
VZ_API int calculationDistanceSorted(uint16_t **out) VZ_NOEXCEPT;
/** Distance image followed by the amplitude image, through the distance pipeline.
 * Returns: 2 x the number of pixels (the amplitude of pixel i at index pixels + i);
 *          0 as described above. */
VZ_API int calculationDistanceAndAmplitudeSorted(uint16_t **out) VZ_NOEXCEPT;
/** Amplitude image of the selected variant, without filters or corrections.
 * Returns: the number of pixels; 0 as described above. */
VZ_API int calculationAmplitudeSorted(uint16_t **out) VZ_NOEXCEPT;
/** Gray frame sorted into image order, then the FLIM correction (FLIM mode with
 * the correction available) or the grayscale correction (when switched on).
 * Returns: the number of samples (at most 4 x 82656); 0 as described above. */
VZ_API int calculationBWSorted(uint16_t **out) VZ_NOEXCEPT;
/** DCS planes sorted into image order with the gray corrections as in
 * calculationBWSorted and, when it is on, the ambient-light correction (which
 * first reads the chip temperature and the grayscale image from the device).
 * Returns: the number of samples (at most 4 x 82656); 0 as described above. */
VZ_API int calculationDCSSorted(uint16_t **out) VZ_NOEXCEPT;
/** Takes the image source's gray frame and masks it in place (FLIM mode: splits
 * it into the two gate images) without sorting.
 * Returns: the frame's sample count; 0 for a NULL frame or when the image source
 *          has no frame (*frame is then unchanged).
 * Buffers: *frame receives the image source's own frame (the pushed frame's
 *          samples or its scratch frame), valid until the image source's next
 *          frame; not the caller's to free. */
VZ_API int calculationBW(uint16_t **frame) VZ_NOEXCEPT;
/** Gray or DCS frame sorted into image order with the saturation and ADC-overflow
 * markers and the FLIM gate split, without corrections.
 * Returns: the number of samples (at most 4 x 82656); 0 as described above. */
VZ_API int calcBWSorted(uint16_t **out) VZ_NOEXCEPT;

/** Sine modulation, default readout, two samples per pixel.
 * Returns: pixels (2 x pixels for type 2); 0 as described above. */
VZ_API int calcDefNoPiDelayGetDataSorted(int type, uint16_t **out) VZ_NOEXCEPT;
/** Sine modulation, default readout, four samples per pixel (with the DCS-sum
 * filter when the configuration switches it on).
 * Returns: pixels (2 x pixels for type 2); 0 as described above. */
VZ_API int calcDefPiDelayGetDataSorted(int type, uint16_t **out) VZ_NOEXCEPT;
/** Sine modulation, dual-MGX readout, two samples per pixel.
 * Returns: pixels (2 x pixels for type 2); 0 as described above. */
VZ_API int calcMGXNoPiDelayGetDataSorted(int type, uint16_t **out) VZ_NOEXCEPT;
/** Sine modulation, dual-MGX readout, four samples per pixel.
 * Returns: pixels (2 x pixels for type 2); 0 as described above. */
VZ_API int calcMGXPiDelayGetDataSorted(int type, uint16_t **out) VZ_NOEXCEPT;
/** PN modulation, default readout, two samples per pixel.
 * Returns: pixels (2 x pixels for type 2); 0 as described above. */
VZ_API int calcPNDefNoPiDelayGetDataSorted(int type, uint16_t **out) VZ_NOEXCEPT;
/** PN modulation, default readout, four samples per pixel.
 * Returns: pixels (2 x pixels for type 2); 0 as described above. */
VZ_API int calcPNDefPiDelayGetDataSorted(int type, uint16_t **out) VZ_NOEXCEPT;
/** PN modulation, dual-MGX readout, two samples per pixel.
 * Returns: pixels (2 x pixels for type 2); 0 as described above. */
VZ_API int calcPNMGXNoPiDelayGetDataSorted(int type, uint16_t **out) VZ_NOEXCEPT;
/** PN modulation, dual-MGX readout, four samples per pixel.
 * Returns: pixels (2 x pixels for type 2); 0 as described above. */
VZ_API int calcPNMGXPiDelayGetDataSorted(int type, uint16_t **out) VZ_NOEXCEPT;
/** @} */

/**
 * @name Calculation mode flags
 * Pi delay (default 1): four samples per pixel, else two; dual MGX (0): sample
 * pairs from alternating row sets; PN (0): pseudo-noise modulation; HDR (0):
 * stored only. The distance pipeline selects its variant from these flags.
 *
 * Thread: one thread at a time: the EPC library keeps module-wide state for one
 *         camera (the EPC default device) and is not thread-safe.
 * @{
 */
VZ_API int calculationEnablePiDelay(int enable) VZ_NOEXCEPT; /**< Returns: enable (stored). */
VZ_API int calculationIsPiDelay(void) VZ_NOEXCEPT;           /**< Returns: the pi-delay flag. */
VZ_API int calculationEnableDualMGX(int enable) VZ_NOEXCEPT; /**< Returns: enable (stored). */
VZ_API int calculationIsDualMGX(void) VZ_NOEXCEPT;           /**< Returns: the dual-MGX flag. */
VZ_API int calculationEnablePN(int enable) VZ_NOEXCEPT;      /**< Returns: enable (stored). */
VZ_API int calculationIsPN(void) VZ_NOEXCEPT;                /**< Returns: the PN flag. */
VZ_API int calculationEnableHDR(int enable) VZ_NOEXCEPT;     /**< Returns: enable (stored). */
VZ_API int calculationIsHDR(void) VZ_NOEXCEPT;               /**< Returns: the HDR flag. */
/** Kept for the API facade: the calculation has a single (linear) phase model.
 * Returns: nothing; the call has no effect. */
VZ_API void calculationEnableLinear(void) VZ_NOEXCEPT;
/** @} */

/**
 * @name Per-pixel calculator
 * The calculator works on one pixel at a time through module-wide registers,
 * which are exported variables of the library. calculatorInit(divider) sets
 * amplitudeDivider and copies the image source's minimum amplitude to
 * minAmplitude. calculatorSetArgs2DCS/4DCS load one pixel (samples ANDed with
 * the pixel mask; epc635 samples are shifted right by 4). calculatorGetAmp*
 * return its amplitude (or a marker); calculatorGetDistAndAmp* apply the
 * hysteresis test and return amplitude << 16 | distance (a marker in both
 * halves). An amplitudeDivider of 0 counts as 1. Markers: 65300 amplitude
 * below the hysteresis threshold, 65400 saturated, 65500 ADC overflow.
 *
 * Thread: one thread at a time: the EPC library keeps module-wide state for one
 *         camera (the EPC default device) and is not thread-safe. The frame
 *         calculations overwrite the registers.
 * @{
 */
VZ_API extern uint16_t pixelDCS0; /**< First sample of the loaded pixel (masked). */
VZ_API extern uint16_t pixelDCS1; /**< Second sample of the loaded pixel (masked). */
/** Third sample of the loaded pixel (masked); with two samples per pixel the
 * ADC-overflow lower limit, so that it always passes that check. */
VZ_API extern uint16_t pixelDCS2;
VZ_API extern uint16_t pixelDCS3; /**< Fourth sample, as pixelDCS2. */
VZ_API extern int arg1;           /**< First quadrature component of the loaded pixel. */
VZ_API extern int arg2;           /**< Second quadrature component of the loaded pixel. */
/** Amplitude divider: 1 for two samples per pixel, 2 for four (0 counts as 1). */
VZ_API extern int8_t amplitudeDivider;
VZ_API extern int minAmplitude; /**< Image source's minimum amplitude, copied by calculatorInit. */
/** Index of the loaded pixel in the per-pixel state arrays (hysteresis state). */
VZ_API extern int indexMemory;
/** Second pixel index: the input index, or with dual MGX the running output count. */
VZ_API extern int indexCal;

/** Sets amplitudeDivider (truncated to 8 bits) and copies the image source's
 * minimum amplitude to minAmplitude.
 * Returns: minAmplitude (the image source's minimum amplitude); 0 on an internal
 *          error. */
VZ_API int calculatorInit(int divider) VZ_NOEXCEPT;
/** Loads a pixel of two samples and its two indices into the registers.
 * Returns: nothing. */
VZ_API void calculatorSetArgs2DCS(uint16_t dcs0, uint16_t dcs1, int indexMem,
                                  int indexCalib) VZ_NOEXCEPT;
/** Loads a pixel of four samples and its two indices into the registers.
 * Returns: nothing. */
VZ_API void calculatorSetArgs4DCS(uint16_t dcs0, uint16_t dcs1, uint16_t dcs2, uint16_t dcs3,
                                  int indexMem, int indexCalib) VZ_NOEXCEPT;
/** Amplitude of the loaded pixel under sine modulation: sqrt(arg1^2 + arg2^2) /
 * divider, truncated.
 * Returns: the amplitude, 65400 (saturated) or 65500 (ADC overflow); 0 on an
 *          internal error. */
VZ_API uint16_t calculatorGetAmpSine(void) VZ_NOEXCEPT;
/** Amplitude of the loaded pixel under PN modulation: (|arg1| + |arg2|) / divider.
 * Returns: the amplitude, 65400 (saturated) or 65500 (ADC overflow); 0 on an
 *          internal error. */
VZ_API uint16_t calculatorGetAmpPN(void) VZ_NOEXCEPT;
/** Distance and amplitude of the loaded pixel under sine modulation; updates the
 * pixel's hysteresis state (index indexMemory).
 * Returns: amplitude << 16 | distance (0..29999); a marker (65300, 65400, 65500)
 *          in both halves for an invalid pixel; 0 on an internal error. */
VZ_API uint32_t calculatorGetDistAndAmpSine(void) VZ_NOEXCEPT;
/** Distance and amplitude of the loaded pixel under PN modulation (linear phase
 * estimate, 0..30000, not wrapped); updates the pixel's hysteresis state.
 * Returns: amplitude << 16 | distance; a marker (65300, 65400, 65500) in both
 *          halves for an invalid pixel; 0 on an internal error. */
VZ_API uint32_t calculatorGetDistAndAmpPN(void) VZ_NOEXCEPT;
/** Sets the pixel mask that samples are ANDed with (default 0x0FFF; the
 * configuration sets 0xFFFF for the epc635).
 * Returns: mask. */
VZ_API int calculatorSetPixelMask(uint16_t mask) VZ_NOEXCEPT;
VZ_API uint16_t calculatorGetPixelMask(void) VZ_NOEXCEPT; /**< Returns: the pixel mask. */
/** @} */

/**
 * @name Arctangent lookup
 * Arctangent table (4096 entries over 0..45 degrees in phase codes) and the
 * lookup with integer octant folding; one period is 30000 codes.
 *
 * Thread: one thread at a time: the EPC library keeps module-wide state for one
 *         camera (the EPC default device) and is not thread-safe.
 * @{
 */
/** Fills the arctangent table (the configuration's initialisation calls it).
 * Returns: 0. */
VZ_API int atan2lut_Init(void) VZ_NOEXCEPT;
/** Phase code of the vector (x, y) from the table; any int pair is folded
 * without overflow.
 * Returns: 0..29999 (a vector just below the positive x axis, whose table code is a
 *          whole turn, gives 0);
 *          0 for (0, 0) and on an internal error. */
VZ_API int atan2_lut(int y, int x) VZ_NOEXCEPT;
/** @} */

/** Position of a sample given by the default readout-order iterator. */
typedef struct iterator_position {
    uint16_t column; /**< column of the pixel in the sorted image */
    uint8_t row;     /**< row of the pixel in the sorted image */
    int indexIn;     /**< index of the sample in the plane */
    int indexOut;    /**< index of the pixel in the sorted image */
} iterator_position_t;

/** Position of a sample given by the dual-MGX readout-order iterator. */
typedef struct iterator_mgx_position {
    uint16_t column; /**< column of the pixel in the sorted image */
    uint8_t row;     /**< row of the pixel in the sorted image (half height) */
    int indexIn;     /**< index of the sample in the plane */
    int indexOut;    /**< index of the pixel in the sorted image */
    int count;       /**< running output count */
    int topHalf;     /**< 1 for the top half of a two-half readout */
} iterator_mgx_position_t;

/**
 * @name Readout-order iterators
 * Walk the samples of one DCS plane in the order the sensor delivers them and
 * name each sample's position in the sorted image. The default iterator serves
 * the one-half readout (bottom row first) and the two-half readout (row pairs
 * from the middle outwards); the dual-MGX iterator halves the height and jumps
 * over every second row set, which holds the pixels' second samples. Each
 * iterator is one module-wide walk: Init restarts it (and reads the number of
 * halves from the image source); the frame calculations use the same walks.
 *
 * Buffers: Next writes one position record of the caller's; a NULL position
 *          is ignored (the walk does not advance).
 * Thread:  one thread at a time: the EPC library keeps module-wide state for one
 *          camera (the EPC default device) and is not thread-safe.
 * @{
 */
/** Restarts the default walk over count samples of a columns x rows image.
 * Returns: nothing. */
VZ_API void iteratorDefaultInit(int count, int columns, int rows) VZ_NOEXCEPT;
/** Returns: true while the default walk has visited fewer than count samples;
 * false on an internal error. */
VZ_API bool iteratorDefaultHasNext(void) VZ_NOEXCEPT;
/** Gives the next position of the default walk and advances it.
 * Returns: nothing. */
VZ_API void iteratorDefaultNext(iterator_position_t *position) VZ_NOEXCEPT;
/** Restarts the dual-MGX walk over count samples of a columns x rows raw image.
 * Returns: nothing. */
VZ_API void iteratorMGXInit(int count, int columns, int rows) VZ_NOEXCEPT;
/** Returns: true while the dual-MGX walk's input index is below count; false on
 * an internal error. */
VZ_API bool iteratorMGXHasNext(void) VZ_NOEXCEPT;
/** Gives the next position of the dual-MGX walk and advances it.
 * Returns: nothing. */
VZ_API void iteratorMGXNext(iterator_mgx_position_t *position) VZ_NOEXCEPT;
/** @} */

/**
 * @name Validity checks
 * Saturation (default off): a sample equal to 4095. ADC overflow (default
 * off): a sample below the lower (default 1) or above the upper limit
 * (default 4094; the configuration sets 16 and 65503 for the epc635). The
 * amplitude hysteresis test of one pixel belongs here too; its thresholds are
 * set with the image-processing functions.
 *
 * Thread: one thread at a time: the EPC library keeps module-wide state for one
 *         camera (the EPC default device) and is not thread-safe.
 * @{
 */
/** Sets the saturation flag of the current pixel from one sample.
 * Returns: nothing. */
VZ_API void saturationSet1DCS(uint16_t s) VZ_NOEXCEPT;
/** Sets the saturation flag from two samples. Returns: nothing. */
VZ_API void saturationSet2DCS(uint16_t s0, uint16_t s1) VZ_NOEXCEPT;
/** Sets the saturation flag from four samples. Returns: nothing. */
VZ_API void saturationSet4DCS(uint16_t s0, uint16_t s1, uint16_t s2, uint16_t s3) VZ_NOEXCEPT;
/** Returns: 1 when the check is on and the current pixel is saturated, else 0. */
VZ_API int saturationCheck(void) VZ_NOEXCEPT;
VZ_API int saturationEnable(int enable) VZ_NOEXCEPT; /**< Returns: enable (stored). */
/** Kept for the configuration's epc635 set-up; the saturation value is fixed.
 * Returns: 0; the call has no effect. */
VZ_API int saturationSetSaturationBit(void) VZ_NOEXCEPT;
/** Returns: 1 when the check is on and s lies outside the limits, else 0. */
VZ_API int adcOverflowCheck1DCS(uint16_t s) VZ_NOEXCEPT;
/** Returns: 1 when the check is on and a sample lies outside the limits, else 0. */
VZ_API int adcOverflowCheck2DCS(uint16_t s0, uint16_t s1) VZ_NOEXCEPT;
/** Returns: 1 when the check is on and a sample lies outside the limits, else 0. */
VZ_API int adcOverflowCheck4DCS(uint16_t s0, uint16_t s1, uint16_t s2, uint16_t s3) VZ_NOEXCEPT;
VZ_API int adcOverflowEnable(int enable) VZ_NOEXCEPT;     /**< Returns: enable (stored). */
VZ_API int adcOverflowIsEnabled(void) VZ_NOEXCEPT;        /**< Returns: the check switch. */
VZ_API int adcOverflowSetMin(uint16_t value) VZ_NOEXCEPT; /**< Returns: value (stored). */
VZ_API uint16_t adcOverflowGetMin(void) VZ_NOEXCEPT;      /**< Returns: the lower limit. */
VZ_API int adcOverflowSetMax(uint16_t value) VZ_NOEXCEPT; /**< Returns: value (stored). */
VZ_API uint16_t adcOverflowGetMax(void) VZ_NOEXCEPT;      /**< Returns: the upper limit. */
/** Amplitude hysteresis of pixel `index` (0..82655): passes at or above the
 * upper threshold (state set), fails below the lower one (state cleared) and
 * in between keeps the pixel's state. An index outside the state array passes
 * only at or above the upper threshold and stores nothing.
 * Returns: 1 pass, 0 fail (also on an internal error). */
VZ_API int hysteresisUpdate(int index, int amplitude) VZ_NOEXCEPT;
/** @} */

/**
 * @name PN generator and register dump
 * Chip register access through the register shim on the EPC default device.
 *
 * Thread: one thread at a time: the EPC library keeps module-wide state for one
 *         camera (the EPC default device) and is not thread-safe.
 * Close:  a close must not overlap a call; once the device is closed the EPC
 *         default device is cleared and every register access fails (as
 *         described per function) until an EPC driver is initialised again.
 * @{
 */
/** Programs the PN generator: length 1..7 and taps 0..4 (clamped) select the
 * feedback word written high byte first to registers 140/141; register 146
 * bits 0-2 get the length (left alone when it cannot be read). Prints the two
 * bytes. Register write failures are not reported.
 * Returns: the feedback word; 0 on an internal error. */
VZ_API int pnSelectPolynomial(int length, int taps, int deviceAddress) VZ_NOEXCEPT;
/** Reads the 256 chip registers from register 0, each byte widened to 16 bits.
 * Returns: 0; -1 when dst is NULL or the read fails (no device included).
 * Buffers: dst is the caller's, 256 entries, written only on success. */
VZ_API int dumpAllRegisters(int deviceAddress, uint16_t *dst) VZ_NOEXCEPT;
/** Touches no register or state (kept for the API facade).
 * Returns: enable truncated to 16 bits. */
VZ_API uint16_t setEnableImaging(int enable) VZ_NOEXCEPT;
/** @} */

/* ==== end of calculation ==== */

/* ==== per-pixel corrections ==== */

/**
 * @name Correction switches and parameters
 * Switches of the corrections that the distance pipeline applies to sorted
 * distance images, and of the ambient-light correction of raw DCS samples.
 *
 * Thread: one thread at a time: the EPC library keeps module-wide state for one
 *         camera (the EPC default device) and is not thread-safe.
 * Close:  the DRNU and temperature switches write chip registers on the EPC
 *         default device; a close must not overlap them. Once the device is
 *         closed the writes fail unreported and the switch still changes.
 * @{
 */
/** DRNU mode: 0 off, 1 offset table, 2 distance-image interpolation; any
 * other value is stored too and the distance pipeline then corrects nothing
 * (as with 0). Writes 0 to chip registers 113-115 and 4 (mode not 0) or 1 (0)
 * to register 174, and sets the default phase offset (mode 0: 0; otherwise box
 * offset - DRNU offset, also made the current phase offset).
 * Returns: mode (the old one on an internal error). */
VZ_API int calculationSetEnableDRNU(int mode) VZ_NOEXCEPT;
VZ_API int calculationGetEnableDRNU(void) VZ_NOEXCEPT; /**< Returns: the DRNU mode stored. */
/** Temperature compensation switch (0/1); writes the same four registers.
 * Returns: on (stored as given); the old switch on an internal error. */
VZ_API int calculationSetEnableTemperature(int on) VZ_NOEXCEPT;
/** Returns: the temperature compensation switch. */
VZ_API int calculationGetEnableTemperature(void) VZ_NOEXCEPT;
/** Ambient-light correction switch (0/1) of the raw DCS samples.
 * Returns: on (stored as given). */
VZ_API int calculationSetEnableAmbientLight(int on) VZ_NOEXCEPT;
/** Returns: the ambient-light correction switch. */
VZ_API int calculationGetEnableAmbientLight(void) VZ_NOEXCEPT;
/** Working ambient-light factor (default 250.0; not checked).
 * Returns: factor (stored). */
VZ_API double calculationSetAmbientLightFactor(double factor) VZ_NOEXCEPT;
/** Returns: the working ambient-light factor. */
VZ_API double calculationGetAmbientLightFactor(void) VZ_NOEXCEPT;
/** Unscaled ambient-light factor, kept in the parameter file (default 250.0).
 * Returns: factor (stored). */
VZ_API double calculationSetAmbientLightFactorOrg(double factor) VZ_NOEXCEPT;
/** Returns: the unscaled ambient-light factor. */
VZ_API double calculationGetAmbientLightFactorOrg(void) VZ_NOEXCEPT;
/** Temperature difference used instead of a temperature reading while the
 * ambient-light correction is on (the sine default-readout variants set it).
 * Returns: diff (stored). */
VZ_API int16_t calculationSetDiffTemp(int16_t diff) VZ_NOEXCEPT;
/** @} */

/**
 * @name Distance-image corrections
 * Corrections of sorted distance images of the image source's geometry
 * (columns x rows, at most 82656 entries; a larger geometry is left alone).
 * Codes above 65299 are markers and pass unchanged.
 *
 * Buffers: images are the caller's, corrected in place; each must hold the
 *          columns x rows codes of the current geometry.
 * Thread:  one thread at a time: the EPC library keeps module-wide state for one
 *          camera (the EPC default device) and is not thread-safe.
 * Close:   temperature terms read the chip temperature (from the frame header,
 *          or for calculationCorrectDRNU from the EPC default device); a close
 *          must not overlap the call. After it a device reading fails and the
 *          correction uses whatever temperature the readout then reports.
 * @{
 */
/** Offset-table correction (50 steps, rows below 252), with the temperature
 * term when that compensation is on. Runs whenever DRNU is on (the distance
 * pipeline calls it in mode 1); does nothing in mode 0.
 * Returns: 0; -1 when image is NULL (also on an internal error). */
VZ_API int calculationCorrectDRNU(uint16_t *image) VZ_NOEXCEPT;
/** DRNU mode 2: interpolates every code of source between the calibration
 * distance images and stores the result in destination. Below the smallest
 * calibrated distance a pixel becomes 65300, above the largest 65500; pixels
 * outside the calibration image are copied unchanged.
 * Returns: 0; -1 when destination or source is NULL (also on an internal error).
 * Buffers: source is read and destination written, columns x rows codes each;
 *          both may be the same image. */
VZ_API int calculationCorrectDRNU2_opt(uint16_t *destination, uint16_t *source) VZ_NOEXCEPT;
/** Stand-alone temperature compensation (the temperature from the frame header,
 * or the stored difference while the ambient-light correction is on); does
 * nothing while it is switched off.
 * Returns: 0; -1 when image is NULL (also on an internal error). */
VZ_API int calculationTemperatureCompensation(uint16_t *image) VZ_NOEXCEPT;
/** Adds the phase offset of the current DRNU mode, wrapping into 0..29999
 * (65300, 65400 and 65500 stay).
 * Returns: 0; -1 when image is NULL (also on an internal error). */
VZ_API int calculationAddOffset(uint16_t *image) VZ_NOEXCEPT;
/** Ambient-light correction of one DCS sample with its grayscale value.
 * Returns: the corrected sample (16-bit arithmetic, wrapping). */
VZ_API uint16_t calculationAmbientDCSCorrectionPixel(uint16_t dcs, uint16_t gray) VZ_NOEXCEPT;
/** Corrects the first two DCS planes (samplesPerDCS samples apart) of a sorted
 * DCS image in place with the grayscale image that calculationDCSSorted stored;
 * pixels whose calibration index falls outside the calibration image stay.
 * Returns: 0; -1 when image is NULL or samplesPerDCS is not 1..4 x 82656 (also
 *          on an internal error).
 * Buffers: image is the caller's; pixel p < min(samplesPerDCS, columns x rows)
 *          is corrected at p and p + samplesPerDCS. */
VZ_API int calculationAmbientDCSCorrection(uint16_t *image, int samplesPerDCS) VZ_NOEXCEPT;
/** @} */

/**
 * @name Kalman filters
 * Temporal filters of sorted distance images with per-pixel state (82656
 * entries): mode 1 simple, 2 variance-driven, 3 adaptive gain. Parameters
 * default to K 0.1, Kdiff 0.1, Q 2.0, thresholds 500 and a check count of 0.
 *
 * Buffers: images are the caller's, filtered in place (columns x rows codes of
 *          the current geometry).
 * Thread:  one thread at a time: the EPC library keeps module-wide state for one
 *          camera (the EPC default device) and is not thread-safe.
 * @{
 */
/** Kalman mode: 0 off, 1 simple, 2 variance-driven, 3 adaptive gain (any other
 * value is stored and means off); zeroes every pixel's sample counter.
 * Returns: mode. */
VZ_API int calculationEnableKalman(int mode) VZ_NOEXCEPT;
/** Fills the error covariance of every pixel with a tiny positive value.
 * Returns: 0. */
VZ_API int calculationInitKalman(void) VZ_NOEXCEPT;
/** Filters every code up to 29999 of a sorted distance image in place with the
 * current mode; does nothing while the filters are off.
 * Returns: 0; -1 when image is NULL (also on an internal error). */
VZ_API int calculationFalmanFiltering(uint16_t *image) VZ_NOEXCEPT;
/** One step of the simple filter at pixel index (0..82655) with gain.
 * Returns: the new estimate; the measurement for an index out of range. */
VZ_API double calculationSimpleKalmanFilter(double measurement, int index, double gain) VZ_NOEXCEPT;
/** One step of the variance-driven filter at pixel index (0..82655).
 * Returns: the new estimate; the measurement for an index out of range. */
VZ_API double calculationKalmanFilter(double measurement, int index, double q,
                                      double variance) VZ_NOEXCEPT;
/** Running-variance step of mode 2 with sample count n (n <= 0 restarts the
 * pixel's sums).
 * Returns: the variance; 0 while n < 2 and for an index outside 0..82655. */
VZ_API double calculationVariance(double x, int n, int index) VZ_NOEXCEPT;
/** Gain K, also the ceiling of mode 3. Returns: k (stored). */
VZ_API double calculationSetKalmanK(double k) VZ_NOEXCEPT;
/** Gain numerator Kdiff of mode 3. Returns: kdiff (stored). */
VZ_API double calculationSetKalmanKdiff(double kdiff) VZ_NOEXCEPT;
/** Process noise Q of mode 2. Returns: q (stored). */
VZ_API double calculationSetKalmanQ(double q) VZ_NOEXCEPT;
/** Threshold 1 (which == 1) or 2 (any other which). Returns: t (stored). */
VZ_API int calculationSetKalmanThreshold(int which, int t) VZ_NOEXCEPT;
/** Check count of the simple and variance-driven filters: consecutive frames
 * compared with the thresholds before the estimate is reset. Returns: n (stored). */
VZ_API int calculationSetKalmanNumCheck(int n) VZ_NOEXCEPT;
/** Linear interpolation, no state.
 * Returns: y0 + dy x (x - x0) / (x1 - x0) (y0 when x1 == x0), rounded half away
 *          from zero and saturated to the int range. */
VZ_API int calculationInterpolate(double x, double x0, double y0, double x1, double dy) VZ_NOEXCEPT;
/** @} */

/* ==== end of per-pixel corrections ==== */

/* ==== DRNU calibration tables and files ==== */

/**
 * @name DRNU calibration geometry and scalars
 * Calibration image geometry, the number of steps and the scalars that the
 * DRNU correction and the calibration run use. Setters that check their value
 * refuse a bad one with a log line and keep the old value.
 *
 * Thread: one thread at a time: the EPC library keeps module-wide state for one
 *         camera (the EPC default device) and is not thread-safe.
 * @{
 */
/** Calibration image width, 1..328 (default 320).
 * Returns: the width now in force (the old one for a refused value). */
VZ_API int calibrateSetWidth(int width) VZ_NOEXCEPT;
VZ_API int calibrateGetWidth(void) VZ_NOEXCEPT; /**< Returns: the calibration image width. */
/** Calibration image height, 1..252 (default 240).
 * Returns: the height now in force (the old one for a refused value). */
VZ_API int calibrateSetHeight(int height) VZ_NOEXCEPT;
VZ_API int calibrateGetHeight(void) VZ_NOEXCEPT; /**< Returns: the calibration image height. */
/** Number of calibration steps, 0..50 (default 30; loading distance images sets
 * the count the file holds).
 * Returns: the count now in force (the old one for a refused value). */
VZ_API int calibrateSetNumDistances(int n) VZ_NOEXCEPT;
VZ_API int calibrateGetNumDistances(void) VZ_NOEXCEPT; /**< Returns: the number of steps. */
/** Returns: the DRNU offset in phase codes (default 8364). */
VZ_API int calibrationGetOffsetDRNU(void) VZ_NOEXCEPT;
/** Returns: the calibration temperature (default 361). */
VZ_API int calibrateGetTempCalib(void) VZ_NOEXCEPT;
/** Returns: the calibration step in millimetres (default 298.2). */
VZ_API double calibrateGetStepCalMM(void) VZ_NOEXCEPT;
/** Speed of light / 2 in m/s (default 149896229.0; non-positive or non-finite
 * values refused).
 * Returns: the value now in force (the old one for a refused value). */
VZ_API double calibrateSetSpeedOfLightDiv2(double value) VZ_NOEXCEPT;
/** Returns: the speed of light / 2 in m/s. */
VZ_API double calibrateGetSpeedOfLightDiv2(void) VZ_NOEXCEPT;
/** Temperature coefficient in mm per unit by part type (default 1.7 for the
 * epc660, 1.56131 for the epc635, part types 4 and 5).
 * Returns: coef (stored for the part type's chip). */
VZ_API double calibrateSetTempCoef(double coef, int partType) VZ_NOEXCEPT;
/** Returns: the temperature coefficient of the part type's chip. */
VZ_API double calibrateGetTempCoef(int partType) VZ_NOEXCEPT;
/** Frames averaged per step (default 25; non-positive refused).
 * Returns: the count now in force (the old one for a refused value). */
VZ_API int calibrateSetDRNUAverage(int n) VZ_NOEXCEPT;
VZ_API int calibrateGetDRNUAverage(void) VZ_NOEXCEPT; /**< Returns: frames averaged per step. */
/** Delay between frames in microseconds (default 200000; values of 0 and below
 * or of 1000000 and more are stored but not waited).
 * Returns: us (stored). */
VZ_API int calibrateSetDRNUCalibrateDelay(int us) VZ_NOEXCEPT;
/** Returns: the delay between frames in microseconds. */
VZ_API int calibrateGetDRNUCalibrateDelay(void) VZ_NOEXCEPT;
/** Allowed step-temperature drift of a calibration pass (default 7).
 * Returns: diff (stored). */
VZ_API int calibrateSetDRNUDiffTemp(int diff) VZ_NOEXCEPT;
/** Returns: the allowed step-temperature drift. */
VZ_API int calibrateGetDRNUDiffTemp(void) VZ_NOEXCEPT;
/** Bad-pixel search area: stores n - 12 rows. Returns: n - 12. */
VZ_API int calibrationSetNumberOfRowsMax(int n) VZ_NOEXCEPT;
/** Bad-pixel search area: stores n - 8 columns. Returns: n - 8. */
VZ_API int calibrationSetNumberOfColumnsMax(int n) VZ_NOEXCEPT;
/** Returns: 0 (there is no fixed-pattern phase offset). */
VZ_API int calibrateGetoffsetPhaseDefaultFPN(void) VZ_NOEXCEPT;
/** @} */

/**
 * @name Phase offset
 * The phase offset added to every distance (codes) and the default phase
 * offset that the DRNU mode and the calibration tables set.
 *
 * Thread: one thread at a time: the EPC library keeps module-wide state for one
 *         camera (the EPC default device) and is not thread-safe.
 * @{
 */
/** Returns: offset (stored as the phase offset). */
VZ_API int calibrationSetOffsetPhase(int offset) VZ_NOEXCEPT;
/** Returns: the phase offset. */
VZ_API int calibrationGetOffsetPhase(void) VZ_NOEXCEPT;
/** Returns: offset (stored as the default phase offset). */
VZ_API int calibrationSetDefaultOffsetPhase(int offset) VZ_NOEXCEPT;
/** Default-offset switch (default on); on copies the default phase offset into
 * the phase offset.
 * Returns: 1 for a non-zero on, else 0 (the switch stored). */
VZ_API int calibrationEnableDefaultOffset(int on) VZ_NOEXCEPT;
/** Returns: the default-offset switch (1 or 0). */
VZ_API int calibrationIsDefaultEnabled(void) VZ_NOEXCEPT;
/** Phase offset from centimetres at the current modulation frequency
 * (deviceAddress is not used).
 * Returns: the new phase offset (truncated). */
VZ_API int calibrationSetOffset(int cm, int deviceAddress) VZ_NOEXCEPT;
/** Default phase offset converted to centimetres (deviceAddress is not used).
 * Returns: the default phase offset in cm (truncated). */
VZ_API int calibrationGetOffset(int deviceAddress) VZ_NOEXCEPT;
/** @} */

/**
 * @name DRNU calibration run and tables
 * The offset table holds 50 steps x 252 rows x 328 columns; the distance
 * images of each frequency mode hold up to 50 steps of width x height codes
 * (the mode follows the modulation frequency: above 19999 kHz mode 0, else
 * mode 1). The run sweeps the chip's delay line through the steps, averages
 * distance images from the EPC default device and derives the table; it
 * writes the calibration files into the current directory.
 *
 * Buffers: calibrateRenewDRNU and calibrateShowDRNU return a module-wide block
 *          of 100 signed 16-bit values (50 step averages, then 50 step
 *          temperatures), valid until either is called again; not the
 *          caller's to free.
 * Thread:  one thread at a time: the EPC library keeps module-wide state for one
 *          camera (the EPC default device) and is not thread-safe. A run takes
 *          frames itself and must not overlap frame decoding.
 * Close:   a close must not overlap a run. When another thread stops capture
 *          meanwhile the frames come back zeroed (the image source's failed
 *          fetch) and the run averages them; once the device is closed the
 *          register accesses fail unreported and every frame is zeroed.
 * @{
 */
/** Entry [step][row][column] of the offset table.
 * Returns: the entry; 0 outside 50 x 252 x 328. */
VZ_API int calibrateGetDRNULutPixel(int step, int row, int column) VZ_NOEXCEPT;
/** Distance-image value of the current frequency mode; index = step x width x
 * height + pixel.
 * Returns: the value; 0 for an index outside 0..50 x 82656 - 1. */
VZ_API uint16_t calibrateGetDistImagePixel(int index) VZ_NOEXCEPT;
/** The whole calibration run on the EPC default device, which it holds open
 * for its length (a close from another thread makes it stop at its next frame
 * and waits for that): saves and clears the
 * correction switches, sweeps every step (repeating a pass that drifts beyond
 * the allowed temperature difference, at most 10 passes), saves the distance
 * images, step temperatures, table and parameter block and the upload image
 * "calib_and_param_%03i.bin", and restores the switches (the full region of
 * interest it sets stays). Takes number of steps x frames per step frames with
 * the delay between them (minutes by default).
 * Files are written under temporary names ("<name>.part") and take their names
 * only when the run completes; a stopped run removes them and leaves the
 * previous files as they were.
 * Returns: 0; -1 at once without an open camera, with no steps, when a frame
 *          fetch fails or a step cannot be captured, or after 10 drifting
 *          passes (see the log; also on an internal error). */
VZ_API int calibrationDRNU(void) VZ_NOEXCEPT;
/** Captures and averages framesToAverage distance images at one delay-line step
 * (unwrapped against the previous step), stores the step image, its
 * temperature and its offset-table entries.
 * Returns: 0; -1 for a step outside 0..49, a non-positive frame count, a
 *          frame fetch that brought no frame, or a distance image smaller than
 *          the calibration image (also on an internal error). */
VZ_API int calibrationCreateDRNU_LUT(int step, int framesToAverage) VZ_NOEXCEPT;
/** Builds the offset table from the loaded distance images of the current mode
 * with a step of stepTenthsOfMm / 10 mm (loading the step temperatures; the
 * DRNU offset becomes the mean of step image 0) and saves it with
 * calibrationSaveDRNU_LUT.
 * Returns: 0; -1 for a non-positive step (also on an internal error). */
VZ_API int calibrationDRNU_FromFile(int stepTenthsOfMm) VZ_NOEXCEPT;
/** Searches the step (270.0 to 340.0 mm) that makes the table flattest, takes it
 * and saves the table file. The offset table then holds the last trial's table.
 * Returns: 1 on success; 0 when none was found (the best lies at either end;
 *          also on an internal error). */
VZ_API int calibrationAutoRenew(void) VZ_NOEXCEPT;
/** Rebuilds the offset table for a trial step and frequency mode (0, any other
 * value 1) and measures it.
 * Returns: the variance of the step averages; -1.0 on an internal error. */
VZ_API float calibrationCalcDRNUStd(int stepTenthsOfMm, int mode) VZ_NOEXCEPT;
/** Rebuilds the table (n < 0: after a step search; n == 0: with the current
 * step; else with a step of n / 10 mm) from the distance-image file of the
 * current mode, then logs the delay calibration.
 * Returns: the module-wide block of step averages and temperatures; NULL on an
 *          internal error. */
VZ_API int16_t *calibrateRenewDRNU(int n) VZ_NOEXCEPT;
/** Recomputes the step averages of the current table and loads the step
 * temperatures.
 * Returns: the module-wide block of step averages and temperatures; NULL on an
 *          internal error. */
VZ_API int16_t *calibrateShowDRNU(void) VZ_NOEXCEPT;
/** Logs the delay calibration that the current step implies (reads chip
 * register 233; a failed read logs -1).
 * Returns: 0; -1 on an internal error. */
VZ_API int calibrationTestStep(void) VZ_NOEXCEPT;
/** @} */

/**
 * @name DRNU calibration files
 * Calibration files live in the current directory; their names carry the
 * wafer and chip ID and a frequency suffix ("_20.", "_10." or "_5."). Loaders
 * check what they read before they take it and report refused input with a
 * log line, as each function tells.
 *
 * Buffers: name buffers are the caller's and hold 256 bytes (the name is
 *          truncated to fit); calibrationLoadTemperatureDRNU returns the
 *          module-wide table of 50 step temperatures, valid for the library's
 *          lifetime and changed by later loads and runs; paths are the
 *          caller's, read only.
 * Thread:  one thread at a time: the EPC library keeps module-wide state for one
 *          camera (the EPC default device) and is not thread-safe.
 * @{
 */
/** Loads the parameter block ("drnu_param" "_10." file; without a valid one both
 * slots get the defaults 8364, 361, 298.2) and the two table texts ("_20." slot
 * 0, "_10." slot 1), then takes the current mode's slot into the offset table
 * and sets the default phase offset. A header that is missing or absurd keeps
 * the slot's values; a truncated table keeps the rows read (with an error line).
 * Returns: 0; -1 when a table text is missing (what was taken until then stays;
 *          also on an internal error). */
VZ_API int calibrationLoadDRNU_LUT(void) VZ_NOEXCEPT;
/** Loads the distance images of mode 1 (the "_10." file), mode 2 (the "_5."
 * file, into the mode-1 images) or mode 0 (the "_20." file; any other mode
 * reads the "_20." file into the mode-1 images), at most
 * 50 steps (the rest of a longer file is ignored), sets the number of steps to
 * the count loaded and rebuilds the per-pixel minimum and maximum. A file whose
 * size cannot be taken (missing) sets the number of steps to 50.
 * Returns: 0; -1 when the file is missing, holds no whole step or cannot be
 *          read (the tables then stay; also on an internal error). */
VZ_API int calibrationLoadDistanceImages(int mode) VZ_NOEXCEPT;
/** Loads the step temperatures (lines that are missing or not numbers leave
 * their entry) and sets the calibration temperature to their mean.
 * Returns: the module-wide step-temperature table (50 entries); NULL when the
 *          file is missing (also on an internal error). */
VZ_API int16_t *calibrationLoadTemperatureDRNU(void) VZ_NOEXCEPT;
/** Copies a table slot (0 or 1, other values refused) into the offset table and
 * takes its DRNU offset, calibration temperature and step.
 * Returns: the DRNU offset now in force (the old one for a refused slot). */
VZ_API int calibrationChangeDRNU_LUT(int slot) VZ_NOEXCEPT;
/** After a modulation-frequency change: loads the DRNU set (parameter block
 * and distance images) of the new frequency's class ("_20.", "_10.", "_5.")
 * when the camera has one made at that frequency, and sets the phase offset
 * from it (the default phase offset too with DRNU on). Without one it logs a
 * warning once per frequency, holds the DRNU correction back until a
 * calibrated frequency returns, and keeps both phase offsets as the same
 * distance at the new frequency.
 * Returns: 0; -1 on an internal error. */
VZ_API int calibrationUpdateFrequency(void) VZ_NOEXCEPT;
/** The frequency of the DRNU set in use, which fits the current modulation
 * frequency.
 * Returns: the frequency in kHz; 0 when the camera has no DRNU set for the
 *          current frequency (also on an internal error). */
VZ_API int calibrationGetSetFrequency(void) VZ_NOEXCEPT;

/** Writes the table text header (DRNU offset, calibration temperature, step)
 * with the frequency suffix and the block "temp_param.bin"; for the epc635 also
 * both table dumps.
 * Returns: 0; -1 when the table text cannot be created (also on an internal
 *          error). */
VZ_API int calibrationSaveDRNU_LUT(void) VZ_NOEXCEPT;
/** Writes the step temperatures, one line per step.
 * Returns: 0; -1 when the file cannot be created (also on an internal error). */
VZ_API int calibrationSaveTemperatureDRNU(void) VZ_NOEXCEPT;
/** Writes the distance images of the current mode in binary, then as text.
 * Returns: 0; -1 when a file cannot be written (also on an internal error). */
VZ_API int calibrationSaveDistanceImages(void) VZ_NOEXCEPT;
/** Writes the distance images of the current mode as text.
 * Returns: 0; -1 when the file cannot be created (also on an internal error). */
VZ_API int calibrationSaveDistanceImagesTXT(void) VZ_NOEXCEPT;
/** Dumps the offset table to path, one line per pixel in row-major order.
 * Returns: 0; -1 when path is NULL or cannot be created (also on an internal
 *          error). */
VZ_API int calibrationSaveDRNU_LUT_TestXY(const char *path) VZ_NOEXCEPT;
/** Dumps the offset table to path, one line per pixel in column-major order.
 * Returns: 0; -1 when path is NULL or cannot be created (also on an internal
 *          error). */
VZ_API int calibrationSaveDRNU_LUT_TestYX(const char *path) VZ_NOEXCEPT;

/** Name of the distance-image file of a mode (1 "_10.", other "_20.") into
 * buffer; a NULL buffer gets nothing.
 * Returns: mode. */
VZ_API int calibrationGetDistanceImagesName(char *buffer, int mode) VZ_NOEXCEPT;
/** Name of the parameter-block file of a mode (1 "_10.", other "_20.") into
 * buffer; a NULL buffer gets nothing.
 * Returns: mode. */
VZ_API int calibrationGetParamName(char *buffer, int mode) VZ_NOEXCEPT;
/** Returns: 0 when the distance-image file of the mode exists as a regular file,
 * -1 otherwise (also on an internal error). */
VZ_API int calibrationDataFileCheck(int mode) VZ_NOEXCEPT;
/** @} */

/**
 * @name Offset table analysis and bad pixels
 * Analysis of the offset table over the calibration area, and the bad-pixel
 * list "./calibration/PT%02i_W%03i_C%03i_bad_pixels.txt" (part type, wafer and
 * chip ID), one "x y" line per bad pixel in sensor coordinates.
 *
 * Thread: one thread at a time: the EPC library keeps module-wide state for one
 *         camera (the EPC default device) and is not thread-safe.
 * Close:  the bad-pixel search works on the EPC default device and must not
 *         overlap a close. A capture stop meanwhile gives it a zeroed gray
 *         image (every pixel is then bad); after a close its register accesses
 *         fail and the image is zeroed.
 * @{
 */
/** Returns: (mean of step - mean of step 0) / (step + 1); 0 for a step outside
 * 0..49. */
VZ_API double calibrationFindLine(int step) VZ_NOEXCEPT;
/** Least-squares fit value = slope x step + intercept over all steps and pixels.
 * Returns: 0; -1 when slope or intercept is NULL.
 * Buffers: *slope and *intercept are the caller's, written on success. */
VZ_API int calibrationLinearRegresion(double *slope, double *intercept) VZ_NOEXCEPT;
/** Subtracts slope x step + intercept from every entry of the calibrated steps
 * and area (truncating).
 * Returns: 0. */
VZ_API int calibrationCorrectDRNU_LUT(double slope, double intercept) VZ_NOEXCEPT;
/** Returns: round(15000 / step in mm). */
VZ_API int calibrationErrorCurveEndIndex(void) VZ_NOEXCEPT;
/** Bad-pixel search on the device's gray image (values outside 2000..2096 are
 * bad); the chip settings it changes are restored, and the list is written.
 * The list is written under a temporary name and takes its name when whole.
 * Returns: the number of bad pixels; -1 at once without an open camera, when
 *          the frame fetch fails, or when the list cannot be written whole (the
 *          previous list is then kept; also on an internal error). */
VZ_API int calibrationSearchBadPixelsWithMin(void) VZ_NOEXCEPT;
/** Reads the bad-pixel list into values.
 * Returns: the number of values read; -1 for a NULL values, a missing file, a
 *          line of more than two numbers or more than 2 x 82656 values (also on
 *          an internal error).
 * Buffers: values is the caller's, room for 2 x 82656 ints; on -1 it may hold
 *          the values read before the failure. */
VZ_API int calibrationGetBadPixels(int *values) VZ_NOEXCEPT;
/** @} */

/* ==== end of DRNU calibration ==== */

/* ==== image processing ==== */

/**
 * @name Image filters
 * Filters on the sorted distance image, called by the distance pipeline in
 * this order: defect replacement, spatial averaging, temporal averaging,
 * difference test. Every filter is off by default. Images are distance codes
 * of the current geometry: width = pruGetNCols(), height = rows per half x
 * halves (halved with dual MGX), at most 82656 pixels; 65300 marks a rejected
 * pixel.
 *
 * Buffers: images are the caller's, filtered in place; a NULL image is ignored
 *          (nothing happens), a non-NULL one must hold the current geometry's
 *          pixels. The spatial filters work on a module-wide copy. Paths are the
 *          caller's, read only.
 * Thread:  one thread at a time: the EPC library keeps module-wide state for one
 *          camera (the EPC default device) and is not thread-safe.
 * @{
 */
/** Loads a defect list (one defect per line: x in characters 0-2, y in 4-6,
 * neighbour code W, NW, N, NE, E, SE, S, SW from character 8), replacing the
 * previous list, and rebuilds the transformed list for the current region of
 * interest. At most 1024 entries and 1 MiB are read; malformed lines are
 * skipped, each of the first ten with a warning, the rest counted in one.
 * Returns: the result of closing the file (0, or EOF when closing fails); 0
 *          when path is NULL or the file cannot be opened (the list is then
 *          empty) and on an internal error. */
VZ_API int imageCorrectionLoad(const char *path) VZ_NOEXCEPT;
/** Switches defect replacement on (non-zero) or off.
 * Returns: on (stored). */
VZ_API int imageCorrectionEnable(int on) VZ_NOEXCEPT;
/** Maps the loaded defects into the current region of interest, binning and
 * row reduction; defects whose neighbour lies outside the image are dropped.
 * Returns: the number of loaded entries (not of those mapped); 0 on an internal
 *          error. */
VZ_API int imageCorrectionTransform(void) VZ_NOEXCEPT;
/** Replaces every mapped defect by its listed neighbour, in list order, while
 * defect replacement is on.
 * Returns: nothing. */
VZ_API void imageCorrect(uint16_t *image) VZ_NOEXCEPT;

/** Spatial mode: 1 four-neighbour, 2 eight-neighbour averaging, 0 and 3 off;
 * values above 3 become 3.
 * Returns: the stored mode. */
VZ_API int imageSetProcessing(int mode) VZ_NOEXCEPT;
/** Runs the spatial filter of the current mode. Returns: nothing. */
VZ_API void imageProcess(uint16_t *image) VZ_NOEXCEPT;
/** Four-neighbour averaging in place. Returns: nothing. */
VZ_API void imageAverageFourConnectivity(uint16_t *image) VZ_NOEXCEPT;
/** Eight-neighbour averaging in place. Returns: nothing. */
VZ_API void imageAverageEightConnectivity(uint16_t *image) VZ_NOEXCEPT;

/** Temporal averaging over n pictures (0 stores 1; below 2 it is off).
 * Returns: the stored value. */
VZ_API int imageSetNumberOfPicture(int n) VZ_NOEXCEPT;
/** One temporal-averaging step with the module-wide running image; a marker
 * passes and restarts that pixel's average.
 * Returns: nothing. */
VZ_API void imageAverage(uint16_t *image) VZ_NOEXCEPT;

/** Difference test: with a threshold t other than 0 the first frame after a
 * threshold change or imageDifferenceInit() becomes the reference; later
 * pixels closer than t to it become 65300. 0 switches the test off.
 * Returns: t (stored). */
VZ_API int imageDifferenceSetThreshold(int t) VZ_NOEXCEPT;
/** Makes the next frame the reference again. Returns: 0. */
VZ_API int imageDifferenceInit(void) VZ_NOEXCEPT;
/** Runs the difference test (or takes the reference). Returns: nothing. */
VZ_API void imageDifference(uint16_t *image) VZ_NOEXCEPT;
/** @} */

/**
 * @name Amplitude hysteresis thresholds
 * Upper threshold = minimum amplitude, lower = amplitude - width; every change
 * clears the per-pixel state (82656 entries), so no pixel is valid until it
 * reaches the upper threshold again. Both thresholds start at 0.
 *
 * Thread: one thread at a time: the EPC library keeps module-wide state for one
 *         camera (the EPC default device) and is not thread-safe.
 * @{
 */
/** Sets both thresholds from amplitude and width.
 * Returns: width. */
VZ_API int hysteresisSetThresholds(int amplitude, int width) VZ_NOEXCEPT;
/** Sets the upper threshold to amplitude, keeping the width.
 * Returns: amplitude. */
VZ_API int hysteresisUpdateThresholds(int amplitude) VZ_NOEXCEPT;
/** Returns: the pixel's hysteresis state (1 = currently valid, else 0); 0 for an
 * index outside 0..82655. */
VZ_API int hysteresisIsEnabled(int index) VZ_NOEXCEPT;
/** @} */

/* ==== end of image processing ==== */

/* ==== grayscale and FLIM calibration ==== */

/**
 * @name Grayscale and FLIM correction
 * Per-pixel dark offset and gain for grayscale images and for the two FLIM
 * gates (gate 0 = mga, 1 = mgb), applied to the sorted gray image. Tables are
 * indexed by the calibration index of a pixel: (top-left y - 6 + row) x
 * calibration width + (top-left x - 4) + column; pixels whose index falls
 * outside the calibration image stay uncorrected.
 *
 * Buffers: images are the caller's, corrected in place; a NULL image is
 *          ignored.
 * Thread:  one thread at a time: the EPC library keeps module-wide state for one
 *          camera (the EPC default device) and is not thread-safe.
 * @{
 */
/** Grayscale offset correction switch. Returns: on (stored). */
VZ_API int setCorrectGrayscaleOffset(int on) VZ_NOEXCEPT;
/** Grayscale gain correction switch. Returns: on (stored). */
VZ_API int setCorrectGrayscaleGain(int on) VZ_NOEXCEPT;
/** FLIM offset correction switch. Returns: on (stored). */
VZ_API int calculationCorrectFlimOffset(int on) VZ_NOEXCEPT;
/** FLIM gain correction switch. Returns: on (stored). */
VZ_API int calculationCorrectFlimGain(int on) VZ_NOEXCEPT;
/** Marks the FLIM tables usable (the calibration and the loader set it).
 * Returns: on (stored). */
VZ_API int calculateSetFlimCorrectionAvailable(int on) VZ_NOEXCEPT;
/** Returns: the FLIM-correction-available flag; 0 on an internal error. */
VZ_API int calculateIsFlimCorrectionAvailable(void) VZ_NOEXCEPT;

/** Applies the grayscale offset and gain (as switched on) to a sorted gray
 * image of the current gray geometry; results stay within 0..65299 and marker
 * codes stay.
 * Returns: nothing. */
VZ_API void calculateGrayscaleCorrection(uint16_t *image) VZ_NOEXCEPT;
/** Applies the FLIM offset and gain (as switched on) to the two gate planes of a
 * sorted FLIM image of `samples` values (plane 1 starts at samples / 2); values
 * are signed 16-bit and results are clamped to that range.
 * Returns: nothing.
 * Buffers: image holds samples values. */
VZ_API void calculationFlimCorrection(uint16_t *image, int samples) VZ_NOEXCEPT;
/** @} */

/**
 * @name Grayscale and FLIM calibration
 * Offset and gain tables built from bright and dark mean images over 100
 * frames, kept in text files in the current directory: the mean images in
 * "./grayscale_temp_image.txt" and "./flim_temp_image.txt", the tables in a
 * gain/offset file per chip (and per gate). A gain/offset line gives at most
 * the image width of values, each read as "%lf" reads it; an entry that is no
 * number keeps its neutral value (gain 1.0, offset 0.0) with a log line, as do
 * the entries a short line lacks. Mean-image loaders reject malformed values
 * with a log line (0 there). Gate numbers other than 0 and 1 are refused (failure value,
 * nothing changes).
 *
 * Buffers: mean-image buffers (`values`) are the caller's and must hold the gray
 *          geometry's pixels (at most 82656 ints).
 * Thread:  one thread at a time: the EPC library keeps module-wide state for one
 *          camera (the EPC default device) and is not thread-safe.
 * Close:   the means take gray frames from the image source (the grayscale
 *          mean first switches the chip to grayscale, the FLIM calibration
 *          changes and restores the illumination settings). A calibration
 *          holds the camera: a close from another thread makes it stop at its
 *          next frame fetch (which fails) and waits for that; a mean stops
 *          at a fetch that brings no frame.
 * @{
 */
/** Grayscale calibration: step 1 records the bright mean into
 * "./grayscale_temp_image.txt"; any other step reads it back, takes the dark
 * mean, computes gain and offset and saves the gain/offset file (without dark
 * frames the tables and file stay). Without an open camera, or when a frame
 * fetch fails, the step stops at once and writes nothing; files are written
 * under temporary names and take their names when the step completes.
 * Returns: 0 (also on an internal error); -1 when the step stopped. */
VZ_API int calculationCalibrateGrayscale(int step) VZ_NOEXCEPT;
/** Mean of `count` sorted gray frames per pixel (the chip is switched to
 * grayscale first); count <= 0, a missing or short frame leave values as they
 * were, as does a NULL values.
 * Returns: nothing. */
VZ_API void calculationGrayscaleMean(int count, int *values) VZ_NOEXCEPT;
/** Gain and offset tables from the module's bright and dark grayscale means.
 * Returns: nothing. */
VZ_API void calculationGrayscaleGainOffset(void) VZ_NOEXCEPT;
/** Saves a grayscale mean image to "./grayscale_temp_image.txt".
 * Returns: 0; -1 when values is NULL or the file cannot be written (also on an
 *          internal error). */
VZ_API int calculateSaveGrayscaleImage(const int *values) VZ_NOEXCEPT;
/** Loads the grayscale mean image (values are zeroed first once the file opens).
 * Returns: 0; -1 when values is NULL, the file cannot be opened or a row is
 *          missing (also on an internal error). */
VZ_API int calculateLoadGrayscaleImage(int *values) VZ_NOEXCEPT;
/** Saves the grayscale gain/offset file of this chip.
 * Returns: 0; -1 when it cannot be written (also on an internal error). */
VZ_API int calculateSaveGrayscaleGainOffset(void) VZ_NOEXCEPT;
/** Loads the grayscale gain/offset file of this chip; resets the tables to gain
 * 1.0 and offset 0.0 first (missing rows stay neutral with an error line).
 * Returns: 0; -1 when it cannot be opened (also on an internal error). */
VZ_API int calculateLoadGrayscaleGainOffset(void) VZ_NOEXCEPT;

/** FLIM calibration of gate "mga" (any other text: mgb), bright with the
 * current illumination and dark with one repetition and no flash (restored
 * afterwards); saves the gate's file and marks the correction available. A
 * NULL gateName is refused with an error line. Without an open camera, or when
 * a frame fetch fails, it stops (the settings restored) and writes nothing.
 * Returns: 0 (also on an internal error); -1 when it stopped. */
VZ_API int calculationFlimCalibration(const char *gateName) VZ_NOEXCEPT;
/** Stepwise FLIM calibration with the illumination as set: 1 bright mga, 3
 * bright mgb, 0 dark mga, other values dark mgb (a dark step that gets its
 * frames computes and saves the gate's tables and marks the correction
 * available). Without an open camera, or when a frame fetch fails, the step
 * stops and writes nothing.
 * Returns: 0 (also on an internal error); -1 when the step stopped. */
VZ_API int calculationCalibrateFlim(int step) VZ_NOEXCEPT;
/** Mean of `count` frames of one gate plane into values.
 * Returns: the last frame's sample count; 0 when nothing was measured (NULL
 *          values, refused gate or count, a missing or short frame; values then
 *          stay) and on an internal error. */
VZ_API int calculationFlimMean(int count, int *values, int gate) VZ_NOEXCEPT;
/** Gain and offset tables of a gate from the module's bright and dark FLIM
 * means.
 * Returns: nothing. */
VZ_API void calculationFlimGainOffset(int gate) VZ_NOEXCEPT;
/** Saves a FLIM mean image to "./flim_temp_image.txt".
 * Returns: 0; -1 when values is NULL or the file cannot be written (also on an
 *          internal error). */
VZ_API int calculateSaveFlimImage(const int *values) VZ_NOEXCEPT;
/** Loads the FLIM mean image (values are zeroed first once the file opens).
 * Returns: 0; -1 when values is NULL, the file cannot be opened or a row is
 *          missing (also on an internal error). */
VZ_API int calculateLoadFlimImage(int *values) VZ_NOEXCEPT;
/** Saves the gain/offset file of a gate.
 * Returns: 0; -1 for a refused gate or when it cannot be written (also on an
 *          internal error). */
VZ_API int calculateSaveFlimGainOffset(int gate) VZ_NOEXCEPT;
/** Loads the gain/offset file of a gate (tables reset to neutral first) and
 * marks the correction available.
 * Returns: 0; -1 for a refused gate or when it cannot be opened (also on an
 *          internal error). */
VZ_API int calculateLoadFlimGainOffset(int gate) VZ_NOEXCEPT;
/** @} */

/* ==== end of grayscale and FLIM calibration ==== */

#ifdef __cplusplus
}
#endif

#endif /* VIZOR_EPC660_H */
