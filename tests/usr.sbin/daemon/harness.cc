#include "harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef DAEMON_PATH
#error "DAEMON_PATH must name the daemon binary"
#endif

extern char **environ;

namespace harness {

namespace {

using clock = std::chrono::steady_clock;

clock::time_point deadline_after(int ms) { return clock::now() + std::chrono::milliseconds(ms); }

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int decode_status(int st) {
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    ::remove(path);
    return 0;
}

// Files that carry the standard streams of every run of this test process.
const std::string &io_dir() {
    static temp_dir dir;
    return dir.path;
}

bool is_number(const char *s) {
    if (*s == '\0')
        return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

// pid -> (parent pid, state) of every process visible now.
struct proc_entry {
    pid_t ppid;
    char state;
};

std::optional<proc_entry> read_stat(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold blanks and parentheses; the fields after it
    // start behind the last ')'.
    auto close = stat.rfind(')');
    if (close == std::string::npos || close + 4 > stat.size())
        return std::nullopt;
    proc_entry e{};
    e.state = stat[close + 2];
    e.ppid = static_cast<pid_t>(std::strtol(stat.c_str() + close + 4, nullptr, 10));
    return e;
}

std::map<pid_t, proc_entry> process_table() {
    std::map<pid_t, proc_entry> table;
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return table;
    while (struct dirent *de = readdir(d)) {
        if (!is_number(de->d_name))
            continue;
        pid_t pid = static_cast<pid_t>(std::strtol(de->d_name, nullptr, 10));
        if (auto e = read_stat(pid))
            table[pid] = *e;
    }
    closedir(d);
    return table;
}

std::vector<pid_t> descendants() {
    auto table = process_table();
    std::vector<pid_t> found{getpid()};
    // Breadth-first over the parent links; found[0] is ourselves.
    for (size_t i = 0; i < found.size(); ++i)
        for (const auto &[pid, e] : table)
            if (e.ppid == found[i])
                found.push_back(pid);
    found.erase(found.begin());
    return found;
}

std::vector<char *> c_vector(const std::vector<std::string> &v) {
    std::vector<char *> out;
    out.reserve(v.size() + 1);
    for (const auto &s : v)
        out.push_back(const_cast<char *>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

}  // namespace

std::string daemon_path() { return DAEMON_PATH; }

temp_dir::temp_dir() {
    char tmpl[] = "/tmp/daemon_test.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path = tmpl;
}

temp_dir::~temp_dir() {
    if (!path.empty())
        nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

result run(const std::vector<std::string> &args, const run_opts &opts) {
    std::vector<std::string> argv{daemon_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, opts);
}

result run_program(const std::vector<std::string> &argv, const run_opts &opts) {
    static int seq = 0;
    result r;
    if (argv.empty())
        throw std::invalid_argument("run_program: empty argv");

    std::string base = io_dir() + "/run" + std::to_string(++seq);
    r.out_path = base + ".out";
    r.err_path = base + ".err";

    // O_APPEND: the invoker and whatever it leaves behind may write at once.
    int out_fd = open(r.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    int err_fd = open(r.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    int in_fd;
    if (opts.stdin_data.empty()) {
        in_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    } else {
        std::string in_path = base + ".in";
        if (!write_file(in_path, opts.stdin_data))
            throw std::runtime_error("run_program: cannot write " + in_path);
        in_fd = open(in_path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (out_fd < 0 || err_fd < 0 || in_fd < 0)
        throw std::runtime_error(std::string("run_program: open: ") + std::strerror(errno));

    // Everything the child needs is built before fork.
    std::vector<char *> c_argv = c_vector(argv);
    std::vector<char *> c_env = c_vector(opts.env);
    char **envp = opts.env.empty() ? environ : c_env.data();
    const char *cwd = opts.cwd.empty() ? nullptr : opts.cwd.c_str();

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        // The program sees only the three standard descriptors.
        close_range(3, ~0U, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig = 1; sig < NSIG; ++sig)
            if (sig != SIGKILL && sig != SIGSTOP)
                signal(sig, SIG_DFL);
        if (cwd != nullptr && chdir(cwd) != 0) {
            dprintf(2, "harness: chdir %s: %s\n", cwd, std::strerror(errno));
            _exit(126);
        }
        execvpe(c_argv[0], c_argv.data(), envp);
        dprintf(2, "harness: exec %s: %s\n", c_argv[0], std::strerror(errno));
        _exit(127);
    }
    close(in_fd);
    close(out_fd);
    close(err_fd);
    r.pid = pid;

    auto deadline = deadline_after(opts.timeout_ms);
    for (;;) {
        int st = 0;
        pid_t w = waitpid(pid, &st, WNOHANG);
        if (w == pid) {
            r.status = decode_status(st);
            break;
        }
        if (w < 0 && errno != EINTR)
            throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
        if (clock::now() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
            }
            r.status = -1;
            break;
        }
        pause_ms(1);
    }
    r.out = read_file(r.out_path);
    r.err = read_file(r.err_path);
    return r;
}

std::optional<reaped> reap(pid_t pid, int timeout_ms) {
    auto deadline = deadline_after(timeout_ms);
    for (;;) {
        int st = 0;
        pid_t w = waitpid(pid, &st, WNOHANG);
        if (w > 0)
            return reaped{w, decode_status(st)};
        if (w < 0 && errno != EINTR)
            return std::nullopt;  // no such child: nothing will ever come
        if (clock::now() >= deadline)
            return std::nullopt;
        pause_ms(1);
    }
}

bool wait_until(const std::function<bool()> &cond, int timeout_ms, int step_ms) {
    auto deadline = deadline_after(timeout_ms);
    for (;;) {
        if (cond())
            return true;
        if (clock::now() >= deadline)
            return cond();
        pause_ms(step_ms);
    }
}

std::string read_file(const std::string &path) {
    std::string data;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return data;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return data;
}

bool write_file(const std::string &path, const std::string &content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0;
}

std::optional<pid_t> read_pid(const std::string &path) {
    std::string s = read_file(path);
    if (s.size() < 2 || s.back() != '\n')
        return std::nullopt;
    s.pop_back();
    if (!is_number(s.c_str()) || s.size() > 9)
        return std::nullopt;
    return static_cast<pid_t>(std::strtol(s.c_str(), nullptr, 10));
}

std::string cmdline_of(pid_t pid) { return read_file("/proc/" + std::to_string(pid) + "/cmdline"); }

std::vector<pid_t> children() {
    std::vector<pid_t> out;
    pid_t self = getpid();
    for (const auto &[pid, e] : process_table())
        if (e.ppid == self)
            out.push_back(pid);
    return out;
}

int fd_count(pid_t pid) {
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr)
        return -1;
    int n = 0;
    while (struct dirent *de = readdir(d))
        if (std::strcmp(de->d_name, ".") != 0 && std::strcmp(de->d_name, "..") != 0)
            ++n;
    closedir(d);
    return n;
}

void kill_descendants() {
    auto deadline = deadline_after(5000);
    for (;;) {
        std::vector<pid_t> left = descendants();
        for (pid_t pid : left)
            kill(pid, SIGKILL);
        // Grandchildren of killed processes are re-parented to us (we are a
        // subreaper in the test main) and reaped on a later round.
        int st;
        while (waitpid(-1, &st, WNOHANG) > 0) {
        }
        if (left.empty() || clock::now() >= deadline)
            return;
        pause_ms(2);
    }
}

char proc_state(pid_t pid) {
    auto e = read_stat(pid);
    return e ? e->state : 0;
}

std::optional<pid_t> parent_of(pid_t pid) {
    auto e = read_stat(pid);
    if (!e)
        return std::nullopt;
    return e->ppid;
}

std::optional<std::string> status_field(pid_t pid, const std::string &name) {
    std::string s = read_file("/proc/" + std::to_string(pid) + "/status");
    std::string key = name + ":\t";
    size_t pos = 0;
    while (pos < s.size()) {
        size_t end = s.find('\n', pos);
        if (end == std::string::npos)
            end = s.size();
        if (s.compare(pos, key.size(), key) == 0)
            return s.substr(pos + key.size(), end - pos - key.size());
        pos = end + 1;
    }
    return std::nullopt;
}

}  // namespace harness
