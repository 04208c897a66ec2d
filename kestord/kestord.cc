// kestord.cc: the supervisor's start-up and shutdown, its signal handler, the configuration
// and control readers, and the event loop that drives everything in one thread.
#include <sys/types.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <grp.h>
#include <inttypes.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sysexits.h>
#include <syslog.h>
#include <unistd.h>

#include <iterator>

#include "compat.h"
#include "kestord.h"

// The configuration directory of the installation, which the build passes in: /usr/local/etc
// under the prefix /usr/local, /etc under /usr. A compile without the build file gets the
// default prefix's.
#ifndef KESTOR_SYSCONFDIR
#define KESTOR_SYSCONFDIR "/usr/local/etc"
#endif

Prepends prepends;

struct timespec restartInterval = {1, 0};
struct timespec resetInterval = {900, 0};
const char *serviceDir = "/";
uid_t serviceUID;
gid_t serviceGID;
static constexpr char shellEntry[] = "SHELL=/bin/sh";
static constexpr char pathEntry[] =
    "PATH=/sbin:/bin:/usr/sbin:/usr/bin:/usr/local/sbin:/usr/local/bin";
const char *serviceEnviron[5] = {shellEntry, pathEntry, nullptr, nullptr, nullptr};
const char *privilegedEnviron[5] = {shellEntry, pathEntry, nullptr, nullptr, nullptr};
uint32_t stopExits[8];
struct rlimit serviceFileLimit;

volatile sig_atomic_t signals[NSIG];
sigset_t handledSignals;

// The order in which the handler is installed; SIGINFO is the status request.
static constexpr int handled[] = {SIGHUP, SIGINT, SIGTERM, SIGCHLD, SIGINFO};

static void
signalHandler(int signo)
{
	signals[signo] = 1;
}

struct timespec
parseMillis(const char *text)
{
	unsigned long ms = strtoul(text, nullptr, 10);
	if (ms / 1000 >= static_cast<unsigned long>(intervalMax.tv_sec))
		return intervalMax;
	struct timespec span;
	span.tv_sec = static_cast<time_t>(ms / 1000);
	span.tv_nsec = static_cast<long>(ms % 1000 * 1000000);
	return span;
}

const char *
parseExits(const char *list, uint32_t exits[8])
{
	memset(exits, 0, 8 * sizeof(exits[0]));
	const char *rest = list;
	while (*rest != '\0') {
		char *end;
		unsigned long n = strtoul(rest, &end, 10);
		if (*end != '\0' && *end != ',')
			return end;
		unsigned v = n & 0xff;
		exits[v / 32] |= 1u << (v % 32);
		rest = *end == ',' ? end + 1 : end;
	}
	return nullptr;
}

// The prepend list a load fills. It takes the place of prepends when the load ends, and the
// list it replaces becomes the next load's, so that a load that stops at an error can leave
// the list in force as it was.
static Prepends prependsNext;

// Empties a prepend list but keeps its array for the next load.
static void
prependsClear(Prepends *list)
{
	for (size_t i = 0; i < list->len; i++)
		free(list->elems[i]);
	list->len = 0;
}

static int
prependAdd(Prepends *list, const char *command)
{
	if (list->len == list->cap) {
		size_t cap = list->cap == 0 ? 8 : list->cap * 2;
		void *elems = reallocarray(list->elems, cap, sizeof(*list->elems));
		if (elems == nullptr)
			return -1;
		list->elems = static_cast<char **>(elems);
		list->cap = cap;
	}
	char *copy = strdup(command);
	if (copy == nullptr)
		return -1;
	list->elems[list->len++] = copy;
	return 0;
}

// Ends a load. At start-up, or when the whole file was read, the prepend lines read take
// effect. A reload that stopped at an error keeps the list in force instead: one mistyped
// line must not take a umask or a limit of the lines after it from every later start.
static void
prependsApply(bool keep)
{
	if (!keep) {
		Prepends read = prependsNext;
		prependsNext = prepends;
		prepends = read;
	}
	prependsClear(&prependsNext);
}

// Reads the next logical line into *buf: physical lines whose last two bytes are a backslash
// and a newline are joined with the next one. Returns its length, or -1 at the end of the
// file, on a read error or when memory runs out; an unfinished logical line is then dropped.
static ssize_t
configLine(FILE *file, char **buf, size_t *size, char **more, size_t *moreSize)
{
	ssize_t len = getline(buf, size, file);
	while (len >= 2 && (*buf)[len - 2] == '\\' && (*buf)[len - 1] == '\n') {
		ssize_t n = getline(more, moreSize, file);
		if (n == -1)
			return -1;
		size_t need = len - 2 + n + 1;
		if (need > *size) {
			char *grown = static_cast<char *>(realloc(*buf, need));
			if (grown == nullptr)
				return -1;
			*buf = grown;
			*size = need;
		}
		memcpy(*buf + len - 2, *more, n + 1);
		len = len - 2 + n;
	}
	return len;
}

