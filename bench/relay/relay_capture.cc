/*
 * relay_capture SOCKET LINES LEN [IDLE_SECONDS]
 *
 * A minimal syslog receiver for the benchmark: binds a datagram socket at
 * SOCKET and checks that the messages, once their "<pri>timestamp tag: "
 * header is taken off, carry the generator's LINES lines of LEN bytes in
 * order.  A line may come as one message or as several consecutive pieces
 * (a relay with a bounded line buffer splits long lines); a trailing newline
 * in a message is not part of the line.  It ends when every line has come,
 * or when nothing has arrived for IDLE_SECONDS (default 10), and prints one
 * line of counts; the exit status is 0 only when all lines came unchanged.
 */
#include <err.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "lines.h"

enum { MSG_MAX = 256 * 1024, RCVBUF = 8 * 1024 * 1024 };

static char msg[MSG_MAX];
static char expect[LINE_MAX_LEN];

/* The payload of one syslog datagram, or NULL if it has no header. */
static const char *
payload(const char *m, size_t n, size_t *len)
{
	if (n == 0 || m[0] != '<')
		return NULL;
	const char *end = m + n;
	const char *gt = (const char *)memchr(m, '>', n);
	if (gt == NULL)
		return NULL;
	/* "Mmm dd hh:mm:ss tag[pid]: text": the timestamp has no ": ". */
	for (const char *p = gt + 1; p + 1 < end; p++) {
		if (p[0] == ':' && p[1] == ' ') {
			*len = (size_t)(end - (p + 2));
			return p + 2;
		}
	}
	return NULL;
}

int
main(int argc, char **argv)
{
	if (argc != 4 && argc != 5)
		errx(2, "usage: relay_capture socket lines len [idle_seconds]");
	unsigned long lines = strtoul(argv[2], NULL, 10);
	size_t len = strtoul(argv[3], NULL, 10);
	int idle = argc == 5 ? atoi(argv[4]) : 10;
	if (len < LINE_MIN_LEN || len > LINE_MAX_LEN)
		errx(2, "bad line length %s", argv[3]);

	int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (s < 0)
		err(1, "socket");
	struct sockaddr_un sun;
	memset(&sun, 0, sizeof(sun));
	sun.sun_family = AF_UNIX;
	if (strlen(argv[1]) >= sizeof(sun.sun_path))
		errx(1, "socket path too long");
	strcpy(sun.sun_path, argv[1]);
	unlink(argv[1]);
	int rcv = RCVBUF;
	/* Root may exceed rmem_max; a smaller buffer only slows the senders. */
	if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &rcv, sizeof(rcv)) != 0)
		setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof(rcv));
	if (bind(s, (struct sockaddr *)&sun, sizeof(sun)) != 0)
		err(1, "bind %s", argv[1]);
	chmod(argv[1], 0666);

	line_init();
	unsigned long line = 1, messages = 0, bad = 0, first_bad = 0;
	size_t body = len - 1, off = 0;		/* bytes of the line matched */
	if (lines > 0)
		line_make(line, len, expect);
	while (line <= lines) {
		struct pollfd pfd = { s, POLLIN, 0 };
		int r = poll(&pfd, 1, idle * 1000);
		if (r < 0) {
			if (errno == EINTR)
				continue;
			err(1, "poll");
		}
		if (r == 0)
			break;
		ssize_t n = recv(s, msg, sizeof(msg), 0);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			err(1, "recv");
		}
		messages++;
		size_t plen;
		const char *p = payload(msg, (size_t)n, &plen);
		if (p != NULL && plen > 0 && p[plen - 1] == '\n')
			plen--;
		if (p == NULL || off + plen > body || memcmp(expect + off, p, plen) != 0) {
			if (bad++ == 0)
				first_bad = messages;
			continue;
		}
		off += plen;
		if (off == body) {
			off = 0;
			if (++line <= lines)
				line_make(line, len, expect);
		}
	}
	unsigned long got = line - 1;
	int ok = got == lines && bad == 0;
	printf("capture messages=%lu lines=%lu/%lu bad=%lu first_bad_message=%lu %s\n",
	    messages, got, lines, bad, first_bad, ok ? "ok" : "FAILED");
	close(s);
	unlink(argv[1]);
	return ok ? 0 : 1;
}
