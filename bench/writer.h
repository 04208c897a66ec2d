// writer.h: what the two writers of the log benchmarks, lines and blast, share: their
// arguments "socket name count go-fifo" and their start. writerStart tells the bench it is
// ready with a datagram "NAME-ready PID NS" to SOCKET, waits until the bench opens the FIFO
// GO for writing, then reads CLOCK_MONOTONIC and sends "NAME PID NS". A second run, as a
// supervisor restarts a writer, waits on the FIFO for ever.
#include <sys/socket.h>
#include <sys/un.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static struct sockaddr_un writerTo = {.sun_family = AF_UNIX};

static void
writerStamp(const char *self, const char *name, const char *suffix)
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	char msg[256];
	int n = snprintf(msg, sizeof(msg), "%s%s %d %lld", name, suffix, (int)getpid(),
	    (long long)now.tv_sec * 1000000000 + now.tv_nsec);
	int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd == -1 || n <= 0 || (size_t)n >= sizeof(msg) ||
	    sendto(fd, msg, n, 0, (struct sockaddr *)&writerTo, sizeof(writerTo)) == -1)
		fprintf(stderr, "%s: stamp: %s\n", self, strerror(errno));
	if (fd != -1)
		close(fd);
}

// Checks the arguments and puts the count in *count: 0, or the exit status of a misuse.
static int
writerArgs(const char *self, int argc, char *argv[], long *count)
{
	if (argc != 5 || strlen(argv[1]) >= sizeof(writerTo.sun_path)) {
		fprintf(stderr, "usage: %s socket name count go-fifo\n", self);
		return 64;
	}
	strcpy(writerTo.sun_path, argv[1]);
	*count = strtol(argv[3], NULL, 10);
	if (*count < 0 || *count > 9999999) {
		fprintf(stderr, "%s: count out of range\n", self);
		return 64;
	}
	return 0;
}

// Waits for the go and stamps the start: 0, or the exit status of a failure.
static int
writerStart(const char *self, char *argv[])
{
	writerStamp(self, argv[2], "-ready");
	int go = open(argv[4], O_RDONLY | O_CLOEXEC);
	if (go == -1) {
		perror(argv[4]);
		return 66;
	}
	close(go);
	writerStamp(self, argv[2], "");
	return 0;
}
