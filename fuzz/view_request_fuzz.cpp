// The viewer's request handling without a network: the Host/Origin guard,
// the page's control form and query decoded as the server decodes them
// (cpp-httplib's query parser), and every control value through the parsers
// the server and the capture engine use. Input: a control byte (bind
// address, whether the request changes state), then three parts
// (fuzz_files.h): Host header, Origin header, query or form text.
// Checks: a changing request passes only with the matching Origin, and
// parsed values lie within their bounds.
#include <httplib.h>

#include <cstdlib>

#include "fuzz_files.h"
#include "toolkit.h"
#include "view.h"

namespace vw = vztool::view;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static const char *const kBinds[4] = {"127.0.0.1", "0.0.0.0", "::1", "192.0.2.7"};
    const std::string bind = kBinds[data[0] & 3];
    const bool changing = data[0] & 4;
    const int port = 8000 + (data[0] >> 3);
    const std::vector<std::string> p = vzf::parts(data + 1, size - 1, 3);
    if (vw::request_allowed(p[0], p[1], bind, port, changing) && changing)
        VZF_CHECK(p[1] == "http://" + p[0]);

    httplib::Params form;
    httplib::detail::parse_query_text(p[2], form);
    for (const auto &[key, value] : form) {
        const std::optional<long> v = vw::form_number(value, 0, 65535);
        VZF_CHECK(!v || (*v >= 0 && *v <= 65535));
        const uint32_t after = vw::frame_after(value);
        VZF_CHECK(after == 0 || std::strtoull(value.c_str(), nullptr, 10) == after);
        if (const auto r = vztool::parse_range(key + ":" + value))
            VZF_CHECK(r->first >= 0 && r->first < r->second && r->second < 60);
    }
    return 0;
}
