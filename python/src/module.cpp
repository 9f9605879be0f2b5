// The Python extension vizor._vizor: cameras, capture (iterator and
// callbacks), frames as numpy arrays, registers, parameters, filters, frame
// files and data transfer over the C API, and (when built with the virtual
// camera) a virtual bus whose scenes are numpy arrays.
//
// The GIL is released in every call that waits on the camera; callbacks from
// the library take it back before they touch Python. Frame bytes live in
// malloc'd blocks owned by capsules, so arrays handed out are views of them.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "vizor/datatrans.h"
#include "vizor/epc660.h"
#include "vizor/vizor.hpp"

namespace py = pybind11;

namespace vzpy {

void bind_recording(py::module_ &m);  // recording.cpp

namespace {

py::handle g_error;  // vizor.Error (kept for the process's life)

[[noreturn]] void raise(const std::string &call, int code) { throw vizor::error(call, code); }

// A block of floats or bytes handed to numpy: the capsule frees it.
template <class T>
py::array_t<T> adopt(T *data, std::vector<py::ssize_t> shape) {
    py::capsule owner(data, [](void *p) { std::free(p); });
    return py::array_t<T>(shape, data, owner);
}

template <class T>
T *alloc(std::size_t n) {
    void *p = std::malloc(n ? n * sizeof(T) : 1);
    if (!p) throw std::bad_alloc();
    return static_cast<T *>(p);
}

// The library is started once (on first use or by vizor.init) and ended at exit.
std::once_flag g_init_once;
bool g_started = false;
void ensure_init(const char *log_file = nullptr) {
    std::call_once(g_init_once, [&] {
        vizor_init(log_file ? log_file : "/dev/null");
        g_started = true;
    });
}

// ---- devices ---------------------------------------------------------------------

struct Device {
    explicit Device(const vizor_dev_t &rec) : dev(rec) {}
    vizor::Device dev;
    std::atomic<bool> closing{false};  // set before a close: waits end as stopped
    void close() {
        closing = true;
        py::gil_scoped_release nogil;
        dev.close();
    }
    vizor_dev_t *get() {
        if (!dev.is_open()) throw vizor::error("device closed", -1);
        return dev.get();
    }
};

// A raw frame: owns its bytes; decodes through the device it came from.
struct Frame {
    ~Frame() { std::free(buf); }
    vizor_frame_info_t info{};
    uint8_t *buf = nullptr;
    py::object device;  // vzpy::Device, for the decode calls

