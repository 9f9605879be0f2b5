// The factory calibration package of an EPC camera: what the factory's DRNU
// runs measured on the internal reference path of this very chip, one run per
// frequency class (above 20 MHz, 10 to 20 MHz, below 10 MHz) at the highest
// modulation frequency of the class, packed as the camera keeps it in flash:
// a 17-byte package header, then a zip archive (deflated with zlib). The
// 12 MHz run is the entry "calib_and_param.bin" (16-byte DRNU parameter block,
// then the distance images, one per delay-line step); the runs of the other
// classes are two entries each under the host's own file names: the
// parameter block "<chip>_drnu_param_W<wafer>_C<chip id>_<class>.bin" and the
// images "<chip>_images_drnu_W<wafer>_C<chip id>_<class>.bin".
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "vcam/epc.h"
#include "vcam/proto.h"

namespace vcam {

namespace {

// System clock after power-up (registers 129/130) in kHz, and the
// modulation frequencies it gives: system clock / (4 x 2^i).
constexpr double kSysClockKhz = (0x17 * 4000.0 + 4000.0);
constexpr int kFreqCount = 6;
// Frequency classes as the file names tell them apart.
constexpr const char *kClassSuffix[3] = {"_20", "_10", "_5"};
int class_of(double khz) { return khz > 19999 ? 0 : khz > 9999 ? 1 : 2; }
constexpr uint16_t kFatDate1980 = 0x21;  // 1980-01-01

void put16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
void put32(std::vector<uint8_t> &v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

std::vector<uint8_t> deflate_raw(const std::vector<uint8_t> &in) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_BEST_SPEED, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::vector<uint8_t> out(deflateBound(&zs, uLong(in.size())));
    zs.next_in = const_cast<Bytef *>(in.data());
    zs.avail_in = uInt(in.size());
    zs.next_out = out.data();
    zs.avail_out = uInt(out.size());
    int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
    return out;
}

struct Entry {
    std::string name;
    std::vector<uint8_t> data;
};

// A zip archive of deflated entries.
std::vector<uint8_t> zip_entries(const std::vector<Entry> &entries) {
    struct Made {
        uint32_t crc, comp_size, offset;
    };
    std::vector<uint8_t> z;
    std::vector<Made> made;
    auto common = [](std::vector<uint8_t> &v, const Entry &e, const Made &m) {
        put16(v, 20);  // version needed
        put16(v, 0);   // flags
        put16(v, 8);   // deflate
        put16(v, 0);   // time
        put16(v, kFatDate1980);
        put32(v, m.crc);
        put32(v, m.comp_size);
        put32(v, uint32_t(e.data.size()));
        put16(v, uint16_t(e.name.size()));
        put16(v, 0);  // extra length
    };
    for (const Entry &e : entries) {
        const std::vector<uint8_t> comp = deflate_raw(e.data);
        const Made m{uint32_t(crc32(0L, e.data.data(), uInt(e.data.size()))), uint32_t(comp.size()),
                     uint32_t(z.size())};
        put32(z, 0x04034b50);
        common(z, e, m);
        z.insert(z.end(), e.name.begin(), e.name.end());
        z.insert(z.end(), comp.begin(), comp.end());
        made.push_back(m);
    }
    const uint32_t cd_off = uint32_t(z.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        put32(z, 0x02014b50);
        put16(z, 20);  // version made by
        common(z, entries[i], made[i]);
        put16(z, 0);  // comment length
        put16(z, 0);  // disk
        put16(z, 0);  // internal attributes
        put32(z, 0);  // external attributes
        put32(z, made[i].offset);
        z.insert(z.end(), entries[i].name.begin(), entries[i].name.end());
    }
    const uint32_t cd_size = uint32_t(z.size()) - cd_off;
    put32(z, 0x06054b50);
    put16(z, 0);
    put16(z, 0);
    put16(z, uint16_t(entries.size()));
    put16(z, uint16_t(entries.size()));
    put32(z, cd_size);
    put32(z, cd_off);
    put16(z, 0);
    return z;
}

}  // namespace

// One factory DRNU run at f_khz: the 16-byte parameter block followed by
// the distance images.
std::vector<uint8_t> EpcSensor::factory_run(double f_khz) const {
    const int w = image_width(), h = image_height(), steps = m_.calib_steps;
    const size_t n = size_t(w) * size_t(h);
    // Step i delays the demodulation by i delay-line steps; each image is
    // unwrapped against the previous step as the run does.
    std::vector<uint16_t> img(n * size_t(steps));
    std::vector<double> prev(n);
    for (int i = 0; i < steps; ++i)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                size_t p = size_t(y) * size_t(w) + size_t(x);
                int col = x + 4, row = y + 6;
                double v;
                uint8_t def = defect_[field_index(col, row)];
                if (def == 1) {
                    v = 65500;  // ADC overflow marker of a pixel stuck at full scale
                } else if (def == 2) {
                    v = 15000;  // no signal: both components zero
                } else {
                    v = std::round(reference_code(col, row, m_.calib_temp_dC, i, f_khz));
                    if (i > 0 && v < prev[p]) v += 30000;
                }
                prev[p] = v;
                img[size_t(i) * n + p] = uint16_t(std::min(v, 65535.0));
            }
    int64_t sum = 0;
    for (size_t p = 0; p < n; ++p) sum += img[p];
    const int32_t drnu_offset = int32_t(sum / int64_t(n));
    const int32_t temp = int32_t(std::lround(m_.calib_temp_dC));
    // The step of the delay line in mm: a time, the same at every frequency.
    const double step_mm = (m_.delay_step_ns + (m_.calib_temp_dC - 270.0) * 0.000395) * 149.896229;

