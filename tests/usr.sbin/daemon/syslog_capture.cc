#include "syslog_capture.h"

#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace syslog_capture {
namespace {

std::mutex lock;
std::condition_variable arrived;
std::vector<record> captured;
bool ready = false;
std::string reason = "syslog capture was not set up";

std::string errno_text(const std::string &what)
{
	return what + ": " + strerror(errno);
}

void reader(int fd)
{
	// Larger than any datagram the C library sends for a 4 KiB line.
	std::vector<char> buf(1 << 17);
	for (;;) {
		ssize_t n = recv(fd, buf.data(), buf.size(), 0);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return;
		}
		std::string datagram(buf.data(), static_cast<size_t>(n));
		record r;
		if (auto parsed = parse(datagram))
			r = *parsed;
		else
			r.raw = datagram;
		{
			std::lock_guard<std::mutex> g(lock);
			captured.push_back(std::move(r));
		}
		arrived.notify_all();
	}
}

bool make_node(const char *path, unsigned maj, unsigned min, std::string *why)
{
	if (mknod(path, S_IFCHR | 0666, makedev(maj, min)) != 0 ||
	    chmod(path, 0666) != 0) {
		*why = errno_text(std::string("mknod ") + path);
		return false;
	}
	return true;
}

}  // namespace

std::optional<record> parse(const std::string &d)
{
	record r;
	r.raw = d;
	if (d.size() < 3 || d[0] != '<')
		return std::nullopt;
	size_t close = d.find('>');
	if (close == std::string::npos || close == 1 || close > 4)
		return std::nullopt;
	int pri = 0;
	for (size_t i = 1; i < close; i++) {
		if (d[i] < '0' || d[i] > '9')
			return std::nullopt;
		pri = pri * 10 + (d[i] - '0');
	}
	r.facility = pri & ~7;
	r.priority = pri & 7;
	// "Mmm dd hh:mm:ss " follows the priority.
	size_t pos = close + 1 + 16;
	if (d.size() < pos || d[close + 1 + 3] != ' ' || d[close + 1 + 15] != ' ')
		return std::nullopt;
	// The tag ends at the first "[digits]: ", or at ": " without a pid.
	for (size_t i = pos; i < d.size(); i++) {
		if (d[i] == '[') {
			size_t j = i + 1;
			while (j < d.size() && d[j] >= '0' && d[j] <= '9')
				j++;
			if (j > i + 1 && d.compare(j, 3, "]: ") == 0) {
				r.tag = d.substr(pos, i - pos);
				r.pid = static_cast<pid_t>(
				    std::stol(d.substr(i + 1, j - i - 1)));
				r.message = d.substr(j + 3);
				return r;
			}
		}
		if (d.compare(i, 2, ": ") == 0) {
			r.tag = d.substr(pos, i - pos);
			r.message = d.substr(i + 2);
			return r;
		}
	}
	return std::nullopt;
}

bool setup(std::string *why)
{
	if (geteuid() != 0) {
		*why = "needs root to build a private /dev with a syslog socket";
		reason = *why;
		return false;
	}
	// A namespace of our own: the tmpfs below hides /dev only for this
	// process and what it starts.
	if (unshare(CLONE_NEWNS) != 0) {
		*why = errno_text("unshare(CLONE_NEWNS)");
		reason = *why;
		return false;
	}
	if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
		*why = errno_text("making / private");
		reason = *why;
		return false;
	}
	if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC,
		"mode=0755,size=1m") != 0) {
		*why = errno_text("mounting a tmpfs on /dev");
		reason = *why;
		return false;
	}
	struct {
		const char *path;
		unsigned maj, min;
	} nodes[] = {
	    {"/dev/null", 1, 3},   {"/dev/zero", 1, 5},
	    {"/dev/full", 1, 7},   {"/dev/random", 1, 8},
	    {"/dev/urandom", 1, 9},
	};
	for (auto &n : nodes)
		if (!make_node(n.path, n.maj, n.min, why)) {
			reason = *why;
			return false;
		}
	struct {
		const char *target, *path;
	} links[] = {
	    {"/proc/self/fd", "/dev/fd"},
	    {"/proc/self/fd/0", "/dev/stdin"},
	    {"/proc/self/fd/1", "/dev/stdout"},
	    {"/proc/self/fd/2", "/dev/stderr"},
	};
	for (auto &l : links)
		if (symlink(l.target, l.path) != 0) {
			*why = errno_text(std::string("symlink ") + l.path);
			reason = *why;
			return false;
		}

	int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0) {
		*why = errno_text("socket");
		reason = *why;
		return false;
	}
	// Room for a burst; the reader thread below does the real work, since
	// the kernel also caps the number of queued datagrams.
	int size = 8 << 20;
	if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
		setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
	struct sockaddr_un addr = {};
	addr.sun_family = AF_UNIX;
	strcpy(addr.sun_path, "/dev/log");
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) !=
	    0 || chmod("/dev/log", 0666) != 0) {
		*why = errno_text("binding /dev/log");
		close(fd);
		reason = *why;
		return false;
	}
	std::thread(reader, fd).detach();
	ready = true;
	reason.clear();
	return true;
}

bool available()
{
	return ready;
}

std::string unavailable_reason()
{
	return reason;
}

void clear()
{
	std::lock_guard<std::mutex> g(lock);
	captured.clear();
}

std::vector<record> records()
{
	std::lock_guard<std::mutex> g(lock);
	return captured;
}

bool wait_for(const std::function<bool(const std::vector<record> &)> &cond,
    int timeout_ms)
{
	std::unique_lock<std::mutex> g(lock);
	return arrived.wait_for(g, std::chrono::milliseconds(timeout_ms),
	    [&] { return cond(captured); });
}

}  // namespace syslog_capture
