// kestord_fault_test.cc: the daemon against faults and hostile input, as a black box: forks
// and descriptors running out, services that resist or escape their stop, garbage and floods
// on the control pipe, a configuration file that goes bad at reload, a shutdown in the middle
// of a restart storm; and the privileges it hands its services.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon.h"
#include "run.h"

namespace {

constexpr double patience = 20; // seconds; the machine may be loaded

// The words after the field's name in /proc/PID/status, e.g. "VmRSS:" or "Uid:".
std::vector<std::string>
statusField(pid_t pid, const std::string &field)
{
	std::istringstream lines(readFile("/proc/" + std::to_string(pid) + "/status"));
	for (std::string line; std::getline(lines, line);)
		if (line.compare(0, field.size(), field) == 0)
			return words(line.substr(field.size()));
	return {};
}

// Counted from the page tables: the status file's VmRSS is kept per processor and may be off
// by some hundred kilobytes on a recent kernel.
long
residentKiB(pid_t pid)
{
	std::istringstream lines(readFile("/proc/" + std::to_string(pid) + "/smaps_rollup"));
	for (std::string line; std::getline(lines, line);)
		if (line.compare(0, 4, "Rss:") == 0)
			return atol(line.c_str() + 4);
	return -1;
}

// The processor time the process has used, user and system together.
double
cpuSeconds(pid_t pid)
{
	std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
	std::vector<std::string> fields = words(stat.substr(stat.rfind(')') + 1));
	// After the command name: state is field 3, utime 14 and stime 15.
	if (fields.size() < 13)
		return -1;
	return (atof(fields[11].c_str()) + atof(fields[12].c_str())) / sysconf(_SC_CLK_TCK);
}

std::vector<int>
openDescriptors(pid_t pid)
{
	std::vector<int> fds;
	if (DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
		while (struct dirent *entry = readdir(dir))
			if (entry->d_name[0] != '.')
				fds.push_back(atoi(entry->d_name));
		closedir(dir);
	}
	std::sort(fds.begin(), fds.end());
	return fds;
}

// The processes whose working directory is dir: what services started there left behind.
std::vector<pid_t>
processesIn(const std::string &dir)
{
	std::vector<pid_t> found;
	if (DIR *proc = opendir("/proc")) {
		while (struct dirent *entry = readdir(proc)) {
			pid_t pid = atoi(entry->d_name);
			if (pid <= 0)
				continue;
			char target[4096];
			std::string link = "/proc/" + std::string(entry->d_name) + "/cwd";
			ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
			if (n > 0 && std::string(target, n) == dir && processExists(pid))
				found.push_back(pid);
		}
		closedir(proc);
	}
	return found;
}

// How many processes run with the real user id uid.
int
processesOf(uid_t uid)
{
	int count = 0;
	if (DIR *proc = opendir("/proc")) {
		while (struct dirent *entry = readdir(proc)) {
			pid_t pid = atoi(entry->d_name);
			if (pid <= 0)
				continue;
			std::vector<std::string> ids = statusField(pid, "Uid:");
			if (!ids.empty() && ids[0] == std::to_string(uid))
				count++;
		}
		closedir(proc);
	}
	return count;
}

std::string
pidText(pid_t pid)
{
	return std::to_string(pid);
}

std::string
realPath(const std::string &path)
{
	char *real = realpath(path.c_str(), nullptr);
	std::string result = real != nullptr ? real : path;
	free(real);
	return result;
}

// Waits until the daemon reads its control pipe: a command that names no service is
// answered once it has been read.
bool
daemonReady(Daemon &d)
{
	if (!waitUntil([&] { return controlWrite(d, "status ready-probe\n"); }, patience))
		return false;
	return expectMessage(d, "no services matching ready-probe", patience);
}

// Writes everything into the control pipe, as fast as the daemon reads it, while reading the
// daemon's log so that it never waits on its standard error; false when the writes stopped
// getting through.
bool
controlFlood(Daemon &d, const std::string &bytes)
{
	int fd = open(d.control.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd == -1)
		return false;
	double deadline = monotonicSeconds() + 4 * patience;
	size_t done = 0;
	while (done < bytes.size() && monotonicSeconds() < deadline) {
		ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
		if (n > 0)
			done += n;
		else if (n == -1 && errno != EAGAIN)
			break;
		else
			pump(d.child, 0.002);
	}
	close(fd);
	return done == bytes.size();
}

// Asks for the status of every service and collects the answers, by name; the answer to a
// pattern that matches nothing marks their end.
std::map<std::string, std::string>
statusAll(Daemon &d)
{
	std::map<std::string, std::string> status;
	if (!controlWrite(d, "status *\nstatus end-probe\n"))
		return status;
	std::string message;
	while (nextMessage(d, message, patience) && message != "no services matching end-probe") {
		size_t open = message.find('[');
		size_t is = message.find("] is ");
		if (open != std::string::npos && is != std::string::npos && open < is)
			status[message.substr(0, open)] = message.substr(open);
	}
	return status;
}

// The lines logged as output of the given process of the service, read from the log
// without handing messages out, until the line last; those before it.
std::vector<std::string>
outputOf(Daemon &d, const std::string &name, pid_t pid, const std::string &last)
{
	std::string prefix = name + "[" + pidText(pid) + "]: ";
	std::vector<std::string> lines;
	double deadline = monotonicSeconds() + patience;
	std::string message;
	while (nextMessage(d, message, deadline - monotonicSeconds())) {
		if (message.compare(0, prefix.size(), prefix) != 0)
			continue;
		std::string text = message.substr(prefix.size());
		if (text == last)
			return lines;
		lines.push_back(text);
	}
	lines.push_back("(no " + last + " from " + name + ")");
	return lines;
}

// Waits until a reload has made the service known: the SIGHUP and a command written after it
// may be taken in either order.
bool
serviceKnown(Daemon &d, const std::string &name)
{
	double deadline = monotonicSeconds() + patience;
	while (monotonicSeconds() < deadline) {
		if (!controlWrite(d, "status " + name + "\n"))
			return false;
		std::string message;
		while (nextMessage(d, message, deadline - monotonicSeconds())) {
			if (message == "no services matching " + name)
				break;
			if (message.compare(0, name.size() + 1, name + "[") == 0 &&
			    message.find("] is ") != std::string::npos)
				return true;
		}
		sleepSeconds(0.05);
	}
	return false;
}

// Hands out messages until one begins with "name[" and ends with "] started"; its pid.
pid_t
nextStart(Daemon &d, const std::string &name)
{
	double deadline = monotonicSeconds() + patience;
	std::string message;
	std::string head = name + "[", tail = "] started";
	while (nextMessage(d, message, deadline - monotonicSeconds()))
		if (message.size() > head.size() + tail.size() &&
		    message.compare(0, head.size(), head) == 0 &&
		    message.compare(message.size() - tail.size(), tail.size(), tail) == 0)
			return atoi(message.c_str() + head.size());
	return -1;
}

struct passwd *
nobody()
{
	return getpwnam("nobody");
}

// A daemon run as the user nobody, started through setpriv, which drops every privilege
// before it runs kestord in the same process. The directory becomes nobody's, for the FIFO
// and the pid file.
struct NobodyTest : DaemonTest {
	uid_t uid = 0;
	gid_t gid = 0;
	std::vector<Child> helpers;