    Device &dev() { return device.cast<Device &>(); }
    py::ssize_t pixels() const { return py::ssize_t(info.width) * info.height; }
};

using decode_f = int (*)(vizor_dev_t *, float *, int, const uint8_t *, int,
                         const vizor_frame_info_t *);

// Decodes f into out (H x W float32, C-contiguous), or a new array.
py::array_t<float> decode(Frame &f, py::object out, decode_f fn, const char *call) {
    vizor_dev_t *d = f.dev().get();
    py::array_t<float> arr;
    if (out.is_none()) {
        arr = py::array_t<float>({py::ssize_t(f.info.height), py::ssize_t(f.info.width)});
    } else {
        arr = py::array_t<float>::ensure(out);
        if (!arr || arr.ptr() != out.ptr() || !(arr.flags() & py::array::c_style) ||
            arr.size() != f.pixels() || !arr.writeable())
            throw py::value_error(
                "out must be a writeable C-contiguous float32 array of "
                "height x width elements");
    }
    float *dst = arr.mutable_data();
    int n;
    {
        py::gil_scoped_release nogil;
        n = fn(d, dst, int(f.pixels()), f.buf, int(f.info.frame_size), &f.info);
    }
    if (n <= 0) raise(call, n);
    return arr;
}

// Point cloud of a distance image (H x W float32); N x 3 or N x 4.
py::array point_cloud(Device &d, py::array_t<float, py::array::c_style | py::array::forcecast> dist,
                      py::object camera, bool xyzd, bool pseudo_color) {
    if (dist.ndim() != 2 || dist.size() == 0)
        throw py::value_error("dist must be a non-empty 2-D array (height x width)");
    const int h = int(dist.shape(0)), w = int(dist.shape(1)), stride = xyzd ? 4 : 3;
    vizor_camera_param_t cam{}, *param = nullptr;
    if (!camera.is_none()) {
        auto t = camera.cast<std::vector<float>>();
        if (t.size() != 5) throw py::value_error("camera is (cx, cy, fx, fy, dist_scale)");
        cam = {t[0], t[1], t[2], t[3], t[4]};
        param = &cam;
    }
    py::array_t<float> out({py::ssize_t(h) * w, py::ssize_t(stride)});
    vizor_dev_t *dev = d.get();
    int n;
    {
        py::gil_scoped_release nogil;
        const int len = int(out.size());
        n = xyzd ? vizor_frame_get_pcl_xyzd(dev, out.mutable_data(), len, dist.data(), h * w, w, h,
                                            pseudo_color, param)
                 : vizor_frame_get_pcl(dev, out.mutable_data(), len, dist.data(), h * w, w, h,
                                       param);
    }
    if (n < 0) raise("vizor_frame_get_pcl", n);
    // A view of the first n rows: the points are not copied.
    return out.attr("__getitem__")(py::slice(0, n, 1));
}

// A caller lens for an h x w image: (cx, cy, fx, fy) or those and k1, k2,
// p1, p2, k3.
vz_lens_param_t lens_of(py::object lens, int w, int h) {
    auto t = lens.cast<std::vector<double>>();
    if (t.size() != 4 && t.size() != 9)
        throw py::value_error("lens is (cx, cy, fx, fy) or (cx, cy, fx, fy, k1, k2, p1, p2, k3)");
    vz_lens_param_t l{};
    l.cx = t[0];
    l.cy = t[1];
    l.fx = t[2];
    l.fy = t[3];
    for (size_t i = 4; i < t.size(); ++i) l.dist_coeff[i - 4] = t[i];
    l.width = w;
    l.height = h;
    return l;
}

// A caller's output array of the given shape and type, or a new one.
template <class T>
py::array_t<T> out_array(py::object out, std::vector<py::ssize_t> shape, const char *what) {
    if (out.is_none()) return py::array_t<T>(shape);
    auto arr = py::array_t<T>::ensure(out);
    py::ssize_t n = 1;
    for (auto d : shape) n *= d;
    if (!arr || arr.ptr() != out.ptr() || !(arr.flags() & py::array::c_style) || arr.size() != n ||
        !arr.writeable())
        throw py::value_error(std::string("out must be a writeable C-contiguous ") + what);
    return arr;
}

// Exact points of a frame (H x W x 3 organised, or N x 3 packed valid points)
// through the driver's lens or a caller lens.
py::array frame_points(Frame &f, py::object out, bool packed, py::object lens) {
    auto dist = decode(f, py::none(), vizor_frame_get_distance, "vizor_frame_get_distance");
    const int h = int(f.info.height), w = int(f.info.width);
    auto arr = out_array<float>(out, {h, w, 3}, "float32 array of height x width x 3");
    const int flags = packed ? VZ_POINTS_PACKED : VZ_POINTS_ORGANISED;
    vizor_dev_t *dev = f.dev().get();
    const bool own = !lens.is_none();
    const vz_lens_param_t l = own ? lens_of(lens, w, h) : vz_lens_param_t{};
    int n;
    {
        py::gil_scoped_release nogil;
        float *xyz = arr.mutable_data();
        const int len = int(arr.size());
        n = own ? vz_lens_points(&l, nullptr, xyz, len, dist.data(), w, h, flags)
                : vizor_frame_get_points(dev, xyz, len, dist.data(), w, h, flags);
    }
    if (!packed && n <= 0) raise(own ? "vz_lens_points" : "vizor_frame_get_points", n);
    if (!packed) return arr;
    // The first n points, as an N x 3 view of the buffer.
    return arr.attr("reshape")(py::make_tuple(py::ssize_t(h) * w, 3))
        .attr("__getitem__")(py::slice(0, n, 1));
}

// Z-depth of a frame: float32 metres (NaN invalid) or uint16 millimetres (0).
py::array frame_depth(Frame &f, py::object out, bool mm, py::object lens) {
    auto dist = decode(f, py::none(), vizor_frame_get_distance, "vizor_frame_get_distance");
    const int h = int(f.info.height), w = int(f.info.width);
    vizor_dev_t *dev = f.dev().get();
    const bool own = !lens.is_none();
    const vz_lens_param_t l = own ? lens_of(lens, w, h) : vz_lens_param_t{};
    int n;
    if (mm) {
        auto arr = out_array<uint16_t>(out, {h, w}, "uint16 array of height x width");
        {
            py::gil_scoped_release nogil;
            uint16_t *z = arr.mutable_data();
            n = own ? vz_lens_depth_mm(&l, nullptr, z, w * h, dist.data(), w, h)
                    : vizor_frame_get_depth_mm(dev, z, w * h, dist.data(), w, h);
        }
        if (n <= 0) raise(own ? "vz_lens_depth_mm" : "vizor_frame_get_depth_mm", n);
        return arr;
    }
    auto arr = out_array<float>(out, {h, w}, "float32 array of height x width");
    {
        py::gil_scoped_release nogil;
        float *z = arr.mutable_data();
        n = own ? vz_lens_depth(&l, nullptr, z, w * h, dist.data(), w, h)
                : vizor_frame_get_depth(dev, z, w * h, dist.data(), w, h);
    }
    if (n <= 0) raise(own ? "vz_lens_depth" : "vizor_frame_get_depth", n);
    return arr;
}

py::dict stats_dict(const vz_stream_state_t &s) {
    py::dict d;
    d["frames_done"] = s.frames_done;
    d["frames_ready_total"] = s.frames_ready_total;
    d["frames_discarded"] = s.frames_discarded;
    d["frames_dropped_full"] = s.frames_dropped_full;
    d["frames_in_buffer"] = s.frames_in_buffer;
    d["bytes_dropped"] = s.bytes_dropped;
    return d;
}

// ---- capture ---------------------------------------------------------------------

struct Capture {
    Capture(py::object device, py::object on_frame, uint32_t buffer_frames) : device(device) {
        Device &d = device.cast<Device &>();
        d.get();
        vizor::Capture::frame_fn fn;
        if (!on_frame.is_none()) {
            callback = on_frame;
            fn = [this](const vizor_frame_info_t &fi, vizor::span<const uint8_t> raw) {
                // Runs inside wait() on the waiting thread, which gave up the GIL.
                py::gil_scoped_acquire gil;
                in_callback = true;  // stop() from the callback only halts
                struct Reset {
                    bool &b;
                    ~Reset() { b = false; }
                } reset{in_callback};
                auto f = std::make_unique<Frame>();
                f->info = fi;
                f->buf = alloc<uint8_t>(raw.size());
                std::memcpy(f->buf, raw.data(), raw.size());  // raw is valid only now
                f->device = this->device;
                callback(py::cast(std::move(f)));
            };
        }
        cap = std::make_unique<vizor::Capture>(d.dev, std::move(fn), buffer_frames);
    }

