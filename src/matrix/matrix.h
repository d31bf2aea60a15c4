// Barcodes, UMIs and the count matrix: the concurrent barcode table, per-barcode UMI
// tables, cell-barcode selection with one-base rescue, UMI collapsing and the matrix files.
#ifndef VORAT_MATRIX_H
#define VORAT_MATRIX_H

#include <cstdint>
#include <pthread.h>
#include <vector>
#include "cli/cli.h"
#include "index/index.h"
#include "mapping/mapping.h"

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
static_assert(LIBRARY_TYPES[0].umi_len <= MAX_UMI_LEN && LIBRARY_TYPES[1].umi_len <= MAX_UMI_LEN,
              "a library type's UMI does not fit the UMI key");

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

// ---- matrix pass (matrix_output.cpp) ----

// One non-zero count of matrix.bin: 12 bytes, little-endian.
struct MatrixRecord {
	uint32_t gene;     // 1 to G, annotation gene order
	uint32_t barcode;  // 1 to N, BarcodeList order
	uint32_t count;    // distinct surviving UMIs, >= 1
};

// Barcodes handed to a matrix thread at a time: cells in small chunks (their records wait
// in memory until their turn), other barcodes, which add no record to matrix.bin, in large ones.
#define MATRIX_CELL_CHUNK 16
#define MATRIX_OTHER_CHUNK 1024
// Chunks each matrix thread may be ahead of the writer; bounds the records parked in memory.
#define MATRIX_CHUNKS_AHEAD 4

// A chunk of list positions being processed, or done and waiting for its turn to be written.
struct MatrixChunk;

// Shared by the matrix threads (under the writer mutex): chunks are handed out in list
// order and their records written in the same order, whichever thread finishes first.
struct MatrixPass {
	pthread_cond_t turn;        // broadcast whenever chunks are written
	uint32_t n_chunks;
	uint32_t next_chunk;        // next chunk to hand out
	uint32_t next_write;        // next chunk whose records go to the stream
	uint32_t window;            // at most this many chunks handed out and not yet written
	MatrixChunk *chunks;        // `window` buffers: chunk c uses chunks[c % window]
	uint32_t *barcode_genes;    // per list position: genes with at least one surviving UMI
	uint32_t *barcode_umis;     // per list position: surviving UMIs (all genes)
};

// One per matrix thread; all share the mutex, the stream, the record counter and the pass.
struct MatrixWorkerContext {
	int32_t thread_count;
	int32_t thread_index;     // 0-based
	pthread_mutex_t *mutex;   // the writer mutex: hand-out, parking and writing of chunks
	FILE *stream;             // matrix.bin, open for writing
	uint64_t *record_count;   // E
	const BarcodeList *list;
	uint32_t gene_count;      // G
	int32_t umi_len;
	MatrixPass *pass;
};

// Figures of the matrix pass for the run summary.
#define RANK_CURVE_MAX_POINTS 128
struct RankCurvePoint {
	uint32_t rank;   // 1-based position in BarcodeList
	uint32_t umis;   // umi_count of that entry: distinct UMI keys before rescue and collapsing
};
struct MatrixSummary {
	uint32_t gene_count;            // G
	uint32_t barcode_count;         // every barcode seen (BarcodeList n)
	uint32_t cell_count;            // N, columns of the filtered matrix; also the cut-off rank
	uint32_t raw_barcode_count;     // columns of the raw matrix
	uint64_t cell_records;          // E of matrix.bin
	uint64_t raw_records;           // entries of the raw matrix
	uint64_t cell_umis;             // sum of the filtered matrix
	double median_umis_per_cell;    // over all N cells, empty columns included
	double median_genes_per_cell;
	uint64_t reads_recorded;        // exonic reads stored in the barcode table (gene settled)
	uint64_t reads_in_cells;        // of those, reads of cell barcodes, rescued barcodes included
	uint64_t umi_keys;              // distinct (barcode, UMI, gene) keys before rescue
	uint32_t curve_points;
	RankCurvePoint curve[RANK_CURVE_MAX_POINTS];  // ascending rank, log-spaced
};

