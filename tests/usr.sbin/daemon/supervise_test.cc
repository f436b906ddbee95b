// The supervisor's life: signals from outside, restarts, reopening the output
// file, failures of fork and of the output file, and what the command
// inherits from it.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <ostream>
#include <string>
#include <vector>

#include "harness.h"
#include "supervise_util.h"

namespace {

using supervise::alive;
using supervise::exists;
using supervise::start;
using supervise::touch;
using supervise::wait_content;

class supervised : public testing::Test {
protected:
	harness::temp_dir dir;
	std::string at(const std::string &name) { return dir.path + "/" + name; }

	// Waits for the supervisor to end; its orderly end always has status 1.
	void expect_orderly_end(pid_t sup, int timeout_ms = 5000)
	{
		auto end = harness::reap(sup, timeout_ms);
		ASSERT_TRUE(end.has_value()) << "supervisor did not end";
		EXPECT_EQ(end->status, 1);
		EXPECT_FALSE(exists(at("sup.pid"))) << "supervisor pidfile left";
		EXPECT_FALSE(exists(at("child.pid"))) << "child pidfile left";
	}

	// Waits until the child pidfile names a process that has been reaped.
	pid_t wait_child_reaped(pid_t not_this = -1)
	{
		pid_t child = -1;
		harness::wait_until([&] {
			auto p = harness::read_pid(at("child.pid"));
			if (!p || *p == not_this)
				return false;
			child = *p;
			return harness::proc_state(child) == 0;
		}, 5000);
		return child;
	}
};

// ---- SIGTERM

// The child gets SIGTERM, what it writes afterwards is still relayed, and no
// restart follows even with -r.
TEST_F(supervised, TermStopsChildAndEndsWithoutRestart)
{
	auto s = start(dir.path, {"-r", "-p", at("child.pid"), "-o", at("out"),
	    "sh", "-c",
	    "trap 'echo bye; exit 0' TERM; echo ready; "
	    "while :; do sleep 0.05; done"});
	ASSERT_GT(s.pid, 0);
	ASSERT_TRUE(wait_content(at("out"), "ready\n"));
	ASSERT_EQ(kill(s.pid, SIGTERM), 0);
	expect_orderly_end(s.pid);
	EXPECT_EQ(harness::read_file(at("out")), "ready\nbye\n");
}

// A child that ignores SIGTERM keeps the supervisor waiting with no time
// limit; a second SIGTERM to the supervisor is not passed on.  Once the child
// is gone the supervisor ends without a restart.
TEST_F(supervised, SecondTermIsNotForwardedAndIgnoringChildIsAwaited)
{
	auto s = start(dir.path, {"-r", "-p", at("child.pid"), "-o", at("out"),
	    "sh", "-c",
	    "trap 'echo T >> terms' TERM; echo ready; "
	    "while :; do sleep 0.05; done"});
	ASSERT_GT(s.pid, 0);
	ASSERT_TRUE(wait_content(at("out"), "ready\n"));
	auto child = harness::read_pid(at("child.pid"));
	ASSERT_TRUE(child.has_value());

	ASSERT_EQ(kill(s.pid, SIGTERM), 0);
	ASSERT_TRUE(wait_content(at("terms"), "T\n")) << "child got no SIGTERM";
	ASSERT_EQ(kill(s.pid, SIGTERM), 0);
	usleep(500 * 1000);
	EXPECT_EQ(harness::read_file(at("terms")), "T\n");
	EXPECT_TRUE(alive(s.pid)) << "supervisor gave up on its child";
	EXPECT_TRUE(alive(*child));

	ASSERT_EQ(kill(*child, SIGKILL), 0);
	expect_orderly_end(s.pid);
	EXPECT_EQ(harness::read_file(at("out")), "ready\n");
	EXPECT_EQ(harness::read_file(at("terms")), "T\n");
}

// ---- restarts and the process title

struct restart_case {
	const char *name;
	std::vector<std::string> options;
	const char *command;	// the command word as typed
	const char *title;	// what the title must show
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const restart_case &c, std::ostream *os)
{
	*os << c.name;
}


const restart_case restart_cases[] = {
    {"r_default_title", {"-r"}, "sh", "sh"},
    {"R_with_title", {"-R", "1", "-t", "web server"}, "sh", "web server"},
    {"title_keeps_path", {"-r"}, "/bin/sh", "/bin/sh"},
};

class restart : public supervised,
		public testing::WithParamInterface<restart_case> {};

// Every cycle's child writes its pid into the child pidfile and the title
// names it; the supervisor pidfile keeps the supervisor's pid.
TEST_P(restart, RenewsChildPidfileAndTitle)
{
	const restart_case &c = GetParam();
	std::vector<std::string> args = c.options;
	args.insert(args.end(), {"-p", at("child.pid"), "-o", at("out"),
	    c.command, "-c", "echo $$ >> pids; exec sleep 1"});
	auto s = start(dir.path, args);
	ASSERT_GT(s.pid, 0);

	pid_t previous = -1;
	for (size_t cycle = 1; cycle <= 2; cycle++) {
		std::vector<std::string> pids;
		ASSERT_TRUE(harness::wait_until([&] {
			pids = supervise::lines_of(harness::read_file(at("pids")));
			return pids.size() == cycle;
		}, 5000)) << "cycle " << cycle << " did not start";
		pid_t child = std::stoi(pids.back());
		EXPECT_NE(child, previous);
		EXPECT_TRUE(harness::wait_until([&] {
			return harness::read_pid(at("child.pid")) == child;
		}, 1000)) << "child pidfile not renewed in cycle " << cycle;
		std::string want = supervise::title_line(c.title, child);
		EXPECT_TRUE(harness::wait_until([&] {
			return harness::cmdline_of(s.pid) == want;
		}, 1000)) << "cycle " << cycle << ": title is \""
			  << harness::cmdline_of(s.pid) << "\"";
		EXPECT_EQ(harness::read_file("/proc/" + std::to_string(s.pid) +
		    "/comm"), "daemon\n");
		EXPECT_EQ(harness::read_pid(s.pidfile), s.pid);
		previous = child;
	}
	EXPECT_EQ(harness::read_file(at("out")), "");
}

INSTANTIATE_TEST_SUITE_P(titles, restart, testing::ValuesIn(restart_cases),
    [](const testing::TestParamInfo<restart_case> &i) { return i.param.name; });

// ---- SIGHUP

struct hup_case {
	const char *name;
	bool reopen;	// -H given
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const hup_case &c, std::ostream *os)
{
	*os << c.name;
}


class hangup : public supervised,
	       public testing::WithParamInterface<hup_case> {};

// After the output file was moved away, SIGHUP with -H makes later output go
// to a new file at the path; without -H the signal changes nothing.
TEST_P(hangup, MovedOutputFile)
{
	const hup_case &c = GetParam();
	std::vector<std::string> args;
	if (c.reopen)
		args.push_back("-H");
	for (const char *w : {"-o", "out", "sh", "-c"})
		args.push_back(w);
	args.push_back(supervise::stepper(2));
	auto s = start(dir.path, args);
	ASSERT_GT(s.pid, 0);
	ASSERT_TRUE(wait_content(at("out"), "L1\n"));
	ASSERT_EQ(rename(at("out").c_str(), at("moved").c_str()), 0);
	ASSERT_EQ(kill(s.pid, SIGHUP), 0);
	if (c.reopen) {
		ASSERT_TRUE(harness::wait_until([&] { return exists(at("out")); },
		    5000)) << "no new file after SIGHUP";
		struct stat st {};
		ASSERT_EQ(stat(at("out").c_str(), &st), 0);
		EXPECT_EQ(st.st_mode & 07777, 0600u);
	} else {
		usleep(300 * 1000);
		EXPECT_FALSE(exists(at("out")));
	}
	touch(at("g1"));
	if (c.reopen) {
		EXPECT_TRUE(wait_content(at("out"), "L2\n"));
		EXPECT_EQ(harness::read_file(at("moved")), "L1\n");
	} else {
		EXPECT_TRUE(wait_content(at("moved"), "L1\nL2\n"));
		EXPECT_FALSE(exists(at("out")));
	}
	EXPECT_TRUE(alive(s.pid));
	EXPECT_EQ(harness::read_file(s.invoker.err_path), "");
}

INSTANTIATE_TEST_SUITE_P(sighup, hangup,
    testing::Values(hup_case{"with_H", true}, hup_case{"without_H", false}),
    [](const testing::TestParamInfo<hup_case> &i) { return i.param.name; });

// A reopen that fails is reported and keeps the old file in use; a later
// SIGHUP, once the path is usable again, reopens it.
TEST_F(supervised, FailedReopenKeepsOldFileUntilNextHangup)
{
	auto s = start(dir.path,
	    {"-H", "-o", "out", "sh", "-c", supervise::stepper(3)});
	ASSERT_GT(s.pid, 0);
	ASSERT_TRUE(wait_content(at("out"), "L1\n"));
	ASSERT_EQ(rename(at("out").c_str(), at("moved").c_str()), 0);
	ASSERT_EQ(mkdir(at("out").c_str(), 0700), 0);
	ASSERT_EQ(kill(s.pid, SIGHUP), 0);
	EXPECT_TRUE(wait_content(s.invoker.err_path,
	    "daemon: open: Is a directory\n"));

	touch(at("g1"));
	EXPECT_TRUE(wait_content(at("moved"), "L1\nL2\n"))
	    << "output after a failed reopen was lost";

	ASSERT_EQ(rmdir(at("out").c_str()), 0);
	ASSERT_EQ(kill(s.pid, SIGHUP), 0);
	ASSERT_TRUE(harness::wait_until([&] { return exists(at("out")); }, 5000))
	    << "second SIGHUP did not reopen";
	touch(at("g2"));
	EXPECT_TRUE(wait_content(at("out"), "L3\n"));
	EXPECT_EQ(harness::read_file(at("moved")), "L1\nL2\n");
	EXPECT_TRUE(alive(s.pid));
}

// ---- between two cycles

// SIGTERM during the restart delay ends the supervisor now, not after the
// delay, and no new child is started.
TEST_F(supervised, TermDuringRestartDelayEndsAtOnce)
{
	auto s = start(dir.path, {"-R", "30", "-p", at("child.pid"), "-o",
	    at("out"), "sh", "-c", "echo $$ >> pids"});
	ASSERT_GT(s.pid, 0);
	pid_t child = wait_child_reaped();
	ASSERT_GT(child, 0);
	ASSERT_TRUE(wait_content(at("out"), ""));
	ASSERT_EQ(kill(s.pid, SIGTERM), 0);
	auto t0 = std::chrono::steady_clock::now();
	expect_orderly_end(s.pid, 3000);
	EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
	EXPECT_EQ(harness::read_file(at("pids")), std::to_string(child) + "\n");
}

// SIGHUP during the restart delay takes effect before the next child's
// output is written.
TEST_F(supervised, HangupDuringRestartDelayAppliesToNextChild)
{
	auto s = start(dir.path, {"-R", "2", "-H", "-p", at("child.pid"), "-o",
	    "out", "sh", "-c",
	    "echo out$$; if [ -e second ]; then exec sleep 60; fi; "
	    ": > second"});
	ASSERT_GT(s.pid, 0);
	pid_t first = wait_child_reaped();
	ASSERT_GT(first, 0);
	std::string first_line = "out" + std::to_string(first) + "\n";
	ASSERT_TRUE(wait_content(at("out"), first_line));
	ASSERT_EQ(rename(at("out").c_str(), at("moved").c_str()), 0);
	ASSERT_EQ(kill(s.pid, SIGHUP), 0);

	pid_t second = -1;
	ASSERT_TRUE(harness::wait_until([&] {
		auto p = harness::read_pid(at("child.pid"));
		if (p && *p != first)
			second = *p;
		return second > 0;
	}, 6000)) << "no second cycle";
	EXPECT_TRUE(wait_content(at("out"), "out" + std::to_string(second) + "\n"))
	    << "new file holds \"" << harness::read_file(at("out")) << "\"";
	EXPECT_EQ(harness::read_file(at("moved")), first_line);
}

// ---- a child that stops and continues

// Stopping and continuing the child reports SIGCHLD with nothing to reap:
// the supervisor goes back to waiting without spinning and still relays
// and reaps the child later.
TEST_F(supervised, StoppedChildCausesNoSpin)
{
	auto s = start(dir.path, {"-p", at("child.pid"), "-o", at("out"), "sh",
	    "-c", supervise::stepper(2, "exit 0")});
	ASSERT_GT(s.pid, 0);
	ASSERT_TRUE(wait_content(at("out"), "L1\n"));
	auto child = harness::read_pid(at("child.pid"));
	ASSERT_TRUE(child.has_value());

	ASSERT_EQ(kill(*child, SIGSTOP), 0);
	ASSERT_TRUE(harness::wait_until(
	    [&] { return harness::proc_state(*child) == 'T'; }, 2000));
	usleep(100 * 1000);
	long before = supervise::cpu_ticks(s.pid);
	usleep(700 * 1000);
	long stopped = supervise::cpu_ticks(s.pid);
	EXPECT_LE(stopped - before, 2) << "supervisor spins while child stopped";

	ASSERT_EQ(kill(*child, SIGCONT), 0);
	usleep(100 * 1000);
	before = supervise::cpu_ticks(s.pid);
	usleep(700 * 1000);
	long continued = supervise::cpu_ticks(s.pid);
	EXPECT_LE(continued - before, 2) << "supervisor spins after SIGCONT";
	EXPECT_TRUE(alive(s.pid));

	touch(at("g1"));
	EXPECT_TRUE(wait_content(at("out"), "L1\nL2\n"));
	expect_orderly_end(s.pid);
}

// ---- output file errors

// A full device: each chunk's failed write is reported on the supervisor's
// standard error, and supervision goes on.
TEST_F(supervised, FullOutputDeviceWarnsPerChunk)
{
	auto s = start(dir.path, {"-o", "/dev/full", "sh", "-c",
	    "echo a; sleep 0.1; echo b; exec sleep 60"});
	ASSERT_GT(s.pid, 0);
	const std::string warning = "daemon: write: No space left on device\n";
	EXPECT_TRUE(wait_content(s.invoker.err_path, warning + warning));
	usleep(200 * 1000);
	EXPECT_EQ(harness::read_file(s.invoker.err_path), warning + warning);
	EXPECT_EQ(harness::read_file(s.invoker.out_path), "");
	EXPECT_TRUE(alive(s.pid));
}

// ---- fork failure

// fork fails while the supervisor's user is at its process limit: the
// failure is reported about once per restart delay, no descriptor is lost,
// and supervision resumes once fork works again.  The limit does not bind
// root, so daemon runs under an otherwise unused user id with a limit of two
// processes, and two idle processes of that user use up the room.
TEST_F(supervised, ForkFailureIsRetriedEveryDelay)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to run daemon under another user";
	uid_t uid = 61000 + static_cast<uid_t>(getpid() % 3000);
	ASSERT_EQ(chown(dir.path.c_str(), uid, uid), 0);
	std::string id = std::to_string(uid);
	std::vector<std::string> as_user = {"setpriv", "--reuid=" + id,
	    "--regid=" + id, "--clear-groups"};
	std::vector<std::string> wrapper = {"prlimit", "--nproc=2:2"};
	wrapper.insert(wrapper.end(), as_user.begin(), as_user.end());
	auto s = supervise::start_through(wrapper, dir.path,
	    {"-R", "1", "-o", "out", "sh", "-c", "echo started"});
	ASSERT_GT(s.pid, 0);
	ASSERT_TRUE(wait_content(at("out"), "started\n"));

