// every_test.cc: the interval text in process, and the tool itself as a black box.
#include <stdint.h>
#include <sys/stat.h>
#include <sysexits.h>

#include <sys/wait.h>

#include <sstream>

#include <gtest/gtest.h>

#include "run.h"

const char *parseInterval(const char *text, uint32_t *seconds);

namespace {

// The interval in seconds, or -1 for a text refused because of a byte that is no unit.
int64_t
interval(const char *text)
{
	uint32_t seconds = 12345;
	if (parseInterval(text, &seconds) != nullptr)
		return -1;
	return seconds;
}

char
badUnit(const char *text)
{
	uint32_t seconds;
	const char *bad = parseInterval(text, &seconds);
	return bad != nullptr ? *bad : '\0';
}

TEST(Interval, ComponentsAddUp)
{
	EXPECT_EQ(90, interval("90"));
	EXPECT_EQ(90, interval("90s"));
	EXPECT_EQ(90, interval("1m30s"));
	EXPECT_EQ(90, interval("30s1m"));
	EXPECT_EQ(3630, interval("1h30"));
	EXPECT_EQ(5, interval("0h5s"));
	EXPECT_EQ(5, interval("h5"));
	EXPECT_EQ(0, interval("m"));
	EXPECT_EQ(0, interval("0h0m"));
	EXPECT_EQ(7200, interval("1h1h"));
	EXPECT_EQ(10, interval(" 10"));
	EXPECT_EQ(10, interval("+10s"));
}

TEST(Interval, ArithmeticWrapsAt32Bits)
{
	EXPECT_EQ(90, interval("1m1m-30"));
	EXPECT_EQ(0, interval("4294967296"));
	EXPECT_EQ(4294967295, interval("4294967295"));
	EXPECT_EQ(1, interval("4294967297s"));
	// 1193047 hours are 4294969200 seconds, which wrap to 1904.
	EXPECT_EQ(1904, interval("1193047h"));
}

TEST(Interval, RefusesAnyOtherUnit)
{
	EXPECT_EQ('.', badUnit("1.5m"));
	EXPECT_EQ('H', badUnit("1H"));
	EXPECT_EQ('d', badUnit("2d"));
	EXPECT_EQ(' ', badUnit("5 m"));
	EXPECT_EQ('x', badUnit("1m30sx"));
	// The refusal wins whatever came before it.
	EXPECT_EQ('q', badUnit("0q"));
}

struct EveryTest : ::testing::Test {
	std::string dir;

	void
	SetUp() override
	{
		dir = makeTempDir();
	}
	void
	TearDown() override
	{
		removeTree(dir);
	}
	Result
	every(const std::vector<std::string> &args, double seconds = 10)
	{
		Options options;
		options.dir = dir;
		return runProgram(EVERY_PATH, args, options, seconds);
	}
};

TEST_F(EveryTest, StartUpChecksComeInOrder)
{
	struct {
		std::vector<std::string> args;
		std::string message;
	} cases[] = {
	    {{}, "every: interval required\n"},
	    {{"5"}, "every: command required\n"},
	    // The interval is not looked at before there is a command.
	    {{"1.5m"}, "every: command required\n"},
	    {{"", "true"}, "every: invalid zero interval\n"},
	    {{"1.5m", "true"}, "every: invalid interval unit .\n"},
	    {{"2d", "true"}, "every: invalid interval unit d\n"},
	    {{"0h0m", "true"}, "every: invalid zero interval\n"},
	    {{"m", "true"}, "every: invalid zero interval\n"},
	};
	for (auto &c : cases) {
		Result run = every(c.args);
		EXPECT_EQ(EX_USAGE, exitStatus(run)) << c.message;
		EXPECT_EQ(c.message, run.err);
		EXPECT_EQ("", run.out);
	}
}

TEST_F(EveryTest, FailingCommandEndsTheToolWithItsStatus)
{
	Result run = every({"1", "sh", "-c", "echo ran; exit 3"});
	EXPECT_EQ(3, exitStatus(run));
	EXPECT_EQ("ran\n", run.out);
	EXPECT_LT(run.seconds, 0.9);
}

TEST_F(EveryTest, MissingCommandEndsWith126WithoutSleeping)
{
	Result run = every({"1h", "no-such-command-here"});
	EXPECT_EQ(126, exitStatus(run));
	EXPECT_EQ("every: no-such-command-here: No such file or directory\n", run.err);
	EXPECT_LT(run.seconds, 5);
}

TEST_F(EveryTest, KilledCommandGivesTheSignalNumber)
{
	Result run = every({"1", "sh", "-c", "kill -KILL $$"});
	EXPECT_EQ(9, exitStatus(run));
	EXPECT_TRUE(WIFEXITED(run.status));
}

TEST_F(EveryTest, RunsAgainAfterEachPause)
{
	// Succeeds twice, then fails with 2; each run records when it began.
	std::string script = "date +%s.%N >> starts; n=$(wc -l < starts); "
			     "[ $n -lt 3 ] || exit 2";
	Result run = every({"1", "sh", "-c", script}, 20);
	ASSERT_EQ(2, exitStatus(run)) << run.err;
	std::istringstream starts(readFile(dir + "/starts"));
	std::vector<double> times;
	for (double t; starts >> t;)
		times.push_back(t);
	ASSERT_EQ(3u, times.size());
	EXPECT_GE(times[1] - times[0], 1.0);
	EXPECT_GE(times[2] - times[1], 1.0);
	EXPECT_LT(times[2] - times[0], 4.0);
}

TEST_F(EveryTest, CommandWordsAreNotTakenAsOptions)
{
	Result run = every({"1", "sh", "-c", "echo \"$0\" \"$1\"; exit 4", "-x", "--y"});
	EXPECT_EQ(4, exitStatus(run));
	EXPECT_EQ("-x --y\n", run.out);
}

TEST_F(EveryTest, CommandIsFoundAndRunAsExecvpRunsIt)
{
	// Found through PATH, a script without "#!" goes to the shell, in the tool's environment.
	ASSERT_EQ(0, mkdir((dir + "/bin").c_str(), 0755));
	writeFile(dir + "/bin/greet", "echo \"$GREETING\"; exit 6\n");
	writeFile(dir + "/bin/plain", "exit 0\n");
	ASSERT_EQ(0, chmod((dir + "/bin/greet").c_str(), 0755));
	Options options;
	options.dir = dir;
	options.clearEnv = true;
	options.env = {"PATH=" + dir + "/bin:/usr/bin:/bin", "GREETING=hello"};
	Result run = runProgram(EVERY_PATH, {"1", "greet"}, options);
	EXPECT_EQ(6, exitStatus(run)) << run.err;
	EXPECT_EQ("hello\n", run.out);

	// A file that may not be executed is the system's refusal, reported for the child.
	run = runProgram(EVERY_PATH, {"1h", "bin/plain"}, options);
	EXPECT_EQ(126, exitStatus(run));
	EXPECT_EQ("every: bin/plain: Permission denied\n", run.err);
}

} // namespace
