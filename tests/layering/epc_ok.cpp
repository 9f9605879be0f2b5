// Control: the EPC library sees the base layer and the public headers.
#include "base/log.h"
#include "vizor/vizor.h"
