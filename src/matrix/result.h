// The result of a count run, as every output reads it: cell calling, UMI collapsing and the
// run's figures, computed once after the read pipeline and held in memory.
//
// Stages, in order: call_cells (the ranked barcode list, the cell cut and the one-base rescue),
// collapse_barcode_umis (UMI collapsing of every barcode and the collapsed counts of the cells
// and of the raw matrix), summarize_run (the figures of the summary). The writers
// (matrix/writers.h) then read the CountResult alone.
#ifndef VORAT_MATRIX_RESULT_H
#define VORAT_MATRIX_RESULT_H

#include <cstdint>
#include <vector>
#include "matrix/counting.h"

// ---- cell barcodes and UMI collapsing (cell_barcodes.cpp) ----


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


// ---- the count result (umi_counting.cpp, summary_fields.cpp) ----

// Read counters of the pipeline: one shared instance and one private instance per worker.
struct ReadStats {
	int64_t total;
	int64_t exonic;
	int64_t unmapped;
	int64_t intronic;
	int64_t intergenic;
	int32_t millions_reported;
	// With --trim-adapters: pairs whose read 2 lost the oligo, a poly(A) tail, a poorly read
	// end, and pairs whose read 2 was left shorter than k (counted as unmapped too).
	int64_t tso_trimmed;
	int64_t polya_trimmed;
	int64_t quality_trimmed;
	int64_t too_short;
	// With --whitelist: pairs whose barcode is on the list as it is, was corrected onto it, or
	// neither (those go to no cell), and pairs of a listed barcode whose UMI the filters drop.
	int64_t barcode_on_list;
	int64_t barcode_corrected;
	int64_t barcode_invalid;
	int64_t umi_filtered;
	// With --chemistry, --barcode-geometry or --whitelist: bases of the barcodes, UMIs and
	// read 2, and those of Phred quality 30 or more.
	int64_t barcode_bases, barcode_q30;
	int64_t umi_bases, umi_q30;
	int64_t read2_bases, read2_q30;
};

// How the counts were made, as the summary reports it.
struct CountSettings {
	int32_t barcode_len;    // bases
	int32_t umi_len;        // bases
	int32_t count_intron;   // 1: reads are split into intronic and intergenic
	int32_t trim_adapters;  // 1: the trimming counts are reported
	const char *chemistry;  // the kit named on the command line (reported with the base qualities), or null
	int32_t whitelist;      // 1: barcodes were corrected against a list (reported)
};

// Figures of cell calling, UMI collapsing and the matrices.
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

// One non-zero count of a column: distinct surviving UMIs of a gene.
struct CountEntry {
	uint32_t gene;   // 0-based, annotation gene order
	uint32_t count;  // >= 1
};

// One column of the count matrices: a barcode after rescue and UMI collapsing.
struct CountColumn {
	uint32_t barcode;  // its position in the ranked BarcodeList
	uint32_t genes;    // its entries: genes with at least one surviving UMI
	uint32_t umis;     // surviving UMIs, all genes
};

// Everything the outputs of a run are written from.
//
// columns: the N cells first, in BarcodeList order (barcodes.tsv and the filtered matrices,
// a cell left without a UMI included), then the other barcodes of the raw matrix. The raw
// matrix is every column with umis > 0: the cells that keep a UMI in their order, then the
// others by their ranking count (distinct UMI keys before rescue and collapsing), largest
// first, equal counts by ascending barcode code, an order independent of the barcode table's
// slot layout. entries: column by column, ascending gene within a column.
struct CountResult {
	CountSettings settings;
	const AnnotationInfo *ann;        // the genes, rows of every matrix; not owned
	const BarcodeList *barcodes;      // the ranked barcodes (their codes); not owned
	ReadStats reads;
	MatrixSummary summary;
	uint32_t cell_count;              // N
	std::vector<CountColumn> columns;
	std::vector<CountEntry> entries;
};

