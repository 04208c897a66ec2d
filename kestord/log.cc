// log.cc: the daemon's log. Each message is formatted as syslog(3) formats it and sent as one
// datagram to the system log socket, which is non-blocking: what the receiver does not take at
// once waits in memory, in order, and goes out in batches when the socket is writable again.
#include <sys/types.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "compat.h"
#include "kestord.h"

// The longest datagram, header included; longer text is cut there. A line of service output
// with its name and the header stays far below it.
static constexpr size_t messageMax = 8192;
static_assert(messageMax <= UINT16_MAX, "a queued datagram's length is kept in two bytes");
// Above this many queued bytes the loop leaves service output unread: a service then blocks
// in write(2) once its pipe is full, and nothing is lost.
static constexpr size_t highWater = 256 * 1024;
// The daemon's own messages (exits, restarts, answers) and the output read at a process's
// exit are queued beyond the high-water mark while the receiver does not read; past this
// the oldest messages are dropped. It is address space reserved once: only what is used is
// ever touched.
static constexpr size_t hardCap = 16 * 1024 * 1024;
// Queue room kept when the queue empties; the pages touched beyond go back to the system.
static constexpr size_t keptRoom = 64 * 1024;
// How long a receiver that was there may be away (refusing, or its socket gone) before the
// services are no longer held back for it and the oldest messages are dropped instead.
static constexpr struct timespec awayMax = {5, 0};
// Reconnections, and retries after ENOBUFS: the first after 10 ms, then each twice as late,
// at most a second apart.
static constexpr struct timespec retryFirst = {0, 10000000};
static constexpr struct timespec retryMax = {1, 0};
// While no receiver has ever been seen, a connection is tried at most once a second, when a
// message comes.
static constexpr struct timespec probeEvery = {1, 0};
// How often a standard error whose file system is full is tried again while nothing else
// happens.
static constexpr struct timespec errRetryEvery = {1, 0};
// The send buffer asked for: room for a receiver queue of 512 short lines and more.
static constexpr int sendBufferSize = 1024 * 1024;
// Datagrams handed to one sendmmsg.
static constexpr unsigned batchMax = 256;

// Where the system log stands. None: no receiver has been seen, so nothing is queued (a
// system without a syslog daemon, where -d's standard error is the log). Up: connected. Down:
// the receiver that was there refused or went away; messages wait for a reconnection.
enum class Receiver : int32_t { None, Up, Down };

static Receiver receiver = Receiver::None;
static int logFd = -1;
static bool copyErr;
static char tag[256];            // "kestord[PID]: "
static size_t tagLen;
static char message[messageMax]; // the datagram being formatted
// "<PRI>Mmm dd hh:mm:ss kestord[PID]: " of the last message, made again when its second or
// its priority changes.
static char head[sizeof(tag) + 48];
static size_t headLen, headTagAt;
static time_t headSecond = -1;
static int headPriority = -1;

// The queue: records of a two-byte length and a datagram, packed, live in [queueHead,
// queueTail) of the reserved region.
static char *queue;
static size_t queueHead, queueTail, queueTouched;
// Messages dropped since the receiver was last told.
static uintmax_t lost;

// A flood goes out as it is read, a batch at a time, not after the pass that read it: the
// queue then stays a few KiB, warm in the cache, and a short receiver queue fills in step
// with what the receiver takes instead of thousands of datagrams at once, which made every
// pass end in a string of refused sends. Once a send leaves records behind, the rest waits
// for the loop's poll.
static unsigned queuedSince;     // records queued since the last send
static bool sendFull;            // the last send left records the receiver did not take
static bool retrying;            // a reconnection or a retry is due at retryAt
static struct timespec retryAt;
static struct timespec retryDelay = retryFirst;
static bool away;                // no receiver has taken a connection since awaySince
static struct timespec awaySince;
static struct timespec probeAt;

