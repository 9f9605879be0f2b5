/* Layout of the lens records as a C compiler sees them. */
#include <stddef.h>

#include "vizor/lens.h"

size_t lens_c_layout(int i);

size_t lens_c_layout(int i) {
    const size_t v[] = {
        sizeof(vz_lens_param_t),         offsetof(vz_lens_param_t, width),
        sizeof(vz_calib_map_t),          offsetof(vz_calib_map_t, valid_roi),
        offsetof(vz_calib_map_t, ready),
    };
    return i >= 0 && (size_t)i < sizeof v / sizeof v[0] ? v[i] : (size_t)-1;
}
