/* Sizes and offsets of the public records as a C compiler lays them out; the
 * C++ test compares them with its own view and with the fixed layout. */
#include <stddef.h>

#include "vizor/cmap.h"
#include "vizor/vizor.h"

size_t abi_c_layout(int i);

size_t abi_c_layout(int i) {
    const size_t v[] = {
        sizeof(vizor_dev_t),
        offsetof(vizor_dev_t, product),
        offsetof(vizor_dev_t, cfg_path),
        offsetof(vizor_dev_t, calib_names),
        offsetof(vizor_dev_t, api_busy),
        sizeof(vizor_calib_names_t),
        sizeof(vizor_frame_info_t),
        sizeof(vizor_frame_t),
        sizeof(vizor_param_item_t),
        sizeof(vizor_camera_param_t),
        sizeof(vz_cmap_t),
        offsetof(vz_cmap_t, palette),
    };
    return i >= 0 && (size_t)i < sizeof v / sizeof v[0] ? v[i] : (size_t)-1;
}