	std::vector<std::string> hogs = as_user;
	hogs.insert(hogs.end(), {"sh", "-c",
	    "sleep 60 & echo $! > hog1; sleep 60 & echo $! > hog2"});
	harness::run_opts in_dir;
	in_dir.cwd = dir.path;
	auto h = harness::run_program(hogs, in_dir);
	ASSERT_EQ(h.status, 0) << h.err;
	auto hog1 = harness::read_pid(at("hog1"));
	auto hog2 = harness::read_pid(at("hog2"));
	ASSERT_TRUE(hog1 && hog2);

	const std::string warning =
	    "daemon: fork: Resource temporarily unavailable\n";
	using clock = std::chrono::steady_clock;
	std::vector<clock::time_point> seen;
	std::vector<int> fds;
	for (size_t n = 1; n <= 3; n++) {
		ASSERT_TRUE(harness::wait_until([&] {
			return supervise::count(harness::read_file(
			    s.invoker.err_path), warning) >= n;
		}, 5000, 2)) << "warning " << n << " missing; stderr: "
			     << harness::read_file(s.invoker.err_path);
		seen.push_back(clock::now());
		fds.push_back(harness::fd_count(s.pid));
	}
	// Two restart delays of a second lie between the first and third.
	EXPECT_GE(seen[2] - seen[0], std::chrono::milliseconds(1500));
	EXPECT_EQ(fds[1], fds[0]);
	EXPECT_EQ(fds[2], fds[0]);
	for (const auto &line :
	     supervise::lines_of(harness::read_file(s.invoker.err_path)))
		EXPECT_EQ(line + "\n", warning);
	EXPECT_EQ(harness::read_file(at("out")), "started\n");

