/** \file
 * libvizor for C++17: a header-only RAII layer over the C API of vizor/vizor.h.
 *
 *     vizor::Library lib;                          // vizor_init .. vizor_uninit
 *     auto cams = vizor::list_devices();
 *     vizor::Device dev(cams.at(0));               // vizor_dev_open .. vizor_dev_close
 *     vizor::Capture cap(dev);                     // vizor_cap_start .. vizor_cap_stop
 *     vizor::Frame frame;
 *     if (cap.next(frame)) {
 *         std::vector<float> dist;
 *         vizor::span<const float> d = dev.distance(frame, dist);
 *     }
 *
 * The EPC processing settings of an epc660/epc635 camera belong to that
 * camera, also with several cameras in one program:
 *
 *     dev.epc().set_modulation_frequency(1);
 *     dev.epc().set_integration_time_3d(1500);
 *
 * Owners (Library, Device, Capture) are move-only and release what they hold
 * in their destructors. Failures of the C calls throw vizor::error carrying
 * the C function's name and its result code. Buffers are handed out as
 * vizor::span views (pointer and size) of memory the caller's containers own.
 * Threads: the rules of vizor/vizor.h apply unchanged; Device::close may be
 * called from another thread while one waits in Capture::wait.
 *
 * The calls that reach the camera state their contract in the form of
 * vizor/vizor.h (Returns, Buffers, Thread, Close); "Throws" names the
 * failures that become a vizor::error. The small value types (span, Frame's
 * accessors, error) can be used from any thread on objects no other thread
 * modifies.
 */
#ifndef VIZOR_VIZOR_HPP
#define VIZOR_VIZOR_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "vizor/drv_epc.h"
#include "vizor/epc660.h"
#include "vizor/stream.h"
#include "vizor/vizor.h"