// Why the configuration file open on fd is not to be trusted, or nullptr. Whoever can change
// it chooses what runs, as root for the privileged services: only root and the daemon's own
// user may. The descriptor is checked, not the path, so that what is checked is what is read.
// Nothing but a regular file is read (a directory fails at its first read): a FIFO or a
// device would hold the daemon in a read that signals cannot end, and a pipe of the daemon's
// own, one of a service's named through /proc/self/fd, is the daemon's own by ownership but
// carries what the service writes.
static const char *
configDistrust(int fd)
{
	struct stat st;
	if (fstat(fd, &st) == -1)
		return strerror(errno);
	if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
		return "not a regular file";
	if (st.st_uid != 0 && st.st_uid != geteuid())
		return "owned by another user";
	if ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0)
		return "writable by its group";
	if ((st.st_mode & S_IWOTH) != 0)
		return "writable by others";
	return nullptr;
}

// serviceAdd for a load. The services the load found are the first existing ones of the
// table; each that a line gives a different command is counted in *updated, once. A line
// that gives a service the command it has changes nothing.
static int
configService(const char *name, const char *command, size_t existing, size_t *updated)
{
	for (size_t i = 0; i < existing; i++) {
		Service *service = &services.elems[i];
		if (strcmp(service->name, name) != 0)
			continue;
		if (strcmp(service->command, command) == 0)
			return 0;
		if (serviceAdd(name, command) == -1)
			return -1;
		if (!service->updated)
			(*updated)++;
		service->updated = true;
		return 0;
	}
	return serviceAdd(name, command);
}

void
parseConfig(const char *path, bool reload)
{
	// Not waiting for a writer, should the path name a FIFO by now: the file is checked
	// before anything is read from it.
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd == -1) {
		logMessage(LOG_WARNING, "%s: %s", path, strerror(errno));
		return;
	}
	if (const char *why = configDistrust(fd); why != nullptr) {
		logMessage(LOG_WARNING, "%s: %s", path, why);
		close(fd);
		return;
	}
	FILE *file = fdopen(fd, "r");
	if (file == nullptr) {
		logMessage(LOG_WARNING, "%s: %s", path, strerror(errno));
		close(fd);
		return;
	}
	// A load only adds services, so those it found are the first of the table throughout.
	size_t existing = services.len, updated = 0;
	for (size_t i = 0; i < existing; i++)
		services.elems[i].updated = false;
	prependsClear(&prependsNext);
	// What an error's warning adds when the load keeps the prepend list.
	const char *kept = reload ? "; prepend lines kept" : "";
	bool stopped = true;

	char *buf = nullptr, *more = nullptr;
	size_t size = 0, moreSize = 0;
	ssize_t len;
	for (int lineno = 1; (len = configLine(file, &buf, &size, &more, &moreSize)) != -1;
	     lineno++) {
		if (len > 0 && buf[len - 1] == '\n')
			buf[len - 1] = '\0';
		char *p = buf + strspn(buf, " \t");
		if (*p == '\0' || *p == '#')
			continue;
		if (*p == '%') {
			p++;
			if (prependAdd(&prependsNext, p + strspn(p, " \t")) == -1) {
				logMessage(LOG_WARNING, "cannot add prepend command: %s%s",
				    strerror(errno), kept);
				goto done;
			}
			continue;
		}
		size_t nameLen = strcspn(p, " \t");
		if (p[nameLen] == '\0') {
			logMessage(LOG_WARNING, "%s:%d: no command line for service %s%s", path, lineno,
			    p, kept);
			goto done;
		}
		p[nameLen] = '\0';
		char *command = p + nameLen + 1;
		command += strspn(command, " \t");
		if (configService(p, command, existing, &updated) == -1) {
			int saved = errno;
			logMessage(LOG_WARNING, "cannot add service: %s%s", strerror(saved), kept);
			struct rlimit limit;
			if (saved == EMFILE && getrlimit(RLIMIT_NOFILE, &limit) == 0)
				logMessage(LOG_NOTICE, "descriptor limit of %ju reached with %zu services",
				    static_cast<uintmax_t>(limit.rlim_cur), services.len);
			goto done;
		}
	}
	if (ferror(file))
		logMessage(LOG_WARNING, "%s: %s%s", path, strerror(errno), kept);
	else
		stopped = false;
done:
	if (reload)
		logMessage(LOG_NOTICE, "reloaded %s: %zu added, %zu updated", path,
		    services.len - existing, updated);
	prependsApply(reload && stopped);
	free(buf);
	free(more);
	fclose(file);
}

enum class Action { Start, Stop, Restart, Status, Drop, Signal };

// Carries out one action on the service at index i.
static void
controlApply(Action action, int signo, size_t i)
{
	Service *service = &services.elems[i];
	switch (action) {
	case Action::Start:
		serviceStart(service);
		break;
	case Action::Stop:
		serviceStop(service);
		break;
	case Action::Restart:
		serviceRestart(service);
		break;
	case Action::Status:
		serviceStatus(service);
		break;
	case Action::Drop:
		serviceDrop(i);
		break;
	case Action::Signal:
		serviceSignal(service, signo);
		break;
	}
}

