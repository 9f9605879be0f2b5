#!/usr/bin/env python3
"""Captures one frame from the first camera and saves its point cloud as a
binary PLY file (x, y, z in metres, float32).

    python3 save_point_cloud.py [cloud.ply]
"""
import sys

import numpy as np

import vizor


def pinhole(width, height, hfov_deg=60.0):
    """Camera parameters (cx, cy, fx, fy, dist_scale) of an ideal lens."""
    f = (width / 2) / np.tan(np.radians(hfov_deg) / 2)
    return ((width - 1) / 2, (height - 1) / 2, f, f, 1.0)


def write_ply(path, points):
    header = ("ply\nformat binary_little_endian 1.0\nelement vertex %d\n"
              "property float x\nproperty float y\nproperty float z\nend_header\n" % len(points))
    with open(path, "wb") as f:
        f.write(header.encode("ascii"))
        f.write(np.ascontiguousarray(points, "<f4").tobytes())


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "cloud.ply"
    with vizor.Device() as cam:
        frame = cam.snapshot()
        dist = frame.distance()
        points = cam.point_cloud(dist)  # the driver's lens, where it has one
        if len(points) == 0:
            points = cam.point_cloud(dist, camera=pinhole(frame.width, frame.height))
    write_ply(path, points)
    print("%s: %d points from a %dx%d frame, z %.3f .. %.3f m" % (
        path, len(points), frame.width, frame.height, points[:, 2].min(), points[:, 2].max()))
    return 0 if len(points) else 1


if __name__ == "__main__":
    sys.exit(main())
