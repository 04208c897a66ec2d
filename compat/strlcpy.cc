// strlcpy.cc: the BSD bounded string copy, for a C library that lacks it.
#include <string.h>

#include "compat.h"

// Copies at most size - 1 bytes and always terminates (when size is not 0); returns the
// length of src, so a result of size or more tells the caller the copy was cut.
size_t
strlcpy(char *dst, const char *src, size_t size)
{
	size_t len = strlen(src);

	if (size != 0) {
		size_t n = len < size - 1 ? len : size - 1;
		memcpy(dst, src, n);
		dst[n] = '\0';
	}
	return len;
}
