/*
 * daemon: run a command detached from the terminal, optionally supervised.
 *
 * Without supervision options the detached process becomes the command.
 * With them it stays behind as a supervisor: it forks the command, relays
 * its output line by line to syslog, a file or its own standard output,
 * keeps pidfiles, forwards SIGTERM and restarts the command after a delay.
 *
 * No signal handler exists: the supervisor learns of SIGHUP, SIGTERM and
 * SIGCHLD as events of its queue, in its main flow.
 */
#include <assert.h>
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "event.h"
#include "pidfile.h"
#include "proctitle.h"
#include "protect.h"
#include "usercontext.h"

enum : int32_t {
	MODE_PLAIN = 0,		/* no supervision: become the command */
	MODE_SUPERVISE = 1,	/* supervision requested; a child runs */
	MODE_STOPPING = 2,	/* SIGTERM passed on; no restart follows */
	MODE_CHILD_GONE = 3,	/* the cycle's child is reaped or never was */
};

typedef struct supervisor_state {
	int32_t pipe_fds[2];
	char **command_argv;
	const char *child_pidfile_path;
	const char *supervisor_pidfile_path;
	const char *output_path;
	const char *syslog_tag;
	const char *title;
	const char *user_name;
	struct pidfh *supervisor_pidfh;
	struct pidfh *child_pidfh;
	int32_t mode;
	pid_t child_pid;
	int32_t keep_workdir;
	int32_t restart_delay;
	int32_t output_mask;
	int32_t syslog_priority;
	int32_t syslog_facility;
	int32_t keep_std_fds;
	int32_t output_fd;
	bool restart_enabled;
	bool syslog_enabled;
	bool reopen_on_hup;
} supervisor_state_t, *supervisor_state_p;

/*
 * Output is relayed in records of at most LBUF_SIZE - 1 bytes: a longer
 * line is cut into pieces of that size, counted from the line's start.
 */
static constexpr size_t LBUF_SIZE = 4096;
static constexpr size_t CHUNK_MAX = LBUF_SIZE - 1;

/*
 * Reads take up to a pipe's worth at a time: with reads of one record the
 * relay spent its time switching between the command and the supervisor.
 */
static constexpr size_t RELAY_BUF_SIZE = 64 * 1024;
static_assert(RELAY_BUF_SIZE > CHUNK_MAX);

/* The output pipe's capacity: the most an unprivileged process may ask. */
static constexpr int PIPE_SIZE = 1024 * 1024;

/*
 * Output read from the pipe but not yet relayed: the start of a line,
 * shorter than CHUNK_MAX and without a newline, between calls.
 */
static char line_buffer[RELAY_BUF_SIZE];
static size_t bytes_read;

static constexpr int OUTPUT_FLAGS = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
static constexpr mode_t OUTPUT_MODE = 0600;

static constexpr char USAGE_SYNOPSIS[] =
	"usage: daemon [-cfHrS] [-p child_pidfile] [-P supervisor_pidfile]\n"
	"              [-u user] [-o output_file] [-t title]\n"
	"              [-l syslog_facility] [-s syslog_priority]\n"
	"              [-T syslog_tag] [-m output_mask] [-R restart_delay_secs]\n"
	"command arguments ...\n";

static constexpr char USAGE_OPTIONS[] =
	"  --change-dir         -c         Change the current working directory to root\n"
	"  --close-fds          -f         Set stdin, stdout, stderr to /dev/null\n"
	"  --sighup             -H         Close and re-open output file on SIGHUP\n"
	"  --syslog             -S         Send output to syslog\n"
	"  --output-file        -o <file>  Append output of the child process to file\n"
	"  --output-mask        -m <mask>  What to send to syslog/file\n"
	"                                  1=stdout, 2=stderr, 3=both\n"
	"  --child-pidfile      -p <file>  Write PID of the child process to file\n"
	"  --supervisor-pidfile -P <file>  Write PID of the supervisor process to file\n"
	"  --restart            -r         Restart child if it terminates (1 sec delay)\n"
	"  --restart-delay      -R <N>     Restart child if it terminates after N sec\n"
	"  --title              -t <title> Set the title of the supervisor process\n"
	"  --user               -u <user>  Drop privileges, run as given user\n"
	"  --syslog-priority    -s <prio>  Set syslog priority\n"
	"  --syslog-facility    -l <flty>  Set syslog facility\n"
	"  --syslog-tag         -T <tag>   Set syslog tag\n"
	"  --help               -h         Show this help\n";