    std::vector<uint8_t> bin;
    put32(bin, uint32_t(drnu_offset));
    put32(bin, uint32_t(temp));
    uint64_t sb;
    std::memcpy(&sb, &step_mm, 8);
    for (int i = 0; i < 8; ++i) bin.push_back(uint8_t(sb >> (8 * i)));
    for (uint16_t v : img) put16(bin, v);
    return bin;
}

double EpcSensor::factory_freq_khz(int cls) const {
    for (int i = 0; i < kFreqCount; ++i) {
        const double f = kSysClockKhz / (4.0 * double(1 << i));
        if (class_of(f) == cls) return f;
    }
    return 0;
}

std::vector<uint8_t> EpcSensor::factory_package() const {
    if (m_.calib == EpcCalib::none) return {};
    std::vector<Entry> entries;
    const bool e660 = chip_ == EpcChip::epc660;
    char base[64];
    for (int cls = 0; cls < 3; ++cls) {
        const double f = factory_freq_khz(cls);
        if (!(m_.calib_classes & (1u << cls)) || f == 0) continue;
        std::vector<uint8_t> bin = factory_run(f);
        if (cls == 1) {
            std::string name = "calib_and_param.bin";
            if (m_.calib == EpcCalib::escaping_name) name = "../calib_and_param.bin";
            if (m_.calib == EpcCalib::absolute_name) name = "/tmp/calib_and_param.bin";
            entries.insert(entries.begin(), Entry{name, std::move(bin)});
            continue;
        }
        std::snprintf(base, sizeof base, "_W%03u_C%03u%s.bin", unsigned(wafer_id()),
                      unsigned(chip_id()), kClassSuffix[cls]);
        const std::string chip = e660 ? "epc660" : "epc635";
        entries.push_back(Entry{chip + "_drnu_param" + base, {bin.begin(), bin.begin() + 16}});
        entries.push_back(Entry{chip + "_images_drnu" + base, {bin.begin() + 16, bin.end()}});
    }
    std::vector<uint8_t> zip = zip_entries(entries);
    const uint32_t zip_len = uint32_t(zip.size());
    if (m_.calib == EpcCalib::truncated) zip.resize(zip.size() / 2);

    std::vector<uint8_t> pkg;
    pkg.push_back(1);  // valid
    pkg.push_back(0);
    pkg.push_back(m_.calib == EpcCalib::wrong_kind ? 2 : 1);  // payload kind: 1 = zip
    put32(pkg, 1);                                            // version
    put32(pkg, uint32_t(17 + zip.size()));                    // package size
    put32(pkg, zip_len);                                      // payload length
    put16(pkg, proto::crc16_xmodem(zip));
    pkg.insert(pkg.end(), zip.begin(), zip.end());
    return pkg;
}

}  // namespace vcam
