// kestorctl_test.cc: kestorctl against a real kestord -d, whose log the test copies into a
// file as a syslog daemon would write it, each line in two writes and each followed by a line
// of another kestord; and the failures that need no daemon.
#include <sys/stat.h>
#include <sys/types.h>

#include <fcntl.h>
#include <sysexits.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon.h"

const char *parseLogLine(const char *line, pid_t *pid);

namespace {

constexpr double patience = 20;

// The text and pid parseLogLine finds, as "PID text", or "-" for a line that is not kestord's.
std::string
logLine(const char *line)
{
	pid_t pid;
	const char *text = parseLogLine(line, &pid);
	return text == nullptr ? "-" : std::to_string(pid) + " " + text;
}

TEST(LogLine, OnlyTheFirstKestordOfTheLineCounts)
{
	EXPECT_EQ("813 a[9] stopped", logLine("kestord[813]: a[9] stopped"));
	EXPECT_EQ("813 x", logLine("Dec  9 13:00:00 host kestord[813]: x"));
	EXPECT_EQ("813 ", logLine("kestord[813]: "));
	EXPECT_EQ("813 web[9]: kestord[1]: x", logLine("kestord[813]: web[9]: kestord[1]: x"));
	EXPECT_EQ("-", logLine("host other[5]: kestord[813]x: y"));
	EXPECT_EQ("-", logLine("host xkestord[813]: y"));
	EXPECT_EQ("-", logLine("host kestord[]: y"));
	EXPECT_EQ("-", logLine("host kestord[81a]: y"));
	EXPECT_EQ("-", logLine("host kestord[813] y"));
	EXPECT_EQ("-", logLine("host kestord[1234567890]: y"));
}

// A daemon whose log reaches kestorctl through a file.
struct KestorctlTest : DaemonTest {
	std::string logPath;
	int logFd = -1;
	size_t copied = 0;     // how much of the daemon's standard error is in the file
	std::string held;      // the second half of what was copied last

	void
	SetUp() override
	{
		DaemonTest::SetUp();
		logPath = kd.dir + "/syslog";
		logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
		ASSERT_NE(-1, logFd);
	}
	void
	TearDown() override
	{
		close(logFd);
		DaemonTest::TearDown();
	}

	// Copies the daemon's new lines into the file, each behind a syslog header and followed
	// by a complaint of another kestord; half of it now, the rest at the next call.
	void
	relay()
	{
		const std::string &err = kd.child.err, header = "Dec  9 13:00:00 host ";
		std::string text = held;
		size_t end = err.rfind('\n');
		for (size_t nl; copied <= end && end != std::string::npos; copied = nl + 1) {
			nl = err.find('\n', copied);
			text += header + err.substr(copied, nl + 1 - copied) + header +
			    "kestord[1]: no services matching intruder\n";
		}
		size_t half = held.size() + (text.size() - held.size()) / 2;
		held = text.substr(half);
		ASSERT_EQ(static_cast<ssize_t>(half), write(logFd, text.data(), half));
	}

	Result
	ctl(const std::vector<std::string> &args)
	{
		std::vector<std::string> all{"-c", kd.control, "-l", logPath};
		all.insert(all.end(), args.begin(), args.end());
		Child child = spawnProgram(KESTORCTL_PATH, all);
		double deadline = monotonicSeconds() + patience;
		while (!waitExit(child, 0.005) && monotonicSeconds() < deadline) {
			pump(kd.child, 0.005);
			relay();
		}
		killChild(child);
		Result run;
		run.status = child.reaped ? child.status : -1;
		run.out = child.out;
		run.err = child.err;
		return run;
	}
};

TEST_F(KestorctlTest, PrintsTheAnswerOfItsOwnDaemonAndSaysWhetherItComplained)
{
	daemonConfig(kd, "a sleep 60\nb sleep 60\nc sleep 60\n"
			 "stubborn trap '' TERM; while :; do sleep 1; done\n");
	daemonStart(kd);
	pid_t a = servicePid(kd, "a", patience), b = servicePid(kd, "b", patience),
	      c = servicePid(kd, "c", patience);
	ASSERT_NE(-1, servicePid(kd, "stubborn", patience));
	std::string up = "\\] is started \\(up [0-9]+m?s\\)\n";

	// The table is walked from its last record; the lines of pid 1 are not this daemon's.
	Result run = ctl({"-t", "20", "status", "[a-c]"});
	EXPECT_EQ(0, exitStatus(run)) << run.err;
	EXPECT_TRUE(std::regex_match(run.out, std::regex("c\\[" + std::to_string(c) + up + "b\\[" +
	    std::to_string(b) + up + "a\\[" + std::to_string(a) + up)))
	    << run.out;

	run = ctl({"-t", "20", "status", "a", "nosuch"});
	EXPECT_EQ(1, exitStatus(run));
	EXPECT_TRUE(std::regex_match(run.out,
	    std::regex("a\\[" + std::to_string(a) + up + "no services matching nosuch\n")))
	    << run.out;
	run = ctl({"-t", "20", "Start", "a"});
	EXPECT_EQ(1, exitStatus(run));
	EXPECT_EQ("unknown action or signal Start\n", run.out);
	// The longest line the daemon takes whole: one byte more is refused before the write.
	std::string longest(510 - 7, 'x');
	run = ctl({"-t", "20", "status", longest});
	EXPECT_EQ(1, exitStatus(run));
	EXPECT_EQ("no services matching " + longest + "\n", run.out);

	run = ctl({"-n", "stop", "a"});
	EXPECT_EQ(0, exitStatus(run));
	EXPECT_EQ("", run.out + run.err);
	EXPECT_TRUE(expectMessage(kd, "a[" + std::to_string(a) + "] stopped", patience));

	// -w: the stop, then the new start, each as the daemon logged it.
	run = ctl({"-w", "-t", "20", "restart", "b", "a"});
	EXPECT_EQ(0, exitStatus(run)) << run.err;
	std::smatch m;
	ASSERT_TRUE(std::regex_match(run.out, m,
	    std::regex("a\\[[0-9]+\\] started\nb\\[" + std::to_string(b) +
		"\\] stopped\nb\\[([0-9]+)\\] started\n")))
	    << run.out;
	EXPECT_TRUE(logContains(kd, "b[" + m[1].str() + "] started", patience));
	EXPECT_NE(std::to_string(b), m[1].str());
	run = ctl({"-w", "-t", "1", "stop", "stubborn", "c"});
	EXPECT_EQ(EX_TEMPFAIL, exitStatus(run));
	EXPECT_TRUE(std::regex_match(run.err,
	    std::regex("kestorctl: stubborn\\[[0-9]+\\] not stopped within 1s\n")))
	    << run.err;
	EXPECT_EQ("c[" + std::to_string(c) + "] stopped\n", run.out);
}

// A directory of its own for the cases that need no daemon.
struct KestorctlAloneTest : ::testing::Test {
	std::string dir = makeTempDir();

