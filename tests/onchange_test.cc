// onchange_test.cc: the event queue the tool is written against, in process, and the tool
// itself as a black box.
#include <sys/event.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "run.h"

namespace {

// One write(2), so one change: a shell's "> file" would truncate first, which is a second one.
void
append(const std::string &path, const std::string &text = "x")
{
	int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
	ASSERT_NE(-1, fd) << path;
	ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
	close(fd);
}

// What a shell's "echo x > file" does: a truncation, then a write. inotify may report the two
// as one change or as two.
void
save(const std::string &path, const std::string &text)
{
	int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
	ASSERT_NE(-1, fd) << path;
	ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
	close(fd);
}

std::vector<std::string>
lines(const std::string &path)
{
	std::istringstream text(readFile(path));
	std::vector<std::string> all;
	for (std::string line; std::getline(text, line);)
		all.push_back(line);
	return all;
}

struct KqueueTest : ::testing::Test {
	std::string dir;
	int kq = -1;
	std::vector<int> fds;

	void
	SetUp() override
	{
		dir = makeTempDir();
		kq = kqueue();
		ASSERT_NE(-1, kq);
	}
	void
	TearDown() override
	{
		for (int fd : fds)
			close(fd);
		close(kq);
		removeTree(dir);
	}
	std::string
	path(const std::string &name)
	{
		return dir + "/" + name;
	}
	// Opens the file (making it when missing) and watches it for writes and removal.
	void
	watch(const std::string &name, const char *udata)
	{
		int fd = open(path(name).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
		ASSERT_NE(-1, fd);
		fds.push_back(fd);
		struct kevent change;
		EV_SET(&change, fd, EVFILT_VNODE, EV_ADD | EV_CLEAR, NOTE_WRITE | NOTE_DELETE, 0,
		    const_cast<char *>(udata));
		ASSERT_EQ(0, kevent(kq, &change, 1, nullptr, 0, nullptr)) << strerror(errno);
	}
	static std::string
	describe(const struct kevent &event)
	{
		std::string text = static_cast<const char *>(event.udata);
		if (event.filter == EVFILT_TIMER)
			return text + " timer";
		if ((event.fflags & NOTE_WRITE) != 0)
			text += " write";
		if ((event.fflags & NOTE_DELETE) != 0)
			text += " delete";
		return text;
	}
	// Takes up to the given number of events, waiting at most the given time for the first.
	std::vector<std::string>
	take(int most = 8, double seconds = 0)
	{
		std::vector<struct kevent> events(most);
		struct timespec timeout = {static_cast<time_t>(seconds), 0};
		int n = kevent(kq, nullptr, 0, events.data(), most, &timeout);
		EXPECT_LE(0, n) << strerror(errno);
		std::vector<std::string> taken;
		for (int i = 0; i < n; i++)
			taken.push_back(describe(events[i]));
		return taken;
	}
	int
	addTimer(uintptr_t ident, int64_t ms, const char *udata,
	    unsigned short flags = EV_ADD | EV_ONESHOT, unsigned int fflags = 0)
	{
		struct kevent change;
		EV_SET(&change, ident, EVFILT_TIMER, flags, fflags, ms, const_cast<char *>(udata));
		return kevent(kq, &change, 1, nullptr, 0, nullptr);
	}
};

using Events = std::vector<std::string>;

TEST_F(KqueueTest, ChangesMergeIntoOneEventPerWatch)
{
	EXPECT_NE(0, fcntl(kq, F_GETFD) & FD_CLOEXEC);
	watch("a", "a");
	append(path("a"));
	// The same file again is a watch of its own, which sees no change made before it.
	watch("a", "a2");
	EXPECT_EQ(Events({"a write"}), take());
	watch("b", "b");
	watch("c", "c");

	// Events come out in the order of each watch's first change.
	append(path("a"));
	append(path("b"));
	ASSERT_EQ(0, unlink(path("b").c_str()));
	append(path("a"));
	append(path("a"));
	// Neither a new mode nor a new name is asked for, and a file put under the old name is
	// not the one watched.
	ASSERT_EQ(0, chmod(path("c").c_str(), 0600));
	ASSERT_EQ(0, rename(path("c").c_str(), path("c.old").c_str()));
	writeFile(path("c"), "");
	append(path("c"));
	EXPECT_EQ(Events({"a write", "a2 write", "b write delete"}), take());
	EXPECT_EQ(Events(), take());

	// An editor's save: a new file renamed over the watched one removes it.
	writeFile(path("a.tmp"), "new");
	ASSERT_EQ(0, rename(path("a.tmp").c_str(), path("a").c_str()));
	append(path("c.old"));
	EXPECT_EQ(Events({"a delete", "a2 delete", "c write"}), take());
	// A removed file is removed once, whatever is done to it afterwards.
	ASSERT_EQ(0, fchmod(fds[0], 0600));
	EXPECT_EQ(Events(), take());
}

TEST_F(KqueueTest, BlockingWaitHandsOutOneEventAtATime)
{
	watch("a", "a");
	watch("b", "b");
	append(path("b"));
	append(path("a"));
	EXPECT_EQ(Events({"b write"}), take(1, 10));
	EXPECT_EQ(Events({"a write"}), take(1, 10));

	// The timer comes through the same wait, once, and carries its own udata.
	double start = monotonicSeconds();
	ASSERT_EQ(0, addTimer(0, 150, "t"));
	struct kevent event;
	ASSERT_EQ(1, kevent(kq, nullptr, 0, &event, 1, nullptr));
	EXPECT_GE(monotonicSeconds() - start, 0.15);
	EXPECT_EQ("t timer", describe(event));
	EXPECT_EQ(Events(), take());

	// A write ends a wait that has already begun.
	std::thread writer([this] {
		sleepSeconds(0.2);
		append(path("a"));
	});
	Events woken = take(1, 10);
	writer.join();
	EXPECT_EQ(Events({"a write"}), woken);
}

TEST_F(KqueueTest, BurstLongerThanOneReadIsStillOneEventPerWatch)
{
	watch("a", "a");
	watch("b", "b");
	// Alternate files keep inotify from merging them: 600 events, more than one read holds.
	for (int i = 0; i < 300; i++) {
		append(path("a"));
		append(path("b"));
	}
	EXPECT_EQ(Events({"a write", "b write"}), take());
	EXPECT_EQ(Events(), take());
}

TEST_F(KqueueTest, TimerRefusesANegativePeriod)
{
	errno = 0;
	EXPECT_EQ(-1, addTimer(0, -1, "t"));
	EXPECT_EQ(EINVAL, errno);
	EXPECT_EQ(0, addTimer(0, 0, "t"));
	EXPECT_EQ(Events({"t timer"}), take(1, 10));
}

TEST_F(KqueueTest, RefusesWhatItDoesNotEmulate)
{
#ifdef HAVE_KQUEUE
	GTEST_SKIP() << "the platform's own kqueue does all of this";
#endif
	watch("a", "a");
	int fd = fds[0];
	struct kevent change;
	auto refused = [&](int expected) {
		errno = 0;
		return kevent(kq, &change, 1, nullptr, 0, nullptr) == -1 && errno == expected;
	};
	EV_SET(&change, fd, EVFILT_VNODE, EV_ADD, NOTE_WRITE, 0, nullptr);
	EXPECT_TRUE(refused(EINVAL)) << "no EV_CLEAR";
	EV_SET(&change, fd, EVFILT_VNODE, EV_ADD | EV_CLEAR, NOTE_WRITE | 0x0008, 0, nullptr);
	EXPECT_TRUE(refused(EINVAL)) << "another note";
	EV_SET(&change, fd, EVFILT_VNODE, EV_ADD | EV_CLEAR, 0, 0, nullptr);
	EXPECT_TRUE(refused(EINVAL)) << "no note";
	EV_SET(&change, fd, -1, EV_ADD, 0, 0, nullptr);
	EXPECT_TRUE(refused(EINVAL)) << "another filter";
	EV_SET(&change, static_cast<uintptr_t>(-1), EVFILT_VNODE, EV_ADD | EV_CLEAR, NOTE_WRITE, 0,
	    nullptr);
	EXPECT_TRUE(refused(EBADF)) << "no descriptor";
	EXPECT_EQ(-1, addTimer(0, 100, "t", EV_ADD));
	EXPECT_EQ(-1, addTimer(0, 100, "t", EV_ADD | EV_ONESHOT, 1));
	ASSERT_EQ(0, addTimer(0, 10000, "t"));
	EXPECT_EQ(-1, addTimer(1, 100, "u")) << "a second timer";
	struct kevent event;
	errno = 0;
	EXPECT_EQ(-1, kevent(fd, nullptr, 0, &event, 1, nullptr));
	EXPECT_EQ(EBADF, errno) << "not a queue";
	// Nothing refused was kept.
	append(path("a"));
	EXPECT_EQ(Events({"a write"}), take());
}

// The tool as a black box, run in a fresh directory holding the empty files a, b and c.
struct OnchangeTest : ::testing::Test {
	std::string dir;
	std::deque<Child> children;
	// Records each run in "runs": the number of words after its own, and those words.
	const std::vector<std::string> record = {"sh", "-c", "echo \"$#:$*\" >> runs", "sh"};
	// The same, but the first run that gets a path waits until the file "go" exists.
	const std::vector<std::string> recordAndHold = {"sh", "-c",
	    "echo \"$#:$*\" >> runs; if [ $# = 1 ] && [ ! -e once ]; then touch once; "
	    "while [ ! -e go ]; do sleep 0.02; done; fi",
	    "sh"};

