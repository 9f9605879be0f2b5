"""Frames per second of capture + distance conversion: the Python loop
(iterator, numpy array per frame) against the same loop in C++, in one run on
the virtual camera streaming as fast as the host reads.

    LD_PRELOAD=libumockdev-preload.so.0 PYTHONPATH=build/python \\
        /usr/bin/python3 python/bench/capture_bench.py [frames]
"""
import sys
import time

import numpy as np

import vizor


def python_loop(dev, frames):
    out = np.empty((240, 320), np.float32)
    done = 0
    t0 = time.perf_counter()
    with dev.capture() as cap:
        for f in cap:
            f.distance(out=out)
            done += 1
            if done == frames:
                break
    return done, time.perf_counter() - t0


def c_loop(dev, frames):
    with dev.capture():
        return vizor._vizor._c_loop(dev, frames)


def main():
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    bus = vizor.vcam.Bus()
    bus.add_camera(1, 1).set_scene(np.full((240, 320), 1.5, np.float32), 0.8)
    with vizor.Device() as dev:
        c_loop(dev, 10)  # warm-up
        results = {}
        for name, loop in (("c", c_loop), ("python", python_loop)) * 2:
            n, s = loop(dev, frames)
            results.setdefault(name, []).append(n / s)
        c, py = max(results["c"]), max(results["python"])
        print("C++ loop     %8.1f frames/s" % c)
        print("Python loop  %8.1f frames/s  (%.1f %% of C++)" % (py, 100.0 * py / c))


if __name__ == "__main__":
    main()