// Select cells, rescue, write barcodes.tsv, features.tsv, matrix.bin and matrix.mtx into
// out_dir, then the 10x folders filtered_feature_bc_matrix/ and raw_feature_bc_matrix/.
// Fills `summary` when it is not null.
void write_count_matrix(const CountOptions *opt, BarcodeTable *table, const AnnotationInfo *ann,
                        MatrixSummary *summary = nullptr);
// Thread body: takes chunks of list positions in order, collapses their UMIs, builds the
// records of cells and writes every finished chunk whose turn has come (arg: MatrixWorkerContext).
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

// ---- matrix text files (matrix_text.cpp) ----

// out_dir/barcodes.tsv: the letters of the first cell_count barcodes of the list, one a line.
void write_barcodes_tsv(const char *out_dir, const BarcodeList *list, int barcode_len);
// out_dir/features.tsv: gene id, tab, gene name, one gene a line in annotation order.
void write_features_tsv(const char *out_dir, const AnnotationInfo *ann);
// Rewrite matrix.bin at `bin_path` as out_dir/matrix.mtx (Matrix Market coordinate text).
void convert_matrix_to_mtx(const char *bin_path, const char *out_dir);
// Write v in decimal at p (no terminator) and return the end: "%llu" without printf's cost
// per matrix record.
char *append_decimal(char *p, uint64_t v);

// ---- output files (output_files.cpp) ----

// Files that a reader could take for a finished result are written under path + PART_SUFFIX
// and renamed by publish_output() once complete, so a run that fails part-way never leaves
// one that looks whole.
#define PART_SUFFIX ".part"
void publish_output(const char *part_path, const char *path);
// Remove every file that this run will write into out_dir (the list of output files in
// output_files.cpp, their part files, and the alignment dump with --dump-align) at the start
// of a run, so that a run that fails leaves no result of an earlier run beside its own.
void remove_stale_outputs(const CountOptions *opt);

// ---- 10x folders (tenx_output.cpp) ----

#define FILTERED_MATRIX_DIR "filtered_feature_bc_matrix"
#define RAW_MATRIX_DIR "raw_feature_bc_matrix"

// The same records as build_barcode_records, in time proportional to the table size rather
// than G: `genes` needs room for table->count entries, `records` too. Returns the count.
uint32_t build_sparse_records(const UmiTable *table, uint32_t barcode_number, uint32_t gene_count,
                              uint32_t *genes, MatrixRecord *records);
// Surviving UMIs and genes with at least one of them of a (collapsed) table; null counts as empty.
void count_surviving_umis(const UmiTable *table, uint32_t gene_count, uint32_t *genes_scratch,
                          uint32_t *n_genes, uint32_t *n_umis);
// Column order of the raw matrix: the list positions whose barcode keeps at least one UMI
// (barcode_umis > 0): cells in list order, then the other barcodes by umi_count, largest
// first, equal counts by ascending barcode code. Fills `order` (room for list->n); returns
// the number of columns.
uint32_t raw_column_order(const BarcodeList *list, const uint32_t *barcode_umis, uint32_t *order);
// out_dir/filtered_feature_bc_matrix/: barcodes.tsv.gz (the cells), features.tsv.gz and
// matrix.mtx.gz converted from the finished matrix.bin at `bin_path`.
void write_filtered_matrix_dir(const char *out_dir, const char *bin_path, const BarcodeList *list,
                               const AnnotationInfo *ann, int barcode_len);
// out_dir/raw_feature_bc_matrix/ for every barcode that keeps a UMI after rescue and
// collapsing, in raw_column_order; records are rebuilt from the collapsed tables (cells and
// non-merged other barcodes, all collapsed by the matrix pass). Sets the raw figures of `summary`.
void write_raw_matrix_dir(const char *out_dir, const BarcodeList *list, const AnnotationInfo *ann,
                          int barcode_len, const uint32_t *barcode_genes, const uint32_t *barcode_umis,
                          MatrixSummary *summary);