namespace vizor {

/// Default threshold of the flying-pixel filter, metres.
constexpr float flying_pixels_default = 0.15f;

/// Largest raw frame the library hands out, in bytes.
constexpr uint32_t max_frame_bytes = 6220800u;
/// Bytes per frame of vizor_cap_set_frame_buffer's size argument.
constexpr uint32_t frame_unit_bytes = 307200u;

/// A failed library call: what() names the call, code() is its result.
class error : public std::runtime_error {
public:
    /// An error of call with result code.
    error(const std::string &call, int code)
        : std::runtime_error(call + " failed (" + std::to_string(code) + ")"), code_(code) {}
    /// The C call's result code (a capture error code where one applies).
    int code() const noexcept { return code_; }

private:
    int code_;
};

/// A non-owning view of size() elements at data() (std::span of C++20).
template <class T>
class span {
public:
    constexpr span() noexcept = default;
    /// A view of size elements at data.
    constexpr span(T *data, std::size_t size) noexcept : data_(data), size_(size) {}
    /// A view of U converts to a view of const U.
    template <class U, class = std::enable_if_t<std::is_same_v<const U, T>>>
    constexpr span(const span<U> &o) noexcept : data_(o.data()), size_(o.size()) {}
    /// A view of a vector's elements.
    template <class U, class A>
    span(std::vector<U, A> &v) noexcept : data_(v.data()), size_(v.size()) {}
    /// A view of a vector's elements.
    template <class U, class A>
    span(const std::vector<U, A> &v) noexcept : data_(v.data()), size_(v.size()) {}
    /// The first element.
    constexpr T *data() const noexcept { return data_; }
    /// The number of elements.
    constexpr std::size_t size() const noexcept { return size_; }
    /// True for no elements.
    constexpr bool empty() const noexcept { return size_ == 0; }
    /// Iterator to the first element.
    constexpr T *begin() const noexcept { return data_; }
    /// Iterator past the last element.
    constexpr T *end() const noexcept { return data_ + size_; }
    /// Element i (unchecked).
    constexpr T &operator[](std::size_t i) const noexcept { return data_[i]; }
    /// Elements first .. first+count-1 (clamped to the view).
    constexpr span subspan(std::size_t first, std::size_t count) const noexcept {
        if (first > size_) first = size_;
        if (count > size_ - first) count = size_ - first;
        return span(data_ + first, count);
    }

private:
    T *data_ = nullptr;
    std::size_t size_ = 0;
};

namespace detail {
inline void check(bool ok, const char *call) {
    if (!ok) throw error(call, 0);
}
inline int check_count(int n, const char *call) {
    if (n < 0) throw error(call, n);
    return n;
}
}  // namespace detail

/// Library lifetime: vizor_init in the constructor, vizor_uninit in the destructor.
class Library {
public:
    /// Starts the library (vizor_init); log_file NULL: vizor_YYYYMMDD.log in
    /// the working directory.
    /// Buffers: log_file is read during the call only.
    /// Thread:  one application thread, while no device is open.
    explicit Library(const char *log_file = nullptr) { vizor_init(log_file); }
    /// Ends the library (vizor_uninit) unless moved from.
    /// Thread: the constructing thread, once every Device is closed.
    ~Library() {
        if (owns_) vizor_uninit();
    }
    /// Takes over the library's lifetime from o.
    Library(Library &&o) noexcept : owns_(std::exchange(o.owns_, false)) {}
    Library &operator=(Library &&) = delete;
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

private:
    bool owns_ = true;
};

/// Cameras found on the USB buses (records for Device's constructor).
/// Returns: up to max records (one when max <= 0); empty when none is found.
/// Thread:  any application thread.
inline std::vector<vizor_dev_t> list_devices(int max = 16) {
    std::vector<vizor_dev_t> list(static_cast<std::size_t>(max > 0 ? max : 1));
    int n = vizor_dev_list(list.data(), static_cast<int>(list.size()));
    list.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return list;
}

/// One raw frame: its description and the bytes it owns.
class Frame {
public:
    /// An empty frame with room for the largest raw frame (max_frame_bytes).
    Frame() : buf_(max_frame_bytes) {}
    /// The driver's description of the frame.
    const vizor_frame_info_t &info() const noexcept { return info_; }
    /// Pixels per row.
    uint32_t width() const noexcept { return info_.width; }
    /// Rows.
    uint32_t height() const noexcept { return info_.height; }
    /// The camera's frame index.
    uint16_t index() const noexcept { return info_.frame_idx; }
    /// The frame's raw bytes (frame_size of them).
    span<const uint8_t> raw() const noexcept { return {buf_.data(), info_.frame_size}; }

private:
    friend class Device;
    friend class Capture;
    std::vector<uint8_t> buf_;
    vizor_frame_info_t info_{};
};

/// Capture statistics (see vizor/stream.h).
using Stats = vz_stream_state_t;

class Epc;

/// Removes the flying pixels of a width x height distance image the caller
/// holds (frames from a file, images decoded without the filter), in place:
/// the pixels that straddle a depth edge by more than metres become 0.
/// Returns: the pixels set to 0.
/// Throws:  vizor::error("vizor_frame_remove_flying_pixels", -1) when dist
///          holds fewer than width x height values, the image is below 3 x 3
///          or wider than 2048, or metres is not in (0, 60].
/// Buffers: dist is read and written.
/// Thread:  any.
inline int remove_flying_pixels(span<float> dist, uint32_t width, uint32_t height,
                                float metres = flying_pixels_default) {
    if (width > 0xFFFFu || height > 0xFFFFu || dist.size() > 0x7FFFFFFFu)
        throw error("vizor_frame_remove_flying_pixels", -1);
    const int n =
        vizor_frame_remove_flying_pixels(dist.data(), static_cast<int>(dist.size()),
                                         static_cast<int>(width), static_cast<int>(height), metres);
    if (n < 0) throw error("vizor_frame_remove_flying_pixels", n);
    return n;
}

/// An open camera. Move-only; the destructor closes it.
class Device {
public:
    /// Opens the camera a record of list_devices names (vizor_dev_open).
    /// Throws:  vizor::error("vizor_dev_open") when the camera does not open.
    /// Buffers: entry is copied; the Device owns its own record.
    /// Thread:  any application thread; the Device then belongs to it.
    explicit Device(const vizor_dev_t &entry) : rec_(new vizor_dev_t(entry)) {
        rec_->ll = nullptr;
        rec_->free_on_close = 0;
        if (!vizor_dev_open(rec_.get())) throw error("vizor_dev_open", 0);
    }
    /// Closes the camera (see close).
    ~Device() { close(); }
    /// Takes over the open camera of the other owner.
    Device(Device &&) noexcept = default;
    /// Closes this camera and takes over the other one.
    Device &operator=(Device &&o) noexcept {
        if (this != &o) {
            close();
            rec_ = std::move(o.rec_);
        }
        return *this;
    }
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    /// Closes the camera (vizor_dev_close; idempotent).
    /// Thread: any, also while another thread waits in Capture::wait or
    ///         Capture::next, which then return.
    /// Close:  a second close is ignored; a close from a frame callback
    ///         completes when the call delivering the frame returns.
    void close() noexcept {
        if (rec_ && rec_->ll) vizor_dev_close(rec_.get());
    }
    /// True while the camera is open.
    bool is_open() const noexcept { return rec_ && rec_->ll; }
    /// The C record, for calls this layer does not wrap.
    vizor_dev_t *get() const noexcept { return rec_.get(); }
    /// The product string of the camera.
    std::string product() const {
        if (!rec_) return {};
        return std::string(rec_->product, strnlen(rec_->product, sizeof rec_->product));
    }