	void
	SetUp() override
	{
		DaemonTest::SetUp();
		struct passwd *pw = nobody();
		if (geteuid() != 0 || pw == nullptr || access("/usr/bin/setpriv", X_OK) == -1 ||
		    access("/usr/bin/prlimit", X_OK) == -1)
			GTEST_SKIP() << "needs root, the user nobody, setpriv and prlimit";
		uid = pw->pw_uid;
		gid = pw->pw_gid;
		ASSERT_EQ(0, chown(kd.dir.c_str(), uid, gid));
	}
	void
	TearDown() override
	{
		for (Child &helper : helpers)
			killChild(helper);
		DaemonTest::TearDown();
	}
	std::vector<std::string>
	asNobody(const std::string &path)
	{
		return {"--reuid=" + std::to_string(uid), "--regid=" + std::to_string(gid),
			"--clear-groups", "--", path};
	}
	// Starts kestord as nobody; with a limit, no more than that many processes of nobody
	// may exist when it forks.
	void
	startAsNobody(const std::vector<std::string> &extra, int nproc = 0)
	{
		chmod(kd.config.c_str(), 0644);
		std::vector<std::string> args = asNobody(KESTORD_PATH);
		args.push_back("-d");
		std::vector<std::string> rest = daemonArgs(kd, extra);
		args.insert(args.end(), rest.begin(), rest.end());
		if (nproc > 0) {
			std::string limit = std::to_string(nproc);
			args.insert(args.begin(), {"--nproc=" + limit + ":" + limit, "--",
						      "/usr/bin/setpriv"});
			kd.child = spawnProgram("/usr/bin/prlimit", args);
		} else {
			kd.child = spawnProgram("/usr/bin/setpriv", args);
		}
		kd.pid = kd.child.pid;
	}
};

TEST_F(NobodyTest, ForkFailureIsRetriedWithADoublingDelayUntilForksSucceed)
{
	// Processes of nobody that take up the daemon's quota until they are killed. The
	// limit counts every process of the user: with the daemon, the quota is then full.
	std::vector<std::string> sleeper = asNobody("/bin/sleep");
	sleeper.push_back("1000");
	for (int i = 0; i < 2; i++)
		helpers.push_back(spawnProgram("/usr/bin/setpriv", sleeper));
	std::vector<std::string> ids(4, std::to_string(uid));
	ASSERT_TRUE(waitUntil([&] {
		return std::all_of(helpers.begin(), helpers.end(),
		    [&](const Child &helper) { return statusField(helper.pid, "Uid:") == ids; });
	}, patience));
	daemonConfig(kd, "");
	startAsNobody({"-t", "200"}, processesOf(uid) + 1);
	ASSERT_TRUE(daemonReady(kd));

	daemonConfig(kd, "svc echo up; exec sleep 1000\n");
	daemonSignal(kd, SIGHUP);
	ASSERT_TRUE(serviceKnown(kd, "svc"));
	ASSERT_TRUE(controlWrite(kd, "start svc\n"));

	// 200 ms after the first failure, then 400, 800 and 1600 ms. The times are those at which
	// the lines were read, a little late now and then.
	std::string failure = std::string("fork: ") + strerror(EAGAIN);
	std::vector<double> times;
	double cpuBefore = cpuSeconds(kd.pid);
	std::string message;
	while (times.size() < 5 && nextMessage(kd, message, patience)) {
		EXPECT_EQ(std::string::npos, message.find("started")) << message;
		if (message == failure)
			times.push_back(monotonicSeconds());
	}
	ASSERT_EQ(5u, times.size());
	double expected = 0;
	for (size_t i = 1; i < times.size(); i++) {
		expected += 0.2 * (1 << (i - 1));
		EXPECT_GE(times[i] - times[0], expected - 0.15) << "failure " << i;
	}
	// Waiting for a retry costs the daemon next to nothing.
	EXPECT_LT(cpuSeconds(kd.pid) - cpuBefore, 0.5);
	ASSERT_TRUE(controlWrite(kd, "status svc\n"));
	EXPECT_TRUE(waitMessage(kd, "svc[] is restarting in ", patience));

	for (Child &helper : helpers)
		killChild(helper);
	pid_t pid = nextStart(kd, "svc");
	ASSERT_GT(pid, 0);
	EXPECT_EQ(std::vector<std::string>{}, outputOf(kd, "svc", pid, "up"));
	EXPECT_EQ(std::vector<std::string>(4, std::to_string(uid)), statusField(pid, "Uid:"));
	ASSERT_TRUE(controlWrite(kd, "status svc\n"));
	EXPECT_TRUE(waitMessage(kd, "svc[" + pidText(pid) + "] is started (up ", patience));
	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
	EXPECT_FALSE(processExists(pid));
}

TEST_F(DaemonTest, ThousandServicesStartUnderTheUsualSoftLimitAndServicesKeepIt)
{
	// A soft limit of 1024 holds some 250 services of four descriptors each.
	struct rlimit own;
	ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &own));
	if ((own.rlim_max < 8192 && geteuid() != 0) || access("/usr/bin/prlimit", X_OK) == -1)
		GTEST_SKIP() << "needs prlimit, and a hard descriptor limit of 8192 or root";
	std::string config = "limits ulimit -Sn; ulimit -Hn\n";
	for (int i = 1; i < 1000; i++)
		config += "s" + std::to_string(i) + " true\n";
	daemonConfig(kd, config);
	std::vector<std::string> args{"--nofile=1024:8192", "--", KESTORD_PATH, "-d"};
	std::vector<std::string> rest = daemonArgs(kd, {"-t", "600000"});
	args.insert(args.end(), rest.begin(), rest.end());
	kd.child = spawnProgram("/usr/bin/prlimit", args);
	kd.pid = kd.child.pid;

	EXPECT_EQ(std::vector<std::string>{"1024"}, serviceOutput(kd, "limits", "8192", patience));
	std::string message;
	double deadline = monotonicSeconds() + 4 * patience;
	while (kd.started.size() < 1000 && nextMessage(kd, message, deadline - monotonicSeconds()))
		if (message.find("cannot add") != std::string::npos) {
			ADD_FAILURE() << message;
			break;
		}
	EXPECT_EQ(1000u, kd.started.size());
	struct rlimit daemon;
	ASSERT_EQ(0, prlimit(kd.pid, RLIMIT_NOFILE, nullptr, &daemon));
	EXPECT_EQ(8192u, daemon.rlim_cur);
	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
}

