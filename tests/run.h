// run.h: spawn a built program, feed and read it, and collect its status, always under a
// deadline, so that a test never hangs and never leaves a process behind.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct Options {
	std::string dir;                   // working directory; empty: the test's own
	std::vector<std::string> env;      // NAME=value entries added to the environment
	bool clearEnv = false;             // start from an empty environment
};

// A program that runs, or has run. The child leads a process group of its own, so that
// killChild reaches whatever it started without leaving the group.
struct Child {
	pid_t pid = -1;
	int outFd = -1;                    // its standard output; -1 once at end of file
	int errFd = -1;                    // its standard error; -1 once at end of file
	std::string out, err;              // everything read so far
	size_t errPos = 0;                 // how much of err nextLine has handed out
	int status = 0;                    // the raw wait status, once reaped
	bool reaped = false;
};

// The outcome of runProgram: what the program wrote and how it ended.
struct Result {
	int status = -1;                   // the raw wait status; -1 when it had to be killed
	std::string out, err;
	double seconds = 0;                // from the start to the end of the program
};

Child spawnProgram(const std::string &path, const std::vector<std::string> &args,
    const Options &options = {});
// Reads whatever the child writes for up to the given time, or until both streams end.
void pump(Child &child, double seconds);
// Hands out the next complete line of standard error (without its newline), waiting at most
// the given time for it; false when none came.
bool nextLine(Child &child, std::string &line, double seconds);
// Reads standard error lines until one contains the text; false when none did in time. The
// line found, and every line before it, are consumed.
bool waitFor(Child &child, const std::string &text, double seconds, std::string *line = nullptr);
// Waits for the child to end and reads the rest of its output; false if it is still running.
bool waitExit(Child &child, double seconds);
// Sends SIGKILL to the child's process group and reaps the child, if it is still there.
void killChild(Child &child);

// Runs the program to its end, killing it after the given time.
Result runProgram(const std::string &path, const std::vector<std::string> &args,
    const Options &options = {}, double seconds = 10);

// The exit status of a program that exited, 128 + the signal number for one killed by a
// signal, and -1 for one that has not ended.
int exitStatus(int status);
int exitStatus(const Result &run);

// A fresh directory under the temporary directory, removed with everything in it by
// removeTree.
std::string makeTempDir();
void removeTree(const std::string &path);
void writeFile(const std::string &path, const std::string &text);
std::string readFile(const std::string &path);
bool fileExists(const std::string &path);
// Waits until the predicate holds, checking every few milliseconds; false when it never did.
// The words of a text, split at white space.
std::vector<std::string> words(const std::string &text);
double monotonicSeconds();
void sleepSeconds(double seconds);
template <typename F>
bool
waitUntil(F predicate, double seconds)
{
	double deadline = monotonicSeconds() + seconds;
	for (;;) {
		if (predicate())
			return true;
		if (monotonicSeconds() >= deadline)
			return false;
		sleepSeconds(0.005);
	}
}
// True while the process exists and is not a zombie.
bool processExists(pid_t pid);
