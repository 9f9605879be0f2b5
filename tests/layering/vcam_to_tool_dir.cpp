// Must not build: the tool's folder is not on the virtual camera's include
// path (the recording container it replays is a library of its own).
#include "toolkit.h"
