// kqueue.cc: the kernel event queue, for a system that reports file changes through inotify
// instead. It emulates the subset onchange relies on:
//   kqueue()      a queue; its descriptor is an inotify instance, close-on-exec.
//   EVFILT_VNODE  EV_ADD | EV_CLEAR with NOTE_WRITE, NOTE_DELETE or both, on an open descriptor.
//                 The watch follows the open file, not its path. Changes merge until an event
//                 is handed out: one event per watch, the kinds combined. As a vnode filter
//                 does: NOTE_DELETE means the file lost one of its names (unlinked, or
//                 replaced by a rename), not only its last; NOTE_WRITE means data was written,
//                 and a truncation is no write (it is a NOTE_ATTRIB, which is not offered).
//   EVFILT_TIMER  EV_ADD | EV_ONESHOT with fflags 0: a one-shot timer of data milliseconds, one
//                 ident per queue at a time; a negative period fails EINVAL, as it does there.
//   waiting       with or without a timeout, for any number of events, oldest change first.
// Any other filter, flag or note (EV_DELETE, EV_ENABLE, NOTE_ATTRIB, NOTE_SECONDS, ...) fails
// with EINVAL. A change that fails ends the call with -1 and errno even when events were asked
// for. The watches need /proc, and a queue's record lives until its descriptor number is
// handed out again by kqueue(), so a program must not close a queue and go on using the number.
#include <sys/event.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

// inotify reports a write and a truncation alike, as IN_MODIFY, and merges an event with the
// one before it while both wait unread and are the same: the truncation and the write of
// "echo x > file" often come as one. So the file itself is looked at. Its size and
// modification time are kept from the last look; a write leaves bytes in the file and one of
// the two changed. A file left empty was truncated, whatever else happened, and one that
// shows what was seen before has had its change reported already: the second half of a
// truncation and write read apart. What this cannot tell: a truncation to a length other
// than 0 counts as a write, a write that a truncation to 0 undoes before the look is none,
// and two writes of the same length within one tick of the file system's clock, the first
// reported before the second, are one.
//
// An unlink sends no IN_DELETE_SELF while a descriptor keeps the file alive, but it changes
// the link count, which is an IN_ATTRIB, as a new link or a chmod is; a count lower than at
// the last look is a removal. A name added and another removed between two looks are missed.
constexpr uint32_t watchMask = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF;
constexpr uint32_t vnodeNotes = NOTE_WRITE | NOTE_DELETE;
// An event with the longest name inotify pads it to.
constexpr size_t eventMax = sizeof(struct inotify_event) + NAME_MAX + 1;

// A vnode watch, one per descriptor registered: inotify keeps a single watch for one file, so
// several of these may share a wd, and each gets its own events.
struct Watch {
	int fd;          // the descriptor registered, handed back as the event's ident
	int wd;          // inotify's watch on the file
	uint32_t fflags; // the kinds of change asked for
	uint32_t fired;  // the kinds seen since the last event was handed out
	uint64_t since;  // when the first of them was seen, in the queue's count
	off_t size;      // the file at the last look for a write
	struct timespec mtime;
	nlink_t nlink;   // the link count at the last look for a removal
	void *udata;
};

// The one-shot timer: a deadline, handed out as an event once it has passed.
struct Timer {
	bool armed; // set until its event is handed out
	bool fired;
	uintptr_t ident;
	struct timespec deadline; // on CLOCK_MONOTONIC
	uint64_t since;
	void *udata;
};

struct Queue {
	int fd;         // the inotify instance, which serves as the queue's descriptor
	uint64_t count; // changes seen, so that events come out in the order they began
	Timer timer;
	struct {
		size_t cap, len;
		Watch *elems;
	} watches;
};

static struct {
	size_t cap, len;
	Queue *elems;
} queues;

static Queue *
queueFind(int fd)
{
	for (size_t i = 0; i < queues.len; i++)
		if (queues.elems[i].fd == fd)
			return &queues.elems[i];
	return nullptr;
}

int
kqueue(void)
{
	int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
	if (fd == -1)
		return -1;
	Queue *queue = queueFind(fd);
	if (queue != nullptr) {
		// A queue closed earlier left its record behind under the same number.
		free(queue->watches.elems);
	} else {
		if (queues.len == queues.cap) {
			size_t cap = queues.cap == 0 ? 4 : queues.cap * 2;
			Queue *elems = static_cast<Queue *>(
			    reallocarray(queues.elems, cap, sizeof(*elems)));
			if (elems == nullptr) {
				int saved = errno;
				close(fd);
				errno = saved;
				return -1;
			}
			queues.elems = elems;
			queues.cap = cap;
		}
		queue = &queues.elems[queues.len++];
	}
	*queue = Queue{};
	queue->fd = fd;
	return fd;
}

static bool
timespecBefore(const struct timespec *a, const struct timespec *b)
{
	return a->tv_sec < b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_nsec < b->tv_nsec);
}

