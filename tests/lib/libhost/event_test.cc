#include "event.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

const struct timespec NO_WAIT = {0, 0};

int
count_fds()
{
	int n = 0;
	DIR *d = opendir("/proc/self/fd");
	if (d == nullptr)
		return -1;
	while (struct dirent *e = readdir(d))
		if (e->d_name[0] != '.')
			n++;
	closedir(d);
	return n;
}

/* Waits at most seconds for pid; kills it when time is up. */
int
wait_child(pid_t pid, int seconds)
{
	int status = 0;
	for (int i = 0; i < seconds * 100; i++) {
		pid_t r = waitpid(pid, &status, WNOHANG);
		if (r == pid)
			return status;
		if (r == -1)
			return -1;
		usleep(10000);
	}
	kill(pid, SIGKILL);
	waitpid(pid, &status, 0);
	return -1;
}

bool
is_blocked(int signo)
{
	sigset_t cur;
	sigprocmask(SIG_SETMASK, nullptr, &cur);
	return sigismember(&cur, signo) == 1;
}

/*
 * Every test starts from a known signal state and puts the original one
 * back: the signals used are drained while still blocked, so unblocking
 * them cannot kill the test program.
 */
class EventTest : public ::testing::Test {
protected:
	const std::vector<int> used_signals = {SIGUSR1, SIGUSR2, SIGHUP,
	    SIGTERM, SIGCHLD, SIGRTMIN};
	sigset_t saved_mask;
	std::vector<struct sigaction> saved_actions;
	std::vector<int> fds;

	void
	SetUp() override
	{
		sigprocmask(SIG_SETMASK, nullptr, &saved_mask);
		for (int s : used_signals) {
			struct sigaction sa;
			sigaction(s, nullptr, &sa);
			saved_actions.push_back(sa);
		}
	}

	void
	TearDown() override
	{
		for (int fd : fds)
			close(fd);
		sigset_t all;
		sigemptyset(&all);
		for (int s : used_signals)
			sigaddset(&all, s);
		sigprocmask(SIG_BLOCK, &all, nullptr);
		while (sigtimedwait(&all, nullptr, &NO_WAIT) > 0)
			;
		kqueue_sigmask_restore();
		for (size_t i = 0; i < used_signals.size(); i++)
			sigaction(used_signals[i], &saved_actions[i], nullptr);
		sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
	}

	/* A pipe whose ends are closed after the test: {read, write}. */
	std::pair<int, int>
	make_pipe()
	{
		int p[2];
		EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
		fds.push_back(p[0]);
		fds.push_back(p[1]);
		return {p[0], p[1]};
	}

	void
	close_fd(int fd)
	{
		for (int &f : fds)
			if (f == fd)
				f = -1;
		close(fd);
	}

	static int
	add(int kq, uintptr_t ident, short filter, unsigned short flags,
	    void *udata = nullptr)
	{
		struct kevent kev;
		EV_SET(&kev, ident, filter, flags, 0, 0, udata);
		return kevent(kq, &kev, 1, nullptr, 0, nullptr);
	}

	static void
	ignore(int signo)
	{
		signal(signo, SIG_IGN);
	}
};

