// Must not build: the recording container depends on neither the virtual
// camera nor the tool that read and write it.
#include "vcam/vcam.h"
