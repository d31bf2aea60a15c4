// Counting the reads of a run: the concurrent barcode table that the workers fill and the
// per-barcode tables of distinct UMI keys.
#ifndef VORAT_MATRIX_COUNTING_H
#define VORAT_MATRIX_COUNTING_H

#include <cstdint>
#include <pthread.h>
#include <vector>
#include "base/base.h"
#include "index/index.h"

#define EMPTY_KEY 0xFFFFFFFFFFFFFFFFULL  // free slot in both tables
#define TABLE_FULL 0x80000000u           // no slot found
// UMI key = UMI code << GENE_BITS | gene index (GENE_BITS and MAX_GENE_COUNT: index/index.h).
#define GENE_MASK ((1ULL << GENE_BITS) - 1)
// Longest UMI: its code, below 5^MAX_UMI_LEN, fits the bits above the gene field, so that no
// key can equal EMPTY_KEY.
#define MAX_UMI_LEN 18
#define STRIPE_COUNT 16384
#define BARCODE_TABLE_MAX_CAPACITY 2147483648ULL

constexpr uint64_t power_of_5(int n)
{
	return n == 0 ? 1 : 5 * power_of_5(n - 1);
}
static_assert(power_of_5(MAX_UMI_LEN) <= (1ULL << (64 - GENE_BITS)), "UMI code must fit above the gene field");

// Longest barcode or UMI whose neighbours can be enumerated (bases).
#define MAX_CODE_LEN 24
// 5^0 .. 5^23: digit j (j = 0 the last base) of a code is (code / 5^j) mod 5.
extern const uint64_t POWERS_OF_5[MAX_CODE_LEN];

// Base-5 packing of `len` bases through BASE_CODE, first base most significant.
uint64_t pack_bases(const char *bases, int len);
// Inverse of pack_bases: `len` letters of "ACGTN" and a terminating zero into `out`.
void unpack_bases(uint64_t code, int len, char *out);

// ---- UMI table (umi_table.cpp) ----

// Set of the distinct UMI keys of one barcode; open addressing, triangular probing.
struct UmiTable {
	uint32_t capacity;   // power of two, 16 at creation
	uint32_t count;
	uint64_t *keys;      // EMPTY_KEY marks a free slot
	uint64_t reads;      // exonic reads recorded into this table, duplicates included
};

// Home-slot hash: (key >> 33) ^ (key << 11) ^ key, low 32 bits.
uint32_t umi_hash(uint64_t key);
// Load limit: an insert into a table holding this many keys answers TABLE_FULL (capacity x 0.77).
uint32_t umi_table_limit(uint32_t capacity);
// Re-place the keys of `table` as if they had been inserted in ascending key order into a
// new table (capacity set by the key count), so that neither the slot order nor the size
// depends on the order in which the worker threads inserted them. `scratch` needs room for
// table->count keys; a null table is accepted.
void canonical_umi_layout(UmiTable *table, uint64_t *scratch);
// Slots of a new table, and of the first table of a barcode: no output depends on the capacity
// (canonical_umi_layout sets it from the key count before the keys are collapsed).
#define UMI_TABLE_START 16
#define UMI_TABLE_SMALL 4
// New table of `capacity` (a power of two) free slots; allocation failure ends the run.
UmiTable *umi_table_create(uint32_t capacity = UMI_TABLE_START);
// Slot holding `key` (added or present), or TABLE_FULL when the table must grow first.
uint32_t umi_table_insert(UmiTable *table, uint64_t key);
// Slot holding `key`, or TABLE_FULL when it is absent.
uint32_t umi_table_find(const UmiTable *table, uint64_t key);
// Double the capacity in place and re-place every key; count is unchanged.
void umi_table_grow(UmiTable *table);
// Release the key array and the record (null is accepted).
void umi_table_free(UmiTable *table);
// Insert, growing while the table answers TABLE_FULL for a key it does not hold yet.
void umi_table_add(UmiTable *table, uint64_t key);

// ---- barcode table (barcode_table.cpp) ----

struct BarcodeSlot {
	uint64_t code;       // barcode code or EMPTY_KEY; claimed by 64-bit CAS
	UmiTable *umis;      // owned; null until the first UMI key
};

struct BarcodeTable {
	uint32_t capacity;   // power of two, 65,536 at creation
	uint32_t count;      // occupied slots (atomic add)
	uint32_t max_probe;  // an insert or find visits at most max_probe + 1 slots
	BarcodeSlot *slots;
	int32_t resizing;    // 1 while one thread grows the table (CAS)
	int32_t worker_count;
	pthread_mutex_t *worker_locks;  // one per worker
	pthread_mutex_t *stripe_locks;  // STRIPE_COUNT; slot s uses s % STRIPE_COUNT
	uint32_t *slot_rank;            // position in the ranked BarcodeList, per slot
};

