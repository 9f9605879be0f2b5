/** \file
 * Symbol export and calling-convention helpers shared by every public header. */
#ifndef VIZOR_EXPORT_H
#define VIZOR_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
/** Marks a function or object as exported from the shared library. */
#define VZ_API __attribute__((visibility("default")))
#else
/** Marks a function or object as exported (nothing to mark on this compiler). */
#define VZ_API
#endif

/** Exported functions never throw: C++ callers see them as noexcept. */
#ifdef __cplusplus
#define VZ_NOEXCEPT noexcept
#else
#define VZ_NOEXCEPT
#endif

#ifdef __cplusplus
/** Opens a block of C linkage in C++ (empty in C). */
#define VZ_EXTERN_C_BEGIN extern "C" {
/** Closes the block opened by VZ_EXTERN_C_BEGIN. */
#define VZ_EXTERN_C_END }
#else
#define VZ_EXTERN_C_BEGIN
#define VZ_EXTERN_C_END
#endif

#endif /* VIZOR_EXPORT_H */