TEST_F(DaemonTest, RunningOutOfDescriptorsAtReloadKeepsTheDaemonWorking)
{
	daemonConfig(kd, "a sleep 1000\nb sleep 1000\n");
	daemonStart(kd, {"-t", "60000"});
	pid_t a = servicePid(kd, "a", patience), b = servicePid(kd, "b", patience);
	ASSERT_GT(a, 0);
	ASSERT_GT(b, 0);
	ASSERT_TRUE(daemonReady(kd));

	// Room for the configuration file and three services of four pipe ends each: the third
	// would take the last descriptor, and the next reload could not open the file.
	size_t open = openDescriptors(kd.pid).size();
	struct rlimit saved;
	ASSERT_EQ(0, prlimit(kd.pid, RLIMIT_NOFILE, nullptr, &saved));
	struct rlimit tight = {open + 1 + 12, saved.rlim_max};
	ASSERT_EQ(0, prlimit(kd.pid, RLIMIT_NOFILE, &tight, nullptr));
	std::string more = "s4 sleep 1000\ns5 sleep 1000\ns6 sleep 1000\nbad\n";
	daemonConfig(kd, "a sleep 1000\nb sleep 1000\ns3 sleep 1000\n" + more);
	daemonSignal(kd, SIGHUP);
	std::string full = std::string("cannot add service: ") + strerror(EMFILE) + "; prepend lines kept";
	std::string numbers = "descriptor limit of " + std::to_string(tight.rlim_cur) +
			      " reached with 4 services";
	EXPECT_TRUE(expectMessage(kd, full, patience));
	EXPECT_TRUE(expectMessage(kd, numbers, patience));
	// The file at a reload and the log's reconnect each still find a descriptor.
	EXPECT_GE(tight.rlim_cur - openDescriptors(kd.pid).size(), 2u);

	// A reload still reads the file: a changed command applies at the next start.
	daemonConfig(kd, "a sleep 1000\nb sleep 1000\ns3 echo reread; exec sleep 1000\n" + more);
	daemonSignal(kd, SIGHUP);
	EXPECT_TRUE(expectMessage(kd, full, patience));
	EXPECT_TRUE(expectMessage(kd, numbers, patience));
	std::map<std::string, std::string> status = statusAll(kd);
	EXPECT_EQ(4u, status.size());
	EXPECT_EQ(0u, status["a"].find("[" + pidText(a) + "] is started (up ")) << status["a"];
	EXPECT_EQ(0u, status["b"].find("[" + pidText(b) + "] is started (up ")) << status["b"];
	EXPECT_EQ("[] is stopped", status["s3"]);
	EXPECT_EQ("[] is stopped", status["s4"]);
	// The new services still start: a fork needs no descriptor.
	ASSERT_TRUE(controlWrite(kd, "start s3\n"));
	pid_t s3 = nextStart(kd, "s3");
	ASSERT_GT(s3, 0);
	EXPECT_EQ(std::vector<std::string>{}, outputOf(kd, "s3", s3, "reread"));
	// The rest of the file was not read: its last line would have been refused.
	for (const std::string &message : kd.log) {
		EXPECT_EQ(std::string::npos, message.find("no command line")) << message;
		EXPECT_NE(0u, message.find(kd.config + ": ")) << message;
	}

	ASSERT_EQ(0, prlimit(kd.pid, RLIMIT_NOFILE, &saved, nullptr));
	daemonSignal(kd, SIGHUP);
	EXPECT_TRUE(waitMessage(kd, ":7: no command line for service bad", patience));
	status = statusAll(kd);
	EXPECT_EQ(6u, status.size());
	EXPECT_EQ("[] is stopped", status["s6"]);
	EXPECT_TRUE(processExists(a));
	EXPECT_TRUE(processExists(b));
	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
}

