// The camera firmware model: commands, parameters, registers, capture and the
// data-transfer actions behind the USB endpoints.
#include "vcam/firmware.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <stdexcept>
#include <unordered_map>

#include "vcam/proto.h"

namespace vcam {

using namespace proto;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kLogMax = 4096;
constexpr uint32_t kUnlimited = std::numeric_limits<uint32_t>::max();

// Flash address where the image of a data type lives.
uint32_t flash_addr(uint8_t type) { return 0x00080000u + uint32_t(type) * 0x00200000u; }

enum class Xfer { idle, announced, erasing, ready, done };

}  // namespace

struct Firmware::Impl {
    explicit Impl(const FirmwareConfig &c) : cfg(c), pipe(c.packet_size) {
        stream_cfg = c.stream;
        pipe.set_segment(stream_cfg.segment_bytes, stream_cfg.zlp);
        build_default_params();
        params = defaults;
        sensor_regs.assign(kSensorRegCount, 0);
        std::string mid;
        auto a = c.product.find('-');
        auto b = a == std::string::npos ? a : c.product.find('-', a + 1);
        if (a != std::string::npos && b != std::string::npos)
            mid = c.product.substr(a + 1, b - a - 1);
        if (mid == "T0") {
            sensor = std::make_unique<Opt8241Sensor>();
        } else if (mid == "E1" || mid == "E2") {
            auto e =
                std::make_unique<EpcSensor>(mid == "E1" ? EpcChip::epc660 : EpcChip::epc635, c.epc,
                                            c.wafer_id, c.chip_id, uint8_t(c.part_version));
            epc = e.get();
            sensor = std::move(e);
            calib_stale = true;
        } else {
            sensor = std::make_unique<PatternSensor>(320, 240, 4, 0);
        }
        sync_sensor_params();
    }

    // The EPC sensor's calibration package goes into the calibration slot. It
    // is built when something first looks at the flash (it takes a while).
    void store_factory_calibration() {
        if (!epc) throw std::logic_error("the camera has no EPC sensor");
        calib_stale = true;
    }
    std::map<uint8_t, DataImage> &flash_ready() const {
        if (!calib_stale) return flash;
        calib_stale = false;
        auto pkg = epc->factory_package();
        if (pkg.empty()) {
            flash.erase(cfg.calib_type);
            return flash;
        }
        DataImage img;
        img.type = cfg.calib_type;
        img.version = 1;
        img.addr = flash_addr(cfg.calib_type);
        img.bytes = std::move(pkg);
        flash[cfg.calib_type] = std::move(img);
        return flash;
    }

    // Hands every stored parameter to the sensor (after power-up and resets).
    void sync_sensor_params() {
        for (auto &[id, v] : params) sensor->param_changed(id, v);
    }

    FirmwareConfig cfg;
    FaultTable faults;
    FirmwareStats stats;
    std::deque<CommandRecord> log;

    // Status of the last command.
    uint8_t last_req = 0;
    uint16_t last_value = 0;
    bool last_failed = false;
    std::string last_msg;

    // Registers.
    std::vector<uint32_t> sensor_regs;                                    // target 1, low byte used
    std::map<uint8_t, std::unordered_map<uint32_t, uint32_t>> reg_files;  // other targets
    struct PendingRead {
        bool valid = false;
        uint8_t target = 0;
        uint32_t addr = 0;
        uint32_t bytes = 0;
    } reg_read;

    // Parameters.
    std::map<uint8_t, std::vector<uint8_t>> defaults;  // what a board reset restores
    std::map<uint8_t, std::vector<uint8_t>> params;
    bool calib_override = false;  // a test set parameter 8 itself
    std::vector<uint8_t> param_get_ids;
    uint8_t dev_mode = kDevModeNormal;

    // Flash and the data-transfer state.
    mutable std::map<uint8_t, DataImage> flash;  // reach it through flash_ready()
    mutable bool calib_stale = false;            // the factory package is still to build
    Xfer xfer = Xfer::idle;
    uint8_t wr_type = 0;
    uint16_t wr_version = 0;
    uint32_t wr_size = 0;
    uint32_t wr_next = 0;
    uint32_t erase_left = 0;
    std::vector<uint8_t> wr_data;
    uint8_t read_type = 0;
    uint32_t read_pos = 0;
    uint32_t piece_len = 0;
    std::array<uint8_t, 9> opaque5{};

    // Capture.
    std::unique_ptr<Sensor> sensor;
    std::unique_ptr<FrameSource> source;                 // replaces the sensor's frames
    std::optional<std::chrono::nanoseconds> source_gap;  // until the source's next frame
    EpcSensor *epc = nullptr;                            // the sensor when it is an EPC model
    StreamConfig stream_cfg;
    StreamConfig active_cfg;
    StreamGen gen;
    BulkPipe pipe;
    bool producing = false;  // frames still to generate
    bool capturing = false;  // between start and stop
    bool calib_pending = false;
    uint32_t frames_left = 0;
    uint32_t frame_no = 0;
    std::vector<uint8_t> scratch;  // rendered frames of one group
    Clock::time_point next_due{};
    bool usb_reset = false;
    bool unplugged = false;

