// blast: the floor of the log benchmarks. It sends COUNT datagrams of the daemon's shape for
// the lines "@b 0000001" and so on ("<29>Mmm dd hh:mm:ss kestord[PID]: NAME[PID]: @b 0000001")
// to the system log socket, 256 to a sendmmsg(2) call, on a non-blocking socket that it polls
// for room when the receiver is full, as the daemon does; the datagrams are made before the
// clock starts, so that what is measured is the kernel's cost of one datagram a line, which
// no sender that keeps each line a datagram of its own can go below. It tells the bench it is
// ready, waits for the go and stamps its start as writer.h says, and exits 0 once all are
// sent.
#define _GNU_SOURCE
#include <sys/socket.h>
#include <sys/un.h>

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "writer.h"

enum { batch = 256, datagramMax = 128 };

static char datagrams[batch][datagramMax];
static struct iovec iovs[batch];
static struct mmsghdr msgs[batch];

// Writes value into the 7 digits that end the datagram d of length len.
static void
number(char *d, size_t len, long value)
{
	for (size_t i = len; i > len - 7; i--, value /= 10)
		d[i - 1] = (char)('0' + value % 10);
}

int
main(int argc, char *argv[])
{
	long count;
	int status = writerArgs("blast", argc, argv, &count);
	if (status != 0)
		return status;

	struct sockaddr_un dest = {.sun_family = AF_UNIX};
	strcpy(dest.sun_path, _PATH_LOG);
	int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
	int size = 1024 * 1024;
	if (fd != -1)
		setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
	if (fd == -1 || connect(fd, (struct sockaddr *)&dest, sizeof(dest)) == -1) {
		perror("blast: " _PATH_LOG);
		return 69;
	}
	time_t t = time(NULL);
	char when[32];
	strftime(when, sizeof(when), "%b %e %T", localtime(&t));
	int pid = getpid();
	for (int i = 0; i < batch; i++) {
		int n = snprintf(datagrams[i], datagramMax, "<29>%s kestord[%d]: %s[%d]: @b %07d", when,
		    pid, argv[2], pid, i + 1);
		if (n <= 0 || n >= datagramMax) {
			fprintf(stderr, "blast: name too long\n");
			return 64;
		}
		iovs[i].iov_base = datagrams[i];
		iovs[i].iov_len = (size_t)n;
		msgs[i].msg_hdr.msg_iov = &iovs[i];
		msgs[i].msg_hdr.msg_iovlen = 1;
	}

	if ((status = writerStart("blast", argv)) != 0)
		return status;

	// Each call sends the next 256 numbers; a short one leaves the rest for the next.
	long sent = 0;
	int at = 0;
	while (sent < count) {
		long left = count - sent;
		int want = batch - at < left ? batch - at : (int)left;
		int n = sendmmsg(fd, msgs + at, want, 0);
		if (n == -1) {
			if (errno == EAGAIN) {
				struct pollfd p = {fd, POLLOUT, 0};
				poll(&p, 1, -1);
				continue;
			}
			if (errno == EINTR)
				continue;
			perror("blast: sendmmsg");
			return 74;
		}
		sent += n;
		at += n;
		if (at == batch) {
			for (int i = 0; i < batch; i++)
				number(datagrams[i], iovs[i].iov_len, sent + i + 1);
			at = 0;
		}
	}
	return 0;
}
