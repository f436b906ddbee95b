// The service operations against a scripted peer: the test holds the other
// end of a SEQPACKET socketpair, sees every request byte and crafts every
// response.
#include <sys/socket.h>
#include <sys/time.h>

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sdp-int.h"

namespace {

using bytes = std::vector<uint8_t>;

// errno value the caller had before each call; the library must keep it.
constexpr int CALLER_ERRNO = ENOTTY;
constexpr int TIMEOUT_MS = 5000;
constexpr uint16_t START_TID = 0x1233;
constexpr uint16_t SENT_TID = 0x1234;

bytes
response(uint8_t pid, uint16_t tid, uint16_t len, const bytes &params)
{
	// Sized up front: g++ 12 -O2 warns falsely about growing a vector
	// from an initializer list (array-bounds).
	bytes b(5 + params.size());
	b[0] = pid;
	b[1] = uint8_t(tid >> 8);
	b[2] = uint8_t(tid);
	b[3] = uint8_t(len >> 8);
	b[4] = uint8_t(len);
	std::copy(params.begin(), params.end(), b.begin() + 5);
	return b;
}

// The answer a well-behaved server gives: error code 0 (and a handle).
bytes
ok_response(uint16_t tid, bool with_handle)
{
	if (with_handle)
		return response(0x01, tid, 6, {0, 0, 0x00, 0x01, 0x00, 0x05});
	return response(0x01, tid, 2, {0, 0});
}

bytes
pattern(size_t n)
{
	bytes b(n);
	for (size_t i = 0; i < n; i++)
		b[i] = uint8_t(i * 7 + 3);
	return b;
}

const bdaddr_t ADDR = {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06}};

// One operation with fixed arguments; `handle` is register's out pointer.
struct op {
	std::string name;
	bool is_register;
	std::function<int32_t(void *, uint32_t *)> call;
};

const bytes SMALL = {'a', 'b', 'c'};

std::vector<op>
all_ops()
{
	return {
	    {"register", true,
		[](void *ss, uint32_t *h) {
			bdaddr_t a = ADDR;
			return sdp_register_service(ss, 0x1101, &a, SMALL.data(),
			    uint32_t(SMALL.size()), h);
		}},
	    {"change", false,
		[](void *ss, uint32_t *) {
			return sdp_change_service(ss, 0x00012345, SMALL.data(),
			    uint32_t(SMALL.size()));
		}},
	    {"unregister", false,
		[](void *ss, uint32_t *) {
			return sdp_unregister_service(ss, 0x00012345);
		}},
	};
}

class scripted_peer : public ::testing::Test {
protected:
	int sv[2] = {-1, -1};	// [0] the session's socket, [1] the peer
	uint8_t rsp[SDP_SESSION_RSP_SIZE];
	sdp_session_t ss;

	void SetUp() override
	{
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0,
		    sv), 0);
		// Bounds every blocking call: a hang becomes EAGAIN, a failure.
		struct timeval tv = {TIMEOUT_MS / 1000, 0};
		for (int fd : sv) {
			setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
			setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
		}
		memset(&ss, 0, sizeof(ss));
		ss.flags = SDP_SESSION_LOCAL;
		ss.tid = START_TID;
		ss.rsp = rsp;
		ss.rsp_e = rsp + sizeof(rsp);
		ss.s = sv[0];
		// A plausible answer already in the buffer: only the bytes
		// actually read may decide the outcome.
		bytes stale = ok_response(SENT_TID, true);
		memset(rsp, 0, sizeof(rsp));
		memcpy(rsp, stale.data(), stale.size());
	}

	void TearDown() override
	{
		for (int fd : sv)
			if (fd >= 0)
				close(fd);
	}

	void queue(const bytes &b)
	{
		ASSERT_EQ(send(sv[1], b.data(), b.size(), MSG_NOSIGNAL),
		    ssize_t(b.size()));
	}

	// Next request the peer received, whole; empty when none arrives.
	bytes take_request(int timeout_ms = TIMEOUT_MS)
	{
		struct pollfd pfd = {sv[1], POLLIN, 0};
		if (poll(&pfd, 1, timeout_ms) != 1)
			return {};
		bytes b(8192);
		ssize_t n = recv(sv[1], b.data(), b.size(), MSG_TRUNC);
		if (n < 0 || size_t(n) > b.size())
			return {};
		b.resize(size_t(n));
		return b;
	}

	bool nothing_sent()
	{
		uint8_t c;
		return recv(sv[1], &c, 1, MSG_DONTWAIT) < 0 &&
		    errno == EAGAIN;
	}

	// Runs an operation as a caller would, checking that errno survives.
	int32_t run(const op &o, uint32_t *handle)
	{
		errno = CALLER_ERRNO;
		int32_t r = o.call(&ss, handle);
		EXPECT_EQ(errno, CALLER_ERRNO) << o.name;
		return r;
	}
};

