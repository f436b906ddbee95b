/*
 * Process titles on Linux.
 *
 * /proc/PID/cmdline reads the memory where exec(2) put the argument
 * strings, followed there by the environment strings.  Those strings are
 * moved to an anonymous mapping and the whole original area becomes space
 * for the title.
 *
 * How the kernel reads the area: if the last byte of the argument strings
 * (the kernel's arg_end - 1) is zero, it returns all the argument bytes, NULs
 * included; if that byte is not zero, it takes the area to hold a title and
 * returns it up to and including the first NUL, from one page at most.
 */
#include "proctitle.h"

#include <errno.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

extern char **environ;

enum { TITLE_MAX = 4096 };	/* the kernel shows no more than a page */

static char *title_area;	/* the original strings, now title space */
static size_t title_area_len;	/* argument and environment strings */
static size_t title_args_len;	/* argument strings alone */
static char *title_saved;	/* copy of the area: the moved strings */

/* Points p at the copy if it points into the area. */
static void
proctitle_move(char **p)
{
	if (*p >= title_area && *p < title_area + title_area_len)
		*p = title_saved + (*p - title_area);
}

int
proctitle_init(int argc, char **argv)
{
	char *start, *end, *copy;
	size_t args_len;
	int i;

	if (title_area != NULL)
		return 0;
	if (argc < 1 || argv == NULL || argv[0] == NULL) {
		errno = EINVAL;
		return -1;
	}
	/* The strings exec(2) laid out back to back, argv then environ. */
	start = argv[0];
	end = start + strlen(start) + 1;
	for (i = 1; i < argc && argv[i] == end; i++)
		end += strlen(end) + 1;
	args_len = (size_t)(end - start);
	for (i = 0; environ != NULL && environ[i] != NULL &&
	    environ[i] == end; i++)
		end += strlen(end) + 1;

	copy = (char *)mmap(NULL, (size_t)(end - start), PROT_READ | PROT_WRITE,
	    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (copy == MAP_FAILED)
		return -1;
	memcpy(copy, start, (size_t)(end - start));

	title_area = start;
	title_area_len = (size_t)(end - start);
	title_args_len = args_len;
	title_saved = copy;
	for (i = 0; i < argc; i++)
		if (argv[i] != NULL)
			proctitle_move(&argv[i]);
	for (i = 0; environ != NULL && environ[i] != NULL; i++)
		proctitle_move(&environ[i]);
	proctitle_move(&program_invocation_name);
	proctitle_move(&program_invocation_short_name);
	return 0;
}

void
setproctitle(const char *fmt, ...)
{
	char buf[TITLE_MAX];
	size_t len;
	va_list ap;
	int n;

	if (title_area == NULL)
		return;
	if (fmt == NULL) {
		/* Back to the original arguments. */
		memcpy(title_area, title_saved, title_args_len);
		memset(title_area + title_args_len, 0,
		    title_area_len - title_args_len);
		return;
	}
	n = snprintf(buf, sizeof(buf), "%s: ", program_invocation_short_name);
	if (n < 0)
		return;
	len = (size_t)n < sizeof(buf) ? (size_t)n : sizeof(buf) - 1;
	va_start(ap, fmt);
	n = vsnprintf(buf + len, sizeof(buf) - len, fmt, ap);
	va_end(ap);
	if (n < 0)
		return;
	len += (size_t)n;
	if (len > sizeof(buf) - 1)
		len = sizeof(buf) - 1;
	if (len > title_area_len - 1)
		len = title_area_len - 1;

	memcpy(title_area, buf, len);
	memset(title_area + len, 0, title_area_len - len);
	/*
	 * A title that ends before the last argument byte would be shown
	 * with the rest of the argument area as trailing NULs; a non-NUL
	 * there makes the kernel stop at the title's NUL instead.
	 */
	if (len + 1 < title_args_len)
		title_area[title_args_len - 1] = ' ';
}
