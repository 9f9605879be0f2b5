# Per-camera EPC settings: two virtual epc660 cameras with different settings,
# each on its own, set from one thread or from several at once.
import threading

import numpy as np
import pytest

import vizor

H, W = 240, 320
BUS = 3  # away from the session camera on bus 1


@pytest.fixture(scope="module")
def epc_cams(bus):
    """Two epc660 cameras looking at flat scenes 1.3 m and 2.1 m away."""
    cams = []
    for port, metres in ((1, 1.3), (2, 2.1)):
        c = bus.add_camera(BUS, port, "VZ-E1-660")
        c.set_scene(np.full((H, W), metres, np.float32), 0.8)
        cams.append((c, metres))
    yield cams
    for c, _ in cams:
        c.unplug()


@pytest.fixture
def epc_pair(epc_cams):
    """The two cameras opened: [(device, (virtual camera, metres))]."""
    infos = sorted((i for i in vizor.list_devices() if i.bus == BUS), key=lambda i: i.port)
    devs = [vizor.Device(i) for i in infos]
    yield list(zip(devs, epc_cams))
    for d in devs:
        d.close()


def measured(dev):
    d = dev.snapshot().distance()
    ok = (d > 0) & (d < 12.5)
    return float(np.median(d[ok])), float(ok.mean())


# Per camera: what it is set to, the divider of the chip's clock register
# (24 MHz / (divider + 1)) and whether the factory calibration covers the
# frequency (the distance is then checked against the scene).
CASES = [
    (dict(modulation_frequency=1, integration_time_3d=1500, min_amplitude=30), 1, True),
    (dict(modulation_frequency=0, integration_time_3d=800, min_amplitude=60), 0, False),
]


def test_each_camera_keeps_its_own_settings(epc_pair):
    for order in (0, 1):
        pairs = list(zip(epc_pair, CASES))
        for (dev, _), (s, _, _) in (pairs[::-1] if order else pairs):
            dev.epc.configure(**s)
        for (dev, (cam, metres)), (s, divider, calibrated) in pairs:
            got = dev.epc.settings()
            table = got["modulation_frequencies_khz"]
            assert len(table) == 6
            assert got["modulation_frequency_index"] == s["modulation_frequency"]
            assert got["modulation_frequency_khz"] == table[s["modulation_frequency"]]
            assert got["integration_time_3d"] == s["integration_time_3d"]
            assert got["min_amplitude"] == s["min_amplitude"]
            assert cam.reg(1, 133) == divider  # the setting reached this chip
            median, share = measured(dev)
            assert share > 0.95
            if calibrated:
                assert abs(median - metres) < 0.01, median


def test_refused_settings_raise_and_stop_there(epc_pair):
    dev = epc_pair[0][0]
    dev.epc.configure(integration_time_3d=1000)
    for kwargs, call in [
        (dict(modulation_frequency=6), "apiSetModulationFrequency"),
        (dict(integration_time_3d=4001), "apiSetIntegrationTime3D"),
        (dict(roi=(300, 10, 6, 125)), "apiSetROI"),
        (dict(integration_time_2d=-1, min_amplitude=77), "apiSetIntegrationTime2D"),
    ]:
        with pytest.raises(vizor.Error, match=call):
            dev.epc.configure(**kwargs)
    got = dev.epc.settings()
    assert got["integration_time_3d"] == 1000
    assert got["min_amplitude"] != 77  # after the refused one: not applied
    dev.close()
    with pytest.raises(vizor.Error):
        dev.epc.settings()


def test_threads_set_their_own_camera(epc_pair):
    wrong = []

    def setter(dev, base):
        for k in range(100):
            dev.epc.configure(integration_time_3d=base + k)
            t = dev.epc.settings()["integration_time_3d"]
            if not base <= t < base + 100:
                wrong.append(t)

    threads = [threading.Thread(target=setter, args=(dev, base))
               for (dev, _), base in zip(epc_pair, (1000, 3000))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []
    assert [d.epc.settings()["integration_time_3d"] for d, _ in epc_pair] == [1099, 3099]


# A region of interest and binning change which pixels the camera reads, not
# what they measure: on a flat scene the median stays with the scene, with the
# non-uniformity correction on and off.
@pytest.mark.parametrize("drnu", [2, 0])
@pytest.mark.parametrize("readout, shape", [
    (dict(roi=(84, 243, 36, 95)), (120, 160)),
    (dict(binning=(True, False)), (240, 160)),
])
def test_readout_window_keeps_distances(epc_pair, drnu, readout, shape):
    dev, (cam, metres) = epc_pair[0]
    dev.epc.configure(modulation_frequency=1, drnu=drnu, roi=(4, 323, 6, 125),
                      binning=(False, False))
    full, _ = measured(dev)
    dev.epc.configure(**readout)
    for _ in range(2):
        dev.snapshot()
    assert dev.snapshot().distance().shape == shape
    median, share = measured(dev)
    dev.epc.configure(roi=(4, 323, 6, 125), binning=(False, False))
    assert share > 0.95
    assert abs(median - full) < 0.01, (median, full)
    if drnu:
        assert abs(median - metres) < 0.01, median
