// The virtual camera's lens: which ray each sensor pixel looks along. A
// pixel at (u, v) sees the point whose normalised image coordinates (x, y),
// bent by the lens's radial (k1, k2, k3) and tangential (p1, p2) distortion,
// land on it:
//   r2 = x^2 + y^2, kr = 1 + k1 r2 + k2 r2^2 + k3 r2^3
//   u = cx + fx (x kr + 2 p1 x y + p2 (r2 + 2 x^2))
//   v = cy + fy (y kr + p1 (r2 + 2 y^2) + 2 p2 x y)
// Rendering needs the way back, from a pixel to (x, y): the camera finds it
// by a fixed-point walk to convergence (see pixel_ray). It is the physics the
// host library's ray tables are checked against, so it shares no code with
// the library.
#pragma once

#include <string>

namespace vcam {

struct Optics {
    double cx = 0, cy = 0;  // principal point, pixels
    double fx = 1, fy = 1;  // focal lengths, pixels
    double k1 = 0, k2 = 0, p1 = 0, p2 = 0, k3 = 0;
    int width = 0, height = 0;  // the image these numbers belong to
};

// A direction in camera space (x right, y down, z ahead), unit length.
struct Ray {
    double x, y, z;
};

// The pixel position the lens images the direction (x, y, 1) onto.
void lens_project(const Optics &o, double x, double y, double &u, double &v);

// The unit ray pixel (u, v) looks along; the walk stops when a step moves
// less than 1e-14 (far below 1e-6 px). False when it does not settle (a
// pixel outside what the lens can image): the ray is then the pinhole one.
bool pixel_ray(const Optics &o, double u, double v, Ray &ray);

// The lens of a product's camera for its w x h image area, as its driver
// reports it: the EPC cameras ("VZ-E1-*", "VZ-E2-*") carry one lens, described
// for a 640 x 480 reference image and scaled by whole numbers; the OPT8241
// ("VZ-T0-*"), whose driver reports none, renders through the pinhole the
// vizor tool assumes for it (74 x 59 degrees, fx = fy = 211 px at 320 x 240,
// centred). Any other product gets that pinhole too.
Optics product_optics(const std::string &product, int w, int h);

// The pinhole the vizor tool assumes for a camera without lens parameters.
Optics assumed_pinhole(int w, int h);

}  // namespace vcam
