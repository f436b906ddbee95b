// Small helpers shared by the tests of daemon as a supervisor: start it with
// a supervisor pidfile so the test knows the supervisor's pid, drive a shell
// command step by step through trigger files, and read a process's CPU time
// and memory from /proc.
#ifndef DAEMON_TEST_SUPERVISE_UTIL_H
#define DAEMON_TEST_SUPERVISE_UTIL_H

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace supervise {

// The supervisor writes its pidfile right after detaching, so the invoker
// may already be gone while the file is still empty.
inline std::optional<pid_t> wait_pid_file(const std::string &path,
    int timeout_ms = 5000)
{
	std::optional<pid_t> pid;
	harness::wait_until([&] { return (pid = harness::read_pid(path)).has_value(); },
	    timeout_ms);
	return pid;
}

// The supervisor as the test's adopted child running daemon; it may already
// have ended (a zombie keeps its name).
inline std::optional<pid_t> adopted_daemon()
{
	for (pid_t pid : harness::children())
		if (harness::read_file("/proc/" + std::to_string(pid) + "/comm") ==
		    "daemon\n")
			return pid;
	return std::nullopt;
}

// The supervisor's pid from its pidfile or, when a short command let it end
// and remove the file already, from the adopted process.
inline std::optional<pid_t> wait_supervisor(const std::string &pidfile,
    int timeout_ms = 5000)
{
	std::optional<pid_t> pid;
	harness::wait_until([&] {
		pid = harness::read_pid(pidfile);
		if (!pid && access(pidfile.c_str(), F_OK) != 0)
			pid = adopted_daemon();
		return pid.has_value();
	}, timeout_ms);
	return pid;
}

struct supervisor {
	harness::result invoker;
	pid_t pid = -1;		// the supervisor, re-parented to the test
	std::string pidfile;	// supervisor pidfile
};

// Runs WRAPPER... daemon -P DIR/sup.pid ARGS... in dir and waits for the
// supervisor's pid; the wrapper (such as setpriv) ends by running daemon and
// holds its words up to and excluding daemon's path.  Failures are reported
// through gtest; pid stays -1 then.
inline supervisor start_through(const std::vector<std::string> &wrapper,
    const std::string &dir, const std::vector<std::string> &args,
    harness::run_opts opts = {})
{
	supervisor s;
	s.pidfile = dir + "/sup.pid";
	std::vector<std::string> all = wrapper;
	all.push_back(harness::daemon_path());
	all.push_back("-P");
	all.push_back(s.pidfile);
	all.insert(all.end(), args.begin(), args.end());
	if (opts.cwd.empty())
		opts.cwd = dir;
	s.invoker = harness::run_program(all, opts);
	EXPECT_EQ(s.invoker.status, 0) << s.invoker.err;
	if (auto pid = wait_supervisor(s.pidfile))
		s.pid = *pid;
	else
		ADD_FAILURE() << "no supervisor pid in " << s.pidfile;
	return s;
}

// The same without a wrapper.
inline supervisor start(const std::string &dir,
    const std::vector<std::string> &args, harness::run_opts opts = {})
{
	return start_through({}, dir, args, std::move(opts));
}

inline bool exists(const std::string &path)
{
	return access(path.c_str(), F_OK) == 0;
}

inline bool alive(pid_t pid)
{
	char st = harness::proc_state(pid);
	return st != 0 && st != 'Z';
}

// A shell script that prints L1, then for each i < n waits for the file gi
// in its working directory and prints L(i+1); then runs tail.
inline std::string stepper(int n, const std::string &tail = "exec sleep 60")
{
	std::string s = "echo L1";
	for (int i = 1; i < n; i++)
		s += "; while [ ! -e g" + std::to_string(i) +
		    " ]; do sleep 0.02; done; echo L" + std::to_string(i + 1);
	return s + "; " + tail;
}

inline void touch(const std::string &path)
{
	ASSERT_TRUE(harness::write_file(path, "")) << path;
}

inline bool wait_content(const std::string &path, const std::string &want,
    int timeout_ms = 5000)
{
	return harness::wait_until(
	    [&] { return harness::read_file(path) == want; }, timeout_ms);
}

inline size_t count(const std::string &hay, const std::string &needle)
{
	size_t n = 0;
	for (size_t pos = hay.find(needle); pos != std::string::npos;
	     pos = hay.find(needle, pos + needle.size()))
		n++;
	return n;
}

inline std::vector<std::string> lines_of(const std::string &s)
{
	std::vector<std::string> out;
	std::istringstream in(s);
	for (std::string line; std::getline(in, line);)
		out.push_back(line);
	return out;
}

// utime + stime of a process in clock ticks; -1 when it is gone.
inline long cpu_ticks(pid_t pid)
{
	std::string stat =
	    harness::read_file("/proc/" + std::to_string(pid) + "/stat");
	size_t close = stat.rfind(')');
	if (close == std::string::npos)
		return -1;
	std::istringstream in(stat.substr(close + 2));
	std::vector<std::string> f;
	for (std::string w; in >> w;)
		f.push_back(w);
	// Fields from the state on: utime and stime are the 12th and 13th.
	if (f.size() < 13)
		return -1;
	return std::stol(f[11]) + std::stol(f[12]);
}

// Resident anonymous memory in kB (heap, stack, data: where a leak shows),
// -1 when unknown.  Mapped file pages are left out: how many of a shared
// library's pages the kernel maps varies from run to run.
inline long anon_rss_kb(pid_t pid)
{
	auto v = harness::status_field(pid, "RssAnon");
	return v ? std::stol(*v) : -1;
}

// The supervisor's title as it shows in /proc/PID/cmdline.
inline std::string title_line(const std::string &title, pid_t child)
{
	return "daemon: " + title + "[" + std::to_string(child) + "]" +
	    std::string(1, '\0');
}

}  // namespace supervise

#endif
