// Captures what processes of this test send to syslog.
//
// The C library's syslog always talks to /dev/log, which this machine does not
// have.  setup() therefore moves the test process into a private mount
// namespace, lays a small tmpfs over /dev there (null, zero, full, random,
// urandom and the fd links) and binds a datagram socket at /dev/log; every
// program the test starts afterwards inherits that view.  The machine's own
// /dev is never touched.  A reader thread empties the socket as messages come,
// since the sender blocks once a few datagrams are queued.
#ifndef DAEMON_TEST_SYSLOG_CAPTURE_H
#define DAEMON_TEST_SYSLOG_CAPTURE_H

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace syslog_capture {

struct record {
	int facility = -1;	// facility code as openlog takes it (LOG_DAEMON is 24)
	int priority = -1;	// level 0..7
	std::string tag;
	pid_t pid = -1;		// -1 when the record carries none
	std::string message;	// everything after "TAG[PID]: ", bytes as sent
	std::string raw;	// the whole datagram
};

// Parses a datagram as the C library formats it for the local socket:
// "<PRI>Mmm dd hh:mm:ss TAG[PID]: MSG".  nullopt when it does not fit.
std::optional<record> parse(const std::string &datagram);

// Builds the namespace and starts the reader.  Returns false with a reason
// (not root, no namespaces, ...) when capture is impossible.
bool setup(std::string *why);

// Whether setup() succeeded, and why not.
bool available();
std::string unavailable_reason();

// Forgets what has been captured so far.
void clear();

// What has been captured since the last clear(), in arrival order;
// datagrams that do not parse are kept with only raw filled in.
std::vector<record> records();

// Waits until cond holds for the captured records; bounded.
bool wait_for(const std::function<bool(const std::vector<record> &)> &cond,
    int timeout_ms);

}  // namespace syslog_capture

#endif
