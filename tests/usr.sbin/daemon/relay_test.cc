// How the supervisor relays the command's output: to the output file, to its
// own standard output, and which of the command's streams it takes.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "harness.h"
#include "supervise_util.h"

namespace {

using supervise::start;

std::string repeat(size_t n, char c)
{
	return std::string(n, c);
}

// A command that writes each part with a pause in between, so that the
// parts reach the supervisor in separate reads.
struct parts_case {
	const char *name;
	std::vector<std::string> parts;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const parts_case &c, std::ostream *os)
{
	*os << c.name;
}


std::string all_bytes()
{
	std::string s;
	for (int i = 0; i < 256; i++)
		s.push_back(static_cast<char>(i));
	return s + "\n";
}

const parts_case relay_cases[] = {
    {"several_lines_in_one_write", {"one\ntwo\nthree\n"}},
    {"line_split_over_writes", {"abc", "def", "\n"}},
    {"line_of_4094", {repeat(4094, 'a') + "\n"}},
    {"line_of_4095", {repeat(4095, 'b') + "\n"}},
    {"line_of_4096", {repeat(4096, 'c') + "\n"}},
    {"line_of_10000", {repeat(10000, 'd') + "\n"}},
    {"long_line_split_over_writes",
	{repeat(3000, 'e'), repeat(3000, 'f'), repeat(3000, 'g') + "\nh\n"}},
    {"short_lines_then_long_line",
	{"x\n" + repeat(4093, 'i') + "\n" + repeat(4100, 'j') + "\n"}},
    {"unterminated_last_line", {"first\n", "no newline at the end"}},
    {"percent_signs", {"100%s %d %n %%\n"}},
    {"nul_bytes", {std::string("ab\0cd\n", 6), std::string("\0\0\n", 3)}},
    {"every_byte_value", {all_bytes()}},
};

class relay : public testing::TestWithParam<parts_case> {
protected:
	harness::temp_dir dir;
	std::string at(const std::string &name) { return dir.path + "/" + name; }

