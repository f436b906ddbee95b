/*
 * Protection from the out-of-memory killer through oom_score_adj.  The
 * score before protection is remembered so that a forked child, which
 * inherits the protection, can give it up before it runs other code.
 */
#include "protect.h"

#include <errno.h>
#include <fcntl.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#define OOM_ADJ_PATH "/proc/self/oom_score_adj"

static bool protect_done;
static bool protect_refused;	/* no privilege: asking again is no use */
static int protect_saved_adj;

/* Writes adj to the open file; 0 or -1 with errno. */
static int
protect_write(int fd, int adj)
{
	char buf[16];
	int len = snprintf(buf, sizeof(buf), "%d\n", adj);

	if (pwrite(fd, buf, (size_t)len, 0) != len)
		return -1;
	return 0;
}

int
protect_self(void)
{
	char buf[16];
	ssize_t got;
	char *end;
	long adj;
	int fd;

	if (protect_done)
		return 0;
	if (protect_refused) {
		errno = EACCES;
		return -1;
	}
	fd = open(OOM_ADJ_PATH, O_RDWR | O_CLOEXEC);
	if (fd == -1)
		return -1;
	got = pread(fd, buf, sizeof(buf) - 1, 0);
	if (got <= 0) {
		int error = got == 0 ? EIO : errno;

		close(fd);
		errno = error;
		return -1;
	}
	buf[got] = '\0';
	adj = strtol(buf, &end, 10);
	if (end == buf || adj < -1000 || adj > 1000) {
		close(fd);
		errno = EIO;
		return -1;
	}
	if (protect_write(fd, -1000) == -1) {
		int error = errno;

		protect_refused = error == EACCES || error == EPERM;
		close(fd);
		errno = error;
		return -1;
	}
	close(fd);
	protect_saved_adj = (int)adj;
	protect_done = true;
	return 0;
}

void
protect_restore(void)
{
	int saved_errno = errno;
	int fd;

	if (!protect_done)
		return;
	fd = open(OOM_ADJ_PATH, O_WRONLY | O_CLOEXEC);
	if (fd != -1) {
		/* Raising the score needs no privilege. */
		if (protect_write(fd, protect_saved_adj) == 0)
			protect_done = false;
		close(fd);
	}
	errno = saved_errno;
}
