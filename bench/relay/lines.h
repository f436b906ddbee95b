/*
 * The benchmark's deterministic output: line i (counted from 1) of length
 * len (newline included) is the zero-padded line number, a blank, letters
 * whose phase depends on i, and a newline.  The generator writes these
 * lines; the syslog capture rebuilds them to check what it receives.
 */
#ifndef RELAY_LINES_H
#define RELAY_LINES_H

#include <stddef.h>
#include <string.h>

enum {
	LINE_NUMBER_WIDTH = 10,
	LINE_MIN_LEN = LINE_NUMBER_WIDTH + 2,
	LINE_MAX_LEN = 1 << 16,
	LETTERS = 26,
};

/* Letters repeated so that any phase plus any line fits: copied, not computed. */
static char line_letters[LINE_MAX_LEN + LETTERS];

static inline void
line_init(void)
{
	for (size_t k = 0; k < sizeof(line_letters); k++)
		line_letters[k] = (char)('a' + k % LETTERS);
}

/* Writes line i of length len (LINE_MIN_LEN..LINE_MAX_LEN) to out. */
static inline void
line_make(unsigned long i, size_t len, char *out)
{
	unsigned long n = i;

	for (int d = LINE_NUMBER_WIDTH - 1; d >= 0; d--) {
		out[d] = (char)('0' + n % 10);
		n /= 10;
	}
	out[LINE_NUMBER_WIDTH] = ' ';
	memcpy(out + LINE_NUMBER_WIDTH + 1, line_letters + (i * 7) % LETTERS,
	    len - LINE_NUMBER_WIDTH - 2);
	out[len - 1] = '\n';
}

#endif
