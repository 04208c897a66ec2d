// kestord_test.cc: the daemon's pure pieces in process: option readings, time arithmetic,
// duration text, signal names, the line rule over real pipes and the configuration reader.
#include <sys/ioctl.h>
#include <sys/types.h>

#include <ctype.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "../kestord/kestord.h"
#include "compat.h"
#include "run.h"

namespace {

// A span as seconds and nine digits of nanoseconds, so that a mismatch shows both parts.
std::string
text(struct timespec span)
{
	char buf[64];
	snprintf(buf, sizeof(buf), "%lld.%09ld", static_cast<long long>(span.tv_sec), span.tv_nsec);
	return buf;
}

struct timespec
span(time_t seconds, long nanoseconds)
{
	struct timespec t;
	t.tv_sec = seconds;
	t.tv_nsec = nanoseconds;
	return t;
}

TEST(Millis, SplitIntoSecondsAndNanoseconds)
{
	EXPECT_EQ("1.500000000", text(parseMillis("1500")));
	EXPECT_EQ("0.999000000", text(parseMillis("999")));
	EXPECT_EQ("1.000000000", text(parseMillis("1000")));
	EXPECT_EQ("900.000000000", text(parseMillis("900000")));
	EXPECT_EQ("0.000000000", text(parseMillis("0")));
}

TEST(Millis, ReadLikeStrtoulWithoutChecks)
{
	EXPECT_EQ("0.000000000", text(parseMillis("abc")));
	EXPECT_EQ("0.000000000", text(parseMillis("")));
	EXPECT_EQ("0.250000000", text(parseMillis(" \t250")));
	EXPECT_EQ("2.500000000", text(parseMillis("2500ms")));
	EXPECT_EQ("1.000000000", text(parseMillis("1000.9")));
}

// The statuses in a -s set, in order.
std::vector<int>
members(const uint32_t exits[8])
{
	std::vector<int> statuses;
	for (int v = 0; v < 256; v++)
		if (exits[v / 32] >> (v % 32) & 1)
			statuses.push_back(v);
	return statuses;
}

// Reads the list into a set that starts full, so that anything left over would show.
std::vector<int>
exitList(const char *list)
{
	uint32_t exits[8];
	memset(exits, 0xff, sizeof(exits));
	const char *rest = parseExits(list, exits);
	if (rest != nullptr)
		return {-1};
	return members(exits);
}

std::string
badExitItem(const char *list)
{
	uint32_t exits[8] = {};
	const char *rest = parseExits(list, exits);
	return rest != nullptr ? rest : "(accepted)";
}

TEST(ExitList, ItemsAreStatusesModulo256)
{
	EXPECT_EQ(std::vector<int>{}, exitList(""));
	EXPECT_EQ(std::vector<int>{64}, exitList("64"));
	EXPECT_EQ(std::vector<int>{64}, exitList("64,"));
	EXPECT_EQ((std::vector<int>{0, 64, 65}), exitList("64,,65"));
	EXPECT_EQ((std::vector<int>{0, 5}), exitList(",5"));
	EXPECT_EQ(std::vector<int>{0}, exitList(","));
	EXPECT_EQ(std::vector<int>{44}, exitList("300"));
	EXPECT_EQ(std::vector<int>{255}, exitList("255"));
	EXPECT_EQ(std::vector<int>{0}, exitList("256"));
	EXPECT_EQ((std::vector<int>{1, 2, 3}), exitList("3,1,2,1"));
}

TEST(ExitList, RefusalPointsAtTheOffendingByte)
{
	EXPECT_EQ("x,9", badExitItem("7x,9"));
	EXPECT_EQ("x,9", badExitItem("64,7x,9"));
	EXPECT_EQ(";2", badExitItem("1;2"));
	EXPECT_EQ("(accepted)", badExitItem("1,2"));
}

TEST(ExitList, EachListReplacesTheWholeSet)
{
	uint32_t exits[8] = {};
	ASSERT_EQ(nullptr, parseExits("1,2,200", exits));
	ASSERT_EQ(nullptr, parseExits("3", exits));
	EXPECT_EQ(std::vector<int>{3}, members(exits));
	ASSERT_EQ(nullptr, parseExits("", exits));
	EXPECT_EQ(std::vector<int>{}, members(exits));
}

TEST(ExitList, ShellFailuresAlwaysStop)
{
	uint32_t saved[8];
	memcpy(saved, stopExits, sizeof(saved));
	ASSERT_EQ(nullptr, parseExits("64", stopExits));
	EXPECT_TRUE(exitStops(64));
	EXPECT_TRUE(exitStops(126));
	EXPECT_TRUE(exitStops(127));
	EXPECT_FALSE(exitStops(0));
	EXPECT_FALSE(exitStops(65));
	ASSERT_EQ(nullptr, parseExits("", stopExits));
	EXPECT_TRUE(exitStops(126));
	EXPECT_FALSE(exitStops(64));
	memcpy(stopExits, saved, sizeof(saved));
}

std::string
duration(time_t seconds, long nanoseconds)
{
	humanDuration(span(seconds, nanoseconds));
	return durationBuf;
}

TEST(Duration, EachUnitAppearsFromItsBoundary)
{
	EXPECT_EQ("0ms", duration(0, 0));
	EXPECT_EQ("0ms", duration(0, 999999));
	EXPECT_EQ("1ms", duration(0, 1500000));
	EXPECT_EQ("999ms", duration(0, 999999999));
	EXPECT_EQ("1s", duration(1, 999999999));
	EXPECT_EQ("59s", duration(59, 0));
	EXPECT_EQ("1m 0s", duration(60, 0));
	EXPECT_EQ("15m 0s", duration(900, 0));
	EXPECT_EQ("59m 59s", duration(3599, 0));
	EXPECT_EQ("1h 0m 0s", duration(3600, 0));
	EXPECT_EQ("23h 59m 59s", duration(86399, 0));
	EXPECT_EQ("1d 0h 0m 0s", duration(86400, 0));
	EXPECT_EQ("1d 2h 0m 5s", duration(93605, 0));
	EXPECT_EQ("10000d 0h 0m 1s", duration(864000001, 0));
}

TEST(Duration, NegativeSpansShowEveryUnitNegative)
{
	EXPECT_EQ("-1s", duration(-1, 500000000));
	EXPECT_EQ("-1m -2s", duration(-62, 500000000));
	EXPECT_EQ("-1h 0m -1s", duration(-3601, 0));
}

TEST(Duration, EachCallReplacesTheText)
{
	humanDuration(span(86400, 0));
	humanDuration(span(0, 5000000));
	EXPECT_STREQ("5ms", durationBuf);
}

TEST(Time, SubtractionBorrowsASecond)
{
	EXPECT_EQ("1.999999900", text(timeSub(span(5, 100), span(3, 200))));
	EXPECT_EQ("2.000000000", text(timeSub(span(5, 200), span(3, 200))));
	EXPECT_EQ("0.000000001", text(timeSub(span(4, 0), span(3, 999999999))));
	EXPECT_EQ("-1.500000000", text(timeSub(span(1, 0), span(1, 500000000))));
}

TEST(Time, AdditionCarriesAtExactlyOneSecond)
{
	EXPECT_EQ("1.999999999", text(timeAdd(span(1, 499999999), span(0, 500000000))));
	EXPECT_EQ("2.000000000", text(timeAdd(span(1, 500000000), span(0, 500000000))));
	EXPECT_EQ("3.999999998", text(timeAdd(span(1, 999999999), span(1, 999999999))));
}

TEST(Time, DoublingCarries)
{
	EXPECT_EQ("1.200000000", text(timeDouble(span(0, 600000000))));
	EXPECT_EQ("3.000000000", text(timeDouble(span(1, 500000000))));
	EXPECT_EQ("1.000000000", text(timeDouble(span(0, 500000000))));
	EXPECT_EQ("0.999999998", text(timeDouble(span(0, 499999999))));
	EXPECT_EQ("0.000000000", text(timeDouble(span(0, 0))));
	EXPECT_EQ("2048.000000000", text(timeDouble(span(1024, 0))));
	// It stops at 2^32 seconds, where a -t or -r beyond it is cut too.
	EXPECT_EQ("4294967294.999999998", text(timeDouble(span(2147483647, 499999999))));
	EXPECT_EQ("4294967295.000000000", text(timeDouble(span(2147483647, 500000000))));
	EXPECT_EQ("4294967296.000000000", text(timeDouble(span(2147483648, 0))));
	EXPECT_EQ("4294967296.000000000", text(parseMillis("99999999999999999999")));
	EXPECT_EQ("4294967295.999000000", text(parseMillis("4294967295999")));
}

TEST(Time, LessComparesSecondsFirst)
{
	EXPECT_TRUE(timeLess(span(1, 999999999), span(2, 0)));
	EXPECT_FALSE(timeLess(span(2, 0), span(1, 999999999)));
	EXPECT_TRUE(timeLess(span(2, 1), span(2, 2)));
	EXPECT_FALSE(timeLess(span(2, 2), span(2, 2)));
	EXPECT_TRUE(timeLess(span(-1, 500000000), span(0, 0)));
}

TEST(SignalName, LowerCaseWithoutPrefix)
{
	EXPECT_STREQ("hup", signalName(1));
	EXPECT_STREQ("kill", signalName(9));
	EXPECT_STREQ("term", signalName(15));
	EXPECT_STREQ("stkflt", signalName(16));
	EXPECT_STREQ("chld", signalName(17));
	EXPECT_STREQ("sys", signalName(31));
}

TEST(SignalName, NumbersBeyondTheTableStillReadable)
{
	for (int signo : {32, 34, 64, 65, 1000, -1}) {
		std::string name = signalName(signo);
		EXPECT_FALSE(name.empty()) << signo;
		for (char c : name)
			EXPECT_TRUE(isprint(static_cast<unsigned char>(c))) << signo;
	}
}

// A pipe whose read end is non-blocking, as the daemon's are.
struct LineTest : ::testing::Test {
	int fds[2] = {-1, -1};
	Line line = {};

