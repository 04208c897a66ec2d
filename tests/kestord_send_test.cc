// kestord_send_test.cc: the daemon's log writer against answers Linux does not give: a
// sendmmsg that is a library loop over sendmsg and drops the error of the one that failed, a
// socket that has lost its peer and says EDESTADDRREQ, ENOBUFS from a full receiver, EMSGSIZE
// above a length limit of the system's own. The link wraps the socket calls (see
// CMakeLists.txt); the wrappers below answer for that kernel and otherwise pass each datagram
// on to a receiver of the test's own. Also the log's signal names under an upper-case table.
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../kestord/kestord.h"
#include "compat.h"
#include "receiver.h"

#ifndef HAVE_SYS_SIGNAME
// The table as a system with upper-case names has it, in this platform's numbering; the
// library's lower-case one is then not linked in.
const char *const sys_signame[32] = {
	"Signal 0", "HUP", "INT", "QUIT", "ILL", "TRAP", "ABRT", "BUS", "FPE", "KILL", "USR1",
	"SEGV", "USR2", "PIPE", "ALRM", "TERM", "STKFLT", "CHLD", "CONT", "STOP", "TSTP", "TTIN",
	"TTOU", "URG", "XCPU", "XFSZ", "VTALRM", "PROF", "WINCH", "IO", "PWR", "SYS",
};
#endif

namespace {

// What the wrapped calls answer in place of the kernel.
struct Kernel {
	std::string path;    // where a connection to the system log is taken instead
	int connects = 0;
	int failAfter = -1;  // datagrams that go through before one fails with failError
	int failError = 0;
	bool gone = false;   // the receiver went away: EDESTADDRREQ until the next connect
	size_t limit = 0;    // the longest datagram taken, EMSGSIZE above; 0 for none
};

Kernel kernel;

ssize_t
sendOne(int fd, const struct msghdr *msg, int flags)
{
	size_t len = 0;
	for (size_t i = 0; i < static_cast<size_t>(msg->msg_iovlen); i++)
		len += msg->msg_iov[i].iov_len;
	if (kernel.gone) {
		errno = EDESTADDRREQ;
		return -1;
	}
	if (kernel.limit != 0 && len > kernel.limit) {
		errno = EMSGSIZE;
		return -1;
	}
	if (kernel.failAfter == 0) {
		kernel.failAfter = -1;
		// A socket whose peer has gone says so once; then it has no peer.
		kernel.gone = kernel.failError == ECONNRESET;
		errno = kernel.failError;
		return -1;
	}
	ssize_t n = sendmsg(fd, msg, flags);
	if (n != -1 && kernel.failAfter > 0)
		kernel.failAfter--;
	return n;
}

} // namespace

extern "C" {

int __real_connect(int fd, const struct sockaddr *addr, socklen_t len);

// A library loop over sendmsg: the count sent before a failure, whose error is lost, or -1
// with the error when the first fails.
int
__wrap_sendmmsg(int fd, struct mmsghdr *vec, unsigned int vlen, int flags)
{
	unsigned int sent = 0;
	for (; sent < vlen; sent++) {
		ssize_t n = sendOne(fd, &vec[sent].msg_hdr, flags);
		if (n == -1)
			return sent > 0 ? static_cast<int>(sent) : -1;
		vec[sent].msg_len = static_cast<unsigned int>(n);
	}
	return static_cast<int>(sent);
}

ssize_t
__wrap_send(int fd, const void *bytes, size_t len, int flags)
{
	struct iovec iov = {const_cast<void *>(bytes), len};
	struct msghdr msg = {};
	msg.msg_iov = &iov;
	msg.msg_iovlen = 1;
	return sendOne(fd, &msg, flags);
}

int
__wrap_connect(int fd, const struct sockaddr *addr, socklen_t len)
{
	const struct sockaddr_un *un = reinterpret_cast<const struct sockaddr_un *>(addr);
	if (addr->sa_family != AF_UNIX || strcmp(un->sun_path, _PATH_LOG) != 0)
		return __real_connect(fd, addr, len);
	kernel.connects++;
	kernel.gone = false;
	struct sockaddr_un to = {};
	to.sun_family = AF_UNIX;
	strlcpy(to.sun_path, kernel.path.c_str(), sizeof(to.sun_path));
	return __real_connect(fd, reinterpret_cast<struct sockaddr *>(&to), sizeof(to));
}

} // extern "C"

namespace {

// The log lives as long as the process: one receiver serves every case, in turn.
struct SendTest : ::testing::Test {
	static inline Receiver rx;
	static inline std::string dir;

