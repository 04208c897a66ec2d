// setproctitle.cc: the BSD process title, for a system that shows a process by the bytes of
// its argument area. The title is written over the original argument and environment strings,
// which setproctitleInit has first copied elsewhere; "ps" and /proc/PID/cmdline then read
// "name: title". Only the plain form is kept: a format that begins with '-' is taken as text.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "compat.h"

extern char **environ;
extern "C" char *program_invocation_name;

static char *titleArea;   // the first byte of argv[0]
static size_t titleSize;  // the whole area: the argument strings and the environment after them
static size_t argsSize;   // the argument strings alone, as the kernel remembers them

// Moves every string the process may still need out of the area: the arguments (options
// keep pointing into argv), the environment and the name used by err and syslog.
void
setproctitleInit(int argc, char **argv)
{
	if (argc < 1 || argv[0] == nullptr)
		return;
	char *start = argv[0];
	char *end = start;
	for (int i = 0; i < argc; i++) {
		if (argv[i] != end)
			break;
		end = argv[i] + strlen(argv[i]) + 1;
	}
	size_t args = end - start;
	size_t envc = 0;
	while (environ[envc] != nullptr)
		envc++;
	for (size_t i = 0; i < envc && environ[i] == end; i++)
		end = environ[i] + strlen(environ[i]) + 1;

	// Without the copies nothing is given up: the title is then simply not shown.
	char **env = static_cast<char **>(calloc(envc + 1, sizeof(*env)));
	char *name = strdup(argv[0]);
	if (env == nullptr || name == nullptr) {
		free(env);
		free(name);
		return;
	}
	for (size_t i = 0; i < envc; i++)
		if ((env[i] = strdup(environ[i])) == nullptr)
			return;
	for (int i = 0; i < argc; i++)
		if ((argv[i] = strdup(argv[i])) == nullptr)
			return;
	environ = env;
	program_invocation_name = name;
	const char *slash = strrchr(name, '/');
	program_invocation_short_name = slash != nullptr ? const_cast<char *>(slash) + 1 : name;
	titleArea = start;
	titleSize = end - start;
	argsSize = args;
}

void
setproctitle(const char *fmt, ...)
{
	char title[256];
	va_list ap;

	if (titleArea == nullptr)
		return;
	int n = snprintf(title, sizeof(title), "%s: ", getprogname());
	if (n < 0 || static_cast<size_t>(n) >= sizeof(title))
		return;
	va_start(ap, fmt);
	vsnprintf(title + n, sizeof(title) - n, fmt, ap);
	va_end(ap);

	memset(titleArea, 0, titleSize);
	strlcpy(titleArea, title, titleSize);
	// The kernel returns the whole argument area, padding included, while its last byte is
	// NUL; a byte there that is not NUL makes it stop at the title's own terminator instead.
	size_t len = strlen(titleArea);
	if (len + 1 < argsSize)
		titleArea[argsSize - 1] = ' ';
}
