// The user switch, checked in forked children so the test keeps its ids.
#include "usercontext.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs body in a child; its exit status is the number of failed checks.
template <typename F>
int
in_child(F body)
{
	pid_t pid = fork();
	if (pid == 0)
		_exit(body());
	int status = 0;
	waitpid(pid, &status, 0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(UserContext, BecomesTheUserWithItsGroupsIrreversibly)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "switching to another user needs root";
	struct passwd *pw = getpwnam("nobody");
	ASSERT_NE(pw, nullptr);
	uid_t uid = pw->pw_uid;
	gid_t gid = pw->pw_gid;

	int failures = in_child([&] {
		int bad = 0;
		// Extra groups of ours must not survive the switch.
		gid_t extra[] = {0, 4, 27};
		if (setgroups(3, extra) != 0)
			return 50;
		if (usercontext_set(getpwnam("nobody")) != 0)
			return 60;
		uid_t r, e, s;
		gid_t gr, ge, gs;
		getresuid(&r, &e, &s);
		getresgid(&gr, &ge, &gs);
		bad += r != uid || e != uid || s != uid;
		bad += gr != gid || ge != gid || gs != gid;
		gid_t groups[16];
		int n = getgroups(16, groups);
		bad += !(n == 1 && groups[0] == gid);
		bad += setuid(0) != -1;
		bad += seteuid(0) != -1;
		return bad;
	});
	EXPECT_EQ(failures, 0);
}

TEST(UserContext, FailsWithoutPrivilege)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to drop to an unprivileged user first";
	int rc = in_child([] {
		if (usercontext_set(getpwnam("nobody")) != 0)
			return 60;
		struct passwd *root = getpwuid(0);
		errno = 0;
		if (usercontext_set(root) != -1)
			return 1;
		return errno == EPERM ? 0 : 2;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(usercontext_set(nullptr), -1);
}

}  // namespace