	void
	SetUp() override
	{
		ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
		fcntl(fds[0], F_SETFL, O_NONBLOCK);
	}
	void
	TearDown() override
	{
		close(fds[0]);
		close(fds[1]);
	}
	void
	put(const std::string &bytes)
	{
		ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fds[1], bytes.data(), bytes.size()));
	}
	static void
	collect(void *arg, const char *text)
	{
		static_cast<std::vector<std::string> *>(arg)->push_back(text);
	}
	// The lines one lineRead call hands out.
	std::vector<std::string>
	lines()
	{
		std::vector<std::string> got;
		lineRead(&line, fds[0], collect, &got);
		EXPECT_LE(line.len, sizeof(line.buf));
		return got;
	}
	// Calls lineRead until the pipe is empty; every line handed out.
	std::vector<std::string>
	drain()
	{
		std::vector<std::string> all;
		for (int calls = 0; calls < 1000; calls++) {
			std::vector<std::string> more = lines();
			all.insert(all.end(), more.begin(), more.end());
			int left = 0;
			if (ioctl(fds[0], FIONREAD, &left) == -1 || left == 0)
				break;
		}
		return all;
	}
	std::string
	flush()
	{
		const char *text = lineFlush(&line);
		return text != nullptr ? text : "(nothing)";
	}
};

