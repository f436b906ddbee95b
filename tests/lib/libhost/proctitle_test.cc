/*
 * Process titles, seen from outside through /proc/PID/cmdline.  The titles
 * are set in a helper program (a title needs the argument strings that
 * exec(2) laid out), started here with a chosen argument vector and
 * environment, so the title space is known: every argument and environment
 * string with its NUL.
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

/* The kernel shows a title from one page at most. */
const size_t TITLE_SHOWN = 4095;

struct Probe {
	pid_t pid = -1;
	int to = -1;		/* its standard input */
	int from = -1;		/* its standard output */
	std::string pending;

	bool
	start(const std::vector<std::string> &args,
	    const std::vector<std::string> &env)
	{
		int in[2], out[2];
		if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
			return false;
		std::vector<char *> argv, envp;
		for (const std::string &a : args)
			argv.push_back(const_cast<char *>(a.c_str()));
		argv.push_back(nullptr);
		for (const std::string &e : env)
			envp.push_back(const_cast<char *>(e.c_str()));
		envp.push_back(nullptr);
		pid = fork();
		if (pid == 0) {
			dup2(in[0], 0);
			dup2(out[1], 1);
			execve(PROCTITLE_PROBE, argv.data(), envp.data());
			_exit(127);
		}
		close(in[0]);
		close(out[1]);
		to = in[1];
		from = out[0];
		return pid > 0;
	}

	/* One line of its answer, without newline; "" after 10 s of silence. */
	std::string
	line()
	{
		for (;;) {
			size_t nl = pending.find('\n');
			if (nl != std::string::npos) {
				std::string l = pending.substr(0, nl);
				pending.erase(0, nl + 1);
				return l;
			}
			struct pollfd p = {from, POLLIN, 0};
			if (poll(&p, 1, 10000) != 1)
				return "";
			char buf[4096];
			ssize_t n = read(from, buf, sizeof(buf));
			if (n <= 0)
				return "";
			pending.append(buf, (size_t)n);
		}
	}

	std::string
	ask(const std::string &command)
	{
		std::string l = command + "\n";
		if (write(to, l.data(), l.size()) != (ssize_t)l.size())
			return "";
		return line();
	}

	std::vector<std::string>
	report()
	{
		std::vector<std::string> lines;
		std::string l = ask("r");
		while (l != "." && !l.empty()) {
			lines.push_back(l);
			l = line();
		}
		return lines;
	}

	std::string
	proc_file(const char *name)
	{
		std::string path = "/proc/" + std::to_string(pid) + "/" + name;
		std::string content;
		int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
		if (fd == -1)
			return "(cannot open)";
		char buf[8192];
		ssize_t n;
		while ((n = read(fd, buf, sizeof(buf))) > 0)
			content.append(buf, (size_t)n);
		close(fd);
		return content;
	}

	~Probe()
	{
		if (to != -1)
			close(to);
		if (pid > 0) {
			/* End of input ends it; a hung probe is killed. */
			int status;
			for (int i = 0; i < 500; i++) {
				if (waitpid(pid, &status, WNOHANG) == pid)
					break;
				if (i == 499) {
					kill(pid, SIGKILL);
					waitpid(pid, &status, 0);
				}
				usleep(10000);
			}
		}
		if (from != -1)
			close(from);
	}
};

struct Scenario {
	const char *name;
	std::vector<std::string> args;
	std::vector<std::string> env;
	std::string short_name;
};

std::vector<Scenario>
scenarios()
{
	return {
	    {"arguments and environment",
		{"proctitle_probe", "alpha", "beta gamma", ""},
		{"HOME=/nowhere", "A=1", "EMPTY="}, "proctitle_probe"},
	    {"path as program name, no environment",
		{"/some/where/probe-name", "x"}, {}, "probe-name"},
	    {"one-letter name alone", {"p"}, {}, "p"},
	    {"environment larger than a page",
		{"probe"}, {"BIG=" + std::string(6000, 'v'), "Z=2"}, "probe"},
	};
}

size_t
area_size(const Scenario &s)
{
	size_t n = 0;
	for (const std::string &a : s.args)
		n += a.size() + 1;
	for (const std::string &e : s.env)
		n += e.size() + 1;
	return n;
}

std::string
shown(const Scenario &s, const std::string &title)
{
	size_t n = std::min({title.size(), area_size(s) - 1, TITLE_SHOWN});
	return title.substr(0, n) + std::string(1, '\0');
}

/* What the program must still see after any number of titles. */
std::vector<std::string>
expected_report(const Scenario &s)
{
	std::vector<std::string> r;
	for (const std::string &a : s.args)
		r.push_back("a " + a);
	for (const std::string &e : s.env) {
		r.push_back("e " + e);
		r.push_back("g " + e);
	}
	r.push_back("p " + s.args[0]);
	r.push_back("s " + s.short_name);
	return r;
}

std::string
original_cmdline(const Scenario &s)
{
	std::string c;
	for (const std::string &a : s.args)
		c += a + std::string(1, '\0');
	return c;
}

TEST(ProctitleTest, TitlesAreShownExactlyAndHarmNothing)
{
	for (const Scenario &s : scenarios()) {
		SCOPED_TRACE(s.name);
		Probe probe;
		ASSERT_TRUE(probe.start(s.args, s.env));
		ASSERT_EQ(probe.line(), "ready 0");
		EXPECT_EQ(probe.proc_file("cmdline"), original_cmdline(s));
		std::string comm = probe.proc_file("comm");

		size_t area = area_size(s);
		for (int i = 0; i < 1000; i++) {
			/* Lengths sweep past the end of the space, both ways. */
			size_t len = (size_t)(i * 37) % (area + 100);
			if (i % 2)
				len = (area + 100) - len;
			std::string text;
			for (size_t k = 0; k < len; k++)
				text += (k % 11 == 5) ? '%' :
				    (char)('a' + (i + k) % 26);
			ASSERT_EQ(probe.ask("t " + text), "ok") << i;
			ASSERT_EQ(probe.proc_file("cmdline"),
			    shown(s, s.short_name + ": " + text)) << "title " << i;
			if (i % 100 == 0) {
				ASSERT_EQ(probe.report(), expected_report(s)) << i;
			}
		}
		EXPECT_EQ(probe.report(), expected_report(s));
		EXPECT_EQ(probe.proc_file("comm"), comm);
	}
}

TEST(ProctitleTest, FormatAndRestore)
{
	for (const Scenario &s : scenarios()) {
		SCOPED_TRACE(s.name);
		Probe probe;
		ASSERT_TRUE(probe.start(s.args, s.env));
		ASSERT_EQ(probe.line(), "ready 0");

		ASSERT_EQ(probe.ask("f supervised"), "ok");
		EXPECT_EQ(probe.proc_file("cmdline"),
		    shown(s, s.short_name + ": supervised[4242]"));

		/* A second init changes nothing. */
		ASSERT_EQ(probe.ask("i"), "ok 0");
		EXPECT_EQ(probe.report(), expected_report(s));
		ASSERT_EQ(probe.ask("t again"), "ok");
		EXPECT_EQ(probe.proc_file("cmdline"),
		    shown(s, s.short_name + ": again"));

		ASSERT_EQ(probe.ask("n"), "ok");
		EXPECT_EQ(probe.proc_file("cmdline"), original_cmdline(s));
		EXPECT_EQ(probe.report(), expected_report(s));
	}
}

} // namespace
