// The count command through the binary: the statistics lines against figures recomputed from
// the read files and the simulator's record of what it wrote, the alignment dump, matrix order
// and thread independence, gzip and FASTA input giving the same result as plain FASTQ, and the
// fatal errors of a run (broken record met mid-run, read 1 too short, missing index files).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <functional>
#include <tuple>
#include "count_cmd_util.h"

using namespace count_cmd;

namespace {

const char TOTAL[] = "[INFO] Total number of reads               : ";
const char EXONIC[] = "[INFO] Number of exonic mapped reads       : ";
const char NONEXONIC[] = "[INFO] Number of nonexonic reads           : ";
const char INTRONIC[] = "[INFO] Number of intronic reads            : ";
const char INTERGENIC[] = "[INFO] Number of intergenic reads          : ";
const char UNMAPPED[] = "[INFO] Number of unmapped reads            : ";

std::string line(const char *label, long long value)
{
	char buf[32];
	snprintf(buf, sizeof buf, "%10lld\n", value);
	return label + std::string(buf);
}

bool ends_with(const std::string &text, const std::string &tail)
{
	return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Value of the statistics line that starts with `label`, or -1.
long long value_of(const std::string &err, const char *label)
{
	size_t p = err.rfind(label);
	return p == std::string::npos ? -1 : std::atoll(err.c_str() + p + strlen(label));
}

TEST(CountStatistics, FourLinesWithoutIntronOption)
{
	REQUIRE_SIM();
	sim_run::Fixture &f = sim_run::Fixture::get();
	const sim_run::CountRun &run = f.count("t1", 1);
	ASSERT_EQ(run.result.status, 0) << run.result.err;
	const std::string &err = run.result.err;

	// Total = records of the read files, counted here line by line and by the simulator.
	const long long pairs = fastq_records(read_file(f.sim("R1.fastq")));
	EXPECT_EQ(pairs, fastq_records(read_file(f.sim("R2.fastq"))));
	std::map<std::string, long long> truth = read_tsv_numbers(f.sim("truth/summary.tsv"));
	EXPECT_EQ(pairs, truth["read_pairs"]);
	ASSERT_GT(pairs, 1000);

	const long long exonic = value_of(err, EXONIC), nonexonic = value_of(err, NONEXONIC);
	ASSERT_GE(exonic, 0) << err;
	ASSERT_GE(nonexonic, 0) << err;
	const std::string block = line(TOTAL, pairs) + line(EXONIC, exonic) + line(NONEXONIC, nonexonic) +
	                          line(UNMAPPED, pairs - exonic - nonexonic);
	EXPECT_TRUE(ends_with(err, block)) << "expected the run to end with\n" << block << "got\n" << err;
	EXPECT_NE(err.find("\rNumber of processed reads: " + std::to_string(pairs) + "\n"), std::string::npos) << err;
	EXPECT_EQ(err.find(INTRONIC), std::string::npos);
	EXPECT_EQ(err.find(INTERGENIC), std::string::npos);
	// The log gets the same lines.
	EXPECT_TRUE(ends_with(read_file(f.dir() + "/t1.log"), block));

	// The simulator made `exonic_reads` pairs from transcripts: nearly all of them count, and
	// reads of introns and intergenic stretches do not.
	const double share = (double)exonic / (double)truth["exonic_reads"];
	EXPECT_GE(share, 0.97) << exonic << " of " << truth["exonic_reads"];
	EXPECT_LE(share, 1.02) << exonic << " of " << truth["exonic_reads"];
}

TEST(CountStatistics, FiveLinesWithIntronOptionAndDumpFile)
{
	REQUIRE_SIM();
	sim_run::Fixture &f = sim_run::Fixture::get();
	const sim_run::CountRun &plain = f.count("t1", 1);
	ASSERT_EQ(plain.result.status, 0) << plain.result.err;
	// A stale dump file from an earlier run is truncated, not appended to.
	const std::string out = f.dir() + "/out-intron_dump";
	ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
	write_file(out + "/dumpy.align.tsv", "left over from an earlier run\n");
	const sim_run::CountRun &run = f.count("intron_dump", 2, "--count-intron --dump-align -p dumpy");
	ASSERT_EQ(run.result.status, 0) << run.result.err;
	const std::string &err = run.result.err;

	ASSERT_TRUE(file_exists(out + "/dumpy.align.tsv"));
	const std::string dump = read_file(out + "/dumpy.align.tsv");
	EXPECT_EQ(dump.find("left over"), std::string::npos);
	EXPECT_FALSE(file_exists(plain.out_dir + "/dumpy.align.tsv"));
	EXPECT_FALSE(file_exists(plain.out_dir + "/VoraT.align.tsv"));

	const long long pairs = fastq_records(read_file(f.sim("R1.fastq")));
	const long long exonic = value_of(err, EXONIC), intronic = value_of(err, INTRONIC);
	const long long intergenic = value_of(err, INTERGENIC);
	ASSERT_GE(exonic, 0) << err;
	ASSERT_GE(intronic, 0) << err;
	ASSERT_GE(intergenic, 0) << err;
	const std::string block = line(TOTAL, pairs) + line(EXONIC, exonic) + line(INTRONIC, intronic) +
	                          line(INTERGENIC, intergenic) + line(UNMAPPED, pairs - exonic - intronic - intergenic);
	EXPECT_TRUE(ends_with(err, block)) << "expected the run to end with\n" << block << "got\n" << err;
	EXPECT_EQ(err.find(NONEXONIC), std::string::npos);
	EXPECT_TRUE(ends_with(read_file(f.dir() + "/intron_dump.log"), block));
	// The dump names the outcomes as the statistics do.
	EXPECT_EQ((long long)split_lines(dump).size(), pairs);
	EXPECT_EQ(std::count_if(dump.begin(), dump.end(), [](char c) { return c == '\n'; }), pairs);
	size_t n_intergenic = 0;
	for (size_t p = 0; (p = dump.find("\tintergenic\t", p)) != std::string::npos; ++p) ++n_intergenic;
	EXPECT_EQ((long long)n_intergenic, intergenic);
	EXPECT_EQ(dump.find("\tnonexonic\t"), std::string::npos);

	// Reads found in the genome only are printed as intergenic, never as intronic; the
	// option changes nothing for reads that align to transcripts, so the matrix stays.
	EXPECT_EQ(intronic, 0);
	EXPECT_EQ(exonic, value_of(plain.result.err, EXONIC));
	EXPECT_TRUE(same_file(out + "/matrix.mtx", plain.out_dir + "/matrix.mtx"));
	EXPECT_TRUE(same_file(out + "/barcodes.tsv", plain.out_dir + "/barcodes.tsv"));
	// The genome search finds nearly all intron and intergenic reads of the simulation.
	std::map<std::string, long long> truth = read_tsv_numbers(f.sim("truth/summary.tsv"));
	const double outside = (double)(truth["intronic_reads"] + truth["intergenic_reads"]);
	EXPECT_GE(intergenic, 0.95 * outside) << intergenic << " of " << outside;
	EXPECT_LE(intergenic, 1.05 * outside) << intergenic << " of " << outside;
	EXPECT_LT(pairs - exonic - intronic - intergenic, pairs / 100);
}

TEST(CountOutput, OneThreadWritesBarcodeThenGeneOrderAndMtxMatchesBin)
{
	REQUIRE_SIM();
	sim_run::Fixture &f = sim_run::Fixture::get();
	const sim_run::CountRun &run = f.count("t1", 1);
	ASSERT_EQ(run.result.status, 0) << run.result.err;

	int32_t genes = 0, cells = 0;
	std::vector<Entry> entries;
	ASSERT_TRUE(read_matrix_bin(run.out_dir + "/matrix.bin", &genes, &cells, &entries));
	// Rows are the annotation's genes in its order: the simulator's own gene list.
	const std::string features = read_file(run.out_dir + "/features.tsv");
	EXPECT_EQ(features, read_file(f.sim("truth/features.tsv")));
	EXPECT_EQ((size_t)genes, split_lines(features).size());
	std::vector<std::string> barcodes = split_lines(read_file(run.out_dir + "/barcodes.tsv"));
	EXPECT_EQ((size_t)cells, barcodes.size());
	for (const std::string &b : barcodes) EXPECT_EQ(b.find_first_not_of("ACGTN"), std::string::npos) << b;
	ASSERT_GT(entries.size(), 100u);

	std::string mtx = "%%MatrixMarket matrix coordinate integer general\n"
	                  "%Gene count matrix generated by vora-T version 0.2.3\n" +
	                  std::to_string(genes) + "\t" + std::to_string(cells) + "\t" + std::to_string(entries.size()) + "\n";
	for (size_t i = 0; i < entries.size(); ++i) {
		const Entry &e = entries[i];
		ASSERT_GE(e.gene, 1u);
		ASSERT_LE(e.gene, (uint32_t)genes);
		ASSERT_GE(e.barcode, 1u);
		ASSERT_LE(e.barcode, (uint32_t)cells);
		ASSERT_GE(e.count, 1u);
		if (i) {
			const Entry &p = entries[i - 1];
			ASSERT_TRUE(std::tie(p.barcode, p.gene) < std::tie(e.barcode, e.gene)) << "record " << i;
		}
		mtx += std::to_string(e.gene) + "\t" + std::to_string(e.barcode) + "\t" + std::to_string(e.count) + "\n";
	}
	EXPECT_TRUE(read_file(run.out_dir + "/matrix.mtx") == mtx) << "matrix.mtx is not matrix.bin in text form";
}

TEST(CountOutput, FourThreadsWithDumpGiveTheOneThreadResult)
{
	REQUIRE_SIM();
	sim_run::Fixture &f = sim_run::Fixture::get();
	const sim_run::CountRun &one = f.count("t1", 1);
	const sim_run::CountRun &four = f.count("t4_dump", 4, "--dump-align");
	ASSERT_EQ(one.result.status, 0) << one.result.err;
	ASSERT_EQ(four.result.status, 0) << four.result.err;
	// The dump file takes the default prefix and holds the records of the one-thread dump, in
	// an order that depends on the threads.
	const sim_run::CountRun &one_dump = f.count("dump1", 1, "--dump-align");
	ASSERT_EQ(one_dump.result.status, 0) << one_dump.result.err;
	std::vector<std::string> records1 = split_lines(read_file(one_dump.out_dir + "/VoraT.align.tsv"));
	std::vector<std::string> records4 = split_lines(read_file(four.out_dir + "/VoraT.align.tsv"));
	ASSERT_GT(records1.size(), 1000u);
	std::sort(records1.begin(), records1.end());
	std::sort(records4.begin(), records4.end());
	EXPECT_TRUE(records1 == records4);
	std::vector<std::string> a, b;
	list_files(one.out_dir, "", &a);
	list_files(four.out_dir, "", &b);
	b.erase(std::remove(b.begin(), b.end(), "VoraT.align.tsv"), b.end());
	ASSERT_EQ(a, b);
	for (const std::string &name : a)
		EXPECT_TRUE(same_file(one.out_dir + "/" + name, four.out_dir + "/" + name));
	size_t p = one.result.err.find("\rNumber of processed reads"), q = four.result.err.find("\rNumber of processed reads");
	ASSERT_NE(p, std::string::npos);
	ASSERT_NE(q, std::string::npos);
	EXPECT_EQ(one.result.err.substr(p), four.result.err.substr(q));
}

// Gzip and FASTA forms of the simulated reads give exactly the plain FASTQ result, statistics
// included: qualities play no part and zlib reads both kinds of file.
TEST(CountInput, GzipAndFastaEqualPlainFastq)
{
	REQUIRE_SIM();
	sim_run::Fixture &f = sim_run::Fixture::get();
	const sim_run::CountRun &plain = f.count("t1", 1);
	ASSERT_EQ(plain.result.status, 0) << plain.result.err;
	const std::string r1 = read_file(f.sim("R1.fastq")), r2 = read_file(f.sim("R2.fastq"));
	const std::string in = f.dir() + "/forms";
	ASSERT_EQ(mkdir(in.c_str(), 0755), 0);
	ASSERT_TRUE(write_gz(in + "/R1.fastq.gz", r1));
	ASSERT_TRUE(write_gz(in + "/R2.fastq.gz", r2));
	const std::string fa1 = fastq_to_fasta(r1), fa2 = fastq_to_fasta(r2);
	ASSERT_EQ(std::count(fa1.begin(), fa1.end(), '\n'), 2 * fastq_records(r1));
	write_file(in + "/R1.fa", fa1);
	write_file(in + "/R2.fa", fa2);

	struct Form {
		const char *name, *r1, *r2;
	} forms[] = {
		{"gzip", "forms/R1.fastq.gz", "forms/R2.fastq.gz"},
		{"fasta", "forms/R1.fa", "forms/R2.fa"},
	};
	size_t p = plain.result.err.find("\rNumber of processed reads");
	ASSERT_NE(p, std::string::npos);
	for (const Form &form : forms) {
		SCOPED_TRACE(form.name);
		RunResult r = run_vorat(f.dir(), std::string("count -x idx/sim -t 2 -o out-") + form.name + " --log " +
		                                     form.name + ".log -1 " + form.r1 + " -2 " + form.r2);
		ASSERT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(compare_dirs(plain.out_dir, f.dir() + "/out-" + form.name), "");
		size_t q = r.err.find("\rNumber of processed reads");
		ASSERT_NE(q, std::string::npos);
		EXPECT_EQ(r.err.substr(q), plain.result.err.substr(p));
	}
}

// ---- fatal errors of a run ----

struct FatalCase {
	const char *name;
	// Writes the case's files into `dir` and returns the options of the run (index excluded),
	// and the exact end of standard error expected.
	std::function<void(const std::string &dir, std::string *args, std::string *tail)> make;
	bool loads_index;  // false: the run is given an index path of its own
};

std::string header_name(const std::string &header)
{
	return header.substr(1, header.find_first_of(" \t") - 1);
}

TEST(CountErrors, FatalErrorsEndTheRunWithTheirMessage)
{
	REQUIRE_SIM();
	sim_run::Fixture &f = sim_run::Fixture::get();
	const std::string r1 = read_file(f.sim("R1.fastq")), r2 = read_file(f.sim("R2.fastq"));
	const std::string r1_head = fastq_head(r1, 3000), r2_head = fastq_head(r2, 3000);
	const std::string wrong_format = "[ERROR] \nWrong format file\n\n";

	std::vector<FatalCase> cases = {
		{"read 2 record 2000 without its '+' line, met after earlier pairs were mapped",
		 [&](const std::string &d, std::string *args, std::string *tail) {
			 write_file(d + "/r2.fastq", edit_line(r2, 4 * 1999 + 2, [](std::string &l) { l[0] = '-'; }));
			 *args = "-1 '" + f.sim("R1.fastq") + "' -2 r2.fastq";
			 *tail = wrong_format;
		 },
		 true},
		{"read 1 record 29000 with a short quality line, in a later block",
		 [&](const std::string &d, std::string *args, std::string *tail) {
			 write_file(d + "/r1.fastq", edit_line(r1, 4 * 28999 + 3, [](std::string &l) { l.pop_back(); }));
			 *args = "-1 r1.fastq -2 '" + f.sim("R2.fastq") + "'";
			 *tail = wrong_format;
		 },
		 true},
		{"read 1 of record 1500 one base shorter than barcode and UMI",
		 [&](const std::string &d, std::string *args, std::string *tail) {
			 std::string t = edit_line(r1_head, 4 * 1499 + 1, [](std::string &l) { l.resize(25); });
			 t = edit_line(t, 4 * 1499 + 3, [](std::string &l) { l.resize(25); });
			 write_file(d + "/r1.fastq", t);
			 write_file(d + "/r2.fastq", r2_head);
			 *args = "-t 1 -l 0 -1 r1.fastq -2 r2.fastq";
			 *tail = "[ERROR] Read lenght of " + header_name(fastq_record(r1, 1499)[0]) +
			         " is not consistent with library type.\n Expect >= 26.\n Receive 25.\n\n";
		 },
		 true},
		{"v3 library type on v2 reads: the first read is too short",
		 [&](const std::string &d, std::string *args, std::string *tail) {
			 write_file(d + "/r1.fastq", r1_head);
			 write_file(d + "/r2.fastq", r2_head);
			 *args = "-t 1 -l 1 -1 r1.fastq -2 r2.fastq";
			 std::vector<std::string> rec = fastq_record(r1, 0);
			 *tail = "[ERROR] Read lenght of " + header_name(rec[0]) +
			         " is not consistent with library type.\n Expect >= 28.\n Receive " +
			         std::to_string(rec[1].size()) + ".\n\n";
		 },
		 true},
		{"missing index",
		 [&](const std::string &, std::string *args, std::string *tail) {
			 *args = "-x nowhere/none -1 r1.fastq -2 r2.fastq";
			 *tail = "Loading BWT...\n[ERROR] Unable to open file [nowhere/none.bwt] to read\n";
		 },
		 false},
		{"index without its k-mer hash",
		 [&](const std::string &d, std::string *args, std::string *tail) {
			 ASSERT_EQ(symlink((index_prefix() + ".bwt").c_str(), (d + "/part.bwt").c_str()), 0);
			 ASSERT_EQ(symlink((index_prefix() + ".info").c_str(), (d + "/part.info").c_str()), 0);
			 *args = "-x part -1 r1.fastq -2 r2.fastq";
			 *tail = "Loading kmer hash table...\n[ERROR] Unable to open file [part.hash] to read\n";
		 },
		 false},
	};

	for (const FatalCase &c : cases) {
		SCOPED_TRACE(c.name);
		TempDir dir;
		std::string args, tail;
		c.make(dir.path, &args, &tail);
		args += " -o out --log run.log";
		RunResult r = c.loads_index ? count_in(dir.path, args) : run_vorat(dir.path, "count " + args);
		EXPECT_EQ(r.status, 1) << r.err;
		EXPECT_TRUE(ends_with(r.err, tail)) << "expected the end\n" << tail << "got\n" << r.err;
		EXPECT_TRUE(ends_with(read_file(dir / "run.log"), tail)) << read_file(dir / "run.log");
		EXPECT_FALSE(file_exists(dir / "out/matrix.mtx"));
		EXPECT_FALSE(file_exists(dir / "out/barcodes.tsv"));
		EXPECT_EQ(r.out, "");
	}
}

}  // namespace