TEST_F(EventTest, QueueDescriptors)
{
	int kq = kqueuex(KQUEUE_CLOEXEC);
	ASSERT_GE(kq, 0);
	EXPECT_EQ(fcntl(kq, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
	int plain = kqueuex(0);
	ASSERT_GE(plain, 0);
	EXPECT_EQ(fcntl(plain, F_GETFD) & FD_CLOEXEC, 0);
	EXPECT_EQ(kqueue_close(plain), 0);

	errno = 0;
	EXPECT_EQ(kqueuex(0x80), -1);
	EXPECT_EQ(errno, EINVAL);

	auto [r, w] = make_pipe();
	EXPECT_EQ(kqueue_close(kq), 0);
	struct kevent ev;
	/* Not a queue: a pipe, a closed queue's number, a negative number. */
	for (int bad : {r, kq, -1}) {
		SCOPED_TRACE(bad);
		errno = 0;
		EXPECT_EQ(kevent(bad, nullptr, 0, &ev, 1, &NO_WAIT), -1);
		EXPECT_EQ(errno, EBADF);
		errno = 0;
		EXPECT_EQ(kqueue_close(bad), -1);
		EXPECT_EQ(errno, EBADF);
	}
	(void)w;
}

TEST_F(EventTest, FullTableIsEmfileAndSlotsAreReused)
{
	std::vector<int> qs;
	int kq;
	while ((kq = kqueuex(KQUEUE_CLOEXEC)) >= 0 && qs.size() < 1000)
		qs.push_back(kq);
	ASSERT_EQ(kq, -1);
	EXPECT_EQ(errno, EMFILE);
	EXPECT_GE(qs.size(), 1u);
	for (int q : qs)
		EXPECT_EQ(kqueue_close(q), 0);
	kq = kqueuex(KQUEUE_CLOEXEC);
	EXPECT_GE(kq, 0);
	EXPECT_EQ(kqueue_close(kq), 0);
}

TEST_F(EventTest, CreateCloseCyclesLeaveNoDescriptor)
{
	ignore(SIGUSR1);
	auto [r, w] = make_pipe();
	int before = count_fds();
	for (int i = 0; i < 300; i++) {
		int kq = kqueuex(KQUEUE_CLOEXEC);
		ASSERT_GE(kq, 0) << "cycle " << i;
		ASSERT_EQ(add(kq, r, EVFILT_READ, EV_ADD | EV_CLEAR), 0);
		ASSERT_EQ(add(kq, SIGUSR1, EVFILT_SIGNAL, EV_ADD), 0);
		ASSERT_EQ(add(kq, SIGHUP, EVFILT_SIGNAL, EV_ADD), 0);
		ASSERT_EQ(add(kq, 0, EVFILT_SIGNAL, EV_ADD), -1);
		if (i % 3 == 0) {
			kill(getpid(), SIGUSR1);
			struct kevent ev;
			ASSERT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 1);
		}
		ASSERT_EQ(kqueue_close(kq), 0);
	}
	EXPECT_EQ(count_fds(), before);
	(void)w;
}

TEST_F(EventTest, LevelTriggeredReadRepeatsUntilRead)
{
	auto [r, w] = make_pipe();
	int kq = kqueuex(KQUEUE_CLOEXEC);
	int tag;
	ASSERT_EQ(add(kq, r, EVFILT_READ, EV_ADD, &tag), 0);
	ASSERT_EQ(write(w, "hello", 5), 5);
	for (int i = 0; i < 3; i++) {
		struct kevent ev;
		ASSERT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 1);
		EXPECT_EQ(ev.ident, (uintptr_t)r);
		EXPECT_EQ(ev.filter, EVFILT_READ);
		EXPECT_EQ(ev.data, 5);
		EXPECT_EQ(ev.udata, &tag);
		EXPECT_FALSE(ev.flags & (EV_EOF | EV_ERROR));
	}
	char buf[8];
	ASSERT_EQ(read(r, buf, sizeof(buf)), 5);
	struct kevent ev;
	EXPECT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 0);
	EXPECT_EQ(kqueue_close(kq), 0);
}

