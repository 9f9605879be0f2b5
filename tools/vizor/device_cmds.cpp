// list, info, reg and param.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app.h"
#include "cli.h"
#include "vizor/drv.h"
#include "vizor/lens.h"

namespace vztool {

namespace {

double speed_mbps(uint8_t code) {
    // libusb speed codes
    switch (code) {
    case 1: return 1.5;
    case 2: return 12;
    case 3: return 480;
    case 4: return 5000;
    case 5: return 10000;
    default: return 0;
    }
}

std::string mbps_text(double m) {
    char b[32];
    if (m <= 0) return "unknown";
    if (m >= 1000)
        std::snprintf(b, sizeof b, "%g Gbit/s", m / 1000);
    else
        std::snprintf(b, sizeof b, "%g Mbit/s", m);
    return b;
}
std::string speed_text(uint8_t code) { return mbps_text(speed_mbps(code)); }

std::string hex_bytes(const uint8_t *p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
        s += b;
    }
    return s;
}

// Text of a fixed-size, NUL-padded field.
std::string field_text(const char *p, size_t cap) { return std::string(p, strnlen(p, cap)); }

Json usb_json(const vizor_dev_t &d) {
    return {{"bus", d.usb_bus_num},
            {"port", d.usb_port_num},
            {"address", d.usb_addr},
            {"speed_mbps", speed_mbps(d.usb_speed)}};
}

// What info reports, as one object; the text form is printed from it.
Json info_json(vizor_dev_t *dev) {
    Json j;
    j["usb"] = usb_json(*dev);
    j["product"] = field_text(dev->product, sizeof dev->product);
    j["info"] = field_text(dev->dev_info_str, sizeof dev->dev_info_str);
    j["blob"] = hex_bytes(dev->dev_info_blob, sizeof dev->dev_info_blob);
    j["ext"] = hex_bytes(dev->dev_info_ext, sizeof dev->dev_info_ext);
    const vizor_drv_t *drv = vizor_dev_get_drv(dev);
    j["driver"] = {{"name", drv && drv->name ? drv->name : "?"},
                   {"desc", drv && drv->desc ? drv->desc : ""}};
    // The frame geometry is what the driver makes of a real frame.
    std::vector<uint8_t> raw(6220800);
    vizor_frame_info_t fi{};
    if (!vizor_cap_snapshot(dev, raw.data(), uint32_t(raw.size()), &fi)) {
        j["frame"] = nullptr;
        j["lens"] = nullptr;
        return j;
    }
    j["frame"] = {{"width", fi.width},
                  {"height", fi.height},
                  {"pixel_depth", fi.pixel_depth},
                  {"frame_size", fi.frame_size},
                  {"frame_format", fi.frame_format}};
    vz_lens_param_t lens{};
    if (drv && drv->ops && drv->ops->lens_param_get &&
        drv->ops->lens_param_get(const_cast<vizor_drv_t *>(drv), &lens, int(fi.width),
                                 int(fi.height))) {
        j["lens"] = {{"source", "driver"},
                     {"cx", lens.cx},
                     {"cy", lens.cy},
                     {"fx", lens.fx},
                     {"fy", lens.fy},
                     {"width", lens.width},
                     {"height", lens.height},
                     {"dist_coeff",
                      {lens.dist_coeff[0], lens.dist_coeff[1], lens.dist_coeff[2],
                       lens.dist_coeff[3], lens.dist_coeff[4]}}};
    } else {
        const Intrinsics k = default_intrinsics(int(fi.width), int(fi.height));
        j["lens"] = {{"source", "default"}, {"cx", k.cx},
                     {"cy", k.cy},          {"fx", k.fx},
                     {"fy", k.fy},          {"width", fi.width},
                     {"height", fi.height}, {"dist_coeff", {0, 0, 0, 0, 0}}};
    }
    return j;
}

void print_info_text(const Json &j) {
    const Json &u = j["usb"];
    std::printf("usb:      bus %d, port %d, address %d, %s\n", u["bus"].get<int>(),
                u["port"].get<int>(), u["address"].get<int>(),
                mbps_text(u["speed_mbps"].get<double>()).c_str());
    std::printf("product:  %s\n", j["product"].get<std::string>().c_str());
    std::printf("info:     %s\n", j["info"].get<std::string>().c_str());
    std::printf("blob:     %s\n", j["blob"].get<std::string>().c_str());
    std::printf("ext:      %s\n", j["ext"].get<std::string>().c_str());
    std::printf("driver:   %s (%s)\n", j["driver"]["name"].get<std::string>().c_str(),
                j["driver"]["desc"].get<std::string>().c_str());
    if (j["frame"].is_null()) {
        std::printf("frame:    none (the camera delivered no frame)\n");
        return;
    }
    const Json &f = j["frame"];
    std::printf("frame:    %u x %u, %u bytes per pixel, %u bytes, format %u\n",
                f["width"].get<unsigned>(), f["height"].get<unsigned>(),
                f["pixel_depth"].get<unsigned>(), f["frame_size"].get<unsigned>(),
                f["frame_format"].get<unsigned>());
    const Json &l = j["lens"];
    if (l["source"] == "driver") {
        std::printf("lens:     cx %.4f, cy %.4f, fx %.4f, fy %.4f (for %d x %d)\n",
                    l["cx"].get<double>(), l["cy"].get<double>(), l["fx"].get<double>(),
                    l["fy"].get<double>(), l["width"].get<int>(), l["height"].get<int>());
        const Json &k = l["dist_coeff"];
        std::printf("          k1 %.6g, k2 %.6g, p1 %.6g, p2 %.6g, k3 %.6g\n", k[0].get<double>(),
                    k[1].get<double>(), k[2].get<double>(), k[3].get<double>(), k[4].get<double>());
    } else {
        std::printf(
            "lens:     none in the driver; point clouds use cx %.1f, cy %.1f, fx %.1f, fy %.1f\n",
            l["cx"].get<double>(), l["cy"].get<double>(), l["fx"].get<double>(),
            l["fy"].get<double>());
    }
}

}  // namespace

