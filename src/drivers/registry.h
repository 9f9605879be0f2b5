// Driver registry internals: the device API takes a private copy of the
// found record for each opened device, so that two cameras never share the
// driver's dev/priv fields.
#pragma once

#include <memory>

#include "vizor/drv.h"

namespace vz::drv {

// A heap copy of a built-in driver record, owned by one open device.
std::unique_ptr<vizor_drv_t> instantiate(const vizor_drv_t &proto);

}  // namespace vz::drv
