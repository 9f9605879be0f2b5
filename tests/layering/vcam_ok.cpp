// Control: the virtual camera's model sees its own headers.
#include "vcam/replay.h"
#include "vcam/vcam.h"