TEST_F(EventTest, ClearReportsEachChangeOnce)
{
	auto [r, w] = make_pipe();
	int kq = kqueuex(KQUEUE_CLOEXEC);
	ASSERT_EQ(add(kq, r, EVFILT_READ, EV_ADD | EV_CLEAR), 0);
	struct kevent ev;

	ASSERT_EQ(write(w, "abc", 3), 3);
	ASSERT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 1);
	EXPECT_EQ(ev.data, 3);
	EXPECT_TRUE(ev.flags & EV_CLEAR);
	/* Unread data is not reported again until something changes. */
	EXPECT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 0);

	ASSERT_EQ(write(w, "defg", 4), 4);
	ASSERT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 1);
	EXPECT_EQ(ev.data, 7);
	EXPECT_FALSE(ev.flags & EV_EOF);

	close_fd(w);
	ASSERT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 1);
	EXPECT_EQ(ev.data, 7);
	EXPECT_TRUE(ev.flags & EV_EOF);
	/* End of file with nobody reading: no endless stream of events. */
	for (int i = 0; i < 3; i++)
		EXPECT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 0);
	EXPECT_EQ(kqueue_close(kq), 0);
}

TEST_F(EventTest, EndOfFileOnPipesAndSockets)
{
	struct Case {
		const char *name;
		bool socket;
		bool clear;
		int repeats;	/* events seen on the second look */
	};
	const Case cases[] = {
		{"pipe, level", false, false, 1},
		{"pipe, clear", false, true, 0},
		{"socket, level", true, false, 1},
		{"socket, clear", true, true, 0},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		int r, w;
		if (c.socket) {
			int sv[2];
			ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0,
			    sv), 0);
			fds.push_back(sv[0]);
			r = sv[0];
			w = sv[1];
		} else {
			auto p = make_pipe();
			r = p.first;
			w = p.second;
		}
		int kq = kqueuex(KQUEUE_CLOEXEC);
		ASSERT_EQ(add(kq, r, EVFILT_READ,
		    EV_ADD | (c.clear ? EV_CLEAR : 0)), 0);
		struct kevent ev;
		EXPECT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 0);
		if (c.socket)
			close(w);
		else
			close_fd(w);
		ASSERT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 1);
		EXPECT_EQ(ev.ident, (uintptr_t)r);
		EXPECT_EQ(ev.data, 0);
		EXPECT_TRUE(ev.flags & EV_EOF);
		EXPECT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), c.repeats);
		EXPECT_EQ(kqueue_close(kq), 0);
	}
}

TEST_F(EventTest, EventsBeyondTheListAreKept)
{
	int kq = kqueuex(KQUEUE_CLOEXEC);
	std::set<int> readers;
	for (int i = 0; i < 3; i++) {
		auto [r, w] = make_pipe();
		readers.insert(r);
		ASSERT_EQ(add(kq, r, EVFILT_READ, EV_ADD | EV_CLEAR), 0);
		ASSERT_EQ(write(w, "x", 1), 1);
	}
	/* Edge-triggered: epoll reports each once, all in the first wait. */
	std::set<int> seen;
	struct kevent ev;
	for (int i = 0; i < 3; i++) {
		ASSERT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 1);
		EXPECT_EQ(ev.data, 1);
		seen.insert((int)ev.ident);
	}
	EXPECT_EQ(seen, readers);
	EXPECT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 0);
	EXPECT_EQ(kqueue_close(kq), 0);
}

TEST_F(EventTest, KeptEventsFollowDeletionAndReading)
{
	auto [r1, w1] = make_pipe();
	auto [r2, w2] = make_pipe();
	int kq = kqueuex(KQUEUE_CLOEXEC);
	ASSERT_EQ(add(kq, r1, EVFILT_READ, EV_ADD | EV_CLEAR), 0);
	ASSERT_EQ(add(kq, r2, EVFILT_READ, EV_ADD | EV_CLEAR), 0);
	ASSERT_EQ(write(w1, "a", 1), 1);
	ASSERT_EQ(write(w2, "b", 1), 1);
	struct kevent ev;
	ASSERT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 1);
	int other = ev.ident == (uintptr_t)r1 ? r2 : r1;

	/* The kept event of a deleted registration is dropped. */
	ASSERT_EQ(add(kq, other, EVFILT_READ, EV_DELETE), 0);
	EXPECT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 0);

	/* One whose data was read meanwhile is not reported either. */
	ASSERT_EQ(add(kq, other, EVFILT_READ, EV_ADD | EV_CLEAR), 0);
	ASSERT_EQ(write(w1, "c", 1), 1);
	ASSERT_EQ(write(w2, "d", 1), 1);
	ASSERT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 1);
	int kept = ev.ident == (uintptr_t)r1 ? r2 : r1;
	char buf[8];
	ASSERT_GT(read(kept, buf, sizeof(buf)), 0);
	EXPECT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 0);
	EXPECT_EQ(kqueue_close(kq), 0);
}

