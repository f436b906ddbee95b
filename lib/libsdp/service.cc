/*
 * Service registration on the local SDP control channel: register, change
 * and unregister a service record. Each call is one request written with a
 * single gathered write straight from the caller's buffers and one response
 * read into the session's buffer. Nothing is allocated or copied, errno is
 * left as the caller had it, and the only state is the session record.
 */
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <arpa/inet.h>
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <unistd.h>

#include "sdp-int.h"

/* Starts a request: advances the transaction id and fills the header. */
static void
sdp_begin_request(sdp_session_p ss, sdp_pdu_p pdu, uint8_t pid, uint32_t len)
{
	ss->tid = (uint16_t)(ss->tid + 1);
	pdu->pid = pid;
	pdu->tid = htons(ss->tid);
	pdu->len = htons((uint16_t)len);
}

/*
 * Writes the request whole. Should the socket take only part of it, the rest
 * follows, so the server is never left with half a request.
 */
static int32_t
sdp_send_request(sdp_session_p ss, struct iovec *iov, int iovcnt)
{
	int saved_errno = errno;

	while (iovcnt > 0) {
		ssize_t n = writev(ss->s, iov, iovcnt);

		if (n < 0) {
			if (errno == EINTR)
				continue;
			ss->error = errno;
			errno = saved_errno;
			return -1;
		}
		if (n == 0) {
			/* No progress on a non-empty request: do not spin. */
			ss->error = EIO;
			errno = saved_errno;
			return -1;
		}
		while (iovcnt > 0 && (size_t)n >= iov->iov_len) {
			n -= (ssize_t)iov->iov_len;
			iov++;
			iovcnt--;
		}
		if (iovcnt > 0) {
			iov->iov_base = (uint8_t *)iov->iov_base + n;
			iov->iov_len -= (size_t)n;
		}
	}
	errno = saved_errno;
	return 0;
}

/*
 * Reads one response and accepts it only when it is a well-formed success
 * answer to the request just sent. Returns the number of bytes received, or
 * -1 with the session's error set.
 */
static int32_t
sdp_receive_error_pdu(sdp_session_p ss)
{
	int saved_errno = errno;
	ssize_t n;

	/*
	 * The read is a recv with MSG_TRUNC: a plain read drops the tail of an
	 * over-long message unseen, so a response whose length field happened
	 * to match the buffer's size would pass the length test. With the
	 * message's true size in n it fails, as any response run together
	 * with more bytes does.
	 */
	do {
		n = recv(ss->s, ss->rsp, (size_t)(ss->rsp_e - ss->rsp),
		    MSG_TRUNC);
	} while (n < 0 && errno == EINTR);
	if (n < 0) {
		ss->error = errno;
		errno = saved_errno;
		return -1;
	}
	errno = saved_errno;

	/*
	 * Too short to hold a header and an error code. Checked first so that
	 * no byte beyond those received (a previous response, say) is read.
	 * Only bytes 0-10 are ever looked at, and the buffer holds at least
	 * 11, so a response longer than the buffer is still read safely.
	 */
	if (n < SDP_ERROR_RESPONSE_SIZE) {
		ss->error = EIO;
		return -1;
	}

	const sdp_pdu_t *pdu = (const sdp_pdu_t *)ss->rsp;
	uint16_t len = ntohs(pdu->len);
	uint16_t code = (uint16_t)((ss->rsp[5] << 8) | ss->rsp[6]);

	if (pdu->pid != SDP_PDU_ERROR_RESPONSE || ntohs(pdu->tid) != ss->tid ||
	    len < 2 || n - (ssize_t)sizeof(sdp_pdu_t) != (ssize_t)len ||
	    code != 0) {
		ss->error = EIO;
		return -1;
	}
	return (int32_t)n;
}