    void build_default_params() {
        auto text = [](const std::string &s) {
            std::vector<uint8_t> v(s.begin(), s.end());
            v.resize(std::min<size_t>(v.size(), kParamValueLen));
            return v;
        };
        defaults[kParamDevMode] = {kDevModeNormal};
        auto info = text(cfg.info);
        info.resize(kParamValueLen, 0);  // NUL-padded
        defaults[kParamInfoStr] = info;
        defaults[kParamInfoProduct] = text(cfg.product);
        defaults[kParamInfoBlob] = cfg.blob;
        defaults[kParamInfoExt] = cfg.ext;
        std::vector<uint8_t> sid(6);
        put16(&sid[0], cfg.part_version);
        put16(&sid[2], cfg.chip_id);
        put16(&sid[4], cfg.wafer_id);
        defaults[kParamInfoSensor] = sid;
        defaults[kParamImgMode] = {cfg.img_mode};
        std::vector<uint8_t> it(2);
        put16(it.data(), cfg.integration_time);
        defaults[kParamIntgTime] = it;
        std::vector<uint8_t> t;
        for (size_t i = 0; i < cfg.temperatures.size() && t.size() + 2 <= kParamValueLen; ++i) {
            t.push_back(uint8_t(uint16_t(cfg.temperatures[i])));
            t.push_back(uint8_t(uint16_t(cfg.temperatures[i]) >> 8));
        }
        defaults[kParamTemp] = t;
        for (auto &[id, v] : defaults)
            if (v.size() > kParamValueLen) v.resize(kParamValueLen);
    }

    static bool read_only(uint8_t id) {
        return id == kParamInfoStr || id == kParamInfoProduct || id == kParamInfoBlob ||
               id == kParamInfoExt || id == kParamInfoSensor || id == kParamInfoCalib ||
               id == kParamTemp;
    }

    // Parameter 8: what the flash holds as calibration data.
    std::vector<uint8_t> calib_info() const {
        if (calib_override) {
            auto it = params.find(kParamInfoCalib);
            if (it != params.end()) return it->second;
        }
        std::vector<uint8_t> v(kParamValueLen, 0);
        auto it = flash_ready().find(cfg.calib_type);
        if (it != flash.end() && !it->second.bytes.empty()) {
            const auto &img = it->second;
            uint32_t n = uint32_t(img.bytes.size());
            v[0] = 1;
            put32(&v[3], img.version);
            put32(&v[7], n);
            put32(&v[11], n);
            put16(&v[15], crc16_xmodem(img.bytes));
        }
        return v;
    }

    // ---- command outcome ----
    void done(uint8_t req, uint16_t value) {
        last_req = req;
        last_value = value;
        last_failed = false;
        last_msg.clear();
    }
    void fail(uint8_t req, uint16_t value, std::string msg) {
        last_req = req;
        last_value = value;
        last_failed = true;
        last_msg = std::move(msg);
        ++stats.failed_commands;
    }

    __attribute__((format(printf, 1, 2))) static std::string fmt(const char *f, ...) {
        char buf[96];
        va_list ap;
        va_start(ap, f);
        std::vsnprintf(buf, sizeof buf, f, ap);
        va_end(ap);
        return buf;
    }

    size_t status_reply(std::span<uint8_t> in) {
        ++stats.status_reads;
        uint8_t r[kStatusLen] = {};
        r[1] = last_req;
        r[2] = uint8_t(last_value);
        if (faults.strike(Fault::status_busy)) {
            r[0] = kStatusBusy;
        } else if (last_failed) {
            r[0] = kStatusFailed;
            std::memcpy(&r[3], last_msg.data(), std::min(last_msg.size(), kStatusTextLen));
        } else {
            r[0] = kStatusDone;
        }
        if (faults.strike(Fault::status_other_cmd))
            r[1] = last_req == kReqCtrl ? kReqCfg : kReqCtrl;
        size_t n = std::min(in.size(), kStatusLen);
        copy_bytes(in.data(), r, n);
        return n;
    }

    // ---- registers ----
    bool sensor_range(uint32_t addr, uint32_t count) const {
        return addr <= kSensorRegCount && count <= kSensorRegCount - addr;
    }
    // A register read as the host sees it (sensor side effects happen).
    uint32_t reg_fetch(uint8_t target, uint32_t addr) {
        if (target == kTargetSensor && sensor->has_registers())
            return addr < kSensorRegCount ? sensor->reg_read(addr) : 0;
        return reg_get(target, addr);
    }
    uint32_t reg_get(uint8_t target, uint32_t addr) const {
        if (target == kTargetSensor && sensor->has_registers())
            return addr < kSensorRegCount ? sensor->reg_peek(addr) : 0;
        if (target == kTargetSensor) return addr < kSensorRegCount ? sensor_regs[addr] & 0xFF : 0;
        auto t = reg_files.find(target);
        if (t == reg_files.end()) return 0;
        auto r = t->second.find(addr);
        return r == t->second.end() ? 0 : r->second;
    }
    void reg_set(uint8_t target, uint32_t addr, uint32_t v) {
        if (target == kTargetSensor && sensor->has_registers()) {
            if (addr < kSensorRegCount) sensor->reg_write(addr, uint8_t(v));
            return;
        }
        if (target == kTargetSensor) {
            if (addr < kSensorRegCount) sensor_regs[addr] = v & 0xFF;
            return;
        }
        reg_files[target][addr] = v;
    }

