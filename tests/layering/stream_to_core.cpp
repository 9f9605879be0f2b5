// Must not build: the stream library may not reach the device API.
#include "core/device.h"