// ---- HDF5 files (h5_file.cpp) ----

// An identifier of the HDF5 library (its hid_t).
typedef int64_t H5Handle;

// One HDF5 file being written: under part_path, renamed to path by h5_out_finish.
struct H5Out {
	H5Handle file;
	char path[PATH_BUFFER_SIZE];
	char part_path[PATH_BUFFER_SIZE];
};

// Element types: numbers, numpy's bool, zero-padded fixed-width text, and UTF-8 text of
// variable length (elements given as const char *).
enum H5Kind { H5_INT32, H5_INT64, H5_FLOAT64, H5_BOOL, H5_TEXT, H5_VLEN_TEXT };

// A dataset whose size is fixed at creation, filled front to back through a chunk buffer.
struct H5Column {
	H5Out *out;
	H5Handle dataset, type;
	H5Kind kind;
	uint32_t width;           // elements per row: 1 for a 1-D dataset
	size_t element_size;      // bytes of one element in memory
	uint64_t total, written;  // rows
	uint64_t chunk_rows;
	char *buffer;             // one chunk of rows; none for variable-length text
	size_t used;              // rows in the buffer
};

// Create path + PART_SUFFIX; a failure ends the run with the open_or_die message.
void h5_out_create(H5Out *out, const char *path);
// Close the file (every group and dataset closed before) and rename it to its final name.
void h5_out_finish(H5Out *out);
// A new group `name` under `parent` (the file or a group); close it with h5_close.
H5Handle h5_group(H5Out *out, H5Handle parent, const char *name);
// Close a group or dataset.
void h5_close(H5Out *out, H5Handle object);
// Attributes: one UTF-8 string, a list of them, a list of signed 64-bit numbers.
void h5_attr_text(H5Out *out, H5Handle object, const char *name, const char *value);
void h5_attr_texts(H5Out *out, H5Handle object, const char *name, const char *const *values, uint32_t n);
void h5_attr_int64s(H5Out *out, H5Handle object, const char *name, const int64_t *values, uint32_t n);
// A scalar dataset (`value` points to the number, the bool byte or the const char *); returns
// it open, for attributes: close it with h5_close.
H5Handle h5_scalar(H5Out *out, H5Handle parent, const char *name, H5Kind kind, const void *value);
// A dataset of `rows` rows of `columns` elements (0: a 1-D dataset of `rows`), chunked and,
// but for variable-length text, compressed; `text_width` is the size of H5_TEXT elements.
// Returns the dataset, for attributes.
H5Handle h5_column_open(H5Column *column, H5Out *out, H5Handle parent, const char *name, H5Kind kind,
                        uint64_t rows, uint32_t columns, uint32_t text_width);
// Append `n` rows; more rows than the dataset holds end the run.
void h5_column_put(H5Column *column, const void *rows, size_t n);
// Append one H5_TEXT element (cut at the element size, zero-padded).
void h5_column_put_text(H5Column *column, const char *text);
// Write what is buffered and close; a dataset not filled to its size ends the run.
void h5_column_close(H5Column *column);

// ---- 10x HDF5 matrices (tenx_h5.cpp) and AnnData file (anndata_output.cpp) ----

#define FILTERED_MATRIX_H5 "filtered_feature_bc_matrix.h5"
#define RAW_MATRIX_H5 "raw_feature_bc_matrix.h5"
#define ANNDATA_FILE "matrix.h5ad"

// The name column of the gene tables: the gene name, or the id when the name is empty.
const char *feature_name(const AnnotationInfo *ann, uint32_t g);