    void reg_write(uint16_t value, std::span<const uint8_t> p) {
        if (p.size() < kRegHdrLen) return fail(kReqCtrl, value, "register header too short");
        uint8_t target = p[0];
        uint32_t addr = get32(&p[1]);
        uint32_t bytes = get16(&p[5]);
        if (bytes % 4 != 0 || bytes != p.size() - kRegHdrLen)
            return fail(kReqCtrl, value,
                        fmt("register byte count %u does not match %u", bytes,
                            unsigned(p.size() - kRegHdrLen)));
        uint32_t count = bytes / 4;
        if (target == kTargetSensor && !sensor_range(addr, count))
            return fail(kReqCtrl, value, fmt("sensor register %u+%u out of range", addr, count));
        for (uint32_t i = 0; i < count; ++i)
            reg_set(target, addr + i, get32(&p[kRegHdrLen + 4 * i]));
        done(kReqCtrl, value);
    }

    void reg_read_setup(uint16_t value, std::span<const uint8_t> p) {
        reg_read.valid = false;
        if (p.size() != kRegHdrLen)
            return fail(kReqCtrl, value, "register read header must be 7 bytes");
        uint8_t target = p[0];
        uint32_t addr = get32(&p[1]);
        uint32_t bytes = get16(&p[5]);
        if (bytes % 4 != 0)
            return fail(kReqCtrl, value, fmt("register byte count %u not a multiple of 4", bytes));
        if (target == kTargetSensor && !sensor_range(addr, bytes / 4))
            return fail(kReqCtrl, value,
                        fmt("sensor register %u+%u out of range", addr, bytes / 4));
        reg_read = {true, target, addr, bytes};
        done(kReqCtrl, value);
    }

    size_t reg_read_data(uint16_t value, std::span<uint8_t> in) {
        if (!reg_read.valid) {
            fail(kReqCtrl, value, "no register read pending");
            return 0;
        }
        reg_read.valid = false;
        size_t n = std::min<size_t>(in.size(), reg_read.bytes);
        uint8_t w[4];
        for (size_t i = 0; i < n; ++i) {
            if (i % 4 == 0) put32(w, reg_fetch(reg_read.target, reg_read.addr + uint32_t(i / 4)));
            in[i] = w[i % 4];
        }
        if (in.size() != reg_read.bytes)
            fail(kReqCtrl, value,
                 fmt("register read of %u bytes, %u announced", unsigned(in.size()),
                     reg_read.bytes));
        else
            done(kReqCtrl, value);
        return n;
    }

    // ---- parameters ----
    void param_set(uint16_t value, std::span<const uint8_t> p) {
        if (p.size() % kParamRecLen != 0)
            return fail(kReqCfg, value,
                        fmt("parameter payload %u not a multiple of 20", unsigned(p.size())));
        // Check every record first: a refused batch changes nothing.
        for (size_t o = 0; o < p.size(); o += kParamRecLen) {
            uint8_t id = p[o], len = p[o + 1];
            if (len > kParamValueLen)
                return fail(kReqCfg, value, fmt("parameter %u: length %u too large", id, len));
            if (read_only(id)) return fail(kReqCfg, value, fmt("parameter %u is read-only", id));
            if (id == kParamDevMode && len < 1)
                return fail(kReqCfg, value, "device mode needs one byte");
            if (auto why = sensor->param_check(id, p.subspan(o + 2, len)))
                return fail(kReqCfg, value, fmt("parameter %u: %s", id, why->c_str()));
        }
        for (size_t o = 0; o < p.size(); o += kParamRecLen) {
            uint8_t id = p[o], len = p[o + 1];
            auto &v = params[id];
            v.assign(&p[o + 2], &p[o + 2] + len);
            sensor->param_changed(id, v);
            if (id == kParamDevMode) dev_mode = p[o + 2];
        }
        done(kReqCfg, value);
    }

    void param_get_setup(uint16_t value, std::span<const uint8_t> p) {
        param_get_ids.clear();
        if (p.empty() || p.size() % kParamRecLen != 0)
            return fail(kReqCfg, value,
                        fmt("parameter payload %u not a multiple of 20", unsigned(p.size())));
        for (size_t o = 0; o < p.size(); o += kParamRecLen) param_get_ids.push_back(p[o]);
        done(kReqCfg, value);
    }

    size_t param_get_data(uint16_t value, std::span<uint8_t> in) {
        if (param_get_ids.empty()) {
            fail(kReqCfg, value, "no parameter read pending");
            return 0;
        }
        size_t n = std::min(in.size(), param_get_ids.size() * kParamRecLen);
        std::fill(in.begin(), in.begin() + long(n), uint8_t(0));
        uint8_t rec[kParamRecLen];
        for (size_t i = 0; i < param_get_ids.size() && i * kParamRecLen < n; ++i) {
            std::memset(rec, 0, sizeof rec);
            uint8_t id = param_get_ids[i];
            rec[0] = id;
            std::vector<uint8_t> v;
            if (id == kParamInfoCalib) {
                v = calib_info();
            } else if (id == kParamDevMode) {
                v = {dev_mode};
            } else if (auto sv = sensor->param_value(id)) {
                v = std::move(*sv);
            } else {
                auto it = params.find(id);
                if (it != params.end()) v = it->second;
            }
            size_t len = std::min(v.size(), kParamValueLen);
            rec[1] = uint8_t(len);
            copy_bytes(&rec[2], v.data(), len);
            if (faults.strike(Fault::param_len_overflow)) {
                int lv = faults.value(Fault::param_len_overflow);
                rec[1] = uint8_t(lv > 0 ? lv : 40);
            }
            size_t take = std::min(kParamRecLen, n - i * kParamRecLen);
            copy_bytes(&in[i * kParamRecLen], rec, take);
        }
        if (in.size() != param_get_ids.size() * kParamRecLen)
            fail(kReqCfg, value,
                 fmt("parameter read of %u bytes, %u records pending", unsigned(in.size()),
                     unsigned(param_get_ids.size())));
        else
            done(kReqCfg, value);
        param_get_ids.clear();
        return n;
    }