void
parseControl(char *line)
{
	static constexpr struct {
		const char *word;
		Action action;
	} words[] = {
		{"start", Action::Start},
		{"stop", Action::Stop},
		{"restart", Action::Restart},
		{"status", Action::Status},
		{"drop", Action::Drop},
	};

	if (strpbrk(line, " \t") == nullptr) {
		logMessage(LOG_NOTICE, "no service names for %s", line);
		return;
	}
	char *rest = line;
	const char *word = strsep(&rest, " \t");
	Action action = Action::Signal;
	int signo = 0;
	bool known = false;
	for (auto &w : words)
		if (strcmp(word, w.word) == 0) {
			action = w.action;
			known = true;
			break;
		}
	for (int n = 1; !known && n < 32 && static_cast<size_t>(n) < std::size(sys_signame); n++)
		if (strcasecmp(word, sys_signame[n]) == 0) {
			signo = n;
			known = true;
		}
	if (!known) {
		logMessage(LOG_NOTICE, "unknown action or signal %s", word);
		return;
	}

	// From the last record down: a drop fills its hole with the last record, which this
	// walk has then already visited.
	while (const char *pattern = strsep(&rest, " \t")) {
		bool matched = false;
		for (size_t i = services.len; i > 0; i--) {
			if (i - 1 >= services.len)
				continue;
			if (fnmatch(pattern, services.elems[i - 1].name, 0) != 0)
				continue;
			matched = true;
			controlApply(action, signo, i - 1);
		}
		if (!matched)
			logMessage(LOG_NOTICE, "no services matching %s", pattern);
	}
}

static char controlBuf[512];

