/*
 * kqueue-style event queue on epoll and signalfd.
 *
 * A queue is an epoll descriptor.  Its read registrations are epoll
 * registrations keyed by descriptor; its signals go through one signalfd,
 * itself registered (level-triggered) with the epoll descriptor.  Events
 * that epoll handed over but that did not fit into the caller's list stay
 * in the queue's record and are returned by the next calls.
 */
#include "event.h"

#include <errno.h>
#include <signal.h>
#include <stdbool.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

enum {
	KQ_MAX_QUEUES = 8,	/* a supervisor needs one at a time */
	KQ_MAX_READS = 8,	/* read registrations per queue */
	KQ_SIG_BATCH = 16,	/* signals taken from the signalfd per read */
};

typedef struct kq_read {
	bool used;
	bool clear;		/* EV_CLEAR: edge-triggered */
	int fd;
	void *udata;
} kq_read_t;

/* A read event retrieved from epoll but not yet returned. */
typedef struct kq_ready {
	int fd;
	uint32_t events;
} kq_ready_t;

typedef struct kq_queue {
	bool used;
	int epfd;
	int sigfd;		/* -1 until the first signal registration */
	sigset_t sigmask;	/* signals watched through sigfd */
	void *sig_udata[NSIG];
	kq_read_t reads[KQ_MAX_READS];
	kq_ready_t ready[KQ_MAX_READS];
	int nready;
} kq_queue_t, *kq_queue_p;

static kq_queue_t kq_queues[KQ_MAX_QUEUES];

/* The signal mask in force before this layer first blocked a signal. */
static sigset_t kq_saved_mask;
static bool kq_mask_saved;

static kq_queue_p
kq_find(int kq)
{
	if (kq < 0)
		return NULL;
	for (int i = 0; i < KQ_MAX_QUEUES; i++)
		if (kq_queues[i].used && kq_queues[i].epfd == kq)
			return &kq_queues[i];
	return NULL;
}

static kq_read_t *
kq_find_read(kq_queue_p q, int fd)
{
	for (int i = 0; i < KQ_MAX_READS; i++)
		if (q->reads[i].used && q->reads[i].fd == fd)
			return &q->reads[i];
	return NULL;
}

static void
kq_forget_ready(kq_queue_p q, int fd)
{
	int n = 0;

	for (int i = 0; i < q->nready; i++)
		if (q->ready[i].fd != fd)
			q->ready[n++] = q->ready[i];
	q->nready = n;
}

int
kqueuex(unsigned int flags)
{
	kq_queue_p q = NULL;
	int epfd;

	if (flags & ~(unsigned int)KQUEUE_CLOEXEC) {
		errno = EINVAL;
		return -1;
	}
	for (int i = 0; i < KQ_MAX_QUEUES && q == NULL; i++)
		if (!kq_queues[i].used)
			q = &kq_queues[i];
	if (q == NULL) {
		errno = EMFILE;
		return -1;
	}
	epfd = epoll_create1(flags & KQUEUE_CLOEXEC ? EPOLL_CLOEXEC : 0);
	if (epfd == -1)
		return -1;
	/*
	 * A record still holding this number belongs to a queue that was
	 * closed with close(2): drop it.  Its signalfd is not closed, since
	 * that number may by now be someone else's.
	 */
	kq_queue_p stale = kq_find(epfd);
	if (stale != NULL)
		stale->used = false;

	memset(q, 0, sizeof(*q));
	q->used = true;
	q->epfd = epfd;
	q->sigfd = -1;
	sigemptyset(&q->sigmask);
	return epfd;
}

static int
kq_add_read(kq_queue_p q, const struct kevent *kev)
{
	kq_read_t *r;
	struct epoll_event ee;
	int op = EPOLL_CTL_MOD;

	if (kev->ident > (uintptr_t)INT32_MAX)
		return EBADF;
	r = kq_find_read(q, (int)kev->ident);
	if (r == NULL) {
		for (int i = 0; i < KQ_MAX_READS && r == NULL; i++)
			if (!q->reads[i].used)
				r = &q->reads[i];
		if (r == NULL)
			return ENOMEM;
		op = EPOLL_CTL_ADD;
	}
	memset(&ee, 0, sizeof(ee));
	ee.events = EPOLLIN | EPOLLRDHUP;
	if (kev->flags & EV_CLEAR)
		ee.events |= EPOLLET;
	ee.data.fd = (int)kev->ident;
	if (epoll_ctl(q->epfd, op, ee.data.fd, &ee) == -1) {
		/* The descriptor was closed and reused without EV_DELETE. */
		if (op != EPOLL_CTL_ADD || errno != EEXIST ||
		    epoll_ctl(q->epfd, EPOLL_CTL_MOD, ee.data.fd, &ee) == -1)
			return errno;
	}
	r->used = true;
	r->fd = ee.data.fd;
	r->clear = (kev->flags & EV_CLEAR) != 0;
	r->udata = kev->udata;
	return 0;
}