    /// Resets part of the camera (0 board, 1 sensor, 3 USB interface).
    /// Throws: vizor::error("vizor_dev_reset") when the camera refuses or the
    ///         device is not open.
    /// Thread: the device's application thread.
    /// Close:  a close waits for the reset (bounded).
    void reset(uint32_t target) {
        detail::check(vizor_dev_reset(rec_.get(), target), "vizor_dev_reset");
    }

    /// Reads count 32-bit registers of space target from base.
    /// Returns: the count values.
    /// Throws:  vizor::error("vizor_reg_batch_read") on any failure.
    /// Thread:  one thread at a time per device; may overlap a capture.
    /// Close:   a close waits for the command (bounded).
    std::vector<uint32_t> read_registers(uint8_t target, uint32_t base, uint16_t count) {
        std::vector<uint32_t> v(count);
        detail::check(vizor_reg_batch_read(rec_.get(), target, base, v.data(), count),
                      "vizor_reg_batch_read");
        return v;
    }
    /// Writes 32-bit registers of space target from base in one command.
    /// Throws:  vizor::error("vizor_reg_batch_write") for more than 1022
    ///          values or a failed command.
    /// Buffers: values are read during the call.
    /// Thread:  as read_registers.
    /// Close:   as read_registers.
    void write_registers(uint8_t target, uint32_t base, span<const uint32_t> values) {
        detail::check(values.size() <= 0xFFFF &&
                          vizor_reg_batch_write(rec_.get(), target, base, values.data(),
                                                static_cast<uint16_t>(values.size())),
                      "vizor_reg_batch_write");
    }
    /// The bytes of parameter id as the camera reports them.
    /// Returns: the value bytes (at most 18).
    /// Throws:  vizor::error("vizor_param_batch_get") on failure.
    /// Thread:  as read_registers.
    /// Close:   as read_registers.
    std::vector<uint8_t> get_param(uint32_t id) {
        vizor_param_item_t it{};
        it.param_id = id;
        detail::check(vizor_param_batch_get(rec_.get(), &it, 1), "vizor_param_batch_get");
        std::size_t n =
            it.param_val_len < sizeof it.param_val ? it.param_val_len : sizeof it.param_val;
        return std::vector<uint8_t>(it.param_val, it.param_val + n);
    }
    /// Sets parameter id to value (at most 18 bytes).
    /// Throws:  vizor::error("vizor_param_batch_set") for a longer value or a
    ///          failed command.
    /// Buffers: value is read during the call.
    /// Thread:  as read_registers.
    /// Close:   as read_registers.
    void set_param(uint32_t id, span<const uint8_t> value) {
        vizor_param_item_t it{};
        if (value.size() > sizeof it.param_val) throw error("vizor_param_batch_set", -1);
        it.param_id = id;
        it.param_val_len = static_cast<uint8_t>(value.size());
        if (!value.empty()) std::memcpy(it.param_val, value.data(), value.size());
        detail::check(vizor_param_batch_set(rec_.get(), &it, 1), "vizor_param_batch_set");
    }

