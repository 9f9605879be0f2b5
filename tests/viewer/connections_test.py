#!/usr/bin/env python3
"""vizor view under many connections, without a browser.

Starts `vizor --virtual=VZ-T0-320 view`, opens 200 connections that send
nothing (as idle keep-alive connections of many tabs, or a careless client,
leave them), and checks that the page's requests are still answered within
a second meanwhile; then that one client's surplus long polls are refused
(429) instead of piling up, and that the server stops cleanly."""
import argparse
import socket
import struct
import sys
import threading
import time
import urllib.error
import urllib.request

from harness import check, finish, start_server, stop_server

def timed_get(port, path, timeout=30):
    """Status and seconds of one GET on a fresh connection."""
    t0 = time.monotonic()
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=timeout) as r:
            r.read()
            status = r.status
    except urllib.error.HTTPError as e:
        status = e.code
    except OSError:
        status = None
    return status, time.monotonic() - t0


def control(port, op):
    """Status of one control of the page (a POST with the page's Origin)."""
    req = urllib.request.Request(f"http://127.0.0.1:{port}/api/control", data=f"op={op}".encode(),
                                 headers={"Origin": f"http://127.0.0.1:{port}"})
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.status
    except urllib.error.HTTPError as e:
        return e.code


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--vizor", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    server, port = start_server(args.vizor, args.out)
    idle = []
    try:
        status, _ = timed_get(port, "/api/state")
        check(status == 200, "the server answers before the connections open")
        for _ in range(200):
            idle.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        time.sleep(0.2)  # every idle connection has reached a worker
        for path in ["/api/state", "/", "/viewer.js", "/api/state"]:
            status, secs = timed_get(port, path)
            check(status == 200 and secs < 1.0,
                  f"GET {path} with 200 idle connections open: {status} in {secs:.2f} s")

        # With capture stopped no newer frame comes, so every long poll for one
        # waits its full second: beyond one client's limit they are refused.
        check(control(port, "stop") == 200, "capture stops")
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/api/frame?after=0", timeout=10) as r:
            seq = struct.unpack_from("<I", r.read(), 4)[0]
        codes, done = [], []
        lock = threading.Lock()
        start = threading.Barrier(40)

        def poll():
            start.wait()
            st, _ = timed_get(port, f"/api/frame?after={seq}", timeout=10)
            with lock:
                codes.append(st)
                if st == 204:
                    done.append(time.monotonic())

        polls = [threading.Thread(target=poll) for _ in range(40)]
        for t in polls:
            t.start()
        for t in polls:
            t.join(30)
        # Each admitted poll waits its second. On a loaded machine the server
        # may take the last polls only after the first ones have left: those
        # find free places again and end a second after the first batch.
        first = [t for t in done if t < min(done, default=0) + 0.9]
        late = len(done) - len(first)
        check(len(first) == 16 and codes.count(429) + late == 24,
              f"16 long polls wait, the 24 beyond are refused ({sorted(codes)}, "
              f"{late} taken after the first left)")
        status, secs = timed_get(port, "/api/state")
        check(status == 200 and secs < 1.0, f"the page is served afterwards ({secs:.2f} s)")
    finally:
        for s in idle:
            s.close()
        rc = stop_server(server)
    return finish(rc)


if __name__ == "__main__":
    sys.exit(main())
