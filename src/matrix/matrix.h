// Barcodes, UMIs and the count matrix: the concurrent barcode table, per-barcode UMI
// tables, cell-barcode selection with one-base rescue, UMI collapsing and the matrix files.
#ifndef VORAT_MATRIX_H
#define VORAT_MATRIX_H

#include <cstdint>
#include <pthread.h>
#include "cli/cli.h"
#include "index/index.h"
#include "mapping/mapping.h"

#define EMPTY_KEY 0xFFFFFFFFFFFFFFFFULL  // free slot in both tables
#define TABLE_FULL 0x80000000u           // no slot found
#define GENE_BITS 22                     // UMI key = UMI code << 22 | gene index
#define GENE_MASK ((1ULL << GENE_BITS) - 1)
#define STRIPE_COUNT 16384
#define BARCODE_TABLE_MAX_CAPACITY 2147483648ULL

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
};

// Home-slot hash: (key >> 33) ^ (key << 11) ^ key, low 32 bits.
uint32_t umi_hash(uint64_t key);
// Load limit: an insert into a table holding this many keys answers TABLE_FULL (capacity x 0.77).
uint32_t umi_table_limit(uint32_t capacity);
// New table of 16 free slots; allocation failure ends the run.
UmiTable *umi_table_create();
// Slot holding `key` (added or present), or TABLE_FULL when the table must grow first.
uint32_t umi_table_insert(UmiTable *table, uint64_t key);
// Slot holding `key`, or TABLE_FULL when it is absent.
uint32_t umi_table_find(const UmiTable *table, uint64_t key);
// Double the capacity in place and re-place every key; count is unchanged.
void umi_table_grow(UmiTable *table);
// Release the key array and the record (null is accepted).
void umi_table_free(UmiTable *table);
// Insert, growing while the table answers TABLE_FULL.
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
// Add a UMI key to the slot's UmiTable (created on first use) under the slot's stripe lock.
void barcode_add_umi(BarcodeTable *table, uint32_t slot, uint64_t key);
// Settle the gene of an exonic read from its best alignments and store barcode + UMI key.
void record_read_observation(const char *read1_bases, const AlignmentList *alignments,
                             const AnnotationInfo *ann, BarcodeTable *table,
                             pthread_mutex_t *own_lock, int barcode_len, int umi_len);

// ---- cell barcodes and UMI collapsing (cell_barcodes.cpp) ----

// Longest barcode or UMI whose neighbours can be enumerated (bases).
#define MAX_CODE_LEN 24
// 5^0 .. 5^23: digit j (j = 0 the last base) of a code is (code / 5^j) mod 5.
extern const uint64_t POWERS_OF_5[MAX_CODE_LEN];

struct BarcodeEntry {
	uint64_t code;
	uint32_t umi_count;  // distinct UMI keys when the list was built
	UmiTable *umis;      // not owned
};

struct BarcodeList {
	BarcodeEntry *entries;  // every occupied slot, ranked by umi_count, largest first
	uint32_t n;
	uint32_t cell_count;    // leading entries that are cells
};

// Build the ranked list of every barcode of `table` (largest UMI count first; equal
// counts by 64-entry block of slot order, last block first, then slot order), fill
// table->slot_rank and set cell_count by the one-base error cut and the 1 % cut.
void select_cell_barcodes(BarcodeTable *table, BarcodeList *list, int barcode_len);
// Merge each dropped barcode that is one base away from exactly one kept barcode into it.
void rescue_barcodes(BarcodeTable *table, const BarcodeList *list, int barcode_len);
// Add every UMI key of `dropped` to `kept`, then free the dropped barcode's UmiTable.
void merge_barcode(BarcodeTable *table, uint64_t kept, uint64_t dropped);
// Mark as discarded (gene field = gene_count) the keys of one barcode whose UMI holds a
// non-ACGT base or has a one-base neighbour on the same gene, in ascending slot order.
void collapse_umis(BarcodeEntry *entry, int umi_len, uint32_t gene_count);
// Free the entries array built by select_cell_barcodes.
void release_barcode_list(BarcodeList *list);

// ---- matrix files (matrix_output.cpp) ----

// One non-zero count of matrix.bin: 12 bytes, little-endian.
struct MatrixRecord {
	uint32_t gene;     // 1 to G, annotation gene order
	uint32_t barcode;  // 1 to N, BarcodeList order
	uint32_t count;    // distinct surviving UMIs, >= 1
};

// One per matrix thread; all share the mutex, the stream and the record counter.
struct MatrixWorkerContext {
	int32_t thread_count;
	int32_t thread_index;     // 0-based; handles list positions i with i % thread_count == index
	pthread_mutex_t *mutex;   // held for the whole block of records of one barcode
	FILE *stream;             // matrix.bin, open for writing
	uint64_t *record_count;   // E
	const BarcodeList *list;
	uint32_t gene_count;      // G
	int32_t umi_len;
};

// Select cells, rescue, write barcodes.tsv, features.tsv, matrix.bin and matrix.mtx into out_dir.
void write_count_matrix(const CountOptions *opt, BarcodeTable *table, const AnnotationInfo *ann);
// Thread body: collapse and write the barcodes of one residue class (arg: MatrixWorkerContext).
void *matrix_worker(void *arg);
// Count the surviving UMIs of one barcode per gene into `counters` (G entries) and fill
// `records` (room for G) in ascending gene order; returns the number of records.
uint32_t build_barcode_records(const BarcodeEntry *entry, uint32_t barcode_number, uint32_t *counters,
                               uint32_t gene_count, MatrixRecord *records);
// Build the records of one barcode, then append them to `stream` as one block under `mutex`,
// adding their number to *record_count.
void write_barcode_counts(const BarcodeEntry *entry, uint32_t barcode_number, uint32_t *counters,
                          uint32_t gene_count, MatrixRecord *records, FILE *stream,
                          pthread_mutex_t *mutex, uint64_t *record_count);
// Rewrite matrix.bin at `bin_path` as out_dir/matrix.mtx (Matrix Market coordinate text).
void convert_matrix_to_mtx(const char *bin_path, const char *out_dir);

#endif