static_assert(sizeof(USAGE_SYNOPSIS) - 1 == 267);
static_assert(sizeof(USAGE_OPTIONS) - 1 == 1138);

static const struct option long_options[] = {
	{"change-dir", no_argument, nullptr, 'c'},
	{"close-fds", no_argument, nullptr, 'f'},
	{"sighup", no_argument, nullptr, 'H'},
	{"syslog", no_argument, nullptr, 'S'},
	{"output-file", required_argument, nullptr, 'o'},
	{"output-mask", required_argument, nullptr, 'm'},
	{"child-pidfile", required_argument, nullptr, 'p'},
	{"supervisor-pidfile", required_argument, nullptr, 'P'},
	{"restart", no_argument, nullptr, 'r'},
	{"restart-delay", required_argument, nullptr, 'R'},
	{"title", required_argument, nullptr, 't'},
	{"user", required_argument, nullptr, 'u'},
	{"syslog-priority", required_argument, nullptr, 's'},
	{"syslog-facility", required_argument, nullptr, 'l'},
	{"syslog-tag", required_argument, nullptr, 'T'},
	{"help", no_argument, nullptr, 'h'},
	{nullptr, 0, nullptr, 0},
};

struct name_value {
	const char *name;
	int value;
};

static const struct name_value syslog_facility_names[] = {
	{"auth", LOG_AUTH}, {"authpriv", LOG_AUTHPRIV},
	{"console", 14 << 3}, {"cron", LOG_CRON}, {"daemon", LOG_DAEMON},
	{"ftp", LOG_FTP}, {"kern", LOG_KERN}, {"lpr", LOG_LPR},
	{"mail", LOG_MAIL}, {"mark", 24 << 3}, {"news", LOG_NEWS},
	{"ntp", 12 << 3}, {"security", 13 << 3}, {"syslog", LOG_SYSLOG},
	{"user", LOG_USER}, {"uucp", LOG_UUCP},
	{"local0", LOG_LOCAL0}, {"local1", LOG_LOCAL1},
	{"local2", LOG_LOCAL2}, {"local3", LOG_LOCAL3},
	{"local4", LOG_LOCAL4}, {"local5", LOG_LOCAL5},
	{"local6", LOG_LOCAL6}, {"local7", LOG_LOCAL7},
	{nullptr, -1},
};

/* "none" is outside the levels on purpose: such records are not logged. */
static constexpr int PRIORITY_NONE = 0x10;
static const struct name_value syslog_priority_names[] = {
	{"alert", LOG_ALERT}, {"crit", LOG_CRIT}, {"debug", LOG_DEBUG},
	{"emerg", LOG_EMERG}, {"err", LOG_ERR}, {"error", LOG_ERR},
	{"info", LOG_INFO}, {"none", PRIORITY_NONE}, {"notice", LOG_NOTICE},
	{"panic", LOG_EMERG}, {"warn", LOG_WARNING}, {"warning", LOG_WARNING},
	{nullptr, -1},
};

static_assert(sizeof(syslog_facility_names) / sizeof(syslog_facility_names[0]) == 25);
static_assert(sizeof(syslog_priority_names) / sizeof(syslog_priority_names[0]) == 13);

[[noreturn]] static void exec_command(supervisor_state_p state);
[[noreturn]] static void daemon_terminate(supervisor_state_p state);
[[noreturn]] static void supervise(supervisor_state_p state);

