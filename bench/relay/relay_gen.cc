/*
 * relay_gen LINES LEN [RUSAGE_FILE]
 *
 * Writes LINES deterministic lines of LEN bytes each (newline included) to
 * standard output in writes of exactly 64 KiB (the last one shorter), so
 * that every relay under test sees the same stream.  With RUSAGE_FILE, the
 * generator's own user and system time and peak RSS are written there at
 * the end: a supervisor that reaps the generator reports the two processes
 * together, and the runner needs the generator's share to separate them.
 */
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include "lines.h"

enum { WRITE_SIZE = 64 * 1024 };

static char out_buf[WRITE_SIZE];
static char line_buf[LINE_MAX_LEN];

static void
write_all(const char *p, size_t n)
{
	while (n > 0) {
		ssize_t w = write(STDOUT_FILENO, p, n);
		if (w < 0) {
			if (errno == EINTR)
				continue;
			err(1, "write");
		}
		p += w;
		n -= (size_t)w;
	}
}

static unsigned long
parse_number(const char *s, const char *what, unsigned long lo, unsigned long hi)
{
	char *end;
	errno = 0;
	unsigned long v = strtoul(s, &end, 10);
	if (errno != 0 || *s == '\0' || *end != '\0' || v < lo || v > hi)
		errx(2, "bad %s: %s", what, s);
	return v;
}

int
main(int argc, char **argv)
{
	if (argc != 3 && argc != 4)
		errx(2, "usage: relay_gen lines len [rusage_file]");
	unsigned long lines = parse_number(argv[1], "line count", 0, 1UL << 40);
	size_t len = parse_number(argv[2], "line length", LINE_MIN_LEN, LINE_MAX_LEN);

	line_init();
	size_t used = 0;
	for (unsigned long i = 1; i <= lines; i++) {
		line_make(i, len, line_buf);
		size_t off = 0;
		while (off < len) {
			size_t n = len - off;
			if (n > WRITE_SIZE - used)
				n = WRITE_SIZE - used;
			memcpy(out_buf + used, line_buf + off, n);
			used += n;
			off += n;
			if (used == WRITE_SIZE) {
				write_all(out_buf, used);
				used = 0;
			}
		}
	}
	write_all(out_buf, used);

	if (argc == 4) {
		struct rusage ru;
		if (getrusage(RUSAGE_SELF, &ru) != 0)
			err(1, "getrusage");
		int fd = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
		if (fd < 0)
			err(1, "%s", argv[3]);
		dprintf(fd, "%ld %ld %ld\n",
		    ru.ru_utime.tv_sec * 1000000L + ru.ru_utime.tv_usec,
		    ru.ru_stime.tv_sec * 1000000L + ru.ru_stime.tv_usec,
		    ru.ru_maxrss);
		close(fd);
	}
	return 0;
}
