// receiver.cc: the tests' own system log receiver and the private /dev it lives in.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>

#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "receiver.h"

bool
privateDevUsable(std::string &why)
{
	if (geteuid() != 0) {
		why = "a private /dev needs root";
		return false;
	}
	Result probe = runProgram("/usr/bin/unshare", {"-m", "--propagation", "private", "true"});
	if (exitStatus(probe) != 0) {
		why = "unshare -m failed: " + probe.err;
		return false;
	}
	return true;
}

void
receiverInit(Receiver &r, const std::string &dir)
{
	r.dev = dir + "/dev";
	mkdir(r.dev.c_str(), 0755);
	for (const char *name : {"null", "zero", "full", "random", "urandom"})
		writeFile(r.dev + "/" + name, "");
	symlink("/proc/self/fd", (r.dev + "/fd").c_str());
	symlink("/proc/self/fd/0", (r.dev + "/stdin").c_str());
	symlink("/proc/self/fd/1", (r.dev + "/stdout").c_str());
	symlink("/proc/self/fd/2", (r.dev + "/stderr").c_str());
}

std::vector<std::string>
privateDevWrapper(const Receiver &r)
{
	// The devices are bound over their empty files inside the namespace only, and the whole
	// directory then over /dev.
	static const char script[] =
	    "dev=$1; shift; "
	    "for n in null zero full random urandom; do "
	    "mount --bind /dev/$n \"$dev/$n\" || exit 125; done; "
	    "mount --rbind \"$dev\" /dev || exit 125; "
	    "exec \"$@\"";
	return {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script, "sh",
	    r.dev};
}

bool
receiverBind(Receiver &r)
{
	struct sockaddr_un addr = {};
	addr.sun_family = AF_UNIX;
	std::string path = r.dev + "/log";
	if (path.size() >= sizeof(addr.sun_path))
		return false;
	strcpy(addr.sun_path, path.c_str());
	r.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (r.fd == -1)
		return false;
	unlink(path.c_str());
	if (bind(r.fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) == -1) {
		close(r.fd);
		r.fd = -1;
		return false;
	}
	return true;
}

void
receiverRead(Receiver &r)
{
	static char buf[65536];
	while (r.fd != -1) {
		ssize_t n = recv(r.fd, buf, sizeof(buf), 0);
		if (n < 0)
			return;
		r.got.emplace_back(buf, n);
	}
}

void
receiverClose(Receiver &r)
{
	receiverRead(r);
	if (r.fd != -1)
		close(r.fd);
	r.fd = -1;
	unlink((r.dev + "/log").c_str());
}

bool
receiverWait(Receiver &r, const std::string &text, double seconds, Child &daemon)
{
	double deadline = monotonicSeconds() + seconds;
	for (size_t seen = 0;;) {
		receiverRead(r);
		for (; seen < r.got.size(); seen++)
			if (r.got[seen].find(text) != std::string::npos)
				return true;
		double left = deadline - monotonicSeconds();
		if (left <= 0 || r.fd == -1)
			return false;
		struct pollfd slots[2] = {{r.fd, POLLIN, 0}, {daemon.errFd, POLLIN, 0}};
		if (poll(slots, 2, static_cast<int>(left * 1000) + 1) > 0 && slots[1].revents != 0)
			pump(daemon, 0);
	}
}

std::string
receiverText(const std::string &datagram)
{
	// "<PRI>" and the 16 bytes of "Mmm dd hh:mm:ss ".
	size_t close = datagram.find('>');
	if (close == std::string::npos || datagram.size() < close + 17)
		return datagram;
	return stripPrefix(datagram.substr(close + 17));
}

std::vector<long>
numberedLines(const std::vector<std::string> &messages, const std::string &name)
{
	std::vector<long> numbers;
	std::string prefix = name + "[";
	for (const std::string &m : messages) {
		if (m.compare(0, prefix.size(), prefix) != 0)
			continue;
		size_t colon = m.find("]: ", prefix.size());
		if (colon == std::string::npos)
			continue;
		std::string text = m.substr(colon + 3);
		if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos)
			numbers.push_back(atol(text.c_str()));
	}
	return numbers;
}
