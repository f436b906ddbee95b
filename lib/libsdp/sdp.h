/*
 * libsdp: client side of the host's local SDP control channel.
 *
 * A program that offers a Bluetooth service opens a local session with
 * sdp_open_local(), registers its service record with
 * sdp_register_service(), replaces the record's data with
 * sdp_change_service(), removes it with sdp_unregister_service() and
 * finally closes the session with sdp_close().
 *
 * The service operations return 0 on success and -1 on failure; the reason
 * of the last failure is kept in the session and read with sdp_error().
 * They never change errno.
 *
 * This header compiles as C (C99 and later) and as C++.
 */
#ifndef LIBSDP_SDP_H
#define LIBSDP_SDP_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define SDP_EXPORT __attribute__((visibility("default")))
#else
#define SDP_EXPORT
#endif

/*
 * C99 has no _Static_assert; GCC and clang accept it there as an extension,
 * and __extension__ keeps -pedantic quiet about that.
 */
#if defined(__cplusplus)
#define SDP_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define SDP_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define SDP_STATIC_ASSERT(cond, msg) __extension__ _Static_assert(cond, msg)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Bluetooth device address. Linux ships no Bluetooth header by default, so
 * the library carries its own: six bytes, sent on the wire in array order.
 */
struct bdaddr {
	uint8_t b[6];
};
typedef struct bdaddr bdaddr_t;
typedef struct bdaddr *bdaddr_p;

SDP_STATIC_ASSERT(sizeof(bdaddr_t) == 6, "bdaddr_t is six bytes");

/* PDU header, exactly as on the wire; tid and len are big-endian there. */
struct sdp_pdu {
	uint8_t pid;
	uint16_t tid;
	uint16_t len;
} __attribute__((packed));
typedef struct sdp_pdu sdp_pdu_t;
typedef struct sdp_pdu *sdp_pdu_p;

SDP_STATIC_ASSERT(sizeof(sdp_pdu_t) == 5, "sdp_pdu is 5 bytes");
SDP_STATIC_ASSERT(offsetof(sdp_pdu_t, pid) == 0, "pid at offset 0");
SDP_STATIC_ASSERT(offsetof(sdp_pdu_t, tid) == 1, "tid at offset 1");
SDP_STATIC_ASSERT(offsetof(sdp_pdu_t, len) == 3, "len at offset 3");

/* PDU ids of the local control channel. */
#define SDP_PDU_ERROR_RESPONSE			0x01
#define SDP_PDU_SERVICE_REGISTER_REQUEST	0x81
#define SDP_PDU_SERVICE_UNREGISTER_REQUEST	0x82
#define SDP_PDU_SERVICE_CHANGE_REQUEST		0x83

/* Largest request, header included, that the control channel carries. */
#define SDP_LOCAL_MAX_REQUEST	4096
/* Fixed bytes of each request: header plus the parameters before data. */
#define SDP_REGISTER_REQUEST_FIXED	13	/* header, uuid, bdaddr */
#define SDP_UNREGISTER_REQUEST_SIZE	9	/* header, handle */
#define SDP_CHANGE_REQUEST_FIXED	9	/* header, handle */
/* Responses: header plus error code, and the new handle for register. */
#define SDP_ERROR_RESPONSE_SIZE		7
#define SDP_REGISTER_RESPONSE_SIZE	11

/*
 * Control socket of the local SDP server (a SOCK_SEQPACKET UNIX socket).
 * sdp_open_local(NULL) connects here.
 */
#define SDP_LOCAL_PATH	"/run/sdp"

/*
 * Sessions live in a small static pool inside the library, so opening one
 * never touches the heap; SDP_MAX_SESSIONS may be open at the same time in
 * one process.
 */
#define SDP_MAX_SESSIONS	16

/*
 * Opens a local session to the SDP server listening on the UNIX socket at
 * `control` (NULL: SDP_LOCAL_PATH). The socket is close-on-exec. Returns the
 * session, or NULL with errno set: EMFILE when all SDP_MAX_SESSIONS are in
 * use, ENAMETOOLONG for a path that does not fit a UNIX socket address, or
 * the errno of the failed socket or connect call.
 */
SDP_EXPORT void *sdp_open_local(const char *control);

/*
 * Closes the session's socket and gives its slot back. Returns 0, or -1
 * with errno set: EINVAL for NULL or a pointer that is no open session, or
 * the errno of close (the slot is given back all the same).
 */
SDP_EXPORT int32_t sdp_close(void *xss);

/* Error code (an errno value) of the session's last failure, 0 if none;
 * EINVAL for NULL. */
SDP_EXPORT int32_t sdp_error(void *xss);

/*
 * Registers a service record with the local server: `uuid`, the device
 * address and `datalen` (1 to 4083) bytes of service data, passed through
 * unread. On success stores the new record's handle in *handle unless
 * `handle` is NULL. Errors kept in the session: EINVAL (bad argument or not
 * a local session), EMSGSIZE (request over 4096 bytes), EIO (bad response or
 * a failure reported by the server), or the errno of writev/read.
 */
SDP_EXPORT int32_t sdp_register_service(void *xss, uint16_t uuid,
    const bdaddr_p bdaddr, const uint8_t *data, uint32_t datalen,
    uint32_t *handle);

/* Removes the record `handle`. Errors as for sdp_register_service. */
SDP_EXPORT int32_t sdp_unregister_service(void *xss, uint32_t handle);

/* Replaces the data of record `handle` with `datalen` (1 to 4087) bytes.
 * Errors as for sdp_register_service. */
SDP_EXPORT int32_t sdp_change_service(void *xss, uint32_t handle,
    const uint8_t *data, uint32_t datalen);

#ifdef __cplusplus
}
#endif

#endif /* LIBSDP_SDP_H */
