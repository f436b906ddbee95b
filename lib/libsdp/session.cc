/*
 * Opening and closing local sessions. Sessions come from a fixed static
 * pool so that the library never touches the heap; a slot is claimed and
 * given back atomically, so threads may open and close sessions at once.
 */
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include "sdp-int.h"

static sdp_session_t sdp_sessions[SDP_MAX_SESSIONS];
static uint8_t sdp_session_rsp[SDP_MAX_SESSIONS][SDP_SESSION_RSP_SIZE];
static int sdp_session_used[SDP_MAX_SESSIONS];

static int
sdp_session_slot(void *xss)
{
	for (int i = 0; i < SDP_MAX_SESSIONS; i++)
		if (xss == &sdp_sessions[i])
			return i;
	return -1;
}

static int
sdp_connect_local(const char *control)
{
	struct sockaddr_un sun;
	size_t len = strlen(control);

	if (len >= sizeof(sun.sun_path)) {
		errno = ENAMETOOLONG;
		return -1;
	}
	memset(&sun, 0, sizeof(sun));
	sun.sun_family = AF_UNIX;
	memcpy(sun.sun_path, control, len);

	/* SEQPACKET keeps message boundaries: a request arrives whole and a
	 * response comes back whole in one read. */
	int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);

	if (s < 0)
		return -1;
	for (int interrupted = 0;;) {
		if (connect(s, (struct sockaddr *)&sun, sizeof(sun)) == 0)
			break;
		if (errno == EINTR) {
			interrupted = 1;
			continue;
		}
		/* The interrupted attempt went on and completed meanwhile. */
		if (interrupted && errno == EISCONN)
			break;

		int saved_errno = errno;

		close(s);
		errno = saved_errno;
		return -1;
	}
	return s;
}

extern "C" SDP_EXPORT void *
sdp_open_local(const char *control)
{
	int slot = -1;

	for (int i = 0; i < SDP_MAX_SESSIONS; i++) {
		int expected = 0;

		if (__atomic_compare_exchange_n(&sdp_session_used[i], &expected,
		    1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
			slot = i;
			break;
		}
	}
	if (slot < 0) {
		errno = EMFILE;
		return NULL;
	}

	int s = sdp_connect_local(control != NULL ? control : SDP_LOCAL_PATH);

	if (s < 0) {
		__atomic_store_n(&sdp_session_used[slot], 0, __ATOMIC_RELEASE);
		return NULL;
	}

	sdp_session_p ss = &sdp_sessions[slot];

	memset(ss, 0, sizeof(*ss));
	ss->flags = SDP_SESSION_LOCAL;
	ss->rsp = sdp_session_rsp[slot];
	ss->rsp_e = sdp_session_rsp[slot] + SDP_SESSION_RSP_SIZE;
	ss->s = s;
	return ss;
}

extern "C" SDP_EXPORT int32_t
sdp_close(void *xss)
{
	int slot = sdp_session_slot(xss);

	if (slot < 0 || !__atomic_load_n(&sdp_session_used[slot],
	    __ATOMIC_ACQUIRE)) {
		errno = EINVAL;
		return -1;
	}

	sdp_session_p ss = &sdp_sessions[slot];
	/* Linux releases the descriptor even when close fails: no retry. */
	int r = close(ss->s);
	int saved_errno = errno;

	memset(ss, 0, sizeof(*ss));
	ss->s = -1;
	__atomic_store_n(&sdp_session_used[slot], 0, __ATOMIC_RELEASE);
	errno = saved_errno;
	return r < 0 ? -1 : 0;
}

extern "C" SDP_EXPORT int32_t
sdp_error(void *xss)
{
	if (xss == NULL)
		return EINVAL;
	return ((sdp_session_p)xss)->error;
}
