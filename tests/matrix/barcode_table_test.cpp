// Barcode table: hash and probe bound, lock-free inserts, in-place growth, the worker
// grow protocol under real concurrency, and the gene settling and recording of a read.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include "mapping/mapping.h"
#include "matrix/matrix.h"

namespace {

const int B = 16;
const int U = 10;

// Genes 0, 1, 2; transcripts 0 and 1 belong to gene 0, 2 to gene 1, 3 and 4 to gene 2.
// Every transcript is 10 bases long: position p of tx_seq lies in transcript p / 10.
struct TinyAnnotation {
	uint32_t tx_gene[5] = {0, 0, 1, 2, 2};
	uint32_t tx_offset[6] = {0, 10, 20, 30, 40, 50};
	AnnotationInfo ann{};
	TinyAnnotation()
	{
		ann.gene_count = 3;
		ann.tx_count = 5;
		ann.tx_gene = tx_gene;
		ann.tx_offset = tx_offset;
	}
};

// An alignment list from (position, score) pairs; `best` is the largest score.
struct Alignments {
	std::vector<Alignment> records;
	AlignmentList list{};
	explicit Alignments(std::vector<Alignment> r) : records(std::move(r))
	{
		list.records = records.data();
		list.count = (int32_t)records.size();
		list.capacity = (int32_t)records.size();
		list.best = 0;
		for (const Alignment &a : records) list.best = std::max(list.best, a.score);
	}
};

// What a worker does with an exonic read: settle its gene from the best alignments, then
// store barcode and UMI key (nothing when the gene is not settled).
void record_read(const char *read1, const AlignmentList *list, const AnnotationInfo *ann, BarcodeTable *t,
                 pthread_mutex_t *own, int barcode_len, int umi_len)
{
	const int64_t gene = settle_gene(list, ann);
	if (gene >= 0)
		record_barcode_umi(t, own, pack_bases(read1, barcode_len), umi_key(read1 + barcode_len, umi_len, (uint32_t)gene));
}

// Transcript position that lies in gene g (any of its transcripts, chosen by `pick`).
uint32_t position_in_gene(uint32_t g, uint32_t pick)
{
	static const uint32_t first_tx[3] = {0, 2, 3};
	static const uint32_t n_tx[3] = {2, 1, 2};
	return (first_tx[g] + pick % n_tx[g]) * 10 + pick % 10;
}

std::string read1_of(uint64_t barcode, uint64_t umi)
{
	char bc[B + 1], um[U + 1];
	unpack_bases(barcode, B, bc);
	unpack_bases(umi, U, um);
	return std::string(bc) + um + "TTTTTTTT";  // bases past the UMI are ignored
}

uint64_t key_of(uint64_t umi, uint32_t gene)
{
	return (umi << GENE_BITS) | gene;
}

std::set<uint64_t> keys_of(const UmiTable *t)
{
	std::set<uint64_t> keys;
	if (!t) return keys;
	for (uint32_t i = 0; i < t->capacity; ++i)
		if (t->keys[i] != EMPTY_KEY) keys.insert(t->keys[i]);
	return keys;
}

// Every entry is reachable from its home slot within the probe bound; no code twice.
void expect_table_consistent(const BarcodeTable *t)
{
	std::vector<uint64_t> codes;
	for (uint32_t s = 0; s < t->capacity; ++s) {
		if (t->slots[s].code == EMPTY_KEY) {
			ASSERT_EQ(t->slots[s].umis, nullptr);
			continue;
		}
		codes.push_back(t->slots[s].code);
		ASSERT_EQ(barcode_table_find(t, t->slots[s].code), s);
	}
	EXPECT_EQ(codes.size(), t->count);
	std::sort(codes.begin(), codes.end());
	EXPECT_TRUE(std::adjacent_find(codes.begin(), codes.end()) == codes.end()) << "code stored twice";
}

void grow_holding_all_locks(BarcodeTable *t)
{
	for (int i = 0; i < t->worker_count; ++i) pthread_mutex_lock(&t->worker_locks[i]);
	barcode_table_grow(t);
	for (int i = 0; i < t->worker_count; ++i) pthread_mutex_unlock(&t->worker_locks[i]);
}

// Codes whose home slot under `capacity` is `home`, searched upwards from `from`.
std::vector<uint64_t> codes_with_home(uint32_t capacity, uint32_t home, size_t n, uint64_t from = 0)
{
	std::vector<uint64_t> codes;
	for (uint64_t c = from; codes.size() < n; ++c)
		if (barcode_home_slot(c, capacity) == home) codes.push_back(c);
	return codes;
}

TEST(BarcodeTable, MaxProbeValues)
{
	EXPECT_EQ(barcode_max_probe(131072), 10u);
	EXPECT_EQ(barcode_max_probe(262144), 11u);
	EXPECT_EQ(barcode_max_probe(524288), 13u);
	EXPECT_EQ(barcode_max_probe(1048576), 16u);
	EXPECT_EQ(barcode_max_probe(2097152), 19u);
	EXPECT_EQ(barcode_max_probe(4194304), 23u);
	EXPECT_EQ(barcode_max_probe(16777216), 32u);
	EXPECT_EQ(barcode_max_probe(268435456), 64u);
	EXPECT_EQ(barcode_max_probe(2147483648ULL), 108u);
	// Smallest k >= 1: tiny tables still get one step.
	EXPECT_EQ(barcode_max_probe(1), 1u);
	EXPECT_EQ(barcode_max_probe(64), 1u);
	EXPECT_EQ(barcode_max_probe(65), 2u);
	EXPECT_EQ(barcode_max_probe(576), 2u);  // 64 x (1 + 8)
	EXPECT_EQ(barcode_max_probe(577), 3u);
}

TEST(BarcodeTable, HomeSlotIsSplitMix64)
{
	// Reference outputs of SplitMix64 seeded with 0: the finalizer of 1 x and 2 x the increment.
	EXPECT_EQ(barcode_home_slot(0x9e3779b97f4a7c15ULL, 2147483648u), 0x7b1dcdafu & 0x7fffffffu);
	EXPECT_EQ(barcode_home_slot(0x9e3779b97f4a7c15ULL, 65536), 0xcdafu);
	EXPECT_EQ(barcode_home_slot(0x3c6ef372fe94f82aULL, 2147483648u), 0xa1b965f4u & 0x7fffffffu);
	EXPECT_EQ(barcode_home_slot(0, 65536), 0u);
}

TEST(BarcodeTable, CreateIsEmpty)
{
	BarcodeTable *t = barcode_table_create(3);
	EXPECT_EQ(t->capacity, 65536u);
	EXPECT_EQ(t->count, 0u);
	EXPECT_EQ(t->max_probe, 0u);
	EXPECT_EQ(t->resizing, 0);
	EXPECT_EQ(t->worker_count, 3);
	for (uint32_t i = 0; i < t->capacity; ++i) {
		ASSERT_EQ(t->slots[i].code, EMPTY_KEY);
		ASSERT_EQ(t->slots[i].umis, nullptr);
	}
	EXPECT_EQ(sizeof(BarcodeSlot), 16u);
	EXPECT_EQ(barcode_table_find(t, 12345), TABLE_FULL);
	barcode_table_free(t);
}

TEST(BarcodeTable, FirstCollisionGrowsAndKeepsEntries)
{
	BarcodeTable *t = barcode_table_create(1);
	std::vector<uint64_t> pair = codes_with_home(65536, 777, 2);
	uint32_t s = barcode_table_insert(t, pair[0]);
	EXPECT_EQ(s, 777u);
	EXPECT_EQ(barcode_table_insert(t, pair[0]), 777u);  // present: same slot, no new claim
	EXPECT_EQ(t->count, 1u);
	barcode_add_umi(t, s, key_of(5, 1));
	UmiTable *umis = t->slots[s].umis;
	ASSERT_NE(umis, nullptr);
	EXPECT_EQ(barcode_table_insert(t, pair[1]), TABLE_FULL);  // one probe in a new table
	EXPECT_EQ(barcode_table_find(t, pair[1]), TABLE_FULL);
	EXPECT_EQ(t->count, 1u);

	grow_holding_all_locks(t);
	EXPECT_EQ(t->capacity, 131072u);
	EXPECT_EQ(t->max_probe, 10u);
	EXPECT_EQ(t->count, 1u);
	uint32_t moved = barcode_table_find(t, pair[0]);
	ASSERT_NE(moved, TABLE_FULL);
	EXPECT_EQ(t->slots[moved].umis, umis);
	EXPECT_NE(barcode_table_insert(t, pair[1]), TABLE_FULL);
	EXPECT_EQ(t->count, 2u);
	expect_table_consistent(t);
	barcode_table_free(t);
}

TEST(BarcodeTable, FirstCollisionThroughRecordBarcodeUmi)
{
	TinyAnnotation a;
	BarcodeTable *t = barcode_table_create(1);
	std::vector<uint64_t> pair = codes_with_home(65536, 4242, 2);
	Alignments al({{position_in_gene(1, 0), 50}});
	std::string r0 = read1_of(pair[0], 17), r1 = read1_of(pair[1], 18);
	record_read(r0.c_str(), &al.list, &a.ann, t, &t->worker_locks[0], B, U);
	EXPECT_EQ(t->capacity, 65536u);
	record_read(r1.c_str(), &al.list, &a.ann, t, &t->worker_locks[0], B, U);
	EXPECT_EQ(t->capacity, 131072u);
	EXPECT_EQ(t->resizing, 0);
	EXPECT_EQ(t->count, 2u);
	EXPECT_EQ(keys_of(t->slots[barcode_table_find(t, pair[0])].umis), std::set<uint64_t>{key_of(17, 1)});
	EXPECT_EQ(keys_of(t->slots[barcode_table_find(t, pair[1])].umis), std::set<uint64_t>{key_of(18, 1)});
	barcode_table_free(t);
}

// Offsets 0, 1, 4, 10, 20, 35, ... from the home slot, max_probe + 1 slots in all.
TEST(BarcodeTable, ProbeSequenceAndBound)
{
	BarcodeTable *t = barcode_table_create(1);
	grow_holding_all_locks(t);
	ASSERT_EQ(t->max_probe, 10u);
	const uint32_t home = 131000;  // near the end: the sequence wraps
	std::vector<uint64_t> codes = codes_with_home(131072, home, 12);
	const uint32_t offsets[11] = {0, 1, 4, 10, 20, 35, 56, 84, 120, 165, 220};
	for (int i = 0; i < 11; ++i) EXPECT_EQ(barcode_table_insert(t, codes[i]), (home + offsets[i]) & 131071u);
	EXPECT_EQ(barcode_table_insert(t, codes[11]), TABLE_FULL);
	EXPECT_EQ(barcode_table_find(t, codes[11]), TABLE_FULL);
	for (int i = 0; i < 11; ++i) EXPECT_EQ(barcode_table_find(t, codes[i]), (home + offsets[i]) & 131071u);
	EXPECT_EQ(t->count, 11u);
	barcode_table_free(t);
}

TEST(BarcodeTable, GrowPreservesCodesAndUmiPointers)
{
	BarcodeTable *t = barcode_table_create(2);
	std::mt19937_64 rng(3);
	std::map<uint64_t, UmiTable *> ref;
	while (ref.size() < 20000) {
		uint64_t code = rng() % 152587890625ULL;
		uint32_t s;
		while ((s = barcode_table_insert(t, code)) == TABLE_FULL) grow_holding_all_locks(t);
		barcode_add_umi(t, s, key_of(ref.size(), 0));
		ref[code] = t->slots[s].umis;
	}
	const uint32_t capacity = t->capacity;
	EXPECT_GE(capacity, 131072u);
	for (int g = 0; g < 2; ++g) {
		grow_holding_all_locks(t);
		EXPECT_EQ(t->count, ref.size());
		for (const auto &e : ref) {
			uint32_t s = barcode_table_find(t, e.first);
			ASSERT_NE(s, TABLE_FULL);
			ASSERT_EQ(t->slots[s].umis, e.second);
		}
		expect_table_consistent(t);
	}
	EXPECT_EQ(t->capacity, capacity * 4);
	EXPECT_EQ(t->max_probe, barcode_max_probe(capacity * 4ULL));
	barcode_table_free(t);
}

TEST(RecordRead, GeneSettling)
{
	TinyAnnotation a;
	BarcodeTable *t = barcode_table_create(1);
	pthread_mutex_t *own = &t->worker_locks[0];
	const uint64_t bc = 123456789;
	std::string r = read1_of(bc, 4321);

	// Empty list: nothing.
	Alignments none({});
	record_read(r.c_str(), &none.list, &a.ann, t, own, B, U);
	EXPECT_EQ(t->count, 0u);
	// Best-scoring alignments on two genes: ambiguous, nothing stored.
	Alignments two_genes({{position_in_gene(0, 0), 40}, {position_in_gene(1, 0), 40}});
	record_read(r.c_str(), &two_genes.list, &a.ann, t, own, B, U);
	EXPECT_EQ(t->count, 0u);
	// No alignment reaches `best`: nothing.
	Alignments below({{position_in_gene(0, 0), 30}});
	below.list.best = 31;
	record_read(r.c_str(), &below.list, &a.ann, t, own, B, U);
	EXPECT_EQ(t->count, 0u);

	// Two transcripts of gene 2, both best: one key for gene 2.
	Alignments one_gene({{position_in_gene(2, 0), 40}, {position_in_gene(2, 1), 40}});
	ASSERT_NE(one_gene.records[0].position / 10, one_gene.records[1].position / 10);
	record_read(r.c_str(), &one_gene.list, &a.ann, t, own, B, U);
	ASSERT_EQ(t->count, 1u);
	uint32_t s = barcode_table_find(t, bc);
	ASSERT_NE(s, TABLE_FULL);
	EXPECT_EQ(keys_of(t->slots[s].umis), std::set<uint64_t>{key_of(4321, 2)});

	// Alignments below best are ignored, whatever their gene.
	Alignments mixed({{position_in_gene(0, 3), 20}, {position_in_gene(1, 0), 45}, {position_in_gene(2, 0), 44}});
	record_read(r.c_str(), &mixed.list, &a.ann, t, own, B, U);
	EXPECT_EQ(keys_of(t->slots[s].umis), (std::set<uint64_t>{key_of(4321, 2), key_of(4321, 1)}));

	// Same barcode, UMI and gene again: no new key.
	record_read(r.c_str(), &one_gene.list, &a.ann, t, own, B, U);
	EXPECT_EQ(t->slots[s].umis->count, 2u);
	EXPECT_EQ(t->count, 1u);
	barcode_table_free(t);
}

TEST(RecordRead, PackingOfBarcodeAndUmi)
{
	TinyAnnotation a;
	BarcodeTable *t = barcode_table_create(1);
	Alignments al({{position_in_gene(1, 0), 10}});
	// Lower case packs like upper case; N is stored like any base.
	const char *upper = "ACGTACGTACGTACGNCCCCCCCCCATTT";
	const char *lower = "acgtacgtacgtacgnCCCCCCCCCAggg";
	record_read(upper, &al.list, &a.ann, t, &t->worker_locks[0], B, U);
	record_read(lower, &al.list, &a.ann, t, &t->worker_locks[0], B, U);
	EXPECT_EQ(t->count, 1u);
	uint32_t s = barcode_table_find(t, pack_bases(upper, 16));
	ASSERT_NE(s, TABLE_FULL);
	EXPECT_EQ(keys_of(t->slots[s].umis), std::set<uint64_t>{(pack_bases("CCCCCCCCCA", 10) << 22) | 1});
	// UMI length 12 takes two more bases.
	record_read(upper, &al.list, &a.ann, t, &t->worker_locks[0], B, 12);
	EXPECT_EQ(keys_of(t->slots[s].umis).count((pack_bases("CCCCCCCCCATT", 12) << 22) | 1), 1u);
	barcode_table_free(t);
}

// Eight workers record overlapping barcodes at once, through enough distinct barcodes to
// force several growths while they run; the result must equal a serial reference.
TEST(BarcodeTableConcurrency, EightWorkersMatchSerialReference)
{
	const int n_threads = 8;
	const int distinct = 200000;
	TinyAnnotation a;
	struct Obs {
		uint64_t barcode, umi;
		uint32_t position;
	};
	std::mt19937_64 rng(2024);
	std::vector<uint64_t> barcodes(distinct);
	for (uint64_t &b : barcodes) b = rng() % 152587890625ULL;  // collisions just merge
	std::vector<Obs> obs;
	for (int i = 0; i < distinct; ++i) {
		int n = 1 + (int)(rng() % 2);
		for (int k = 0; k < n; ++k) obs.push_back({barcodes[i], rng() % 50, (uint32_t)(rng() % 50)});
	}
	// A few hot barcodes that every worker keeps hitting, with repeated keys.
	for (int i = 0; i < 30000; ++i) obs.push_back({barcodes[i % 16], rng() % 8, (uint32_t)(rng() % 50)});
	std::shuffle(obs.begin(), obs.end(), rng);

	std::vector<std::pair<uint64_t, uint64_t>> ref;
	ref.reserve(obs.size());
	for (const Obs &o : obs) ref.push_back({o.barcode, key_of(o.umi, a.tx_gene[o.position / 10])});
	std::sort(ref.begin(), ref.end());
	ref.erase(std::unique(ref.begin(), ref.end()), ref.end());
	size_t ref_codes = 0;
	for (size_t i = 0; i < ref.size(); ++i) ref_codes += i == 0 || ref[i].first != ref[i - 1].first;

	std::vector<std::string> reads(obs.size());
	for (size_t i = 0; i < obs.size(); ++i) reads[i] = read1_of(obs[i].barcode, obs[i].umi);

	BarcodeTable *t = barcode_table_create(n_threads);
	std::atomic<int> ready{0};
	std::vector<std::thread> workers;
	for (int w = 0; w < n_threads; ++w) {
		workers.emplace_back([&, w] {
			Alignment rec{0, 30};
			AlignmentList list{&rec, 1, 1, 30};
			ready.fetch_add(1);
			while (ready.load() < n_threads) std::this_thread::yield();
			for (size_t i = (size_t)w; i < obs.size(); i += n_threads) {
				rec.position = obs[i].position;
				record_read(reads[i].c_str(), &list, &a.ann, t, &t->worker_locks[w], B, U);
			}
		});
	}
	for (std::thread &th : workers) th.join();

	EXPECT_GE(t->capacity, 262144u) << "expected several growths during the run";
	EXPECT_EQ(t->resizing, 0);
	EXPECT_EQ(t->count, ref_codes);
	std::vector<std::pair<uint64_t, uint64_t>> got;
	got.reserve(ref.size());
	for (uint32_t s = 0; s < t->capacity; ++s) {
		if (t->slots[s].code == EMPTY_KEY) continue;
		ASSERT_NE(t->slots[s].umis, nullptr);
		const UmiTable *u = t->slots[s].umis;
		for (uint32_t i = 0; i < u->capacity; ++i)
			if (u->keys[i] != EMPTY_KEY) got.push_back({t->slots[s].code, u->keys[i]});
	}
	std::sort(got.begin(), got.end());
	EXPECT_TRUE(got == ref) << "got " << got.size() << " (barcode, key) pairs, expected " << ref.size();
	expect_table_consistent(t);
	barcode_table_free(t);
}

// Threads that insert the same new barcodes at the same moment end in one slot per barcode.
TEST(BarcodeTableConcurrency, RacingInsertsOfTheSameCodes)
{
	const int n_threads = 8;
	BarcodeTable *t = barcode_table_create(n_threads);
	for (int g = 0; g < 4; ++g) grow_holding_all_locks(t);  // room enough: no TABLE_FULL
	std::vector<uint64_t> codes;
	std::mt19937_64 rng(77);
	for (int i = 0; i < 5000; ++i) codes.push_back(rng() % 152587890625ULL);
	std::sort(codes.begin(), codes.end());
	codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
	std::vector<std::vector<uint32_t>> slots(n_threads);
	std::atomic<int> ready{0};
	std::vector<std::thread> workers;
	for (int w = 0; w < n_threads; ++w) {
		workers.emplace_back([&, w] {
			ready.fetch_add(1);
			while (ready.load() < n_threads) std::this_thread::yield();
			for (uint64_t c : codes) {
				pthread_mutex_lock(&t->worker_locks[w]);
				slots[w].push_back(barcode_table_insert(t, c));
				pthread_mutex_unlock(&t->worker_locks[w]);
			}
		});
	}
	for (std::thread &th : workers) th.join();
	EXPECT_EQ(t->count, codes.size());
	for (size_t i = 0; i < codes.size(); ++i) {
		ASSERT_NE(slots[0][i], TABLE_FULL);
		for (int w = 1; w < n_threads; ++w) ASSERT_EQ(slots[w][i], slots[0][i]);
		ASSERT_EQ(t->slots[slots[0][i]].code, codes[i]);
	}
	expect_table_consistent(t);
	barcode_table_free(t);
}

TEST(BarcodeTableDeath, RePlacementFailure)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	// Twelve codes share their home slot in the doubled table, which offers each code only
	// eleven slots: the twelfth cannot be placed.
	std::vector<uint64_t> codes = codes_with_home(131072, 70000, 12);
	EXPECT_EXIT(
	    {
		    BarcodeTable *t = barcode_table_create(1);
		    for (uint32_t i = 0; i < 12; ++i) t->slots[i * 5].code = codes[i];
		    t->count = 12;
		    barcode_table_grow(t);
	    },
	    ::testing::ExitedWithCode(1), "^\\[ERROR\\] \\[Single-thread\\] Resizing kmhash failed\n$");
}

TEST(BarcodeTableDeath, TooBigToGrow)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	// A table at the largest capacity whose slots are mapped but never touched: every slot
	// reads as code 0, so any other code finds no room and asks for growth.
	const size_t bytes = sizeof(BarcodeSlot) * 2147483648ULL;
	void *mem = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
	if (mem == MAP_FAILED) GTEST_SKIP() << "cannot reserve 32 GiB of address space";
	munmap(mem, bytes);
	TinyAnnotation a;
	Alignments al({{position_in_gene(0, 0), 10}});
	std::string r = read1_of(99, 1);
	EXPECT_EXIT(
	    {
		    BarcodeTable *t = barcode_table_create(2);
		    free(t->slots);
		    t->slots = (BarcodeSlot *)mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
		                                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
		    t->capacity = 2147483648u;
		    record_read(r.c_str(), &al.list, &a.ann, t, &t->worker_locks[1], B, U);
	    },
	    ::testing::ExitedWithCode(1), "^\\[ERROR\\] The barcodes hash table is too big \\(exceeded 2147483648\\)\n$");
}

}  // namespace
