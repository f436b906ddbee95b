/*
 * Pidfiles locked with flock(2).
 *
 * The lock belongs to the open file description, so it survives daemon(3)
 * and fork for as long as any process keeps the descriptor; the descriptor is
 * close-on-exec, so the command never inherits it.  The file's directory is
 * kept open as well, so that the file can be removed after a chdir.
 */
#include "pidfile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

struct pidfh {
	int fd;			/* the locked pidfile; -1: slot free */
	int dirfd;		/* its directory, for removal after a chdir */
	const char *name;	/* last component of the path given */
	dev_t dev;		/* identity of the file that was opened */
	ino_t ino;
};

/* Handles come from here: a program needs one or two. */
static constexpr int PIDFH_SLOTS = 8;
static struct pidfh pidfh_slots[PIDFH_SLOTS] = {
	{-1, -1, nullptr, 0, 0}, {-1, -1, nullptr, 0, 0},
	{-1, -1, nullptr, 0, 0}, {-1, -1, nullptr, 0, 0},
	{-1, -1, nullptr, 0, 0}, {-1, -1, nullptr, 0, 0},
	{-1, -1, nullptr, 0, 0}, {-1, -1, nullptr, 0, 0},
};

/* How long to wait for a lock holder that has not written its pid yet. */
static constexpr int PIDFILE_WAIT_STEPS = 20;
static constexpr long PIDFILE_WAIT_STEP_NS = 5 * 1000 * 1000;

static void
close_keep_errno(int fd)
{
	int saved = errno;

	close(fd);
	errno = saved;
}

/* Opens the directory part of path, or "." when there is none. */
static int
open_parent(const char *path, const char **namep)
{
	const char *slash = strrchr(path, '/');
	char dir[PATH_MAX];
	size_t len;

	if (slash == nullptr) {
		*namep = path;
		return open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
	}
	*namep = slash + 1;
	len = (size_t)(slash - path);
	if (len == 0)
		len = 1;	/* "/name": the root directory */
	if (len >= sizeof(dir)) {
		errno = ENAMETOOLONG;
		return -1;
	}
	memcpy(dir, path, len);
	dir[len] = '\0';
	return open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

/*
 * Reads the pid of the process holding the lock.  A holder may have locked
 * the file without having written it yet (it writes only after detaching),
 * so an empty file is read again for a short while.  0: none found.
 */
static pid_t
read_holder(int dirfd, const char *name)
{
	struct timespec step = {0, PIDFILE_WAIT_STEP_NS};
	char buf[32];

	for (int i = 0; i <= PIDFILE_WAIT_STEPS; i++) {
		int fd = openat(dirfd, name, O_RDONLY | O_CLOEXEC);
		if (fd == -1)
			return 0;
		ssize_t n = pread(fd, buf, sizeof(buf) - 1, 0);
		close(fd);
		if (n > 0) {
			long pid = 0;
			buf[n] = '\0';
			for (ssize_t j = 0; j < n && buf[j] >= '0' &&
			    buf[j] <= '9' && pid <= INT_MAX / 10; j++)
				pid = pid * 10 + (buf[j] - '0');
			if (pid > 0 && pid <= INT_MAX)
				return (pid_t)pid;
		}
		nanosleep(&step, nullptr);
	}
	return 0;
}

struct pidfh *
pidfile_open(const char *path, mode_t mode, pid_t *pidptr)
{
	struct pidfh *pfh = nullptr;
	struct stat st;
	const char *name;
	int dirfd, fd;

	for (int i = 0; i < PIDFH_SLOTS; i++)
		if (pidfh_slots[i].fd == -1) {
			pfh = &pidfh_slots[i];
			break;
		}
	if (pfh == nullptr) {
		errno = EMFILE;
		return nullptr;
	}
	if (path == nullptr || *path == '\0') {
		errno = ENOENT;
		return nullptr;
	}

	dirfd = open_parent(path, &name);
	if (dirfd == -1)
		return nullptr;
	for (int tries = 0;; tries++) {
		struct stat cur;

		fd = openat(dirfd, name,
		    O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
		if (fd == -1) {
			close_keep_errno(dirfd);
			return nullptr;
		}
		if (flock(fd, LOCK_EX | LOCK_NB) == -1) {
			if (errno == EINTR) {
				close(fd);
				continue;
			}
			if (errno != EWOULDBLOCK) {
				close_keep_errno(fd);
				close_keep_errno(dirfd);
				return nullptr;
			}
			pid_t holder = read_holder(dirfd, name);
			close(fd);
			close(dirfd);
			if (holder == 0) {
				errno = EAGAIN;
				return nullptr;
			}
			if (pidptr != nullptr)
				*pidptr = holder;
			errno = EEXIST;
			return nullptr;
		}
		if (fstat(fd, &st) == -1) {
			close_keep_errno(fd);
			close_keep_errno(dirfd);
			return nullptr;
		}
		/*
		 * The holder may have removed the file between our open and
		 * our lock: a lock on an unlinked file guards nothing.
		 */
		if (fstatat(dirfd, name, &cur, AT_SYMLINK_NOFOLLOW) == 0 &&
		    cur.st_dev == st.st_dev && cur.st_ino == st.st_ino)
			break;
		close(fd);
		if (tries == 8) {
			close(dirfd);
			errno = EAGAIN;
			return nullptr;
		}
	}
	/*
	 * A stale pid left by a dead holder must not be reported by the next
	 * instance as the live one: clear it until pidfile_write.
	 */
	if (ftruncate(fd, 0) == -1) {
		close_keep_errno(fd);
		close_keep_errno(dirfd);
		return nullptr;
	}
	pfh->fd = fd;
	pfh->dirfd = dirfd;
	pfh->name = name;
	pfh->dev = st.st_dev;
	pfh->ino = st.st_ino;
	return pfh;
}

int
pidfile_write(struct pidfh *pfh)
{
	char buf[24];
	int len;

	if (pfh == nullptr)
		return 0;
	if (pfh->fd == -1) {
		errno = EINVAL;
		return -1;
	}
	len = snprintf(buf, sizeof(buf), "%d\n", (int)getpid());
	if (ftruncate(pfh->fd, 0) == -1)
		return -1;
	for (int off = 0; off < len;) {
		ssize_t n = pwrite(pfh->fd, buf + off, (size_t)(len - off), off);
		if (n == -1) {
			if (errno == EINTR)
				continue;
			return -1;
		}
		off += (int)n;
	}
	return 0;
}

static void
pidfile_release(struct pidfh *pfh)
{
	close(pfh->fd);
	close(pfh->dirfd);
	pfh->fd = -1;
	pfh->dirfd = -1;
	pfh->name = nullptr;
}

int
pidfile_remove(struct pidfh *pfh)
{
	struct stat st;
	int rc = 0;

	if (pfh == nullptr)
		return 0;
	if (pfh->fd == -1) {
		errno = EINVAL;
		return -1;
	}
	/* Only our own file: another instance may have replaced it. */
	if (fstatat(pfh->dirfd, pfh->name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
	    st.st_dev == pfh->dev && st.st_ino == pfh->ino)
		rc = unlinkat(pfh->dirfd, pfh->name, 0);
	int saved = errno;
	pidfile_release(pfh);
	errno = saved;
	return rc;
}

int
pidfile_close(struct pidfh *pfh)
{
	if (pfh == nullptr)
		return 0;
	if (pfh->fd == -1) {
		errno = EINVAL;
		return -1;
	}
	pidfile_release(pfh);
	return 0;
}
