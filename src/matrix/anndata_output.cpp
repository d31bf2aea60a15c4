// out_dir/matrix.h5ad: the cells' matrix as AnnData, which anndata.read_h5ad and scanpy
// open as they are (the on-disk encoding of anndata 0.8, every element tagged with its
// "encoding-type" and "encoding-version"):
//
//   X      csr_matrix, cells x genes: data int32 counts, indices 0-based gene and indptr,
//          both int32 while the entries fit in it, else both int64 (as anndata writes them)
//   obs    dataframe indexed by the barcodes of barcodes.tsv (no "-1" suffix), with
//          total_counts (UMIs of the cell) and n_genes_by_counts (genes with a count)
//   var    dataframe indexed by gene id, with gene_name (the id where the name is empty)
//   uns    summary: the figures of summary.json, under the same names and nesting
//   obsm, varm, obsp, varp, layers: empty
//
// The matrix is streamed from matrix.bin; only per-cell figures and the names are held.
#include <cstdio>
#include <cstring>
#include <vector>
#include "matrix/matrix.h"

static void set_encoding(H5Out *out, H5Handle object, const char *type, const char *version)
{
	h5_attr_text(out, object, "encoding-type", type);
	h5_attr_text(out, object, "encoding-version", version);
}

static H5Handle dict_group(H5Out *out, H5Handle parent, const char *name)
{
	H5Handle group = h5_group(out, parent, name);
	set_encoding(out, group, "dict", "0.1.0");
	return group;
}

static void put_int(H5Out *out, H5Handle parent, const char *name, int64_t value)
{
	H5Handle dataset = h5_scalar(out, parent, name, H5_INT64, &value);
	set_encoding(out, dataset, "numeric-scalar", "0.2.0");
	h5_close(out, dataset);
}

static void put_double(H5Out *out, H5Handle parent, const char *name, double value)
{
	H5Handle dataset = h5_scalar(out, parent, name, H5_FLOAT64, &value);
	set_encoding(out, dataset, "numeric-scalar", "0.2.0");
	h5_close(out, dataset);
}

static void put_bool(H5Out *out, H5Handle parent, const char *name, bool value)
{
	int8_t byte = value ? 1 : 0;
	H5Handle dataset = h5_scalar(out, parent, name, H5_BOOL, &byte);
	set_encoding(out, dataset, "numeric-scalar", "0.2.0");
	h5_close(out, dataset);
}

static void put_string(H5Out *out, H5Handle parent, const char *name, const char *value)
{
	H5Handle dataset = h5_scalar(out, parent, name, H5_VLEN_TEXT, &value);
	set_encoding(out, dataset, "string", "0.2.0");
	h5_close(out, dataset);
}

// A 1-D (columns = 0) or 2-D array element of `rows` rows.
static void put_array(H5Out *out, H5Handle parent, const char *name, H5Kind kind, const void *values,
                      uint64_t rows, uint32_t columns)
{
	H5Column column;
	H5Handle dataset = h5_column_open(&column, out, parent, name, kind, rows, columns, 0);
	set_encoding(out, dataset, kind == H5_VLEN_TEXT ? "string-array" : "array", "0.2.0");
	h5_column_put(&column, values, (size_t)rows);
	h5_column_close(&column);
}

// A dataframe group of `rows` rows indexed by `index`; the caller adds the columns listed in
// `columns` and closes it.
static H5Handle begin_dataframe(H5Out *out, H5Handle parent, const char *name, const char *const *index,
                                uint32_t rows, const char *const *columns, uint32_t n_columns)
{
	H5Handle frame = h5_group(out, parent, name);
	set_encoding(out, frame, "dataframe", "0.2.0");
	h5_attr_text(out, frame, "_index", "_index");
	h5_attr_texts(out, frame, "column-order", columns, n_columns);
	put_array(out, frame, "_index", H5_VLEN_TEXT, index, rows, 0);
	return frame;
}

