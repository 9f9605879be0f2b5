// Control: the recording container sees its own header.
#include "recording/recording.h"