    // ---- capture ----
    void stop_capture() {
        producing = false;
        capturing = false;
        calib_pending = false;
        stats.frames_unsent += pipe.frames_queued();
        pipe.clear();
    }

    void start_capture(uint32_t count) {
        stop_capture();
        active_cfg = stream_cfg;
        pipe.set_segment(active_cfg.segment_bytes, active_cfg.zlp);
        gen.start(active_cfg);
        ++stats.captures;
        capturing = true;
        producing = true;
        frames_left = count ? count : kUnlimited;
        if (dev_mode == kDevModeDataUp) {
            // The stored calibration image goes out as one frame; the mode is used up.
            dev_mode = kDevModeNormal;
            calib_pending = true;
            frames_left = 1;
        }
        next_due = Clock::now();
    }

    uint32_t group_frame_bytes() const {
        FrameDesc d;
        if (source) return source->peek(d) ? d.size : 0;
        return sensor->describe().size;
    }

    // One frame of the frame source; the stream ends with the source.
    void produce_from_source() {
        FrameDesc d;
        if (!source->peek(d)) {
            producing = false;
            return;
        }
        if (scratch.size() < d.size) scratch.resize(d.size);
        if (auto idx = source->next_index()) gen.set_next_fridx(*idx);
        source_gap = source->take(std::span<uint8_t>(scratch.data(), d.size));
        gen.emit(d, std::span<const uint8_t>(scratch.data(), d.size), 1, pipe, faults);
        ++frame_no;
        ++stats.frames_sent;
        take_stream_stats();
        if (frames_left != kUnlimited && --frames_left == 0) producing = false;
    }

    // The stream generator's counts, after an emit.
    void take_stream_stats() {
        stats.chunks = gen.chunks();
        stats.frames_unseen = gen.frames_unseen();
        stats.frames_split = gen.frames_split();
    }

    // Generates the next group of frames into the pipe.
    void produce() {
        if (!producing) return;
        if (calib_pending) {
            calib_pending = false;
            producing = false;
            auto it = flash_ready().find(cfg.calib_type);
            if (it == flash.end() || it->second.bytes.empty()) return;
            FrameDesc d;
            d.size = uint32_t(it->second.bytes.size());
            d.format = kFormatCalibData;
            gen.emit(d, it->second.bytes, 1, pipe, faults);
            ++stats.frames_sent;
            ++stats.calib_frames;
            take_stream_stats();
            return;
        }
        if (source) return produce_from_source();
        FrameDesc d = sensor->describe();
        uint32_t k = gen.group_size(d, frames_left);
        size_t need = size_t(d.size) * k;
        if (scratch.size() < need) scratch.resize(need);
        for (uint32_t i = 0; i < k; ++i)
            sensor->render(std::span<uint8_t>(scratch.data() + size_t(d.size) * i, d.size),
                           frame_no + i);
        gen.emit(d, std::span<const uint8_t>(scratch.data(), need), k, pipe, faults);
        frame_no += k;
        stats.frames_sent += k;
        take_stream_stats();
        if (frames_left != kUnlimited) {
            frames_left -= k;
            if (frames_left == 0) producing = false;
        }
    }

    void drop_frame() {
        FrameDesc d;
        if (source && source->peek(d)) source_gap = source->take({});
        gen.skip_frame();
        ++frame_no;
        ++stats.frames_dropped;
        if (frames_left != kUnlimited && --frames_left == 0) producing = false;
    }

    // ---- reset ----
    void reset_board() {
        stop_capture();
        std::fill(sensor_regs.begin(), sensor_regs.end(), 0u);
        reg_files.clear();
        reg_read.valid = false;
        param_get_ids.clear();
        params = defaults;
        dev_mode = kDevModeNormal;
        xfer = Xfer::idle;
        wr_data.clear();
        read_pos = 0;
        sensor->reset();
        sync_sensor_params();
    }