TEST_F(EventTest, DeletedReadIsNotReported)
{
	auto [r, w] = make_pipe();
	int kq = kqueuex(KQUEUE_CLOEXEC);
	ASSERT_EQ(add(kq, r, EVFILT_READ, EV_ADD), 0);
	ASSERT_EQ(add(kq, r, EVFILT_READ, EV_DELETE), 0);
	ASSERT_EQ(write(w, "x", 1), 1);
	struct kevent ev;
	EXPECT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 0);
	/* And can be added again. */
	ASSERT_EQ(add(kq, r, EVFILT_READ, EV_ADD), 0);
	EXPECT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 1);
	EXPECT_EQ(kqueue_close(kq), 0);
}

TEST_F(EventTest, SignalsAreReportedWhateverTheirDisposition)
{
	struct Case {
		int signo;
		bool ignored;
	};
	const Case cases[] = {
		{SIGHUP, true}, {SIGTERM, true}, {SIGUSR1, true},
		{SIGCHLD, false},	/* default: discarded unless blocked */
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(strsignal(c.signo));
		if (c.ignored)
			ignore(c.signo);
		else
			signal(c.signo, SIG_DFL);
		int kq = kqueuex(KQUEUE_CLOEXEC);
		int tag;
		ASSERT_EQ(add(kq, c.signo, EVFILT_SIGNAL, EV_ADD, &tag), 0);
		EXPECT_TRUE(is_blocked(c.signo));
		ASSERT_EQ(kill(getpid(), c.signo), 0);
		struct kevent ev[2];
		ASSERT_EQ(kevent(kq, nullptr, 0, ev, 2, &NO_WAIT), 1);
		EXPECT_EQ(ev[0].ident, (uintptr_t)c.signo);
		EXPECT_EQ(ev[0].filter, EVFILT_SIGNAL);
		EXPECT_EQ(ev[0].data, 1);
		EXPECT_EQ(ev[0].udata, &tag);
		EXPECT_FALSE(ev[0].flags & EV_ERROR);
		/* Consumed: not reported twice. */
		EXPECT_EQ(kevent(kq, nullptr, 0, ev, 2, &NO_WAIT), 0);
		EXPECT_EQ(kqueue_close(kq), 0);
	}
}

TEST_F(EventTest, ChildEndIsReported)
{
	int kq = kqueuex(KQUEUE_CLOEXEC);
	ASSERT_EQ(add(kq, SIGCHLD, EVFILT_SIGNAL, EV_ADD), 0);
	pid_t pid = fork();
	ASSERT_NE(pid, -1);
	if (pid == 0)
		_exit(0);
	struct kevent ev;
	struct timespec ts = {20, 0};
	ASSERT_EQ(kevent(kq, nullptr, 0, &ev, 1, &ts), 1);
	EXPECT_EQ(ev.ident, (uintptr_t)SIGCHLD);
	EXPECT_EQ(waitpid(pid, nullptr, 0), pid);
	EXPECT_EQ(kqueue_close(kq), 0);
}

