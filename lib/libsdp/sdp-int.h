/*
 * libsdp internals: the session record behind the untyped session pointers
 * of the public interface. Not installed.
 */
#ifndef LIBSDP_SDP_INT_H
#define LIBSDP_SDP_INT_H

#include <stdint.h>

#include "sdp.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Session flag: connected to the host's own SDP server. */
#define SDP_SESSION_LOCAL	0x0001

/* The longest response that is accepted is SDP_REGISTER_RESPONSE_SIZE; the
 * rest of the buffer lets over-long responses be seen as such. */
#define SDP_SESSION_RSP_SIZE	64

struct sdp_session {
	uint16_t flags;
	uint16_t tid;		/* of the last request sent */
	uint16_t omtu;
	uint16_t imtu;
	uint8_t *req;
	uint8_t *req_e;
	uint8_t *rsp;		/* response buffer */
	uint8_t *rsp_e;		/* one past its last byte */
	uint32_t cslen;
	uint8_t cs[16];
	int32_t s;		/* socket to the server */
	int32_t error;		/* errno value of the last failure */
};
typedef struct sdp_session sdp_session_t;
typedef struct sdp_session *sdp_session_p;

#ifdef __cplusplus
}
#endif

#endif /* LIBSDP_SDP_INT_H */
