/*
 * relay_run: runs one relay set-up and measures it.
 *
 *   relay_run [-o FILE] [-g GEN_RUSAGE] CMD... [:: CMD2...]
 *   relay_run -i T1,T2 CMD...
 *
 * With one command, its standard output goes to FILE (or stays as it is);
 * with "::", the first command's standard output is piped into the second,
 * whose standard output goes to FILE.  The runner is a child subreaper, so
 * a process that detaches from the command (a supervisor) is adopted and
 * reaped here too, and wait4() hands over the rusage of every process.
 *
 * Printed on one line (key=value):
 *   wall      seconds from the first fork until the last process is reaped
 *   total_cpu user+system of every process (generator included)
 *   relay_cpu user+system of the relay alone: the second command of a pipe,
 *             or the adopted (detached) processes less the generator, which
 *             they reaped and so carry in their rusage; -1 without a relay
 *   relay_rss peak RSS (KiB) of the relay; for adopted processes wait4()
 *             reports the larger of theirs and the generator's, so
 *             relay_rss_exact=0 says the value is only an upper bound
 *   gen_cpu, gen_rss  the generator's own figures from GEN_RUSAGE, if given
 *   statuses  exit statuses in reaping order
 *
 * Idle mode (-i): starts the command, finds the process that detached from
 * it, samples its CPU ticks and context switches at T1 and T2 seconds after
 * the start and prints the differences, then waits for everything to end.
 */
#include <dirent.h>
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { MAX_PROCS = 64, STATUS_TEXT = 512 };

struct proc_sample_t {
	long ticks;		/* utime + stime, clock ticks */
	long voluntary;
	long involuntary;
};

static double
now(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static double
ru_cpu(const struct rusage *ru)
{
	return (double)ru->ru_utime.tv_sec + (double)ru->ru_utime.tv_usec / 1e6 +
	    (double)ru->ru_stime.tv_sec + (double)ru->ru_stime.tv_usec / 1e6;
}

static pid_t
spawn(char **argv, int in_fd, int out_fd, int close_fd)
{
	pid_t pid = fork();
	if (pid < 0)
		err(1, "fork");
	if (pid == 0) {
		if (in_fd >= 0 && dup2(in_fd, STDIN_FILENO) < 0)
			err(127, "dup2");
		if (out_fd >= 0 && dup2(out_fd, STDOUT_FILENO) < 0)
			err(127, "dup2");
		if (in_fd > STDERR_FILENO)
			close(in_fd);
		if (out_fd > STDERR_FILENO)
			close(out_fd);
		if (close_fd >= 0)
			close(close_fd);
		execvp(argv[0], argv);
		err(127, "%s", argv[0]);
	}
	return pid;
}

/* The first process whose parent is this one and that is not `except`. */
static pid_t
find_adopted(pid_t except)
{
	pid_t self = getpid();
	DIR *d = opendir("/proc");
	if (d == NULL)
		err(1, "/proc");
	pid_t found = -1;
	struct dirent *e;
	while (found < 0 && (e = readdir(d)) != NULL) {
		char path[64], buf[STATUS_TEXT];
		long pid = strtol(e->d_name, NULL, 10);
		if (pid <= 0 || pid == except)
			continue;
		snprintf(path, sizeof(path), "/proc/%ld/stat", pid);
		int fd = open(path, O_RDONLY);
		if (fd < 0)
			continue;
		ssize_t n = read(fd, buf, sizeof(buf) - 1);
		close(fd);
		if (n <= 0)
			continue;
		buf[n] = '\0';
		/* The command name may hold blanks: fields start after its ')'. */
		char *p = strrchr(buf, ')');
		char state;
		long ppid;
		if (p != NULL && sscanf(p + 1, " %c %ld", &state, &ppid) == 2 &&
		    ppid == self)
			found = (pid_t)pid;
	}
	closedir(d);
	return found;
}

static int
sample(pid_t pid, proc_sample_t *s)
{
	char path[64], buf[4096];
	snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
	int fd = open(path, O_RDONLY);
	if (fd < 0)
		return -1;
	ssize_t n = read(fd, buf, sizeof(buf) - 1);
	close(fd);
	if (n <= 0)
		return -1;
	buf[n] = '\0';
	char *p = strrchr(buf, ')');
	unsigned long utime, stime;
	/* Fields 3..15 after the name: state ppid pgrp session tty tpgid flags
	 * minflt cminflt majflt cmajflt utime stime. */
	if (p == NULL || sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
	    &utime, &stime) != 2)
		return -1;
	s->ticks = (long)(utime + stime);

	snprintf(path, sizeof(path), "/proc/%d/status", (int)pid);
	FILE *f = fopen(path, "r");
	if (f == NULL)
		return -1;
	s->voluntary = s->involuntary = -1;
	char line[256];
	while (fgets(line, sizeof(line), f) != NULL) {
		sscanf(line, "voluntary_ctxt_switches: %ld", &s->voluntary);
		sscanf(line, "nonvoluntary_ctxt_switches: %ld", &s->involuntary);
	}
	fclose(f);
	return 0;
}

static void
sleep_until(double start, double t)
{
	double left = start + t - now();
	if (left <= 0)
		return;
	struct timespec ts;
	ts.tv_sec = (time_t)left;
	ts.tv_nsec = (long)((left - (double)ts.tv_sec) * 1e9);
	while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
		;
}