    // ---- data transfer ----
    void data_out(uint16_t act, std::span<const uint8_t> p) {
        switch (act) {
        case kActGetInfo:
            if (p.size() != kInfoLen) return fail(kReqData, act, "info query must be 16 bytes");
            read_type = p[0];
            read_pos = 0;
            return done(kReqData, act);
        case kActWriteInfo: {
            if (p.size() != kWriteInfoLen)
                return fail(kReqData, act, "write announcement must be 12 bytes");
            uint32_t size = get32(&p[4]);
            if (size == 0 || size > cfg.flash_capacity)
                return fail(
                    kReqData, act,
                    fmt("image size %u does not fit the flash (%u)", size, cfg.flash_capacity));
            xfer = Xfer::announced;
            wr_type = p[0];
            wr_version = get16(&p[2]);
            wr_size = size;
            wr_next = 0;
            wr_data.clear();
            return done(kReqData, act);
        }
        case kActAck:
            // The host's half of an acknowledgement read (or an acknowledgement
            // it sends): nothing to store.
            if (p.size() != kAckLen) return fail(kReqData, act, "acknowledgement must be 13 bytes");
            return done(kReqData, act);
        case kActOpaque5:
            if (p.size() != kOpaque5Len) return fail(kReqData, act, "record must be 9 bytes");
            return done(kReqData, act);
        case kActErase: {
            if (p.size() != kEraseLen) return fail(kReqData, act, "erase record must be 13 bytes");
            if (xfer != Xfer::announced) return fail(kReqData, act, "erase without announcement");
            uint32_t size = get32(&p[1]), chunk = get32(&p[5]);
            if (p[0] != wr_type || size != wr_size)
                return fail(kReqData, act, "erase does not match the announced image");
            if (chunk != kChunkSize)
                return fail(kReqData, act, fmt("chunk size %u not supported", chunk));
            xfer = erase_left_init() ? Xfer::erasing : Xfer::ready;
            return done(kReqData, act);
        }
        case kActData: return data_chunk(p);
        case kActPayload: {
            if (p.size() != kPayloadReqLen)
                return fail(kReqData, act, "payload request must be 12 bytes");
            uint32_t len = get32(&p[4]);
            if (len == 0 || len > kMaxPayloadPiece) {
                piece_len = 0;
                return fail(kReqData, act, fmt("payload piece of %u bytes (1..450)", len));
            }
            piece_len = len;
            return done(kReqData, act);
        }
        default: return fail(kReqData, act, fmt("unknown data action %u", act));
        }
    }

    bool erase_left_init() {
        erase_left = cfg.erase_polls;
        return erase_left > 0;
    }

    void data_chunk(std::span<const uint8_t> p) {
        const uint16_t act = kActData;
        if (xfer != Xfer::ready) return fail(kReqData, act, "data chunk while not ready");
        if (p.size() < kChunkHdrLen + 1) return fail(kReqData, act, "empty data chunk");
        uint16_t crc = get16(&p[0]);
        uint32_t len = get32(&p[2]);
        auto data = p.subspan(kChunkHdrLen);
        uint32_t expect = std::min<uint32_t>(kChunkSize, wr_size - wr_next * kChunkSize);
        if (len != data.size() || len != expect)
            return fail(kReqData, act, fmt("chunk length %u, expected %u", len, expect));
        if (crc16_xmodem(data) != crc) {
            // Refused: the acknowledgement keeps asking for this chunk.
            ++stats.crc_errors;
            return done(kReqData, act);
        }
        wr_data.insert(wr_data.end(), data.begin(), data.end());
        ++wr_next;
        if (wr_data.size() == wr_size) {
            DataImage img;
            img.type = wr_type;
            img.version = wr_version;
            img.addr = flash_addr(wr_type);
            img.bytes = std::move(wr_data);
            wr_data.clear();
            flash_ready()[wr_type] = std::move(img);
            xfer = Xfer::done;
        }
        done(kReqData, act);
    }

    size_t data_in(uint16_t act, std::span<uint8_t> in) {
        switch (act) {
        case kActGetInfo: {
            uint8_t r[kInfoLen] = {};
            r[0] = read_type;
            auto it = flash_ready().find(read_type);
            if (it != flash.end()) {
                put16(&r[2], it->second.version);
                put32(&r[4], uint32_t(it->second.bytes.size()));
                put32(&r[8], it->second.addr);
            } else {
                put32(&r[4], kNoImage);
                put32(&r[8], flash_addr(read_type));
            }
            size_t n = std::min(in.size(), kInfoLen);
            copy_bytes(in.data(), r, n);
            done(kReqData, act);
            return n;
        }
        case kActAck: {
            uint8_t r[kAckLen] = {};
            uint8_t st = 0;
            const bool after_chunk = (xfer == Xfer::ready || xfer == Xfer::done) && wr_next > 0;
            switch (xfer) {
            case Xfer::idle: st = 0; break;
            case Xfer::announced: st = kAckInfoOk; break;
            case Xfer::erasing:
                if (erase_left > 0) {
                    --erase_left;
                    st = kAckErasing;
                } else {
                    xfer = Xfer::ready;
                    st = kAckReady;
                }
                break;
            case Xfer::ready:
            case Xfer::done: st = kAckReady; break;
            }
            put32(&r[0], wr_next);
            if (after_chunk && faults.strike(Fault::ack_next))
                put32(&r[0], uint32_t(faults.value(Fault::ack_next)));
            r[4] = st;
            size_t n = std::min(in.size(), kAckLen);
            copy_bytes(in.data(), r, n);
            done(kReqData, act);
            return n;
        }
        case kActOpaque5: {
            size_t n = std::min(in.size(), opaque5.size());
            copy_bytes(in.data(), opaque5.data(), n);
            done(kReqData, act);
            return n;
        }
        case kActPayload: {
            auto it = flash_ready().find(read_type);
            if (it == flash.end()) {
                fail(kReqData, act, fmt("no image of type %u", read_type));
                return 0;
            }
            if (piece_len == 0) {
                fail(kReqData, act, "no payload request pending");
                return 0;
            }
            const auto &b = it->second.bytes;
            size_t left = read_pos < b.size() ? b.size() - read_pos : 0;
            size_t n = std::min({in.size(), size_t(piece_len), left});
            copy_bytes(in.data(), b.data() + read_pos, n);
            read_pos += uint32_t(n);
            piece_len = 0;
            done(kReqData, act);
            return n;
        }
        default: fail(kReqData, act, fmt("unknown data action %u", act)); return 0;
        }
    }

