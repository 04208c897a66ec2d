// signame.cc: the BSD table of signal names, for a C library that has none. Lower case, no
// SIG prefix, indexed by this platform's own signal numbers 1 to 31; entry 0 is not a signal.
#include <signal.h>

#include "compat.h"

static_assert(SIGHUP == 1 && SIGSTKFLT == 16 && SIGCHLD == 17 && SIGSYS == 31,
    "this table follows the Linux numbering of signals 1 to 31");

const char *const sys_signame[32] = {
	"Signal 0", "hup", "int", "quit", "ill", "trap", "abrt", "bus", "fpe", "kill", "usr1",
	"segv", "usr2", "pipe", "alrm", "term", "stkflt", "chld", "cont", "stop", "tstp", "ttin",
	"ttou", "urg", "xcpu", "xfsz", "vtalrm", "prof", "winch", "io", "pwr", "sys",
};