extern "C" SDP_EXPORT int32_t
sdp_register_service(void *xss, uint16_t uuid, const bdaddr_p bdaddr,
    const uint8_t *data, uint32_t datalen, uint32_t *handle)
{
	sdp_session_p ss = (sdp_session_p)xss;

	if (ss == NULL)
		return -1;
	if (bdaddr == NULL || data == NULL || datalen == 0 ||
	    !(ss->flags & SDP_SESSION_LOCAL)) {
		ss->error = EINVAL;
		return -1;
	}
	if (datalen > SDP_LOCAL_MAX_REQUEST - SDP_REGISTER_REQUEST_FIXED) {
		ss->error = EMSGSIZE;
		return -1;
	}

	sdp_pdu_t pdu;
	uint16_t uuid_be = htons(uuid);
	struct iovec iov[4];

	sdp_begin_request(ss, &pdu, SDP_PDU_SERVICE_REGISTER_REQUEST,
	    SDP_REGISTER_REQUEST_FIXED - sizeof(pdu) + datalen);
	iov[0].iov_base = &pdu;
	iov[0].iov_len = sizeof(pdu);
	iov[1].iov_base = &uuid_be;
	iov[1].iov_len = sizeof(uuid_be);
	iov[2].iov_base = bdaddr->b;
	iov[2].iov_len = sizeof(bdaddr->b);
	iov[3].iov_base = (void *)data;
	iov[3].iov_len = datalen;

	if (sdp_send_request(ss, iov, 4) < 0)
		return -1;

	int32_t n = sdp_receive_error_pdu(ss);

	if (n < 0)
		return -1;
	if (n != SDP_REGISTER_RESPONSE_SIZE) {
		ss->error = EIO;
		return -1;
	}
	if (handle != NULL)
		*handle = ((uint32_t)ss->rsp[7] << 24) |
		    ((uint32_t)ss->rsp[8] << 16) |
		    ((uint32_t)ss->rsp[9] << 8) | (uint32_t)ss->rsp[10];
	return 0;
}

extern "C" SDP_EXPORT int32_t
sdp_unregister_service(void *xss, uint32_t handle)
{
	sdp_session_p ss = (sdp_session_p)xss;

	if (ss == NULL)
		return -1;
	if (!(ss->flags & SDP_SESSION_LOCAL)) {
		ss->error = EINVAL;
		return -1;
	}

	sdp_pdu_t pdu;
	uint32_t handle_be = htonl(handle);
	struct iovec iov[2];

	sdp_begin_request(ss, &pdu, SDP_PDU_SERVICE_UNREGISTER_REQUEST,
	    SDP_UNREGISTER_REQUEST_SIZE - sizeof(pdu));
	iov[0].iov_base = &pdu;
	iov[0].iov_len = sizeof(pdu);
	iov[1].iov_base = &handle_be;
	iov[1].iov_len = sizeof(handle_be);

	if (sdp_send_request(ss, iov, 2) < 0)
		return -1;
	if (sdp_receive_error_pdu(ss) < 0)
		return -1;
	return 0;
}

extern "C" SDP_EXPORT int32_t
sdp_change_service(void *xss, uint32_t handle, const uint8_t *data,
    uint32_t datalen)
{
	sdp_session_p ss = (sdp_session_p)xss;

	if (ss == NULL)
		return -1;
	if (data == NULL || datalen == 0 || !(ss->flags & SDP_SESSION_LOCAL)) {
		ss->error = EINVAL;
		return -1;
	}
	if (datalen > SDP_LOCAL_MAX_REQUEST - SDP_CHANGE_REQUEST_FIXED) {
		ss->error = EMSGSIZE;
		return -1;
	}

	sdp_pdu_t pdu;
	uint32_t handle_be = htonl(handle);
	struct iovec iov[3];

	sdp_begin_request(ss, &pdu, SDP_PDU_SERVICE_CHANGE_REQUEST,
	    SDP_CHANGE_REQUEST_FIXED - sizeof(pdu) + datalen);
	iov[0].iov_base = &pdu;
	iov[0].iov_len = sizeof(pdu);
	iov[1].iov_base = &handle_be;
	iov[1].iov_len = sizeof(handle_be);
	iov[2].iov_base = (void *)data;
	iov[2].iov_len = datalen;

	if (sdp_send_request(ss, iov, 3) < 0)
		return -1;
	if (sdp_receive_error_pdu(ss) < 0)
		return -1;
	return 0;
}
