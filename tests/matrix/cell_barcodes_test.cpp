// Cell-barcode ranking and cuts, barcode rescue and UMI collapsing on in-memory tables.
#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>
#include "matrix/matrix.h"

namespace {

const int BC_LEN = 16;
const int UMI_LEN = 10;

struct Table {
	BarcodeTable *t = barcode_table_create(1);
	~Table() { barcode_table_free(t); }
};

struct List {
	BarcodeList l{};
	~List() { release_barcode_list(&l); }
};

uint64_t bc(const char *s)
{
	EXPECT_EQ(strlen(s), (size_t)BC_LEN);
	return pack_bases(s, BC_LEN);
}

uint64_t umi_key(const char *umi, uint32_t gene)
{
	EXPECT_EQ(strlen(umi), (size_t)UMI_LEN);
	return (pack_bases(umi, UMI_LEN) << GENE_BITS) | gene;
}

// Single-threaded insert: grow whenever the probe bound is hit.
uint32_t put_barcode(BarcodeTable *t, uint64_t code)
{
	for (;;) {
		uint32_t s = barcode_table_insert(t, code);
		if (s != TABLE_FULL) return s;
		barcode_table_grow(t);
	}
}

// `n` distinct UMI keys (UMI codes first .. first + n - 1) on `gene`.
void add_umis(BarcodeTable *t, uint64_t code, uint32_t n, uint64_t first = 0, uint32_t gene = 0)
{
	uint32_t s = put_barcode(t, code);
	for (uint32_t i = 0; i < n; ++i) barcode_add_umi(t, s, ((first + i) << GENE_BITS) | gene);
}

uint32_t umi_count_of(const BarcodeTable *t, uint64_t code)
{
	uint32_t s = barcode_table_find(t, code);
	EXPECT_NE(s, TABLE_FULL);
	if (s == TABLE_FULL || !t->slots[s].umis) return 0;
	return t->slots[s].umis->count;
}

std::string letters(uint64_t code)
{
	char out[MAX_CODE_LEN + 1];
	unpack_bases(code, BC_LEN, out);
	return out;
}

// Hamming distance of two codes over `len` base-5 digits.
int code_distance(uint64_t a, uint64_t b, int len)
{
	int d = 0;
	for (int j = 0; j < len; ++j) d += (a / POWERS_OF_5[j]) % 5 != (b / POWERS_OF_5[j]) % 5;
	return d;
}

// Random ACGT barcodes, at least two substitutions from each other.
std::vector<uint64_t> distant_barcodes(size_t n, std::mt19937_64 &rng)
{
	std::vector<uint64_t> out;
	while (out.size() < n) {
		uint64_t c = 0;
		for (int i = 0; i < BC_LEN; ++i) c = c * 5 + rng() % 4;
		bool ok = true;
		for (uint64_t o : out) ok = ok && code_distance(o, c, BC_LEN) >= 2;
		if (ok) out.push_back(c);
	}
	return out;
}

// The ranking written as plainly as possible: stable sort of each 64-block, then
// pairwise merges of neighbouring runs that prefer the right run on equal counts.
std::vector<BarcodeEntry> reference_rank(std::vector<BarcodeEntry> v)
{
	auto larger = [](const BarcodeEntry &a, const BarcodeEntry &b) { return a.umi_count > b.umi_count; };
	std::vector<std::vector<BarcodeEntry>> runs;
	for (size_t i = 0; i < v.size(); i += 64) {
		std::vector<BarcodeEntry> run(v.begin() + i, v.begin() + std::min(v.size(), i + 64));
		std::stable_sort(run.begin(), run.end(), larger);
		runs.push_back(run);
	}
	while (runs.size() > 1) {
		std::vector<std::vector<BarcodeEntry>> next;
		for (size_t r = 0; r < runs.size(); r += 2) {
			if (r + 1 == runs.size()) {
				next.push_back(runs[r]);
				continue;
			}
			const auto &a = runs[r], &b = runs[r + 1];
			std::vector<BarcodeEntry> m;
			size_t i = 0, j = 0;
			while (i < a.size() && j < b.size()) m.push_back(a[i].umi_count > b[j].umi_count ? a[i++] : b[j++]);
			while (i < a.size()) m.push_back(a[i++]);
			while (j < b.size()) m.push_back(b[j++]);
			next.push_back(m);
		}
		runs.swap(next);
	}
	return runs.empty() ? std::vector<BarcodeEntry>() : runs[0];
}

TEST(SelectCellBarcodes, RankingMatchesReferenceOnManyTies)
{
	std::mt19937_64 rng(7);
	for (uint32_t n : {0u, 1u, 63u, 64u, 65u, 200u, 1000u}) {
		SCOPED_TRACE(n);
		Table tab;
		std::vector<uint64_t> codes = distant_barcodes(n, rng);
		for (uint64_t c : codes) add_umis(tab.t, c, 1 + (uint32_t)(rng() % 4));

		// Input order of the ranking: occupied slots in ascending order.
		std::vector<BarcodeEntry> by_slot;
		for (uint32_t s = 0; s < tab.t->capacity; ++s)
			if (tab.t->slots[s].code != EMPTY_KEY)
				by_slot.push_back({tab.t->slots[s].code, tab.t->slots[s].umis->count, tab.t->slots[s].umis});
		ASSERT_EQ(by_slot.size(), n);

		// Closed form of the tie rule: by count, then later 64-block first, then slot order.
		std::vector<size_t> idx(n);
		for (size_t i = 0; i < n; ++i) idx[i] = i;
		std::sort(idx.begin(), idx.end(), [&](size_t a, size_t b) {
			if (by_slot[a].umi_count != by_slot[b].umi_count) return by_slot[a].umi_count > by_slot[b].umi_count;
			if (a / 64 != b / 64) return a / 64 > b / 64;
			return a < b;
		});
		std::vector<BarcodeEntry> ref = reference_rank(by_slot);

		List list;
		select_cell_barcodes(tab.t, &list.l, BC_LEN);
		ASSERT_EQ(list.l.n, n);
		for (uint32_t i = 0; i < n; ++i) {
			const BarcodeEntry &e = list.l.entries[i];
			EXPECT_EQ(e.code, ref[i].code) << "position " << i;
			EXPECT_EQ(e.code, by_slot[idx[i]].code) << "position " << i;
			EXPECT_EQ(e.umi_count, ref[i].umi_count);
			EXPECT_EQ(e.umis, ref[i].umis);
			EXPECT_EQ(tab.t->slot_rank[barcode_table_find(tab.t, e.code)], i);
		}
		// Random distant barcodes with at most 4 UMIs: the top count gives t = 0 and no
		// barcode has a neighbour, so every barcode is a cell.
		EXPECT_EQ(list.l.cell_count, n);
	}
}

TEST(SelectCellBarcodes, EqualCountsInOneBlockKeepSlotOrder)
{
	std::mt19937_64 rng(11);
	Table tab;
	std::vector<uint64_t> codes = distant_barcodes(20, rng);
	for (uint64_t c : codes) add_umis(tab.t, c, 3);
	List list;
	select_cell_barcodes(tab.t, &list.l, BC_LEN);
	ASSERT_EQ(list.l.n, 20u);
	for (uint32_t i = 1; i < 20; ++i)
		EXPECT_LT(barcode_table_find(tab.t, list.l.entries[i - 1].code),
		          barcode_table_find(tab.t, list.l.entries[i].code));
}

TEST(SelectCellBarcodes, ErrorCutThenRescueMergesIntoOnlyKeptNeighbour)
{
	std::mt19937_64 rng(3);
	Table tab;
	const uint64_t big = bc("ACGTTGCAACGTTGCA");
	const uint64_t err = bc("ACGTTGCAACGTTGCC");  // last base differs
	const uint64_t other = distant_barcodes(1, rng)[0];
	ASSERT_GE(code_distance(other, big, BC_LEN), 2);
	ASSERT_GE(code_distance(other, err, BC_LEN), 2);
	add_umis(tab.t, big, 500);
	add_umis(tab.t, other, 300, 0, 1);
	add_umis(tab.t, err, 20, 495);  // 5 keys shared with `big`, 15 new ones
	UmiTable *err_umis = tab.t->slots[barcode_table_find(tab.t, err)].umis;
	std::vector<uint64_t> err_keys;
	for (uint32_t s = 0; s < err_umis->capacity; ++s)
		if (err_umis->keys[s] != EMPTY_KEY) err_keys.push_back(err_umis->keys[s]);

	List list;
	select_cell_barcodes(tab.t, &list.l, BC_LEN);
	ASSERT_EQ(list.l.n, 3u);
	EXPECT_EQ(list.l.entries[0].code, big);
	EXPECT_EQ(list.l.entries[1].code, other);
	EXPECT_EQ(list.l.entries[2].code, err);
	EXPECT_EQ(list.l.cell_count, 2u);

	rescue_barcodes(tab.t, &list.l, BC_LEN);
	EXPECT_EQ(tab.t->slots[barcode_table_find(tab.t, err)].umis, nullptr);
	EXPECT_EQ(umi_count_of(tab.t, big), 515u);
	EXPECT_EQ(umi_count_of(tab.t, other), 300u);
	const UmiTable *k = tab.t->slots[barcode_table_find(tab.t, big)].umis;
	for (uint64_t key : err_keys) EXPECT_NE(umi_table_find(k, key), TABLE_FULL);
	// The list is neither re-sorted nor re-counted.
	EXPECT_EQ(list.l.entries[0].umi_count, 500u);
	EXPECT_EQ(list.l.entries[0].umis, k);
	EXPECT_EQ(list.l.cell_count, 2u);
}

TEST(SelectCellBarcodes, DroppedBarcodeWithTwoKeptNeighboursStays)
{
	Table tab;
	const uint64_t x = bc("CCCCGGGGTTTTAAAA");
	const uint64_t y = bc("CCCCGGGGTTTTAACC");
	const uint64_t z = bc("CCCCGGGGTTTTAAAC");  // one base from x and from y
	add_umis(tab.t, x, 100);
	add_umis(tab.t, y, 90);
	add_umis(tab.t, z, 5, 1000);
	List list;
	select_cell_barcodes(tab.t, &list.l, BC_LEN);
	ASSERT_EQ(list.l.n, 3u);
	EXPECT_EQ(list.l.entries[2].code, z);
	EXPECT_EQ(list.l.cell_count, 2u);
	rescue_barcodes(tab.t, &list.l, BC_LEN);
	EXPECT_EQ(umi_count_of(tab.t, x), 100u);
	EXPECT_EQ(umi_count_of(tab.t, y), 90u);
	EXPECT_EQ(umi_count_of(tab.t, z), 5u);
}

TEST(SelectCellBarcodes, BarcodeWhoseOnlyNeighbourIsDroppedIsNotMerged)
{
	Table tab;
	const uint64_t top = bc("AAAACCCCGGGGTTTT");
	const uint64_t w = bc("TGCATGCATGCATGCA");
	const uint64_t v = bc("TGCATGCATGCATGCT");
	add_umis(tab.t, top, 1000);
	add_umis(tab.t, w, 5);
	add_umis(tab.t, v, 3, 100);
	List list;
	select_cell_barcodes(tab.t, &list.l, BC_LEN);
	EXPECT_EQ(list.l.cell_count, 1u);
	rescue_barcodes(tab.t, &list.l, BC_LEN);
	EXPECT_EQ(umi_count_of(tab.t, top), 1000u);
	EXPECT_EQ(umi_count_of(tab.t, w), 5u);
	EXPECT_EQ(umi_count_of(tab.t, v), 3u);
}

TEST(SelectCellBarcodes, LowCutAtOnePercentOfTop)
{
	std::mt19937_64 rng(5);
	Table tab;
	std::vector<uint64_t> codes = distant_barcodes(7, rng);
	add_umis(tab.t, codes[0], 1000);
	for (int i = 1; i <= 3; ++i) add_umis(tab.t, codes[i], 10);
	for (int i = 4; i <= 6; ++i) add_umis(tab.t, codes[i], 9);
	List list;
	select_cell_barcodes(tab.t, &list.l, BC_LEN);
	ASSERT_EQ(list.l.n, 7u);
	EXPECT_EQ(list.l.cell_count, 4u);
	EXPECT_EQ(list.l.entries[3].umi_count, 10u);
	EXPECT_EQ(list.l.entries[4].umi_count, 9u);
}

TEST(SelectCellBarcodes, TopOf99CutsNothing)
{
	std::mt19937_64 rng(6);
	Table tab;
	std::vector<uint64_t> codes = distant_barcodes(4, rng);
	add_umis(tab.t, codes[0], 99);
	add_umis(tab.t, codes[1], 1);
	add_umis(tab.t, codes[2], 2);
	add_umis(tab.t, codes[3], 1);
	List list;
	select_cell_barcodes(tab.t, &list.l, BC_LEN);
	EXPECT_EQ(list.l.cell_count, 4u);
}

TEST(SelectCellBarcodes, EqualNeighbourOfTopLeavesNoCell)
{
	Table tab;
	const uint64_t a = bc("GATTACAGATTACAGA");
	const uint64_t b = bc("GATTACAGATTACAGG");
	add_umis(tab.t, a, 50);
	add_umis(tab.t, b, 50, 7);
	List list;
	select_cell_barcodes(tab.t, &list.l, BC_LEN);
	EXPECT_EQ(list.l.n, 2u);
	EXPECT_EQ(list.l.cell_count, 0u);
	rescue_barcodes(tab.t, &list.l, BC_LEN);
	EXPECT_EQ(umi_count_of(tab.t, a), 50u);
	EXPECT_EQ(umi_count_of(tab.t, b), 50u);
}

TEST(SelectCellBarcodes, EqualNeighbourPairBelowTopCutsAtFirstOfPair)
{
	Table tab;
	const uint64_t top = bc("AAAAAAAAAAAAAAAA");
	const uint64_t a = bc("CGCGCGCGCGCGCGCG");
	const uint64_t b = bc("CGCGCGCGCGCGCGCT");
	add_umis(tab.t, top, 100);
	add_umis(tab.t, a, 50);
	add_umis(tab.t, b, 50, 60);
	List list;
	select_cell_barcodes(tab.t, &list.l, BC_LEN);
	EXPECT_EQ(list.l.cell_count, 1u);
	rescue_barcodes(tab.t, &list.l, BC_LEN);  // neither has a kept neighbour
	EXPECT_EQ(umi_count_of(tab.t, a), 50u);
	EXPECT_EQ(umi_count_of(tab.t, b), 50u);
}

TEST(SelectCellBarcodes, BarcodeWithNHasItsNeighboursChecked)
{
	// The N of the small barcode is replaced by each of the four bases when looking
	// for neighbours, so the A variant counts as its neighbour.
	Table tab;
	const uint64_t full = bc("ACGTACGTACGTACGA");
	const uint64_t with_n = pack_bases("ACGTACGTACGTACGN", BC_LEN);
	add_umis(tab.t, full, 40);
	add_umis(tab.t, with_n, 4, 50);
	List list;
	select_cell_barcodes(tab.t, &list.l, BC_LEN);
	EXPECT_EQ(list.l.cell_count, 1u);
	rescue_barcodes(tab.t, &list.l, BC_LEN);
	EXPECT_EQ(umi_count_of(tab.t, full), 44u);
	EXPECT_EQ(letters(list.l.entries[1].code), "ACGTACGTACGTACGN");
}

// ---- UMI collapsing ----

struct Umis {
	UmiTable *t = umi_table_create();
	~Umis() { umi_table_free(t); }
	BarcodeEntry entry() { return BarcodeEntry{0, t->count, t}; }
};

const uint32_t G = 5;

std::vector<uint64_t> live_keys(const UmiTable *t)
{
	std::vector<uint64_t> out;
	for (uint32_t s = 0; s < t->capacity; ++s)
		if (t->keys[s] != EMPTY_KEY && (t->keys[s] & GENE_MASK) != G) out.push_back(t->keys[s]);
	return out;
}

TEST(CollapseUmis, OneBaseApartCountsOnce)
{
	Umis u;
	const uint64_t k1 = umi_key("AAAAAAAAAA", 2), k2 = umi_key("AAAAAAAAAC", 2);
	uint32_t s1 = umi_table_insert(u.t, k1), s2 = umi_table_insert(u.t, k2);
	BarcodeEntry e = u.entry();
	collapse_umis(&e, UMI_LEN, G);
	ASSERT_EQ(live_keys(u.t).size(), 1u);
	// The key in the lower slot is examined first and discarded.
	uint32_t lo = std::min(s1, s2), hi = std::max(s1, s2);
	uint64_t lo_key = s1 < s2 ? k1 : k2, hi_key = s1 < s2 ? k2 : k1;
	EXPECT_EQ(u.t->keys[lo], ((lo_key >> GENE_BITS) << GENE_BITS) | G);
	EXPECT_EQ(u.t->keys[hi], hi_key);
}

TEST(CollapseUmis, SameUmisOnDifferentGenesCountOnceEach)
{
	Umis u;
	umi_table_add(u.t, umi_key("AAAAAAAAAA", 0));
	umi_table_add(u.t, umi_key("AAAAAAAAAC", 1));
	umi_table_add(u.t, umi_key("AAAAAAAAAA", 1 + 2));
	BarcodeEntry e = u.entry();
	collapse_umis(&e, UMI_LEN, G);
	EXPECT_EQ(live_keys(u.t).size(), 3u);
}

TEST(CollapseUmis, UmiWithNIsNeverCounted)
{
	Umis u;
	umi_table_add(u.t, pack_bases("AAAANAAAAA", UMI_LEN) << GENE_BITS | 4);
	umi_table_add(u.t, umi_key("CCCCCCCCCC", 1));
	umi_table_add(u.t, pack_bases("cccccccccn", UMI_LEN) << GENE_BITS | 1);
	BarcodeEntry e = u.entry();
	collapse_umis(&e, UMI_LEN, G);
	std::vector<uint64_t> live = live_keys(u.t);
	ASSERT_EQ(live.size(), 1u);
	EXPECT_EQ(live[0], umi_key("CCCCCCCCCC", 1));
}

TEST(CollapseUmis, ChainOfThreeDependsOnSlotOrder)
{
	// a - b - c with a and c two bases apart: two survivors when b sits in the lowest
	// slot, one otherwise. Search random chains until both layouts have been seen.
	std::mt19937_64 rng(17);
	bool seen_middle_first = false, seen_other = false;
	for (int trial = 0; trial < 2000 && !(seen_middle_first && seen_other); ++trial) {
		uint64_t a = 0;
		for (int i = 0; i < UMI_LEN; ++i) a = a * 5 + rng() % 4;
		int j1 = (int)(rng() % UMI_LEN), j2 = (int)(rng() % UMI_LEN);
		if (j1 == j2) continue;
		uint64_t d1 = (a / POWERS_OF_5[j1]) % 5, d2 = (a / POWERS_OF_5[j2]) % 5;
		uint64_t b = a - d1 * POWERS_OF_5[j1] + ((d1 + 1) % 4) * POWERS_OF_5[j1];
		uint64_t c = b - d2 * POWERS_OF_5[j2] + ((d2 + 1) % 4) * POWERS_OF_5[j2];
		Umis u;
		uint32_t sa = umi_table_insert(u.t, a << GENE_BITS | 3);
		uint32_t sb = umi_table_insert(u.t, b << GENE_BITS | 3);
		uint32_t sc = umi_table_insert(u.t, c << GENE_BITS | 3);
		bool middle_first = sb < sa && sb < sc;
		BarcodeEntry e = u.entry();
		collapse_umis(&e, UMI_LEN, G);
		std::vector<uint64_t> live = live_keys(u.t);
		if (middle_first) {
			seen_middle_first = true;
			ASSERT_EQ(live.size(), 2u);
			EXPECT_EQ(u.t->keys[sb] & GENE_MASK, G);
		} else {
			seen_other = true;
			ASSERT_EQ(live.size(), 1u);
			// Each outer key still sees the middle one, or is seen last: the key in the
			// highest slot is the one that survives.
			EXPECT_EQ(live[0], u.t->keys[std::max(std::max(sa, sb), sc)]);
		}
	}
	EXPECT_TRUE(seen_middle_first);
	EXPECT_TRUE(seen_other);
}

// Collapsing written plainly: visit slots in order, compare against every other
// key's current value.
std::vector<uint64_t> reference_collapse(std::vector<uint64_t> keys)
{
	for (size_t s = 0; s < keys.size(); ++s) {
		uint64_t k = keys[s];
		if (k == EMPTY_KEY || (k & GENE_MASK) == G) continue;
		uint64_t u = k >> GENE_BITS, g = k & GENE_MASK;
		bool drop = false;
		for (int j = 0; j < UMI_LEN; ++j)
			if ((u / POWERS_OF_5[j]) % 5 == 4) drop = true;
		for (size_t o = 0; o < keys.size() && !drop; ++o) {
			if (o == s || keys[o] == EMPTY_KEY || (keys[o] & GENE_MASK) != g) continue;
			// A neighbour differs in one position and has a real base there: an N is
			// never substituted in.
			uint64_t v = keys[o] >> GENE_BITS;
			int diff = 0;
			bool n_there = false;
			for (int j = 0; j < UMI_LEN; ++j) {
				uint64_t dv = (v / POWERS_OF_5[j]) % 5;
				if (dv != (u / POWERS_OF_5[j]) % 5) {
					++diff;
					n_there = n_there || dv == 4;
				}
			}
			if (diff == 1 && !n_there) drop = true;
		}
		if (drop) keys[s] = (u << GENE_BITS) | G;
	}
	return keys;
}

TEST(CollapseUmis, MatchesPlainReferenceOnDenseTables)
{
	std::mt19937_64 rng(23);
	for (int round = 0; round < 200; ++round) {
		Umis u;
		// UMIs that share all but three positions, so that neighbours abound.
		uint64_t base = 0;
		for (int i = 0; i < UMI_LEN; ++i) base = base * 5 + rng() % 4;
		int n = 1 + (int)(rng() % 60);
		for (int i = 0; i < n; ++i) {
			uint64_t umi = base;
			for (int j = 0; j < 3; ++j) {
				int pos = (int)(rng() % 3) * 3;
				uint64_t d = (umi / POWERS_OF_5[pos]) % 5;
				uint64_t nd = rng() % 50 == 0 ? 4 : rng() % 4;
				umi = umi - d * POWERS_OF_5[pos] + nd * POWERS_OF_5[pos];
			}
			umi_table_add(u.t, umi << GENE_BITS | (uint32_t)(rng() % 2));
		}
		std::vector<uint64_t> before(u.t->keys, u.t->keys + u.t->capacity);
		std::vector<uint64_t> expected = reference_collapse(before);
		BarcodeEntry e = u.entry();
		collapse_umis(&e, UMI_LEN, G);
		std::vector<uint64_t> after(u.t->keys, u.t->keys + u.t->capacity);
		ASSERT_EQ(after, expected) << "round " << round;
	}
}

TEST(CollapseUmis, DiscardedKeysAreSkippedAndNullTableIsHarmless)
{
	Umis u;
	const uint64_t gone = (pack_bases("AAAAAAAAAC", UMI_LEN) << GENE_BITS) | G;
	umi_table_add(u.t, gone);
	umi_table_add(u.t, umi_key("AAAAAAAAAA", 0));
	BarcodeEntry e = u.entry();
	collapse_umis(&e, UMI_LEN, G);
	EXPECT_EQ(live_keys(u.t).size(), 1u);  // the discarded key is no neighbour any more
	BarcodeEntry none{0, 0, nullptr};
	collapse_umis(&none, UMI_LEN, G);
}

}  // namespace