TEST_F(DaemonTest, PollSetBeyondTheDescriptorLimitNeitherSpinsNorWedges)
{
	// Three services need seven slots; with a limit of five every ppoll fails at once.
	daemonConfig(kd, "a sleep 1000\nb sleep 1000\nc sleep 1000\n");
	daemonStart(kd, {"-t", "60000"});
	pid_t a = servicePid(kd, "a", patience);
	ASSERT_GT(a, 0);
	ASSERT_TRUE(daemonReady(kd));
	struct rlimit saved;
	ASSERT_EQ(0, prlimit(kd.pid, RLIMIT_NOFILE, nullptr, &saved));
	struct rlimit tight = {5, saved.rlim_max};
	ASSERT_EQ(0, prlimit(kd.pid, RLIMIT_NOFILE, &tight, nullptr));

	double cpu = cpuSeconds(kd.pid);
	daemonSignal(kd, SIGUSR1);
	ASSERT_TRUE(waitMessage(kd, std::string("ppoll: ") + strerror(EINVAL), patience));
	sleepSeconds(3);
	size_t failures = 0;
	std::string message;
	while (nextMessage(kd, message, 0.1))
		failures += message == std::string("ppoll: ") + strerror(EINVAL);
	// About one a second, not thousands.
	EXPECT_LE(failures, 6u);
	EXPECT_LT(cpuSeconds(kd.pid) - cpu, 0.5);

	// A signal still cuts the pause short, and the shutdown waits for every service.
	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
	EXPECT_FALSE(processExists(a));
}

TEST_F(DaemonTest, ServiceIgnoringTermStaysStoppingUntilKilled)
{
	daemonConfig(kd, "stubborn trap '' TERM; echo ready; while :; do sleep 1; done\n");
	daemonStart(kd, {"-t", "60000"});
	pid_t pid = servicePid(kd, "stubborn", patience);
	ASSERT_GT(pid, 0);
	EXPECT_EQ(std::vector<std::string>{}, outputOf(kd, "stubborn", pid, "ready"));

	ASSERT_TRUE(controlWrite(kd, "stop stubborn\n"));
	ASSERT_TRUE(controlWrite(kd, "status stubborn\n"));
	EXPECT_TRUE(expectMessage(kd, "stubborn[" + pidText(pid) + "] is stopping", patience));
	// A second later it still runs, and the daemon still answers.
	sleepSeconds(1);
	EXPECT_TRUE(processExists(pid));
	ASSERT_TRUE(controlWrite(kd, "status stubborn\n"));
	EXPECT_TRUE(expectMessage(kd, "stubborn[" + pidText(pid) + "] is stopping", patience));

	ASSERT_TRUE(controlWrite(kd, "kill stubborn\n"));
	EXPECT_TRUE(expectMessage(kd, "stubborn[" + pidText(pid) + "] signaled kill", patience));
	EXPECT_TRUE(expectMessage(kd, "stubborn[" + pidText(pid) + "] stopped", patience));
	ASSERT_TRUE(controlWrite(kd, "status stubborn\n"));
	EXPECT_TRUE(expectMessage(kd, "stubborn[] is stopped", patience));
	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
}

