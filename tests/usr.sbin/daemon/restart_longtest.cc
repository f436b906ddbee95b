// Many restart cycles: whatever a cycle opens it must close again, and the
// supervisor must not grow.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "supervise_util.h"

namespace {

TEST(restart_cycles, ThirtyRestartsKeepDescriptorsAndMemory)
{
	harness::temp_dir dir;
	std::string pids = dir.path + "/pids";
	auto s = supervise::start(dir.path, {"-r", "-S", "-p",
	    dir.path + "/child.pid", "-o", dir.path + "/out", "sh", "-c",
	    "echo $$ >> pids; echo cycle"});
	ASSERT_GT(s.pid, 0);

	// Sample while the supervisor sits in the restart delay: the cycle's
	// child is reaped and the next one not yet started.
	std::vector<int> fds;
	std::vector<long> rss;
	const size_t cycles = 31;
	for (size_t n = 1; n <= cycles; n++) {
		ASSERT_TRUE(harness::wait_until([&] {
			auto lines = supervise::lines_of(harness::read_file(pids));
			if (lines.size() != n)
				return false;
			return harness::proc_state(std::stoi(lines.back())) == 0;
		}, 5000, 2)) << "cycle " << n << " did not come and go";
		if (n == 2 || n == 10 || n == cycles) {
			fds.push_back(harness::fd_count(s.pid));
			rss.push_back(supervise::anon_rss_kb(s.pid));
		}
	}
	EXPECT_EQ(fds[1], fds[0]);
	EXPECT_EQ(fds[2], fds[0]);
	// A few pages of slack for the stack and the C library's first uses;
	// a leak per cycle would show as 20 cycles' worth.
	ASSERT_GT(rss[1], 0) << "no RssAnon for the supervisor";
	EXPECT_LE(rss[2] - rss[1], 16)
	    << "anonymous rss " << rss[1] << " -> " << rss[2] << " kB";
	EXPECT_EQ(supervise::count(harness::read_file(dir.path + "/out"),
	    "cycle\n"), cycles);
	EXPECT_TRUE(supervise::alive(s.pid));
	EXPECT_EQ(harness::read_pid(s.pidfile), s.pid);
}

}  // namespace
