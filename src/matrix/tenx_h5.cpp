// The 10x HDF5 matrices of a count run, which scanpy's read_10x_h5 and Seurat's Read10X_h5
// open as they are:
//
//   dir/filtered_feature_bc_matrix.h5  the cells: the matrix of matrix.bin
//   dir/raw_feature_bc_matrix.h5       the matrix of raw_feature_bc_matrix/
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
// Both are written from the count result, column by column; only the column offsets are
// held in memory.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include "matrix/writers.h"

// Entries converted to the dataset types at a time.
#define SPARSE_BATCH 4096

const char *feature_name(const AnnotationInfo *ann, uint32_t g)
{
	const char *name = ann->gene_names + (size_t)g * ann->gene_name_width;
	return *name ? name : ann->gene_ids + (size_t)g * ann->gene_id_width;
}

void write_sparse_columns(H5Out *out, H5Handle group, const CountResult *result, uint32_t first, uint32_t n,
                          bool skip_empty, H5Kind index_kind)
{
	uint64_t entries = 0, skipped = 0;  // skipped: entries of the columns before `first`
	uint32_t majors = 0;
	for (uint32_t c = 0; c < first; ++c) skipped += result->columns[c].genes;
	for (uint32_t c = first; c < first + n; ++c) {
		if (skip_empty && result->columns[c].umis == 0) continue;
		++majors;
		entries += result->columns[c].genes;
	}
	H5Column data, indices;
	h5_column_open(&data, out, group, "data", H5_INT32, entries, 0, 0);
	h5_column_open(&indices, out, group, "indices", index_kind, entries, 0, 0);
	std::vector<int64_t> indptr((size_t)majors + 1, 0);
	int32_t data_batch[SPARSE_BATCH];
	int64_t index_batch[SPARSE_BATCH];
	int32_t index_batch32[SPARSE_BATCH];
	size_t used = 0;
	auto flush = [&] {
		h5_column_put(&data, data_batch, used);
		h5_column_put(&indices, index_kind == H5_INT32 ? (const void *)index_batch32 : index_batch, used);
		used = 0;
	};
	const CountEntry *entry = result->entries.data() + skipped;
	uint32_t major = 0;
	for (uint32_t c = first; c < first + n; ++c) {
		const CountColumn &col = result->columns[c];
		if (skip_empty && col.umis == 0) continue;  // no entries either
		for (uint32_t k = 0; k < col.genes; ++k, ++entry) {
			if (entry->count > INT32_MAX) fatal(MSG_WRITE_ERROR);
			data_batch[used] = (int32_t)entry->count;
			index_batch[used] = entry->gene;
			index_batch32[used] = (int32_t)entry->gene;
			if (++used == SPARSE_BATCH) flush();
		}
		++major;
		indptr[major] = indptr[major - 1] + col.genes;
	}
	if (used) flush();
	h5_column_close(&data);
	h5_column_close(&indices);
	// indptr takes the type of indices: scipy refuses to convert arrays whose two index
	// arrays differ (tocoo, tocsc), and 32-bit indices mean that the entry count fits too.
	std::vector<int32_t> narrow(index_kind == H5_INT32 ? indptr.size() : 0);
	for (size_t k = 0; k < narrow.size(); ++k) narrow[k] = (int32_t)indptr[k];
	H5Column column;
	h5_column_open(&column, out, group, "indptr", index_kind, indptr.size(), 0, 0);
	h5_column_put(&column, narrow.empty() ? (const void *)indptr.data() : narrow.data(), indptr.size());
	h5_column_close(&column);
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

// One 10x file of the columns [0, n) of the result (without those that have no UMI when
// `skip_empty` is set): barcodes, sparse arrays, shape and features in its "matrix" group.
static void write_tenx_file(const OutputPlace *place, const char *name, const CountResult *result, uint32_t n,
                            bool skip_empty)
{
	char path[PATH_BUFFER_SIZE];
	build_path(path, place->dir, "/", name);
	H5Out out;
	h5_out_create(&out, path);
	h5_attr_text(&out, out.file, "filetype", "matrix");
	H5Handle matrix = h5_group(&out, out.file, "matrix");

	const int width = result->settings.barcode_len;
	uint32_t columns = 0;
	for (uint32_t c = 0; c < n; ++c) columns += !skip_empty || result->columns[c].umis > 0;
	H5Column barcodes;
	h5_column_open(&barcodes, &out, matrix, "barcodes", H5_TEXT, columns, 0, (uint32_t)width);
	char letters[MAX_CODE_LEN + 1];
	for (uint32_t c = 0; c < n; ++c) {
		if (skip_empty && result->columns[c].umis == 0) continue;
		unpack_bases(column_code(result, c), width, letters);
		h5_column_put_text(&barcodes, letters);
	}
	h5_column_close(&barcodes);

	const int32_t shape[2] = {(int32_t)result->ann->gene_count, (int32_t)columns};
	H5Column shape_column;
	h5_column_open(&shape_column, &out, matrix, "shape", H5_INT32, 2, 0, 0);
	h5_column_put(&shape_column, shape, 2);
	h5_column_close(&shape_column);
	write_tenx_features(&out, matrix, result->ann, place->genome);
	write_sparse_columns(&out, matrix, result, 0, n, skip_empty, H5_INT64);
	h5_close(&out, matrix);
	h5_out_finish(&out);
}

void write_tenx_h5_files(const OutputPlace *place, const CountResult *result)
{
	write_tenx_file(place, FILTERED_MATRIX_H5, result, result->cell_count, false);
	write_tenx_file(place, RAW_MATRIX_H5, result, (uint32_t)result->columns.size(), true);
}
