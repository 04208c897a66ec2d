// kestord_log_test.cc: the daemon's log against a receiver of the test's own at /dev/log: the
// wire format, and what a receiver that stalls, goes away or was never there does to the
// log and to supervision.
#include <sys/stat.h>
#include <sys/types.h>

#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon.h"
#include "receiver.h"
#include "run.h"

namespace {

struct LogTest : DaemonTest {
	Receiver rx;

	void
	SetUp() override
	{
		DaemonTest::SetUp();
		static std::string why;
		static bool usable = privateDevUsable(why);
		if (!usable)
			GTEST_SKIP() << why;
		receiverInit(rx, kd.dir);
	}
	void
	TearDown() override
	{
		receiverClose(rx);
		DaemonTest::TearDown();
	}
	void
	start(std::vector<std::string> extra = {})
	{
		extra.insert(extra.end(), {"-C", kd.dir});
		daemonStart(kd, extra, "", privateDevWrapper(rx));
	}
	// The text of every datagram received from the given one on.
	std::vector<std::string>
	texts(size_t from = 0)
	{
		receiverRead(rx);
		std::vector<std::string> all;
		for (size_t i = from; i < rx.got.size(); i++)
			all.push_back(receiverText(rx.got[i]));
		return all;
	}
	// Reads the daemon's standard error until the time has passed.
	void
	readFor(double seconds)
	{
		double deadline = monotonicSeconds() + seconds;
		for (std::string m; nextMessage(kd, m, deadline - monotonicSeconds());)
			;
	}
};

std::vector<long>
count(long from, long to)
{
	std::vector<long> all(to - from + 1);
	std::iota(all.begin(), all.end(), from);
	return all;
}

size_t
countOf(const std::vector<std::string> &messages, const std::string &prefix,
    const std::string &suffix)
{
	size_t n = 0;
	for (const std::string &m : messages)
		if (m.starts_with(prefix) && m.ends_with(suffix))
			n++;
	return n;
}

TEST_F(LogTest, MessagesGoOutAsSyslogFormatsThemAndAreCopiedToStandardError)
{
	ASSERT_TRUE(receiverBind(rx));
	daemonConfig(kd, "talker printf '100%% sure\\n'; exit 64\n");
	time_t before = time(nullptr);
	start();
	ASSERT_TRUE(receiverWait(rx, "] stopped", 10, kd.child));
	time_t after = time(nullptr);
	std::string p = std::to_string(servicePid(kd, "talker", 5));
	std::string tag = "kestord[" + std::to_string(kd.pid) + "]: ";
	// Facility daemon (3): notice is 29, warning 28.
	const std::vector<std::pair<std::string, std::string>> want = {
		{"<29>", "talker[" + p + "] started"},
		{"<29>", "talker[" + p + "]: 100% sure"},
		{"<28>", "talker[" + p + "] exited 64"},
		{"<29>", "talker[" + p + "] stopped"},
	};
	receiverRead(rx);
	ASSERT_EQ(want.size(), rx.got.size());
	for (size_t i = 0; i < want.size(); i++) {
		const std::string &got = rx.got[i];
		EXPECT_EQ(want[i].first, got.substr(0, 4)) << got;
		bool stamped = false;
		for (time_t t = before; t <= after && !stamped; t++) {
			struct tm tm;
			char stamp[32];
			localtime_r(&t, &tm);
			strftime(stamp, sizeof(stamp), "%b %e %H:%M:%S ", &tm);
			stamped = got.compare(4, 16, stamp) == 0;
		}
		EXPECT_TRUE(stamped) << got;
		EXPECT_EQ(tag + want[i].second, got.substr(20));
		ASSERT_TRUE(logContains(kd, want[i].second, 5));
		EXPECT_NE(std::string::npos, kd.child.err.find(tag + want[i].second + "\n"));
	}
}

TEST_F(LogTest, StalledReceiverHoldsOutputBackButNotSupervision)
{
	ASSERT_TRUE(receiverBind(rx));
	daemonConfig(kd, "crasher sleep 0.06; exit 1\n"
			 "keeper exec sleep 1000\n"
			 "flood while [ ! -e go ]; do sleep 0.02; done; seq 1 60000; exec sleep 1000\n");
	start({"-t", "100", "-r", "50"});
	pid_t keeper = servicePid(kd, "keeper", 5);
	ASSERT_TRUE(receiverWait(rx, "keeper[" + std::to_string(keeper) + "] started", 5, kd.child));

	// The receiver stops reading for 3 s; the flood begins, and the commands come meanwhile.
	double resume = monotonicSeconds() + 3;
	writeFile(kd.dir + "/go", "");
	readFor(0.2);
	size_t crashes = countOf(kd.log, "crasher[", "] started");
	ASSERT_TRUE(controlWrite(kd, "restart keeper\n"));
	std::string m;
	while (kd.services["keeper"] == keeper && nextMessage(kd, m, resume - monotonicSeconds()))
		;
	EXPECT_NE(keeper, kd.services["keeper"]) << "the restart was not carried out";
	readFor(resume - monotonicSeconds());
	EXPECT_GE(countOf(kd.log, "crasher[", "] started"), crashes + 5);
	size_t flooded = numberedLines(kd.log, "flood").size();
	EXPECT_GT(flooded, 0u);
	EXPECT_LT(flooded, 30000u) << "the flood was not held back";

	// Once it reads again, every line arrives, once and in order, and so does everything
	// the daemon said meanwhile.
	ASSERT_TRUE(receiverWait(rx, "]: 60000", 60, kd.child));
	std::vector<std::string> received = texts();
	EXPECT_EQ(count(1, 60000), numberedLines(received, "flood"));
	std::string restarted = "keeper[" + std::to_string(kd.services["keeper"]) + "] started";
	EXPECT_EQ(1u, countOf(received, restarted, ""));
	std::vector<long> copied;
	for (const std::string &text : serviceOutput(kd, "flood", "60000", 30))
		copied.push_back(atol(text.c_str()));
	EXPECT_EQ(count(1, 59999), copied);

	// SIGTERM while it stalls again, with more waiting than the receiver's queue holds: the
	// daemon ends all the same, within its few seconds of waiting for the receiver.
	size_t stalled = rx.got.size();
	readFor(1.5);
	EXPECT_TRUE(daemonStop(kd, 10));
	EXPECT_EQ(0, exitStatus(kd.child.status));
	std::string stopped = "keeper[" + std::to_string(kd.services["keeper"]) + "] stopped";
	EXPECT_TRUE(logContains(kd, stopped, 1));
	EXPECT_EQ(0u, countOf(texts(stalled), stopped, ""));
}

TEST_F(LogTest, ReceiverAwayBrieflyLosesNothingAndAwayLongOnlyTheOldest)
{
	ASSERT_TRUE(receiverBind(rx));
	daemonConfig(kd, "brief while [ ! -e go ]; do sleep 0.02; done; seq 1 20000; exec sleep 1000\n"
			 "long while [ ! -e go2 ]; do sleep 0.02; done; seq 1 100000; exec sleep 1000\n");
	start();
	ASSERT_TRUE(receiverWait(rx, "long[", 5, kd.child));

	// Away while the lines come, back a little before the five seconds are up: the backoff
	// between tries has grown to a second by then, and the receiver is found all the same.
	receiverClose(rx);
	writeFile(kd.dir + "/go", "");
	std::string first = "brief[" + std::to_string(servicePid(kd, "brief", 5)) + "]: 1";
	ASSERT_TRUE(logContains(kd, first, 10));
	readFor(4.6);
	ASSERT_TRUE(receiverBind(rx));
	ASSERT_TRUE(receiverWait(rx, "]: 20000", 30, kd.child));
	EXPECT_EQ(count(1, 20000), numberedLines(texts(), "brief"));
	EXPECT_EQ(0u, countOf(texts(), "lost ", ""));
	EXPECT_FALSE(logContains(kd, "lost ", 0));

	// Away for good: the services are held back for a few seconds only, then the oldest
	// messages go, and standard error says how many at once.
	receiverClose(rx);
	writeFile(kd.dir + "/go2", "");
	EXPECT_EQ(99999u, serviceOutput(kd, "long", "100000", 30).size());
	long shown = 0;
	for (const std::string &message : kd.log)
		if (message.starts_with("lost ") && message.ends_with(" log messages"))
			shown += atol(message.c_str() + 5);
	EXPECT_GT(shown, 0);

	// A receiver that comes back is told the whole count first, then gets the newest.
	size_t back = rx.got.size();
	ASSERT_TRUE(receiverBind(rx));
	ASSERT_TRUE(receiverWait(rx, "]: 100000", 10, kd.child));
	ASSERT_LT(back, rx.got.size());
	EXPECT_EQ("<28>", rx.got[back].substr(0, 4));
	EXPECT_EQ("lost " + std::to_string(shown) + " log messages", receiverText(rx.got[back]));
	std::vector<long> newest = numberedLines(texts(back), "long");
	ASSERT_FALSE(newest.empty());
	EXPECT_EQ(count(newest.front(), 100000), newest);
}

TEST_F(LogTest, WithoutAnyReceiverNothingIsHeldBackAndOneThatComesIsUsed)
{
	daemonConfig(kd, "gush seq 1 100000; exec sleep 1000\n");
	start();
	EXPECT_EQ(99999u, serviceOutput(kd, "gush", "100000", 30).size());
	EXPECT_FALSE(logContains(kd, "lost ", 0));
	ASSERT_TRUE(receiverBind(rx));
	EXPECT_TRUE(waitUntil(
	    [&] { return controlWrite(kd, "status gush\n") && receiverWait(rx, "gush[", 0.2, kd.child); },
	    5));
}

TEST_F(LogTest, StandardErrorOnAFullFileSystemLosesNothingOnceThereIsRoom)
{
	// Standard error is a file on a small file system of the daemon's own; the service fills
	// it, writes its lines while there is no room, and then makes room again.
	mkdir((kd.dir + "/small").c_str(), 0755);
	daemonConfig(kd, "w head -c 1048576 /dev/zero > small/fill 2>/dev/null; seq 1 2000; "
			 "sleep 1; rm small/fill; exec sleep 1000\n");
	static const char script[] = "d=$1; shift; "
				     "mount -t tmpfs -o size=256k tmpfs \"$d/small\" || exit 125; "
				     "exec \"$@\" 2>\"$d/small/err\"";
	daemonStart(kd, {"-C", kd.dir}, "",
	    {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script, "sh",
		kd.dir});
	std::string err = "/proc/" + std::to_string(kd.pid) + "/root" + kd.dir + "/small/err";
	std::vector<std::string> messages;
	EXPECT_TRUE(waitUntil([&] {
		messages.clear();
		std::istringstream lines(readFile(err));
		for (std::string line; std::getline(lines, line);)
			messages.push_back(stripPrefix(line));
		return countOf(messages, "w[", "]: 2000") > 0;
	}, 10)) << "the last line did not come";
	EXPECT_EQ(count(1, 2000), numberedLines(messages, "w"));
	EXPECT_EQ(0u, countOf(messages, "lost ", " messages on standard error"));
}

// The children of the daemon whose command line is the words given.
std::vector<pid_t>
childrenRunning(pid_t daemon, const std::string &text)
{
	std::vector<pid_t> found;
	for (pid_t child : childrenOf(daemon)) {
		std::string cmdline = readFile("/proc/" + std::to_string(child) + "/cmdline");
		std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
		if (cmdline == text + " ")
			found.push_back(child);
	}
	return found;
}

TEST_F(LogTest, UnreadStandardErrorLosesItsCopyButNotSupervision)
{
	daemonConfig(kd, "keeper sleep 1001\n"
			 "crasher sleep 0.07\n"
			 "flood while [ ! -e go ]; do sleep 0.02; done; seq -f %0200g 100000; exec sleep 1002\n"
			 "again while [ ! -e go2 ]; do sleep 0.02; done; seq 1 100000; exec sleep 1000\n");
	start({"-t", "100", "-r", "50"});
	pid_t keeper = servicePid(kd, "keeper", 5);
	ASSERT_GT(keeper, 0);

	// Standard error goes unread from here on: the flood, 20 MB, is held back for a few
	// seconds, then outgrows the pipe and the daemon's room for it.
	writeFile(kd.dir + "/go", "");
	sleepSeconds(0.5);
	ASSERT_TRUE(controlWrite(kd, "restart keeper\n"));
	EXPECT_TRUE(waitUntil([&] {
		std::vector<pid_t> now = childrenRunning(kd.pid, "sleep 1001");
		return now.size() == 1 && now[0] != keeper;
	}, 3)) << "the restart was not carried out";
	std::set<pid_t> crashers;
	waitUntil([&] {
		for (pid_t p : childrenRunning(kd.pid, "sleep 0.07"))
			crashers.insert(p);
		return false;
	}, 1.5);
	EXPECT_GE(crashers.size(), 5u) << "the crasher was not restarted";
	ASSERT_TRUE(waitUntil([&] { return !childrenRunning(kd.pid, "sleep 1002").empty(); }, 30))
	    << "the flood was held back for good";

	// Read again, standard error has whole lines, the flood's in order from its first, and
	// says how many it lost where the gap is.
	std::string found;
	ASSERT_TRUE(logContains(kd, " messages on standard error", 10, &found));
	readFor(0.5);
	std::string tag = "kestord[" + std::to_string(kd.pid) + "]: ";
	std::istringstream lines(kd.child.err);
	for (std::string line; std::getline(lines, line);)
		ASSERT_TRUE(line.starts_with(tag)) << line;
	long lost = 0;
	for (const std::string &message : kd.log)
		if (message.starts_with("lost ") && message.ends_with(" messages on standard error"))
			lost += atol(message.c_str() + 5);
	std::vector<long> flood = numberedLines(kd.log, "flood");
	ASSERT_FALSE(flood.empty());
	EXPECT_EQ(1, flood.front());
	EXPECT_TRUE(std::is_sorted(flood.begin(), flood.end()));
	EXPECT_EQ(flood.size(), std::set<long>(flood.begin(), flood.end()).size());
	long missing = 100000 - static_cast<long>(flood.size());
	EXPECT_GT(missing, 0);
	EXPECT_GE(lost, missing);
	EXPECT_LT(lost, missing + 1000) << "more lost than the daemon said meanwhile";

	// SIGTERM while standard error is unread and full again: the daemon ends all the same.
	writeFile(kd.dir + "/go2", "");
	sleepSeconds(0.5);
	daemonSignal(kd, SIGTERM);
	EXPECT_TRUE(waitUntil([&] {
		std::string stat = readFile("/proc/" + std::to_string(kd.pid) + "/stat");
		size_t close = stat.rfind(')');
		return close != std::string::npos && stat.compare(close, 3, ") Z") == 0;
	}, 5)) << "the daemon did not end while standard error was unread";
	ASSERT_TRUE(waitExit(kd.child, 5));
	EXPECT_EQ(0, exitStatus(kd.child.status));
}

} // namespace
