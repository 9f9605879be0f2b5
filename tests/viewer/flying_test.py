#!/usr/bin/env python3
"""vizor view's flying-pixel filter of the point cloud, without a browser.

For a live virtual camera looking at the room and for a recording of it:
the viewer starts with the filter as --filter asks (on at 0.15 m by default)
and says so on its second line of output and in its state; the page's
checkbox control switches it, and the point cloud of the frames that follow
loses (or regains) the pixels along the room's edges."""
import argparse
import json
import struct
import subprocess
import sys
import urllib.request

from harness import check, finish, start_server, stop_server


def get(port, path):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=10) as r:
        return r.read()


def control(port, **params):
    """The reply of one control of the page (a POST with the page's Origin)."""
    data = "&".join(f"{k}={v}" for k, v in params.items()).encode()
    req = urllib.request.Request(f"http://127.0.0.1:{port}/api/control", data=data,
                                 headers={"Origin": f"http://127.0.0.1:{port}"})
    with urllib.request.urlopen(req, timeout=10) as r:
        return json.loads(r.read())


def points(port, seq, frames=3):
    """Point counts of the frames after seq (the first one, possibly made
    before the last control, is skipped); the last sequence number."""
    counts = []
    for i in range(frames + 1):
        rec = get(port, f"/api/frame?after={seq}")
        seq, pts = struct.unpack_from("<I", rec, 4)[0], struct.unpack_from("<I", rec, 16)[0]
        if i:
            counts.append(pts)
    return counts, seq


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--vizor", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    # A recording of the room for the viewer's file source.
    rec_dir = args.out + "/rec"
    subprocess.run([args.vizor, "--virtual", "capture", "-n", "3", "--formats", "vzd", "-o",
                    rec_dir], check=True, stdout=subprocess.DEVNULL)
    cases = [
        ("live, default", [], 0.15),
        ("live, --filter flying-pixels=off", ["--filter", "flying-pixels=off"], 0.0),
        ("live, --filter flying-pixels=0.3", ["--filter", "flying-pixels=0.3"], 0.3),
        ("recording, default", ["--play", rec_dir + "/distance.vzd", "--play-fps", "20"], 0.15),
    ]
    rc = 0
    for name, extra, threshold in cases:
        server, port = start_server(args.vizor, args.out, extra=extra, virtual="--virtual")
        try:
            line = server.stdout.readline()
            want = ("flying-pixel filter on (%g m)" % threshold if threshold
                    else "flying-pixel filter off")
            check(want in line, f"{name}: says '{want}' ({line.strip()})")
            state = json.loads(get(port, "/api/state"))
            check(abs(state["flying_pixels"] - threshold) < 1e-6,
                  f"{name}: the state holds {state['flying_pixels']}")
            seq = 0
            counts = {}
            for on in ("0", "1", "0"):
                reply = control(port, op="filter", which="flying_pixels", on=on)
                check(reply["ok"], f"{name}: the checkbox switches the filter {'on' if on == '1' else 'off'}")
                pts, seq = points(port, seq)
                counts.setdefault(on, []).extend(pts)
            off, filtered = counts["0"], counts["1"]
            check(max(filtered) < min(off) and min(filtered) > 0.98 * max(off),
                  f"{name}: the cloud loses the edges' pixels with the filter on "
                  f"({min(filtered)}..{max(filtered)} of {min(off)}..{max(off)} points)")
            state = json.loads(get(port, "/api/state"))
            check(state["flying_pixels"] == 0, f"{name}: the state follows the checkbox")
        finally:
            code = stop_server(server)
            rc = rc if rc != 0 else code
    return finish(rc)


if __name__ == "__main__":
    sys.exit(main())
