// The public records keep their fixed layouts, identically in C and C++.
#include <gtest/gtest.h>

#include <cstddef>

#include "vizor/cmap.h"
#include "vizor/vizor.h"

extern "C" size_t abi_c_layout(int i);

#define AT(type, field, off) static_assert(offsetof(type, field) == (off), #type "." #field)

static_assert(sizeof(vizor_dev_t) == 200);
AT(vizor_dev_t, ll, 0);
AT(vizor_dev_t, usb_bus_num, 8);
AT(vizor_dev_t, usb_port_num, 9);
AT(vizor_dev_t, usb_addr, 10);
AT(vizor_dev_t, usb_speed, 11);
AT(vizor_dev_t, product, 12);
AT(vizor_dev_t, dev_info_str, 44);
AT(vizor_dev_t, dev_info_blob, 76);
AT(vizor_dev_t, dev_info_ext, 108);
AT(vizor_dev_t, cfg_path, 120);
AT(vizor_dev_t, calib_names, 128);
AT(vizor_dev_t, usb_loc_valid, 192);
AT(vizor_dev_t, free_on_close, 193);
AT(vizor_dev_t, api_busy, 194);

static_assert(sizeof(vizor_calib_names_t) == 32);
AT(vizor_calib_names_t, rsvd, 0);
AT(vizor_calib_names_t, dist_img_name, 16);
AT(vizor_calib_names_t, param_name, 24);

static_assert(sizeof(vizor_frame_info_t) == 20);
AT(vizor_frame_info_t, frame_size, 0);
AT(vizor_frame_info_t, frame_format, 4);
AT(vizor_frame_info_t, frame_idx, 6);
AT(vizor_frame_info_t, width, 8);
AT(vizor_frame_info_t, height, 12);
AT(vizor_frame_info_t, pixel_depth, 16);
AT(vizor_frame_info_t, rsvd0, 17);
AT(vizor_frame_info_t, rsvd1, 18);

static_assert(sizeof(vizor_frame_t) == 32);
AT(vizor_frame_t, frame_info, 0);
AT(vizor_frame_t, frame_fbuf, 24);

static_assert(sizeof(vizor_param_item_t) == 24);
AT(vizor_param_item_t, param_id, 0);
AT(vizor_param_item_t, param_val_len, 4);
AT(vizor_param_item_t, param_val, 5);

static_assert(sizeof(vizor_camera_param_t) == 20);
AT(vizor_camera_param_t, cx, 0);
AT(vizor_camera_param_t, cy, 4);
AT(vizor_camera_param_t, fx, 8);
AT(vizor_camera_param_t, fy, 12);
AT(vizor_camera_param_t, dist_scale, 16);

static_assert(sizeof(vz_cmap_t) == 32);
AT(vz_cmap_t, size, 0);
AT(vz_cmap_t, range_min, 4);
AT(vz_cmap_t, range_max, 8);
AT(vz_cmap_t, scale, 12);
AT(vz_cmap_t, gray_scale, 16);
AT(vz_cmap_t, palette, 24);

static_assert(VIZOR_ERR_CAP_FRAME_DISCARD == 3 && VIZOR_ERR_CAP_TIMEOUT == -5 &&
              VIZOR_ERR_CAP_STALL == -7 && VIZOR_ERR_CAP_ERROR == -8 &&
              VIZOR_ERR_CAP_UNKNOWN == -10);

TEST(AbiLayout, CAndCppAgree) {
    const size_t cpp[] = {
        sizeof(vizor_dev_t),
        offsetof(vizor_dev_t, product),
        offsetof(vizor_dev_t, cfg_path),
        offsetof(vizor_dev_t, calib_names),
        offsetof(vizor_dev_t, api_busy),
        sizeof(vizor_calib_names_t),
        sizeof(vizor_frame_info_t),
        sizeof(vizor_frame_t),
        sizeof(vizor_param_item_t),
        sizeof(vizor_camera_param_t),
        sizeof(vz_cmap_t),
        offsetof(vz_cmap_t, palette),
    };
    for (int i = 0; i < int(std::size(cpp)); ++i)
        EXPECT_EQ(abi_c_layout(i), cpp[i]) << "entry " << i;
}
