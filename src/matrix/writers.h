// The outputs of a count run, each written from the CountResult alone: no writer reads a
// file that another one wrote, so they may run in any order or side by side (but the HDF5
// ones, whose library is not thread-safe, one after the other on one thread).
#ifndef VORAT_MATRIX_WRITERS_H
#define VORAT_MATRIX_WRITERS_H

#include <cstdint>
#include "matrix/result.h"

// Where the outputs go.
struct OutputPlace {
	const char *dir;     // output directory
	const char *prefix;  // file prefix of the run's own files (the alignment dump)
	const char *genome;  // name of the reference in the 10x HDF5 files
};

// ---- output files (output_files.cpp) ----

// Files that a reader could take for a finished result are written under path + PART_SUFFIX
// and renamed by publish_output() once complete, so a run that fails part-way never leaves
// one that looks whole.
#define PART_SUFFIX ".part"
void publish_output(const char *part_path, const char *path);
// Remove every file that this run will write into place->dir (the list of output files in
// output_files.cpp, their part files, and the alignment dump when `align_dump` is set) at
// the start of a run, so that a run that fails leaves no result of an earlier run beside its own.
void remove_stale_outputs(const OutputPlace *place, bool align_dump);

// ---- the matrix files (matrix_files.cpp) ----

// One non-zero count of matrix.bin: 12 bytes, little-endian.
struct MatrixRecord {
	uint32_t gene;     // 1 to G, annotation gene order
	uint32_t barcode;  // 1 to N, BarcodeList order
	uint32_t count;    // distinct surviving UMIs, >= 1
};

// dir/barcodes.tsv: the letters of the cells, one a line.
void write_barcodes_tsv(const OutputPlace *place, const CountResult *result);
// dir/features.tsv: gene id, tab, gene name, one gene a line in annotation order.
void write_features_tsv(const OutputPlace *place, const CountResult *result);
// dir/matrix.bin: G (int32), N (int32), E (uint64), then the E MatrixRecords of the cells in
// column, then gene order.
void write_matrix_bin(const OutputPlace *place, const CountResult *result);
// dir/matrix.mtx: the same matrix as Matrix Market coordinate text, fields tab-separated.
void write_matrix_mtx(const OutputPlace *place, const CountResult *result);
// Write v in decimal at p (no terminator) and return the end: "%llu" without printf's cost
// per matrix record.
char *append_decimal(char *p, uint64_t v);

// ---- 10x folders (tenx_output.cpp) ----

#define FILTERED_MATRIX_DIR "filtered_feature_bc_matrix"
#define RAW_MATRIX_DIR "raw_feature_bc_matrix"

// dir/filtered_feature_bc_matrix/: barcodes.tsv.gz (the cells), features.tsv.gz, matrix.mtx.gz.
void write_filtered_matrix_dir(const OutputPlace *place, const CountResult *result);
// dir/raw_feature_bc_matrix/: the same for the raw matrix's columns.
void write_raw_matrix_dir(const OutputPlace *place, const CountResult *result);

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

// The data (int32), indices and indptr (both of index_kind) datasets of a compressed sparse
// matrix in `group`: barcode = major axis (indptr), gene = minor axis (indices, 0-based), for
// `n` columns of the result from column `first` on, without those that have no UMI when
// `skip_empty` is set (the raw matrix).
void write_sparse_columns(H5Out *out, H5Handle group, const CountResult *result, uint32_t first, uint32_t n,
                          bool skip_empty, H5Kind index_kind);
// dir/filtered_feature_bc_matrix.h5 (the cells) and dir/raw_feature_bc_matrix.h5.
void write_tenx_h5_files(const OutputPlace *place, const CountResult *result);
// dir/matrix.h5ad: the cells' matrix as AnnData (cells x genes), with the run summary in uns.
void write_anndata(const OutputPlace *place, const CountResult *result);

// ---- run summary (summary.cpp) ----

// dir/summary.json and dir/summary.html (self-contained page, inline SVG knee plot).
void write_run_summary(const OutputPlace *place, const CountResult *result);

#endif
