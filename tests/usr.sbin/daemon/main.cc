// Test main for the daemon tests: detached processes are re-parented to this
// process (so tests can watch and reap them), and none outlives its test.
#include <cstdio>

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include "harness.h"

namespace {

class cleanup_listener : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo &) override { harness::kill_descendants(); }
};

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        std::perror("prctl(PR_SET_CHILD_SUBREAPER)");
        return 2;
    }
    testing::UnitTest::GetInstance()->listeners().Append(new cleanup_listener);
    int rc = RUN_ALL_TESTS();
    harness::kill_descendants();
    return rc;
}
