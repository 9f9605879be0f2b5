/* The C entry points of vizor-virtual.so, the tool's optional virtual-camera
 * module (it carries the camera model and the umockdev bus). The tool loads
 * it with dlopen only for --virtual, so that the installed tool runs without
 * umockdev. Errors come back as text in err (err_len bytes, NUL-terminated). */
#pragma once

#include <stddef.h>

#define VZ_VIRTUAL_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Re-executes the program under the umockdev preload unless it runs under
 * it; returns 1 when the preload is in place, 0 on failure. */
typedef int (*vizor_virtual_ensure_preload_f)(char **argv, char *err, size_t err_len);
/* Puts a camera showing scene ("[PRODUCT:]SCENE") on a virtual bus, its flash
 * kept in flash_dir ("" for none); NULL on failure. */
typedef void *(*vizor_virtual_start_f)(const char *scene, const char *flash_dir, char *err,
                                       size_t err_len);
/* Stores the camera's flash into its folder; 1 on success. */
typedef int (*vizor_virtual_save_f)(void *cam, char *err, size_t err_len);
/* Removes the camera and its bus. */
typedef void (*vizor_virtual_destroy_f)(void *cam);
/* Turns the camera's scene black (dark != 0) or back to its start. */
typedef void (*vizor_virtual_set_dark_f)(void *cam, int dark);

VZ_VIRTUAL_API int vizor_virtual_ensure_preload(char **argv, char *err, size_t err_len);
VZ_VIRTUAL_API void *vizor_virtual_start(const char *scene, const char *flash_dir, char *err,
                                         size_t err_len);
VZ_VIRTUAL_API int vizor_virtual_save(void *cam, char *err, size_t err_len);
VZ_VIRTUAL_API void vizor_virtual_destroy(void *cam);
VZ_VIRTUAL_API void vizor_virtual_set_dark(void *cam, int dark);

#ifdef __cplusplus
}
#endif
