// launch: the bare launcher, the floor of every restart and start-up figure. It prints the
// CLOCK_MONOTONIC time at which it begins, then starts COUNT copies of the command with fork
// (or, with -v, vfork) and execvp, one after another without waiting for any, and prints each
// child's pid. vfork spares the copy of the launcher's page tables that fork makes.
//
// -d N first opens N close-on-exec descriptors (pipe ends), as a supervisor holds for its
// services: fork then copies them all and each exec closes them all. With -s the child shares
// the launcher's descriptor table instead of copying it (clone with CLONE_FILES, and
// CLONE_VFORK so that the launcher waits until the exec) and, as its first act, leaves that
// table with close_range(3, ~0, CLOSE_RANGE_UNSHARE), which copies only descriptors 0 to 2.
#define _GNU_SOURCE
#include <sys/syscall.h>
#include <sys/types.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#ifndef CLOSE_RANGE_UNSHARE
#define CLOSE_RANGE_UNSHARE (1U << 1)
#endif

// Outside main's frame, which a vfork child shares.
static int useVfork, share;

int
main(int argc, char *argv[])
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	int opt;
	long descriptors = 0;
	while ((opt = getopt(argc, argv, "+d:sv")) != -1) {
		switch (opt) {
		case 'd':
			descriptors = strtol(optarg, NULL, 10);
			break;
		case 's':
			share = 1;
			break;
		case 'v':
			useVfork = 1;
			break;
		default:
			return 64;
		}
	}
	if (argc < optind + 2) {
		fprintf(stderr, "usage: launch [-sv] [-d descriptors] count command [argument ...]\n");
		return 64;
	}
	long count = strtol(argv[optind], NULL, 10);
	char **command = argv + optind + 1;
	for (long i = 0; i < descriptors; i += 2) {
		int p[2];
		if (pipe2(p, O_CLOEXEC) == -1) {
			perror("launch: pipe2");
			return 71;
		}
	}
	printf("%lld\n", (long long)now.tv_sec * 1000000000 + now.tv_nsec);
	// The children must not write this buffer again when they fail to exec.
	fflush(stdout);
	for (long i = 0; i < count; i++) {
		pid_t pid;
		if (share)
			pid = (pid_t)syscall(SYS_clone, CLONE_FILES | CLONE_VFORK | SIGCHLD, 0, 0, 0, 0);
		else
			pid = useVfork ? vfork() : fork();
		if (pid == -1) {
			perror("launch: fork");
			return 71;
		}
		if (pid == 0) {
			if (share && syscall(SYS_close_range, 3, ~0U, CLOSE_RANGE_UNSHARE) == -1)
				_exit(126);
			execvp(command[0], command);
			// A vfork child shares the launcher's memory: a plain write and _exit only.
			static const char msg[] = "launch: exec failed\n";
			ssize_t n = write(STDERR_FILENO, msg, sizeof(msg) - 1);
			(void)n;
			_exit(126);
		}
		printf("%d\n", (int)pid);
	}
	return fflush(stdout) == 0 ? 0 : 74;
}
