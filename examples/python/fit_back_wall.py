#!/usr/bin/env python3
"""Turns one frame into an Open3D point cloud and fits a plane to the back
wall: exact 3D points (each pixel's distance along its ray through the
camera's lens) from frame.points(), RANSAC from Open3D.

    python3 fit_back_wall.py             # the first camera on the USB bus
    python3 fit_back_wall.py --virtual   # a virtual epc660 looking at the room

The virtual room's back wall stands square to the optical axis at 2.30 m, so
the fit prints a normal along z and an offset of 2.30 m.
Needs Debian's python3-open3d.
"""
import sys

import numpy as np
import open3d as o3d

import vizor


def capture_points():
    """Exact points (N x 3, metres) of one frame of the first camera."""
    with vizor.Device() as cam:
        frame = cam.snapshot()
        try:
            return frame.points(packed=True)  # the driver's lens
        except vizor.Error:  # no lens from the driver: an assumed 74 x 59 degree pinhole
            w, h = frame.width, frame.height
            lens = ((w - 1) / 2, (h - 1) / 2, 211.0 * w / 320, 211.0 * h / 240)
            return frame.points(packed=True, lens=lens)


def main():
    if "--virtual" in sys.argv:
        if vizor.vcam is None:
            print("this build has no virtual camera", file=sys.stderr)
            return 1
        bus = vizor.vcam.Bus()  # before the library looks for cameras
        bus.add_camera(1, 1, "VZ-E1-660").show("room")
        points = capture_points()
    else:
        points = capture_points()
    cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points.astype(np.float64)))
    # The back wall: the far points (round the 95th percentile of z, so a few
    # stray pixels do not decide); RANSAC finds its plane among them.
    z95 = np.percentile(points[:, 2], 95)
    far = cloud.select_by_index(np.flatnonzero(np.abs(points[:, 2] - z95) < 0.15 * z95))
    (a, b, c, d), inliers = far.segment_plane(distance_threshold=0.01, ransac_n=3,
                                              num_iterations=500)
    n = np.array([a, b, c]) * np.sign(c)
    tilt = np.degrees(np.arccos(min(1.0, abs(c) / np.linalg.norm([a, b, c]))))
    print("%d points; back wall: normal (%.4f, %.4f, %.4f), %.3f deg off the axis, "
          "z = %.4f m (%d inliers)" % (len(points), *n, tilt, -d * np.sign(c), len(inliers)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
