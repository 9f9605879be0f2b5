// Forwarding include: the log macros live in base/log.h.
#pragma once
#include "base/log.h"
