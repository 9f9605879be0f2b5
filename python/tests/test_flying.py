# The flying-pixel filter from Python: on decoded frames (FILTER_FLYING_PIXELS)
# and on arrays the program holds (remove_flying_pixels).
import numpy as np
import pytest

import vizor

H, W = 240, 320


def step_image(middle):
    """1.5 m left, 2.0 m right, column 160 at `middle`."""
    d = np.full((H, W), 1.5, np.float32)
    d[:, W // 2:] = 2.0
    d[:, W // 2] = middle
    return d


@pytest.mark.parametrize("middle, threshold, dropped", [
    (1.75, 0.15, H - 2),   # between both sides by more than the threshold
    (1.75, 0.3, 0),        # not with a larger threshold
    (1.55, 0.15, 0),       # close to one side: the surface's own edge
    (2.5, 0.15, 0),        # beyond both sides: no straddle
])
def test_array_form_drops_pixels_between_the_sides_of_an_edge(middle, threshold, dropped):
    d = step_image(middle)
    before = d.copy()
    assert vizor.remove_flying_pixels(d, threshold) == dropped
    changed = d != before
    assert changed.sum() == dropped
    assert (d[changed] == 0).all() and changed[:, W // 2].sum() == dropped


@pytest.mark.parametrize("arr, threshold, exc", [
    (np.zeros((H, W), np.float64), 0.15, ValueError),                 # not float32
    (np.zeros((H, W), np.float32)[:, ::2], 0.15, ValueError),         # not contiguous
    (np.zeros(W, np.float32), 0.15, ValueError),                      # not 2-D
    (np.zeros((2, W), np.float32), 0.15, vizor.Error),                # too small
    (np.zeros((H, 4096), np.float32), 0.15, vizor.Error),             # too wide
    (np.zeros((H, W), np.float32), 0.0, vizor.Error),                 # no threshold
    (np.zeros((H, W), np.float32), float("nan"), vizor.Error),
])
def test_array_form_refuses_what_it_does_not_serve(arr, threshold, exc):
    with pytest.raises(exc):
        vizor.remove_flying_pixels(arr, threshold)


def test_decoded_frames_lose_the_column_with_the_filter_on(vcam):
    vcam.set_scene(step_image(1.75), 0.8)
    try:
        with vizor.Device() as dev:
            seen = {}
            for on in (False, True, False):
                if on:
                    dev.enable_filter(vizor.FILTER_FLYING_PIXELS,
                                      vizor.filter_arg(vizor.FILTER_FLYING_PIXELS, 0.15))
                else:
                    dev.disable_filter(vizor.FILTER_FLYING_PIXELS)
                d = dev.snapshot().distance()
                seen.setdefault(on, []).append(int((d[1:-1, W // 2] == 0).sum()))
                assert (d[1:-1, 1:W // 2] != 0).all() and (d[1:-1, W // 2 + 1:-1] != 0).all()
            assert seen == {False: [0, 0], True: [H - 2]}
    finally:
        from conftest import scene
        vcam.set_scene(scene(), 0.8)