[[noreturn]] static void
usage(int status)
{
	fputs(USAGE_SYNOPSIS, stderr);
	fputs(USAGE_OPTIONS, stderr);
	exit(status);
}

/* The value of name in table, or -1. */
static int
lookup_name(const struct name_value *table, const char *name)
{
	for (; table->name != nullptr; table++)
		if (strcmp(table->name, name) == 0)
			return table->value;
	return -1;
}

/*
 * strtol's reading of arg, accepted only when it consumed a digit and the
 * value lies in [min, max]; the ints it is stored in must not wrap.
 */
static bool
parse_number(const char *arg, int base, long min, long max, int32_t *out)
{
	char *end;
	long value = strtol(arg, &end, base);

	if (end == arg || value < min || value > max)
		return false;
	*out = (int32_t)value;
	return true;
}

static void
parse_options(int argc, char **argv, supervisor_state_p state)
{
	int ch, value;

	while ((ch = getopt_long(argc, argv, "+cfHSp:P:ru:o:s:l:t:m:R:T:h",
	    long_options, nullptr)) != -1) {
		switch (ch) {
		case 'c':
			state->keep_workdir = 0;
			break;
		case 'f':
			state->keep_std_fds = 0;
			break;
		case 'H':
			state->reopen_on_hup = true;
			break;
		case 'S':
			state->syslog_enabled = true;
			state->mode = MODE_SUPERVISE;
			break;
		case 'o':
			state->output_path = optarg;
			state->mode = MODE_SUPERVISE;
			break;
		case 'm':
			if (!parse_number(optarg, 10, 0, 3, &state->output_mask))
				errx(6, "unrecognized listening mask");
			break;
		case 'p':
			state->child_pidfile_path = optarg;
			state->mode = MODE_SUPERVISE;
			break;
		case 'P':
			state->supervisor_pidfile_path = optarg;
			state->mode = MODE_SUPERVISE;
			break;
		case 'r':
			state->restart_enabled = true;
			state->mode = MODE_SUPERVISE;
			break;
		case 'R':
			state->restart_enabled = true;
			if (!parse_number(optarg, 0, 1, INT32_MAX,
			    &state->restart_delay))
				errx(6, "invalid restart delay");
			break;
		case 't':
			state->title = optarg;
			break;
		case 'u':
			state->user_name = optarg;
			break;
		case 's':
			value = lookup_name(syslog_priority_names, optarg);
			if (value == -1)
				errx(4, "unrecognized syslog priority");
			state->syslog_priority = value;
			state->syslog_enabled = true;
			state->mode = MODE_SUPERVISE;
			break;
		case 'l':
			value = lookup_name(syslog_facility_names, optarg);
			if (value == -1)
				errx(5, "unrecognized syslog facility");
			state->syslog_facility = value;
			state->syslog_enabled = true;
			state->mode = MODE_SUPERVISE;
			break;
		case 'T':
			state->syslog_tag = optarg;
			state->syslog_enabled = true;
			state->mode = MODE_SUPERVISE;
			break;
		case 'h':
			usage(0);
		default:
			usage(1);
		}
	}
	if (optind == argc)
		usage(1);
	state->command_argv = argv + optind;
}

/*
 * Descriptors 0 to 2 must be taken before anything is opened: a file that
 * landed on one of them would be replaced by /dev/null when detaching, or
 * handed to the command as its standard output.
 */
static void
reserve_std_fds(void)
{
	for (int fd = 0; fd <= 2; fd++)
		if (fcntl(fd, F_GETFD) == -1 &&
		    open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) == -1)
			err(1, "/dev/null");
}

/* ------------------------------------------------------------------ */
/* Output relay                                                         */

/* Writes all of buf to the output file, continuing short writes. */
static void
write_output(const char *buf, size_t len, supervisor_state_p state)
{
	while (len > 0) {
		ssize_t n = write(state->output_fd, buf, len);
		if (n == -1) {
			if (errno == EINTR)
				continue;
			warn("write");
			return;
		}
		buf += n;
		len -= (size_t)n;
	}
}

