"""What the viewer's test scripts share: the pass/fail tally, starting
`vizor --virtual=VZ-T0-320 view` (or with other options) on a free port and
stopping it."""
import os
import signal
import subprocess
import sys
import time

results = {"passed": 0, "failed": 0}
T0 = time.monotonic()


def check(cond, what):
    results["passed" if cond else "failed"] += 1
    print(("ok     " if cond else "FAILED ") + what + f"  [{time.monotonic() - T0:.1f} s]", flush=True)
    return cond


def start_server(vizor, out_dir, product="VZ-T0-320", extra=(), virtual=None):
    """The viewer on a free port, on the virtual camera of the product (or
    the virtual option given); extra: more options of `view`. The process
    and its port."""
    env = dict(os.environ)
    if os.path.isdir("/dev/shm"):
        env["TMPDIR"] = "/dev/shm"
    p = subprocess.Popen([vizor, virtual or "--virtual=" + product, "view", "--port", "0", "-o",
                          out_dir, *extra],
                         stdout=subprocess.PIPE, stderr=sys.stderr, text=True, env=env)
    line = p.stdout.readline()  # "vizor view: http://127.0.0.1:PORT/ (Ctrl-C ends)"
    if "http://" not in line:
        p.kill()
        raise SystemExit("server did not start: " + line)
    return p, int(line.split("http://127.0.0.1:")[1].split("/")[0])


def stop_server(server):
    """SIGTERM, then the exit code (None when it had to be killed)."""
    server.send_signal(signal.SIGTERM)
    try:
        return server.wait(timeout=20)
    except subprocess.TimeoutExpired:
        server.kill()
        return None


def finish(rc):
    """Checks the server's clean stop and prints the tally; the exit code."""
    check(rc == 0, "the server stops cleanly on SIGTERM")
    print(f"{results['passed']} passed, {results['failed']} failed")
    return 1 if results["failed"] else 0
