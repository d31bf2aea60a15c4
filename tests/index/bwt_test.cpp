// Genome BWT against a naive suffix array: stored characters, occurrence counts, LF,
// locate, the word layout, N replacement, and the .bwt file round trip.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>
#include "index/index.h"

namespace {

// A fresh directory under /tmp, removed with its contents at scope exit.
struct TempDir {
	std::string path;
	TempDir()
	{
		char tmpl[] = "/tmp/vorat_bwt_XXXXXX";
		char *dir = mkdtemp(tmpl);
		EXPECT_NE(dir, nullptr);
		path = dir ? dir : "/tmp";
	}
	~TempDir()
	{
		if (path != "/tmp") std::filesystem::remove_all(path);
	}
};

void write_text_file(const std::string &path, const std::string &text)
{
	FILE *fp = fopen(path.c_str(), "wb");
	ASSERT_NE(fp, nullptr);
	ASSERT_EQ(fwrite(text.data(), 1, text.size(), fp), text.size());
	fclose(fp);
}

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

// FASTA text with the sequences cut into lines of `width` bases.
std::string fasta_text(const std::vector<std::pair<std::string, std::string>> &records, size_t width = 60)
{
	std::string out;
	for (const auto &r : records) {
		out += ">" + r.first + " some description\n";
		for (size_t i = 0; i < r.second.size(); i += width) out += r.second.substr(i, width) + "\n";
	}
	return out;
}

std::string random_bases(std::mt19937 &rng, size_t n, double n_fraction = 0.0)
{
	static const char letters[] = "ACGT";
	std::uniform_real_distribution<double> u(0.0, 1.0);
	std::string s(n, 'A');
	for (size_t i = 0; i < n; ++i) s[i] = (u(rng) < n_fraction) ? 'N' : letters[rng() & 3];
	return s;
}

// The text the build must produce: codes of the bases, non-ACGT replaced by rand() & 3
// after srand(11), in text order.
std::vector<uint8_t> expected_text(const std::string &bases)
{
	srand(11);
	std::vector<uint8_t> t(bases.size());
	for (size_t i = 0; i < bases.size(); ++i) {
		uint8_t c = BASE_CODE[(uint8_t)bases[i]];
		t[i] = c == 4 ? (uint8_t)(rand() & 3) : c;
	}
	return t;
}

// Full BWT of T + marker by sorting all n + 1 suffixes; the marker sorts first.
struct NaiveBwt {
	std::vector<uint32_t> sa;   // n + 1 rows; sa[0] = n
	std::vector<uint32_t> isa;
	uint32_t primary = 0;
	std::vector<int> full;      // full[r] = character before suffix sa[r], -1 for the marker
	std::vector<uint8_t> stored;
};

NaiveBwt naive_bwt(const std::vector<uint8_t> &t)
{
	const uint32_t n = (uint32_t)t.size();
	NaiveBwt r;
	r.sa.resize(n + 1);
	for (uint32_t i = 0; i <= n; ++i) r.sa[i] = i;
	std::sort(r.sa.begin(), r.sa.end(), [&](uint32_t a, uint32_t b) {
		return std::lexicographical_compare(t.begin() + a, t.end(), t.begin() + b, t.end());
	});
	r.isa.resize(n + 1);
	r.full.resize(n + 1);
	for (uint32_t row = 0; row <= n; ++row) {
		r.isa[r.sa[row]] = row;
		if (r.sa[row] == 0) {
			r.primary = row;
			r.full[row] = -1;
		} else {
			r.full[row] = t[r.sa[row] - 1];
			r.stored.push_back(t[r.sa[row] - 1]);
		}
	}
	return r;
}

// bwt_words laid out from the stored characters, independently of compute_bwt's loop.
std::vector<uint32_t> naive_words(const std::vector<uint8_t> &stored)
{
	const size_t n = stored.size();
	std::vector<uint32_t> words;
	uint32_t occ[4] = {0, 0, 0, 0};
	for (size_t block = 0; block < n; block += 64) {
		for (int c = 0; c < 4; ++c) words.push_back(occ[c]);
		size_t nwords = std::min<size_t>(4, (n - block + 15) / 16);
		for (size_t w = 0; w < nwords; ++w) {
			uint32_t word = 0;
			for (size_t j = 0; j < 16; ++j) {
				size_t m = block + 16 * w + j;
				if (m < n) word |= (uint32_t)stored[m] << (30 - 2 * j);
			}
			words.push_back(word);
		}
		for (size_t m = block; m < std::min(n, block + 64); ++m) ++occ[stored[m]];
	}
	for (int c = 0; c < 4; ++c) words.push_back(occ[c]);
	return words;
}

struct BwtHolder {
	GenomeBwt *bwt;
	explicit BwtHolder(GenomeBwt *b) : bwt(b) {}
	~BwtHolder()
	{
		if (bwt) {
			release_genome_bwt(bwt);
			free(bwt);
		}
	}
};

GenomeBwt *build_from_records(const std::string &dir, const std::string &name,
                              const std::vector<std::pair<std::string, std::string>> &records)
{
	std::string path = dir + "/" + name;
	write_text_file(path, fasta_text(records));
	return build_genome_bwt(path.c_str());
}

// Every query against the naive suffix array.
void check_against_naive(const GenomeBwt *bwt, const std::vector<uint8_t> &t)
{
	const uint32_t n = (uint32_t)t.size();
	ASSERT_EQ(bwt->seq_len, n);
	for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(genome_base(bwt, i), t[i]) << "base " << i;
	// Bit pairs after the last base of the packed text are zero.
	if (n % 4) {
		EXPECT_EQ(bwt->packed_seq[n / 4] & (0xFF >> (2 * (n % 4))), 0);
	}

	NaiveBwt ref = naive_bwt(t);
	EXPECT_EQ(bwt->primary, ref.primary);
	uint32_t totals[4] = {0, 0, 0, 0};
	for (uint8_t c : t) ++totals[c];
	EXPECT_EQ(bwt->c_table[0], 0u);
	for (int c = 0; c < 4; ++c) EXPECT_EQ(bwt->c_table[c + 1] - bwt->c_table[c], totals[c]);
	EXPECT_EQ(bwt->c_table[4], n);

	const uint32_t expected_words = (n + 15) / 16 + 4 * ((n + 63) / 64) + 4;
	ASSERT_EQ(bwt->bwt_word_count, expected_words);
	std::vector<uint32_t> words = naive_words(ref.stored);
	ASSERT_EQ(words.size(), expected_words);
	for (uint32_t w = 0; w < expected_words; ++w) ASSERT_EQ(bwt->bwt_words[w], words[w]) << "word " << w;

	ASSERT_EQ(bwt->sa_count, (n + 16) / 16);
	EXPECT_EQ(bwt->sa_samples[0], 0xFFFFFFFFu);
	for (uint32_t j = 1; j < bwt->sa_count; ++j) EXPECT_EQ(bwt->sa_samples[j], ref.sa[16 * j]) << "sample " << j;

	// occ[r][c]: number of c among stored characters of rows 0..r.
	std::vector<std::array<uint32_t, 4>> occ(n + 1);
	uint32_t run[4] = {0, 0, 0, 0};
	for (uint32_t row = 0; row <= n; ++row) {
		if (ref.full[row] >= 0) ++run[ref.full[row]];
		for (int c = 0; c < 4; ++c) occ[row][c] = run[c];
	}
	for (uint32_t k = 0; k <= n; ++k) {
		if (k != ref.primary) {
			ASSERT_EQ(bwt_char(bwt, k), (uint32_t)ref.full[k]) << "row " << k;
		}
		uint32_t sum = 0;
		for (uint32_t c = 0; c < 4; ++c) {
			ASSERT_EQ(bwt_occurrences(bwt, k, c), occ[k][c]) << "row " << k << " c " << c;
			sum += occ[k][c];
		}
		if (k < n) {
			EXPECT_EQ(sum, k < ref.primary ? k + 1 : k);
		}
		uint32_t lf = ref.isa[ref.sa[k] == 0 ? n : ref.sa[k] - 1];
		ASSERT_EQ(bwt_lf(bwt, k), lf) << "row " << k;
		ASSERT_EQ(bwt_locate(bwt, k), k == 0 ? 0xFFFFFFFFu : ref.sa[k]) << "row " << k;
	}
	for (uint32_t c = 0; c < 4; ++c) EXPECT_EQ(bwt_occurrences(bwt, 0xFFFFFFFFu, c), 0u);

	// Locating many rows at once: every row in order, then a shuffled list with repeats.
	LocateScratch scratch{};
	std::vector<uint32_t> rows(n + 1), pos(n + 1, 7);
	for (uint32_t k = 0; k <= n; ++k) rows[k] = k;
	bwt_locate_rows(bwt, rows.data(), (int64_t)rows.size(), pos.data(), &scratch);
	for (uint32_t k = 0; k <= n; ++k) ASSERT_EQ(pos[k], k == 0 ? 0xFFFFFFFFu : ref.sa[k]) << "row " << k;
	std::mt19937 rng(n);
	for (uint32_t k = 0; k <= n; ++k) rows.push_back(rng() % (n + 1));
	std::shuffle(rows.begin(), rows.end(), rng);
	pos.assign(rows.size(), 7);
	bwt_locate_rows(bwt, rows.data(), (int64_t)rows.size(), pos.data(), &scratch);
	for (size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(pos[i], bwt_locate(bwt, rows[i])) << "row " << rows[i];
	release_locate_scratch(&scratch);

	// Pairs: every pair for small texts, a spread of distances otherwise; the row before
	// row 0 as the lower end too.
	auto occ_of = [&](uint32_t r, uint32_t c) { return r == 0xFFFFFFFFu ? 0u : occ[r][c]; };
	auto check_pair = [&](uint32_t k, uint32_t l) {
		for (uint32_t c = 0; c < 4; ++c) {
			uint32_t a = 77, b = 77;
			bwt_occurrences_pair(bwt, k, l, c, &a, &b);
			ASSERT_EQ(a, occ_of(k, c)) << "pair " << k << "," << l << " c " << c;
			ASSERT_EQ(b, occ_of(l, c)) << "pair " << k << "," << l << " c " << c;
		}
	};
	for (uint32_t l = 0; l <= n; ++l) check_pair(0xFFFFFFFFu, l);
	if (n <= 200) {
		for (uint32_t k = 0; k <= n; ++k)
			for (uint32_t l = k; l <= n; ++l) check_pair(k, l);
	} else {
		static const uint32_t deltas[] = {0, 1, 2, 15, 16, 17, 62, 63, 64, 65, 127, 128, 1000};
		for (uint32_t k = 0; k <= n; ++k) {
			for (uint32_t d : deltas)
				if (k + d <= n) check_pair(k, k + d);
			check_pair(k, n);
		}
	}
}

class BwtSizes : public ::testing::TestWithParam<uint32_t> {};

TEST_P(BwtSizes, MatchesNaiveSuffixArray)
{
	const uint32_t n = GetParam();
	TempDir tmp;
	const std::string &dir = tmp.path;
	std::mt19937 rng(1000 + n);
	// A plain random text, and one with N bases and a lower-case stretch (case must not matter).
	for (int variant = 0; variant < 2; ++variant) {
		std::string bases = random_bases(rng, n, variant ? 0.1 : 0.0);
		if (variant)
			for (size_t i = 0; i < bases.size() / 3; ++i) bases[i] = (char)tolower(bases[i]);
		BwtHolder h(build_from_records(dir, "g.fa", {{"chr1", bases}}));
		SCOPED_TRACE("n=" + std::to_string(n) + " variant=" + std::to_string(variant));
		check_against_naive(h.bwt, expected_text(bases));
	}
}

INSTANTIATE_TEST_SUITE_P(Boundaries, BwtSizes,
                         ::testing::Values(1u, 2u, 3u, 4u, 5u, 15u, 16u, 17u, 63u, 64u, 65u, 127u, 128u,
                                           129u, 1000u, 5000u));

TEST(Bwt, SixtyFourBasesGiveTwelveWords)
{
	TempDir tmp;
	const std::string &dir = tmp.path;
	std::mt19937 rng(64);
	std::string bases = random_bases(rng, 64);
	BwtHolder h(build_from_records(dir, "g.fa", {{"chr1", bases}}));
	ASSERT_EQ(h.bwt->bwt_word_count, 12u);
	uint32_t totals[4] = {0, 0, 0, 0};
	for (char ch : bases) ++totals[BASE_CODE[(uint8_t)ch]];
	for (int c = 0; c < 4; ++c) EXPECT_EQ(h.bwt->bwt_words[8 + c], totals[c]);
	for (int c = 0; c < 4; ++c) EXPECT_EQ(h.bwt->bwt_words[c], 0u);
}

TEST(Bwt, LowSkewedTexts)
{
	// Long single-letter runs and periodic texts stress the suffix order and word masks.
	TempDir tmp;
	const std::string &dir = tmp.path;
	std::vector<std::string> texts = {std::string(200, 'A'), std::string(131, 'T'),
	                                  std::string(100, 'A') + std::string(100, 'C'), ""};
	for (int i = 0; i < 70; ++i) texts[3] += "ACGTTGCA";
	for (const std::string &s : texts) {
		BwtHolder h(build_from_records(dir, "g.fa", {{"x", s}}));
		SCOPED_TRACE(s.substr(0, 20));
		check_against_naive(h.bwt, expected_text(s));
	}
}

TEST(Bwt, NReplacementIsReproducible)
{
	TempDir tmp;
	const std::string &dir = tmp.path;
	std::mt19937 rng(7);
	std::string bases = random_bases(rng, 3000, 0.3) + std::string(200, 'N') + "RYKM";
	BwtHolder a(build_from_records(dir, "a.fa", {{"chr1", bases}}));
	// Disturb the generator in between: the build must reseed.
	srand(12345);
	for (int i = 0; i < 17; ++i) (void)rand();
	BwtHolder b(build_from_records(dir, "b.fa", {{"chr1", bases}}));
	const uint32_t n = (uint32_t)bases.size();
	ASSERT_EQ(a.bwt->seq_len, n);
	ASSERT_EQ(b.bwt->seq_len, n);
	EXPECT_EQ(0, memcmp(a.bwt->packed_seq, b.bwt->packed_seq, (n + 3) / 4));
	EXPECT_EQ(a.bwt->primary, b.bwt->primary);
	ASSERT_EQ(a.bwt->bwt_word_count, b.bwt->bwt_word_count);
	EXPECT_EQ(0, memcmp(a.bwt->bwt_words, b.bwt->bwt_words, 4 * (size_t)a.bwt->bwt_word_count));
	EXPECT_EQ(0, memcmp(a.bwt->sa_samples, b.bwt->sa_samples, 4 * (size_t)a.bwt->sa_count));
	std::vector<uint8_t> t = expected_text(bases);
	for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(genome_base(a.bwt, i), t[i]);
	// The replaced stretch is not a constant base.
	uint32_t seen[4] = {0, 0, 0, 0};
	for (uint32_t i = 3000; i < 3200; ++i) ++seen[genome_base(a.bwt, i)];
	for (int c = 0; c < 4; ++c) EXPECT_GT(seen[c], 0u);
}

TEST(Bwt, LowerCasePacksLikeUpperCase)
{
	TempDir tmp;
	const std::string &dir = tmp.path;
	std::mt19937 rng(9);
	std::string upper = random_bases(rng, 777, 0.05);
	std::string lower = upper;
	for (char &ch : lower) ch = (char)tolower(ch);
	BwtHolder a(build_from_records(dir, "u.fa", {{"chr1", upper}}));
	BwtHolder b(build_from_records(dir, "l.fa", {{"chr1", lower}}));
	EXPECT_EQ(0, memcmp(a.bwt->packed_seq, b.bwt->packed_seq, (777 + 3) / 4));
	EXPECT_EQ(a.bwt->primary, b.bwt->primary);
	EXPECT_EQ(0, memcmp(a.bwt->bwt_words, b.bwt->bwt_words, 4 * (size_t)a.bwt->bwt_word_count));
	EXPECT_EQ(0, memcmp(a.bwt->sa_samples, b.bwt->sa_samples, 4 * (size_t)a.bwt->sa_count));
}

TEST(Bwt, RecordsConcatenatedDuplicatesIncluded)
{
	TempDir tmp;
	const std::string &dir = tmp.path;
	std::mt19937 rng(21);
	std::string s1 = random_bases(rng, 100), s2 = random_bases(rng, 37, 0.2), s3 = random_bases(rng, 90);
	// Two records share the name chr1: both belong to the text. An empty record adds nothing.
	BwtHolder h(build_from_records(dir, "g.fa", {{"chr1", s1}, {"chr2", s2}, {"empty", ""}, {"chr1", s3}}));
	check_against_naive(h.bwt, expected_text(s1 + s2 + s3));
}

TEST(Bwt, GzipAndCrlfInputGiveTheSameText)
{
	TempDir tmp;
	const std::string &dir = tmp.path;
	std::mt19937 rng(33);
	std::string s = random_bases(rng, 500, 0.02);
	std::string text = fasta_text({{"a", s.substr(0, 250)}, {"b", s.substr(250)}}, 70);
	std::string crlf;
	for (char ch : text) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
	write_text_file(dir + "/crlf.fa", crlf);
	gzFile gz = gzopen((dir + "/g.fa.gz").c_str(), "wb");
	ASSERT_NE(gz, nullptr);
	ASSERT_EQ(gzwrite(gz, text.data(), (unsigned)text.size()), (int)text.size());
	gzclose(gz);
	BwtHolder a(build_genome_bwt((dir + "/g.fa.gz").c_str()));
	BwtHolder b(build_genome_bwt((dir + "/crlf.fa").c_str()));
	check_against_naive(a.bwt, expected_text(s));
	check_against_naive(b.bwt, expected_text(s));
}

TEST(Bwt, WriteLoadRoundTrip)
{
	TempDir tmp;
	const std::string &dir = tmp.path;
	std::mt19937 rng(5);
	std::string s = random_bases(rng, 1234, 0.01);
	BwtHolder h(build_from_records(dir, "g.fa", {{"chr1", s}}));
	std::string path = dir + "/g.bwt";
	write_genome_bwt(path.c_str(), h.bwt);
	const GenomeBwt *b = h.bwt;
	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_EQ((size_t)st.st_size, 4 + (1234 + 3) / 4 + 4 + 16 + 4 + 4 * (size_t)b->bwt_word_count + 4 +
	                                  4 * (size_t)b->sa_count);

	// Item order: n, packed text, primary, c_table[1..4], word count, words, sample count, samples.
	std::string bytes = read_file(path);
	uint32_t v;
	memcpy(&v, bytes.data(), 4);
	EXPECT_EQ(v, 1234u);
	EXPECT_EQ(0, memcmp(bytes.data() + 4, b->packed_seq, 309));
	memcpy(&v, bytes.data() + 313, 4);
	EXPECT_EQ(v, b->primary);
	EXPECT_EQ(0, memcmp(bytes.data() + 317, b->c_table + 1, 16));

	GenomeBwt loaded;
	testing::internal::CaptureStderr();
	load_genome_bwt(path.c_str(), &loaded);
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(err, "Gonna allocate 0 MB for bwt...\nGonna allocate 0 MB for SA...\n");
	EXPECT_EQ(loaded.seq_len, b->seq_len);
	EXPECT_EQ(loaded.primary, b->primary);
	for (int c = 0; c < 5; ++c) EXPECT_EQ(loaded.c_table[c], b->c_table[c]);
	ASSERT_EQ(loaded.bwt_word_count, b->bwt_word_count);
	ASSERT_EQ(loaded.sa_count, b->sa_count);
	EXPECT_EQ(0, memcmp(loaded.packed_seq, b->packed_seq, 309));
	EXPECT_EQ(0, memcmp(loaded.bwt_words, b->bwt_words, 4 * (size_t)b->bwt_word_count));
	EXPECT_EQ(0, memcmp(loaded.sa_samples, b->sa_samples, 4 * (size_t)b->sa_count));
	check_against_naive(&loaded, expected_text(s));
	release_genome_bwt(&loaded);

	// The text is used in place in the mapped file; so are the samples where the text's length
	// puts them on a 4-byte boundary (n = 1280), else they are read (n = 1234 above).
	std::string s2 = random_bases(rng, 1280, 0.01);
	BwtHolder h2(build_from_records(dir, "g2.fa", {{"chr1", s2}}));
	for (const GenomeBwt *bwt : {b, (const GenomeBwt *)h2.bwt}) {
		write_genome_bwt(path.c_str(), bwt);
		testing::internal::CaptureStderr();
		load_genome_bwt(path.c_str(), &loaded);
		testing::internal::GetCapturedStderr();
		const uint8_t *m = (const uint8_t *)loaded.mapping;
		ASSERT_NE(m, nullptr);
		EXPECT_EQ(loaded.packed_seq, m + 4);
		const bool samples_mapped = (const uint8_t *)loaded.sa_samples > m && (const uint8_t *)loaded.sa_samples < m + loaded.mapping_bytes;
		EXPECT_EQ(samples_mapped, bwt != b);
		EXPECT_EQ(0, memcmp(loaded.sa_samples, bwt->sa_samples, 4 * (size_t)bwt->sa_count));
		check_against_naive(&loaded, expected_text(bwt == b ? s : s2));
		release_genome_bwt(&loaded);
		EXPECT_EQ(loaded.mapping, nullptr);
	}
}

TEST(BwtDeathTest, TruncatedFileIsAReadError)
{
	TempDir tmp;
	const std::string &dir = tmp.path;
	std::mt19937 rng(6);
	std::string s = random_bases(rng, 300);
	BwtHolder h(build_from_records(dir, "g.fa", {{"chr1", s}}));
	std::string path = dir + "/g.bwt";
	write_genome_bwt(path.c_str(), h.bwt);
	std::string bytes = read_file(path);
	// Cuts in every item: n, packed text, primary, c_table, word count, words, sample count, samples.
	const size_t cuts[] = {bytes.size() - 1, bytes.size() - 4 * (size_t)h.bwt->sa_count - 2, 330, 100, 80, 50,
	                       2, 0};
	for (size_t cut : cuts) {
		std::string cut_path = dir + "/cut" + std::to_string(cut) + ".bwt";
		write_text_file(cut_path, bytes.substr(0, cut));
		GenomeBwt loaded;
		EXPECT_EXIT(load_genome_bwt(cut_path.c_str(), &loaded), ::testing::ExitedWithCode(1),
		            "fread, wrong file")
		    << "cut at " << cut;
	}
}

TEST(BwtDeathTest, InconsistentSizesAreRefused)
{
	TempDir tmp;
	const std::string &dir = tmp.path;
	std::mt19937 rng(8);
	BwtHolder h(build_from_records(dir, "g.fa", {{"chr1", random_bases(rng, 200)}}));
	std::string path = dir + "/g.bwt";
	write_genome_bwt(path.c_str(), h.bwt);
	std::string bytes = read_file(path);
	// A word count that does not match n, and an n larger than the file.
	std::string bad = bytes;
	const size_t wc_at = 4 + 50 + 4 + 16;
	uint32_t wc;
	memcpy(&wc, bad.data() + wc_at, 4);
	wc -= 1;
	memcpy(&bad[wc_at], &wc, 4);
	write_text_file(dir + "/bad1.bwt", bad);
	GenomeBwt loaded;
	EXPECT_EXIT(load_genome_bwt((dir + "/bad1.bwt").c_str(), &loaded), ::testing::ExitedWithCode(1),
	            "fread, wrong file");
	bad = bytes;
	uint32_t huge = 0xF0000000u;
	memcpy(&bad[0], &huge, 4);
	write_text_file(dir + "/bad2.bwt", bad);
	EXPECT_EXIT(load_genome_bwt((dir + "/bad2.bwt").c_str(), &loaded), ::testing::ExitedWithCode(1),
	            "fread, wrong file");
}

// Every checkpoint, every stored character word, the totals, the base counts and the
// samples are checked at load: one changed value anywhere is refused.
TEST(BwtDeathTest, CorruptTablesAreRefused)
{
	TempDir tmp;
	const std::string &dir = tmp.path;
	std::mt19937 rng(9);
	const uint32_t n = 200;  // 3 full blocks and 8 characters: 33 words
	BwtHolder h(build_from_records(dir, "g.fa", {{"chr1", random_bases(rng, n)}}));
	ASSERT_EQ(h.bwt->bwt_word_count, 33u);
	std::string path = dir + "/g.bwt";
	write_genome_bwt(path.c_str(), h.bwt);
	const std::string bytes = read_file(path);
	const size_t c_table_at = 4 + 50 + 4, words_at = c_table_at + 16 + 4;
	const size_t samples_at = words_at + 4 * 33 + 4;

	struct Change {
		size_t at;
		uint32_t xor_mask;
	};
	std::vector<Change> changes;
	for (size_t c = 0; c < 4; ++c) changes.push_back({c_table_at + 4 * c, 1});
	for (uint32_t w = 0; w < 33; ++w) {
		const bool checkpoint = w % 8 < 4 || w >= 29;
		// A count off by one, or the first character of a word changed (A<->G, C<->T).
		changes.push_back({words_at + 4 * w, checkpoint ? 1u : 0x80000000u});
	}
	changes.push_back({4 + 50, h.bwt->primary});            // the marker in row 0 (a fuzzer finding)
	changes.push_back({4 + 50, h.bwt->primary ^ (n + 1)}); // the marker beyond the last row
	changes.push_back({samples_at, 1});                    // sample of the marker's row
	uint32_t sample5;
	memcpy(&sample5, bytes.data() + samples_at + 20, 4);
	changes.push_back({samples_at + 20, sample5 ^ n});     // sample 5 becomes n
	for (const Change &c : changes) {
		std::string bad = bytes;
		uint32_t v;
		memcpy(&v, bad.data() + c.at, 4);
		v ^= c.xor_mask;
		memcpy(&bad[c.at], &v, 4);
		write_text_file(dir + "/bad.bwt", bad);
		GenomeBwt loaded;
		EXPECT_EXIT(load_genome_bwt((dir + "/bad.bwt").c_str(), &loaded), ::testing::ExitedWithCode(1),
		            "fread, wrong file")
		    << "change at byte " << c.at;
	}
	write_text_file(dir + "/grown.bwt", bytes + std::string(1, '\0'));
	GenomeBwt loaded;
	EXPECT_EXIT(load_genome_bwt((dir + "/grown.bwt").c_str(), &loaded), ::testing::ExitedWithCode(1),
	            "fread, wrong file");
}

TEST(BwtDeathTest, EmptyOrMissingGenomeStopsTheBuild)
{
	TempDir tmp;
	const std::string &dir = tmp.path;
	write_text_file(dir + "/empty.fa", "");
	write_text_file(dir + "/nobase.fa", ">chr1\n\n>chr2\n");
	// Each error names the file.
	EXPECT_EXIT(build_genome_bwt((dir + "/empty.fa").c_str()), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] No genome base in file \\[.*/empty\\.fa\\]\n$");
	EXPECT_EXIT(build_genome_bwt((dir + "/nobase.fa").c_str()), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] No genome base in file \\[.*/nobase\\.fa\\]\n$");
	EXPECT_EXIT(build_genome_bwt((dir + "/missing.fa").c_str()), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Unable to open file \\[.*/missing\\.fa\\] to read\n$");
	EXPECT_EXIT(compute_bwt(nullptr), ::testing::ExitedWithCode(1), "BWT was not allocated");
}

}  // namespace
