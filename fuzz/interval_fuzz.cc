// interval_fuzz.cc: every's interval text, any bytes up to the first NUL as the argument
// would carry them. A refusal must point at a byte of the text that is no unit; an accepted
// text cut after any of its unit letters must give two accepted halves whose intervals add up,
// modulo 2^32, to the whole.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

const char *parseInterval(const char *text, uint32_t *seconds);

namespace {

[[noreturn]] void
fail(const char *what, const std::string &text)
{
	fprintf(stderr, "interval_fuzz: %s: \"%s\"\n", what, text.c_str());
	abort();
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string text(reinterpret_cast<const char *>(data), size);
	text.resize(strlen(text.c_str()));

	uint32_t whole = 0;
	const char *bad = parseInterval(text.c_str(), &whole);
	if (bad != nullptr) {
		if (bad < text.c_str() || bad >= text.c_str() + text.size())
			fail("refusal points outside the text", text);
		if (*bad == 'h' || *bad == 'm' || *bad == 's')
			fail("refused at a unit letter", text);
		return 0;
	}
	for (size_t cut = 0; cut < text.size(); cut++) {
		if (text[cut] != 'h' && text[cut] != 'm' && text[cut] != 's')
			continue;
		std::string head = text.substr(0, cut + 1), tail = text.substr(cut + 1);
		uint32_t a = 0, b = 0;
		if (parseInterval(head.c_str(), &a) != nullptr ||
		    parseInterval(tail.c_str(), &b) != nullptr)
			fail("a half of an accepted text refused", text);
		if (static_cast<uint32_t>(a + b) != whole)
			fail("halves do not add up", text);
	}
	return 0;
}