using Lines = std::vector<std::string>;

TEST_F(LineTest, CompleteLinesGoAtOnceTheRestWaits)
{
	put("one\ntw");
	EXPECT_EQ(Lines{"one"}, lines());
	EXPECT_EQ(Lines{}, lines());
	put("o\nthree\n");
	EXPECT_EQ((Lines{"two", "three"}), lines());
	put("\n\n\n");
	EXPECT_EQ((Lines{"", "", ""}), lines());
	put("dos\r\n%s %n\n");
	EXPECT_EQ((Lines{"dos\r", "%s %n"}), lines());
}

TEST_F(LineTest, LongLineComesIn511BytePieces)
{
	put(std::string(2000, 'x') + "\n");
	EXPECT_EQ((Lines{std::string(511, 'x'), std::string(511, 'x'), std::string(511, 'x'),
		      std::string(467, 'x')}),
	    lines());
	EXPECT_EQ(Lines{}, lines());
	EXPECT_EQ(0u, line.len);
}

TEST_F(LineTest, FullLineIsCutWithoutWaitingForTheNewline)
{
	put(std::string(511, 'a'));
	EXPECT_EQ(Lines{std::string(511, 'a')}, lines());
	put("\n");
	EXPECT_EQ(Lines{""}, lines());
	// Bytes held from one read and bytes of the next make up the piece.
	put(std::string(300, 'b'));
	EXPECT_EQ(Lines{}, lines());
	put(std::string(300, 'c') + "\n");
	EXPECT_EQ((Lines{std::string(300, 'b') + std::string(211, 'c'), std::string(89, 'c')}),
	    lines());
	put(std::string(510, 'd') + "\n");
	EXPECT_EQ(Lines{std::string(510, 'd')}, lines());
}

