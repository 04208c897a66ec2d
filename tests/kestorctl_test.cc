// kestorctl_test.cc: kestorctl against a real kestord -d, whose log the test copies into a
// file as a syslog daemon would write it, each line in two writes and each followed by a line
// of another kestord; and the failures that need no daemon.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sysexits.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon.h"
#include "receiver.h"

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

// How a log rotation turns the file over: renamed and created anew, or copied and truncated.
enum class Turn { None, Rename, Truncate };

// A daemon whose log reaches kestorctl through a file.
struct KestorctlTest : DaemonTest {
	std::string logPath;
	int logFd = -1;
	size_t copied = 0;     // how much of the daemon's standard error is in the file
	std::string held;      // the second half of what was copied last
	// The file is turned over once, just before the daemon's answer to kestorctl's marker
	// turnAt is copied, as a syslog daemon does it: lines whole up to then in the old file.
	Turn turn = Turn::None;
	int turnAt = 0;

	void
	SetUp() override
	{
		DaemonTest::SetUp();
		mkdir((kd.dir + "/log").c_str(), 0755);
		logPath = kd.dir + "/log/syslog";
		logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
		ASSERT_NE(-1, logFd);
	}
	void
	TearDown() override
	{
		close(logFd);
		DaemonTest::TearDown();
	}

	void
	turnOver()
	{
		if (turn == Turn::Truncate) {
			ASSERT_EQ(0, ftruncate(logFd, 0));
		} else {
			ASSERT_EQ(0, rename(logPath.c_str(), (logPath + ".1").c_str()));
			close(logFd);
			logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
			ASSERT_NE(-1, logFd);
		}
		turn = Turn::None;
	}

	// Copies the daemon's new lines into the file, each behind a syslog header and followed
	// by a complaint of another kestord; half of it now, the rest at the next call.
	void
	relay()
	{
		const std::string &err = kd.child.err, header = "Dec  9 13:00:00 host ";
		std::string text = held, marker = "no services matching kestorctl.",
			    at = "." + std::to_string(turnAt) + "\n";
		size_t end = err.rfind('\n');
		for (size_t nl; copied <= end && end != std::string::npos; copied = nl + 1) {
			nl = err.find('\n', copied);
			std::string line = err.substr(copied, nl + 1 - copied);
			if (turn != Turn::None && line.find(marker) != std::string::npos &&
			    line.compare(line.size() - at.size(), at.size(), at) == 0) {
				ASSERT_EQ(static_cast<ssize_t>(text.size()),
				    write(logFd, text.data(), text.size()));
				text.clear();
				held.clear();
				turnOver();
			}
			text += header + line + header + "kestord[1]: no services matching intruder\n";
		}
		size_t half = held.size() + (text.size() - held.size()) / 2;
		held = text.substr(half);
		ASSERT_EQ(static_cast<ssize_t>(half), write(logFd, text.data(), half));
	}

