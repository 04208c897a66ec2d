// sink: the syslog receiver of the log benchmarks, for a machine without a syslog daemon. It
// binds a datagram socket at PATH with a large receive buffer, drains it with recvmmsg, and
// counts the datagrams that contain MARKER. It prints "ready" once bound. Each line "COUNT
// IDLE_MS" on its standard input opens a round, which it acknowledges with "round" before it
// counts anything. The round ends when COUNT marked datagrams have come, or when none came for
// IDLE_MS (from the round's start until the first one), and the sink then prints "COUNTED
// FIRST_NS LAST_NS OTHERS": the marked datagrams, the CLOCK_MONOTONIC times of the first and
// the last of them, and the unmarked ones. At the end of its input it removes PATH and exits.
#define _GNU_SOURCE
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <errno.h>
#include <poll.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { batch = 512, datagramMax = 2048 };

static char bufs[batch][datagramMax];
static struct iovec iovs[batch];
static struct mmsghdr msgs[batch];

static long long
nowNanos(void)
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return (long long)now.tv_sec * 1000000000 + now.tv_nsec;
}

int
main(int argc, char *argv[])
{
	if (argc != 3) {
		fprintf(stderr, "usage: sink path marker\n");
		return 64;
	}
	const char *path = argv[1];
	const char *marker = argv[2];
	size_t markerLen = strlen(marker);

	struct sockaddr_un addr = {.sun_family = AF_UNIX};
	if (strlen(path) >= sizeof(addr.sun_path)) {
		fprintf(stderr, "sink: %s: path too long\n", path);
		return 64;
	}
	strcpy(addr.sun_path, path);
	int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
	if (fd == -1) {
		perror("sink: socket");
		return 71;
	}
	// Root may pass the rmem_max ceiling; anyone else gets what the ceiling allows.
	int size = 64 << 20;
	if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) == -1)
		setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
	if (bind(fd, (struct sockaddr *)&addr, sizeof(addr)) == -1) {
		perror(path);
		return 73;
	}
	chmod(path, 0666);
	for (int i = 0; i < batch; i++) {
		iovs[i].iov_base = bufs[i];
		iovs[i].iov_len = datagramMax;
		msgs[i].msg_hdr.msg_iov = &iovs[i];
		msgs[i].msg_hdr.msg_iovlen = 1;
	}
	printf("ready\n");
	fflush(stdout);

	bool inRound = false, flowing = false;
	const struct timespec nap = {0, 100000};
	long long target = 0, counted = 0, others = 0, first = 0, last = 0, since = 0;
	int idleMs = 0;
	char cmd[256];
	size_t cmdLen = 0;
	for (;;) {
		struct pollfd fds[2] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
		// While datagrams flow the sink naps instead of waking for each one: a sender then
		// finds its datagrams queued in bulk and never waits on the sink.
		int timeout = -1;
		if (flowing)
			timeout = 0;
		else if (inRound) {
			long long left = (counted > 0 ? last : since) + idleMs * 1000000LL - nowNanos();
			timeout = left <= 0 ? 0 : (int)(left / 1000000) + 1;
		}
		int ready = poll(fds, 2, timeout);
		if (ready == -1 && errno != EINTR) {
			perror("sink: poll");
			break;
		}
		if (ready > 0 && fds[1].revents != 0) {
			ssize_t n = read(STDIN_FILENO, cmd + cmdLen, sizeof(cmd) - 1 - cmdLen);
			if (n <= 0)
				break;
			cmdLen += n;
			char *nl = memchr(cmd, '\n', cmdLen);
			if (nl != NULL) {
				*nl = '\0';
				if (sscanf(cmd, "%lld %d", &target, &idleMs) == 2) {
					inRound = true;
					counted = others = first = last = 0;
					since = nowNanos();
					printf("round\n");
					fflush(stdout);
				}
				cmdLen -= nl + 1 - cmd;
				memmove(cmd, nl + 1, cmdLen);
			} else if (cmdLen == sizeof(cmd) - 1) {
				cmdLen = 0;
			}
		}
		if (ready > 0 && fds[0].revents != 0) {
			flowing = false;
			for (;;) {
				int n = recvmmsg(fd, msgs, batch, MSG_DONTWAIT, NULL);
				if (n <= 0)
					break;
				flowing = true;
				long long t = nowNanos();
				for (int i = 0; i < n; i++) {
					if (!inRound)
						continue;
					if (memmem(bufs[i], msgs[i].msg_len, marker, markerLen) == NULL) {
						others++;
						continue;
					}
					if (counted++ == 0)
						first = t;
					last = t;
				}
				if (n < batch)
					break;
			}
			if (flowing)
				nanosleep(&nap, NULL);
		} else if (ready == 0) {
			flowing = false;
		}
		if (inRound) {
			long long idle = nowNanos() - (counted > 0 ? last : since);
			if (counted >= target || idle >= idleMs * 1000000LL) {
				printf("%lld %lld %lld %lld\n", counted, first, last, others);
				fflush(stdout);
				inRound = false;
			}
		}
	}
	unlink(path);
	return 0;
}
