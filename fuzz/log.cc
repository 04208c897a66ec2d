// log.cc: the daemon's log, as the fuzz targets see it. Every message is formatted, so the
// sanitizers check each argument against its conversion, and then dropped, so that a million
// inputs cost no log traffic and nothing is ever queued or held back. With KESTOR_FUZZ_LOG set
// in the environment the messages go to standard error, for reading a finding.
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "kestord.h"

int
logOpen(bool)
{
	return 0;
}

void
logMessage(int, const char *fmt, ...)
{
	static const bool show = getenv("KESTOR_FUZZ_LOG") != nullptr;
	char message[4096];

	va_list ap;
	va_start(ap, fmt);
	vsnprintf(message, sizeof(message), fmt, ap);
	va_end(ap);
	if (show)
		fprintf(stderr, "kestord: %s\n", message);
}

void
logOutput(const char *name, pid_t pid, const char *text)
{
	logMessage(0, "%s[%d]: %s", name, pid, text);
}

void
logFlush(void)
{
}

bool
logWait(struct pollfd slots[logSlots], struct timespec *)
{
	for (size_t i = 0; i < logSlots; i++)
		slots[i] = {-1, 0, 0};
	return false;
}

bool
logHeld(void)
{
	return false;
}

bool
logPending(void)
{
	return false;
}
