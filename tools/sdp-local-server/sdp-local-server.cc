/*
 * sdp-local-server: a minimal local SDP server for the service-registration
 * channel of libsdp. It listens on a SOCK_SEQPACKET UNIX socket, keeps
 * records in a fixed in-memory table and answers every request with one
 * error-response PDU (code 0 on success, plus the new handle for register).
 *
 * usage: sdp-local-server [-v] path
 *
 * Runs in the foreground until SIGTERM or SIGINT, then removes its socket.
 * With -v each request and its outcome is printed on standard output.
 */
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <arpa/inet.h>
#include <err.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "sdp.h"

#define MAX_CLIENTS	32
#define MAX_RECORDS	64
/* change carries the most data */
#define MAX_DATA	(SDP_LOCAL_MAX_REQUEST - SDP_CHANGE_REQUEST_FIXED)

/* Error codes sent back, numbered as SDP numbers its error responses. */
#define ERR_NONE		0x0000
#define ERR_INVALID_HANDLE	0x0002
#define ERR_INVALID_SYNTAX	0x0003
#define ERR_INVALID_PDU_SIZE	0x0004
#define ERR_NO_RESOURCES	0x0006

struct record {
	int used;
	uint32_t handle;
	uint16_t uuid;
	bdaddr_t bdaddr;
	uint32_t datalen;
	uint8_t data[MAX_DATA];
};
typedef struct record record_t;
typedef struct record *record_p;

struct server {
	int verbose;
	uint32_t next_handle;
	int nclients;
	struct pollfd fds[1 + MAX_CLIENTS];	/* [0] is the listener */
	uint8_t req[SDP_LOCAL_MAX_REQUEST];
	record_t records[MAX_RECORDS];
};
typedef struct server server_t;
typedef struct server *server_p;

static server_t server;
static volatile sig_atomic_t stop_requested;

static void
on_stop_signal(int sig)
{
	(void)sig;
	stop_requested = 1;
}

static record_p
find_record(server_p sv, uint32_t handle)
{
	for (int i = 0; i < MAX_RECORDS; i++)
		if (sv->records[i].used && sv->records[i].handle == handle)
			return &sv->records[i];
	return NULL;
}

static uint32_t
get_be32(const uint8_t *p)
{
	return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) |
	    ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

static uint16_t
do_register(server_p sv, const uint8_t *param, uint32_t len, uint32_t *handle)
{
	if (len < SDP_REGISTER_REQUEST_FIXED - sizeof(sdp_pdu_t) + 1)
		return ERR_INVALID_PDU_SIZE;

	record_p r = NULL;

	for (int i = 0; i < MAX_RECORDS && r == NULL; i++)
		if (!sv->records[i].used)
			r = &sv->records[i];
	if (r == NULL)
		return ERR_NO_RESOURCES;
	r->used = 1;
	r->handle = sv->next_handle++;
	r->uuid = (uint16_t)((param[0] << 8) | param[1]);
	memcpy(r->bdaddr.b, param + 2, sizeof(r->bdaddr.b));
	r->datalen = len - 8;
	memcpy(r->data, param + 8, r->datalen);
	*handle = r->handle;
	return ERR_NONE;
}

static uint16_t
do_unregister(server_p sv, const uint8_t *param, uint32_t len)
{
	if (len != SDP_UNREGISTER_REQUEST_SIZE - sizeof(sdp_pdu_t))
		return ERR_INVALID_PDU_SIZE;

	record_p r = find_record(sv, get_be32(param));

	if (r == NULL)
		return ERR_INVALID_HANDLE;
	r->used = 0;
	return ERR_NONE;
}

static uint16_t
do_change(server_p sv, const uint8_t *param, uint32_t len)
{
	if (len < SDP_CHANGE_REQUEST_FIXED - sizeof(sdp_pdu_t) + 1)
		return ERR_INVALID_PDU_SIZE;

	record_p r = find_record(sv, get_be32(param));

	if (r == NULL)
		return ERR_INVALID_HANDLE;
	r->datalen = len - 4;
	memcpy(r->data, param + 4, r->datalen);
	return ERR_NONE;
}