TEST_F(LineTest, FlushHandsOutPendingBytesOnce)
{
	EXPECT_EQ("(nothing)", flush());
	put("done\npartial");
	EXPECT_EQ(Lines{"done"}, lines());
	EXPECT_EQ("partial", flush());
	EXPECT_EQ("(nothing)", flush());
	put("next\n");
	EXPECT_EQ(Lines{"next"}, lines());
	EXPECT_EQ("(nothing)", flush());
	put(std::string(510, 'f'));
	EXPECT_EQ(Lines{}, lines());
	EXPECT_EQ(std::string(510, 'f'), flush());
	put("after\n");
	EXPECT_EQ(Lines{"after"}, lines());
}

TEST_F(LineTest, NulBytesAreLeftOutAndTheTextAroundThemKept)
{
	put(std::string("ab\0cd\n\0\0ef\n", 11));
	EXPECT_EQ((Lines{"abcd", "ef"}), lines());
	put(std::string("g\0h", 3));
	EXPECT_EQ(Lines{}, lines());
	EXPECT_EQ("gh", flush());
	put(std::string(600, '\0') + "i\n");
	EXPECT_EQ(Lines{"i"}, drain());
}

// Collects each line and writes it into the pipe again, as a process left behind that keeps
// writing would; at most limit times, so that a drain without a bound still ends.
struct Echo {
	int fd;
	size_t limit;
	std::vector<std::string> got;
};

void
echoLine(void *arg, const char *text)
{
	Echo *echo = static_cast<Echo *>(arg);
	echo->got.push_back(text);
	if (echo->limit == 0)
		return;
	echo->limit--;
	std::string again = std::string(text) + "\n";
	EXPECT_EQ(static_cast<ssize_t>(again.size()), write(echo->fd, again.data(), again.size()));
}

TEST_F(LineTest, OneCallReadsABoundedAmountADrainWhatIsThere)
{
	// Six-byte lines, several times what one call may take.
	int count = 40000;
	std::string all;
	for (int i = 0; i < count; i++) {
		char buf[8];
		snprintf(buf, sizeof(buf), "%05d\n", i);
		all += buf;
	}
	ASSERT_GT(all.size(), 3 * readBudget);
	ASSERT_GE(fcntl(fds[1], F_SETPIPE_SZ, 1 << 20), static_cast<int>(2 * all.size()));
	put(all);

	Lines first = lines();
	int left = 0;
	ASSERT_EQ(0, ioctl(fds[0], FIONREAD, &left));
	EXPECT_EQ(all.size() - readBudget, static_cast<size_t>(left));
	EXPECT_EQ(readBudget / 6, first.size());

	// The drain takes what the pipe holds as it begins, however fast more comes meanwhile.
	Echo echo{fds[1], static_cast<size_t>(count), first};
	lineDrain(&line, fds[0], echoLine, &echo);
	ASSERT_EQ(static_cast<size_t>(count), echo.got.size());
	for (int i = 0; i < count; i++) {
		char buf[8];
		snprintf(buf, sizeof(buf), "%05d", i);
		ASSERT_EQ(buf, echo.got[i]);
	}
	ASSERT_EQ(0, ioctl(fds[0], FIONREAD, &left));
	EXPECT_EQ((count - first.size()) * 6, static_cast<size_t>(left));
}

// The reference: NUL bytes dropped, a line ends at a newline or once it holds 511 bytes;
// a flush hands out what is pending.
struct LineModel {
	Lines lines;
	std::string pending;