TEST_F(DaemonTest, GrandchildFloodingThePipesIsLoggedAndHoldsUpNothing)
{
	// The first run leaves a process behind that writes after its parent has gone, and then
	// writes into the pipes faster than the daemon can log, taking no notice of SIGTERM.
	daemonConfig(kd, "parent if mkdir once 2>/dev/null; then (trap '' TERM; sleep 1; "
			 "echo from the orphan; exec yes flood) & fi; echo run; sleep 0.2; exit 3\n");
	daemonStart(kd, {"-t", "300", "-C", kd.dir});
	pid_t first = servicePid(kd, "parent", patience);
	ASSERT_GT(first, 0);
	EXPECT_TRUE(expectMessage(kd, "parent[" + pidText(first) + "] exited 3", patience));
	EXPECT_TRUE(expectMessage(kd, "parent[" + pidText(first) + "] restarting in 300ms",
	    patience));

	// The orphan's line comes under the service's name and its latest process id, and
	// restarts go on as usual: each reap reads only what the pipes hold as it begins.
	std::string message;
	bool orphan = false;
	std::set<pid_t> later;
	double deadline = monotonicSeconds() + patience;
	while ((!orphan || later.size() < 3) &&
	    nextMessage(kd, message, deadline - monotonicSeconds())) {
		if (message.size() > 9 && message.compare(message.size() - 9, 9, "] started") == 0)
			later.insert(atoi(message.c_str() + 7));
		if (message.find("]: from the orphan") != std::string::npos) {
			orphan = true;
			EXPECT_EQ(0u, message.find("parent[")) << message;
			pid_t under = atoi(message.c_str() + 7);
			EXPECT_TRUE(under == first || later.count(under) == 1) << message;
		}
	}
	EXPECT_TRUE(orphan);
	EXPECT_GE(later.size(), 3u);
	// Commands are carried out, and shutdown, which reads the pipes a last time, ends soon.
	ASSERT_TRUE(controlWrite(kd, "stop nothing-here\n"));
	EXPECT_TRUE(expectMessage(kd, "no services matching nothing-here", patience));
	double stopping = monotonicSeconds();
	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_LT(monotonicSeconds() - stopping, 5.0);
	EXPECT_EQ(0, exitStatus(kd.child.status));
}

TEST_F(DaemonTest, ServiceThatLeftItsProcessGroupIsStoppedWhenItEnds)
{
	// The service moves into the daemon's process group: its own group is gone, and every
	// signal to it fails.
	daemonConfig(kd, "mover exec perl -e '$| = 1; setpgrp(0, getpgrp(getppid())) or die "
			 "\"setpgrp: $!\"; print \"moved\\n\"; sleep 1000'\n");
	daemonStart(kd, {"-t", "60000"});
	pid_t pid = servicePid(kd, "mover", patience);
	ASSERT_GT(pid, 0);
	EXPECT_EQ(std::vector<std::string>{}, outputOf(kd, "mover", pid, "moved"));

	std::string gone = std::string("): ") + strerror(ESRCH);
	ASSERT_TRUE(controlWrite(kd, "restart mover\n"));
	EXPECT_TRUE(expectMessage(kd, "killpg(mover[" + pidText(pid) + "], term" + gone, patience));
	ASSERT_TRUE(controlWrite(kd, "status mover\n"));
	// The failure is reported once: no continue follows a TERM that reached nothing.
	std::string next;
	ASSERT_TRUE(nextMessage(kd, next, patience));
	EXPECT_EQ("mover[" + pidText(pid) + "] is stopping for restart", next);
	// Once it ends by other means, the restart that was asked for takes place.
	ASSERT_EQ(0, kill(pid, SIGKILL));
	EXPECT_TRUE(expectMessage(kd, "mover[" + pidText(pid) + "] signaled kill", patience));
	EXPECT_TRUE(expectMessage(kd, "mover[" + pidText(pid) + "] stopped", patience));
	pid_t second = nextStart(kd, "mover");
	ASSERT_GT(second, 0);
	EXPECT_EQ(std::vector<std::string>{}, outputOf(kd, "mover", second, "moved"));

	ASSERT_TRUE(controlWrite(kd, "stop mover\n"));
	EXPECT_TRUE(expectMessage(kd, "killpg(mover[" + pidText(second) + "], term" + gone,
	    patience));
	ASSERT_EQ(0, kill(second, SIGKILL));
	EXPECT_TRUE(expectMessage(kd, "mover[" + pidText(second) + "] stopped", patience));
	ASSERT_TRUE(controlWrite(kd, "status mover\n"));
	EXPECT_TRUE(expectMessage(kd, "mover[] is stopped", patience));
	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
}

struct GarbageTest : DaemonTest {
	pid_t web = -1;
	std::string started;

