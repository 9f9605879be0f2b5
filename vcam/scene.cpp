// Scenes of the virtual camera (scene.h).
#include "vcam/scene.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vcam {

namespace {

struct Vec {
    double x, y, z;
};
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

bool valid_distance(float d) { return d > 0.0f && d < 60.0f; }

std::optional<float> parse_float(const std::string &s) {
    if (s.empty()) return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const float v = std::strtof(s.c_str(), &end);
    if (errno != 0 || end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t p = s.find(sep, start);
        out.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos) break;
        start = p + 1;
    }
    return out;
}

Scene blank(int width, int height) {
    Scene s;
    s.width = width;
    s.height = height;
    const size_t n = size_t(std::max(width, 0)) * size_t(std::max(height, 0));
    s.distance_m.assign(n, 0.0f);
    s.reflectivity.assign(n, 0.0f);
    return s;
}

// Calls f(i, d) for every pixel of lens o with its index and its ray as
// (x, y, 1): the direction the lens gives the pixel, unnormalised.
template <class F>
void for_each_ray(const Optics &o, F &&f) {
    for (int v = 0; v < o.height; ++v)
        for (int u = 0; u < o.width; ++u) {
            Ray r{};
            pixel_ray(o, u, v, r);
            f(size_t(v) * size_t(o.width) + size_t(u), Vec{r.x / r.z, r.y / r.z, 1.0});
        }
}

// Smallest root t > eps of a t^2 + b t + c = 0, or infinity.
double first_root(double a, double b, double c) {
    const double eps = 1e-9;
    const double disc = b * b - 4 * a * c;
    if (disc < 0) return INFINITY;
    const double s = std::sqrt(disc);
    const double t0 = (-b - s) / (2 * a), t1 = (-b + s) / (2 * a);
    if (t0 > eps) return t0;
    if (t1 > eps) return t1;
    return INFINITY;
}

// Room geometry (metres, camera at the origin, x right, y down, z ahead).
constexpr double kFloorY = 0.8, kBackZ = 2.3, kSideX = 1.4;
constexpr Vec kBoxMin{-0.9, 0.25, 1.2}, kBoxMax{-0.35, 0.8, 1.75};
constexpr Vec kBall{0.55, 0.45, 1.6};
constexpr double kBallR = 0.35;
constexpr double kPoleX = -0.15, kPoleZ = 1.9, kPoleR = 0.06;

// Entry parameter of the ray t*d into the box (slab method), or infinity.
double hit_box(Vec d) {
    double tmin = 0, tmax = INFINITY;
    const double dd[3] = {d.x, d.y, d.z};
    const double lo[3] = {kBoxMin.x, kBoxMin.y, kBoxMin.z},
                 hi[3] = {kBoxMax.x, kBoxMax.y, kBoxMax.z};
    for (int i = 0; i < 3; ++i) {
        if (dd[i] == 0) {
            if (0 < lo[i] || 0 > hi[i]) return INFINITY;
            continue;
        }
        double t1 = lo[i] / dd[i], t2 = hi[i] / dd[i];
        if (t1 > t2) std::swap(t1, t2);
        tmin = std::max(tmin, t1);
        tmax = std::min(tmax, t2);
        if (tmin > tmax) return INFINITY;
    }
    return tmin > 0 ? tmin : INFINITY;
}

// The first surface of the room along t*d (d.z = 1): parameter t and the
// surface's reflectivity.
void hit_room(Vec d, double &best, double &refl) {
    best = kBackZ / d.z;  // the back wall is behind everything else
    refl = 0.8;
    auto consider = [&](double t, double r) {
        if (t < best) {
            best = t;
            refl = r;
        }
    };
    if (d.y > 0) {
        const double t = kFloorY / d.y;
        const double x = t * d.x, z = t * d.z;
        const bool light = (int(std::floor(x / 0.5)) + int(std::floor(z / 0.5))) % 2 == 0;
        consider(t, light ? 0.7 : 0.4);
    }
    if (d.x > 0) consider(kSideX / d.x, 0.6);
    if (d.x < 0) consider(-kSideX / d.x, 0.6);
    consider(hit_box(d), 0.95);
    consider(first_root(dot(d, d), -2 * dot(d, kBall), dot(kBall, kBall) - kBallR * kBallR), 0.5);
    consider(first_root(d.x * d.x + d.z * d.z, -2 * (d.x * kPoleX + d.z * kPoleZ),
                        kPoleX * kPoleX + kPoleZ * kPoleZ - kPoleR * kPoleR),
             0.9);
}

