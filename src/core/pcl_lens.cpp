// Driver lens parameters for point clouds. No driver offers lens parameters
// yet, so every request is answered with the "no lens parameter" message.
#include "core/convert.h"
#include "core/vzlog.h"

namespace vz {

bool lens_for_device(vizor_dev_t *dev, vz_lens_param_t *lens, int img_w, int img_h,
                     const char *caller) {
    (void)dev;
    (void)lens;
    (void)img_w;
    (void)img_h;
    vz_err("[%s] Cannot generate PCL: no lens parameter in driver.\n", caller);
    return false;
}

}  // namespace vz
