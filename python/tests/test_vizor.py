# The Python package on the virtual camera: lifetimes, capture, zero-copy
# arrays, errors, threads, registers, frame files and data transfer.
import os
import threading

import numpy as np
import pytest

import vizor
from conftest import H, W, scene

PINHOLE = ((W - 1) / 2, (H - 1) / 2, 211.0, 211.0, 1.0)


def emulation_sockets():
    """Inodes of the virtual bus's own ends of the device-node sockets.

    The virtual bus's ioctl emulation runs in this process and closes its end
    of a device node's socket on its own thread, a moment after the library
    closed the device: counting those would race with that teardown. They are
    the sockets bound to the testbed's ioctl folder; the library's ends have
    no name and stay counted."""
    inodes = set()
    with open("/proc/net/unix") as f:
        for line in f:
            parts = line.split()
            if len(parts) > 7 and "/umockdev." in parts[7] and "/ioctl/" in parts[7]:
                inodes.add(parts[6])
    return inodes


def fds_and_threads():
    with open("/proc/self/status") as st:
        threads = next(int(l.split()[1]) for l in st if l.startswith("Threads:"))
    skip = emulation_sockets()
    fds = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:  # closed meanwhile (the listing's own descriptor)
            continue
        if not (target.startswith("socket:[") and target[8:-1] in skip):
            fds += 1
    return fds, threads


def test_open_close_cycles_leave_nothing_behind(vcam):
    with vizor.Device() as d:  # warm-up: lazy library state
        d.snapshot()
    before = fds_and_threads()
    for _ in range(10):
        with vizor.Device(vizor.list_devices()[0]) as d:
            assert d.is_open and d.product == "VZ-T0-320"
            d.snapshot()
        assert not d.is_open
    assert fds_and_threads() == before


def test_iterator_yields_frames_of_the_scene(dev):
    with dev.capture() as cap:
        frames = [f for _, f in zip(range(4), cap)]
    assert [f.index for f in frames] == sorted(f.index for f in frames)
    dist = frames[-1].distance()
    assert dist.dtype == np.float32 and dist.shape == (H, W)
    np.testing.assert_allclose(dist, scene(), atol=0.01)
    gray = frames[-1].gray()
    assert gray.shape == (H, W) and np.all(gray > 0)


def test_callbacks_run_on_the_waiting_thread_and_may_stop_or_raise(dev):
    seen = []

    def on_frame(f):
        seen.append((threading.get_ident(), f.distance()[0, 0]))
        if len(seen) == 3:
            cap.stop()

    cap = dev.capture(on_frame=on_frame)
    assert cap.wait(10000)
    assert [t for t, _ in seen] == [threading.get_ident()] * 3
    assert all(abs(d - 1.5) < 0.01 for _, d in seen)
    cap.stop()

    def boom(f):
        raise KeyError("from the callback")

    with dev.capture(on_frame=boom) as cap:
        with pytest.raises(KeyError):
            cap.wait(10000)


def test_arrays_share_the_frames_memory(dev):
    f = dev.snapshot()
    raw = f.raw
    assert np.shares_memory(raw, f.raw) and not raw.flags.writeable
    assert raw.size == f.size == H * W * 4
    out = np.empty((H, W), np.float32)
    assert f.distance(out=out) is out
    pc = f.point_cloud(camera=PINHOLE)
    assert pc.shape == (H * W, 3) and np.shares_memory(pc, pc.base)
    xyzd = f.point_cloud(camera=PINHOLE, xyzd=True)
    assert xyzd.shape == (H * W, 4)
    np.testing.assert_allclose(xyzd[:, 3].reshape(H, W), scene(), atol=0.01)
    del f  # the views keep the frame's memory alive
    assert raw.sum() > 0


