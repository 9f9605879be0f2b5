/* Opens the first camera, captures one frame and prints the distance at the
 * image centre and the number of points of its point cloud.
 * Usage: vizor_consumer */
#include <stdio.h>
#include <stdlib.h>

#include <vizor/vizor.h>

#define MAX_FRAME_BYTES 6220800u /* the largest frame the library hands out */

int main(void) {
    vizor_dev_t cams[8];
    vizor_frame_info_t info;
    int status = 1;

    vizor_init(NULL); /* log file vizor_YYYYMMDD.log in the working directory */
    int n = vizor_dev_list(cams, 8);
    if (n < 1) {
        fprintf(stderr, "no camera found\n");
        vizor_uninit();
        return 1;
    }
    vizor_dev_t *dev = vizor_dev_open(&cams[0]);
    if (!dev) {
        fprintf(stderr, "cannot open the camera at bus %u port %u\n", cams[0].usb_bus_num,
                cams[0].usb_port_num);
        vizor_uninit();
        return 1;
    }
    printf("camera %s at bus %u port %u\n", dev->product, dev->usb_bus_num, dev->usb_port_num);

    uint8_t *raw = malloc(MAX_FRAME_BYTES);
    float *dist = NULL, *points = NULL;
    if (raw && vizor_cap_snapshot(dev, raw, MAX_FRAME_BYTES, &info)) {
        int pixels = (int)(info.width * info.height);
        dist = malloc(sizeof(float) * (size_t)pixels);
        points = malloc(sizeof(float) * 3 * (size_t)pixels);
        if (dist && points &&
            vizor_frame_get_distance(dev, dist, pixels, raw, (int)info.frame_size, &info) ==
                pixels) {
            /* A pinhole camera for the point cloud (the driver's lens is used
             * instead when param is NULL and the driver has one). */
            vizor_camera_param_t cam = {(float)(info.width - 1) / 2, (float)(info.height - 1) / 2,
                                        211.0f, 211.0f, 1.0f};
            int np = vizor_frame_get_pcl(dev, points, 3 * pixels, dist, pixels, (int)info.width,
                                         (int)info.height, &cam);
            printf("frame %u: %u x %u, centre %.3f m, %d points\n", info.frame_idx, info.width,
                   info.height, dist[(info.height / 2) * info.width + info.width / 2], np);
            status = 0;
        } else {
            fprintf(stderr, "cannot decode the frame\n");
        }
    } else {
        fprintf(stderr, "no frame from the camera\n");
    }
    free(points);
    free(dist);
    free(raw);
    vizor_dev_close(dev);
    vizor_uninit();
    return status;
}