TEST_F(EventTest, ArrivalsAreCounted)
{
	ignore(SIGUSR1);
	int kq = kqueuex(KQUEUE_CLOEXEC);
	ASSERT_EQ(add(kq, SIGUSR1, EVFILT_SIGNAL, EV_ADD), 0);
	ASSERT_EQ(add(kq, SIGRTMIN, EVFILT_SIGNAL, EV_ADD), 0);
	union sigval v = {};
	for (int i = 0; i < 3; i++) {
		ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
		ASSERT_EQ(sigqueue(getpid(), SIGRTMIN, v), 0);
	}
	struct kevent ev[4];
	ASSERT_EQ(kevent(kq, nullptr, 0, ev, 4, &NO_WAIT), 2);
	for (int i = 0; i < 2; i++) {
		/* Ordinary signals merge while pending; real-time ones queue. */
		if (ev[i].ident == (uintptr_t)SIGUSR1)
			EXPECT_EQ(ev[i].data, 1);
		else if (ev[i].ident == (uintptr_t)SIGRTMIN)
			EXPECT_EQ(ev[i].data, 3);
		else
			ADD_FAILURE() << "unexpected ident " << ev[i].ident;
	}
	EXPECT_EQ(kqueue_close(kq), 0);
}

TEST_F(EventTest, SignalsComeBeforeReads)
{
	ignore(SIGUSR1);
	auto [r, w] = make_pipe();
	int kq = kqueuex(KQUEUE_CLOEXEC);
	ASSERT_EQ(add(kq, r, EVFILT_READ, EV_ADD | EV_CLEAR), 0);
	ASSERT_EQ(add(kq, SIGUSR1, EVFILT_SIGNAL, EV_ADD), 0);
	struct kevent ev[2];

	/* One at a time, as the supervisor takes them. */
	ASSERT_EQ(write(w, "x", 1), 1);
	ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
	ASSERT_EQ(kevent(kq, nullptr, 0, ev, 1, &NO_WAIT), 1);
	EXPECT_EQ(ev[0].filter, EVFILT_SIGNAL);
	ASSERT_EQ(kevent(kq, nullptr, 0, ev, 1, &NO_WAIT), 1);
	EXPECT_EQ(ev[0].filter, EVFILT_READ);
	EXPECT_EQ(kevent(kq, nullptr, 0, ev, 1, &NO_WAIT), 0);

	/* Both in one list. */
	ASSERT_EQ(write(w, "y", 1), 1);
	ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
	ASSERT_EQ(kevent(kq, nullptr, 0, ev, 2, &NO_WAIT), 2);
	EXPECT_EQ(ev[0].filter, EVFILT_SIGNAL);
	EXPECT_EQ(ev[1].filter, EVFILT_READ);
	EXPECT_EQ(ev[1].data, 2);

	/* A read event kept from an earlier wait does not overtake a signal. */
	ASSERT_EQ(write(w, "z", 1), 1);
	ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
	ASSERT_EQ(kevent(kq, nullptr, 0, ev, 1, &NO_WAIT), 1);
	EXPECT_EQ(ev[0].filter, EVFILT_SIGNAL);
	ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
	ASSERT_EQ(kevent(kq, nullptr, 0, ev, 1, &NO_WAIT), 1);
	EXPECT_EQ(ev[0].filter, EVFILT_SIGNAL);
	ASSERT_EQ(kevent(kq, nullptr, 0, ev, 1, &NO_WAIT), 1);
	EXPECT_EQ(ev[0].filter, EVFILT_READ);
	EXPECT_EQ(ev[0].data, 3);
	EXPECT_EQ(kqueue_close(kq), 0);
}

TEST_F(EventTest, PendingSignalSurvivesBetweenQueues)
{
	ignore(SIGTERM);
	int kq = kqueuex(KQUEUE_CLOEXEC);
	ASSERT_EQ(add(kq, SIGTERM, EVFILT_SIGNAL, EV_ADD), 0);
	ASSERT_EQ(kqueue_close(kq), 0);
	EXPECT_TRUE(is_blocked(SIGTERM));

	ASSERT_EQ(kill(getpid(), SIGTERM), 0);
	kq = kqueuex(KQUEUE_CLOEXEC);
	ASSERT_EQ(add(kq, SIGTERM, EVFILT_SIGNAL, EV_ADD), 0);
	struct kevent ev;
	ASSERT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 1);
	EXPECT_EQ(ev.ident, (uintptr_t)SIGTERM);
	EXPECT_EQ(kqueue_close(kq), 0);
}

