// Genome FASTA loading: names, duplicates, bases kept as read, line ends, gzip input,
// and the errors for files that cannot be opened or read.
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>
#include "annotation_test_util.h"
#include "index/index.h"

using namespace annotation_test;

namespace {

struct LoadedGenome {
	GenomeSequences genome = {};
	NameMap *names = kh_init(str);
	~LoadedGenome()
	{
		release_genome_sequences(&genome);
		release_name_map(names);
	}
	std::string name(uint32_t i) const { return table_row(genome.seq_names, genome.name_width, i); }
	std::string bases(uint32_t i) const { return genome.seq_bases[i]; }
};

void load(const std::string &path, LoadedGenome *g)
{
	load_genome_fasta(path.c_str(), &g->genome, g->names);
}

// The record of each loaded sequence must agree with the name map and its own length.
void expect_consistent(const LoadedGenome &g)
{
	EXPECT_EQ(kh_size(g.names), g.genome.seq_count);
	uint32_t width = 0;
	for (uint32_t i = 0; i < g.genome.seq_count; ++i) {
		std::string name = g.name(i);
		EXPECT_EQ(map_value(g.names, name), (int64_t)i) << name;
		EXPECT_EQ(g.genome.seq_lengths[i], strlen(g.genome.seq_bases[i]));
		width = std::max(width, (uint32_t)name.size() + 1);
	}
	EXPECT_EQ(g.genome.name_width, width);
}

TEST(GenomeFasta, DuplicateNamesKeepTheFirstRecord)
{
	ScratchDir dir;
	write_file(dir.file("g.fa"), ">chr1\nACGT\nAC\n>chrLonger\nGG\n>chr1 again\nTTTTTTTT\n>chr3\nC\n");
	LoadedGenome g;
	testing::internal::CaptureStderr();
	load(dir.file("g.fa"), &g);
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(err, "[WARNING] Duplicated sequence name [chr1] in genome fasta\n");
	ASSERT_EQ(g.genome.seq_count, 3u);
	EXPECT_EQ(g.genome.name_width, 10u);  // "chrLonger" + 1
	EXPECT_EQ(g.name(0), "chr1");
	EXPECT_EQ(g.name(1), "chrLonger");
	EXPECT_EQ(g.name(2), "chr3");
	EXPECT_EQ(g.bases(0), "ACGTAC");
	EXPECT_EQ(g.bases(1), "GG");
	EXPECT_EQ(g.bases(2), "C");
	EXPECT_EQ(g.genome.seq_lengths[0], 6u);
	EXPECT_EQ(map_value(g.names, "chr1"), 0);
	EXPECT_EQ(map_value(g.names, "chr3"), 2);
	expect_consistent(g);
}

TEST(GenomeFasta, HeaderDescriptionIsNotPartOfTheName)
{
	ScratchDir dir;
	write_file(dir.file("g.fa"), ">chr2 Homo sapiens chromosome 2\nAC\n>chrM\tmito\nGT\n");
	LoadedGenome g;
	load(dir.file("g.fa"), &g);
	ASSERT_EQ(g.genome.seq_count, 2u);
	EXPECT_EQ(g.name(0), "chr2");
	EXPECT_EQ(g.name(1), "chrM");
	EXPECT_EQ(map_value(g.names, "chr2 Homo"), -1);
	expect_consistent(g);
}

TEST(GenomeFasta, BasesAreKeptAsRead)
{
	ScratchDir dir;
	write_file(dir.file("g.fa"), ">s\nacgtNNNNnnnn\n\nRYKMacgt\nACGT-*\n");
	LoadedGenome g;
	load(dir.file("g.fa"), &g);
	ASSERT_EQ(g.genome.seq_count, 1u);
	EXPECT_EQ(g.bases(0), "acgtNNNNnnnnRYKMacgtACGT-*");
	EXPECT_EQ(g.genome.seq_lengths[0], 26u);
}

// Lines joined across many reads of the 16384-byte buffer, at line widths that do not
// divide it.
TEST(GenomeFasta, LongSequencesAcrossReadBuffers)
{
	std::mt19937 rng(7);
	const char letters[] = "ACGTacgtN";
	std::vector<std::string> seqs;
	std::string text;
	for (int r = 0; r < 4; ++r) {
		std::string s;
		size_t n = 30000 + 9173 * r;
		for (size_t i = 0; i < n; ++i) s += letters[rng() % 9];
		seqs.push_back(s);
		size_t width = 50 + 13 * r;
		text += ">seq" + std::to_string(r) + "\n";
		for (size_t i = 0; i < n; i += width) text += s.substr(i, width) + "\n";
	}
	ScratchDir dir;
	write_file(dir.file("g.fa"), text);
	LoadedGenome g;
	load(dir.file("g.fa"), &g);
	ASSERT_EQ(g.genome.seq_count, 4u);
	for (uint32_t i = 0; i < 4; ++i) {
		EXPECT_EQ(g.bases(i), seqs[i]) << i;
		EXPECT_EQ(g.genome.seq_lengths[i], seqs[i].size());
	}
	expect_consistent(g);
}

TEST(GenomeFasta, CrLfEqualsLf)
{
	std::string lf = ">chr1 desc\nACGTN\nacgt\n\n>chr2\nGGGG\nC\n";
	std::string crlf;
	for (char c : lf) {
		if (c == '\n') crlf += '\r';
		crlf += c;
	}
	ScratchDir dir;
	write_file(dir.file("lf.fa"), lf);
	write_file(dir.file("crlf.fa"), crlf);
	LoadedGenome a, b;
	load(dir.file("lf.fa"), &a);
	load(dir.file("crlf.fa"), &b);
	ASSERT_EQ(a.genome.seq_count, 2u);
	ASSERT_EQ(b.genome.seq_count, 2u);
	EXPECT_EQ(a.bases(0), "ACGTNacgt");
	for (uint32_t i = 0; i < 2; ++i) {
		EXPECT_EQ(a.name(i), b.name(i));
		EXPECT_EQ(a.bases(i), b.bases(i));
	}
	EXPECT_EQ(b.genome.name_width, 5u);
}

TEST(GenomeFasta, GzipEqualsPlain)
{
	std::string text = ">chr1\nACGTNacgt\n>chr2 x\nGGGG\n>chr1\nTT\n";
	for (int i = 0; i < 3000; ++i) text += (i % 2 ? ">x" : ">y") + std::to_string(i) + "\nACGTACGTAC\nGT\n";
	ScratchDir dir;
	write_file(dir.file("g.fa"), text);
	write_gz_file(dir.file("g.fa.gz"), text);
	LoadedGenome a, b;
	testing::internal::CaptureStderr();
	load(dir.file("g.fa"), &a);
	load(dir.file("g.fa.gz"), &b);
	testing::internal::GetCapturedStderr();
	ASSERT_EQ(a.genome.seq_count, 3002u);
	ASSERT_EQ(b.genome.seq_count, a.genome.seq_count);
	EXPECT_EQ(b.genome.name_width, a.genome.name_width);
	EXPECT_EQ(memcmp(a.genome.seq_names, b.genome.seq_names, (size_t)a.genome.seq_count * a.genome.name_width), 0);
	for (uint32_t i = 0; i < a.genome.seq_count; ++i) {
		ASSERT_EQ(a.bases(i), b.bases(i)) << i;
		ASSERT_EQ(a.genome.seq_lengths[i], b.genome.seq_lengths[i]);
	}
	expect_consistent(b);
}

TEST(GenomeFasta, EmptyFile)
{
	ScratchDir dir;
	write_file(dir.file("empty.fa"), "");
	write_gz_file(dir.file("empty.fa.gz"), "");
	for (const char *name : {"empty.fa", "empty.fa.gz"}) {
		LoadedGenome g;
		load(dir.file(name), &g);
		EXPECT_EQ(g.genome.seq_count, 0u) << name;
		EXPECT_EQ(g.genome.name_width, 0u) << name;
		EXPECT_EQ(kh_size(g.names), 0u);
	}
}

TEST(GenomeFasta, FastqIsReadLikeFasta)
{
	ScratchDir dir;
	write_file(dir.file("g.fq"), "@r1 x\nACGT\n+\nIIII\n@r2\nGG\n+r2\nII\n");
	LoadedGenome g;
	load(dir.file("g.fq"), &g);
	ASSERT_EQ(g.genome.seq_count, 2u);
	EXPECT_EQ(g.name(0), "r1");
	EXPECT_EQ(g.bases(0), "ACGT");
	EXPECT_EQ(g.name(1), "r2");
	EXPECT_EQ(g.bases(1), "GG");
}

TEST(GenomeFastaDeathTest, MissingFileEndsTheRun)
{
	ScratchDir dir;
	std::string path = dir.file("missing.fa");
	EXPECT_EXIT(
		{
			LoadedGenome g;
			load(path, &g);
		},
		::testing::ExitedWithCode(1), "^\\[ERROR\\] Unable to open file \\[.*/missing\\.fa\\] to read\n$");
}

TEST(GenomeFastaDeathTest, UnreadableFileEndsTheRun)
{
	// A directory opens but every read fails.
	ScratchDir dir;
	std::string path = dir.path();
	const char *message = "^\\[ERROR\\] Unable to read file \\[.*vorat-test-[^/]*\\]\n$";
	EXPECT_EXIT(
		{
			LoadedGenome g;
			load(path, &g);
		},
		::testing::ExitedWithCode(1), message);
	EXPECT_EXIT(build_genome_bwt(path.c_str()), ::testing::ExitedWithCode(1), message) << "the BWT build";
}

TEST(GenomeFastaDeathTest, TruncatedGzipEndsTheRun)
{
	ScratchDir dir;
	std::string text;
	std::mt19937 rng(3);
	for (int r = 0; r < 20; ++r) {
		text += ">s" + std::to_string(r) + "\n";
		for (int i = 0; i < 5000; ++i) text += "ACGT"[rng() % 4];
		text += "\n";
	}
	write_gz_file(dir.file("full.fa.gz"), text);
	std::string gz = read_file(dir.file("full.fa.gz"));
	ASSERT_GT(gz.size(), 1000u);
	std::string path = dir.file("cut.fa.gz");
	write_file(path, gz.substr(0, gz.size() / 2));
	const char *message = "^\\[ERROR\\] Unable to read file \\[.*cut\\.fa\\.gz\\]\n$";
	EXPECT_EXIT(
		{
			LoadedGenome g;
			load(path, &g);
		},
		::testing::ExitedWithCode(1), message);
	EXPECT_EXIT(build_genome_bwt(path.c_str()), ::testing::ExitedWithCode(1), message) << "the BWT build";
}

}  // namespace