void print_json(const Json &j) { std::printf("%s\n", j.dump(2).c_str()); }

int cmd_list(Session &s, bool json) {
    auto devs = s.list();
    // Without a camera list fails as info does: scripts see the same status.
    if (devs.empty()) throw ToolError(kNoCamera);
    Json cams = Json::array();
    for (size_t i = 0; i < devs.size(); ++i) {
        vizor_dev_t rec = devs[i];
        Json c = {{"index", i}};
        c.update(usb_json(devs[i]));
        c["product"] = nullptr;  // null: the camera could not be opened
        if (vizor_dev_t *d = vizor_dev_open(&rec)) {
            c["product"] = field_text(d->product, sizeof d->product);
            vizor_dev_close(d);
        }
        cams.push_back(c);
    }
    if (json) {
        print_json({{"cameras", cams}});
        return 0;
    }
    std::printf("%-3s %-4s %-4s %-5s %-11s %s\n", "#", "bus", "port", "addr", "speed", "product");
    for (size_t i = 0; i < devs.size(); ++i) {
        const Json &c = cams[i];
        std::printf("%-3zu %-4u %-4u %-5u %-11s %s\n", i, unsigned(devs[i].usb_bus_num),
                    unsigned(devs[i].usb_port_num), unsigned(devs[i].usb_addr),
                    speed_text(devs[i].usb_speed).c_str(),
                    c["product"].is_null() ? "(cannot open: in use or no permission)"
                                           : c["product"].get<std::string>().c_str());
    }
    return 0;
}

int cmd_info(Session &s, bool json) {
    vizor_dev_t *dev = s.open();
    Json j = info_json(dev);
    if (epc_camera(dev)) j["epc"] = epc_state_json(dev);
    if (json) {
        print_json(j);
    } else {
        print_info_text(j);
        print_epc_state(j.value("epc", Json()));
    }
    if (j["frame"].is_null())
        throw ToolError("the camera delivered no frame; unplug it and plug it in again");
    return 0;
}

