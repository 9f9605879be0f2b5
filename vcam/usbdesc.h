// USB descriptors of the virtual camera and the standard requests on its
// control endpoint.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vcam {

// Bulk max packet size for a port speed in Mbit/s (64, 512 or 1024).
uint32_t max_packet_size(int speed_mbps);

// Device descriptor followed by configuration 1: interface 0 with bulk IN
// endpoint 0x81, and interface 1 without endpoints (the fall-back the host
// claims when interface 0 is taken).
std::vector<uint8_t> build_descriptors(uint16_t vid, uint16_t pid, uint16_t bcd_device,
                                       int speed_mbps);

// Answers a standard request (GET_DESCRIPTOR, GET_STATUS, GET_CONFIGURATION,
// SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE). Returns false when the
// endpoint must stall.
bool standard_request(const uint8_t *setup, const std::vector<uint8_t> &descriptors,
                      const std::string &manufacturer, const std::string &product,
                      const std::string &serial, std::vector<uint8_t> &reply);

}  // namespace vcam
