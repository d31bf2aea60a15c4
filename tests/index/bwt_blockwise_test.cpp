// Blockwise BWT against the whole-text divbwt64 build: primary row, base counts, every
// word and the suffix-array samples, over texts that stress suffix sorting and block sizes around every boundary; and the
// whole .bwt file of FASTA inputs built both ways.
#include <gtest/gtest.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>
#include "annotation_test_util.h"
#include "index/index.h"

namespace {

// Sets (or unsets, for null) an environment variable for the scope.
struct ScopedEnv {
	std::string name, saved;
	bool had;
	ScopedEnv(const char *n, const char *value) : name(n)
	{
		const char *old = getenv(n);
		had = old != nullptr;
		if (had) saved = old;
		if (value) setenv(n, value, 1);
		else unsetenv(n);
	}
	~ScopedEnv()
	{
		if (had) setenv(name.c_str(), saved.c_str(), 1);
		else unsetenv(name.c_str());
	}
};

struct Bwt {
	GenomeBwt b;
	explicit Bwt(const std::vector<uint8_t> &codes)
	{
		memset(&b, 0, sizeof b);
		b.seq_len = (uint32_t)codes.size();
		b.packed_seq = (uint8_t *)calloc((codes.size() + 3) / 4 + 1, 1);
		for (size_t i = 0; i < codes.size(); ++i) b.packed_seq[i >> 2] |= (uint8_t)(codes[i] << (6 - 2 * (i & 3)));
	}
	~Bwt() { release_genome_bwt(&b); }
};

// Whole-text build and blockwise build of the same text, compared field by field.
void expect_same_bwt(const std::vector<uint8_t> &codes, uint64_t block, const std::string &label)
{
	Bwt plain(codes), blocks(codes);
	{
		ScopedEnv env("VORAT_BWT_BLOCK", "0");
		compute_bwt(&plain.b);
	}
	compute_bwt_blockwise(&blocks.b, block);
	SCOPED_TRACE(label + " n=" + std::to_string(codes.size()) + " block=" + std::to_string(block));
	ASSERT_EQ(blocks.b.primary, plain.b.primary);
	ASSERT_EQ(0, memcmp(blocks.b.c_table, plain.b.c_table, sizeof plain.b.c_table));
	ASSERT_EQ(blocks.b.bwt_word_count, plain.b.bwt_word_count);
	ASSERT_EQ(0, memcmp(blocks.b.bwt_words, plain.b.bwt_words, plain.b.bwt_word_count * sizeof(uint32_t)));
	// Samples: one LF walk from the marker's row over the whole text.
	const uint32_t n = plain.b.seq_len;
	std::vector<uint32_t> samples((n + 16) / 16, 0);
	uint32_t row = 0;
	for (uint32_t pos = n;; --pos, row = bwt_lf(&plain.b, row)) {
		if (row % 16 == 0) samples[row / 16] = pos;
		if (pos == 0) break;
	}
	samples[0] = 0xFFFFFFFFu;
	ASSERT_EQ(blocks.b.sa_count, samples.size());
	ASSERT_EQ(0, memcmp(blocks.b.sa_samples, samples.data(), samples.size() * sizeof(uint32_t)));
}

std::vector<uint8_t> random_codes(std::mt19937 &rng, size_t n)
{
	std::vector<uint8_t> t(n);
	for (uint8_t &c : t) c = (uint8_t)(rng() & 3);
	return t;
}

std::vector<uint8_t> periodic(const std::vector<uint8_t> &unit, size_t n)
{
	std::vector<uint8_t> t(n);
	for (size_t i = 0; i < n; ++i) t[i] = unit[i % unit.size()];
	return t;
}

TEST(BwtBlockwise, RandomTextsOfEveryLength)
{
	std::mt19937 rng(5);
	for (size_t n = 1; n <= 300; ++n) {
		const std::vector<uint8_t> t = random_codes(rng, n);
		// Small blocks cost one suffix sort each: the smallest only on the short texts.
		if (n <= 40) expect_same_bwt(t, 1, "random");
		if (n <= 150) expect_same_bwt(t, 5, "random");
		for (uint64_t block : {37, 64})
			if (block <= n) expect_same_bwt(t, block, "random");
		expect_same_bwt(t, n, "random, one block");
	}
}

TEST(BwtBlockwise, LowEntropyAndPeriodicTexts)
{
	std::mt19937 rng(6);
	const std::vector<std::pair<std::string, std::vector<uint8_t>>> cases = {
	    {"one letter A", periodic({0}, 2000)},
	    {"one letter T", periodic({3}, 2000)},
	    {"ACAC", periodic({0, 1}, 3001)},
	    {"AACAAC", periodic({0, 0, 1}, 3000)},
	    {"period 7", periodic({2, 0, 3, 3, 1, 0, 2}, 4099)},
	    {"period 65", periodic(random_codes(rng, 65), 5000)},
	};
	for (const auto &c : cases)
		for (uint64_t block : {1, 5, 64, 333, 1024}) expect_same_bwt(c.second, block, c.first);
}

TEST(BwtBlockwise, LongRepeats)
{
	std::mt19937 rng(7);
	// Tandem: a 10 kb unit five times between random flanks.
	std::vector<uint8_t> tandem = random_codes(rng, 3000);
	const std::vector<uint8_t> unit = random_codes(rng, 10000);
	for (int i = 0; i < 5; ++i) tandem.insert(tandem.end(), unit.begin(), unit.end());
	const std::vector<uint8_t> flank = random_codes(rng, 2000);
	tandem.insert(tandem.end(), flank.begin(), flank.end());
	// Dispersed: exact copies of 10-100 kb segments, some of them overlapping.
	std::vector<uint8_t> dispersed = random_codes(rng, 600000);
	for (int i = 0; i < 6; ++i) {
		const size_t len = 10000 + rng() % 90001, from = rng() % (dispersed.size() - len),
		             to = rng() % (dispersed.size() - len);
		std::vector<uint8_t> seg(dispersed.begin() + (long)from, dispersed.begin() + (long)(from + len));
		std::copy(seg.begin(), seg.end(), dispersed.begin() + (long)to);
	}
	// A text made of copies of itself: X, XX, XXXX, ... up to 64 kb.
	std::vector<uint8_t> doubled = random_codes(rng, 1000);
	while (doubled.size() < 64000) doubled.insert(doubled.end(), doubled.begin(), doubled.end());
	expect_same_bwt(tandem, 4096, "tandem");
	expect_same_bwt(tandem, 10000, "tandem, block = unit");
	expect_same_bwt(dispersed, 65536, "dispersed");
	expect_same_bwt(doubled, 1000, "copies, block = copy");
	expect_same_bwt(doubled, 999, "copies");
}

TEST(BwtBlockwise, SizesAroundBlockBoundaries)
{
	std::mt19937 rng(8);
	for (uint64_t block : {64, 100, 1000})
		for (uint64_t blocks : {1, 2, 3})
			for (int delta : {-1, 0, 1}) {
				const size_t n = (size_t)(blocks * block + (uint64_t)(int64_t)delta);
				expect_same_bwt(random_codes(rng, n), block, "boundary");
			}
}

TEST(BwtBlockwise, BlockSizeChoice)
{
	{
		ScopedEnv env("VORAT_BWT_BLOCK", "12345");
		EXPECT_EQ(bwt_block_bases(1000), 12345u);
	}
	{
		ScopedEnv env("VORAT_BWT_BLOCK", "0");
		EXPECT_EQ(bwt_block_bases(3000000000ULL), 0u);
	}
	ScopedEnv env("VORAT_BWT_BLOCK", nullptr);
	EXPECT_EQ(bwt_block_bases(1000000), 0u);  // a small genome takes the whole-text sort
	const uint64_t memory = (uint64_t)sysconf(_SC_PHYS_PAGES) * (uint64_t)sysconf(_SC_PAGESIZE);
	const uint64_t block = bwt_block_bases(memory);  // a genome as large as the memory cannot
	EXPECT_GT(block, 0u);
	EXPECT_LE(9 * block, memory / 2);
}

// The .bwt file of `fasta`, built with the given VORAT_BWT_BLOCK.
std::string bwt_file_bytes(const std::string &fasta, const std::string &out, const char *block)
{
	ScopedEnv env("VORAT_BWT_BLOCK", block);
	GenomeBwt *bwt = build_genome_bwt(fasta.c_str());
	write_genome_bwt(out.c_str(), bwt);
	release_genome_bwt(bwt);
	free(bwt);
	return annotation_test::read_file(out);
}

struct TempDir {
	std::string path;
	TempDir()
	{
		char tmpl[] = "/tmp/vorat_bwtblk_XXXXXX";
		char *dir = mkdtemp(tmpl);
		path = dir ? dir : "";
	}
	~TempDir()
	{
		if (!path.empty()) std::filesystem::remove_all(path);
	}
};

TEST(BwtBlockwise, FastaWithNRunsGivesTheSameFile)
{
	TempDir dir;
	ASSERT_FALSE(dir.path.empty());
	std::mt19937 rng(9);
	std::string fasta;
	static const char letters[] = "ACGTacgt";
	for (int r = 0; r < 4; ++r) {
		fasta += ">chr" + std::to_string(r) + "\n";
		std::string s;
		for (int i = 0; i < 20000 + r * 777; ++i) s += letters[rng() & 7];
		s.replace(100 + r * 50, 3000, std::string(3000, 'N'));  // N runs: random bases in the text
		s.replace(s.size() - 500, 200, std::string(200, 'n'));
		for (size_t i = 0; i < s.size(); i += 60) fasta += s.substr(i, 60) + "\n";
	}
	const std::string path = dir.path + "/g.fa";
	FILE *fp = fopen(path.c_str(), "wb");
	ASSERT_NE(fp, nullptr);
	ASSERT_EQ(fwrite(fasta.data(), 1, fasta.size(), fp), fasta.size());
	ASSERT_EQ(fclose(fp), 0);
	const std::string plain = bwt_file_bytes(path, dir.path + "/plain.bwt", "0");
	ASSERT_GT(plain.size(), 20000u);
	EXPECT_TRUE(plain == bwt_file_bytes(path, dir.path + "/b1.bwt", "4096"));
	EXPECT_TRUE(plain == bwt_file_bytes(path, dir.path + "/b2.bwt", "20000"));
}

#ifdef VORAT_SIMULATE
// A multi-megabase human-like genome from the generator, built both ways.
TEST(BwtBlockwise, HumanLikeGenomeGivesTheSameFile)
{
	TempDir dir;
	ASSERT_FALSE(dir.path.empty());
	const std::string cmd = std::string(VORAT_SIMULATE) + " --human-like --genome-size 3000000 --genes 60" +
	                        " --reads 1000 --cells 10 --out " + dir.path + "/sim >/dev/null 2>&1";
	ASSERT_EQ(system(cmd.c_str()), 0);
	const std::string fasta = dir.path + "/sim/genome.fa";
	const std::string plain = bwt_file_bytes(fasta, dir.path + "/plain.bwt", "0");
	ASSERT_GT(plain.size(), 3000000u / 4);
	EXPECT_TRUE(plain == bwt_file_bytes(fasta, dir.path + "/blocks.bwt", "700001"));
}
#endif

}  // namespace
