// The run summary: out_dir/summary.json for programs and out_dir/summary.html for people.
//
// Both carry the read counts of the statistics lines, the cell figures of the matrix pass
// and the barcode-rank curve: the distinct UMI keys of every barcode seen (the count the
// cell selection ranks and cuts on), by rank, at log-spaced ranks. The page is one file
// with no external reference: inline CSS and an inline SVG knee plot (log-log axes, cells
// in one colour, the other barcodes in grey, the cut-off rank marked), and it is
// well-formed XML so that any XML or HTML parser reads it.
#include <algorithm>
#include <cmath>
#include <cstring>
#include "matrix/matrix.h"

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

static void write_summary_json(const char *path, const CountOptions *opt, const SummaryReadCounts *reads,
                               const MatrixSummary *s)
{
	FilePtr file(open_or_die(path, "w"));
	FILE *fp = file.get();
	fprintf(fp, "{\n");
	fprintf(fp, "  \"program\": \"vora-T\",\n");
	fprintf(fp, "  \"version\": \"%d.%d.%d\",\n", VORAT_VERSION_MAJOR, VORAT_VERSION_MINOR, VORAT_VERSION_PATCH);
	fprintf(fp, "  \"barcode_length\": %d,\n  \"umi_length\": %d,\n", opt->lib_type.barcode_len,
	        opt->lib_type.umi_len);
	fprintf(fp, "  \"count_intron\": %s,\n", reads->count_intron ? "true" : "false");
	fprintf(fp, "  \"reads\": {\"total\": %lld, \"exonic\": %lld, ", (long long)reads->total,
	        (long long)reads->exonic);
	if (reads->count_intron)
		fprintf(fp, "\"intronic\": %lld, \"intergenic\": %lld, ", (long long)reads->intronic,
		        (long long)reads->intergenic);
	else
		fprintf(fp, "\"nonexonic\": %lld, ", (long long)reads->intergenic);
	fprintf(fp, "\"unmapped\": %lld},\n", (long long)reads->unmapped);
	if (reads->trim_adapters)
		fprintf(fp, "  \"trimmed_reads\": {\"tso\": %lld, \"polya\": %lld, \"quality\": %lld, \"too_short\": %lld},\n",
		        (long long)reads->tso_trimmed, (long long)reads->polya_trimmed, (long long)reads->quality_trimmed,
		        (long long)reads->too_short);
	fprintf(fp, "  \"exonic_reads_recorded\": %llu,\n", (unsigned long long)s->reads_recorded);
	fprintf(fp, "  \"exonic_reads_in_cells\": %llu,\n", (unsigned long long)s->reads_in_cells);
	fprintf(fp, "  \"fraction_exonic_reads_in_cells\": %.6f,\n", fraction_in_cells(s));
	fprintf(fp, "  \"distinct_umi_keys\": %llu,\n", (unsigned long long)s->umi_keys);
	fprintf(fp, "  \"sequencing_saturation\": %.6f,\n", sequencing_saturation(s));
	fprintf(fp, "  \"genes\": %u,\n", s->gene_count);
	fprintf(fp, "  \"barcodes_detected\": %u,\n", s->barcode_count);
	fprintf(fp, "  \"cells\": %u,\n", s->cell_count);
	fprintf(fp, "  \"umis_in_cells\": %llu,\n", (unsigned long long)s->cell_umis);
	fprintf(fp, "  \"median_umis_per_cell\": %.1f,\n", s->median_umis_per_cell);
	fprintf(fp, "  \"median_genes_per_cell\": %.1f,\n", s->median_genes_per_cell);
	fprintf(fp, "  \"filtered_matrix_entries\": %llu,\n", (unsigned long long)s->cell_records);
	fprintf(fp, "  \"raw_barcodes\": %u,\n", s->raw_barcode_count);
	fprintf(fp, "  \"raw_matrix_entries\": %llu,\n", (unsigned long long)s->raw_records);
	fprintf(fp, "  \"barcode_rank\": {\n");
	fprintf(fp, "    \"value\": \"distinct UMI keys per barcode before rescue and collapsing\",\n");
	fprintf(fp, "    \"cutoff_rank\": %u,\n", s->cell_count);
	fprintf(fp, "    \"points\": [");
	for (uint32_t i = 0; i < s->curve_points; ++i)
		fprintf(fp, "%s[%u, %u]", i ? ", " : "", s->curve[i].rank, s->curve[i].umis);
	fprintf(fp, "]\n  }\n}\n");
	close_written_file(&file);
}

// Plot area of the knee plot, in SVG user units.
#define PLOT_W 720
#define PLOT_H 440
#define PLOT_LEFT 80
#define PLOT_RIGHT 700
#define PLOT_TOP 30
#define PLOT_BOTTOM 380