    void record(const uint8_t *s, uint16_t length, std::span<const uint8_t> out) {
        CommandRecord r;
        r.request_type = s[0];
        r.request = s[1];
        r.value = get16(&s[2]);
        r.index = get16(&s[4]);
        r.length = length;
        r.out.assign(out.begin(), out.end());
        if (log.size() >= kLogMax) log.pop_front();
        log.push_back(std::move(r));
    }
};

Firmware::Firmware(FirmwareConfig cfg) : cfg_(std::move(cfg)), d_(std::make_unique<Impl>(cfg_)) {}
Firmware::~Firmware() = default;

Firmware::ControlResult Firmware::control(const uint8_t *s, std::span<const uint8_t> out,
                                          std::span<uint8_t> in) {
    std::lock_guard lk(mu_);
    Impl &d = *d_;
    ControlResult res;
    const uint8_t type = s[0], req = s[1];
    const uint16_t value = get16(&s[2]), index = get16(&s[4]), length = get16(&s[6]);
    const bool dir_in = (type & 0x80) != 0;
    d.record(s, length, dir_in ? std::span<const uint8_t>() : out);

    // Only class requests to the endpoint recipient with wIndex 0 are the
    // camera's; anything else is a protocol error and stalls.
    if ((type != kTypeClassOut && type != kTypeClassIn) || index != 0) {
        ++d.stats.protocol_errors;
        res.stall = true;
        return res;
    }
    const bool known_in = req == kReqStatus || (req == kReqCtrl && value == kCtrlRegRead) ||
                          (req == kReqCfg && value == kCfgParamGet) || req == kReqData;
    if (dir_in && !known_in) {
        ++d.stats.protocol_errors;
        d.fail(req, value, Impl::fmt("request 0x%02x/%u cannot be read", req, value));
        res.stall = true;
        return res;
    }
    if (!dir_in && req == kReqStatus) {
        ++d.stats.protocol_errors;
        res.stall = true;
        return res;
    }

    if (dir_in && req == kReqStatus) {
        res.in_len = d.status_reply(in);
    } else {
        ++d.stats.commands;
        if (d.faults.strike(Fault::command_fails)) {
            std::string m = d.faults.message(Fault::command_fails);
            d.fail(req, value, m.empty() ? std::string("command failed") : m);
            if (dir_in) {
                std::fill(in.begin(), in.end(), uint8_t(0));
                res.in_len = in.size();
            }
        } else if (dir_in) {
            if (req == kReqCtrl)
                res.in_len = d.reg_read_data(value, in);
            else if (req == kReqCfg)
                res.in_len = d.param_get_data(value, in);
            else
                res.in_len = d.data_in(value, in);
        } else if (req == kReqCtrl) {
            switch (value) {
            case kCtrlRegWrite: d.reg_write(value, out); break;
            case kCtrlRegRead: d.reg_read_setup(value, out); break;
            case kCtrlCapStart:
                if (out.size() != 4) {
                    d.fail(req, value, "capture start needs a 4-byte frame count");
                } else {
                    d.start_capture(get32(out.data()));
                    d.done(req, value);
                }
                break;
            case kCtrlCapStop:
                if (out.size() != 1 || out[0] != kReqCtrl) {
                    d.fail(req, value, "capture stop needs the byte 0xC2");
                } else {
                    d.stop_capture();
                    d.done(req, value);
                }
                break;
            default: d.fail(req, value, Impl::fmt("unknown control command %u", value));
            }
        } else if (req == kReqCfg) {
            switch (value) {
            case kCfgReset:
                if (out.size() != 4) {
                    d.fail(req, value, "reset needs a 4-byte target");
                    break;
                }
                switch (get32(out.data())) {
                case kResetBoard:
                    d.reset_board();
                    d.done(req, value);
                    break;
                case kResetSensor:
                    std::fill(d.sensor_regs.begin(), d.sensor_regs.end(), 0u);
                    d.sensor->reset();
                    d.done(req, value);
                    break;
                case kResetUsb:
                    d.stop_capture();
                    d.usb_reset = true;
                    d.done(req, value);
                    break;
                default:
                    d.fail(req, value, Impl::fmt("unknown reset target %u", get32(out.data())));
                }
                break;
            case kCfgParamSet: d.param_set(value, out); break;
            case kCfgParamGet: d.param_get_setup(value, out); break;
            default: d.fail(req, value, Impl::fmt("unknown configuration command %u", value));
            }
        } else if (req == kReqData) {
            d.data_out(value, out);
        } else {
            d.fail(req, value, Impl::fmt("unknown request 0x%02x", req));
        }
    }
    if (dir_in && d.faults.strike(Fault::short_control_reply)) {
        int v = d.faults.value(Fault::short_control_reply);
        size_t cut = size_t(v > 0 ? v : 1);
        res.in_len = res.in_len > cut ? res.in_len - cut : 0;
    }
    return res;
}