	void
	feed(const std::string &bytes)
	{
		for (char c : bytes) {
			if (c == '\0')
				continue;
			if (c == '\n') {
				lines.push_back(pending);
				pending.clear();
				continue;
			}
			pending += c;
			if (pending.size() == 511) {
				lines.push_back(pending);
				pending.clear();
			}
		}
	}
	void
	flush()
	{
		if (!pending.empty())
			lines.push_back(pending);
		pending.clear();
	}
};

TEST(LineFeed, AnyChunkingGivesTheLinesOfTheRule)
{
	std::mt19937 random(12);
	for (int round = 0; round < 300; round++) {
		// Short lines, lines about 511 bytes long, long lines, runs of NULs and newlines.
		std::string stream;
		while (stream.size() < 20000) {
			switch (random() % 6) {
			case 0:
				stream += std::string(random() % 40, 'a' + random() % 26) + "\n";
				break;
			case 1:
				stream += std::string(509 + random() % 4, 'l') + "\n";
				break;
			case 2:
				stream += std::string(random() % 3000, 'L');
				break;
			case 3:
				stream += std::string(1 + random() % 3, '\0');
				break;
			case 4:
				stream += std::string(1 + random() % 3, '\n');
				break;
			default:
				for (int i = random() % 600; i > 0; i--)
					stream += static_cast<char>(random() % 4 == 0 ? '\n' : random() % 256);
			}
		}

		// Chunks of a byte to several lines, with a flush at some chunk ends.
		Line line = {};
		Lines got;
		LineModel model;
		for (size_t at = 0; at < stream.size();) {
			size_t len = std::min<size_t>(stream.size() - at,
			    random() % 2 ? 1 + random() % 8 : 1 + random() % 5000);
			std::string chunk = stream.substr(at, len);
			at += len;
			model.feed(chunk);
			lineFeed(&line, chunk.data(), chunk.size(), LineTest::collect, &got);
			ASSERT_LT(line.len, sizeof(line.buf));
			if (random() % 50 == 0) {
				if (const char *text = lineFlush(&line))
					got.push_back(text);
				model.flush();
			}
		}
		if (const char *text = lineFlush(&line))
			got.push_back(text);
		model.flush();
		// Compared whole, but reported short: a stream is 20 kB.
		ASSERT_TRUE(model.lines == got) << "round " << round << ": " << got.size()
						<< " lines handed out, the rule gives "
						<< model.lines.size();
	}
}

// The configuration reader on real files, with the tables emptied around each test and the
// log copied to standard error, where the test captures it.
struct ConfigTest : ::testing::Test {
	std::string dir;
	std::string path;
	// How the log tags a message on standard error.
	std::string tag = std::string(getprogname()) + "[" + std::to_string(getpid()) + "]: ";
	// Whether a load has been made: the next is a reload, as the daemon's after start-up.
	bool loaded = false;

	static void
	clearTables()
	{
		for (size_t i = 0; i < services.len; i++)
			serviceFree(&services.elems[i]);
		free(services.elems);
		services = Services{};
		for (size_t i = 0; i < prepends.len; i++)
			free(prepends.elems[i]);
		free(prepends.elems);
		prepends = Prepends{};
	}
	void
	SetUp() override
	{
		dir = makeTempDir();
		path = dir + "/kestor.conf";
		ASSERT_EQ(0, logOpen(true));
		clearTables();
	}
	void
	TearDown() override
	{
		clearTables();
		removeTree(dir);
	}
	// Loads the path; what was logged, but for the notice every reload ends with.
	std::string
	loadPath(const std::string &file)
	{
		testing::internal::CaptureStderr();
		// The log writes to what standard error is when it is opened.
		EXPECT_EQ(0, logOpen(true));
		parseConfig(file.c_str(), loaded);
		loaded = true;
		logFlush();
		std::string logged = testing::internal::GetCapturedStderr(), kept;
		for (size_t at = 0, end; at < logged.size(); at = end + 1) {
			end = std::min(logged.find('\n', at), logged.size());
			if (logged.find(": reloaded ", at) > end)
				kept += logged.substr(at, end - at + 1);
		}
		return kept;
	}
	std::string
	load(const std::string &text)
	{
		writeFile(path, text);
		return loadPath(path);
	}
	static std::vector<std::pair<std::string, std::string>>
	table()
	{
		std::vector<std::pair<std::string, std::string>> entries;
		for (size_t i = 0; i < services.len; i++)
			entries.emplace_back(services.elems[i].name, services.elems[i].command);
		return entries;
	}
	static std::vector<std::string>
	prependList()
	{
		return std::vector<std::string>(prepends.elems, prepends.elems + prepends.len);
	}
};