	void
	SetUp() override
	{
		DaemonTest::SetUp();
		// A sanitizer's allocator keeps freed memory back for a while; without that
		// quarantine the daemon's heap shows what it really holds.
		std::string asan = getenv("ASAN_OPTIONS") != nullptr ? getenv("ASAN_OPTIONS") : "";
		setenv("ASAN_OPTIONS", (asan + ":quarantine_size_mb=0").c_str(), 1);
		daemonConfig(kd, "web sleep 1000\n");
		daemonStart(kd, {"-t", "60000"});
		setenv("ASAN_OPTIONS", asan.c_str(), 1);
		web = servicePid(kd, "web", patience);
		ASSERT_GT(web, 0);
		started = "web[" + pidText(web) + "] is started (up ";
		ASSERT_TRUE(daemonReady(kd));
	}
	// Hands out messages until count answers to "status web" have come, and the answer to
	// the probe after them; false when one of them did not come.
	bool
	answers(size_t count)
	{
		if (!controlWrite(kd, "status probe\n"))
			return false;
		size_t seen = 0;
		std::string message;
		while (nextMessage(kd, message, patience)) {
			if (message.compare(0, started.size(), started) == 0)
				seen++;
			if (message == "no services matching probe")
				break;
		}
		EXPECT_EQ(count, seen);
		return count == seen;
	}
	// Random bytes, NUL bytes among commands, a megabyte without a newline and a burst of
	// commands, each followed by commands that must all be answered.
	void
	garbage(std::mt19937 &random)
	{
		std::string bytes(64 * 1024, '\0');
		for (char &c : bytes)
			c = static_cast<char>(random());
		ASSERT_TRUE(controlFlood(kd, bytes + "\nstatus web\n"));
		ASSERT_TRUE(answers(1));

		std::string nul;
		for (int i = 0; i < 100; i++)
			nul += std::string("\0st\0atus\0 web\n\0\0", 16);
		ASSERT_TRUE(controlFlood(kd, nul));
		ASSERT_TRUE(answers(100));

		ASSERT_TRUE(controlFlood(kd, std::string(1 << 20, 'x') + "\nstatus web\n"));
		// Refused whole, with one notice; none of it is carried out.
		std::string refused = "command longer than 511 bytes refused: " + std::string(40, 'x') +
		    "...";
		size_t refusals = 0, others = 0;
		std::string message;
		while (nextMessage(kd, message, patience) && message.compare(0, 2, "we") != 0)
			(message == refused ? refusals : others)++;
		EXPECT_EQ(1u, refusals);
		EXPECT_EQ(0u, others);
		EXPECT_EQ(0u, message.find(started)) << message;

		std::string burst;
		for (int i = 0; i < 20000; i++)
			burst += "status web\n";
		ASSERT_TRUE(controlFlood(kd, burst));
		ASSERT_TRUE(answers(20000));
	}
};

TEST_F(GarbageTest, ControlPipeTakesAnythingLosesNoCommandAndKeepsMemoryFlat)
{
	std::mt19937 random(20261209);
	// The daemon gives back the room of its standard-error copy just after the write that
	// empties it, which the test can read before that; once one more command is answered,
	// the flood's room has been given back in an earlier pass.
	auto settledKiB = [&] {
		EXPECT_TRUE(controlFlood(kd, "status web\n"));
		EXPECT_TRUE(answers(1));
		return residentKiB(kd.pid);
	};
	garbage(random);
	long before = settledKiB();
	std::vector<int> fds = openDescriptors(kd.pid);
	for (int round = 0; round < 3; round++)
		garbage(random);
	long after = settledKiB();
	EXPECT_LE(after, before + 256) << "resident KiB grew from " << before;
	EXPECT_EQ(fds, openDescriptors(kd.pid));
	EXPECT_TRUE(processExists(web));
	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
}

TEST_F(NobodyTest, BadConfigurationAtReloadIsLoggedAndChangesNothingElse)
{
	daemonConfig(kd, "% echo pre\nwide echo run; exec sleep 1000\nnarrow sleep 1000\n");
	startAsNobody({"-t", "60000"});
	pid_t wide = servicePid(kd, "wide", patience), narrow = servicePid(kd, "narrow", patience);
	ASSERT_GT(wide, 0);
	ASSERT_GT(narrow, 0);
	EXPECT_EQ(std::vector<std::string>{"pre"}, outputOf(kd, "wide", wide, "run"));
	std::string good = readFile(kd.config);

	// Both services as they are now, and what a restart of wide prints before "run".
	auto unchanged = [&](const std::vector<std::string> &prepended) {
		std::map<std::string, std::string> status = statusAll(kd);
		EXPECT_EQ(2u, status.size());
		EXPECT_EQ(0u, status["wide"].find("[" + pidText(wide) + "] is started"));
		EXPECT_EQ(0u, status["narrow"].find("[" + pidText(narrow) + "] is started"));
		ASSERT_TRUE(controlWrite(kd, "restart wide\n"));
		wide = nextStart(kd, "wide");
		EXPECT_EQ(prepended, outputOf(kd, "wide", wide, "run"));
	};
	auto reload = [&](const std::string &message) {
		daemonSignal(kd, SIGHUP);
		if (!message.empty()) {
			EXPECT_TRUE(expectMessage(kd, message, patience)) << message;
		}
	};

	ASSERT_EQ(0, rename(kd.config.c_str(), (kd.config + ".away").c_str()));
	reload(kd.config + ": " + strerror(ENOENT));
	unchanged({"pre"});

	writeFile(kd.config, good);
	ASSERT_EQ(0, chmod(kd.config.c_str(), 0));
	reload(kd.config + ": " + strerror(EACCES));
	unchanged({"pre"});

	// Cut in the middle of its first service line.
	ASSERT_EQ(0, chmod(kd.config.c_str(), 0644));
	ASSERT_EQ(0, truncate(kd.config.c_str(), good.find("wide") + 3));
	reload(kd.config + ":2: no command line for service wid; prepend lines kept");
	unchanged({"pre"});

	// A mistyped line above other prepend lines: a reload that stops there keeps the list in
	// force, instead of the prepend lines before the error, none here.
	writeFile(kd.config, "typo\n% echo other\n" + good);
	reload(kd.config + ":1: no command line for service typo; prepend lines kept");
	unchanged({"pre"});

	// A directory opens, but reading it fails.
	ASSERT_EQ(0, unlink(kd.config.c_str()));
	ASSERT_EQ(0, mkdir(kd.config.c_str(), 0755));
	reload(kd.config + ": " + strerror(EISDIR) + "; prepend lines kept");
	unchanged({"pre"});
	ASSERT_EQ(0, rmdir(kd.config.c_str()));

	// An empty file: nothing to say, nothing added.
	writeFile(kd.config, "");
	chmod(kd.config.c_str(), 0644);
	reload("");
	unchanged({});

	// A file renamed over the old one is read as it is.
	writeFile(kd.config + ".new", good + "extra sleep 1000\n");
	chmod((kd.config + ".new").c_str(), 0644);
	ASSERT_EQ(0, rename((kd.config + ".new").c_str(), kd.config.c_str()));
	reload("");
	ASSERT_TRUE(serviceKnown(kd, "extra"));
	std::map<std::string, std::string> status = statusAll(kd);
	EXPECT_EQ(3u, status.size());
	EXPECT_EQ("[] is stopped", status["extra"]);
	EXPECT_EQ(0u, status["narrow"].find("[" + pidText(narrow) + "] is started"));
	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
}