// a later by sec and nsec (below 10^9); the carry comes at exactly 10^9 nanoseconds.
static struct timespec
timespecAdd(const struct timespec *a, time_t sec, long nsec)
{
	struct timespec sum = {a->tv_sec + sec, a->tv_nsec + nsec};
	if (sum.tv_nsec >= 1000000000) {
		sum.tv_sec++;
		sum.tv_nsec -= 1000000000;
	}
	return sum;
}

// a - b, or zero when b is not before a.
static struct timespec
timespecLeft(const struct timespec *a, const struct timespec *b)
{
	struct timespec left = {0, 0};
	if (!timespecBefore(b, a))
		return left;
	left.tv_sec = a->tv_sec - b->tv_sec;
	left.tv_nsec = a->tv_nsec - b->tv_nsec;
	if (left.tv_nsec < 0) {
		left.tv_sec--;
		left.tv_nsec += 1000000000;
	}
	return left;
}

static void
queueFire(Queue *queue, Watch *watch, uint32_t kinds)
{
	kinds &= watch->fflags;
	if (kinds == 0)
		return;
	if (watch->fired == 0)
		watch->since = ++queue->count;
	watch->fired |= kinds;
}

// Whether the file looks written since the last look, by the rule above; keeps what it saw.
static bool
watchWritten(Watch *watch, const struct stat *st)
{
	bool changed = st->st_size != watch->size || st->st_mtim.tv_sec != watch->mtime.tv_sec ||
	    st->st_mtim.tv_nsec != watch->mtime.tv_nsec;
	watch->size = st->st_size;
	watch->mtime = st->st_mtim;
	return changed && st->st_size > 0;
}

// Whether the file has fewer names than at the last look; keeps the count.
static bool
watchRemoved(Watch *watch, const struct stat *st)
{
	bool fewer = st->st_nlink < watch->nlink;
	watch->nlink = st->st_nlink;
	return fewer;
}

// One inotify event, for every watch of its file. A lost event (the queue overflowed) may
// have been anything, so every file is looked at for both kinds.
static void
queueNotice(Queue *queue, int wd, uint32_t mask)
{
	bool lost = (mask & IN_Q_OVERFLOW) != 0;
	for (size_t i = 0; i < queue->watches.len; i++) {
		Watch *watch = &queue->watches.elems[i];
		struct stat st;
		uint32_t kinds = 0;

		if ((!lost && watch->wd != wd) || fstat(watch->fd, &st) == -1)
			continue;
		if ((lost || (mask & IN_MODIFY) != 0) && watchWritten(watch, &st))
			kinds |= NOTE_WRITE;
		if ((lost || (mask & (IN_ATTRIB | IN_DELETE_SELF)) != 0) && watchRemoved(watch, &st))
			kinds |= NOTE_DELETE;
		queueFire(queue, watch, kinds);
	}
}

// Takes in whatever inotify holds and looks at the timer, without blocking.
static int
queueCollect(Queue *queue)
{
	alignas(struct inotify_event) char buf[4096];
	ssize_t n;

	while ((n = read(queue->fd, buf, sizeof(buf))) > 0) {
		for (ssize_t off = 0; off < n;) {
			const struct inotify_event *event =
			    reinterpret_cast<const struct inotify_event *>(buf + off);
			queueNotice(queue, event->wd, event->mask);
			off += sizeof(*event) + event->len;
		}
		// inotify fills a read with every event that fits, so one that left room for the
		// largest event has emptied the queue; reading again would only meet EAGAIN, one
		// more system call on every wake-up.
		if (static_cast<size_t>(n) <= sizeof(buf) - eventMax)
			break;
	}
	if (n == -1 && errno != EAGAIN)
		return -1;

	Timer *timer = &queue->timer;
	if (timer->armed && !timer->fired) {
		struct timespec now;
		clock_gettime(CLOCK_MONOTONIC, &now);
		if (!timespecBefore(&now, &timer->deadline)) {
			timer->fired = true;
			timer->since = ++queue->count;
		}
	}
	return 0;
}

static int
queueAddWatch(Queue *queue, const struct kevent *change)
{
	struct stat st;
	char path[32];

	if (change->flags != (EV_ADD | EV_CLEAR) || change->fflags == 0 ||
	    (change->fflags & ~vnodeNotes) != 0) {
		errno = EINVAL;
		return -1;
	}
	if (change->ident > INT_MAX) {
		errno = EBADF;
		return -1;
	}
	int fd = static_cast<int>(change->ident);
	if (fstat(fd, &st) == -1)
		return -1;
	// What inotify already holds happened before this watch and belongs to the others.
	if (queueCollect(queue) == -1)
		return -1;
	// The descriptor's entry in /proc leads to the open file itself, so the watch stays with
	// that file when its path is renamed or given to another one.
	snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
	int wd = inotify_add_watch(queue->fd, path, watchMask);
	if (wd == -1)
		return -1;

	Watch *watch = nullptr;
	for (size_t i = 0; i < queue->watches.len; i++)
		if (queue->watches.elems[i].fd == fd)
			watch = &queue->watches.elems[i];
	if (watch == nullptr) {
		if (queue->watches.len == queue->watches.cap) {
			size_t cap = queue->watches.cap == 0 ? 4 : queue->watches.cap * 2;
			Watch *elems = static_cast<Watch *>(
			    reallocarray(queue->watches.elems, cap, sizeof(*elems)));
			if (elems == nullptr)
				return -1;
			queue->watches.elems = elems;
			queue->watches.cap = cap;
		}
		watch = &queue->watches.elems[queue->watches.len++];
		*watch = Watch{};
		watchWritten(watch, &st);
		watchRemoved(watch, &st);
	} else if (watch->wd != wd) {
		// The number now names another file: nothing seen on the old one carries over.
		*watch = Watch{};
		watchWritten(watch, &st);
		watchRemoved(watch, &st);
	}
	watch->fd = fd;
	watch->wd = wd;
	watch->fflags = change->fflags;
	watch->fired &= change->fflags;
	watch->udata = change->udata;
	return 0;
}

