// lines: the writer of the log benchmarks. It tells the bench it is ready with a datagram
// "NAME-ready PID NS", waits until the bench opens the FIFO GO for writing, then reads
// CLOCK_MONOTONIC, sends "NAME PID NS" and writes COUNT lines "@b 0000001" and so on to its
// standard output, in large writes, and exits 0. A second run, as a supervisor restarts it,
// waits on the FIFO for ever and writes nothing.
#define _GNU_SOURCE
#include <sys/socket.h>
#include <sys/un.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static struct sockaddr_un to = {.sun_family = AF_UNIX};

static void
stamp(const char *name, const char *suffix)
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	char msg[256];
	int n = snprintf(msg, sizeof(msg), "%s%s %d %lld", name, suffix, (int)getpid(),
	    (long long)now.tv_sec * 1000000000 + now.tv_nsec);
	int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd == -1 || n <= 0 || (size_t)n >= sizeof(msg) ||
	    sendto(fd, msg, n, 0, (struct sockaddr *)&to, sizeof(to)) == -1)
		perror("lines: stamp");
	if (fd != -1)
		close(fd);
}

static int
writeAll(const char *buf, size_t len)
{
	while (len > 0) {
		ssize_t n = write(STDOUT_FILENO, buf, len);
		if (n == -1 && errno == EINTR)
			continue;
		if (n <= 0)
			return -1;
		buf += n;
		len -= n;
	}
	return 0;
}

int
main(int argc, char *argv[])
{
	if (argc != 5 || strlen(argv[1]) >= sizeof(to.sun_path)) {
		fprintf(stderr, "usage: lines socket name count go-fifo\n");
		return 64;
	}
	strcpy(to.sun_path, argv[1]);
	long count = strtol(argv[3], NULL, 10);
	if (count < 0 || count > 9999999) {
		fprintf(stderr, "lines: count out of range\n");
		return 64;
	}

	stamp(argv[2], "-ready");
	int go = open(argv[4], O_RDONLY | O_CLOEXEC);
	if (go == -1) {
		perror(argv[4]);
		return 66;
	}
	close(go);
	stamp(argv[2], "");

	// Lines of a fixed 11 bytes, so that the loggers' files can be checked by their size. The
	// number is counted up in place, digit by digit: the writer's own work is to cost next to
	// nothing beside the write(2) calls, or it takes processor time from what is measured.
	static char buf[65536 - 65536 % 11];
	char line[11] = {'@', 'b', ' ', '0', '0', '0', '0', '0', '0', '0', '\n'};
	size_t len = 0;
	for (long i = 1; i <= count; i++) {
		for (int d = 9; d >= 3 && ++line[d] > '9'; d--)
			line[d] = '0';
		memcpy(buf + len, line, 11);
		len += 11;
		if (len == sizeof(buf)) {
			if (writeAll(buf, len) == -1)
				return 74;
			len = 0;
		}
	}
	if (len > 0 && writeAll(buf, len) == -1)
		return 74;
	return 0;
}
