// Internal state of the epc660/epc635 driver shared by its modules: the
// private record of one bound device and the automatic integration-time
// control step.
#pragma once

#include <cstdint>

#include "epc660/context.h"
#include "vizor/drv_epc.h"
#include "vizor/lens.h"

// Driver private state, created by epc_init, referenced by vizor_drv_t::priv.
struct epc_priv_t {
    vz_calib_map_t map;        // undistortion map of the built-in lens
    uint8_t calib_mode;        // argument of the pixel calibration filter
    int32_t min_amplitude;     // argument of the minimum-amplitude filter
    uint16_t autoint_target;   // tolerated saturated samples per thousand
    uint8_t frame_valid;       // 1 after frame_get_info, 0 after a failed decode
    uint8_t calib_on;          // filter 1
    uint8_t undistort_on;      // filter 0
    uint8_t min_amplitude_on;  // filter 4
    uint8_t autoint_on;        // filter 5
    float metres_per_code;     // distance of one code at the modulation frequency
    // The camera's processing context: every driver call on this device runs
    // in it, whichever device is the EPC default.
    vz::epc::ContextPtr ctx;
    float undistort_src[320 * 240];  // scratch of an undistorted decode
};

namespace vz::epcdrv {

// One distance code in metres: a marker (65300 and above) keeps its code in
// thousandths, a distance scales by metres_per_code. The straightforward
// form of codes_to_metres.
float code_to_metres(uint16_t code, float metres_per_code);
// n codes to metres, as code_to_metres gives them, with the widest vectors
// the CPU has.
void codes_to_metres(const uint16_t *in, float *out, uint32_t n, float metres_per_code);

// The device the EPC library serves (the EPC default device), or NULL.
vizor_dev_t *adapter_device();
// Called by the driver's uninit while dev is being closed: when dev is the
// EPC default device the library lets go of it (without closing it again).
void adapter_release(vizor_dev_t *dev);

// Integration-time change (µs) that one control step asks for on a raw frame
// of n 16-bit samples: negative to decrease, +50 to increase, 0 to keep.
// Samples count by their 12-bit value (epc635 samples are shifted down).
int autoint_delta(const uint16_t *samples, uint32_t n, uint16_t target);

// One control step: computes the change and applies it to the library and
// the camera (parameter 13) unless HDR is on.
void autoint_step(const uint16_t *samples, uint32_t n, uint16_t target);

}  // namespace vz::epcdrv
