// The Snakemake workflow (workflow/) on three small simulated samples that share the
// fixture's index (alpha: the fixture's v2 reads; beta: v3; gamma: v3 on two lanes): its
// results equal direct `vora-T count` runs byte for byte, its summary table and page carry
// every sample, a rerun does nothing, a deleted result is recounted alone, and a faulty
// sample sheet stops it before any job. Skipped when Snakemake is not installed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <iterator>
#include "count_cmd_util.h"
#include "json_lite.h"

namespace {

struct SampleDef {
	const char *name;
	int library;             // vora-T count -l
	const char *library_type;
	const char *sim;         // simulator options added to the fixture's (same genome), "" for its reads
	int lanes;
};

const SampleDef SAMPLES[] = {
    {"alpha", 0, "10xv2", "", 1},
    {"beta", 1, "10xv3", " --cells 40 --reads 12000 --version 3", 1},
    {"gamma", 1, "10xv3", " --cells 30 --reads 10000 --version 3", 2},
};

std::string snakemake_program()
{
	for (const char *p : {"/usr/bin/snakemake", "snakemake"})
		if (sim_run::shell(std::string(p) + " --version", nullptr) == 0) return p;
	return "";
}

class Workflow {
public:
	static Workflow &get()
	{
		static Workflow w;
		return w;
	}

	// True once the samples, the sheet and the direct runs exist; otherwise `why` says why not.
	bool ready(std::string *why)
	{
		if (!tried_) {
			tried_ = true;
			prepare();
		}
		*why = error_;
		return error_.empty();
	}

	const std::string &dir() const { return dir_; }
	std::string path(const std::string &rel) const { return dir_ + "/" + rel; }

	// The workflow in its directory with --cores 2 and `extra` options; status, output into *out.
	int run(const std::string &extra, std::string *out) const
	{
		return sim_run::shell("cd '" + dir_ + "' && '" + snakemake_ + "' -s '" VORAT_SOURCE_DIR
		                      "/workflow/Snakefile' --configfile config.yaml --cores 2 " + extra,
		                      out);
	}

	// The first full run, made once.
	const std::pair<int, std::string> &first_run()
	{
		if (!first_done_) {
			first_done_ = true;
			first_.first = run("", &first_.second);
		}
		return first_;
	}

private:
	bool tried_ = false, first_done_ = false;
	std::string dir_, snakemake_, error_;
	std::pair<int, std::string> first_;

	void prepare()
	{
		snakemake_ = snakemake_program();
		if (snakemake_.empty()) {
			error_ = "snakemake is not installed";
			return;
		}
		sim_run::Fixture &fx = sim_run::Fixture::get();
		dir_ = fx.dir() + "/wf";
		mkdir(dir_.c_str(), 0755);
		std::string sheet = "sample,fastq_1,fastq_2,library_type\n";
		std::vector<std::function<RunResult()>> direct;
		for (const SampleDef &s : SAMPLES) {
			std::vector<std::string> r1, r2;
			if (!*s.sim) {
				r1.push_back(fx.sim("R1.fastq"));
				r2.push_back(fx.sim("R2.fastq"));
			} else {
				std::string out;
				if (sim_run::shell("'" VORAT_SIMULATE "' " + std::string(sim_run::SIM_ARGS) + s.sim + " --out '" +
				                       path(s.name) + "'",
				                   &out) != 0) {
					error_ = "vorat-simulate failed: " + out;
					return;
				}
				split_lanes(s, &r1, &r2);
			}
			// The workflow's default options.
			std::string args = "-l " + std::to_string(s.library) + " -t 1 --trim-adapters -o direct-" + s.name +
			                   " --log direct-" + s.name + ".log -1";
			for (size_t i = 0; i < r1.size(); ++i)
				sheet += std::string(s.name) + "," + r1[i] + "," + r2[i] + "," + s.library_type + "\n";
			for (const std::string &f : r1) args += " " + f;
			args += " -2";
			for (const std::string &f : r2) args += " " + f;
			std::string d = dir_;
			direct.push_back([d, args]() { return count_cmd::count_in(d, args); });
		}
		write_file(path("samples.csv"), sheet);
		write_file(path("config.yaml"), "samples: samples.csv\ngenome: " + fx.sim("genome.fa") + "\ngtf: " +
		                                    fx.sim("genes.gtf") + "\nindex: " + count_cmd::index_prefix() +
		                                    "\nvorat: " VORAT_BINARY "\nthreads: 2\n");
		for (const RunResult &r : count_cmd::run_two_at_a_time(direct))
			if (r.status != 0) error_ = "direct count failed: " + r.err;
	}

