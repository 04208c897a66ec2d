// service.cc: the service table and everything done to one service: launching it, reading its
// output into the log, reaping it and deciding on its restart, and the operator's actions.
#include <sys/types.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <span>

#include "compat.h"
#include "kestord.h"

Services services;
char durationBuf[256];

// The shell command line of a starting service, built in the child between fork and exec.
static char commandBuf[commandMax];
// Every service's pipe is read into this one buffer, and the lines are cut from it where
// they lie.
static char readBuf[readChunk];
// The control pipe has one of its own: its lines are commands, and a command may read the
// services' pipes (a drop reads what they still hold) while the commands after it in the
// same read still lie in the buffer.
static char controlBuf[readChunk];

constexpr long nanosPerSecond = 1000000000;

struct timespec
timeSub(struct timespec a, struct timespec b)
{
	struct timespec d = {a.tv_sec - b.tv_sec, a.tv_nsec - b.tv_nsec};
	if (d.tv_nsec < 0) {
		d.tv_sec--;
		d.tv_nsec += nanosPerSecond;
	}
	return d;
}

struct timespec
timeAdd(struct timespec a, struct timespec b)
{
	struct timespec s = {a.tv_sec + b.tv_sec, a.tv_nsec + b.tv_nsec};
	if (s.tv_nsec >= nanosPerSecond) {
		s.tv_sec++;
		s.tv_nsec -= nanosPerSecond;
	}
	return s;
}

struct timespec
timeDouble(struct timespec a)
{
	if (a.tv_sec >= intervalMax.tv_sec / 2)
		return intervalMax;
	return timeAdd(a, a);
}

bool
timeLess(struct timespec a, struct timespec b)
{
	return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

struct timespec
timeNow(void)
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return now;
}

// The system's table may be in upper case; the log says every name in lower case, each copied
// so the first time it is asked for.
const char *
signalName(int signo)
{
	static char names[32][16];
	static char other[32];

	if (signo > 0 && static_cast<size_t>(signo) < std::size(names) &&
	    static_cast<size_t>(signo) < std::size(sys_signame)) {
		char *name = names[signo];
		if (name[0] == '\0') {
			const char *given = sys_signame[signo];
			for (size_t i = 0; given[i] != '\0' && i < sizeof(names[0]) - 1; i++)
				name[i] = given[i] >= 'A' && given[i] <= 'Z' ?
				    static_cast<char>(given[i] - 'A' + 'a') :
				    given[i];
		}
		return name;
	}
	snprintf(other, sizeof(other), "signal %d", signo);
	return other;
}

void
humanDuration(struct timespec span)
{
	if (span.tv_sec == 0) {
		snprintf(durationBuf, sizeof(durationBuf), "%dms",
		    static_cast<int>(span.tv_nsec / 1000000));
		return;
	}
	int days = static_cast<int>(span.tv_sec / 86400);
	int hours = static_cast<int>(span.tv_sec % 86400 / 3600);
	int minutes = static_cast<int>(span.tv_sec % 3600 / 60);
	int seconds = static_cast<int>(span.tv_sec % 60);
	if (days != 0)
		snprintf(durationBuf, sizeof(durationBuf), "%dd %dh %dm %ds", days, hours, minutes,
		    seconds);
	else if (hours != 0)
		snprintf(durationBuf, sizeof(durationBuf), "%dh %dm %ds", hours, minutes, seconds);
	else if (minutes != 0)
		snprintf(durationBuf, sizeof(durationBuf), "%dm %ds", minutes, seconds);
	else
		snprintf(durationBuf, sizeof(durationBuf), "%ds", seconds);
}

bool
exitStops(int status)
{
	if (status == 126 || status == 127)
		return true;
	unsigned v = static_cast<unsigned>(status) & 0xff;
	return (stopExits[v / 32] >> (v % 32) & 1) != 0;
}

// A NUL byte in the input would end the text handed to the consumer early, so NUL bytes are
// taken out as they are read: every other byte keeps its place in the line, and text written
// as UTF-16 or with NUL padding still reaches the log readable.
static size_t
lineDropNuls(char *bytes, size_t n)
{
	char *end = bytes + n;
	char *out = static_cast<char *>(memchr(bytes, '\0', n));
	if (out == nullptr)
		return n;
	for (char *in = out; in < end; in++)
		if (*in != '\0')
			*out++ = *in;
	return out - bytes;
}