TEST_F(EventTest, DeletedSignalStaysBlockedAndPending)
{
	ignore(SIGUSR2);
	int kq = kqueuex(KQUEUE_CLOEXEC);
	ASSERT_EQ(add(kq, SIGUSR2, EVFILT_SIGNAL, EV_ADD), 0);
	ASSERT_EQ(add(kq, SIGUSR2, EVFILT_SIGNAL, EV_DELETE), 0);
	ASSERT_EQ(kill(getpid(), SIGUSR2), 0);
	struct kevent ev;
	EXPECT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 0);
	EXPECT_TRUE(is_blocked(SIGUSR2));
	sigset_t pending;
	sigpending(&pending);
	EXPECT_EQ(sigismember(&pending, SIGUSR2), 1);
	/* Registered again, the waiting arrival is reported. */
	ASSERT_EQ(add(kq, SIGUSR2, EVFILT_SIGNAL, EV_ADD), 0);
	ASSERT_EQ(kevent(kq, nullptr, 0, &ev, 1, &NO_WAIT), 1);
	EXPECT_EQ(ev.ident, (uintptr_t)SIGUSR2);
	EXPECT_EQ(kqueue_close(kq), 0);
}

TEST_F(EventTest, SigmaskRestoreGivesBackTheFirstMask)
{
	sigset_t initial;
	sigemptyset(&initial);
	sigaddset(&initial, SIGUSR2);
	sigprocmask(SIG_SETMASK, &initial, nullptr);

	int kq = kqueuex(KQUEUE_CLOEXEC);
	ASSERT_EQ(add(kq, SIGUSR1, EVFILT_SIGNAL, EV_ADD), 0);
	ASSERT_EQ(kqueue_close(kq), 0);
	kq = kqueuex(KQUEUE_CLOEXEC);
	ASSERT_EQ(add(kq, SIGHUP, EVFILT_SIGNAL, EV_ADD), 0);
	ASSERT_EQ(add(kq, SIGUSR2, EVFILT_SIGNAL, EV_ADD), 0);
	ASSERT_EQ(kqueue_close(kq), 0);
	EXPECT_TRUE(is_blocked(SIGUSR1));
	EXPECT_TRUE(is_blocked(SIGHUP));

	kqueue_sigmask_restore();
	sigset_t now;
	sigprocmask(SIG_SETMASK, nullptr, &now);
	for (int s = 1; s < NSIG; s++)
		EXPECT_EQ(sigismember(&now, s), sigismember(&initial, s)) << s;
}

