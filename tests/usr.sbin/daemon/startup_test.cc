// Start-up: the output file and the pidfiles are opened in the invoking
// process, so their failures reach the invoker's stderr and exit status, and
// relative paths are taken from the invoker's working directory.
#include <csignal>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"
#include "launch_util.h"

namespace {

using launch::at;
using launch::exists;

// Sets the umask for one test and puts the old one back.
struct umask_guard {
    mode_t old;
    explicit umask_guard(mode_t m) : old(umask(m)) {}
    ~umask_guard() { umask(old); }
};

mode_t mode_of(const std::string &path) {
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0)
        return static_cast<mode_t>(-1);
    return sb.st_mode & 07777;
}

// ---------------------------------------------------------------------------
// Failures before detaching. '@' stands for the test's temp dir.

struct failure_case {
    const char *name;
    std::vector<std::string> args;
    int status;
    std::string message;               // after "daemon: "
    std::vector<std::string> absent;   // must not exist afterwards
    std::vector<std::string> present;  // must exist afterwards
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const failure_case &c, std::ostream *os) { *os << c.name; }

class StartupFailure : public testing::TestWithParam<failure_case> {};

TEST_P(StartupFailure, ReportsAndExits) {
    const failure_case &c = GetParam();
    harness::temp_dir dir;
    harness::result r = harness::run(at(c.args, dir.path));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "daemon: " + at(c.message, dir.path) + "\n");
    EXPECT_EQ(r.out, "");
    // Nothing was detached.
    EXPECT_TRUE(harness::children().empty());
    for (const auto &p : c.absent)
        EXPECT_FALSE(exists(at(p, dir.path))) << p;
    for (const auto &p : c.present)
        EXPECT_TRUE(exists(at(p, dir.path))) << p;
}

const char *const NOENT = "No such file or directory";

const failure_case failure_cases[] = {
    {"output_in_missing_dir", {"-o", "@/missing/out", "true"}, 7,
     std::string("open: ") + NOENT, {}, {}},
    {"output_is_directory", {"-o", "@", "true"}, 7, "open: Is a directory", {}, {}},
    {"output_long_form", {"--output-file=@/missing/out", "true"}, 7,
     std::string("open: ") + NOENT, {}, {}},
    // The output file comes first: no pidfile is created when it fails.
    {"output_fails_before_pidfiles",
     {"-p", "@/c.pid", "-P", "@/s.pid", "-o", "@/missing/out", "true"}, 7,
     std::string("open: ") + NOENT, {"@/c.pid", "@/s.pid"}, {}},
    {"child_pidfile_in_missing_dir", {"-p", "@/missing/c.pid", "true"}, 2,
     std::string("pidfile ``@/missing/c.pid'': ") + NOENT, {}, {}},
    {"child_pidfile_long_form", {"--child-pidfile", "@/missing/c.pid", "true"}, 2,
     std::string("pidfile ``@/missing/c.pid'': ") + NOENT, {}, {}},
    // The supervisor pidfile is not tried after the child pidfile failed.
    {"child_pidfile_fails_before_supervisor_pidfile",
     {"-p", "@/missing/c.pid", "-P", "@/s.pid", "true"}, 2,
     std::string("pidfile ``@/missing/c.pid'': ") + NOENT, {"@/s.pid"}, {}},
    {"supervisor_pidfile_in_missing_dir", {"-P", "@/missing/s.pid", "true"}, 2,
     std::string("ppidfile ``@/missing/s.pid'': ") + NOENT, {}, {}},
    {"supervisor_pidfile_long_form", {"--supervisor-pidfile=@/missing/s.pid", "true"}, 2,
     std::string("ppidfile ``@/missing/s.pid'': ") + NOENT, {}, {}},
    // The child pidfile this invocation created is removed again.
    {"supervisor_pidfile_failure_removes_child_pidfile",
     {"-p", "@/c.pid", "-P", "@/missing/s.pid", "true"}, 2,
     std::string("ppidfile ``@/missing/s.pid'': ") + NOENT, {"@/c.pid"}, {}},
    // An output file created before the failure stays in place.
    {"output_file_kept_after_pidfile_failure",
     {"-o", "@/out", "-p", "@/missing/c.pid", "true"}, 2,
     std::string("pidfile ``@/missing/c.pid'': ") + NOENT, {}, {"@/out"}},
};

