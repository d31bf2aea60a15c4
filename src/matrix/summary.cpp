// The run summary: dir/summary.json for programs and dir/summary.html for people, both
// written from the one list of summary fields (summary_fields.cpp).
//
// The page is one file with no external reference: inline CSS and an inline SVG knee plot
// (log-log axes, cells in one colour, the other barcodes in grey, the cut-off rank marked),
// and it is well-formed XML so that any XML or HTML parser reads it.
#include <cmath>
#include <cstring>
#include <vector>
#include "matrix/writers.h"

// The JSON text of a field's value.
static void json_value(FILE *fp, const SummaryField &f, const MatrixSummary *s)
{
	switch (f.kind) {
	case SUMMARY_TEXT: fprintf(fp, "\"%s\"", f.text); break;
	case SUMMARY_INT: fprintf(fp, "%lld", (long long)f.integer); break;
	case SUMMARY_REAL: fprintf(fp, "%.*f", f.digits, f.real); break;
	case SUMMARY_BOOL: fputs(f.integer ? "true" : "false", fp); break;
	case SUMMARY_CURVE:
		fputc('[', fp);
		for (uint32_t i = 0; i < s->curve_points; ++i)
			fprintf(fp, "%s[%u, %u]", i ? ", " : "", s->curve[i].rank, s->curve[i].umis);
		fputc(']', fp);
		break;
	}
}

// One member per line; an object of integers only on one line, any other one member per line.
static void write_summary_json(const char *path, const CountResult *result)
{
	const std::vector<SummaryField> fields = summary_fields(result);
	FilePtr file(open_or_die(path, "w"));
	FILE *fp = file.get();
	fprintf(fp, "{\n");
	for (size_t i = 0; i < fields.size();) {
		const SummaryField &f = fields[i];
		if (!f.object) {
			fprintf(fp, "  \"%s\": ", f.name);
			json_value(fp, f, &result->summary);
			++i;
		} else {
			size_t end = i;
			bool one_line = true;
			while (end < fields.size() && fields[end].object && strcmp(fields[end].object, f.object) == 0)
				one_line &= fields[end++].kind == SUMMARY_INT;
			fprintf(fp, "  \"%s\": {%s", f.object, one_line ? "" : "\n");
			for (size_t m = i; m < end; ++m) {
				fprintf(fp, one_line ? "%s\"%s\": " : "%s    \"%s\": ", m > i ? (one_line ? ", " : ",\n") : "",
				        fields[m].name);
				json_value(fp, fields[m], &result->summary);
			}
			fprintf(fp, one_line ? "}" : "\n  }");
			i = end;
		}
		fprintf(fp, i < fields.size() ? ",\n" : "\n");
	}
	fprintf(fp, "}\n");
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

// The rows of the page's tables: a field each (rows of fields that the run does not list are
// left out); fractions as percentages.
struct PageRow {
	const char *object, *name, *label;
	bool percent;
};
static const PageRow CELL_ROWS[] = {
	{nullptr, "cells", "Cells", false},
	{nullptr, "median_umis_per_cell", "Median UMIs per cell", false},
	{nullptr, "median_genes_per_cell", "Median genes per cell", false},
	{nullptr, "fraction_exonic_reads_in_cells", "Exonic reads in cells", true},
	{nullptr, "sequencing_saturation", "Sequencing saturation", true},
	{nullptr, "umis_in_cells", "UMIs in cells", false},
	{nullptr, "barcodes_detected", "Barcodes detected", false},
	{nullptr, "raw_barcodes", "Barcodes in the raw matrix", false},
	{nullptr, "genes", "Genes in the annotation", false},
};
static const PageRow READ_ROWS[] = {
	{"reads", "total", "Total", false},
	{"reads", "exonic", "Exonic", false},
	{"reads", "intronic", "Intronic", false},
	{"reads", "intergenic", "Intergenic", false},
	{"reads", "nonexonic", "Nonexonic", false},
	{"reads", "unmapped", "Unmapped", false},
	{nullptr, "exonic_reads_recorded", "Exonic reads with one gene (recorded)", false},
};

template <size_t N>
static void write_table(FILE *fp, const char *id, const PageRow (&rows)[N], const std::vector<SummaryField> &fields)
{
	fprintf(fp, "<table id=\"%s\">\n", id);
	for (const PageRow &row : rows) {
		const SummaryField *f = find_summary_field(fields, row.object, row.name);
		if (!f) continue;
		char value[64];
		if (f->kind == SUMMARY_TEXT) snprintf(value, sizeof value, "%s", f->text);
		else if (row.percent) snprintf(value, sizeof value, "%.1f %%", 100.0 * f->real);
		else if (f->kind == SUMMARY_REAL) snprintf(value, sizeof value, "%.*f", f->digits, f->real);
		else snprintf(value, sizeof value, "%lld", (long long)f->integer);
		fprintf(fp, "<tr><th>%s</th><td>%s</td></tr>\n", row.label, value);
	}
	fprintf(fp, "</table>\n");
}

static const PageRow BARCODE_ROWS[] = {
	{nullptr, "chemistry", "Chemistry", false},
	{nullptr, "valid_barcode_fraction", "Reads with a valid barcode", true},
	{nullptr, "corrected_barcode_fraction", "Reads with a corrected barcode", true},
	{"q30_fraction", "barcode", "Q30 bases in barcodes", true},
	{"q30_fraction", "umi", "Q30 bases in UMIs", true},
	{"q30_fraction", "read2", "Q30 bases in read 2", true},
};

static void write_summary_html(const char *path, const CountResult *result)
{
	const std::vector<SummaryField> fields = summary_fields(result);
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
	fprintf(fp, "<h2>Cells</h2>\n");
	write_table(fp, "cells", CELL_ROWS, fields);
	fprintf(fp, "<h2>Reads</h2>\n");
	write_table(fp, "reads", READ_ROWS, fields);
	if (find_summary_field(fields, nullptr, "chemistry")) {
		fprintf(fp, "<h2>Barcodes and base qualities</h2>\n");
		write_table(fp, "barcodes", BARCODE_ROWS, fields);
	}
	fprintf(fp, "<h2>Barcode rank</h2>\n<p>Distinct UMI keys of every barcode by rank; the cells are the "
	            "barcodes up to the cut-off.</p>\n");
	write_knee_plot(fp, &result->summary);
	fprintf(fp, "</body>\n</html>\n");
	close_written_file(&file);
}

void write_run_summary(const OutputPlace *place, const CountResult *result)
{
	char path[PATH_BUFFER_SIZE];
	build_path(path, place->dir, "/", "summary.json");
	write_summary_json(path, result);
	build_path(path, place->dir, "/", "summary.html");
	write_summary_html(path, result);
}
