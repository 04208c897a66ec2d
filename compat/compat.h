// compat.h: what a platform lacks of the BSD interfaces the programs are written against.
// The build's probes define HAVE_x for each facility the platform has; everything here
// stands in only for what is missing, so the programs themselves carry no platform tests.
#pragma once

#include <signal.h>
#include <stddef.h>

// A getopt that permutes its arguments would take a command's own options for ours; "+"
// asks glibc's to stop at the first operand, as the BSD one always does.
#if defined(__GLIBC__)
#define OPTPREFIX "+"
#else
#define OPTPREFIX ""
#endif

// The status request: SIGINFO where the platform has it, else the first user signal.
#ifndef SIGINFO
#define SIGINFO SIGUSR1
#endif

#ifndef HAVE_SETPROCTITLE
// Takes over the argv area as room for the title; moves the environment out of it first and
// keeps a copy of the program's name for getprogname, err and syslog.
void setproctitleInit(int argc, char **argv);
void setproctitle(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
#else
static inline void
setproctitleInit(int, char **)
{
}
#endif

#ifndef HAVE_GETPROGNAME
// glibc keeps the short name for err(3); setproctitleInit points it at a private copy.
extern "C" char *program_invocation_short_name;
static inline const char *
getprogname(void)
{
	return program_invocation_short_name;
}
#endif

#ifndef HAVE_SYS_SIGNAME
// Lower-case signal names without the SIG prefix, indexed by number; entry 0 is "Signal 0".
extern const char *const sys_signame[32];
#endif

#ifndef HAVE_STRLCPY
size_t strlcpy(char *dst, const char *src, size_t size);
#endif

#ifndef HAVE_MAP_NORESERVE
// An mmap without the flag reserves no swap for pages never touched unless strict accounting
// was asked for; the request is then nothing.
#define MAP_NORESERVE 0
#endif

#ifdef HAVE_PROCCTL
#include <sys/procctl.h>
#else
#include <sys/types.h>
#include <sys/wait.h>
// The parent-death signal, the one request of procctl the programs make: compat/procctl.cc
// has it from Linux's prctl(PR_SET_PDEATHSIG).
#define PROC_PDEATHSIG_CTL 11
int procctl(idtype_t idtype, id_t id, int cmd, void *data);
#endif