static int
kq_delete_read(kq_queue_p q, const struct kevent *kev)
{
	kq_read_t *r;

	if (kev->ident > (uintptr_t)INT32_MAX)
		return EBADF;
	r = kq_find_read(q, (int)kev->ident);
	if (r == NULL)
		return ENOENT;
	r->used = false;
	kq_forget_ready(q, r->fd);
	/* Fails only when the descriptor is already closed: epoll forgot it. */
	(void)epoll_ctl(q->epfd, EPOLL_CTL_DEL, r->fd, NULL);
	return 0;
}

static int
kq_add_signal(kq_queue_p q, const struct kevent *kev)
{
	int signo = (int)kev->ident;
	sigset_t one, before, mask;

	/* SIGKILL and SIGSTOP can be neither blocked nor reported. */
	if (kev->ident == 0 || kev->ident >= (uintptr_t)NSIG ||
	    signo == SIGKILL || signo == SIGSTOP)
		return EINVAL;
	if (sigismember(&q->sigmask, signo)) {
		q->sig_udata[signo] = kev->udata;
		return 0;
	}
	/*
	 * Block first: a signal arriving from now on stays pending, even when
	 * its disposition is to ignore it, and the signalfd will see it.
	 */
	sigemptyset(&one);
	sigaddset(&one, signo);
	if (sigprocmask(SIG_BLOCK, &one, &before) == -1)
		return errno;
	if (!kq_mask_saved) {
		kq_saved_mask = before;
		kq_mask_saved = true;
	}
	mask = q->sigmask;
	sigaddset(&mask, signo);
	if (q->sigfd == -1) {
		struct epoll_event ee;
		int fd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);

		memset(&ee, 0, sizeof(ee));
		ee.events = EPOLLIN;
		ee.data.fd = fd;
		if (fd == -1 || epoll_ctl(q->epfd, EPOLL_CTL_ADD, fd, &ee) == -1) {
			int error = errno;

			if (fd != -1)
				close(fd);
			if (!sigismember(&before, signo))
				sigprocmask(SIG_UNBLOCK, &one, NULL);
			return error;
		}
		q->sigfd = fd;
	} else if (signalfd(q->sigfd, &mask, 0) == -1) {
		int error = errno;

		if (!sigismember(&before, signo))
			sigprocmask(SIG_UNBLOCK, &one, NULL);
		return error;
	}
	q->sigmask = mask;
	q->sig_udata[signo] = kev->udata;
	return 0;
}

static int
kq_delete_signal(kq_queue_p q, const struct kevent *kev)
{
	sigset_t mask;

	if (kev->ident == 0 || kev->ident >= (uintptr_t)NSIG)
		return EINVAL;
	if (!sigismember(&q->sigmask, (int)kev->ident))
		return ENOENT;
	mask = q->sigmask;
	sigdelset(&mask, (int)kev->ident);
	/* The signal stays blocked, so that no arrival is lost. */
	if (signalfd(q->sigfd, &mask, 0) == -1)
		return errno;
	q->sigmask = mask;
	return 0;
}

static int
kq_apply(kq_queue_p q, const struct kevent *kev)
{
	bool add = (kev->flags & EV_ADD) != 0;
	bool del = (kev->flags & EV_DELETE) != 0;

	if (add == del)
		return EINVAL;
	switch (kev->filter) {
	case EVFILT_READ:
		return add ? kq_add_read(q, kev) : kq_delete_read(q, kev);
	case EVFILT_SIGNAL:
		return add ? kq_add_signal(q, kev) : kq_delete_signal(q, kev);
	default:
		return EINVAL;
	}
}

/* Milliseconds for epoll_wait until deadline, rounded up; -1: no deadline. */
static int
kq_wait_ms(const struct timespec *deadline)
{
	struct timespec now;
	int64_t ns;

	if (deadline == NULL)
		return -1;
	clock_gettime(CLOCK_MONOTONIC, &now);
	ns = (int64_t)(deadline->tv_sec - now.tv_sec) * 1000000000 +
	    (deadline->tv_nsec - now.tv_nsec);
	if (ns <= 0)
		return 0;
	if (ns / 1000000 >= INT32_MAX)
		return INT32_MAX;
	return (int)((ns + 999999) / 1000000);
}

/* Takes up to room signals from the signalfd; returns the events stored. */
static int
kq_collect_signals(kq_queue_p q, struct kevent *out, int room)
{
	struct signalfd_siginfo info[KQ_SIG_BATCH];
	ssize_t got;
	int nout = 0;

	if (room > KQ_SIG_BATCH)
		room = KQ_SIG_BATCH;
	got = read(q->sigfd, info, (size_t)room * sizeof(info[0]));
	if (got <= 0)
		return 0;	/* already taken, e.g. by a sibling queue */
	for (int i = 0; i < (int)(got / (ssize_t)sizeof(info[0])); i++) {
		int signo = (int)info[i].ssi_signo;
		int j;

		/* Queued real-time signals of one number make one event. */
		for (j = 0; j < nout; j++)
			if (out[j].ident == (uintptr_t)signo)
				break;
		if (j < nout) {
			out[j].data++;
			continue;
		}
		EV_SET(&out[nout], (uintptr_t)signo, EVFILT_SIGNAL,
		    EV_ADD | EV_CLEAR, 0, 1, q->sig_udata[signo]);
		nout++;
	}
	return nout;
}

