// The 10x HDF5 matrices of a count run, which scanpy's read_10x_h5 and Seurat's Read10X_h5
// open as they are:
//
//   out_dir/filtered_feature_bc_matrix.h5  the cells: the matrix of matrix.bin
//   out_dir/raw_feature_bc_matrix.h5       the matrix of raw_feature_bc_matrix/
//
// each with one group "matrix" holding
//
//   barcodes            column names: the barcode letters (no "-1" suffix, as in every
//                       other output of the run), zero-padded fixed-width text
//   data                int32 counts, column by column, ascending gene within a column
//   indices             int64 0-based row (gene) of each count
//   indptr              int64, columns + 1 entries: where each column starts in data
//   shape               int32 [genes, columns]
//   features/id, name   gene id and gene name (the id where the name is empty), in
//                       annotation order; feature_type "Gene Expression"; genome, the
//                       name of the index (the last part of its path prefix);
//                       _all_tag_keys ["genome"]
//
// Both are converted from finished files of the same run, so they hold the same columns in
// the same order by construction: the filtered matrix from matrix.bin and barcodes.tsv, the
// raw one from the raw folder's matrix.mtx.gz and barcodes.tsv.gz, streamed record by
// record and barcode by barcode; only the column offsets are held in memory.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <zlib.h>
#include "matrix/matrix.h"

// Records converted to the dataset types at a time.
#define SPARSE_BATCH 4096

const char *feature_name(const AnnotationInfo *ann, uint32_t g)
{
	const char *name = ann->gene_names + (size_t)g * ann->gene_name_width;
	return *name ? name : ann->gene_ids + (size_t)g * ann->gene_id_width;
}

void sparse_open(SparseColumns *sparse, H5Out *out, H5Handle group, uint32_t majors, uint64_t entries,
                 H5Kind index_kind, uint64_t *major_sums)
{
	sparse->out = out;
	sparse->group = group;
	sparse->majors = majors;
	sparse->index_kind = index_kind;
	sparse->major_sums = major_sums;
	sparse->last_major = 0;
	sparse->last_minor = 0;
	sparse->indptr = (int64_t *)malloc_or_die((size_t)majors + 1, sizeof(int64_t), true);
	if (major_sums) memset(major_sums, 0, (size_t)majors * sizeof(uint64_t));
	h5_column_open(&sparse->data, out, group, "data", H5_INT32, entries, 0, 0);
	h5_column_open(&sparse->indices, out, group, "indices", index_kind, entries, 0, 0);
}

void sparse_put(SparseColumns *sparse, const MatrixRecord *records, size_t n)
{
	int32_t data[SPARSE_BATCH];
	int64_t indices[SPARSE_BATCH];
	int32_t *indices32 = (int32_t *)indices;
	while (n > 0) {
		const size_t part = n < SPARSE_BATCH ? n : SPARSE_BATCH;
		for (size_t r = 0; r < part; ++r) {
			const MatrixRecord &rec = records[r];
			// Majors ascending, minors ascending within a major: anything else is not a
			// matrix these files can describe.
			if (rec.barcode < 1 || rec.barcode > sparse->majors || rec.barcode < sparse->last_major ||
			    (rec.barcode == sparse->last_major && rec.gene <= sparse->last_minor) || rec.gene < 1 ||
			    rec.count == 0 || rec.count > INT32_MAX)
				fatal(MSG_READ_ERROR);
			sparse->last_major = rec.barcode;
			sparse->last_minor = rec.gene;
			++sparse->indptr[rec.barcode];
			if (sparse->major_sums) sparse->major_sums[rec.barcode - 1] += rec.count;
			data[r] = (int32_t)rec.count;
			if (sparse->index_kind == H5_INT32) indices32[r] = (int32_t)(rec.gene - 1);
			else indices[r] = (int64_t)rec.gene - 1;
		}
		h5_column_put(&sparse->data, data, part);
		h5_column_put(&sparse->indices, indices, part);
		records += part;
		n -= part;
	}
}

void sparse_close(SparseColumns *sparse)
{
	h5_column_close(&sparse->data);
	h5_column_close(&sparse->indices);
	for (uint32_t k = 0; k < sparse->majors; ++k) sparse->indptr[k + 1] += sparse->indptr[k];
	// indptr takes the type of indices: scipy refuses to convert arrays whose two index
	// arrays differ (tocoo, tocsc), and a 32-bit indices means the entry count fits it too.
	const size_t n = (size_t)sparse->majors + 1;
	std::vector<int32_t> narrow(sparse->index_kind == H5_INT32 ? n : 0);
	for (size_t k = 0; k < narrow.size(); ++k) narrow[k] = (int32_t)sparse->indptr[k];
	H5Column indptr;
	h5_column_open(&indptr, sparse->out, sparse->group, "indptr", sparse->index_kind, n, 0, 0);
	h5_column_put(&indptr, narrow.empty() ? (const void *)sparse->indptr : narrow.data(), n);
	h5_column_close(&indptr);
	free(sparse->indptr);
	sparse->indptr = nullptr;
}