    /// Switches a driver filter on (arg: its argument bytes, may be empty).
    /// Throws:  vizor::error("vizor_filter_enable", r) unless the driver
    ///          answers 1 (r 0: refused, -1: no driver with filters).
    /// Buffers: arg is read during the call.
    /// Thread:  the device's application thread.
    /// Close:   a close waits for the call (bounded).
    void enable_filter(int id, span<uint8_t> arg = {}) {
        int r = vizor_filter_enable(rec_.get(), id, arg.data(), static_cast<int>(arg.size()));
        if (r != 1) throw error("vizor_filter_enable", r);
    }
    /// Switches the library's flying-pixel filter on
    /// (VIZOR_FILTER_FLYING_PIXELS): every distance image decoded afterwards
    /// loses the pixels that straddle a depth edge by more than metres.
    /// Throws:  vizor::error("vizor_filter_enable", r) for a threshold not in
    ///          (0, 60] (r 0) or a device not open (r -1).
    /// Thread:  as enable_filter.
    /// Close:   as enable_filter.
    void enable_flying_pixel_filter(float metres = flying_pixels_default) {
        enable_filter(VIZOR_FILTER_FLYING_PIXELS,
                      {reinterpret_cast<uint8_t *>(&metres), sizeof metres});
    }
    /// Switches a driver filter off.
    /// Throws: vizor::error("vizor_filter_disable", r) as enable_filter.
    /// Thread: as enable_filter.
    /// Close:  as enable_filter.
    void disable_filter(int id) {
        int r = vizor_filter_disable(rec_.get(), id);
        if (r != 1) throw error("vizor_filter_disable", r);
    }

    /// Captures one frame into f (starting and stopping capture when idle).
    /// Throws:  vizor::error("vizor_cap_snapshot") when no frame came within
    ///          2100 ms or the device is not open.
    /// Buffers: f's bytes and description are written.
    /// Thread:  the device's application thread; callbacks run inside.
    /// Close:   a close from another thread ends the wait (it then throws).
    void snapshot(Frame &f) {
        detail::check(vizor_cap_snapshot(rec_.get(), f.buf_.data(),
                                         static_cast<uint32_t>(f.buf_.size()), &f.info_),
                      "vizor_cap_snapshot");
    }

    /// Distances (metres) of f into out, resized to width x height.
    /// Returns: a view of the pixels decoded in out.
    /// Throws:  vizor::error("vizor_frame_get_distance") when nothing could
    ///          be decoded.
    /// Buffers: f is read; out, the caller's, is resized and written.
    /// Thread:  the device's application thread.
    /// Close:   a close waits for the decode (bounded).
    span<float> distance(const Frame &f, std::vector<float> &out) {
        return decode(f, out, vizor_frame_get_distance, "vizor_frame_get_distance");
    }
    /// Gray values of f into out, resized to width x height.
    /// Returns: a view of the pixels decoded in out.
    /// Throws:  vizor::error("vizor_frame_get_gray") as distance.
    /// Buffers: as distance.
    /// Thread:  as distance.
    /// Close:   as distance.
    span<float> gray(const Frame &f, std::vector<float> &out) {
        return decode(f, out, vizor_frame_get_gray, "vizor_frame_get_gray");
    }
    /// Point cloud (x, y, z per point; with xyzd also the distance) of a
    /// width x height distance image into out; param NULL uses the driver's lens
    /// (no points when the driver has none for this size: the library logs it).
    /// Returns: a view of out, resized to the points written.
    /// Throws:  vizor::error("vizor_frame_get_pcl", -1) when dist holds fewer
    ///          than width x height values or the image is empty.
    /// Buffers: dist and param are read; out, the caller's, is resized and
    ///          written.
    /// Thread:  any; concurrent calls on one device are allowed.
    /// Close:   a close waits for the walk (bounded).
    span<float> point_cloud(span<const float> dist, uint32_t width, uint32_t height,
                            std::vector<float> &out, const vizor_camera_param_t *param = nullptr,
                            bool xyzd = false) {
        const std::size_t stride = xyzd ? 4 : 3, pixels = std::size_t(width) * height;
        if (dist.size() < pixels || pixels == 0) throw error("vizor_frame_get_pcl", -1);
        out.resize(stride * pixels);
        const int len = static_cast<int>(out.size()), w = static_cast<int>(width),
                  h = static_cast<int>(height), dl = static_cast<int>(dist.size());
        int n =
            xyzd ? vizor_frame_get_pcl_xyzd(rec_.get(), out.data(), len, dist.data(), dl, w, h,
                                            false, param)
                 : vizor_frame_get_pcl(rec_.get(), out.data(), len, dist.data(), dl, w, h, param);
        out.resize(stride * static_cast<std::size_t>(n));
        return out;
    }

