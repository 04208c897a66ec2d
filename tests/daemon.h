// daemon.h: runs kestord on a temporary directory and watches it from outside: its log, its
// control pipe, its title and the services it starts, for the daemon's black-box tests.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run.h"

// One daemon under test and everything it was seen to start.
struct Daemon {
	std::string dir;                       // temporary, removed by daemonCleanup
	std::string config;                    // dir/kestor.conf, given with -f
	std::string control;                   // dir/kestord.pipe, given with -c
	std::string pidFile;                   // dir/kestord.pid, given with -p
	Child child;                           // the process started, and its standard error
	pid_t pid = -1;                        // the daemon itself: child.pid with -d
	std::vector<std::string> log;          // every message read so far, prefix removed
	size_t next = 0;                       // how much of log nextMessage has handed out
	std::map<std::string, pid_t> services; // the last "name[pid] started" of each service
	std::vector<pid_t> started;            // every service process seen started
};

// Makes the temporary directory and names the three paths in it.
void daemonInit(Daemon &d);
// Writes the configuration file.
void daemonConfig(Daemon &d, const std::string &text);
// Starts "kestord -d -f config -c control -p pidFile", then the extra arguments; runs it in
// dir when one is given, and through the wrapper command, which is to exec it, when one is
// given. The daemon inherits only descriptors 0, 1 and 2.
void daemonStart(Daemon &d, const std::vector<std::string> &extra = {},
    const std::string &dir = "", const std::vector<std::string> &wrapper = {});
// The argument list daemonStart uses, without -d, for tests that run kestord themselves.
std::vector<std::string> daemonArgs(const Daemon &d, const std::vector<std::string> &extra);

// A line of standard error without its "kestord[PID]: " prefix; any other line unchanged.
std::string stripPrefix(const std::string &line);
// The next message not yet handed out, waiting at most the given time; false when none came.
bool nextMessage(Daemon &d, std::string &message, double seconds);
// Hands out messages until one equals (expectMessage) or contains (waitMessage) the text;
// false when none did in time. The message found and every message before it are consumed.
bool expectMessage(Daemon &d, const std::string &text, double seconds);
bool waitMessage(Daemon &d, const std::string &text, double seconds, std::string *found = nullptr);
// Reads the log, without handing messages out, until the service has been seen started;
// its latest process id, or -1.
pid_t servicePid(Daemon &d, const std::string &name, double seconds);
// Searches the whole log, reading more of it without handing messages out, for a message that
// holds the text; false when none came in time.
bool logContains(Daemon &d, const std::string &text, double seconds, std::string *found = nullptr);
// Reads the log, without handing messages out, until the service has written the line last;
// every line of output logged for the service before it, or what came when time ran out.
std::vector<std::string> serviceOutput(Daemon &d, const std::string &name,
    const std::string &last, double seconds);

// Writes the bytes into the control pipe with one write; false when that failed or fell short.
bool controlWrite(const Daemon &d, const std::string &bytes);
void daemonSignal(const Daemon &d, int signo);
// Sends SIGTERM and waits for the daemon to end; false when it did not in time.
bool daemonStop(Daemon &d, double seconds);
// The process title as /proc shows it, e.g. "kestord: 2/3 services"; empty once it is gone.
std::string processTitle(pid_t pid);
// The processes whose parent is pid.
std::vector<pid_t> childrenOf(pid_t pid);
// Kills the daemon and the process group of every service it started, by id, and removes the
// directory. Safe to call whatever state the test left things in.
void daemonCleanup(Daemon &d);

// A test with one daemon, always cleaned up, whether the test passes or not.
struct DaemonTest : ::testing::Test {
	Daemon kd;

	void
	SetUp() override
	{
		daemonInit(kd);
	}
	void
	TearDown() override
	{
		daemonCleanup(kd);
	}
};
