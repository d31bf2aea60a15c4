// Damaged and unusual read files through the count command, one table row each: how the
// files are made, the exit status, and the exact message (or, for a run that completes,
// its effect on the result). No input may crash the program or be taken silently for
// something else. The table with the outcome of every row is printed at the end.
#include <gtest/gtest.h>
#include <functional>
#include <memory>
#include "count_cmd_util.h"

using namespace count_cmd;

namespace {

const char WRONG_FORMAT[] = "[ERROR] \nWrong format file\n\n";

// What a run that completes must show beside exit status 0.
enum Effect {
	FAILS,         // exit status 1: nothing but the message is checked (and no matrix)
	SAME_RESULT,   // the result files and statistics equal those of the undamaged reads
	TOTAL_PAIRS,   // the run counts `pairs` read pairs and writes a well-formed result
};

struct BadCase {
	const char *what;
	// Writes the files into the directory; returns the read-file options.
	std::function<std::string(const std::string &dir)> make;
	int status;
	std::string message;  // exact text that standard error must contain ("" for none)
	Effect effect;
	long long pairs;      // TOTAL_PAIRS only
};

struct Inputs {
	std::string r1, r2;  // the first 3000 records of the simulated reads
};

std::string crlf(const std::string &text)
{
	std::string out;
	for (char c : text) {
		if (c == '\n') out += '\r';
		out += c;
	}
	return out;
}

// Applies `edit` to the sequence and quality lines of every record i with i % every == 0.
template <class Edit>
std::string edit_records(const std::string &text, size_t every, Edit edit)
{
	std::vector<std::string> lines = split_lines(text);
	for (size_t i = 0; i + 3 < lines.size(); i += 4)
		if ((i / 4) % every == 0) edit(i / 4, lines[i + 1], lines[i + 3]);
	std::string out;
	for (const std::string &l : lines) out += l + "\n";
	return out;
}

std::vector<BadCase> make_cases(const Inputs &in)
{
	const std::string &r1 = in.r1, &r2 = in.r2;
	auto both = [](const std::string &d, const std::string &a, const std::string &b) {
		write_file(d + "/a.fastq", a);
		write_file(d + "/b.fastq", b);
		return std::string("-1 a.fastq -2 b.fastq");
	};
	// Read 1 as simulated, read 2 100,000 pseudo-random bytes after a chosen first byte.
	auto with_garbage = [&](const std::string &d, uint64_t x, char first) {
		std::string g(100000, 0);
		for (char &c : g) c = (char)((x = x * 6364136223846793005ULL + 1442695040888963407ULL) >> 56);
		g[0] = first;
		write_file(d + "/a.fastq", r1);
		write_file(d + "/garbage.bin", g);
		return std::string("-1 a.fastq -2 garbage.bin");
	};
	return {
		{"binary garbage as read 2",
		 [&](const std::string &d) { return with_garbage(d, 12345, 'X'); },
		 1, "[ERROR] Unsupport format of file: garbage.bin\n", FAILS, 0},
		{"binary garbage after an '@' as read 2",
		 [&](const std::string &d) { return with_garbage(d, 777, '@'); },
		 1, WRONG_FORMAT, FAILS, 0},
		{"read 2 record 5 without its '+' line",
		 [&](const std::string &d) {
			 std::vector<std::string> lines = split_lines(r2);
			 lines.erase(lines.begin() + 4 * 4 + 2);
			 std::string t;
			 for (const std::string &l : lines) t += l + "\n";
			 return both(d, r1, t);
		 },
		 1, WRONG_FORMAT, FAILS, 0},
		{"CRLF line ends in both files",
		 [&](const std::string &d) { return both(d, crlf(r1), crlf(r2)); }, 0, "", SAME_RESULT, 0},
		{"header '@' without a name (record 1 of both files)",
		 [&](const std::string &d) {
			 auto bare = [](std::string &l) { l = "@"; };
			 return both(d, edit_line(r1, 0, bare), edit_line(r2, 0, bare));
		 },
		 0, "", SAME_RESULT, 0},
		{"bytes above 0x7F in barcode, UMI and cDNA of every third pair",
		 [&](const std::string &d) {
			 auto high = [](size_t rec, std::string &seq, std::string &) {
				 seq[(rec * 7) % seq.size()] = (char)(0x80 + rec % 128);
				 seq[(rec * 11 + 3) % seq.size()] = (char)0xFF;
			 };
			 return both(d, edit_records(r1, 3, high), edit_records(r2, 3, high));
		 },
		 0, "", TOTAL_PAIRS, 3000},
		{"lower-case bases in both files",
		 [&](const std::string &d) {
			 auto lower = [](size_t, std::string &seq, std::string &) {
				 for (char &c : seq) c = (char)tolower((unsigned char)c);
			 };
			 return both(d, edit_records(r1, 1, lower), edit_records(r2, 1, lower));
		 },
		 0, "", SAME_RESULT, 0},
		{"read 2 record 101 with an empty sequence (and quality)",
		 [&](const std::string &d) {
			 auto empty = [](size_t rec, std::string &seq, std::string &qual) {
				 if (rec == 100) seq.clear(), qual.clear();
			 };
			 return both(d, r1, edit_records(r2, 1, empty));
		 },
		 1, WRONG_FORMAT, FAILS, 0},
		{"empty line between records 10 and 11 of both files",
		 [&](const std::string &d) {
			 auto gap = [](std::string &l) { l += "\n"; };
			 return both(d, edit_line(r1, 39, gap), edit_line(r2, 39, gap));
		 },
		 1, WRONG_FORMAT, FAILS, 0},
		{"zero byte inside a cDNA sequence",
		 [&](const std::string &d) {
			 return both(d, r1, edit_line(r2, 4 * 7 + 1, [](std::string &l) { l[40] = 0; }));
		 },
		 1, WRONG_FORMAT, FAILS, 0},
		{"gzip read 2 cut in the middle",
		 [&](const std::string &d) {
			 write_file(d + "/a.fastq", r1);
			 write_gz(d + "/whole.fastq.gz", r2);
			 std::string gz = read_file(d + "/whole.fastq.gz");
			 write_file(d + "/cut.fastq.gz", gz.substr(0, gz.size() / 2));
			 return std::string("-1 a.fastq -2 cut.fastq.gz");
		 },
		 1, "[ERROR] Could not read file: cut.fastq.gz\n", FAILS, 0},
		{"read 2 file empty",
		 [&](const std::string &d) {
			 write_file(d + "/a.fastq", r1);
			 write_file(d + "/empty.fastq", "");
			 return std::string("-1 a.fastq -2 empty.fastq");
		 },
		 1, "[ERROR] Could not read file: empty.fastq\n", FAILS, 0},
		{"second pair missing its read 2 after a good first pair",
		 [&](const std::string &d) {
			 both(d, r1, r2);
			 write_file(d + "/c.fastq", r1);
			 return std::string("-t 1 -1 a.fastq c.fastq -2 b.fastq nothere.fastq");
		 },
		 1, "[ERROR] Could not open file: nothere.fastq\n", FAILS, 0},
		{"read 2 holds 2750 records, read 1 3000",
		 [&](const std::string &d) { return both(d, r1, fastq_head(r2, 2750)); }, 0,
		 "[WARNING] Read files [a.fastq] and [b.fastq] end at different records; the remaining reads of [a.fastq] are "
		 "ignored\n",
		 TOTAL_PAIRS, 2750},
		{"read 1 holds 2750 records, read 2 3000",
		 [&](const std::string &d) { return both(d, fastq_head(r1, 2750), r2); }, 0,
		 "[WARNING] Read files [a.fastq] and [b.fastq] end at different records; the remaining reads of [b.fastq] are "
		 "ignored\n",
		 TOTAL_PAIRS, 2750},
		{"last record of both files cut after two lines",
		 [&](const std::string &d) {
			 std::string a = fastq_head(r1, 2999) + "@cut 1\nACGT\n", b = fastq_head(r2, 2999) + "@cut 2\nACGT\n";
			 return both(d, a, b);
		 },
		 0,
		 "[WARNING] Read files [a.fastq] and [b.fastq] both end with an unpaired or incomplete record; the remaining "
		 "reads of both are ignored\n",
		 TOTAL_PAIRS, 2999},
		{"no line feed after the last record",
		 [&](const std::string &d) { return both(d, r1.substr(0, r1.size() - 1), r2.substr(0, r2.size() - 1)); }, 0,
		 "", SAME_RESULT, 0},
		{"read 2 record of 1.2 MB",
		 [&](const std::string &d) {
			 std::string seq(1200000, 'A');
			 write_file(d + "/a.fastq", r1);
			 write_file(d + "/long.fastq", "@long\n" + seq + "\n+\n" + std::string(seq.size(), 'F') + "\n" + r2);
			 return std::string("-1 a.fastq -2 long.fastq");
		 },
		 1, "\n[ERROR] Read is too long from file: long.fastq\n", FAILS, 0},
		{"FASTQ read 1 with FASTA read 2",
		 [&](const std::string &d) {
			 write_file(d + "/a.fastq", r1);
			 write_file(d + "/b.fa", fastq_to_fasta(r2));
			 return std::string("-1 a.fastq -2 b.fa");
		 },
		 1, "[ERROR] Format in two read files are not equal\n", FAILS, 0},
		{"the same file as read 1 and read 2",
		 [&](const std::string &d) {
			 write_file(d + "/a.fastq", r1);
			 return std::string("-1 a.fastq -2 a.fastq");
		 },
		 1, "[ERROR] Two identical read files\n", FAILS, 0},
		{"FASTA read 2 with its sequences on two lines",
		 [&](const std::string &d) {
			 std::string fa;
			 std::vector<std::string> lines = split_lines(r2);
			 for (size_t i = 0; i + 3 < lines.size(); i += 4)
				 fa += ">" + lines[i].substr(1) + "\n" + lines[i + 1].substr(0, 50) + "\n" + lines[i + 1].substr(50) + "\n";
			 write_file(d + "/a.fa", fastq_to_fasta(r1));
			 write_file(d + "/b.fa", fa);
			 return std::string("-1 a.fa -2 b.fa");
		 },
		 1, WRONG_FORMAT, FAILS, 0},
	};
}

// Standard error from the statistics on (the final count line and what follows).
std::string statistics_of(const std::string &err)
{
	size_t p = err.find("\rNumber of processed reads");
	return p == std::string::npos ? "" : err.substr(p);
}

const char *RESULT_FILES[] = {"matrix.mtx", "matrix.bin", "barcodes.tsv", "features.tsv"};

// What went wrong with one row, or "" when it behaved as the table says.
std::string check_case(const BadCase &c, const RunResult &r, const std::string &out, const RunResult &base,
                       const std::string &base_out)
{
	std::string why;
	if (r.status != c.status) why += "exit status " + std::to_string(r.status) + "; ";
	for (const char *sanitizer : {"AddressSanitizer", "runtime error", "LeakSanitizer", "ThreadSanitizer"})
		if (r.err.find(sanitizer) != std::string::npos) why += std::string(sanitizer) + " report; ";
	if (!c.message.empty() && r.err.find(c.message) == std::string::npos) why += "message missing; ";
	if (c.message.empty() && (r.err.find("[ERROR]") != std::string::npos || r.err.find("[WARNING]") != std::string::npos))
		why += "unexpected message; ";
	if (!r.out.empty()) why += "standard output written; ";
	if (c.effect == FAILS) {
		if (file_exists(out + "/matrix.mtx")) why += "matrix written; ";
	} else if (c.effect == SAME_RESULT) {
		for (const char *name : RESULT_FILES)
			if (read_file(out + "/" + name) != read_file(base_out + "/" + name)) why += std::string(name) + " differs; ";
		if (statistics_of(r.err) != statistics_of(base.err)) why += "statistics differ; ";
	} else {
		if (sim_run::stat_line(r.err, "Total number of reads") != c.pairs) why += "wrong total; ";
		int32_t genes = 0, cells = 0;
		std::vector<Entry> entries;
		if (!read_matrix_bin(out + "/matrix.bin", &genes, &cells, &entries)) why += "matrix.bin malformed; ";
		std::vector<std::string> barcodes = split_lines(read_file(out + "/barcodes.tsv"));
		if ((size_t)cells != barcodes.size() || cells < 10) why += "barcodes.tsv does not fit; ";
		for (const std::string &b : barcodes)
			if (b.size() != 16 || b.find_first_not_of("ACGTN") != std::string::npos) why += "barcode [" + b + "]; ";
	}
	return why;
}

TEST(BadInput, EveryRowEndsAsTheTableSays)
{
	REQUIRE_SIM();
	sim_run::Fixture &f = sim_run::Fixture::get();
	Inputs in{fastq_head(read_file(f.sim("R1.fastq")), 3000), fastq_head(read_file(f.sim("R2.fastq")), 3000)};
	ASSERT_EQ(fastq_records(in.r1), 3000);

	TempDir base_dir;
	write_file(base_dir / "a.fastq", in.r1);
	write_file(base_dir / "b.fastq", in.r2);
	RunResult base = count_in(base_dir.path, "-t 2 -o out -1 a.fastq -2 b.fastq");
	ASSERT_EQ(base.status, 0) << base.err;
	ASSERT_EQ(sim_run::stat_line(base.err, "Total number of reads"), 3000);

	std::vector<BadCase> cases = make_cases(in);
	std::vector<std::unique_ptr<TempDir>> dirs;
	std::vector<std::function<RunResult()>> jobs;
	for (const BadCase &c : cases) {
		dirs.emplace_back(new TempDir);
		const std::string dir = dirs.back()->path;
		std::string files = c.make(dir);
		if (files.find("-t ") == std::string::npos) files = "-t 2 " + files;
		jobs.push_back([dir, files]() { return count_in(dir, files + " -o out --log run.log"); });
	}
	std::vector<RunResult> results = run_two_at_a_time(jobs);

	std::vector<std::string> outcomes;
	for (size_t i = 0; i < cases.size(); ++i) {
		const BadCase &c = cases[i];
		const TempDir &dir = *dirs[i];
		SCOPED_TRACE(c.what);
		std::string why = check_case(c, results[i], dir / "out", base, base_dir / "out");
		EXPECT_EQ(why, "") << results[i].err;
		// The message reaches the log as well.
		if (!c.message.empty()) {
			EXPECT_NE(read_file(dir / "run.log").find(c.message), std::string::npos) << read_file(dir / "run.log");
		}
		outcomes.push_back(why.empty() ? "as expected" : "FAULT: " + why);
	}

	printf("\n%-62s | %-4s | %-40s | %s\n", "input", "exit", "effect", "outcome");
	printf("%-62s | %-4s | %-40s | %s\n", "", "", "", "message (exact text in standard error and log)");
	for (size_t i = 0; i < cases.size(); ++i) {
		const BadCase &c = cases[i];
		std::string msg = c.message, effect = "run ends";
		for (size_t p; (p = msg.find('\n')) != std::string::npos;) msg.replace(p, 1, "\\n");
		if (c.effect == SAME_RESULT) effect = "result identical to the undamaged reads";
		if (c.effect == TOTAL_PAIRS) effect = std::to_string(c.pairs) + " pairs counted, result well-formed";
		printf("%-62s | %-4d | %-40s | %s\n", c.what, c.status, effect.c_str(), outcomes[i].c_str());
		if (!msg.empty()) printf("%-62s | %-4s | %-40s | %s\n", "", "", "", msg.c_str());
	}
}

}  // namespace