static int
queueAddTimer(Queue *queue, const struct kevent *change)
{
	Timer *timer = &queue->timer;

	if (change->flags != (EV_ADD | EV_ONESHOT) || change->fflags != 0 || change->data < 0 ||
	    (timer->armed && timer->ident != change->ident)) {
		errno = EINVAL;
		return -1;
	}
	// Adding it again starts it afresh: an expiry not yet handed out is dropped.
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	*timer = Timer{};
	timer->armed = true;
	timer->ident = change->ident;
	timer->udata = change->udata;
	timer->deadline = timespecAdd(&now, static_cast<time_t>(change->data / 1000),
	    static_cast<long>(change->data % 1000) * 1000000);
	return 0;
}

// Hands out up to nevents events, the oldest change first; returns how many.
static int
queueDeliver(Queue *queue, struct kevent *events, int nevents)
{
	Timer *timer = &queue->timer;
	int n = 0;

	while (n < nevents) {
		Watch *oldest = nullptr;
		for (size_t i = 0; i < queue->watches.len; i++) {
			Watch *watch = &queue->watches.elems[i];
			if (watch->fired != 0 &&
			    (oldest == nullptr || watch->since < oldest->since))
				oldest = watch;
		}
		if (timer->fired && (oldest == nullptr || timer->since < oldest->since)) {
			EV_SET(&events[n], timer->ident, EVFILT_TIMER, EV_ONESHOT, 0, 1,
			    timer->udata);
			*timer = Timer{};
		} else if (oldest != nullptr) {
			EV_SET(&events[n], static_cast<uintptr_t>(oldest->fd), EVFILT_VNODE,
			    EV_CLEAR, oldest->fired, 0, oldest->udata);
			oldest->fired = 0;
		} else {
			break;
		}
		n++;
	}
	return n;
}

// Sleeps in ppoll until inotify has something, the timer is due or the caller's time is up;
// nothing wakes it otherwise. A signal ends the wait with EINTR.
static int
queueWait(Queue *queue, struct kevent *events, int nevents, const struct timespec *timeout)
{
	struct timespec now, until = {0, 0};

	if (timeout != nullptr) {
		if (timeout->tv_sec < 0 || timeout->tv_nsec < 0 || timeout->tv_nsec >= 1000000000) {
			errno = EINVAL;
			return -1;
		}
		clock_gettime(CLOCK_MONOTONIC, &now);
		until = timespecAdd(&now, timeout->tv_sec, timeout->tv_nsec);
	}
	for (;;) {
		if (queueCollect(queue) == -1)
			return -1;
		int n = queueDeliver(queue, events, nevents);
		if (n > 0)
			return n;

		struct timespec left, timerLeft;
		const struct timespec *wait = nullptr;
		clock_gettime(CLOCK_MONOTONIC, &now);
		if (timeout != nullptr) {
			if (!timespecBefore(&now, &until))
				return 0;
			left = timespecLeft(&until, &now);
			wait = &left;
		}
		if (queue->timer.armed) {
			timerLeft = timespecLeft(&queue->timer.deadline, &now);
			if (wait == nullptr || timespecBefore(&timerLeft, wait))
				wait = &timerLeft;
		}
		struct pollfd pfd = {queue->fd, POLLIN, 0};
		if (ppoll(&pfd, 1, wait, nullptr) == -1)
			return -1;
	}
}

int
kevent(int kq, const struct kevent *changelist, int nchanges, struct kevent *eventlist,
    int nevents, const struct timespec *timeout)
{
	Queue *queue = queueFind(kq);
	if (queue == nullptr) {
		errno = EBADF;
		return -1;
	}
	if (nchanges < 0 || nevents < 0) {
		errno = EINVAL;
		return -1;
	}
	for (int i = 0; i < nchanges; i++) {
		int result;
		switch (changelist[i].filter) {
		case EVFILT_VNODE:
			result = queueAddWatch(queue, &changelist[i]);
			break;
		case EVFILT_TIMER:
			result = queueAddTimer(queue, &changelist[i]);
			break;
		default:
			errno = EINVAL;
			result = -1;
		}
		if (result == -1)
			return -1;
	}
	if (nevents == 0)
		return 0;
	return queueWait(queue, eventlist, nevents, timeout);
}
