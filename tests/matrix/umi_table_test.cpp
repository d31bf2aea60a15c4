// UMI table: base-5 packing, load limit, triangular probing, in-place growth.
#include <gtest/gtest.h>
#include <cstring>
#include <random>
#include <set>
#include <vector>
#include "matrix/matrix.h"

namespace {

// Every key must be reachable from its home slot along the probe sequence without
// crossing a free slot; otherwise a later find would miss it.
void expect_probe_invariant(const UmiTable *t)
{
	const uint32_t mask = t->capacity - 1;
	uint32_t occupied = 0;
	for (uint32_t s = 0; s < t->capacity; ++s) {
		const uint64_t k = t->keys[s];
		if (k == EMPTY_KEY) continue;
		++occupied;
		uint32_t pos = umi_hash(k) & mask;
		for (uint32_t step = 1; pos != s; ++step) {
			ASSERT_NE(t->keys[pos], EMPTY_KEY) << "key in slot " << s << " unreachable";
			ASSERT_NE(t->keys[pos], k) << "key stored twice";
			pos = (pos + step) & mask;
			ASSERT_LT(step, 2 * t->capacity);
		}
	}
	EXPECT_EQ(occupied, t->count);
}

uint64_t umi_key(uint64_t umi_code, uint32_t gene)
{
	return (umi_code << GENE_BITS) | gene;
}

TEST(PackBases, Base5FirstBaseMostSignificant)
{
	EXPECT_EQ(pack_bases("A", 1), 0u);
	EXPECT_EQ(pack_bases("ACGT", 4), 0u * 125 + 1 * 25 + 2 * 5 + 3);
	EXPECT_EQ(pack_bases("acgt", 4), pack_bases("ACGT", 4));
	EXPECT_EQ(pack_bases("N", 1), 4u);
	EXPECT_EQ(pack_bases("X.", 2), 24u);  // any other byte is 4
	EXPECT_EQ(pack_bases("TTTTTTTTTTTTTTTT", 16), 114440917968ULL);  // 3 x (5^16 - 1) / 4
	EXPECT_EQ(pack_bases("NNNNNNNNNNNNNNNN", 16), 152587890624ULL);  // 5^16 - 1
	// Only `len` bases count.
	EXPECT_EQ(pack_bases("CAGGG", 2), 5u);
}

TEST(PackBases, UnpackRoundTrip)
{
	std::mt19937_64 rng(11);
	char out[32];
	for (int len : {1, 10, 12, 16, 18}) {
		for (int rep = 0; rep < 200; ++rep) {
			std::string s;
			for (int i = 0; i < len; ++i) s += "ACGTN"[rng() % 5];
			unpack_bases(pack_bases(s.c_str(), len), len, out);
			EXPECT_EQ(std::string(out), s);
		}
	}
	unpack_bases(pack_bases("acgtn", 5), 5, out);
	EXPECT_STREQ(out, "ACGTN");
}

TEST(UmiTable, HashFormula)
{
	// (k >> 33) ^ (k << 11) ^ k, low 32 bits.
	EXPECT_EQ(umi_hash(0), 0u);
	EXPECT_EQ(umi_hash(1), 1u ^ (1u << 11));
	EXPECT_EQ(umi_hash(1ULL << 33), 1u);                 // (k << 11) and k vanish in the low 32 bits
	EXPECT_EQ(umi_hash(0x80000000ULL), 0x80000000u);     // k << 11 leaves the low 32 bits
	EXPECT_EQ(umi_hash(0x123456789ABCDEFULL), 0xD755175Cu);
}

TEST(UmiTable, LoadLimits)
{
	const uint32_t caps[] = {16, 32, 64, 128, 256, 512, 1024};
	const uint32_t limits[] = {12, 24, 49, 98, 197, 394, 788};
	for (int i = 0; i < 7; ++i) EXPECT_EQ(umi_table_limit(caps[i]), limits[i]) << caps[i];
}

TEST(UmiTable, CreateIsEmpty)
{
	UmiTable *t = umi_table_create();
	EXPECT_EQ(t->capacity, 16u);
	EXPECT_EQ(t->count, 0u);
	for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(t->keys[i], EMPTY_KEY);
	EXPECT_EQ(umi_table_find(t, 0), TABLE_FULL);
	umi_table_free(t);
	umi_table_free(nullptr);
}

TEST(UmiTable, TwelveOfSixteenIsFullEvenForAPresentKey)
{
	UmiTable *t = umi_table_create();
	std::vector<uint32_t> slots;
	for (uint64_t i = 0; i < 12; ++i) {
		uint32_t s = umi_table_insert(t, umi_key(i * 7919, 3));
		ASSERT_NE(s, TABLE_FULL);
		EXPECT_EQ(t->keys[s], umi_key(i * 7919, 3));
		if (t->count < 12) {
			EXPECT_EQ(umi_table_insert(t, umi_key(i * 7919, 3)), s);
		}
		slots.push_back(s);
	}
	EXPECT_EQ(t->count, 12u);
	const uint64_t present = umi_key(5 * 7919, 3);
	uint64_t saved[16];
	memcpy(saved, t->keys, sizeof saved);
	EXPECT_EQ(umi_table_insert(t, present), TABLE_FULL);
	EXPECT_EQ(umi_table_insert(t, umi_key(999, 1)), TABLE_FULL);
	EXPECT_EQ(memcmp(saved, t->keys, sizeof saved), 0);  // nothing changed
	EXPECT_EQ(umi_table_find(t, present), slots[5]);      // find has no load check
	umi_table_grow(t);
	EXPECT_EQ(t->capacity, 32u);
	EXPECT_EQ(t->count, 12u);
	uint32_t s = umi_table_insert(t, present);
	ASSERT_NE(s, TABLE_FULL);
	EXPECT_EQ(t->keys[s], present);
	EXPECT_EQ(t->count, 12u);
	ASSERT_NE(umi_table_insert(t, umi_key(999, 1)), TABLE_FULL);
	EXPECT_EQ(t->count, 13u);
	expect_probe_invariant(t);
	umi_table_free(t);
}

TEST(UmiTable, DuplicateInsertKeepsCountAndSlot)
{
	UmiTable *t = umi_table_create();
	uint32_t a = umi_table_insert(t, umi_key(42, 7));
	uint32_t b = umi_table_insert(t, umi_key(42, 7));
	EXPECT_EQ(a, b);
	EXPECT_EQ(t->count, 1u);
	// Same UMI, other gene: another key.
	uint32_t c = umi_table_insert(t, umi_key(42, 8));
	EXPECT_NE(c, a);
	EXPECT_EQ(t->count, 2u);
	umi_table_free(t);
}

// Triangular probing from the home slot: h, h+1, h+3, h+6, ...
TEST(UmiTable, CollidingKeysFollowTheTriangularSequence)
{
	UmiTable *t = umi_table_create();
	std::vector<uint64_t> same_home;
	for (uint64_t k = 0; same_home.size() < 5; ++k)
		if ((umi_hash(k) & 15) == 9) same_home.push_back(k);
	const uint32_t expected[] = {9, 10, 12, 15, 3};
	for (int i = 0; i < 5; ++i) EXPECT_EQ(umi_table_insert(t, same_home[i]), expected[i]);
	for (int i = 0; i < 5; ++i) EXPECT_EQ(umi_table_find(t, same_home[i]), expected[i]);
	umi_table_free(t);
}

TEST(UmiTable, RandomKeysAgainstStdSet)
{
	std::mt19937_64 rng(5);
	UmiTable *t = umi_table_create();
	std::set<uint64_t> ref;
	uint32_t last_capacity = t->capacity;
	for (int i = 0; i < 60000; ++i) {
		// Small UMI space and a few genes, so that many inserts repeat a key.
		uint64_t key = umi_key(rng() % 20000, (uint32_t)(rng() % 3));
		if (i % 4 == 0) key = umi_key((rng() & ((1ULL << 42) - 1)), (uint32_t)(rng() & GENE_MASK));
		umi_table_add(t, key);
		ref.insert(key);
		ASSERT_EQ(t->count, ref.size());
		ASSERT_LT(t->count, umi_table_limit(t->capacity) + 1);
		if (t->capacity != last_capacity) {
			EXPECT_EQ(t->capacity, last_capacity * 2);
			last_capacity = t->capacity;
		}
	}
	for (uint64_t k : ref) {
		uint32_t s = umi_table_find(t, k);
		ASSERT_NE(s, TABLE_FULL);
		ASSERT_EQ(t->keys[s], k);
	}
	std::mt19937_64 other(99);
	for (int i = 0; i < 20000; ++i) {
		uint64_t k = umi_key(20000 + other() % 1000000, 5);
		if (!ref.count(k)) {
			ASSERT_EQ(umi_table_find(t, k), TABLE_FULL);
		}
	}
	expect_probe_invariant(t);
	umi_table_free(t);
}

// Keys that share their home slot over several growths make long chains in which the
// displaced entries of the in-place re-placement must all land reachable.
TEST(UmiTable, GrowthWithClusteredKeys)
{
	std::vector<uint64_t> keys;
	for (uint64_t k = 1; keys.size() < 3000; k += 977)
		if ((umi_hash(k) & 255) < 8) keys.push_back(k);
	UmiTable *t = umi_table_create();
	for (size_t i = 0; i < keys.size(); ++i) {
		umi_table_add(t, keys[i]);
		if ((i & (i + 1)) == 0) expect_probe_invariant(t);  // at every power of two
	}
	EXPECT_EQ(t->count, keys.size());
	expect_probe_invariant(t);
	for (uint64_t k : keys) ASSERT_NE(umi_table_find(t, k), TABLE_FULL);
	umi_table_free(t);
}

TEST(UmiTable, GrowKeepsEveryKeyAtItsNewProbePath)
{
	UmiTable *t = umi_table_create();
	std::set<uint64_t> ref;
	std::mt19937_64 rng(8);
	while (t->count < 12) {
		uint64_t k = umi_key(rng() % 1000000, 1);
		umi_table_insert(t, k);
		ref.insert(k);
	}
	for (int g = 0; g < 6; ++g) {
		umi_table_grow(t);
		EXPECT_EQ(t->count, ref.size());
		expect_probe_invariant(t);
		for (uint64_t k : ref) ASSERT_NE(umi_table_find(t, k), TABLE_FULL);
	}
	EXPECT_EQ(t->capacity, 16u << 6);
	// Sparse now: most keys sit in their home slot of the new capacity.
	uint32_t at_home = 0;
	for (uint64_t k : ref) at_home += umi_table_find(t, k) == (umi_hash(k) & (t->capacity - 1));
	EXPECT_GE(at_home, 10u);
	umi_table_free(t);
}

}  // namespace