// How the copy for standard error is written so that a reader who stops reading never stops
// the daemon. The open file description of descriptor 2 is shared with whoever started the
// daemon, so its flags stay as they are: O_NONBLOCK there would make the shell's or the
// terminal's own writes fail. None: no copy is made. Write: a regular file or the null
// device, which take what is written without waiting for a reader. Send: a socket, asked per
// call not to wait. Pipe: a pipe or FIFO, written PIPE_BUF bytes at a time once poll says it
// has room, which a pipe reports only when that much fits. Own: a description of our own,
// opened anew on the same object, non-blocking: a terminal by its name, anything else
// through /dev/fd where that opens the object itself rather than sharing the description.
// Blocking: none of these could be had, and the plain write is all that is left; such a
// standard error holds the daemon up when unread.
enum class ErrWay : int32_t { None, Write, Send, Pipe, Own, Blocking };

static ErrWay errWay = ErrWay::None;
static int errFd = -1;           // the descriptor written, polled for room
// The copy for standard error: whole lines in [errHead, errLen) of a region reserved once, in
// order, written as the descriptor takes them; the first may be partly written already. It
// holds what the daemon says while a reader is slow or stopped; only a reader that stops for
// longer than awayMax loses lines.
static constexpr size_t errCap = 16 * 1024 * 1024;
static char *errBuf;
static size_t errHead, errLen, errTouched;
// When standard error last took bytes, or the copy last began to wait for it.
static struct timespec errTookAt;
// Lines standard error did not get because errBuf was full, told once it takes bytes again.
static uintmax_t errLost;
// The file standard error writes to had no room at the last try: it polls writable all the
// same, so it is tried again at errRetryAt, or at the next pass of the loop.
static bool errNoRoom;
static struct timespec errRetryAt;

static struct mmsghdr batch[batchMax];
static struct iovec batchIov[batchMax];
// Some systems refuse a local datagram above a limit of their own with EMSGSIZE, whatever the
// socket's buffer. The longest datagram that went through, and the shortest refused: no
// datagram goes out that long, but cut, its header kept and its text shortened.
static size_t fitLen;
static size_t refusedLen = messageMax + 1;
// A datagram cut shorter than this would say little more than who sent it: it is dropped.
static constexpr size_t cutMin = 128;

static int
logConnect(void)
{
	struct sockaddr_un addr = {};
	addr.sun_family = AF_UNIX;
	strlcpy(addr.sun_path, _PATH_LOG, sizeof(addr.sun_path));
	int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (fd == -1)
		return -1;
	// Each datagram in the receiver's queue counts against the sender's buffer, by its whole
	// kernel size, about a kilobyte for a line: the default buffer fills at some 200 lines,
	// before the queue of a receiver on a busy host is full, and every send after it waits
	// for a wake-up. The system's ceiling for the size still holds; a smaller buffer only
	// means more waits.
	int sendBuffer = sendBufferSize;
	setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
	if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) == -1) {
		close(fd);
		return -1;
	}
	// The longest datagram is learnt anew from this socket: the limit may have been raised
	// since, as when the receiver was restarted for it.
	fitLen = 0;
	refusedLen = messageMax + 1;
	return fd;
}

// Opens the object of standard error anew by the path, non-blocking. Returns -1 when that
// fails, leads elsewhere, or hands back the shared description itself, as opening /dev/fd/2
// does where /dev/fd duplicates descriptors: that one still waits.
static int
errReopen(const char *path, const struct stat *st)
{
	struct stat own;
	int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd == -1)
		return -1;
	int flags = fcntl(fd, F_GETFL);
	if (flags == -1 || (flags & O_NONBLOCK) == 0 || fstat(fd, &own) == -1 ||
	    own.st_dev != st->st_dev || own.st_ino != st->st_ino) {
		close(fd);
		return -1;
	}
	return fd;
}

