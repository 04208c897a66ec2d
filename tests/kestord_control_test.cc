// kestord_control_test.cc: the daemon's control pipe and the actions it carries out on services,
// seen from outside: commands go into the FIFO, and every outcome is read back from the log.
#include <sys/ioctl.h>
#include <sys/types.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "daemon.h"

namespace {

using Lines = std::vector<std::string>;

// Every wait is this long at most: long enough for a loaded machine, short enough to fail.
constexpr double patience = 30;

// A writer of the control pipe that stays open across its writes, as an operator's shell
// would. The open is retried until the daemon has made the FIFO and become its reader.
struct Client {
	int fd = -1;
};

bool
clientOpen(const Daemon &kd, Client &client)
{
	return waitUntil([&] {
		client.fd = open(kd.control.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
		return client.fd != -1;
	}, patience);
}

void
clientClose(Client &client)
{
	if (client.fd != -1)
		close(client.fd);
	client.fd = -1;
}

// One write of all the bytes; a full pipe is waited out, so that the write stays whole.
bool
clientWrite(Client &client, const std::string &bytes)
{
	ssize_t n = -1;
	waitUntil([&] {
		n = write(client.fd, bytes.data(), bytes.size());
		return n != -1 || errno != EAGAIN;
	}, patience);
	return n == static_cast<ssize_t>(bytes.size());
}

// How many bytes wait in the pipe for the daemon to read them.
int
clientUnread(const Client &client)
{
	int n = -1;
	if (ioctl(client.fd, FIONREAD, &n) == -1)
		return -1;
	return n;
}

bool
send(const Daemon &kd, const std::string &bytes)
{
	Client client;
	if (!clientOpen(kd, client))
		return false;
	bool written = clientWrite(client, bytes);
	clientClose(client);
	return written;
}

// The notice that a lone word draws; a unique word marks where an answer ends.
std::string
markNotice(const std::string &mark)
{
	return "no service names for " + mark;
}

// Reads messages up to the notice of the mark; false when it did not come.
bool
untilMark(Daemon &kd, const std::string &mark, Lines &got)
{
	std::string message;
	while (nextMessage(kd, message, patience)) {
		if (message == markNotice(mark))
			return true;
		got.push_back(message);
	}
	return false;
}

std::string
nextMark()
{
	static int serial;
	return "mark" + std::to_string(++serial);
}

// Writes the command lines and a mark in one write, and returns every message logged before
// the mark's notice: all the daemon said about the commands, as it carries out the lines of
// one read in order before it reaps a child or reads a service's output.
Lines
command(Daemon &kd, const std::string &lines)
{
	std::string mark = nextMark();
	Lines got;
	if (!send(kd, lines + "\n" + mark + "\n"))
		ADD_FAILURE() << "cannot write into the control pipe";
	else if (!untilMark(kd, mark, got))
		ADD_FAILURE() << "no answer to: " << lines;
	return got;
}

// The next messages, exactly as many as expected, whatever they are.
Lines
nextMessages(Daemon &kd, size_t count)
{
	Lines got;
	std::string message;
	while (got.size() < count && nextMessage(kd, message, patience))
		got.push_back(message);
	return got;
}

// Reads messages until every one of the texts has come, in any order; the texts still
// missing when time ran out.
std::set<std::string>
awaitAll(Daemon &kd, std::set<std::string> texts)
{
	double deadline = monotonicSeconds() + patience;
	std::string message;
	while (!texts.empty() && nextMessage(kd, message, deadline - monotonicSeconds()))
		texts.erase(message);
	return texts;
}

// Durations depend on the moment of asking; each becomes T, after a check of its form.
std::string
masked(const std::string &message)
{
	static const std::regex duration("(-?[0-9]+ms|(-?[0-9]+[dhm] )*-?[0-9]+s)");
	static const std::regex up("\\(up [^)]*\\)$");
	static const std::regex in("restarting in (.*)$");
	std::smatch m;
	if (std::regex_search(message, m, up)) {
		std::string text = m.str(0).substr(4, m.length(0) - 5);
		if (!std::regex_match(text, duration))
			return message;
		return m.prefix().str() + "(up T)";
	}
	if (std::regex_search(message, m, in) && std::regex_match(m.str(1), duration))
		return m.prefix().str() + "restarting in T";
	return message;
}

Lines
masked(const Lines &messages)
{
	Lines out;
	for (auto &m : messages)
		out.push_back(masked(m));
	return out;
}

std::string
tag(const std::string &name, pid_t pid)
{
	return name + "[" + std::to_string(pid) + "]";
}

// The state letter of a process as /proc shows it: S sleeping, T stopped by a signal.
char
processState(pid_t pid)
{
	std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
	size_t paren = stat.rfind(')');
	return paren == std::string::npos || paren + 2 >= stat.size() ? '?' : stat[paren + 2];
}

// A service that reports each SIGTERM it gets and, with an ending, then waits for the file
// DIR/NAME.go and ends as told; without one it goes on. "ready" says the trap is set. The
// shell's own notice of its killed sleep goes to /dev/null, away from the log.
std::string
termTrap(const Daemon &kd, const std::string &name, const std::string &ending = "")
{
	std::string body = "echo got TERM";
	if (!ending.empty())
		body += "; until [ -e " + kd.dir + "/" + name + ".go ]; do sleep 0.05; done; " + ending;
	return name + " trap '" + body +
	    "' TERM; echo ready; while :; do sleep 1000 & wait $!; done 2>/dev/null\n";
}

void
touch(const Daemon &kd, const std::string &name)
{
	writeFile(kd.dir + "/" + name + ".go", "");
}

// Three services, one in each state an action can meet: run runs; pend failed and waits
// 100 s for its restart; stopd exited with a stop status. Each of the last two runs for good
// once the file NAME.go exists.
struct ActionTest : DaemonTest {
	pid_t run = -1, pend = -1, stopd = -1;

	void
	SetUp() override
	{
		DaemonTest::SetUp();
		std::string go = "[ -e " + kd.dir + "/";
		daemonConfig(kd, "run sleep 1000\n"
				 "pend " + go + "pend.go ] && exec sleep 1000; exit 1\n"
				 "stopd " + go + "stopd.go ] && exec sleep 1000; exit 64\n");
		daemonStart(kd, {"-t", "100000"});
		run = servicePid(kd, "run", patience);
		pend = servicePid(kd, "pend", patience);
		stopd = servicePid(kd, "stopd", patience);
		ASSERT_GT(stopd, 0) << kd.child.err;
		ASSERT_EQ(std::set<std::string>{}, awaitAll(kd, {
			tag("pend", pend) + " exited 1",
			tag("pend", pend) + " restarting in 1m 40s",
			tag("stopd", stopd) + " exited 64",
			tag("stopd", stopd) + " stopped",
		}));
	}
};

TEST_F(ActionTest, StatusNamesEachState)
{
	Lines got = command(kd, "status run pend stopd");
	EXPECT_EQ((Lines{tag("run", run) + " is started (up T)", "pend[] is restarting in T",
	    "stopd[] is stopped"}), masked(got));
	ASSERT_EQ(3u, got.size());
	// The restart is 100 s off, less the time the test has taken so far.
	EXPECT_TRUE(std::regex_match(got[1], std::regex("pend\\[\\] is restarting in 1m [0-9]+s")))
	    << got[1];
	EXPECT_TRUE(std::regex_match(got[0], std::regex(".*\\(up ([0-9]+ms|[0-9]+s)\\)"))) << got[0];
}

TEST_F(ActionTest, StopCancelsARestartOnceAndEndsARunningProcess)
{
	EXPECT_EQ(Lines{"pend[] stopped"}, command(kd, "stop pend"));
	// Neither a second stop nor one of a stopped service has anything to say.
	EXPECT_EQ(Lines{}, command(kd, "stop pend\nstop stopd"));

	ASSERT_TRUE(send(kd, "stop run\n"));
	// Death by SIGTERM is what a stop asks for: no signaled line.
	EXPECT_EQ(Lines{tag("run", run) + " stopped"}, nextMessages(kd, 1));
	EXPECT_TRUE(waitUntil([&] { return !processExists(run); }, patience));
	EXPECT_EQ((Lines{"stopd[] is stopped", "pend[] is stopped", "run[] is stopped"}),
	    command(kd, "status *"));
}

TEST_F(ActionTest, StartLeavesARunningServiceAndDoublesAPendingDelay)
{
	EXPECT_EQ(Lines{}, command(kd, "start run"));
	EXPECT_EQ(run, kd.services["run"]);

	// The pending restart is made at once, and being one, it doubles the delay.
	Lines got = command(kd, "start pend");
	pid_t pend2 = kd.services["pend"];
	EXPECT_NE(pend, pend2);
	EXPECT_EQ(Lines{tag("pend", pend2) + " started"}, got);
	EXPECT_EQ((Lines{tag("pend", pend2) + " exited 1", tag("pend", pend2) + " restarting in 3m 20s"}),
	    nextMessages(kd, 2));

	got = command(kd, "start stopd");
	pid_t stopd2 = kd.services["stopd"];
	EXPECT_EQ(Lines{tag("stopd", stopd2) + " started"}, got);
	EXPECT_EQ((Lines{tag("stopd", stopd2) + " exited 64", tag("stopd", stopd2) + " stopped"}),
	    nextMessages(kd, 2));

	touch(kd, "stopd");
	got = command(kd, "start stopd");
	pid_t stopd3 = kd.services["stopd"];
	EXPECT_EQ(Lines{tag("stopd", stopd3) + " started"}, got);
	EXPECT_EQ(Lines{tag("stopd", stopd3) + " is started (up T)"},
	    masked(command(kd, "status stopd")));
}

TEST_F(ActionTest, RestartStartsAtOnceWithTheFirstDelay)
{
	// A start first doubles the pending delay; the restart then sets it back.
	ASSERT_EQ(1u, command(kd, "start pend").size());
	pid_t pend2 = kd.services["pend"];
	ASSERT_EQ(Lines{tag("pend", pend2) + " exited 1"}, nextMessages(kd, 1));
	ASSERT_EQ(Lines{tag("pend", pend2) + " restarting in 3m 20s"}, nextMessages(kd, 1));

	Lines got = command(kd, "restart pend");
	pid_t pend3 = kd.services["pend"];
	EXPECT_NE(pend2, pend3);
	EXPECT_EQ(Lines{tag("pend", pend3) + " started"}, got);
	EXPECT_EQ((Lines{tag("pend", pend3) + " exited 1", tag("pend", pend3) + " restarting in 1m 40s"}),
	    nextMessages(kd, 2));

	touch(kd, "stopd");
	got = command(kd, "restart stopd");
	pid_t stopd2 = kd.services["stopd"];
	EXPECT_NE(stopd, stopd2);
	EXPECT_EQ(Lines{tag("stopd", stopd2) + " started"}, got);

	// A running one is sent SIGTERM and started again once it has ended.
	EXPECT_EQ(Lines{}, command(kd, "restart run"));
	Lines ends = nextMessages(kd, 2);
	pid_t run2 = kd.services["run"];
	EXPECT_NE(run, run2);
	EXPECT_EQ((Lines{tag("run", run) + " stopped", tag("run", run2) + " started"}), ends);
	EXPECT_EQ((Lines{tag("stopd", stopd2) + " is started (up T)",
	    "pend[] is restarting in T", tag("run", run2) + " is started (up T)"}),
	    masked(command(kd, "status *")));
}

TEST_F(ActionTest, SignalReachesOnlyAServiceWithAProcess)
{
	EXPECT_EQ(Lines{}, command(kd, "hup pend stopd"));
	ASSERT_TRUE(send(kd, "hup run\n"));
	EXPECT_EQ((Lines{tag("run", run) + " signaled hup", tag("run", run) + " restarting in 1m 40s"}),
	    nextMessages(kd, 2));
}

TEST_F(ActionTest, DropRemovesOnlyServicesWithoutAProcess)
{
	EXPECT_EQ(Lines{}, command(kd, "drop run"));
	EXPECT_TRUE(waitUntil([&] { return processTitle(kd.pid) == "kestord: 1/3 services"; },
	    patience)) << processTitle(kd.pid);
	EXPECT_EQ((Lines{"pend[] dropped", "stopd[] dropped"}), command(kd, "drop pend stopd"));
	// The title follows the table once the command is done.
	EXPECT_TRUE(waitUntil([&] { return processTitle(kd.pid) == "kestord: 1/1 services"; },
	    patience)) << processTitle(kd.pid);
	EXPECT_EQ((Lines{"no services matching pend", "no services matching stopd"}),
	    command(kd, "status pend stopd"));
	EXPECT_EQ(Lines{tag("run", run) + " is started (up T)"}, masked(command(kd, "status *")));
	EXPECT_TRUE(processExists(run));
}

TEST_F(ActionTest, StatusSignalLogsWhatStatusOfEveryServiceLogs)
{
	Lines asked = masked(command(kd, "status *"));
	ASSERT_EQ((Lines{"stopd[] is stopped", "pend[] is restarting in T",
	    tag("run", run) + " is started (up T)"}), asked);
	daemonSignal(kd, SIGUSR1);
	EXPECT_EQ(asked, masked(nextMessages(kd, 3)));
	// Nothing more comes of the signal.
	EXPECT_EQ(Lines{}, command(kd, "start run"));
}

// Services that trap SIGTERM, to show what a stop or a restart does while the process is
// still there.
struct TermTest : DaemonTest {
	// Starts the daemon on the configuration and waits until each service has set its trap.
	std::map<std::string, pid_t>
	startTrapping(const std::string &config, const std::vector<std::string> &names)
	{
		daemonConfig(kd, config);
		daemonStart(kd);
		std::map<std::string, pid_t> pids;
		std::set<std::string> ready;
		for (auto &name : names) {
			pids[name] = servicePid(kd, name, patience);
			ready.insert(tag(name, pids[name]) + ": ready");
		}
		EXPECT_EQ(std::set<std::string>{}, awaitAll(kd, ready));
		return pids;
	}
};

TEST_F(TermTest, RestartWaitsForTheEndOfTheProcess)
{
	auto pids = startTrapping(termTrap(kd, "slow", "exit 0") + termTrap(kd, "fussy", "exit 64"),
	    {"slow", "fussy"});
	pid_t slow = pids["slow"], fussy = pids["fussy"];

	ASSERT_TRUE(send(kd, "restart slow\n"));
	ASSERT_EQ(Lines{tag("slow", slow) + ": got TERM"}, nextMessages(kd, 1));
	EXPECT_EQ(Lines{tag("slow", slow) + " is stopping for restart"}, command(kd, "status slow"));
	touch(kd, "slow");
	Lines ends = nextMessages(kd, 2);
	pid_t slow2 = kd.services["slow"];
	EXPECT_NE(slow, slow2);
	EXPECT_EQ((Lines{tag("slow", slow) + " stopped", tag("slow", slow2) + " started"}), ends);
	EXPECT_EQ(Lines{tag("slow", slow2) + ": ready"}, nextMessages(kd, 1));

	// A stop status on the way out wins over the restart.
	ASSERT_TRUE(send(kd, "restart fussy\n"));
	ASSERT_EQ(Lines{tag("fussy", fussy) + ": got TERM"}, nextMessages(kd, 1));
	EXPECT_EQ(Lines{tag("fussy", fussy) + " is stopping for restart"}, command(kd, "status fussy"));
	touch(kd, "fussy");
	EXPECT_EQ((Lines{tag("fussy", fussy) + " exited 64", tag("fussy", fussy) + " stopped"}),
	    nextMessages(kd, 2));
	EXPECT_EQ(Lines{"fussy[] is stopped"}, command(kd, "status fussy"));
	EXPECT_EQ(fussy, kd.services["fussy"]);
}

TEST_F(TermTest, KillEndsAStopThatTermCannot)
{
	pid_t deaf = startTrapping(termTrap(kd, "deaf"), {"deaf"})["deaf"];

	ASSERT_TRUE(send(kd, "stop deaf\n"));
	ASSERT_EQ(Lines{tag("deaf", deaf) + ": got TERM"}, nextMessages(kd, 1));
	EXPECT_EQ(Lines{tag("deaf", deaf) + " is stopping"}, command(kd, "status deaf"));
	EXPECT_TRUE(processExists(deaf));

	ASSERT_TRUE(send(kd, "kill deaf\n"));
	EXPECT_EQ((Lines{tag("deaf", deaf) + " signaled kill", tag("deaf", deaf) + " stopped"}),
	    nextMessages(kd, 2));
	EXPECT_TRUE(waitUntil([&] { return !processExists(deaf); }, patience));
	EXPECT_EQ(Lines{"deaf[] is stopped"}, command(kd, "status deaf"));
}

TEST_F(TermTest, SignalNamesAreComparedWithoutCase)
{
	daemonConfig(kd, termTrap(kd, "t") + "s sleep 1000\n");
	daemonStart(kd);
	pid_t t = servicePid(kd, "t", patience);
	pid_t s = servicePid(kd, "s", patience);
	ASSERT_EQ(std::set<std::string>{}, awaitAll(kd, {tag("t", t) + ": ready"}));

	// One at a time: two of the same signal pending at once would be taken as one.
	for (const char *word : {"term", "TERM", "Term"}) {
		ASSERT_TRUE(send(kd, std::string(word) + " t\n"));
		EXPECT_EQ(Lines{tag("t", t) + ": got TERM"}, nextMessages(kd, 1)) << word;
	}
	EXPECT_EQ(Lines{tag("t", t) + " is started (up T)"}, masked(command(kd, "status t")));

	// Only the lower-case word is the action; any other spelling is the signal.
	for (const char *word : {"STOP", "Stop"}) {
		EXPECT_EQ(Lines{}, command(kd, std::string(word) + " s")) << word;
		EXPECT_TRUE(waitUntil([&] { return processState(s) == 'T'; }, patience)) << word;
		EXPECT_EQ(Lines{tag("s", s) + " is started (up T)"}, masked(command(kd, "status s")));
		EXPECT_EQ(Lines{}, command(kd, "Cont s"));
		EXPECT_TRUE(waitUntil([&] { return processState(s) != 'T'; }, patience)) << word;
	}
	ASSERT_TRUE(send(kd, "stop s\n"));
	EXPECT_EQ(Lines{tag("s", s) + " stopped"}, nextMessages(kd, 1));
}

// A process held by SIGSTOP takes no other signal until it is continued: a stop, a restart
// or the daemon's shutdown must not wait on it for ever.
TEST_F(TermTest, StoppedProcessesStillEndOnStopRestartAndShutdown)
{
	daemonConfig(kd, "a sleep 1000\nb sleep 1000\nc sleep 1000\n");
	daemonStart(kd);
	pid_t a = servicePid(kd, "a", patience), b = servicePid(kd, "b", patience),
	      c = servicePid(kd, "c", patience);
	ASSERT_EQ(std::set<std::string>{}, awaitAll(kd, {tag("a", a) + " started",
	    tag("b", b) + " started", tag("c", c) + " started"}));
	EXPECT_EQ(Lines{}, command(kd, "STOP a b c"));
	for (pid_t pid : {a, b, c})
		ASSERT_TRUE(waitUntil([&] { return processState(pid) == 'T'; }, patience)) << pid;

	ASSERT_TRUE(send(kd, "stop a\n"));
	EXPECT_EQ(Lines{tag("a", a) + " stopped"}, nextMessages(kd, 1));
	ASSERT_TRUE(send(kd, "restart b\n"));
	Lines restarted = nextMessages(kd, 2);
	EXPECT_EQ((Lines{tag("b", b) + " stopped", tag("b", kd.services["b"]) + " started"}),
	    restarted);
	EXPECT_NE(b, kd.services["b"]);

	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
	EXPECT_FALSE(processExists(c));
}

// Services that only wait, for what concerns the words and patterns of a command.
struct ControlTest : DaemonTest {
	std::map<std::string, pid_t> pids;

	void
	startSleepers(const std::vector<std::string> &names)
	{
		std::string config;
		for (auto &name : names)
			config += name + " sleep 1000\n";
		daemonConfig(kd, config);
		daemonStart(kd);
		std::set<std::string> started;
		for (auto &name : names) {
			pids[name] = servicePid(kd, name, patience);
			started.insert(tag(name, pids[name]) + " started");
		}
		ASSERT_EQ(std::set<std::string>{}, awaitAll(kd, started)) << kd.child.err;
	}
	// What status says of a service started here.
	std::string
	up(const std::string &name)
	{
		return tag(name, pids[name]) + " is started (up T)";
	}
};

TEST_F(ControlTest, RefusesUnknownWordsAndLoneWords)
{
	startSleepers({"x"});
	EXPECT_EQ((Lines{
	    "unknown action or signal Start",
	    "unknown action or signal DROP",
	    "unknown action or signal sigterm",
	    "unknown action or signal SIGTERM",
	    "unknown action or signal 15",
	    "unknown action or signal 9",
	    "unknown action or signal 0",
	    "unknown action or signal info",
	    "unknown action or signal ",
	    "no service names for stop",
	    "no service names for kill",
	    "no service names for ",
	    "no service names for x",
	}), command(kd, "Start x\nDROP x\nsigterm x\nSIGTERM x\n15 x\n9 x\n0 x\ninfo x\n stop x\n"
			"stop\nkill\n\nx"));
	// None of it reached the service.
	EXPECT_EQ(Lines{up("x")}, masked(command(kd, "status x")));
}

TEST_F(ControlTest, EachPatternIsMatchedOnItsOwn)
{
	startSleepers({"a", "b"});
	EXPECT_EQ((Lines{"no services matching nope", up("a"), "no services matching nada"}),
	    masked(command(kd, "status nope a nada")));
	// Each blank or tab ends a token, so two in a row, or one at the end, make an empty one.
	EXPECT_EQ((Lines{"no services matching ", up("a")}), masked(command(kd, "status  a")));
	EXPECT_EQ((Lines{up("a"), "no services matching "}), masked(command(kd, "status a ")));
	EXPECT_EQ((Lines{up("a"), "no services matching ", up("b")}),
	    masked(command(kd, "status\ta\t\tb")));
	EXPECT_EQ((Lines{up("b"), up("a")}), masked(command(kd, "status [ab]")));
	EXPECT_EQ((Lines{"no services matching ?a", up("b"), up("a")}),
	    masked(command(kd, "status ?a ?")));
	EXPECT_EQ((Lines{up("a"), up("b")}), masked(command(kd, "status \\a [!a]")));

	// The empty pattern costs nothing but its notice; the stop still follows.
	EXPECT_EQ(Lines{"no services matching "}, command(kd, "stop  b"));
	EXPECT_EQ(Lines{tag("b", pids["b"]) + " stopped"}, nextMessages(kd, 1));
}

TEST_F(ControlTest, PatternsWalkTheTableFromItsEnd)
{
	startSleepers({"ab", "ax", "xb"});
	EXPECT_EQ((Lines{up("xb"), up("ax"), up("ab")}), masked(command(kd, "status *")));
	// A service matched by two patterns gets the action twice.
	EXPECT_EQ((Lines{up("ax"), up("ab"), up("xb"), up("ab")}),
	    masked(command(kd, "status a* *b")));
}

TEST_F(ControlTest, PrivilegedNameIsMatchedWithItsAt)
{
	startSleepers({"@db"});
	EXPECT_EQ(Lines{"no services matching db"}, command(kd, "status db"));
	EXPECT_EQ((Lines{up("@db"), up("@db"), up("@db")}), masked(command(kd, "status @db *db ?db")));
}

TEST_F(ControlTest, DropOfEveryServiceKeepsRunningOnes)
{
	daemonConfig(kd, "a true; exit 64\nb sleep 1000\nc true; exit 64\n");
	daemonStart(kd);
	pid_t a = servicePid(kd, "a", patience);
	pid_t b = servicePid(kd, "b", patience);
	pid_t c = servicePid(kd, "c", patience);
	EXPECT_EQ(std::set<std::string>{}, awaitAll(kd, {tag("a", a) + " stopped", tag("c", c) + " stopped"}));

	// The last record fills each hole, and the walk downwards has seen it already.
	EXPECT_EQ((Lines{"c[] dropped", "a[] dropped"}), command(kd, "drop *"));
	EXPECT_EQ(Lines{tag("b", b) + " is started (up T)"}, masked(command(kd, "status *")));
	EXPECT_EQ(Lines{}, command(kd, "drop *"));
	EXPECT_EQ(Lines{}, command(kd, "stop b"));
	EXPECT_EQ(Lines{tag("b", b) + " stopped"}, nextMessages(kd, 1));
	EXPECT_EQ(Lines{"b[] dropped"}, command(kd, "drop *"));
	EXPECT_EQ(Lines{"no services matching *"}, command(kd, "status *"));
}

TEST_F(ControlTest, EmptyTableMatchesNothing)
{
	daemonConfig(kd, "");
	daemonStart(kd);
	EXPECT_EQ((Lines{"no services matching a", "no services matching *"}),
	    command(kd, "status a\nstart *"));
	daemonSignal(kd, SIGUSR1);
	EXPECT_EQ(Lines{"no services matching *"}, nextMessages(kd, 1));
}

TEST_F(ControlTest, LinesAreCutWhereverTheWritesFall)
{
	startSleepers({"a", "b"});
	// Two commands in one write.
	EXPECT_EQ((Lines{up("a"), up("b")}), masked(command(kd, "status a\nstatus b")));

	// One command in two writes: nothing is done before its newline comes.
	Client client;
	ASSERT_TRUE(clientOpen(kd, client));
	ASSERT_TRUE(clientWrite(client, "status "));
	EXPECT_TRUE(waitUntil([&] { return clientUnread(client) == 0; }, patience));
	std::string mark = nextMark();
	ASSERT_TRUE(clientWrite(client, "b\n" + mark + "\n"));
	clientClose(client);
	Lines got;
	EXPECT_TRUE(untilMark(kd, mark, got));
	EXPECT_EQ(Lines{up("b")}, masked(got));

	// The status signal meanwhile leaves the unfinished command as it was.
	ASSERT_TRUE(clientOpen(kd, client));
	ASSERT_TRUE(clientWrite(client, "status "));
	EXPECT_TRUE(waitUntil([&] { return clientUnread(client) == 0; }, patience));
	daemonSignal(kd, SIGUSR1);
	EXPECT_EQ((Lines{up("b"), up("a")}), masked(nextMessages(kd, 2)));
	mark = nextMark();
	ASSERT_TRUE(clientWrite(client, "a\n" + mark + "\n"));
	clientClose(client);
	got.clear();
	EXPECT_TRUE(untilMark(kd, mark, got));
	EXPECT_EQ(Lines{up("a")}, masked(got));

	// A carriage return is a byte of the last pattern like any other.
	EXPECT_EQ((Lines{up("b"), "no services matching a\r"}), masked(command(kd, "status b a\r")));
}

TEST_F(ControlTest, UnfinishedAndOverlongCommandsAreNeverCarriedOut)
{
	startSleepers({"a", "ab"});
	// A writer that leaves without its newline: its bytes are discarded once no writer holds
	// the pipe, and the next writer's command stands on its own.
	Client client;
	ASSERT_TRUE(clientOpen(kd, client));
	ASSERT_TRUE(clientWrite(client, "restart a"));
	EXPECT_TRUE(waitUntil([&] { return clientUnread(client) == 0; }, patience));
	clientClose(client);
	EXPECT_EQ(Lines{"unfinished command discarded: restart a"}, nextMessages(kd, 1));
	EXPECT_EQ((Lines{up("ab"), up("a")}), masked(command(kd, "status *")));

	// 511 bytes and the newline: the longest command, carried out whole.
	std::string head = "status a ";
	std::string x511(511 - head.size(), 'x');
	EXPECT_EQ((Lines{up("a"), "no services matching " + x511}), masked(command(kd, head + x511)));

	// 512 bytes, the 511th the "a" of "ab": cut there, it would stop a, which it does not
	// name, and run "b" as a command of its own. It is refused whole.
	std::string stop = "stop " + std::string(504, 'z') + " ab";
	EXPECT_EQ(Lines{"command longer than 511 bytes refused: " + stop.substr(0, 40) + "..."},
	    command(kd, stop));
	EXPECT_EQ((Lines{up("ab"), up("a")}), masked(command(kd, "status *")));
}

TEST_F(ControlTest, ManyWritersAreAllServedInTheOrderOfTheirLines)
{
	startSleepers({"x"});
	constexpr int writers = 4;
	constexpr int lines = 250;
	signal(SIGPIPE, SIG_IGN);

	// Each writer's lines carry its number and theirs; every other one is a signal that the
	// sleeping service shrugs off, so only the unmatched pattern answers it.
	std::vector<std::thread> threads;
	std::vector<int> failures(writers, 0);
	for (int w = 0; w < writers; w++)
		threads.emplace_back([&, w] {
			Client client;
			if (!clientOpen(kd, client)) {
				failures[w]++;
				return;
			}
			for (int n = 0; n < lines; n++) {
				std::string word = n % 2 == 0 ? "status" : "cont";
				std::string line = word + " x w" + std::to_string(w) + "-" +
				    std::to_string(n) + "\n";
				if (!clientWrite(client, line))
					failures[w]++;
			}
			clientClose(client);
		});

	// Each status command gives two messages, each signal one.
	size_t expected = writers * lines / 2 * 3;
	Lines got = nextMessages(kd, expected);
	for (auto &thread : threads)
		thread.join();
	EXPECT_EQ(std::vector<int>(writers, 0), failures);
	ASSERT_EQ(expected, got.size());

	std::vector<int> next(writers, 0);
	std::regex notice("no services matching w([0-9]+)-([0-9]+)");
	std::smatch m;
	for (size_t i = 0; i < got.size(); i++) {
		if (masked(got[i]) == up("x"))
			continue;
		ASSERT_TRUE(std::regex_match(got[i], m, notice)) << got[i];
		int w = std::stoi(m.str(1)), n = std::stoi(m.str(2));
		ASSERT_LT(w, writers);
		// Each writer's commands come in the order written, none lost or repeated.
		EXPECT_EQ(next[w], n) << got[i];
		next[w] = n + 1;
		// A status command answers for x first, right before its notice.
		if (n % 2 == 0)
			EXPECT_TRUE(i > 0 && masked(got[i - 1]) == up("x")) << got[i];
		else
			EXPECT_TRUE(i == 0 || masked(got[i - 1]) != up("x")) << got[i];
	}
	EXPECT_EQ(std::vector<int>(writers, lines), next);
	EXPECT_EQ(Lines{}, command(kd, "start x"));
	EXPECT_TRUE(processExists(pids["x"]));
}

} // namespace
