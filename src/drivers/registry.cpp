// The built-in driver table and the lookup by product string.
#include <stdio.h>
#include <string.h>

#include "base/firewall.h"
#include "drivers/registry.h"

namespace {

// Searched in this order; the first record whose name equals the product's
// middle field wins.
vizor_drv_t g_drivers[] = {
    {"TI OP8241 chip driver", "T0", &g_vizor_driver_op_ti, nullptr, nullptr},
    {"EPC chip driver", "E1", &g_vizor_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E2", &g_vizor_driver_op_epc, nullptr, nullptr},
};

}  // namespace

namespace vz::drv {

std::unique_ptr<vizor_drv_t> instantiate(const vizor_drv_t &proto) {
    auto copy = std::make_unique<vizor_drv_t>(proto);
    copy->dev = nullptr;
    copy->priv = nullptr;
    return copy;
}

}  // namespace vz::drv

extern "C" {

static vizor_drv_t *vizor_drv_find_body(vizor_dev_t *dev) {
    if (!dev) return nullptr;
    // The product field may lack a terminator: scan a terminated copy.
    char product[sizeof dev->product + 1];
    memcpy(product, dev->product, sizeof dev->product);
    product[sizeof dev->product] = '\0';

    char f1[17], f2[17], f3[17];
    if (sscanf(product, "%16[^-]-%16[^-]-%16[^-]", f1, f2, f3) != 3) return nullptr;
    for (vizor_drv_t &d : g_drivers) {
        if (strcmp(f2, d.name) != 0) continue;
        vz_dbg("[%s]  find driver for device %s : %s\n", "vizor_drv_find", product, d.desc);
        return &d;
    }
    return nullptr;
}

VZ_API vizor_drv_t *vizor_drv_find(vizor_dev_t *dev) noexcept {
    return vz::entry("vizor_drv_find", static_cast<vizor_drv_t *>(nullptr),
                     [&] { return vizor_drv_find_body(dev); });
}

}  // extern "C"