// Chooses how standard error is written, by what descriptor 2 is.
static void
errChoose(void)
{
	struct stat st, null;
	errFd = STDERR_FILENO;
	if (fstat(STDERR_FILENO, &st) == -1 || S_ISREG(st.st_mode) ||
	    (S_ISCHR(st.st_mode) && stat("/dev/null", &null) == 0 && st.st_rdev == null.st_rdev)) {
		errWay = ErrWay::Write;
	} else if (S_ISSOCK(st.st_mode)) {
		errWay = ErrWay::Send;
	} else if (S_ISFIFO(st.st_mode)) {
		errWay = ErrWay::Pipe;
	} else {
		const char *name = isatty(STDERR_FILENO) ? ttyname(STDERR_FILENO) : nullptr;
		int fd = name != nullptr ? errReopen(name, &st) : -1;
		if (fd == -1)
			fd = errReopen("/dev/fd/2", &st);
		errWay = fd == -1 ? ErrWay::Blocking : ErrWay::Own;
		if (fd != -1)
			errFd = fd;
	}
}

// Address space for a queue, reserved once: only the pages used are ever touched. Returns
// nullptr when it cannot be had.
static char *
roomReserve(size_t size)
{
	void *room = mmap(nullptr, size, PROT_READ | PROT_WRITE,
	    MAP_PRIVATE | MAP_ANON | MAP_NORESERVE, -1, 0);
	return room == MAP_FAILED ? nullptr : static_cast<char *>(room);
}

// Gives the pages of an emptied queue beyond keptRoom back to the system.
static void
roomRelease(char *room, size_t *touched)
{
	if (*touched > keptRoom) {
		madvise(room + keptRoom, *touched - keptRoom, MADV_DONTNEED);
		*touched = keptRoom;
	}
}

int
logOpen(bool copy)
{
	if (queue == nullptr && (queue = roomReserve(hardCap)) == nullptr)
		return -1;
	if (copy && errBuf == nullptr && (errBuf = roomReserve(errCap)) == nullptr)
		return -1;
	copyErr = copy;
	if (errFd > STDERR_FILENO)
		close(errFd);
	errFd = -1;
	errWay = ErrWay::None;
	errNoRoom = false;
	if (copy) {
		errChoose();
	} else {
		errHead = errLen = 0;
		errLost = 0;
	}
	int n = snprintf(tag, sizeof(tag), "%s[%d]: ", getprogname(), static_cast<int>(getpid()));
	tagLen = n < 0 ? 0 : static_cast<size_t>(n) < sizeof(tag) ? n : sizeof(tag) - 1;
	headSecond = -1;
	if (logFd == -1 && (logFd = logConnect()) != -1)
		receiver = Receiver::Up;
	if (receiver == Receiver::None)
		probeAt = timeAdd(timeNow(), probeEvery);
	return 0;
}

static ssize_t
errSend(const char *bytes, size_t len)
{
	switch (errWay) {
	case ErrWay::Send:
		return send(errFd, bytes, len, MSG_DONTWAIT | MSG_NOSIGNAL);
	case ErrWay::Pipe: {
		// Up to PIPE_BUF bytes go in at once, never in part, so a pipe that polls writable
		// takes them without waiting, unless another writer fills it in between.
		struct pollfd slot = {errFd, POLLOUT, 0};
		int ready = poll(&slot, 1, 0);
		if (ready <= 0) {
			if (ready == 0)
				errno = EAGAIN;
			return -1;
		}
		return write(errFd, bytes, len < PIPE_BUF ? len : PIPE_BUF);
	}
	default:
		return write(errFd, bytes, len);
	}
}

// Puts the bytes at the end of the copy, moving what waits to the front first when the end
// has no room; false, with nothing put, when even that leaves too little.
static bool
errPut(const char *text, size_t len, bool newline)
{
	size_t need = len + newline;
	if (errLen - errHead + need > errCap)
		return false;
	if (errLen + need > errCap) {
		memmove(errBuf, errBuf + errHead, errLen - errHead);
		errLen -= errHead;
		errHead = 0;
	}
	if (errLen == 0)
		errTookAt = timeNow();
	memcpy(errBuf + errLen, text, len);
	errLen += len;
	if (newline)
		errBuf[errLen++] = '\n';
	if (errLen > errTouched)
		errTouched = errLen;
	return true;
}