bool Firmware::bulk_ready(size_t room) {
    std::lock_guard lk(mu_);
    Impl &d = *d_;
    if (d.unplugged) return false;
    if (d.faults.due(Fault::vanish) || d.faults.due(Fault::bulk_stall) ||
        d.faults.due(Fault::bulk_error))
        return true;
    if (d.faults.due(Fault::bulk_timeout)) return false;
    if (d.active_cfg.fps <= 0) {
        while (d.producing && !d.pipe.can_complete(room)) d.produce();
    }
    return d.pipe.can_complete(room);
}

Firmware::BulkResult Firmware::bulk_in(std::span<uint8_t> dst) {
    std::lock_guard lk(mu_);
    Impl &d = *d_;
    BulkResult r;
    if (d.unplugged) {
        r.complete = true;
        r.status = BulkStatus::no_device;
        return r;
    }
    auto &ft = d.faults;
    const bool faulty =
        ft.due(Fault::vanish) || ft.due(Fault::bulk_stall) || ft.due(Fault::bulk_error);
    if (!faulty) {
        if (ft.due(Fault::bulk_timeout)) return r;  // the device sends nothing
        if (d.active_cfg.fps <= 0) {
            while (d.producing && !d.pipe.can_complete(dst.size())) d.produce();
        }
        if (!d.pipe.can_complete(dst.size())) return r;
    }
    // The transfer completes: it is an occurrence of every bulk fault.
    bool vanish = ft.strike(Fault::vanish);
    bool stall = ft.strike(Fault::bulk_stall);
    bool error = ft.strike(Fault::bulk_error);
    ft.strike(Fault::bulk_timeout);
    r.complete = true;
    if (vanish) {
        d.unplugged = true;
        d.stop_capture();
        r.status = BulkStatus::no_device;
    } else if (stall) {
        r.status = BulkStatus::stall;
    } else if (error) {
        r.status = BulkStatus::error;
    } else {
        auto f = d.pipe.fill(dst);
        r.length = f.length;
        r.status = f.overflow ? BulkStatus::overflow : BulkStatus::ok;
    }
    return r;
}

void Firmware::bulk_head_cancelled() {
    std::lock_guard lk(mu_);
    if (d_->faults.due(Fault::bulk_timeout)) d_->faults.strike(Fault::bulk_timeout);
}

std::optional<Clock::time_point> Firmware::next_frame_due() const {
    std::lock_guard lk(mu_);
    const Impl &d = *d_;
    if (!d.producing || d.active_cfg.fps <= 0 || d.unplugged) return std::nullopt;
    return d.next_due;
}

void Firmware::run_due(Clock::time_point now) {
    std::lock_guard lk(mu_);
    Impl &d = *d_;
    if (d.active_cfg.fps <= 0 || d.unplugged) return;
    auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / d.active_cfg.fps));
    if (period.count() <= 0) period = Clock::duration(1);
    while (d.producing && d.next_due <= now) {
        size_t frame_bytes = d.calib_pending ? 0 : d.group_frame_bytes();
        d.source_gap.reset();
        if (frame_bytes > 0 &&
            d.pipe.queued() >= size_t(d.active_cfg.max_queued_frames) * frame_bytes)
            d.drop_frame();
        else
            d.produce();
        const auto gap =
            d.source_gap ? std::chrono::duration_cast<Clock::duration>(*d.source_gap) : period;
        d.next_due += gap.count() > 0 ? gap : Clock::duration(1);
    }
    if (d.next_due + std::chrono::seconds(1) < now) d.next_due = now;  // far behind: resynchronise
}

bool Firmware::claim_allowed(unsigned iface) {
    std::lock_guard lk(mu_);
    if (iface == 0 && d_->faults.strike(Fault::refuse_interface0)) return false;
    return true;
}

bool Firmware::control_hangs() {
    std::lock_guard lk(mu_);
    return d_->faults.strike(Fault::control_hang);
}

bool Firmware::take_usb_reset_request() {
    std::lock_guard lk(mu_);
    bool r = d_->usb_reset;
    d_->usb_reset = false;
    return r;
}

void Firmware::on_unplugged() {
    std::lock_guard lk(mu_);
    d_->unplugged = true;
    d_->stop_capture();
}

void Firmware::on_plugged() {
    std::lock_guard lk(mu_);
    d_->unplugged = false;
    d_->reset_board();
}

bool Firmware::unplugged() const {
    std::lock_guard lk(mu_);
    return d_->unplugged;
}

void Firmware::inject(Fault f, FaultSpec plan) {
    std::lock_guard lk(mu_);
    d_->faults.arm(f, std::move(plan));
}
void Firmware::clear_fault(Fault f) {
    std::lock_guard lk(mu_);
    d_->faults.clear(f);
}
void Firmware::clear_faults() {
    std::lock_guard lk(mu_);
    d_->faults.clear_all();
}
uint32_t Firmware::fault_hits(Fault f) const {
    std::lock_guard lk(mu_);
    return d_->faults.hits(f);
}