FILE *open_matrix_bin(const char *bin_path, int32_t *genes, int32_t *cells, uint64_t *records)
{
	FILE *bin = open_or_die(bin_path, "rb");
	read_or_die(genes, 4, 1, bin);
	read_or_die(cells, 4, 1, bin);
	read_or_die(records, 8, 1, bin);
	if (*genes < 0 || *cells < 0) fatal(MSG_READ_ERROR);
	return bin;
}

void sparse_put_matrix_bin(SparseColumns *sparse, FILE *bin, uint64_t records)
{
	std::vector<MatrixRecord> chunk(SPARSE_BATCH);
	for (uint64_t left = records; left > 0;) {
		size_t n = left < SPARSE_BATCH ? (size_t)left : (size_t)SPARSE_BATCH;
		read_or_die(chunk.data(), sizeof(MatrixRecord), n, bin);
		sparse_put(sparse, chunk.data(), n);
		left -= n;
	}
}

// A fixed-width text dataset of `rows` strings text(0) .. text(rows - 1), as wide as the
// longest (at least 1 byte: HDF5 has no empty string type).
template <typename Text>
static void put_text_column(H5Out *out, H5Handle group, const char *name, uint32_t rows, Text text)
{
	size_t width = 1;
	for (uint32_t g = 0; g < rows; ++g) width = std::max(width, strlen(text(g)));
	H5Column column;
	h5_column_open(&column, out, group, name, H5_TEXT, rows, 0, (uint32_t)width);
	for (uint32_t g = 0; g < rows; ++g) h5_column_put_text(&column, text(g));
	h5_column_close(&column);
}

static void write_tenx_features(H5Out *out, H5Handle matrix, const AnnotationInfo *ann, const char *genome)
{
	const uint32_t G = ann->gene_count;
	H5Handle features = h5_group(out, matrix, "features");
	put_text_column(out, features, "id", G,
	                [ann](uint32_t g) { return ann->gene_ids + (size_t)g * ann->gene_id_width; });
	put_text_column(out, features, "name", G, [ann](uint32_t g) { return feature_name(ann, g); });
	put_text_column(out, features, "feature_type", G, [](uint32_t) { return "Gene Expression"; });
	put_text_column(out, features, "genome", G, [genome](uint32_t) { return genome; });
	put_text_column(out, features, "_all_tag_keys", 1, [](uint32_t) { return "genome"; });
	h5_close(out, features);
}

// Lines of a text file, plain or gzip, cut in place in `text`; exactly `expected` lines are
// required.
std::vector<const char *> read_text_lines(const char *path, uint64_t expected, std::vector<char> *text)
{
	gzFile gz = gzopen(path, "rb");
	if (!gz) fatal("[ERROR] Unable to open file [%s] to read\n", path);
	char buffer[65536];
	int n;
	while ((n = gzread(gz, buffer, sizeof buffer)) > 0) text->insert(text->end(), buffer, buffer + n);
	if (n < 0 || gzclose(gz) != Z_OK) fatal(MSG_READ_ERROR);
	std::vector<const char *> lines;
	lines.reserve((size_t)expected);
	size_t start = 0;
	for (size_t i = 0; i < text->size(); ++i) {
		if ((*text)[i] != '\n') continue;
		(*text)[i] = 0;
		lines.push_back(text->data() + start);
		start = i + 1;
	}
	if (start != text->size() || lines.size() != expected) fatal(MSG_READ_ERROR);
	return lines;
}

// The index name: the last part of the index path prefix.
static const char *genome_name(const char *index_prefix)
{
	if (!index_prefix) return "";
	const char *slash = strrchr(index_prefix, '/');
	return slash ? slash + 1 : index_prefix;
}

// The barcodes of a text file (plain or gzip): `rows` lines of exactly `width` letters,
// streamed into the fixed-width "barcodes" dataset of `matrix`.
static void put_barcodes(H5Out *out, H5Handle matrix, const char *path, uint64_t rows, int width)
{
	GzFilePtr gz(gzopen(path, "rb"));
	if (!gz) fatal("[ERROR] Unable to open file [%s] to read\n", path);
	H5Column column;
	h5_column_open(&column, out, matrix, "barcodes", H5_TEXT, rows, 0, (uint32_t)width);
	char line[MAX_CODE_LEN + 3];
	for (uint64_t k = 0; k < rows; ++k) {
		if (!gzgets(gz.get(), line, sizeof line) || strlen(line) != (size_t)width + 1 || line[width] != '\n')
			fatal(MSG_READ_ERROR);
		line[width] = 0;
		h5_column_put_text(&column, line);
	}
	if (gzgets(gz.get(), line, sizeof line)) fatal(MSG_READ_ERROR);
	h5_column_close(&column);
}