/*
 * Relays len bytes at buf, which begin at the start of a line: every line
 * and every piece of CHUNK_MAX bytes of a longer one is a record of its own
 * for syslog and standard output; the output file gets all in one write.
 */
static void
do_output(const char *buf, size_t len, supervisor_state_p state)
{
	bool echo = state->keep_std_fds != 0 && !state->syslog_enabled &&
	    state->output_fd == -1;
	/*
	 * "none" is no level: handed to syslog(3) it would read as mail.emerg,
	 * which is broadcast to every terminal.  It means: log nothing.
	 */
	bool to_syslog = state->syslog_enabled &&
	    state->syslog_priority != PRIORITY_NONE;

	assert(len <= RELAY_BUF_SIZE);
	if (len == 0)
		return;
	if (to_syslog || echo) {
		const char *line = buf, *end = buf + len;
		while (line < end) {
			const char *nl = static_cast<const char *>(
			    memchr(line, '\n', (size_t)(end - line)));
			size_t left = (size_t)((nl != nullptr ? nl + 1 : end) - line);
			do {
				int n = (int)(left > CHUNK_MAX ? CHUNK_MAX : left);
				/* The command's bytes are never a format. */
				if (to_syslog)
					syslog(state->syslog_priority, "%.*s", n,
					    line);
				else
					printf("%.*s", n, line);
				line += n;
				left -= (size_t)n;
			} while (left > 0);
		}
		/* Relayed means written out, not held in a stdio buffer. */
		if (echo)
			fflush(stdout);
	}
	if (state->output_fd != -1)
		write_output(buf, len, state);
}

/* Relays the held start of a line, if any. */
static void
flush_partial(supervisor_state_p state)
{
	do_output(line_buffer, bytes_read, state);
	bytes_read = 0;
}

/*
 * Relays what the buffer holds up to its last newline, and whole records of
 * the line after it; keeps the rest for the next read.
 */
static void
relay_buffer(supervisor_state_p state)
{
	const char *last = static_cast<const char *>(
	    memrchr(line_buffer, '\n', bytes_read));
	size_t lines = last != nullptr ? (size_t)(last - line_buffer) + 1 : 0;
	size_t tail = bytes_read - lines;
	size_t out = lines + tail / CHUNK_MAX * CHUNK_MAX;

	do_output(line_buffer, out, state);
	bytes_read -= out;
	memmove(line_buffer, line_buffer + out, bytes_read);
	assert(bytes_read < CHUNK_MAX);
}

enum listen_result {
	LISTEN_END,	/* end of file, or a read error */
	LISTEN_EMPTY,	/* the pipe is empty for now */
	LISTEN_MORE,	/* want was taken; more may be waiting */
};

/*
 * Reads from the (non-blocking) pipe until want bytes have been taken, the
 * pipe is empty, or it ends, relaying what it can.  Stopping at want keeps
 * a command that never stops writing from starving the other events; the
 * caller then asks for the read event again, since no new edge may come
 * while data is left.
 */
static enum listen_result
listen_child(int fd, size_t want, supervisor_state_p state)
{
	assert(state != nullptr);
	for (size_t taken = 0; taken < want;) {
		assert(bytes_read < CHUNK_MAX);
		size_t room = RELAY_BUF_SIZE - bytes_read;
		ssize_t n = read(fd, line_buffer + bytes_read, room);
		if (n == 0) {
			flush_partial(state);
			return LISTEN_END;
		}
		if (n == -1) {
			if (errno == EINTR)
				continue;
			if (errno == EAGAIN)
				return LISTEN_EMPTY;
			warn("read");
			return LISTEN_END;
		}
		taken += (size_t)n;
		bytes_read += (size_t)n;
		relay_buffer(state);
		if ((size_t)n < room)
			return LISTEN_EMPTY;
	}
	return LISTEN_MORE;
}