    /// Exact 3D points of a width x height distance image through the
    /// driver's lens (see vizor_frame_get_points): organised, width x height
    /// x 3 floats with NaN for invalid pixels, or with packed the valid
    /// points only.
    /// Returns: a view of out, resized to the floats written.
    /// Throws:  vizor::error("vizor_frame_get_points", -1) when dist holds
    ///          fewer than width x height values, the image is empty, or
    ///          (organised) the driver has no lens for this size.
    /// Buffers: dist is read; out, the caller's, is resized and written.
    /// Thread:  any; concurrent calls on one device are allowed.
    /// Close:   a close waits for the call (bounded).
    span<float> points(span<const float> dist, uint32_t width, uint32_t height,
                       std::vector<float> &out, bool packed = false) {
        const std::size_t pixels = std::size_t(width) * height;
        if (dist.size() < pixels || pixels == 0) throw error("vizor_frame_get_points", -1);
        out.resize(3 * pixels);
        const int n =
            vizor_frame_get_points(rec_.get(), out.data(), static_cast<int>(out.size()),
                                   dist.data(), static_cast<int>(width), static_cast<int>(height),
                                   packed ? VZ_POINTS_PACKED : VZ_POINTS_ORGANISED);
        if (!packed && n <= 0) throw error("vizor_frame_get_points", -1);
        out.resize(packed ? 3 * static_cast<std::size_t>(n) : 3 * pixels);
        return out;
    }
    /// Z-depth along the optical axis (metres, NaN invalid) of a width x
    /// height distance image through the driver's lens (see
    /// vizor_frame_get_depth).
    /// Returns: a view of out, resized to width x height.
    /// Throws:  vizor::error("vizor_frame_get_depth", -1) as points.
    /// Buffers: as points.
    /// Thread:  as points.
    /// Close:   as points.
    span<float> depth(span<const float> dist, uint32_t width, uint32_t height,
                      std::vector<float> &out) {
        const std::size_t pixels = std::size_t(width) * height;
        if (dist.size() < pixels || pixels == 0) throw error("vizor_frame_get_depth", -1);
        out.resize(pixels);
        if (vizor_frame_get_depth(rec_.get(), out.data(), static_cast<int>(pixels), dist.data(),
                                  static_cast<int>(width), static_cast<int>(height)) <= 0)
            throw error("vizor_frame_get_depth", -1);
        return out;
    }
    /// As depth in 16-bit millimetres (0 invalid; vizor_frame_get_depth_mm).
    /// Returns: a view of out, resized to width x height.
    /// Throws:  vizor::error("vizor_frame_get_depth_mm", -1) as points.
    /// Buffers: as points.
    /// Thread:  as points.
    /// Close:   as points.
    span<uint16_t> depth_mm(span<const float> dist, uint32_t width, uint32_t height,
                            std::vector<uint16_t> &out) {
        const std::size_t pixels = std::size_t(width) * height;
        if (dist.size() < pixels || pixels == 0) throw error("vizor_frame_get_depth_mm", -1);
        out.resize(pixels);
        if (vizor_frame_get_depth_mm(rec_.get(), out.data(), static_cast<int>(pixels), dist.data(),
                                     static_cast<int>(width), static_cast<int>(height)) <= 0)
            throw error("vizor_frame_get_depth_mm", -1);
        return out;
    }

    /// The EPC processing settings of this camera (epc660 and epc635 cameras;
    /// see Epc). The view refers to this Device, which must outlive it.
    Epc epc() noexcept;