// Puts the count of the lines dropped at the end of the copy, where the gap is, once there is
// room for it.
static void
errNote(void)
{
	char note[sizeof(tag) + 64];
	int n = snprintf(note, sizeof(note), "%.*slost %ju messages on standard error",
	    static_cast<int>(tagLen), tag, errLost);
	size_t len = n < 0 ? 0 : static_cast<size_t>(n) < sizeof(note) ? n : sizeof(note) - 1;
	if (len > 0 && errPut(note, len, true))
		errLost = 0;
}

// Writes as much of the copy as standard error takes now. What it refuses for now stays for
// the next pass, and so does what a full file system refuses: it may have room again soon,
// and until then the copy waits as it does for a slow reader. After any other error the copy
// is dropped, as no one is there to read it.
static void
errWrite(void)
{
	while (errHead < errLen) {
		ssize_t n = errSend(errBuf + errHead, errLen - errHead);
		if (n == -1 && errno == EINTR)
			continue;
		if (n == -1 && errno == EAGAIN)
			return;
		if (n == -1 && (errno == ENOSPC || errno == EDQUOT)) {
			errNoRoom = true;
			errRetryAt = timeAdd(timeNow(), errRetryEvery);
			return;
		}
		errNoRoom = false;
		if (n <= 0) {
			errHead = errLen = 0;
			errLost = 0;
			return;
		}
		errHead += n;
		errTookAt = timeNow();
		if (errHead == errLen) {
			errHead = errLen = 0;
			roomRelease(errBuf, &errTouched);
		}
		if (errLost > 0)
			errNote();
	}
}

// Adds a line to the copy for standard error; syslog(3) ends each with a newline unless the
// message already does. When the copy is full the new line is the one dropped: what waits is
// then a gapless run of lines, and the count of the lost ones, put before any line that comes
// after them, stands just where the gap is.
static void
errAppend(const char *text, size_t len)
{
	if (errLost > 0)
		errNote();
	if (errLost > 0 || !errPut(text, len, len == 0 || text[len - 1] != '\n'))
		errLost++;
}

// Puts the head of a datagram into message: "<PRI>Mmm dd hh:mm:ss kestord[PID]: ". Returns its
// length; *tagAt is where the part that standard error gets begins.
static size_t
messageHead(int priority, size_t *tagAt)
{
	time_t now = time(nullptr);
	priority = LOG_DAEMON | (priority & LOG_PRIMASK);
	if (now != headSecond || priority != headPriority) {
		struct tm tm;
		char stamp[32];
		localtime_r(&now, &tm);
		if (strftime(stamp, sizeof(stamp), "%b %e %H:%M:%S ", &tm) == 0)
			stamp[0] = '\0';
		int n = snprintf(head, sizeof(head), "<%d>%s", priority, stamp);
		headTagAt = n > 0 ? n : 0;
		memcpy(head + headTagAt, tag, tagLen);
		headLen = headTagAt + tagLen;
		headSecond = now;
		headPriority = priority;
	}
	memcpy(message, head, headLen);
	*tagAt = headTagAt;
	return headLen;
}

// Formats a datagram into message, its text cut where the datagram is full. Returns its
// length; *tagAt is where the part that standard error gets begins.
__attribute__((format(printf, 3, 0))) static size_t
messageFormat(int priority, size_t *tagAt, const char *fmt, va_list ap)
{
	size_t len = messageHead(priority, tagAt);
	int n = vsnprintf(message + len, sizeof(message) - len, fmt, ap);
	if (n > 0)
		len += static_cast<size_t>(n) < sizeof(message) - len ? n : sizeof(message) - len - 1;
	return len;
}

