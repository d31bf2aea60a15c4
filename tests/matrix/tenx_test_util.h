// Helpers of the tests of the 10x folders, UMI collapsing and the run summary:
// in-memory gene and barcode tables, gzip reading and Matrix Market parsing.
#ifndef VORAT_TESTS_TENX_TEST_UTIL_H
#define VORAT_TESTS_TENX_TEST_UTIL_H

#include <gtest/gtest.h>
#include <zlib.h>
#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>
#include "../common/run_binary.h"
#include "matrix/matrix.h"

namespace tenx_test {

// A gene table of the given ids and names, in the fixed-width row layout of AnnotationInfo.
struct Genes {
	AnnotationInfo ann{};
	std::vector<char> ids, names;
	Genes(const std::vector<std::string> &gene_ids, const std::vector<std::string> &gene_names)
	{
		size_t id_w = 1, name_w = 1;
		for (auto &s : gene_ids) id_w = std::max(id_w, s.size() + 1);
		for (auto &s : gene_names) name_w = std::max(name_w, s.size() + 1);
		ids.assign(id_w * gene_ids.size() + 1, 0);
		names.assign(name_w * gene_names.size() + 1, 0);
		for (size_t g = 0; g < gene_ids.size(); ++g) {
			memcpy(&ids[g * id_w], gene_ids[g].data(), gene_ids[g].size());
			memcpy(&names[g * name_w], gene_names[g].data(), gene_names[g].size());
		}
		ann.gene_count = (uint32_t)gene_ids.size();
		ann.gene_id_width = (uint32_t)id_w;
		ann.gene_name_width = (uint32_t)name_w;
		ann.gene_ids = ids.data();
		ann.gene_names = names.data();
	}
};

inline Genes numbered_genes(int n)
{
	std::vector<std::string> ids, names;
	for (int g = 0; g < n; ++g) {
		ids.push_back("ENSG" + std::to_string(1000 + g));
		names.push_back("Gene" + std::to_string(g));
	}
	return Genes(ids, names);
}

struct Table {
	BarcodeTable *t = barcode_table_create(1);
	~Table() { barcode_table_free(t); }
};

inline uint32_t put_barcode(BarcodeTable *t, uint64_t code)
{
	for (;;) {
		uint32_t s = barcode_table_insert(t, code);
		if (s != TABLE_FULL) return s;
		barcode_table_grow(t);
	}
}

// One read: barcode (16 bases), UMI (10 bases), gene index.
inline void add(BarcodeTable *t, const std::string &barcode, const std::string &umi, uint32_t gene)
{
	barcode_add_umi(t, put_barcode(t, pack_bases(barcode.c_str(), 16)),
	                (pack_bases(umi.c_str(), 10) << GENE_BITS) | gene);
}

// What the matrix tests vary of a run: the output directory and the threads (barcodes of
// 16 bases, UMIs of 10).
struct MatrixRun {
	std::string dir;
	int threads;
	const char *genome;
};

inline MatrixRun options(const std::string &dir, int threads)
{
	return MatrixRun{dir, threads, ""};
}

inline OutputPlace place_of(const MatrixRun &run)
{
	return OutputPlace{run.dir.c_str(), "VoraT", run.genome};
}

// The stages of a count run after the read pipeline (cell calling, UMI collapsing, summary)
// and the ranked list that the result refers to.
struct CountedTable {
	BarcodeList list{};
	CountResult result{};
	CountedTable(const MatrixRun &run, BarcodeTable *t, const AnnotationInfo *ann)
	{
		result.settings = CountSettings{16, 10, 0, 0, nullptr, 0};
		result.ann = ann;
		call_cells(t, &list, &result);
		collapse_barcode_umis(&list, run.threads, &result);
		summarize_run(&list, &result);
	}
	~CountedTable() { release_barcode_list(&list); }
	CountedTable(const CountedTable &) = delete;
	CountedTable &operator=(const CountedTable &) = delete;
};

// The matrix files and the 10x folders of a count run of the table; the summary's figures
// into `summary` when it is given.
inline void write_matrix_outputs(const MatrixRun *run, BarcodeTable *t, const AnnotationInfo *ann,
                                 MatrixSummary *summary = nullptr)
{
	CountedTable counted(*run, t, ann);
	const CountResult &result = counted.result;
	const OutputPlace place = place_of(*run);
	write_barcodes_tsv(&place, &result);
	write_features_tsv(&place, &result);
	write_matrix_bin(&place, &result);
	write_matrix_mtx(&place, &result);
	write_filtered_matrix_dir(&place, &result);
	write_raw_matrix_dir(&place, &result);
	if (summary) *summary = result.summary;
}

// The read counters and read settings of a summary, in the order the statistics print them.
struct TestReads {
	int64_t total, exonic, intronic, intergenic, unmapped;
	int32_t count_intron;
	int32_t trim_adapters = 0;
	int64_t tso_trimmed = 0, polya_trimmed = 0, quality_trimmed = 0, too_short = 0;
};

// A result of the given figures (no matrix) with the settings and counters of `reads`.
inline CountResult summary_result(const TestReads &reads, const MatrixSummary &summary, const AnnotationInfo *ann)
{
	CountResult result{};
	result.settings = CountSettings{16, 10, reads.count_intron, reads.trim_adapters, nullptr, 0};
	result.ann = ann;
	result.reads.total = reads.total;
	result.reads.exonic = reads.exonic;
	result.reads.intronic = reads.intronic;
	result.reads.intergenic = reads.intergenic;
	result.reads.unmapped = reads.unmapped;
	result.reads.tso_trimmed = reads.tso_trimmed;
	result.reads.polya_trimmed = reads.polya_trimmed;
	result.reads.quality_trimmed = reads.quality_trimmed;
	result.reads.too_short = reads.too_short;
	result.summary = summary;
	return result;
}

// summary.json and summary.html of those figures.
inline void write_summary_of(const MatrixRun *run, const TestReads *reads, const MatrixSummary *summary)
{
	AnnotationInfo ann{};
	const CountResult result = summary_result(*reads, *summary, &ann);
	const OutputPlace place = place_of(*run);
	write_run_summary(&place, &result);
}

// Every output of a count run of the table, HDF5 files included, with the read figures of
// `reads`; the summary's figures into `summary` when it is given.
inline void write_every_output(const MatrixRun *run, BarcodeTable *t, const AnnotationInfo *ann,
                               const TestReads &reads, MatrixSummary *summary = nullptr)
{
	CountedTable counted(*run, t, ann);
	CountResult &result = counted.result;
	const CountResult figures = summary_result(reads, result.summary, ann);
	result.settings = figures.settings;
	result.reads = figures.reads;
	const OutputPlace place = place_of(*run);
	for (auto writer : {write_barcodes_tsv, write_features_tsv, write_matrix_bin, write_matrix_mtx,
	                    write_filtered_matrix_dir, write_raw_matrix_dir, write_run_summary, write_tenx_h5_files,
	                    write_anndata})
		writer(&place, &result);
	if (summary) *summary = result.summary;
}

// Whole content of a gzip (or plain) file; "<missing>" when it cannot be opened.
inline std::string read_gz(const std::string &path)
{
	gzFile gz = gzopen(path.c_str(), "rb");
	if (!gz) return "<missing>";
	std::string out;
	char buf[65536];
	int n;
	while ((n = gzread(gz, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
	gzclose(gz);
	return out;
}

struct Entry {
	uint32_t gene, barcode, count;
	bool operator<(const Entry &o) const { return std::tie(barcode, gene) < std::tie(o.barcode, o.gene); }
	bool operator==(const Entry &o) const { return gene == o.gene && barcode == o.barcode && count == o.count; }
};

// A Matrix Market coordinate text (tab or blank separated): comment lines, size line, entries.
struct Mtx {
	std::vector<std::string> comments;
	uint64_t rows = 0, columns = 0, entries = 0;
	std::vector<Entry> data;
	bool ok = false;
};

inline Mtx parse_mtx(const std::string &text)
{
	Mtx m;
	bool size_seen = false;
	for (const std::string &line : split_lines(text)) {
		if (!line.empty() && line[0] == '%') {
			if (size_seen) return m;
			m.comments.push_back(line);
			continue;
		}
		std::istringstream in(line);
		if (!size_seen) {
			if (!(in >> m.rows >> m.columns >> m.entries)) return m;
			size_seen = true;
			continue;
		}
		Entry e;
		if (!(in >> e.gene >> e.barcode >> e.count)) return m;
		m.data.push_back(e);
	}
	m.ok = size_seen && m.data.size() == m.entries;
	return m;
}

}  // namespace tenx_test

#endif
