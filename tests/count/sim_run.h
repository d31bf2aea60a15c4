// End-to-end fixture of the count tests: one simulated data set (vorat-simulate) and its
// index per test program, made on first use in a temporary directory and removed when the
// program ends, and count runs on it, each made once and shared by every test that asks
// for the same arguments. An index holds a 512 MiB k-mer hash: never build a second one.
#ifndef VORAT_TESTS_SIM_RUN_H
#define VORAT_TESTS_SIM_RUN_H

#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <algorithm>
#include <map>
#include <string>
#include <vector>
#include "../common/run_binary.h"

namespace sim_run {

// Small enough for a few seconds per run, large enough for empty droplets, barcode and UMI
// errors and several matrix chunks: 60 cells, about 300 empty droplets, 150 genes.
const char SIM_ARGS[] = "--seed 11 --genome-size 1000000 --genes 150 --cells 60 --reads 30000 --version 2";

// The artefacts of real reads: oligo at the start of read 2, poly(A) read-through, poor 3' ends.
const char ARTEFACT_ARGS[] = "--tso 0.1 --polya 0.08 --tail-errors 0.05";

struct CountRun {
	RunResult result;
	std::string out_dir;   // absolute
};

class Fixture {
public:
	static Fixture &get()
	{
		static Fixture f;
		return f;
	}

	// True once the data set and the index exist; otherwise `why` says what failed.
	bool ready(std::string *why)
	{
		if (!tried_) {
			tried_ = true;
			build();
		}
		if (why) *why = error_;
		return error_.empty();
	}

	const std::string &dir() const { return dir_; }
	std::string sim(const std::string &name) const { return dir_ + "/sim/" + name; }

	// `vora-T count` on the data set with `threads` threads and `extra` options, into
	// out-<name>/ (log in <name>.log beside it); run once per name. `reads` is the folder
	// (below the fixture's) of R1.fastq and R2.fastq.
	const CountRun &count(const std::string &name, int threads, const std::string &extra = "",
	                      const std::string &reads = "sim")
	{
		auto it = runs_.find(name);
		if (it != runs_.end()) return it->second;
		CountRun run;
		run.out_dir = dir_ + "/out-" + name;
		run.result = run_vorat(dir_, "count -x idx/sim -l 0 -t " + std::to_string(threads) + " -o out-" + name + " -1 " +
		                                 reads + "/R1.fastq -2 " + reads + "/R2.fastq --log " + name + ".log " + extra);
		return runs_[name] = run;
	}

	// The reads of the data set again with the artefacts of real reads (same molecules, same
	// genome and truth), in sim-art/ (made once); false with `why` when that failed.
	bool artefact_reads(std::string *why)
	{
#ifdef VORAT_SIMULATE
		if (art_error_.empty() && !file_exists(dir_ + "/sim-art/R2.fastq")) {
			std::string cmd = "'" VORAT_SIMULATE "' " + std::string(SIM_ARGS) + " " + ARTEFACT_ARGS + " --out '" +
			                  dir_ + "/sim-art' 2>'" + dir_ + "/sim-art.err'";
			if (std::system(cmd.c_str()) != 0) art_error_ = "vorat-simulate failed: " + read_file(dir_ + "/sim-art.err");
		}
#else
		art_error_ = "vorat-simulate is not built";
#endif
		*why = art_error_;
		return art_error_.empty();
	}

	void remove()
	{
		if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
		dir_.clear();
	}

private:
	bool tried_ = false;
	std::string dir_, error_, art_error_;
	std::map<std::string, CountRun> runs_;

	void build()
	{
#ifndef VORAT_SIMULATE
		error_ = "vorat-simulate is not built";
#else
		char tmpl[] = "/tmp/vorat-e2e-XXXXXX";
		if (!mkdtemp(tmpl)) {
			error_ = "no temporary directory";
			return;
		}
		dir_ = tmpl;
		std::string cmd = "'" VORAT_SIMULATE "' " + std::string(SIM_ARGS) + " --out '" + dir_ + "/sim' 2>'" + dir_ +
		                  "/sim.err'";
		if (std::system(cmd.c_str()) != 0) {
			error_ = "vorat-simulate failed: " + read_file(dir_ + "/sim.err");
			return;
		}
		RunResult r = run_vorat(dir_, "index -g sim/genome.fa -t sim/genes.gtf -p sim -o idx");
		if (r.status != 0) error_ = "index failed: " + r.err;
#endif
	}
};

// Removes the data set when the test program ends.
class Cleanup : public ::testing::Environment {
public:
	void TearDown() override { Fixture::get().remove(); }
};

inline ::testing::Environment *const cleanup_env = ::testing::AddGlobalTestEnvironment(new Cleanup);

// The value of a statistics line "[INFO] <label> : <value>" of a run's standard error, or -1.
inline long long stat_line(const std::string &err, const std::string &label)
{
	size_t p = err.find("[INFO] " + label);
	if (p == std::string::npos) return -1;
	p = err.find(':', p);
	if (p == std::string::npos) return -1;
	return std::atoll(err.c_str() + p + 1);
}

// Exit status of a shell command, its output (stdout and stderr) into *out.
inline int shell(const std::string &cmd, std::string *out)
{
	char tmpl[] = "/tmp/vorat-shell-XXXXXX";
	int fd = mkstemp(tmpl);
	if (fd < 0) return -1;
	close(fd);
	int rc = std::system((cmd + " > '" + tmpl + "' 2>&1").c_str());
	if (out) *out = read_file(tmpl);
	unlink(tmpl);
	return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// A python3 that imports `module` (Debian's first: its packages are installed there), or "".
inline std::string find_python(const std::string &module = "sys")
{
	for (const char *p : {"/usr/bin/python3", "python3"})
		if (shell(std::string(p) + " -c 'import " + module + "'", nullptr) == 0) return p;
	return "";
}

}  // namespace sim_run

// Skip (with the reason) when the data set cannot be made; fail when the run failed.
#define REQUIRE_SIM()                                                                  \
	do {                                                                               \
		std::string why_;                                                              \
		if (!sim_run::Fixture::get().ready(&why_)) {                                   \
			if (why_ == "vorat-simulate is not built") GTEST_SKIP() << why_;           \
			FAIL() << why_;                                                            \
		}                                                                              \
	} while (0)

#endif