int cmd_reg(Session &s, const RegOpts &o) {
    vizor_dev_t *dev = s.open();
    if (o.write) {
        if (!vizor_reg_batch_write(dev, uint8_t(o.target), o.addr, o.values.data(),
                                   uint16_t(o.values.size())))
            throw ToolError("register write refused by the camera");
        std::printf("wrote %zu register%s at 0x%04x (target %d)\n", o.values.size(),
                    o.values.size() == 1 ? "" : "s", o.addr, o.target);
        return 0;
    }
    std::vector<uint32_t> vals(size_t(o.count));
    if (!vizor_reg_batch_read(dev, uint8_t(o.target), o.addr, vals.data(), uint16_t(o.count)))
        throw ToolError("register read refused by the camera");
    if (o.json) {
        Json regs = Json::array();
        for (int i = 0; i < o.count; ++i)
            regs.push_back({{"addr", o.addr + uint32_t(i)}, {"value", vals[size_t(i)]}});
        print_json({{"target", o.target}, {"registers", regs}});
        return 0;
    }
    for (int i = 0; i < o.count; ++i)
        std::printf("0x%04x: 0x%08x\n", o.addr + uint32_t(i), vals[size_t(i)]);
    return 0;
}

int cmd_param(Session &s, const ParamOpts &o) {
    vizor_dev_t *dev = s.open();
    if (o.set) {
        vizor_param_item_t it{};
        it.param_id = o.ids.at(0);
        it.param_val_len = uint8_t(o.value.size());
        std::memcpy(it.param_val, o.value.data(), o.value.size());
        if (!vizor_param_batch_set(dev, &it, 1))
            throw ToolError("parameter set refused by the camera");
        std::printf("0x%02x: set %s\n", it.param_id,
                    hex_bytes(it.param_val, it.param_val_len).c_str());
        return 0;
    }
    std::vector<vizor_param_item_t> items(o.ids.size());
    for (size_t i = 0; i < items.size(); ++i) {
        items[i].param_id = o.ids[i];
        items[i].param_val_len = uint8_t(o.len);
    }
    if (!vizor_param_batch_get(dev, items.data(), int(items.size())))
        throw ToolError("parameter read refused by the camera");
    Json params = Json::array();
    for (const auto &it : items) {
        const size_t n =
            it.param_val_len > sizeof it.param_val ? sizeof it.param_val : it.param_val_len;
        std::string text;
        bool printable = n > 0;
        for (size_t i = 0; i < n; ++i) {
            const unsigned char c = it.param_val[i];
            if (c == 0 && i > 0) break;
            if (!std::isprint(c)) printable = false;
            text += char(c);
        }
        if (o.json) {
            params.push_back({{"id", it.param_id},
                              {"bytes", hex_bytes(it.param_val, n)},
                              {"text", printable ? Json(text) : Json(nullptr)}});
            continue;
        }
        std::printf("0x%02x: %s", it.param_id, hex_bytes(it.param_val, n).c_str());
        if (printable) std::printf("  \"%s\"", text.c_str());
        std::printf("\n");
    }
    if (o.json) print_json({{"parameters", params}});
    return 0;
}

// ---- the commands' options ---------------------------------------------------------

void add_device_commands(Commands &c) {
    auto list_json = std::make_shared<bool>(false), info_json = std::make_shared<bool>(false);
    auto *list = c.add("list", "List the cameras: bus, port, address, speed, product", false);
    list->add_flag("--json", *list_json, kJsonHelp);
    c.on_run(list, [list_json](Session &s, const Globals &) { return cmd_list(s, *list_json); });
    auto *info = c.add(
        "info",
        "Open a camera and print its USB location, device information, driver, frame geometry "
        "and lens parameters (EPC cameras: also the chip, modulation frequency, integration "
        "time and calibration state)",
        true);
    info->add_flag("--json", *info_json, kJsonHelp);
    c.on_run(info, [info_json](Session &s, const Globals &) { return cmd_info(s, *info_json); });
}