/* Bytes waiting in the pipe; 0 if that cannot be told. */
static size_t
pipe_pending(int fd)
{
	int n = 0;

	if (ioctl(fd, FIONREAD, &n) == -1 || n < 0)
		return 0;
	return (size_t)n;
}

/*
 * After the child is reaped, everything it wrote is in the pipe.  Relay
 * that and the held start of a line, but do not wait for end of file: a
 * process the command left behind may hold the pipe open for ever.
 */
static void
drain_child(supervisor_state_p state)
{
	int fd = state->pipe_fds[0];

	if (listen_child(fd, pipe_pending(fd), state) != LISTEN_END)
		flush_partial(state);
}

/* ------------------------------------------------------------------ */
/* Start-up, launch and termination                                     */

static void
exec_command(supervisor_state_p state)
{
	pidfile_write(state->child_pidfh);
	/* While still privileged: the protection is the supervisor's own. */
	protect_restore();
	if (state->user_name != nullptr) {
		struct passwd *pw = getpwnam(state->user_name);
		if (pw == nullptr)
			errx(1, "unknown user: %s", state->user_name);
		if (usercontext_set(pw) != 0)
			errx(1, "failed to set user environment");
		setenv("USER", pw->pw_name, 1);
		setenv("HOME", pw->pw_dir, 1);
		setenv("SHELL", *pw->pw_shell != '\0' ? pw->pw_shell : "/bin/sh",
		    1);
	}
	signal(SIGHUP, SIG_DFL);
	signal(SIGTERM, SIG_DFL);
	/*
	 * Unblocked only now: a SIGTERM forwarded while the child was still
	 * setting up stayed pending and now takes its default action.
	 */
	kqueue_sigmask_restore();
	execvp(state->command_argv[0], state->command_argv);
	err(1, "%s", state->command_argv[0]);
}

static void
daemon_terminate(supervisor_state_p state)
{
	assert(state != nullptr);
	if (state->output_fd >= 0)
		close(state->output_fd);
	if (state->pipe_fds[0] >= 0)
		close(state->pipe_fds[0]);
	if (state->pipe_fds[1] >= 0)
		close(state->pipe_fds[1]);
	if (state->syslog_enabled)
		closelog();
	pidfile_remove(state->child_pidfh);
	pidfile_remove(state->supervisor_pidfh);
	exit(1);
}

static void
start_up(supervisor_state_p state)
{
	pid_t holder = 0;

	if (state->title == nullptr)
		state->title = state->command_argv[0];
	if (state->output_path != nullptr) {
		state->output_fd = open(state->output_path, OUTPUT_FLAGS,
		    OUTPUT_MODE);
		if (state->output_fd == -1)
			err(7, "open");
	}
	if (state->syslog_enabled)
		openlog(state->syslog_tag, LOG_PID | LOG_NDELAY,
		    state->syslog_facility);
	if (state->child_pidfile_path != nullptr) {
		state->child_pidfh = pidfile_open(state->child_pidfile_path,
		    0600, &holder);
		if (state->child_pidfh == nullptr) {
			if (errno == EEXIST)
				errx(3, "process already running, pid: %d",
				    holder);
			err(2, "pidfile ``%s''", state->child_pidfile_path);
		}
	}
	if (state->supervisor_pidfile_path != nullptr) {
		state->supervisor_pidfh = pidfile_open(
		    state->supervisor_pidfile_path, 0600, &holder);
		if (state->supervisor_pidfh == nullptr) {
			int saved = errno;
			pidfile_remove(state->child_pidfh);
			errno = saved;
			if (errno == EEXIST)
				errx(3, "process already running, pid: %d",
				    holder);
			err(2, "ppidfile ``%s''",
			    state->supervisor_pidfile_path);
		}
	}
	if (daemon(state->keep_workdir, state->keep_std_fds) == -1) {
		warn("daemon");
		daemon_terminate(state);
	}
	if (state->mode == MODE_PLAIN)
		exec_command(state);
	supervise(state);
}

/* ------------------------------------------------------------------ */
/* Supervision                                                          */