// Whether the two are the same file.
static bool
sameFile(const struct stat *a, const struct stat *b)
{
	return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// Where the command that lineFeed is handing out in pieces stands.
enum class Cut : int32_t {
	None,        // no command is being cut
	Held,        // 511 bytes are held: the command runs if its newline comes next
	Discarding,  // the command is longer than 511 bytes: refused, dropped up to its newline
};

// The control pipe: the FIFO the daemon made or found at start-up, its read end, and the
// command being gathered from it.
struct Control {
	const char *path;  // absolute, so that it names the FIFO after daemon() has changed to /
	int fd;            // the read end; -1 once the FIFO can no longer be opened
	struct stat fifo;  // the FIFO itself, whatever the path names meanwhile
	Line line;         // the bytes of a command whose newline has not come yet
	Cut cut;
	char held[512];    // while cut is Held: the first 511 bytes of the command
};

// A command longer than this is refused whole.
static constexpr size_t controlMax = sizeof(Line::buf) - 1;

// How much of a refused command its notice shows.
static constexpr int refusedShown = 40;

// The notice for the held command, found to be longer than controlMax.
static void
controlRefuse(const Control *control)
{
	logMessage(LOG_NOTICE, "command longer than %zu bytes refused: %.*s...", controlMax,
	    refusedShown, control->held);
}

// The consumer of the control pipe's lines. The line rule hands out a line that reaches 511
// bytes without its newline as a piece of its own, and every line that ends at a newline as
// at most 510 bytes; so a piece of 511 is held until the next line shows whether the newline
// followed at once (the command is exactly 511 bytes long) or more text (the command is
// longer, and is refused with everything up to its newline). Nothing of a refused command
// is ever carried out.
static void
controlCommand(void *arg, const char *text)
{
	Control *control = static_cast<Control *>(arg);
	size_t len = strlen(text);

	switch (control->cut) {
	case Cut::None:
		if (len < controlMax) {
			strlcpy(controlBuf, text, sizeof(controlBuf));
			parseControl(controlBuf);
		} else {
			strlcpy(control->held, text, sizeof(control->held));
			control->cut = Cut::Held;
		}
		return;
	case Cut::Held:
		if (len == 0) {
			control->cut = Cut::None;
			strlcpy(controlBuf, control->held, sizeof(controlBuf));
			parseControl(controlBuf);
			return;
		}
		controlRefuse(control);
		control->cut = len < controlMax ? Cut::None : Cut::Discarding;
		return;
	case Cut::Discarding:
		if (len < controlMax)
			control->cut = Cut::None;
		return;
	}
}

// No writer holds the FIFO any more: bytes still without their newline came from writers
// that are gone, and a later writer's bytes must not continue them.
static void
controlDiscard(Control *control)
{
	const char *rest = lineFlush(&control->line);
	switch (control->cut) {
	case Cut::None:
		if (rest != nullptr)
			logMessage(LOG_NOTICE, "unfinished command discarded: %s", rest);
		break;
	case Cut::Held:
		if (rest != nullptr)
			controlRefuse(control);
		else
			logMessage(LOG_NOTICE, "unfinished command discarded: %s", control->held);
		break;
	case Cut::Discarding:
		break;
	}
	control->cut = Cut::None;
}

// A FIFO's read end reports a hang-up, for as long as no writer comes, once the writers it
// has seen are gone; a read end opened while none writes reports none until one has come
// and gone. So, to wait for the next writer without waking at once, the daemon opens the
// FIFO anew and puts the new read end in the old one's place. The old end stays open until
// then: a writer's non-blocking open never finds the FIFO without a reader.
static void
controlReopen(Control *control)
{
	int fd = open(control->path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd == -1 && (errno == EMFILE || errno == ENFILE)) {
		// With no descriptor to spare, the old end goes first, for that moment only.
		close(control->fd);
		control->fd = -1;
		fd = open(control->path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	}
	const char *failure = fd == -1 ? strerror(errno) : nullptr;
	struct stat st;
	if (fd != -1 && (fstat(fd, &st) == -1 || !sameFile(&st, &control->fifo))) {
		close(fd);
		fd = -1;
		failure = "replaced by another file";
	}
	// Nobody can open the FIFO by its path any more: keeping the old end would only report
	// the hang-up for ever.
	if (fd == -1) {
		logMessage(LOG_WARNING, "%s: %s; commands are no longer read", control->path,
		    failure);
		if (control->fd != -1)
			close(control->fd);
		control->fd = -1;
		return;
	}
	if (control->fd == -1) {
		control->fd = fd;
		return;
	}
	// dup2 clears close-on-exec on the copy.
	dup2(fd, control->fd);
	fcntl(control->fd, F_SETFD, FD_CLOEXEC);
	close(fd);
}

// Reads the control pipe after ppoll returned events for it. A hang-up without input says
// that the pipe was empty and had no writer when ppoll returned, so whatever is read now
// comes from a new writer; with input, the end of the file, once everything is read, says
// the same. Either way the unfinished command is discarded first.
static void
controlInput(Control *control, short revents)
{
	bool ended = (revents & POLLHUP) != 0 && (revents & POLLIN) == 0;
	if (!ended)
		ended = controlRead(&control->line, control->fd, controlCommand, control);
	if (!ended)
		return;
	controlDiscard(control);
	controlReopen(control);
}

static void
titleRefresh(void)
{
	size_t running = 0;
	for (size_t i = 0; i < services.len; i++)
		if (services.elems[i].state == State::Running)
			running++;
	setproctitle("%zu/%zu services", running, services.len);
}

static bool
waitingForRestart(const Service *service)
{
	return service->intent == Intent::Start && service->state != State::Running;
}

// Reaps every child that has ended. Returns how many were reaped; *none tells that no child
// at all is left.
static size_t
reapChildren(bool *none)
{
	size_t reaped = 0;
	*none = false;
	for (;;) {
		int status;
		pid_t pid = waitpid(-1, &status, WNOHANG);
		if (pid > 0) {
			serviceReap(pid, status);
			reaped++;
			continue;
		}
		if (pid == -1 && errno == ECHILD)
			*none = true;
		else if (pid == -1)
			logMessage(LOG_WARNING, "waitpid: %s", strerror(errno));
		return reaped;
	}
}

// The handled signals are blocked except inside ppoll. Linux delivers one that became
// pending during the wait only when ppoll ends with EINTR; when descriptors were ready, the
// signal stays pending behind the restored mask. Letting it in after every wait sets its
// flag for the next pass, so a flood of output cannot hold off SIGCHLD or SIGTERM.
static void
signalsAdmit(void)
{
	sigset_t pending;
	if (sigpending(&pending) == -1)
		return;
	for (int signo : handled)
		if (sigismember(&pending, signo) == 1) {
			sigprocmask(SIG_UNBLOCK, &handledSignals, nullptr);
			sigprocmask(SIG_BLOCK, &handledSignals, nullptr);
			return;
		}
}

// The ppoll timeout that ends at the deadline, zero once it has passed.
static struct timespec
timeoutUntil(struct timespec deadline)
{
	struct timespec timeout = timeSub(deadline, timeNow());
	if (timeout.tv_sec < 0 || timeout.tv_nsec < 0)
		timeout = {0, 0};
	return timeout;
}

// Fills two slots per service. While the log holds back, the pipes are left out (descriptor
// -1): their output waits in them, and a service that writes more blocks once its pipe is
// full, until the system log has taken what waits.
static void
servicePollSet(struct pollfd *slots, bool held)
{
	for (size_t i = 0; i < services.len; i++) {
		Service *service = &services.elems[i];
		slots[2 * i] = {held ? -1 : service->outPipe[0], POLLIN, 0};
		slots[2 * i + 1] = {held ? -1 : service->errPipe[0], POLLIN, 0};
	}
}

// Reads every service whose slots returned events, for as long as the log takes more. The
// services left unread come first the next time, so that under a slow receiver the first
// services of the table do not take all of its room.
static void
servicesRead(const struct pollfd *slots)
{
	static size_t first;
	size_t len = services.len;
	for (size_t k = 0; k < len; k++) {
		size_t i = (first + k) % len;
		if (slots[2 * i].revents == 0 && slots[2 * i + 1].revents == 0)
			continue;
		if (logHeld()) {
			first = i;
			return;
		}
		serviceRead(&services.elems[i]);
	}
}

// Runs until SIGINT or SIGTERM, or until the poll set cannot be had.
static void
eventLoop(const char *configPath, Control *control)
{
	// Slot 0 is the control pipe, the log's slots follow, and each service has two after them.
	constexpr size_t serviceSlot = 1 + logSlots;
	size_t slots = 2 * services.len + serviceSlot;
	struct pollfd *pollFds = static_cast<struct pollfd *>(calloc(slots, sizeof(*pollFds)));
	if (pollFds == nullptr) {
		logMessage(LOG_ERR, "calloc: %s", strerror(errno));
		return;
	}
	sigset_t empty;
	sigemptyset(&empty);

	titleRefresh();
	for (;;) {
		// Each flag goes back to 0 before its work, so a signal that comes during the work
		// is acted on in the next pass rather than lost.
		if (signals[SIGCHLD]) {
			signals[SIGCHLD] = 0;
			bool none;
			reapChildren(&none);
			titleRefresh();
		}
		if (signals[SIGINT] || signals[SIGTERM])
			break;
		if (signals[SIGHUP]) {
			signals[SIGHUP] = 0;
			parseConfig(configPath, true);
			void *grown = reallocarray(pollFds, 2 * services.len + serviceSlot, sizeof(*pollFds));
			if (grown == nullptr) {
				logMessage(LOG_ERR, "reallocarray: %s", strerror(errno));
				break;
			}
			pollFds = static_cast<struct pollfd *>(grown);
			titleRefresh();
		}
		if (signals[SIGINFO]) {
			signals[SIGINFO] = 0;
			strlcpy(controlBuf, "status *", sizeof(controlBuf));
			parseControl(controlBuf);
		}

		bool due = false;
		struct timespec deadline = {0, 0};
		for (size_t i = 0; i < services.len; i++) {
			Service *service = &services.elems[i];
			if (waitingForRestart(service) &&
			    (!due || timeLess(service->restartDeadline, deadline))) {
				deadline = service->restartDeadline;
				due = true;
			}
		}
		// Everything this pass logged goes out before the wait; what the system log does
		// not take yet is waited for, by the socket's slot or by the log's own deadline.
		logFlush();
		servicePollSet(pollFds + serviceSlot, logHeld());
		struct timespec wake = deadline, logDeadline, timeout;
		bool timed = due;
		if (logWait(&pollFds[1], &logDeadline) && (!due || timeLess(logDeadline, deadline))) {
			wake = logDeadline;
			timed = true;
		}
		if (timed)
			timeout = timeoutUntil(wake);

		pollFds[0] = {control->fd, POLLIN, 0};
		slots = 2 * services.len + serviceSlot;
		int ready = ppoll(pollFds, slots, timed ? &timeout : nullptr, &empty);
		if (ready == -1 && errno != EINTR) {
			logMessage(LOG_WARNING, "ppoll: %s", strerror(errno));
			logFlush();
			// A failure that lasts (more slots than the descriptor limit allows) would
			// otherwise turn the loop into a spin that floods the log; a second's pause
			// that signals still cut short keeps the daemon responsive meanwhile.
			struct timespec pause = {1, 0};
			ppoll(nullptr, 0, &pause, &empty);
			continue;
		}
		signalsAdmit();
		if (ready > 0) {
			if (pollFds[0].revents != 0) {
				controlInput(control, pollFds[0].revents);
				titleRefresh();
			}
			servicesRead(pollFds + serviceSlot);
		}
		if (due) {
			struct timespec now = timeNow();
			for (size_t i = 0; i < services.len; i++) {
				Service *service = &services.elems[i];
				if (waitingForRestart(service) && !timeLess(now, service->restartDeadline))
					serviceStart(service);
			}
			titleRefresh();
		}
	}
	free(pollFds);
}

// Whether a service still has a process.
static bool
servicesRunning(void)
{
	for (size_t i = 0; i < services.len; i++)
		if (services.elems[i].state == State::Running)
			return true;
	return false;
}

// Waits until every service's process has been reaped. Other children, which a daemon that
// is a container's init inherits from the processes that end within it, are reaped as they
// come and do not count. The services' output is still read meanwhile: a service that writes
// much on its way out would otherwise block on a full pipe, and the daemon with it, for ever.
// What the pipes hold at the end is logged before the daemon exits.
static void
shutdownWait(void)
{
	// The log's slots come first, and each service has two after them.
	size_t slots = 2 * services.len + logSlots;
	struct pollfd *pollFds = static_cast<struct pollfd *>(calloc(slots, sizeof(*pollFds)));
	sigset_t empty;
	sigemptyset(&empty);

	while (servicesRunning()) {
		if (pollFds == nullptr) {
			// Without a poll set that works, the plain wait is all that is left; once it
			// fails, nothing more can be waited for.
			int status;
			pid_t pid = wait(&status);
			if (pid == -1) {
				logMessage(LOG_WARNING, "wait: %s", strerror(errno));
				logFlush();
				break;
			}
			serviceReap(pid, status);
			logFlush();
			continue;
		}
		if (signals[SIGCHLD]) {
			signals[SIGCHLD] = 0;
			bool none;
			reapChildren(&none);
			if (!servicesRunning())
				break;
			if (none) {
				errno = ECHILD;
				logMessage(LOG_WARNING, "wait: %s", strerror(errno));
				break;
			}
		}
		logFlush();
		servicePollSet(pollFds + logSlots, logHeld());
		struct timespec deadline, timeout;
		bool timed = logWait(&pollFds[0], &deadline);
		if (timed)
			timeout = timeoutUntil(deadline);
		int ready = ppoll(pollFds, slots, timed ? &timeout : nullptr, &empty);
		if (ready == -1 && errno != EINTR) {
			free(pollFds);
			pollFds = nullptr;
			continue;
		}
		if (ready > 0) {
			signalsAdmit();
			servicesRead(pollFds + logSlots);
		}
	}
	free(pollFds);
	// Processes left behind by the services may have written since the last reap.
	for (size_t i = 0; i < services.len; i++)
		serviceDrain(&services.elems[i]);
}

// What the log still holds goes out once the services are gone, waiting for a receiver or a
// standard error that does not read for flushMax at most.
static void
shutdownFlush(void)
{
	constexpr struct timespec flushMax = {2, 0};
	struct timespec end = timeAdd(timeNow(), flushMax);
	sigset_t empty;
	sigemptyset(&empty);

	for (;;) {
		logFlush();
		struct pollfd slots[logSlots];
		struct timespec deadline;
		bool timed = logWait(slots, &deadline);
		if (!logPending() || !timeLess(timeNow(), end))
			return;
		if (!timed || timeLess(end, deadline))
			deadline = end;
		struct timespec timeout = timeoutUntil(deadline);
		ppoll(slots, logSlots, &timeout, &empty);
	}
}

// The descriptors 0, 1 and 2 are given to every service; one that was closed when the daemon
// started would otherwise be taken by a pipe or the control FIFO. Anything else the daemon
// was started with is closed: services would inherit it, and a caller waiting for the end of
// a pipe it passed on would wait for as long as the daemon runs.
static void
standardDescriptors(void)
{
	for (int fd = 0; fd <= 2; fd++)
		if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) == -1)
			err(EX_OSERR, "/dev/null");
	closefrom(STDERR_FILENO + 1);
}