using Table = std::vector<std::pair<std::string, std::string>>;

TEST_F(ConfigTest, EmptyAndCommentOnlyFilesAddNothing)
{
	EXPECT_EQ("", load(""));
	EXPECT_EQ("", load("\n \t\n# web true\n   # x\n\t\n"));
	EXPECT_EQ(Table{}, table());
	EXPECT_EQ(Lines{}, prependList());
}

TEST_F(ConfigTest, NameAndCommandAreSplitAtTheFirstBlank)
{
	EXPECT_EQ("", load("web sleep 10\n"
			   "  \tindented\t \tcat  -u  \n"
			   "hash echo # not a comment % either\n"
			   "@web   true\n"
			   "last echo no newline"));
	EXPECT_EQ((Table{{"web", "sleep 10"}, {"indented", "cat  -u  "},
		      {"hash", "echo # not a comment % either"}, {"@web", "true"},
		      {"last", "echo no newline"}}),
	    table());
	EXPECT_FALSE(services.elems[0].privileged);
	EXPECT_TRUE(services.elems[3].privileged);
}

TEST_F(ConfigTest, BackslashNewlineJoinsPhysicalLines)
{
	EXPECT_EQ("", load("web echo a \\\n  b\\\nc\n"
			   "% echo \\\npre\n"
			   "tail echo \\\nend"));
	EXPECT_EQ((Table{{"web", "echo a   bc"}, {"tail", "echo end"}}), table());
	EXPECT_EQ(Lines{"echo pre"}, prependList());
}

TEST_F(ConfigTest, ContinuedCommentSwallowsTheNextLine)
{
	EXPECT_EQ("", load("# off for now \\\nhidden true\nshown true\n"));
	EXPECT_EQ((Table{{"shown", "true"}}), table());
}

TEST_F(ConfigTest, OnlyABackslashRightBeforeTheNewlineContinues)
{
	EXPECT_EQ("", load("a echo x\\ \nb echo \\\\\nc true\nd echo \\"));
	// "b" ends in two backslashes: the last one still continues, and takes "c" with it.
	EXPECT_EQ((Table{{"a", "echo x\\ "}, {"b", "echo \\c true"}, {"d", "echo \\"}}), table());
}

TEST_F(ConfigTest, ContinuationAtTheEndOfTheFileIsDropped)
{
	EXPECT_EQ("", load("a true\nb echo \\\n"));
	EXPECT_EQ((Table{{"a", "true"}}), table());
	EXPECT_EQ("", load("% p\nc echo \\\n  \\\n"));
	EXPECT_EQ((Table{{"a", "true"}}), table());
	EXPECT_EQ(Lines{"p"}, prependList());
}

TEST_F(ConfigTest, CarriageReturnStaysInTheText)
{
	EXPECT_EQ("", load("a true\r\n%x\r\nb \r\n"));
	EXPECT_EQ((Table{{"a", "true\r"}, {"b", "\r"}}), table());
	EXPECT_EQ(Lines{"x\r"}, prependList());
	EXPECT_EQ(tag + path + ":2: no command line for service c\r; prepend lines kept\n",
	    load("a true\nc\r\nd true\n"));
	EXPECT_EQ((Table{{"a", "true"}, {"b", "\r"}}), table());
}

TEST_F(ConfigTest, PrependLinesKeepFileOrderAndMayBeEmpty)
{
	EXPECT_EQ("", load("%\n  %  \t\nweb true\n\t%set -e\n% trailing  \n"));
	EXPECT_EQ((Lines{"", "", "set -e", "trailing  "}), prependList());
	EXPECT_EQ((Table{{"web", "true"}}), table());
}

TEST_F(ConfigTest, NameWithBlanksAloneGetsAnEmptyCommand)
{
	EXPECT_EQ("", load("a \nb\t \t\n"));
	EXPECT_EQ((Table{{"a", ""}, {"b", ""}}), table());
}

