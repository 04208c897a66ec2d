// syslog.cc: the daemon's log, as the fuzz targets see it. Every message is formatted as the
// C library's syslog would format it, so the sanitizers check each argument against its
// conversion, and then dropped, so that a million inputs cost no log traffic. With
// KESTOR_FUZZ_LOG set in the environment the messages go to standard error, for reading a
// finding.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>

__attribute__((format(printf, 1, 0))) static void
logMessage(const char *fmt, va_list ap)
{
	static const bool show = getenv("KESTOR_FUZZ_LOG") != nullptr;
	char message[4096];

	vsnprintf(message, sizeof(message), fmt, ap);
	if (show)
		fprintf(stderr, "kestord: %s\n", message);
}

extern "C" void
syslog(int, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	logMessage(fmt, ap);
	va_end(ap);
}

