// launch: the bare launcher, the floor of every restart and start-up figure. It prints the
// CLOCK_MONOTONIC time at which it begins, then starts COUNT copies of the command with fork
// and execvp, one after another without waiting for any, and prints each child's pid.
#define _GNU_SOURCE
#include <sys/types.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	if (argc < 3) {
		fprintf(stderr, "usage: launch count command [argument ...]\n");
		return 64;
	}
	long count = strtol(argv[1], NULL, 10);
	printf("%lld\n", (long long)now.tv_sec * 1000000000 + now.tv_nsec);
	// The children must not write this buffer again when they fail to exec.
	fflush(stdout);
	for (long i = 0; i < count; i++) {
		pid_t pid = fork();
		if (pid == -1) {
			perror("launch: fork");
			return 71;
		}
		if (pid == 0) {
			execvp(argv[2], argv + 2);
			perror(argv[2]);
			_exit(126);
		}
		printf("%d\n", (int)pid);
	}
	return fflush(stdout) == 0 ? 0 : 74;
}