    // The next frame; None after the time-out; StopIteration once stopped or closed.
    py::object next(bool iterating) {
        Device &d = device.cast<Device &>();
        if (!cap || d.closing || !d.dev.is_open()) throw py::stop_iteration();
        auto f = std::make_unique<Frame>();
        // Sized like the last frame (a full-size block for the first one);
        // untouched pages of a larger block cost nothing.
        const uint32_t cap_bytes = vizor::max_frame_bytes;
        f->buf = alloc<uint8_t>(cap_bytes);
        int n;
        {
            py::gil_scoped_release nogil;
            n = vizor_cap_get_frames(d.dev.get(), 1, f->buf, cap_bytes, &f->info);
        }
        // A close on another thread ends the wait early, before the record
        // reads as closed.
        if (d.closing || !d.dev.is_open() || n == -2) {
            if (iterating) throw py::stop_iteration();
            return py::none();
        }
        if (n < 0) raise("vizor_cap_get_frames", n);
        if (n == 0) {
            if (iterating) throw vizor::error("vizor_cap_get_frames: no frame in time", 0);
            return py::none();
        }
        if (void *p = std::realloc(f->buf, f->info.frame_size ? f->info.frame_size : 1))
            f->buf = static_cast<uint8_t *>(p);
        f->device = device;
        return py::cast(std::move(f));
    }

    bool wait(int timeout_ms) {
        if (!cap) throw vizor::error("capture stopped", -2);
        py::gil_scoped_release nogil;
        return cap->wait(timeout_ms);
    }

    void stop() {
        if (!cap) return;
        if (in_callback) {  // the session is still delivering this frame
            cap->halt();
            return;
        }
        const bool closing = device.cast<Device &>().closing;
        py::gil_scoped_release nogil;
        if (closing)
            cap->detach();  // the close stops capture
        else
            cap->stop();
        cap.reset();
    }

    py::object device;
    py::object callback;
    std::unique_ptr<vizor::Capture> cap;
    bool in_callback = false;
};

// ---- EPC settings of one camera ---------------------------------------------------

// The settings of configure(), each applied when given.
struct EpcSettings {
    std::optional<int> freq, t3d, t2d, min_amp, drnu;
    std::optional<std::array<int, 4>> roi;
    std::optional<std::pair<bool, bool>> binning;
    std::optional<bool> temperature, ambient;
};

// A camera's EPC processing settings (Device.epc): every call runs in that
// camera's context through the C++ layer, without the GIL.
struct Epc {
    py::object device;  // vzpy::Device

    // Runs fn in the camera's context; errors come back as vizor.Error.
    template <class F>
    auto run(F &&fn) -> decltype(fn()) {
        Device &d = device.cast<Device &>();
        d.get();  // refuses a closed device
        vizor::Epc epc = d.dev.epc();
        py::gil_scoped_release nogil;
        return epc.call(std::forward<F>(fn));
    }

