/*
 * OOM protection.  Each check runs in a forked child, so the test program
 * keeps its own score and the library's remembered state starts fresh.
 */
#include "protect.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

std::string
read_adj(pid_t pid = 0)
{
	std::string path = pid == 0 ? "/proc/self/oom_score_adj" :
	    "/proc/" + std::to_string(pid) + "/oom_score_adj";
	char buf[32] = {};
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd == -1)
		return "(cannot open)";
	ssize_t n = read(fd, buf, sizeof(buf) - 1);
	close(fd);
	std::string s(buf, n > 0 ? (size_t)n : 0);
	if (!s.empty() && s.back() == '\n')
		s.pop_back();
	return s;
}

bool
write_adj(const char *value)
{
	int fd = open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
	if (fd == -1)
		return false;
	bool ok = write(fd, value, strlen(value)) == (ssize_t)strlen(value);
	close(fd);
	return ok;
}

/* Waits at most 20 s for pid; kills it when time is up. */
int
wait_child(pid_t pid)
{
	int status;
	for (int i = 0; i < 2000; i++) {
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

/*
 * Runs body in a forked child; what it says (a line per observation)
 * comes back as one string.
 */
std::string
in_child(const std::function<void(std::string &)> &body)
{
	int p[2];
	if (pipe2(p, O_CLOEXEC) != 0)
		return "(no pipe)";
	pid_t pid = fork();
	if (pid == 0) {
		std::string out;
		body(out);
		ssize_t ignored = write(p[1], out.data(), out.size());
		(void)ignored;
		_exit(0);
	}
	close(p[1]);
	std::string out;
	char buf[512];
	struct pollfd pf = {p[0], POLLIN, 0};
	while (poll(&pf, 1, 20000) == 1) {
		ssize_t n = read(p[0], buf, sizeof(buf));
		if (n <= 0)
			break;
		out.append(buf, (size_t)n);
	}
	close(p[0]);
	if (wait_child(pid) != 0)
		out += "(child failed)";
	return out;
}

std::string
result(int rc)
{
	return rc == 0 ? "0" : "-1 " + std::string(strerrorname_np(errno));
}

/* Lowering the score below its floor needs CAP_SYS_RESOURCE. */
bool
may_lower_score()
{
	FILE *f = fopen("/proc/self/status", "re");
	if (f == nullptr)
		return false;
	char line[256];
	unsigned long long caps = 0;
	while (fgets(line, sizeof(line), f) != nullptr)
		if (sscanf(line, "CapEff: %llx", &caps) == 1)
			break;
	fclose(f);
	return (caps >> 24) & 1;	/* CAP_SYS_RESOURCE */
}

TEST(ProtectTest, ProtectsAndForkedChildRestores)
{
	if (geteuid() != 0 || !may_lower_score())
		GTEST_SKIP() << "lowering oom_score_adj to -1000 needs root with "
		    "CAP_SYS_RESOURCE, which this process lacks";
	std::string out = in_child([](std::string &o) {
		if (!write_adj("123")) {
			o += "cannot set a starting score\n";
			return;
		}
		o += "protect " + result(protect_self()) + "\n";
		o += "score " + read_adj() + "\n";
		/* Later calls leave /proc alone. */
		write_adj("-500");
		o += "again " + result(protect_self()) + "\n";
		o += "score " + read_adj() + "\n";
		write_adj("-1000");

		pid_t pid = fork();
		if (pid == 0) {
			protect_restore();
			if (read_adj() != "123")
				_exit(1);
			/* Once restored, a second restore has nothing to do. */
			write_adj("7");
			protect_restore();
			_exit(read_adj() == "7" ? 0 : 2);
		}
		o += "child " + std::to_string(wait_child(pid)) + "\n";
		o += "parent " + read_adj() + "\n";
	});
	EXPECT_EQ(out,
	    "protect 0\n"
	    "score -1000\n"
	    "again 0\n"
	    "score -500\n"
	    "child 0\n"
	    "parent -1000\n");
}

TEST(ProtectTest, RefusalLeavesScoreAndRestoreAlone)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to become an unprivileged user";
	std::string out = in_child([](std::string &o) {
		write_adj("200");
		if (setresgid(65534, 65534, 65534) != 0 ||
		    setresuid(65534, 65534, 65534) != 0) {
			o += "cannot drop privileges\n";
			return;
		}
		/* Own /proc/self again, so that only the kernel's rule on
		 * lowering the score refuses. */
		prctl(PR_SET_DUMPABLE, 1);
		errno = 0;
		int rc = protect_self();
		o += "protect " + std::string(rc == -1 &&
		    (errno == EACCES || errno == EPERM) ? "refused" :
		    result(rc)) + "\n";
		o += "score " + read_adj() + "\n";
		write_adj("300");
		protect_restore();
		o += "after restore " + read_adj() + "\n";
	});
	EXPECT_EQ(out,
	    "protect refused\n"
	    "score 200\n"
	    "after restore 300\n");
}

TEST(ProtectTest, RestoreWithoutProtectionDoesNothing)
{
	std::string out = in_child([](std::string &o) {
		std::string before = read_adj();
		protect_restore();
		o += read_adj() == before ? "unchanged" : "changed";
	});
	EXPECT_EQ(out, "unchanged");
}

} // namespace
