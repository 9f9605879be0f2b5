/*
 * USB transport of libvizor: enumeration, open, close and reset of the camera,
 * the command channel and the per-device event thread. The device API
 * (vizor/vizor.h) is built on these calls; applications normally use that.
 */
#ifndef VIZOR_LL_H
#define VIZOR_LL_H

#include <stdbool.h>
#include <stdint.h>
#include "vizor/export.h"

VZ_EXTERN_C_BEGIN

/* Returns true; the transport keeps no library-wide state but the debug
 * level. Called by vizor_init. */
VZ_API bool vizor_ll_init(void);

/* Does nothing; called by vizor_uninit. */
VZ_API void vizor_ll_uninit(void);

/* Stores the libusb debug level (0 none .. 4 debug) applied to every USB
 * context created later, and returns it. */
VZ_API int vizor_ll_set_debug(int level);

VZ_EXTERN_C_END

#endif /* VIZOR_LL_H */