static void
reopen_output(supervisor_state_p state)
{
	int fd;

	if (!state->reopen_on_hup || state->output_fd < 0)
		return;
	/*
	 * Keep writing to the old file when the new one cannot be opened:
	 * losing all later output silently is worse, and the next SIGHUP
	 * tries again.
	 */
	fd = open(state->output_path, OUTPUT_FLAGS, OUTPUT_MODE);
	if (fd == -1) {
		warn("open");
		return;
	}
	close(state->output_fd);
	state->output_fd = fd;
}

static void
stop_child(supervisor_state_p state)
{
	if (state->mode != MODE_SUPERVISE)
		return;
	state->restart_enabled = false;
	state->mode = MODE_STOPPING;
	if (state->child_pid > 0)
		kill(state->child_pid, SIGTERM);
}

static void
reap_child(supervisor_state_p state)
{
	for (;;) {
		pid_t pid = waitpid(-1, nullptr, WNOHANG);
		if (pid == -1) {
			if (errno == EINTR)
				continue;
			warn("waitpid");
			return;
		}
		/* Stopped or continued: it still runs; its end comes later. */
		if (pid == 0)
			return;
		if (pid == state->child_pid) {
			state->child_pid = -1;
			state->mode = MODE_CHILD_GONE;
			drain_child(state);
			return;
		}
	}
}

static void
register_event(int kq, uintptr_t ident, short filter, unsigned short flags)
{
	struct kevent change;

	EV_SET(&change, ident, filter, flags, 0, 0, nullptr);
	if (kevent(kq, &change, 1, nullptr, 0, nullptr) == -1)
		err(1, "failed to register kevent");
}

[[noreturn]] static void
run_child(int kq, supervisor_state_p state)
{
	kqueue_close(kq);
	if ((state->output_mask & 2) != 0 &&
	    dup2(state->pipe_fds[1], STDERR_FILENO) == -1)
		err(1, "dup2");
	if ((state->output_mask & 1) != 0 &&
	    dup2(state->pipe_fds[1], STDOUT_FILENO) == -1)
		err(1, "dup2");
	if (state->pipe_fds[1] != STDOUT_FILENO &&
	    state->pipe_fds[1] != STDERR_FILENO)
		close(state->pipe_fds[1]);
	close(state->pipe_fds[0]);
	exec_command(state);
}

/* Handles events until the cycle's child is gone. */
static void
event_loop(int kq, supervisor_state_p state)
{
	struct kevent event;

	while (state->mode != MODE_CHILD_GONE) {
		int n = kevent(kq, nullptr, 0, &event, 1, nullptr);
		if (n == 0)
			continue;
		if (n == -1) {
			if (errno == EINTR)
				continue;
			err(1, "kevent wait");
		}
		if ((event.flags & EV_ERROR) != 0)
			errx(1, "Event error: %s", strerror((int)event.data));
		if (event.filter == EVFILT_READ) {
			if (event.data > 0 &&
			    listen_child(state->pipe_fds[0], (size_t)event.data,
			    state) == LISTEN_MORE)
				register_event(kq, (uintptr_t)state->pipe_fds[0],
				    EVFILT_READ, EV_ADD | EV_CLEAR);
		} else if (event.filter == EVFILT_SIGNAL) {
			switch (event.ident) {
			case SIGHUP:
				reopen_output(state);
				break;
			case SIGTERM:
				stop_child(state);
				break;
			case SIGCHLD:
				reap_child(state);
				break;
			}
		}
	}
}

/*
 * Sleeps the restart delay.  SIGHUP and SIGTERM are still honoured here:
 * the queues blocked them, so whatever arrived since the last queue was
 * closed is pending and is taken now rather than lost.
 */