INSTANTIATE_TEST_SUITE_P(Startup, StartupFailure, testing::ValuesIn(failure_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A second instance is refused while a first one holds a pidfile.

struct held_case {
    const char *name;
    std::vector<std::string> first;
    std::vector<std::string> second;
    const char *holder_file;           // whose pid the refusal names
    std::vector<std::string> absent;   // the second instance left nothing behind
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const held_case &c, std::ostream *os) { *os << c.name; }

class PidfileHeld : public testing::TestWithParam<held_case> {};

TEST_P(PidfileHeld, SecondInstanceRefused) {
    const held_case &c = GetParam();
    harness::temp_dir dir;
    launch::started first = launch::start_marked(at(c.first, dir.path), dir.path);
    ASSERT_EQ(first.r.status, 0) << launch::describe(first);
    ASSERT_TRUE(launch::is_supervised(first)) << launch::describe(first);

    std::string holder_file = at(c.holder_file, dir.path);
    // The pidfiles are written after detaching; wait until this one is.
    ASSERT_TRUE(harness::wait_until([&] { return harness::read_pid(holder_file).has_value(); }, 5000));
    pid_t holder = *harness::read_pid(holder_file);
    ASSERT_TRUE(holder == first.cmd || holder == first.top) << holder;

    std::vector<std::string> second = at(c.second, dir.path);
    second.push_back("true");
    harness::result r = harness::run(second);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "daemon: process already running, pid: " + std::to_string(holder) + "\n");
    EXPECT_EQ(r.out, "");

    // The holder's file is untouched and the first instance lives on.
    EXPECT_EQ(harness::read_pid(holder_file), holder);
    EXPECT_EQ(kill(first.cmd, 0), 0);
    EXPECT_EQ(kill(first.top, 0), 0);
    for (const auto &p : c.absent)
        EXPECT_FALSE(exists(at(p, dir.path))) << p;
    // Only the first instance's supervisor is a child of the test.
    std::vector<pid_t> kids = harness::children();
    EXPECT_EQ(kids, std::vector<pid_t>{first.top});
}

const held_case held_cases[] = {
    // The supervisor pidfile is not even tried.
    {"child_pidfile", {"-p", "@/c.pid"}, {"-p", "@/c.pid", "-P", "@/s2.pid"}, "@/c.pid", {"@/s2.pid"}},
    // The child pidfile that the second instance created is removed again.
    {"supervisor_pidfile", {"-P", "@/s.pid"}, {"-p", "@/c2.pid", "-P", "@/s.pid"}, "@/s.pid", {"@/c2.pid"}},
    {"both_pidfiles", {"-p", "@/c.pid", "-P", "@/s.pid"}, {"-p", "@/c.pid", "-P", "@/s.pid"}, "@/c.pid", {}},
    {"long_forms", {"--child-pidfile=@/c.pid"}, {"--child-pidfile", "@/c.pid"}, "@/c.pid", {}},
};

INSTANTIATE_TEST_SUITE_P(Startup, PidfileHeld, testing::ValuesIn(held_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// What start-up creates.

TEST(Pidfiles, Mode0600AndHoldPids) {
    umask_guard um(0);
    harness::temp_dir dir;
    std::string c_pid = dir.path + "/c.pid", s_pid = dir.path + "/s.pid";
    launch::started s = launch::start_marked({"-p", c_pid, "-P", s_pid}, dir.path);
    ASSERT_EQ(s.r.status, 0) << launch::describe(s);
    ASSERT_TRUE(launch::is_supervised(s)) << launch::describe(s);
    ASSERT_TRUE(harness::wait_until(
        [&] { return harness::read_pid(c_pid).has_value() && harness::read_pid(s_pid).has_value(); },
        5000));
    // The child pidfile names the command, the supervisor pidfile the
    // supervisor; each holds exactly "PID\n".
    EXPECT_EQ(harness::read_file(c_pid), std::to_string(s.cmd) + "\n");
    EXPECT_EQ(harness::read_file(s_pid), std::to_string(s.top) + "\n");
    EXPECT_EQ(mode_of(c_pid), 0600u);
    EXPECT_EQ(mode_of(s_pid), 0600u);
}

TEST(OutputFile, CreatedWithMode0600BeforeDetaching) {
    umask_guard um(0);
    harness::temp_dir dir;
    std::string out = dir.path + "/out";
    harness::result r = harness::run({"-o", out, "true"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Checked right after the invoker ended: it was created before detaching.
    EXPECT_TRUE(exists(out));
    EXPECT_EQ(mode_of(out), 0600u);
}

TEST(OutputFile, ExistingFileIsAppendedNotTruncated) {
    harness::temp_dir dir;
    std::string out = dir.path + "/out";
    ASSERT_TRUE(harness::write_file(out, "older line\n"));
    ASSERT_EQ(chmod(out.c_str(), 0640), 0);
    harness::result r = harness::run({"-o", out, "sh", "-c", "echo new"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Written at offset 0 without appending this would read "new\nr line\n".
    EXPECT_TRUE(harness::wait_until([&] { return harness::read_file(out) == "older line\nnew\n"; }, 5000))
        << harness::read_file(out);
    EXPECT_EQ(mode_of(out), 0640u);
}

TEST(OutputFile, CommandDoesNotInheritItsDescriptor) {
    harness::temp_dir dir;
    std::string out = dir.path + "/out", fds = dir.path + "/fds";
    harness::result r = harness::run(
        {"-o", out, "sh", "-c",
         "x=$(ls -l /proc/$$/fd 2>&1); echo \"$x\" > " + launch::sh_quote(fds + ".tmp") + "; mv " +
             launch::sh_quote(fds + ".tmp") + " " + launch::sh_quote(fds)});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(harness::wait_until([&] { return exists(fds); }, 5000));
    std::string listing = harness::read_file(fds);
    EXPECT_NE(listing.find("0 ->"), std::string::npos) << listing;
    EXPECT_EQ(listing.find(out), std::string::npos) << listing;
}

// Relative -o/-p/-P are opened before detaching, so -c (which moves the
// detached process to "/") does not change where they are; the orderly end
// of the supervisor removes both pidfiles through the same handles.
TEST(RelativePaths, ResolvedAgainstInvokerCwdEvenWithChangeDir) {
    harness::temp_dir dir;
    std::string tag = "daemon-test-" + std::to_string(getpid());
    std::string c_name = tag + "-c.pid", s_name = tag + "-s.pid", o_name = tag + "-out";
    std::string d = dir.path;
    std::string script = "echo $$ > " + launch::sh_quote(d + "/cmd.pid") + "; pwd > " +
                         launch::sh_quote(d + "/cwd") + "; i=0; while [ ! -e " + launch::sh_quote(d + "/go") +
                         " ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done";
    harness::run_opts ro;
    ro.cwd = d;
    harness::result r = harness::run({"-c", "-o", o_name, "-p", c_name, "-P", s_name, "sh", "-c", script}, ro);
    ASSERT_EQ(r.status, 0) << r.err;

    ASSERT_TRUE(harness::wait_until(
        [&] {
            return harness::read_pid(d + "/cmd.pid").has_value() && harness::read_file(d + "/cwd") == "/\n" &&
                   harness::read_pid(d + "/" + c_name).has_value() &&
                   harness::read_pid(d + "/" + s_name).has_value();
        },
        5000))
        << "cwd: " << harness::read_file(d + "/cwd");
    pid_t cmd = *harness::read_pid(d + "/cmd.pid");
    pid_t supervisor = *harness::read_pid(d + "/" + s_name);
    EXPECT_EQ(harness::read_pid(d + "/" + c_name), cmd);
    EXPECT_EQ(harness::parent_of(cmd), supervisor);
    EXPECT_EQ(harness::parent_of(supervisor), getpid());
    EXPECT_TRUE(exists(d + "/" + o_name));
    for (const auto &name : {c_name, s_name, o_name}) {
        EXPECT_FALSE(exists("/" + name)) << name;
        unlink(("/" + name).c_str());
    }

    // Let the command end; without restart the supervisor ends with status 1
    // and takes both pidfiles with it.
    ASSERT_TRUE(harness::write_file(d + "/go", ""));
    auto end = harness::reap(supervisor, 10000);
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->status, 1);
    EXPECT_FALSE(exists(d + "/" + c_name));
    EXPECT_FALSE(exists(d + "/" + s_name));
    EXPECT_TRUE(exists(d + "/" + o_name));
}

}  // namespace
