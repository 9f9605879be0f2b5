// The factory calibration package of an EPC camera: what the factory's DRNU
// run measured on the internal reference path of this very chip, packed as
// the camera keeps it in flash: a 17-byte package header, then a zip archive
// (deflated with zlib) whose one entry "calib_and_param.bin" holds the
// 16-byte DRNU parameter block and the distance images, one per delay-line
// step, at 12 MHz.
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "vcam/epc.h"
#include "vcam/proto.h"

namespace vcam {

namespace {

constexpr double kFactoryFreqKhz = 12000;
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

// A zip archive of one deflated entry.
std::vector<uint8_t> zip_one(const std::string &name, const std::vector<uint8_t> &data) {
    const uint32_t crc = uint32_t(crc32(0L, data.data(), uInt(data.size())));
    const std::vector<uint8_t> comp = deflate_raw(data);
    std::vector<uint8_t> z;
    auto common = [&](std::vector<uint8_t> &v) {
        put16(v, 20);  // version needed
        put16(v, 0);   // flags
        put16(v, 8);   // deflate
        put16(v, 0);   // time
        put16(v, kFatDate1980);
        put32(v, crc);
        put32(v, uint32_t(comp.size()));
        put32(v, uint32_t(data.size()));
        put16(v, uint16_t(name.size()));
        put16(v, 0);  // extra length
    };
    put32(z, 0x04034b50);
    common(z);
    z.insert(z.end(), name.begin(), name.end());
    z.insert(z.end(), comp.begin(), comp.end());
    const uint32_t cd_off = uint32_t(z.size());
    put32(z, 0x02014b50);
    put16(z, 20);  // version made by
    common(z);
    put16(z, 0);  // comment length
    put16(z, 0);  // disk
    put16(z, 0);  // internal attributes
    put32(z, 0);  // external attributes
    put32(z, 0);  // local header offset
    z.insert(z.end(), name.begin(), name.end());
    const uint32_t cd_size = uint32_t(z.size()) - cd_off;
    put32(z, 0x06054b50);
    put16(z, 0);
    put16(z, 0);
    put16(z, 1);
    put16(z, 1);
    put32(z, cd_size);
    put32(z, cd_off);
    put16(z, 0);
    return z;
}

}  // namespace

std::vector<uint8_t> EpcSensor::factory_package() const {
    if (m_.calib == EpcCalib::none) return {};
    const int w = image_width(), h = image_height(), steps = m_.calib_steps;
    const size_t n = size_t(w) * size_t(h);
    // The factory run: step i delays the demodulation by i delay-line steps;
    // each image is unwrapped against the previous step as the run does.
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
                    v = std::round(reference_code(col, row, m_.calib_temp_dC, i, kFactoryFreqKhz));
                    if (i > 0 && v < prev[p]) v += 30000;
                }
                prev[p] = v;
                img[size_t(i) * n + p] = uint16_t(std::min(v, 65535.0));
            }
    int64_t sum = 0;
    for (size_t p = 0; p < n; ++p) sum += img[p];
    const int32_t drnu_offset = int32_t(sum / int64_t(n));
    const int32_t temp = int32_t(std::lround(m_.calib_temp_dC));
    const double step_mm = (m_.delay_step_ns + (m_.calib_temp_dC - 270.0) * 0.000395) * 149.896229;

    std::vector<uint8_t> bin;
    put32(bin, uint32_t(drnu_offset));
    put32(bin, uint32_t(temp));
    uint64_t sb;
    std::memcpy(&sb, &step_mm, 8);
    for (int i = 0; i < 8; ++i) bin.push_back(uint8_t(sb >> (8 * i)));
    for (uint16_t v : img) put16(bin, v);

    std::string name = "calib_and_param.bin";
    if (m_.calib == EpcCalib::escaping_name) name = "../calib_and_param.bin";
    if (m_.calib == EpcCalib::absolute_name) name = "/tmp/calib_and_param.bin";
    std::vector<uint8_t> zip = zip_one(name, bin);
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