    /// The capture statistics since the last start.
    /// Returns: a copy of the statistics.
    /// Throws:  vizor::error("vizor_cap_get_stats") when the device is not
    ///          open.
    /// Thread:  any, also while capturing.
    Stats stats() const {
        Stats s{};
        detail::check(vizor_cap_get_stats(rec_.get(), &s), "vizor_cap_get_stats");
        return s;
    }

private:
    using decode_f = int (*)(vizor_dev_t *, float *, int, const uint8_t *, int,
                             const vizor_frame_info_t *);
    span<float> decode(const Frame &f, std::vector<float> &out, decode_f fn, const char *call) {
        out.resize(std::size_t(f.info_.width) * f.info_.height);
        int n = fn(rec_.get(), out.data(), static_cast<int>(out.size()), f.buf_.data(),
                   static_cast<int>(f.info_.frame_size), &f.info_);
        if (n <= 0) throw error(call, n);
        return {out.data(), static_cast<std::size_t>(n)};
    }
    std::unique_ptr<vizor_dev_t> rec_;
};

namespace detail {
// One call of epc_adapter_call: the caller's function, its result and what it
// threw (never let through the C call).
template <class F, class R>
struct EpcJob {
    explicit EpcJob(F *f) noexcept : fn(f) {}
    F *fn;
    std::optional<R> result;
    std::exception_ptr err;
    static void run(void *p) noexcept {
        auto *job = static_cast<EpcJob *>(p);
        try {
            job->result.emplace((*job->fn)());
        } catch (...) {
            job->err = std::current_exception();
        }
    }
    R take() { return std::move(*result); }
};
template <class F>
struct EpcJob<F, void> {
    explicit EpcJob(F *f) noexcept : fn(f) {}
    F *fn;
    std::exception_ptr err;
    static void run(void *p) noexcept {
        auto *job = static_cast<EpcJob *>(p);
        try {
            (*job->fn)();
        } catch (...) {
            job->err = std::current_exception();
        }
    }
    void take() {}
};
inline void check_epc(int r, const char *call) {
    if (r < 0) throw error(call, r);
}
}  // namespace detail

/// The EPC processing settings of one epc660/epc635 camera (Device::epc).
/// Every call runs through epc_adapter_call: the EPC functions act on this
/// camera's processing context and chip, whichever camera is the EPC default
/// device and whatever other threads select meanwhile; the default stays as
/// it is. A program with several EPC cameras sets each through its own
/// Device::epc, from any thread.
///
/// Guarantees: each call (and each function given to call) runs whole in
/// this camera's context, holding it: decodes of this camera's frames and
/// other calls on it wait meanwhile, calls on other cameras run on. Two calls
/// are not one: a sequence that must not be interleaved with another
/// thread's settings of the same camera goes into one call.
class Epc {
public:
    /// A view of dev's settings.
    explicit Epc(Device &dev) noexcept : dev_(&dev) {}

    /// Runs fn() with this camera's processing context and returns its
    /// result: the EPC functions of vizor/epc660.h that fn calls act on this
    /// camera. fn must not close the device, decode frames or reach another
    /// camera's settings.
    /// Returns: what fn returns.
    /// Throws:  vizor::error("epc_adapter_call") when the device is closed or
    ///          no EPC camera; what fn throws is rethrown here.
    /// Thread:  any application thread (see the class).
    /// Close:   a close on another thread waits for fn.
    template <class F>
    auto call(F &&fn) -> decltype(fn()) {
        using R = decltype(fn());
        using Fn = std::remove_reference_t<F>;
        detail::EpcJob<Fn, R> job(&fn);
        if (!epc_adapter_call(dev_->get(), &detail::EpcJob<Fn, R>::run, &job))
            throw error("epc_adapter_call", 0);
        if (job.err) std::rethrow_exception(job.err);
        return job.take();
    }

