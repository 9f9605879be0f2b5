// The virtual camera's lens (optics.h).
#include "vcam/optics.h"

#include <cmath>

namespace vcam {

namespace {

// The EPC cameras' lens for a 640 x 480 image: the module's optical figure.
constexpr double kEpcW = 640, kEpcH = 480;
constexpr Optics kEpcLens{324.00744, 220.10985, 638.66337, 638.51692, -0.27313, 0.14523,
                          -0.00099,  0.00032,   0.0,       640,       480};

// Distortion of the normalised point (x, y): where the lens puts it, still
// normalised.
void distort(const Optics &o, double x, double y, double &xd, double &yd) {
    const double r2 = x * x + y * y;
    const double kr = 1 + r2 * (o.k1 + r2 * (o.k2 + r2 * o.k3));
    xd = x * kr + 2 * o.p1 * x * y + o.p2 * (r2 + 2 * x * x);
    yd = y * kr + o.p1 * (r2 + 2 * y * y) + 2 * o.p2 * x * y;
}

}  // namespace

void lens_project(const Optics &o, double x, double y, double &u, double &v) {
    double xd = 0, yd = 0;
    distort(o, x, y, xd, yd);
    u = o.cx + o.fx * xd;
    v = o.cy + o.fy * yd;
}

bool pixel_ray(const Optics &o, double u, double v, Ray &ray) {
    // The distorted position, normalised; the undistorted one satisfies
    // x = (xd - tangential(x, y)) / kr(x, y), which the walk iterates.
    const double xd = (u - o.cx) / o.fx, yd = (v - o.cy) / o.fy;
    double x = xd, y = yd;
    bool settled = false;
    for (int i = 0; i < 2000 && !settled; ++i) {
        const double r2 = x * x + y * y;
        const double kr = 1 + r2 * (o.k1 + r2 * (o.k2 + r2 * o.k3));
        const double tx = 2 * o.p1 * x * y + o.p2 * (r2 + 2 * x * x);
        const double ty = o.p1 * (r2 + 2 * y * y) + 2 * o.p2 * x * y;
        const double nx = (xd - tx) / kr, ny = (yd - ty) / kr;
        settled = std::fabs(nx - x) < 1e-14 && std::fabs(ny - y) < 1e-14;
        x = nx;
        y = ny;
    }
    if (!settled || !std::isfinite(x) || !std::isfinite(y)) {
        x = xd;
        y = yd;
    }
    const double n = std::sqrt(x * x + y * y + 1);
    ray = Ray{x / n, y / n, 1 / n};
    return settled;
}

Optics assumed_pinhole(int w, int h) {
    Optics o;
    o.cx = double(w - 1) / 2;
    o.cy = double(h - 1) / 2;
    o.fx = 211.0 * w / 320.0;
    o.fy = 211.0 * h / 240.0;
    o.width = w;
    o.height = h;
    return o;
}

Optics product_optics(const std::string &product, int w, int h) {
    const bool epc = product.size() >= 6 && product.compare(0, 3, "VZ-") == 0 &&
                     (product.compare(3, 3, "E1-") == 0 || product.compare(3, 3, "E2-") == 0);
    if (!epc || w <= 0 || h <= 0 || int(kEpcW) % w != 0 || int(kEpcH) % h != 0)
        return assumed_pinhole(w, h);
    // The driver scales the reference lens by whole numbers per axis.
    const double sx = double(int(kEpcW) / w), sy = double(int(kEpcH) / h);
    Optics o = kEpcLens;
    o.cx /= sx;
    o.fx /= sx;
    o.cy /= sy;
    o.fy /= sy;
    o.width = w;
    o.height = h;
    return o;
}

}  // namespace vcam
