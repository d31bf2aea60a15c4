// Test helper: run the vora-T binary in a directory and capture status, stdout and stderr.
#ifndef VORAT_TEST_RUN_BINARY_H
#define VORAT_TEST_RUN_BINARY_H

#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

struct RunResult {
	int status;        // exit status, or -1 when the process did not exit normally
	std::string out;   // standard output
	std::string err;   // standard error
};

inline std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

// Whether two files hold the same bytes; when not, the message names both files and the first
// byte where they differ (or where the shorter one ends).
inline ::testing::AssertionResult same_file(const std::string &a, const std::string &b)
{
	const std::string x = read_file(a), y = read_file(b);
	if (x == y) return ::testing::AssertionSuccess();
	size_t at = 0;
	while (at < x.size() && at < y.size() && x[at] == y[at]) ++at;
	return ::testing::AssertionFailure() << a << " (" << x.size() << " bytes) and " << b << " (" << y.size()
	                                     << " bytes) differ from byte offset " << at;
}

inline void write_file(const std::string &path, const std::string &text)
{
	std::ofstream out(path, std::ios::binary);
	out << text;
}

inline bool file_exists(const std::string &path)
{
	return access(path.c_str(), F_OK) == 0;
}

// The lines of a text, without their line feeds (a last line without one counts).
inline std::vector<std::string> split_lines(const std::string &text)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	std::string line;
	while (std::getline(in, line)) lines.push_back(line);
	return lines;
}

// Paths of every regular file under `root` (below `rel`, "" for all), relative to root, sorted.
inline void list_files(const std::string &root, const std::string &rel, std::vector<std::string> *out)
{
	DIR *d = opendir((root + "/" + rel).c_str());
	if (!d) return;
	while (struct dirent *e = readdir(d)) {
		std::string name = e->d_name;
		if (name == "." || name == "..") continue;
		std::string path = rel.empty() ? name : rel + "/" + name;
		struct stat st;
		if (stat((root + "/" + path).c_str(), &st) != 0) continue;
		if (S_ISDIR(st.st_mode)) list_files(root, path, out);
		else if (S_ISREG(st.st_mode)) out->push_back(path);
	}
	closedir(d);
	std::sort(out->begin(), out->end());
}

// A fresh temporary directory, removed with everything in it by the destructor.
struct TempDir {
	std::string path;
	TempDir()
	{
		char tmpl[] = "/tmp/vorat-test-XXXXXX";
		char *p = mkdtemp(tmpl);
		path = p ? p : "/tmp";
	}
	~TempDir()
	{
		if (path != "/tmp") std::system(("rm -rf '" + path + "'").c_str());
	}
	std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// Run `vora-T <args>` (args already shell-quoted as needed) with `dir` as working directory.
inline RunResult run_vorat(const std::string &dir, const std::string &args)
{
	std::string out = dir + "/.stdout", err = dir + "/.stderr";
	std::string cmd = "cd '" + dir + "' && '" VORAT_BINARY "' " + args + " >'" + out + "' 2>'" + err + "'";
	int rc = std::system(cmd.c_str());
	RunResult r;
	r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
	r.out = read_file(out);
	r.err = read_file(err);
	unlink(out.c_str());
	unlink(err.c_str());
	return r;
}

#endif
