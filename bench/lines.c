// lines: the writer of the log benchmarks. Started as writer.h says, it writes COUNT lines
// "@b 0000001" and so on to its standard output, in large writes, and exits 0.
#define _GNU_SOURCE
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "writer.h"

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
	long count;
	int status = writerArgs("lines", argc, argv, &count);
	if (status == 0)
		status = writerStart("lines", argv);
	if (status != 0)
		return status;

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
