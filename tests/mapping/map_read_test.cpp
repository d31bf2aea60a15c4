// map_read end to end on the generated genome and annotation of genome_fixture.h: seeding
// through the real k-mer hash, the passes, the gapped step and the genome check.
#include <gtest/gtest.h>
#include <algorithm>
#include <random>
#include <set>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include "mapping/mapping.h"
#include "genome_fixture.h"

using namespace mtest;

namespace {

struct Mapped {
	int outcome = -1;
	std::vector<Alignment> alignments;
	int32_t best = 0;
	int32_t candidates = 0;
};

class MapReadTest : public ::testing::Test {
protected:
	static void SetUpTestSuite() { shared_index(); }

	void SetUp() override
	{
		X = &shared_index();
		G = &shared_genome();
		ws = create_mapping_workspace(&X->index);
		ws_intron = create_mapping_workspace(&X->index_intron);
	}
	void TearDown() override
	{
		release_mapping_workspace(ws);
		release_mapping_workspace(ws_intron);
	}

	Mapped map(std::string read, bool count_intron = false)
	{
		MappingWorkspace *w = count_intron ? ws_intron : ws;
		ReadRecord r = make_read(read);
		Mapped m;
		m.outcome = map_read(&r, w);
		m.alignments.assign(w->alignments.records, w->alignments.records + w->alignments.count);
		m.best = w->alignments.best;
		m.candidates = w->candidates.count;
		return m;
	}

	uint32_t off(int t) const { return X->offset[t]; }
	const std::string &tx(int t) const { return X->tx[t]; }