// The data (int32), indices and indptr (both of index_kind) datasets of a compressed sparse matrix in
// `group`, streamed from records in barcode order: barcode = major axis (indptr), gene =
// minor axis (indices, 0-based).
struct SparseColumns {
	H5Out *out;
	H5Handle group;
	H5Column data, indices;
	H5Kind index_kind;      // H5_INT32 or H5_INT64
	uint32_t majors;
	int64_t *indptr;        // majors + 1
	uint64_t *major_sums;   // counts per major, or null
	uint32_t last_major, last_minor;
};
// Start the data and indices datasets of `entries` records over `majors` barcodes;
// `major_sums` (majors entries, or null) receives the sum of each barcode's counts.
void sparse_open(SparseColumns *sparse, H5Out *out, H5Handle group, uint32_t majors, uint64_t entries,
                 H5Kind index_kind, uint64_t *major_sums);
// Append records; one out of order or out of range ends the run with the fread message.
void sparse_put(SparseColumns *sparse, const MatrixRecord *records, size_t n);
// Close data and indices and write indptr.
void sparse_close(SparseColumns *sparse);
// Open matrix.bin and read its header (G, N, E).
FILE *open_matrix_bin(const char *bin_path, int32_t *genes, int32_t *cells, uint64_t *records);
// Append the `records` records that follow the header of an open matrix.bin.
void sparse_put_matrix_bin(SparseColumns *sparse, FILE *bin, uint64_t records);
// Lines of a text file, plain or gzip, cut in place in `text` (which keeps them); a file of
// another number of lines than `expected` ends the run with the fread message.
std::vector<const char *> read_text_lines(const char *path, uint64_t expected, std::vector<char> *text);
// out_dir/filtered_feature_bc_matrix.h5 from the finished matrix.bin and barcodes.tsv, and
// out_dir/raw_feature_bc_matrix.h5 from the finished raw folder.
void write_tenx_h5_files(const CountOptions *opt, const AnnotationInfo *ann);

// ---- run summary (summary.cpp) ----

// The read counters of the run as the statistics lines print them.
struct SummaryReadCounts {
	int64_t total;
	int64_t exonic;
	int64_t intronic;
	int64_t intergenic;    // printed as "nonexonic" without --count-intron
	int64_t unmapped;
	int32_t count_intron;  // 1: intronic and intergenic lines; 0: one nonexonic line
	// With --trim-adapters (1) the trimming counts are reported; initialised so that the
	// runs without it can leave them out.
	int32_t trim_adapters = 0;
	int64_t tso_trimmed = 0;
	int64_t polya_trimmed = 0;
	int64_t quality_trimmed = 0;
	int64_t too_short = 0;    // read 2 left shorter than k by the trimming
};

// Median of `values` (reordered); the mean of the two middle values for an even n; 0 for n = 0.
double median_u32(uint32_t *values, uint32_t n);
// Log-spaced points of the barcode-rank curve of the ranked list (rank 1, rank n, the last
// cell and the first non-cell always included), at most RANK_CURVE_MAX_POINTS.
void fill_rank_curve(const BarcodeList *list, MatrixSummary *summary);
// Sequencing saturation: 1 - umi_keys / reads_recorded (0 when no read was recorded).
double sequencing_saturation(const MatrixSummary *summary);
// Fraction of the recorded exonic reads that belong to cells (0 when no read was recorded).
double fraction_in_cells(const MatrixSummary *summary);
// out_dir/summary.json and out_dir/summary.html (self-contained page, inline SVG knee plot).
void write_run_summary(const CountOptions *opt, const SummaryReadCounts *reads, const MatrixSummary *summary);
// out_dir/matrix.h5ad: the cells' matrix of out_dir/matrix.bin as AnnData (cells x genes),
// cells named by out_dir/barcodes.tsv, genes by `ann`, and the run summary in uns.
void write_anndata(const CountOptions *opt, const AnnotationInfo *ann, const SummaryReadCounts *reads,
                   const MatrixSummary *summary);
// The HDF5 stage of a count run, after the run summary: the two 10x HDF5 files and matrix.h5ad.
void write_hdf5_outputs(const CountOptions *opt, const AnnotationInfo *ann, const SummaryReadCounts *reads,
                        const MatrixSummary *summary);

#endif
