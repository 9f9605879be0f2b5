// USB descriptors of the virtual camera and its standard control requests.
#include "vcam/usbdesc.h"

#include "vcam/proto.h"

namespace vcam {

uint32_t max_packet_size(int speed_mbps) {
    if (speed_mbps <= 12) return 64;
    if (speed_mbps <= 480) return 512;
    return 1024;
}

std::vector<uint8_t> build_descriptors(uint16_t vid, uint16_t pid, uint16_t bcd_device,
                                       int speed_mbps) {
    const bool super = speed_mbps > 480;
    const uint16_t mps = uint16_t(max_packet_size(speed_mbps));
    std::vector<uint8_t> d = {18, 1, 0, 0, 0, 0, 0, uint8_t(super ? 9 : 64), 0, 0, 0,
                              0,  0, 0, 1, 2, 3, 1};
    proto::put16(&d[2], super ? 0x0300 : 0x0200);
    proto::put16(&d[8], vid);
    proto::put16(&d[10], pid);
    proto::put16(&d[12], bcd_device);
    std::vector<uint8_t> cfg = {9, 2, 0, 0, 2, 1, 0, 0x80, 250};
    std::vector<uint8_t> if0 = {9, 4, 0, 0, 1, 0xFF, 0, 0, 0};
    std::vector<uint8_t> ep = {7, 5, proto::kBulkInEp, 0x02, uint8_t(mps), uint8_t(mps >> 8), 0};
    std::vector<uint8_t> comp = {6, 0x30, 0, 0, 0, 0};  // superspeed endpoint companion
    std::vector<uint8_t> if1 = {9, 4, 1, 0, 0, 0xFF, 0, 0, 0};
    cfg.insert(cfg.end(), if0.begin(), if0.end());
    cfg.insert(cfg.end(), ep.begin(), ep.end());
    if (super) cfg.insert(cfg.end(), comp.begin(), comp.end());
    cfg.insert(cfg.end(), if1.begin(), if1.end());
    proto::put16(&cfg[2], uint16_t(cfg.size()));
    d.insert(d.end(), cfg.begin(), cfg.end());
    return d;
}

namespace {

std::vector<uint8_t> string_desc(const std::string &s) {
    std::vector<uint8_t> v = {0, 3};
    for (char ch : s) {
        if (v.size() + 2 > 254) break;
        v.push_back(uint8_t(ch));
        v.push_back(0);
    }
    v[0] = uint8_t(v.size());
    return v;
}

}  // namespace

bool standard_request(const uint8_t *setup, const std::vector<uint8_t> &descriptors,
                      const std::string &manufacturer, const std::string &product,
                      const std::string &serial, std::vector<uint8_t> &reply) {
    const uint8_t type = setup[0], req = setup[1];
    const uint16_t value = proto::get16(setup + 2);
    reply.clear();
    switch (req) {
    case 0x00:  // GET_STATUS
        if (!(type & 0x80)) return false;
        reply = {0, 0};
        return true;
    case 0x01:  // CLEAR_FEATURE
    case 0x09:  // SET_CONFIGURATION
    case 0x0B:  // SET_INTERFACE
        return !(type & 0x80);
    case 0x08:  // GET_CONFIGURATION
        if (!(type & 0x80)) return false;
        reply = {1};
        return true;
    case 0x06: {  // GET_DESCRIPTOR
        if (type != 0x80) return false;
        const uint8_t dtype = uint8_t(value >> 8), idx = uint8_t(value);
        if (dtype == 1) {
            reply.assign(descriptors.begin(), descriptors.begin() + 18);
            return true;
        }
        if (dtype == 2 && idx == 0) {
            reply.assign(descriptors.begin() + 18, descriptors.end());
            return true;
        }
        if (dtype == 3) {
            switch (idx) {
            case 0: reply = {4, 3, 0x09, 0x04}; return true;
            case 1: reply = string_desc(manufacturer); return true;
            case 2: reply = string_desc(product); return true;
            case 3: reply = string_desc(serial); return true;
            default: return false;
            }
        }
        return false;
    }
    default: return false;
    }
}

}  // namespace vcam