def test_exact_points_and_depth_through_a_lens(dev):
    f = dev.snapshot()
    lens = PINHOLE[:4]
    out = np.empty((H, W, 3), np.float32)
    pts = f.points(out=out, lens=lens)
    assert pts is out
    # Each point lies at its pixel's distance, along a ray through the pixel.
    np.testing.assert_allclose(np.linalg.norm(pts, axis=2), f.distance(), rtol=1e-5)
    u = PINHOLE[0] + PINHOLE[2] * pts[..., 0] / pts[..., 2]
    assert np.abs(u - np.arange(W)[None, :]).max() < 0.01
    z = f.depth(lens=lens)
    assert z.dtype == np.float32 and z.shape == (H, W)
    np.testing.assert_array_equal(z, pts[..., 2])
    mm = np.empty((H, W), np.uint16)
    assert f.depth(out=mm, mm=True, lens=lens) is mm
    np.testing.assert_array_equal(mm, (z * np.float32(1000)).astype(np.uint16))
    assert f.points(packed=True, lens=lens).shape == (H * W, 3)
    with pytest.raises(vizor.Error):
        f.points()  # the OPT8241's driver reports no lens
    with pytest.raises(ValueError):
        f.points(lens=(1, 2, 3))


@pytest.mark.parametrize("call, exc", [
    (lambda d, f: f.distance(out=np.empty((2, 2), np.float32)), ValueError),
    (lambda d, f: f.distance(out=np.empty((H, W), np.float64)), ValueError),
    (lambda d, f: d.point_cloud(np.zeros(5, np.float32)), ValueError),
    (lambda d, f: d.point_cloud(np.zeros((H, W)), camera=(1, 2)), ValueError),
    (lambda d, f: d.reset(9), vizor.Error),
    (lambda d, f: d.set_param(40, bytes(19)), vizor.Error),
    (lambda d, f: d.write_registers(2, 0, np.zeros(1023, np.uint32)), vizor.Error),
    (lambda d, f: d.enable_filter(vizor.FILTER_MIN_AMPLITUDE, 5), TypeError),
    (lambda d, f: vizor.filter_arg(vizor.FILTER_UNDISTORT, 1), ValueError),
])
def test_bad_input_raises(dev, call, exc):
    with pytest.raises(exc):
        call(dev, dev.snapshot())


def test_errors_carry_the_librarys_code_and_closed_devices_refuse(vcam):
    d = vizor.Device()
    d.close()
    with pytest.raises(vizor.Error) as e:
        d.snapshot()
    assert isinstance(e.value.code, int)
    with pytest.raises(vizor.Error):
        d.capture()
    with pytest.raises(ValueError):
        vcam.set_scene(np.zeros((2, 2, 2)))
    with vizor.Device() as d:  # the OPT8241 driver has no filters: the library answers -1
        with pytest.raises(vizor.Error) as e:
            d.enable_filter(vizor.FILTER_MIN_AMPLITUDE, vizor.filter_arg(vizor.FILTER_MIN_AMPLITUDE, 5))
        assert e.value.code == -1


def test_close_while_another_thread_waits(dev):
    got, errors = [], []

    def reader():
        try:
            with dev.capture() as cap:
                for f in cap:
                    got.append(f.index)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    t = threading.Thread(target=reader)
    t.start()
    while not got and t.is_alive():
        threading.Event().wait(0.01)
    dev.close()
    t.join(60)
    assert not t.is_alive() and not errors and got


def test_registers_and_parameters(dev, vcam):
    vals = np.arange(0x1000, 0x1010, dtype=np.uint32)
    dev.write_registers(2, 100, vals)
    np.testing.assert_array_equal(dev.read_registers(2, 100, 16), vals)
    assert vcam.reg(2, 115) == 0x100F
    assert dev.get_param(vizor.PARAM_INFO_PRODUCT).rstrip(b"\0") == b"VZ-T0-320"
    dev.set_param(vizor.PARAM_INTG_TIME, (800).to_bytes(2, "little"))
    assert int.from_bytes(dev.get_param(vizor.PARAM_INTG_TIME)[:2], "little") == 800
    assert dev.stats()["frames_discarded"] == 0


