/*
 * Sets process titles on request, for the process title tests.  Commands,
 * one per line on standard input, each answered on standard output:
 *   t TEXT   setproctitle("%s", TEXT)            -> "ok"
 *   f TEXT   setproctitle("%s[%d]", TEXT, 4242)   -> "ok"
 *   n        setproctitle(NULL)                   -> "ok"
 *   i        proctitle_init() again               -> "ok RESULT"
 *   r        what the program sees of its arguments, environment and
 *            name: lines "a ARG", "e VAR=VALUE", "g NAME=getenv(NAME)",
 *            "p PROGRAM_INVOCATION_NAME", "s SHORT_NAME", then "."
 * It starts by calling proctitle_init() and printing "ready RESULT".
 */
#include "proctitle.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern char **environ;

static int saved_argc;
static char **saved_argv;

static void
report(void)
{
	for (int i = 0; i < saved_argc; i++)
		printf("a %s\n", saved_argv[i]);
	for (int i = 0; environ[i] != NULL; i++) {
		char name[256];
		const char *eq = strchr(environ[i], '=');
		size_t len = eq != NULL ? (size_t)(eq - environ[i]) : 0;

		printf("e %s\n", environ[i]);
		if (eq == NULL || len >= sizeof(name))
			continue;
		memcpy(name, environ[i], len);
		name[len] = '\0';
		const char *value = getenv(name);
		printf("g %s=%s\n", name, value != NULL ? value : "(null)");
	}
	printf("p %s\n", program_invocation_name);
	printf("s %s\n", program_invocation_short_name);
	printf(".\n");
}

int
main(int argc, char **argv)
{
	char *line = NULL;
	size_t cap = 0;
	ssize_t n;

	saved_argc = argc;
	saved_argv = argv;
	printf("ready %d\n", proctitle_init(argc, argv));
	fflush(stdout);
	while ((n = getline(&line, &cap, stdin)) > 0) {
		if (line[n - 1] == '\n')
			line[--n] = '\0';
		const char *text = n >= 2 ? line + 2 : "";
		switch (line[0]) {
		case 't':
			setproctitle("%s", text);
			printf("ok\n");
			break;
		case 'f':
			setproctitle("%s[%d]", text, 4242);
			printf("ok\n");
			break;
		case 'n':
			setproctitle(NULL);
			printf("ok\n");
			break;
		case 'i':
			printf("ok %d\n", proctitle_init(argc, argv));
			break;
		case 'r':
			report();
			break;
		default:
			printf("? %s\n", line);
			break;
		}
		fflush(stdout);
	}
	free(line);
	return 0;
}