// Adds text to the datagram of len bytes in message, as far as it fits; returns the new
// length, with room left for the NUL that vsnprintf would write.
static size_t
messagePut(size_t len, const char *text, size_t n)
{
	size_t room = sizeof(message) - 1 - len;
	n = n < room ? n : room;
	memcpy(message + len, text, n);
	return len + n;
}

__attribute__((format(printf, 2, 3))) static size_t
noteFormat(int priority, const char *fmt, ...)
{
	size_t tagAt;
	va_list ap;
	va_start(ap, fmt);
	size_t len = messageFormat(priority, &tagAt, fmt, ap);
	va_end(ap);
	return len;
}

static size_t
queueBytes(void)
{
	return queueTail - queueHead;
}

static size_t
recordLen(size_t at)
{
	uint16_t len;
	memcpy(&len, queue + at, sizeof(len));
	return len;
}

// Drops the oldest messages until at most the given bytes are queued; with -d, says at once
// on standard error how many the system log will miss.
static void
queueTrim(size_t bytes)
{
	uintmax_t dropped = 0;
	for (; queueBytes() > bytes; dropped++)
		queueHead += 2 + recordLen(queueHead);
	lost += dropped;
	if (copyErr && dropped > 0) {
		char note[sizeof(tag) + 64];
		int n = snprintf(note, sizeof(note), "%.*slost %ju log messages",
		    static_cast<int>(tagLen), tag, dropped);
		if (n > 0)
			errAppend(note, static_cast<size_t>(n) < sizeof(note) ? n : sizeof(note) - 1);
	}
}

static bool
awayTooLong(struct timespec now)
{
	return away && !timeLess(timeSub(now, awaySince), awayMax);
}

// Connects anew to the receiver that went away; false while it is still not there.
static bool
receiverReconnect(void)
{
	if ((logFd = logConnect()) == -1)
		return false;
	receiver = Receiver::Up;
	away = false;
	retrying = false;
	return true;
}

// Once the receiver has been away for awayMax, the oldest messages go, so that the services
// are no longer held back for it. One back by then keeps them: the backoff has grown to a
// second apart and may not have tried since it came, so a connection is tried first.
static void
awayTrim(struct timespec now)
{
	if (awayTooLong(now) && queueBytes() > highWater && !receiverReconnect())
		queueTrim(highWater / 2);
}

static void
queueAppend(const char *datagram, size_t len)
{
	size_t need = 2 + len;
	if (queueBytes() + need > hardCap)
		queueTrim(hardCap - highWater);
	// The live records move to the front once as much lies consumed before them as they
	// take themselves: each byte is moved at most once per byte sent, and the region used
	// stays about twice the largest queue.
	if (queueHead > 0 && (queueHead >= queueBytes() || queueTail + need > hardCap)) {
		memmove(queue, queue + queueHead, queueBytes());
		queueTail -= queueHead;
		queueHead = 0;
	}
	uint16_t len16 = static_cast<uint16_t>(len);
	memcpy(queue + queueTail, &len16, sizeof(len16));
	memcpy(queue + queueTail + 2, datagram, len);
	queueTail += need;
	if (queueTail > queueTouched)
		queueTouched = queueTail;
	if (away && queueBytes() > highWater)
		awayTrim(timeNow());
}

// A connection is tried at most once a second while no receiver has been seen, so that one
// that appears later is used from then on.
static bool
receiverProbe(void)
{
	if (queue == nullptr)
		return false;
	struct timespec now = timeNow();
	if (timeLess(now, probeAt))
		return false;
	probeAt = timeAdd(now, probeEvery);
	if ((logFd = logConnect()) == -1)
		return false;
	receiver = Receiver::Up;
	return true;
}

static void queueSend(void);

// Hands the datagram formatted in message on: to the copy for standard error and the queue,
// and sends a batch once one is queued.
static void
messageEnqueue(size_t len, size_t tagAt)
{
	if (copyErr)
		errAppend(message + tagAt, len - tagAt);
	if (queue != nullptr && (receiver != Receiver::None || receiverProbe())) {
		queueAppend(message, len);
		if (++queuedSince >= batchMax && receiver == Receiver::Up && !retrying && !sendFull)
			queueSend();
	}
}