TEST_F(EventTest, FailedChanges)
{
	auto [r, w] = make_pipe();
	char path[] = "/tmp/event_test.XXXXXX";
	int file = mkstemp(path);
	ASSERT_GE(file, 0);
	unlink(path);
	fds.push_back(file);
	int kq = kqueuex(KQUEUE_CLOEXEC);
	int closed = dup(r);
	close(closed);
	int tag;

	struct Case {
		const char *name;
		uintptr_t ident;
		short filter;
		unsigned short flags;
		int error;
	};
	const Case cases[] = {
		{"unknown filter", (uintptr_t)r, -42, EV_ADD, EINVAL},
		{"neither add nor delete", (uintptr_t)r, EVFILT_READ, 0, EINVAL},
		{"add and delete", (uintptr_t)r, EVFILT_READ, EV_ADD | EV_DELETE,
		    EINVAL},
		{"read on closed descriptor", (uintptr_t)closed, EVFILT_READ,
		    EV_ADD, EBADF},
		{"read on huge descriptor", (uintptr_t)1 << 40, EVFILT_READ,
		    EV_ADD, EBADF},
		{"read on regular file", (uintptr_t)file, EVFILT_READ, EV_ADD,
		    EPERM},
		{"delete unregistered read", (uintptr_t)r, EVFILT_READ,
		    EV_DELETE, ENOENT},
		{"signal 0", 0, EVFILT_SIGNAL, EV_ADD, EINVAL},
		{"signal NSIG", NSIG, EVFILT_SIGNAL, EV_ADD, EINVAL},
		{"SIGKILL", SIGKILL, EVFILT_SIGNAL, EV_ADD, EINVAL},
		{"delete unregistered signal", SIGUSR1, EVFILT_SIGNAL,
		    EV_DELETE, ENOENT},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		struct kevent change;
		EV_SET(&change, c.ident, c.filter, c.flags, 0, 0, &tag);

		errno = 0;
		EXPECT_EQ(kevent(kq, &change, 1, nullptr, 0, nullptr), -1);
		EXPECT_EQ(errno, c.error);

		struct kevent ev[2];
		ASSERT_EQ(kevent(kq, &change, 1, ev, 2, nullptr), 1);
		EXPECT_EQ(ev[0].flags, EV_ERROR);
		EXPECT_EQ(ev[0].data, c.error);
		EXPECT_EQ(ev[0].ident, c.ident);
		EXPECT_EQ(ev[0].filter, c.filter);
		EXPECT_EQ(ev[0].udata, &tag);
	}
	EXPECT_FALSE(is_blocked(SIGKILL));
	EXPECT_EQ(kqueue_close(kq), 0);
	(void)w;
}

TEST_F(EventTest, GoodChangesAroundABadOneApply)
{
	ignore(SIGUSR1);
	auto [r, w] = make_pipe();
	int kq = kqueuex(KQUEUE_CLOEXEC);
	struct kevent changes[3], ev[3];
	EV_SET(&changes[0], r, EVFILT_READ, EV_ADD, 0, 0, nullptr);
	EV_SET(&changes[1], r, -42, EV_ADD, 0, 0, nullptr);
	EV_SET(&changes[2], SIGUSR1, EVFILT_SIGNAL, EV_ADD, 0, 0, nullptr);
	ASSERT_EQ(kevent(kq, changes, 3, ev, 3, nullptr), 1);
	EXPECT_EQ(ev[0].flags, EV_ERROR);
	EXPECT_EQ(ev[0].filter, -42);

	ASSERT_EQ(write(w, "x", 1), 1);
	ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
	ASSERT_EQ(kevent(kq, nullptr, 0, ev, 3, &NO_WAIT), 2);
	EXPECT_EQ(ev[0].filter, EVFILT_SIGNAL);
	EXPECT_EQ(ev[1].filter, EVFILT_READ);
	EXPECT_EQ(kqueue_close(kq), 0);
}

TEST_F(EventTest, Timeouts)
{
	auto [r, w] = make_pipe();
	int kq = kqueuex(KQUEUE_CLOEXEC);
	ASSERT_EQ(add(kq, r, EVFILT_READ, EV_ADD), 0);
	struct kevent ev;

	struct timespec t0, t1;
	const struct timespec wait = {0, 50 * 1000 * 1000};
	clock_gettime(CLOCK_MONOTONIC, &t0);
	EXPECT_EQ(kevent(kq, nullptr, 0, &ev, 1, &wait), 0);
	clock_gettime(CLOCK_MONOTONIC, &t1);
	/* A bounded wait really waits the time out. */
	EXPECT_GE((t1.tv_sec - t0.tv_sec) * 1000000000L +
	    (t1.tv_nsec - t0.tv_nsec), 50 * 1000 * 1000L);

	for (struct timespec bad : {timespec{0, -1}, timespec{0, 1000000000},
	    timespec{-1, 0}}) {
		errno = 0;
		EXPECT_EQ(kevent(kq, nullptr, 0, &ev, 1, &bad), -1);
		EXPECT_EQ(errno, EINVAL);
	}
	/* No room for events: changes only, no wait at all. */
	EXPECT_EQ(kevent(kq, nullptr, 0, nullptr, 0, nullptr), 0);
	EXPECT_EQ(kqueue_close(kq), 0);
	(void)w;
}