    // All given settings in one call: no other thread's settings of this
    // camera come between them. The first refused one stops it.
    void configure(const EpcSettings &s) {
        const char *failed = nullptr;
        run([&] {
            const int a = configGetDeviceAddress();
            auto step = [&](bool want, const char *name, auto &&set) {
                if (want && !failed && set() < 0) failed = name;
            };
            step(s.freq.has_value(), "apiSetModulationFrequency",
                 [&] { return apiSetModulationFrequency(*s.freq, a); });
            step(s.t3d.has_value(), "apiSetIntegrationTime3D",
                 [&] { return apiSetIntegrationTime3D(*s.t3d); });
            step(s.t2d.has_value(), "apiSetIntegrationTime2D",
                 [&] { return apiSetIntegrationTime2D(*s.t2d); });
            step(s.roi.has_value(), "apiSetROI", [&] {
                const auto &r = *s.roi;
                return apiSetROI(r[0], r[1], r[2], r[3], a);
            });
            step(s.binning.has_value(), "apiEnableHorizontalBinning", [&] {
                apiEnableHorizontalBinning(s.binning->first, a);
                return apiEnableVerticalBinning(s.binning->second, a);
            });
            step(s.min_amp.has_value(), "apiSetMinAmplitude",
                 [&] { return apiSetMinAmplitude(*s.min_amp); });
            step(s.drnu.has_value(), "apiCorrectDRNU", [&] { return apiCorrectDRNU(*s.drnu); });
            step(s.temperature.has_value(), "apiCorrectTemperature",
                 [&] { return apiCorrectTemperature(*s.temperature); });
            step(s.ambient.has_value(), "apiCorrectAmbientLight",
                 [&] { return apiCorrectAmbientLight(*s.ambient); });
        });
        if (failed) raise(failed, -1);
    }

    py::dict settings() {
        struct {
            int khz, index, t3d, t2d, min_amp, drnu, temperature, ambient;
            std::vector<int> table;
        } v{};
        run([&] {
            v.khz = configGetModulationFrequency();
            v.index = configGetModFreqMode();
            const int *t = configGetModulationFrequencies();
            if (t) v.table.assign(t, t + configGetModFreqCount());
            v.t3d = configGetIntegrationTime3D();
            v.t2d = configGetIntegrationTime2D();
            v.min_amp = apiGetMinAmplitude();
            v.drnu = apiIsEnabledDRNUCorrection();
            v.temperature = apiIsEnabledTemperatureCorrection();
            v.ambient = apiIsEnabledAmbientLightCorrection();
        });
        py::dict d;
        d["modulation_frequency_khz"] = v.khz;
        d["modulation_frequency_index"] = v.index;
        d["modulation_frequencies_khz"] = v.table;
        d["integration_time_3d"] = v.t3d;
        d["integration_time_2d"] = v.t2d;
        d["min_amplitude"] = v.min_amp;
        d["drnu"] = v.drnu;
        d["temperature"] = bool(v.temperature);
        d["ambient_light"] = bool(v.ambient);
        return d;
    }
};

// ---- data transfer with progress -------------------------------------------------

// One flow with a Python progress callback at a time: the library's progress
// callback is process-wide and taken at the flow's start.
std::mutex g_flow_lock;

struct Progress {
    py::object fn;
    std::exception_ptr err;
    static void call(void *user, uint32_t done, uint32_t total) {
        auto *p = static_cast<Progress *>(user);
        py::gil_scoped_acquire gil;
        if (p->err) return;
        try {
            p->fn(done, total);
        } catch (...) {
            p->err = std::current_exception();  // raised when the flow returns
        }
    }
};

template <class F>
int run_flow(py::object progress, F flow) {
    Progress p{progress, nullptr};
    int r;
    {
        py::gil_scoped_release nogil;
        std::lock_guard<std::mutex> g(g_flow_lock);
        vizor_data_set_progress_cb(progress.is_none() ? nullptr : &Progress::call, &p);
        r = flow();
        vizor_data_set_progress_cb(nullptr, nullptr);
    }
    if (p.err) std::rethrow_exception(p.err);
    return r;
}

// ---- frame files -----------------------------------------------------------------

int fileno_of(py::object file) {
    if (py::isinstance<py::int_>(file)) return file.cast<int>();
    if (py::hasattr(file, "flush")) file.attr("flush")();
    return file.attr("fileno")().cast<int>();
}

using load_f = int (*)(int, float *, int, int *, int *);

py::object load_frame(py::object file, int max_pixels, load_f fn, const char *call) {
    if (max_pixels <= 0) throw py::value_error("max_pixels must be positive");
    const int fd = fileno_of(file);
    float *buf = alloc<float>(std::size_t(max_pixels));
    int w = 0, h = 0, n;
    {
        py::gil_scoped_release nogil;
        n = fn(fd, buf, max_pixels, &w, &h);
    }
    if (n <= 0) {
        std::free(buf);
        return py::none();  // end of file (a bad header is logged)
    }
    if (void *p = std::realloc(buf, std::size_t(n) * sizeof(float))) buf = static_cast<float *>(p);
    if (w > 0 && h > 0 && py::ssize_t(w) * h == n) return adopt(buf, {h, w});
    return adopt(buf, {n});
}

using save_f = int (*)(int, int, const float *, int, int, int);

void save_frame(py::object file, py::array_t<float, py::array::c_style | py::array::forcecast> img,
                int fmt, save_f fn, const char *call) {
    if (img.ndim() != 2) throw py::value_error("image must be 2-D (height x width)");
    const int fd = fileno_of(file);
    int r;
    {
        py::gil_scoped_release nogil;
        r = fn(fd, fmt, img.data(), int(img.size()), int(img.shape(1)), int(img.shape(0)));
    }
    if (r != 1) raise(call, r);
}

std::vector<uint8_t> filter_arg(py::object arg) {
    if (arg.is_none()) return {};
    if (py::isinstance<py::bytes>(arg)) {
        std::string s = arg.cast<std::string>();
        return {s.begin(), s.end()};
    }
    throw py::type_error("filter argument must be bytes or None (see vizor.filter_arg)");
}

std::string cstr(const char *s, std::size_t max) { return std::string(s, strnlen(s, max)); }

}  // namespace
}  // namespace vzpy