// The file with its "matrix" group, barcodes (from `barcodes_path`), shape and features;
// the caller adds the sparse arrays and finishes.
static H5Handle begin_tenx_file(H5Out *out, const char *path, const char *barcodes_path, uint32_t columns,
                                const CountOptions *opt, const AnnotationInfo *ann)
{
	h5_out_create(out, path);
	h5_attr_text(out, out->file, "filetype", "matrix");
	H5Handle matrix = h5_group(out, out->file, "matrix");
	put_barcodes(out, matrix, barcodes_path, columns, opt->lib_type.barcode_len);
	const int32_t shape[2] = {(int32_t)ann->gene_count, (int32_t)columns};
	H5Column shape_column;
	h5_column_open(&shape_column, out, matrix, "shape", H5_INT32, 2, 0, 0);
	h5_column_put(&shape_column, shape, 2);
	h5_column_close(&shape_column);
	write_tenx_features(out, matrix, ann, genome_name(opt->index_prefix));
	return matrix;
}

// A number of a Matrix Market line and the blank or line end after it; false when none.
static bool parse_number(const char **p, uint64_t *value)
{
	const char *s = *p;
	if (*s < '0' || *s > '9') return false;
	uint64_t v = 0;
	while (*s >= '0' && *s <= '9') v = v * 10 + (uint64_t)(*s++ - '0');
	if (*s == ' ' || *s == '\t') ++s;
	*value = v;
	*p = s;
	return true;
}

// Stream the records of an open Matrix Market text (after its size line) into `sparse`.
static void put_mtx_records(SparseColumns *sparse, gzFile gz, uint64_t entries)
{
	std::vector<MatrixRecord> records(SPARSE_BATCH);
	char line[128];
	for (uint64_t left = entries; left > 0;) {
		size_t n = left < SPARSE_BATCH ? (size_t)left : (size_t)SPARSE_BATCH;
		for (size_t r = 0; r < n; ++r) {
			uint64_t v[3];
			const char *p = gzgets(gz, line, sizeof line);
			if (!p || !parse_number(&p, &v[0]) || !parse_number(&p, &v[1]) || !parse_number(&p, &v[2]) ||
			    (*p != '\n' && *p != 0) || v[0] > UINT32_MAX || v[1] > UINT32_MAX || v[2] > UINT32_MAX)
				fatal(MSG_READ_ERROR);
			records[r] = MatrixRecord{(uint32_t)v[0], (uint32_t)v[1], (uint32_t)v[2]};
		}
		sparse_put(sparse, records.data(), n);
		left -= n;
	}
}

// Open a Matrix Market text (plain or gzip) and read its comment and size lines.
static gzFile open_mtx(const char *path, uint64_t *rows, uint64_t *columns, uint64_t *entries)
{
	gzFile gz = gzopen(path, "rb");
	if (!gz) fatal("[ERROR] Unable to open file [%s] to read\n", path);
	char line[256];
	const char *p;
	do p = gzgets(gz, line, sizeof line);
	while (p && line[0] == '%');
	if (!p || !parse_number(&p, rows) || !parse_number(&p, columns) || !parse_number(&p, entries))
		fatal(MSG_READ_ERROR);
	return gz;
}

void write_tenx_h5_files(const CountOptions *opt, const AnnotationInfo *ann)
{
	char path[PATH_BUFFER_SIZE], source[PATH_BUFFER_SIZE], barcodes[PATH_BUFFER_SIZE];
	H5Out out;
	SparseColumns sparse;

	// Filtered: matrix.bin and barcodes.tsv.
	build_path(source, opt->out_dir, "/", "matrix.bin");
	int32_t genes, cells;
	uint64_t records;
	FilePtr bin(open_matrix_bin(source, &genes, &cells, &records));
	if ((uint32_t)genes != ann->gene_count) fatal(MSG_READ_ERROR);
	build_path(barcodes, opt->out_dir, "/", "barcodes.tsv");
	build_path(path, opt->out_dir, "/", FILTERED_MATRIX_H5);
	H5Handle matrix = begin_tenx_file(&out, path, barcodes, (uint32_t)cells, opt, ann);
	sparse_open(&sparse, &out, matrix, (uint32_t)cells, records, H5_INT64, nullptr);
	sparse_put_matrix_bin(&sparse, bin.get(), records);
	sparse_close(&sparse);
	h5_close(&out, matrix);
	h5_out_finish(&out);

	// Raw: the raw folder's matrix.mtx.gz and barcodes.tsv.gz.
	uint64_t rows, columns, entries;
	build_path(source, opt->out_dir, "/" RAW_MATRIX_DIR "/", "matrix.mtx.gz");
	GzFilePtr mtx(open_mtx(source, &rows, &columns, &entries));
	if (rows != ann->gene_count || columns > INT32_MAX) fatal(MSG_READ_ERROR);
	build_path(barcodes, opt->out_dir, "/" RAW_MATRIX_DIR "/", "barcodes.tsv.gz");
	build_path(path, opt->out_dir, "/", RAW_MATRIX_H5);
	matrix = begin_tenx_file(&out, path, barcodes, (uint32_t)columns, opt, ann);
	sparse_open(&sparse, &out, matrix, (uint32_t)columns, entries, H5_INT64, nullptr);
	put_mtx_records(&sparse, mtx.get(), entries);
	sparse_close(&sparse);
	h5_close(&out, matrix);
	h5_out_finish(&out);
}