void
lineFeed(Line *line, char *bytes, size_t n, LineConsumer *consumer, void *arg)
{
	constexpr size_t pendingMax = sizeof(line->buf) - 1;
	char *p = bytes;
	char *end = bytes + lineDropNuls(bytes, n);

	// The pending bytes and the start of the chunk are one line; it ends at a newline or
	// once the pending bytes reach 511, before the byte after them is looked at.
	if (line->len > 0) {
		size_t take = std::min(pendingMax - line->len, static_cast<size_t>(end - p));
		char *nl = static_cast<char *>(memchr(p, '\n', take));
		if (nl != nullptr)
			take = nl - p;
		memcpy(line->buf + line->len, p, take);
		line->len += take;
		p += take;
		if (nl != nullptr)
			p++;
		// The Line holds at least one byte here, so the flush hands out a text.
		if (nl != nullptr || line->len == pendingMax)
			consumer(arg, lineFlush(line));
	}
	// Lines that lie whole in the chunk go out from where they lie; only a piece cut at 511
	// bytes, which needs a byte of its own for the NUL, and the unfinished rest are copied.
	while (p < end) {
		size_t left = end - p;
		char *nl = static_cast<char *>(memchr(p, '\n', std::min(left, pendingMax)));
		if (nl != nullptr) {
			*nl = '\0';
			consumer(arg, p);
			p = nl + 1;
			continue;
		}
		size_t take = std::min(left, pendingMax);
		memcpy(line->buf, p, take);
		line->len = take;
		p += take;
		if (take == pendingMax)
			consumer(arg, lineFlush(line));
	}
}

// Reads at most budget bytes, into buf, and feeds them to the line rule. A short read has
// emptied the pipe; what comes later, or what the budget left, polls readable. Returns whether
// a read found the end of the file: no writer left and nothing more to read.
static bool
lineReadUpTo(Line *line, int fd, size_t budget, std::span<char> buf, LineConsumer *consumer,
	     void *arg)
{
	while (budget > 0) {
		size_t want = std::min(budget, buf.size());
		ssize_t n = read(fd, buf.data(), want);
		if (n == -1 && errno != EAGAIN)
			logMessage(LOG_WARNING, "read: %s", strerror(errno));
		if (n <= 0)
			return n == 0;
		lineFeed(line, buf.data(), n, consumer, arg);
		if (static_cast<size_t>(n) < want)
			return false;
		budget -= n;
	}
	return false;
}

void
lineRead(Line *line, int fd, LineConsumer *consumer, void *arg)
{
	lineReadUpTo(line, fd, readBudget, readBuf, consumer, arg);
}

bool
controlRead(Line *line, int fd, LineConsumer *consumer, void *arg)
{
	return lineReadUpTo(line, fd, readBudget, controlBuf, consumer, arg);
}

void
lineDrain(Line *line, int fd, LineConsumer *consumer, void *arg)
{
	int held = 0;
	if (ioctl(fd, FIONREAD, &held) == -1)
		held = readBudget;
	lineReadUpTo(line, fd, held, readBuf, consumer, arg);
}

const char *
lineFlush(Line *line)
{
	if (line->len == 0)
		return nullptr;
	line->buf[line->len] = '\0';
	line->len = 0;
	return line->buf;
}

// Whether descriptorReserve more descriptors can still be had, tried by taking them as copies
// of fd and giving them back. Returns -1 with errno EMFILE when they cannot.
static int
descriptorsSpare(int fd)
{
	int spare[descriptorReserve];
	int taken = 0;
	while (taken < descriptorReserve && (spare[taken] = fcntl(fd, F_DUPFD_CLOEXEC, 0)) != -1)
		taken++;
	int saved = errno;
	for (int i = 0; i < taken; i++)
		close(spare[i]);
	errno = saved;
	return taken == descriptorReserve ? 0 : -1;
}

