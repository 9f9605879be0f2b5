// Must not build: log and clock live in base/, and no subsystem reaches them
// through core/.
#include "core/clock.h"
