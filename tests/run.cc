// run.cc: spawning and watching the programs under test.
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "run.h"

extern char **environ;

std::vector<std::string>
words(const std::string &text)
{
	std::istringstream in(text);
	std::vector<std::string> all;
	for (std::string word; in >> word;)
		all.push_back(word);
	return all;
}

double
monotonicSeconds()
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return now.tv_sec + now.tv_nsec / 1e9;
}

void
sleepSeconds(double seconds)
{
	struct timespec pause;
	pause.tv_sec = static_cast<time_t>(seconds);
	pause.tv_nsec = static_cast<long>((seconds - pause.tv_sec) * 1e9);
	while (nanosleep(&pause, &pause) == -1 && errno == EINTR)
		;
}

Child
spawnProgram(const std::string &path, const std::vector<std::string> &args, const Options &options)
{
	int out[2], errp[2];
	if (pipe2(out, O_CLOEXEC) == -1 || pipe2(errp, O_CLOEXEC) == -1)
		throw std::runtime_error("pipe2: " + std::string(strerror(errno)));

	// Everything the child needs is built before the fork.
	std::vector<std::string> words{path};
	words.insert(words.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (auto &w : words)
		argv.push_back(w.data());
	argv.push_back(nullptr);
	std::vector<std::string> envWords;
	if (!options.clearEnv)
		for (char **e = environ; *e != nullptr; e++)
			envWords.push_back(*e);
	envWords.insert(envWords.end(), options.env.begin(), options.env.end());
	std::vector<char *> envp;
	for (auto &e : envWords)
		envp.push_back(e.data());
	envp.push_back(nullptr);

	Child child;
	child.pid = fork();
	if (child.pid == -1)
		throw std::runtime_error("fork: " + std::string(strerror(errno)));
	if (child.pid == 0) {
		setpgid(0, 0);
		sigset_t none;
		sigemptyset(&none);
		sigprocmask(SIG_SETMASK, &none, nullptr);
		int null = open("/dev/null", O_RDONLY);
		dup2(null, 0);
		// The program is to hold 0, 1 and 2 only, and passes on whatever else it is given.
		if (null > 2)
			close(null);
		dup2(out[1], 1);
		dup2(errp[1], 2);
		if (!options.dir.empty() && chdir(options.dir.c_str()) == -1)
			_exit(125);
		execve(argv[0], argv.data(), envp.data());
		_exit(125);
	}
	setpgid(child.pid, child.pid);
	close(out[1]);
	close(errp[1]);
	child.outFd = out[0];
	child.errFd = errp[0];
	fcntl(child.outFd, F_SETFL, O_NONBLOCK);
	fcntl(child.errFd, F_SETFL, O_NONBLOCK);
	return child;
}

// Reads what is there now from one stream; closes it at end of file.
static void
drain(int &fd, std::string &into)
{
	char buf[65536];
	for (;;) {
		ssize_t n = read(fd, buf, sizeof(buf));
		if (n > 0) {
			into.append(buf, n);
			continue;
		}
		if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
			close(fd);
			fd = -1;
		}
		return;
	}
}

// Waits up to the given time for output and reads it; returns at the first data.
static void
pumpOnce(Child &child, double seconds)
{
	struct pollfd fds[2];
	int n = 0;
	if (child.outFd != -1)
		fds[n++] = {child.outFd, POLLIN, 0};
	if (child.errFd != -1)
		fds[n++] = {child.errFd, POLLIN, 0};
	if (n == 0) {
		sleepSeconds(seconds < 0.005 ? seconds : 0.005);
		return;
	}
	int ms = seconds <= 0 ? 0 : static_cast<int>(seconds * 1000) + 1;
	if (poll(fds, n, ms) <= 0)
		return;
	if (child.outFd != -1)
		drain(child.outFd, child.out);
	if (child.errFd != -1)
		drain(child.errFd, child.err);
}

void
pump(Child &child, double seconds)
{
	double deadline = monotonicSeconds() + seconds;
	do
		pumpOnce(child, deadline - monotonicSeconds());
	while ((child.outFd != -1 || child.errFd != -1) && monotonicSeconds() < deadline);
}

