// onchange: run a command each time one of the watched files is written.
#include <sys/types.h>
#include <sys/event.h>
#include <sys/wait.h>

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sysexits.h>
#include <unistd.h>

#include "compat.h"

// Waits for one event; any failure ends the tool.
static void
waitEvent(int kq, struct kevent *event)
{
	if (kevent(kq, nullptr, 0, event, 1, nullptr) == -1)
		err(EX_OSERR, "kevent");
}

// Why the command could not be executed, or 0. The vfork child shares the parent's memory
// and is gone before the parent reads this, so the parent reports the failure for it.
static volatile int execError;

// Returns only when the command exited with status 0; any other end of it ends the tool
// with its exit status, or with the raw wait status when a signal killed it. vfork spares
// the copy of the page tables that fork makes and the faults on the copied pages after it.
// The child, on the parent's memory, runs execvp alone (it searches the PATH and hands a
// script without "#!" to the shell, on the stack) and _exit, which flushes nothing.
static void
runCommand(char **argv)
{
	pid_t pid;
	int status;

	execError = 0;
	switch ((pid = vfork())) {
	case -1:
		err(EX_OSERR, "fork");
	case 0:
		execvp(argv[0], argv);
		execError = errno;
		_exit(126);
	}
	if (wait(&status) == -1)
		err(EX_OSERR, "wait");
	// 126: the command could not be run, the status its child has just ended with.
	if (execError != 0) {
		errno = execError;
		err(126, "%s", argv[0]);
	}
	if (WIFEXITED(status))
		status = WEXITSTATUS(status);
	if (status != 0)
		exit(status);
}

// onchange [-ai] [-d ms] [-f file ...] command [argument ...]: waits for a write to any of the
// files and runs the command, over and over, optionally after a delay that gathers a burst of
// writes into one run. It ends when the command fails or a watched file is removed.
int
main(int argc, char *argv[])
{
	struct kevent change, event;
	bool append = false, initial = false;
	int32_t delay = 0;
	char **command;
	int kq, fd, ch;

	if ((kq = kqueue()) == -1)
		err(EX_OSERR, "kqueue");
	(void)fcntl(kq, F_SETFD, FD_CLOEXEC);

	while ((ch = getopt(argc, argv, OPTPREFIX "ad:f:i")) != -1) {
		switch (ch) {
		case 'a':
			append = true;
			break;
		case 'd':
			// The low 32 bits of what strtol reads; text without digits is no delay.
			delay = static_cast<int32_t>(strtol(optarg, nullptr, 10));
			break;
		case 'f':
			// The descriptor is what is watched: it stays open for good.
			if ((fd = open(optarg, O_RDONLY | O_CLOEXEC)) == -1)
				err(EX_TEMPFAIL, "%s", optarg);
			EV_SET(&change, fd, EVFILT_VNODE, EV_ADD | EV_CLEAR,
			    NOTE_WRITE | NOTE_DELETE, 0, optarg);
			if (kevent(kq, &change, 1, nullptr, 0, nullptr) == -1)
				err(EX_OSERR, "kevent");
			break;
		case 'i':
			initial = true;
			break;
		default:
			exit(EX_USAGE);
		}
	}
	argc -= optind;
	argv += optind;
	if (argc == 0)
		errx(EX_USAGE, "command required");

	// With -a the command gets one more word, the changed file's path, set before each run;
	// the slot after it stays empty and ends the vector.
	command = argv;
	if (append) {
		if ((command = static_cast<char **>(calloc(argc + 2, sizeof(*command)))) == nullptr)
			err(EX_OSERR, "calloc");
		for (int i = 0; i < argc; i++)
			command[i] = argv[i];
	}

	// The watches are in place already, so what the initial run writes brings a run after it.
	if (initial)
		runCommand(command);

	for (;;) {
		waitEvent(kq, &event);
		if (delay != 0) {
			// Writes during the delay are taken and dropped; the run that follows
			// carries the path of the change that began it.
			EV_SET(&change, 0, EVFILT_TIMER, EV_ADD | EV_ONESHOT, 0,
			    static_cast<int64_t>(delay), event.udata);
			if (kevent(kq, &change, 1, nullptr, 0, nullptr) == -1)
				err(EX_OSERR, "kevent");
			while (event.filter != EVFILT_TIMER && (event.fflags & NOTE_DELETE) == 0)
				waitEvent(kq, &event);
		}
		if (event.filter == EVFILT_VNODE && (event.fflags & NOTE_DELETE) != 0)
			errx(EX_TEMPFAIL, "%s: file removed",
			    static_cast<const char *>(event.udata));
		if (append)
			command[argc] = static_cast<char *>(event.udata);
		runCommand(command);
	}
}