	const TestIndex *X = nullptr;
	const TestGenome *G = nullptr;
	MappingWorkspace *ws = nullptr;
	MappingWorkspace *ws_intron = nullptr;
};

TEST_F(MapReadTest, FixtureIsConsistent)
{
	// The transcripts are spliced from the genome the BWT was built from.
	EXPECT_EQ(tx(TestIndex::C1), G->chr1.substr(8000, 600));
	EXPECT_EQ(tx(TestIndex::E1).substr(0, 44), tx(TestIndex::C1).substr(300, 44));
	EXPECT_EQ(G->bwt->seq_len, G->text.size());
	for (uint32_t i = 0; i < G->text.size(); i += 97)
		ASSERT_EQ(genome_base(G->bwt, i), BASE_CODE[(uint8_t)G->text[i]]);
}

TEST_F(MapReadTest, PerfectReadIsExonicWithoutGenomeSearch)
{
	// The read occurs exactly in the genome (its exon): a genome search would call it
	// nonexonic; with limit 0 none runs.
	const std::string read = tx(TestIndex::C1).substr(50, 98);
	Mapped m = map(read);
	EXPECT_EQ(m.outcome, MAP_EXONIC);
	ASSERT_EQ(m.alignments.size(), 1u);
	EXPECT_EQ(m.alignments[0].position, off(TestIndex::C1) + 50);
	EXPECT_EQ(m.alignments[0].score, 98);
	EXPECT_EQ(m.best, 98);
	EXPECT_EQ(ws->seeds.n_kmers, 5);
	EXPECT_EQ(map(read, true).outcome, MAP_EXONIC);

	// Lower case seeds and aligns the same.
	std::string lower = read;
	for (char &c : lower) c = (char)tolower(c);
	Mapped l = map(lower);
	EXPECT_EQ(l.outcome, MAP_EXONIC);
	ASSERT_EQ(l.alignments.size(), 1u);
	EXPECT_EQ(l.alignments[0].position, off(TestIndex::C1) + 50);
	EXPECT_EQ(l.alignments[0].score, 98);
}

TEST_F(MapReadTest, SeedsAreMergedByDiagonal)
{
	std::string read = tx(TestIndex::C1).substr(300, 98);
	ReadRecord r = make_read(read);
	seed_read(&r, &X->hash, &ws->seeds);
	merge_seed_hits(&ws->seeds);
	const SeedSet &s = ws->seeds;
	ASSERT_EQ(s.n_kmers, 5);
	// The k-mers at 0 and 15 hit C1 and E1, the others C1 only.
	EXPECT_EQ(s.kmer_hits[0], 2);
	EXPECT_EQ(s.kmer_hits[1], 2);
	EXPECT_EQ(s.kmer_hits[2], 1);
	ASSERT_EQ(s.n_hits, 7);
	const uint32_t dc = off(TestIndex::C1) + 300, de = off(TestIndex::E1);
	std::vector<std::pair<uint32_t, uint32_t>> expect = {{dc, 0}, {dc, 15}, {dc, 30}, {dc, 45}, {dc, 60}, {de, 0}, {de, 15}};
	for (int i = 0; i < 7; ++i) {
		EXPECT_EQ(s.merged[i].diagonal, expect[i].first) << i;
		EXPECT_EQ(s.merged[i].read_offset, expect[i].second) << i;
	}
	EXPECT_EQ(hit_group_end(&s, &X->ann, 0), 5);
	EXPECT_EQ(hit_group_end(&s, &X->ann, 5), 7);
}

// Random sorted lists, 0 to 8 k-mers, shared and negative diagonals: the merge is a stable
// sort of the lists in k-mer order by signed diagonal.
TEST(SeedMerge, StableSortOfTheKmerLists)
{
	std::mt19937 rng(9);
	WorkspacePtr ws(create_mapping_workspace(nullptr));
	SeedSet *s = &ws->seeds;
	for (int iter = 0; iter < 2000; ++iter) {
		const int32_t n = (int32_t)(rng() % 8);
		std::vector<std::vector<int32_t>> lists((size_t)n);
		std::vector<std::vector<uint32_t>> positions((size_t)n);
		std::vector<SeedHit> expect;
		for (int32_t i = 0; i < n; ++i) {
			std::set<int32_t> diagonals;
			for (int h = (int)(rng() % 30); h > 0; --h) diagonals.insert((int32_t)(rng() % 60) - 20);
			lists[i].assign(diagonals.begin(), diagonals.end());
			for (int32_t d : lists[i]) expect.push_back({(uint32_t)d, (uint32_t)(10 * i)});
		}
		std::stable_sort(expect.begin(), expect.end(),
		                 [](const SeedHit &a, const SeedHit &b) { return (int32_t)a.diagonal < (int32_t)b.diagonal; });
		ASSERT_LE(expect.size(), (size_t)s->hit_cap);
		s->n_kmers = n;
		s->n_hits = (int32_t)expect.size();
		for (int32_t i = 0; i < n; ++i) {
			s->kmer_offset[i] = (uint32_t)(10 * i);
			s->kmer_hits[i] = (int32_t)lists[i].size();
			for (int32_t d : lists[i]) positions[i].push_back((uint32_t)d + s->kmer_offset[i]);
			s->kmer_start[i] = positions[i].data();
		}
		merge_seed_hits(s);
		for (size_t i = 0; i < expect.size(); ++i) {
			ASSERT_EQ(s->merged[i].diagonal, expect[i].diagonal) << iter << " " << i;
			ASSERT_EQ(s->merged[i].read_offset, expect[i].read_offset) << iter << " " << i;
		}
	}
}

// Every transcript base is placed on its genome base (the complement for the minus-strand M1),
// for the read as sequenced and for its reverse complement; offsets outside give nothing.
TEST_F(MapReadTest, PlacementGuessFollowsTheExons)
{
	for (uint32_t t = 0; t < X->tx.size(); ++t) {
		const bool minus = X->gene_strand[X->gene[t]] != 0;
		const std::string &s = tx((int)t);
		for (int64_t o = -2; o < (int64_t)s.size() + 2; ++o) {
			PlacementHint h{&X->ann, X->seq_offset.data(), t, o, 5, false};
			const uint32_t at = hint_text_position(&h, 0);
			h.reversed = true;
			const uint32_t rc_at = hint_text_position(&h, 4);  // the same read base, reversed
			if (o < 0 || o >= (int64_t)s.size()) {
				EXPECT_EQ(at, NO_POSITION) << t << " " << o;
				EXPECT_EQ(rc_at, NO_POSITION) << t << " " << o;
				continue;
			}
			ASSERT_LT(at, G->text.size());
			EXPECT_EQ(rc_at, at);
			const char base = minus ? reverse_complement(std::string(1, s[o]))[0] : s[o];
			ASSERT_EQ(G->text[at], base) << "transcript " << t << " offset " << o;
		}
	}
}

// The faster paths (the first pass from the k-mer lists, guesses of where the best alignment
// lies in the genome, gapped extension once per context) change nothing: reads from every
// transcript (junctions, the minus strand, the tandem repeat, the exon with a processed copy),
// exact or with substitutions, give the plain path's outcome, alignments and candidates.
// Settling a read as soon as it is known not to be exonic keeps its outcome, with and without
// --count-intron, and an exonic read's alignments.
TEST_F(MapReadTest, FastPathsChangeNoOutcome)
{
	MappingWorkspace *placed = create_mapping_workspace(&X->index_placed);
	MappingWorkspace *plain = create_mapping_workspace(&X->index_plain);
	MappingIndex settling_index = X->index_placed, settling_intron_index = X->index_intron;
	settling_index.exonic_only = settling_intron_index.exonic_only = 1;
	MappingWorkspace *settling = create_mapping_workspace(&settling_index);
	MappingWorkspace *settling_intron = create_mapping_workspace(&settling_intron_index);
	int settled = 0;
	std::mt19937 rng(12);
	int outcomes[4] = {0, 0, 0, 0};
	for (int iter = 0; iter < 1200; ++iter) {
		const int t = (int)(rng() % X->tx.size());
		const std::string &s = tx(t);
		std::string read = s.substr(rng() % (s.size() - 98), 98);
		// One in four from the processed copy of C1, which the genome explains better.
		if (iter % 4 == 0) read = G->text.substr(G->chr2_start + 2000 + rng() % 100, 98);
		for (int e = (int)(rng() % 4); e > 0; --e) {
			const size_t q = rng() % read.size();
			read[q] = other_base(read[q], 1 + rng() % 3);
		}
		ReadRecord r = make_read(read), r2 = make_read(read);
		const MapOutcome want = map_read(&r, plain);
		ASSERT_EQ(map_read(&r2, placed), want) << read;
		ASSERT_EQ(placed->alignments.count, plain->alignments.count) << read;
		for (int32_t i = 0; i < plain->alignments.count; ++i) {
			ASSERT_EQ(placed->alignments.records[i].position, plain->alignments.records[i].position) << read;
			ASSERT_EQ(placed->alignments.records[i].score, plain->alignments.records[i].score) << read;
		}
		ASSERT_EQ(placed->alignments.best, plain->alignments.best);
		ASSERT_EQ(placed->candidates.count, plain->candidates.count) << read;
		++outcomes[want];

		ReadRecord r3 = make_read(read), r4 = make_read(read), r5 = make_read(read);
		ASSERT_EQ(map_read(&r3, settling), want) << read;
		settled += settling->occurs == 1;
		if (want == MAP_EXONIC) {
			ASSERT_EQ(settling->alignments.count, plain->alignments.count) << read;
			for (int32_t i = 0; i < plain->alignments.count; ++i) {
				ASSERT_EQ(settling->alignments.records[i].position, plain->alignments.records[i].position) << read;
				ASSERT_EQ(settling->alignments.records[i].score, plain->alignments.records[i].score) << read;
			}
		}
		ASSERT_EQ(map_read(&r4, settling_intron), map_read(&r5, ws_intron)) << read;
	}
	release_mapping_workspace(placed);
	release_mapping_workspace(plain);
	release_mapping_workspace(settling);
	release_mapping_workspace(settling_intron);
	EXPECT_GT(outcomes[MAP_EXONIC], 300);
	EXPECT_GT(outcomes[MAP_NONEXONIC], 0);
	EXPECT_GT(settled, 0);
}

TEST_F(MapReadTest, NegativeDiagonalsSortFirst)
{
	// A read whose first bases lie before transcript 0: its diagonal is negative and sorts
	// before every other hit.
	std::string read = "GATTACA" + tx(TestIndex::P1).substr(0, 91);
	ReadRecord r = make_read(read);
	seed_read(&r, &X->hash, &ws->seeds);
	merge_seed_hits(&ws->seeds);
	ASSERT_GT(ws->seeds.n_hits, 0);
	EXPECT_EQ((int32_t)ws->seeds.merged[0].diagonal, -7);
	for (int32_t i = 1; i < ws->seeds.n_hits; ++i)
		EXPECT_LE((int32_t)ws->seeds.merged[i - 1].diagonal, (int32_t)ws->seeds.merged[i].diagonal);
}

TEST_F(MapReadTest, WorkedExampleOneMismatch)
{
	// C1 offsets 300..397 with a mismatch at read offset 50; E1 starts with read bases 0..43.
	std::string read = tx(TestIndex::C1).substr(300, 98);
	read[50] = other_base(read[50]);
	Mapped m = map(read);
	EXPECT_EQ(m.outcome, MAP_EXONIC);  // the exon in the genome has the same mismatch
	ASSERT_EQ(m.alignments.size(), 1u);
	EXPECT_EQ(m.alignments[0].position, off(TestIndex::C1) + 300);
	EXPECT_EQ(m.alignments[0].score, 95);
	// The true group has size n - 2 = 3; E1's group of size 2 was never looked at (pass 3
	// skipped), so no candidate exists.
	const SeedSet &s = ws->seeds;
	ASSERT_EQ(s.n_kmers, 5);
	int sizes_seen = 0;
	for (int32_t j = 0; j < s.n_hits;) {
		const int32_t end = hit_group_end(&s, &X->ann, j);
		if (s.merged[j].diagonal == off(TestIndex::C1) + 300) {
			EXPECT_EQ(end - j, 3);
			++sizes_seen;
		}
		if (s.merged[j].diagonal == off(TestIndex::E1)) {
			EXPECT_EQ(end - j, 2);
			++sizes_seen;
		}
		j = end;
	}
	EXPECT_EQ(sizes_seen, 2);
	EXPECT_EQ(m.candidates, 0);
}

TEST_F(MapReadTest, ProcessedCopyMakesReadNonexonic)
{
	// C1 offsets 150..247; read offset 50 is C1 offset 200, where the processed copy on chr2
	// differs from the exon.
	const std::string base = tx(TestIndex::C1).substr(150, 98);
	const char copy_base = G->text[G->copy_variant_pos];
	ASSERT_NE(copy_base, base[50]);

	std::string like_copy = base;
	like_copy[50] = copy_base;  // one mismatch to C1, none to the copy
	Mapped m = map(like_copy);
	ASSERT_EQ(m.alignments.size(), 1u);
	EXPECT_EQ(m.alignments[0].score, 95);
	EXPECT_EQ(m.outcome, MAP_NONEXONIC);

	std::string third = base;
	char b = 'A';
	for (const char *l = "ACGT"; *l; ++l)
		if (*l != base[50] && *l != copy_base) b = *l;
	third[50] = b;  // one mismatch to both: the genome is not better
	EXPECT_EQ(map(third).outcome, MAP_EXONIC);

	// Two mismatches to C1 (limit 2), one to the copy: found by seed and verification.
	std::string two = like_copy;
	two[10] = other_base(two[10]);
	Mapped m2 = map(two);
	ASSERT_FALSE(m2.alignments.empty());
	EXPECT_EQ(m2.best, 92);
	EXPECT_EQ(m2.outcome, MAP_NONEXONIC);
	// Two mismatches to both: still exonic.
	std::string two_both = third;
	two_both[10] = other_base(two_both[10]);
	EXPECT_EQ(map(two_both).outcome, MAP_EXONIC);
}

TEST_F(MapReadTest, IntronReads)
{
	// P's first intron: chr1 1301..2000.
	const std::string intron = G->chr1.substr(1400, 98);
	Mapped off_run = map(intron);
	EXPECT_EQ(off_run.outcome, MAP_UNMAPPED);
	EXPECT_TRUE(off_run.alignments.empty());
	EXPECT_EQ(map(intron, true).outcome, MAP_NONEXONIC);

	// Three mismatches (limit max_err = 5): still placed in the genome.
	std::string three = intron;
	for (int q : {10, 20, 30}) three[q] = other_base(three[q]);
	EXPECT_EQ(map(three, true).outcome, MAP_NONEXONIC);
	EXPECT_EQ(map(three).outcome, MAP_UNMAPPED);
	// Five mismatches reach the limit: nowhere.
	std::string five = intron;
	for (int q : {5, 12, 19, 26, 33}) five[q] = other_base(five[q]);
	EXPECT_EQ(map(five, true).outcome, MAP_UNMAPPED);
	// The reverse complement of an intron read is placed on the other strand.
	std::string rc = reverse_complement(three);
	EXPECT_EQ(map(rc, true).outcome, MAP_NONEXONIC);
}

TEST_F(MapReadTest, ExonJunctionsAreExonic)
{
	// P1 exon 1 | exon 2 (P1 offset 300), P2 exon 1 | exon 3 (P2 offset 300).
	Mapped a = map(tx(TestIndex::P1).substr(251, 98));
	EXPECT_EQ(a.outcome, MAP_EXONIC);
	ASSERT_EQ(a.alignments.size(), 1u);
	EXPECT_EQ(a.alignments[0].position, off(TestIndex::P1) + 251);
	EXPECT_EQ(a.alignments[0].score, 98);
	Mapped b = map(tx(TestIndex::P2).substr(240, 98));
	EXPECT_EQ(b.outcome, MAP_EXONIC);
	ASSERT_EQ(b.alignments.size(), 1u);
	EXPECT_EQ(b.alignments[0].position, off(TestIndex::P2) + 240);
	// Junction read with one mismatch: the genome cannot explain it better.
	std::string c = tx(TestIndex::P1).substr(251, 98);
	c[70] = other_base(c[70]);
	Mapped cm = map(c);
	EXPECT_EQ(cm.outcome, MAP_EXONIC);
	ASSERT_EQ(cm.alignments.size(), 1u);
	EXPECT_EQ(cm.alignments[0].score, 95);
}

TEST_F(MapReadTest, IsoformsGiveEqualAlignments)
{
	// Inside exon 1, shared by P1 and P2.
	Mapped m = map(tx(TestIndex::P1).substr(20, 98));
	EXPECT_EQ(m.outcome, MAP_EXONIC);
	ASSERT_EQ(m.alignments.size(), 2u);
	EXPECT_EQ(m.alignments[0].position, off(TestIndex::P1) + 20);
	EXPECT_EQ(m.alignments[1].position, off(TestIndex::P2) + 20);
	EXPECT_EQ(m.alignments[0].score, 98);
	EXPECT_EQ(m.alignments[1].score, 98);
	// Inside exon 3 at different transcript offsets.
	Mapped e3 = map(tx(TestIndex::P2).substr(400, 98));
	ASSERT_EQ(e3.alignments.size(), 2u);
	EXPECT_EQ(e3.alignments[0].position, off(TestIndex::P1) + 600);
	EXPECT_EQ(e3.alignments[1].position, off(TestIndex::P2) + 400);
}

TEST_F(MapReadTest, MinusStrandGeneReadInMrnaOrientation)
{
	const std::string read = tx(TestIndex::M1).substr(100, 98);
	Mapped m = map(read);
	EXPECT_EQ(m.outcome, MAP_EXONIC);
	ASSERT_EQ(m.alignments.size(), 1u);
	EXPECT_EQ(m.alignments[0].position, off(TestIndex::M1) + 100);
	// The transcript side never tries the reverse complement; the genome check does.
	const std::string rc = reverse_complement(read);
	Mapped r = map(rc);
	EXPECT_EQ(r.outcome, MAP_UNMAPPED);
	EXPECT_TRUE(r.alignments.empty());
	EXPECT_EQ(map(rc, true).outcome, MAP_NONEXONIC);
}

TEST_F(MapReadTest, DeletionAcceptedByGappedStep)
{
	const std::string &c = tx(TestIndex::C1);
	const std::string read = c.substr(100, 49) + c.substr(150, 49);
	Mapped m = map(read);
	EXPECT_EQ(m.outcome, MAP_EXONIC);
	ASSERT_FALSE(m.alignments.empty());
	for (const Alignment &a : m.alignments) {
		EXPECT_EQ(a.position, off(TestIndex::C1) + 100);
		EXPECT_EQ(a.score, 95);
	}
}

TEST_F(MapReadTest, InsertionAcceptedByGappedStep)
{
	const std::string &c = tx(TestIndex::C1);
	char extra = 'A';
	for (const char *l = "ACGT"; *l; ++l)
		if (*l != c[149] && *l != c[150]) extra = *l;
	const std::string read = c.substr(100, 50) + std::string(1, extra) + c.substr(150, 47);
	Mapped m = map(read);
	EXPECT_EQ(m.outcome, MAP_EXONIC);
	ASSERT_FALSE(m.alignments.empty());
	for (const Alignment &a : m.alignments) {
		EXPECT_EQ(a.position, off(TestIndex::C1) + 100);
		EXPECT_EQ(a.score, 94);
	}
	// Two deletions 20 bases apart: 98 matches - 3 - 3.
	const std::string two = c.substr(100, 40) + c.substr(141, 20) + c.substr(162, 38);
	Mapped t = map(two);
	EXPECT_EQ(t.outcome, MAP_EXONIC);
	ASSERT_FALSE(t.alignments.empty());
	EXPECT_EQ(t.alignments[0].position, off(TestIndex::C1) + 100);
	EXPECT_EQ(t.alignments[0].score, 92);
}

TEST_F(MapReadTest, ReadWithN)
{
	std::string read = tx(TestIndex::C1).substr(200, 98);
	read[50] = 'N';
	Mapped m = map(read);
	EXPECT_EQ(m.outcome, MAP_EXONIC);  // limit 1, and N is a mismatch everywhere in the genome
	ASSERT_EQ(m.alignments.size(), 1u);
	EXPECT_EQ(m.alignments[0].score, 96);
	// An N in every k-mer window: k-mers sampled, no hits.
	std::string ns = tx(TestIndex::C1).substr(200, 98);
	for (int q : {10, 25, 40, 55, 70}) ns[q] = 'n';
	Mapped n = map(ns);
	EXPECT_EQ(ws->seeds.n_kmers, 5);
	EXPECT_EQ(ws->seeds.n_hits, 0);
	EXPECT_EQ(n.outcome, MAP_UNMAPPED);
}

TEST_F(MapReadTest, ReadSpanningTranscriptEnd)
{
	// The last 95 bases of C1 and three bases that differ from the genome after the exon.
	std::string read = tx(TestIndex::C1).substr(505) + "AAA";
	for (int i = 0; i < 3; ++i)
		if (read[95 + i] == G->chr1[8600 + i]) read[95 + i] = 'C';
	Mapped m = map(read);
	EXPECT_EQ(m.outcome, MAP_EXONIC);
	// Accepted by the re-extension of the pass-1 candidate and again by pass 2.
	ASSERT_EQ(m.alignments.size(), 2u);
	for (const Alignment &a : m.alignments) {
		EXPECT_EQ(a.position, off(TestIndex::C1) + 505);
		EXPECT_EQ(a.score, 95);
	}
	// Continued by the genome's own bases the read is better explained by the genome.
	std::string genomic = tx(TestIndex::C1).substr(505) + G->chr1.substr(8600, 3);
	EXPECT_EQ(map(genomic).outcome, MAP_NONEXONIC);
}

TEST_F(MapReadTest, ShortReads)
{
	const std::string exon20 = tx(TestIndex::C1).substr(400, 20);
	Mapped m = map(exon20);
	EXPECT_EQ(m.outcome, MAP_UNMAPPED);
	EXPECT_EQ(ws->seeds.n_kmers, 0);
	EXPECT_TRUE(m.alignments.empty());
	// With count_intron the exact genome match is found (max_err 1).
	EXPECT_EQ(map(exon20, true).outcome, MAP_NONEXONIC);
	std::string random20 = exon20;
	for (char &c : random20) c = other_base(c);
	EXPECT_EQ(map(random20, true).outcome, MAP_UNMAPPED);

	// Exactly k bases: sampled twice at offset 0, a group of size 2 = n, score 29, limit 0.
	Mapped k = map(tx(TestIndex::C1).substr(400, 29));
	EXPECT_EQ(ws->seeds.n_kmers, 2);
	EXPECT_EQ(ws->seeds.n_hits, 2);
	EXPECT_EQ(k.outcome, MAP_EXONIC);
	ASSERT_EQ(k.alignments.size(), 1u);
	EXPECT_EQ(k.alignments[0].score, 29);
	// 43 bases: k-mers at 0 and 14.
	Mapped k43 = map(tx(TestIndex::C1).substr(400, 43));
	EXPECT_EQ(ws->seeds.kmer_offset[1], 14u);
	EXPECT_EQ(k43.outcome, MAP_EXONIC);
}

TEST_F(MapReadTest, RandomReadIsUnmapped)
{
	std::mt19937 rng(77);
	for (int i = 0; i < 20; ++i) {
		const std::string read = random_bases(rng, 98);
		EXPECT_EQ(map(read).outcome, MAP_UNMAPPED);
		EXPECT_EQ(map(read, true).outcome, MAP_UNMAPPED);
	}
}

TEST_F(MapReadTest, WorkspaceReuseGivesSameResults)
{
	std::mt19937 rng(99);
	std::vector<std::string> reads;
	for (int t = 0; t < 5; ++t)
		for (int i = 0; i < 6; ++i) {
			const std::string &s = tx(t);
			const size_t len = 20 + rng() % 130;
			if (s.size() < len) continue;
			std::string r = s.substr(rng() % (s.size() - len + 1), len);
			for (int e = (int)(rng() % 4); e > 0; --e) {
				const size_t p = rng() % r.size();
				r[p] = (rng() % 6 == 0) ? 'N' : other_base(r[p], rng());
			}
			if (rng() % 3 == 0) r.erase(rng() % r.size(), 1);
			reads.push_back(r);
		}
	// Fresh workspace per read versus one workspace for all, in reverse order.
	std::vector<Mapped> fresh;
	for (const std::string &r : reads) {
		MappingWorkspace *w = create_mapping_workspace(&X->index_intron);
		std::string copy = r;
		ReadRecord rec = make_read(copy);
		Mapped m;
		m.outcome = map_read(&rec, w);
		m.alignments.assign(w->alignments.records, w->alignments.records + w->alignments.count);
		fresh.push_back(m);
		release_mapping_workspace(w);
	}
	int exonic = 0;
	for (size_t i = reads.size(); i-- > 0;) {
		Mapped m = map(reads[i], true);
		EXPECT_EQ(m.outcome, fresh[i].outcome) << reads[i];
		ASSERT_EQ(m.alignments.size(), fresh[i].alignments.size()) << reads[i];
		for (size_t j = 0; j < m.alignments.size(); ++j) {
			EXPECT_EQ(m.alignments[j].position, fresh[i].alignments[j].position);
			EXPECT_EQ(m.alignments[j].score, fresh[i].alignments[j].score);
		}
		exonic += m.outcome == MAP_EXONIC;
	}
	EXPECT_GT(exonic, (int)reads.size() / 3);
}

TEST_F(MapReadTest, LongReadGrowsBuffers)
{
	// A 600-base read (all of C1) has 39 k-mers: the per-k-mer arrays grow beyond 8.
	const std::string read = tx(TestIndex::C1);
	Mapped m = map(read);
	EXPECT_EQ(ws->seeds.n_kmers, 39);
	EXPECT_GE(ws->seeds.kmer_cap, 40);
	EXPECT_EQ(m.outcome, MAP_EXONIC);
	ASSERT_EQ(m.alignments.size(), 1u);
	EXPECT_EQ(m.alignments[0].score, 600);
	// The whole of exon 1 lies in both isoforms.
	Mapped i = map(tx(TestIndex::P2).substr(0, 300));
	EXPECT_EQ(i.alignments.size(), 2u);
}

TEST_F(MapReadTest, TandemRepeatGrowsHitsAndAlignments)
{
	// R1 is a 15-base unit 100 times: each k-mer of a read inside it hits 98 or 99 places,
	// and the read fits completely at 94 of them (offsets 7 + 15 j).
	Mapped m = map(tx(TestIndex::R1).substr(7, 98));
	EXPECT_GT(ws->seeds.n_hits, 256);
	EXPECT_GE(ws->seeds.hit_cap, ws->seeds.n_hits);
	EXPECT_EQ(ws->seeds.hit_cap & (ws->seeds.hit_cap - 1), 0);  // a power of two
	EXPECT_EQ(m.outcome, MAP_EXONIC);
	ASSERT_EQ(m.alignments.size(), 94u);
	EXPECT_GE(ws->alignments.capacity, 94);
	for (size_t j = 0; j < m.alignments.size(); ++j) {
		EXPECT_EQ(m.alignments[j].position, off(TestIndex::R1) + 7 + 15 * (uint32_t)j);
		EXPECT_EQ(m.alignments[j].score, 98);
	}
	// The first pass decided from the k-mer lists; merged, they ascend.
	merge_seed_hits(&ws->seeds);
	for (int32_t i = 1; i < ws->seeds.n_hits; ++i)
		ASSERT_LE((int32_t)ws->seeds.merged[i - 1].diagonal, (int32_t)ws->seeds.merged[i].diagonal);
}

TEST(ReadCache, KeysTellEveryReadApart)
{
	const std::string a160(160, 'A');
	const struct {
		std::string read;
		bool keyed;
	} cases[] = {{"ACGT", true}, {"ACGTA", true}, {"ACGTAA", true}, {a160, true}, {a160 + "A", false},
	             {"", false}, {"ACGN", false}, {"ACGt", false}, {std::string(95, 'C') + "T", true}};
	std::vector<ReadKey> keys;
	for (const auto &c : cases) {
		ReadKey k;
		EXPECT_EQ(read_cache_key(c.read.data(), (int32_t)c.read.size(), &k), c.keyed) << c.read;
		if (c.keyed) keys.push_back(k);
	}
	// Trailing A's are zero codes: the length tells the keys apart.
	for (size_t i = 0; i < keys.size(); ++i)
		for (size_t j = 0; j < keys.size(); ++j)
			EXPECT_EQ(keys[i].len == keys[j].len && !memcmp(keys[i].bases, keys[j].bases, sizeof keys[i].bases),
			          i == j);
	// So does the cache, with the first four in one set of four.
	ReadCache *cache = create_read_cache(4);
	Alignment record{0, 0};
	for (int i = 0; i < 4; ++i) {
		keys[i].hash = 0;
		record = {(uint32_t)i, i};
		const AlignmentList one{&record, 1, 1, i};
		read_cache_store(cache, &keys[i], (MapOutcome)i, &one);
	}
	for (int i = 0; i < 4; ++i) {
		AlignmentList found{&record, 0, 1, 0};
		MapOutcome outcome;
		ASSERT_TRUE(read_cache_find(cache, &keys[i], &found, &outcome));
		EXPECT_EQ(outcome, (MapOutcome)i);
		EXPECT_EQ(found.count, 1);
		EXPECT_EQ(record.position, (uint32_t)i);
	}
	release_read_cache(cache);
}

// Random alignment lists over the transcripts of several genes, best alignments in one gene or
// in several: the kept ones settle on the same gene with the same best score.
TEST_F(MapReadTest, SettlingAlignmentsKeepTheGene)
{
	std::mt19937 rng(14);
	int several = 0;
	for (int iter = 0; iter < 400; ++iter) {
		std::vector<Alignment> records;
		AlignmentList all{nullptr, 0, 0, 0};
		for (int i = 1 + (int)(rng() % 30); i > 0; --i) {
			const int t = (int)(rng() % X->tx.size());
			records.push_back({off(t) + (uint32_t)(rng() % tx(t).size()), 90 - (int32_t)(rng() % 3)});
			all.best = std::max(all.best, records.back().score);
		}
		all.records = records.data();
		all.count = all.capacity = (int32_t)records.size();
		Alignment kept[2];
		AlignmentList settling{kept, settling_alignments(&all, MAP_EXONIC, &X->ann, kept), 2, 0};
		for (int32_t i = 0; i < settling.count; ++i) settling.best = std::max(settling.best, kept[i].score);
		ASSERT_EQ(settle_gene(&settling, &X->ann), settle_gene(&all, &X->ann)) << iter;
		ASSERT_EQ(settling.best, all.best);
		several += settle_gene(&all, &X->ann) < 0;
		EXPECT_EQ(settling_alignments(&all, MAP_NONEXONIC, &X->ann, kept), 0);
	}
	EXPECT_GT(several, 50);
	EXPECT_LT(several, 350);
}

// Workers on three threads share a cache far too small for the reads they map again and
// again, so that sets fill and entries are replaced while others read them: every outcome and
// alignment list is the one the plain path gives.
TEST_F(MapReadTest, ReadCacheGivesTheOutcomesOfMapping)
{
	std::mt19937 rng(13);
	std::vector<std::string> reads;
	for (int i = 0; i < 150; ++i) {
		const int t = (int)(rng() % X->tx.size());
		const size_t len = i % 10 == 0 ? 170 : 98;  // longer than the cache keeps
		std::string read = tx(t).substr(rng() % (tx(t).size() - len), len);
		if (i % 4 == 0) read = G->text.substr(G->chr2_start + 2000 + rng() % 100, 98);
		for (int e = (int)(rng() % 4); e > 0; --e) {
			const size_t q = rng() % read.size();
			read[q] = rng() % 8 == 0 ? 'N' : other_base(read[q], 1 + rng() % 3);
		}
		reads.push_back(read);
	}
	reads.push_back(tx(TestIndex::R1).substr(7, 98));  // 94 alignments: more than an entry holds
	// Two reads that differ by a last A alone.
	const std::string &c1 = tx(TestIndex::C1);
	const size_t p = c1.find('A', 200) - 97;
	reads.push_back(c1.substr(p, 98));
	reads.push_back(c1.substr(p, 97));
	reads[1] = reads[reads.size() - 2];  // both among the frequent reads
	reads[2] = reads.back();
	std::vector<Mapped> want;
	MappingWorkspace *plain = create_mapping_workspace(&X->index_plain);
	for (std::string read : reads) {
		ReadRecord r = make_read(read);
		Mapped m;
		m.outcome = map_read(&r, plain);
		m.alignments.assign(plain->alignments.records, plain->alignments.records + plain->alignments.count);
		m.best = plain->alignments.best;
		want.push_back(m);
	}
	release_mapping_workspace(plain);

	// A run without an alignment dump reads, of the alignments, only the gene that an exonic
	// read's best ones settle on: its cache keeps that much of every read, however many.
	MappingIndex exonic_only = X->index_placed;
	exonic_only.exonic_only = 1;
	std::vector<int64_t> want_gene;
	for (Mapped &m : want) {
		AlignmentList list{m.alignments.data(), (int32_t)m.alignments.size(), (int32_t)m.alignments.size(), m.best};
		want_gene.push_back(m.outcome == MAP_EXONIC ? settle_gene(&list, &X->ann) : -2);
	}
	for (const MappingIndex *index : {&X->index_placed, (const MappingIndex *)&exonic_only}) {
		SCOPED_TRACE(index->exonic_only ? "exonic only" : "every alignment");
		ReadCache *cache = create_read_cache(32);
		std::vector<int> hits(3), bad(3);
		auto worker = [&](int w) {
			MappingWorkspace *ws = create_mapping_workspace(index);
			ws->cache = cache;
			std::mt19937 order(100 + w);
			for (int iter = 0; iter < 1500; ++iter) {
				const size_t i = order() % 12 == 0 ? order() % reads.size() : order() % 12;  // a few often
				std::string read = reads[i];
				ReadRecord r = make_read(read);
				ReadKey key;
				AlignmentList seen{};
				MapOutcome cached;
				if (read_cache_key(r.seq, r.len, &key)) {
					seen.capacity = 1;
					seen.records = (Alignment *)malloc(sizeof(Alignment));
					hits[w] += read_cache_find(cache, &key, &seen, &cached);
					free(seen.records);
				}
				const MapOutcome outcome = map_read(&r, ws);
				const AlignmentList *al = &ws->alignments;
				bool same = outcome == want[i].outcome;
				if (index->exonic_only) {
					same = same && (outcome != MAP_EXONIC || settle_gene(al, &X->ann) == want_gene[i]);
				} else {
					same = same && al->count == (int32_t)want[i].alignments.size() && al->best == want[i].best;
					for (int32_t j = 0; same && j < al->count; ++j)
						same = al->records[j].position == want[i].alignments[j].position &&
						       al->records[j].score == want[i].alignments[j].score;
				}
				bad[w] += !same;
			}
			release_mapping_workspace(ws);
		};
		std::vector<std::thread> threads;
		for (int w = 0; w < 3; ++w) threads.emplace_back(worker, w);
		for (std::thread &t : threads) t.join();
		release_read_cache(cache);
		for (int w = 0; w < 3; ++w) {
			EXPECT_EQ(bad[w], 0) << "worker " << w;
			EXPECT_GT(hits[w], 500) << "worker " << w;
		}
	}
}

}  // namespace
