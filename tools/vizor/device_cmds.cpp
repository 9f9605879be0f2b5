// list, info, reg and param.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "app.h"
#include "vizor/drv.h"
#include "vizor/lens.h"

namespace vztool {

namespace {

std::string speed_text(uint8_t code) {
  // libusb speed codes
  switch (code) {
    case 1: return "1.5 Mbit/s";
    case 2: return "12 Mbit/s";
    case 3: return "480 Mbit/s";
    case 4: return "5 Gbit/s";
    case 5: return "10 Gbit/s";
    default: return "unknown";
  }
}

std::string hex_bytes(const uint8_t* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
    s += b;
  }
  return s;
}

// Text of a fixed-size, NUL-padded field.
std::string field_text(const char* p, size_t cap) { return std::string(p, strnlen(p, cap)); }

}  // namespace

int cmd_list(Session& s) {
  auto devs = s.list();
  // Without a camera list fails as info does: scripts see the same status.
  if (devs.empty()) throw ToolError(kNoCamera);
  std::printf("%-3s %-4s %-4s %-5s %-11s %s\n", "#", "bus", "port", "addr", "speed", "product");
  for (size_t i = 0; i < devs.size(); ++i) {
    vizor_dev_t rec = devs[i];
    std::string product = "(cannot open: in use or no permission)";
    if (vizor_dev_t* d = vizor_dev_open(&rec)) {
      product = field_text(d->product, sizeof d->product);
      vizor_dev_close(d);
    }
    std::printf("%-3zu %-4u %-4u %-5u %-11s %s\n", i, unsigned(devs[i].usb_bus_num),
                unsigned(devs[i].usb_port_num), unsigned(devs[i].usb_addr),
                speed_text(devs[i].usb_speed).c_str(), product.c_str());
  }
  return 0;
}

int cmd_info(Session& s) {
  vizor_dev_t* dev = s.open();
  std::printf("usb:      bus %u, port %u, address %u, %s\n", unsigned(dev->usb_bus_num),
              unsigned(dev->usb_port_num), unsigned(dev->usb_addr),
              speed_text(dev->usb_speed).c_str());
  std::printf("product:  %s\n", field_text(dev->product, sizeof dev->product).c_str());
  std::printf("info:     %s\n", field_text(dev->dev_info_str, sizeof dev->dev_info_str).c_str());
  std::printf("blob:     %s\n", hex_bytes(dev->dev_info_blob, sizeof dev->dev_info_blob).c_str());
  std::printf("ext:      %s\n", hex_bytes(dev->dev_info_ext, sizeof dev->dev_info_ext).c_str());
  const vizor_drv_t* drv = vizor_dev_get_drv(dev);
  std::printf("driver:   %s (%s)\n", drv && drv->name ? drv->name : "?",
              drv && drv->desc ? drv->desc : "");

  // The frame geometry is what the driver makes of a real frame.
  std::vector<uint8_t> raw(6220800);
  vizor_frame_info_t fi{};
  if (!vizor_cap_snapshot(dev, raw.data(), uint32_t(raw.size()), &fi)) {
    std::printf("frame:    none (the camera delivered no frame)\n");
    throw ToolError("the camera delivered no frame");
  }
  std::printf("frame:    %u x %u, %u bytes per pixel, %u bytes, format %u\n", fi.width, fi.height,
              unsigned(fi.pixel_depth), fi.frame_size, unsigned(fi.frame_format));
  vz_lens_param_t lens{};
  if (drv && drv->ops && drv->ops->lens_param_get &&
      drv->ops->lens_param_get(const_cast<vizor_drv_t*>(drv), &lens, int(fi.width), int(fi.height))) {
    std::printf("lens:     cx %.4f, cy %.4f, fx %.4f, fy %.4f (for %d x %d)\n", lens.cx, lens.cy,
                lens.fx, lens.fy, lens.width, lens.height);
    std::printf("          k1 %.6g, k2 %.6g, p1 %.6g, p2 %.6g, k3 %.6g\n", lens.dist_coeff[0],
                lens.dist_coeff[1], lens.dist_coeff[2], lens.dist_coeff[3], lens.dist_coeff[4]);
  } else {
    const Intrinsics k = default_intrinsics(int(fi.width), int(fi.height));
    std::printf("lens:     none in the driver; point clouds use cx %.1f, cy %.1f, fx %.1f, fy %.1f\n",
                double(k.cx), double(k.cy), double(k.fx), double(k.fy));
  }
  return 0;
}

int cmd_reg(Session& s, const RegOpts& o) {
  vizor_dev_t* dev = s.open();
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
  for (int i = 0; i < o.count; ++i) std::printf("0x%04x: 0x%08x\n", o.addr + uint32_t(i), vals[size_t(i)]);
  return 0;
}

int cmd_param(Session& s, const ParamOpts& o) {
  vizor_dev_t* dev = s.open();
  if (o.set) {
    vizor_param_item_t it{};
    it.param_id = o.ids.at(0);
    it.param_val_len = uint8_t(o.value.size());
    std::memcpy(it.param_val, o.value.data(), o.value.size());
    if (!vizor_param_batch_set(dev, &it, 1)) throw ToolError("parameter set refused by the camera");
    std::printf("0x%02x: set %s\n", it.param_id, hex_bytes(it.param_val, it.param_val_len).c_str());
    return 0;
  }
  std::vector<vizor_param_item_t> items(o.ids.size());
  for (size_t i = 0; i < items.size(); ++i) {
    items[i].param_id = o.ids[i];
    items[i].param_val_len = uint8_t(o.len);
  }
  if (!vizor_param_batch_get(dev, items.data(), int(items.size())))
    throw ToolError("parameter read refused by the camera");
  for (const auto& it : items) {
    const size_t n = it.param_val_len > sizeof it.param_val ? sizeof it.param_val : it.param_val_len;
    std::string text;
    bool printable = n > 0;
    for (size_t i = 0; i < n; ++i) {
      const unsigned char c = it.param_val[i];
      if (c == 0 && i > 0) break;
      if (!std::isprint(c)) printable = false;
      text += char(c);
    }
    std::printf("0x%02x: %s", it.param_id, hex_bytes(it.param_val, n).c_str());
    if (printable) std::printf("  \"%s\"", text.c_str());
    std::printf("\n");
  }
  return 0;
}

}  // namespace vztool
