/* Streams frames from the first camera through the frame-ready callback:
 * vizor_cap_wait delivers each frame to on_frame on this thread, which decodes
 * the distance at the image centre; after the wanted count it stops capture,
 * which ends the wait.
 * Usage: vizor_c_stream [frames]   (default 10) */
#include <stdio.h>
#include <stdlib.h>

#include <vizor/vizor.h>

static float g_dist[640 * 480]; /* decode target, reused for every frame */
static int g_wanted = 10;
static int g_frames;

static void on_frame(vizor_dev_t *dev, vizor_frame_t *frame) {
    const vizor_frame_info_t *fi = &frame->frame_info;
    int pixels = (int)(fi->width * fi->height);
    if (pixels > 0 && pixels <= (int)(sizeof g_dist / sizeof g_dist[0]) &&
        vizor_frame_get_distance(dev, g_dist, pixels, frame->frame_fbuf, (int)fi->frame_size, fi) ==
            pixels) {
        printf("frame %u: %u x %u, centre %.3f m\n", fi->frame_idx, fi->width, fi->height,
               g_dist[(fi->height / 2) * fi->width + fi->width / 2]);
    }
    if (++g_frames >= g_wanted) vizor_cap_stop(dev);
}

static bool on_error(vizor_dev_t *dev, int err, int arg) {
    (void)dev;
    fprintf(stderr, "capture error %s (%d)\n", vizor_error_name(err), arg);
    return err > 0; /* go on after discarded frames, stop on transfer faults */
}

int main(int argc, char **argv) {
    vizor_dev_t cams[4];
    if (argc > 1) g_wanted = atoi(argv[1]);
    vizor_init(NULL);
    if (vizor_dev_list(cams, 4) < 1) {
        fprintf(stderr, "no camera found\n");
        vizor_uninit();
        return 1;
    }
    vizor_dev_t *dev = vizor_dev_open(&cams[0]);
    if (!dev) {
        fprintf(stderr, "cannot open the camera\n");
        vizor_uninit();
        return 1;
    }
    int status = 1;
    if (vizor_cap_set_frame_buffer(dev, NULL, 4 * 307200) &&
        vizor_cap_set_callback_on_frame_ready(dev, on_frame) &&
        vizor_cap_set_callback_on_error(dev, on_error) && vizor_cap_start(dev)) {
        /* true once the callback stopped capture; false after 10 s without */
        if (vizor_cap_wait(dev, 10000) && g_frames >= g_wanted) status = 0;
        vizor_cap_stop(dev);
    }
    printf("%d frames\n", g_frames);
    vizor_dev_close(dev);
    vizor_uninit();
    return status;
}
