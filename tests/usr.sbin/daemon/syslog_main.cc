// Test main for the tests that read what daemon sends to syslog.  Like the
// ordinary test main it adopts detached processes (child subreaper) and kills
// what is left after every test; in addition it gives the process a private
// /dev with a syslog socket (see syslog_capture.h).
#include <sys/prctl.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "harness.h"
#include "syslog_capture.h"

namespace {

class leftover_killer : public testing::EmptyTestEventListener {
	void OnTestEnd(const testing::TestInfo &) override
	{
		harness::kill_descendants();
	}
};

}  // namespace

int main(int argc, char **argv)
{
	testing::InitGoogleTest(&argc, argv);
	// Listing the tests (ctest's discovery) needs no namespace.
	if (!GTEST_FLAG_GET(list_tests)) {
		std::string why;
		if (!syslog_capture::setup(&why))
			std::fprintf(stderr, "syslog capture unavailable: %s\n",
			    why.c_str());
	}
	if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
		std::perror("prctl(PR_SET_CHILD_SUBREAPER)");
		return 2;
	}
	testing::UnitTest::GetInstance()->listeners().Append(
	    new leftover_killer);
	int rc = RUN_ALL_TESTS();
	harness::kill_descendants();
	return rc;
}
