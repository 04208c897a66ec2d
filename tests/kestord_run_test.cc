// kestord_run_test.cc: the running daemon seen from outside, through its log, its title and
// /proc: how service output is logged, when services are restarted, what a reload changes, and
// how the daemon holds up under many exits at once and under a flood of output.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon.h"
#include "run.h"

namespace {

// The messages with each process id replaced by its rank among the ids met so far, so that a
// sequence reads "x[1] started", "x[1] exited 1", "x[2] started" whatever the ids were.
std::vector<std::string>
numbered(const std::vector<std::string> &messages)
{
	std::map<std::string, int> ranks;
	std::vector<std::string> out;
	for (const std::string &m : messages) {
		size_t open = m.find('[');
		size_t close = open == std::string::npos ? open : m.find(']', open);
		if (close == std::string::npos || close == open + 1 ||
		    m.find_first_not_of("0123456789", open + 1) != close) {
			out.push_back(m);
			continue;
		}
		std::string pid = m.substr(open + 1, close - open - 1);
		auto rank = ranks.try_emplace(pid, static_cast<int>(ranks.size()) + 1).first;
		out.push_back(m.substr(0, open + 1) + std::to_string(rank->second) +
			      m.substr(close));
	}
	return out;
}

bool
isAbout(const std::string &message, const std::string &name)
{
	return message.compare(0, name.size() + 1, name + "[") == 0;
}

// Hands out messages until count of them were about the service, and returns those, numbered;
// fewer when time ran out. Messages about other services are consumed and dropped.
std::vector<std::string>
messagesAbout(Daemon &d, const std::string &name, size_t count, double seconds)
{
	double deadline = monotonicSeconds() + seconds;
	std::vector<std::string> found;
	std::string message;
	while (found.size() < count && nextMessage(d, message, deadline - monotonicSeconds()))
		if (isAbout(message, name))
			found.push_back(message);
	return numbered(found);
}

// Every message about the service read so far, handed out or not, numbered.
std::vector<std::string>
logAbout(const Daemon &d, const std::string &name)
{
	std::vector<std::string> found;
	for (const std::string &message : d.log)
		if (isAbout(message, name))
			found.push_back(message);
	return numbered(found);
}

// Where the messages part from those expected, or "" when they are the same: a report short
// enough to read when thousands are compared.
std::string
firstDifference(const std::vector<std::string> &expected, const std::vector<std::string> &got)
{
	size_t i = 0;
	while (i < expected.size() && i < got.size() && expected[i] == got[i])
		i++;
	if (i == expected.size() && i == got.size())
		return "";
	return "message " + std::to_string(i) + " of " + std::to_string(got.size()) + ": \"" +
	    (i < got.size() ? got[i] : "(none)") + "\", expected \"" +
	    (i < expected.size() ? expected[i] : "(none)") + "\"";
}

std::string
procState(pid_t pid)
{
	std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
	size_t paren = stat.rfind(')');
	if (paren == std::string::npos || paren + 2 >= stat.size())
		return "";
	return stat.substr(paren + 2, 1);
}

// True while the daemon sleeps in ppoll. It sleeps there only when no pipe it watches holds
// unread bytes, so everything its services wrote before is then in its hands.
bool
asleepInPoll(pid_t pid)
{
	if (procState(pid) != "S")
		return false;
	std::string call = readFile("/proc/" + std::to_string(pid) + "/syscall");
	return strtol(call.c_str(), nullptr, 10) == SYS_ppoll;
}

// The daemon's standard error is read meanwhile: a daemon blocked on a full pipe to the test
// would never be seen asleep in ppoll, nor change its title.
bool
waitAsleep(Daemon &d, double seconds)
{
	return waitUntil(
	    [&] {
		    pump(d.child, 0);
		    return asleepInPoll(d.pid);
	    },
	    seconds);
}

bool
waitTitle(Daemon &d, const std::string &title, double seconds)
{
	return waitUntil(
	    [&] {
		    pump(d.child, 0);
		    return processTitle(d.pid) == title;
	    },
	    seconds);
}

// Lets a service blocked in opening the FIFO for reading go on: opens it for writing once a
// reader is there, and writes one line.
bool
release(const std::string &fifo, double seconds)
{
	int fd = -1;
	waitUntil(
	    [&] {
		    fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
		    return fd != -1;
	    },
	    seconds);
	if (fd == -1)
		return false;
	bool written = write(fd, "go\n", 3) == 3;
	close(fd);
	return written;
}

// Start times a service wrote with date +%s.%N, one a line.
std::vector<double>
readStamps(const std::string &path)
{
	std::istringstream text(readFile(path));
	std::vector<double> stamps;
	for (double t; text >> t;)
		stamps.push_back(t);
	return stamps;
}

long
contextSwitches(pid_t pid)
{
	std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
	long total = 0;
	for (std::string line; std::getline(status, line);)
		if (line.starts_with("voluntary_ctxt_switches:") ||
		    line.starts_with("nonvoluntary_ctxt_switches:"))
			total += strtol(line.c_str() + line.find(':') + 1, nullptr, 10);
	return total;
}

// n bytes of lower-case letters in turn, so that any piece of it shows where it was cut.
std::string
letters(size_t n)
{
	std::string text(n, 'a');
	for (size_t i = 0; i < n; i++)
		text[i] = static_cast<char>('a' + i % 26);
	return text;
}

struct ServiceOutput : DaemonTest {};

TEST_F(ServiceOutput, LineRuleAsTheLogShowsIt)
{
	const std::string long2000 = letters(2000);
	struct {
		std::string name;
		std::string bytes;
		std::vector<std::string> logged;
	} cases[] = {
	    {"long",
	     long2000 + "\n",
	     {long2000.substr(0, 511), long2000.substr(511, 511), long2000.substr(1022, 511),
	      long2000.substr(1533)}},
	    // The cut comes before the newline is seen, which then ends an empty line.
	    {"full", letters(511) + "\n", {letters(511), ""}},
	    {"short", letters(510) + "\n", {letters(510)}},
	    {"blank", "x\n\n\ny\n", {"x", "", "", "y"}},
	    {"percent", "100% %s %n %d %m %%\n", {"100% %s %n %d %m %%"}},
	    {"cr", "a\rb\r\n", {"a\rb\r"}},
	    // NUL bytes are left out; the bytes around them stay together.
	    {"nul", std::string("a\0b\n\0\0c\0\n", 10), {"ab", "c"}},
	};
	std::string config;
	for (auto &c : cases) {
		writeFile(kd.dir + "/" + c.name + ".out", c.bytes + "end\n");
		config += c.name + " cat " + c.name + ".out; exec sleep 1000\n";
	}
	daemonConfig(kd, config);
	daemonStart(kd, {"-C", kd.dir});
	for (auto &c : cases)
		EXPECT_EQ(c.logged, serviceOutput(kd, c.name, "end", 10)) << c.name;
	// Each line came under its service's name and process id.
	for (auto &c : cases) {
		pid_t pid = servicePid(kd, c.name, 1);
		ASSERT_GT(pid, 0);
		std::string first = c.name + "[" + std::to_string(pid) + "]: " + c.logged[0];
		EXPECT_NE(kd.log.end(), std::find(kd.log.begin(), kd.log.end(), first)) << first;
	}
}

TEST_F(ServiceOutput, StandardOutputComesBeforeStandardErrorReadTogether)
{
	ASSERT_EQ(0, mkfifo((kd.dir + "/go").c_str(), 0600));
	daemonConfig(kd, "both read x < go; echo e1 >&2; echo o1; echo e2 >&2; echo o2; "
			 ": > wrote; exec sleep 1000\n");
	daemonStart(kd, {"-C", kd.dir});
	ASSERT_GT(servicePid(kd, "both", 10), 0);

	// The daemon is held still while the service writes both streams, so that it finds both
	// pipes full when it goes on.
	ASSERT_EQ(0, kill(kd.pid, SIGSTOP));
	ASSERT_TRUE(waitUntil([&] { return procState(kd.pid) == "T"; }, 10));
	ASSERT_TRUE(release(kd.dir + "/go", 10));
	ASSERT_TRUE(waitUntil([&] { return fileExists(kd.dir + "/wrote"); }, 10));
	ASSERT_EQ(0, kill(kd.pid, SIGCONT));

	std::vector<std::string> expected{"both[1] started", "both[1]: o1", "both[1]: o2",
					  "both[1]: e1", "both[1]: e2"};
	EXPECT_EQ(expected, messagesAbout(kd, "both", expected.size(), 10));
}

TEST_F(ServiceOutput, UnfinishedLinesAreLoggedBeforeTheExit)
{
	// The service outlives the SIGTERM of the restart and ends when the test lets it.
	ASSERT_EQ(0, mkfifo((kd.dir + "/go").c_str(), 0600));
	daemonConfig(kd, "tail trap '' TERM; printf partial-out; printf partial-err >&2; "
			 ": > wrote; read x < go; exit 3\n");
	daemonStart(kd, {"-C", kd.dir});
	ASSERT_GT(servicePid(kd, "tail", 10), 0);
	ASSERT_TRUE(waitUntil([&] { return fileExists(kd.dir + "/wrote"); }, 10));
	// Asleep in ppoll, the daemon has read both texts: they wait in its buffers for a newline.
	ASSERT_TRUE(waitAsleep(kd, 10));

	ASSERT_TRUE(controlWrite(kd, "restart tail\nstatus tail\n"));
	ASSERT_TRUE(waitMessage(kd, "is stopping for restart", 10));
	ASSERT_TRUE(release(kd.dir + "/go", 10));
	// The rest of the output, standard output first; how it ended; what follows.
	std::vector<std::string> expected{"tail[1]: partial-out", "tail[1]: partial-err",
	    "tail[1] exited 3", "tail[1] stopped", "tail[2] started"};
	EXPECT_EQ(expected, messagesAbout(kd, "tail", expected.size(), 10));
	EXPECT_EQ("tail[1] started", logAbout(kd, "tail").front());
}

TEST_F(ServiceOutput, WhatALeftBehindProcessWroteIsLoggedBeforeADrop)
{
	// The service ends at once with a stop status; the process it leaves behind keeps the
	// pipe open and writes a line and the start of another once the test lets it.
	ASSERT_EQ(0, mkfifo((kd.dir + "/go").c_str(), 0600));
	daemonConfig(kd, "left (read x < go; printf 'whole\\npartial'; : > wrote; "
			 "exec sleep 1000) & exit 64\n");
	daemonStart(kd, {"-C", kd.dir});
	pid_t left = servicePid(kd, "left", 10);
	ASSERT_TRUE(waitMessage(kd, "left[" + std::to_string(left) + "] stopped", 10));

	// Held still, the daemon finds the output and the drop, with a command after it in the
	// same read, ready at once: the drop comes first and reads the pipe while that command
	// still waits to be cut from the read.
	ASSERT_EQ(0, kill(kd.pid, SIGSTOP));
	ASSERT_TRUE(waitUntil([&] { return procState(kd.pid) == "T"; }, 10));
	ASSERT_TRUE(release(kd.dir + "/go", 10));
	ASSERT_TRUE(waitUntil([&] { return fileExists(kd.dir + "/wrote"); }, 10));
	ASSERT_TRUE(controlWrite(kd, "drop left\nstatus *\n"));
	ASSERT_EQ(0, kill(kd.pid, SIGCONT));
	std::vector<std::string> expected{"left[1]: whole", "left[1]: partial", "left[] dropped"};
	EXPECT_EQ(expected, messagesAbout(kd, "left", expected.size(), 10));
	std::string next;
	EXPECT_TRUE(nextMessage(kd, next, 10));
	EXPECT_EQ("no services matching *", next);
}

TEST_F(ServiceOutput, OutputOnTheWayOutIsLoggedWholeBeforeTheEnd)
{
	// 3000 numbered lines of 100 bytes, each written on its own, far more than a pipe holds:
	// burst writes them and exits 1, term when it is told to stop.
	writeFile(kd.dir + "/lines.sh", "i=0; while [ $i -lt 3000 ]; do printf '%04d%s\\n' $i " +
	    std::string(95, 'x') + "; i=$((i + 1)); done\n");
	daemonConfig(kd, "burst . ./lines.sh; exit 1\n"
			 "term trap '. ./lines.sh; exit 0' TERM; echo ready; "
			 "while :; do sleep 1; done 2>/dev/null\n");
	daemonStart(kd, {"-C", kd.dir, "-t", "60000"});
	ASSERT_TRUE(logContains(kd, "] restarting in 1m 0s", 30));
	ASSERT_TRUE(logContains(kd, "]: ready", 30));
	ASSERT_TRUE(daemonStop(kd, 30));
	EXPECT_EQ(0, exitStatus(kd.child.status));
	for (std::string message; nextMessage(kd, message, 0);)
		;

	std::vector<std::string> lines;
	for (int i = 0; i < 3000; i++) {
		char number[8];
		snprintf(number, sizeof(number), "%04d", i);
		lines.push_back("[1]: " + std::string(number) + std::string(95, 'x'));
	}
	std::vector<std::string> burst{"burst[1] started"};
	for (const std::string &line : lines)
		burst.push_back("burst" + line);
	burst.insert(burst.end(), {"burst[1] exited 1", "burst[1] restarting in 1m 0s",
	    "burst[] stopped"});
	EXPECT_EQ("", firstDifference(burst, logAbout(kd, "burst")));
	std::vector<std::string> term{"term[1] started", "term[1]: ready"};
	for (const std::string &line : lines)
		term.push_back("term" + line);
	term.push_back("term[1] stopped");
	EXPECT_EQ("", firstDifference(term, logAbout(kd, "term")));
}

struct RestartPolicy : DaemonTest {};

TEST_F(RestartPolicy, DelayDoublesStartsOverAfterALongRunAndStopsOnAStopStatus)
{
	// Three quick failures, a long run, a clean exit, and then 64, a default stop status.
	writeFile(kd.dir + "/flap.sh", "date +%s.%N >> starts\n"
				       "n=$(wc -l < starts)\n"
				       "[ $n -ne 4 ] || sleep 3\n"
				       "date +%s.%N >> exits\n"
				       "case $n in\n"
				       "5) exit 0;;\n"
				       "6) exit 64;;\n"
				       "*) exit 1;;\n"
				       "esac\n");
	daemonConfig(kd, "flap sh flap.sh\n");
	daemonStart(kd, {"-C", kd.dir, "-t", "100", "-r", "2000"});

	std::vector<std::string> expected{
	    "flap[1] started",
	    "flap[1] exited 1",
	    "flap[1] restarting in 100ms",
	    "flap[2] started",
	    "flap[2] exited 1",
	    "flap[2] restarting in 200ms",
	    "flap[3] started",
	    "flap[3] exited 1",
	    "flap[3] restarting in 400ms",
	    // A run of at least 2 s sets the delay back, though this start doubled it to 800ms.
	    "flap[4] started",
	    "flap[4] exited 1",
	    "flap[4] restarting in 100ms",
	    // Exit 0 is no failure to log, but the service is restarted all the same.
	    "flap[5] started",
	    "flap[5] restarting in 200ms",
	    "flap[6] started",
	    "flap[6] exited 64",
	    "flap[6] stopped",
	};
	EXPECT_EQ(expected, messagesAbout(kd, "flap", expected.size(), 30));

	// No restart is pending.
	ASSERT_TRUE(controlWrite(kd, "status flap\n"));
	EXPECT_EQ(std::vector<std::string>{"flap[] is stopped"}, messagesAbout(kd, "flap", 1, 10));
	EXPECT_EQ("kestord: 0/1 services", processTitle(kd.pid));

	// Each process started at least the announced delay after the one before had ended.
	std::vector<double> starts = readStamps(kd.dir + "/starts");
	std::vector<double> exits = readStamps(kd.dir + "/exits");
	ASSERT_EQ(6u, starts.size());
	ASSERT_EQ(6u, exits.size());
	double delays[] = {0.1, 0.2, 0.4, 0.1, 0.2};
	for (size_t i = 0; i < 5; i++) {
		EXPECT_GE(starts[i + 1] - exits[i], delays[i]) << "start " << i + 2;
		EXPECT_LT(starts[i + 1] - exits[i], delays[i] + 5) << "start " << i + 2;
	}
}

TEST_F(RestartPolicy, DelayStopsDoublingFarAwayInsteadOfWrappingIntoATightLoop)
{
	// Each start while a restart is pending doubles the delay; 70 of them would take 1 s
	// far past what a time can hold.
	daemonConfig(kd, "fail false\n");
	daemonStart(kd, {"-t", "1000"});
	std::vector<std::string> delays;
	std::string message, restarting = "] restarting in ";
	while (delays.size() < 71 && nextMessage(kd, message, 10)) {
		size_t at = message.find(restarting);
		if (!isAbout(message, "fail") || at == std::string::npos)
			continue;
		delays.push_back(message.substr(at + restarting.size()));
		if (delays.size() < 71) {
			ASSERT_TRUE(controlWrite(kd, "start fail\n"));
		}
	}
	ASSERT_EQ(71u, delays.size());
	EXPECT_EQ((std::vector<std::string>{"1s", "2s", "4s", "8s", "16s", "32s", "1m 4s"}),
	    std::vector<std::string>(delays.begin(), delays.begin() + 7));
	// 2^32 seconds from the 33rd on.
	EXPECT_EQ("24855d 3h 14m 8s", delays[31]);
	for (size_t i = 32; i < delays.size(); i++)
		EXPECT_EQ("49710d 6h 28m 16s", delays[i]) << "restart " << i + 1;

	ASSERT_TRUE(controlWrite(kd, "status fail\n"));
	std::string status;
	EXPECT_TRUE(waitMessage(kd, "fail[] is restarting in 49710d 6h 28m 1", 10, &status))
	    << status;
	// And nothing starts on its own.
	sleepSeconds(1);
	while (nextMessage(kd, message, 0.1))
		;
	EXPECT_EQ(71u, kd.started.size());
	ASSERT_TRUE(daemonStop(kd, 10));
	EXPECT_EQ(0, exitStatus(kd.child.status));
}

TEST_F(RestartPolicy, StopStatusesComeFromTheListAndTheShell)
{
	// -s replaces the default list: 3 stops, 64 no longer does; 126 and 127 always stop.
	daemonConfig(kd, "three true; exit 3\n"
			 "usage true; exit 64\n"
			 "noexec true; exit 126\n"
			 "missing no-such-command-kestor\n"
			 "run sleep 1000\n");
	daemonStart(kd, {"-s", "3", "-t", "60000"});
	ASSERT_TRUE(waitTitle(kd, "kestord: 1/5 services", 10)) << processTitle(kd.pid);
	ASSERT_TRUE(controlWrite(kd, "status *\n"));
	// Status lines come from the last service to the first.
	ASSERT_TRUE(waitMessage(kd, "three[] is", 10));

	using Lines = std::vector<std::string>;
	EXPECT_EQ((Lines{"three[1] started", "three[1] exited 3", "three[1] stopped",
			 "three[] is stopped"}),
		  logAbout(kd, "three"));
	// Some seconds of the minute may have passed by the time of the status request.
	Lines usage = logAbout(kd, "usage");
	ASSERT_EQ(4u, usage.size()) << ::testing::PrintToString(usage);
	EXPECT_EQ((Lines{"usage[1] started", "usage[1] exited 64", "usage[1] restarting in 1m 0s"}),
		  Lines(usage.begin(), usage.begin() + 3));
	EXPECT_TRUE(usage[3].starts_with("usage[] is restarting in 5")) << usage[3];
	EXPECT_EQ((Lines{"noexec[1] started", "noexec[1] exited 126", "noexec[1] stopped",
			 "noexec[] is stopped"}),
		  logAbout(kd, "noexec"));
	// The shell's complaint is the service's own output.
	Lines missing = logAbout(kd, "missing");
	ASSERT_EQ(5u, missing.size()) << ::testing::PrintToString(missing);
	EXPECT_EQ("missing[1] started", missing[0]);
	EXPECT_TRUE(missing[1].starts_with("missing[1]: ")) << missing[1];
	EXPECT_NE(std::string::npos, missing[1].find("no-such-command-kestor")) << missing[1];
	EXPECT_EQ((Lines{"missing[1] exited 127", "missing[1] stopped", "missing[] is stopped"}),
		  Lines(missing.begin() + 2, missing.end()));

	ASSERT_TRUE(controlWrite(kd, "stop run\n"));
	EXPECT_TRUE(waitTitle(kd, "kestord: 0/5 services", 10)) << processTitle(kd.pid);
}

TEST_F(RestartPolicy, KillIsLoggedAndRestartedTermAloneIsNotLogged)
{
	daemonConfig(kd, "k sleep 1000\n");
	daemonStart(kd, {"-t", "50"});
	pid_t first = servicePid(kd, "k", 10);
	ASSERT_GT(first, 0);
	ASSERT_EQ(0, kill(first, SIGKILL));
	std::vector<std::string> expected{"k[1] started", "k[1] signaled kill",
					  "k[1] restarting in 50ms", "k[2] started"};
	ASSERT_EQ(expected, messagesAbout(kd, "k", expected.size(), 10));

	pid_t second = kd.services["k"];
	ASSERT_NE(first, second);
	ASSERT_EQ(0, kill(second, SIGTERM));
	// The restart doubled the delay; the next message is the announcement, nothing before it.
	expected = {"k[1] restarting in 100ms", "k[2] started"};
	EXPECT_EQ(expected, messagesAbout(kd, "k", expected.size(), 10));
}

TEST_F(RestartPolicy, ServicesStartWithNoSignalBlockedOrIgnored)
{
	daemonConfig(kd, "mask grep -E '^Sig(Blk|Ign)' /proc/self/status\n"
			 "nap sleep 1000\n");
	// Started as a shell starts a command in the background, with SIGINT and SIGQUIT ignored.
	daemonStart(kd, {"-t", "60000"}, "",
	    {"/bin/sh", "-c", "trap '' INT QUIT; exec \"$0\" \"$@\""});
	EXPECT_EQ((std::vector<std::string>{"mask[1] started", "mask[1]: SigBlk:\t0000000000000000",
					    "mask[1]: SigIgn:\t0000000000000000",
					    "mask[1] restarting in 1m 0s"}),
		  messagesAbout(kd, "mask", 4, 10));
	// The daemon itself ignores SIGPIPE, which a reader of its standard error that goes away
	// would otherwise send it; its services above still have the default action.
	daemonSignal(kd, SIGPIPE);
	ASSERT_TRUE(controlWrite(kd, "status mask\n"));
	EXPECT_TRUE(waitMessage(kd, "mask[] is restarting in", 10));
	EXPECT_TRUE(processExists(kd.pid));

	pid_t nap = servicePid(kd, "nap", 10);
	ASSERT_GT(nap, 0);
	ASSERT_EQ(0, kill(nap, SIGTERM));
	EXPECT_TRUE(waitUntil([&] { return !processExists(nap); }, 10));
	ASSERT_TRUE(waitMessage(kd, "nap[", 10));
	EXPECT_EQ((std::vector<std::string>{"nap[1] started", "nap[1] restarting in 1m 0s"}),
		  logAbout(kd, "nap"));
}

TEST_F(RestartPolicy, StopInTheSameWriteAsStartReachesTheNewProcess)
{
	daemonConfig(kd, "x sleep 1000\n");
	daemonStart(kd);
	ASSERT_GT(servicePid(kd, "x", 10), 0);
	ASSERT_TRUE(controlWrite(kd, "stop x\n"));
	ASSERT_EQ((std::vector<std::string>{"x[1] started", "x[1] stopped"}),
		  messagesAbout(kd, "x", 2, 10));

	// The stop reaches the new process whatever it is doing yet: a signal lost in the gap
	// between fork and exec would leave it running, and no stopped line would come.
	for (int round = 0; round < 5; round++) {
		ASSERT_TRUE(controlWrite(kd, "start x\nstop x\n"));
		ASSERT_EQ((std::vector<std::string>{"x[1] started", "x[1] stopped"}),
			  messagesAbout(kd, "x", 2, 10))
		    << "round " << round;
		pid_t pid = kd.services["x"];
		EXPECT_TRUE(waitUntil([&] { return !processExists(pid); }, 10));
	}
	EXPECT_TRUE(waitTitle(kd, "kestord: 0/1 services", 10)) << processTitle(kd.pid);
}

struct Reload : DaemonTest {};

TEST_F(Reload, AddsStoppedServicesKeepsRemovedOnesAndNewPrependsApplyAtTheNextStart)
{
	daemonConfig(kd, "% echo first\n"
			 "gone sleep 1000\n");
	daemonStart(kd);
	pid_t gone = servicePid(kd, "gone", 10);
	ASSERT_GT(gone, 0);
	ASSERT_EQ((std::vector<std::string>{"gone[1] started", "gone[1]: first"}),
		  messagesAbout(kd, "gone", 2, 10));
	ASSERT_TRUE(waitTitle(kd, "kestord: 1/1 services", 10)) << processTitle(kd.pid);

	daemonConfig(kd, "% echo second\n"
			 "added sleep 1000\n");
	daemonSignal(kd, SIGHUP);
	ASSERT_TRUE(waitTitle(kd, "kestord: 1/2 services", 10)) << processTitle(kd.pid);
	EXPECT_TRUE(processExists(gone));
	ASSERT_TRUE(controlWrite(kd, "status added gone\n"));
	EXPECT_EQ(std::vector<std::string>{"added[] is stopped"},
		  messagesAbout(kd, "added", 1, 10));
	std::string status;
	ASSERT_TRUE(waitMessage(kd, "gone[", 10, &status));
	EXPECT_TRUE(status.starts_with("gone[" + std::to_string(gone) + "] is started (up "))
	    << status;

	// The removed service keeps its command; both get the new prepend line.
	ASSERT_TRUE(controlWrite(kd, "restart gone\n"));
	EXPECT_EQ(
	    (std::vector<std::string>{"gone[1] stopped", "gone[2] started", "gone[2]: second"}),
	    messagesAbout(kd, "gone", 3, 10));
	ASSERT_TRUE(controlWrite(kd, "start added\n"));
	EXPECT_EQ((std::vector<std::string>{"added[1] started", "added[1]: second"}),
		  messagesAbout(kd, "added", 2, 10));
	EXPECT_TRUE(waitTitle(kd, "kestord: 2/2 services", 10)) << processTitle(kd.pid);
	EXPECT_FALSE(processExists(gone));
}

TEST_F(Reload, FileOthersCanWriteChangesNothingAndEachReadIsCounted)
{
	daemonConfig(kd, "% echo one\n"
			 "a sleep 1000\n"
			 "b sleep 1000\n");
	daemonStart(kd);
	ASSERT_TRUE(waitTitle(kd, "kestord: 2/2 services", 10)) << processTitle(kd.pid);
	// Both first lines are in before the replies below are read one by one.
	for (const char *name : {"a", "b"})
		ASSERT_TRUE(logContains(
		    kd, name + ("[" + std::to_string(servicePid(kd, name, 10)) + "]: one"), 10));

	// The file is refused as a whole: no service added or changed, the prepend list kept.
	daemonConfig(kd, "% echo two\n"
			 "a sleep 2000\n"
			 "c sleep 1000\n");
	ASSERT_EQ(0, chmod(kd.config.c_str(), 0646));
	daemonSignal(kd, SIGHUP);
	ASSERT_TRUE(expectMessage(kd, kd.config + ": writable by others", 10));
	ASSERT_TRUE(controlWrite(kd, "status c\nrestart b\n"));
	std::string message;
	ASSERT_TRUE(nextMessage(kd, message, 10));
	EXPECT_EQ("no services matching c", message);
	EXPECT_EQ((std::vector<std::string>{"b[1] stopped", "b[2] started", "b[2]: one"}),
		  messagesAbout(kd, "b", 3, 10));
	// A FIFO put in the file's place, even root's own, is refused without waiting for a
	// writer: the daemon still answers at once.
	std::string moved = kd.config + ".moved";
	ASSERT_EQ(0, rename(kd.config.c_str(), moved.c_str()));
	ASSERT_EQ(0, mkfifo(kd.config.c_str(), 0600));
	daemonSignal(kd, SIGHUP);
	ASSERT_TRUE(expectMessage(kd, kd.config + ": not a regular file", 10));
	ASSERT_TRUE(controlWrite(kd, "status c\n"));
	ASSERT_TRUE(nextMessage(kd, message, 10));
	EXPECT_EQ("no services matching c", message);
	ASSERT_EQ(0, rename(moved.c_str(), kd.config.c_str()));
	// Neither the load at start-up nor the refused ones say they reloaded.
	for (const std::string &m : kd.log)
		EXPECT_EQ(std::string::npos, m.find("reloaded")) << m;

	// A service changed twice counts once, one given its own command again not at all, and
	// a new one changed within the same file counts as added only.
	ASSERT_EQ(0, chmod(kd.config.c_str(), 0644));
	daemonConfig(kd, "a sleep 2000\n"
			 "b sleep 1000\n"
			 "c sleep 1000\n"
			 "a sleep 3000\n"
			 "c sleep 2000\n");
	daemonSignal(kd, SIGHUP);
	EXPECT_TRUE(expectMessage(kd, "reloaded " + kd.config + ": 1 added, 1 updated", 10));

	// A load that stops at an error says what it did up to there.
	daemonConfig(kd, "b sleep 2000\n"
			 "d sleep 1000\n"
			 "broken\n"
			 "e sleep 1000\n");
	daemonSignal(kd, SIGHUP);
	EXPECT_TRUE(expectMessage(
	    kd, kd.config + ":3: no command line for service broken; prepend lines kept", 10));
	ASSERT_TRUE(nextMessage(kd, message, 10));
	EXPECT_EQ("reloaded " + kd.config + ": 1 added, 1 updated", message);
	EXPECT_TRUE(waitTitle(kd, "kestord: 2/4 services", 10)) << processTitle(kd.pid);
}

struct DaemonUnderLoad : DaemonTest {};

TEST_F(DaemonUnderLoad, HundredSimultaneousExitsAreAllReapedAndRestarted)
{
	constexpr int count = 100;
	std::string config;
	for (int i = 0; i < count; i++)
		config += "s" + std::to_string(i) + " sleep 1000\n";
	daemonConfig(kd, config);
	daemonStart(kd, {"-t", "100"});
	std::map<std::string, pid_t> first;
	for (int i = 0; i < count; i++) {
		std::string name = "s" + std::to_string(i);
		first[name] = servicePid(kd, name, 20);
		ASSERT_GT(first[name], 0) << name;
	}
	ASSERT_TRUE(waitTitle(kd, "kestord: 100/100 services", 10)) << processTitle(kd.pid);

	for (auto &[name, pid] : first)
		kill(pid, SIGKILL);

	// Each service's messages after the kill: signaled, restarting, started.
	std::map<std::string, std::vector<std::string>> seen;
	size_t complete = 0;
	double deadline = monotonicSeconds() + 60;
	std::string message;
	while (complete < count && nextMessage(kd, message, deadline - monotonicSeconds())) {
		size_t open = message.find('[');
		if (open == std::string::npos || first.count(message.substr(0, open)) == 0)
			continue;
		std::vector<std::string> &lines = seen[message.substr(0, open)];
		if (lines.size() == 0 && message.ends_with("] started"))
			continue;
		lines.push_back(message.substr(open));
		if (lines.size() == 3)
			complete++;
	}
	EXPECT_EQ(static_cast<size_t>(count), complete);
	for (auto &[name, pid] : first) {
		std::string old = "[" + std::to_string(pid) + "]";
		pid_t now = kd.services[name];
		std::vector<std::string> expected{old + " signaled kill",
						  old + " restarting in 100ms",
						  "[" + std::to_string(now) + "] started"};
		EXPECT_EQ(expected, seen[name]) << name;
		EXPECT_NE(pid, now) << name;
	}
	EXPECT_TRUE(waitTitle(kd, "kestord: 100/100 services", 10)) << processTitle(kd.pid);
}

TEST_F(DaemonUnderLoad, FloodOfOutputHoldsOffNeitherRestartsNorShutdown)
{
	writeFile(kd.dir + "/crash.sh", "date +%s.%N >> starts; exit 1\n");
	daemonConfig(kd, "yes yes\n"
			 "crash sh crash.sh\n");
	daemonStart(kd, {"-C", kd.dir, "-t", "200"});

	// The flood is read as fast as it comes and counted; crash's messages are kept with the
	// time they were seen.
	std::vector<std::string> crash;
	std::vector<double> seenAt;
	size_t floodLines = 0, starts = 0;
	double deadline = monotonicSeconds() + 30;
	std::string message;
	while (starts < 4 && nextMessage(kd, message, deadline - monotonicSeconds())) {
		if (isAbout(message, "yes")) {
			floodLines++;
			continue;
		}
		if (!isAbout(message, "crash"))
			continue;
		crash.push_back(message);
		seenAt.push_back(monotonicSeconds());
		if (message.ends_with("] started"))
			starts++;
	}
	std::vector<std::string> expected{
	    "crash[1] started", "crash[1] exited 1", "crash[1] restarting in 200ms",
	    "crash[2] started", "crash[2] exited 1", "crash[2] restarting in 400ms",
	    "crash[3] started", "crash[3] exited 1", "crash[3] restarting in 800ms",
	    "crash[4] started"};
	ASSERT_EQ(expected, numbered(crash));
	EXPECT_GT(floodLines, 1000u);
	// On time: each restart followed its announcement by about the delay.
	double delays[] = {0.2, 0.4, 0.8};
	for (size_t i = 0; i < 3; i++)
		EXPECT_LT(seenAt[3 * i + 3] - seenAt[3 * i + 2], delays[i] + 1.5)
		    << "restart " << i;
	// The fourth process writes its start time a moment after it was logged.
	std::vector<double> stamps;
	EXPECT_TRUE(waitUntil(
	    [&] {
		    pump(kd.child, 0);
		    return (stamps = readStamps(kd.dir + "/starts")).size() >= 4;
	    },
	    10));
	ASSERT_GE(stamps.size(), 4u);
	for (size_t i = 0; i < 3; i++)
		EXPECT_GE(stamps[i + 1] - stamps[i], delays[i]) << "restart " << i;

	double stopping = monotonicSeconds();
	ASSERT_TRUE(daemonStop(kd, 30));
	EXPECT_LT(monotonicSeconds() - stopping, 5.0);
	EXPECT_EQ(0, exitStatus(kd.child.status));
}

struct IdleDaemon : DaemonTest {};

TEST_F(IdleDaemon, DoesNotWakeUpWithoutWork)
{
	daemonConfig(kd, "q1 sleep 1000\n"
			 "q2 sleep 1000\n");
	daemonStart(kd);
	ASSERT_GT(servicePid(kd, "q1", 10), 0);
	ASSERT_GT(servicePid(kd, "q2", 10), 0);
	ASSERT_TRUE(waitTitle(kd, "kestord: 2/2 services", 10));
	ASSERT_TRUE(waitAsleep(kd, 10));

	long before = contextSwitches(kd.pid);
	// Not a wait for an event: the span over which nothing may happen.
	sleepSeconds(3);
	long after = contextSwitches(kd.pid);
	EXPECT_EQ(before, after);
	EXPECT_TRUE(asleepInPoll(kd.pid));

	// A client that has come and gone leaves the pipe without a writer, which its read end
	// would report for ever.
	ASSERT_TRUE(controlWrite(kd, "status q1\n"));
	ASSERT_TRUE(waitMessage(kd, "is started (up ", 10));
	ASSERT_TRUE(waitAsleep(kd, 10));
	before = contextSwitches(kd.pid);
	sleepSeconds(2);
	EXPECT_EQ(before, contextSwitches(kd.pid));
}

} // namespace
