// What the supervisor sends to syslog: one record per chunk, with the
// facility, priority and tag of the command line and the supervisor's pid.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "harness.h"
#include "supervise_util.h"
#include "syslog_capture.h"

namespace {

using syslog_capture::record;

class syslog_relay : public testing::Test {
protected:
	harness::temp_dir dir;
	std::string at(const std::string &name) { return dir.path + "/" + name; }

	void SetUp() override
	{
		if (!syslog_capture::available())
			GTEST_SKIP() << "no syslog capture: "
				     << syslog_capture::unavailable_reason();
		syslog_capture::clear();
	}

	// Runs the command under daemon ARGS to its end (no restart) and
	// returns the supervisor's pid.
	pid_t run_to_end(std::vector<std::string> args)
	{
		auto s = supervise::start(dir.path, args);
		EXPECT_GT(s.pid, 0);
		if (s.pid <= 0)
			return -1;
		auto end = harness::reap(s.pid, 10000);
		EXPECT_TRUE(end.has_value()) << "supervisor did not end";
		if (end) {
			EXPECT_EQ(end->status, 1);
		}
		return s.pid;
	}

	static std::vector<std::string> messages()
	{
		std::vector<std::string> m;
		for (const auto &r : syslog_capture::records())
			m.push_back(r.message);
		return m;
	}
};

// Facility, priority and tag come from the command line; the pid is the
// supervisor's.
struct identity_case {
	const char *name;
	std::vector<std::string> options;
	int facility, priority;
	const char *tag;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const identity_case &c, std::ostream *os)
{
	*os << c.name;
}


const identity_case identity_cases[] = {
    {"defaults", {"-S"}, 24, 5, "daemon"},
    {"priority_info", {"-s", "info"}, 24, 6, "daemon"},
    {"facility_local3", {"-l", "local3"}, 152, 5, "daemon"},
    {"all_three", {"-s", "err", "-l", "mail", "-T", "webd"}, 16, 3, "webd"},
    {"tag_alone", {"-T", "x-y"}, 24, 5, "x-y"},
};

class syslog_identity : public syslog_relay,
			public testing::WithParamInterface<identity_case> {};

TEST_P(syslog_identity, RecordsCarryConfiguredIdentity)
{
	const identity_case &c = GetParam();
	std::vector<std::string> args = c.options;
	args.insert(args.end(), {"sh", "-c", "echo first; echo second"});
	pid_t sup = run_to_end(args);
	ASSERT_TRUE(syslog_capture::wait_for(
	    [](const std::vector<record> &v) { return v.size() >= 2; }, 2000));
	auto recs = syslog_capture::records();
	ASSERT_EQ(recs.size(), 2u);
	const char *want[] = {"first\n", "second\n"};
	for (size_t i = 0; i < recs.size(); i++) {
		EXPECT_EQ(recs[i].facility, c.facility) << recs[i].raw;
		EXPECT_EQ(recs[i].priority, c.priority) << recs[i].raw;
		EXPECT_EQ(recs[i].tag, c.tag) << recs[i].raw;
		EXPECT_EQ(recs[i].pid, sup) << recs[i].raw;
		EXPECT_EQ(recs[i].message, want[i]);
	}
}

INSTANTIATE_TEST_SUITE_P(identity, syslog_identity,
    testing::ValuesIn(identity_cases),
    [](const testing::TestParamInfo<identity_case> &i) { return i.param.name; });

// How the byte stream is cut into records.  The file gets the same stream
// unchanged in every case.
struct chunk_case {
	const char *name;
	std::vector<std::string> parts;		// written with pauses between
	std::vector<std::string> records;	// messages, in order
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const chunk_case &c, std::ostream *os)
{
	*os << c.name;
}


std::string x(size_t n)
{
	return std::string(n, 'x');
}

const chunk_case chunk_cases[] = {
    {"several_lines_per_read", {"a\nbb\nccc\n"}, {"a\n", "bb\n", "ccc\n"}},
    {"line_split_over_reads", {"ab", "cd", "ef\n"}, {"abcdef\n"}},
    {"line_of_4094", {x(4094) + "\n"}, {x(4094) + "\n"}},
    {"line_of_4095", {x(4095) + "\n"}, {x(4095), "\n"}},
    {"line_of_4096", {x(4096) + "\n"}, {x(4095), "x\n"}},
    {"line_of_10000", {x(10000) + "\n"}, {x(4095), x(4095), x(1810) + "\n"}},
    {"unterminated_last_line", {"one\n", "tail"}, {"one\n", "tail"}},
    {"percent_signs", {"100%s %d %n\n"}, {"100%s %d %n\n"}},
    {"nul_ends_message", {std::string("ab\0cd\n", 6), "ef\n"}, {"ab", "ef\n"}},
};

class syslog_chunks : public syslog_relay,
		      public testing::WithParamInterface<chunk_case> {};

TEST_P(syslog_chunks, EachChunkIsOneRecord)
{
	const chunk_case &c = GetParam();
	std::string script, all;
	for (size_t i = 0; i < c.parts.size(); i++) {
		std::string name = "p" + std::to_string(i);
		ASSERT_TRUE(harness::write_file(at(name), c.parts[i]));
		if (i > 0)
			script += "sleep 0.2; ";
		script += "cat " + name + "; ";
		all += c.parts[i];
	}
	run_to_end({"-S", "-o", at("out"), "sh", "-c", script + "exit 0"});
	size_t n = c.records.size();
	syslog_capture::wait_for(
	    [n](const std::vector<record> &v) { return v.size() >= n; }, 2000);
	EXPECT_EQ(messages(), c.records);
	EXPECT_EQ(harness::read_file(at("out")), all);
}

INSTANTIATE_TEST_SUITE_P(chunks, syslog_chunks, testing::ValuesIn(chunk_cases),
    [](const testing::TestParamInfo<chunk_case> &i) { return i.param.name; });

// Failed writes to the output file do not keep lines from syslog.
TEST_F(syslog_relay, FullOutputDeviceLeavesSyslogAlone)
{
	auto s = supervise::start(dir.path, {"-S", "-o", "/dev/full", "sh", "-c",
	    "echo a; sleep 0.1; echo b; exec sleep 60"});
	ASSERT_GT(s.pid, 0);
	EXPECT_TRUE(syslog_capture::wait_for(
	    [](const std::vector<record> &v) { return v.size() >= 2; }, 5000));
	EXPECT_EQ(messages(), (std::vector<std::string>{"a\n", "b\n"}));
	const std::string warning = "daemon: write: No space left on device\n";
	EXPECT_TRUE(supervise::wait_content(s.invoker.err_path, warning + warning));
	EXPECT_TRUE(supervise::alive(s.pid));
}

// Priority "none" logs nothing (handed on, it would read as mail.emerg); the
// file still gets every line.  A later run's record marks that all records of
// the first have arrived.
TEST_F(syslog_relay, PriorityNoneLogsNothing)
{
	run_to_end({"-s", "none", "-o", at("out"), "sh", "-c", "echo hidden"});
	EXPECT_EQ(harness::read_file(at("out")), "hidden\n");
	harness::temp_dir other;
	auto s = supervise::start(other.path, {"-S", "echo", "marker"});
	ASSERT_GT(s.pid, 0);
	ASSERT_TRUE(harness::reap(s.pid, 10000).has_value());
	ASSERT_TRUE(syslog_capture::wait_for([](const std::vector<record> &v) {
		return !v.empty() && v.back().message == "marker\n";
	}, 5000));
	EXPECT_EQ(messages(), (std::vector<std::string>{"marker\n"}));
}

// A large burst reaches syslog completely and in order, one record a line.
TEST_F(syslog_relay, BurstArrivesCompleteAndInOrder)
{
	std::vector<std::string> want;
	std::string burst;
	for (int i = 0; i < 3000; i++) {
		want.push_back("line " + std::to_string(i) + "\n");
		burst += want.back();
	}
	ASSERT_TRUE(harness::write_file(at("burst"), burst));
	auto s = supervise::start(dir.path,
	    {"-S", "sh", "-c", "cat burst; exec sleep 60"});
	ASSERT_GT(s.pid, 0);
	EXPECT_TRUE(syslog_capture::wait_for(
	    [&](const std::vector<record> &v) { return v.size() >= want.size(); },
	    10000));
	EXPECT_EQ(messages(), want);
}

}  // namespace