/* Returns ready read events, oldest first; the rest stay for later. */
static int
kq_collect_reads(kq_queue_p q, struct kevent *out, int room)
{
	int nout = 0, keep = 0;

	for (int i = 0; i < q->nready; i++) {
		kq_ready_t rd = q->ready[i];
		kq_read_t *r = kq_find_read(q, rd.fd);
		bool eof = (rd.events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) != 0;
		int avail = 0;

		if (nout == room) {
			q->ready[keep++] = rd;
			continue;
		}
		if (r == NULL)
			continue;
		if (ioctl(rd.fd, FIONREAD, &avail) == -1) {
			if (errno == EBADF) {
				/* Closed without EV_DELETE: epoll dropped it. */
				r->used = false;
				continue;
			}
			avail = 0;
		}
		/* Like kqueue, report only what still holds on retrieval. */
		if (avail <= 0 && !eof)
			continue;
		EV_SET(&out[nout], (uintptr_t)rd.fd, EVFILT_READ,
		    EV_ADD | (r->clear ? EV_CLEAR : 0) | (eof ? EV_EOF : 0),
		    0, avail, r->udata);
		nout++;
	}
	q->nready = keep;
	return nout;
}

/* Adds what epoll reported to the queue's ready events. */
static bool
kq_note_ready(kq_queue_p q, const struct epoll_event *ev, int n)
{
	bool signals = false;

	for (int i = 0; i < n; i++) {
		int fd = ev[i].data.fd;
		int j;

		if (fd == q->sigfd) {
			signals = true;
			continue;
		}
		if (kq_find_read(q, fd) == NULL)
			continue;
		for (j = 0; j < q->nready; j++)
			if (q->ready[j].fd == fd)
				break;
		if (j < q->nready) {
			q->ready[j].events |= ev[i].events;
		} else if (q->nready < KQ_MAX_READS) {
			q->ready[q->nready].fd = fd;
			q->ready[q->nready].events = ev[i].events;
			q->nready++;
		}
	}
	return signals;
}

int
kevent(int kq, const struct kevent *changelist, int nchanges,
    struct kevent *eventlist, int nevents, const struct timespec *timeout)
{
	kq_queue_p q = kq_find(kq);
	struct timespec deadline;
	int nout = 0;

	if (q == NULL) {
		errno = EBADF;
		return -1;
	}
	if (nchanges < 0 || nevents < 0 || (nchanges > 0 && changelist == NULL) ||
	    (nevents > 0 && eventlist == NULL)) {
		errno = EINVAL;
		return -1;
	}
	for (int i = 0; i < nchanges; i++) {
		int error = kq_apply(q, &changelist[i]);

		if (error == 0)
			continue;
		if (nout == nevents) {
			errno = error;
			return -1;
		}
		eventlist[nout] = changelist[i];
		eventlist[nout].flags = EV_ERROR;
		eventlist[nout].data = error;
		nout++;
	}
	/* Failed changes are reported at once, without waiting. */
	if (nout > 0 || nevents == 0)
		return nout;

	if (timeout != NULL) {
		if (timeout->tv_sec < 0 || timeout->tv_nsec < 0 ||
		    timeout->tv_nsec >= 1000000000) {
			errno = EINVAL;
			return -1;
		}
		clock_gettime(CLOCK_MONOTONIC, &deadline);
		deadline.tv_sec += timeout->tv_sec;
		deadline.tv_nsec += timeout->tv_nsec;
		if (deadline.tv_nsec >= 1000000000) {
			deadline.tv_sec++;
			deadline.tv_nsec -= 1000000000;
		}
	}
	for (;;) {
		struct epoll_event ev[KQ_MAX_READS + 1];
		/* Events already held are not kept waiting for new ones. */
		int ms = q->nready > 0 ? 0 :
		    kq_wait_ms(timeout != NULL ? &deadline : NULL);
		int n = epoll_wait(q->epfd, ev, KQ_MAX_READS + 1, ms);

		if (n == -1)
			return -1;
		if (kq_note_ready(q, ev, n))
			nout = kq_collect_signals(q, eventlist, nevents);
		nout += kq_collect_reads(q, eventlist + nout, nevents - nout);
		if (nout > 0)
			return nout;
		/*
		 * What epoll reported is gone (the reader took the data, a
		 * sibling queue took the signal): wait again for what is left.
		 */
		if (timeout != NULL && kq_wait_ms(&deadline) == 0)
			return 0;
	}
}

int
kqueue_close(int kq)
{
	kq_queue_p q = kq_find(kq);

	if (q == NULL) {
		errno = EBADF;
		return -1;
	}
	/*
	 * Only close: after fork(2) the epoll instance is shared with the
	 * parent, and removing registrations would remove the parent's too.
	 */
	if (q->sigfd != -1)
		close(q->sigfd);
	q->used = false;
	return close(kq);
}

void
kqueue_sigmask_restore(void)
{
	if (!kq_mask_saved)
		return;
	sigprocmask(SIG_SETMASK, &kq_saved_mask, NULL);
	kq_mask_saved = false;
}
