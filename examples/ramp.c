/* Colours a synthetic distance ramp (0.2 m to 5 m, left to right) with the
 * library colour map and writes it as a binary PPM: a first look at the
 * library without a camera. Usage: vizor_ramp [out.ppm] */
#include <stdio.h>
#include <stdlib.h>

#include "vizor/vizor.h"

enum { W = 320, H = 240 };

int main(int argc, char **argv) {
    const char *out = argc > 1 ? argv[1] : "ramp.ppm";
    static float dist[W * H];
    static unsigned char rgb[W * H * 3];
    vizor_init("vizor_ramp.log");
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) dist[y * W + x] = 0.2f + 4.8f * (float)x / (W - 1);
    int n = vizor_cmap_float(rgb, (int)sizeof rgb, dist, W * H, VIZOR_CMAP_FMT_RGB, 0.2f, 5.0f);
    FILE *f = fopen(out, "wb");
    if (!f || n != W * H) {
        fprintf(stderr, "vizor_ramp: cannot write %s\n", out);
        vizor_uninit();
        return 1;
    }
    fprintf(f, "P6\n%d %d\n255\n", W, H);
    fwrite(rgb, 3, (size_t)n, f);
    fclose(f);
    printf("vizor_ramp: %d pixels coloured into %s\n", n, out);
    vizor_uninit();
    return 0;
}
