// kestorctl: writes one command into kestord's control pipe and prints the daemon's answer,
// which it reads from the daemon's log, with an exit status that a script can test.
#include <sys/types.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sysexits.h>
#include <time.h>
#include <unistd.h>

#include <iterator>

#include "compat.h"

// The daemon gathers control bytes in a 512-byte buffer and hands out whatever fills 511 of
// them without a newline as a line of its own: 511 bytes with the newline is the longest line
// it takes whole.
constexpr size_t lineMax = 511;
// What one call writes: the command, and with -w the status request before it, each behind a
// marker, and the last marker.
constexpr size_t markerMax = 64;
constexpr size_t writeMax = 2 * lineMax + 3 * markerMax;

// The complaints of the control language; an answer line that begins with one makes status 1.
static constexpr const char *complaints[] = {
	"no services matching ",
	"unknown action or signal ",
	"no service names for ",
};

// Where the daemon's messages are read: a file from the offset it had before the command was
// written, or the standard output of journalctl following the journal.
struct Log {
	const char *name;      // for messages: the path, or "the journal"
	int fd;
	pid_t reader;          // journalctl, or -1 for a file
	size_t len;            // bytes held in buf
	size_t used;           // of which the line handed out last, with its newline
	bool skipping;         // within a line too long for buf, dropped up to its newline
	char buf[8192];
};

// A service that had a process when -w asked, and how far it has got.
struct Awaited {
	char *name;
	pid_t pid;
	bool stopped;
	bool started;
};

// What -w waits for; it grows by doubling, and lives until the program exits.
struct AwaitedList {
	size_t cap, len;
	Awaited *elems;
};

// The journalctl still running when the program exits for whatever reason.
static pid_t journalReader = -1;

static int64_t
nowMillis(void)
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The milliseconds left until the deadline, 0 once it has passed.
static int
millisLeft(int64_t deadline)
{
	int64_t left = deadline - nowMillis();
	return left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

static void
readerEnd(void)
{
	if (journalReader == -1)
		return;
	kill(journalReader, SIGTERM);
	while (waitpid(journalReader, nullptr, 0) == -1 && errno == EINTR)
		;
	journalReader = -1;
}

// Reads a timeout such as 5 or 0.5 in seconds into milliseconds; -1 for anything else.
static int64_t
parseSeconds(const char *text)
{
	char *end;
	errno = 0;
	double seconds = strtod(text, &end);
	if (end == text || *end != '\0' || errno != 0 || !isfinite(seconds) || seconds <= 0 ||
	    seconds > 86400)
		return -1;
	return static_cast<int64_t>(ceil(seconds * 1000));
}

// The text after "kestord[PID]: " in a line of the log, with *pid set; nullptr when the line
// is not kestord's. Only the first "kestord[" that begins the line or follows a blank counts:
// in a syslog file it follows the host name, and later ones are part of the message.
const char *
parseLogLine(const char *line, pid_t *pid)
{
	static constexpr char ident[] = "kestord[";
	const char *p = line;
	while ((p = strstr(p, ident)) != nullptr && p != line && p[-1] != ' ')
		p++;
	if (p == nullptr)
		return nullptr;
	const char *digits = p + sizeof(ident) - 1;
	size_t n = strspn(digits, "0123456789");
	if (n == 0 || n > 9 || strncmp(digits + n, "]: ", 3) != 0)
		return nullptr;
	*pid = static_cast<pid_t>(strtol(digits, nullptr, 10));
	return digits + n + 3;
}

// The pid of a line "name[pid] event" about the service, 0 for "name[] event", -1 when the
// text is no such line.
static pid_t
parseEvent(const char *text, const char *name, const char *event)
{
	size_t len = strlen(name);
	if (strncmp(text, name, len) != 0 || text[len] != '[')
		return -1;
	const char *digits = text + len + 1;
	size_t n = strspn(digits, "0123456789");
	if (n > 9 || digits[n] != ']' || digits[n + 1] != ' ' || strcmp(digits + n + 2, event) != 0)
		return -1;
	return n == 0 ? 0 : static_cast<pid_t>(strtol(digits, nullptr, 10));
}

// The next whole line of the log, without its newline, waiting for it until the deadline; a
// last line still being written is held until its newline comes. nullptr at the deadline,
// and when journalctl has ended.
static char *
logLine(Log *log, int64_t deadline)
{
	for (;;) {
		memmove(log->buf, log->buf + log->used, log->len - log->used);
		log->len -= log->used;
		log->used = 0;
		if (char *nl = static_cast<char *>(memchr(log->buf, '\n', log->len))) {
			*nl = '\0';
			log->used = static_cast<size_t>(nl - log->buf) + 1;
			if (!log->skipping)
				return log->buf;
			log->skipping = false;
			continue;
		}
		// kestord's lines are far shorter than the buffer; a longer one is another
		// program's.
		if (log->len == sizeof(log->buf)) {
			log->skipping = true;
			log->len = 0;
		}
		ssize_t n = read(log->fd, log->buf + log->len, sizeof(log->buf) - log->len);
		if (n > 0) {
			log->len += static_cast<size_t>(n);
			continue;
		}
		if (n == -1 && errno != EAGAIN && errno != EINTR)
			err(EX_IOERR, "%s", log->name);
		if (n == 0 && log->reader != -1)
			return nullptr;
		int left = millisLeft(deadline);
		if (left == 0)
			return nullptr;
		// A file says nothing when it grows: it is read again a little later.
		struct pollfd pfd = {log->fd, POLLIN, 0};
		if (log->reader != -1)
			poll(&pfd, 1, left);
		else
			poll(nullptr, 0, left < 10 ? left : 10);
	}
}

// Opens the file and takes its end, before the command is written, as the place to read from.
static void
logOpenFile(Log *log, const char *path)
{
	log->name = path;
	log->reader = -1;
	log->fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (log->fd == -1)
		err(errno == EACCES || errno == EPERM ? EX_NOPERM : EX_NOINPUT, "%s", path);
	struct stat st;
	if (fstat(log->fd, &st) == -1)
		err(EX_IOERR, "%s", path);
	if (!S_ISREG(st.st_mode))
		errx(EX_NOINPUT, "%s: not a regular file", path);
	if (lseek(log->fd, 0, SEEK_END) == -1)
		err(EX_IOERR, "%s", path);
}

// Starts journalctl with the arguments, its standard output a pipe to the log.
static void
logOpenJournal(Log *log, const char *const argv[])
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) == -1)
		err(EX_OSERR, "pipe2");
	fflush(nullptr);
	pid_t pid = fork();
	switch (pid) {
	case -1:
		err(EX_OSERR, "fork");
	case 0:
		signal(SIGPIPE, SIG_DFL);
		if (dup2(fds[1], STDOUT_FILENO) == -1)
			_exit(126);
		execvp(argv[0], const_cast<char *const *>(argv));
		warn("%s", argv[0]);
		_exit(126);
	}
	close(fds[1]);
	fcntl(fds[0], F_SETFL, O_NONBLOCK);
	log->name = "the journal";
	log->fd = fds[0];
	log->reader = journalReader = pid;
}

