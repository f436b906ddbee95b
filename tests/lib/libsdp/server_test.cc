// Sessions opened through the shared library against the real local
// server, and the example program run against it.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sdp-int.h"

namespace {

constexpr int TIMEOUT_MS = 5000;

// Waits for a child, bounded; kills it when the time is up.
int
reap(pid_t pid, int timeout_ms)
{
	int status = -1;
	auto end = std::chrono::steady_clock::now() +
	    std::chrono::milliseconds(timeout_ms);
	for (;;) {
		pid_t r = waitpid(pid, &status, WNOHANG);
		if (r == pid)
			return status;
		if (r < 0)
			return -1;
		if (std::chrono::steady_clock::now() >= end) {
			kill(pid, SIGKILL);
			waitpid(pid, &status, 0);
			return -1;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
}

class local_server : public ::testing::Test {
protected:
	std::string dir;
	std::string path;
	pid_t server = -1;

	void SetUp() override
	{
		char tmpl[] = "/tmp/sdp-test.XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
		path = dir + "/sdp";
		start_server();
	}

	void TearDown() override
	{
		stop_server();
		unlink(path.c_str());
		rmdir(dir.c_str());
	}

	void start_server()
	{
		server = fork();
		ASSERT_GE(server, 0);
		if (server == 0) {
			execl(SDP_LOCAL_SERVER, SDP_LOCAL_SERVER, path.c_str(),
			    (char *)NULL);
			_exit(127);
		}
		// Ready once a session can be opened.
		auto end = std::chrono::steady_clock::now() +
		    std::chrono::milliseconds(TIMEOUT_MS);
		for (;;) {
			void *ss = sdp_open_local(path.c_str());
			if (ss != NULL) {
				sdp_close(ss);
				return;
			}
			ASSERT_LT(std::chrono::steady_clock::now(), end)
			    << "server did not come up";
			std::this_thread::sleep_for(
			    std::chrono::milliseconds(10));
		}
	}

	int stop_server()
	{
		if (server < 0)
			return -1;
		kill(server, SIGTERM);
		int status = reap(server, TIMEOUT_MS);
		server = -1;
		return status;
	}

	void *open_session()
	{
		void *ss = sdp_open_local(path.c_str());
		EXPECT_NE(ss, nullptr) << strerror(errno);
		return ss;
	}
};

const uint8_t DATA[] = "service data";
bdaddr_t any_addr = {{0, 0, 0, 0, 0, 0}};

TEST_F(local_server, round_trip)
{
	void *ss = open_session();
	ASSERT_NE(ss, nullptr);
	uint32_t h1 = 0, h2 = 0;

	ASSERT_EQ(sdp_register_service(ss, 0x1101, &any_addr, DATA,
	    sizeof(DATA), &h1), 0) << strerror(sdp_error(ss));
	ASSERT_EQ(sdp_register_service(ss, 0x1101, &any_addr, DATA,
	    sizeof(DATA), &h2), 0);
	EXPECT_NE(h1, h2);
	EXPECT_EQ(sdp_change_service(ss, h1, DATA, 1), 0);
	EXPECT_EQ(sdp_unregister_service(ss, h1), 0);
	EXPECT_EQ(sdp_error(ss), 0);

	// The record is gone: the server refuses it, the library says EIO.
	EXPECT_EQ(sdp_unregister_service(ss, h1), -1);
	EXPECT_EQ(sdp_error(ss), EIO);
	EXPECT_EQ(sdp_change_service(ss, h1, DATA, 1), -1);
	EXPECT_EQ(sdp_error(ss), EIO);
	// ... and the other record is still there.
	EXPECT_EQ(sdp_change_service(ss, h2, DATA, sizeof(DATA)), 0);
	EXPECT_EQ(sdp_unregister_service(ss, h2), 0);
	EXPECT_EQ(sdp_close(ss), 0);
}

TEST_F(local_server, largest_requests_are_served)
{
	void *ss = open_session();
	ASSERT_NE(ss, nullptr);
	std::vector<uint8_t> data(4087, 0x5a);
	uint32_t h = 0;

	ASSERT_EQ(sdp_register_service(ss, 0x1101, &any_addr, data.data(),
	    4083, &h), 0) << strerror(sdp_error(ss));
	EXPECT_EQ(sdp_change_service(ss, h, data.data(), 4087), 0)
	    << strerror(sdp_error(ss));
	EXPECT_EQ(sdp_unregister_service(ss, h), 0);
	EXPECT_EQ(sdp_close(ss), 0);
}

TEST_F(local_server, sessions_are_independent)
{
	void *a = open_session(), *b = open_session();
	ASSERT_NE(a, nullptr);
	ASSERT_NE(b, nullptr);
	ASSERT_NE(a, b);
	uint32_t h = 0;

	ASSERT_EQ(sdp_register_service(a, 1, &any_addr, DATA, 1, &h), 0);
	EXPECT_EQ(sdp_unregister_service(b, 0x7fffffff), -1);
	EXPECT_EQ(sdp_error(b), EIO);
	EXPECT_EQ(sdp_error(a), 0);
	// A record belongs to the server, not to the session that made it.
	EXPECT_EQ(sdp_unregister_service(b, h), 0);
	EXPECT_EQ(((sdp_session_p)a)->tid, 1);
	EXPECT_EQ(((sdp_session_p)b)->tid, 2);
	EXPECT_EQ(sdp_close(a), 0);
	EXPECT_EQ(sdp_close(b), 0);
}

TEST_F(local_server, stopped_server_is_reported_not_fatal)
{
	void *ss = open_session();
	ASSERT_NE(ss, nullptr);
	int status = stop_server();
	ASSERT_TRUE(WIFEXITED(status)) << status;
	EXPECT_EQ(WEXITSTATUS(status), 0);
	EXPECT_NE(access(path.c_str(), F_OK), 0) << "socket left behind";

	// Which of the two depends on whether the server had accepted the
	// connection before it went; either way the call reports it.
	EXPECT_EQ(sdp_unregister_service(ss, 1), -1);
	EXPECT_TRUE(sdp_error(ss) == EPIPE || sdp_error(ss) == ECONNRESET)
	    << strerror(sdp_error(ss));
	EXPECT_EQ(sdp_close(ss), 0);
}

TEST_F(local_server, open_gives_a_ready_local_session)
{
	void *xss = open_session();
	ASSERT_NE(xss, nullptr);
	sdp_session_p ss = (sdp_session_p)xss;

	EXPECT_EQ(ss->flags & SDP_SESSION_LOCAL, SDP_SESSION_LOCAL);
	EXPECT_GE(ss->rsp_e - ss->rsp, SDP_REGISTER_RESPONSE_SIZE);
	EXPECT_EQ(ss->error, 0);
	int fdflags = fcntl(ss->s, F_GETFD);
	EXPECT_TRUE(fdflags >= 0 && (fdflags & FD_CLOEXEC));
	int type = 0;
	socklen_t len = sizeof(type);
	ASSERT_EQ(getsockopt(ss->s, SOL_SOCKET, SO_TYPE, &type, &len), 0);
	EXPECT_EQ(type, SOCK_SEQPACKET);

	int fd = ss->s;
	EXPECT_EQ(sdp_close(xss), 0);
	EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "socket not closed";
}

TEST_F(local_server, pool_runs_out_and_refills)
{
	std::vector<void *> open;
	for (int i = 0; i < SDP_MAX_SESSIONS; i++) {
		void *ss = sdp_open_local(path.c_str());
		ASSERT_NE(ss, nullptr) << i << ": " << strerror(errno);
		open.push_back(ss);
	}
	errno = 0;
	EXPECT_EQ(sdp_open_local(path.c_str()), nullptr);
	EXPECT_EQ(errno, EMFILE);

	EXPECT_EQ(sdp_close(open[3]), 0);
	void *again = sdp_open_local(path.c_str());
	EXPECT_EQ(again, open[3]);
	EXPECT_EQ(sdp_unregister_service(again, 99), -1);
	EXPECT_EQ(sdp_error(again), EIO) << "reused slot must talk again";
	for (void *ss : open)
		EXPECT_EQ(sdp_close(ss), 0);
}

TEST(session, open_and_close_failures)
{
	char tmpl[] = "/tmp/sdp-test.XXXXXX";
	ASSERT_NE(mkdtemp(tmpl), nullptr);
	std::string nobody = std::string(tmpl) + "/none";

	struct {
		std::string path;
		int error;
	} cases[] = {
	    {nobody, ENOENT},
	    {std::string(200, 'x'), ENAMETOOLONG},
	    {tmpl, ECONNREFUSED},	// a directory, no socket
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.path);
		errno = 0;
		EXPECT_EQ(sdp_open_local(c.path.c_str()), nullptr);
		EXPECT_EQ(errno, c.error) << strerror(errno);
	}
	rmdir(tmpl);

	int dummy;
	errno = 0;
	EXPECT_EQ(sdp_close(NULL), -1);
	EXPECT_EQ(errno, EINVAL);
	errno = 0;
	EXPECT_EQ(sdp_close(&dummy), -1);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(sdp_error(NULL), EINVAL);
}

TEST_F(local_server, closed_session_cannot_be_closed_again)
{
	void *ss = open_session();
	ASSERT_NE(ss, nullptr);
	EXPECT_EQ(sdp_close(ss), 0);
	errno = 0;
	EXPECT_EQ(sdp_close(ss), -1);
	EXPECT_EQ(errno, EINVAL);
}

// Runs a program with its standard output in a pipe; bounded.
int
run_capture(const std::vector<std::string> &argv, std::string *out)
{
	int p[2];
	if (pipe2(p, O_CLOEXEC) < 0)
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		dup2(p[1], STDOUT_FILENO);
		std::vector<char *> args;
		for (const std::string &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(NULL);
		execv(args[0], args.data());
		_exit(127);
	}
	close(p[1]);
	char buf[512];
	struct pollfd pfd = {p[0], POLLIN, 0};
	while (poll(&pfd, 1, TIMEOUT_MS) == 1) {
		ssize_t n = read(p[0], buf, sizeof(buf));
		if (n <= 0)
			break;
		out->append(buf, size_t(n));
	}
	close(p[0]);
	return reap(pid, TIMEOUT_MS);
}

TEST_F(local_server, example_program_runs)
{
	std::string out;
	int status = run_capture({SDP_EXAMPLE, path}, &out);
	ASSERT_TRUE(WIFEXITED(status));
	EXPECT_EQ(WEXITSTATUS(status), 0) << out;
	EXPECT_NE(out.find("registered uuid 0x1101 as record 0x"),
	    std::string::npos) << out;
	EXPECT_NE(out.find("changed record"), std::string::npos) << out;
	EXPECT_NE(out.find("unregistering it again fails"), std::string::npos)
	    << out;
}

} // namespace
