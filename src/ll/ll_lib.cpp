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

VZ_API bool vizor_ll_init(void) { return true; }

VZ_API void vizor_ll_uninit(void) {}

VZ_API int vizor_ll_set_debug(int level) {
    g_usb_debug.store(level, std::memory_order_relaxed);
    return level;
}

}  // extern "C"
