// Operation table of the epc660/epc635 driver. The driver's processing chain
// is not part of this build yet: every operation is absent, so such a camera
// opens, captures and delivers raw frames, and the conversion calls refuse
// its frames.
#include "vizor/drv.h"

extern "C" {

const vizor_drv_ops_t g_vizor_driver_op_epc = {};

}  // extern "C"