// Smallest power of ten (as its exponent, at least 1) not below `v`.
static int decades_above(uint32_t v)
{
	int k = 1;
	double p = 10.0;
	while (p < (double)v) {
		p *= 10.0;
		++k;
	}
	return k;
}

static double plot_x(uint32_t rank, int decades)
{
	return PLOT_LEFT + (PLOT_RIGHT - PLOT_LEFT) * std::log10((double)rank) / decades;
}

// Barcodes of no UMI sit on the bottom axis with those of one.
static double plot_y(uint32_t umis, int decades)
{
	double v = umis < 1 ? 0.0 : std::log10((double)umis);
	return PLOT_BOTTOM - (PLOT_BOTTOM - PLOT_TOP) * v / decades;
}

static void power_label(char *out, size_t size, int exponent)
{
	if (exponent <= 6) {
		long long v = 1;
		for (int i = 0; i < exponent; ++i) v *= 10;
		snprintf(out, size, "%lld", v);
	} else {
		snprintf(out, size, "1e%d", exponent);
	}
}

static void write_polyline(FILE *fp, const MatrixSummary *s, uint32_t from, uint32_t to, const char *cls,
                           int x_dec, int y_dec)
{
	if (to <= from) return;
	fprintf(fp, "<polyline class=\"%s\" points=\"", cls);
	for (uint32_t i = from; i < to; ++i)
		fprintf(fp, "%s%.1f,%.1f", i > from ? " " : "", plot_x(s->curve[i].rank, x_dec),
		        plot_y(s->curve[i].umis, y_dec));
	fprintf(fp, "\"/>\n");
}

static void write_knee_plot(FILE *fp, const MatrixSummary *s)
{
	uint32_t max_rank = s->barcode_count > 1 ? s->barcode_count : 1;
	uint32_t max_umis = s->curve_points ? s->curve[0].umis : 1;
	const int x_dec = decades_above(max_rank), y_dec = decades_above(max_umis);
	fprintf(fp, "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"barcode-rank-plot\" width=\"%d\" height=\"%d\" "
	            "viewBox=\"0 0 %d %d\" role=\"img\">\n",
	        PLOT_W, PLOT_H, PLOT_W, PLOT_H);
	fprintf(fp, "<title>Barcode rank plot</title>\n");
	fprintf(fp, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" class=\"frame\"/>\n", PLOT_LEFT, PLOT_TOP,
	        PLOT_RIGHT - PLOT_LEFT, PLOT_BOTTOM - PLOT_TOP);
	char label[32];
	for (int k = 0; k <= x_dec; ++k) {
		double x = PLOT_LEFT + (PLOT_RIGHT - PLOT_LEFT) * (double)k / x_dec;
		power_label(label, sizeof label, k);
		fprintf(fp, "<line class=\"grid\" x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\"/>\n", x, PLOT_TOP, x, PLOT_BOTTOM);
		fprintf(fp, "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%s</text>\n", x, PLOT_BOTTOM + 18, label);
	}
	for (int k = 0; k <= y_dec; ++k) {
		double y = PLOT_BOTTOM - (PLOT_BOTTOM - PLOT_TOP) * (double)k / y_dec;
		power_label(label, sizeof label, k);
		fprintf(fp, "<line class=\"grid\" x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\"/>\n", PLOT_LEFT, y, PLOT_RIGHT, y);
		fprintf(fp, "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", PLOT_LEFT - 6, y + 4, label);
	}
	fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">Barcode rank</text>\n", (PLOT_LEFT + PLOT_RIGHT) / 2,
	        PLOT_BOTTOM + 44);
	fprintf(fp, "<text x=\"18\" y=\"%d\" text-anchor=\"middle\" transform=\"rotate(-90 18 %d)\">"
	            "UMIs (distinct UMI keys)</text>\n",
	        (PLOT_TOP + PLOT_BOTTOM) / 2, (PLOT_TOP + PLOT_BOTTOM) / 2);

	// Cells up to the cut-off point, the other barcodes from it on, so the two lines meet.
	uint32_t split = 0;
	while (split < s->curve_points && s->curve[split].rank <= s->cell_count) ++split;
	write_polyline(fp, s, 0, split, "cells", x_dec, y_dec);
	write_polyline(fp, s, split ? split - 1 : 0, s->curve_points, "background", x_dec, y_dec);
	if (s->cell_count > 0) {
		double x = plot_x(s->cell_count, x_dec);
		fprintf(fp, "<line id=\"cutoff\" x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\"/>\n", x, PLOT_TOP, x, PLOT_BOTTOM);
		fprintf(fp, "<text id=\"cutoff-label\" x=\"%.1f\" y=\"%d\">cut-off: rank %u</text>\n", x + 6, PLOT_TOP + 16,
		        s->cell_count);
	}
	fprintf(fp, "</svg>\n");
}

