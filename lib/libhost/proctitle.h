/*
 * setproctitle for Linux: the title is written over the process's argument
 * and environment strings, which is where /proc/PID/cmdline reads from.
 */
#ifndef HOST_PROCTITLE_H
#define HOST_PROCTITLE_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Moves the argument and environment strings aside (to an anonymous
 * mapping, not the heap) and points argv[], environ[] and the C library's
 * program name at the moved copies, so nothing that points at them is
 * changed by a title.  Call once, first thing in main.  Returns 0, or -1
 * with errno; on failure titles are silently not shown.
 */
int proctitle_init(int argc, char **argv);

/*
 * Sets the title to "NAME: " followed by the formatted text, NAME being the
 * program's short name; cut to the space there is.  Does nothing before a
 * successful proctitle_init().  Allocates nothing.
 */
void setproctitle(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#ifdef __cplusplus
}
#endif

#endif