// Distance and reflectivity of the room along the ray of the point (u, v)
// of the sensor.
Scene::Return room_return(const Optics &o, double u, double v) {
    Ray r{};
    pixel_ray(o, u, v, r);
    const Vec d{r.x / r.z, r.y / r.z, 1.0};
    double t = 0, refl = 0;
    hit_room(d, t, refl);
    return {float(t * std::sqrt(dot(d, d))), float(refl)};
}

// A pixel whose footprint rays differ by more than this sees more than one
// surface (or a surface at grazing angle) and keeps all its returns.
constexpr float kMixSpread = 0.05f;

// The returns of the 4 x 4 rays over the footprint of pixel (u, v); true when
// they spread by more than kMixSpread.
bool footprint(const Optics &o, int u, int v, Scene::Return *out) {
    float lo = INFINITY, hi = -INFINITY;
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 4; ++i) {
            const Scene::Return r = room_return(o, u - 0.375 + 0.25 * i, v - 0.375 + 0.25 * j);
            out[j * 4 + i] = r;
            lo = std::min(lo, r.distance_m);
            hi = std::max(hi, r.distance_m);
        }
    return hi - lo > kMixSpread;
}

}  // namespace

Scene room_scene(const Optics &o) {
    Scene s = blank(o.width, o.height);
    for_each_ray(o, [&](size_t i, Vec d) {
        double t = 0, refl = 0;
        hit_room(d, t, refl);
        s.distance_m[i] = float(t * std::sqrt(dot(d, d)));
        s.reflectivity[i] = float(refl);
    });
    // Pixels across an edge receive light from both sides.
    s.mix_slot.assign(s.distance_m.size(), -1);
    Scene::Return rays[Scene::kFootprint];
    for (int v = 0; v < o.height; ++v)
        for (int u = 0; u < o.width; ++u) {
            if (!footprint(o, u, v, rays)) continue;
            s.mix_slot[size_t(v) * size_t(o.width) + size_t(u)] =
                int32_t(s.mix.size() / Scene::kFootprint);
            s.mix.insert(s.mix.end(), rays, rays + Scene::kFootprint);
        }
    return s;
}

Scene wall_scene(const Optics &o, float d, float reflectivity) {
    Scene s = blank(o.width, o.height);
    for_each_ray(o, [&](size_t i, Vec r) {
        s.distance_m[i] = float(double(d) * std::sqrt(dot(r, r)));
        s.reflectivity[i] = reflectivity;
    });
    return s;
}

Scene flat_scene(int width, int height, float distance, float reflectivity) {
    Scene s = blank(width, height);
    std::fill(s.distance_m.begin(), s.distance_m.end(), distance);
    std::fill(s.reflectivity.begin(), s.reflectivity.end(), reflectivity);
    return s;
}

Scene ramp_scene(int width, int height, float near_m, float far_m, float reflectivity) {
    Scene s = flat_scene(width, height, near_m, reflectivity);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            s.distance_m[size_t(y) * size_t(width) + size_t(x)] =
                width > 1 ? near_m + (far_m - near_m) * float(x) / float(width - 1) : near_m;
    return s;
}

Scene scene_from_distances(const std::vector<float> &dist, int src_w, int src_h, int width,
                           int height) {
    Scene s = blank(width, height);
    if (src_w <= 0 || src_h <= 0 || dist.size() < size_t(src_w) * size_t(src_h)) return s;
    for (int y = 0; y < height; ++y) {
        const int sy = int(int64_t(y) * src_h / height);
        for (int x = 0; x < width; ++x) {
            const int sx = int(int64_t(x) * src_w / width);
            const float d = dist[size_t(sy) * size_t(src_w) + size_t(sx)];
            const size_t i = size_t(y) * size_t(width) + size_t(x);
            if (valid_distance(d)) {
                s.distance_m[i] = d;
                s.reflectivity[i] = 0.8f;
            }
        }
    }
    return s;
}

