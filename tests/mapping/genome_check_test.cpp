// The genome check against naive references on the generated genome of genome_fixture.h:
// backward-search intervals against counted occurrences, verification against plain
// mismatch counts, and the whole one-strand search against a seed-by-seed reference built
// with plain string search.
#include <gtest/gtest.h>
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>
#include "mapping/mapping.h"
#include "genome_fixture.h"

using namespace mtest;

namespace {

std::vector<uint32_t> naive_occurrences(const std::string &text, const std::string &pattern)
{
	std::vector<uint32_t> out;
	if (pattern.empty()) return out;
	for (size_t p = text.find(pattern); p != std::string::npos; p = text.find(pattern, p + 1))
		out.push_back((uint32_t)p);
	return out;
}

// Backward search of a whole pattern; false when it does not occur (or holds a non-ACGT byte).
bool backward_search(const GenomeBwt *bwt, const std::string &pattern, uint32_t *lo, uint32_t *hi)
{
	*lo = 0;
	*hi = bwt->seq_len;
	for (size_t i = pattern.size(); i-- > 0;) {
		const uint32_t c = BASE_CODE[(uint8_t)pattern[i]];
		if (c > 3 || !genome_backward_step(bwt, c, lo, hi)) return false;
	}
	return true;
}

// Mismatches of the read on diagonal D; positions past the genome's end count as mismatches.
int32_t naive_mismatches(const std::string &text, const std::string &read, uint64_t D)
{
	int32_t mm = 0;
	for (size_t q = 0; q < read.size(); ++q) {
		const uint64_t p = D + q;
		const uint32_t rc = BASE_CODE[(uint8_t)read[q]];
		if (p >= text.size() || rc > 3 || rc != BASE_CODE[(uint8_t)text[p]]) ++mm;
	}
	return mm;
}

// The one-strand search done by plain string search: the longest exact match ending at every
// anchor (the last base, then every 13th before it down to offset 12), kept when it is at
// least 19 long and occurs fewer than 5,000 times; diagonals with 40 or more bases of seed
// support are compared base by base. A read that occurs whole is found outright.
struct NaiveStrand {
	bool whole = false;              // the read occurs exactly
	std::vector<int32_t> mismatches;  // per supported diagonal
	bool found(int32_t limit) const
	{
		if (whole) return true;
		for (int32_t m : mismatches)
			if (m < limit) return true;
		return false;
	}
};

NaiveStrand naive_strand(const std::string &text, const std::string &read)
{
	NaiveStrand out;
	const int32_t L = (int32_t)read.size();
	auto acgt = [](const std::string &s) { return s.find_first_not_of("ACGTacgt") == std::string::npos; };
	if (acgt(read) && text.find(read) != std::string::npos) {
		out.whole = true;
		return out;
	}
	std::vector<int32_t> anchors = {L - 1};
	for (int32_t a = L - 14; a >= 12; a -= 13) anchors.push_back(a);
	std::map<uint32_t, int64_t> support;
	for (int32_t a : anchors) {
		if (a < 0) continue;
		// Occurrence is monotone in the length: binary search the longest.
		auto occurs = [&](int32_t m) {
			const std::string s = read.substr((size_t)(a - m + 1), (size_t)m);
			return acgt(s) && text.find(s) != std::string::npos;
		};
		int32_t lo = 0, hi = a + 1;
		while (lo < hi) {
			const int32_t mid = (lo + hi + 1) / 2;
			if (occurs(mid)) lo = mid;
			else hi = mid - 1;
		}
		const int32_t m = lo;
		if (m < MIN_GENOME_SEED) continue;
		const int32_t start = a - m + 1;
		const std::vector<uint32_t> occ = naive_occurrences(text, read.substr((size_t)start, (size_t)m));
		if (occ.size() >= MAX_SEED_OCCURRENCES) continue;
		for (uint32_t p : occ)
			if (p >= (uint32_t)start) support[p - (uint32_t)start] += m;
	}
	for (const auto &d : support)
		if (d.second >= MIN_DIAGONAL_SUPPORT) out.mismatches.push_back(naive_mismatches(text, read, d.first));
	return out;
}

bool naive_search(const std::string &text, const std::string &read, int32_t limit)
{
	return naive_strand(text, read).found(limit);
}

class GenomeCheckTest : public ::testing::Test {
protected:
	static void SetUpTestSuite() { shared_genome(); }
	void SetUp() override
	{
		G = &shared_genome();
		scratch = GenomeScratch{};
	}
	void TearDown() override { release_genome_scratch(&scratch); }
	bool search(const std::string &read, int32_t limit, const GenomeBwt *bwt = nullptr)
	{
		return search_genome_strand(bwt ? bwt : G->bwt, read.data(), (int32_t)read.size(), limit, &scratch) != 0;
	}
	const TestGenome *G = nullptr;
	GenomeScratch scratch{};
};

TEST_F(GenomeCheckTest, BackwardSearchCountsOccurrences)
{
	std::mt19937 rng(1);
	const std::string &T = G->text;
	int found = 0;
	for (int iter = 0; iter < 400; ++iter) {
		std::string p;
		switch (iter % 4) {
		case 0: p = T.substr(rng() % (T.size() - 40), 1 + rng() % 40); break;          // occurs
		case 1: p = random_bases(rng, 1 + rng() % 12); break;                          // maybe
		case 2: p = G->motif.substr(rng() % 20, 19 + rng() % 5); break;              // repeated
		default: p = std::string(15 + rng() % 10, "AC"[rng() % 2]); break;            // runs
		}
		const std::vector<uint32_t> occ = naive_occurrences(T, p);
		uint32_t lo, hi;
		const bool ok = backward_search(G->bwt, p, &lo, &hi);
		ASSERT_EQ(ok, !occ.empty()) << p;
		if (!ok) continue;
		++found;
		ASSERT_EQ((size_t)(hi - lo + 1), occ.size()) << p;
		if (occ.size() > 6000) continue;
		std::vector<uint32_t> located;
		for (uint32_t r = lo; r <= hi; ++r) located.push_back(bwt_locate(G->bwt, r));
		std::sort(located.begin(), located.end());
		EXPECT_EQ(located, occ) << p;
	}
	EXPECT_GT(found, 250);
	uint32_t lo, hi;
	EXPECT_FALSE(backward_search(G->bwt, "ACGTNACGT", &lo, &hi));
}

TEST_F(GenomeCheckTest, VerifyMatchesNaiveMismatchCount)
{
	std::mt19937 rng(2);
	const std::string &T = G->text;
	const uint64_t n = T.size();
	for (int iter = 0; iter < 2000; ++iter) {
		const int32_t L = 20 + (int32_t)(rng() % 140);
		// Some placements run past the end of the genome.
		const uint64_t D = (iter % 10 == 0) ? n - (uint64_t)(rng() % (uint32_t)L) - 1 : rng() % (n - (uint64_t)L);
		std::string read;
		for (int32_t q = 0; q < L; ++q) read += D + (uint64_t)q < n ? T[D + (uint64_t)q] : "ACGT"[rng() % 4];
		for (int e = (int)(rng() % 12); e > 0; --e) {
			const size_t q = rng() % (size_t)L;
			read[q] = (rng() % 4 == 0) ? 'N' : other_base(read[q], rng());
		}
		// Exact runs on D become the group's hits, in shuffled order.
		std::vector<GenomeHit> group;
		int32_t run = 0;
		for (int32_t q = 0; q <= L; ++q) {
			const bool match = q < L && D + (uint64_t)q < n && BASE_CODE[(uint8_t)read[q]] < 4 &&
			                   BASE_CODE[(uint8_t)read[q]] == BASE_CODE[(uint8_t)T[D + (uint64_t)q]];
			if (match) {
				++run;
				continue;
			}
			if (run > 0 && rng() % 3 != 0) {
				// Any exact piece of the run will do: take a random sub-run.
				const int32_t cut = (int32_t)(rng() % (uint32_t)run);
				group.push_back({q - run + cut / 2, (uint32_t)D, run - cut});
			}
			run = 0;
		}
		if (group.empty()) continue;
		std::shuffle(group.begin(), group.end(), rng);
		const int32_t naive = naive_mismatches(T, read, D);
		for (int32_t limit : {1, 2, 3, 5, 8, 200}) {
			const int32_t got = verify_genome_diagonal(G->bwt, read.data(), L, group.data(), (int32_t)group.size(), limit);
			ASSERT_EQ(got, std::min(naive, limit)) << "D " << D << " L " << L << " limit " << limit;
		}
	}
}

TEST_F(GenomeCheckTest, SearchMatchesNaiveReference)
{
	std::mt19937 rng(3);
	const std::string &T = G->text;
	int found = 0, not_found = 0;
	GenomeBwt with_table = *G->bwt;
	build_genome_kmer_table(&with_table, 7);
	for (int iter = 0; iter < 180; ++iter) {
		const int32_t L = 14 + (int32_t)(rng() % 140);
		std::string read;
		switch (iter % 6) {
		case 5: read = random_bases(rng, (size_t)L); break;
		case 4: {  // around the motif copies and the homopolymers
			const uint32_t at = (rng() % 2) ? G->motif_pos[rng() % G->motif_pos.size()] - (uint32_t)(rng() % 30)
			                                : G->chr2_start + 5000 + (uint32_t)(rng() % 5100) - 40;
			read = T.substr(at, (size_t)L);
			break;
		}
		case 3:  // at the very end of the genome, continued by random bases
			read = T.substr(T.size() - (size_t)(L / 2)) + random_bases(rng, (size_t)(L - L / 2));
			break;
		default: read = T.substr(rng() % (T.size() - (size_t)L), (size_t)L); break;
		}
		if (iter % 6 == 1) {
			// Mismatches every 12 to 27 bases: seeds near 19 bases, support near 40.
			for (size_t q = rng() % 20; q < read.size(); q += 12 + rng() % 16) read[q] = other_base(read[q], rng());
		} else {
			for (int e = (int)(rng() % 5); e > 0; --e) {
				const size_t q = rng() % read.size();
				read[q] = (rng() % 5 == 0) ? 'N' : other_base(read[q], rng());
			}
		}
		if (rng() % 2) read = reverse_complement(read);
		const NaiveStrand naive = naive_strand(T, read);
		for (int32_t limit = 1; limit <= 12; ++limit) {
			const bool expect = naive.found(limit);
			// The plain path, then the k-mer table with the rows located together, the
			// shortcut for a limit of one and the pieces that must occur for a placement.
			scratch.plain = true;
			ASSERT_EQ(search(read, limit), expect) << read << " limit " << limit << " plain";
			scratch.plain = false;
			ASSERT_EQ(search(read, limit, &with_table), expect) << read << " limit " << limit;
			(expect ? found : not_found)++;
		}
	}
	release_genome_kmer_table(&with_table);
	// Both answers are common enough for the comparison to mean something.
	EXPECT_GT(found, 120);
	EXPECT_GT(not_found, 400);
}

TEST_F(GenomeCheckTest, KmerTableHoldsTheBackwardSearchOfEveryKmer)
{
	for (int32_t k : {1, 7}) {  // 7: the last level on two threads
		GenomeBwt t = *G->bwt;
		build_genome_kmer_table(&t, k);
		ASSERT_EQ(t.kmer_k, k);
		int present = 0;
		for (uint32_t code = 0; code < (1u << (2 * k)); ++code) {
			std::string kmer;
			for (int32_t i = k - 1; i >= 0; --i) kmer += "ACGT"[(code >> (2 * i)) & 3];
			uint32_t lo, hi;
			if (backward_search(G->bwt, kmer, &lo, &hi)) {
				ASSERT_EQ(t.kmer_lo[code], lo) << kmer;
				ASSERT_EQ(t.kmer_hi[code], hi) << kmer;
				++present;
			} else {
				ASSERT_GT(t.kmer_lo[code], t.kmer_hi[code]) << kmer;
			}
		}
		EXPECT_GT(present, 0);
		release_genome_kmer_table(&t);
	}
	// Table length by genome size: at most n / 8 bytes, none for small genomes, at most 12.
	const std::pair<uint64_t, int32_t> sizes[] = {{0, 0},          {60000, 0},           {1000000, 6},
	                                              {4000000, 7},    {4194304, 8},         {60000000, 9},
	                                              {100000000, 10}, {1000000000, 11},     {3100000000ULL, 12}};
	for (const auto &s : sizes) EXPECT_EQ(genome_kmer_table_k(s.first), s.second) << s.first;
}

TEST_F(GenomeCheckTest, ExactReadsFoundRandomReadsNot)
{
	std::mt19937 rng(4);
	const std::string &T = G->text;
	for (int i = 0; i < 100; ++i) {
		const size_t L = 10 + rng() % 150;  // also shorter than 19: the suffix search alone
		const std::string read = T.substr(rng() % (T.size() - L), L);
		EXPECT_TRUE(search(read, 1)) << read;
		EXPECT_TRUE(search(read, 0)) << read;  // even with limit 0
		const std::string random = random_bases(rng, 98);
		EXPECT_FALSE(search(random, 5)) << random;
	}
	// The last bases of the genome.
	EXPECT_TRUE(search(T.substr(T.size() - 70), 1));
}

TEST_F(GenomeCheckTest, PlacementPastGenomeEnd)
{
	const std::string &T = G->text;
	// 60 genome bases and 10 beyond its end: on the true diagonal the 10 count as mismatches.
	std::string read = T.substr(T.size() - 60) + "ACGTACGTAC";
	EXPECT_FALSE(search(read, 10));
	EXPECT_TRUE(search(read, 11));
	EXPECT_EQ(naive_search(T, read, 10), false);
	EXPECT_EQ(naive_search(T, read, 11), true);
}

TEST_F(GenomeCheckTest, NCountsAsMismatch)
{
	std::string read = G->text.substr(1234, 98);
	read[40] = 'N';
	EXPECT_FALSE(search(read, 1));
	EXPECT_TRUE(search(read, 2));
	read[41] = 'n';
	EXPECT_FALSE(search(read, 2));
	EXPECT_TRUE(search(read, 3));
}

TEST_F(GenomeCheckTest, SeedsFromSuffixAndAnchors)
{
	// A 26-base read has one anchor (12); a 25-base read has only the suffix seed. With a
	// mismatch at offset 5 the suffix seed has 20 bases, too little support on its own.
	std::string r26 = G->text.substr(777, 26);
	r26[5] = other_base(r26[5]);
	EXPECT_FALSE(search(r26, 5));
	EXPECT_EQ(naive_search(G->text, r26, 5), false);
	// 98 bases with mismatches at 20 and 70: the suffix seed (71..97, 27 bases) and the seeds of
	// the anchors 58 (21..58), 45 (21..45) and 19 (0..19) support the true diagonal; the
	// anchors 84, 71 and 32 end too close to a mismatch for 19 bases.
	// 60 bases, mismatches at 14 and 38: the suffix seed (39..59, 21 bases) and the seed of
	// anchor 33 (15..33, 19 bases) give exactly 40 bases of support; anchors 46 and 20 end too
	// close to a mismatch.
	std::string r60 = G->text.substr(9000, 60);
	r60[14] = other_base(r60[14]);
	r60[38] = other_base(r60[38]);
	EXPECT_TRUE(search(r60, 3));
	EXPECT_FALSE(search(r60, 2));
	// Mismatch at 15 instead: anchor 33's seed has 18 bases, the support stays at 21.
	std::string r60b = G->text.substr(9000, 60);
	r60b[15] = other_base(r60b[15]);
	r60b[38] = other_base(r60b[38]);
	EXPECT_FALSE(search(r60b, 3));
	EXPECT_FALSE(search(r60b, 50));
	EXPECT_EQ(naive_search(G->text, r60, 3), true);
	EXPECT_EQ(naive_search(G->text, r60b, 50), false);
	std::string r98 = G->text.substr(4321, 98);
	r98[20] = other_base(r98[20]);
	r98[70] = other_base(r98[70]);
	EXPECT_TRUE(search(r98, 3));
	EXPECT_FALSE(search(r98, 2));
}

TEST(GenomeHitSort, MatchesStdSort)
{
	std::mt19937 rng(8);
	for (int iter = 0; iter < 300; ++iter) {
		const size_t n = (iter < 100) ? rng() % 70 : rng() % 5000;
		std::vector<GenomeHit> hits(n);
		const uint32_t mask = (iter % 3 == 0) ? 0xFFFFFFFFu : (iter % 3 == 1 ? 0xFFFFFu : 0xFF00FF);
		for (size_t i = 0; i < n; ++i) hits[i] = {(int32_t)i, (uint32_t)rng() & mask, (int32_t)(rng() % 100)};
		std::vector<GenomeHit> sorted = hits;
		sort_genome_hits(sorted.data(), (int64_t)n);
		for (size_t i = 1; i < n; ++i) ASSERT_LE(sorted[i - 1].diagonal, sorted[i].diagonal);
		// A permutation of the input: every hit keeps its fields.
		auto key = [](const GenomeHit &h) { return std::make_tuple(h.diagonal, h.read_start, h.seed_length); };
		std::vector<std::tuple<uint32_t, int32_t, int32_t>> a, b;
		for (const GenomeHit &h : hits) a.push_back(key(h));
		for (const GenomeHit &h : sorted) b.push_back(key(h));
		std::sort(a.begin(), a.end());
		std::sort(b.begin(), b.end());
		ASSERT_EQ(a, b);
	}
}

TEST_F(GenomeCheckTest, CollectHitsSortedAndBounded)
{
	const std::string &T = G->text;
	uint32_t lo, hi;
	// A^19: 4,999 occurrences, located and sorted (radix path).
	ASSERT_TRUE(backward_search(G->bwt, std::string(19, 'A'), &lo, &hi));
	ASSERT_EQ(hi - lo + 1, 4999u);
	GenomeSeed seeds[3];
	seeds[0] = {3, 19, lo, hi};
	GenomeHit *list = nullptr;
	int64_t n = collect_genome_hits(G->bwt, seeds, 1, &scratch, &list);
	ASSERT_EQ(n, 4999);
	for (int64_t i = 0; i < n; ++i) {
		EXPECT_EQ(list[i].diagonal, G->chr2_start + 5000 + (uint32_t)i - 3);
		EXPECT_EQ(list[i].read_start, 3);
		EXPECT_EQ(list[i].seed_length, 19);
	}
	// C^19: 5,000 occurrences: ignored.
	ASSERT_TRUE(backward_search(G->bwt, std::string(19, 'C'), &lo, &hi));
	ASSERT_EQ(hi - lo + 1, 5000u);
	seeds[1] = {0, 19, lo, hi};
	EXPECT_EQ(collect_genome_hits(G->bwt, seeds + 1, 1, &scratch, &list), 0);
	// The motif (100 copies) with a read start beyond some of its positions: merged with
	// the A run, all sorted, positions before the read start dropped.
	ASSERT_TRUE(backward_search(G->bwt, G->motif, &lo, &hi));
	ASSERT_EQ(hi - lo + 1, 100u);
	const int32_t start = (int32_t)(G->motif_pos[10] - 0);  // copies 0..9 lie before it
	seeds[1] = {start, 40, lo, hi};
	seeds[2] = {0, 19, 0, 0};
	ASSERT_TRUE(backward_search(G->bwt, T.substr(100, 19), &seeds[2].lo, &seeds[2].hi));
	n = collect_genome_hits(G->bwt, seeds, 3, &scratch, &list);
	std::multiset<uint32_t> expect;
	for (uint32_t i = 0; i < 4999; ++i) expect.insert(G->chr2_start + 5000 + i - 3);
	for (uint32_t p : G->motif_pos)
		if (p >= (uint32_t)start) expect.insert(p - (uint32_t)start);
	for (uint32_t p : naive_occurrences(T, T.substr(100, 19))) expect.insert(p);
	ASSERT_EQ(n, (int64_t)expect.size());
	std::multiset<uint32_t> got;
	for (int64_t i = 0; i < n; ++i) {
		got.insert(list[i].diagonal);
		if (i > 0) {
			EXPECT_LE(list[i - 1].diagonal, list[i].diagonal);
		}
	}
	EXPECT_EQ(got, expect);
}

TEST_F(GenomeCheckTest, ClassifyBothStrands)
{
	MappingIndex index{nullptr, nullptr, G->bwt, 0, 0, nullptr, 0};
	MappingIndex intron{nullptr, nullptr, G->bwt, 1, 0, nullptr, 0};
	MappingWorkspace *ws = create_mapping_workspace(&index);
	MappingWorkspace *wi = create_mapping_workspace(&intron);
	// A genome segment with one mismatch, read on the reverse strand.
	std::string fwd = G->text.substr(20000, 98);
	fwd[60] = other_base(fwd[60]);
	std::string read = reverse_complement(fwd);
	ReadRecord r = make_read(read);
	EXPECT_EQ(classify_read(&r, 1, 2, ws), MAP_NONEXONIC);
	EXPECT_EQ(classify_read(&r, 1, 1, ws), MAP_EXONIC);
	EXPECT_EQ(classify_read(&r, 1, 0, ws), MAP_EXONIC);
	EXPECT_EQ(classify_read(&r, 0, 5, ws), MAP_UNMAPPED);
	EXPECT_EQ(classify_read(&r, 0, 5, wi), MAP_NONEXONIC);
	EXPECT_EQ(classify_read(&r, 0, 1, wi), MAP_UNMAPPED);
	// Forward strand the same.
	ReadRecord f = make_read(fwd);
	EXPECT_EQ(classify_read(&f, 1, 2, ws), MAP_NONEXONIC);
	EXPECT_EQ(classify_read(&f, 0, 5, wi), MAP_NONEXONIC);
	// A non-ACGT byte (here R) is a mismatch on both strands.
	std::string odd = G->text.substr(3000, 60);
	odd[10] = 'R';
	ReadRecord o = make_read(odd);
	EXPECT_EQ(classify_read(&o, 1, 1, ws), MAP_EXONIC);
	EXPECT_EQ(classify_read(&o, 1, 2, ws), MAP_NONEXONIC);
	// An exact occurrence beats a one-mismatch alignment on either strand (below a limit of two
	// only the two suffix walks run).
	const std::string exact = G->text.substr(20000, 98);
	for (std::string s : {exact, reverse_complement(exact)}) {
		ReadRecord e = make_read(s);
		EXPECT_EQ(classify_read(&e, 1, 1, ws), MAP_NONEXONIC) << s;
		EXPECT_EQ(classify_read(&e, 0, 1, wi), MAP_NONEXONIC) << s;
	}
	release_mapping_workspace(ws);
	release_mapping_workspace(wi);
}

}  // namespace