static void
restart_delay_wait(supervisor_state_p state)
{
	struct timespec now, end, left;
	sigset_t wanted;

	sigemptyset(&wanted);
	sigaddset(&wanted, SIGHUP);
	sigaddset(&wanted, SIGTERM);
	clock_gettime(CLOCK_MONOTONIC, &end);
	end.tv_sec += state->restart_delay;
	for (;;) {
		clock_gettime(CLOCK_MONOTONIC, &now);
		left.tv_sec = end.tv_sec - now.tv_sec;
		left.tv_nsec = end.tv_nsec - now.tv_nsec;
		if (left.tv_nsec < 0) {
			left.tv_nsec += 1000000000L;
			left.tv_sec--;
		}
		if (left.tv_sec < 0)
			return;
		int sig = sigtimedwait(&wanted, nullptr, &left);
		if (sig == SIGTERM)
			daemon_terminate(state);
		if (sig == SIGHUP)
			reopen_output(state);
		else if (sig == -1 && errno == EAGAIN)
			return;
		else if (sig == -1 && errno != EINTR)
			err(1, "nanosleep");
	}
}

static void
supervise(supervisor_state_p state)
{
	pidfile_write(state->supervisor_pidfh);
	for (;;) {
		int kq;

		state->mode = MODE_SUPERVISE;
		protect_self();
		if (pipe(state->pipe_fds) != 0)
			err(1, "pipe");
		/*
		 * Room for bursts, so that the command and the relay run side
		 * by side instead of in turns; without the privilege for it the
		 * default size does.
		 */
		fcntl(state->pipe_fds[0], F_SETPIPE_SZ, PIPE_SIZE);
		kq = kqueuex(KQUEUE_CLOEXEC);
		register_event(kq, (uintptr_t)state->pipe_fds[0], EVFILT_READ,
		    EV_ADD | EV_CLEAR);
		register_event(kq, SIGHUP, EVFILT_SIGNAL, EV_ADD);
		register_event(kq, SIGTERM, EVFILT_SIGNAL, EV_ADD);
		register_event(kq, SIGCHLD, EVFILT_SIGNAL, EV_ADD);

		state->child_pid = fork();
		if (state->child_pid == 0)
			run_child(kq, state);
		if (state->child_pid == -1) {
			warn("fork");
			close(state->pipe_fds[1]);
			state->pipe_fds[1] = -1;
			state->mode = MODE_CHILD_GONE;
		} else {
			close(state->pipe_fds[1]);
			state->pipe_fds[1] = -1;
			/* The supervisor reads only what is there. */
			fcntl(state->pipe_fds[0], F_SETFL, O_NONBLOCK);
			setproctitle("%s[%d]", state->title,
			    (int)state->child_pid);
			event_loop(kq, state);
		}
		kqueue_close(kq);
		close(state->pipe_fds[0]);
		state->pipe_fds[0] = -1;

		if (!state->restart_enabled)
			daemon_terminate(state);
		restart_delay_wait(state);
	}
}

int
main(int argc, char **argv)
{
	supervisor_state_t state = {
		.pipe_fds = {-1, -1},
		.command_argv = nullptr,
		.child_pidfile_path = nullptr,
		.supervisor_pidfile_path = nullptr,
		.output_path = nullptr,
		.syslog_tag = "daemon",
		.title = nullptr,
		.user_name = nullptr,
		.supervisor_pidfh = nullptr,
		.child_pidfh = nullptr,
		.mode = MODE_PLAIN,
		.child_pid = 0,
		.keep_workdir = 1,
		.restart_delay = 1,
		.output_mask = 3,
		.syslog_priority = LOG_NOTICE,
		.syslog_facility = LOG_DAEMON,
		.keep_std_fds = 1,
		.output_fd = -1,
		.restart_enabled = false,
		.syslog_enabled = false,
		.reopen_on_hup = false,
	};

	/*
	 * Titles are written over the argument strings: move them aside first
	 * so that options, the command and the names err(3) and syslog keep
	 * pointing at are never overwritten.
	 */
	proctitle_init(argc, argv);
	signal(SIGHUP, SIG_IGN);
	signal(SIGTERM, SIG_IGN);
	parse_options(argc, argv, &state);
	reserve_std_fds();
	start_up(&state);
}