	// Runs kestorctl on the file, or with systemLog, without -l in a mount namespace whose
	// /var/log is the file's directory and whose /run has no journal; with full, its
	// standard output is a device that takes nothing.
	Result
	ctl(const std::vector<std::string> &args, bool systemLog = false, bool full = false)
	{
		std::vector<std::string> all{"-c", kd.control, "-l", logPath};
		if (full)
			all.insert(all.begin(), {"-c", "exec \"$0\" \"$@\" >/dev/full", KESTORCTL_PATH});
		if (systemLog)
			all = {"-m", "--propagation", "private", "/bin/sh", "-c",
			    "mount -t tmpfs tmpfs /run && mount --bind \"$1\" /var/log && shift && "
			    "exec \"$@\"",
			    "sh", kd.dir + "/log", KESTORCTL_PATH, "-c", kd.control};
		all.insert(all.end(), args.begin(), args.end());
		Child child = spawnProgram(systemLog ? "/usr/bin/unshare" : full ? "/bin/sh" :
		    KESTORCTL_PATH, all);
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
	std::string longest(511 - 7, 'x');
	run = ctl({"-t", "20", "status", longest});
	EXPECT_EQ(1, exitStatus(run));
	EXPECT_EQ("no services matching " + longest + "\n", run.out);
	// An answer that cannot be printed is no answer.
	run = ctl({"-t", "20", "status", "a"}, false, true);
	EXPECT_EQ(EX_IOERR, exitStatus(run));
	EXPECT_TRUE(run.err.starts_with("kestorctl: standard output: ")) << run.err;

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

TEST_F(KestorctlTest, FollowsTheFileByNameThroughRotations)
{
	// A file that has seen much already, so that what is written after a truncation stays
	// shorter than what had been read.
	std::string past;
	for (int i = 0; i < 2000; i++)
		past += "Dec  9 12:00:00 host cron[77]: (root) CMD (command -v debian-sa1)\n";
	ASSERT_EQ(static_cast<ssize_t>(past.size()), write(logFd, past.data(), past.size()));
	daemonConfig(kd, "a sleep 60\nb sleep 60\n");
	daemonStart(kd);
	pid_t a = servicePid(kd, "a", patience), b = servicePid(kd, "b", patience);
	std::regex answer("b\\[" + std::to_string(b) + "\\] is started \\(up [0-9]+m?s\\)\na\\[" +
	    std::to_string(a) + "\\] is started \\(up [0-9]+m?s\\)\n");

	// Truncated before the answer: the file is read again from its start. Renamed within the
	// answer: the old file is read to its end, then the new one from its start.
	for (Turn how : {Turn::Truncate, Turn::Rename}) {
		turn = how;
		turnAt = how == Turn::Truncate ? 0 : 1;
		Result run = ctl({"-t", "20", "status", "*"});
		EXPECT_EQ(Turn::None, turn);
		EXPECT_EQ(0, exitStatus(run)) << run.err;
		EXPECT_TRUE(std::regex_match(run.out, answer)) << run.out;
	}
}

TEST_F(KestorctlTest, ReadsTheSystemLogFileTheDaemonWritesTo)
{
	std::string why;
	if (!privateDevUsable(why))
		GTEST_SKIP() << why;
	daemonConfig(kd, "a sleep 60\n");
	daemonStart(kd);
	pid_t a = servicePid(kd, "a", patience);
	// A file that no syslog daemon writes any more lies beside the live one, and is the
	// newer of the two, as one just rotated is.
	writeFile(kd.dir + "/log/messages", "Dec  1 09:00:00 host kestord[5]: a[6] started\n");
	Result run = ctl({"-t", "20", "status", "*"}, true);
	EXPECT_EQ(0, exitStatus(run)) << run.err;
	EXPECT_TRUE(std::regex_match(run.out,
	    std::regex("a\\[" + std::to_string(a) + "\\] is started \\(up [0-9]+m?s\\)\n")))
	    << run.out;
}

// A daemon that logs into a journal of the test's own: a journald run in a mount namespace
// whose /run and /var/log/journal are empty and whose /dev/log is the journald's, which the
// daemon and kestorctl enter; the test sends forged lines to its sockets from outside.
struct KestorctlJournalTest : DaemonTest {
	Receiver rx;                   // only for its private /dev
	Child journald;
	std::string root;              // the namespace's root as seen from outside

	void
	SetUp() override
	{
		DaemonTest::SetUp();
		std::string why;
		if (!privateDevUsable(why))
			GTEST_SKIP() << why;
		if (access("/lib/systemd/systemd-journald", X_OK) != 0 ||
		    access("/usr/bin/journalctl", X_OK) != 0)
			GTEST_SKIP() << "no systemd-journald and journalctl";
		receiverInit(rx, kd.dir);
		ASSERT_EQ(0, symlink("/run/systemd/journal/dev-log", (rx.dev + "/log").c_str()));
		std::vector<std::string> args{"-m", "--propagation", "private", "/bin/sh", "-c",
		    "mount -t tmpfs tmpfs /run && { ! [ -d /var/log/journal ] || "
		    "mount -t tmpfs tmpfs /var/log/journal; } && exec \"$@\"",
		    "sh"};
		std::vector<std::string> dev = privateDevWrapper(rx);
		args.insert(args.end(), dev.begin(), dev.end());
		args.push_back("/lib/systemd/systemd-journald");
		journald = spawnProgram("/usr/bin/unshare", args);
		root = "/proc/" + std::to_string(journald.pid) + "/root";
		ASSERT_TRUE(waitUntil(
		    [&] {
			    pump(journald, 0);
			    return fileExists(root + "/run/systemd/journal/socket") &&
				fileExists(root + "/run/systemd/journal/dev-log");
		    },
		    patience))
		    << journald.err;
	}
	void
	TearDown() override
	{
		DaemonTest::TearDown();
		if (journald.pid > 0)
			killChild(journald);
	}

	std::vector<std::string>
	inside(const std::vector<std::string> &command)
	{
		std::vector<std::string> args{"-t", std::to_string(journald.pid), "-m", "--"};
		args.insert(args.end(), command.begin(), command.end());
		return args;
	}
	Result
	ctl(const std::vector<std::string> &args, const std::vector<std::string> &as = {})
	{
		std::vector<std::string> command(as);
		command.insert(command.end(), {KESTORCTL_PATH, "-c", kd.control});
		command.insert(command.end(), args.begin(), args.end());
		return runProgram("/usr/bin/nsenter", inside(command), {}, patience);
	}
	// Sends a datagram to the journal's socket: "dev-log" for syslog, "socket" for its own.
	void
	send(const std::string &socketName, const std::string &datagram)
	{
		struct sockaddr_un addr = {};
		addr.sun_family = AF_UNIX;
		std::string path = root + "/run/systemd/journal/" + socketName;
		ASSERT_LT(path.size(), sizeof(addr.sun_path));
		strcpy(addr.sun_path, path.c_str());
		int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
		ASSERT_NE(-1, fd);
		ssize_t n = sendto(fd, datagram.data(), datagram.size(), 0,
		    reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr));
		close(fd);
		ASSERT_EQ(static_cast<ssize_t>(datagram.size()), n) << strerror(errno);
	}
	// The message of the journal's last entry.
	std::string
	lastMessage()
	{
		return runProgram("/usr/bin/nsenter",
		    inside({"journalctl", "-q", "--no-pager", "-n", "1", "-o", "cat"}))
		    .out;
	}
};

TEST_F(KestorctlJournalTest, CountsTheDaemonsOwnEntriesFromTheLastOne)
{
	daemonConfig(kd, "a sleep 60\nstubborn trap '' TERM; while :; do sleep 1; done\n");
	daemonStart(kd, {}, "", {"/usr/bin/nsenter", "-t", std::to_string(journald.pid), "-m", "--"});
	pid_t a = servicePid(kd, "a", patience), stubborn = servicePid(kd, "stubborn", patience);
	ASSERT_NE(-1, stubborn);
	std::string up = "\\] is started \\(up [0-9]+m?s\\)\n";

	// The journal's last entry is another program's, as after any logger line.
	send("dev-log", "<13>Dec  9 13:00:00 other[1]: hello");
	ASSERT_TRUE(waitUntil([&] { return lastMessage() == "hello\n"; }, patience));
	Result run = ctl({"-t", "20", "status", "*"});
	EXPECT_EQ(0, exitStatus(run)) << run.err;
	EXPECT_TRUE(std::regex_match(run.out, std::regex("stubborn\\[" + std::to_string(stubborn) +
	    up + "a\\[" + std::to_string(a) + up)))
	    << run.out;

	// While kestorctl waits for stubborn, which ignores SIGTERM, to stop, other processes
	// log "stopped" in its name: as kestord with the daemon's pid in the text, and as
	// continuation lines of multi-line entries, by syslog and by the journal's own protocol.
	std::string d = std::to_string(kd.pid), forged = "stubborn[" + std::to_string(stubborn) +
	    "] stopped";
	std::string native = "first\nkestord[" + d + "]: " + forged;
	uint64_t size = native.size();
	Child wait = spawnProgram("/usr/bin/nsenter",
	    inside({KESTORCTL_PATH, "-c", kd.control, "-w", "-t", "2", "stop", "stubborn"}));
	while (!waitExit(wait, 0.05)) {
		send("dev-log", "<29>Dec  9 13:00:00 kestord[" + d + "]: " + forged);
		send("dev-log", "<29>Dec  9 13:00:00 kestord[" + d + "]: first\nkestord[" + d +
			"]: " + forged);
		send("socket", "SYSLOG_IDENTIFIER=kestord\nSYSLOG_PID=" + d + "\nMESSAGE\n" +
			std::string(reinterpret_cast<const char *>(&size), 8) + native + "\n");
	}
	EXPECT_EQ(EX_TEMPFAIL, exitStatus(wait.status));
	EXPECT_EQ("kestorctl: stubborn[" + std::to_string(stubborn) + "] not stopped within 2s\n",
	    wait.err);
	EXPECT_EQ("", wait.out);

	// A user who may write to the pipe but not read the journal is told so at once, and
	// nothing is written: the daemon answers only the markers of the next call.
	ASSERT_EQ(0, chmod(kd.dir.c_str(), 0755));
	ASSERT_EQ(0, chmod(kd.control.c_str(), 0666));
	pump(kd.child, 0.1);
	size_t before = kd.child.err.size();
	run = ctl({"status", "*"}, {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
	EXPECT_EQ(EX_NOPERM, exitStatus(run));
	EXPECT_EQ("kestorctl: no permission to read the journal: root may, and the members of a "
		  "group that may, as a rule systemd-journal or adm\n",
	    run.err);
	EXPECT_LT(run.seconds, 4);
	run = ctl({"status", "a"});
	EXPECT_EQ(0, exitStatus(run)) << run.err;
	std::regex marker("no services matching (kestorctl\\.[0-9]+\\.[0-9a-f]{8})\\.[01]\n");
	std::set<std::string> tokens;
	ASSERT_TRUE(waitUntil(
	    [&] {
		    pump(kd.child, 0);
		    std::string tail = kd.child.err.substr(before);
		    tokens.clear();
		    for (std::sregex_iterator m(tail.begin(), tail.end(), marker), end; m != end; ++m)
			    tokens.insert((*m)[1]);
		    return tail.find(".1\n") != std::string::npos;
	    },
	    patience));
	EXPECT_EQ(1u, tokens.size());
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
		{{"status", std::string(505, 'x')}, "command longer than 511 bytes"},
		{{"-w", "stop", std::string(505, 'x')}, "command longer than 509 bytes"},
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