	// Splits a simulated sample's reads into its lanes (whole records, in order).
	void split_lanes(const SampleDef &s, std::vector<std::string> *r1, std::vector<std::string> *r2)
	{
		for (const char *read : {"R1", "R2"}) {
			std::string text = read_file(path(std::string(s.name) + "/" + read + ".fastq"));
			size_t per_lane = count_cmd::fastq_records(text) / s.lanes + 1;
			for (int lane = 0; lane < s.lanes; ++lane) {
				std::string head = count_cmd::fastq_head(text, per_lane);
				text.erase(0, head.size());
				std::string file = path(std::string(s.name) + "/L" + std::to_string(lane + 1) + "_" + read + ".fastq");
				write_file(file, head);
				(read[1] == '1' ? r1 : r2)->push_back(file);
			}
		}
	}
};

#define REQUIRE_WORKFLOW()                                                                \
	do {                                                                                  \
		REQUIRE_SIM();                                                                    \
		std::string why_;                                                                 \
		if (!Workflow::get().ready(&why_)) {                                              \
			if (why_ == "snakemake is not installed") GTEST_SKIP() << why_;               \
			FAIL() << why_;                                                               \
		}                                                                                 \
		const auto &first_ = Workflow::get().first_run();                                 \
		ASSERT_EQ(first_.first, 0) << first_.second;                                      \
	} while (0)

// Jobs of `rule` in the job statistics table Snakemake prints, 0 when it has none.
int jobs_of(const std::string &out, const std::string &rule)
{
	for (const std::string &l : split_lines(out))
		if (l.compare(0, rule.size() + 1, rule + " ") == 0 && l.find_first_not_of(' ', rule.size()) != std::string::npos)
			return std::atoi(l.c_str() + rule.size());
	return 0;
}

std::vector<std::string> split_tabs(const std::string &line)
{
	std::vector<std::string> out(1);
	for (char c : line) {
		if (c == '\t') out.emplace_back();
		else out.back().push_back(c);
	}
	return out;
}

long long mtime_ns(const std::string &path)
{
	struct stat st;
	if (stat(path.c_str(), &st) != 0) return -1;
	return (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
}

TEST(Workflow, ResultsEqualDirectCountRuns)
{
	REQUIRE_WORKFLOW();
	Workflow &w = Workflow::get();
	const std::string &out = w.first_run().second;
	EXPECT_EQ(jobs_of(out, "count"), 3) << out;
	EXPECT_EQ(jobs_of(out, "index"), 0) << out;
	EXPECT_EQ(jobs_of(out, "aggregate"), 1) << out;
	for (const SampleDef &s : SAMPLES) {
		std::string name = s.name;
		EXPECT_EQ(count_cmd::compare_dirs(w.path("results/" + name), w.path("direct-" + name)), "") << name;
	}
	EXPECT_NE(read_file(w.path("logs/count/gamma.log")).find("L2_R2.fastq"), std::string::npos);
}

TEST(Workflow, SummaryTableAndPageCarryEverySample)
{
	REQUIRE_WORKFLOW();
	Workflow &w = Workflow::get();
	std::vector<std::string> lines = split_lines(read_file(w.path("results/samples_summary.tsv")));
	ASSERT_EQ(lines.size(), 4u);
	std::vector<std::string> head = split_tabs(lines[0]);
	std::string page = read_file(w.path("results/samples_summary.html"));
	for (size_t i = 0; i < 3; ++i) {
		const SampleDef &s = SAMPLES[i];
		std::vector<std::string> row = split_tabs(lines[i + 1]);
		ASSERT_EQ(row.size(), head.size()) << lines[i + 1];
		JsonValue v;
		ASSERT_TRUE(parse_json(read_file(w.path(std::string("results/") + s.name + "/summary.json")), &v));
		std::map<std::string, std::string> cell;
		for (size_t c = 0; c < head.size(); ++c) cell[head[c]] = row[c];
		EXPECT_EQ(cell["sample"], s.name);
		EXPECT_EQ(cell["library_type"], s.library_type);
		EXPECT_EQ(std::atoi(cell["lanes"].c_str()), s.lanes);
		EXPECT_EQ(std::atof(cell["reads_total"].c_str()), v.get("reads")->get("total")->number);
		EXPECT_EQ(std::atof(cell["reads_unmapped"].c_str()), v.get("reads")->get("unmapped")->number);
		for (const char *key : {"cells", "median_umis_per_cell", "median_genes_per_cell", "sequencing_saturation"})
			EXPECT_EQ(std::atof(cell[key].c_str()), v.get(key)->number) << key;
		ASSERT_NE(v.get("trimmed_reads"), nullptr);
		EXPECT_EQ(std::atof(cell["trimmed_too_short"].c_str()), v.get("trimmed_reads")->get("too_short")->number);
		EXPECT_NE(page.find(std::string("<figure id=\"knee-") + s.name + "\">"), std::string::npos) << s.name;
	}
	// Self-contained: three inline plots, no script, nothing fetched.
	size_t svgs = 0;
	for (size_t p = 0; (p = page.find("<svg ", p)) != std::string::npos; ++p) ++svgs;
	EXPECT_EQ(svgs, 3u);
	EXPECT_EQ(page.find("<script"), std::string::npos);
	EXPECT_EQ(page.find("src="), std::string::npos);
	EXPECT_EQ(page.find("href="), std::string::npos);
}

TEST(Workflow, RerunDoesNothing)
{
	REQUIRE_WORKFLOW();
	std::string out;
	ASSERT_EQ(Workflow::get().run("", &out), 0) << out;
	EXPECT_NE(out.find("Nothing to be done"), std::string::npos) << out;
	EXPECT_EQ(jobs_of(out, "count"), 0) << out;
}

TEST(Workflow, DeletedResultIsRecountedAlone)
{
	REQUIRE_WORKFLOW();
	Workflow &w = Workflow::get();
	long long alpha = mtime_ns(w.path("results/alpha/summary.json"));
	ASSERT_EQ(std::system(("rm -rf '" + w.path("results/beta") + "'").c_str()), 0);
	std::string out;
	ASSERT_EQ(w.run("", &out), 0) << out;
	EXPECT_EQ(jobs_of(out, "count"), 1) << out;
	EXPECT_NE(out.find("wildcards: sample=beta"), std::string::npos) << out;
	EXPECT_EQ(jobs_of(out, "aggregate"), 1) << out;
	EXPECT_EQ(mtime_ns(w.path("results/alpha/summary.json")), alpha);
	EXPECT_EQ(count_cmd::compare_dirs(w.path("results/beta"), w.path("direct-beta")), "");
}

TEST(Workflow, PlansOneIndexJobAndAsksCountJobsForTheIndexMemory)
{
	REQUIRE_WORKFLOW();
	Workflow &w = Workflow::get();
	std::string out;
	ASSERT_EQ(w.run("-n --config index=" + w.path("new-index/ref"), &out), 0) << out;
	EXPECT_EQ(jobs_of(out, "index"), 1) << out;
	EXPECT_EQ(jobs_of(out, "count"), 3) << out;

	ASSERT_EQ(w.run("-n --forcerun count --config count_mem_extra_mb=100", &out), 0) << out;
	long long index_bytes = 0;
	for (const char *suffix : {".bwt", ".fasta", ".info", ".hash"}) {
		struct stat st;
		ASSERT_EQ(stat((count_cmd::index_prefix() + suffix).c_str(), &st), 0);
		index_bytes += st.st_size;
	}
	int asked = 0;
	for (size_t p = 0; (p = out.find(" mem_mb=", p)) != std::string::npos; ++p, ++asked) {
		long long mb = std::atoll(out.c_str() + p + 8);
		EXPECT_GE(mb << 20, index_bytes + (100LL << 20)) << out;
		EXPECT_LT(mb, (index_bytes >> 20) + 100 + 256) << out;
	}
	EXPECT_EQ(asked, 3) << out;
}

// Every line of the sheet below but the first has one fault; all are reported in one run,
// each naming its line, and no job starts.
TEST(Workflow, FaultySampleSheetStopsBeforeAnyJob)
{
	REQUIRE_WORKFLOW();
	Workflow &w = Workflow::get();
	const std::string a1 = w.path("gamma/L1_R1.fastq"), a2 = w.path("gamma/L1_R2.fastq");
	const std::string b1 = w.path("gamma/L2_R1.fastq"), b2 = w.path("gamma/L2_R2.fastq");
	const std::string good = a1 + "," + a2;
	struct Case {
		const char *fault;
		std::string line, message;  // message after "line <n> "
	} cases[] = {
	    {"none", "s1," + good + ",10xv3", ""},
	    {"missing file", "s2," + b1 + ",nowhere_R2.fastq,10xv3",
	     "(sample 's2'): fastq_2 file 'nowhere_R2.fastq' not found"},
	    {"unknown library type", "s3," + good + ",10xv1",
	     "(sample 's3'): unknown library type '10xv1' (known: 10xv2, 10xv3, 10xv4, 10x5v2, 10x5v3, multiome-gex, auto)"},
	    {"duplicate lane", "s1," + b2 + "," + a2 + ",10xv3",
	     "(sample 's1'): duplicate lane: fastq_2 '" + a2 + "' is already used on line 2"},
	    {"read-1 and read-2 counts differ", "s4," + w.path("beta/L1_R1.fastq") + ",,10xv3",
	     "(sample 's4'): 1 fastq_1 files but 0 fastq_2 files (no fastq_2 on this line)"},
	    {"library types differ", "s1," + good + ",10xv2",
	     "(sample 's1'): library type 10xv2 differs from 10xv3 on line 2"},
	    {"reserved name", "samples_summary.tsv," + good + ",10xv3",
	     "(sample 'samples_summary.tsv'): sample name is taken by the study summary"},
	};
	std::string sheet = "sample,fastq_1,fastq_2,library_type\n";
	for (const Case &c : cases) sheet += c.line + "\n";
	write_file(w.path("bad.csv"), sheet);
	const std::string options = "--config samples=bad.csv results=bad-results logs=bad-logs";
	std::string out;
	EXPECT_EQ(w.run(options, &out), 1);
	size_t reported = 0;
	for (size_t p = 0; (p = out.find("[ERROR] sample sheet", p)) != std::string::npos; ++p) ++reported;
	EXPECT_EQ(reported, std::size(cases) - 1) << out;
	for (size_t i = 1; i < std::size(cases); ++i) {
		std::string message = "[ERROR] sample sheet bad.csv line " + std::to_string(i + 2) + " " + cases[i].message;
		EXPECT_NE(out.find(message + "\n"), std::string::npos) << cases[i].fault << "\n" << out;
	}
	EXPECT_FALSE(file_exists(w.path("bad-results")) || file_exists(w.path("bad-logs")));

	write_file(w.path("bad.csv"), "sample,r1,r2,chemistry\ns1," + good + ",10xv3\n");
	EXPECT_EQ(w.run(options, &out), 1);
	EXPECT_NE(out.find("[ERROR] sample sheet bad.csv line 1: header is 'sample,r1,r2,chemistry', expected "
	                   "'sample,fastq_1,fastq_2,library_type'\n"),
	          std::string::npos)
	    << out;
}

}  // namespace
