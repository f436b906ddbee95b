// Round trips per second of register/change/unregister through libsdp
// against the local server, next to a bare ping-pong that sends the same
// requests by hand (write/read of the same byte counts on the same kind of
// socket to the same server). Prints both rates and their ratio.
//
// usage: sdp_bench [iterations-per-round] [rounds]
//
// Client and server share one CPU: between two CPUs each round trip waits
// for an idle CPU to wake up, which varies several-fold from run to run and
// would drown the difference being measured.
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "sdp.h"

namespace {

constexpr uint32_t DATALEN = 64;
constexpr int MAX_ROUNDS = 1000;

double
median(double *v, int n)
{
	qsort(v, size_t(n), sizeof(*v), [](const void *a, const void *b) {
		double x = *(const double *)a, y = *(const double *)b;
		return x < y ? -1 : x > y ? 1 : 0;
	});
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double
now()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// One iteration: register, change and unregister a record through libsdp.
double
run_library(void *ss, long iterations)
{
	uint8_t data[DATALEN];
	bdaddr_t addr = {{1, 2, 3, 4, 5, 6}};

	memset(data, 0x5a, sizeof(data));
	double t0 = now();
	for (long i = 0; i < iterations; i++) {
		uint32_t h;
		if (sdp_register_service(ss, 0x1101, &addr, data, DATALEN,
			&h) < 0 ||
		    sdp_change_service(ss, h, data, DATALEN) < 0 ||
		    sdp_unregister_service(ss, h) < 0) {
			fprintf(stderr, "library round trip failed: %s\n",
			    strerror(sdp_error(ss)));
			exit(1);
		}
	}
	return 3.0 * double(iterations) / (now() - t0);
}

void
put16(uint8_t *p, uint16_t v)
{
	p[0] = uint8_t(v >> 8);
	p[1] = uint8_t(v);
}

// Sends one prepared request and reads its answer; the same syscalls a
// client makes without the library's checks.
void
ping(int s, uint8_t *req, size_t len, uint16_t tid, uint8_t *rsp)
{
	put16(req + 1, tid);
	if (write(s, req, len) != ssize_t(len) || read(s, rsp, 64) < 7 ||
	    rsp[5] != 0 || rsp[6] != 0) {
		fprintf(stderr, "bare round trip failed\n");
		exit(1);
	}
}

double
run_bare(int s, long iterations)
{
	uint8_t reg[13 + DATALEN], chg[9 + DATALEN], unreg[9], rsp[64];
	uint16_t tid = 0;

	memset(reg, 0x5a, sizeof(reg));
	memset(chg, 0x5a, sizeof(chg));
	reg[0] = SDP_PDU_SERVICE_REGISTER_REQUEST;
	put16(reg + 3, 8 + DATALEN);
	put16(reg + 5, 0x1101);
	chg[0] = SDP_PDU_SERVICE_CHANGE_REQUEST;
	put16(chg + 3, 4 + DATALEN);
	unreg[0] = SDP_PDU_SERVICE_UNREGISTER_REQUEST;
	put16(unreg + 3, 4);

	double t0 = now();
	for (long i = 0; i < iterations; i++) {
		ping(s, reg, sizeof(reg), ++tid, rsp);
		memcpy(chg + 5, rsp + 7, 4);
		memcpy(unreg + 5, rsp + 7, 4);
		ping(s, chg, sizeof(chg), ++tid, rsp);
		ping(s, unreg, sizeof(unreg), ++tid, rsp);
	}
	return 3.0 * double(iterations) / (now() - t0);
}

int
connect_bare(const char *path)
{
	struct sockaddr_un sun;
	memset(&sun, 0, sizeof(sun));
	sun.sun_family = AF_UNIX;
	snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", path);
	int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
	if (s < 0 || connect(s, (struct sockaddr *)&sun, sizeof(sun)) < 0) {
		perror("bare connect");
		exit(1);
	}
	return s;
}

} // namespace

int
main(int argc, char **argv)
{
	long iterations = argc > 1 ? atol(argv[1]) : 5000;
	int rounds = argc > 2 ? atoi(argv[2]) : 20;
	char dir[] = "/tmp/sdp-bench.XXXXXX";
	char path[64];

	if (iterations <= 0 || rounds <= 0 || rounds > MAX_ROUNDS ||
	    mkdtemp(dir) == NULL) {
		fprintf(stderr, "usage: sdp_bench [iterations] [rounds]\n");
		return 1;
	}
	snprintf(path, sizeof(path), "%s/sdp", dir);

	cpu_set_t one;
	if (sched_getaffinity(0, sizeof(one), &one) == 0) {
		int first = 0;
		while (first < CPU_SETSIZE && !CPU_ISSET(first, &one))
			first++;
		CPU_ZERO(&one);
		CPU_SET(first, &one);
		sched_setaffinity(0, sizeof(one), &one);	// the server inherits it
	}
	pid_t server = fork();
	if (server == 0) {
		execl(SDP_LOCAL_SERVER, SDP_LOCAL_SERVER, path, (char *)NULL);
		_exit(127);
	}
	void *ss = NULL;
	for (int i = 0; i < 500 && ss == NULL; i++) {
		ss = sdp_open_local(path);
		if (ss == NULL)
			usleep(10000);
	}
	if (ss == NULL) {
		perror("sdp_open_local");
		kill(server, SIGTERM);
		waitpid(server, NULL, 0);
		return 1;
	}
	int bare = connect_bare(path);

	// Short rounds, alternating, so that both see the same machine load;
	// the headline is the median of the rounds' ratios, out of which drifts
	// of the load cancel.
	static double lib[MAX_ROUNDS], bar[MAX_ROUNDS], ratio[MAX_ROUNDS];
	double best_lib = 0, best_bare = 0;
	run_library(ss, iterations / 10 + 1);	// warm up
	run_bare(bare, iterations / 10 + 1);
	for (int r = 0; r < rounds; r++) {
		lib[r] = run_library(ss, iterations);
		bar[r] = run_bare(bare, iterations);
		ratio[r] = lib[r] / bar[r];
		if (lib[r] > best_lib)
			best_lib = lib[r];
		if (bar[r] > best_bare)
			best_bare = bar[r];
	}
	double med_lib = median(lib, rounds), med_bare = median(bar, rounds);
	printf("%d rounds of %ld x (register, change, unregister), "
	    "%u data bytes\n", rounds, iterations, DATALEN);
	printf("libsdp round trips:  median %.0f/s, best %.0f/s\n", med_lib,
	    best_lib);
	printf("bare ping-pong:      median %.0f/s, best %.0f/s\n", med_bare,
	    best_bare);
	printf("ratio library/bare:  %.3f (median of the rounds' ratios), "
	    "%.3f (of the medians), %.3f (of the best); target >= 0.95\n",
	    median(ratio, rounds), med_lib / med_bare, best_lib / best_bare);

	sdp_close(ss);
	close(bare);
	kill(server, SIGTERM);
	waitpid(server, NULL, 0);
	rmdir(dir);
	return 0;
}