// The barcode code of column c.
inline uint64_t column_code(const CountResult *result, uint32_t c)
{
	return result->barcodes->entries[result->columns[c].barcode].code;
}

// Rank the barcodes of `table` into `list`, cut the cells and rescue near-miss barcodes into
// them (not when the barcodes were corrected against a whitelist; on the calling thread); sets the read and key figures of result->summary, which are
// taken before the rescue frees the tables of merged barcodes.
void call_cells(BarcodeTable *table, BarcodeList *list, CountResult *result);
// Collapse the UMIs of every barcode of the list (n_threads threads; the counts do not depend
// on their number) and fill result->barcodes (the list, which must outlive the result's
// use), cell_count, columns and entries.
void collapse_barcode_umis(BarcodeList *list, int n_threads, CountResult *result);
// Free the barcode table with its UMI tables once their counts are in the result (the list's
// table pointers are cleared), and hand the freed memory back to the system, so that the
// writers do not run on top of it.
void release_counted_tables(BarcodeTable *table, BarcodeList *list);
// The remaining figures of result->summary: matrix sizes, UMIs in cells, medians, and the
// barcode-rank curve of the ranked list.
void summarize_run(const BarcodeList *list, CountResult *result);

// Surviving UMIs and genes with at least one of them of a (collapsed) table; null counts as
// empty. `genes_scratch` needs room for table->count entries.
void count_surviving_umis(const UmiTable *table, uint32_t gene_count, uint32_t *genes_scratch,
                          uint32_t *n_genes, uint32_t *n_umis);
// The entries of a (collapsed) table in ascending gene order into `entries`; `genes_scratch`
// needs room for table->count entries, `entries` for the genes. Returns their number.
uint32_t collapsed_entries(const UmiTable *table, uint32_t gene_count, uint32_t *genes_scratch,
                           CountEntry *entries);
// Column order of the raw matrix (see CountResult) given the surviving UMIs of each list
// position: fills `order` (room for list->n) with list positions; returns the column count.
uint32_t raw_column_order(const BarcodeList *list, const uint32_t *barcode_umis, uint32_t *order);

// ---- summary figures (summary_fields.cpp) ----

// Median of `values` (reordered); the mean of the two middle values for an even n; 0 for n = 0.
double median_u32(uint32_t *values, uint32_t n);
// Log-spaced points of the barcode-rank curve of the ranked list (rank 1, rank n, the last
// cell and the first non-cell always included), at most RANK_CURVE_MAX_POINTS.
void fill_rank_curve(const BarcodeList *list, MatrixSummary *summary);
// Sequencing saturation: 1 - umi_keys / reads_recorded (0 when no read was recorded).
double sequencing_saturation(const MatrixSummary *summary);
// Fraction of the recorded exonic reads that belong to cells (0 when no read was recorded).
double fraction_in_cells(const MatrixSummary *summary);

// The fields of the run summary, defined once for summary.json, summary.html and the
// AnnData file's uns["summary"]: one value each, in output order, the members of an object
// (reads, trimmed_reads, barcode_rank) one after the other under its name.
enum SummaryKind {
	SUMMARY_TEXT,   // text
	SUMMARY_INT,    // integer
	SUMMARY_REAL,   // real with `digits` decimals in the JSON text
	SUMMARY_BOOL,
	SUMMARY_CURVE,  // the barcode-rank curve: [rank, UMIs] pairs
};
struct SummaryField {
	const char *object;  // enclosing object, or null at the top level
	const char *name;    // JSON member and uns key
	SummaryKind kind;
	int digits;          // SUMMARY_REAL
	const char *text;
	int64_t integer;     // SUMMARY_INT and SUMMARY_BOOL
	double real;
};
// The fields of `result` (those that its settings leave out are not listed).
std::vector<SummaryField> summary_fields(const CountResult *result);
// The field `name` (of object `object`, null at the top level) of a list, or null.
const SummaryField *find_summary_field(const std::vector<SummaryField> &fields, const char *object,
                                       const char *name);

#endif
