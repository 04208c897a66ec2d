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

// The daemon refuses, whole, a command of more than 511 bytes before its newline: a line, its
// newline included, of at most 512 bytes.
constexpr size_t lineMax = 512;
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

// The longest message of the daemon's: its datagrams, header included, are no longer. A
// longer one in the journal is another program's.
constexpr size_t messageMax = 8192;

// Where the daemon's messages are read: a file from the offset it had before the command was
// written, followed by its name, or the export format of journalctl following the journal.
struct Log {
	const char *name;      // for messages: the path, or "the journal"
	int fd;
	pid_t reader;          // journalctl, or -1 for a file
	off_t offset;          // how much of the file has been read
	bool moved;            // a new file at the path has been written to: the old one ends
	size_t len;            // bytes held in buf
	size_t used;           // of which handed out
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

// Waits for journalctl to end until the deadline, then ends it; its wait status, 0 when none
// ran.
static int
readerEnd(int64_t deadline)
{
	int status = 0;
	if (journalReader == -1)
		return status;
	pid_t pid;
	while ((pid = waitpid(journalReader, &status, WNOHANG)) == 0 && millisLeft(deadline) > 0)
		poll(nullptr, 0, 5);
	if (pid == 0)
		kill(journalReader, SIGTERM);
	while (pid == 0 || (pid == -1 && errno == EINTR))
		pid = waitpid(journalReader, &status, 0);
	journalReader = -1;
	return status;
}

static void
readerEndAtExit(void)
{
	readerEnd(0);
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

// A file is followed by its name. Called at its end: true when reading goes on from the start
// of a file, either the same one grown shorter than what was read (copied away and truncated)
// or a new one at the path (the old one renamed or removed) once something has been written
// to it. The writer then has left the old file, which is read to its end before the switch.
static bool
fileRenewed(Log *log)
{
	struct stat st, at;
	if (fstat(log->fd, &st) == -1)
		err(EX_IOERR, "%s", log->name);
	if (st.st_size < log->offset) {
		if (lseek(log->fd, 0, SEEK_SET) == -1)
			err(EX_IOERR, "%s", log->name);
	} else {
		if (stat(log->name, &at) == -1 || !S_ISREG(at.st_mode) || at.st_size == 0 ||
		    (at.st_dev == st.st_dev && at.st_ino == st.st_ino))
			return false;
		if (!log->moved)
			return log->moved = true;
		int fd = open(log->name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
		if (fd == -1)
			return false;
		if (fstat(fd, &at) == -1 || !S_ISREG(at.st_mode)) {
			close(fd);
			return false;
		}
		close(log->fd);
		log->fd = fd;
		log->moved = false;
	}
	// A part of a line held from before belongs to no line of the new text.
	log->offset = 0;
	log->len = log->used = 0;
	log->skipping = false;
	return true;
}

// Reads more of the log into buf after the bytes not yet handed out, waiting for them until
// the deadline; false at the deadline, and when journalctl has ended. buf must have room.
static bool
logFill(Log *log, int64_t deadline)
{
	memmove(log->buf, log->buf + log->used, log->len - log->used);
	log->len -= log->used;
	log->used = 0;
	for (;;) {
		ssize_t n = read(log->fd, log->buf + log->len, sizeof(log->buf) - log->len);
		if (n > 0) {
			log->len += static_cast<size_t>(n);
			log->offset += n;
			return true;
		}
		if (n == -1 && errno != EAGAIN && errno != EINTR)
			err(EX_IOERR, "%s", log->name);
		if (n == 0 && log->reader != -1)
			return false;
		if (n == 0 && fileRenewed(log))
			continue;
		int left = millisLeft(deadline);
		if (left == 0)
			return false;
		// A file says nothing when it grows: it is read again a little later.
		struct pollfd pfd = {log->fd, POLLIN, 0};
		if (log->reader != -1)
			poll(&pfd, 1, left);
		else
			poll(nullptr, 0, left < 10 ? left : 10);
	}
}

// The next whole line of the log, without its newline, waiting for it until the deadline; a
// last line still being written is held until its newline comes. nullptr at the deadline,
// and when journalctl has ended. The line stays valid until the log is read again.
static char *
logLine(Log *log, int64_t deadline)
{
	for (;;) {
		char *start = log->buf + log->used;
		if (char *nl = static_cast<char *>(memchr(start, '\n', log->len - log->used))) {
			*nl = '\0';
			log->used = static_cast<size_t>(nl - log->buf) + 1;
			if (!log->skipping)
				return start;
			log->skipping = false;
			continue;
		}
		// kestord's lines are far shorter than the buffer; a longer one is another
		// program's.
		if (log->len - log->used == sizeof(log->buf)) {
			log->skipping = true;
			log->len = log->used = 0;
		}
		if (!logFill(log, deadline))
			return nullptr;
	}
}

// The next n bytes of the log, n no more than buf holds; nullptr as for logLine.
static const char *
logTake(Log *log, size_t n, int64_t deadline)
{
	while (log->len - log->used < n)
		if (!logFill(log, deadline))
			return nullptr;
	log->used += n;
	return log->buf + log->used - n;
}

// The process id of a field's text, 0 when it is not one.
static pid_t
parsePid(const char *text)
{
	size_t n = strspn(text, "0123456789");
	return n == 0 || n > 9 || text[n] != '\0' ? 0 : static_cast<pid_t>(strtol(text, nullptr, 10));
}

// The next entry of the journal that has a message and a process id: the message, with *pid
// set; nullptr as for logLine. journalctl's export format gives each field as a line
// "NAME=value", or, when the value holds a newline or other control bytes, as "NAME", the
// value's length in 8 bytes little-endian, the value and a newline; a blank line ends the
// entry. _PID is the sender's process as the kernel told the journal, which no sender can set;
// a multi-line message is one message, whatever its lines say.
static const char *
journalEntry(Log *log, int64_t deadline, pid_t *pid)
{
	static char message[messageMax];
	bool haveMessage = false;
	pid_t sender = 0;
	for (;;) {
		char *line = logLine(log, deadline);
		if (line == nullptr)
			return nullptr;
		if (*line == '\0') {
			if (haveMessage && sender > 0) {
				*pid = sender;
				return message;
			}
			haveMessage = false;
			sender = 0;
			continue;
		}
		if (char *eq = strchr(line, '=')) {
			*eq = '\0';
			if (strcmp(line, "MESSAGE") == 0)
				haveMessage = strlcpy(message, eq + 1, sizeof(message)) < sizeof(message);
			else if (strcmp(line, "_PID") == 0)
				sender = parsePid(eq + 1);
			continue;
		}
		bool isMessage = strcmp(line, "MESSAGE") == 0;
		const unsigned char *size =
		    reinterpret_cast<const unsigned char *>(logTake(log, 8, deadline));
		if (size == nullptr)
			return nullptr;
		uint64_t n = 0;
		for (int i = 7; i >= 0; i--)
			n = n << 8 | size[i];
		if (isMessage && n < sizeof(message)) {
			const char *value = logTake(log, static_cast<size_t>(n), deadline);
			if (value == nullptr)
				return nullptr;
			memcpy(message, value, static_cast<size_t>(n));
			message[n] = '\0';
			haveMessage = true;
		} else {
			if (isMessage)
				haveMessage = false;
			while (n > 0) {
				if (log->used == log->len && !logFill(log, deadline))
					return nullptr;
				size_t k = log->len - log->used < n ? log->len - log->used :
								      static_cast<size_t>(n);
				log->used += k;
				n -= k;
			}
		}
		if (logTake(log, 1, deadline) == nullptr)
			return nullptr;
	}
}

// The next message of kestord in the log, with *pid set to the process that logged it: in
// the journal the sender's true process, in a file only what the line says. nullptr as for
// logLine.
static const char *
logMessage(Log *log, int64_t deadline, pid_t *pid)
{
	if (log->reader != -1)
		return journalEntry(log, deadline, pid);
	while (const char *line = logLine(log, deadline))
		if (const char *text = parseLogLine(line, pid))
			return text;
	return nullptr;
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
	if ((log->offset = lseek(log->fd, 0, SEEK_END)) == -1)
		err(EX_IOERR, "%s", path);
}

// Starts journalctl with the arguments, its standard output a pipe to the log, and its
// standard error one to *errFd when errFd is given.
static void
logOpenJournal(Log *log, const char *const argv[], int *errFd)
{
	int fds[2], errFds[2] = {-1, -1};
	if (pipe2(fds, O_CLOEXEC) == -1 || (errFd != nullptr && pipe2(errFds, O_CLOEXEC) == -1))
		err(EX_OSERR, "pipe2");
	fflush(nullptr);
	pid_t pid = fork();
	switch (pid) {
	case -1:
		err(EX_OSERR, "fork");
	case 0:
		signal(SIGPIPE, SIG_DFL);
		if (dup2(fds[1], STDOUT_FILENO) == -1 ||
		    (errFd != nullptr && dup2(errFds[1], STDERR_FILENO) == -1))
			_exit(126);
		execvp(argv[0], const_cast<char *const *>(argv));
		warn("%s", argv[0]);
		_exit(126);
	}
	close(fds[1]);
	fcntl(fds[0], F_SETFL, O_NONBLOCK);
	if (errFd != nullptr) {
		close(errFds[1]);
		fcntl(errFds[0], F_SETFL, O_NONBLOCK);
		*errFd = errFds[0];
	}
	log->name = "the journal";
	log->fd = fds[0];
	log->reader = journalReader = pid;
}

static void
logClose(Log *log)
{
	close(log->fd);
	if (log->reader != -1)
		readerEnd(0);
	log->fd = -1;
	log->reader = -1;
	log->len = log->used = 0;
	log->skipping = false;
}

// The cursor of the journal's last entry as this user sees it, "" for an empty journal.
// journalctl says when it could open no journal file for want of permission, and exits 1:
// nothing is then written, since the answer could not be read.
static const char *
journalCursor(int64_t deadline)
{
	static const char *const argv[] = {"journalctl", "-q", "--no-pager", "-n", "1", "-o",
		"export", "--output-fields=__CURSOR", nullptr};
	static char cursor[512];
	static Log log;
	int errFd;
	logOpenJournal(&log, argv, &errFd);
	while (const char *line = logLine(&log, deadline))
		if (strncmp(line, "__CURSOR=", 9) == 0 && strlen(line + 9) < sizeof(cursor))
			strcpy(cursor, line + 9);
	int status = readerEnd(deadline);
	logClose(&log);
	char text[4096];
	ssize_t n = read(errFd, text, sizeof(text) - 1);
	close(errFd);
	text[n > 0 ? n : 0] = '\0';
	if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
		fputs(text, stderr);
		return cursor;
	}
	if (strstr(text, "insufficient permissions") != nullptr)
		errx(EX_NOPERM, "no permission to read the journal: root may, and the members of "
				"a group that may, as a rule systemd-journal or adm");
	fputs(text, stderr);
	// Ended by readerEnd: it was still running at the deadline.
	if (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)
		errx(EX_TEMPFAIL, "journalctl gave no cursor in time");
	errx(EX_UNAVAILABLE, "journalctl failed; -l names the file kestord logs to");
}

// Follows the journal from its last entry before the command is written: the cursor of that
// entry is taken first, and journalctl then prints the entries of kestord from that one on.
// --cursor prints that entry too, which is never an answer. --after-cursor would leave it
// out, but journalctl 252 then also skips the first matching entry whenever the cursor's own
// does not match, as after any other program's message, and that is the first marker's.
static void
logFollowJournal(Log *log, int64_t deadline)
{
	static char from[600];
	const char *cursor = journalCursor(deadline);
	snprintf(from, sizeof(from), "--cursor=%s", cursor);
	// Without a cursor the journal, as far as this user sees it, is empty: all of it is new.
	const char *const follow[] = {"journalctl", "-q", "--no-pager", "--no-tail", "-f", "-o",
		"export", "--output-fields=MESSAGE,_PID", "-t", "kestord",
		*cursor != '\0' ? from : nullptr, nullptr};
	logOpenJournal(log, follow, nullptr);
}

// The log named with -l, or else the journal where it runs, or else those of the system log
// files that exist; *count is how many logs were opened.
static void
logOpen(Log logs[], size_t *count, const char *path, int64_t deadline)
{
	static const char *const files[] = {"/var/log/messages", "/var/log/syslog"};
	struct stat st;
	*count = 0;
	if (path != nullptr)
		logOpenFile(&logs[(*count)++], path);
	else if (stat("/run/systemd/journal/socket", &st) == 0 && S_ISSOCK(st.st_mode))
		logFollowJournal(&logs[(*count)++], deadline);
	else
		for (const char *file : files)
			if (access(file, F_OK) == 0)
				logOpenFile(&logs[(*count)++], file);
	if (*count == 0)
		errx(EX_UNAVAILABLE, "no journal, /var/log/messages or /var/log/syslog; "
				     "-l names the file kestord logs to");
}

static bool
isMarker(const char *text, const char *token, int k)
{
	char expected[markerMax + 32];
	snprintf(expected, sizeof(expected), "no services matching %s.%d", token, k);
	return strcmp(text, expected) == 0;
}

// Reads the logs until the daemon's answer to the first marker comes, and returns the log it
// came in, with *daemon set to the process that logged it; nullptr at the deadline. Of two
// system log files, the one that has the daemon's messages is known only then: a file that
// nothing writes any more may lie beside the live one, and either may be the newer. Each is
// read as far as it goes in turn, and the other is closed once the marker shows.
static Log *
logFindMarker(Log logs[], size_t count, const char *token, int64_t deadline, pid_t *daemon)
{
	for (;;) {
		for (size_t i = 0; i < count; i++)
			while (const char *text =
				   logMessage(&logs[i], count == 1 ? deadline : 0, daemon))
				if (isMarker(text, token, 0)) {
					for (size_t j = 0; j < count; j++)
						if (j != i)
							logClose(&logs[j]);
					return &logs[i];
				}
		if (count == 1 || millisLeft(deadline) == 0)
			return nullptr;
		poll(nullptr, 0, 10);
	}
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

// Prints a line of the answer. A reader that has gone (EPIPE) wanted no more of it; any other
// failure loses the answer, and the exit status must not say that it was given.
static void
answerPut(const char *text)
{
	if (puts(text) == EOF && errno != EPIPE)
		err(EX_IOERR, "standard output");
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
	static Log logs[2];
	size_t count;
	atexit(readerEndAtExit);
	logOpen(logs, &count, logPath, deadline);
	pipeWrite(fd, pipePath, text, len, deadline);
	close(fd);

	// Messages count from marker 0 on, and only those of the daemon that answered it.
	double seconds = static_cast<double>(timeout) / 1000;
	pid_t daemon;
	Log *log = logFindMarker(logs, count, token, deadline, &daemon);
	if (log == nullptr) {
		if (count > 1)
			errx(EX_TEMPFAIL, "no answer in %s or %s within %gs; -l names the file "
					  "kestord logs to", logs[0].name, logs[1].name, seconds);
		errx(EX_TEMPFAIL, "no answer in %s within %gs; -l names the file kestord logs to",
		    logs[0].name, seconds);
	}
	static AwaitedList awaited;
	int seen = 1;
	bool complained = false;
	while (seen <= markers) {
		pid_t pid;
		const char *answer = logMessage(log, deadline, &pid);
		if (answer == nullptr)
			errx(EX_TEMPFAIL, "no answer in %s within %gs; -l names the file kestord "
					  "logs to", log->name, seconds);
		if (pid != daemon)
			continue;
		if (isMarker(answer, token, seen)) {
			seen++;
		} else if (seen == 1 && waitEnds) {
			awaitedAdd(&awaited, answer);
		} else {
			answerPut(answer);
			for (const char *complaint : complaints)
				if (strncmp(answer, complaint, strlen(complaint)) == 0)
					complained = true;
		}
	}

	// With -w the services reap later than the command's answer, each in its own time.
	while (const Awaited *a = awaitedPending(&awaited, restart)) {
		pid_t pid;
		const char *answer = logMessage(log, deadline, &pid);
		if (answer == nullptr)
			errx(EX_TEMPFAIL, "%s[%ld] not %s within %gs", a->name,
			    static_cast<long>(a->pid), a->stopped ? "started" : "stopped", seconds);
		if (pid == daemon && awaitedStep(&awaited, answer, restart))
			answerPut(answer);
	}
	logClose(log);
	if (fflush(stdout) == EOF && errno != EPIPE)
		err(EX_IOERR, "standard output");
	return complained ? 1 : 0;
}
