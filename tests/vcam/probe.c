/* A plain libusb-1.0 program that knows nothing of the virtual camera: it
 * lists the cameras, opens the first, checks the status reply and reads one
 * frame. Run by vizor-vcam-run, it shows an application working on virtual
 * cameras in another process. Exit status 0 when it saw the expected number
 * of cameras (argv[1]) and a complete frame. */
#include <libusb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    int want = argc > 1 ? atoi(argv[1]) : 1;
    libusb_context *ctx = NULL;
    if (libusb_init(&ctx) != 0) return 10;
    libusb_device **list = NULL;
    ssize_t n = libusb_get_device_list(ctx, &list);
    int found = 0;
    libusb_device *first = NULL;
    for (ssize_t i = 0; i < n; ++i) {
        struct libusb_device_descriptor dd;
        if (libusb_get_device_descriptor(list[i], &dd) != 0) continue;
        if (dd.idVendor == VIZOR_USB_VID && dd.idProduct == VIZOR_USB_PID) {
            ++found;
            if (!first) first = list[i];
            printf("camera at %d-%d\n", libusb_get_bus_number(list[i]),
                   libusb_get_port_number(list[i]));
        }
    }
    int rc = found == want ? 0 : 11;
    libusb_device_handle *h = NULL;
    if (rc == 0 && (libusb_open(first, &h) != 0 || libusb_claim_interface(h, 0) != 0)) rc = 12;
    libusb_free_device_list(list, 1);
    if (rc == 0) {
        unsigned char st[63];
        unsigned char count[4] = {1, 0, 0, 0};
        if (libusb_control_transfer(h, 0x22, 0xC2, 4, 0, count, 4, 1000) != 4) rc = 13;
        if (rc == 0 && (libusb_control_transfer(h, 0xA2, 0xB0, 0, 0, st, 63, 1000) != 63 ||
                        st[0] != 0 || st[1] != 0xC2))
            rc = 14;
        static unsigned char buf[131072];
        int total = 0, got = 0;
        while (rc == 0 && total < 36 + 320 * 240 * 4) {
            if (libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &got, 2000) != 0) rc = 15;
            total += got;
        }
        if (rc == 0) printf("frame of %d bytes\n", total - 36);
        libusb_release_interface(h, 0);
        libusb_close(h);
    }
    libusb_exit(ctx);
    return rc;
}
