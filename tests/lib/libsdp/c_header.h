/* Helpers compiled as C to compare the header's view from both languages. */
#ifndef LIBSDP_TEST_C_HEADER_H
#define LIBSDP_TEST_C_HEADER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

size_t sdp_c_pdu_layout(size_t *tid_offset, size_t *len_offset);
size_t sdp_c_bdaddr_size(void);
int32_t sdp_c_calls_without_session(void);

#ifdef __cplusplus
}
#endif

#endif
