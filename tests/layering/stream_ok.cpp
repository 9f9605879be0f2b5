// Control: the stream library sees its own headers and the base layer.
#include "base/firewall.h"
#include "stream/reassembler.h"
