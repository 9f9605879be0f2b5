// Internal logging shorthands over the public vz_log: each passes the level
// and its tag, so call sites read vz_err("[%s] ...\n", __func__).
#pragma once

#include "vizor/log.h"

#define vz_trc(...) vz_log(VZ_LOG_TRC, "TRC", __VA_ARGS__)
#define vz_dbg(...) vz_log(VZ_LOG_DBG, "DBG", __VA_ARGS__)
#define vz_inf(...) vz_log(VZ_LOG_INF, "INF", __VA_ARGS__)
#define vz_wrn(...) vz_log(VZ_LOG_WRN, "WRN", __VA_ARGS__)
#define vz_err(...) vz_log(VZ_LOG_ERR, "ERR", __VA_ARGS__)

namespace vz::log {
// Current threshold of a channel (0 console, 1 file, 2 auxiliary).
uint32_t level(uint32_t channel);
// Whether vz_log writes a line of this level anywhere: lets hot loops skip
// building lines nobody reads.
bool wants(uint32_t level);
// Path of the open log file, or empty when none is open.
const char *file_path();
}  // namespace vz::log