static void
logClose(Log *log)
{
	close(log->fd);
	readerEnd();
	log->fd = -1;
	log->reader = -1;
	log->len = log->used = 0;
	log->skipping = false;
}

// Follows the journal from its last entry before the command is written: the cursor of that
// entry is taken first, and journalctl then prints what comes after it, in the format of a
// syslog file, "... kestord[PID]: text", so that one reader serves both.
static void
logFollowJournal(Log *log, int64_t deadline)
{
	static const char *const last[] = {"journalctl", "-q", "--no-pager", "-n", "1", "-o",
		"export", nullptr};
	static char cursor[512];
	logOpenJournal(log, last);
	const char *line = logLine(log, deadline);
	int n = line == nullptr || strncmp(line, "__CURSOR=", 9) != 0 ? -1 :
	    snprintf(cursor, sizeof(cursor), "--after-cursor=%s", line + 9);
	bool have = n > 0 && static_cast<size_t>(n) < sizeof(cursor);
	logClose(log);
	// Without a cursor the journal, as far as this user sees it, is empty: all of it is new.
	const char *const follow[] = {"journalctl", "-q", "--no-pager", "--no-tail", "-f", "-o",
		"short", "-t", "kestord", have ? cursor : nullptr, nullptr};
	logOpenJournal(log, follow);
}

// The log named with -l, or else the journal where it runs, or else the first system log
// file that exists.
static void
logOpen(Log *log, const char *path, int64_t deadline)
{
	struct stat st;
	if (path != nullptr)
		logOpenFile(log, path);
	else if (stat("/run/systemd/journal/socket", &st) == 0 && S_ISSOCK(st.st_mode))
		logFollowJournal(log, deadline);
	else if (access("/var/log/messages", F_OK) == 0)
		logOpenFile(log, "/var/log/messages");
	else if (access("/var/log/syslog", F_OK) == 0)
		logOpenFile(log, "/var/log/syslog");
	else
		errx(EX_UNAVAILABLE, "no journal, /var/log/messages or /var/log/syslog; "
				     "-l names the file kestord logs to");
}

[[noreturn]] static void
pipeFail(const char *path)
{
	switch (errno) {
	case ENOENT:
	case ENOTDIR:
		err(EX_NOINPUT, "%s", path);
	case ENXIO:
		errx(EX_UNAVAILABLE, "%s: no process reads the pipe; is kestord running?", path);
	case EACCES:
	case EPERM:
		err(EX_NOPERM, "%s", path);
	default:
		err(EX_OSERR, "%s", path);
	}
}

