// The figures of the run summary and the one list of its fields, from which summary.json,
// summary.html and the AnnData file's uns["summary"] are all written.
//
// The barcode-rank curve: the distinct UMI keys of every barcode seen (the count the cell
// selection ranks and cuts on), by rank, at log-spaced ranks.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>
#include "matrix/result.h"

// Log-spaced ranks of the curve; the remaining room takes the fixed ranks.
#define RANK_CURVE_LOG_POINTS 120

double median_u32(uint32_t *values, uint32_t n)
{
	if (n == 0) return 0.0;
	uint32_t mid = n / 2;
	std::nth_element(values, values + mid, values + n);
	double upper = values[mid];
	if (n % 2) return upper;
	double lower = *std::max_element(values, values + mid);
	return (lower + upper) / 2.0;
}

void fill_rank_curve(const BarcodeList *list, MatrixSummary *summary)
{
	summary->curve_points = 0;
	const uint32_t n = list->n;
	if (n == 0) return;
	uint32_t ranks[RANK_CURVE_MAX_POINTS];
	uint32_t k = 0;
	const double top = std::log((double)n);
	for (uint32_t i = 0; i < RANK_CURVE_LOG_POINTS; ++i) {
		double r = std::floor(std::exp(top * i / (RANK_CURVE_LOG_POINTS - 1)) + 0.5);
		ranks[k++] = r < 1 ? 1 : (r > n ? n : (uint32_t)r);
	}
	ranks[k++] = n;
	if (list->cell_count > 0) ranks[k++] = list->cell_count;
	if (list->cell_count < n) ranks[k++] = list->cell_count + 1;
	std::sort(ranks, ranks + k);
	k = (uint32_t)(std::unique(ranks, ranks + k) - ranks);
	for (uint32_t i = 0; i < k; ++i)
		summary->curve[i] = RankCurvePoint{ranks[i], list->entries[ranks[i] - 1].umi_count};
	summary->curve_points = k;
}

double sequencing_saturation(const MatrixSummary *summary)
{
	if (summary->reads_recorded == 0) return 0.0;
	return 1.0 - (double)summary->umi_keys / (double)summary->reads_recorded;
}

double fraction_in_cells(const MatrixSummary *summary)
{
	if (summary->reads_recorded == 0) return 0.0;
	return (double)summary->reads_in_cells / (double)summary->reads_recorded;
}

void summarize_run(const BarcodeList *list, CountResult *result)
{
	MatrixSummary *sum = &result->summary;
	const uint32_t cells = result->cell_count;
	sum->gene_count = result->ann->gene_count;
	sum->barcode_count = list->n;
	sum->cell_count = cells;
	sum->cell_records = sum->raw_records = 0;
	sum->raw_barcode_count = 0;
	sum->cell_umis = 0;
	std::vector<uint32_t> umis(cells ? cells : 1), genes(cells ? cells : 1);
	for (uint32_t c = 0; c < result->columns.size(); ++c) {
		const CountColumn &col = result->columns[c];
		if (c < cells) {
			sum->cell_records += col.genes;
			sum->cell_umis += col.umis;
			umis[c] = col.umis;
			genes[c] = col.genes;
		}
		if (col.umis > 0) {
			++sum->raw_barcode_count;
			sum->raw_records += col.genes;
		}
	}
	sum->median_umis_per_cell = median_u32(umis.data(), cells);
	sum->median_genes_per_cell = median_u32(genes.data(), cells);
	fill_rank_curve(list, sum);
}

static SummaryField text_field(const char *object, const char *name, const char *text)
{
	return SummaryField{object, name, SUMMARY_TEXT, 0, text, 0, 0.0};
}
static SummaryField int_field(const char *object, const char *name, int64_t value)
{
	return SummaryField{object, name, SUMMARY_INT, 0, nullptr, value, 0.0};
}
static SummaryField real_field(const char *name, double value, int digits)
{
	return SummaryField{nullptr, name, SUMMARY_REAL, digits, nullptr, 0, value};
}

// a / b, 0 when b is 0.
static double share(int64_t a, int64_t b)
{
	return b > 0 ? (double)a / (double)b : 0.0;
}