	// Writes the parts to files p0, p1, ... and returns a script that cats
	// them one by one with a pause between.
	std::string writer(const std::vector<std::string> &parts)
	{
		std::string script;
		for (size_t i = 0; i < parts.size(); i++) {
			std::string name = "p" + std::to_string(i);
			EXPECT_TRUE(harness::write_file(at(name), parts[i]));
			if (i > 0)
				script += "sleep 0.2; ";
			script += "cat " + name + "; ";
		}
		return script + "exit 0";
	}
};

std::string joined(const std::vector<std::string> &parts)
{
	std::string all;
	for (const auto &p : parts)
		all += p;
	return all;
}

// The output file receives exactly the bytes the command wrote, and the
// supervisor's own standard output gets nothing while a file is in use.
TEST_P(relay, OutputFileIsByteIdentical)
{
	const parts_case &c = GetParam();
	std::string script = writer(c.parts);
	auto s = start(dir.path, {"-o", at("out"), "sh", "-c", script});
	ASSERT_GT(s.pid, 0);
	auto end = harness::reap(s.pid, 10000);
	ASSERT_TRUE(end.has_value()) << "supervisor did not end";
	EXPECT_EQ(end->status, 1);
	EXPECT_EQ(harness::read_file(at("out")), joined(c.parts));
	EXPECT_EQ(harness::read_file(s.invoker.out_path), "");
	EXPECT_EQ(harness::read_file(s.invoker.err_path), "");
	EXPECT_FALSE(supervise::exists(s.pidfile)) << "pidfile left behind";
}

// Without syslog and output file the chunks are printed on the supervisor's
// standard output: text up to the first NUL of each chunk.
TEST_P(relay, StandardOutputStopsAtNul)
{
	const parts_case &c = GetParam();
	std::string script = writer(c.parts);
	auto s = start(dir.path, {"sh", "-c", script});
	ASSERT_GT(s.pid, 0);
	auto end = harness::reap(s.pid, 10000);
	ASSERT_TRUE(end.has_value()) << "supervisor did not end";
	EXPECT_EQ(end->status, 1);

	// The expected text: cut the stream into the chunks the relay makes
	// (lines, and 4095-byte pieces of longer lines), each up to its NUL.
	std::string all = joined(c.parts), want, chunk;
	auto flush = [&] {
		want += chunk.substr(0, chunk.find('\0'));
		chunk.clear();
	};
	for (char ch : all) {
		chunk.push_back(ch);
		if (ch == '\n' || chunk.size() == 4095)
			flush();
	}
	flush();
	EXPECT_EQ(harness::read_file(s.invoker.out_path), want);
	EXPECT_EQ(harness::read_file(s.invoker.err_path), "");
}

INSTANTIATE_TEST_SUITE_P(chunks, relay, testing::ValuesIn(relay_cases),
    [](const testing::TestParamInfo<parts_case> &i) { return i.param.name; });

// With -f the standard descriptors are gone and, with no other destination,
// output is read and dropped: the command is not blocked by a full pipe.
TEST(relay_dropped, WithoutDestinationOutputIsDiscarded)
{
	harness::temp_dir dir;
	// 2 MB would fill the pipe (1 MiB at most) if nobody read it.
	auto s = start(dir.path, {"-f", "sh", "-c",
	    "i=0; while [ $i -lt 22000 ]; do "
	    "echo 0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789; "
	    "i=$((i+1)); done; echo finished > done"});
	ASSERT_GT(s.pid, 0);
	auto end = harness::reap(s.pid, 20000);
	ASSERT_TRUE(end.has_value()) << "supervisor did not end";
	EXPECT_EQ(end->status, 1);
	EXPECT_EQ(harness::read_file(dir.path + "/done"), "finished\n");
	EXPECT_EQ(harness::read_file(s.invoker.out_path), "");
	EXPECT_EQ(harness::read_file(s.invoker.err_path), "");
}

// A write to the output file that takes only part of a chunk is continued
// with the rest.  A file size limit makes the first write short and the
// continuation fail, which is how the continuation shows: the warning.
TEST(relay_short_write, RestOfChunkIsWrittenOrReported)
{
	harness::temp_dir dir;
	// SIGXFSZ ignored, so that crossing the limit is an error, not death.
	std::vector<std::string> wrapper = {"prlimit", "--fsize=6000:6000",
	    "perl", "-e", "$SIG{XFSZ} = 'IGNORE'; exec {$ARGV[0]} @ARGV or die",
	    "--"};
	auto s = supervise::start_through(wrapper, dir.path,
	    {"-o", "out", "perl", "-e", "syswrite STDOUT, 'x' x 10000 . qq(\\n)"});
	ASSERT_GT(s.pid, 0);
	auto end = harness::reap(s.pid, 10000);
	ASSERT_TRUE(end.has_value()) << "supervisor did not end";
	EXPECT_EQ(end->status, 1);
	EXPECT_EQ(harness::read_file(dir.path + "/out"), std::string(6000, 'x'));
	EXPECT_EQ(harness::read_file(s.invoker.err_path),
	    "daemon: write: File too large\n");
}

// Lines relayed to the supervisor's standard output (a file here, so fully
// buffered by stdio) are written out at once, not when the supervisor ends.
TEST(relay_stdout, LinesAreWrittenOutWhileCommandRuns)
{
	harness::temp_dir dir;
	auto s = start(dir.path, {"sh", "-c", "echo a; exec sleep 60"});
	ASSERT_GT(s.pid, 0);
	EXPECT_TRUE(supervise::wait_content(s.invoker.out_path, "a\n"))
	    << "stdout: " << harness::read_file(s.invoker.out_path);
	EXPECT_TRUE(supervise::alive(s.pid));
}

// Started with its standard descriptors closed, daemon must not let the
// output file take one of their numbers: detaching with -f would point it
// at /dev/null.
TEST(relay_closed_std, OutputFileSurvivesClosedStandardDescriptors)
{
	harness::temp_dir dir;
	std::vector<std::string> wrapper = {"sh", "-c",
	    "exec \"$@\" <&- >&- 2>&-", "sh"};
	auto s = supervise::start_through(wrapper, dir.path,
	    {"-f", "-o", "out", "sh", "-c", "echo hello"});
	ASSERT_GT(s.pid, 0);
	auto end = harness::reap(s.pid, 10000);
	ASSERT_TRUE(end.has_value()) << "supervisor did not end";
	EXPECT_EQ(end->status, 1);
	EXPECT_EQ(harness::read_file(dir.path + "/out"), "hello\n");
}

// Which of the command's streams go to the file (mask bit 1 standard output,
// bit 2 standard error); the other reaches the supervisor's own stream.
struct mask_case {
	const char *mask;
	const char *file, *out, *err;
};

void PrintTo(const mask_case &c, std::ostream *os)
{
	*os << "mask " << c.mask;
}


const mask_case mask_cases[] = {
    {"0", "", "OUT\n", "ERR\n"},
    {"1", "OUT\n", "", "ERR\n"},
    {"2", "ERR\n", "OUT\n", ""},
    {"3", "OUT\nERR\n", "", ""},
};

class output_mask : public testing::TestWithParam<mask_case> {};

TEST_P(output_mask, RoutesStreams)
{
	const mask_case &c = GetParam();
	harness::temp_dir dir;
	std::string out = dir.path + "/out";
	auto s = start(dir.path, {"-m", c.mask, "-o", out, "sh", "-c",
	    "echo OUT; sleep 0.1; echo ERR >&2"});
	ASSERT_GT(s.pid, 0);
	auto end = harness::reap(s.pid, 10000);
	ASSERT_TRUE(end.has_value()) << "supervisor did not end";
	EXPECT_EQ(end->status, 1);
	EXPECT_EQ(harness::read_file(out), c.file);
	EXPECT_EQ(harness::read_file(s.invoker.out_path), c.out);
	EXPECT_EQ(harness::read_file(s.invoker.err_path), c.err);
}

INSTANTIATE_TEST_SUITE_P(masks, output_mask, testing::ValuesIn(mask_cases),
    [](const testing::TestParamInfo<mask_case> &i) {
	    return std::string("mask_") + i.param.mask;
    });

class relay_timing : public testing::Test {
protected:
	harness::temp_dir dir;
	std::string at(const std::string &name) { return dir.path + "/" + name; }
};

// A burst far larger than one read, followed by silence: all of it must
// reach the file while the command still runs.
TEST_F(relay_timing, BurstIsRelayedWhileCommandSleeps)
{
	std::string burst;
	for (int i = 0; burst.size() < 200 * 1024; i++)
		burst += "burst line " + std::to_string(i) + " " +
		    repeat(static_cast<size_t>(i % 97), '.') + "\n";
	ASSERT_TRUE(harness::write_file(at("burst"), burst));
	auto s = start(dir.path,
	    {"-o", at("out"), "sh", "-c", "cat burst; exec sleep 60"});
	ASSERT_GT(s.pid, 0);
	EXPECT_TRUE(supervise::wait_content(at("out"), burst, 5000))
	    << "file holds " << harness::read_file(at("out")).size() << " of "
	    << burst.size() << " bytes";
	EXPECT_TRUE(supervise::alive(s.pid));
}

// The command closes its output and keeps running: the pipe is at end of
// file, and the supervisor must go back to sleep rather than spin on it.
TEST_F(relay_timing, ClosedOutputDoesNotBusyLoop)
{
	auto s = start(dir.path, {"-o", at("out"), "sh", "-c",
	    "echo ready; exec >&- 2>&-; exec sleep 60"});
	ASSERT_GT(s.pid, 0);
	ASSERT_TRUE(supervise::wait_content(at("out"), "ready\n"));
	// Let the end of file reach the supervisor before measuring.
	usleep(100 * 1000);
	long before = supervise::cpu_ticks(s.pid);
	usleep(1000 * 1000);
	long after = supervise::cpu_ticks(s.pid);
	ASSERT_GE(before, 0);
	EXPECT_TRUE(supervise::alive(s.pid));
	EXPECT_LE(after - before, 2) << "supervisor used CPU while idle";
}

// A background process that inherited the pipe outlives the command: the
// supervisor must not wait for it to let go of the pipe.  What the command
// wrote, a held partial line included, is still relayed.
struct drain_case {
	const char *name, *script, *want;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const drain_case &c, std::ostream *os)
{
	*os << c.name;
}


const drain_case drain_cases[] = {
    {"line", "sleep 60 & echo done", "done\n"},
    {"partial_line", "sleep 60 & printf partial", "partial"},
};

class bounded_drain : public testing::TestWithParam<drain_case> {};

TEST_P(bounded_drain, SupervisorEndsDespiteBackgroundWriter)
{
	const drain_case &c = GetParam();
	harness::temp_dir dir;
	std::string out = dir.path + "/out";
	auto s = start(dir.path,
	    {"-p", dir.path + "/child.pid", "-o", out, "sh", "-c", c.script});
	ASSERT_GT(s.pid, 0);
	auto end = harness::reap(s.pid, 5000);
	ASSERT_TRUE(end.has_value())
	    << "supervisor still waits for the background process";
	EXPECT_EQ(end->status, 1);
	EXPECT_EQ(harness::read_file(out), c.want);
	EXPECT_FALSE(supervise::exists(s.pidfile));
	EXPECT_FALSE(supervise::exists(dir.path + "/child.pid"));
}

INSTANTIATE_TEST_SUITE_P(drain, bounded_drain, testing::ValuesIn(drain_cases),
    [](const testing::TestParamInfo<drain_case> &i) { return i.param.name; });

}  // namespace