static void table_row(FILE *fp, const char *label, const char *value)
{
	fprintf(fp, "<tr><th>%s</th><td>%s</td></tr>\n", label, value);
}

static void write_summary_html(const char *path, const SummaryReadCounts *reads, const MatrixSummary *s)
{
	FilePtr file(open_or_die(path, "w"));
	FILE *fp = file.get();
	fprintf(fp, "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n"
	            "<meta charset=\"utf-8\"/>\n<title>vora-T run summary</title>\n<style>\n"
	            "body { font-family: sans-serif; margin: 2em; color: #222; }\n"
	            "table { border-collapse: collapse; margin-bottom: 1.5em; }\n"
	            "th, td { padding: 0.25em 1em; border-bottom: 1px solid #ddd; }\n"
	            "th { text-align: left; font-weight: normal; color: #555; }\n"
	            "td { text-align: right; font-variant-numeric: tabular-nums; }\n"
	            "svg text { font-size: 12px; fill: #333; }\n"
	            "svg .frame { fill: none; stroke: #999; }\n"
	            "svg .grid { stroke: #e4e4e4; }\n"
	            "svg .cells { fill: none; stroke: #1f6fb4; stroke-width: 2.5; }\n"
	            "svg .background { fill: none; stroke: #aaa; stroke-width: 2.5; }\n"
	            "svg #cutoff { stroke: #c0392b; stroke-dasharray: 6 4; stroke-width: 1.5; }\n"
	            "svg #cutoff-label { fill: #c0392b; }\n"
	            "</style>\n</head>\n<body>\n");
	fprintf(fp, "<h1>vora-T run summary</h1>\n");
	char value[64];
	fprintf(fp, "<h2>Cells</h2>\n<table id=\"cells\">\n");
	snprintf(value, sizeof value, "%u", s->cell_count);
	table_row(fp, "Cells", value);
	snprintf(value, sizeof value, "%.1f", s->median_umis_per_cell);
	table_row(fp, "Median UMIs per cell", value);
	snprintf(value, sizeof value, "%.1f", s->median_genes_per_cell);
	table_row(fp, "Median genes per cell", value);
	snprintf(value, sizeof value, "%.1f %%", 100.0 * fraction_in_cells(s));
	table_row(fp, "Exonic reads in cells", value);
	snprintf(value, sizeof value, "%.1f %%", 100.0 * sequencing_saturation(s));
	table_row(fp, "Sequencing saturation", value);
	snprintf(value, sizeof value, "%llu", (unsigned long long)s->cell_umis);
	table_row(fp, "UMIs in cells", value);
	snprintf(value, sizeof value, "%u", s->barcode_count);
	table_row(fp, "Barcodes detected", value);
	snprintf(value, sizeof value, "%u", s->raw_barcode_count);
	table_row(fp, "Barcodes in the raw matrix", value);
	snprintf(value, sizeof value, "%u", s->gene_count);
	table_row(fp, "Genes in the annotation", value);
	fprintf(fp, "</table>\n");

	fprintf(fp, "<h2>Reads</h2>\n<table id=\"reads\">\n");
	snprintf(value, sizeof value, "%lld", (long long)reads->total);
	table_row(fp, "Total", value);
	snprintf(value, sizeof value, "%lld", (long long)reads->exonic);
	table_row(fp, "Exonic", value);
	if (reads->count_intron) {
		snprintf(value, sizeof value, "%lld", (long long)reads->intronic);
		table_row(fp, "Intronic", value);
		snprintf(value, sizeof value, "%lld", (long long)reads->intergenic);
		table_row(fp, "Intergenic", value);
	} else {
		snprintf(value, sizeof value, "%lld", (long long)reads->intergenic);
		table_row(fp, "Nonexonic", value);
	}
	snprintf(value, sizeof value, "%lld", (long long)reads->unmapped);
	table_row(fp, "Unmapped", value);
	snprintf(value, sizeof value, "%llu", (unsigned long long)s->reads_recorded);
	table_row(fp, "Exonic reads with one gene (recorded)", value);
	fprintf(fp, "</table>\n");

	fprintf(fp, "<h2>Barcode rank</h2>\n<p>Distinct UMI keys of every barcode by rank; the cells are the "
	            "barcodes up to the cut-off.</p>\n");
	write_knee_plot(fp, s);
	fprintf(fp, "</body>\n</html>\n");
	close_written_file(&file);
}

void write_run_summary(const CountOptions *opt, const SummaryReadCounts *reads, const MatrixSummary *summary)
{
	char path[PATH_BUFFER_SIZE];
	build_path(path, opt->out_dir, "/", "summary.json");
	write_summary_json(path, opt, reads, summary);
	build_path(path, opt->out_dir, "/", "summary.html");
	write_summary_html(path, reads, summary);
}
