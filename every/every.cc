// every: run a command again and again, with a fixed pause between the end of one run and the
// start of the next, for as long as it succeeds.
#include <sys/types.h>
#include <sys/wait.h>

#include <err.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <sysexits.h>
#include <unistd.h>

#include "compat.h"

// Reads an interval such as 1h30m, 45s or 90 into *seconds: components of a number and a
// unit letter (h, m, s), the last one may lack its letter and then counts as seconds. The
// arithmetic is unsigned and 32 bits wide, with no check for overflow. Returns nullptr, or
// the first byte after a number that is no unit (*seconds is then not set).
const char *
parseInterval(const char *text, uint32_t *seconds)
{
	uint32_t total = 0;
	const char *p = text;

	while (*p != '\0') {
		char *end;
		// strtoul skips blanks and takes a sign; with no digits it gives 0 and stays put.
		uint32_t n = static_cast<uint32_t>(strtoul(p, &end, 10));
		uint32_t factor;
		switch (*end) {
		case 'h':
			factor = 3600;
			break;
		case 'm':
			factor = 60;
			break;
		case 's':
		case '\0':
			factor = 1;
			break;
		default:
			return end;
		}
		total += n * factor;
		p = *end == '\0' ? end : end + 1;
	}
	*seconds = total;
	return nullptr;
}

// Why the command could not be executed, or 0. The vfork child shares the parent's memory
// and is gone before the parent reads this, so the parent reports the failure for it.
static volatile int execError;

// Returns only when the command exited with status 0; any other end of it ends the tool
// with its exit status, or with the raw wait status when a signal killed it. vfork spares
// the copy of the page tables that fork makes and the faults on the copied pages after it.
// The child, on the parent's memory, runs execvp alone (it searches the PATH and hands a
// script without "#!" to the shell, on the stack) and _exit, which flushes nothing.
static void
runCommand(char **argv)
{
	pid_t pid;
	int status;

	execError = 0;
	switch ((pid = vfork())) {
	case -1:
		err(EX_OSERR, "fork");
	case 0:
		execvp(argv[0], argv);
		execError = errno;
		_exit(126);
	}
	if (wait(&status) == -1)
		err(EX_OSERR, "wait");
	// 126: the command could not be run, the status its child has just ended with.
	if (execError != 0) {
		errno = execError;
		err(126, "%s", argv[0]);
	}
	if (WIFEXITED(status))
		status = WEXITSTATUS(status);
	if (status != 0)
		exit(status);
}

// every interval command [argument ...]: runs the command at once and then, after each
// run that succeeds, again once the interval has passed. It ends with the first failure.
int
main(int argc, char *argv[])
{
	uint32_t interval;

	if (argc < 2)
		errx(EX_USAGE, "interval required");
	if (argc < 3)
		errx(EX_USAGE, "command required");
	if (argv[1][0] == '\0')
		errx(EX_USAGE, "invalid zero interval");
	if (const char *bad = parseInterval(argv[1], &interval); bad != nullptr)
		errx(EX_USAGE, "invalid interval unit %c", *bad);
	if (interval == 0)
		errx(EX_USAGE, "invalid zero interval");

	for (;;) {
		runCommand(argv + 2);
		sleep(interval);
	}
}
