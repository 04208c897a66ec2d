// control_fuzz.cc: any bytes on the control pipe, through the line rule into the control
// interpreter, as the event loop hands them on. The first byte of an input says how often the
// rest is repeated (up to 256 KiB, so that short inputs make long lines and long bursts), the
// next four choose how the stream is cut into writes. Whatever the chunking, the lines handed
// out must be exactly those of a plain model of the rule: NUL bytes dropped, a line ended by a
// newline or cut at 511 bytes, nothing lost and nothing made up.
//
// The table holds a few fixed services. Their directory does not exist, so a started service
// forks a child that fails at once with status 126, which is reaped between writes as the loop
// would reap it; at most one process per service exists at a time, and every input ends with
// all of them reaped and the table emptied.
#include <sys/ioctl.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "compat.h"
#include "kestord.h"

namespace {

// Names the usual patterns reach, a privileged one and one that is itself a pattern.
const char *const names[] = {"web", "web-2", "@db", "[w]*"};
constexpr size_t streamMax = 256 * 1024;
constexpr size_t chunksMax = 24;

int pipeFds[2];
Line controlLine;
// The daemon's command buffer is its own; this one is filled the same way.
char controlBuf[512];
// The lines handed out, one after the other, and the length of each; the model's the same
// way. Kept from input to input, so that their room is allocated once.
struct Lines {
	std::string text;
	std::vector<size_t> lens;
};
Lines handed, expected;
std::string stream;

[[noreturn]] void
fail(const char *what, const std::string &detail = "")
{
	fprintf(stderr, "control_fuzz: %s%s%s\n", what, detail.empty() ? "" : ": ",
	    detail.c_str());
	abort();
}

void
tableCheck()
{
	if (services.len > services.cap)
		fail("table length beyond its capacity");
	for (size_t i = 0; i < services.len; i++) {
		const Service &s = services.elems[i];
		if (s.state == State::Running && s.pid <= 0)
			fail("running service without a process", s.name);
		for (size_t j = 0; j < i; j++)
			if (strcmp(s.name, services.elems[j].name) == 0)
				fail("a name twice in the table", s.name);
	}
}

// As the daemon's consumer: the text up to its first NUL goes into the command buffer.
void
controlCommand(void *, const char *text)
{
	handed.lens.push_back(strlen(text));
	handed.text += text;
	strlcpy(controlBuf, text, sizeof(controlBuf));
	parseControl(controlBuf);
	tableCheck();
}

// Reaps the services' children that have ended; with wait set, waits for every one, again and
// again while the reaping restarts some.
void
reap(bool wait)
{
	for (bool again = true; again;) {
		again = false;
		for (size_t i = 0; i < services.len; i++) {
			Service &s = services.elems[i];
			if (s.state != State::Running)
				continue;
			// A STOP from the input must not hold the wait up.
			if (wait)
				killpg(s.pid, SIGCONT);
			// The fuzzer's own timer interrupts a wait that blocks.
			int status;
			pid_t pid;
			while ((pid = waitpid(s.pid, &status, wait ? 0 : WNOHANG)) == -1 &&
			    errno == EINTR)
				;
			if (pid == -1)
				fail("waitpid", strerror(errno));
			if (pid == 0)
				continue;
			serviceRead(&s);
			serviceReap(pid, status);
			again = wait;
		}
	}
	tableCheck();
}

// Returns the unfinished line.
std::string
model(const std::string &bytes, Lines &lines)
{
	constexpr size_t pendingMax = sizeof(controlLine.buf) - 1;
	size_t pending = 0;
	lines.text.clear();
	lines.lens.clear();
	for (char c : bytes) {
		if (c == '\0')
			continue;
		if (pending == pendingMax) {
			lines.lens.push_back(pending);
			pending = 0;
		}
		if (c == '\n') {
			lines.lens.push_back(pending);
			pending = 0;
		} else {
			lines.text += c;
			pending++;
		}
	}
	// The last read leaves a full line behind, which the next call cuts.
	if (pending == pendingMax) {
		lines.lens.push_back(pending);
		pending = 0;
	}
	return lines.text.substr(lines.text.size() - pending);
}

int
pipeHolds()
{
	int n = 0;
	if (ioctl(pipeFds[0], FIONREAD, &n) == -1)
		fail("FIONREAD", strerror(errno));
	return n;
}

// Writes the chunk; when the pipe is full the daemon's side reads, as it would when polled.
void
feed(const char *bytes, size_t len)
{
	while (len > 0) {
		ssize_t n = write(pipeFds[1], bytes, len);
		if (n == -1 && errno != EAGAIN)
			fail("write", strerror(errno));
		if (n > 0) {
			bytes += n;
			len -= n;
		}
		lineRead(&controlLine, pipeFds[0], controlCommand, nullptr);
	}
}

// The fuzzer catches signals of its own (TERM, INT, ALRM, SEGV and more); a service's child
// must meet them as the daemon's does, with their default actions. Signals wait, blocked,
// from before the fork until the child has put the defaults back, as the daemon's own
// handled signals wait.
sigset_t forkMask;

void
forkPrepare()
{
	sigset_t all;
	sigfillset(&all);
	sigprocmask(SIG_BLOCK, &all, &forkMask);
}

void
forkParent()
{
	sigprocmask(SIG_SETMASK, &forkMask, nullptr);
}

void
forkChild()
{
	for (int signo = 1; signo < NSIG; signo++)
		if (signo != SIGKILL && signo != SIGSTOP)
			signal(signo, SIG_DFL);
	sigprocmask(SIG_SETMASK, &forkMask, nullptr);
}

}  // namespace

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	pthread_atfork(forkPrepare, forkParent, forkChild);
	if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) == -1)
		fail("pipe2", strerror(errno));
	serviceDir = "/nonexistent/kestor-fuzz";
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 5)
		return 0;
	size_t repeat = size_t{1} << (data[0] % 12);
	uint32_t seed;
	memcpy(&seed, data + 1, sizeof(seed));
	stream.clear();
	for (size_t i = 0; i < repeat && stream.size() < streamMax; i++)
		stream.append(reinterpret_cast<const char *>(data + 5), size - 5);
	if (stream.size() > streamMax)
		stream.resize(streamMax);

	for (const char *name : names)
		if (serviceAdd(name, "true") == -1)
			fail("serviceAdd", strerror(errno));
	memset(&controlLine, 0, sizeof(controlLine));
	handed.text.clear();
	handed.lens.clear();

	// Chunks of a few bytes, of about a line, or of more than the pipe holds.
	std::minstd_rand random(seed);
	size_t at = 0;
	for (size_t chunks = 0; at < stream.size(); chunks++) {
		size_t len = stream.size() - at;
		if (chunks + 1 < chunksMax) {
			switch (random() % 3) {
			case 0:
				len = std::min<size_t>(len, 1 + random() % 8);
				break;
			case 1:
				len = std::min<size_t>(len, 1 + random() % 1024);
				break;
			default:
				len = std::min<size_t>(len, 1 + random() % 100000);
				break;
			}
		}
		feed(stream.data() + at, len);
		at += len;
		reap(false);
	}
	// The rest, as further passes of the loop would read it.
	while (pipeHolds() > 0)
		lineRead(&controlLine, pipeFds[0], controlCommand, nullptr);

	std::string pending = model(stream, expected);
	expected.text.resize(expected.text.size() - pending.size());
	if (handed.lens != expected.lens)
		fail("lines handed out differ from the model in number or length",
		    std::to_string(handed.lens.size()) + " lines, model " +
		    std::to_string(expected.lens.size()));
	if (handed.text != expected.text)
		fail("lines handed out differ from the model");
	const char *rest = lineFlush(&controlLine);
	if ((rest == nullptr) != pending.empty() || (rest != nullptr && pending != rest))
		fail("unfinished line differs from the model");

	reap(true);
	while (services.len > 0) {
		size_t before = services.len;
		serviceDrop(services.len - 1);
		if (services.len == before)
			fail("a reaped service cannot be dropped");
	}
	return 0;
}
