// procctl.cc: procctl(2) for a system that has none, for PROC_PDEATHSIG_CTL on the calling
// process only (P_PID with 0 or its own id), through Linux's prctl(PR_SET_PDEATHSIG), which
// likewise sends the signal when the parent ends and is cleared by a change of credentials.
// Every other request fails with EINVAL. Only system calls: it runs between fork and exec.
#include <sys/types.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include "compat.h"

int
procctl(idtype_t idtype, id_t id, int cmd, void *data)
{
	if (idtype != P_PID || (id != 0 && id != static_cast<id_t>(getpid())) ||
	    cmd != PROC_PDEATHSIG_CTL) {
		errno = EINVAL;
		return -1;
	}
	int signo = *static_cast<const int *>(data);
	if (signo < 0 || signo >= NSIG) {
		errno = EINVAL;
		return -1;
	}
	return prctl(PR_SET_PDEATHSIG, static_cast<unsigned long>(signo));
}