void
logMessage(int priority, const char *fmt, ...)
{
	int saved = errno;
	size_t tagAt;
	va_list ap;
	va_start(ap, fmt);
	size_t len = messageFormat(priority, &tagAt, fmt, ap);
	va_end(ap);
	messageEnqueue(len, tagAt);
	errno = saved;
}

// The same datagram as logMessage(LOG_NOTICE, "%s[%d]: %s", name, pid, text), put together
// without the formatting machinery, which costs more than the rest of a line's way to the
// socket.
void
logOutput(const char *name, pid_t pid, const char *text)
{
	int saved = errno;
	size_t tagAt;
	size_t len = messageHead(LOG_NOTICE, &tagAt);
	char digits[24];
	char *d = digits + sizeof(digits);
	unsigned long long v = pid < 0 ? 0ull - static_cast<unsigned long long>(pid) : pid;
	do
		*--d = static_cast<char>('0' + v % 10);
	while ((v /= 10) != 0);
	if (pid < 0)
		*--d = '-';
	len = messagePut(len, name, strlen(name));
	len = messagePut(len, "[", 1);
	len = messagePut(len, d, digits + sizeof(digits) - d);
	len = messagePut(len, "]: ", 3);
	len = messagePut(len, text, strlen(text));
	messageEnqueue(len, tagAt);
	errno = saved;
}

static void
retryArm(void)
{
	retrying = true;
	retryAt = timeAdd(timeNow(), retryDelay);
	retryDelay = timeLess(timeDouble(retryDelay), retryMax) ? timeDouble(retryDelay) : retryMax;
}

// What a failed send means. EAGAIN: the receiver is slow, and the socket is polled for room.
// ENOBUFS, which a full local datagram socket answers on some systems, says the same where
// polling does not tell when room comes, so a timer retries. The errors of a receiver that
// went away close the socket and reconnect on the timer: a socket whose peer has gone says
// so once, with ECONNRESET, and from then on that it has no peer, ENOTCONN or EDESTADDRREQ.
// Anything else rejects the datagram itself, which is dropped; the result is then true,
// and the queue goes on.
static bool
sendFailed(int error)
{
	switch (error) {
	case EAGAIN:
		return false;
	case ENOBUFS:
		retryArm();
		return false;
	case ECONNREFUSED:
	case ENOTCONN:
	case EDESTADDRREQ:
	case EPIPE:
	case ECONNRESET:
	case ENOENT:
		close(logFd);
		logFd = -1;
		receiver = Receiver::Down;
		if (!away) {
			away = true;
			awaySince = timeNow();
		}
		retryArm();
		return false;
	}
	return true;
}

// The length a datagram of len bytes is sent with: whole when shorter than any refused, else
// halfway between the longest that went through and the shortest refused. Each answer narrows
// the two, until the cut is the longest length that fits.
static size_t
sendLen(size_t len)
{
	if (len < refusedLen)
		return len;
	return refusedLen - fitLen > 1 ? fitLen + (refusedLen - fitLen) / 2 : fitLen;
}