static void write_uns_summary(H5Out *out, H5Handle uns, const CountOptions *opt, const SummaryReadCounts *reads,
                              const MatrixSummary *s)
{
	H5Handle summary = dict_group(out, uns, "summary");
	char version[32];
	snprintf(version, sizeof version, "%d.%d.%d", VORAT_VERSION_MAJOR, VORAT_VERSION_MINOR, VORAT_VERSION_PATCH);
	put_string(out, summary, "program", "vora-T");
	put_string(out, summary, "version", version);
	put_int(out, summary, "barcode_length", opt->lib_type.barcode_len);
	put_int(out, summary, "umi_length", opt->lib_type.umi_len);
	put_bool(out, summary, "count_intron", reads->count_intron != 0);

	H5Handle read_counts = dict_group(out, summary, "reads");
	put_int(out, read_counts, "total", reads->total);
	put_int(out, read_counts, "exonic", reads->exonic);
	if (reads->count_intron) {
		put_int(out, read_counts, "intronic", reads->intronic);
		put_int(out, read_counts, "intergenic", reads->intergenic);
	} else {
		put_int(out, read_counts, "nonexonic", reads->intergenic);
	}
	put_int(out, read_counts, "unmapped", reads->unmapped);
	h5_close(out, read_counts);
	if (reads->trim_adapters) {
		H5Handle trimmed = dict_group(out, summary, "trimmed_reads");
		put_int(out, trimmed, "tso", reads->tso_trimmed);
		put_int(out, trimmed, "polya", reads->polya_trimmed);
		put_int(out, trimmed, "quality", reads->quality_trimmed);
		put_int(out, trimmed, "too_short", reads->too_short);
		h5_close(out, trimmed);
	}

	put_int(out, summary, "exonic_reads_recorded", (int64_t)s->reads_recorded);
	put_int(out, summary, "exonic_reads_in_cells", (int64_t)s->reads_in_cells);
	put_double(out, summary, "fraction_exonic_reads_in_cells", fraction_in_cells(s));
	put_int(out, summary, "distinct_umi_keys", (int64_t)s->umi_keys);
	put_double(out, summary, "sequencing_saturation", sequencing_saturation(s));
	put_int(out, summary, "genes", s->gene_count);
	put_int(out, summary, "barcodes_detected", s->barcode_count);
	put_int(out, summary, "cells", s->cell_count);
	put_int(out, summary, "umis_in_cells", (int64_t)s->cell_umis);
	put_double(out, summary, "median_umis_per_cell", s->median_umis_per_cell);
	put_double(out, summary, "median_genes_per_cell", s->median_genes_per_cell);
	put_int(out, summary, "filtered_matrix_entries", (int64_t)s->cell_records);
	put_int(out, summary, "raw_barcodes", s->raw_barcode_count);
	put_int(out, summary, "raw_matrix_entries", (int64_t)s->raw_records);

	H5Handle rank = dict_group(out, summary, "barcode_rank");
	put_string(out, rank, "value", "distinct UMI keys per barcode before rescue and collapsing");
	put_int(out, rank, "cutoff_rank", s->cell_count);
	int64_t points[2 * RANK_CURVE_MAX_POINTS];
	for (uint32_t i = 0; i < s->curve_points; ++i) {
		points[2 * i] = s->curve[i].rank;
		points[2 * i + 1] = s->curve[i].umis;
	}
	put_array(out, rank, "points", H5_INT64, points, s->curve_points, 2);
	h5_close(out, rank);
	h5_close(out, summary);
}

void write_anndata(const CountOptions *opt, const AnnotationInfo *ann, const SummaryReadCounts *reads,
                   const MatrixSummary *summary)
{
	char bin_path[PATH_BUFFER_SIZE], path[PATH_BUFFER_SIZE];
	build_path(bin_path, opt->out_dir, "/", "matrix.bin");
	build_path(path, opt->out_dir, "/", ANNDATA_FILE);
	int32_t genes, cells;
	uint64_t records;
	FilePtr bin(open_matrix_bin(bin_path, &genes, &cells, &records));
	if ((uint32_t)genes != ann->gene_count) fatal(MSG_READ_ERROR);
	const uint32_t N = (uint32_t)cells, G = ann->gene_count;
	std::vector<char> barcode_text;
	char barcodes_path[PATH_BUFFER_SIZE];
	build_path(barcodes_path, opt->out_dir, "/", "barcodes.tsv");
	std::vector<const char *> barcodes = read_text_lines(barcodes_path, N, &barcode_text);

	H5Out out;
	h5_out_create(&out, path);
	set_encoding(&out, out.file, "anndata", "0.1.0");

	H5Handle x = h5_group(&out, out.file, "X");
	set_encoding(&out, x, "csr_matrix", "0.1.0");
	const int64_t shape[2] = {N, G};
	h5_attr_int64s(&out, x, "shape", shape, 2);
	std::vector<uint64_t> total_counts(N ? N : 1);
	SparseColumns sparse;
	// anndata's own choice: 32-bit indices and indptr while the entries fit, 64-bit both beyond.
	const H5Kind index_kind = records <= (uint64_t)INT32_MAX ? H5_INT32 : H5_INT64;
	sparse_open(&sparse, &out, x, N, records, index_kind, total_counts.data());
	sparse_put_matrix_bin(&sparse, bin.get(), records);
	std::vector<int32_t> n_genes(N ? N : 1);
	for (uint32_t k = 0; k < N; ++k) n_genes[k] = (int32_t)sparse.indptr[k + 1];  // entries of row k
	sparse_close(&sparse);
	h5_close(&out, x);

	static const char *const OBS_COLUMNS[] = {"total_counts", "n_genes_by_counts"};
	H5Handle obs = begin_dataframe(&out, out.file, "obs", barcodes.data(), N, OBS_COLUMNS, 2);
	put_array(&out, obs, "total_counts", H5_INT64, total_counts.data(), N, 0);
	put_array(&out, obs, "n_genes_by_counts", H5_INT32, n_genes.data(), N, 0);
	h5_close(&out, obs);

	std::vector<const char *> ids(G ? G : 1), names(G ? G : 1);
	for (uint32_t g = 0; g < G; ++g) {
		ids[g] = ann->gene_ids + (size_t)g * ann->gene_id_width;
		names[g] = feature_name(ann, g);
	}
	static const char *const VAR_COLUMNS[] = {"gene_name"};
	H5Handle var = begin_dataframe(&out, out.file, "var", ids.data(), G, VAR_COLUMNS, 1);
	put_array(&out, var, "gene_name", H5_VLEN_TEXT, names.data(), G, 0);
	h5_close(&out, var);

	H5Handle uns = dict_group(&out, out.file, "uns");
	write_uns_summary(&out, uns, opt, reads, summary);
	h5_close(&out, uns);
	for (const char *name : {"obsm", "varm", "obsp", "varp", "layers"}) h5_close(&out, dict_group(&out, out.file, name));
	h5_out_finish(&out);
}

void write_hdf5_outputs(const CountOptions *opt, const AnnotationInfo *ann, const SummaryReadCounts *reads,
                        const MatrixSummary *summary)
{
	write_tenx_h5_files(opt, ann);
	write_anndata(opt, ann, reads, summary);
}