std::vector<SummaryField> summary_fields(const CountResult *result)
{
	static const char VERSION[] = VORAT_VERSION_TEXT;
	const CountSettings &set = result->settings;
	const ReadStats &r = result->reads;
	const MatrixSummary &s = result->summary;
	std::vector<SummaryField> f;
	f.push_back(text_field(nullptr, "program", "vora-T"));
	f.push_back(text_field(nullptr, "version", VERSION));
	f.push_back(int_field(nullptr, "barcode_length", set.barcode_len));
	f.push_back(int_field(nullptr, "umi_length", set.umi_len));
	f.push_back(SummaryField{nullptr, "count_intron", SUMMARY_BOOL, 0, nullptr, set.count_intron != 0, 0.0});
	if (set.chemistry) f.push_back(text_field(nullptr, "chemistry", set.chemistry));
	f.push_back(int_field("reads", "total", r.total));
	f.push_back(int_field("reads", "exonic", r.exonic));
	if (set.count_intron) {
		f.push_back(int_field("reads", "intronic", r.intronic));
		f.push_back(int_field("reads", "intergenic", r.intergenic));
	} else {
		f.push_back(int_field("reads", "nonexonic", r.intergenic));
	}
	f.push_back(int_field("reads", "unmapped", r.unmapped));
	if (set.trim_adapters) {
		f.push_back(int_field("trimmed_reads", "tso", r.tso_trimmed));
		f.push_back(int_field("trimmed_reads", "polya", r.polya_trimmed));
		f.push_back(int_field("trimmed_reads", "quality", r.quality_trimmed));
		f.push_back(int_field("trimmed_reads", "too_short", r.too_short));
	}
	if (set.whitelist) {
		f.push_back(int_field("barcodes", "on_list", r.barcode_on_list));
		f.push_back(int_field("barcodes", "corrected", r.barcode_corrected));
		f.push_back(int_field("barcodes", "invalid", r.barcode_invalid));
		f.push_back(int_field("barcodes", "umi_filtered", r.umi_filtered));
		f.push_back(real_field("valid_barcode_fraction", share(r.barcode_on_list + r.barcode_corrected, r.total), 6));
		f.push_back(real_field("corrected_barcode_fraction", share(r.barcode_corrected, r.total), 6));
	}
	if (set.chemistry) {
		f.push_back(SummaryField{"q30_fraction", "barcode", SUMMARY_REAL, 6, nullptr, 0, share(r.barcode_q30, r.barcode_bases)});
		f.push_back(SummaryField{"q30_fraction", "umi", SUMMARY_REAL, 6, nullptr, 0, share(r.umi_q30, r.umi_bases)});
		f.push_back(SummaryField{"q30_fraction", "read2", SUMMARY_REAL, 6, nullptr, 0, share(r.read2_q30, r.read2_bases)});
	}
	f.push_back(int_field(nullptr, "exonic_reads_recorded", (int64_t)s.reads_recorded));
	f.push_back(int_field(nullptr, "exonic_reads_in_cells", (int64_t)s.reads_in_cells));
	f.push_back(real_field("fraction_exonic_reads_in_cells", fraction_in_cells(&s), 6));
	f.push_back(int_field(nullptr, "distinct_umi_keys", (int64_t)s.umi_keys));
	f.push_back(real_field("sequencing_saturation", sequencing_saturation(&s), 6));
	f.push_back(int_field(nullptr, "genes", s.gene_count));
	f.push_back(int_field(nullptr, "barcodes_detected", s.barcode_count));
	f.push_back(int_field(nullptr, "cells", s.cell_count));
	f.push_back(int_field(nullptr, "umis_in_cells", (int64_t)s.cell_umis));
	f.push_back(real_field("median_umis_per_cell", s.median_umis_per_cell, 1));
	f.push_back(real_field("median_genes_per_cell", s.median_genes_per_cell, 1));
	f.push_back(int_field(nullptr, "filtered_matrix_entries", (int64_t)s.cell_records));
	f.push_back(int_field(nullptr, "raw_barcodes", s.raw_barcode_count));
	f.push_back(int_field(nullptr, "raw_matrix_entries", (int64_t)s.raw_records));
	f.push_back(text_field("barcode_rank", "value", "distinct UMI keys per barcode before rescue and collapsing"));
	f.push_back(int_field("barcode_rank", "cutoff_rank", s.cell_count));
	f.push_back(SummaryField{"barcode_rank", "points", SUMMARY_CURVE, 0, nullptr, s.curve_points, 0.0});
	return f;
}

const SummaryField *find_summary_field(const std::vector<SummaryField> &fields, const char *object,
                                       const char *name)
{
	for (const SummaryField &f : fields)
		if (strcmp(f.name, name) == 0 && (f.object == object || (f.object && object && strcmp(f.object, object) == 0)))
			return &f;
	return nullptr;
}
