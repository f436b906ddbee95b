/*
 * Pidfiles locked with flock(2), as the programs expect of a pidfile
 * facility: open and lock before detaching, write the pid later (also from a
 * forked child holding the inherited handle), remove at the end.
 */
#ifndef HOST_PIDFILE_H
#define HOST_PIDFILE_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

struct pidfh;

/*
 * Creates (with mode) or opens the file at path and locks it.  Returns a
 * handle, or null with errno.  errno EEXIST: another live process holds the
 * lock, and its pid has been stored through pidptr (if not null); if the
 * holder has not written its pid within about 100 ms, errno is EAGAIN.
 * Relative paths are resolved now, against the current directory.
 */
struct pidfh *pidfile_open(const char *path, mode_t mode, pid_t *pidptr);

/* Replaces the content with the caller's pid and a newline.  Null: 0. */
int pidfile_write(struct pidfh *pfh);

/* Removes the file, if it is still the one opened, and frees the handle. */
int pidfile_remove(struct pidfh *pfh);

/* Closes the handle (releasing the lock) and leaves the file in place. */
int pidfile_close(struct pidfh *pfh);

#ifdef __cplusplus
}
#endif

#endif
