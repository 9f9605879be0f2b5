# pytest fixtures: one virtual bus for the whole run (it must exist before the
# first USB context), a camera on it with a known scene, and an open device.
import numpy as np
import pytest

import vizor

H, W = 240, 320


def scene():
    """Left half at 1.5 m, right half at 2.0 m."""
    d = np.full((H, W), 1.5, np.float32)
    d[:, W // 2:] = 2.0
    return d


@pytest.fixture(scope="session")
def bus():
    if vizor.vcam is None:
        pytest.skip("built without the virtual camera")
    b = vizor.vcam.Bus()
    vizor.init()
    return b


@pytest.fixture(scope="session")
def vcam(bus):
    cam = bus.add_camera(1, 2)
    cam.set_scene(scene(), 0.8)
    return cam


@pytest.fixture
def dev(vcam):
    with vizor.Device() as d:
        yield d