/* Answers one request; returns -1 when the client is gone. */
static int
serve_request(server_p sv, int fd, short revents)
{
	ssize_t n = recv(fd, sv->req, sizeof(sv->req), MSG_TRUNC);

	if (n < 0)
		return errno == EINTR || errno == EAGAIN ? 0 : -1;
	if (n == 0 && (revents & (POLLHUP | POLLERR)))
		return -1;

	const sdp_pdu_t *pdu = (const sdp_pdu_t *)sv->req;
	uint16_t tid = 0;
	uint16_t code;
	uint32_t handle = 0;
	uint8_t pid = 0;

	if (n < (ssize_t)sizeof(sdp_pdu_t)) {
		code = ERR_INVALID_PDU_SIZE;
	} else {
		pid = pdu->pid;
		tid = ntohs(pdu->tid);
		uint32_t len = ntohs(pdu->len);
		const uint8_t *param = sv->req + sizeof(sdp_pdu_t);

		/* MSG_TRUNC reports the full size of an over-long request. */
		if (n > (ssize_t)sizeof(sv->req) ||
		    (size_t)n - sizeof(sdp_pdu_t) != len)
			code = ERR_INVALID_PDU_SIZE;
		else if (pid == SDP_PDU_SERVICE_REGISTER_REQUEST)
			code = do_register(sv, param, len, &handle);
		else if (pid == SDP_PDU_SERVICE_UNREGISTER_REQUEST)
			code = do_unregister(sv, param, len);
		else if (pid == SDP_PDU_SERVICE_CHANGE_REQUEST)
			code = do_change(sv, param, len);
		else
			code = ERR_INVALID_SYNTAX;
		if (code == ERR_NONE && pid != SDP_PDU_SERVICE_REGISTER_REQUEST)
			handle = get_be32(param);
	}

	uint8_t rsp[SDP_REGISTER_RESPONSE_SIZE];
	size_t rsplen = SDP_ERROR_RESPONSE_SIZE;
	sdp_pdu_p out = (sdp_pdu_p)rsp;

	if (code == ERR_NONE && pid == SDP_PDU_SERVICE_REGISTER_REQUEST) {
		rsplen = SDP_REGISTER_RESPONSE_SIZE;
		rsp[7] = (uint8_t)(handle >> 24);
		rsp[8] = (uint8_t)(handle >> 16);
		rsp[9] = (uint8_t)(handle >> 8);
		rsp[10] = (uint8_t)handle;
	}
	out->pid = SDP_PDU_ERROR_RESPONSE;
	out->tid = htons(tid);
	out->len = htons((uint16_t)(rsplen - sizeof(sdp_pdu_t)));
	rsp[5] = (uint8_t)(code >> 8);
	rsp[6] = (uint8_t)code;

	if (sv->verbose) {
		if (code == ERR_NONE)
			printf("request 0x%02x tid %u: record 0x%08x ok\n", pid,
			    tid, handle);
		else
			printf("request 0x%02x tid %u: error 0x%04x\n", pid, tid,
			    code);
		fflush(stdout);
	}
	if (send(fd, rsp, rsplen, MSG_NOSIGNAL) < 0 && errno != EINTR)
		return -1;
	return 0;
}

static void
accept_client(server_p sv)
{
	int fd = accept4(sv->fds[0].fd, NULL, NULL, SOCK_CLOEXEC);

	if (fd < 0)
		return;
	if (sv->nclients == MAX_CLIENTS) {
		close(fd);
		return;
	}
	sv->nclients++;
	sv->fds[sv->nclients].fd = fd;
	sv->fds[sv->nclients].events = POLLIN;
	sv->fds[sv->nclients].revents = 0;
}

static void
drop_client(server_p sv, int i)
{
	close(sv->fds[i].fd);
	sv->fds[i] = sv->fds[sv->nclients];
	sv->nclients--;
}

int
main(int argc, char **argv)
{
	server_p sv = &server;
	int ch;

	while ((ch = getopt(argc, argv, "v")) != -1) {
		if (ch != 'v') {
			fprintf(stderr, "usage: sdp-local-server [-v] path\n");
			return 1;
		}
		sv->verbose = 1;
	}
	if (argc - optind != 1) {
		fprintf(stderr, "usage: sdp-local-server [-v] path\n");
		return 1;
	}

	const char *path = argv[optind];
	struct sockaddr_un sun;
	struct sigaction sa;
	struct stat st;

	if (strlen(path) >= sizeof(sun.sun_path))
		errx(1, "%s: path too long", path);
	memset(&sun, 0, sizeof(sun));
	sun.sun_family = AF_UNIX;
	memcpy(sun.sun_path, path, strlen(path));

	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_stop_signal;	/* no SA_RESTART: poll must wake */
	sigemptyset(&sa.sa_mask);
	sigaction(SIGTERM, &sa, NULL);
	sigaction(SIGINT, &sa, NULL);
	signal(SIGPIPE, SIG_IGN);

	int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);

	if (s < 0)
		err(1, "socket");
	/* A socket left behind by an earlier run is stale: replace it. */
	if (lstat(path, &st) == 0 && S_ISSOCK(st.st_mode))
		unlink(path);
	if (bind(s, (struct sockaddr *)&sun, sizeof(sun)) < 0)
		err(1, "bind %s", path);
	if (listen(s, 16) < 0) {
		unlink(path);
		err(1, "listen");
	}

	sv->next_handle = 0x00010000;
	sv->fds[0].fd = s;
	sv->fds[0].events = POLLIN;
	while (!stop_requested) {
		if (poll(sv->fds, (nfds_t)(1 + sv->nclients), -1) < 0) {
			if (errno == EINTR)
				continue;
			unlink(path);
			err(1, "poll");
		}
		for (int i = sv->nclients; i >= 1; i--) {
			if (sv->fds[i].revents == 0)
				continue;
			if (serve_request(sv, sv->fds[i].fd,
			    sv->fds[i].revents) < 0)
				drop_client(sv, i);
		}
		if (sv->fds[0].revents & POLLIN)
			accept_client(sv);
	}
	unlink(path);
	return 0;
}