TEST_F(DaemonTest, TerminationDuringARestartStormStopsAndReapsEverything)
{
	std::string config;
	for (int i = 0; i < 30; i++)
		config += "crash" + std::to_string(i) + " echo $0; exit 1\n";
	for (int i = 0; i < 5; i++)
		config += "steady" + std::to_string(i) + " sleep 1000\n";
	// One that takes its time to end.
	config += "slow trap 'sleep 0.5; exit 0' TERM; echo ready; while :; do sleep 0.1; done\n";
	daemonConfig(kd, config);
	daemonStart(kd, {"-t", "0", "-C", kd.dir});
	pid_t slow = servicePid(kd, "slow", patience);
	ASSERT_GT(slow, 0);
	EXPECT_EQ(std::vector<std::string>{}, outputOf(kd, "slow", slow, "ready"));

	// Let the storm rage until hundreds of restarts have happened.
	double deadline = monotonicSeconds() + patience;
	while (kd.started.size() < 300 && monotonicSeconds() < deadline) {
		std::string message;
		nextMessage(kd, message, 1);
	}
	EXPECT_GE(kd.started.size(), 300u);
	daemonSignal(kd, SIGTERM);
	ASSERT_TRUE(waitExit(kd.child, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));

	// Every process started was reaped and its end logged, and none is left.
	std::string message;
	while (nextMessage(kd, message, 0.1))
		;
	std::set<std::string> started, ended;
	for (const std::string &m : kd.log) {
		size_t close = m.find("] ");
		if (close == std::string::npos || m.find('[') > close || m[close - 1] == '[')
			continue;
		std::string process = m.substr(0, close + 1), what = m.substr(close + 2);
		if (what == "started")
			started.insert(process);
		else if (what == "stopped" || what.compare(0, 14, "restarting in ") == 0)
			ended.insert(process);
	}
	EXPECT_EQ(started, ended);
	EXPECT_TRUE(ended.count("slow[" + pidText(slow) + "]"));
	EXPECT_EQ(std::vector<pid_t>{}, processesIn(realPath(kd.dir)));
}

TEST_F(DaemonTest, KilledDaemonTakesItsServicesWithIt)
{
	if (geteuid() != 0 || nobody() == nullptr)
		GTEST_SKIP() << "needs root and the user nobody";
	// One service takes on the user nobody, a change of credentials that clears what was
	// asked before it; the other keeps the daemon's.
	daemonConfig(kd, "user sleep 1000\n@root sleep 1000\n");
	daemonStart(kd, {"-u", "nobody"});
	pid_t user = servicePid(kd, "user", patience), root = servicePid(kd, "@root", patience);
	ASSERT_GT(user, 0);
	ASSERT_GT(root, 0);
	auto comm = [](pid_t pid) { return readFile("/proc/" + pidText(pid) + "/comm"); };
	ASSERT_TRUE(waitUntil([&] { return comm(user) == "sleep\n" && comm(root) == "sleep\n"; },
	    patience));

	kill(kd.pid, SIGKILL);
	ASSERT_TRUE(waitExit(kd.child, patience));
	EXPECT_TRUE(waitUntil([&] { return !processExists(user) && !processExists(root); }, 1));
}

TEST_F(DaemonTest, FifoAndPidFileAreTheDaemonsAloneWhateverTheUmask)
{
	// Written first: a configuration file everyone could write would be refused.
	daemonConfig(kd, "");
	mode_t saved = umask(0);
	daemonStart(kd);
	umask(saved);
	ASSERT_TRUE(daemonReady(kd));
	struct stat st;
	ASSERT_EQ(0, lstat(kd.control.c_str(), &st));
	EXPECT_TRUE(S_ISFIFO(st.st_mode));
	EXPECT_EQ(0600u, st.st_mode & 07777);
	EXPECT_EQ(geteuid(), st.st_uid);
	ASSERT_EQ(0, lstat(kd.pidFile.c_str(), &st));
	EXPECT_EQ(0600u, st.st_mode & 07777);
	ASSERT_TRUE(daemonStop(kd, patience));
}

