// kestord.h: the supervisor's records, tables, settings and operations, shared by the daemon's
// main unit (start-up, configuration, event loop, control) and its service unit.
#pragma once

#include <sys/types.h>
#include <sys/resource.h>

#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

// Failures are logged as "...: %s" with strerror(errno), the text syslog's %m would give:
// g++ refuses the %m conversion in its strict ISO mode.

// The daemon's log (log.cc). Each message goes, formatted as syslog(3) formats it, as one
// datagram to the system log socket, and with -d also to standard error. Nothing here blocks:
// what the system log does not take at once waits in memory, in order, for the event loop to
// send it, and the loop stops reading service output while too much waits.
//
// logOpen connects to the system log and chooses whether messages are copied to standard
// error, and how to write that without blocking by what descriptor 2 is at the time; it is
// called again after detaching, for the new process id. It fails only when the room for the
// queue cannot be had.
[[nodiscard]] int logOpen(bool copy);
void logMessage(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// A line of a service's output, at LOG_NOTICE as "name[pid]: text": the hot path of the log.
void logOutput(const char *name, pid_t pid, const char *text);
// Sends what the system log takes now, reconnects when that is due, and writes the messages
// of this pass to standard error: the loop calls it before every wait.
void logFlush(void);
// What the log waits for: room in the socket and in standard error, in its logSlots slots
// (descriptor -1 when nothing), and, when the result is true, the time in *deadline at which
// logFlush has work to do anyway.
constexpr size_t logSlots = 2;
bool logWait(struct pollfd slots[logSlots], struct timespec *deadline);
// Whether so much waits, for the system log or for a standard error that still reads, that
// the loop is to leave service output unread for now.
bool logHeld(void);
// Whether messages still wait for the system log or for standard error.
bool logPending(void);

// What the daemon wants of a service.
enum class Intent : int32_t { Stop, Start, Restart };
// Whether a process of the service exists.
enum class State : int32_t { Stopped, Running };

// Bytes read from a pipe that wait to form a line: at most 510 between reads, since 511 are
// cut at once; the last byte is room for the NUL of a 511-byte piece.
struct Line {
	size_t len;
	char buf[512];
};

struct Service {
	char *name;              // as configured, a leading '@' included
	char *command;           // the shell command line
	bool privileged;         // the name begins with '@': keep the daemon's credentials
	bool updated;            // the latest load gave it a different command
	Intent intent;
	State state;
	pid_t pid;               // the current or last child, also its process group; -1 after a failed fork
	int outPipe[2];          // read end, write end: the child's standard output
	int errPipe[2];          // read end, write end: the child's standard error
	Line outLine;
	Line errLine;
	struct timespec startTime;        // when the current or last process started
	struct timespec restartInterval;  // the delay before the next restart
	struct timespec restartDeadline;  // when a pending restart falls due
};

// Growable tables: room for 8 at the first addition, doubled when full, never shrunk.
struct Services {
	size_t cap;
	size_t len;
	Service *elems;
};
struct Prepends {
	size_t cap;
	size_t len;
	char **elems;
};

// The longest shell command line a service may have, its terminating NUL included.
constexpr size_t commandMax = 524288;
// The longest restart delay, 2^32 seconds or some 136 years: doubling stops there, so that a
// deadline (the monotonic time plus the delay) stays far from overflow and humanDuration's days
// fit an int. A longer -t or -r is taken as this.
constexpr struct timespec intervalMax = {static_cast<time_t>(1) << 32, 0};
// Descriptors serviceAdd leaves free, for what must still get one when the services hold all
// the others: the configuration file at the next reload, the log socket, which the log opens
// anew to reconnect, and the time-zone file, which the C library opens again once it has
// changed. (While a reload reads the file, its descriptor is one more.)
constexpr int descriptorReserve = 3;
// The scratch buffer every pipe is read into: a default pipe's worth, so that one read takes
// what a flooding service has written meanwhile.
constexpr size_t readChunk = 65536;
// How many bytes lineRead takes from one descriptor in one call before it leaves the rest of
// the input to the next pass of the event loop, so that one busy pipe cannot starve the others.
constexpr size_t readBudget = 65536;

extern Services services;
extern Prepends prepends;

// Settings: written during start-up, only read afterwards.
extern struct timespec restartInterval;
extern struct timespec resetInterval;
extern const char *serviceDir;
extern uid_t serviceUID;
extern gid_t serviceGID;
extern const char *serviceEnviron[5];
// The environment of the privileged services: USER and HOME are those of the daemon's own
// user, whose credentials they keep, and not the service user's.
extern const char *privilegedEnviron[5];
extern uint32_t stopExits[8];
// The descriptor limit the daemon was started with, before it raised its own soft limit to the
// hard one. Every service gets it back: many programs still hand descriptors to select(2),
// which cannot take one above 1023, and a service's limit should not depend on how many others
// the daemon runs.
extern struct rlimit serviceFileLimit;

// Set by the signal handler, read and cleared by the event loop.
extern volatile sig_atomic_t signals[NSIG];
// The signals the daemon handles; blocked except while it waits in ppoll.
extern sigset_t handledSignals;

// The text of the last humanDuration.
extern char durationBuf[256];

// Time arithmetic on CLOCK_MONOTONIC values, nanoseconds kept in 0 to 999,999,999.
struct timespec timeSub(struct timespec a, struct timespec b);
struct timespec timeAdd(struct timespec a, struct timespec b);
// Saturates at intervalMax.
struct timespec timeDouble(struct timespec a);
bool timeLess(struct timespec a, struct timespec b);
struct timespec timeNow(void);

// A span of milliseconds as given with -t and -r: strtoul, digits only, no checks but the
// ceiling intervalMax.
struct timespec parseMillis(const char *text);
// Reads a -s list into exits. Returns nullptr, or the rest of the list from the byte that is
// neither a digit nor a comma.
const char *parseExits(const char *list, uint32_t exits[8]);
bool exitStops(int status);

// The lower-case name of a signal without its SIG prefix; a number beyond the table gets a
// text of its own (held until the next call).
const char *signalName(int signo);
void humanDuration(struct timespec span);

// The line rule, shared by the services' pipes and the control pipe: NUL bytes are dropped, and
// a line ends at a newline or is cut once it holds 511 bytes. lineFeed hands every line the
// bytes complete to consumer, in place where it can (it writes into bytes), and keeps the rest
// pending in the Line. lineRead reads the non-blocking descriptor, readBudget bytes at most,
// and feeds what it gets; lineDrain reads what the descriptor holds at that moment, no more,
// however fast more comes. lineFlush returns the pending bytes as a last line, or nullptr when
// none are pending. A text handed out is valid until the next read or feed; a consumer must
// not read lines itself, since every read shares one scratch buffer. controlRead is lineRead
// for the control pipe, into a buffer of its own, so that its consumer, which runs commands,
// may read the services' pipes; it tells whether a read found the end of the file, which a
// FIFO reports once no writer holds it and nothing is left to read.
typedef void LineConsumer(void *arg, const char *text);
void lineFeed(Line *line, char *bytes, size_t n, LineConsumer *consumer, void *arg);
void lineRead(Line *line, int fd, LineConsumer *consumer, void *arg);
bool controlRead(Line *line, int fd, LineConsumer *consumer, void *arg);
void lineDrain(Line *line, int fd, LineConsumer *consumer, void *arg);
const char *lineFlush(Line *line);

// The service table.
[[nodiscard]] int serviceAdd(const char *name, const char *command);
void serviceFree(Service *service);
void serviceDrop(size_t index);

// What is done to one service.
void serviceStart(Service *service);
void serviceStop(Service *service);
void serviceRestart(Service *service);
void serviceSignal(Service *service, int signo);
void serviceStatus(Service *service);
void serviceRead(Service *service);
void serviceDrain(Service *service);
void serviceReap(pid_t pid, int status);

// Readers.
// reload: a load after the first, which logs what it did once it has read the file, and keeps
// the prepend list in force when it stops at an error.
void parseConfig(const char *path, bool reload);
void parseControl(char *line);