int
serviceAdd(const char *name, const char *command)
{
	for (size_t i = 0; i < services.len; i++) {
		Service *service = &services.elems[i];
		if (strcmp(service->name, name) != 0)
			continue;
		char *copy = strdup(command);
		if (copy == nullptr)
			return -1;
		free(service->command);
		service->command = copy;
		return 0;
	}

	if (services.len == services.cap) {
		size_t cap = services.cap == 0 ? 8 : services.cap * 2;
		void *elems = reallocarray(services.elems, cap, sizeof(*services.elems));
		if (elems == nullptr)
			return -1;
		services.elems = static_cast<Service *>(elems);
		services.cap = cap;
	}

	Service *service = &services.elems[services.len];
	memset(service, 0, sizeof(*service));
	service->outPipe[0] = service->outPipe[1] = -1;
	service->errPipe[0] = service->errPipe[1] = -1;
	service->restartInterval = restartInterval;
	if ((service->name = strdup(name)) == nullptr ||
	    (service->command = strdup(command)) == nullptr)
		goto fail;
	service->privileged = name[0] == '@';
	if (pipe2(service->outPipe, O_CLOEXEC) == -1 || pipe2(service->errPipe, O_CLOEXEC) == -1)
		goto fail;
	if (descriptorsSpare(service->errPipe[0]) == -1)
		goto fail;
	fcntl(service->outPipe[0], F_SETFL, O_NONBLOCK);
	fcntl(service->errPipe[0], F_SETFL, O_NONBLOCK);
	services.len++;
	return 0;

fail:
	int saved = errno;
	serviceFree(service);
	errno = saved;
	return -1;
}

void
serviceFree(Service *service)
{
	free(service->name);
	free(service->command);
	if (service->outPipe[0] >= 0) {
		close(service->outPipe[0]);
		close(service->outPipe[1]);
	}
	if (service->errPipe[0] >= 0) {
		close(service->errPipe[0]);
		close(service->errPipe[1]);
	}
}

void
serviceDrop(size_t index)
{
	Service *service = &services.elems[index];

	if (service->state != State::Stopped)
		return;
	// A process the service left behind may have written since the reap; the pipes close
	// here, and what they hold would be gone without a word.
	serviceDrain(service);
	logMessage(LOG_NOTICE, "%s[] dropped", service->name);
	serviceFree(service);
	services.len--;
	if (index != services.len)
		*service = services.elems[services.len];
}

// Makes fd the descriptor target of a child about to exec, whatever fd is: dup2 onto itself
// would keep its close-on-exec flag, so that case clears the flag instead.
static void
childDescriptor(int fd, int target)
{
	if (fd == target)
		fcntl(fd, F_SETFD, 0);
	else
		dup2(fd, target);
}

// The child's complaints go to its standard error, which is by then the service's error
// pipe, in the manner of err(3); _exit keeps the daemon's exit handlers out of the child.
[[noreturn]] static void
childFail(bool withErrno, const char *what)
{
	if (withErrno)
		warn("%s", what);
	else
		warnx("%s", what);
	_exit(126);
}

// Whether "exec " goes in front of the command, so that the command replaces the shell and the
// service's process, its group leader and its exit status are the command's own. Not for a
// compound command (one that holds any of ";&|()"), which needs the shell, nor when the first
// word is something exec cannot run: an assignment, exec itself, a reserved word or a special
// built-in. The shell then runs the command as written and stays the service's process.
static bool
commandExecs(const char *command)
{
	static constexpr const char *shellWords[] = {
		// The reserved words.
		"!", "{", "}", "case", "do", "done", "elif", "else", "esac", "fi", "for", "if", "in",
		"then", "until", "while",
		// The special built-ins, exec among them.
		":", ".", "break", "continue", "eval", "exec", "exit", "export", "readonly",
		"return", "set", "shift", "times", "trap", "unset",
	};
	if (strpbrk(command, ";&|()") != nullptr)
		return false;
	size_t len = strcspn(command, " \t");
	// An assignment: a name (a letter or an underscore, then letters, digits and
	// underscores) directly followed by "=".
	size_t name = 0;
	for (; name < len; name++) {
		char c = command[name];
		bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
		if (!letter && !(name > 0 && c >= '0' && c <= '9'))
			break;
	}
	if (name > 0 && name < len && command[name] == '=')
		return false;
	for (const char *word : shellWords)
		if (strlen(word) == len && strncmp(word, command, len) == 0)
			return false;
	return true;
}