    /// Selects entry index (0..5) of the modulation frequency table
    /// (apiSetModulationFrequency); the calibration follows it.
    /// Throws: vizor::error("apiSetModulationFrequency", -1) for another
    ///         index, or as call.
    /// Thread: as call.
    void set_modulation_frequency(int index) {
        detail::check_epc(call([&] { return apiSetModulationFrequency(index, address()); }),
                          "apiSetModulationFrequency");
    }
    /// Returns: the modulation frequency in use, kHz.
    /// Throws:  as call.
    /// Thread:  as call.
    int modulation_frequency_khz() {
        return call([] { return configGetModulationFrequency(); });
    }
    /// Returns: the table entry in use (0..5).
    /// Throws:  as call.
    /// Thread:  as call.
    int modulation_frequency_index() {
        return call([] { return configGetModFreqMode(); });
    }
    /// Returns: the modulation frequency table of this camera's chip, kHz.
    /// Throws:  as call.
    /// Thread:  as call.
    std::vector<int> modulation_frequencies_khz() {
        return call([] {
            const int *t = configGetModulationFrequencies();
            const int n = configGetModFreqCount();
            return t && n > 0 ? std::vector<int>(t, t + n) : std::vector<int>();
        });
    }
    /// Sets the 3D integration time, microseconds (0..4000).
    /// Throws: vizor::error("apiSetIntegrationTime3D", -1) outside the range,
    ///         or as call.
    /// Thread: as call.
    void set_integration_time_3d(int us) {
        detail::check_epc(call([&] { return apiSetIntegrationTime3D(us); }),
                          "apiSetIntegrationTime3D");
    }
    /// Returns: the 3D integration time, microseconds.
    /// Throws:  as call.
    /// Thread:  as call.
    int integration_time_3d() {
        return call([] { return configGetIntegrationTime3D(); });
    }
    /// Sets the 2D (grayscale) integration time, microseconds (0..1000000).
    /// Throws: vizor::error("apiSetIntegrationTime2D", -1) outside the range,
    ///         or as call.
    /// Thread: as call.
    void set_integration_time_2d(int us) {
        detail::check_epc(call([&] { return apiSetIntegrationTime2D(us); }),
                          "apiSetIntegrationTime2D");
    }
    /// Returns: the 2D integration time, microseconds.
    /// Throws:  as call.
    /// Thread:  as call.
    int integration_time_2d() {
        return call([] { return configGetIntegrationTime2D(); });
    }
    /// Sets the region of interest on the chip (apiSetROI: columns x1..x2,
    /// rows y1..y2 of the chip's pixel array).
    /// Throws: vizor::error("apiSetROI", -1) for a region the chip refuses
    ///         (nothing changed), or as call.
    /// Thread: as call.
    void set_roi(int x1, int x2, int y1, int y2) {
        detail::check_epc(call([&] { return apiSetROI(x1, x2, y1, y2, address()); }), "apiSetROI");
    }
    /// Switches horizontal and vertical binning.
    /// Throws: as call.
    /// Thread: as call.
    void set_binning(bool horizontal, bool vertical) {
        call([&] {
            apiEnableHorizontalBinning(horizontal, address());
            apiEnableVerticalBinning(vertical, address());
        });
    }
    /// Sets the minimum amplitude of a valid distance (and its hysteresis).
    /// Throws: as call.
    /// Thread: as call.
    void set_min_amplitude(int amplitude) {
        call([&] { apiSetMinAmplitude(amplitude); });
    }
    /// Selects the DRNU correction mode (apiCorrectDRNU; 0 off).
    /// Throws: as call.
    /// Thread: as call.
    void correct_drnu(int mode) {
        call([&] { apiCorrectDRNU(mode); });
    }
    /// Switches the temperature correction.
    /// Throws: as call.
    /// Thread: as call.
    void correct_temperature(bool on) {
        call([&] { apiCorrectTemperature(on); });
    }
    /// Switches the ambient-light correction.
    /// Throws: as call.
    /// Thread: as call.
    void correct_ambient_light(bool on) {
        call([&] { apiCorrectAmbientLight(on); });
    }
    /// Switches the grayscale offset and gain corrections.
    /// Throws: as call.
    /// Thread: as call.
    void correct_grayscale(bool offset, bool gain) {
        call([&] {
            apiCorrectGrayscaleOffset(offset);
            apiCorrectGrayscaleGain(gain);
        });
    }

private:
    // The chip's bus address the configuration holds (inside a call).
    static int address() noexcept { return configGetDeviceAddress(); }
    Device *dev_;
};

inline Epc Device::epc() noexcept { return Epc(*this); }

/// A capture session: starts capture in the constructor, stops it in the
/// destructor. Frames are fetched (next) or delivered to a callback (wait).
/// It refers to its Device, which must not move meanwhile.
class Capture {
public:
    /// Frame-ready callback: the frame's description and its bytes, valid
    /// only during the call.
    using frame_fn = std::function<void(const vizor_frame_info_t &, span<const uint8_t>)>;