def test_frame_files_round_trip(tmp_path):
    d = scene()
    with open(tmp_path / "d.bin", "wb") as fh:
        vizor.save_distance(fh, d, 0)
        vizor.save_distance(fh, d * 2, 2)  # millimetres as U16 after an F32 header: same kind
    with open(tmp_path / "g.bin", "wb") as fh:
        vizor.save_gray(fh, np.full((4, 6), 300, np.float32), 2)
    with open(tmp_path / "d.bin", "rb") as fh:
        first = vizor.load_distance(fh)
        np.testing.assert_array_equal(first, d)
    with open(tmp_path / "g.bin", "rb") as fh:
        g = vizor.load_gray(fh)
        assert g.shape == (4, 6) and np.all(g == 300)
        assert vizor.load_gray(fh) is None


def test_data_transfer_reports_progress(dev, vcam, tmp_path):
    img = np.random.default_rng(1).integers(0, 256, 5000, dtype=np.uint8).tobytes()
    (tmp_path / "img.bin").write_bytes(img)
    down, up = [], []
    dev.data_download(str(tmp_path / "img.bin"), 5, 9, progress=lambda a, b: down.append((a, b)))
    assert vcam.image(5) == img
    assert down[0] == (0, len(img)) and down[-1] == (len(img), len(img))
    assert [a for a, _ in down] == sorted(a for a, _ in down)
    dev.data_upload(5, str(tmp_path / "up.bin"), progress=lambda a, b: up.append(a))
    assert (tmp_path / "up.bin").read_bytes() == img and up[-1] == len(img)
    with pytest.raises(ZeroDivisionError):
        dev.data_upload(5, str(tmp_path / "up2.bin"), progress=lambda a, b: 1 / 0)


def test_recordings_round_trip_and_refuse_damage(tmp_path):
    path = str(tmp_path / "r.vzr")
    frames = [np.arange(640, dtype=np.uint32).astype(np.uint8) ^ i for i in range(5)]
    with vizor.RecordingWriter(path, {"product": "VZ-E1-660"}, {3: b"\x01\x02"},
                               {(0, 0x10): 0xDEADBEEF}) as w:
        for i, f in enumerate(frames):
            w.add(f, 16, 20, host_ns=i * 33_000_000, frame_idx=(65534 + i) % 65536, frame_format=2,
                  pixel_depth=12, sensor_data=bytes([i] * 8))
        assert w.frames == 5
    with vizor.Recording(path) as r:
        assert len(r) == 5
        assert r.meta["product"] == "VZ-E1-660"
        assert r.params == {3: b"\x01\x02"}
        assert r.registers == {(0, 0x10): 0xDEADBEEF}
        for i, want in enumerate(frames):
            f = r.frame(i)
            assert (f["seq"], f["host_ns"], f["frame_idx"]) == (i, i * 33_000_000, (65534 + i) % 65536)
            assert (f["width"], f["height"], f["frame_format"], f["pixel_depth"]) == (16, 20, 2, 12)
            assert f["sensor_data"] == bytes([i] * 8)
            assert np.array_equal(f["data"], want)
        assert r.frame(5) is None and r.frame(-1) is None
    with pytest.raises(ValueError):
        r.frame(0)  # closed

    # A frame's bytes changed on disk: its checksum refuses it, naming the frame.
    raw = open(path, "rb").read()
    at = raw.find(frames[3].tobytes())
    assert at > 0
    open(path, "wb").write(raw[:at + 9] + bytes([raw[at + 9] ^ 0x5A]) + raw[at + 10:])
    with vizor.Recording(path) as r:
        with pytest.raises(vizor.RecordingError, match="frame 3: its data is damaged"):
            r.frame(3)
    (tmp_path / "t.vzr").write_text("no database")
    with pytest.raises(vizor.RecordingError, match="no SQLite header"):
        vizor.Recording(str(tmp_path / "t.vzr"))
    with pytest.raises(ValueError, match="at most 8 bytes"):
        vizor.RecordingWriter(str(tmp_path / "s.vzr"), {"product": "x"}).add(
            frames[0], 16, 20, sensor_data=b"123456789")