// Opens the control pipe for writing without blocking, which fails at once when no process
// reads it. Anything but a FIFO is refused before it is opened, and again after, in case the
// path was replaced meanwhile: a write must never land in a plain file.
static int
pipeOpen(const char *path)
{
	struct stat st;
	if (stat(path, &st) == -1)
		pipeFail(path);
	if (!S_ISFIFO(st.st_mode))
		errx(EX_NOINPUT, "%s: not a FIFO", path);
	int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd == -1)
		pipeFail(path);
	if (fstat(fd, &st) == -1 || !S_ISFIFO(st.st_mode))
		errx(EX_NOINPUT, "%s: not a FIFO", path);
	return fd;
}

// Writes the text in one write; a pipe that is full now may have room soon, until the deadline.
static void
pipeWrite(int fd, const char *path, const char *text, size_t len, int64_t deadline)
{
	for (;;) {
		ssize_t n = write(fd, text, len);
		if (n == static_cast<ssize_t>(len))
			return;
		if (n >= 0)
			errx(EX_IOERR, "%s: short write", path);
		if (errno == EPIPE)
			errx(EX_UNAVAILABLE, "%s: no process reads the pipe; is kestord running?",
			    path);
		if (errno != EAGAIN && errno != EINTR)
			err(EX_IOERR, "%s", path);
		if (millisLeft(deadline) == 0)
			errx(EX_TEMPFAIL, "%s: the pipe stays full", path);
		poll(nullptr, 0, 10);
	}
}

// Appends the line "first rest..." and its newline to buf at *len; false when it would be
// longer than the daemon takes whole.
static bool
lineAppend(char *buf, size_t *len, const char *first, char *const *rest, int count)
{
	size_t n = strlen(first) + 1;
	for (int i = 0; i < count; i++)
		n += 1 + strlen(rest[i]);
	if (n > lineMax)
		return false;
	char *p = stpcpy(buf + *len, first);
	for (int i = 0; i < count; i++) {
		*p++ = ' ';
		p = stpcpy(p, rest[i]);
	}
	*p = '\n';
	*len += n;
	return true;
}

static bool
isMarker(const char *text, const char *token, int k)
{
	char expected[markerMax + 32];
	snprintf(expected, sizeof(expected), "no services matching %s.%d", token, k);
	return strcmp(text, expected) == 0;
}

// Notes the service of a status line "name[pid] is ...", one that has a process, once.
static void
awaitedAdd(AwaitedList *list, const char *text)
{
	const char *is = strstr(text, "] is ");
	if (is == nullptr)
		return;
	const char *digits = is;
	while (digits > text && digits[-1] >= '0' && digits[-1] <= '9')
		digits--;
	if (digits == is || digits - 1 == text || digits[-1] != '[')
		return;
	pid_t pid = static_cast<pid_t>(strtol(digits, nullptr, 10));
	for (size_t i = 0; i < list->len; i++)
		if (list->elems[i].pid == pid)
			return;
	if (list->len == list->cap) {
		size_t cap = list->cap == 0 ? 8 : list->cap * 2;
		void *elems = reallocarray(list->elems, cap, sizeof(*list->elems));
		if (elems == nullptr)
			err(EX_OSERR, "reallocarray");
		list->elems = static_cast<Awaited *>(elems);
		list->cap = cap;
	}
	char *name = strndup(text, static_cast<size_t>(digits - 1 - text));
	if (name == nullptr)
		err(EX_OSERR, "strndup");
	list->elems[list->len++] = {name, pid, false, false};
}

// Takes the answer as a step of an awaited service: its "stopped" with the pid it had, then
// for a restart its "started"; true when it was one.
static bool
awaitedStep(AwaitedList *list, const char *text, bool restart)
{
	for (size_t i = 0; i < list->len; i++) {
		Awaited *a = &list->elems[i];
		if (!a->stopped && parseEvent(text, a->name, "stopped") == a->pid)
			return a->stopped = true;
		if (restart && a->stopped && !a->started &&
		    parseEvent(text, a->name, "started") > 0)
			return a->started = true;
	}
	return false;
}

// The first awaited service that has not got as far as it must, or nullptr.
static const Awaited *
awaitedPending(const AwaitedList *list, bool restart)
{
	for (size_t i = 0; i < list->len; i++)
		if (!list->elems[i].stopped || (restart && !list->elems[i].started))
			return &list->elems[i];
	return nullptr;
}