// Each service holds four descriptors, so the soft limit most hosts give (1024) would stop the
// table at about 250 services; the daemon takes the hard limit for itself, ppoll having no
// bound of its own, and hands the limit it was given back to every service.
static void
descriptorLimitRaise(void)
{
	if (getrlimit(RLIMIT_NOFILE, &serviceFileLimit) == -1)
		err(EX_OSERR, "getrlimit");
	struct rlimit raised = {serviceFileLimit.rlim_max, serviceFileLimit.rlim_max};
	if (raised.rlim_cur != serviceFileLimit.rlim_cur && setrlimit(RLIMIT_NOFILE, &raised) == -1)
		warn("setrlimit");
}

// Refuses to start on a configuration file that cannot be read, or that others than root and
// the daemon's own user can change.
static void
configCheck(const char *path)
{
	// Not waiting for a writer, should the path be a FIFO.
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd == -1)
		err(EX_NOINPUT, "%s", path);
	if (const char *why = configDistrust(fd); why != nullptr)
		errx(EX_CONFIG, "%s: %s", path, why);
	close(fd);
}

// Sets the USER and HOME entries of a service environment to those of the user entry.
static void
environUser(const char *env[5], const struct passwd *pw)
{
	char *user, *home;
	if (asprintf(&user, "USER=%s", pw->pw_name) == -1 ||
	    asprintf(&home, "HOME=%s", pw->pw_dir) == -1)
		err(EX_OSERR, "asprintf");
	env[2] = user;
	env[3] = home;
}

