// Helpers for black-box tests of the daemon program: run it (or any other
// program) with its output captured in files, follow the processes it leaves
// behind, and clean them up again.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace harness {

// Path of the daemon binary under test.
std::string daemon_path();

// A private directory under /tmp, removed with everything in it at the end.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
};

struct run_opts {
    std::string cwd;               // empty: inherit
    std::vector<std::string> env;  // empty: inherit the test's environment
    std::string stdin_data;        // fed through a file; empty: /dev/null
    int timeout_ms = 10000;        // bound on the invoking process
};

struct result {
    int status = -1;   // exit status; 128+signo if killed by a signal; -1 on timeout (then it was killed)
    pid_t pid = -1;    // pid of the invoking process
    std::string out, err;            // its stdout/stderr as they were when it exited
    std::string out_path, err_path;  // files that keep receiving what detached processes write there
};

// Runs the daemon binary; args are its arguments (args[0] is the first
// argument, not the program). Standard output and error go to files because
// a detached process keeps them open, which would stall a pipe reader.
result run(const std::vector<std::string> &args, const run_opts &opts = {});

// Same for any other program: argv[0] is the program, looked up along PATH.
result run_program(const std::vector<std::string> &argv, const run_opts &opts = {});

struct reaped {
    pid_t pid;
    int status;  // exit status or 128+signo
};

// Waits (bounded) for a child of the test process to end, a re-parented
// detached process included. pid -1: any child. nullopt on timeout.
std::optional<reaped> reap(pid_t pid, int timeout_ms);

// Polls cond until it holds or the time is up; returns its last value.
bool wait_until(const std::function<bool()> &cond, int timeout_ms, int step_ms = 5);

std::string read_file(const std::string &path);         // "" when missing
std::optional<pid_t> read_pid(const std::string &path);  // exactly decimal pid + '\n', else nullopt
std::string cmdline_of(pid_t pid);                        // raw /proc/PID/cmdline (NULs kept)
std::vector<pid_t> children();                            // direct children now, zombies included
int fd_count(pid_t pid);                                  // entries in /proc/PID/fd, -1 if gone
void kill_descendants();                                  // SIGKILL + reap every descendant, bounded

// Additions.

// The process's state letter from /proc/PID/stat ('Z' for a zombie), 0 if gone.
char proc_state(pid_t pid);

// Parent pid from /proc/PID/stat, nullopt if gone.
std::optional<pid_t> parent_of(pid_t pid);

// Value of a "Name:\t..." line of /proc/PID/status (without the tab), nullopt if absent.
std::optional<std::string> status_field(pid_t pid, const std::string &name);

// Writes content to path (created/truncated, mode 0644); false on failure.
bool write_file(const std::string &path, const std::string &content);

}  // namespace harness
