// stamp: the service of the restart and start-up benchmarks. It reads CLOCK_MONOTONIC as its
// first act, sends "NAME PID NANOSECONDS" as one datagram to the bench's socket and then waits
// for a signal to end it; with "once" it exits 0 at once instead, as a command run on a change.
#define _GNU_SOURCE
#include <sys/socket.h>
#include <sys/un.h>

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	if (argc < 3 || argc > 4) {
		fprintf(stderr, "usage: stamp socket name [once]\n");
		return 64;
	}

	struct sockaddr_un to = {.sun_family = AF_UNIX};
	if (strlen(argv[1]) >= sizeof(to.sun_path)) {
		fprintf(stderr, "stamp: %s: path too long\n", argv[1]);
		return 64;
	}
	strcpy(to.sun_path, argv[1]);
	char msg[256];
	int n = snprintf(msg, sizeof(msg), "%s %d %lld", argv[2], (int)getpid(),
	    (long long)now.tv_sec * 1000000000 + now.tv_nsec);
	int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	// A stamp that cannot be sent is a start the bench never sees: it times out and says so.
	if (fd == -1 || n <= 0 || (size_t)n >= sizeof(msg) ||
	    sendto(fd, msg, n, 0, (struct sockaddr *)&to, sizeof(to)) == -1)
		perror("stamp");
	if (fd != -1)
		close(fd);
	if (argc == 4)
		return 0;
	for (;;)
		pause();
}
