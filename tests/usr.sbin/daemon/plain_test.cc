// Plain mode (no supervision): the detached process turns into the command,
// keeping its pid. Also: which options ask for a supervisor, the command's
// user, descriptors, working directory and signal dispositions, and how a
// failed launch is reported.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <ostream>
#include <string>
#include <vector>

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"
#include "launch_util.h"

namespace {

using launch::at;
using launch::sh_quote;

// The command's shell writes into the temp dir, also when it runs as nobody.
struct shared_dir {
    harness::temp_dir dir;
    shared_dir() { chmod(dir.path.c_str(), 0777); }
};

TEST(PlainMode, DetachedProcessBecomesTheCommand) {
    harness::temp_dir dir;
    launch::started s = launch::start_marked({}, dir.path);
    ASSERT_EQ(s.r.status, 0) << launch::describe(s);
    EXPECT_EQ(s.r.err, "");
    EXPECT_EQ(s.r.out, "");
    // Same pid: the re-parented process is the shell that wrote $$.
    ASSERT_TRUE(launch::is_plain(s)) << launch::describe(s);
    EXPECT_NE(s.top, s.r.pid);
    const std::string sleeping("sleep\0" "30\0", 9);
    EXPECT_TRUE(harness::wait_until([&] { return harness::cmdline_of(s.top) == sleeping; }, 5000));
    // No output file, pidfile or syslog descriptor came along.
    EXPECT_EQ(harness::fd_count(s.top), 3);
}

TEST(PlainMode, WordsAfterTheCommandBelongToIt) {
    harness::temp_dir dir;
    std::string d = dir.path;
    std::string script = "printf '%s|' \"$0\" \"$@\" > " + sh_quote(d + "/args.tmp") + "; mv " +
                         sh_quote(d + "/args.tmp") + " " + sh_quote(d + "/args") + "; echo $$ > " +
                         sh_quote(d + "/cmd.pid") + "; exec sleep 30";
    harness::result r = harness::run({"sh", "-c", script, "-r", "-S", "-p", d + "/c.pid", "--", "-h"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(harness::wait_until([&] { return harness::read_pid(d + "/cmd.pid").has_value(); }, 5000));
    EXPECT_EQ(harness::read_file(d + "/args"), "-r|-S|-p|" + d + "/c.pid|--|-h|");
    // -r, -S and -p were not taken as options: no supervisor, no pidfile.
    EXPECT_EQ(harness::children(), std::vector<pid_t>{*harness::read_pid(d + "/cmd.pid")});
    EXPECT_FALSE(launch::exists(d + "/c.pid"));
}

// ---------------------------------------------------------------------------
// Which options make daemon stay behind as a supervisor. '@' is the temp dir.

struct switch_case {
    const char *name;
    std::vector<std::string> opts;
    bool supervised;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const switch_case &c, std::ostream *os) { *os << c.name; }

class SupervisionSwitch : public testing::TestWithParam<switch_case> {};

TEST_P(SupervisionSwitch, PlainOrSupervised) {
    const switch_case &c = GetParam();
    std::vector<std::string> opts = c.opts;
    if (std::find(opts.begin(), opts.end(), "nobody") != opts.end() ||
        std::find(opts.begin(), opts.end(), "--user=nobody") != opts.end())
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to switch user";
    shared_dir sd;
    launch::started s = launch::start_marked(at(opts, sd.dir.path), sd.dir.path);
    launch::expect_started(s, c.supervised);
}

const switch_case switch_cases[] = {
    {"no_options", {}, false},
    {"change_dir", {"-c"}, false},
    {"close_fds", {"-f"}, false},
    {"sighup", {"-H"}, false},
    {"user", {"-u", "nobody"}, false},
    {"title", {"-t", "name"}, false},
    {"empty_title", {"-t", ""}, false},
    {"mask_0", {"-m", "0"}, false},
    {"mask_2", {"-m", "2"}, false},
    {"restart_delay", {"-R", "5"}, false},
    {"long_change_dir", {"--change-dir"}, false},
    {"long_close_fds", {"--close-fds"}, false},
    {"long_sighup", {"--sighup"}, false},
    {"long_user", {"--user=nobody"}, false},
    {"long_title", {"--title", "name"}, false},
    {"long_mask", {"--output-mask=1"}, false},
    {"long_restart_delay", {"--restart-delay", "2"}, false},
    {"all_that_do_not_supervise",
     {"-c", "-f", "-H", "-u", "nobody", "-t", "x", "-m", "2", "-R", "3"}, false},
    {"syslog", {"-S"}, true},
    {"child_pidfile", {"-p", "@/c.pid"}, true},
    {"supervisor_pidfile", {"-P", "@/s.pid"}, true},
    {"restart", {"-r"}, true},
    {"output_file", {"-o", "@/out"}, true},
    {"syslog_priority", {"-s", "info"}, true},
    {"syslog_priority_default_value", {"-s", "notice"}, true},
    {"syslog_facility", {"-l", "local0"}, true},
    {"syslog_facility_default_value", {"-l", "daemon"}, true},
    {"syslog_tag", {"-T", "tag"}, true},
    {"syslog_tag_default_value", {"-T", "daemon"}, true},
    {"long_syslog", {"--syslog"}, true},
    {"long_child_pidfile", {"--child-pidfile=@/c.pid"}, true},
    {"long_supervisor_pidfile", {"--supervisor-pidfile", "@/s.pid"}, true},
    {"long_restart", {"--restart"}, true},
    {"long_output_file", {"--output-file=@/out"}, true},
    {"long_syslog_priority", {"--syslog-priority", "notice"}, true},
    {"long_syslog_facility", {"--syslog-facility=daemon"}, true},
    {"long_syslog_tag", {"--syslog-tag", "daemon"}, true},
    {"restart_delay_with_syslog", {"-R", "5", "-S"}, true},
    {"restart_after_the_others", {"-c", "-f", "-H", "-t", "x", "-m", "2", "-R", "3", "-r"}, true},
};

INSTANTIATE_TEST_SUITE_P(Plain, SupervisionSwitch, testing::ValuesIn(switch_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// -u: the command gets exactly the user's ids, groups and environment.

std::vector<long> numbers(const std::string &s) {
    std::vector<long> v;
    std::istringstream in(s);
    long n;
    while (in >> n)
        v.push_back(n);
    return v;
}

struct user_case {
    const char *name;
    std::vector<std::string> opts;
    bool supervised;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const user_case &c, std::ostream *os) { *os << c.name; }

class RunAsUser : public testing::TestWithParam<user_case> {};

TEST_P(RunAsUser, CommandHasExactlyTheUsersCredentials) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch user";
    const user_case &c = GetParam();
    struct passwd *pw = getpwnam("nobody");
    ASSERT_NE(pw, nullptr) << "no user nobody on this host";
    uid_t uid = pw->pw_uid;
    gid_t gid = pw->pw_gid;
    std::string home = pw->pw_dir;
    std::string shell = *pw->pw_shell ? pw->pw_shell : "/bin/sh";
    std::vector<gid_t> groups(256);
    int ngroups = static_cast<int>(groups.size());
    ASSERT_GE(getgrouplist("nobody", gid, groups.data(), &ngroups), 0);
    groups.resize(static_cast<size_t>(ngroups));
    std::vector<long> want_groups(groups.begin(), groups.end());
    std::sort(want_groups.begin(), want_groups.end());
    want_groups.erase(std::unique(want_groups.begin(), want_groups.end()), want_groups.end());

    shared_dir sd;
    std::string d = sd.dir.path;
    std::string script = "printf '%s|%s|%s|%s\\n' \"$USER\" \"$HOME\" \"$SHELL\" \"$KEEP\" > " +
                         sh_quote(d + "/env.tmp") + " && mv " + sh_quote(d + "/env.tmp") + " " +
                         sh_quote(d + "/env") + "; echo $$ > " + sh_quote(d + "/cmd.pid") + "; exec sleep 30";
    harness::run_opts ro;
    // The invoker's own values must be replaced; others pass through.
    ro.env = {"PATH=/usr/bin:/bin", "USER=root", "HOME=/root", "SHELL=/bin/bash", "KEEP=kept"};
    std::vector<std::string> args = at(c.opts, d);
    args.insert(args.end(), {"sh", "-c", script});
    harness::result r = harness::run(args, ro);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(harness::wait_until(
        [&] { return harness::read_pid(d + "/cmd.pid").has_value() && launch::exists(d + "/env"); }, 5000))
        << harness::read_file(r.err_path);
    pid_t cmd = *harness::read_pid(d + "/cmd.pid");
    if (c.supervised)
        EXPECT_NE(harness::parent_of(cmd), getpid());
    else
        EXPECT_EQ(harness::parent_of(cmd), getpid());

    std::vector<long> u(4, static_cast<long>(uid)), g(4, static_cast<long>(gid));
    EXPECT_EQ(numbers(harness::status_field(cmd, "Uid").value_or("")), u);
    EXPECT_EQ(numbers(harness::status_field(cmd, "Gid").value_or("")), g);
    std::vector<long> have_groups = numbers(harness::status_field(cmd, "Groups").value_or(""));
    std::sort(have_groups.begin(), have_groups.end());
    EXPECT_EQ(have_groups, want_groups);
    EXPECT_EQ(harness::read_file(d + "/env"), "nobody|" + home + "|" + shell + "|kept\n");
}

const user_case user_cases[] = {
    {"plain", {"-u", "nobody"}, false},
    {"long_form", {"--user", "nobody"}, false},
    // The child pidfile is written as root before the switch and names the command.
    {"supervised", {"-u", "nobody", "-p", "@/c.pid"}, true},
};

INSTANTIATE_TEST_SUITE_P(Plain, RunAsUser, testing::ValuesIn(user_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A launch that fails after detaching: the detached process reports on the
// invoker's stderr (unless -f) and ends with status 1; the invoker itself
// succeeded. '@' is the temp dir.

struct launch_failure_case {
    const char *name;
    std::vector<std::string> args;
    std::string message;  // exact stderr of the detached process
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const launch_failure_case &c, std::ostream *os) { *os << c.name; }

class LaunchFailure : public testing::TestWithParam<launch_failure_case> {};

TEST_P(LaunchFailure, DetachedProcessReportsAndExits1) {
    const launch_failure_case &c = GetParam();
    harness::temp_dir dir;
    ASSERT_TRUE(harness::write_file(dir.path + "/not-executable", "#!/bin/sh\ntrue\n"));
    ASSERT_EQ(chmod((dir.path + "/not-executable").c_str(), 0644), 0);
    harness::result r = harness::run(at(c.args, dir.path));
    ASSERT_EQ(r.status, 0) << r.err;
    auto end = harness::reap(-1, 5000);
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->status, 1);
    EXPECT_EQ(harness::read_file(r.err_path), at(c.message, dir.path));
    EXPECT_EQ(harness::read_file(r.out_path), "");
    EXPECT_FALSE(launch::exists(dir.path + "/ran"));
}

const launch_failure_case launch_failure_cases[] = {
    {"unknown_user", {"-u", "no-such-user-zq", "sh", "-c", "touch @/ran"},
     "daemon: unknown user: no-such-user-zq\n"},
    {"user_names_are_case_sensitive", {"-u", "NOBODY", "sh", "-c", "touch @/ran"},
     "daemon: unknown user: NOBODY\n"},
    {"missing_path", {"/nonexistent/cmd", "x"}, "daemon: /nonexistent/cmd: No such file or directory\n"},
    {"bare_name_not_on_path", {"no-such-command-zq"}, "daemon: no-such-command-zq: No such file or directory\n"},
    {"not_executable", {"@/not-executable"}, "daemon: @/not-executable: Permission denied\n"},
    {"directory", {"@"}, "daemon: @: Permission denied\n"},
    // -f points stderr at /dev/null before the failure.
    {"close_fds_silences_message", {"-f", "/nonexistent/cmd"}, ""},
};

INSTANTIATE_TEST_SUITE_P(Plain, LaunchFailure, testing::ValuesIn(launch_failure_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// -f and -c: the command's standard descriptors and working directory.

struct fds_case {
    const char *name;
    std::vector<std::string> opts;
    bool null_fds;
    bool root_cwd;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const fds_case &c, std::ostream *os) { *os << c.name; }

class StdFdsAndDir : public testing::TestWithParam<fds_case> {};

TEST_P(StdFdsAndDir, AsRequested) {
    const fds_case &c = GetParam();
    harness::temp_dir dir;
    std::string d = dir.path;
    // Read inside $(...) so that no redirection of the shell itself is seen.
    std::string script = "x=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); echo \"$x\" > " +
                         sh_quote(d + "/fds") +
                         "; pwd > " + sh_quote(d + "/cwd") + "; echo $$ > " + sh_quote(d + "/cmd.pid") +
                         "; exec sleep 30";
    harness::run_opts ro;
    ro.cwd = d;
    ro.stdin_data = "input\n";
    std::vector<std::string> args = c.opts;
    args.insert(args.end(), {"sh", "-c", script});
    harness::result r = harness::run(args, ro);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(harness::wait_until([&] { return harness::read_pid(d + "/cmd.pid").has_value(); }, 5000));
    EXPECT_EQ(harness::children(), std::vector<pid_t>{*harness::read_pid(d + "/cmd.pid")});

    std::istringstream fds(harness::read_file(d + "/fds"));
    std::string in, out, err;
    std::getline(fds, in);
    std::getline(fds, out);
    std::getline(fds, err);
    if (c.null_fds) {
        EXPECT_EQ(in, "/dev/null");
        EXPECT_EQ(out, "/dev/null");
        EXPECT_EQ(err, "/dev/null");
    } else {
        // The invoker's stdin was a file with the data, not /dev/null.
        EXPECT_EQ(in.substr(in.size() < 3 ? 0 : in.size() - 3), ".in");
        EXPECT_EQ(out, r.out_path);
        EXPECT_EQ(err, r.err_path);
    }
    EXPECT_EQ(harness::read_file(d + "/cwd"), (c.root_cwd ? std::string("/") : d) + "\n");
}

const fds_case fds_cases[] = {
    {"defaults", {}, false, false},
    {"close_fds", {"-f"}, true, false},
    {"change_dir", {"-c"}, false, true},
    {"both", {"-c", "-f"}, true, true},
    {"long_forms", {"--close-fds", "--change-dir"}, true, true},
};

INSTANTIATE_TEST_SUITE_P(Plain, StdFdsAndDir, testing::ValuesIn(fds_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The command starts with SIGHUP and SIGTERM at their default action, also
// when daemon itself was started with them ignored.

bool ignores(pid_t pid, int sig) {
    std::string mask = harness::status_field(pid, "SigIgn").value_or("");
    unsigned long long bits = std::strtoull(mask.c_str(), nullptr, 16);
    return (bits >> (sig - 1)) & 1;
}

struct signal_case {
    const char *name;
    std::vector<std::string> opts;
    std::vector<std::string> wrapper;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const signal_case &c, std::ostream *os) { *os << c.name; }

class CommandSignals : public testing::TestWithParam<signal_case> {};

TEST_P(CommandSignals, HupAndTermAtDefault) {
    const signal_case &c = GetParam();
    harness::temp_dir dir;
    launch::started s = launch::start_marked(c.opts, dir.path, {}, c.wrapper);
    ASSERT_EQ(s.r.status, 0) << launch::describe(s);
    ASSERT_GT(s.cmd, 0) << launch::describe(s);
    EXPECT_FALSE(ignores(s.cmd, SIGHUP));
    EXPECT_FALSE(ignores(s.cmd, SIGTERM));
    if (s.top != s.cmd && s.top > 0) {
        // The supervisor keeps both ignored.
        EXPECT_TRUE(ignores(s.top, SIGHUP));
        EXPECT_TRUE(ignores(s.top, SIGTERM));
    }
}

const std::vector<std::string> IGNORING_SHELL = {"sh", "-c", "trap '' HUP TERM; exec \"$0\" \"$@\""};

const signal_case signal_cases[] = {
    {"plain", {}, {}},
    {"plain_started_ignoring", {}, IGNORING_SHELL},
    {"supervised", {"-S"}, {}},
    {"supervised_started_ignoring", {"-S"}, IGNORING_SHELL},
};

INSTANTIATE_TEST_SUITE_P(Plain, CommandSignals, testing::ValuesIn(signal_cases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
