// out_dir/matrix.h5ad: the cells' matrix as AnnData, which anndata.read_h5ad and scanpy
// open as they are (the on-disk encoding of anndata 0.8, every element tagged with its
// "encoding-type" and "encoding-version"):
//
//   X      csr_matrix, cells x genes: data int32 counts, indices 0-based gene and indptr,
//          both int32 while the entries fit in it, else both int64 (as anndata writes them)
//   obs    dataframe indexed by the cell barcodes (no "-1" suffix), as in barcodes.tsv, with
//          total_counts (UMIs of the cell) and n_genes_by_counts (genes with a count)
//   var    dataframe indexed by gene id, with gene_name (the id where the name is empty)
//   uns    summary: the figures of summary.json, under the same names and nesting
//   obsm, varm, obsp, varp, layers: empty
//
// Written from the count result; only the per-cell figures and the names are copied.
#include <cstdio>
#include <cstring>
#include <vector>
#include "matrix/writers.h"

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

// uns["summary"]: the summary fields, an object of them as a dict.
static void write_uns_summary(H5Out *out, H5Handle uns, const CountResult *result)
{
	const std::vector<SummaryField> fields = summary_fields(result);
	const MatrixSummary *s = &result->summary;
	H5Handle summary = dict_group(out, uns, "summary");
	H5Handle object = summary;
	const char *object_name = nullptr;
	for (const SummaryField &f : fields) {
		if (f.object != object_name && (!f.object || !object_name || strcmp(f.object, object_name) != 0)) {
			if (object != summary) h5_close(out, object);
			object = f.object ? dict_group(out, summary, f.object) : summary;
			object_name = f.object;
		}
		switch (f.kind) {
		case SUMMARY_TEXT: put_string(out, object, f.name, f.text); break;
		case SUMMARY_INT: put_int(out, object, f.name, f.integer); break;
		case SUMMARY_REAL: put_double(out, object, f.name, f.real); break;
		case SUMMARY_BOOL: put_bool(out, object, f.name, f.integer != 0); break;
		case SUMMARY_CURVE: {
			int64_t points[2 * RANK_CURVE_MAX_POINTS];
			for (uint32_t i = 0; i < s->curve_points; ++i) {
				points[2 * i] = s->curve[i].rank;
				points[2 * i + 1] = s->curve[i].umis;
			}
			put_array(out, object, f.name, H5_INT64, points, s->curve_points, 2);
			break;
		}
		}
	}
	if (object != summary) h5_close(out, object);
	h5_close(out, summary);
}

void write_anndata(const OutputPlace *place, const CountResult *result)
{
	const AnnotationInfo *ann = result->ann;
	char path[PATH_BUFFER_SIZE];
	build_path(path, place->dir, "/", ANNDATA_FILE);
	const uint32_t N = result->cell_count, G = ann->gene_count;
	uint64_t entries = 0;
	for (uint32_t c = 0; c < N; ++c) entries += result->columns[c].genes;

	H5Out out;
	h5_out_create(&out, path);
	set_encoding(&out, out.file, "anndata", "0.1.0");

	H5Handle x = h5_group(&out, out.file, "X");
	set_encoding(&out, x, "csr_matrix", "0.1.0");
	const int64_t shape[2] = {N, G};
	h5_attr_int64s(&out, x, "shape", shape, 2);
	// anndata's own choice: 32-bit indices and indptr while the entries fit, 64-bit both beyond.
	write_sparse_columns(&out, x, result, 0, N, false, entries <= (uint64_t)INT32_MAX ? H5_INT32 : H5_INT64);
	h5_close(&out, x);

	std::vector<char> letters((size_t)N * (MAX_CODE_LEN + 1) + 1);
	std::vector<const char *> barcodes(N ? N : 1);
	std::vector<uint64_t> total_counts(N ? N : 1);
	std::vector<int32_t> n_genes(N ? N : 1);
	for (uint32_t c = 0; c < N; ++c) {
		char *text = letters.data() + (size_t)c * (MAX_CODE_LEN + 1);
		unpack_bases(column_code(result, c), result->settings.barcode_len, text);
		barcodes[c] = text;
		total_counts[c] = result->columns[c].umis;
		n_genes[c] = (int32_t)result->columns[c].genes;
	}
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
	write_uns_summary(&out, uns, result);
	h5_close(&out, uns);
	for (const char *name : {"obsm", "varm", "obsp", "varp", "layers"}) h5_close(&out, dict_group(&out, out.file, name));
	h5_out_finish(&out);
}