TEST_F(EventTest, EndlessWaitEndsWithAnEvent)
{
	auto [r, w] = make_pipe();
	int kq = kqueuex(KQUEUE_CLOEXEC);
	ASSERT_EQ(add(kq, r, EVFILT_READ, EV_ADD | EV_CLEAR), 0);
	pid_t pid = fork();
	ASSERT_NE(pid, -1);
	if (pid == 0) {
		usleep(100 * 1000);
		_exit(write(w, "late", 4) == 4 ? 0 : 1);
	}
	/* Should the wait never end, the alarm ends the test program. */
	alarm(30);
	struct kevent ev;
	int n = kevent(kq, nullptr, 0, &ev, 1, nullptr);
	alarm(0);
	ASSERT_EQ(n, 1);
	EXPECT_EQ(ev.ident, (uintptr_t)r);
	EXPECT_EQ(ev.data, 4);
	EXPECT_EQ(wait_child(pid, 20), 0);
	EXPECT_EQ(kqueue_close(kq), 0);
}

void
on_alarm(int)
{
}

TEST_F(EventTest, InterruptedWaitIsEintr)
{
	struct sigaction sa = {}, old;
	sa.sa_handler = on_alarm;
	sigemptyset(&sa.sa_mask);
	sa.sa_flags = SA_RESTART;	/* even so: the caller retries */
	sigaction(SIGALRM, &sa, &old);

	int kq = kqueuex(KQUEUE_CLOEXEC);
	auto [r, w] = make_pipe();
	ASSERT_EQ(add(kq, r, EVFILT_READ, EV_ADD), 0);
	struct itimerval it = {};
	it.it_value.tv_usec = 50 * 1000;
	setitimer(ITIMER_REAL, &it, nullptr);
	struct kevent ev;
	struct timespec ts = {20, 0};
	errno = 0;
	int n = kevent(kq, nullptr, 0, &ev, 1, &ts);
	int error = errno;
	it.it_value.tv_usec = 0;
	setitimer(ITIMER_REAL, &it, nullptr);
	sigaction(SIGALRM, &old, nullptr);
	EXPECT_EQ(n, -1);
	EXPECT_EQ(error, EINTR);
	EXPECT_EQ(kqueue_close(kq), 0);
	(void)w;
}

TEST_F(EventTest, ForkedChildClosesOnlyItsCopy)
{
	ignore(SIGUSR1);
	auto [r, w] = make_pipe();
	int kq = kqueuex(KQUEUE_CLOEXEC);
	ASSERT_EQ(add(kq, r, EVFILT_READ, EV_ADD | EV_CLEAR), 0);
	ASSERT_EQ(add(kq, SIGUSR1, EVFILT_SIGNAL, EV_ADD), 0);
	pid_t pid = fork();
	ASSERT_NE(pid, -1);
	if (pid == 0) {
		int before = count_fds();
		if (kqueue_close(kq) != 0)
			_exit(1);
		if (fcntl(kq, F_GETFD) != -1 || errno != EBADF)
			_exit(2);
		/* The queue and its signalfd. */
		if (count_fds() != before - 2)
			_exit(3);
		_exit(0);
	}
	EXPECT_EQ(wait_child(pid, 20), 0);

	ASSERT_EQ(write(w, "x", 1), 1);
	ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
	struct kevent ev[2];
	ASSERT_EQ(kevent(kq, nullptr, 0, ev, 2, &NO_WAIT), 2);
	EXPECT_EQ(ev[0].ident, (uintptr_t)SIGUSR1);
	EXPECT_EQ(ev[1].ident, (uintptr_t)r);
	EXPECT_EQ(kqueue_close(kq), 0);
}

} // namespace