// Privileged services run as the daemon's own user and get its USER and HOME: a program run as
// root that finds its configuration through HOME would otherwise run what the service user
// put in the service user's home.
static void
privilegedUser(void)
{
	uid_t uid = geteuid();
	errno = 0;
	struct passwd *pw = getpwuid(uid);
	if (errno != 0)
		err(EX_OSFILE, "getpwuid");
	if (pw == nullptr)
		errx(EX_USAGE, "no such user %ju", static_cast<uintmax_t>(uid));
	environUser(privilegedEnviron, pw);
}

// Opens the pid file, which may stand in a directory that others can write. A link there
// would have the daemon truncate whatever it points to, and a file of another user would let
// that user rewrite the pid or hold the lock: the path is not followed, and only a regular
// file of the daemon's own user, with no other name, is taken. Nothing is written before.
static int
pidFileOpen(const char *path)
{
	// Not waiting for a reader, should the path be a FIFO; that open fails with ENXIO.
	int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
	    0600);
	struct stat st;
	if (fd == -1) {
		int saved = errno;
		// O_NOFOLLOW fails with ELOOP, or EMLINK on some systems, on a link.
		if ((saved == ELOOP || saved == EMLINK) && lstat(path, &st) == 0 &&
		    S_ISLNK(st.st_mode))
			errx(EX_CANTCREAT, "%s: is a symbolic link", path);
		if (saved == ENXIO)
			errx(EX_CANTCREAT, "%s: not a regular file", path);
		errno = saved;
		err(EX_CANTCREAT, "%s", path);
	}
	if (fstat(fd, &st) == -1)
		err(EX_CANTCREAT, "%s", path);
	if (!S_ISREG(st.st_mode))
		errx(EX_CANTCREAT, "%s: not a regular file", path);
	if (st.st_uid != geteuid())
		errx(EX_CANTCREAT, "%s: owned by another user", path);
	if (st.st_nlink > 1)
		errx(EX_CANTCREAT, "%s: is a hard link", path);
	return fd;
}