TEST_F(NobodyTest, FifoReachedThroughALinkToAnotherUsersFifoIsRefused)
{
	// A FIFO of nobody's, and the control path a link to it: what the daemon would open is
	// not its own.
	std::string theirs = kd.dir + "/theirs";
	ASSERT_EQ(0, mkfifo(theirs.c_str(), 0666));
	ASSERT_EQ(0, chown(theirs.c_str(), uid, gid));
	ASSERT_EQ(0, symlink(theirs.c_str(), kd.control.c_str()));
	daemonConfig(kd, "never sleep 1000\n");
	std::vector<std::string> args{"-d"};
	std::vector<std::string> rest = daemonArgs(kd, {});
	args.insert(args.end(), rest.begin(), rest.end());
	Result run = runProgram(KESTORD_PATH, args, {}, patience);
	EXPECT_EQ(EX_CANTCREAT, exitStatus(run));
	EXPECT_EQ("kestord: " + kd.control + ": File exists\nkestord: " + kd.control +
		": owned by another user\n",
	    run.err);
}

TEST_F(NobodyTest, ServiceCannotRegainRootAndGetsNothingOfTheDaemon)
{
	// A descriptor the daemon inherited without close-on-exec must not reach services
	// either.
	int stray = open("/dev/null", O_RDONLY);
	ASSERT_GE(stray, 3);
	daemonConfig(kd, "plain grep -e ^Uid: -e ^Gid: -e ^Groups: -e ^Cap /proc/self/status; "
			 "tr \"\\0\" \"\\n\" < /proc/$$/environ; ls /proc/$$/fd; "
			 "perl -e '$( = $) = 0; $< = $> = 0; print \"now $< $>\\n\"'; echo end\n"
			 "@root grep -e ^Uid: -e ^CapEff: /proc/self/status; echo end\n");
	std::vector<std::string> args{"-d"};
	std::vector<std::string> rest = daemonArgs(kd, {"-t", "60000", "-u", "nobody"});
	args.insert(args.end(), rest.begin(), rest.end());
	kd.child = spawnProgram(KESTORD_PATH, args);
	kd.pid = kd.child.pid;
	close(stray);

	std::string u = std::to_string(uid), g = std::to_string(gid);
	std::vector<std::string> lines = serviceOutput(kd, "plain", "end", patience);
	std::string zero = "0000000000000000";
	std::vector<std::string> expected{"Uid:\t" + u + "\t" + u + "\t" + u + "\t" + u,
		"Gid:\t" + g + "\t" + g + "\t" + g + "\t" + g, "Groups:\t" + g + " ",
		"CapInh:\t" + zero, "CapPrm:\t" + zero, "CapEff:\t" + zero};
	ASSERT_GE(lines.size(), expected.size() + 4);
	for (size_t i = 0; i < expected.size(); i++)
		EXPECT_EQ(expected[i], lines[i]);
	size_t at = expected.size();
	while (at < lines.size() && lines[at].compare(0, 3, "Cap") == 0)
		at++;
	std::vector<std::string> after(lines.begin() + at, lines.end());
	struct passwd *pw = nobody();
	EXPECT_EQ((std::vector<std::string>{"SHELL=/bin/sh",
		      "PATH=/sbin:/bin:/usr/sbin:/usr/bin:/usr/local/sbin:/usr/local/bin",
		      "USER=nobody", "HOME=" + std::string(pw->pw_dir), "0", "1", "2",
		      "now " + u + " " + u}),
	    after);

	std::vector<std::string> root = serviceOutput(kd, "@root", "end", patience);
	ASSERT_EQ(2u, root.size());
	EXPECT_EQ("Uid:\t0\t0\t0\t0", root[0]);
	EXPECT_NE("CapEff:\t" + zero, root[1]);
	ASSERT_TRUE(daemonStop(kd, patience));
}

TEST_F(DaemonTest, FormatSequencesFromOutsideAreLoggedLiterally)
{
	daemonConfig(kd, "x%n%s printf '%%s %%n %%d %%%% %%1$s\\n'; echo end\n");
	daemonStart(kd, {"-t", "60000"});
	pid_t pid = servicePid(kd, "x%n%s", patience);
	ASSERT_GT(pid, 0);
	EXPECT_EQ(std::vector<std::string>{"%s %n %d %% %1$s"},
	    serviceOutput(kd, "x%n%s", "end", patience));
	ASSERT_TRUE(daemonReady(kd));
	ASSERT_TRUE(controlWrite(kd, "%s%n%x x\nstatus %n%s%08x\n"));
	EXPECT_TRUE(expectMessage(kd, "unknown action or signal %s%n%x", patience));
	EXPECT_TRUE(expectMessage(kd, "no services matching %n%s%08x", patience));
	ASSERT_TRUE(daemonStop(kd, patience));
	EXPECT_EQ(0, exitStatus(kd.child.status));
}

} // namespace
