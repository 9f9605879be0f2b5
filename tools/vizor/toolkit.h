// Pieces of the vizor tool that do not talk to a camera: argument parsing
// (hexadecimal numbers and bytes, ranges, intrinsics, device selectors),
// image files (PNG through libpng, binary PLY) and display scaling of distance
// and gray images. The virtual mode's scenes are the virtual camera's
// (vcam/scene.h). Nothing here calls libvizor, so the tests link it next to
// the static library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vztool {

// ---- parsing ------------------------------------------------------------------

// A hexadecimal number with an optional "0x" prefix ("1f", "0x1F").
std::optional<uint32_t> parse_hex_u32(const std::string &s);
// Hexadecimal bytes: each token is one or more two-digit bytes, optionally
// with a "0x" prefix or ':' separators ("e8", "0xe8", "e803", "e8:03").
std::optional<std::vector<uint8_t>> parse_hex_bytes(const std::vector<std::string> &tokens);
// "MIN:MAX" in metres, 0 <= MIN < MAX < 60.
std::optional<std::pair<float, float>> parse_range(const std::string &s);

// Pinhole camera of an image: principal point and focal lengths in pixels.
struct Intrinsics {
    float cx = 0, cy = 0, fx = 0, fy = 0;
};
// "cx,cy,fx,fy" with positive focal lengths.
std::optional<Intrinsics> parse_intrinsics(const std::string &s);
// The tool's default camera when the driver has no lens parameters: a 74 x 59
// degree field of view (fx = fy = 211 pixels at 320 x 240) centred on the
// image, scaled to its size. The virtual OPT8241 renders through this pinhole.
Intrinsics default_intrinsics(int width, int height);

// A camera chosen on the command line: an index into the device list ("0")
// or a USB location ("3:2", bus 3 port 2).
struct DeviceSel {
    int index = 0;
    int bus = -1;
    int port = -1;
    bool by_location() const { return bus >= 0; }
};
std::optional<DeviceSel> parse_device(const std::string &s);

// The flying-pixel filter of the point clouds (capture, play, view): on by
// default with the library's default threshold in metres.
constexpr float kFlyingDefault = 0.15f;
// Whether a --filter choice names the flying-pixel filter ("flying-pixels" or
// "flying-pixels=...").
bool is_flying_choice(const std::string &choice);
// The threshold a flying-pixels choice asks for: the default for none or
// "on", 0 for "off", else metres in (0, 5]. nullopt for another value.
std::optional<float> parse_flying_choice(const std::string &choice);
// The line that says what the filter does to the point cloud (t 0: off).
std::string flying_note(float t);

// ---- display scaling --------------------------------------------------------

// Valid distances are 0 < d < 60 metres (what the point clouds project);
// NaN, zero, negative and marker values are not.
inline bool valid_distance(float d) { return d > 0.0f && d < 60.0f; }

// The colour range of a distance image: the 1st and 99th percentiles of its
// valid distances, widened to at least 1 cm. nullopt when fewer than two
// pixels are valid. scratch is reused between calls.
std::optional<std::pair<float, float>> auto_range(const std::vector<float> &dist,
                                                  std::vector<float> &scratch);
// Copies dist into out with every valid distance clamped into [lo, hi], so the
// colour map paints near and far outliers with its end colours instead of
// black; invalid pixels stay as they are.
void clamp_valid(const std::vector<float> &dist, float lo, float hi, std::vector<float> &out);
// The 99th percentile of the finite, positive gray values (0 when none).
float gray_white_level(const std::vector<float> &gray, std::vector<float> &scratch);
// 8-bit gray levels: value / white * 255, clamped to 0..255 (NaN gives 0).
void gray_to_u8(const std::vector<float> &gray, float white, std::vector<uint8_t> &out);

// ---- files --------------------------------------------------------------------

// Writes an 8-bit PNG of width x height pixels: channels 3 (RGB) or 1 (gray),
// rows top first without padding. Returns an empty string on success, else
// the reason.
std::string write_png(const std::string &path, int width, int height, int channels,
                      const uint8_t *pixels);

// Writes a 16-bit gray PNG of width x height samples (rows top first), each
// stored as its value. Returns an empty string on success, else the reason.
std::string write_png16(const std::string &path, int width, int height, const uint16_t *samples);

// Writes a binary little-endian PLY of n points (xyz: 3n floats); rgb, when
// not null, holds 3n bytes of colour. Returns an empty string on success.
std::string write_ply(const std::string &path, const float *xyz, size_t n, const uint8_t *rgb);

}  // namespace vztool