    /// Sizes the frame buffer to buffer_frames frames (at least 2), installs
    /// on_frame (when given) and starts capture. on_frame runs on the thread
    /// in next or wait, inside the call.
    /// Throws: vizor::error("vizor_cap_set_frame_buffer") or
    ///         vizor::error("vizor_cap_start") when capture cannot start (the
    ///         callback is removed again).
    /// Thread: the device's application thread.
    explicit Capture(Device &dev, frame_fn on_frame = {}, uint32_t buffer_frames = 4) : dev_(&dev) {
        if (buffer_frames < 2) buffer_frames = 2;
        if (!vizor_cap_is_ongoing(dev_->get()) &&
            !vizor_cap_set_frame_buffer(dev_->get(), nullptr, buffer_frames * frame_unit_bytes))
            throw error("vizor_cap_set_frame_buffer", 0);
        if (on_frame) {
            fn_ = std::make_unique<Slot>();
            fn_->fn = std::move(on_frame);
            set_callback(dev_->get(), fn_.get());
            vizor_cap_set_callback_on_frame_ready(dev_->get(), &Capture::trampoline);
        }
        if (!vizor_cap_start(dev_->get())) {
            release();
            throw error("vizor_cap_start", 0);
        }
    }
    /// Stops capture (see stop).
    ~Capture() { stop(); }
    /// Takes over the session of o.
    Capture(Capture &&o) noexcept : dev_(std::exchange(o.dev_, nullptr)), fn_(std::move(o.fn_)) {}
    Capture &operator=(Capture &&) = delete;
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    /// Waits (up to 100 ms + 2 s) for the next frame into f.
    /// Returns: true for a frame; false when none came.
    /// Throws:  vizor::error("vizor_cap_get_frames", n) for the device not
    ///          open (-1), not capturing (-2) or a capture error code.
    /// Buffers: f's bytes and description are written.
    /// Thread:  the device's application thread; the callback runs inside.
    /// Close:   a stop or close on another thread ends the wait.
    bool next(Frame &f) {
        int n = vizor_cap_get_frames(dev_->get(), 1, f.buf_.data(),
                                     static_cast<uint32_t>(f.buf_.size()), &f.info_);
        if (n < 0) throw error("vizor_cap_get_frames", n);
        return n == 1;
    }
    /// Delivers frames to the callback until capture halts (true) or
    /// timeout_ms passes (false; 0 waits without limit).
    /// An exception the callback threw stops capture and is rethrown here.
    /// Returns: true when capture halted or the device closed; false on the
    ///          time-out, when not capturing or when the device is not open.
    /// Thread:  the device's application thread; the callback runs inside.
    /// Close:   a close on another thread or from the callback ends the wait.
    bool wait(int timeout_ms) {
        bool halted = vizor_cap_wait(dev_->get(), timeout_ms);
        if (fn_ && fn_->err) std::rethrow_exception(std::exchange(fn_->err, nullptr));
        return halted;
    }

    /// Stops capture but keeps the callback: the one call allowed from inside
    /// the callback (the wait delivering the frame then returns).
    /// Thread: the device's application thread, or the callback.
    void halt() noexcept {
        if (dev_ && dev_->is_open()) vizor_cap_stop(dev_->get());
    }

    /// Forgets the device without calling it (for a device another thread is
    /// closing, which stops capture itself); removes the callback.
    /// Thread: the device's application thread, not from the callback.
    void detach() noexcept {
        if (!dev_) return;
        if (fn_) set_callback(dev_->get(), nullptr);
        fn_.reset();
        dev_ = nullptr;
    }

    /// Stops capture and removes the callback (idempotent).
    /// Thread: the device's application thread, not from the callback.
    /// Close:  a device already closed is not called; only the callback is
    ///         removed.
    void stop() noexcept {
        if (!dev_) return;
        if (dev_->is_open()) vizor_cap_stop(dev_->get());
        release();
        dev_ = nullptr;
    }

private:
    // The C callback carries no user pointer: the frame functions are found
    // by device record, under one lock.
    static std::mutex &lock() {
        static std::mutex m;
        return m;
    }
    // The callback and the exception it threw (never let through the C call).
    struct Slot {
        frame_fn fn;
        std::exception_ptr err;
    };
    static std::map<vizor_dev_t *, Slot *> &table() {
        static std::map<vizor_dev_t *, Slot *> t;
        return t;
    }
    static void set_callback(vizor_dev_t *d, Slot *fn) {
        std::lock_guard<std::mutex> g(lock());
        if (fn)
            table()[d] = fn;
        else
            table().erase(d);
    }
    static void trampoline(vizor_dev_t *d, vizor_frame_t *f) {
        Slot *fn = nullptr;
        {
            std::lock_guard<std::mutex> g(lock());
            auto it = table().find(d);
            if (it != table().end()) fn = it->second;
        }
        if (!fn || !f || fn->err) return;
        try {
            fn->fn(f->frame_info, {f->frame_fbuf, f->frame_info.frame_size});
        } catch (...) {
            fn->err = std::current_exception();
            vizor_cap_stop(d);  // ends the wait that delivered the frame
        }
    }
    void release() noexcept {
        if (!fn_) return;
        if (dev_->is_open()) vizor_cap_set_callback_on_frame_ready(dev_->get(), nullptr);
        set_callback(dev_->get(), nullptr);
        fn_.reset();
    }
    Device *dev_;
    std::unique_ptr<Slot> fn_;
};

}  // namespace vizor

#endif /* VIZOR_VIZOR_HPP */
