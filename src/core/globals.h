// Library-wide records shared by the device API modules.
#pragma once

#include <atomic>

#include "vizor/cmap.h"
#include "vizor/vizor.h"

namespace vz {

// The record vizor_dev_open uses when it is given none.
vizor_dev_t &default_device();

// The most recently opened device (vizor_raw2dist / vizor_raw2gray), or null.
std::atomic<vizor_dev_t *> &current_device();

// The library colour map, created by vizor_init and released by vizor_uninit.
vz_cmap_t &library_cmap();

}  // namespace vz