	void
	SetUp() override
	{
		dir = makeTempDir();
		for (auto name : {"a", "b", "c"})
			writeFile(path(name), "");
	}
	void
	TearDown() override
	{
		for (auto &child : children)
			killChild(child);
		removeTree(dir);
	}
	std::string
	path(const std::string &name)
	{
		return dir + "/" + name;
	}
	static std::vector<std::string>
	cat(std::vector<std::string> options, const std::vector<std::string> &command)
	{
		options.insert(options.end(), command.begin(), command.end());
		return options;
	}
	Child &
	start(const std::vector<std::string> &args)
	{
		Options options;
		options.dir = dir;
		children.push_back(spawnProgram(ONCHANGE_PATH, args, options));
		return children.back();
	}
	Result
	run(const std::vector<std::string> &args)
	{
		Options options;
		options.dir = dir;
		return runProgram(ONCHANGE_PATH, args, options, 10);
	}
	std::vector<std::string>
	runs()
	{
		return lines(path("runs"));
	}
	bool
	waitRuns(size_t n)
	{
		return waitUntil([&] { return runs().size() >= n; }, 10);
	}
	// Writes to the file every tenth of a second until the tool ends; a first write may
	// come before the watch is in place.
	bool
	writeUntilExit(Child &tool, const std::string &name)
	{
		double deadline = monotonicSeconds() + 10;
		while (monotonicSeconds() < deadline) {
			append(path(name));
			if (waitExit(tool, 0.1))
				return true;
		}
		return false;
	}
};

TEST_F(OnchangeTest, StartUpChecksComeInOrder)
{
	struct {
		std::vector<std::string> args;
		int status;
		std::string message;
	} cases[] = {
	    {{}, EX_USAGE, "onchange: command required\n"},
	    {{"-a", "-i", "-d", "5", "-f", "a"}, EX_USAGE, "onchange: command required\n"},
	    // Each file is opened when its option is read: before the check for a command,
	    // and before any later option is looked at.
	    {{"-f", "missing"}, EX_TEMPFAIL, "onchange: missing: No such file or directory\n"},
	    {{"-f", "a", "-f", "missing", "-x", "true"}, EX_TEMPFAIL,
		"onchange: missing: No such file or directory\n"},
	};
	for (auto &c : cases) {
		Result result = run(c.args);
		EXPECT_EQ(c.status, exitStatus(result)) << c.message;
		EXPECT_EQ(c.message, result.err);
	}
	// The option parser's own complaint, and nothing of the tool's.
	for (auto &args : {std::vector<std::string>{"-x", "true"}, std::vector<std::string>{"-f"},
		 std::vector<std::string>{"-f", "a", "-d"}}) {
		Result result = run(args);
		EXPECT_EQ(EX_USAGE, exitStatus(result)) << args[0];
		EXPECT_EQ(1, std::count(result.err.begin(), result.err.end(), '\n')) << result.err;
		EXPECT_EQ(std::string::npos, result.err.find("command required"));
	}
}

TEST_F(OnchangeTest, RunsOncePerWrite)
{
	start(cat({"-i", "-a", "-f", "a", "-f", "b"}, record));
	ASSERT_TRUE(waitRuns(1)) << "initial run";
	for (size_t n = 2; n <= 4; n++) {
		append(path("a"));
		ASSERT_TRUE(waitRuns(n));
	}
	// A run left over from the writes to a would come before this one.
	append(path("b"));
	ASSERT_TRUE(waitRuns(5));
	EXPECT_EQ(Events({"0:", "1:a", "1:a", "1:a", "1:b"}), runs());
}

TEST_F(OnchangeTest, ShellSaveIsOneWriteAndTruncationNone)
{
	start(cat({"-i", "-a", "-f", "a", "-f", "b"}, record));
	ASSERT_TRUE(waitRuns(1));
	Events expected = {"0:"};
	for (int n = 1; n <= 50; n++) {
		double saved = monotonicSeconds();
		save(path("a"), "x\n");
		expected.push_back("1:a");
		ASSERT_TRUE(waitRuns(expected.size())) << n;
		sleepSeconds(std::max(0.0, saved + 0.1 - monotonicSeconds()));
	}
	// A truncation alone is no write. A run left over from the saves, or brought by the
	// truncation, would come before b's.
	save(path("a"), "");
	append(path("b"));
	expected.push_back("1:b");
	ASSERT_TRUE(waitRuns(expected.size()));
	EXPECT_EQ(expected, runs());
}

TEST_F(OnchangeTest, InitialRunGetsNoPathAndItsWritesBringARun)
{
	start({"-i", "-a", "-f", "./a", "sh", "-c",
	    "echo \"$#:$*\" >> runs; [ -e once ] || { touch once; printf x >> a; }", "sh"});
	ASSERT_TRUE(waitRuns(2));
	EXPECT_EQ(Events({"0:", "1:./a"}), runs());

	Result failing = run({"-i", "-f", "a", "sh", "-c", "exit 5"});
	EXPECT_EQ(5, exitStatus(failing));
	EXPECT_EQ("", failing.err);
}

TEST_F(OnchangeTest, AppendsThePathAsWritten)
{
	writeFile(path("rec.sh"), "echo \"$0 $#:$*\" >> runs\n");
	ASSERT_EQ(0, mkdir(path("sub").c_str(), 0755));
	start({"-i", "-a", "-f", "./a", "-f", "sub/../b", "sh", "rec.sh"});
	ASSERT_TRUE(waitRuns(1));
	append(path("a"));
	ASSERT_TRUE(waitRuns(2));
	append(path("b"));
	ASSERT_TRUE(waitRuns(3));
	EXPECT_EQ(Events({"rec.sh 0:", "rec.sh 1:./a", "rec.sh 1:sub/../b"}), runs());
}

TEST_F(OnchangeTest, DelayGathersWritesIntoOneRun)
{
	start(cat({"-i", "-d", "500", "-a", "-f", "a", "-f", "b", "-f", "c"}, recordAndHold));
	ASSERT_TRUE(waitRuns(1));

	// Three quick writes: one run, the delay after the first, with the first one's path.
	double first = monotonicSeconds();
	append(path("a"));
	append(path("a"));
	append(path("b"));
	ASSERT_TRUE(waitRuns(2));
	double ran = monotonicSeconds() - first;
	EXPECT_GE(ran, 0.5);
	EXPECT_LT(ran, 8);

	// A write while that run is held: one more delay, then one more run.
	append(path("b"));
	double released = monotonicSeconds();
	writeFile(path("go"), "");
	ASSERT_TRUE(waitRuns(3));
	EXPECT_GE(monotonicSeconds() - released, 0.5);

	append(path("c"));
	ASSERT_TRUE(waitRuns(4));
	EXPECT_EQ(Events({"0:", "1:a", "1:b", "1:c"}), runs());
}

TEST_F(OnchangeTest, WritesDuringARunBringOneRunPerFile)
{
	start(cat({"-i", "-a", "-f", "a", "-f", "b", "-f", "c"}, recordAndHold));
	ASSERT_TRUE(waitRuns(1));
	append(path("a"));
	ASSERT_TRUE(waitRuns(2));
	for (int i = 0; i < 3; i++)
		append(path("a"));
	append(path("b"));
	append(path("b"));
	writeFile(path("go"), "");
	ASSERT_TRUE(waitRuns(4));
	append(path("c"));
	ASSERT_TRUE(waitRuns(5));
	EXPECT_EQ(Events({"0:", "1:a", "1:a", "1:b", "1:c"}), runs());
}

TEST_F(OnchangeTest, RemovalEndsTheTool)
{
	struct {
		const char *name;
		const char *delay;
		std::function<void()> remove;
		const char *link = nullptr; // a second name of b, made before the tool starts
	} cases[] = {
	    {"unlink", "0", [&] { unlink(path("b").c_str()); }},
	    {"rename over", "0",
		[&] {
			writeFile(path("b.tmp"), "new");
			rename(path("b.tmp").c_str(), path("b").c_str());
		}},
	    // The write to a begins a delay; the removal ends it, and its run is not made.
	    {"during a delay", "20000",
		[&] {
			append(path("a"));
			unlink(path("b").c_str());
		}},
	    // Any name of the file, not only its last.
	    {"one of two names", "0", [&] { unlink(path("b2").c_str()); }, "b2"},
	};
	for (auto &c : cases) {
		writeFile(path("b"), "");
		if (c.link != nullptr) {
			ASSERT_EQ(0, link(path("b").c_str(), path(c.link).c_str())) << c.name;
		}
		unlink(path("runs").c_str());
		Child &tool = start(cat({"-i", "-d", c.delay, "-f", "a", "-f", "b"}, record));
		ASSERT_TRUE(waitRuns(1)) << c.name;
		double removed = monotonicSeconds();
		c.remove();
		ASSERT_TRUE(waitExit(tool, 10)) << c.name;
		EXPECT_LT(monotonicSeconds() - removed, 10) << c.name;
		EXPECT_EQ(EX_TEMPFAIL, exitStatus(tool.status)) << c.name;
		EXPECT_EQ("onchange: b: file removed\n", tool.err) << c.name;
		EXPECT_EQ(Events({"0:"}), runs()) << c.name;
	}
}

TEST_F(OnchangeTest, WriteAndRemovalTogetherCountAsRemoval)
{
	// The initial run writes to a and removes it; a second run would end the tool with 9.
	Result result = run({"-i", "-f", "a", "sh", "-c",
	    "[ -e once ] && exit 9; touch once; printf x >> a; rm a"});
	EXPECT_EQ(EX_TEMPFAIL, exitStatus(result));
	EXPECT_EQ("onchange: a: file removed\n", result.err);
}

TEST_F(OnchangeTest, WatchFollowsTheFileOpened)
{
	start(cat({"-i", "-a", "-f", "a", "-f", "b"}, record));
	ASSERT_TRUE(waitRuns(1));
	ASSERT_EQ(0, rename(path("a").c_str(), path("old").c_str()));
	writeFile(path("a"), "");
	append(path("a"));
	append(path("old"));
	ASSERT_TRUE(waitRuns(2));
	append(path("b"));
	ASSERT_TRUE(waitRuns(3));
	EXPECT_EQ(Events({"0:", "1:a", "1:b"}), runs());
}

TEST_F(OnchangeTest, SameFileTwiceIsWatchedTwice)
{
	// Without a delay each watch brings a run; with one the second event falls in the delay.
	for (const char *delay : {"0", "300"}) {
		unlink(path("runs").c_str());
		Child &tool = start(
		    cat({"-i", "-d", delay, "-a", "-f", "a", "-f", "./a", "-f", "b"}, record));
		ASSERT_TRUE(waitRuns(1));
		size_t expected = delay[0] == '0' ? 3 : 2;
		append(path("a"));
		ASSERT_TRUE(waitRuns(expected)) << delay;
		append(path("b"));
		ASSERT_TRUE(waitRuns(expected + 1)) << delay;
		Events seen = runs();
		ASSERT_EQ(expected + 1, seen.size()) << delay;
		EXPECT_EQ("1:b", seen.back());
		Events middle(seen.begin() + 1, seen.end() - 1);
		std::sort(middle.begin(), middle.end());
		if (expected == 3)
			EXPECT_EQ(Events({"1:./a", "1:a"}), middle);
		else
			EXPECT_TRUE(middle[0] == "1:a" || middle[0] == "1:./a") << middle[0];
		killChild(tool);
	}
}

TEST_F(OnchangeTest, OptionsAfterTheCommandWordAreTheCommands)
{
	Child &tool = start({"-f", "a", "sh", "-c", "echo \"$*\" > args; exit 3", "sh", "-i", "-d",
	    "5", "-f", "b"});
	ASSERT_TRUE(writeUntilExit(tool, "a"));
	EXPECT_EQ(3, exitStatus(tool.status));
	EXPECT_EQ("-i -d 5 -f b\n", readFile(path("args")));
}

TEST_F(OnchangeTest, CommandStatusEndsTheTool)
{
	struct {
		std::vector<std::string> command;
		int status;
		std::string message;
	} cases[] = {
	    {{"sh", "-c", "exit 3"}, 3, ""},
	    {{"no-such-command-here"}, 126,
		"onchange: no-such-command-here: No such file or directory\n"},
	    // A killed command gives its raw wait status: the signal number.
	    {{"sh", "-c", "kill -TERM $$"}, 15, ""},
	    {{"sh", "-c", "kill -KILL $$"}, 9, ""},
	};
	for (auto &c : cases) {
		Result result = run(cat({"-i", "-f", "a"}, c.command));
		EXPECT_TRUE(WIFEXITED(result.status)) << c.command[0];
		EXPECT_EQ(c.status, exitStatus(result)) << c.command.back();
		EXPECT_EQ(c.message, result.err);
	}
	// And the same after a change, without -i.
	Child &tool = start({"-f", "a", "no-such-command-here"});
	ASSERT_TRUE(writeUntilExit(tool, "a"));
	EXPECT_EQ(126, exitStatus(tool.status));
	EXPECT_EQ("onchange: no-such-command-here: No such file or directory\n", tool.err);
}

TEST_F(OnchangeTest, CommandIsFoundAndRunAsExecvpRunsIt)
{
	// Found through PATH, a script without "#!" goes to the shell, in the tool's environment.
	ASSERT_EQ(0, mkdir(path("bin").c_str(), 0755));
	writeFile(path("bin/greet"), "echo \"$GREETING\"; exit 6\n");
	writeFile(path("bin/plain"), "exit 0\n");
	ASSERT_EQ(0, chmod(path("bin/greet").c_str(), 0755));
	Options options;
	options.dir = dir;
	options.clearEnv = true;
	options.env = {"PATH=" + path("bin") + ":/usr/bin:/bin", "GREETING=hello"};
	Result result = runProgram(ONCHANGE_PATH, {"-i", "-f", "a", "greet"}, options, 10);
	EXPECT_EQ(6, exitStatus(result)) << result.err;
	EXPECT_EQ("hello\n", result.out);

	// A file that may not be executed is the system's refusal, reported for the child.
	result = runProgram(ONCHANGE_PATH, {"-i", "-f", "a", "bin/plain"}, options, 10);
	EXPECT_EQ(126, exitStatus(result));
	EXPECT_EQ("onchange: bin/plain: Permission denied\n", result.err);
}

TEST_F(OnchangeTest, DelayTakesTheLastOptionAndTextWithoutDigitsIsNone)
{
	start(cat({"-i", "-d", "60000", "-d", "soon", "-a", "-f", "a"}, record));
	ASSERT_TRUE(waitRuns(1));
	append(path("a"));
	ASSERT_TRUE(waitRuns(2)) << "still waiting out the first -d";
	EXPECT_EQ(Events({"0:", "1:a"}), runs());
}

TEST_F(OnchangeTest, NegativeDelayIsRefusedByTheTimer)
{
	Child &tool = start({"-d", "-5", "-f", "a", "sh", "-c", "touch ran"});
	ASSERT_TRUE(writeUntilExit(tool, "a"));
	EXPECT_EQ(EX_OSERR, exitStatus(tool.status));
	EXPECT_EQ("onchange: kevent: Invalid argument\n", tool.err);
	EXPECT_FALSE(fileExists(path("ran")));
}

// What /proc tells of a process: a field of its status file, or its state letter.
long
statusField(pid_t pid, const std::string &field)
{
	for (auto &line : lines("/proc/" + std::to_string(pid) + "/status"))
		if (line.compare(0, field.size() + 1, field + ":") == 0)
			return std::stol(line.substr(field.size() + 1));
	return -1;
}

long
contextSwitches(pid_t pid)
{
	return statusField(pid, "voluntary_ctxt_switches") +
	    statusField(pid, "nonvoluntary_ctxt_switches");
}

// The count of context switches once the process has slept a fifth of a second through.
long
settledSwitches(pid_t pid)
{
	long last = contextSwitches(pid);
	double deadline = monotonicSeconds() + 10;
	while (monotonicSeconds() < deadline) {
		sleepSeconds(0.2);
		long now = contextSwitches(pid);
		if (now == last)
			return now;
		last = now;
	}
	return -1;
}

TEST_F(OnchangeTest, IdleToolSleepsUntilSomethingHappens)
{
	if (access("/proc/self/status", R_OK) != 0)
		GTEST_SKIP() << "no /proc";
	Child &tool = start(cat({"-i", "-d", "30000", "-f", "a"}, record));
	ASSERT_TRUE(waitRuns(1));

	long waiting = settledSwitches(tool.pid);
	ASSERT_NE(-1, waiting);
	sleepSeconds(2);
	EXPECT_EQ(waiting, contextSwitches(tool.pid)) << "woke while waiting";

	// A write wakes it once; then it sleeps through the delay.
	append(path("a"));
	ASSERT_TRUE(waitUntil([&] { return contextSwitches(tool.pid) > waiting; }, 10));
	long delaying = settledSwitches(tool.pid);
	ASSERT_NE(-1, delaying);
	sleepSeconds(2);
	EXPECT_EQ(delaying, contextSwitches(tool.pid)) << "woke during the delay";
	EXPECT_EQ(Events({"0:"}), runs());
	EXPECT_TRUE(processExists(tool.pid));
}

TEST_F(OnchangeTest, CommandInheritsNeitherQueueNorWatchedFiles)
{
	if (access("/proc/self/fd", R_OK) != 0)
		GTEST_SKIP() << "no /proc";
	Child &tool = start({"-i", "-f", "a", "-f", "b", "sleep", "60"});
	std::string proc = "/proc/" + std::to_string(tool.pid);
	pid_t command = -1;
	ASSERT_TRUE(waitUntil(
	    [&] {
		    std::istringstream children(
			readFile(proc + "/task/" + std::to_string(tool.pid) + "/children"));
		    if (!(children >> command))
			    return false;
		    // Until exec the child still holds everything.
		    char exe[256];
		    std::string link = "/proc/" + std::to_string(command) + "/exe";
		    ssize_t n = readlink(link.c_str(), exe, sizeof(exe) - 1);
		    return n > 0 && std::string(exe, n).find("sleep") != std::string::npos;
	    },
	    10));
	std::string fdDir = "/proc/" + std::to_string(command) + "/fd";
	std::vector<std::string> held;
	for (int fd = 0; fd < 256; fd++) {
		char target[512];
		std::string link = fdDir + "/" + std::to_string(fd);
		ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
		if (n > 0)
			held.push_back(std::string(target, n));
	}
	ASSERT_GE(held.size(), 3u);
	for (auto &target : held) {
		EXPECT_EQ(std::string::npos, target.find("inotify")) << target;
		EXPECT_EQ(std::string::npos, target.find("timerfd")) << target;
		EXPECT_EQ(std::string::npos, target.find("eventpoll")) << target;
		EXPECT_NE(path("a"), target);
		EXPECT_NE(path("b"), target);
	}
}

} // namespace
