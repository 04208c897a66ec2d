// kestord_start_test.cc: the daemon as a black box: its start-up checks and their statuses, how
// it runs each service, detaching, and the shutdown that stops every service.
#include <sys/stat.h>
#include <sys/types.h>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compat.h"
#include "daemon.h"

namespace {

constexpr double patience = 20; // seconds; the machine may be loaded

// What the platform's getopt itself prints for these arguments under kestord's option string.
std::string
getoptDiagnostic(const std::vector<std::string> &args)
{
	std::vector<std::string> copies{KESTORD_PATH};
	copies.insert(copies.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (auto &word : copies)
		argv.push_back(word.data());
	argv.push_back(nullptr);
	testing::internal::CaptureStderr();
	optind = 0;
	opterr = 1;
	while (getopt(static_cast<int>(copies.size()), argv.data(),
	    OPTPREFIX "C:c:df:g:p:r:s:t:u:") != -1)
		;
	optind = 1;
	return testing::internal::GetCapturedStderr();
}

struct StartUpTest : DaemonTest {
	void
	SetUp() override
	{
		DaemonTest::SetUp();
		daemonConfig(kd, "");
	}
	// Runs kestord in the foreground with the test's paths, then the given arguments, which
	// override them; the configuration is empty, so a daemon that wrongly starts runs nothing.
	Result
	kestord(const std::vector<std::string> &args)
	{
		std::vector<std::string> all{"-d"};
		std::vector<std::string> paths = daemonArgs(kd, args);
		all.insert(all.end(), paths.begin(), paths.end());
		return runProgram(KESTORD_PATH, all, {}, patience);
	}
};

TEST_F(StartUpTest, OptionErrorsGetOnlyTheOptionParsersWord)
{
	for (std::vector<std::string> args : {std::vector<std::string>{"-x"},
		 std::vector<std::string>{"-f"}, std::vector<std::string>{"-d", "-Q", "-s", "x"}}) {
		std::string diagnostic = getoptDiagnostic(args);
		ASSERT_NE("", diagnostic);
		Result run = kestord(args);
		EXPECT_EQ(EX_USAGE, exitStatus(run)) << args[0];
		EXPECT_EQ(diagnostic, run.err);
		EXPECT_FALSE(fileExists(kd.control));
		EXPECT_FALSE(fileExists(kd.pidFile));
	}
}

TEST_F(StartUpTest, EachFailureHasItsMessageAndStatus)
{
	std::string missing = kd.dir + "/missing";
	struct {
		std::vector<std::string> args;
		int status;
		std::string message;
		bool pidFileLeft; // start-up failed after taking the pid file
	} cases[] = {
	    {{"-s", "7x,9"}, EX_USAGE, "invalid exit status x,9", false},
	    {{"-s", "64,", "-s", "64,7x,9"}, EX_USAGE, "invalid exit status x,9", false},
	    {{"-f", missing}, EX_NOINPUT, missing + ": No such file or directory", false},
	    {{"-C", missing}, EX_NOINPUT, missing + ": No such file or directory", false},
	    // A file with no execute bit is not searchable, not even for root.
	    {{"-C", kd.config}, EX_NOINPUT, kd.config + ": Permission denied", false},
	    {{"-u", "kestor-no-such-user"}, EX_USAGE, "no such user kestor-no-such-user", false},
	    {{"-g", "kestor-no-such-group"}, EX_USAGE, "no such group kestor-no-such-group",
		false},
	    // Users and groups go by name only, even when the name is a number.
	    {{"-u", "0"}, EX_USAGE, "no such user 0", false},
	    {{"-g", "0"}, EX_USAGE, "no such group 0", false},
	    {{"-p", missing + "/kestord.pid"}, EX_CANTCREAT,
		missing + "/kestord.pid: No such file or directory", false},
	    {{"-p", kd.dir}, EX_CANTCREAT, kd.dir + ": Is a directory", false},
	    {{"-c", missing + "/kestord.pipe"}, EX_CANTCREAT,
		missing + "/kestord.pipe: No such file or directory", true},
	};
	for (auto &c : cases) {
		Result run = kestord(c.args);
		EXPECT_EQ(c.status, exitStatus(run)) << c.message;
		EXPECT_EQ("kestord: " + c.message + "\n", run.err);
		EXPECT_EQ("", run.out);
		EXPECT_FALSE(fileExists(kd.control)) << c.message;
		// What start-up made before it failed stays, and the pid is not written yet.
		EXPECT_EQ(c.pidFileLeft, fileExists(kd.pidFile)) << c.message;
		if (c.pidFileLeft) {
			EXPECT_EQ("", readFile(kd.pidFile));
		}
		unlink(kd.pidFile.c_str());
	}
}

TEST_F(StartUpTest, SecondDaemonOnTheSamePidFileLeavesItAlone)
{
	// Reading stops at the first operand: what follows it is not looked at.
	std::string ignored = kd.dir + "/ignored.pid";
	daemonStart(kd, {"operand", "-Z", "-p", ignored});
	std::string pid = std::to_string(kd.pid);
	ASSERT_TRUE(waitUntil([&] { return readFile(kd.pidFile) == pid; }, patience))
	    << readFile(kd.pidFile);

	std::string otherPipe = kd.dir + "/other.pipe";
	Result run = kestord({"-c", otherPipe});
	EXPECT_EQ(EX_CANTCREAT, exitStatus(run));
	EXPECT_EQ("kestord: " + kd.pidFile + ": file is locked\n", run.err);
	EXPECT_EQ(pid, readFile(kd.pidFile));
	EXPECT_FALSE(fileExists(otherPipe));
	EXPECT_FALSE(fileExists(ignored));
	EXPECT_TRUE(processExists(kd.pid));

	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
	EXPECT_FALSE(fileExists(kd.pidFile));
	EXPECT_FALSE(fileExists(kd.control));
}

TEST_F(StartUpTest, ControlPathMustBeAFifo)
{
	writeFile(kd.control, "not mine");
	Result run = kestord({});
	EXPECT_EQ(EX_CANTCREAT, exitStatus(run));
	EXPECT_EQ("kestord: " + kd.control + ": File exists\nkestord: " + kd.control +
		": not a FIFO\n",
	    run.err);
	EXPECT_EQ("not mine", readFile(kd.control));

	unlink(kd.control.c_str());
	ASSERT_EQ(0, mkdir(kd.control.c_str(), 0700));
	run = kestord({});
	EXPECT_EQ(EX_CANTCREAT, exitStatus(run));
	EXPECT_EQ("kestord: " + kd.control + ": File exists\nkestord: " + kd.control +
		": not a FIFO\n",
	    run.err);
}

TEST_F(StartUpTest, FifoThatALiveDaemonReadsIsItsAlone)
{
	daemonConfig(kd, "idle sleep 1000\n");
	daemonStart(kd);
	pid_t idle = servicePid(kd, "idle", patience);
	ASSERT_GT(idle, 0);

	// A second daemon on the same FIFO, with a pid file of its own: refused, and nothing is
	// made or removed.
	std::string otherPid = kd.dir + "/other.pid";
	Result run = kestord({"-p", otherPid});
	EXPECT_EQ(EX_CANTCREAT, exitStatus(run));
	EXPECT_EQ("kestord: " + kd.control + ": in use: another process reads this FIFO\n", run.err);
	EXPECT_FALSE(fileExists(otherPid));
	ASSERT_TRUE(controlWrite(kd, "status idle\n"));
	EXPECT_TRUE(waitMessage(kd, "idle[" + std::to_string(idle) + "] is started (up ", patience));

	// A FIFO or pid file put in the place of the daemon's own is not the daemon's to remove.
	ASSERT_EQ(0, unlink(kd.control.c_str()));
	ASSERT_EQ(0, mkfifo(kd.control.c_str(), 0600));
	writeFile(kd.dir + "/new.pid", "4242");
	ASSERT_EQ(0, rename((kd.dir + "/new.pid").c_str(), kd.pidFile.c_str()));
	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
	EXPECT_TRUE(fileExists(kd.control));
	EXPECT_EQ("4242", readFile(kd.pidFile));
}

TEST_F(StartUpTest, FifoOfAnotherUserIsRefused)
{
	struct passwd *nobody = getpwnam("nobody");
	if (geteuid() != 0 || nobody == nullptr)
		GTEST_SKIP() << "needs root and the user nobody";
	ASSERT_EQ(0, mkfifo(kd.control.c_str(), 0600));
	ASSERT_EQ(0, chown(kd.control.c_str(), nobody->pw_uid, nobody->pw_gid));
	Result run = kestord({});
	EXPECT_EQ(EX_CANTCREAT, exitStatus(run));
	EXPECT_EQ("kestord: " + kd.control + ": File exists\nkestord: " + kd.control +
		": owned by another user\n",
	    run.err);
	EXPECT_TRUE(fileExists(kd.control));
}

TEST_F(DaemonTest, LeftoverFifoIsReusedAndRemovedAtTheEnd)
{
	ASSERT_EQ(0, mkfifo(kd.control.c_str(), 0600));
	daemonConfig(kd, "idle sleep 1000\n");
	daemonStart(kd);
	EXPECT_TRUE(expectMessage(kd, "kestord: " + kd.control + ": File exists", patience));
	pid_t pid = servicePid(kd, "idle", patience);
	ASSERT_GT(pid, 0);
	// The daemon reads the FIFO it found.
	ASSERT_TRUE(controlWrite(kd, "status idle\n"));
	EXPECT_TRUE(waitMessage(kd, "idle[" + std::to_string(pid) + "] is started (up ", patience));
	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
	EXPECT_FALSE(fileExists(kd.control));
}

// The one line a service writes, once it has been logged.
std::string
outputLine(Daemon &d, const std::string &name)
{
	pid_t pid = servicePid(d, name, patience);
	std::string prefix = name + "[" + std::to_string(pid) + "]: ";
	std::string found;
	if (pid <= 0 || !logContains(d, prefix, patience, &found))
		return "(no output from " + name + ")";
	return found.substr(found.find(prefix) + prefix.size());
}

TEST_F(DaemonTest, ServiceEnvironmentIsFixedAndItsNameIsDollarZero)
{
	struct passwd *pw = getpwuid(getuid());
	ASSERT_NE(nullptr, pw);
	std::string user = pw->pw_name, home = pw->pw_dir;
	// The shell stays the process here, and /proc shows the environment it was given.
	daemonConfig(kd, "env tr \"\\0\" \"\\n\" < /proc/$$/environ; echo end\n"
			 "zero echo \"$0\"; echo end\n"
			 "@zero echo \"$0\"; echo end\n"
			 "bad no-such-command-kestor\n");
	daemonStart(kd, {"-t", "60000"});
	EXPECT_EQ((std::vector<std::string>{"SHELL=/bin/sh",
		      "PATH=/sbin:/bin:/usr/sbin:/usr/bin:/usr/local/sbin:/usr/local/bin",
		      "USER=" + user, "HOME=" + home}),
	    serviceOutput(kd, "env", "end", patience));
	EXPECT_EQ(std::vector<std::string>{"zero"}, serviceOutput(kd, "zero", "end", patience));
	EXPECT_EQ(std::vector<std::string>{"@zero"}, serviceOutput(kd, "@zero", "end", patience));
	// The shell's own complaints begin with the name too.
	std::string complaint = outputLine(kd, "bad");
	EXPECT_EQ(0u, complaint.find("bad: ")) << complaint;
	EXPECT_NE(std::string::npos, complaint.find("no-such-command-kestor")) << complaint;
}

TEST_F(DaemonTest, ServicesStartInTheServiceDirectory)
{
	std::string work = kd.dir + "/work";
	ASSERT_EQ(0, mkdir(work.c_str(), 0755));
	char *real = realpath(work.c_str(), nullptr);
	ASSERT_NE(nullptr, real);
	std::string expected = real;
	free(real);
	daemonConfig(kd, "cwd pwd\n");
	daemonStart(kd, {"-t", "60000", "-C", work}, kd.dir);
	EXPECT_EQ(expected, outputLine(kd, "cwd"));
}

TEST_F(DaemonTest, ServicesStartInTheRootByDefault)
{
	daemonConfig(kd, "cwd pwd\n");
	daemonStart(kd, {"-t", "60000"}, kd.dir);
	EXPECT_EQ("/", outputLine(kd, "cwd"));
}

TEST_F(DaemonTest, ServiceLeadsItsGroupAndHoldsOnlyItsStandardDescriptors)
{
	daemonConfig(kd, "stat cat /proc/self/stat\n"
			 "fds ls /proc/$$/fd; echo end\n");
	daemonStart(kd, {"-t", "60000"});
	pid_t pid = servicePid(kd, "stat", patience);
	std::vector<std::string> stat = words(outputLine(kd, "stat"));
	ASSERT_GE(stat.size(), 6u);
	// pid (comm) state ppid pgrp session: the command itself is the service's process.
	EXPECT_EQ(std::to_string(pid), stat[0]);
	EXPECT_EQ("(cat)", stat[1]);
	EXPECT_EQ(std::to_string(kd.pid), stat[3]);
	EXPECT_EQ(std::to_string(pid), stat[4]);
	EXPECT_EQ((std::vector<std::string>{"0", "1", "2"}), serviceOutput(kd, "fds", "end", patience));
}

TEST_F(DaemonTest, PlainCommandsAreExecdOthersRunAsWritten)
{
	// Each service reads the command line of its process: the shell's, holding the text
	// it was given, or, after "exec ", that of xargs itself. The quoted byte changes
	// nothing for the shell, only for the daemon's choice.
	std::string config = "% : one\n% : two\n";
	struct {
		const char *name;
		const char *byte;
	} cases[] = {{"plain", "+"}, {"semi", ";"}, {"amp", "&"}, {"bar", "|"}, {"open", "("},
	    {"close", ")"}};
	for (auto &c : cases)
		config += std::string(c.name) + " xargs -0 echo \"" + c.byte +
		    "\" < /proc/$$/cmdline\n";
	config += "sleeper sleep 1000\nshell sleep 1000; true\n";
	// Nor does a command whose first word exec cannot run: an assignment, a reserved word,
	// a special built-in. Each runs as written and the shell stays; after exec itself the
	// command has replaced the shell all the same. What the log shows of each, after its
	// name and process id.
	struct {
		const char *name, *command, *logged;
	} kept[] = {
	    {"assign", "PORT=8080 xargs -0 echo = < /proc/$$/cmdline",
		": = /bin/sh -c : one;: two;PORT=8080 xargs -0 echo = < /proc/$$/cmdline assign"},
	    {"bang", "! xargs -0 echo ! < /proc/$$/cmdline",
		": ! /bin/sh -c : one;: two;! xargs -0 echo ! < /proc/$$/cmdline bang"},
	    {"eval", "eval 'xargs -0 echo e < /proc/$$/cmdline'",
		": e /bin/sh -c : one;: two;eval 'xargs -0 echo e < /proc/$$/cmdline' eval"},
	    {"execd", "exec xargs -0 echo x < /proc/$$/cmdline", ": x xargs -0 echo x"},
	    {"exit", "exit 3", " exited 3"},
	    {"colon", ":", " restarting in 1m 0s"},
	};
	for (auto &c : kept)
		config += std::string(c.name) + " " + c.command + "\n";
	daemonConfig(kd, config);
	daemonStart(kd, {"-t", "60000"});
	for (auto &c : kept) {
		pid_t pid = servicePid(kd, c.name, patience);
		EXPECT_TRUE(logContains(kd, c.name + ("[" + std::to_string(pid) + "]") + c.logged,
		    patience))
		    << c.name;
	}

	EXPECT_EQ("+ xargs -0 echo +", outputLine(kd, "plain"));
	for (auto &c : cases) {
		if (std::string(c.name) == "plain")
			continue;
		EXPECT_EQ(std::string(c.byte) + " /bin/sh -c : one;: two;xargs -0 echo \"" + c.byte +
			"\" < /proc/$$/cmdline " + c.name,
		    outputLine(kd, c.name));
	}
	pid_t sleeper = servicePid(kd, "sleeper", patience);
	pid_t shell = servicePid(kd, "shell", patience);
	ASSERT_GT(sleeper, 0);
	ASSERT_GT(shell, 0);
	EXPECT_TRUE(waitUntil([&] {
		return readFile("/proc/" + std::to_string(sleeper) + "/comm") == "sleep\n";
	}, patience));
	// A compound command keeps the shell, which runs sleep as its child; the comm is read
	// once that child exists, since right after the fork it is still the daemon's.
	EXPECT_TRUE(waitUntil([&] { return !childrenOf(shell).empty(); }, patience));
	EXPECT_EQ("sh\n", readFile("/proc/" + std::to_string(shell) + "/comm"));
}

TEST_F(DaemonTest, PrependCommandsRunFirstInFileOrder)
{
	daemonConfig(kd, "% echo first\nlast echo third\n% echo second\n");
	daemonStart(kd, {"-t", "60000"});
	EXPECT_EQ((std::vector<std::string>{"first", "second"}),
	    serviceOutput(kd, "last", "third", patience));
}

TEST_F(DaemonTest, CommandLineMustBeShorterThanItsBuffer)
{
	// With the prepend piece ":;" both services come to exactly commandMax bytes: one
	// through "exec ", the other as written.
	std::string config = "% :\n";
	config += "asis :;#" + std::string(524288 - 2 - 3, 'x') + "\n";
	config += "exec :" + std::string(524288 - 2 - 5 - 1, 'x') + "\n";
	config += "large :;echo large ran #" + std::string(100000, 'x') + "\n";
	daemonConfig(kd, config);
	daemonStart(kd, {"-t", "60000"});
	EXPECT_EQ("large ran", outputLine(kd, "large"));
	for (const char *name : {"asis", "exec"}) {
		pid_t pid = servicePid(kd, name, patience);
		ASSERT_GT(pid, 0);
		std::string service = name + ("[" + std::to_string(pid) + "]");
		EXPECT_EQ("kestord: command truncated", outputLine(kd, name));
		EXPECT_TRUE(logContains(kd, service + " exited 126", patience)) << name;
		EXPECT_TRUE(logContains(kd, service + " stopped", patience)) << name;
	}
}

// The Uid, Gid and Groups lines of /proc/self/status that a service wrote, as words.
std::map<std::string, std::vector<std::string>>
credentials(Daemon &d, const std::string &name)
{
	std::map<std::string, std::vector<std::string>> lines;
	for (auto &line : serviceOutput(d, name, "end", patience)) {
		std::vector<std::string> w = words(line);
		if (!w.empty())
			lines[w[0]] = std::vector<std::string>(w.begin() + 1, w.end());
	}
	return lines;
}

TEST_F(DaemonTest, ServicesRunAsTheServiceUserUnlessPrivileged)
{
	struct passwd *nobody = getpwnam("nobody");
	if (geteuid() != 0 || nobody == nullptr)
		GTEST_SKIP() << "needs root and the user nobody";
	std::string uid = std::to_string(nobody->pw_uid), gid = std::to_string(nobody->pw_gid);
	std::string show = "grep -e ^Uid: -e ^Gid: -e ^Groups: /proc/self/status; echo end\n";
	daemonConfig(kd, "ids " + show + "@ids " + show);
	daemonStart(kd, {"-t", "60000", "-u", "nobody"});

	auto ids = credentials(kd, "ids");
	EXPECT_EQ((std::vector<std::string>{uid, uid, uid, uid}), ids["Uid:"]);
	EXPECT_EQ((std::vector<std::string>{gid, gid, gid, gid}), ids["Gid:"]);
	EXPECT_EQ(std::vector<std::string>{gid}, ids["Groups:"]);

	// The privileged service keeps the credentials of the daemon, which has the test's.
	std::vector<gid_t> groups(getgroups(0, nullptr));
	groups.resize(getgroups(static_cast<int>(groups.size()), groups.data()));
	std::vector<std::string> ours;
	for (gid_t g : groups)
		ours.push_back(std::to_string(g));
	std::sort(ours.begin(), ours.end());
	auto privileged = credentials(kd, "@ids");
	EXPECT_EQ((std::vector<std::string>{"0", "0", "0", "0"}), privileged["Uid:"]);
	std::vector<std::string> theirs = privileged["Groups:"];
	std::sort(theirs.begin(), theirs.end());
	EXPECT_EQ(ours, theirs);
}

// A user of the test's own, known to the daemon only: it runs in a private mount namespace
// whose /etc/passwd and /etc/group are files of the test, in which root's home is a directory
// of the test too.
struct TestUserTest : StartUpTest {
	static constexpr uid_t uid = 48621;
	static constexpr gid_t gid = 48621;
	std::string home, rootHome;
	std::vector<std::string> wrapper;

	void
	SetUp() override
	{
		StartUpTest::SetUp();
		if (geteuid() != 0)
			GTEST_SKIP() << "needs root";
		Result probe = runProgram("/usr/bin/unshare", {"-m", "--propagation", "private",
								 "true"});
		if (exitStatus(probe) != 0)
			GTEST_SKIP() << "unshare -m failed: " << probe.err;
		home = kd.dir + "/home";
		rootHome = kd.dir + "/root";
		std::string passwd = kd.dir + "/passwd", group = kd.dir + "/group";
		std::string ids = std::to_string(uid) + ":" + std::to_string(gid);
		writeFile(passwd, "root:x:0:0:root:" + rootHome + ":/bin/sh\n" +
				      "kestor-test:x:" + ids + ":test:" + home + ":/bin/sh\n");
		writeFile(group, "root:x:0:\nkestor-test:x:" + std::to_string(gid) + ":\n");
		static const char script[] = "mount --bind \"$1\" /etc/passwd || exit 125; "
					     "mount --bind \"$2\" /etc/group || exit 125; "
					     "shift 2; exec \"$@\"";
		wrapper = {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
		    script, "sh", passwd, group};
	}
	// kestord as StartUpTest runs it, in the namespace.
	Result
	kestordWithTestUser(const std::vector<std::string> &args)
	{
		std::vector<std::string> all(wrapper.begin() + 1, wrapper.end());
		all.insert(all.end(), {KESTORD_PATH, "-d"});
		std::vector<std::string> paths = daemonArgs(kd, args);
		all.insert(all.end(), paths.begin(), paths.end());
		return runProgram(wrapper[0], all, {}, patience);
	}
};

TEST_F(TestUserTest, PrivilegedServicesGetUserAndHomeOfTheDaemonsOwnUser)
{
	// A program run as root that trusts HOME must not find the service user's files there.
	std::string env = "tr \"\\0\" \"\\n\" < /proc/$$/environ; echo end\n";
	daemonConfig(kd, "env " + env + "@env " + env);
	daemonStart(kd, {"-t", "60000", "-u", "kestor-test"}, "", wrapper);
	std::string shell = "SHELL=/bin/sh";
	std::string path = "PATH=/sbin:/bin:/usr/sbin:/usr/bin:/usr/local/sbin:/usr/local/bin";
	EXPECT_EQ((std::vector<std::string>{shell, path, "USER=kestor-test", "HOME=" + home}),
	    serviceOutput(kd, "env", "end", patience));
	EXPECT_EQ((std::vector<std::string>{shell, path, "USER=root", "HOME=" + rootHome}),
	    serviceOutput(kd, "@env", "end", patience));
	ASSERT_TRUE(daemonStop(kd, patience));
}

TEST_F(TestUserTest, PidFileMustBeARegularFileOfTheDaemonsUserAndIsLeftAsFound)
{
	// The control pipe cannot be made, so a daemon that took the pid file stops right after.
	std::vector<std::string> args{"-c", kd.dir + "/missing/kestord.pipe"};
	std::string target = kd.dir + "/precious";
	enum class Make { Symlink, HardLink, Theirs, Fifo };
	struct {
		Make make;
		std::string reason;
	} cases[] = {
	    {Make::Symlink, "is a symbolic link"},
	    {Make::HardLink, "is a hard link"},
	    {Make::Theirs, "owned by another user"},
	    {Make::Fifo, "not a regular file"},
	};
	for (auto &c : cases) {
		writeFile(target, "precious");
		unlink(kd.pidFile.c_str());
		switch (c.make) {
		case Make::Symlink:
			ASSERT_EQ(0, symlink(target.c_str(), kd.pidFile.c_str()));
			break;
		case Make::HardLink:
			ASSERT_EQ(0, link(target.c_str(), kd.pidFile.c_str()));
			break;
		case Make::Theirs:
			writeFile(kd.pidFile, "4242");
			ASSERT_EQ(0, chown(kd.pidFile.c_str(), uid, gid));
			break;
		case Make::Fifo:
			ASSERT_EQ(0, mkfifo(kd.pidFile.c_str(), 0600));
			break;
		}
		Result run = kestordWithTestUser(args);
		EXPECT_EQ(EX_CANTCREAT, exitStatus(run)) << c.reason;
		EXPECT_EQ("kestord: " + kd.pidFile + ": " + c.reason + "\n", run.err);
		EXPECT_EQ("precious", readFile(target)) << c.reason;
		struct stat st;
		ASSERT_EQ(0, stat(target.c_str(), &st));
		EXPECT_EQ(0u, st.st_uid) << c.reason;
		if (c.make == Make::Theirs) {
			EXPECT_EQ("4242", readFile(kd.pidFile));
			ASSERT_EQ(0, stat(kd.pidFile.c_str(), &st));
			EXPECT_EQ(uid, st.st_uid);
		}
	}
}

TEST_F(TestUserTest, ConfigurationFileThatOthersCanChangeIsRefused)
{
	// The directory of -C is checked next, so a file that passes ends start-up there.
	std::string missing = kd.dir + "/missing";
	std::string passes = missing + ": No such file or directory";
	struct {
		uid_t owner;
		gid_t group;
		mode_t mode;
		int status;
		std::string message;
	} cases[] = {
	    {0, 0, 0644, EX_NOINPUT, passes},
	    {0, 0, 0664, EX_NOINPUT, passes},
	    {0, gid, 0644, EX_NOINPUT, passes},
	    {uid, gid, 0644, EX_CONFIG, kd.config + ": owned by another user"},
	    {0, gid, 0664, EX_CONFIG, kd.config + ": writable by its group"},
	    {0, 0, 0646, EX_CONFIG, kd.config + ": writable by others"},
	};
	for (auto &c : cases) {
		ASSERT_EQ(0, chown(kd.config.c_str(), c.owner, c.group));
		ASSERT_EQ(0, chmod(kd.config.c_str(), c.mode));
		Result run = kestord({"-C", missing});
		EXPECT_EQ(c.status, exitStatus(run)) << c.message;
		EXPECT_EQ("kestord: " + c.message + "\n", run.err);
		EXPECT_FALSE(fileExists(kd.pidFile)) << c.message;
	}
}

TEST_F(DaemonTest, GroupOptionReplacesTheUsersGroup)
{
	struct passwd *nobody = getpwnam("nobody");
	struct group *group = getgrnam("daemon");
	if (geteuid() != 0 || nobody == nullptr || group == nullptr)
		GTEST_SKIP() << "needs root, the user nobody and the group daemon";
	std::string gid = std::to_string(group->gr_gid);
	daemonConfig(kd, "ids grep -e ^Gid: -e ^Groups: /proc/self/status; echo end\n");
	daemonStart(kd, {"-t", "60000", "-u", "nobody", "-g", "daemon"});
	auto ids = credentials(kd, "ids");
	EXPECT_EQ((std::vector<std::string>{gid, gid, gid, gid}), ids["Gid:"]);
	EXPECT_EQ(std::vector<std::string>{gid}, ids["Groups:"]);
}

TEST_F(DaemonTest, DetachedDaemonKeepsWorkingUntilTerminated)
{
	std::string mark = kd.dir + "/started";
	mkdir((kd.dir + "/work").c_str(), 0700);
	daemonConfig(kd, "mark touch ../started\nidle sleep 1000\n");
	// The files and the service directory given relative to the directory it was started
	// in: detached, the daemon works in /, and still reads that configuration, starts the
	// services in that directory, and removes that pid file, no other, at the end.
	Options in;
	in.dir = kd.dir;
	Result run = runProgram(KESTORD_PATH,
	    daemonArgs(kd, {"-t", "60000", "-p", "kestord.pid", "-f", "kestor.conf", "-C", "work"}),
	    in, patience);
	ASSERT_EQ(0, exitStatus(run)) << run.err;
	EXPECT_EQ("", run.err);

	std::string text;
	ASSERT_TRUE(waitUntil([&] { return !(text = readFile(kd.pidFile)).empty(); }, patience));
	ASSERT_EQ(std::string::npos, text.find_first_not_of("0123456789")) << text;
	kd.pid = atoi(text.c_str());
	ASSERT_TRUE(processExists(kd.pid));
	EXPECT_TRUE(waitUntil([&] { return fileExists(mark); }, patience));
	EXPECT_TRUE(waitUntil([&] { return processTitle(kd.pid) == "kestord: 1/2 services"; },
	    patience))
	    << processTitle(kd.pid);

	std::vector<pid_t> services = childrenOf(kd.pid);
	ASSERT_EQ(1u, services.size());
	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_TRUE(waitUntil([&] { return !processExists(services[0]); }, patience));
	EXPECT_FALSE(fileExists(kd.pidFile));
	EXPECT_FALSE(fileExists(kd.control));
}

TEST_F(DaemonTest, TerminationStopsEveryServiceGroupAndCleansUp)
{
	std::string child = kd.dir + "/child";
	daemonConfig(kd, "one sleep 1000\n"
			 "two sleep 1000 & echo $! > " + child + "; wait\n"
			 "done true; exit 64\n");
	daemonStart(kd);
	pid_t one = servicePid(kd, "one", patience);
	pid_t two = servicePid(kd, "two", patience);
	ASSERT_GT(one, 0);
	ASSERT_GT(two, 0);
	ASSERT_TRUE(logContains(kd, "exited 64", patience));
	EXPECT_TRUE(waitUntil([&] { return processTitle(kd.pid) == "kestord: 2/3 services"; },
	    patience))
	    << processTitle(kd.pid);
	EXPECT_EQ(std::to_string(kd.pid), readFile(kd.pidFile));
	EXPECT_EQ(0u, kd.child.err.find("kestord[" + std::to_string(kd.pid) + "]: ")) << kd.child.err;
	pid_t grandchild = 0;
	ASSERT_TRUE(waitUntil([&] { return (grandchild = atoi(readFile(child).c_str())) > 0; },
	    patience));

	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
	EXPECT_TRUE(logContains(kd, "one[" + std::to_string(one) + "] stopped", patience));
	EXPECT_TRUE(logContains(kd, "two[" + std::to_string(two) + "] stopped", patience));
	EXPECT_FALSE(processExists(one));
	EXPECT_FALSE(processExists(two));
	// The signal went to the group: the shell's own child is gone too.
	EXPECT_TRUE(waitUntil([&] { return !processExists(grandchild); }, patience));
	EXPECT_FALSE(fileExists(kd.pidFile));
	EXPECT_FALSE(fileExists(kd.control));
}

TEST_F(DaemonTest, InterruptShutsDownLikeTermination)
{
	daemonConfig(kd, "idle sleep 1000\n");
	daemonStart(kd);
	pid_t pid = servicePid(kd, "idle", patience);
	ASSERT_GT(pid, 0);
	daemonSignal(kd, SIGINT);
	ASSERT_TRUE(waitExit(kd.child, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
	EXPECT_TRUE(logContains(kd, "idle[" + std::to_string(pid) + "] stopped", patience));
	EXPECT_FALSE(processExists(pid));
	EXPECT_FALSE(fileExists(kd.control));
	EXPECT_FALSE(fileExists(kd.pidFile));
}

TEST_F(DaemonTest, ShutdownWaitsForAServiceThatIgnoresTermination)
{
	std::string armed = kd.dir + "/armed";
	daemonConfig(kd, "stubborn trap \"\" TERM; touch " + armed + "; sleep 4\n");
	daemonStart(kd);
	pid_t pid = servicePid(kd, "stubborn", patience);
	ASSERT_GT(pid, 0);
	ASSERT_TRUE(waitUntil([&] { return fileExists(armed); }, patience));
	EXPECT_TRUE(waitUntil([&] { return processTitle(kd.pid) == "kestord: 1/1 services"; },
	    patience))
	    << processTitle(kd.pid);

	daemonSignal(kd, SIGTERM);
	EXPECT_TRUE(waitUntil([&] { return processTitle(kd.pid) == "kestord: stopping"; },
	    patience))
	    << processTitle(kd.pid);
	EXPECT_TRUE(processExists(pid));
	ASSERT_TRUE(waitExit(kd.child, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
	EXPECT_FALSE(processExists(pid));
	EXPECT_TRUE(logContains(kd, "stubborn[" + std::to_string(pid) + "] stopped", patience));
	EXPECT_FALSE(fileExists(kd.control));
}

// The daemon as the init of a pid namespace of its own, as in a container. The process ids
// it logs are the namespace's, which outside name other processes: the cleanup ends the
// namespace through the group of its starter and leaves those ids alone.
struct InitTest : DaemonTest {
	void
	SetUp() override
	{
		DaemonTest::SetUp();
		Result probe = runProgram("/usr/bin/unshare", {"--pid", "--fork", "--mount-proc", "true"});
		if (exitStatus(probe) != 0)
			GTEST_SKIP() << "needs unshare and a pid namespace: " << probe.err;
	}
	void
	TearDown() override
	{
		killChild(kd.child);
		kd.child.err.clear();
		kd.started.clear();
		kd.services.clear();
		DaemonTest::TearDown();
	}
};

TEST_F(InitTest, ShutdownWaitsForEveryServiceAndNotForOrphans)
{
	// slow needs a while after the TERM; the sleep it leaves behind, whose parent the daemon
	// becomes as the namespace's init, ends at once on the TERM to slow's group.
	daemonConfig(kd, "slow trap 'sleep 2; echo slow done; exit 0' TERM; sh -c 'sleep 1000 &'; "
			 "echo ready; while :; do sleep 0.1; done\n");
	daemonStart(kd, {}, "", {"/usr/bin/unshare", "--pid", "--fork", "--mount-proc"});
	pid_t slow = servicePid(kd, "slow", patience);
	ASSERT_GT(slow, 0);
	std::string tag = "slow[" + std::to_string(slow) + "]";
	ASSERT_TRUE(logContains(kd, tag + ": ready", patience));
	std::vector<pid_t> init = childrenOf(kd.pid);
	ASSERT_EQ(1u, init.size());

	kill(init[0], SIGTERM);
	ASSERT_TRUE(waitExit(kd.child, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
	EXPECT_TRUE(logContains(kd, tag + ": slow done", 0)) << kd.child.err;
	EXPECT_TRUE(logContains(kd, tag + " stopped", 0)) << kd.child.err;
}

} // namespace
