/*
 * A kqueue-style event queue on epoll and signalfd.
 *
 * Only what the supervisor needs: the read filter on pipes and sockets and
 * the signal filter.  A queue is a descriptor; its bookkeeping lives in a
 * small static table, so nothing is allocated.  Close a queue with
 * kqueue_close(), not close(2): that releases its signalfd as well.
 *
 * Signals: the signal filter blocks every signal it watches, since Linux
 * keeps a blocked signal pending even when its disposition is to ignore it.
 * Closing a queue leaves them blocked, so that nothing arriving between two
 * queues is lost; a process about to exec calls kqueue_sigmask_restore() to
 * get back the mask it had before the first signal registration.
 */
#ifndef HOST_EVENT_H
#define HOST_EVENT_H

#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
	EVFILT_READ = -1,	/* ident is a descriptor; data: bytes available */
	EVFILT_SIGNAL = -6,	/* ident is a signal number; data: arrivals */
};

enum {
	EV_ADD = 0x0001,	/* add or modify a registration */
	EV_DELETE = 0x0002,	/* remove a registration */
	EV_CLEAR = 0x0020,	/* report state changes only (edge-triggered) */
	EV_ERROR = 0x4000,	/* returned: data holds an errno */
	EV_EOF = 0x8000,	/* returned: no writer is left on the pipe */
};

enum { KQUEUE_CLOEXEC = 0x0001 };

struct kevent {
	uintptr_t ident;
	short filter;
	unsigned short flags;
	unsigned int fflags;
	int64_t data;
	void *udata;
};

#define EV_SET(kevp, a, b, c, d, e, f) do {	\
	struct kevent *ev_set_p_ = (kevp);	\
	ev_set_p_->ident = (a);			\
	ev_set_p_->filter = (b);		\
	ev_set_p_->flags = (c);			\
	ev_set_p_->fflags = (d);		\
	ev_set_p_->data = (e);			\
	ev_set_p_->udata = (f);			\
} while (0)

/* A new queue, or -1 with errno (EMFILE when the static table is full). */
int kqueuex(unsigned int flags);

/*
 * Applies the changes, then waits for up to nevents events (none when
 * nevents is 0).  timeout null waits for ever.  Returns the number of events
 * stored, or -1 with errno: a failed change with no room for events is
 * reported this way, with room it comes back as an EV_ERROR event.
 * Signal events are returned before read events that were ready at the
 * same time.
 */
int kevent(int kq, const struct kevent *changelist, int nchanges,
    struct kevent *eventlist, int nevents, const struct timespec *timeout);

/* Releases the queue and everything it holds. */
int kqueue_close(int kq);

/* Restores the signal mask as it was before any queue blocked a signal. */
void kqueue_sigmask_restore(void);

#ifdef __cplusplus
}
#endif

#endif
