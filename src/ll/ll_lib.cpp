// Library-wide state of the USB transport: only the libusb debug level that
// each device's context receives when it is created.
#include <atomic>

#include "ll/ll.h"
#include "vizor/ll.h"

namespace {
std::atomic<int> g_usb_debug{0};
}

namespace vz::ll {
int debug_level() { return g_usb_debug.load(std::memory_order_relaxed); }
}  // namespace vz::ll

extern "C" {

// Nothing here can fail or throw: the bodies need no firewall.
VZ_API bool vizor_ll_init(void) noexcept { return true; }

VZ_API void vizor_ll_uninit(void) noexcept {}

VZ_API int vizor_ll_set_debug(int level) noexcept {
    g_usb_debug.store(level, std::memory_order_relaxed);
    return level;
}

}  // extern "C"
