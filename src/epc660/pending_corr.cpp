// TEMPORARY stand-in for the grayscale sorter of the calc group, which the
// bad-pixel search calls, until that group's module lands. Weak, so the
// owner's definition wins; it reports that it did nothing. Delete this file
// when the calc group is merged.
#include "core/vzlog.h"
#include "vizor/epc660.h"

extern "C" {

[[gnu::weak]] VZ_API int calcBWSorted(uint16_t **out) {
    if (out != nullptr) *out = nullptr;
    vz_dbg("[%s] pending: not built in this branch yet\n", __func__);
    return 0;
}

}  // extern "C"