// kestorctl [-nw] [-c pipe] [-l file] [-t seconds] action pattern ...: writes the command,
// with markers before and after it, into the control pipe and prints, from the log, what the
// daemon that answered the markers logged between them.
int
main(int argc, char *argv[])
{
	const char *pipePath = "/var/run/kestord.pipe";
	const char *logPath = nullptr;
	bool noAnswer = false, waitEnds = false;
	int64_t timeout = 5000;
	int ch;

	while ((ch = getopt(argc, argv, OPTPREFIX "c:l:nt:w")) != -1) {
		switch (ch) {
		case 'c':
			pipePath = optarg;
			break;
		case 'l':
			logPath = optarg;
			break;
		case 'n':
			noAnswer = true;
			break;
		case 't':
			if ((timeout = parseSeconds(optarg)) == -1)
				errx(EX_USAGE, "invalid timeout %s", optarg);
			break;
		case 'w':
			waitEnds = true;
			break;
		default:
			exit(EX_USAGE);
		}
	}
	argc -= optind;
	argv += optind;
	if (argc == 0)
		errx(EX_USAGE, "action required");
	if (argc == 1)
		errx(EX_USAGE, "pattern required");
	const char *action = argv[0];
	waitEnds = waitEnds && !noAnswer;
	bool restart = strcmp(action, "restart") == 0;
	if (waitEnds && !restart && strcmp(action, "stop") != 0)
		errx(EX_USAGE, "-w waits for stop and restart only");
	for (int i = 0; i < argc; i++)
		if (strchr(argv[i], '\n') != nullptr)
			errx(EX_USAGE, "a newline would end the command early");

	// The lines: marker 0, [status patterns, marker 1,] the command, the last marker.
	char token[markerMax];
	snprintf(token, sizeof(token), "kestorctl.%ld.%08x", static_cast<long>(getpid()),
	    static_cast<unsigned>(arc4random()));
	char text[writeMax];
	size_t len = 0;
	int markers = 0;
	if (!noAnswer)
		len += static_cast<size_t>(snprintf(text + len, markerMax, "status %s.%d\n", token,
		    markers++));
	if (waitEnds) {
		if (!lineAppend(text, &len, "status", argv + 1, argc - 1))
			errx(EX_USAGE, "command longer than %zu bytes", lineMax - 1 - 2);
		len += static_cast<size_t>(snprintf(text + len, markerMax, "status %s.%d\n",
		    token, markers++));
	}
	if (!lineAppend(text, &len, action, argv + 1, argc - 1))
		errx(EX_USAGE, "command longer than %zu bytes", lineMax - 1);
	if (!noAnswer)
		len += static_cast<size_t>(snprintf(text + len, markerMax, "status %s.%d\n", token,
		    markers));
	// Up to PIPE_BUF bytes a write is atomic, so the lines of concurrent callers never come
	// between ours; on a system where it is as small as 512 bytes that limits the command.
	if (len > PIPE_BUF)
		errx(EX_USAGE, "command and markers longer than %d bytes", PIPE_BUF);

	signal(SIGPIPE, SIG_IGN);
	int64_t deadline = nowMillis() + timeout;
	int fd = pipeOpen(pipePath);
	if (noAnswer) {
		pipeWrite(fd, pipePath, text, len, deadline);
		return 0;
	}
	static Log log;
	atexit(readerEnd);
	logOpen(&log, logPath, deadline);
	pipeWrite(fd, pipePath, text, len, deadline);
	close(fd);

	// Lines count from marker 0 on, and only those of the daemon that answered it.
	static AwaitedList awaited;
	pid_t daemon = -1;
	int seen = 0;
	bool complained = false;
	double seconds = static_cast<double>(timeout) / 1000;
	while (seen <= markers) {
		char *line = logLine(&log, deadline);
		if (line == nullptr)
			errx(EX_TEMPFAIL, "no answer in %s within %gs; -l names the file kestord "
					  "logs to", log.name, seconds);
		pid_t pid;
		const char *answer = parseLogLine(line, &pid);
		if (answer == nullptr || (seen > 0 && pid != daemon))
			continue;
		if (isMarker(answer, token, seen)) {
			daemon = pid;
			seen++;
		} else if (seen == 1 && waitEnds) {
			awaitedAdd(&awaited, answer);
		} else if (seen > 0) {
			puts(answer);
			for (const char *complaint : complaints)
				if (strncmp(answer, complaint, strlen(complaint)) == 0)
					complained = true;
		}
	}

	// With -w the services reap later than the command's answer, each in its own time.
	while (const Awaited *a = awaitedPending(&awaited, restart)) {
		char *line = logLine(&log, deadline);
		if (line == nullptr)
			errx(EX_TEMPFAIL, "%s[%ld] not %s within %gs", a->name,
			    static_cast<long>(a->pid), a->stopped ? "started" : "stopped", seconds);
		pid_t pid;
		const char *answer = parseLogLine(line, &pid);
		if (answer != nullptr && pid == daemon && awaitedStep(&awaited, answer, restart))
			puts(answer);
	}
	logClose(&log);
	return complained ? 1 : 0;
}
