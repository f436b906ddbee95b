// Command-line handling: usage text, validation messages and statuses, the
// order in which options are looked at, and which values are accepted.
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "harness.h"
#include "launch_util.h"

namespace {

const std::string SYNOPSIS =
    "usage: daemon [-cfHrS] [-p child_pidfile] [-P supervisor_pidfile]\n"
    "              [-u user] [-o output_file] [-t title]\n"
    "              [-l syslog_facility] [-s syslog_priority]\n"
    "              [-T syslog_tag] [-m output_mask] [-R restart_delay_secs]\n"
    "command arguments ...\n";

const std::string SUMMARY =
    "  --change-dir         -c         Change the current working directory to root\n"
    "  --close-fds          -f         Set stdin, stdout, stderr to /dev/null\n"
    "  --sighup             -H         Close and re-open output file on SIGHUP\n"
    "  --syslog             -S         Send output to syslog\n"
    "  --output-file        -o <file>  Append output of the child process to file\n"
    "  --output-mask        -m <mask>  What to send to syslog/file\n"
    "                                  1=stdout, 2=stderr, 3=both\n"
    "  --child-pidfile      -p <file>  Write PID of the child process to file\n"
    "  --supervisor-pidfile -P <file>  Write PID of the supervisor process to file\n"
    "  --restart            -r         Restart child if it terminates (1 sec delay)\n"
    "  --restart-delay      -R <N>     Restart child if it terminates after N sec\n"
    "  --title              -t <title> Set the title of the supervisor process\n"
    "  --user               -u <user>  Drop privileges, run as given user\n"
    "  --syslog-priority    -s <prio>  Set syslog priority\n"
    "  --syslog-facility    -l <flty>  Set syslog facility\n"
    "  --syslog-tag         -T <tag>   Set syslog tag\n"
    "  --help               -h         Show this help\n";

const std::string USAGE = SYNOPSIS + SUMMARY;

TEST(UsageText, BlocksHaveTheDocumentedSizes) {
    // Guards the literals above against an accidental edit.
    EXPECT_EQ(SYNOPSIS.size(), 267u);
    EXPECT_EQ(SUMMARY.size(), 1138u);
    EXPECT_EQ(USAGE.find('\t'), std::string::npos);
}

// ---------------------------------------------------------------------------
// Cases that end with the usage text.

struct usage_case {
    const char *name;
    std::vector<std::string> args;
    int status;
    const char *diag;  // getopt_long's diagnostic after "ARGV0", or ""
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const usage_case &c, std::ostream *os) { *os << c.name; }

class Usage : public testing::TestWithParam<usage_case> {};

TEST_P(Usage, PrintsUsageOnStderrOnly) {
    const usage_case &c = GetParam();
    harness::result r = harness::run(c.args);
    std::string expected = USAGE;
    // getopt_long names the program by argv[0], which the harness sets to
    // the binary's path.
    if (*c.diag != '\0')
        expected = harness::daemon_path() + c.diag + USAGE;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(r.out, "");
    // Nothing was started.
    EXPECT_TRUE(harness::children().empty());
}

const usage_case usage_cases[] = {
    {"help_short", {"-h"}, 0, ""},
    {"help_long", {"--help"}, 0, ""},
    {"help_with_command", {"-h", "true"}, 0, ""},
    {"help_after_options", {"-S", "-c", "-h"}, 0, ""},
    {"help_before_bad_mask", {"-h", "-m", "9"}, 0, ""},
    {"help_before_unknown_option", {"-h", "-x"}, 0, ""},
    {"no_arguments", {}, 1, ""},
    {"syslog_without_command", {"-S"}, 1, ""},
    {"restart_without_command", {"-r"}, 1, ""},
    {"several_without_command", {"-c", "-f", "-H", "-t", "x"}, 1, ""},
    {"double_dash_alone", {"--"}, 1, ""},
    {"options_then_double_dash", {"-S", "--"}, 1, ""},
    {"unknown_short", {"-x", "true"}, 1, ": invalid option -- 'x'\n"},
    {"short_options_are_case_sensitive", {"-C", "true"}, 1, ": invalid option -- 'C'\n"},
    {"unknown_long", {"--bogus", "true"}, 1, ": unrecognized option '--bogus'\n"},
    {"long_options_are_case_sensitive", {"--Help"}, 1, ": unrecognized option '--Help'\n"},
    {"unknown_before_bad_mask", {"-x", "-m", "9", "true"}, 1, ": invalid option -- 'x'\n"},
    {"missing_mask", {"-m"}, 1, ": option requires an argument -- 'm'\n"},
    {"missing_child_pidfile", {"-p"}, 1, ": option requires an argument -- 'p'\n"},
    {"missing_restart_delay", {"-R"}, 1, ": option requires an argument -- 'R'\n"},
    {"missing_user", {"-c", "-u"}, 1, ": option requires an argument -- 'u'\n"},
    {"missing_long_mask", {"--output-mask"}, 1, ": option '--output-mask' requires an argument\n"},
    {"help_with_value", {"--help=yes", "true"}, 1, ": option '--help' doesn't allow an argument\n"},
};

INSTANTIATE_TEST_SUITE_P(Cli, Usage, testing::ValuesIn(usage_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Cases rejected with a one-line message.

const char *const BAD_PRIORITY = "unrecognized syslog priority";
const char *const BAD_FACILITY = "unrecognized syslog facility";
const char *const BAD_MASK = "unrecognized listening mask";
const char *const BAD_DELAY = "invalid restart delay";

struct reject_case {
    const char *name;
    std::vector<std::string> args;
    int status;
    const char *message;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const reject_case &c, std::ostream *os) { *os << c.name; }

class Reject : public testing::TestWithParam<reject_case> {};

TEST_P(Reject, ExitsWithMessage) {
    const reject_case &c = GetParam();
    harness::result r = harness::run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, std::string("daemon: ") + c.message + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(harness::children().empty());
}

const reject_case reject_cases[] = {
    // Names match exactly and case-sensitively, without abbreviation.
    {"priority_upper_case", {"-s", "INFO", "true"}, 4, BAD_PRIORITY},
    {"priority_abbreviated", {"-s", "inf", "true"}, 4, BAD_PRIORITY},
    {"priority_empty", {"-s", "", "true"}, 4, BAD_PRIORITY},
    {"priority_trailing_blank", {"-s", "info ", "true"}, 4, BAD_PRIORITY},
    {"priority_number", {"-s", "5", "true"}, 4, BAD_PRIORITY},
    {"priority_long_form", {"--syslog-priority=bogus", "true"}, 4, BAD_PRIORITY},
    {"facility_upper_case", {"-l", "LOCAL0", "true"}, 5, BAD_FACILITY},
    {"facility_out_of_range", {"-l", "local8", "true"}, 5, BAD_FACILITY},
    {"facility_empty", {"-l", "", "true"}, 5, BAD_FACILITY},
    {"facility_number", {"-l", "24", "true"}, 5, BAD_FACILITY},
    {"facility_long_form", {"--syslog-facility", "Daemon", "true"}, 5, BAD_FACILITY},
    // Masks: 0 to 3 only.
    {"mask_4", {"-m", "4", "true"}, 6, BAD_MASK},
    {"mask_minus_1", {"-m", "-1", "true"}, 6, BAD_MASK},
    {"mask_letters", {"-m", "x", "true"}, 6, BAD_MASK},
    {"mask_empty", {"-m", "", "true"}, 6, BAD_MASK},
    {"mask_blank", {"-m", " ", "true"}, 6, BAD_MASK},
    {"mask_long_form", {"--output-mask=7", "true"}, 6, BAD_MASK},
    {"mask_without_command", {"-m", "9"}, 6, BAD_MASK},
    // Values that fit a long but not an int must not wrap into range.
    {"mask_wraps_to_1", {"-m", "4294967297", "true"}, 6, BAD_MASK},
    {"mask_wraps_to_0", {"-m", "4294967296", "true"}, 6, BAD_MASK},
    {"mask_2_pow_31", {"-m", "2147483648", "true"}, 6, BAD_MASK},
    {"mask_negative_wraps_to_1", {"-m", "-4294967295", "true"}, 6, BAD_MASK},
    {"mask_beyond_long", {"-m", "99999999999999999999", "true"}, 6, BAD_MASK},
    // Delays: at least 1.
    {"delay_0", {"-R", "0", "true"}, 6, BAD_DELAY},
    {"delay_minus_3", {"-R", "-3", "true"}, 6, BAD_DELAY},
    {"delay_letters", {"-R", "x", "true"}, 6, BAD_DELAY},
    {"delay_empty", {"-R", "", "true"}, 6, BAD_DELAY},
    {"delay_blank", {"-R", " ", "true"}, 6, BAD_DELAY},
    {"delay_octal_stops_at_8", {"-R", "08", "true"}, 6, BAD_DELAY},
    {"delay_hex_zero", {"-R", "0x0", "true"}, 6, BAD_DELAY},
    {"delay_long_form", {"--restart-delay=0", "true"}, 6, BAD_DELAY},
    {"delay_without_command", {"-R", "0"}, 6, BAD_DELAY},
    {"delay_wraps_to_1", {"-R", "4294967297", "true"}, 6, BAD_DELAY},
    {"delay_wraps_to_0", {"-R", "4294967296", "true"}, 6, BAD_DELAY},
    {"delay_2_pow_31", {"-R", "2147483648", "true"}, 6, BAD_DELAY},
    {"delay_hex_wraps_to_1", {"-R", "0x100000001", "true"}, 6, BAD_DELAY},
    {"delay_negative_wraps_to_1", {"-R", "-4294967295", "true"}, 6, BAD_DELAY},
    {"delay_beyond_long", {"-R", "99999999999999999999", "true"}, 6, BAD_DELAY},
    // Left to right: the first bad option ends parsing; nothing after it is
    // looked at, not even -h or an unknown option.
    {"bad_mask_before_help", {"-m", "9", "-h"}, 6, BAD_MASK},
    {"bad_mask_before_unknown", {"-m", "9", "-x", "true"}, 6, BAD_MASK},
    {"second_mask_bad", {"-m", "1", "-m", "5", "true"}, 6, BAD_MASK},
    {"priority_before_facility", {"-s", "x", "-l", "y", "true"}, 4, BAD_PRIORITY},
    {"facility_before_priority", {"-l", "y", "-s", "x", "true"}, 5, BAD_FACILITY},
    {"delay_before_priority", {"-R", "0", "-s", "x", "true"}, 6, BAD_DELAY},
    {"good_priority_then_bad", {"-s", "info", "-s", "INFO", "true"}, 4, BAD_PRIORITY},
    {"good_options_then_bad_delay", {"-c", "-f", "-S", "-R", "-1", "true"}, 6, BAD_DELAY},
};

INSTANTIATE_TEST_SUITE_P(Cli, Reject, testing::ValuesIn(reject_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Accepted values: daemon starts the command, supervised or not as the
// options ask.

struct accept_case {
    std::string name;
    std::vector<std::string> opts;
    bool supervised;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const accept_case &c, std::ostream *os) { *os << c.name; }

class Accept : public testing::TestWithParam<accept_case> {};

TEST_P(Accept, StartsCommand) {
    const accept_case &c = GetParam();
    harness::temp_dir dir;
    launch::started s = launch::start_marked(c.opts, dir.path);
    launch::expect_started(s, c.supervised);
}

std::vector<accept_case> accept_cases() {
    std::vector<accept_case> v = {
        {"mask_0", {"-m", "0"}, false},
        {"mask_3", {"-m", "3"}, false},
        {"mask_trailing_junk", {"-m", "2x"}, false},
        {"mask_base_10_stops_at_x", {"-m", "0x3"}, false},
        {"mask_leading_blank", {"-m", " 1"}, false},
        {"mask_plus_sign", {"-m", "+2"}, false},
        {"mask_attached", {"-m1"}, false},
        {"mask_long_equals", {"--output-mask=1"}, false},
        {"mask_long_next_word", {"--output-mask", "2"}, false},
        {"mask_twice", {"-m", "3", "-m", "1"}, false},
        {"delay_hex", {"-R", "0x10"}, false},
        {"delay_octal", {"-R", "010"}, false},
        {"delay_trailing_junk", {"-R", "5s"}, false},
        {"delay_leading_blank", {"-R", " 7"}, false},
        {"delay_plus_sign", {"-R", "+1"}, false},
        {"delay_int_max", {"-R", "2147483647"}, false},
        {"delay_attached", {"-R0x1"}, false},
        {"delay_long_equals", {"--restart-delay=3"}, false},
        {"delay_long_next_word", {"--restart-delay", "3"}, false},
        {"delay_with_syslog", {"-R", "5", "-S"}, true},
    };
    for (const char *p : {"alert", "crit", "debug", "emerg", "err", "error", "info", "none", "notice",
                          "panic", "warn", "warning"})
        v.push_back({std::string("priority_") + p, {"-s", p}, true});
    for (const char *f : {"auth", "authpriv", "console", "cron", "daemon", "ftp", "kern", "lpr",
                          "mail", "mark", "news", "ntp", "security", "syslog", "user", "uucp",
                          "local0", "local1", "local2", "local3", "local4", "local5", "local6",
                          "local7"})
        v.push_back({std::string("facility_") + f, {"-l", f}, true});
    v.push_back({"priority_then_priority", {"-s", "info", "-s", "debug"}, true});
    v.push_back({"priority_long_equals", {"--syslog-priority=err"}, true});
    v.push_back({"facility_long_next_word", {"--syslog-facility", "local7"}, true});
    return v;
}

INSTANTIATE_TEST_SUITE_P(Cli, Accept, testing::ValuesIn(accept_cases()),
                         [](const auto &info) { return info.param.name; });

// ---------------------------------------------------------------------------
// "--" ends the options: what follows is the command even if it looks like
// an option, and the command's own words are passed on untouched.

TEST(DoubleDash, RunsCommandThatLooksLikeAnOption) {
    harness::temp_dir dir;
    std::string bin = dir.path + "/bin";
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    std::string ran = dir.path + "/ran";
    ASSERT_TRUE(harness::write_file(bin + "/-x", "#!/bin/sh\nprintf '%s|' \"$@\" > " +
                                                     launch::sh_quote(ran) + "\n"));
    ASSERT_EQ(chmod((bin + "/-x").c_str(), 0755), 0);

    harness::run_opts ro;
    ro.env = {"PATH=" + bin + ":/usr/bin:/bin"};
    harness::result r = harness::run({"--", "-x", "-S", "a b", "", "-p"}, ro);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // Unsupervised: the detached process is the command itself, which ends
    // with the script's status 0 (a supervisor would end with 1).
    auto end = harness::reap(-1, 5000);
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->status, 0);
    EXPECT_EQ(harness::read_file(ran), "-S|a b||-p|");
}

}  // namespace
