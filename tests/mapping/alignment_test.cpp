// Unit tests of the transcript side without a k-mer table: workspace, sampling, the score
// model, the ungapped and banded extensions against brute-force references, hit-group
// scoring, the shared re-extension budget and the pass logic on hand-made hit lists.
#include <gtest/gtest.h>
#include <algorithm>
#include <climits>
#include <random>
#include <string>
#include <vector>
#include "mapping/mapping.h"
#include "mapping_test_util.h"

using namespace mtest;

namespace {


// ---- workspace ----

TEST(Workspace, StartingCapacities)
{
	WorkspacePtr ws(create_mapping_workspace(nullptr));
	EXPECT_EQ(ws->seeds.hit_cap, 256);
	EXPECT_EQ(ws->seeds.kmer_cap, 8);
	EXPECT_EQ(ws->candidates.capacity, 64);
	EXPECT_EQ(ws->alignments.capacity, 64);
	EXPECT_EQ(ws->dp.cell_bytes, 40000);
	EXPECT_EQ(ws->dp.row_capacity, 100);
	EXPECT_EQ(ws->alignments.count, 0);
	EXPECT_EQ(ws->alignments.best, 0);
	EXPECT_EQ(ws->candidates.count, 0);
}

TEST(Workspace, ListsDoubleAndKeepBest)
{
	WorkspacePtr ws(create_mapping_workspace(nullptr));
	for (int i = 0; i < 200; ++i) append_alignment(&ws->alignments, (uint32_t)i, i % 50);
	EXPECT_EQ(ws->alignments.count, 200);
	EXPECT_EQ(ws->alignments.capacity, 256);
	EXPECT_EQ(ws->alignments.best, 49);
	for (int i = 0; i < 200; ++i) {
		EXPECT_EQ(ws->alignments.records[i].position, (uint32_t)i);
		EXPECT_EQ(ws->alignments.records[i].score, i % 50);
	}
	for (int i = 0; i < 65; ++i) append_candidate(&ws->candidates, (uint32_t)i, i, 2 * i, 3 * i);
	EXPECT_EQ(ws->candidates.capacity, 128);
	EXPECT_EQ(ws->candidates.records[64].diagonal, 64u);
	EXPECT_EQ(ws->candidates.records[64].length, 128);
	// A negative score never lowers best below its reset value.
	ws->alignments.count = 0;
	ws->alignments.best = 0;
	append_alignment(&ws->alignments, 7, -4);
	EXPECT_EQ(ws->alignments.best, 0);
}

TEST(Workspace, DpMatrixRowsGrowOnly)
{
	WorkspacePtr ws(create_mapping_workspace(nullptr));
	DpMatrix *m = &ws->dp;
	int32_t **rows = dp_matrix_rows(m, 50, 60);
	EXPECT_EQ(m->cell_bytes, 40000);
	EXPECT_EQ(m->row_capacity, 100);
	for (int i = 0; i < 50; ++i) EXPECT_EQ(rows[i], m->cells + i * 60);
	rows = dp_matrix_rows(m, 201, 150);
	EXPECT_EQ(m->cell_bytes, 201 * 150 * 4);
	EXPECT_EQ(m->row_capacity, 201);
	for (int i = 0; i < 201; ++i) EXPECT_EQ(rows[i], m->cells + i * 150);
	rows[200][149] = 5;  // the last cell is inside the buffer (ASan checks it)
	dp_matrix_rows(m, 10, 10);
	EXPECT_EQ(m->cell_bytes, 201 * 150 * 4);
	EXPECT_EQ(m->row_capacity, 201);
}

// ---- sampling ----

static std::vector<int32_t> sampled_offsets(int32_t len, int32_t k)
{
	int32_t n, s;
	kmer_sampling(len, k, &n, &s);
	std::vector<int32_t> out;
	for (int32_t i = 0; i < n; ++i) out.push_back(i * s);
	return out;
}

TEST(Sampling, WorkedExamples)
{
	EXPECT_EQ(sampled_offsets(98, 29), (std::vector<int32_t>{0, 15, 30, 45, 60}));
	EXPECT_EQ(sampled_offsets(43, 29), (std::vector<int32_t>{0, 14}));
	EXPECT_EQ(sampled_offsets(29, 29), (std::vector<int32_t>{0, 0}));
	EXPECT_EQ(sampled_offsets(44, 29), (std::vector<int32_t>{0, 15}));
	EXPECT_EQ(sampled_offsets(100, 29), (std::vector<int32_t>{0, 15, 30, 45, 60}));
	EXPECT_EQ(sampled_offsets(150, 29), (std::vector<int32_t>{0, 15, 30, 45, 60, 75, 90, 105, 120}));
	EXPECT_EQ(sampled_offsets(40, 19), (std::vector<int32_t>{0, 10, 20}));
	EXPECT_EQ(sampled_offsets(20, 19), (std::vector<int32_t>{0, 1}));
	// Shorter than k: no k-mer at all.
	EXPECT_TRUE(sampled_offsets(28, 29).empty());
	EXPECT_TRUE(sampled_offsets(1, 29).empty());
}

TEST(Sampling, EveryKmerInsideTheRead)
{
	for (int32_t k = 5; k <= 32; ++k) {
		for (int32_t len = k; len < 400; ++len) {
			int32_t n, s;
			kmer_sampling(len, k, &n, &s);
			ASSERT_GE(n, 2);
			EXPECT_LE((n - 1) * s + k, len) << "k " << k << " len " << len;
			EXPECT_GE(s, 0);
		}
	}
}

// ---- score model ----

TEST(ScoreMatrix, Values)
{
	const char *letters = "ACGTacgtNnX-";
	for (const char *a = letters; *a; ++a)
		for (const char *b = letters; *b; ++b) {
			const uint32_t ca = BASE_CODE[(uint8_t)*a], cb = BASE_CODE[(uint8_t)*b];
			const int expected = (ca == 4 || cb == 4) ? -1 : (ca == cb ? 1 : -2);
			EXPECT_EQ(SCORE_MATRIX[ca][cb], expected) << *a << *b;
			EXPECT_EQ(MISMATCH_MATRIX[ca][cb], (ca < 4 && ca == cb) ? 0 : 1) << *a << *b;
		}
}

TEST(Threshold, Values)
{
	EXPECT_EQ(alignment_threshold(98, 98, 5), 83);
	EXPECT_EQ(alignment_threshold(98, 95, 5), 89);   // 3 clipped: allowance 2
	EXPECT_EQ(alignment_threshold(98, 93, 5), 90);   // 5 clipped: allowance 1
	EXPECT_EQ(alignment_threshold(98, 88, 5), 88);   // 10 clipped: none
	EXPECT_EQ(alignment_threshold(98, 40, 5), 40);
	EXPECT_EQ(alignment_threshold(98, 98, 0), 98);
}

// ---- ungapped extension ----

struct Ext {
	int32_t score, taken, cost;
	bool operator==(const Ext &o) const { return score == o.score && taken == o.taken && cost == o.cost; }
};

static Ext run_right(const std::string &ref, const std::string &read, int32_t n, int32_t X, int32_t B)
{
	Ext e{};
	e.cost = extend_ungapped_right(ref.data(), read.data(), n, X, B, &e.score, &e.taken);
	return e;
}

static Ext run_left(const std::string &ref, const std::string &read, int32_t n, int32_t X, int32_t B)
{
	Ext e{};
	e.cost = extend_ungapped_left(ref.data() + ref.size(), read.data() + read.size(), n, X, B, &e.score, &e.taken);
	return e;
}

// The extension rule stated over every extension length l = 0 .. n, each scored on its own
// (s(l), the score of the first l bases): the walk reaches length l when no shorter length
// fell more than X below the best score before it; the whole stretch counts when it is
// reached and costs (l - s(l)) at most B; otherwise the best reached score, the longest of
// its lengths, when that costs at most B; otherwise nothing.
static Ext brute_force_extend(const std::string &ref, const std::string &read, int32_t n, int32_t X, int32_t B,
                              bool left)
{
	auto base_score = [&](int32_t k) {  // the k-th base taken, 0-based
		const size_t i = left ? ref.size() - 1 - (size_t)k : (size_t)k;
		const size_t j = left ? read.size() - 1 - (size_t)k : (size_t)k;
		return SCORE_MATRIX[BASE_CODE[(uint8_t)ref[i]]][BASE_CODE[(uint8_t)read[j]]];
	};
	std::vector<int32_t> s((size_t)n + 1);
	for (int32_t l = 0; l <= n; ++l)
		for (int32_t k = 0; k < l; ++k) s[(size_t)l] += base_score(k);
	// The walk ends after the first length that falls more than X below the best before it.
	int32_t last = n;
	for (int32_t m = 1; m < n && last == n; ++m) {
		const int32_t best = *std::max_element(s.begin(), s.begin() + m + 1);
		if (best - s[(size_t)m] > X) last = m;
	}
	auto reached = [&](int32_t l) { return l <= last; };
	if (reached(n) && n - s[(size_t)n] <= B) return Ext{s[(size_t)n], n, n - s[(size_t)n]};
	Ext best{0, 0, 0};
	for (int32_t l = 1; l <= n && reached(l); ++l)
		if (s[(size_t)l] >= best.score) best = Ext{s[(size_t)l], l, l - s[(size_t)l]};
	return best.cost <= B ? best : Ext{0, 0, 0};
}

TEST(UngappedExtension, MatchesBaseByBaseRule)
{
	std::mt19937 rng(7);
	const char letters[] = "ACGTACGTACGTacgtNR";
	for (int iter = 0; iter < 20000; ++iter) {
		const int32_t n = (int32_t)(rng() % 101);
		std::string ref(n, 'A'), read(n, 'A');
		// Now and then an N or R on both sides: equal bytes that are no match.
		for (int32_t i = 0; i < n; ++i) ref[i] = letters[rng() % (rng() % 8 ? 12 : 18)];
		read = ref;
		// Few or many differences: long equal runs, case changes, N on either side.
		for (int e = (int)(rng() % 6); e > 0 && n > 0; --e) read[rng() % n] = letters[rng() % 18];
		for (int e = (int)(rng() % 2); e > 0 && n > 0; --e) ref[rng() % n] = letters[rng() % 18];
		const int32_t X = (int32_t)(rng() % 10), B = (int32_t)(rng() % 16);
		ASSERT_EQ(run_right(ref, read, n, X, B), brute_force_extend(ref, read, n, X, B, false)) << ref << " " << read;
		ASSERT_EQ(run_left(ref, read, n, X, B), brute_force_extend(ref, read, n, X, B, true)) << ref << " " << read;
	}
}

TEST(UngappedExtension, NoDropNoBudget)
{
	// X = 0 and B = 0: the run of matches up to the first mismatch or N, or all of it.
	EXPECT_EQ(run_right("ACGTACGTAC", "ACGTACGTAC", 10, 0, 0), (Ext{10, 10, 0}));
	EXPECT_EQ(run_right("ACGTACGTAC", "ACGTTCGTAC", 10, 0, 0), (Ext{4, 4, 0}));
	EXPECT_EQ(run_right("ACGTACGTAC", "ACGTNCGTAC", 10, 0, 0), (Ext{4, 4, 0}));
	EXPECT_EQ(run_right("ACGTACGTAC", "TCGTACGTAC", 10, 0, 0), (Ext{0, 0, 0}));
	EXPECT_EQ(run_right("acgtacgtac", "ACGTACGTAG", 10, 0, 0), (Ext{9, 9, 0}));
	EXPECT_EQ(run_right("ACGTACGTAC", "ACGTACGTAC", 6, 0, 0), (Ext{6, 6, 0}));
	EXPECT_EQ(run_left("ACGTACGTAC", "ACGTACGTAC", 10, 0, 0), (Ext{10, 10, 0}));
	EXPECT_EQ(run_left("ACGTACGTAC", "ACGTACTTAC", 10, 0, 0), (Ext{3, 3, 0}));
	EXPECT_EQ(run_left("ACGTACGTAC", "ACGTACGTAG", 10, 0, 0), (Ext{0, 0, 0}));
	EXPECT_EQ(run_left("ACGTACGTAC", "TCGTACGTAC", 10, 0, 0), (Ext{9, 9, 0}));
	EXPECT_EQ(run_right("A", "A", 0, 0, 0), (Ext{0, 0, 0}));
}

TEST(UngappedExtension, XDropAndBudget)
{
	// Mismatches at 3, 4, 5: X = 5 stops after the third (drop 6), the peak 3 stays.
	EXPECT_EQ(run_right("ACGTACGTAC", "ACGAGAGTAC", 10, 5, 9), (Ext{3, 3, 0}));
	// X = 6 runs through, and the whole stretch (score 1) is within B = 9.
	EXPECT_EQ(run_right("ACGTACGTAC", "ACGAGAGTAC", 10, 6, 9), (Ext{1, 10, 9}));
	// B = 8: the whole stretch is too dear, the peak (3 over 3) is free.
	EXPECT_EQ(run_right("ACGTACGTAC", "ACGAGAGTAC", 10, 6, 8), (Ext{3, 3, 0}));
	// A mismatch first: the score is back to 0 after 3 bases, a later equal peak, so the
	// longer extension counts (cost 3, within B = 3; with B = 2 nothing is taken).
	EXPECT_EQ(run_right("ACGT", "TCGA", 4, 10, 3), (Ext{0, 3, 3}));
	EXPECT_EQ(run_right("ACGT", "TCGA", 4, 10, 2), (Ext{0, 0, 0}));
	// Peak below peak length - B: nothing.
	EXPECT_EQ(run_right("ACGTACGTAC", "TCGAGCGTAT", 10, 20, 2), (Ext{0, 0, 0}));
	// Negative budget takes nothing.
	EXPECT_EQ(run_right("ACGTACGTAC", "ACGTACGTAC", 10, 20, -1), (Ext{0, 0, 0}));
}

// Brute force without X-drop: the whole stretch if it costs at most B, else the best prefix
// (highest score, the longest of equals), if it costs at most B, else nothing.
static Ext brute_ungapped(const std::string &ref, const std::string &read, int32_t n, int32_t B)
{
	int32_t score = 0, peak = 0, peak_len = 0;
	for (int32_t i = 0; i < n; ++i) {
		score += SCORE_MATRIX[BASE_CODE[(uint8_t)ref[i]]][BASE_CODE[(uint8_t)read[i]]];
		if (score >= peak) {
			peak = score;
			peak_len = i + 1;
		}
	}
	if (score >= n - B) return Ext{score, n, n - score};
	if (peak < peak_len - B) return Ext{0, 0, 0};
	return Ext{peak, peak_len, peak_len - peak};
}

TEST(UngappedExtension, MatchesBruteForceWithoutDrop)
{
	std::mt19937 rng(7);
	for (int iter = 0; iter < 3000; ++iter) {
		const int32_t n = 1 + (int32_t)(rng() % 40);
		std::string ref = random_bases(rng, (size_t)n), read = ref;
		const int edits = (int)(rng() % 8);
		for (int e = 0; e < edits; ++e) {
			size_t p = rng() % (size_t)n;
			read[p] = (rng() % 5 == 0) ? 'N' : other_base(read[p], rng());
		}
		const int32_t B = (int32_t)(rng() % 20) - 2;
		EXPECT_EQ(run_right(ref, read, n, 1000, B), brute_ungapped(ref, read, n, B));
		std::string rref(ref.rbegin(), ref.rend()), rread(read.rbegin(), read.rend());
		EXPECT_EQ(run_left(rref, rread, n, 1000, B), brute_ungapped(ref, read, n, B));
	}
}

// ---- banded extension ----

struct Banded {
	int32_t score, ref_used, read_used, cost;
	bool operator==(const Banded &o) const
	{
		return score == o.score && ref_used == o.ref_used && read_used == o.read_used && cost == o.cost;
	}
};

static std::ostream &operator<<(std::ostream &os, const Banded &b)
{
	return os << "{" << b.score << "," << b.ref_used << "," << b.read_used << "," << b.cost << "}";
}

static Banded banded_right(DpMatrix *m, const std::string &ref, const std::string &read, int32_t rows,
                           int32_t cols, int32_t band, int32_t X, int32_t B)
{
	Banded b{};
	b.cost = banded_extend_right(m, ref.data(), read.data(), rows, cols, band, X, B, &b.score, &b.ref_used,
	                             &b.read_used);
	return b;
}

static Banded banded_left(DpMatrix *m, const std::string &ref, const std::string &read, int32_t rows,
                          int32_t cols, int32_t band, int32_t X, int32_t B)
{
	Banded b{};
	b.cost = banded_extend_left(m, ref.data() + ref.size(), read.data() + read.size(), rows, cols, band, X, B,
	                            &b.score, &b.ref_used, &b.read_used);
	return b;
}

TEST(BandedExtension, WorkedExamples)
{
	WorkspacePtr ws(create_mapping_workspace(nullptr));
	DpMatrix *m = &ws->dp;
	EXPECT_EQ(banded_right(m, "ACGTACGTAC", "ACGACGTAC", 10, 9, 3, 12, 15), (Banded{6, 10, 9, 3}));
	EXPECT_EQ(banded_right(m, "ACGACGTAC", "ACGTACGTAC", 9, 10, 3, 12, 15), (Banded{6, 9, 10, 4}));
	EXPECT_EQ(banded_right(m, "ACGTACGTAC", "ACGTACGTAC", 10, 10, 3, 12, 15), (Banded{10, 10, 10, 0}));
	const std::string ref = "ACGT" + std::string(16, 'T'), read = "ACG" + std::string(17, 'A');
	EXPECT_EQ(banded_right(m, ref, read, 20, 20, 3, 12, 15), (Banded{3, 3, 3, 0}));
	// Mirrored sequences give the same through the left version.
	auto rev = [](std::string s) { std::reverse(s.begin(), s.end()); return s; };
	EXPECT_EQ(banded_left(m, rev("ACGTACGTAC"), rev("ACGACGTAC"), 10, 9, 3, 12, 15), (Banded{6, 10, 9, 3}));
	EXPECT_EQ(banded_left(m, rev("ACGACGTAC"), rev("ACGTACGTAC"), 9, 10, 3, 12, 15), (Banded{6, 9, 10, 4}));
	EXPECT_EQ(banded_left(m, rev(ref), rev(read), 20, 20, 3, 12, 15), (Banded{3, 3, 3, 0}));
	// Nothing to extend.
	EXPECT_EQ(banded_right(m, "ACGT", "ACGT", 0, 4, 3, 12, 15), (Banded{0, 0, 0, 0}));
	EXPECT_EQ(banded_right(m, "ACGT", "ACGT", 4, 0, 3, 12, 15), (Banded{0, 0, 0, 0}));
}

TEST(BandedExtension, XDropStopsBeforeRecovery)
{
	WorkspacePtr ws(create_mapping_workspace(nullptr));
	std::mt19937 rng(11);
	// 20 matches, 4 mismatches, 30 matches. Without a drop the whole read side is reached:
	// the ungapped path alone scores 50 - 8 = 42 >= 54 - 15 (gaps may do better), and no row
	// falls more than 8 below the peak of 20. With X = 1 the row after the peak (at best
	// 18: a mismatch or a gap) ends the extension at the peak.
	std::string ref = random_bases(rng, 54), read = ref;
	for (int i = 20; i < 24; ++i) read[i] = other_base(ref[i]);
	const Banded full = banded_right(&ws->dp, ref, read, 54, 54, 3, 12, 15);
	EXPECT_EQ(full.read_used, 54);
	EXPECT_GE(full.score, 42);
	EXPECT_EQ(full.cost, 54 - full.score);
	EXPECT_EQ(banded_right(&ws->dp, ref, read, 54, 54, 3, 1, 15), (Banded{20, 20, 20, 0}));
	// The same read side without the mismatches is reached whatever X.
	EXPECT_EQ(banded_right(&ws->dp, ref, ref, 54, 54, 3, 1, 15), (Banded{54, 54, 54, 0}));
}

TEST(BandedExtension, ZeroBandIsUngapped)
{
	WorkspacePtr ws(create_mapping_workspace(nullptr));
	std::mt19937 rng(5);
	for (int iter = 0; iter < 500; ++iter) {
		const int32_t n = 1 + (int32_t)(rng() % 30);
		std::string ref = random_bases(rng, (size_t)n), read = ref;
		for (int e = (int)(rng() % 4); e > 0; --e) read[rng() % (size_t)n] = other_base('A', rng());
		const int32_t B = (int32_t)(rng() % 8);
		// On the main diagonal alone the whole-read end is the ungapped whole stretch, and the
		// peak is the best prefix; compare with the brute-force ungapped rules.
		Banded b = banded_right(&ws->dp, ref, read, n, n, 0, 1000, B);
		int32_t score = 0, peak = 0, peak_len = 0;
		for (int32_t i = 0; i < n; ++i) {
			score += SCORE_MATRIX[BASE_CODE[(uint8_t)ref[i]]][BASE_CODE[(uint8_t)read[i]]];
			if (score > peak) {  // strict: the earliest peak wins here
				peak = score;
				peak_len = i + 1;
			}
		}
		Banded expect;
		if (score >= n - B) expect = Banded{score, n, n, n - score};
		else if (peak < peak_len - B) expect = Banded{0, 0, 0, 0};
		else expect = Banded{peak, peak_len, peak_len, peak_len - peak};
		EXPECT_EQ(b, expect) << ref << " " << read << " B " << B;
	}
}

// Reference: the full matrix of the band |i - j| <= band (cells outside are unreachable),
// gap -3, no X-drop; the earliest strict maximum is the local end and the best cell of the
// last column (first row of equals) the whole-read end.
static Banded naive_banded(const std::string &ref, const std::string &read, int32_t rows, int32_t cols,
                           int32_t band, int32_t B)
{
	const int32_t NEG = INT_MIN / 4;
	std::vector<std::vector<int32_t>> H(rows + 1, std::vector<int32_t>(cols + 1, NEG));
	auto in_band = [&](int32_t i, int32_t j) { return std::abs(i - j) <= band; };
	for (int32_t i = 0; i <= rows; ++i)
		if (in_band(i, 0)) H[i][0] = -3 * i;
	for (int32_t j = 0; j <= cols; ++j)
		if (in_band(0, j)) H[0][j] = -3 * j;
	int32_t peak = 0, peak_row = 0, peak_col = 0;
	for (int32_t i = 1; i <= rows; ++i)
		for (int32_t j = 1; j <= cols; ++j) {
			if (!in_band(i, j)) continue;
			int32_t v = H[i - 1][j - 1] + SCORE_MATRIX[BASE_CODE[(uint8_t)ref[i - 1]]][BASE_CODE[(uint8_t)read[j - 1]]];
			v = std::max(v, H[i - 1][j] - 3);
			v = std::max(v, H[i][j - 1] - 3);
			H[i][j] = v;
			if (v > peak) {
				peak = v;
				peak_row = i;
				peak_col = j;
			}
		}
	int32_t full = -3 * cols, full_row = 0;
	for (int32_t r = 1; r <= rows; ++r)
		if (in_band(r, cols) && H[r][cols] > full) {
			full = H[r][cols];
			full_row = r;
		}
	if (full >= cols - B) return Banded{full, full_row, cols, cols - full};
	if (peak < peak_col - B) return Banded{0, 0, 0, 0};
	return Banded{peak, peak_row, peak_col, peak_col - peak};
}

TEST(BandedExtension, MatchesFullMatrixReference)
{
	WorkspacePtr ws(create_mapping_workspace(nullptr));
	std::mt19937 rng(3);
	for (int iter = 0; iter < 3000; ++iter) {
		const int32_t n = 1 + (int32_t)(rng() % 60);
		std::string ref = random_bases(rng, (size_t)n + 8), read;
		// The read: the reference with a few substitutions, insertions and deletions.
		for (int32_t i = 0; i < (int32_t)ref.size(); ++i) {
			const unsigned r = rng() % 100;
			if (r < 4) continue;                                   // deletion
			if (r < 8) read += "ACGTN"[rng() % 5];                 // insertion
			read += (r < 14) ? other_base(ref[i], rng()) : ref[i];  // substitution or match
		}
		if (iter % 3 == 0) read = random_bases(rng, read.size());  // unrelated: the extension gives up early
		const int32_t band = (int32_t)(rng() % 5);
		const int32_t cols = std::min<int32_t>((int32_t)read.size(), 1 + (int32_t)(rng() % 60));
		const int32_t rows = std::min<int32_t>({(int32_t)ref.size(), cols + band, 1 + (int32_t)(rng() % 70)});
		const int32_t B = (int32_t)(rng() % 24);
		const Banded got = banded_right(&ws->dp, ref, read, rows, cols, band, 1 << 20, B);
		EXPECT_EQ(got, naive_banded(ref, read, rows, cols, band, B))
		    << ref << " " << read << " rows " << rows << " cols " << cols << " band " << band << " B " << B;
		std::string rref(ref.rbegin(), ref.rend()), rread(read.rbegin(), read.rend());
		EXPECT_EQ(banded_left(&ws->dp, rref, rread, rows, cols, band, 1 << 20, B),
		          naive_banded(ref, read, rows, cols, band, B));
	}
}

// ---- hit groups and passes on a hand-made transcriptome ----

// A read of 98 bases taken from transcript 0 at offset 100, with one mismatch at read offset 50.
struct ExampleRead {
	std::mt19937 rng{2024};
	std::string tx0 = random_bases(rng, 400);
	std::string tx1 = random_bases(rng, 300);
	std::string read;
	ExampleRead()
	{
		read = tx0.substr(100, 98);
		read[50] = other_base(read[50]);
	}
};

TEST(HitGroup, WorkedExampleScores95)
{
	ExampleRead ex;
	FakeIndex fx({ex.tx0, ex.tx1}, 29);
	WorkspacePtr ws(create_mapping_workspace(&fx.index));
	ReadRecord r = make_read(ex.read);
	// k-mers at 30 and 45 contain the mismatch: the group has the hits at 0, 15 and 60.
	const std::vector<SeedHit> group = {{100, 0}, {100, 15}, {100, 60}};
	align_hit_group(&r, group.data(), 3, 5, 39, 5, ws.get());
	ASSERT_EQ(ws->alignments.count, 1);
	EXPECT_EQ(ws->alignments.records[0].position, 100u);
	EXPECT_EQ(ws->alignments.records[0].score, 95);
	EXPECT_EQ(ws->alignments.best, 95);
	EXPECT_EQ(ws->candidates.count, 0);

	// With max_err 0 (pass 1 parameters) the mismatch in the gap exceeds the budget at once.
	reset_lists(ws.get());
	align_hit_group(&r, group.data(), 3, 0, 39, 0, ws.get());
	EXPECT_EQ(ws->alignments.count, 0);
	EXPECT_EQ(ws->candidates.count, 0);
}

TEST(HitGroup, BudgetExceededInGapDropsTheGroup)
{
	ExampleRead ex;
	std::string read = ex.tx0.substr(100, 98);
	// Six mismatches between the k-mers at 15 and 60 (offsets 44..59): 18 > 15.
	for (int q = 44; q < 56; q += 2) read[q] = other_base(read[q]);
	FakeIndex fx({ex.tx0}, 29);
	WorkspacePtr ws(create_mapping_workspace(&fx.index));
	ReadRecord r = make_read(read);
	const std::vector<SeedHit> group = {{100, 0}, {100, 15}, {100, 60}};
	align_hit_group(&r, group.data(), 3, 5, 39, 5, ws.get());
	EXPECT_EQ(ws->alignments.count, 0);
	EXPECT_EQ(ws->candidates.count, 0);
	// Five mismatches fit exactly (cost 15): accepted with 73 + 16 - 15 + 9 = 83 = threshold.
	read[54] = ex.tx0[154];
	align_hit_group(&r, group.data(), 3, 5, 39, 5, ws.get());
	ASSERT_EQ(ws->alignments.count, 1);
	EXPECT_EQ(ws->alignments.records[0].score, 83);
}

TEST(HitGroup, NInGapCostsTwo)
{
	ExampleRead ex;
	std::string read = ex.tx0.substr(100, 98);
	read[50] = 'N';
	FakeIndex fx({ex.tx0}, 29);
	WorkspacePtr ws(create_mapping_workspace(&fx.index));
	ReadRecord r = make_read(read);
	const std::vector<SeedHit> group = {{100, 0}, {100, 15}, {100, 60}};
	align_hit_group(&r, group.data(), 3, 5, 39, 5, ws.get());
	ASSERT_EQ(ws->alignments.count, 1);
	EXPECT_EQ(ws->alignments.records[0].score, 96);
}

TEST(HitGroup, BothEndsUnalignedBecomesCandidate)
{
	std::mt19937 rng(9);
	std::string tx = random_bases(rng, 400);
	// The read matches tx[100..197] only in its middle (offsets 10..87); its ends are random.
	std::string read = tx.substr(100, 98);
	for (int i = 0; i < 10; ++i) {
		read[i] = other_base(read[i]);
		read[88 + i] = other_base(read[88 + i]);
	}
	FakeIndex fx({tx}, 29);
	WorkspacePtr ws(create_mapping_workspace(&fx.index));
	ReadRecord r = make_read(read);
	const std::vector<SeedHit> group = {{100, 15}, {100, 30}, {100, 45}};
	align_hit_group(&r, group.data(), 3, 5, 39, 5, ws.get());
	EXPECT_EQ(ws->alignments.count, 0);
	ASSERT_EQ(ws->candidates.count, 1);
	const Candidate &c = ws->candidates.records[0];
	EXPECT_EQ(c.diagonal, 100u);
	// Extended to the matching middle 10..87 (score 78 over 78 bases, above both thresholds),
	// so the extended bounds are kept.
	EXPECT_EQ(c.read_start, 10);
	EXPECT_EQ(c.length, 78);
	EXPECT_EQ(c.score, 78);
	// With a mismatch inside the extension the score falls below its threshold (the aligned
	// length): the candidate keeps the k-mer region 15..73 and its score 59.
	reset_lists(ws.get());
	read[12] = other_base(read[12]);
	align_hit_group(&r, group.data(), 3, 5, 39, 5, ws.get());
	ASSERT_EQ(ws->candidates.count, 1);
	EXPECT_EQ(ws->candidates.records[0].read_start, 15);
	EXPECT_EQ(ws->candidates.records[0].length, 59);
	EXPECT_EQ(ws->candidates.records[0].score, 59);
}

TEST(HitGroup, PlacementRunningPastTranscriptEnd)
{
	std::mt19937 rng(12);
	std::string tx0 = random_bases(rng, 200), tx1 = random_bases(rng, 200);
	// The read covers the last 95 bases of tx0 and three more bases; tx1 follows in tx_seq.
	std::string read = tx0.substr(105) + "AAA";
	for (int i = 0; i < 3; ++i)
		if (read[95 + i] == tx1[i]) read[95 + i] = 'C';
	FakeIndex fx({tx0, tx1}, 29);
	WorkspacePtr ws(create_mapping_workspace(&fx.index));
	ReadRecord r = make_read(read);
	std::vector<SeedHit> group;
	for (uint32_t o = 0; o <= 60; o += 15) group.push_back({105, o});
	// Pass 1: the clipped end is not allowed; the placement becomes a candidate (95 over 95).
	align_hit_group(&r, group.data(), 5, 0, 39, 0, ws.get());
	EXPECT_EQ(ws->alignments.count, 0);
	ASSERT_EQ(ws->candidates.count, 1);
	EXPECT_EQ(ws->candidates.records[0].read_start, 0);
	EXPECT_EQ(ws->candidates.records[0].length, 95);
	EXPECT_EQ(ws->candidates.records[0].score, 95);
	// Pass 2 parameters: 3 clipped bases within max_clip 5, threshold 89.
	align_hit_group(&r, group.data(), 5, 5, 39, 5, ws.get());
	ASSERT_EQ(ws->alignments.count, 1);
	EXPECT_EQ(ws->alignments.records[0].position, 105u);
	EXPECT_EQ(ws->alignments.records[0].score, 95);
}

TEST(HitGroup, ReadStartingBeforeTranscript)
{
	std::mt19937 rng(13);
	std::string tx0 = random_bases(rng, 150), tx1 = random_bases(rng, 300);
	// Three bases that tx0's end does not explain, then the first 95 bases of tx1.
	std::string read = "GGG" + tx1.substr(0, 95);
	for (int i = 0; i < 3; ++i)
		if (read[i] == tx0[147 + i]) read[i] = 'T';
	FakeIndex fx({tx0, tx1}, 29);
	WorkspacePtr ws(create_mapping_workspace(&fx.index));
	ReadRecord r = make_read(read);
	const uint32_t d = 150 - 3;  // diagonal: read offset 3 lies at tx_seq 150
	// Only the k-mers at 15, 30, 45, 60 lie in tx1 (the one at 0 would span the boundary).
	std::vector<SeedHit> group;
	for (uint32_t o = 15; o <= 60; o += 15) group.push_back({d, o});
	align_hit_group(&r, group.data(), 4, 5, 39, 5, ws.get());
	ASSERT_EQ(ws->alignments.count, 1);
	EXPECT_EQ(ws->alignments.records[0].position, 150u);
	EXPECT_EQ(ws->alignments.records[0].score, 95);
}

// Two candidates that each need part of the re-extension budget: a 98-base read whose first
// 89 bases match both transcripts; the last 9 bases differ in two (tx0) or four (tx1) places.
struct BudgetCase {
	std::mt19937 rng{31};
	std::string read, tx0, tx1;
	BudgetCase()
	{
		read = random_bases(rng, 98);
		tx0 = read;
		tx0[89] = other_base(tx0[89]);
		tx0[90] = other_base(tx0[90]);
		tx1 = read;
		for (int i = 89; i < 93; ++i) tx1[i] = other_base(tx1[i]);
		tx0 += random_bases(rng, 20);
		tx1 += random_bases(rng, 20);
	}
};

TEST(Reextension, OneBudgetForTheWholeCall)
{
	BudgetCase bc;
	FakeIndex fx({bc.tx0, bc.tx1}, 29);
	WorkspacePtr ws(create_mapping_workspace(&fx.index));
	ReadRecord r = make_read(bc.read);
	const uint32_t d0 = 0, d1 = (uint32_t)bc.tx0.size();

	// tx0 first: it costs 6 of 15 and is accepted (89 + 3); tx1 would need 12 of the 9 left.
	append_candidate(&ws->candidates, d0, 0, 89, 89);
	append_candidate(&ws->candidates, d1, 0, 89, 89);
	reextend_candidates(&r, ws.get());
	ASSERT_EQ(ws->alignments.count, 1);
	EXPECT_EQ(ws->alignments.records[0].position, d0);
	EXPECT_EQ(ws->alignments.records[0].score, 92);
	ASSERT_EQ(ws->candidates.count, 1);
	EXPECT_EQ(ws->candidates.records[0].diagonal, d1);
	EXPECT_EQ(ws->candidates.records[0].score, 89);

	// tx1 first: it costs 12 and is accepted (89 - 3); tx0 then finds 3 left and fails.
	reset_lists(ws.get());
	append_candidate(&ws->candidates, d1, 0, 89, 89);
	append_candidate(&ws->candidates, d0, 0, 89, 89);
	reextend_candidates(&r, ws.get());
	ASSERT_EQ(ws->alignments.count, 1);
	EXPECT_EQ(ws->alignments.records[0].position, d1);
	EXPECT_EQ(ws->alignments.records[0].score, 86);
	ASSERT_EQ(ws->candidates.count, 1);
	EXPECT_EQ(ws->candidates.records[0].diagonal, d0);

	// Each alone is accepted.
	reset_lists(ws.get());
	append_candidate(&ws->candidates, d0, 0, 89, 89);
	reextend_candidates(&r, ws.get());
	EXPECT_EQ(ws->alignments.count, 1);
	EXPECT_EQ(ws->candidates.count, 0);
}

TEST(Passes, WorkedExampleSkipsPassThree)
{
	ExampleRead ex;
	// tx1 holds the first 44 bases of the read: a group of size 2 (k-mers at 0 and 15) that
	// pass 3 would turn into a candidate.
	std::string tx1 = ex.tx1.substr(0, 50) + ex.read.substr(0, 44) + ex.tx1.substr(50);
	FakeIndex fx({ex.tx0, tx1}, 29);
	WorkspacePtr ws(create_mapping_workspace(&fx.index));
	ReadRecord r = make_read(ex.read);
	const uint32_t d1 = 400 + 50;
	auto load = [&](MappingWorkspace *w) {
		reset_lists(w);
		set_merged_hits(w, {{100, 0}, {100, 15}, {100, 60}, {d1, 0}, {d1, 15}}, 5);
	};
	load(ws.get());
	map_to_transcriptome(&r, ws.get());
	ASSERT_EQ(ws->alignments.count, 1);
	EXPECT_EQ(ws->alignments.records[0].position, 100u);
	EXPECT_EQ(ws->alignments.records[0].score, 95);
	EXPECT_EQ(ws->candidates.count, 0);  // pass 3 did not run

	// Two mismatches more (offsets 52, 54) leave 89 < 98 - 6: pass 3 runs and keeps tx1's group.
	ex.read[52] = other_base(ex.read[52]);
	ex.read[54] = other_base(ex.read[54]);
	load(ws.get());
	map_to_transcriptome(&r, ws.get());
	ASSERT_EQ(ws->alignments.count, 1);
	EXPECT_EQ(ws->alignments.records[0].score, 89);
	ASSERT_EQ(ws->candidates.count, 1);
	EXPECT_EQ(ws->candidates.records[0].diagonal, d1);
}

TEST(Passes, GroupsSplitAtTranscriptBoundary)
{
	std::mt19937 rng(44);
	std::string tx0 = random_bases(rng, 100), tx1 = random_bases(rng, 100);
	FakeIndex fx({tx0, tx1}, 29);
	SeedSet s{};
	std::vector<SeedHit> merged = {{70, 0}, {70, 45}, {70, 60}, {80, 0}};
	s.merged = merged.data();
	s.n_hits = 4;
	// Diagonal 70: read offset 0 lies in tx0 (70), offsets 45 and 60 in tx1 (115, 130).
	EXPECT_EQ(hit_group_end(&s, &fx.ann, 0), 1);
	EXPECT_EQ(hit_group_end(&s, &fx.ann, 1), 3);
	EXPECT_EQ(hit_group_end(&s, &fx.ann, 3), 4);
}

TEST(Passes, PerfectFullGroupOnEveryIsoform)
{
	std::mt19937 rng(45);
	std::string shared = random_bases(rng, 120);
	std::string tx0 = random_bases(rng, 30) + shared, tx1 = shared + random_bases(rng, 40);
	std::string read = shared.substr(10, 98);
	FakeIndex fx({tx0, tx1}, 29);
	WorkspacePtr ws(create_mapping_workspace(&fx.index));
	ReadRecord r = make_read(read);
	const uint32_t da = 40, db = 150 + 10;
	std::vector<SeedHit> hits;
	for (uint32_t o = 0; o <= 60; o += 15) hits.push_back({da, o});
	for (uint32_t o = 0; o <= 60; o += 15) hits.push_back({db, o});
	set_merged_hits(ws.get(), hits, 5);
	map_to_transcriptome(&r, ws.get());
	ASSERT_EQ(ws->alignments.count, 2);
	EXPECT_EQ(ws->alignments.records[0].position, da);
	EXPECT_EQ(ws->alignments.records[1].position, db);
	EXPECT_EQ(ws->alignments.records[0].score, 98);
	EXPECT_EQ(ws->alignments.records[1].score, 98);
	EXPECT_EQ(ws->alignments.best, 98);
}

// ---- gapped step on candidates ----

TEST(GappedCandidate, DeletionAccepted)
{
	std::mt19937 rng(50);
	std::string tx = random_bases(rng, 300);
	// Read = tx[100..148] + tx[150..198]: one transcript base (149) is missing.
	std::string read = tx.substr(100, 49) + tx.substr(150, 49);
	ASSERT_EQ(read.size(), 98u);
	FakeIndex fx({tx}, 29);
	WorkspacePtr ws(create_mapping_workspace(&fx.index));
	ReadRecord r = make_read(read);
	// Left part as a candidate: diagonal 100, read 0..44 (score 45).
	Candidate c{100, 0, 45, 45};
	extend_candidate_gapped(&r, &c, ws.get());
	ASSERT_EQ(ws->alignments.count, 1);
	EXPECT_EQ(ws->alignments.records[0].position, 100u);
	EXPECT_EQ(ws->alignments.records[0].score, 95);
	// Right part as a candidate: diagonal 101, read 60..97.
	reset_lists(ws.get());
	Candidate c2{101, 60, 38, 38};
	extend_candidate_gapped(&r, &c2, ws.get());
	ASSERT_EQ(ws->alignments.count, 1);
	EXPECT_EQ(ws->alignments.records[0].position, 100u);
	EXPECT_EQ(ws->alignments.records[0].score, 95);
}

// Candidates on isoforms that share the bases around them are extended once per read: the
// alignments must be those of extending every candidate, in the same order. The isoforms share
// exon w and differ in the exon before it (u or v), so that equal spans can have unequal bands.
TEST(GappedCandidate, OncePerContextGivesTheSameAlignments)
{
	std::mt19937 rng(53);
	const std::string u = random_bases(rng, 100), v = random_bases(rng, 100), w = random_bases(rng, 400);
	std::string w_variant = w;
	w_variant[150] = other_base(w[150]);
	const std::vector<std::string> tx = {u + w, v + w, w, u + w + v, v + w_variant, u + w};
	const std::vector<int32_t> w_at = {100, 100, 0, 100, 100, 100};  // where w starts in each
	FakeIndex fx(tx, 29);
	WorkspacePtr once(create_mapping_workspace(&fx.index)), each(create_mapping_workspace(&fx.index));
	int accepted = 0;
	for (int iter = 0; iter < 400; ++iter) {
		// A read of u + w, often across the junction, with an indel and a mismatch or two.
		const int32_t s = 40 + (int32_t)(rng() % 260);
		std::string read = tx[0].substr((size_t)s, 110);
		const size_t cut = 10 + rng() % 80;
		if (rng() % 2) read.erase(cut, 1 + rng() % 2);
		else read.insert(cut, random_bases(rng, 1 + rng() % 2));
		read.resize(98);
		for (int e = (int)(rng() % 3); e > 0; --e) {
			const size_t q = rng() % 98;
			read[q] = other_base(read[q], 1 + rng() % 3);
		}
		const ReadRecord r = make_read(read);
		reset_lists(once.get());
		reset_lists(each.get());
		// A few spans of the read, each a candidate on most transcripts, as the ungapped
		// passes leave them: the same span and score on every isoform.
		for (int span = 0; span < 3; ++span) {
			const int32_t F = (int32_t)(rng() % 50), len = 20 + (int32_t)(rng() % 29);  // F + len <= 98
			const int32_t score = len - (int32_t)(rng() % 3);
			for (size_t t = 0; t < tx.size(); ++t) {
				// read offset F's place in t; now and then elsewhere, where the extensions soon
				// fall short of what a candidate needs
				const int32_t p0 = w_at[t] + s + F - 100 + (rng() % 5 == 0 ? 2 + (int32_t)(rng() % 40) : 0);
				if (rng() % 4 == 0 || p0 < 0 || p0 + len > (int32_t)tx[t].size()) continue;
				append_candidate(&once->candidates, fx.offset[t] + (uint32_t)(p0 - F), F, len, score);
			}
		}
		for (int32_t i = 0; i < once->candidates.count; ++i)
			extend_candidate_gapped(&r, &once->candidates.records[i], each.get());
		extend_candidates_gapped(&r, once.get());
		ASSERT_EQ(once->alignments.count, each->alignments.count) << iter;
		for (int32_t i = 0; i < once->alignments.count; ++i) {
			EXPECT_EQ(once->alignments.records[i].position, each->alignments.records[i].position) << iter;
			EXPECT_EQ(once->alignments.records[i].score, each->alignments.records[i].score) << iter;
		}
		accepted += once->alignments.count;
	}
	EXPECT_GT(accepted, 100);
}

TEST(GappedCandidate, ScoreFloor)
{
	std::mt19937 rng(51);
	std::string tx = random_bases(rng, 300);
	// 60 matching bases then 38 random ones: the best is far below 63.
	std::string read = tx.substr(100, 60) + random_bases(rng, 38);
	FakeIndex fx({tx}, 29);
	WorkspacePtr ws(create_mapping_workspace(&fx.index));
	ReadRecord r = make_read(read);
	Candidate c{100, 0, 60, 60};
	extend_candidate_gapped(&r, &c, ws.get());
	EXPECT_EQ(ws->alignments.count, 0);
}

TEST(GappedCandidate, TranscriptStartAndEnd)
{
	std::mt19937 rng(52);
	std::string tx0 = random_bases(rng, 97), tx1 = random_bases(rng, 100);
	// The read is tx0 whole plus one base: the right side has no reference row at all.
	std::string read = tx0 + "A";
	if (tx1[0] == 'A') read[97] = 'C';
	FakeIndex fx({tx0, tx1}, 29);
	WorkspacePtr ws(create_mapping_workspace(&fx.index));
	ReadRecord r = make_read(read);
	Candidate c{0, 0, 97, 97};
	extend_candidate_gapped(&r, &c, ws.get());
	// Nothing extended: 97 over 97 bases, one clipped, threshold 97 - 3 x 2 = 91: accepted.
	ASSERT_EQ(ws->alignments.count, 1);
	EXPECT_EQ(ws->alignments.records[0].position, 0u);
	EXPECT_EQ(ws->alignments.records[0].score, 97);
}

}  // namespace

