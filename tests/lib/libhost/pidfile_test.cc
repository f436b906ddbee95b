// Pidfile locking, as seen by two real processes.
#include "pidfile.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct scratch {
	std::string dir;
	scratch()
	{
		char t[] = "/tmp/pidfile-test.XXXXXX";
		dir = mkdtemp(t);
	}
	~scratch()
	{
		std::string cmd = "rm -rf '" + dir + "'";
		if (system(cmd.c_str()) != 0)
			perror("rm");
	}
	std::string path(const char *name) const { return dir + "/" + name; }
};

std::string
slurp(const std::string &path)
{
	std::string s;
	char buf[256];
	int fd = open(path.c_str(), O_RDONLY);
	if (fd == -1)
		return "<missing>";
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		s.append(buf, (size_t)n);
	close(fd);
	return s;
}

bool
exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

// A process that opens the pidfile, writes it after write_delay_ms (never
// if negative) and then holds it until killed.  Returns once it holds the
// lock (signalled through a pipe).
pid_t
spawn_holder(const std::string &path, int write_delay_ms)
{
	int p[2];
	if (pipe(p) != 0)
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		close(p[0]);
		struct pidfh *pfh = pidfile_open(path.c_str(), 0600, nullptr);
		char ok = pfh != nullptr ? 'y' : 'n';
		if (write(p[1], &ok, 1) != 1)
			_exit(2);
		if (pfh == nullptr)
			_exit(1);
		if (write_delay_ms >= 0) {
			usleep((useconds_t)write_delay_ms * 1000);
			pidfile_write(pfh);
		}
		for (;;)
			pause();
	}
	close(p[1]);
	char ok = 0;
	if (read(p[0], &ok, 1) != 1 || ok != 'y') {
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
		pid = -1;
	}
	close(p[0]);
	return pid;
}

void
stop(pid_t pid)
{
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
}

TEST(Pidfile, CreatesLocksWritesAndRemoves)
{
	scratch s;
	std::string path = s.path("a.pid");
	mode_t old = umask(0);
	struct pidfh *pfh = pidfile_open(path.c_str(), 0600, nullptr);
	umask(old);
	ASSERT_NE(pfh, nullptr) << strerror(errno);

	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0600u);
	EXPECT_EQ(slurp(path), "");
	ASSERT_EQ(pidfile_write(pfh), 0);
	ASSERT_EQ(pidfile_write(pfh), 0);	// replaces, never appends
	EXPECT_EQ(slurp(path), std::to_string(getpid()) + "\n");
	ASSERT_EQ(pidfile_remove(pfh), 0);
	EXPECT_FALSE(exists(path));
}

TEST(Pidfile, NullHandlesDoNothing)
{
	EXPECT_EQ(pidfile_write(nullptr), 0);
	EXPECT_EQ(pidfile_remove(nullptr), 0);
	EXPECT_EQ(pidfile_close(nullptr), 0);
}

TEST(Pidfile, DescriptorIsCloseOnExec)
{
	scratch s;
	std::string path = s.path("c.pid");
	struct pidfh *pfh = pidfile_open(path.c_str(), 0600, nullptr);
	ASSERT_NE(pfh, nullptr);
	// Every descriptor the handle holds must be close-on-exec.
	for (int fd = 3; fd < 64; fd++) {
		int flags = fcntl(fd, F_GETFD);
		if (flags == -1)
			continue;
		char link[64], target[512];
		snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
		ssize_t n = readlink(link, target, sizeof target - 1);
		if (n <= 0)
			continue;
		target[n] = '\0';
		if (std::string(target).rfind(s.dir, 0) == 0) {
			EXPECT_TRUE(flags & FD_CLOEXEC) << target;
		}
	}
	pidfile_remove(pfh);
}

struct refusal_case {
	const char *name;
	int write_delay_ms;	// when the holder writes its pid; -1: never
	int want_errno;
	bool want_pid;
};

class PidfileRefusal : public ::testing::TestWithParam<refusal_case> {};