// A FIFO that another process already reads belongs to a running daemon: a second reader
// would take each command from it at random, and remove it when it stops. A non-blocking
// open for writing succeeds only while the FIFO has a reader. Called before the daemon makes
// anything, so that a refusal leaves nothing behind.
static void
controlCheck(const char *path)
{
	struct stat st;
	if (stat(path, &st) == -1 || !S_ISFIFO(st.st_mode))
		return;
	// ENXIO says that nobody reads it; other failures come back when the daemon opens it.
	int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd == -1)
		return;
	bool fifo = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
	close(fd);
	if (fifo)
		errx(EX_CANTCREAT, "%s: in use: another process reads this FIFO", path);
}

// The path as it names the same file once daemon() has made / the working directory; the
// path itself when the working directory cannot be had.
static const char *
absolutePath(const char *path)
{
	if (path[0] == '/')
		return path;
	char *dir = getcwd(nullptr, 0);
	char *absolute;
	if (dir == nullptr || asprintf(&absolute, "%s/%s", dir, path) == -1)
		absolute = nullptr;
	free(dir);
	return absolute != nullptr ? absolute : path;
}

// Makes the FIFO, or takes the one left at the path as it is, and opens its read end.
// Anything but a FIFO would poll readable for ever, and a FIFO of another user would let that
// user command every service, so both are refused.
static void
controlOpen(const char *path, Control *control)
{
	if (mkfifo(path, 0600) == -1) {
		if (errno != EEXIST)
			err(EX_CANTCREAT, "%s", path);
		warn("%s", path);
	}
	memset(control, 0, sizeof(*control));
	if ((control->fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC)) == -1)
		err(EX_CANTCREAT, "%s", path);
	struct stat st;
	if (fstat(control->fd, &st) == -1)
		err(EX_CANTCREAT, "%s", path);
	if (!S_ISFIFO(st.st_mode))
		errx(EX_CANTCREAT, "%s: not a FIFO", path);
	if (st.st_uid != geteuid())
		errx(EX_CANTCREAT, "%s: owned by another user", path);
	control->fifo = st;
	// The FIFO is opened again by its path whenever its writers have hung up, and removed by
	// it at shutdown, both after daemon() has made / the working directory.
	control->path = absolutePath(path);
}

// Removes the FIFO only while its path still names it: a FIFO put in its place belongs to
// someone else, another daemon perhaps.
static void
controlRemove(const Control *control)
{
	struct stat st;
	if (stat(control->path, &st) == 0 && sameFile(&st, &control->fifo))
		unlink(control->path);
}

// Removes the pid file, the same way, only while its path still names the file the daemon
// holds: whatever was put in its place is someone else's.
static void
pidFileRemove(const char *path, int fd)
{
	struct stat held, named;
	if (fstat(fd, &held) == 0 && lstat(path, &named) == 0 && sameFile(&named, &held))
		unlink(path);
}

