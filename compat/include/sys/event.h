// sys/event.h: the kernel event queue interface, for a system that has none. Only what the
// vnode and one-shot timer filters need is declared; compat/kqueue.cc says which subset works.
#pragma once

#include <stdint.h>
#include <time.h>

struct kevent {
	uintptr_t ident;   // the descriptor of a vnode filter, a free number for a timer
	short filter;
	unsigned short flags;
	unsigned int fflags;
	int64_t data;      // a timer's period in milliseconds; on return, its expirations
	void *udata;       // handed back unchanged with every event
	uint64_t ext[4];
};

#define EVFILT_VNODE (-4)
#define EVFILT_TIMER (-7)

#define EV_ADD 0x0001
#define EV_ONESHOT 0x0010
#define EV_CLEAR 0x0020

#define NOTE_DELETE 0x0001
#define NOTE_WRITE 0x0002

#define EV_SET(kevp, a, b, c, d, e, f)                                                             \
	do {                                                                                       \
		struct kevent *kevSet_ = (kevp);                                                   \
		kevSet_->ident = (a);                                                              \
		kevSet_->filter = (b);                                                             \
		kevSet_->flags = (c);                                                              \
		kevSet_->fflags = (d);                                                             \
		kevSet_->data = (e);                                                               \
		kevSet_->udata = (f);                                                              \
		kevSet_->ext[0] = kevSet_->ext[1] = kevSet_->ext[2] = kevSet_->ext[3] = 0;         \
	} while (0)

int kqueue(void);
int kevent(int kq, const struct kevent *changelist, int nchanges, struct kevent *eventlist,
    int nevents, const struct timespec *timeout);
