// launch: the bare launcher, the floor of every restart and start-up figure. It prints the
// CLOCK_MONOTONIC time at which it begins, then starts COUNT copies of the command with fork
// (or, with -v, vfork) and execvp, one after another without waiting for any, and prints each
// child's pid. vfork spares the copy of the launcher's page tables that fork makes.
#define _GNU_SOURCE
#include <sys/types.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	int first = 1;
	int useVfork = argc > 1 && strcmp(argv[1], "-v") == 0;
	first += useVfork;
	if (argc < first + 2) {
		fprintf(stderr, "usage: launch [-v] count command [argument ...]\n");
		return 64;
	}
	long count = strtol(argv[first], NULL, 10);
	char **command = argv + first + 1;
	printf("%lld\n", (long long)now.tv_sec * 1000000000 + now.tv_nsec);
	// The children must not write this buffer again when they fail to exec.
	fflush(stdout);
	for (long i = 0; i < count; i++) {
		pid_t pid = useVfork ? vfork() : fork();
		if (pid == -1) {
			perror("launch: fork");
			return 71;
		}
		if (pid == 0) {
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
