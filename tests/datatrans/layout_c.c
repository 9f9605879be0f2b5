/* Sizes and offsets of the data-transfer records as a C compiler lays them
 * out; the C++ test compares them with the fixed layout. */
#include <stddef.h>

#include "vizor/datatrans.h"

size_t dt_c_layout(int i);

size_t dt_c_layout(int i) {
    const size_t v[] = {
        sizeof(al_data_info_t),
        offsetof(al_data_info_t, version),
        offsetof(al_data_info_t, size),
        offsetof(al_data_info_t, addr),
        sizeof(al_write_info_t),
        offsetof(al_write_info_t, size),
        sizeof(al_erase_info_t),
        offsetof(al_erase_info_t, size),
        offsetof(al_erase_info_t, chunk_size),
        offsetof(al_erase_info_t, rsvd),
        sizeof(al_ack_t),
        offsetof(al_ack_t, status),
        sizeof(al_chunk_hdr_t),
        offsetof(al_chunk_hdr_t, len),
        sizeof(al_payload_req_t),
        offsetof(al_payload_req_t, len),
    };
    return i >= 0 && (size_t)i < sizeof v / sizeof v[0] ? v[i] : (size_t)-1;
}