TEST_P(PidfileRefusal, ReportsTheHolder)
{
	const refusal_case &c = GetParam();
	scratch s;
	std::string path = s.path("held.pid");
	pid_t holder = spawn_holder(path, c.write_delay_ms);
	ASSERT_GT(holder, 0);

	pid_t seen = -7;
	errno = 0;
	struct pidfh *pfh = pidfile_open(path.c_str(), 0600, &seen);
	int e = errno;
	EXPECT_EQ(pfh, nullptr);
	EXPECT_EQ(e, c.want_errno) << strerror(e);
	if (c.want_pid)
		EXPECT_EQ(seen, holder);
	else
		EXPECT_EQ(seen, -7);	// untouched
	stop(holder);

	// The lock dies with its holder; the stale pid is not kept.
	pfh = pidfile_open(path.c_str(), 0600, nullptr);
	ASSERT_NE(pfh, nullptr) << strerror(errno);
	EXPECT_EQ(slurp(path), "");
	pidfile_remove(pfh);
}

INSTANTIATE_TEST_SUITE_P(Holders, PidfileRefusal, ::testing::Values(
    refusal_case{"written", 0, EEXIST, true},
    refusal_case{"written_soon", 30, EEXIST, true},
    refusal_case{"never_written", -1, EAGAIN, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Pidfile, LockSurvivesForkAndWriteNamesTheChild)
{
	scratch s;
	std::string path = s.path("fork.pid");
	struct pidfh *pfh = pidfile_open(path.c_str(), 0600, nullptr);
	ASSERT_NE(pfh, nullptr);

	int go[2];
	ASSERT_EQ(pipe(go), 0);
	pid_t child = fork();
	if (child == 0) {
		close(go[1]);
		pidfile_write(pfh);	// the inherited handle
		char c;
		(void)!read(go[0], &c, 1);
		_exit(0);
	}
	close(go[0]);
	// The child alone holds the lock once the parent lets go of it.
	ASSERT_EQ(pidfile_close(pfh), 0);
	pid_t seen = 0;
	EXPECT_EQ(pidfile_open(path.c_str(), 0600, &seen), nullptr);
	EXPECT_EQ(errno, EEXIST);
	EXPECT_EQ(seen, child);
	EXPECT_EQ(slurp(path), std::to_string(child) + "\n");
	close(go[1]);
	waitpid(child, nullptr, 0);
}

TEST(Pidfile, RelativePathRemovedAfterChdir)
{
	scratch s;
	char cwd[4096];
	ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
	ASSERT_EQ(chdir(s.dir.c_str()), 0);
	ASSERT_EQ(mkdir("sub", 0700), 0);
	struct pidfh *pfh = pidfile_open("sub/rel.pid", 0600, nullptr);
	struct pidfh *top = pidfile_open("top.pid", 0600, nullptr);
	ASSERT_EQ(chdir("/"), 0);
	ASSERT_NE(pfh, nullptr);
	ASSERT_NE(top, nullptr);
	EXPECT_EQ(pidfile_remove(pfh), 0);
	EXPECT_EQ(pidfile_remove(top), 0);
	EXPECT_FALSE(exists(s.path("sub/rel.pid")));
	EXPECT_FALSE(exists(s.path("top.pid")));
	ASSERT_EQ(chdir(cwd), 0);
}

TEST(Pidfile, RemoveLeavesAReplacedFileAlone)
{
	scratch s;
	std::string path = s.path("r.pid");
	struct pidfh *pfh = pidfile_open(path.c_str(), 0600, nullptr);
	ASSERT_NE(pfh, nullptr);
	ASSERT_EQ(rename(path.c_str(), s.path("moved").c_str()), 0);
	int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
	ASSERT_GE(fd, 0);
	close(fd);
	pidfile_remove(pfh);
	EXPECT_TRUE(exists(path));
}

TEST(Pidfile, OpenFailuresKeepErrno)
{
	scratch s;
	pid_t seen = -7;
	EXPECT_EQ(pidfile_open(s.path("missing/x.pid").c_str(), 0600, &seen),
	    nullptr);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(pidfile_open(s.dir.c_str(), 0600, &seen), nullptr);
	EXPECT_EQ(errno, EISDIR);
	EXPECT_EQ(seen, -7);
}

TEST(Pidfile, HandlesAreReleased)
{
	// Handles come from a fixed pool: open/remove cycles must not use it up
	// nor leak descriptors.
	scratch s;
	std::string path = s.path("cycle.pid");
	int before = open("/dev/null", O_RDONLY);
	close(before);
	for (int i = 0; i < 100; i++) {
		struct pidfh *pfh = pidfile_open(path.c_str(), 0600, nullptr);
		ASSERT_NE(pfh, nullptr) << i << ": " << strerror(errno);
		ASSERT_EQ(pidfile_remove(pfh), 0);
	}
	int after = open("/dev/null", O_RDONLY);
	close(after);
	EXPECT_EQ(before, after);
}

}  // namespace
