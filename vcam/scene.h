// The virtual camera's world: scenes rendered through a camera's lens into
// the per-pixel distances and reflectivities its sensor sees (sensor.h
// Scene). Each pixel looks along the ray its lens gives it (optics.h), and
// what it measures is the distance along that ray to the first surface: a
// time-of-flight pixel measures radial distance.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vcam/optics.h"
#include "vcam/sensor.h"

namespace vcam {

// A room seen through lens o (at o.width x o.height), the camera 0.8 m above
// the floor and looking level at the back wall:
//   back wall 2.30 m ahead, side walls 1.40 m left and right, a tiled floor;
//   a box on the floor, left of centre, its front face 1.20 m ahead;
//   a ball of 0.35 m radius resting on the floor right of centre, its
//   nearest point 1.40 m from the camera;
//   a thin pole from floor to ceiling 1.90 m ahead, just left of centre.
// The ray of the principal point meets the back wall at 2.30 m.
Scene room_scene(const Optics &o);
// A plane square to the optical axis at z = d, seen through lens o: the
// distance grows away from the axis as d / cos(angle of the ray).
Scene wall_scene(const Optics &o, float d, float reflectivity);
// Every pixel at the same distance (a sphere round the camera).
Scene flat_scene(int width, int height, float distance, float reflectivity);
// Distance grows along every row from near (left) to far (right).
Scene ramp_scene(int width, int height, float near_m, float far_m, float reflectivity);
// A recorded distance image resampled (nearest pixel) to width x height;
// valid distances (0 < d < 60) get reflectivity 0.8, invalid ones distance 0
// and reflectivity 0.
Scene scene_from_distances(const std::vector<float> &dist, int src_w, int src_h, int width,
                           int height);

// A scene argument: "room", "flat[:D]", "wall[:D]", "ramp[:NEAR:FAR]" or the
// path of a distance frame file.
struct SceneSpec {
    enum class Kind { room, flat, wall, ramp, file } kind = Kind::room;
    float a = 0, b = 0;  // flat, wall: distance; ramp: near, far
    std::string path;
};
// Parses a built-in scene name; nullopt when s names none (it may be a file).
std::optional<SceneSpec> parse_builtin_scene(const std::string &s);

// The first frame of a distance frame file ("VZ_DIST,F32|U32|U16,W,H" line,
// then little-endian samples: float metres or integer millimetres), read
// without the library. Returns an empty string or why the file is unusable.
std::string read_first_distance_frame(const std::string &path, std::vector<float> &dist, int &width,
                                      int &height);

// A scene argument (see SceneSpec) rendered through lens o at its size.
// Returns an empty string or what is wrong.
std::string scene_from_argument(const std::string &arg, const Optics &o, Scene &out);

}  // namespace vcam
