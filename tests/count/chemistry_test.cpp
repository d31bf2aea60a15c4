// Kits and whitelists through the binary: reads of an antisense (5') kit count like the same
// molecules read in sense, --chemistry auto tells the two apart (and refuses a mixture), and a run against a barcode whitelist corrects barcodes, drops
// reads of unlisted barcodes and reports both.
#include <gtest/gtest.h>
#include <set>
#include <cerrno>
#include <sys/stat.h>
#include "../matrix/tenx_test_util.h"
#include "count_cmd_util.h"
#include "json_lite.h"

using namespace count_cmd;

namespace {

std::string reverse_complement(const std::string &s)
{
	std::string out(s.rbegin(), s.rend());
	for (char &c : out) c = c == 'A' ? 'T' : c == 'C' ? 'G' : c == 'G' ? 'C' : c == 'T' ? 'A' : 'N';
	return out;
}

// The FASTQ text with every read (every other one when `alternate`) reverse-complemented,
// qualities reversed.
std::string antisense_fastq(const std::string &text, bool alternate = false)
{
	std::vector<std::string> lines = split_lines(text);
	std::string out;
	for (size_t i = 0; i < lines.size(); ++i) {
		const std::string &l = lines[i];
		const bool turn = !alternate || (i / 4) % 2 == 1;
		out += (turn && i % 4 == 1 ? reverse_complement(l) : turn && i % 4 == 3 ? std::string(l.rbegin(), l.rend()) : l) +
		       "\n";
	}
	return out;
}

// The decision line of a --chemistry auto run on the reads of folder `reads` (or its error).
std::string auto_decision(const std::string &dir, const std::string &reads)
{
	RunResult r = run_vorat(dir, "count -x idx/sim --chemistry auto -t 2 -o out-auto-" + reads + " -1 " + reads +
	                                 "/R1.fastq -2 " + reads + "/R2.fastq --log auto-" + reads + ".log");
	for (const std::string &l : split_lines(r.err))
		if (l.find("Chemistry auto:") != std::string::npos || l.find("[ERROR]") != std::string::npos)
			return std::to_string(r.status) + " " + l.substr(0, l.find(" ("));
	return std::to_string(r.status) + " " + r.err;
}

TEST(Chemistry, AntisenseReadsCountLikeSenseReads)
{
	REQUIRE_SIM();
	sim_run::Fixture &fx = sim_run::Fixture::get();
	const std::string dir = fx.dir();
	if (!file_exists(dir + "/sim5p/R2.fastq")) {
		ASSERT_EQ(mkdir((dir + "/sim5p").c_str(), 0777) == 0 || errno == EEXIST, true);
		write_file(dir + "/sim5p/R1.fastq", read_file(fx.sim("R1.fastq")));
		write_file(dir + "/sim5p/R2.fastq", antisense_fastq(read_file(fx.sim("R2.fastq"))));
	}
	if (!file_exists(dir + "/simmix/R2.fastq")) {
		ASSERT_EQ(mkdir((dir + "/simmix").c_str(), 0777) == 0 || errno == EEXIST, true);
		write_file(dir + "/simmix/R1.fastq", read_file(fx.sim("R1.fastq")));
		write_file(dir + "/simmix/R2.fastq", antisense_fastq(read_file(fx.sim("R2.fastq")), true));
	}
	EXPECT_EQ(auto_decision(dir, "sim"), "0 [INFO] Chemistry auto: 10xv2");
	EXPECT_EQ(auto_decision(dir, "sim5p"), "0 [INFO] Chemistry auto: 10x5v2");
	const std::string mixed = auto_decision(dir, "simmix");
	EXPECT_EQ(mixed.rfind("1 [ERROR] --chemistry auto cannot tell 3' from 5': of 30000 pairs, ", 0), 0u) << mixed;
	EXPECT_NE(mixed.find(" map in sense and "), std::string::npos) << mixed;
	const sim_run::CountRun &sense = fx.count("plain2", 2);
	ASSERT_EQ(sense.result.status, 0) << sense.result.err;
	RunResult five = run_vorat(dir, "count -x idx/sim --chemistry 10x5v2 -t 2 -o out-5p -1 sim5p/R1.fastq "
	                                "-2 sim5p/R2.fastq --log 5p.log");
	ASSERT_EQ(five.status, 0) << five.err;
	for (const char *name : {"matrix.mtx", "barcodes.tsv", "features.tsv", "raw_feature_bc_matrix/matrix.mtx.gz"})
		EXPECT_TRUE(same_file(sense.out_dir + "/" + name, dir + "/out-5p/" + name));
	JsonValue v;
	std::string error;
	ASSERT_TRUE(parse_json(read_file(dir + "/out-5p/summary.json"), &v, &error)) << error;
	ASSERT_NE(v.get("chemistry"), nullptr);
	EXPECT_EQ(v.get("chemistry")->text, "10x5v2");
	ASSERT_NE(v.get("q30_fraction"), nullptr);
	EXPECT_GT(v.get("q30_fraction")->get("barcode")->number, 0.99) << "the simulator writes Q37 in read 1";
	EXPECT_NE(read_file(dir + "/out-5p/summary.html").find("Q30 bases in read 2"), std::string::npos);
	// The sense run reports no kit.
	JsonValue plain;
	ASSERT_TRUE(parse_json(read_file(sense.out_dir + "/summary.json"), &plain, &error)) << error;
	EXPECT_EQ(plain.get("chemistry"), nullptr);
}

TEST(Chemistry, WhitelistCorrectsAndDropsBarcodes)
{
	REQUIRE_SIM();
	sim_run::Fixture &fx = sim_run::Fixture::get();
	const std::string dir = fx.dir();
	// The true cells' barcodes: the empty droplets' reads are not on it.
	write_file(dir + "/list.txt", read_file(fx.sim("truth/barcodes.tsv")));
	const std::set<std::string> listed = [&] {
		std::vector<std::string> l = split_lines(read_file(dir + "/list.txt"));
		return std::set<std::string>(l.begin(), l.end());
	}();
	const sim_run::CountRun &run = fx.count("listed", 2, "--whitelist list.txt");
	ASSERT_EQ(run.result.status, 0) << run.result.err;
	const long long invalid = sim_run::stat_line(run.result.err, "Number of reads with an invalid barcode");
	const long long corrected = sim_run::stat_line(run.result.err, "Number of reads with a corrected barcode");
	const long long on_list = sim_run::stat_line(run.result.err, "Number of reads on the barcode list");
	const long long total = sim_run::stat_line(run.result.err, "Total number of reads");
	EXPECT_GT(invalid, 0);
	EXPECT_GT(corrected, 0) << "the simulator puts errors and Ns into barcodes";
	EXPECT_EQ(on_list + corrected + invalid, total);

	JsonValue v;
	std::string error;
	ASSERT_TRUE(parse_json(read_file(run.out_dir + "/summary.json"), &v, &error)) << error;
	const JsonValue *b = v.get("barcodes");
	ASSERT_NE(b, nullptr);
	EXPECT_EQ(b->get("invalid")->number, invalid);
	EXPECT_EQ(b->get("corrected")->number, corrected);
	EXPECT_EQ(v.get("chemistry")->text, "10xv2") << "the -l 0 layout";
	EXPECT_NEAR(v.get("valid_barcode_fraction")->number, (double)(on_list + corrected) / total, 1e-6);

	const std::vector<std::string> cells = split_lines(read_file(run.out_dir + "/barcodes.tsv"));
	EXPECT_GE(cells.size(), listed.size() * 9 / 10) << "most true cells are called";
	for (const std::string &c : cells) EXPECT_TRUE(listed.count(c)) << c << " is not on the list";
	for (const std::string &c : split_lines(tenx_test::read_gz(run.out_dir + "/raw_feature_bc_matrix/barcodes.tsv.gz")))
		EXPECT_TRUE(listed.count(c)) << c << " is not on the list";
}

TEST(Chemistry, BadWhitelistEndsTheRun)
{
	REQUIRE_SIM();
	sim_run::Fixture &fx = sim_run::Fixture::get();
	write_file(fx.dir() + "/short-list.txt", "ACGTACGTACGTACGT\nACGTACGT\n");
	const sim_run::CountRun &run = fx.count("short-list", 1, "--whitelist short-list.txt");
	EXPECT_EQ(run.result.status, 1);
	EXPECT_NE(run.result.err.find("[ERROR] Barcode list [short-list.txt] line 2 is not a barcode of 16 bases"),
	          std::string::npos)
		<< run.result.err;
}

}  // namespace
