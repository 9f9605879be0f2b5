// Calibration download at open: the device's stored calibration package is
// fetched as one frame, its zip archive unpacked into the calibration folder
// and the archive member "calib_and_param.bin" split into the driver's files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vizor/vizor.h"

namespace vz::calib {

constexpr uint32_t kMaxPackage = 64u << 20;  // largest announced calibration size
constexpr size_t kHeaderLen = 17;            // calibration package header
constexpr uint32_t kDownloadFrames = 40;     // frame buffer while downloading
constexpr int kFetchTimeoutMs = 2100;

// The zip payload of a package of len received bytes: its length in
// *payload_len when the header is complete, marks a zip payload and the
// payload lies within the data. False otherwise (logged).
bool zip_payload(const uint8_t *data, size_t len, uint32_t *payload_len);

// The calibration folder of a cfg_path text with '/' as separator and no
// trailing separator ("." for the current folder).
std::string folder_of(const char *cfg_path);

// Splits "calib_and_param.bin" of the calibration folder into the files of
// names (first 16 bytes to param_name, the rest to dist_img_name). True when
// the split ran or the folder has .bin files but not that one; false when
// no .bin file is found or the split failed (logged; no partial file stays).
bool parse_file(const char *cfg_path, const vizor_calib_names_t &names);

}  // namespace vz::calib