// kestord keeps the services of its configuration file running: it starts each under /bin/sh,
// logs its output, restarts it when it ends, and takes operators' commands from a FIFO.
int
main(int argc, char *argv[])
{
	const char *configPath = KESTOR_SYSCONFDIR "/kestor.conf";
	const char *controlPath = "/var/run/kestord.pipe";
	const char *pidPath = nullptr;
	const char *userName = nullptr;
	const char *groupName = nullptr;
	bool detach = true;
	int pidFd = -1;
	static Control control;
	int ch;

	standardDescriptors();
	// The copy of the log on standard error must not kill the daemon when whoever reads it
	// goes away (kestord -d | head); services get the default action back before exec.
	signal(SIGPIPE, SIG_IGN);
	setproctitleInit(argc, argv);
	if (logOpen(true) == -1)
		err(EX_OSERR, "mmap");
	parseExits("64,65,66,72,73", stopExits);

	while ((ch = getopt(argc, argv, OPTPREFIX "C:c:df:g:p:r:s:t:u:")) != -1) {
		switch (ch) {
		case 'C':
			serviceDir = optarg;
			break;
		case 'c':
			controlPath = optarg;
			break;
		case 'd':
			detach = false;
			break;
		case 'f':
			configPath = optarg;
			break;
		case 'g':
			groupName = optarg;
			break;
		case 'p':
			pidPath = optarg;
			break;
		case 'r':
			resetInterval = parseMillis(optarg);
			break;
		case 's':
			if (const char *bad = parseExits(optarg, stopExits); bad != nullptr)
				errx(EX_USAGE, "invalid exit status %s", bad);
			break;
		case 't':
			restartInterval = parseMillis(optarg);
			break;
		case 'u':
			userName = optarg;
			break;
		default:
			exit(EX_USAGE);
		}
	}

	descriptorLimitRaise();
	configCheck(configPath);
	if (access(serviceDir, X_OK) == -1)
		err(EX_NOINPUT, "%s", serviceDir);

	errno = 0;
	struct passwd *pw = userName != nullptr ? getpwnam(userName) : getpwuid(getuid());
	if (errno != 0)
		err(EX_OSFILE, "getpwnam");
	if (pw == nullptr) {
		if (userName != nullptr)
			errx(EX_USAGE, "no such user %s", userName);
		errx(EX_USAGE, "no such user %ju", static_cast<uintmax_t>(getuid()));
	}
	serviceUID = pw->pw_uid;
	serviceGID = pw->pw_gid;
	if (groupName != nullptr) {
		errno = 0;
		struct group *gr = getgrnam(groupName);
		if (errno != 0)
			err(EX_OSFILE, "getgrnam");
		if (gr == nullptr)
			errx(EX_USAGE, "no such group %s", groupName);
		serviceGID = gr->gr_gid;
	}
	environUser(serviceEnviron, pw);
	privilegedUser();

	controlCheck(controlPath);
	// A daemon that stops removes its file before it lets go of the lock. A file opened just
	// before that removal is locked, but no longer the one at the path: it is opened again.
	while (pidPath != nullptr) {
		pidFd = pidFileOpen(pidPath);
		if (flock(pidFd, LOCK_EX | LOCK_NB) == -1) {
			if (errno == EWOULDBLOCK)
				errx(EX_CANTCREAT, "%s: file is locked", pidPath);
			err(EX_IOERR, "%s", pidPath);
		}
		struct stat locked, named;
		if (fstat(pidFd, &locked) == -1)
			err(EX_IOERR, "%s", pidPath);
		int found = stat(pidPath, &named);
		if (found == -1 && errno != ENOENT)
			err(EX_IOERR, "%s", pidPath);
		if (found == 0 && sameFile(&named, &locked))
			break;
		close(pidFd);
	}
	if (pidPath != nullptr && ftruncate(pidFd, 0) == -1)
		err(EX_IOERR, "%s", pidPath);
	// Removed by its path at shutdown, after daemon() has made / the working directory.
	if (pidPath != nullptr)
		pidPath = absolutePath(pidPath);
	// Read, at the first load and at every reload, and entered by every service, all after
	// daemon() has made / the working directory.
	configPath = absolutePath(configPath);
	serviceDir = absolutePath(serviceDir);

	controlOpen(controlPath, &control);

	if (detach) {
		if (daemon(0, 0) == -1) {
			logMessage(LOG_WARNING, "daemon: %s", strerror(errno));
			logFlush();
			exit(EX_OSERR);
		}
		// Standard error is the null device now, and the process id a new one.
		if (logOpen(false) == -1)
			exit(EX_OSERR);
	}
	if (pidFd != -1 && dprintf(pidFd, "%ju", static_cast<uintmax_t>(getpid())) < 0)
		logMessage(LOG_WARNING, "%s: %s", pidPath, strerror(errno));

	// The handled signals stay blocked except while the loop waits in ppoll.
	sigemptyset(&handledSignals);
	for (int signo : handled)
		sigaddset(&handledSignals, signo);
	sigprocmask(SIG_BLOCK, &handledSignals, nullptr);
	struct sigaction sa = {};
	sa.sa_handler = signalHandler;
	sigemptyset(&sa.sa_mask);
	for (int signo : handled)
		sigaction(signo, &sa, nullptr);

	parseConfig(configPath, false);
	for (size_t i = 0; i < services.len; i++)
		serviceStart(&services.elems[i]);

	eventLoop(configPath, &control);

	if (control.fd != -1)
		close(control.fd);
	controlRemove(&control);
	setproctitle("stopping");
	for (size_t i = 0; i < services.len; i++)
		serviceStop(&services.elems[i]);
	shutdownWait();
	// Removed while still locked: once the lock goes, a daemon started at that moment may
	// take the file, and a removal after that would take it away from the new daemon.
	if (pidFd != -1) {
		pidFileRemove(pidPath, pidFd);
		close(pidFd);
	}
	shutdownFlush();
	return 0;
}
