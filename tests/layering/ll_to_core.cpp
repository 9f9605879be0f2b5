// Must not build: the USB transport sits below the device API.
#include "core/capture.h"