// Everything between fork and exec: system calls and formatting into commandBuf, nothing that
// allocates or touches the table. parent is the daemon's process id, taken before the fork.
[[noreturn]] static void
serviceExec(Service *service, pid_t parent)
{
	// Back to the default actions first, so that a signal sent now is neither caught by the
	// daemon's handler in this process nor lost; then the mask the daemon blocks goes. Every
	// signal, not only those the daemon handles: one ignored, as SIGPIPE by the daemon or
	// SIGINT and SIGQUIT by the shell that started it in the background, would stay ignored
	// across the exec, and a service could not be ended or steered by it.
	for (int signo = 1; signo < NSIG; signo++)
		if (signo != SIGKILL && signo != SIGSTOP)
			signal(signo, SIG_DFL);
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	// Lowering the soft limit cannot fail, and descriptors above it stay open until the exec
	// closes them.
	setrlimit(RLIMIT_NOFILE, &serviceFileLimit);

	setpgid(0, 0);
	childDescriptor(service->outPipe[1], STDOUT_FILENO);
	childDescriptor(service->errPipe[1], STDERR_FILENO);
	if (chdir(serviceDir) == -1)
		childFail(true, serviceDir);
	// Group before user: once the user id is dropped the groups can no longer be changed.
	if (!service->privileged) {
		if (setgid(serviceGID) == -1)
			childFail(true, "setgid");
		if (getuid() == 0 && setgroups(1, &serviceGID) == -1)
			childFail(true, "setgroups");
		if (setuid(serviceUID) == -1)
			childFail(true, "setuid");
	}
	// The service ends with the daemon, however the daemon ends: one killed or crashed would
	// otherwise leave its services running, and the next daemon would start each a second
	// time. Set after the credentials change, which clears it; a daemon gone before it was
	// set can no longer send the signal, and the child ends at once. Where the platform
	// refuses the request, the service runs as it would without it.
	int deathSignal = SIGTERM;
	procctl(P_PID, 0, PROC_PDEATHSIG_CTL, &deathSignal);
	if (getppid() != parent)
		_exit(126);

	size_t len = 0;
	for (size_t i = 0; i < prepends.len && len < sizeof(commandBuf); i++) {
		int n = snprintf(commandBuf + len, sizeof(commandBuf) - len, "%s;", prepends.elems[i]);
		if (n <= 0)
			abort();
		len += n;
	}
	if (len < sizeof(commandBuf)) {
		const char *exec = commandExecs(service->command) ? "exec " : "";
		int n = snprintf(commandBuf + len, sizeof(commandBuf) - len, "%s%s", exec,
		    service->command);
		if (n <= 0)
			abort();
		len += n;
	}
	if (len >= sizeof(commandBuf))
		childFail(false, "command truncated");

	execle("/bin/sh", "/bin/sh", "-c", commandBuf, service->name, static_cast<char *>(nullptr),
	    service->privileged ? privilegedEnviron : serviceEnviron);
	childFail(true, "/bin/sh");
}

void
serviceStart(Service *service)
{
	if (service->state != State::Stopped)
		return;
	if (service->intent == Intent::Start)
		service->restartInterval = timeDouble(service->restartInterval);
	else
		service->restartInterval = restartInterval;
	service->restartDeadline = timeAdd(timeNow(), service->restartInterval);
	service->intent = Intent::Start;

	pid_t parent = getpid();
	service->pid = fork();
	switch (service->pid) {
	case -1:
		logMessage(LOG_WARNING, "fork: %s", strerror(errno));
		return;
	case 0:
		serviceExec(service, parent);
	}
	// As shells do: the group exists from here on, whichever process runs first, so an
	// action taken at once reaches the new process. EACCES only says the child has already
	// exec'd, and by then it has made the group itself.
	setpgid(service->pid, service->pid);
	service->state = State::Running;
	service->startTime = timeNow();
	logMessage(LOG_NOTICE, "%s[%d] started", service->name, service->pid);
}

static void
serviceLogLine(void *arg, const char *text)
{
	Service *service = static_cast<Service *>(arg);
	logOutput(service->name, service->pid, text);
}

void
serviceRead(Service *service)
{
	lineRead(&service->outLine, service->outPipe[0], serviceLogLine, service);
	lineRead(&service->errLine, service->errPipe[0], serviceLogLine, service);
}

