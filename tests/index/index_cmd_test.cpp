// `vora-T index` end to end through the binary: files, console and log lines, --no-bwt,
// a failing annotation after the BWT step, refused k-mer sizes and over-long paths.
// Each successful run writes a 512 MiB .hash: two such runs in this file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>
#include "index/index.h"

namespace {

const uint64_t EMPTY_HASH_FILE_SIZE = 536870928ULL;

// A fresh directory under /tmp, removed with its contents at scope exit.
struct TempDir {
	std::string path;
	TempDir()
	{
		char tmpl[] = "/tmp/vorat_index_XXXXXX";
		char *dir = mkdtemp(tmpl);
		EXPECT_NE(dir, nullptr);
		path = dir ? dir : "/tmp";
	}
	~TempDir()
	{
		if (path != "/tmp") std::filesystem::remove_all(path);
	}
};

std::string read_file(const std::string &path)
{
	std::string out;
	FILE *fp = fopen(path.c_str(), "rb");
	if (!fp) return out;
	char buf[65536];
	size_t got;
	while ((got = fread(buf, 1, sizeof buf, fp)) > 0) out.append(buf, got);
	fclose(fp);
	return out;
}

void write_file(const std::string &path, const std::string &text)
{
	FILE *fp = fopen(path.c_str(), "wb");
	ASSERT_NE(fp, nullptr);
	ASSERT_EQ(fwrite(text.data(), 1, text.size(), fp), text.size());
	fclose(fp);
}

bool exists(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0;
}

uint64_t file_size(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

// Run vora-T with `args` in `dir`; stderr goes to dir/err.txt. Returns the exit status.
int run_vorat(const std::string &dir, const std::string &args)
{
	std::string cmd = "cd '" + dir + "' && '" + std::string(VORAT_BINARY) + "' " + args + " 2> err.txt > out.txt";
	int status = std::system(cmd.c_str());
	if (status == -1 || !WIFEXITED(status)) return -1;
	return WEXITSTATUS(status);
}

// A two-sequence genome with N bases and soft-masked stretches, and its annotation: genes
// on both strands, a transcript with exons listed in descending order.
struct TestGenome {
	std::string chr1, chr2;
	std::string fasta, gtf;
	std::vector<std::pair<std::string, std::string>> transcripts;  // ("gene_tx", spliced sequence)

	TestGenome()
	{
		std::mt19937 rng(4242);
		static const char letters[] = "ACGT";
		auto random_bases = [&](size_t n) {
			std::string s(n, 'A');
			for (char &ch : s) ch = letters[rng() & 3];
			return s;
		};
		chr1 = random_bases(3000);
		chr2 = random_bases(2000);
		for (size_t i = 900; i < 960; ++i) chr1[i] = 'N';
		for (size_t i = 150; i < 260; ++i) chr1[i] = (char)tolower(chr1[i]);
		chr2[500] = 'N';
		fasta = ">chr1 first\n";
		for (size_t i = 0; i < chr1.size(); i += 60) fasta += chr1.substr(i, 60) + "\n";
		fasta += ">chr2\n";
		for (size_t i = 0; i < chr2.size(); i += 70) fasta += chr2.substr(i, 70) + "\n";

		struct Tx {
			const char *gene, *name, *tx, *chrom, *strand;
			std::vector<std::pair<uint32_t, uint32_t>> exons;
		};
		std::vector<Tx> txs = {
		    {"G1", "Alpha", "T1", "chr1", "+", {{101, 300}, {501, 700}}},
		    {"G1", "Alpha", "T2", "chr1", "+", {{801, 1000}, {101, 300}}},
		    {"G2", "Beta", "T3", "chr1", "-", {{1201, 1500}, {1601, 1700}}},
		    {"G3", "Gamma", "T4", "chr2", "+", {{10, 400}}},
		    {"G3", "Gamma", "T5", "chr2", "+", {{450, 520}, {600, 620}}},
		};
		gtf = "#!genome-build test\n";
		std::string last_gene;
		for (const Tx &t : txs) {
			std::string attr_gene = std::string("gene_id \"") + t.gene + "\"; gene_name \"" + t.name + "\";";
			if (last_gene != t.gene) {
				gtf += std::string(t.chrom) + "\ttest\tgene\t1\t2000\t.\t" + t.strand + "\t.\t" + attr_gene + "\n";
				last_gene = t.gene;
			}
			std::string attr_tx = attr_gene + " transcript_id \"" + t.tx + "\";";
			gtf += std::string(t.chrom) + "\ttest\ttranscript\t1\t2000\t.\t" + t.strand + "\t.\t" + attr_tx + "\n";
			for (const auto &e : t.exons)
				gtf += std::string(t.chrom) + "\ttest\texon\t" + std::to_string(e.first) + "\t" +
				       std::to_string(e.second) + "\t.\t" + t.strand + "\t.\t" + attr_tx + "\n";

			const std::string &s = std::string(t.chrom) == "chr1" ? chr1 : chr2;
			auto exons = t.exons;
			std::sort(exons.begin(), exons.end());
			std::string spliced;
			for (const auto &e : exons) spliced += s.substr(e.first - 1, e.second - e.first + 1);
			if (std::string(t.strand) == "-") {
				std::string rc;
				for (auto it = spliced.rbegin(); it != spliced.rend(); ++it) rc += "TGCAN"[BASE_CODE[(uint8_t)*it]];
				spliced = rc;
			}
			transcripts.push_back({std::string(t.gene) + "_" + t.tx, spliced});
		}
	}

	// Distinct k-mers and occurrences over the spliced transcripts.
	std::pair<size_t, size_t> kmer_counts(uint32_t k) const
	{
		std::map<std::string, size_t> seen;
		size_t positions = 0;
		for (const auto &t : transcripts) {
			std::string s = t.second;
			for (char &ch : s) ch = (char)toupper(ch);
			for (size_t i = 0; i + k <= s.size(); ++i) {
				std::string w = s.substr(i, k);
				if (w.find_first_not_of("ACGT") != std::string::npos) continue;
				++seen[w];
				++positions;
			}
		}
		return {seen.size(), positions};
	}

	std::string expected_fasta() const
	{
		std::string out;
		for (const auto &t : transcripts) {
			out += ">" + t.first + "\n";
			for (size_t i = 0; i < t.second.size(); i += 80) out += t.second.substr(i, 80) + "\n";
		}
		return out;
	}
};

// The .bwt that build_genome_bwt + write_genome_bwt give in-process for the same FASTA.
std::string reference_bwt_bytes(const std::string &fasta_path, const std::string &out_path)
{
	GenomeBwt *bwt = build_genome_bwt(fasta_path.c_str());
	write_genome_bwt(out_path.c_str(), bwt);
	release_genome_bwt(bwt);
	free(bwt);
	return read_file(out_path);
}

size_t count_of(const std::string &text, const std::string &needle)
{
	size_t n = 0;
	for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
	return n;
}

TEST(IndexCommand, DefaultDirectoryRunThenNoBwtRun)
{
	TestGenome g;
	TempDir tmp;
	const std::string &dir = tmp.path;
	write_file(dir + "/G.fa", g.fasta);
	write_file(dir + "/A.gtf", g.gtf);
	const std::string args = "index -g G.fa -t A.gtf -p idx";
	ASSERT_EQ(run_vorat(dir, args), 0) << read_file(dir + "/err.txt");

	const auto counts = g.kmer_counts(29);
	const std::string count_lines = "[INFO] Number of kmer: " + std::to_string(counts.first) +
	                                "\n[INFO] Number of hashing position: " + std::to_string(counts.second) + "\n";
	EXPECT_EQ(read_file(dir + "/err.txt"),
	          "Vora-T is a program developed by Vellumark for ScRNA-Seq analysis\n"
	          "Version: 0.2.3\n\n"
	          "[INFO] Log file: [.//idx.log]\n"
	          "[INFO] Building Burrow-Wheeler Transform on genome...\n"
	          "[INFO] Loading fasta...\n"
	          "[INFO] Loading gtf...\n"
	          "[INFO] Constructing kmer hash for transcript...\n" +
	              count_lines);
	EXPECT_EQ(read_file(dir + "/out.txt"), "");
	const std::string first_record = "Log file: [.//idx.log]\n"
	                                 "INDEX VERSION: 1\n"
	                                 "COMMAND: " + std::string(VORAT_BINARY) + " " + args + " \n"
	                                 "Building Burrow-Wheeler Transform on genome...\n"
	                                 "Loading fasta...\n"
	                                 "Loading gtf...\n"
	                                 "Constructing kmer hash for transcript...\n" +
	                                 count_lines;
	EXPECT_EQ(read_file(dir + "/idx.log"), first_record);

	// The files, through the path ./ + / + idx, in the working directory.
	const std::string bwt_bytes = read_file(dir + "/idx.bwt");
	EXPECT_EQ(bwt_bytes, reference_bwt_bytes(dir + "/G.fa", dir + "/ref.bwt"));
	EXPECT_EQ(read_file(dir + "/idx.fasta"), g.expected_fasta());
	EXPECT_TRUE(exists(dir + "/idx.info"));
	EXPECT_EQ(file_size(dir + "/idx.hash"), EMPTY_HASH_FILE_SIZE + 8 * counts.first + 4 * counts.second);

	// Second run without the BWT: the old .bwt stays as it was (bytes and time stamp).
	struct timeval old_times[2] = {{1000000000, 0}, {1000000000, 0}};
	ASSERT_EQ(utimes((dir + "/idx.bwt").c_str(), old_times), 0);
	ASSERT_EQ(unlink((dir + "/idx.hash").c_str()), 0);
	const std::string args2 = "index --no-bwt -g G.fa -t A.gtf -p idx -k 29";
	ASSERT_EQ(run_vorat(dir, args2), 0) << read_file(dir + "/err.txt");
	std::string err2 = read_file(dir + "/err.txt");
	EXPECT_NE(err2.find("[INFO] Log file: [.//idx.log]\n[INFO] Not rebuild BWT\n[INFO] Loading fasta...\n"),
	          std::string::npos)
	    << err2;
	EXPECT_EQ(err2.find("Building Burrow-Wheeler"), std::string::npos);
	struct stat st;
	ASSERT_EQ(stat((dir + "/idx.bwt").c_str(), &st), 0);
	EXPECT_EQ(st.st_mtime, 1000000000);
	EXPECT_EQ(read_file(dir + "/idx.bwt"), bwt_bytes);
	EXPECT_EQ(file_size(dir + "/idx.hash"), EMPTY_HASH_FILE_SIZE + 8 * counts.first + 4 * counts.second);

	// The log holds both run records, the second after the first.
	std::string log = read_file(dir + "/idx.log");
	EXPECT_EQ(count_of(log, "INDEX VERSION: 1\n"), 2u);
	EXPECT_EQ(log.substr(0, first_record.size()), first_record);
	EXPECT_NE(log.find("COMMAND: " + std::string(VORAT_BINARY) + " " + args2 + " \nNot rebuild BWT\n"),
	          std::string::npos)
	    << log;

	// A .hash cut short ends the load with the read error.
	const std::string hash_path = dir + "/idx.hash";
	ASSERT_EQ(truncate(hash_path.c_str(), (off_t)(file_size(hash_path) - 1)), 0);
	KmerHash h;
	EXPECT_EXIT(load_kmer_hash(hash_path.c_str(), &h), ::testing::ExitedWithCode(1),
	            "\\[ERROR\\] fread, wrong file or file is corrupted");
	unlink(hash_path.c_str());
}

TEST(IndexCommand, AnnotationErrorAfterBwtLeavesTheBwtOnly)
{
	TestGenome g;
	TempDir tmp;
	const std::string &dir = tmp.path;
	write_file(dir + "/G.fa", g.fasta);
	// Line 3: start greater than end.
	write_file(dir + "/bad.gtf",
	           "chr1\ttest\tgene\t1\t2000\t.\t+\t.\tgene_id \"G1\"; gene_name \"Alpha\";\n"
	           "chr1\ttest\ttranscript\t1\t2000\t.\t+\t.\tgene_id \"G1\"; transcript_id \"T1\";\n"
	           "chr1\ttest\texon\t500\t100\t.\t+\t.\tgene_id \"G1\"; transcript_id \"T1\";\n");
	// -o names a directory that does not exist yet: created one level deep.
	ASSERT_EQ(run_vorat(dir, "index -g G.fa -t bad.gtf -p idx -o out"), 1);
	std::string err = read_file(dir + "/err.txt");
	EXPECT_NE(err.find("[INFO] Loading gtf...\n[ERROR] Line [3]: Start position [500] > End position [100]\n"),
	          std::string::npos)
	    << err;
	EXPECT_EQ(read_file(dir + "/out/idx.bwt"), reference_bwt_bytes(dir + "/G.fa", dir + "/ref.bwt"));
	EXPECT_FALSE(exists(dir + "/out/idx.info"));
	EXPECT_FALSE(exists(dir + "/out/idx.hash"));
	std::string log = read_file(dir + "/out/idx.log");
	EXPECT_NE(log.find("Loading gtf...\n[ERROR] Line [3]: Start position [500] > End position [100]\n"),
	          std::string::npos)
	    << log;
}

TEST(IndexCommand, UnrepresentableKIsRefusedBeforeAnyWork)
{
	TestGenome g;
	TempDir tmp;
	const std::string &dir = tmp.path;
	write_file(dir + "/G.fa", g.fasta);
	write_file(dir + "/A.gtf", g.gtf);
	for (const char *k : {"30", "0", "64"}) {
		ASSERT_EQ(run_vorat(dir, std::string("index -g G.fa -t A.gtf -p idx -k ") + k), 1);
		std::string err = read_file(dir + "/err.txt");
		EXPECT_NE(err.find(std::string("[ERROR] Invalid k-mer size ") + k + ": must be between 1 and 29\n"),
		          std::string::npos)
		    << err;
		EXPECT_FALSE(exists(dir + "/idx.log"));
		EXPECT_FALSE(exists(dir + "/idx.bwt"));
	}
}

TEST(IndexCommand, OverlongPathIsRefusedCleanly)
{
	TestGenome g;
	TempDir tmp;
	const std::string &dir = tmp.path;
	write_file(dir + "/G.fa", g.fasta);
	write_file(dir + "/A.gtf", g.gtf);
	// out_dir + "/" + prefix fits in 1,023 bytes, the ".fasta" file name does not.
	std::string prefix(1023 - 2 - 4, 'p');
	ASSERT_EQ(run_vorat(dir, "index -g G.fa -t A.gtf -o . -p " + prefix), 1);
	std::string err = read_file(dir + "/err.txt");
	EXPECT_NE(err.find("[ERROR] Path is too long"), std::string::npos) << err.substr(0, 300);
	EXPECT_EQ(err.find("Building Burrow-Wheeler"), std::string::npos);
	std::string prefix2(1100, 'q');
	ASSERT_EQ(run_vorat(dir, "index -g G.fa -t A.gtf -p " + prefix2), 1);
	err = read_file(dir + "/err.txt");
	EXPECT_NE(err.find("[ERROR] Path is too long"), std::string::npos) << err.substr(0, 300);
}

}  // namespace