TEST_F(scripted_peer, requests_are_byte_exact)
{
	bytes big_reg = pattern(4083), big_chg = pattern(4087);
	bytes head_reg = {0x81, 0x12, 0x34, 0x00, 0x0b, 0x11, 0x01,
	    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 'a', 'b', 'c'};
	bytes head_big_reg = {0x81, 0x12, 0x34, 0x0f, 0xfb, 0xab, 0xcd,
	    0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
	head_big_reg.insert(head_big_reg.end(), big_reg.begin(), big_reg.end());
	bytes head_big_chg = {0x83, 0x12, 0x34, 0x0f, 0xfb, 0x00, 0x01, 0x23,
	    0x45};
	head_big_chg.insert(head_big_chg.end(), big_chg.begin(), big_chg.end());

	struct {
		op o;
		bytes expected;
	} cases[] = {
	    {all_ops()[0], head_reg},
	    {all_ops()[1], {0x83, 0x12, 0x34, 0x00, 0x07, 0x00, 0x01, 0x23,
		0x45, 'a', 'b', 'c'}},
	    {all_ops()[2], {0x82, 0x12, 0x34, 0x00, 0x04, 0x00, 0x01, 0x23,
		0x45}},
	    {{"largest register", true,
		 [&](void *s, uint32_t *h) {
			 bdaddr_t a = ADDR;
			 return sdp_register_service(s, 0xabcd, &a,
			     big_reg.data(), 4083, h);
		 }},
		head_big_reg},
	    {{"largest change", false,
		 [&](void *s, uint32_t *) {
			 return sdp_change_service(s, 0x00012345,
			     big_chg.data(), 4087);
		 }},
		head_big_chg},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.o.name);
		ss.tid = START_TID;
		queue(ok_response(SENT_TID, c.o.is_register));
		uint32_t handle = 0;
		EXPECT_EQ(run(c.o, &handle), 0) << strerror(ss.error);
		EXPECT_EQ(ss.tid, SENT_TID);
		bytes req = take_request();
		EXPECT_EQ(req, c.expected);
		if (c.o.name.find("largest") == 0) {
			EXPECT_EQ(req.size(), 4096u);
		}
	}
}

TEST_F(scripted_peer, refused_calls_send_nothing_and_keep_tid)
{
	uint8_t data[4096 + 16] = {1};
	bdaddr_t a = ADDR;
	struct {
		const char *name;
		uint16_t flags;
		std::function<int32_t(void *)> call;
		int32_t error;
	} cases[] = {
	    {"register bdaddr NULL", 1, [&](void *s) {
		    return sdp_register_service(s, 1, NULL, data, 1, NULL); },
		EINVAL},
	    {"register data NULL", 1, [&](void *s) {
		    return sdp_register_service(s, 1, &a, NULL, 1, NULL); },
		EINVAL},
	    {"register datalen 0", 1, [&](void *s) {
		    return sdp_register_service(s, 1, &a, data, 0, NULL); },
		EINVAL},
	    {"register not local", 0xfffe, [&](void *s) {
		    return sdp_register_service(s, 1, &a, data, 1, NULL); },
		EINVAL},
	    {"register not local and too long", 0, [&](void *s) {
		    return sdp_register_service(s, 1, &a, data, 4084, NULL); },
		EINVAL},
	    {"register bdaddr NULL and too long", 1, [&](void *s) {
		    return sdp_register_service(s, 1, NULL, data, 4084, NULL); },
		EINVAL},
	    {"register 4084", 1, [&](void *s) {
		    return sdp_register_service(s, 1, &a, data, 4084, NULL); },
		EMSGSIZE},
	    {"register 2^32-1", 1, [&](void *s) {
		    return sdp_register_service(s, 1, &a, data, UINT32_MAX,
			NULL); },
		EMSGSIZE},
	    {"change data NULL", 1, [&](void *s) {
		    return sdp_change_service(s, 7, NULL, 1); }, EINVAL},
	    {"change datalen 0", 1, [&](void *s) {
		    return sdp_change_service(s, 7, data, 0); }, EINVAL},
	    {"change not local", 0xfffe, [&](void *s) {
		    return sdp_change_service(s, 7, data, 1); }, EINVAL},
	    {"change not local and too long", 0, [&](void *s) {
		    return sdp_change_service(s, 7, data, 4088); }, EINVAL},
	    {"change 4088", 1, [&](void *s) {
		    return sdp_change_service(s, 7, data, 4088); }, EMSGSIZE},
	    {"change 2^32-1", 1, [&](void *s) {
		    return sdp_change_service(s, 7, data, UINT32_MAX); },
		EMSGSIZE},
	    {"unregister not local", 0xfffe, [&](void *s) {
		    return sdp_unregister_service(s, 7); }, EINVAL},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		ss.flags = c.flags;
		ss.tid = START_TID;
		ss.error = 0;
		errno = CALLER_ERRNO;
		EXPECT_EQ(c.call(&ss), -1);
		EXPECT_EQ(errno, CALLER_ERRNO);
		EXPECT_EQ(ss.error, c.error);
		EXPECT_EQ(ss.tid, START_TID);
		EXPECT_TRUE(nothing_sent());
	}
}

