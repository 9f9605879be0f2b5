"""libvizor for Python: USB time-of-flight depth cameras.

    import vizor
    with vizor.Device() as cam:                 # the first camera
        with cam.capture() as cap:
            for frame in cap:
                dist = frame.distance()         # float32 metres, height x width
                points = frame.point_cloud()    # N x 3 float32
                break

Capture waits without holding the GIL, so other Python threads run; a
callback capture (``cam.capture(on_frame=fn)`` and ``cap.wait()``) calls
``fn(frame)`` on the waiting thread. Frame bytes (``frame.raw``) and point
clouds are views of the library's buffers, not copies. Failures raise
``vizor.Error``, whose ``code`` is the library's result code.

An epc660/epc635 camera's processing settings are its own, also with several
cameras in one program: ``cam.epc.configure(modulation_frequency=1,
integration_time_3d=800)`` applies them to ``cam`` as one step, from any
thread; ``cam.epc.settings()`` reads them.
"""
from ._vizor import (  # noqa: F401
    VERSION, MAX_FRAME_BYTES, Error, DeviceInfo, Device, Capture, Frame, Epc,
    init, error_name, list_devices, remove_flying_pixels,
    save_distance, save_gray, load_distance, load_gray,
    FILTER_UNDISTORT, FILTER_PIXEL_CALIB, FILTER_MIN_AMPLITUDE, FILTER_AUTO_INTEGRATION,
    FILTER_FLYING_PIXELS,
    PARAM_INFO_PRODUCT, PARAM_INTG_TIME,
    Recording, RecordingWriter, RecordingError,
)
from . import _vizor

import struct as _struct

# The virtual camera: present in the build tree (tests, examples), not installed.
try:
    from . import _vcam as vcam
except ImportError:
    vcam = None


def open(info=None):  # noqa: A001 - vizor.open mirrors vizor_dev_open
    """Opens the camera info names (a DeviceInfo of list_devices; None: the first)."""
    return Device(info)


def filter_arg(filter_id, value=None):
    """Argument bytes of a driver filter: pixel calibration mode (uint8), minimum
    amplitude (int32), saturated samples per thousand (uint16) or the flying-pixel
    threshold in metres (float32); None for none (the filter's default)."""
    if value is None:
        return None
    fmt = {FILTER_PIXEL_CALIB: "<B", FILTER_MIN_AMPLITUDE: "<i",
           FILTER_AUTO_INTEGRATION: "<H", FILTER_FLYING_PIXELS: "<f"}.get(filter_id)
    if fmt is None:
        raise ValueError("filter %d takes no argument" % filter_id)
    return _struct.pack(fmt, value)


__version__ = VERSION.lstrip("v")