void add_register_commands(Commands &c) {
    // reg read|write
    struct RegArgs {
        RegOpts reg;
        std::string addr;
        std::vector<std::string> values;
    };
    auto r = std::make_shared<RegArgs>();
    RegOpts &reg = r->reg;
    auto *regc = c.add("reg", "Read or write chip registers (hexadecimal)", true);
    regc->require_subcommand(1);
    auto *reg_read = c.add("read", "Read COUNT registers from ADDR", true, regc);
    reg_read->add_option("ADDR", r->addr, "First register (hex)")
        ->type_name("HEX")
        ->required()
        ->check(kHex32);
    reg_read->add_flag("--json", reg.json, kJsonHelp);
    reg_read->add_option("-c,--count", reg.count, "Registers to read")
        ->check(whole(1, 4096))
        ->capture_default_str();
    reg_read->add_option("-t,--target", reg.target, "Register space (1: the sensor)")
        ->check(whole(0, 255))
        ->capture_default_str();
    auto *reg_write =
        c.add("write", "Write VALUE... to consecutive registers from ADDR", true, regc);
    reg_write->add_option("ADDR", r->addr, "First register (hex)")
        ->type_name("HEX")
        ->required()
        ->check(kHex32);
    reg_write->add_option("VALUES", r->values, "Values (hex)")
        ->type_name("HEX ...")
        ->required()
        ->check(kHex32);
    reg_write->add_option("-t,--target", reg.target, "Register space (1: the sensor)")
        ->check(whole(0, 255))
        ->capture_default_str();
    auto run_reg = [r](Session &s, const Globals &) { return cmd_reg(s, r->reg); };
    c.on_run(reg_read, run_reg, [r] {
        r->reg.addr = parse_hex_u32(r->addr).value_or(0);
        return std::string();
    });
    c.on_run(reg_write, run_reg, [r] {
        r->reg.addr = parse_hex_u32(r->addr).value_or(0);
        r->reg.write = true;
        if (r->values.size() > 4096)
            return std::string("at most 4096 values per write (see vizor reg write --help)");
        for (const auto &v : r->values) r->reg.values.push_back(*parse_hex_u32(v));
        return std::string();
    });

    // param get|set
    struct ParamArgs {
        ParamOpts param;
        std::vector<std::string> ids;
        std::string id;
        std::vector<std::string> bytes;
    };
    auto p = std::make_shared<ParamArgs>();
    ParamOpts &param = p->param;
    auto *paramc = c.add("param", "Read or set device parameters (hexadecimal)", true);
    paramc->require_subcommand(1);
    auto *param_get = c.add("get", "Read parameters ID...", true, paramc);
    param_get->add_option("IDS", p->ids, "Parameter ids (hex byte)")
        ->type_name("HEX ...")
        ->required()
        ->check(kHexByte);
    param_get->add_flag("--json", param.json, kJsonHelp);
    param_get->add_option("-l,--len", param.len, "Length byte of the request")
        ->check(whole(0, 18))
        ->capture_default_str();
    auto *param_set = c.add("set", "Set parameter ID to BYTES (at most 18)", true, paramc);
    param_set->add_option("ID", p->id, "Parameter id (hex byte)")
        ->type_name("HEX")
        ->required()
        ->check(kHexByte);
    param_set->add_option("BYTES", p->bytes, "Value bytes (hex: e8 03, e803 or e8:03)")
        ->type_name("HEX ...")
        ->required()
        ->check(kHexBytes);
    auto run_param = [p](Session &s, const Globals &) { return cmd_param(s, p->param); };
    c.on_run(param_get, run_param, [p] {
        if (p->ids.size() > 64)
            return std::string("at most 64 parameters per read (see vizor param get --help)");
        for (const auto &id : p->ids) p->param.ids.push_back(*parse_hex_u32(id));
        return std::string();
    });
    c.on_run(param_set, run_param, [p] {
        p->param.set = true;
        p->param.ids = {*parse_hex_u32(p->id)};
        p->param.value = *parse_hex_bytes(p->bytes);
        if (p->param.value.empty() || p->param.value.size() > 18)
            return std::string("a parameter value has 1 to 18 bytes (see vizor param set --help)");
        return std::string();
    });
}

}  // namespace vztool