static int
idle_check(char **argv, double t1, double t2)
{
	double start = now();
	pid_t pid = spawn(argv, -1, -1, -1);
	int status;
	while (waitpid(pid, &status, 0) < 0)
		if (errno != EINTR)
			err(1, "waitpid");
	pid_t sup = find_adopted(pid);
	if (sup < 0)
		errx(1, "no process detached from %s", argv[0]);
	proc_sample_t a, b;
	sleep_until(start, t1);
	if (sample(sup, &a) != 0)
		errx(1, "process %d ended before %.0f s", (int)sup, t1);
	sleep_until(start, t2);
	if (sample(sup, &b) != 0)
		errx(1, "process %d ended before %.0f s", (int)sup, t2);
	printf("idle pid=%d interval=%.0f-%.0fs cpu_ticks=%ld voluntary_cs=%ld involuntary_cs=%ld\n",
	    (int)sup, t1, t2, b.ticks - a.ticks, b.voluntary - a.voluntary,
	    b.involuntary - a.involuntary);
	fflush(stdout);
	while (wait(&status) >= 0 || errno == EINTR)
		;
	return 0;
}

int
main(int argc, char **argv)
{
	const char *out_path = NULL, *gen_rusage = NULL, *idle = NULL;
	int opt;
	while ((opt = getopt(argc, argv, "+o:g:i:")) != -1) {
		switch (opt) {
		case 'o': out_path = optarg; break;
		case 'g': gen_rusage = optarg; break;
		case 'i': idle = optarg; break;
		default:
			errx(2, "usage: relay_run [-o file] [-g gen_rusage] cmd... [:: cmd2...] | -i t1,t2 cmd...");
		}
	}
	if (optind >= argc)
		errx(2, "no command");
	char **cmd1 = argv + optind, **cmd2 = NULL;
	for (int k = optind; k < argc; k++) {
		if (strcmp(argv[k], "::") == 0) {
			argv[k] = NULL;
			cmd2 = argv + k + 1;
			if (*cmd2 == NULL)
				errx(2, "nothing after ::");
			break;
		}
	}
	if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
		err(1, "PR_SET_CHILD_SUBREAPER");

	if (idle != NULL) {
		double t1, t2;
		if (sscanf(idle, "%lf,%lf", &t1, &t2) != 2 || t1 < 0 || t2 <= t1)
			errx(2, "bad -i %s", idle);
		return idle_check(cmd1, t1, t2);
	}

	int out_fd = -1;
	if (out_path != NULL) {
		out_fd = open(out_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
		if (out_fd < 0)
			err(1, "%s", out_path);
	}
	if (gen_rusage != NULL)
		unlink(gen_rusage);

	pid_t direct[2] = { -1, -1 };
	double start = now();
	if (cmd2 == NULL) {
		direct[0] = spawn(cmd1, -1, out_fd, -1);
	} else {
		int p[2];
		if (pipe2(p, O_CLOEXEC) != 0)
			err(1, "pipe");
		direct[0] = spawn(cmd1, -1, p[1], p[0]);
		direct[1] = spawn(cmd2, p[0], out_fd, p[1]);
		close(p[0]);
		close(p[1]);
	}
	if (out_fd >= 0)
		close(out_fd);

	double total = 0, relay = 0;
	long relay_rss = 0;
	int adopted = 0, nstat = 0;
	char statuses[MAX_PROCS * 8] = "";
	for (;;) {
		int status;
		struct rusage ru;
		pid_t pid = wait4(-1, &status, 0, &ru);
		if (pid < 0) {
			if (errno == EINTR)
				continue;
			if (errno == ECHILD)
				break;
			err(1, "wait4");
		}
		total += ru_cpu(&ru);
		bool is_relay;
		if (pid == direct[0])
			is_relay = false;
		else if (pid == direct[1])
			is_relay = true;
		else {
			is_relay = true;
			adopted++;
		}
		if (is_relay) {
			relay += ru_cpu(&ru);
			if (ru.ru_maxrss > relay_rss)
				relay_rss = ru.ru_maxrss;
		}
		if (nstat < MAX_PROCS) {
			int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
			size_t l = strlen(statuses);
			snprintf(statuses + l, sizeof(statuses) - l, "%s%d", nstat ? "," : "", code);
			nstat++;
		}
	}
	double wall = now() - start;

	double gen_cpu = -1;
	long gen_rss = -1;
	if (gen_rusage != NULL) {
		FILE *f = fopen(gen_rusage, "r");
		long u, s;
		if (f == NULL || fscanf(f, "%ld %ld %ld", &u, &s, &gen_rss) != 3)
			errx(1, "no generator rusage in %s", gen_rusage);
		fclose(f);
		gen_cpu = (double)(u + s) / 1e6;
	}
	int exact = 1;
	if (cmd2 == NULL && adopted > 0 && gen_cpu >= 0) {
		/* The detached relay reaped the generator: take its share out. */
		relay -= gen_cpu;
		if (relay < 0)
			relay = 0;
		exact = relay_rss > gen_rss;
	}
	if (cmd2 == NULL && adopted == 0) {
		relay = -1;
		relay_rss = -1;
	}
	printf("wall=%.4f total_cpu=%.4f relay_cpu=%.4f relay_rss=%ld relay_rss_exact=%d "
	    "gen_cpu=%.4f gen_rss=%ld adopted=%d statuses=%s\n",
	    wall, total, relay, relay_rss, exact, gen_cpu, gen_rss, adopted, statuses);
	return 0;
}