TEST_F(scripted_peer, null_session_is_refused_silently)
{
	for (const op &o : all_ops()) {
		SCOPED_TRACE(o.name);
		uint32_t handle = 0xdeadbeef;
		errno = CALLER_ERRNO;
		EXPECT_EQ(o.call(NULL, &handle), -1);
		EXPECT_EQ(errno, CALLER_ERRNO);
		EXPECT_EQ(handle, 0xdeadbeefu);
	}
	EXPECT_TRUE(nothing_sent());
}

TEST_F(scripted_peer, transaction_id_wraps_after_65535)
{
	ss.tid = 65534;
	uint16_t expect[] = {65535, 0, 1};
	std::vector<op> ops = all_ops();
	for (size_t i = 0; i < ops.size(); i++) {
		SCOPED_TRACE(ops[i].name);
		queue(ok_response(expect[i], ops[i].is_register));
		EXPECT_EQ(run(ops[i], NULL), 0) << strerror(ss.error);
		EXPECT_EQ(ss.tid, expect[i]);
		bytes req = take_request();
		ASSERT_GE(req.size(), 3u);
		EXPECT_EQ(req[1], uint8_t(expect[i] >> 8));
		EXPECT_EQ(req[2], uint8_t(expect[i]));
	}
}

TEST_F(scripted_peer, register_returns_the_handle)
{
	op reg = all_ops()[0];
	uint32_t handle = 0;

	queue(response(0x01, SENT_TID, 6, {0, 0, 0x00, 0x01, 0x00, 0x05}));
	EXPECT_EQ(run(reg, &handle), 0);
	EXPECT_EQ(handle, 0x00010005u);

	// Without a place for the handle the answer is checked all the same.
	queue(response(0x01, uint16_t(SENT_TID + 1), 6, {0, 0, 1, 2, 3, 4}));
	EXPECT_EQ(run(reg, NULL), 0);
	queue(response(0x01, uint16_t(SENT_TID + 2), 6, {0, 1, 1, 2, 3, 4}));
	EXPECT_EQ(run(reg, NULL), -1);
	EXPECT_EQ(ss.error, EIO);
}

// Responses that every operation must reject with EIO.
struct bad_response {
	const char *name;
	bytes rsp;
};

std::vector<bad_response>
bad_for_all()
{
	const uint16_t t = SENT_TID;
	return {
	    {"pdu id 0x02", response(0x02, t, 2, {0, 0})},
	    {"pdu id of a request", response(0x81, t, 2, {0, 0})},
	    {"earlier tid", response(0x01, uint16_t(t - 1), 2, {0, 0})},
	    {"later tid", response(0x01, uint16_t(t + 1), 2, {0, 0})},
	    {"tid bytes swapped", response(0x01, 0x3412, 2, {0, 0})},
	    {"parameter length 1", response(0x01, t, 1, {0})},
	    {"parameter length 0", response(0x01, t, 0, {})},
	    {"length 2, 4 bytes follow", response(0x01, t, 2, {0, 0, 0, 0})},
	    {"length 4, 2 bytes follow", response(0x01, t, 4, {0, 0})},
	    {"length 6, cut short", response(0x01, t, 6, {0, 0, 0, 1})},
	    {"length high byte", response(0x01, t, 0x0102, {0, 0})},
	    {"error code 2", response(0x01, t, 2, {0x00, 0x02})},
	    {"error code 0x0100", response(0x01, t, 2, {0x01, 0x00})},
	    {"error code with handle", response(0x01, t, 6,
		{0, 3, 0, 1, 0, 5})},
	    {"empty message", {}},
	    {"header only", {0x01, 0x12, 0x34}},
	    // Cut to the buffer's 64 bytes it would look well-formed.
	    {"length 59, 80 bytes follow", response(0x01, t, 59,
		bytes(80, 0))},
	};
}