	void
	TearDown() override
	{
		removeTree(dir);
	}
	Result
	ctl(const std::vector<std::string> &args, const std::string &pipe = "pipe")
	{
		std::vector<std::string> all{"-c", dir + "/" + pipe, "-l", dir + "/log"};
		all.insert(all.end(), args.begin(), args.end());
		return runProgram(KESTORCTL_PATH, all, {}, 4);
	}
};

TEST_F(KestorctlAloneTest, RefusesABadCommandLineBeforeItWrites)
{
	ASSERT_EQ(0, mkfifo((dir + "/pipe").c_str(), 0600));
	struct Case {
		std::vector<std::string> args;
		std::string err;
	} cases[] = {
		{{}, "action required"},
		{{"status"}, "pattern required"},
		{{"status", std::string(504, 'x')}, "command longer than 510 bytes"},
		{{"-w", "stop", std::string(505, 'x')}, "command longer than 508 bytes"},
		{{"status", "a\nstop b"}, "a newline would end the command early"},
		{{"-t", "0", "status", "a"}, "invalid timeout 0"},
		{{"-t", "1x", "status", "a"}, "invalid timeout 1x"},
		{{"-w", "start", "a"}, "-w waits for stop and restart only"},
	};
	for (const Case &c : cases) {
		Result run = ctl(c.args);
		EXPECT_EQ(EX_USAGE, exitStatus(run)) << c.err;
		EXPECT_EQ("kestorctl: " + c.err + "\n", run.err);
	}
	EXPECT_EQ(EX_USAGE, exitStatus(ctl({"-x", "status", "a"})));
}

TEST_F(KestorctlAloneTest, FailsAtOnceWhenThePipeCannotTakeTheCommand)
{
	writeFile(dir + "/log", "");
	Result run = ctl({"status", "*"});
	EXPECT_EQ(EX_NOINPUT, exitStatus(run));
	EXPECT_EQ("kestorctl: " + dir + "/pipe: No such file or directory\n", run.err);

	// With no reader the open fails at once, well within the 5 s a wait could take.
	ASSERT_EQ(0, mkfifo((dir + "/pipe").c_str(), 0600));
	run = ctl({"status", "*"});
	EXPECT_EQ(EX_UNAVAILABLE, exitStatus(run));
	EXPECT_EQ("kestorctl: " + dir + "/pipe: no process reads the pipe; is kestord running?\n",
	    run.err);

	writeFile(dir + "/plain", "");
	run = ctl({"-n", "status", "*"}, "plain");
	EXPECT_EQ(EX_NOINPUT, exitStatus(run));
	EXPECT_EQ("kestorctl: " + dir + "/plain: not a FIFO\n", run.err);
	EXPECT_EQ("", readFile(dir + "/plain"));

	// A reader that never answers: the command went in whole, between its markers.
	int reader = open((dir + "/pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	ASSERT_NE(-1, reader);
	run = ctl({"-t", "0.3", "status", "*"});
	EXPECT_EQ(EX_TEMPFAIL, exitStatus(run));
	EXPECT_EQ("kestorctl: no answer in " + dir +
		"/log within 0.3s; -l names the file kestord logs to\n",
	    run.err);
	char buf[4096];
	ssize_t n = read(reader, buf, sizeof(buf));
	close(reader);
	ASSERT_GT(n, 0);
	std::string marker = "(kestorctl\\.[0-9]+\\.[0-9a-f]{8})";
	EXPECT_TRUE(std::regex_match(std::string(buf, n),
	    std::regex("status " + marker + "\\.0\nstatus \\*\nstatus \\1\\.1\n")))
	    << std::string(buf, n);

	// A log that cannot be read: nothing is written, so nothing is done unanswered.
	unlink((dir + "/log").c_str());
	ASSERT_NE(-1, reader = open((dir + "/pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
	run = ctl({"status", "*"});
	EXPECT_EQ(EX_NOINPUT, exitStatus(run));
	EXPECT_EQ("kestorctl: " + dir + "/log: No such file or directory\n", run.err);
	EXPECT_LE(read(reader, buf, sizeof(buf)), 0);
	close(reader);
}

} // namespace
