// Library-wide USB transport state.
#pragma once

namespace vz::ll {
// The libusb debug level to apply to a newly created context.
int debug_level();
}  // namespace vz::ll