TEST_F(scripted_peer, malformed_responses_fail_with_eio)
{
	for (const op &o : all_ops()) {
		std::vector<bad_response> cases = bad_for_all();
		if (o.is_register) {
			cases.push_back({"register, 7 bytes",
			    ok_response(SENT_TID, false)});
			cases.push_back({"register, 9 bytes",
			    response(0x01, SENT_TID, 4, {0, 0, 0, 1})});
			cases.push_back({"register, 12 bytes",
			    response(0x01, SENT_TID, 7, {0, 0, 0, 1, 0, 5, 9})});
			cases.push_back({"register, longer than the buffer",
			    response(0x01, SENT_TID, 200, bytes(200, 0))});
		} else {
			cases.push_back({"9 bytes, length 2",
			    response(0x01, SENT_TID, 2, {0, 0, 0, 1})});
		}
		for (const bad_response &c : cases) {
			SCOPED_TRACE(o.name + ": " + c.name);
			ss.tid = START_TID;
			ss.error = 0;
			uint32_t handle = 0xdeadbeef;
			queue(c.rsp);
			EXPECT_EQ(run(o, &handle), -1);
			EXPECT_EQ(ss.error, EIO);
			EXPECT_EQ(handle, 0xdeadbeefu);
			EXPECT_EQ(ss.tid, SENT_TID);
			EXPECT_FALSE(take_request().empty());
		}
	}
}

TEST_F(scripted_peer, change_and_unregister_accept_longer_answers)
{
	std::vector<op> ops = all_ops();
	for (const op &o : {ops[1], ops[2]}) {
		for (const bytes &r : {ok_response(SENT_TID, false),
			 response(0x01, SENT_TID, 4, {0, 0, 0xff, 0xff}),
			 response(0x01, SENT_TID, 30, bytes(30, 0)),
			 response(0x01, SENT_TID, 200, bytes(200, 0))}) {
			SCOPED_TRACE(o.name + ", " + std::to_string(r.size()) +
			    " bytes");
			ss.tid = START_TID;
			queue(r);
			EXPECT_EQ(run(o, NULL), 0) << strerror(ss.error);
			take_request();
		}
	}
}

TEST_F(scripted_peer, closed_server_fails_with_eio)
{
	// The server got the request and then hung up: the read sees 0.
	for (const op &o : all_ops()) {
		SCOPED_TRACE(o.name);
		int fresh[2];
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0,
		    fresh), 0);
		close(sv[0]);
		close(sv[1]);
		sv[0] = fresh[0];
		sv[1] = fresh[1];
		ss.s = sv[0];
		ASSERT_EQ(shutdown(sv[1], SHUT_WR), 0);
		uint32_t handle = 0xdeadbeef;
		EXPECT_EQ(run(o, &handle), -1);
		EXPECT_EQ(ss.error, EIO);
		EXPECT_EQ(handle, 0xdeadbeefu);
	}
}

TEST_F(scripted_peer, vanished_server_fails_the_write)
{
	close(sv[1]);
	sv[1] = -1;
	for (const op &o : all_ops()) {
		SCOPED_TRACE(o.name);
		ss.error = 0;
		EXPECT_EQ(run(o, NULL), -1);
		EXPECT_EQ(ss.error, EPIPE);
	}
}

TEST_F(scripted_peer, stale_response_of_failed_call_is_rejected)
{
	op chg = all_ops()[1], unreg = all_ops()[2];

	// The first call reads a bogus answer and fails; its real answer
	// stays queued and is what the next call reads.
	queue(response(0x02, SENT_TID, 2, {0, 0}));
	queue(ok_response(SENT_TID, false));
	EXPECT_EQ(run(chg, NULL), -1);
	EXPECT_EQ(ss.error, EIO);
	ss.error = 0;
	EXPECT_EQ(run(unreg, NULL), -1);
	EXPECT_EQ(ss.error, EIO);
	EXPECT_EQ(ss.tid, uint16_t(SENT_TID + 1));
}

