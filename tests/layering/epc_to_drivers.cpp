// Must not build: the EPC library reaches the device only through its shims.
#include "drivers/registry.h"
