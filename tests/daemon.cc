// daemon.cc: starting, watching and always stopping a kestord under test.
#include <sys/types.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <sstream>

#include "daemon.h"

void
daemonInit(Daemon &d)
{
	d.dir = makeTempDir();
	d.config = d.dir + "/kestor.conf";
	d.control = d.dir + "/kestord.pipe";
	d.pidFile = d.dir + "/kestord.pid";
}

void
daemonConfig(Daemon &d, const std::string &text)
{
	writeFile(d.config, text);
}

std::vector<std::string>
daemonArgs(const Daemon &d, const std::vector<std::string> &extra)
{
	std::vector<std::string> args{"-f", d.config, "-c", d.control, "-p", d.pidFile};
	args.insert(args.end(), extra.begin(), extra.end());
	return args;
}

// Whatever the test process inherited (a descriptor of the shell or of the test runner) would
// otherwise pass through the daemon to its services and spoil what they are seen to hold.
static void
closeOnExecAll()
{
	std::vector<int> fds;
	if (DIR *dir = opendir("/proc/self/fd")) {
		while (struct dirent *entry = readdir(dir))
			if (entry->d_name[0] != '.')
				fds.push_back(atoi(entry->d_name));
		closedir(dir);
	}
	for (int fd : fds)
		if (fd > 2)
			fcntl(fd, F_SETFD, FD_CLOEXEC);
}

void
daemonStart(Daemon &d, const std::vector<std::string> &extra, const std::string &dir,
    const std::vector<std::string> &wrapper)
{
	std::vector<std::string> args(wrapper.begin() + (wrapper.empty() ? 0 : 1), wrapper.end());
	if (!wrapper.empty())
		args.push_back(KESTORD_PATH);
	args.push_back("-d");
	std::vector<std::string> rest = daemonArgs(d, extra);
	args.insert(args.end(), rest.begin(), rest.end());
	Options options;
	options.dir = dir;
	closeOnExecAll();
	d.child = spawnProgram(wrapper.empty() ? KESTORD_PATH : wrapper[0], args, options);
	d.pid = d.child.pid;
}

std::string
stripPrefix(const std::string &line)
{
	static const std::string name = "kestord[";
	if (line.compare(0, name.size(), name) != 0)
		return line;
	size_t end = line.find("]: ", name.size());
	if (end == std::string::npos || end == name.size() ||
	    line.find_first_not_of("0123456789", name.size()) != end)
		return line;
	return line.substr(end + 3);
}

// Takes note of "name[pid] started".
static void
noteStarted(Daemon &d, const std::string &message)
{
	static const std::string tail = "] started";
	if (message.size() <= tail.size() ||
	    message.compare(message.size() - tail.size(), tail.size(), tail) != 0)
		return;
	size_t open = message.rfind('[');
	size_t close = message.size() - tail.size();
	if (open == std::string::npos || open + 1 >= close ||
	    message.find_first_not_of("0123456789", open + 1) != close)
		return;
	pid_t pid = atoi(message.substr(open + 1, close - open - 1).c_str());
	d.services[message.substr(0, open)] = pid;
	d.started.push_back(pid);
}

// Adds one more message of standard error to the log; false when none came in time.
static bool
readMessage(Daemon &d, double seconds)
{
	std::string line;
	if (!nextLine(d.child, line, seconds))
		return false;
	d.log.push_back(stripPrefix(line));
	noteStarted(d, d.log.back());
	return true;
}

bool
nextMessage(Daemon &d, std::string &message, double seconds)
{
	if (d.next == d.log.size() && !readMessage(d, seconds))
		return false;
	message = d.log[d.next++];
	return true;
}

bool
expectMessage(Daemon &d, const std::string &text, double seconds)
{
	double deadline = monotonicSeconds() + seconds;
	std::string message;
	while (nextMessage(d, message, deadline - monotonicSeconds()))
		if (message == text)
			return true;
	return false;
}

bool
waitMessage(Daemon &d, const std::string &text, double seconds, std::string *found)
{
	double deadline = monotonicSeconds() + seconds;
	std::string message;
	while (nextMessage(d, message, deadline - monotonicSeconds()))
		if (message.find(text) != std::string::npos) {
			if (found != nullptr)
				*found = message;
			return true;
		}
	return false;
}

pid_t
servicePid(Daemon &d, const std::string &name, double seconds)
{
	double deadline = monotonicSeconds() + seconds;
	while (d.services.count(name) == 0)
		if (!readMessage(d, deadline - monotonicSeconds()))
			return -1;
	return d.services[name];
}

