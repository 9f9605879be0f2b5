// Driver lens parameters for point clouds.
#include "base/log.h"
#include "core/convert.h"
#include "core/device.h"
#include "vizor/lens.h"

namespace vz {

bool lens_for_device(vizor_dev_t *dev, vz_lens_param_t *lens, int img_w, int img_h,
                     const char *caller) {
    vizor_drv_t *drv = dev && dev->ll ? dev->ll->drv.get() : nullptr;
    if (!drv || !drv->ops->lens_param_get) {
        vz_err("[%s] Cannot generate PCL: no lens parameter in driver.\n", caller);
        return false;
    }
    return drv->ops->lens_param_get(drv, lens, img_w, img_h);
}

}  // namespace vz
