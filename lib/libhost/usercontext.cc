/*
 * The user switch a login performs, as far as Linux has login settings.
 */
#include "usercontext.h"

#include <errno.h>
#include <grp.h>
#include <unistd.h>

int
usercontext_set(const struct passwd *pw)
{
	if (pw == nullptr) {
		errno = EINVAL;
		return -1;
	}
	/* Groups first: once the user id is dropped they cannot be set. */
	if (setgid(pw->pw_gid) == -1)
		return -1;
	if (initgroups(pw->pw_name, pw->pw_gid) == -1)
		return -1;
	/* setuid as root sets the real, effective and saved ids alike. */
	if (setuid(pw->pw_uid) == -1)
		return -1;
	/* Irreversible, or it did not happen. */
	if (pw->pw_uid != 0 && setuid(0) != -1) {
		errno = EPERM;
		return -1;
	}
	return 0;
}