std::optional<SceneSpec> parse_builtin_scene(const std::string &s) {
    auto parts = split(s, ':');
    SceneSpec scene;
    if (parts[0] == "room" && parts.size() == 1) {
        scene.kind = SceneSpec::Kind::room;
        return scene;
    }
    if ((parts[0] == "flat" || parts[0] == "wall") && parts.size() <= 2) {
        scene.kind = parts[0] == "flat" ? SceneSpec::Kind::flat : SceneSpec::Kind::wall;
        scene.a = 1.5f;
        if (parts.size() == 2) {
            auto d = parse_float(parts[1]);
            if (!d || !valid_distance(*d)) return std::nullopt;
            scene.a = *d;
        }
        return scene;
    }
    if (parts[0] == "ramp" && (parts.size() == 1 || parts.size() == 3)) {
        scene.kind = SceneSpec::Kind::ramp;
        scene.a = 0.5f;
        scene.b = 3.0f;
        if (parts.size() == 3) {
            auto n = parse_float(parts[1]), f = parse_float(parts[2]);
            if (!n || !f || !valid_distance(*n) || !valid_distance(*f)) return std::nullopt;
            scene.a = *n;
            scene.b = *f;
        }
        return scene;
    }
    return std::nullopt;
}

std::string read_first_distance_frame(const std::string &path, std::vector<float> &dist, int &width,
                                      int &height) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return "cannot open " + path;
    char head[64] = {}, kind[4] = {};
    int w = 0, h = 0;
    const bool ok_head = std::fgets(head, sizeof head, f) && std::strchr(head, '\n') &&
                         std::sscanf(head, "VZ_DIST,%3[A-Z0-9],%d,%d", kind, &w, &h) == 3;
    const std::string k = kind;
    const size_t bytes = k == "U16" ? 2 : 4;
    if (!ok_head || (k != "F32" && k != "U32" && k != "U16") || w <= 0 || h <= 0 || w > 8192 ||
        h > 8192) {
        std::fclose(f);
        return path + " is not a distance frame file (no VZ_DIST header)";
    }
    std::vector<uint8_t> raw(size_t(w) * size_t(h) * bytes);
    const bool whole = std::fread(raw.data(), 1, raw.size(), f) == raw.size();
    std::fclose(f);
    if (!whole) return path + " holds no whole frame";
    dist.resize(size_t(w) * size_t(h));
    for (size_t i = 0; i < dist.size(); ++i) {
        const uint8_t *p = &raw[i * bytes];
        uint32_t u = p[0] | uint32_t(p[1]) << 8;
        if (bytes == 4) u |= uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        if (k == "F32")
            std::memcpy(&dist[i], &u, 4);
        else
            dist[i] = float(u) / 1000;
    }
    width = w;
    height = h;
    return {};
}

std::string scene_from_argument(const std::string &arg, const Optics &o, Scene &out) {
    if (auto s = parse_builtin_scene(arg)) {
        switch (s->kind) {
        case SceneSpec::Kind::room: out = room_scene(o); return {};
        case SceneSpec::Kind::flat: out = flat_scene(o.width, o.height, s->a, 0.8f); return {};
        case SceneSpec::Kind::wall: out = wall_scene(o, s->a, 0.8f); return {};
        case SceneSpec::Kind::ramp:
            out = ramp_scene(o.width, o.height, s->a, s->b, 0.8f);
            return {};
        case SceneSpec::Kind::file: break;
        }
    }
    std::vector<float> dist;
    int w = 0, h = 0;
    const std::string err = read_first_distance_frame(arg, dist, w, h);
    if (!err.empty())
        return "scene " + arg + ": " + err +
               " (room, flat[:D], wall[:D], ramp[:NEAR:FAR] or a frame file)";
    out = scene_from_distances(dist, w, h, o.width, o.height);
    return {};
}

}  // namespace vcam
