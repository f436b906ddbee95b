/*
 * Switching to another user the way a login does it, as far as Linux has
 * login settings: primary group, the user's supplementary groups, user id.
 */
#ifndef HOST_USERCONTEXT_H
#define HOST_USERCONTEXT_H

#include <pwd.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Sets the groups and then the user id of pw, irreversibly.  Returns 0, or
 * -1 with errno on the first step that failed.
 */
int usercontext_set(const struct passwd *pw);

#ifdef __cplusplus
}
#endif

#endif
