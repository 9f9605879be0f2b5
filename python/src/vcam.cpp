// vizor._vcam (vizor.vcam): the virtual camera from Python. A Bus puts cameras on an
// emulated USB bus (the process must run under the umockdev preload, see
// vcam/README.md); scenes are given as numpy arrays.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "vcam/scene.h"
#include "vcam/vcam.h"

namespace py = pybind11;

namespace vzpy {
namespace {

using farray = py::array_t<float, py::array::c_style | py::array::forcecast>;

// A per-pixel layer of h x w values: an array of that shape or one number.
std::vector<float> layer(py::object v, py::ssize_t h, py::ssize_t w, const char *name) {
    if (py::isinstance<py::float_>(v) || py::isinstance<py::int_>(v))
        return std::vector<float>(std::size_t(h * w), v.cast<float>());
    farray a = farray::ensure(v);
    if (!a || a.ndim() != 2 || a.shape(0) != h || a.shape(1) != w)
        throw py::value_error(std::string(name) + " must be a number or a height x width array");
    return std::vector<float>(a.data(), a.data() + a.size());
}

// The Bus must outlive its cameras' Python objects: each keeps it alive.
struct Camera {
    vcam::Camera *cam;
    py::object bus;
};

}  // namespace
}  // namespace vzpy

using namespace vzpy;

PYBIND11_MODULE(_vcam, m) {
    m.doc() = "The virtual camera (needs the umockdev preload).";

    py::class_<vcam::Bus>(m, "Bus",
                          "An emulated USB bus. Create it before listing or opening cameras and "
                          "drop it only after they are closed.")
        .def(py::init<>())
        .def(
            "add_camera",
            [](py::object self, uint8_t bus, uint8_t port, const std::string &product, int speed) {
                auto &b = self.cast<vcam::Bus &>();
                vcam::Camera *c;
                {
                    py::gil_scoped_release nogil;
                    c = &b.add_camera(bus, port, vcam::Speed(speed), product);
                }
                return Camera{c, self};
            },
            py::arg("bus") = 1, py::arg("port") = 1, py::arg("product") = "VZ-T0-320",
            py::arg("speed") = 480,
            "Adds a camera (product 'VZ-T0-320' OPT8241, 'VZ-E1-660' epc660, 'VZ-E2-635' epc635; "
            "speed 12, 480 or 5000 Mbit/s).")
        .def_property_readonly("root_dir", &vcam::Bus::root_dir);

    py::class_<Camera>(m, "Camera", "A camera on a virtual bus.")
        .def(
            "set_scene",
            [](Camera &c, py::object distance, py::object reflectivity, py::object ambient) {
                farray d = farray::ensure(distance);
                if (!d || d.ndim() != 2 || d.size() == 0)
                    throw py::value_error("distance must be a height x width array (metres)");
                vcam::Scene s;
                s.height = int(d.shape(0));
                s.width = int(d.shape(1));
                s.distance_m.assign(d.data(), d.data() + d.size());
                s.reflectivity = layer(reflectivity, d.shape(0), d.shape(1), "reflectivity");
                if (!ambient.is_none())
                    s.ambient = layer(ambient, d.shape(0), d.shape(1), "ambient");
                py::gil_scoped_release nogil;
                c.cam->fw().set_scene(s);
            },
            py::arg("distance"), py::arg("reflectivity") = 0.8f, py::arg("ambient") = py::none(),
            "Puts a scene in front of the camera: distance in metres (height x width), "
            "reflectivity 0..1 and ambient light 0..1 as arrays of that shape or numbers.")
        .def(
            "show",
            [](Camera &c, const std::string &scene) {
                std::string err;
                {
                    py::gil_scoped_release nogil;
                    int w = 320, h = 240;  // OPT8241 and epc660
                    c.cam->fw().with_sensor([&](vcam::Sensor &s) {
                        if (auto *e = dynamic_cast<vcam::EpcSensor *>(&s))
                            w = e->image_width(), h = e->image_height();
                    });
                    vcam::Scene sc;
                    err = vcam::scene_from_argument(
                        scene, vcam::product_optics(c.cam->fw().config().product, w, h), sc);
                    if (err.empty()) c.cam->fw().set_scene(sc);
                }
                if (!err.empty()) throw py::value_error(err);
            },
            py::arg("scene"),
            "Puts a built-in scene in front of the camera, seen through its lens: 'room', "
            "'flat[:D]', 'wall[:D]', 'ramp[:NEAR:FAR]' or a distance frame file.")
        .def(
            "set_fps",
            [](Camera &c, double fps) {
                auto cfg = c.cam->fw().stream();
                cfg.fps = fps;
                c.cam->fw().set_stream(cfg);
            },
            py::arg("fps"), "Frame rate from the next capture start (0: as fast as read).")
        .def(
            "store_image",
            [](Camera &c, uint8_t type, uint16_t version, py::bytes data) {
                std::string s = data;
                c.cam->fw().store_image(type, version, std::vector<uint8_t>(s.begin(), s.end()));
            },
            py::arg("type"), py::arg("version"), py::arg("data"), "Stores a data image in flash.")
        .def(
            "image",
            [](Camera &c, uint8_t type) -> py::object {
                auto img = c.cam->fw().image(type);
                if (!img) return py::none();
                return py::bytes(reinterpret_cast<const char *>(img->bytes.data()),
                                 img->bytes.size());
            },
            py::arg("type"), "The data image of a type in flash, or None.")
        .def(
            "reg",
            [](Camera &c, uint8_t target, uint32_t addr) { return c.cam->fw().reg(target, addr); },
            py::arg("target"), py::arg("addr"))
        .def("unplug",
             [](Camera &c) {
                 py::gil_scoped_release nogil;
                 c.cam->unplug();
             })
        .def("replug",
             [](Camera &c) {
                 py::gil_scoped_release nogil;
                 c.cam->replug();
             })
        .def_property_readonly("present", [](Camera &c) { return c.cam->present(); })
        .def_property_readonly("frames_sent",
                               [](Camera &c) { return c.cam->fw().stats().frames_sent; })
        .def_property_readonly("captures", [](Camera &c) { return c.cam->fw().stats().captures; });
}