// What the pipes hold was written before the process ended and belongs before its exit line,
// and so does the rest of a line whose start is pending. Only what is there now is read: a
// process left behind that goes on writing must not keep the daemon here.
void
serviceDrain(Service *service)
{
	lineDrain(&service->outLine, service->outPipe[0], serviceLogLine, service);
	lineDrain(&service->errLine, service->errPipe[0], serviceLogLine, service);
	if (const char *text = lineFlush(&service->outLine))
		serviceLogLine(service, text);
	if (const char *text = lineFlush(&service->errLine))
		serviceLogLine(service, text);
}

void
serviceReap(pid_t pid, int status)
{
	Service *service = nullptr;
	for (size_t i = 0; i < services.len; i++)
		if (services.elems[i].state == State::Running && services.elems[i].pid == pid) {
			service = &services.elems[i];
			break;
		}
	if (service == nullptr) {
		logMessage(LOG_WARNING, "reaping unknown child %d", pid);
		return;
	}

	serviceDrain(service);
	service->state = State::Stopped;

	if (WIFEXITED(status)) {
		int code = WEXITSTATUS(status);
		if (exitStops(code))
			service->intent = Intent::Stop;
		if (code != 0)
			logMessage(LOG_WARNING, "%s[%d] exited %d", service->name, pid, code);
	} else if (WIFSIGNALED(status) && WTERMSIG(status) != SIGTERM) {
		logMessage(LOG_WARNING, "%s[%d] signaled %s", service->name, pid,
		    signalName(WTERMSIG(status)));
	}

	if (service->intent == Intent::Start) {
		struct timespec now = timeNow();
		if (!timeLess(timeSub(now, service->startTime), resetInterval))
			service->restartInterval = restartInterval;
		service->restartDeadline = timeAdd(now, service->restartInterval);
		humanDuration(service->restartInterval);
		logMessage(LOG_NOTICE, "%s[%d] restarting in %s", service->name, pid, durationBuf);
		return;
	}
	logMessage(LOG_NOTICE, "%s[%d] stopped", service->name, pid);
	if (service->intent == Intent::Restart)
		serviceStart(service);
}

// Sends signo to the service's process group, logging a failure. Returns -1 on failure.
static int
serviceKill(Service *service, int signo)
{
	if (killpg(service->pid, signo) == 0)
		return 0;
	logMessage(LOG_WARNING, "killpg(%s[%d], %s): %s", service->name, service->pid,
	    signalName(signo), strerror(errno));
	return -1;
}

void
serviceSignal(Service *service, int signo)
{
	if (service->state == State::Running)
		serviceKill(service, signo);
}

// A process held by SIGSTOP leaves SIGTERM pending until it is continued, and the stop, or
// the daemon's shutdown, would wait for it for ever: the group is continued after the TERM.
// A group that the TERM could not reach is not tried, and reported, a second time.
static void
serviceTerminate(Service *service)
{
	if (serviceKill(service, SIGTERM) == 0)
		serviceKill(service, SIGCONT);
}

void
serviceStop(Service *service)
{
	if (service->state != State::Running && service->intent != Intent::Stop)
		logMessage(LOG_NOTICE, "%s[] stopped", service->name);
	service->intent = Intent::Stop;
	if (service->state == State::Running)
		serviceTerminate(service);
}

void
serviceRestart(Service *service)
{
	service->intent = Intent::Restart;
	if (service->state == State::Running)
		serviceTerminate(service);
	else
		serviceStart(service);
}

void
serviceStatus(Service *service)
{
	struct timespec now = timeNow();

	if (service->state == State::Running) {
		switch (service->intent) {
		case Intent::Start:
			humanDuration(timeSub(now, service->startTime));
			logMessage(LOG_NOTICE, "%s[%d] is started (up %s)", service->name, service->pid,
			    durationBuf);
			break;
		case Intent::Stop:
			logMessage(LOG_NOTICE, "%s[%d] is stopping", service->name, service->pid);
			break;
		case Intent::Restart:
			logMessage(LOG_NOTICE, "%s[%d] is stopping for restart", service->name,
			    service->pid);
			break;
		}
		return;
	}
	if (service->intent == Intent::Start) {
		humanDuration(timeSub(service->restartDeadline, now));
		logMessage(LOG_NOTICE, "%s[] is restarting in %s", service->name, durationBuf);
	} else {
		logMessage(LOG_NOTICE, "%s[] is stopped", service->name);
	}
}