TEST_F(scripted_peer, error_survives_later_success)
{
	op unreg = all_ops()[2];

	queue(response(0x01, SENT_TID, 2, {0, 2}));
	EXPECT_EQ(run(unreg, NULL), -1);
	EXPECT_EQ(ss.error, EIO);
	queue(ok_response(uint16_t(SENT_TID + 1), false));
	EXPECT_EQ(run(unreg, NULL), 0);
	EXPECT_EQ(ss.error, EIO);
}

TEST_F(scripted_peer, over_long_response_is_not_cut_to_fit)
{
	// With the smallest buffer allowed, a register answer with one byte
	// too many would be cut to exactly the 11 bytes a good one has.
	ss.rsp_e = ss.rsp + SDP_REGISTER_RESPONSE_SIZE;
	queue(response(0x01, SENT_TID, 6, {0, 0, 0, 1, 0, 5, 0xff}));
	uint32_t handle = 0xdeadbeef;
	EXPECT_EQ(run(all_ops()[0], &handle), -1);
	EXPECT_EQ(ss.error, EIO);
	EXPECT_EQ(handle, 0xdeadbeefu);

	// A change answer longer than the buffer is well-formed all the same.
	queue(response(0x01, uint16_t(SENT_TID + 1), 40, bytes(40, 0)));
	EXPECT_EQ(run(all_ops()[1], NULL), 0) << strerror(ss.error);
}

// Interrupted system calls: a no-op handler without SA_RESTART makes the
// blocked call fail with EINTR, which the library must repeat.
std::atomic<int> signals_seen;

void
count_signal(int)
{
	signals_seen++;
	errno = EDOM;	// a handler that clobbers errno must not leak out
}

class interrupted : public scripted_peer {
protected:
	struct sigaction old_action;

	void SetUp() override
	{
		scripted_peer::SetUp();
		struct sigaction sa;
		memset(&sa, 0, sizeof(sa));
		sa.sa_handler = count_signal;
		sigemptyset(&sa.sa_mask);
		ASSERT_EQ(sigaction(SIGUSR1, &sa, &old_action), 0);
		signals_seen = 0;
	}

	void TearDown() override
	{
		sigaction(SIGUSR1, &old_action, NULL);
		scripted_peer::TearDown();
	}

	// Signals the caller until its handler has run, bounded.
	static bool interrupt(pthread_t caller)
	{
		auto end = std::chrono::steady_clock::now() +
		    std::chrono::milliseconds(TIMEOUT_MS);
		while (signals_seen == 0 &&
		    std::chrono::steady_clock::now() < end) {
			std::this_thread::sleep_for(
			    std::chrono::milliseconds(50));
			pthread_kill(caller, SIGUSR1);
		}
		return signals_seen > 0;
	}
};

TEST_F(interrupted, read_is_repeated)
{
	pthread_t caller = pthread_self();
	bytes req;
	bool signalled = false;
	std::thread peer([&] {
		req = take_request();
		signalled = interrupt(caller);
		queue(ok_response(SENT_TID, true));
	});
	uint32_t handle = 0;
	int32_t r = run(all_ops()[0], &handle);
	peer.join();
	EXPECT_TRUE(signalled);
	EXPECT_EQ(r, 0) << strerror(ss.error);
	EXPECT_EQ(handle, 0x00010005u);
	EXPECT_EQ(req.size(), 16u);
}

TEST_F(interrupted, write_is_repeated)
{
	// Fill the peer's queue so that the request's write has to block.
	bytes big(4096, 0xee);
	int filled = 0;
	for (size_t sz : {big.size(), size_t(1)})
		while (send(sv[0], big.data(), sz, MSG_DONTWAIT) >= 0)
			filled++;
	ASSERT_EQ(errno, EAGAIN);

	pthread_t caller = pthread_self();
	bytes req;
	bool signalled = false;
	std::thread peer([&] {
		signalled = interrupt(caller);
		for (int i = 0; i < filled; i++)
			if (take_request().empty())
				return;
		req = take_request();
		queue(ok_response(SENT_TID, false));
	});
	bytes data = pattern(4087);
	errno = CALLER_ERRNO;
	int32_t r = sdp_change_service(&ss, 0x00012345, data.data(), 4087);
	EXPECT_EQ(errno, CALLER_ERRNO);
	peer.join();
	EXPECT_TRUE(signalled);
	EXPECT_EQ(r, 0) << strerror(ss.error);
	ASSERT_EQ(req.size(), 4096u);
	EXPECT_EQ(bytes(req.begin() + 9, req.end()), data);
}

} // namespace
