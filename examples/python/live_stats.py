#!/usr/bin/env python3
"""Streams frames from the first camera and prints live statistics of each
distance image with numpy: valid pixels, mean, median and nearest point.
The capture runs through a callback; the wait releases the GIL.

    python3 live_stats.py [frames]
"""
import sys

import numpy as np

import vizor


def main():
    wanted = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    seen = 0

    def on_frame(frame):
        nonlocal seen
        d = frame.distance()
        valid = d[(d > 0) & (d < 60)]
        if valid.size:
            print("frame %5d  valid %5.1f %%  mean %.3f m  median %.3f m  nearest %.3f m" % (
                frame.index, 100.0 * valid.size / d.size, valid.mean(), np.median(valid),
                valid.min()), flush=True)
        seen += 1
        if seen == wanted:
            cap.stop()  # ends the wait below

    with vizor.Device() as cam:
        print("camera", cam.product)
        with cam.capture(on_frame=on_frame) as cap:
            cap.wait(30000)
    return 0 if seen == wanted else 1


if __name__ == "__main__":
    sys.exit(main())