// Sends from the front of the queue until it is empty or the receiver takes no more; first,
// when messages were dropped, the one message that says how many.
//
// A call that sends fewer datagrams than it was given is no failure by itself: where
// sendmmsg is a library loop over sendmsg, it returns the count sent before the one that
// failed and drops that one's error, which may have been the single ECONNRESET of a receiver
// that went away. The rest goes again at once, the one that failed first, so that its error
// is its own: a call that fails at its first datagram returns that error everywhere.
static void
queueSend(void)
{
	queuedSince = 0;
	sendFull = true;
	if (lost > 0) {
		size_t len = noteFormat(LOG_WARNING, "lost %ju log messages", lost);
		if (send(logFd, message, len, 0) == -1 && !sendFailed(errno))
			return;
		lost = 0;
	}
	while (queueHead < queueTail) {
		unsigned count = 0;
		for (size_t at = queueHead; at < queueTail && count < batchMax;) {
			size_t len = recordLen(at);
			batchIov[count] = {queue + at + 2, sendLen(len)};
			batch[count].msg_hdr = {};
			batch[count].msg_hdr.msg_iov = &batchIov[count];
			batch[count].msg_hdr.msg_iovlen = 1;
			at += 2 + len;
			// A cut that still looks for the limit ends the batch: the next cut is
			// chosen by its answer.
			if (batchIov[count++].iov_len < len && refusedLen - fitLen > 1)
				break;
		}
		int sent = sendmmsg(logFd, batch, count, 0);
		if (sent == -1 && errno == EMSGSIZE) {
			// The receiver's socket takes no datagram this long: the first goes again,
			// cut shorter, unless little more than its header would be left.
			refusedLen = batchIov[0].iov_len;
			if (fitLen >= refusedLen)
				fitLen = 0;
			if (sendLen(recordLen(queueHead)) >= cutMin)
				continue;
		}
		if (sent == -1) {
			if (!sendFailed(errno))
				return;
			lost++;
			sent = 1;
		} else {
			retryDelay = retryFirst;
			for (int i = 0; i < sent; i++)
				if (batchIov[i].iov_len > fitLen)
					fitLen = batchIov[i].iov_len;
		}
		for (int i = 0; i < sent; i++)
			queueHead += 2 + recordLen(queueHead);
	}
	queueHead = queueTail = 0;
	sendFull = false;
	roomRelease(queue, &queueTouched);
}

static bool
queuePending(void)
{
	return queueHead < queueTail || lost > 0;
}

bool
logPending(void)
{
	return queuePending() || errHead < errLen;
}

// Whether standard error holds the services back: a reader that reads more slowly than they
// write does, as the system log's receiver does, so that it loses nothing; one that has taken
// nothing for awayMax no longer does, and loses the lines that do not fit.
static bool
errHeld(struct timespec *end)
{
	if (errLen - errHead <= highWater)
		return false;
	*end = timeAdd(errTookAt, awayMax);
	return timeLess(timeNow(), *end);
}

bool
logHeld(void)
{
	struct timespec end;
	return queueBytes() > highWater || errHeld(&end);
}

void
logFlush(void)
{
	if (queuePending()) {
		struct timespec now = timeNow();
		if (retrying && !timeLess(now, retryAt)) {
			retrying = false;
			if (receiver == Receiver::Down && !receiverReconnect())
				retryArm();
		}
		awayTrim(now);
		sendFull = false;
		if (!retrying && receiver == Receiver::Up)
			queueSend();
	}
	if (errHead < errLen)
		errWrite();
}

bool
logWait(struct pollfd slots[logSlots], struct timespec *deadline)
{
	struct pollfd *slot = &slots[0];
	*slot = {-1, 0, 0};
	slots[1] = {errHead < errLen && !errNoRoom ? errFd : -1, POLLOUT, 0};
	struct timespec errEnd;
	bool timed = errHeld(&errEnd);
	if (timed)
		*deadline = errEnd;
	if (errHead < errLen && errNoRoom && (!timed || timeLess(errRetryAt, *deadline))) {
		*deadline = errRetryAt;
		timed = true;
	}
	if (!queuePending())
		return timed;
	if (retrying) {
		if (!timed || timeLess(retryAt, *deadline))
			*deadline = retryAt;
		timed = true;
	} else if (receiver == Receiver::Up) {
		*slot = {logFd, POLLOUT, 0};
	}
	if (away && queueBytes() > highWater) {
		struct timespec end = timeAdd(awaySince, awayMax);
		if (!timed || timeLess(end, *deadline))
			*deadline = end;
		timed = true;
	}
	return timed;
}