void Firmware::set_param(uint8_t id, std::vector<uint8_t> value) {
    if (value.size() > kParamValueLen)
        throw std::invalid_argument("parameter value longer than 18 bytes");
    std::lock_guard lk(mu_);
    Impl &d = *d_;
    if (id == kParamInfoCalib) d.calib_override = true;
    if (id == kParamDevMode && !value.empty()) d.dev_mode = value[0];
    d.sensor->param_changed(id, value);
    d.defaults[id] = value;
    d.params[id] = std::move(value);
}

std::optional<std::vector<uint8_t>> Firmware::param(uint8_t id) const {
    std::lock_guard lk(mu_);
    const Impl &d = *d_;
    if (id == kParamInfoCalib) return d.calib_info();
    if (id == kParamDevMode) return std::vector<uint8_t>{d.dev_mode};
    if (auto sv = d.sensor->param_value(id)) return sv;
    auto it = d.params.find(id);
    if (it == d.params.end()) return std::nullopt;
    return it->second;
}

uint32_t Firmware::reg(uint8_t target, uint32_t addr) const {
    std::lock_guard lk(mu_);
    return d_->reg_get(target, addr);
}
void Firmware::set_reg(uint8_t target, uint32_t addr, uint32_t value) {
    std::lock_guard lk(mu_);
    d_->reg_set(target, addr, value);
}

void Firmware::store_image(uint8_t type, uint16_t version, std::vector<uint8_t> bytes) {
    std::lock_guard lk(mu_);
    DataImage img;
    img.type = type;
    img.version = version;
    img.addr = flash_addr(type);
    img.bytes = std::move(bytes);
    d_->flash_ready()[type] = std::move(img);
}
std::optional<DataImage> Firmware::image(uint8_t type) const {
    std::lock_guard lk(mu_);
    auto it = d_->flash_ready().find(type);
    if (it == d_->flash.end()) return std::nullopt;
    return it->second;
}
void Firmware::erase_image(uint8_t type) {
    std::lock_guard lk(mu_);
    d_->flash_ready().erase(type);
}
void Firmware::set_erase_polls(uint32_t n) {
    std::lock_guard lk(mu_);
    d_->cfg.erase_polls = n;
}
void Firmware::set_opaque5(const std::array<uint8_t, 9> &reply) {
    std::lock_guard lk(mu_);
    d_->opaque5 = reply;
}

void Firmware::set_sensor(std::unique_ptr<Sensor> sensor) {
    if (!sensor) throw std::invalid_argument("null sensor");
    std::lock_guard lk(mu_);
    d_->epc = dynamic_cast<EpcSensor *>(sensor.get());
    // A sensor without an EPC model has no calibration package to build.
    if (!d_->epc) d_->calib_stale = false;
    d_->sensor = std::move(sensor);
    d_->sync_sensor_params();
}
void Firmware::set_frame_source(std::unique_ptr<FrameSource> source) {
    std::lock_guard lk(mu_);
    d_->source = std::move(source);
}
void Firmware::with_epc(const std::function<void(EpcSensor &)> &fn) {
    std::lock_guard lk(mu_);
    if (!d_->epc) throw std::logic_error("the camera has no EPC sensor");
    fn(*d_->epc);
}
void Firmware::store_factory_calibration() {
    std::lock_guard lk(mu_);
    d_->store_factory_calibration();
}
void Firmware::with_sensor(const std::function<void(Sensor &)> &fn) {
    std::lock_guard lk(mu_);
    fn(*d_->sensor);
}
void Firmware::set_scene(const Scene &scene) {
    std::lock_guard lk(mu_);
    if (d_->epc) return d_->epc->set_scene(scene);
    auto *s = dynamic_cast<Opt8241Sensor *>(d_->sensor.get());
    if (!s) throw std::logic_error("the camera has no OPT8241 sensor");
    s->set_scene(scene);
}
void Firmware::set_upper_bits(uint8_t amplitude_hi, uint8_t phase_hi) {
    std::lock_guard lk(mu_);
    auto *s = dynamic_cast<Opt8241Sensor *>(d_->sensor.get());
    if (!s) throw std::logic_error("the camera has no OPT8241 sensor");
    s->set_upper_bits(amplitude_hi, phase_hi);
}

void Firmware::set_stream(const StreamConfig &cfg) {
    std::lock_guard lk(mu_);
    d_->stream_cfg = cfg;
}
StreamConfig Firmware::stream() const {
    std::lock_guard lk(mu_);
    return d_->stream_cfg;
}
bool Firmware::capturing() const {
    std::lock_guard lk(mu_);
    return d_->capturing;
}
uint8_t Firmware::dev_mode() const {
    std::lock_guard lk(mu_);
    return d_->dev_mode;
}
FirmwareStats Firmware::stats() const {
    std::lock_guard lk(mu_);
    return d_->stats;
}
std::vector<CommandRecord> Firmware::command_log() const {
    std::lock_guard lk(mu_);
    return {d_->log.begin(), d_->log.end()};
}
void Firmware::clear_command_log() {
    std::lock_guard lk(mu_);
    d_->log.clear();
}

}  // namespace vcam
