/* The public header used from C: built as C99 with -pedantic. */
#include <stddef.h>

#include "sdp.h"
#include "c_header.h"

size_t
sdp_c_pdu_layout(size_t *tid_offset, size_t *len_offset)
{
	*tid_offset = offsetof(sdp_pdu_t, tid);
	*len_offset = offsetof(sdp_pdu_t, len);
	return sizeof(sdp_pdu_t);
}

size_t
sdp_c_bdaddr_size(void)
{
	bdaddr_t a = {{1, 2, 3, 4, 5, 6}};
	bdaddr_p p = &a;

	return sizeof(p->b);
}

int32_t
sdp_c_calls_without_session(void)
{
	bdaddr_t a = {{0}};
	uint8_t data = 1;
	uint32_t handle = 0;

	/* Each one must refuse: -1 three times sums to -3. */
	return sdp_register_service(NULL, 1, &a, &data, 1, &handle) +
	    sdp_change_service(NULL, 1, &data, 1) +
	    sdp_unregister_service(NULL, 1);
}