// Candidates that pass or fail by a point at the score floor (63 for 98 bases): the extensions
// that stop once a candidate cannot pass must keep every alignment of the full extensions. The
// read is m bases of the transcript and random bases before or after them.
TEST(GappedCandidate, StoppingEarlyKeepsTheAlignmentsAtTheFloor)
{
	std::mt19937 rng(54);
	const std::string tx = random_bases(rng, 300);
	FakeIndex fx({tx}, 29);
	WorkspacePtr once(create_mapping_workspace(&fx.index)), each(create_mapping_workspace(&fx.index));
	int accepted = 0, rejected = 0, at_floor = 0;
	for (int tail = 0; tail < 2; ++tail) {
		for (int32_t m = 56; m <= 70; ++m) {
			for (int rep = 0; rep < 12; ++rep) {
				// Read offset q lies at transcript position 100 + q where it matches.
				std::string read = tail ? random_bases(rng, 98 - m) + tx.substr((size_t)(198 - m), (size_t)m)
				                        : tx.substr(100, (size_t)m) + random_bases(rng, 98 - m);
				const ReadRecord r = make_read(read);
				const int32_t F = tail ? 98 - m + 5 + (int32_t)(rng() % 10) : (int32_t)(rng() % 10);
				reset_lists(once.get());
				reset_lists(each.get());
				append_candidate(&once->candidates, 100, F, 29, 29);
				extend_candidate_gapped(&r, &once->candidates.records[0], each.get());
				extend_candidates_gapped(&r, once.get());
				ASSERT_EQ(once->alignments.count, each->alignments.count) << tail << " " << m << " " << rep;
				if (each->alignments.count == 0) {
					++rejected;
					continue;
				}
				EXPECT_EQ(once->alignments.records[0].position, each->alignments.records[0].position);
				EXPECT_EQ(once->alignments.records[0].score, each->alignments.records[0].score);
				++accepted;
				at_floor += each->alignments.records[0].score == 63;
			}
		}
	}
	EXPECT_GT(accepted, 50);
	EXPECT_GT(rejected, 50);
	EXPECT_GT(at_floor, 5);
}
