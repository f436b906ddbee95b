// Feeds arbitrary responses through a session to each operation. The peer
// is the other end of a SEQPACKET socketpair: the response is queued before
// the call, so the library's write and read never wait and no thread runs.
//
// Input: byte 0 picks the operation (bits 0-1) and whether the session's
// tid is set so the response's tid matches (bit 2); the rest is the
// response, sent as one message.
#include <sys/socket.h>

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "sdp-int.h"

namespace {

int peer[2] = {-1, -1};
uint8_t rsp_buf[SDP_SESSION_RSP_SIZE];
uint8_t request[8192];

void
check(bool ok)
{
	if (!ok)
		abort();
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *in, size_t size)
{
	if (size < 1 || size > 4096)
		return 0;
	if (peer[0] < 0)
		check(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0,
		    peer) == 0);

	uint8_t sel = in[0];
	const uint8_t *r = in + 1;
	size_t rlen = size - 1;
	sdp_session_t ss;

	memset(&ss, 0, sizeof(ss));
	ss.flags = SDP_SESSION_LOCAL;
	ss.rsp = rsp_buf;
	ss.rsp_e = rsp_buf + sizeof(rsp_buf);
	ss.s = peer[0];
	ss.tid = 0x4242;
	if ((sel & 4) && rlen >= 3)
		ss.tid = (uint16_t)(((r[1] << 8) | r[2]) - 1);
	uint16_t sent_tid = (uint16_t)(ss.tid + 1);

	check(send(peer[1], r, rlen, MSG_DONTWAIT) == (ssize_t)rlen);

	static const uint8_t data[] = {1, 2, 3};
	bdaddr_t addr = {{1, 2, 3, 4, 5, 6}};
	uint32_t handle = 0xdeadbeef;
	int32_t ret;
	uint8_t pid;

	errno = EDOM;
	switch (sel & 3) {
	case 0:
	case 3:
		ret = sdp_register_service(&ss, 0x1101, &addr, data,
		    sizeof(data), &handle);
		pid = SDP_PDU_SERVICE_REGISTER_REQUEST;
		break;
	case 1:
		ret = sdp_change_service(&ss, 0x12345, data, sizeof(data));
		pid = SDP_PDU_SERVICE_CHANGE_REQUEST;
		break;
	default:
		ret = sdp_unregister_service(&ss, 0x12345);
		pid = SDP_PDU_SERVICE_UNREGISTER_REQUEST;
		break;
	}
	check(errno == EDOM);
	check(ss.tid == sent_tid);

	// The request went out whole, and the response was consumed.
	ssize_t n = recv(peer[1], request, sizeof(request), MSG_DONTWAIT);
	check(n > 5 && request[0] == pid);
	check(((request[1] << 8) | request[2]) == sent_tid);
	check(((request[3] << 8) | request[4]) == n - 5);
	uint8_t c;
	check(recv(peer[0], &c, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN);

	// Success only for a well-formed zero-code answer to this request.
	bool good = rlen >= 7 && r[0] == SDP_PDU_ERROR_RESPONSE &&
	    ((r[1] << 8) | r[2]) == sent_tid &&
	    ((r[3] << 8) | r[4]) >= 2 &&
	    (size_t)((r[3] << 8) | r[4]) == rlen - 5 && r[5] == 0 && r[6] == 0;
	if (pid == SDP_PDU_SERVICE_REGISTER_REQUEST)
		good = good && rlen == SDP_REGISTER_RESPONSE_SIZE;
	if (good) {
		check(ret == 0);
		if (pid == SDP_PDU_SERVICE_REGISTER_REQUEST)
			check(handle == ((uint32_t)r[7] << 24 |
			    (uint32_t)r[8] << 16 | (uint32_t)r[9] << 8 | r[10]));
	} else {
		check(ret == -1 && ss.error == EIO);
		check(handle == 0xdeadbeef);
	}
	return 0;
}