// Probe bound of a table of `capacity` slots: the smallest k >= 1 with
// 64 x (1^3 + ... + k^3) >= capacity (10 for 131,072 slots, 108 for 2^31).
uint32_t barcode_max_probe(uint64_t capacity);
// Home slot of a code: SplitMix64 finalizer, low 32 bits, AND (capacity - 1).
uint32_t barcode_home_slot(uint64_t code, uint32_t capacity);
// Table of 65,536 free slots (max_probe 0) with n_workers worker locks and the stripe locks.
BarcodeTable *barcode_table_create(int n_workers);
// Release the table, its UMI tables, locks and slot_rank (for callers that end before exit).
void barcode_table_free(BarcodeTable *table);
// Slot of `code`, claimed by compare-and-swap when new, or TABLE_FULL when the probe bound is
// reached. Thread-safe against other inserts, never against growth.
uint32_t barcode_table_insert(BarcodeTable *table, uint64_t code);
// Read-only lookup (no concurrent writers): slot of `code` or TABLE_FULL.
uint32_t barcode_table_find(const BarcodeTable *table, uint64_t code);
// Double the table in place; the caller holds every worker lock.
void barcode_table_grow(BarcodeTable *table);
// Lay the table out again as if its barcodes had been inserted in ascending code order into a
// new table, grown (65,536 slots with one probe, then doubled with its probe bound) until
// they all fit; a table that never grew is left as it is. Run after counting, before the
// ranking: equal UMI counts are ranked by slot, and where colliding barcodes sit depends on
// the order in which the workers inserted them and on when the table grew.
void canonical_barcode_layout(BarcodeTable *table);
// Add a UMI key to the slot's UmiTable (created small on first use) under the slot's stripe lock.
void barcode_add_umi(BarcodeTable *table, uint32_t slot, uint64_t key);
// The UMI key (UMI code << GENE_BITS | gene) of a read of gene `gene` whose UMI is `umi_len`
// bases at `umi`.
uint64_t umi_key(const char *umi, int umi_len, uint32_t gene);
// Store a read's UMI key under its barcode code (from a worker: `own_lock` is its worker
// lock), growing the table when the probe bound is reached.
void record_barcode_umi(BarcodeTable *table, pthread_mutex_t *own_lock, uint64_t code, uint64_t key);

// ---- barcode whitelist (whitelist.cpp) ----

// The kit's valid barcodes, and how many reads matched each exactly (the priors of the
// correction).
struct Whitelist {
	int32_t length;                // bases of every barcode
	std::vector<uint64_t> codes;   // pack_bases codes, ascending, distinct
	std::vector<uint32_t> exact;   // per code: reads whose barcode is that code (complete before mapping)
	// Where the codes of each range of WHITELIST_BUCKETS equal ranges of the code space begin
	// (WHITELIST_BUCKETS + 1 entries): a lookup searches a handful of codes, not the list.
	std::vector<uint32_t> bucket_first;
	int32_t bucket_shift;          // code >> bucket_shift is its range
};
#define WHITELIST_BUCKETS (1u << 20)

// Read a list of barcodes, one per line (plain or gzip; a trailing \r is ignored), into `list`.
// A line of another length than `length` or with a letter other than A, C, G, T, and an empty
// list, end the run with an error naming the file and the line.
void load_whitelist(const char *path, int length, Whitelist *list);
// Sort `list->codes` (length set), drop repeats, zero the counts and build the range table.
void index_whitelist(Whitelist *list);
// Index of `code` in the list, or -1.
int64_t whitelist_find(const Whitelist *list, uint64_t code);

// A read's barcode against the list.
enum BarcodeMatch { BARCODE_ON_LIST, BARCODE_CORRECTED, BARCODE_INVALID };
// The posterior share that the best one-base correction must hold.
#define CORRECTION_MIN_POSTERIOR 0.975
// On the list: the code as it is. Off the list: among the list barcodes one substitution
// away (an N counts as the substitution), each weighted by (exact + 1) x 10^(-Q/10), Q the
// Phred quality (+33) of the base it changes (Q 0 without qualities), the best one when it
// holds at least CORRECTION_MIN_POSTERIOR of the weight; else BARCODE_INVALID. Sets *code to
// the list barcode of a valid read.
BarcodeMatch match_barcode(const Whitelist *list, const char *bases, const char *qual, uint64_t *code);
// The filters of a read's UMI in whitelist runs: false for a UMI with an N, of one repeated
// base, or with a base below Phred 10 (qualities +33; none: no quality filter).
bool umi_passes(const char *bases, const char *qual, int len);

#endif