using namespace vzpy;

PYBIND11_MODULE(_vizor, m) {
    m.doc() = "libvizor: USB time-of-flight depth cameras (C extension)";
    g_error = py::exception<vizor::error>(m, "Error", PyExc_RuntimeError).inc_ref();
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const vizor::error &e) {
            py::object exc = py::reinterpret_borrow<py::object>(g_error)(e.what());
            exc.attr("code") = e.code();
            PyErr_SetObject(g_error.ptr(), exc.ptr());
        }
    });
    bind_recording(m);

    m.def(
        "init",
        [](py::object log_file) {
            std::string s = log_file.is_none() ? "/dev/null" : log_file.cast<std::string>();
            ensure_init(s.c_str());
        },
        py::arg("log_file") = py::none(),
        "Starts the library once, logging to log_file (default: no log file). Called "
        "implicitly by the first list_devices/open.");
    m.def(
        "error_name", [](int code) { return std::string(vizor_error_name(code)); },
        "Name of a capture error code.");
    m.attr("VERSION") = VIZOR_VERSION_STR;
    m.attr("MAX_FRAME_BYTES") = vizor::max_frame_bytes;

    py::class_<vizor_dev_t>(m, "DeviceInfo", "A camera found on the USB buses (not opened).")
        .def_property_readonly("bus", [](const vizor_dev_t &d) { return d.usb_bus_num; })
        .def_property_readonly("port", [](const vizor_dev_t &d) { return d.usb_port_num; })
        .def_property_readonly("address", [](const vizor_dev_t &d) { return d.usb_addr; })
        .def_property_readonly("speed", [](const vizor_dev_t &d) { return d.usb_speed; })
        .def("__repr__", [](const vizor_dev_t &d) {
            return "<vizor.DeviceInfo bus " + std::to_string(d.usb_bus_num) + " port " +
                   std::to_string(d.usb_port_num) + ">";
        });

    m.def(
        "list_devices",
        [](int max) {
            ensure_init();
            py::gil_scoped_release nogil;
            return vizor::list_devices(max);
        },
        py::arg("max") = 16, "The cameras on the USB buses.");

    py::class_<Device>(m, "Device", "An open camera; a context manager that closes it on exit.")
        .def(py::init([](const vizor_dev_t *info) {
                 ensure_init();
                 vizor_dev_t rec{};
                 if (info) rec = *info;  // usb_loc_valid 0: the first camera
                 py::gil_scoped_release nogil;
                 return std::make_unique<Device>(rec);
             }),
             py::arg("info") = nullptr, "Opens the camera info names (None: the first one).")
        .def("close", &Device::close,
             "Closes the camera; a capture waiting on another thread then ends.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](Device &d, py::args) {
                 d.close();
                 return false;
             })
        .def_property_readonly("is_open", [](Device &d) { return d.dev.is_open(); })
        .def_property_readonly("product", [](Device &d) { return d.dev.product(); })
        .def_property_readonly(
            "info",
            [](Device &d) { return cstr(d.get()->dev_info_str, sizeof d.get()->dev_info_str); })
        .def_property_readonly("bus", [](Device &d) { return d.dev.get()->usb_bus_num; })
        .def_property_readonly("port", [](Device &d) { return d.dev.get()->usb_port_num; })
        .def(
            "reset",
            [](Device &d, uint32_t target) {
                d.get();
                py::gil_scoped_release nogil;
                d.dev.reset(target);
            },
            py::arg("target"), "Resets part of the camera (0 board, 1 sensor, 3 USB interface).")
        .def(
            "read_registers",
            [](Device &d, uint8_t target, uint32_t base, uint16_t count) {
                d.get();
                py::array_t<uint32_t> out(count);
                uint32_t *p = out.mutable_data();
                bool ok;
                {
                    py::gil_scoped_release nogil;
                    ok = vizor_reg_batch_read(d.dev.get(), target, base, p, count);
                }
                if (!ok) raise("vizor_reg_batch_read", 0);
                return out;
            },
            py::arg("target"), py::arg("base"), py::arg("count") = 1,
            "Reads count 32-bit registers of space target from base (uint32 array).")
        .def(
            "write_registers",
            [](Device &d, uint8_t target, uint32_t base,
               py::array_t<uint32_t, py::array::c_style | py::array::forcecast> v) {
                d.get();
                py::gil_scoped_release nogil;
                d.dev.write_registers(target, base, {v.data(), std::size_t(v.size())});
            },
            py::arg("target"), py::arg("base"), py::arg("values"),
            "Writes 32-bit registers of space target from base in one command.")
        .def(
            "get_param",
            [](Device &d, uint32_t id) {
                d.get();
                std::vector<uint8_t> v;
                {
                    py::gil_scoped_release nogil;
                    v = d.dev.get_param(id);
                }
                return py::bytes(reinterpret_cast<const char *>(v.data()), v.size());
            },
            py::arg("id"), "The value bytes of parameter id.")
        .def(
            "set_param",
            [](Device &d, uint32_t id, py::bytes value) {
                d.get();
                std::string s = value;
                py::gil_scoped_release nogil;
                d.dev.set_param(id, {reinterpret_cast<const uint8_t *>(s.data()), s.size()});
            },
            py::arg("id"), py::arg("value"), "Sets parameter id (at most 18 bytes).")
        .def(
            "enable_filter",
            [](Device &d, int id, py::object arg) {
                d.get();
                auto a = filter_arg(arg);
                d.dev.enable_filter(id, {a.data(), a.size()});
            },
            py::arg("id"), py::arg("arg") = py::none(), "Switches a driver filter on.")
        .def(
            "disable_filter",
            [](Device &d, int id) {
                d.get();
                d.dev.disable_filter(id);
            },
            py::arg("id"), "Switches a driver filter off.")
        .def(
            "set_path",
            [](Device &d, const std::string &path) {
                if (vizor_path_cfg(d.get(), path.c_str()) != 0) raise("vizor_path_cfg", -1);
            },
            py::arg("path"), "Sets (and creates) the calibration folder.")
        .def_property_readonly(
            "epc",
            [](py::object self) {
                self.cast<Device &>().get();
                return Epc{self};
            },
            "The EPC processing settings of this epc660/epc635 camera (its own, also with "
            "several cameras in one program).")
        .def(
            "stats", [](Device &d) { return stats_dict(d.dev.stats()); },
            "Capture statistics since the last start.")
        .def(
            "snapshot",
            [](py::object self) {
                Device &d = self.cast<Device &>();
                auto f = std::make_unique<Frame>();
                f->buf = alloc<uint8_t>(vizor::max_frame_bytes);
                bool ok;
                {
                    vizor_dev_t *dev = d.get();
                    py::gil_scoped_release nogil;
                    ok = vizor_cap_snapshot(dev, f->buf, vizor::max_frame_bytes, &f->info);
                }
                if (!ok) raise("vizor_cap_snapshot", 0);
                if (void *p = std::realloc(f->buf, f->info.frame_size ? f->info.frame_size : 1))
                    f->buf = static_cast<uint8_t *>(p);
                f->device = self;
                return f;
            },
            "Captures one frame (starting and stopping capture when idle).")
        .def(
            "capture",
            [](py::object self, py::object on_frame, uint32_t buffer_frames) {
                return std::make_unique<Capture>(self, on_frame, buffer_frames);
            },
            py::arg("on_frame") = py::none(), py::arg("buffer_frames") = 4,
            "Starts capture: iterate the result for frames, or pass on_frame(frame) and call "
            "wait().")
        .def(
            "point_cloud",
            [](Device &d, py::array_t<float, py::array::c_style | py::array::forcecast> dist,
               py::object camera, bool xyzd,
               bool pseudo_color) { return point_cloud(d, dist, camera, xyzd, pseudo_color); },
            py::arg("dist"), py::arg("camera") = py::none(), py::arg("xyzd") = false,
            py::arg("pseudo_color") = false,
            "Points (N x 3, or N x 4 with xyzd) of a distance image; camera is "
            "(cx, cy, fx, fy, dist_scale) or None for the driver's lens (no points when the "
            "driver has none for this image size).")
        .def(
            "data_download",
            [](Device &d, const std::string &path, uint8_t type, uint16_t version,
               py::object progress) {
                vizor_dev_t *dev = d.get();
                int r = run_flow(progress, [&] {
                    return vizor_data_download(dev, path.c_str(), type, version, 0);
                });
                if (r != 1) raise("vizor_data_download", r);
            },
            py::arg("path"), py::arg("type"), py::arg("version"), py::arg("progress") = py::none(),
            "Writes a file into the camera's flash; progress(done, total) is called as it goes.")
        .def(
            "data_upload",
            [](Device &d, uint8_t type, const std::string &path, py::object progress) {
                vizor_dev_t *dev = d.get();
                int r =
                    run_flow(progress, [&] { return vizor_data_upload(dev, type, path.c_str()); });
                if (r != 1) raise("vizor_data_upload", r);
            },
            py::arg("type"), py::arg("path"), py::arg("progress") = py::none(),
            "Reads a data image of the camera into a file, with progress(done, total).");

    py::class_<Epc>(m, "Epc",
                    "The EPC processing settings of one camera. Every call acts on this camera "
                    "only, whichever camera is the EPC default device and whatever other "
                    "threads set meanwhile; configure() applies several settings as one step.")
        .def(
            "configure",
            [](Epc &e, std::optional<int> freq, std::optional<int> t3d, std::optional<int> t2d,
               std::optional<std::array<int, 4>> roi, std::optional<std::pair<bool, bool>> binning,
               std::optional<int> min_amp, std::optional<int> drnu, std::optional<bool> temperature,
               std::optional<bool> ambient) {
                e.configure({freq, t3d, t2d, min_amp, drnu, roi, binning, temperature, ambient});
            },
            py::kw_only(), py::arg("modulation_frequency") = py::none(),
            py::arg("integration_time_3d") = py::none(),
            py::arg("integration_time_2d") = py::none(), py::arg("roi") = py::none(),
            py::arg("binning") = py::none(), py::arg("min_amplitude") = py::none(),
            py::arg("drnu") = py::none(), py::arg("temperature") = py::none(),
            py::arg("ambient_light") = py::none(),
            "Applies the given settings in one step: modulation_frequency (table index 0..5), "
            "integration times (us), roi (x1, x2, y1, y2), binning (horizontal, vertical), "
            "min_amplitude, drnu (correction mode), temperature and ambient_light (corrections "
            "on/off). Raises vizor.Error naming the first refused setting (those before it "
            "stay applied).")
        .def("settings", &Epc::settings,
             "The camera's settings: modulation frequency (kHz, index, table), integration "
             "times, min_amplitude and the corrections.");

    py::class_<Capture>(m, "Capture",
                        "A capture session; iterate it for frames, a context manager that stops.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](Capture &c) { return c.next(true); })
        .def(
            "next", [](Capture &c) { return c.next(false); },
            "The next frame, or None when none came within about 2 s or capture stopped.")
        .def("wait", &Capture::wait, py::arg("timeout_ms") = 0,
             "Delivers frames to on_frame until capture halts (True) or timeout_ms passes "
             "(False; 0 = no limit). An exception raised by on_frame stops capture and is "
             "raised here.")
        .def("stop", &Capture::stop, "Stops capture (idempotent).")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Capture &c, py::args) {
            c.stop();
            return false;
        });

    py::class_<Frame>(m, "Frame", "A raw frame; decodes through the camera it came from.")
        .def_property_readonly("width", [](Frame &f) { return f.info.width; })
        .def_property_readonly("height", [](Frame &f) { return f.info.height; })
        .def_property_readonly("index", [](Frame &f) { return f.info.frame_idx; })
        .def_property_readonly("format", [](Frame &f) { return f.info.frame_format; })
        .def_property_readonly("size", [](Frame &f) { return f.info.frame_size; })
        .def_property_readonly(
            "raw",
            [](py::object self) {
                Frame &f = self.cast<Frame &>();
                // A read-only view of the frame's own bytes.
                py::array_t<uint8_t> a({py::ssize_t(f.info.frame_size)}, {py::ssize_t(1)}, f.buf,
                                       self);
                a.attr("setflags")(py::arg("write") = false);
                return a;
            },
            "The raw bytes (uint8 array viewing the frame's memory).")
        .def(
            "distance",
            [](Frame &f, py::object out) {
                return decode(f, out, vizor_frame_get_distance, "vizor_frame_get_distance");
            },
            py::arg("out") = py::none(),
            "Distances in metres (float32, height x width), written into out when given.")
        .def(
            "gray",
            [](Frame &f, py::object out) {
                return decode(f, out, vizor_frame_get_gray, "vizor_frame_get_gray");
            },
            py::arg("out") = py::none(), "Gray image (float32, height x width).")
        .def(
            "point_cloud",
            [](Frame &f, py::object camera, bool xyzd) {
                auto dist =
                    decode(f, py::none(), vizor_frame_get_distance, "vizor_frame_get_distance");
                return point_cloud(f.dev(), dist, camera, xyzd, false);
            },
            py::arg("camera") = py::none(), py::arg("xyzd") = false,
            "Points of the frame's distances by the compatible projection (z from the "
            "horizontal angle only; N x 3, or N x 4 with the distance). points() is exact.")
        .def("points", &frame_points, py::arg("out") = py::none(), py::arg("packed") = false,
             py::arg("lens") = py::none(),
             "Exact 3D points (float32 metres): each pixel's distance times its unit ray "
             "through the lens (the driver's, or lens = (cx, cy, fx, fy[, k1, k2, p1, p2, "
             "k3])). Organised height x width x 3 with NaN for invalid pixels, written into "
             "out when given; packed=True gives the N x 3 valid points.")
        .def("depth", &frame_depth, py::arg("out") = py::none(), py::arg("mm") = false,
             py::arg("lens") = py::none(),
             "Z-depth along the optical axis: float32 metres (NaN invalid), or with mm=True "
             "uint16 millimetres (0 invalid), height x width, written into out when given.");

    m.def(
        "remove_flying_pixels",
        [](py::object dist, float threshold) {
            auto arr = py::array_t<float>::ensure(dist);
            if (!arr || arr.ptr() != dist.ptr() || !(arr.flags() & py::array::c_style) ||
                arr.ndim() != 2 || !arr.writeable())
                throw py::value_error(
                    "dist must be a writeable C-contiguous float32 array of height x width");
            const py::ssize_t h = arr.shape(0), w = arr.shape(1);
            if (h > (1 << 15) || w > (1 << 15)) raise("vizor_frame_remove_flying_pixels", -1);
            float *d = arr.mutable_data();
            int n;
            {
                py::gil_scoped_release nogil;
                n = vizor_frame_remove_flying_pixels(d, int(h * w), int(w), int(h), threshold);
            }
            if (n < 0) raise("vizor_frame_remove_flying_pixels", n);
            return n;
        },
        py::arg("dist"), py::arg("threshold") = 0.15f,
        "Sets the flying pixels of a distance image (float32 metres, height x width) to 0 in "
        "place: pixels that straddle a depth edge by more than threshold metres (the filter "
        "FILTER_FLYING_PIXELS applies while decoding). Returns how many; raises vizor.Error for "
        "an image below 3 x 3 or wider than 2048 or a threshold not in (0, 60].");
    m.def(
        "save_distance",
        [](py::object file, py::array_t<float, py::array::c_style | py::array::forcecast> d,
           int fmt) {
            save_frame(file, d, fmt, vizor_frame_save_distance, "vizor_frame_save_distance");
        },
        py::arg("file"), py::arg("dist"), py::arg("fmt") = 0,
        "Appends a distance frame to a file (object with fileno() or a descriptor); fmt 0 F32 "
        "metres, 1 U32 or 2 U16 millimetres.");
    m.def(
        "save_gray",
        [](py::object file, py::array_t<float, py::array::c_style | py::array::forcecast> g,
           int fmt) { save_frame(file, g, fmt, vizor_frame_save_gray, "vizor_frame_save_gray"); },
        py::arg("file"), py::arg("gray"), py::arg("fmt") = 2,
        "Appends a gray frame (fmt 2 U16, 3 U8).");
    m.def(
        "load_distance",
        [](py::object file, int max_pixels) {
            return load_frame(file, max_pixels, vizor_frame_load_distance,
                              "vizor_frame_load_distance");
        },
        py::arg("file"), py::arg("max_pixels") = 1 << 22,
        "The next distance frame of a file (height x width metres), None at the end.");
    m.def(
        "load_gray",
        [](py::object file, int max_pixels) {
            return load_frame(file, max_pixels, vizor_frame_load_gray, "vizor_frame_load_gray");
        },
        py::arg("file"), py::arg("max_pixels") = 1 << 22,
        "The next gray frame of a file, None at the end.");

    m.attr("FILTER_UNDISTORT") = int(VIZOR_FILTER_UNDISTORT);
    m.attr("FILTER_PIXEL_CALIB") = int(VIZOR_FILTER_PIXEL_CALIB);
    m.attr("FILTER_MIN_AMPLITUDE") = int(VIZOR_FILTER_MIN_AMPLITUDE);
    m.attr("FILTER_AUTO_INTEGRATION") = int(VIZOR_FILTER_AUTO_INTEGRATION);
    m.attr("FILTER_FLYING_PIXELS") = int(VIZOR_FILTER_FLYING_PIXELS);
    m.attr("PARAM_INFO_PRODUCT") = int(VIZOR_PARAM_INFO_PRODUCT);
    m.attr("PARAM_INTG_TIME") = int(VIZOR_PARAM_INTG_TIME);

    m.def(
        "_c_loop",
        [](Device &d, int frames) {
            // The reference loop of the benchmark: fetch and decode in C++ with
            // buffers reused across frames, as an application in C would.
            vizor_dev_t *dev = d.get();
            std::vector<uint8_t> raw(vizor::max_frame_bytes);
            std::vector<float> dist(640 * 480);
            int done = 0;
            py::gil_scoped_release nogil;
            auto t0 = std::chrono::steady_clock::now();
            for (int i = 0; i < frames; ++i) {
                vizor_frame_info_t fi{};
                if (vizor_cap_get_frames(dev, 1, raw.data(), uint32_t(raw.size()), &fi) != 1) break;
                const int px = int(fi.width * fi.height);
                if (px <= 0 || std::size_t(px) > dist.size()) break;
                if (vizor_frame_get_distance(dev, dist.data(), px, raw.data(), int(fi.frame_size),
                                             &fi) != px)
                    break;
                ++done;
            }
            std::chrono::duration<double> s = std::chrono::steady_clock::now() - t0;
            return std::make_pair(done, s.count());
        },
        py::arg("device"), py::arg("frames"),
        "Benchmark reference: (frames, seconds) of a capture+decode loop in C++.");

    // Library shut-down when the interpreter exits.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        if (g_started) vizor_uninit();
    }));
}