	ASSERT_EQ(kill(*hog1, SIGKILL), 0);
	ASSERT_EQ(kill(*hog2, SIGKILL), 0);
	EXPECT_TRUE(harness::reap(*hog1, 2000).has_value());
	EXPECT_TRUE(harness::reap(*hog2, 2000).has_value());
	EXPECT_TRUE(wait_content(at("out"), "started\nstarted\n", 5000))
	    << "no child after room was made";
	EXPECT_TRUE(alive(s.pid));
}

// ---- what the command inherits

std::set<std::string> fd_names(pid_t pid)
{
	std::set<std::string> names;
	DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
	if (d == nullptr)
		return names;
	while (struct dirent *de = readdir(d))
		if (de->d_name[0] != '.')
			names.insert(de->d_name);
	closedir(d);
	return names;
}

// The command gets only descriptors 0, 1 and 2, the signal mask daemon was
// started with, and SIGHUP and SIGTERM at their default action, although the
// supervisor ignores both.
TEST_F(supervised, CommandInheritsOnlyStandardDescriptorsAndSignalState)
{
	// perl blocks SIGUSR1 and then runs daemon with that mask.
	const char *block_usr1 =
	    "sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGUSR1)) or die $!; "
	    "exec {$ARGV[0]} @ARGV or die $!";
	auto s = supervise::start_through({"perl", "-MPOSIX", "-e", block_usr1},
	    dir.path, {"-p", at("child.pid"), "-o", at("out"), "-H", "sleep",
	    "60"});
	ASSERT_GT(s.pid, 0);
	auto child = supervise::wait_pid_file(at("child.pid"));
	ASSERT_TRUE(child.has_value());
	ASSERT_TRUE(harness::wait_until([&] {
		return harness::cmdline_of(*child).rfind("sleep", 0) == 0;
	}, 5000)) << "command did not start";

	// Right after the exec the dynamic loader may still hold a library
	// open: only a descriptor that stays counts.
	const std::set<std::string> standard{"0", "1", "2"};
	harness::wait_until([&] { return fd_names(*child) == standard; }, 3000);
	EXPECT_EQ(fd_names(*child), standard);
	EXPECT_EQ(harness::status_field(*child, "SigBlk"),
	    std::string("0000000000000200"));
	auto ignored = harness::status_field(*child, "SigIgn");
	ASSERT_TRUE(ignored.has_value());
	unsigned long long mask = std::stoull(*ignored, nullptr, 16);
	EXPECT_EQ(mask & (1ULL << (SIGHUP - 1)), 0u) << "SIGHUP ignored";
	EXPECT_EQ(mask & (1ULL << (SIGTERM - 1)), 0u) << "SIGTERM ignored";
	// The signals that stop or reopen reach the supervisor as requests.
	EXPECT_TRUE(alive(s.pid));
}

}  // namespace
