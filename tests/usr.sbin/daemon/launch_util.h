// Shared by the command-line, start-up and plain-mode tests: start daemon on a
// command that records its own pid, then tell from the process tree whether
// daemon stayed behind as a supervisor or turned into the command.
#pragma once

#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

#include "harness.h"

namespace launch {

struct started {
    harness::result r;
    pid_t cmd = -1;        // $$ of the command's shell
    pid_t top = -1;        // the live process re-parented to the test
    int live_children = 0; // live children of the test after the invoker ended
};

inline std::string sh_quote(const std::string &s) { return "'" + s + "'"; }

// Runs: daemon OPTS sh -c 'echo $$ > DIR/cmd.pid; exec sleep 30'.
// With a wrapper, the wrapper's words come first and daemon's path follows
// them (e.g. a shell that changes signal dispositions before exec'ing it).
inline started start_marked(const std::vector<std::string> &opts, const std::string &dir,
                            const harness::run_opts &ro = {},
                            const std::vector<std::string> &wrapper = {}) {
    started s;
    std::string mark = dir + "/cmd.pid";
    std::vector<std::string> argv = wrapper;
    argv.push_back(harness::daemon_path());
    argv.insert(argv.end(), opts.begin(), opts.end());
    argv.insert(argv.end(), {"sh", "-c", "echo $$ > " + sh_quote(mark) + "; exec sleep 30"});
    s.r = harness::run_program(argv, ro);
    if (s.r.status != 0)
        return s;
    harness::wait_until([&] { return harness::read_pid(mark).has_value(); }, 5000);
    if (auto p = harness::read_pid(mark))
        s.cmd = *p;
    for (pid_t c : harness::children()) {
        char st = harness::proc_state(c);
        if (st != 0 && st != 'Z') {
            s.top = c;
            ++s.live_children;
        }
    }
    return s;
}

// The detached process itself became the command.
inline bool is_plain(const started &s) {
    return s.live_children == 1 && s.cmd > 0 && s.top == s.cmd;
}

// A separate process stayed behind as the command's parent.
inline bool is_supervised(const started &s) {
    return s.live_children == 1 && s.cmd > 0 && s.top != s.cmd && harness::parent_of(s.cmd) == s.top;
}

// Replaces every '@' with dir, so tables can name paths inside a temp dir.
inline std::string at(const std::string &s, const std::string &dir) {
    std::string out;
    for (char c : s)
        if (c == '@')
            out += dir;
        else
            out += c;
    return out;
}

inline std::vector<std::string> at(const std::vector<std::string> &v, const std::string &dir) {
    std::vector<std::string> out;
    for (const auto &s : v)
        out.push_back(at(s, dir));
    return out;
}

inline bool exists(const std::string &path) {
    struct stat sb;
    return lstat(path.c_str(), &sb) == 0;
}

inline std::string describe(const started &s) {
    return "status " + std::to_string(s.r.status) + ", stderr \"" + s.r.err + "\", cmd " +
           std::to_string(s.cmd) + ", top " + std::to_string(s.top) + ", live children " +
           std::to_string(s.live_children);
}

// The invoker detached without a word, and the command runs plain or under
// a supervisor as expected.
inline void expect_started(const started &s, bool supervised) {
    ASSERT_EQ(s.r.status, 0) << describe(s);
    EXPECT_EQ(s.r.err, "");
    if (supervised)
        EXPECT_TRUE(is_supervised(s)) << describe(s);
    else
        EXPECT_TRUE(is_plain(s)) << describe(s);
}

}  // namespace launch
