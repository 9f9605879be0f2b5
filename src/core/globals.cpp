// The library-wide records of the device API: default device, current
// device and the library colour map.
#include "core/globals.h"

namespace vz {

namespace {
vizor_dev_t g_default_dev{};
std::atomic<vizor_dev_t *> g_current_dev{nullptr};
vz_cmap_t g_cmap{};
}  // namespace

vizor_dev_t &default_device() { return g_default_dev; }
std::atomic<vizor_dev_t *> &current_device() { return g_current_dev; }
vz_cmap_t &library_cmap() { return g_cmap; }

}  // namespace vz
