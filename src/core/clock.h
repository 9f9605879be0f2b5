// Forwarding include: the library clock lives in base/clock.h.
#pragma once
#include "base/clock.h"
