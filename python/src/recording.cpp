// vizor.Recording and vizor.RecordingWriter: raw recordings (".vzr", the
// files of `vizor record`) read and written from Python through the
// recording container. Frame data is handed out as numpy uint8 arrays;
// a damaged or hostile file raises ValueError naming what is wrong.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <memory>
#include <string>

#include "recording/recording.h"

namespace py = pybind11;

namespace vzpy {

namespace {

// One recorded frame as a Python object: header fields and a copy of the data.
py::dict frame_dict(vzrec::Frame &&f) {
    py::dict d;
    d["seq"] = f.seq;
    d["host_ns"] = f.host_ns;
    d["frame_idx"] = f.frame_idx;
    d["frame_format"] = f.frame_format;
    d["width"] = f.width;
    d["height"] = f.height;
    d["pixel_depth"] = f.pixel_depth;
    d["sensor_data"] = py::bytes(reinterpret_cast<const char *>(f.sensor_data.data()), 8);
    auto *held = new std::vector<uint8_t>(std::move(f.data));
    py::capsule owner(held, [](void *p) { delete static_cast<std::vector<uint8_t> *>(p); });
    d["data"] = py::array_t<uint8_t>(py::ssize_t(held->size()), held->data(), owner);
    return d;
}

std::vector<uint8_t> bytes_of(const py::bytes &b) {
    const std::string s = b;
    return {s.begin(), s.end()};
}

// The reader behind a Python object; closed explicitly or when collected.
struct Recording {
    std::unique_ptr<vzrec::Reader> rd;
    vzrec::Reader &get() {
        if (!rd) throw py::value_error("the recording is closed");
        return *rd;
    }
};

struct Writer {
    std::unique_ptr<vzrec::Writer> wr;
    vzrec::Writer &get() {
        if (!wr) throw py::value_error("the recording is closed");
        return *wr;
    }
};

}  // namespace

void bind_recording(py::module_ &m) {
    py::register_local_exception<vzrec::RecordingError>(m, "RecordingError", PyExc_ValueError);

    py::class_<Recording>(m, "Recording",
                          "A raw recording (.vzr) opened for reading; every field is checked.")
        .def(py::init([](const std::string &path) {
                 return Recording{std::make_unique<vzrec::Reader>(path)};
             }),
             py::arg("path"))
        .def_property_readonly("meta", [](Recording &r) { return r.get().header().meta; })
        .def_property_readonly(
            "params",
            [](Recording &r) {
                py::dict d;
                for (const auto &e : r.get().header().params)
                    d[py::int_(e.first)] =
                        py::bytes(reinterpret_cast<const char *>(e.second.data()), e.second.size());
                return d;
            })
        .def_property_readonly("registers", [](Recording &r) { return r.get().header().registers; })
        .def_property_readonly(
            "images",
            [](Recording &r) {
                py::list l;
                for (const auto &i : r.get().header().images)
                    l.append(py::make_tuple(
                        i.type, i.version,
                        py::bytes(reinterpret_cast<const char *>(i.bytes.data()), i.bytes.size())));
                return l;
            })
        .def("__len__", [](Recording &r) { return r.get().frame_count(); })
        .def(
            "frame",
            [](Recording &r, int64_t seq) -> py::object {
                vzrec::Frame f;
                if (seq < 0 || !r.get().frame_at(seq, f)) return py::none();
                return frame_dict(std::move(f));
            },
            py::arg("seq"), "The first frame whose seq is at least `seq`, or None after the last.")
        .def("close", [](Recording &r) { r.rd.reset(); })
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Recording &r, py::args) { r.rd.reset(); });

    py::class_<Writer>(m, "RecordingWriter",
                       "A new raw recording (.vzr): the start state once, then frames.")
        .def(py::init([](const std::string &path, const std::map<std::string, std::string> &meta,
                         const std::map<int, py::bytes> &params,
                         const std::map<std::pair<int, int>, uint32_t> &registers) {
                 auto w = std::make_unique<vzrec::Writer>(path);
                 vzrec::Header h;
                 h.meta = meta;
                 for (const auto &e : params) h.params[e.first] = bytes_of(e.second);
                 h.registers = registers;
                 w->write_header(h);
                 return Writer{std::move(w)};
             }),
             py::arg("path"), py::arg("meta"), py::arg("params") = std::map<int, py::bytes>{},
             py::arg("registers") = std::map<std::pair<int, int>, uint32_t>{})
        .def(
            "add",
            [](Writer &w, py::array_t<uint8_t, py::array::c_style | py::array::forcecast> data,
               uint32_t width, uint32_t height, int64_t host_ns, uint16_t frame_idx,
               uint16_t frame_format, uint8_t pixel_depth, py::bytes sensor_data) {
                vzrec::Frame f;
                f.host_ns = host_ns;
                f.frame_idx = frame_idx;
                f.frame_format = frame_format;
                f.width = width;
                f.height = height;
                f.pixel_depth = pixel_depth;
                const std::string sd = sensor_data;
                if (sd.size() > f.sensor_data.size())
                    throw py::value_error("sensor_data holds at most 8 bytes");
                std::memcpy(f.sensor_data.data(), sd.data(), sd.size());
                f.data.assign(data.data(), data.data() + data.size());
                w.get().add_frame(f);
            },
            py::arg("data"), py::arg("width"), py::arg("height"), py::arg("host_ns") = 0,
            py::arg("frame_idx") = 0, py::arg("frame_format") = 0, py::arg("pixel_depth") = 0,
            py::arg("sensor_data") = py::bytes(),
            "Appends a raw frame (its bytes as received) with its stream header fields.")
        .def_property_readonly("frames", [](Writer &w) { return w.get().frames(); })
        .def("close",
             [](Writer &w) {
                 if (w.wr) w.wr->close();
                 w.wr.reset();
             })
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Writer &w, py::args) {
            if (w.wr) w.wr->close();
            w.wr.reset();
        });
}

}  // namespace vzpy