bool
logContains(Daemon &d, const std::string &text, double seconds, std::string *found)
{
	double deadline = monotonicSeconds() + seconds;
	for (size_t i = 0;; i++) {
		if (i == d.log.size() && !readMessage(d, deadline - monotonicSeconds()))
			return false;
		if (d.log[i].find(text) != std::string::npos) {
			if (found != nullptr)
				*found = d.log[i];
			return true;
		}
	}
}

std::vector<std::string>
serviceOutput(Daemon &d, const std::string &name, const std::string &last, double seconds)
{
	double deadline = monotonicSeconds() + seconds;
	std::vector<std::string> lines;
	std::string prefix = name + "[";
	for (size_t i = 0;; i++) {
		if (i == d.log.size() && !readMessage(d, deadline - monotonicSeconds()))
			return lines;
		const std::string &message = d.log[i];
		if (message.compare(0, prefix.size(), prefix) != 0)
			continue;
		size_t end = message.find_first_not_of("0123456789", prefix.size());
		if (end == prefix.size() || end == std::string::npos ||
		    message.compare(end, 3, "]: ") != 0)
			continue;
		std::string text = message.substr(end + 3);
		if (text == last)
			return lines;
		lines.push_back(text);
	}
}

bool
controlWrite(const Daemon &d, const std::string &bytes)
{
	int fd = open(d.control.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd == -1)
		return false;
	ssize_t n = write(fd, bytes.data(), bytes.size());
	close(fd);
	return n == static_cast<ssize_t>(bytes.size());
}

void
daemonSignal(const Daemon &d, int signo)
{
	if (d.pid > 0)
		kill(d.pid, signo);
}

bool
daemonStop(Daemon &d, double seconds)
{
	daemonSignal(d, SIGTERM);
	if (d.pid == d.child.pid)
		return waitExit(d.child, seconds);
	return waitUntil([&] { return !processExists(d.pid); }, seconds);
}

std::string
processTitle(pid_t pid)
{
	std::string title = readFile("/proc/" + std::to_string(pid) + "/cmdline");
	title = title.substr(0, title.find('\0'));
	while (!title.empty() && title.back() == ' ')
		title.pop_back();
	return title;
}

std::vector<pid_t>
childrenOf(pid_t pid)
{
	std::vector<pid_t> children;
	// The kernel's own list, per thread: read in a moment even among thousands of
	// processes, where a walk over /proc would miss a child that lives for only a few
	// milliseconds.
	std::string task = "/proc/" + std::to_string(pid) + "/task";
	if (DIR *threads = opendir(task.c_str())) {
		bool listed = false;
		while (struct dirent *entry = readdir(threads)) {
			if (atoi(entry->d_name) <= 0)
				continue;
			std::string path = task + "/" + entry->d_name + "/children";
			if (access(path.c_str(), R_OK) != 0)
				continue;
			listed = true;
			std::istringstream ids(readFile(path));
			for (pid_t child; ids >> child;)
				children.push_back(child);
		}
		closedir(threads);
		if (listed)
			return children;
	}
	DIR *dir = opendir("/proc");
	if (dir == nullptr)
		return children;
	while (struct dirent *entry = readdir(dir)) {
		pid_t candidate = atoi(entry->d_name);
		if (candidate <= 0)
			continue;
		// The parent follows the state letter after the last ')' of the command name.
		std::string stat = readFile("/proc/" + std::string(entry->d_name) + "/stat");
		size_t paren = stat.rfind(')');
		if (paren == std::string::npos)
			continue;
		std::istringstream fields(stat.substr(paren + 1));
		std::string state;
		pid_t parent = 0;
		if (fields >> state >> parent && parent == pid)
			children.push_back(candidate);
	}
	closedir(dir);
	return children;
}

void
daemonCleanup(Daemon &d)
{
	// The daemon goes first, so that it starts nothing more; its children are found while
	// it still is their parent.
	std::vector<pid_t> victims;
	if (d.pid > 0 && processExists(d.pid)) {
		victims = childrenOf(d.pid);
		kill(d.pid, SIGKILL);
	}
	if (d.child.pid > 0 && !d.child.reaped)
		killChild(d.child);
	// Services started at the last moment are named by lines nobody has read yet.
	std::istringstream lines(d.child.err);
	for (std::string line; std::getline(lines, line);)
		noteStarted(d, stripPrefix(line));
	victims.insert(victims.end(), d.started.begin(), d.started.end());
	for (pid_t pid : victims) {
		if (pid <= 1)
			continue;
		kill(-pid, SIGKILL);
		kill(pid, SIGKILL);
	}
	for (int *fd : {&d.child.outFd, &d.child.errFd})
		if (*fd != -1) {
			close(*fd);
			*fd = -1;
		}
	if (!d.dir.empty())
		removeTree(d.dir);
}
