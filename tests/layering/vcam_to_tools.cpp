// Must not build: the virtual camera stands on its own and includes nothing
// of the vizor tool, not even through the root of the source tree.
#include "tools/vizor/toolkit.h"