bool
nextLine(Child &child, std::string &line, double seconds)
{
	double deadline = monotonicSeconds() + seconds;
	for (;;) {
		size_t nl = child.err.find('\n', child.errPos);
		if (nl != std::string::npos) {
			line = child.err.substr(child.errPos, nl - child.errPos);
			child.errPos = nl + 1;
			return true;
		}
		double left = deadline - monotonicSeconds();
		if (left <= 0 || child.errFd == -1)
			return false;
		pumpOnce(child, left);
	}
}

bool
waitFor(Child &child, const std::string &text, double seconds, std::string *found)
{
	double deadline = monotonicSeconds() + seconds;
	std::string line;
	while (nextLine(child, line, deadline - monotonicSeconds()))
		if (line.find(text) != std::string::npos) {
			if (found != nullptr)
				*found = line;
			return true;
		}
	return false;
}

bool
waitExit(Child &child, double seconds)
{
	double deadline = monotonicSeconds() + seconds;
	while (!child.reaped) {
		pid_t pid = waitpid(child.pid, &child.status, WNOHANG);
		if (pid == child.pid || (pid == -1 && errno == ECHILD)) {
			child.reaped = true;
			break;
		}
		double left = deadline - monotonicSeconds();
		if (left <= 0)
			return false;
		pumpOnce(child, left < 0.01 ? left : 0.01);
	}
	// Whatever the program wrote is in the pipes; processes it left behind may still hold
	// them open, so the rest is read for a short while only.
	pump(child, 0.2);
	return true;
}

void
killChild(Child &child)
{
	if (child.pid <= 0 || child.reaped)
		return;
	kill(-child.pid, SIGKILL);
	kill(child.pid, SIGKILL);
	waitExit(child, 5);
	if (child.outFd != -1)
		close(child.outFd);
	if (child.errFd != -1)
		close(child.errFd);
	child.outFd = child.errFd = -1;
}

Result
runProgram(const std::string &path, const std::vector<std::string> &args, const Options &options,
    double seconds)
{
	Result run;
	double start = monotonicSeconds();
	Child child = spawnProgram(path, args, options);
	bool ended = waitExit(child, seconds);
	run.seconds = monotonicSeconds() - start;
	if (!ended)
		killChild(child);
	else
		run.status = child.status;
	kill(-child.pid, SIGKILL);
	if (child.outFd != -1)
		close(child.outFd);
	if (child.errFd != -1)
		close(child.errFd);
	run.out = child.out;
	run.err = child.err;
	return run;
}

int
exitStatus(int status)
{
	if (status == -1)
		return -1;
	if (WIFEXITED(status))
		return WEXITSTATUS(status);
	if (WIFSIGNALED(status))
		return 128 + WTERMSIG(status);
	return -1;
}

int
exitStatus(const Result &run)
{
	return exitStatus(run.status);
}

std::string
makeTempDir()
{
	const char *tmp = getenv("TMPDIR");
	std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
	    "/kestor-test.XXXXXX";
	if (mkdtemp(pattern.data()) == nullptr)
		throw std::runtime_error("mkdtemp: " + std::string(strerror(errno)));
	// Tests that drop privileges let their services look around in here.
	chmod(pattern.c_str(), 0755);
	return pattern;
}

void
removeTree(const std::string &path)
{
	struct stat st;
	if (lstat(path.c_str(), &st) == -1)
		return;
	if (S_ISDIR(st.st_mode)) {
		chmod(path.c_str(), 0700);
		if (DIR *dir = opendir(path.c_str())) {
			while (struct dirent *entry = readdir(dir)) {
				std::string name = entry->d_name;
				if (name != "." && name != "..")
					removeTree(path + "/" + name);
			}
			closedir(dir);
		}
		rmdir(path.c_str());
	} else {
		unlink(path.c_str());
	}
}

void
writeFile(const std::string &path, const std::string &text)
{
	std::ofstream file(path, std::ios::binary | std::ios::trunc);
	file << text;
	if (!file)
		throw std::runtime_error("cannot write " + path);
}

std::string
readFile(const std::string &path)
{
	std::ifstream file(path, std::ios::binary);
	std::ostringstream text;
	text << file.rdbuf();
	return text.str();
}

bool
fileExists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

bool
processExists(pid_t pid)
{
	if (pid <= 0 || kill(pid, 0) == -1)
		return false;
	// A zombie still answers kill; its state letter in /proc tells it apart.
	std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
	size_t paren = stat.rfind(')');
	return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'Z';
}