TEST_F(ConfigTest, DuplicateKeepsFirstPlaceAndLastCommand)
{
	EXPECT_EQ("", load("a one\nb two\na three\n@b four\n"));
	EXPECT_EQ((Table{{"a", "three"}, {"b", "two"}, {"@b", "four"}}), table());
}

TEST_F(ConfigTest, ErrorNamesTheLogicalLineAndEndsTheLoad)
{
	EXPECT_EQ(tag + path + ":3: no command line for service bad\n",
	    load("% early\n"
		 "a x \\\n"
		 " y \\\n"
		 " z\n"
		 "bad\n"
		 "c true\n"
		 "% late\n"));
	EXPECT_EQ((Table{{"a", "x  y  z"}}), table());
	EXPECT_EQ(Lines{"early"}, prependList());
}

TEST_F(ConfigTest, ReloadReplacesPrependsAndKeepsEveryService)
{
	EXPECT_EQ("", load("% one\n% two\nx first\ny second\n"));
	services.elems[1].intent = Intent::Start;
	EXPECT_EQ("", load("y third\nz fourth\n"));
	EXPECT_EQ((Table{{"x", "first"}, {"y", "third"}, {"z", "fourth"}}), table());
	EXPECT_EQ(Lines{}, prependList());
	EXPECT_EQ(Intent::Start, services.elems[1].intent);
	EXPECT_EQ(Intent::Stop, services.elems[2].intent);
	EXPECT_EQ(State::Stopped, services.elems[2].state);
}

TEST_F(ConfigTest, UnreadableFileChangesNothing)
{
	EXPECT_EQ("", load("% p\na true\n"));
	std::string missing = dir + "/missing.conf";
	EXPECT_EQ(tag + missing + ": No such file or directory\n", loadPath(missing));
	EXPECT_EQ((Table{{"a", "true"}}), table());
	EXPECT_EQ(Lines{"p"}, prependList());
	// A directory opens but cannot be read: the reload stops at the error, and keeps the
	// prepend list in force.
	EXPECT_EQ(tag + dir + ": Is a directory; prepend lines kept\n", loadPath(dir));
	EXPECT_EQ((Table{{"a", "true"}}), table());
	EXPECT_EQ(Lines{"p"}, prependList());
}

TEST_F(ConfigTest, TablesGrowByDoubling)
{
	std::string text;
	std::vector<size_t> caps;
	std::vector<size_t> prependCaps;
	for (int i = 1; i <= 17; i++) {
		text += "s" + std::to_string(i) + " true\n% p\n";
		ASSERT_EQ("", load(text));
		ASSERT_EQ(static_cast<size_t>(i), services.len);
		ASSERT_EQ(static_cast<size_t>(i), prepends.len);
		caps.push_back(services.cap);
		prependCaps.push_back(prepends.cap);
	}
	std::vector<size_t> expected(17, 32);
	std::fill(expected.begin(), expected.begin() + 8, 8);
	std::fill(expected.begin() + 8, expected.begin() + 16, 16);
	EXPECT_EQ(expected, caps);
	EXPECT_EQ(expected, prependCaps);
	EXPECT_EQ("s17", std::string(services.elems[16].name));
}

TEST_F(ConfigTest, NewServiceOwnsItsPipes)
{
	ASSERT_EQ("", load("a true\n"));
	const Service &s = services.elems[0];
	EXPECT_EQ(Intent::Stop, s.intent);
	EXPECT_EQ(State::Stopped, s.state);
	EXPECT_EQ(0u, s.outLine.len);
	EXPECT_EQ(0u, s.errLine.len);
	for (int fd : {s.outPipe[0], s.outPipe[1], s.errPipe[0], s.errPipe[1]}) {
		ASSERT_GE(fd, 0);
		EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
	}
	EXPECT_TRUE(fcntl(s.outPipe[0], F_GETFL) & O_NONBLOCK);
	EXPECT_TRUE(fcntl(s.errPipe[0], F_GETFL) & O_NONBLOCK);
	EXPECT_FALSE(fcntl(s.outPipe[1], F_GETFL) & O_NONBLOCK);
	EXPECT_FALSE(fcntl(s.errPipe[1], F_GETFL) & O_NONBLOCK);
}

} // namespace