	static void
	SetUpTestSuite()
	{
		dir = makeTempDir();
		rx.dev = dir;
		kernel.path = dir + "/log";
		ASSERT_TRUE(receiverBind(rx));
		ASSERT_EQ(0, logOpen(false));
	}
	static void
	TearDownTestSuite()
	{
		receiverClose(rx);
		removeTree(dir);
	}
	// Runs the event loop's part of the log, reading the receiver meanwhile, until nothing
	// waits; the datagrams received since the given count.
	static std::vector<std::string>
	deliver(size_t from)
	{
		double deadline = monotonicSeconds() + 10;
		while (logPending() && monotonicSeconds() < deadline) {
			logFlush();
			receiverRead(rx);
			struct pollfd slots[logSlots + 1];
			struct timespec due;
			logWait(slots, &due);
			slots[logSlots] = {rx.fd, POLLIN, 0};
			poll(slots, logSlots + 1, 5);
		}
		EXPECT_FALSE(logPending());
		receiverRead(rx);
		return std::vector<std::string>(rx.got.begin() + from, rx.got.end());
	}
	// The text of a datagram, after its header.
	static std::string
	text(const std::string &datagram)
	{
		size_t end = datagram.find("]: ");
		return end == std::string::npos ? datagram : datagram.substr(end + 3);
	}
};

TEST_F(SendTest, ReceiverThatWentAwayIsConnectedAgainAndLosesNothing)
{
	struct {
		const char *name;
		int failAfter;
		int error;
		bool gone;
		int reconnects;
	} cases[] = {
	    // The ECONNRESET that says so is lost inside the batch; every send after it finds
	    // no peer.
	    {"a batch that stops short", 3, ECONNRESET, false, 1},
	    {"a send refused for want of a peer", -1, 0, true, 1},
	    // A full receiver: the batch stops short, and the rest waits for room.
	    {"no buffer space", 3, ENOBUFS, false, 0},
	};
	for (auto &c : cases) {
		kernel.failAfter = c.failAfter;
		kernel.failError = c.error;
		kernel.gone = c.gone;
		int connects = kernel.connects;
		size_t from = rx.got.size();
		std::vector<std::string> sent;
		for (int i = 0; i < 12; i++) {
			sent.push_back(std::string(c.name) + " " + std::to_string(i));
			logMessage(LOG_NOTICE, "%s", sent.back().c_str());
		}
		std::vector<std::string> got;
		for (const std::string &datagram : deliver(from))
			got.push_back(text(datagram));
		EXPECT_EQ(sent, got) << c.name;
		EXPECT_EQ(c.reconnects, kernel.connects - connects) << c.name;
	}
}

TEST_F(SendTest, DatagramTooLongIsCutToTheLongestTheSocketTakes)
{
	kernel.limit = 2048;
	std::string longText(5000, 'x');
	for (size_t i = 0; i < longText.size(); i += 10)
		longText.replace(i, 6, std::to_string(100000 + i));
	size_t from = rx.got.size();
	for (int i = 0; i < 20; i++) {
		logMessage(LOG_NOTICE, "short %d", i);
		logMessage(LOG_NOTICE, "%s", longText.c_str());
	}
	std::vector<std::string> got = deliver(from);
	kernel.limit = 0;
	ASSERT_EQ(40u, got.size());
	for (size_t i = 0; i < got.size(); i += 2) {
		EXPECT_EQ("short " + std::to_string(i / 2), text(got[i]));
		EXPECT_LE(got[i + 1].size(), 2048u) << i;
		// The header stays whole, and the text keeps its beginning.
		EXPECT_EQ(got[i].substr(0, got[i].find("]: ")),
		    got[i + 1].substr(0, got[i + 1].find("]: ")));
		std::string cut = text(got[i + 1]);
		EXPECT_LT(1000u, cut.size()) << i;
		EXPECT_EQ(longText.substr(0, cut.size()), cut) << i;
	}
	// The search has found the limit itself by the last one.
	EXPECT_EQ(2048u, got.back().size());

	// The limit raised, and the receiver restarted: the new socket's answers count, not the
	// old one's, and the line goes whole.
	kernel.gone = true;
	from = rx.got.size();
	logMessage(LOG_NOTICE, "%s", longText.c_str());
	got = deliver(from);
	ASSERT_EQ(1u, got.size());
	EXPECT_EQ(longText.size(), text(got[0]).size());
}

TEST_F(SendTest, SignalNamesAreLowerCaseWhateverTheTableSays)
{
	EXPECT_STREQ("kill", signalName(SIGKILL));
	EXPECT_STREQ("usr1", signalName(SIGUSR1));
	EXPECT_STREQ("term", signalName(SIGTERM));
	// The control language matches them in any case.
	size_t from = rx.got.size();
	for (const char *command : {"kill nothing", "Hup nothing", "TERM nothing", "kil nothing"}) {
		char line[64];
		strlcpy(line, command, sizeof(line));
		parseControl(line);
	}
	std::vector<std::string> got;
	for (const std::string &datagram : deliver(from))
		got.push_back(text(datagram));
	EXPECT_EQ(std::vector<std::string>({"no services matching nothing",
		      "no services matching nothing", "no services matching nothing",
		      "unknown action or signal kil"}),
	    got);
}

} // namespace
