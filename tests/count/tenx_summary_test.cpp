// summary.json and summary.html of a real count run, checked against the statistics lines
// and the matrix files of the same run.
#include <gtest/gtest.h>
#include <cmath>
#include <map>
#include "../matrix/tenx_test_util.h"
#include "json_lite.h"
#include "sim_run.h"

using namespace tenx_test;

namespace {

double median_of(std::vector<double> v)
{
	if (v.empty()) return 0;
	std::sort(v.begin(), v.end());
	size_t n = v.size();
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double number(const JsonValue &v, const char *key)
{
	const JsonValue *m = v.get(key);
	EXPECT_NE(m, nullptr) << key;
	if (!m) return NAN;
	EXPECT_EQ(m->type, JsonValue::NUMBER) << key;
	return m->number;
}

TEST(SummaryEndToEnd, JsonAgreesWithStatisticsAndMatrix)
{
	REQUIRE_SIM();
	const sim_run::CountRun &run = sim_run::Fixture::get().count("t1", 1);
	ASSERT_EQ(run.result.status, 0) << run.result.err;
	const std::string &dir = run.out_dir;
	JsonValue v;
	std::string error;
	ASSERT_TRUE(parse_json(read_file(dir + "/summary.json"), &v, &error)) << error;

	const std::string &err = run.result.err;
	const JsonValue *reads = v.get("reads");
	ASSERT_NE(reads, nullptr);
	EXPECT_EQ(number(*reads, "total"), sim_run::stat_line(err, "Total number of reads"));
	EXPECT_EQ(number(*reads, "exonic"), sim_run::stat_line(err, "Number of exonic mapped reads"));
	EXPECT_EQ(number(*reads, "nonexonic"), sim_run::stat_line(err, "Number of nonexonic reads"));
	EXPECT_EQ(number(*reads, "unmapped"), sim_run::stat_line(err, "Number of unmapped reads"));
	EXPECT_EQ(reads->members.size(), 4u);
	EXPECT_EQ(number(*reads, "total"), 30000);
	EXPECT_FALSE(v.get("count_intron")->boolean);

	std::vector<std::string> cells = split_lines(read_file(dir + "/barcodes.tsv"));
	Mtx mtx = parse_mtx(read_file(dir + "/matrix.mtx"));
	Mtx raw = parse_mtx(read_gz(dir + "/raw_feature_bc_matrix/matrix.mtx.gz"));
	ASSERT_TRUE(mtx.ok);
	ASSERT_TRUE(raw.ok);
	std::vector<double> umis(cells.size(), 0), genes(cells.size(), 0);
	double total = 0;
	for (const Entry &e : mtx.data) {
		umis[e.barcode - 1] += e.count;
		genes[e.barcode - 1] += 1;
		total += e.count;
	}
	EXPECT_EQ(number(v, "cells"), (double)cells.size());
	EXPECT_EQ(number(v, "genes"), 150);
	EXPECT_EQ(number(v, "umis_in_cells"), total);
	EXPECT_EQ(number(v, "median_umis_per_cell"), median_of(umis));
	EXPECT_EQ(number(v, "median_genes_per_cell"), median_of(genes));
	EXPECT_EQ(number(v, "filtered_matrix_entries"), (double)mtx.entries);
	EXPECT_EQ(number(v, "raw_barcodes"), (double)raw.columns);
	EXPECT_EQ(number(v, "raw_matrix_entries"), (double)raw.entries);

	// Reads of cells are a part of the recorded reads, which are a part of the exonic ones;
	// every distinct key was recorded by at least one read.
	double recorded = number(v, "exonic_reads_recorded"), in_cells = number(v, "exonic_reads_in_cells");
	double keys = number(v, "distinct_umi_keys");
	EXPECT_LE(recorded, number(*reads, "exonic"));
	EXPECT_GT(recorded, 0.9 * number(*reads, "exonic"));
	EXPECT_LE(in_cells, recorded);
	EXPECT_GT(in_cells, 0.5 * recorded);
	EXPECT_LE(keys, recorded);
	EXPECT_GE(keys, total);  // collapsing and the cut only remove keys
	EXPECT_NEAR(number(v, "fraction_exonic_reads_in_cells"), in_cells / recorded, 1e-6);
	EXPECT_NEAR(number(v, "sequencing_saturation"), 1 - keys / recorded, 1e-6);

	const JsonValue *rank = v.get("barcode_rank");
	ASSERT_NE(rank, nullptr);
	EXPECT_EQ(number(*rank, "cutoff_rank"), (double)cells.size());
	const JsonValue *points = rank->get("points");
	ASSERT_NE(points, nullptr);
	ASSERT_GE(points->items.size(), 20u);
	double prev_rank = 0, prev_umis = INFINITY;
	bool has_cut = false;
	for (const JsonValue &p : points->items) {
		ASSERT_EQ(p.items.size(), 2u);
		EXPECT_GT(p.items[0].number, prev_rank);
		EXPECT_LE(p.items[1].number, prev_umis);
		prev_rank = p.items[0].number;
		prev_umis = p.items[1].number;
		has_cut |= prev_rank == (double)cells.size();
	}
	EXPECT_EQ(points->items.front().items[0].number, 1);
	EXPECT_EQ(points->items.back().items[0].number, number(v, "barcodes_detected"));
	EXPECT_TRUE(has_cut);
}

TEST(SummaryEndToEnd, HtmlShowsTheFiguresAndTheKneePlot)
{
	REQUIRE_SIM();
	const sim_run::CountRun &run = sim_run::Fixture::get().count("t1", 1);
	ASSERT_EQ(run.result.status, 0) << run.result.err;
	std::string html = read_file(run.out_dir + "/summary.html");
	size_t cells = split_lines(read_file(run.out_dir + "/barcodes.tsv")).size();
	EXPECT_NE(html.find("<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"barcode-rank-plot\""), std::string::npos);
	EXPECT_NE(html.find("<polyline class=\"cells\""), std::string::npos);
	EXPECT_NE(html.find("<polyline class=\"background\""), std::string::npos);
	EXPECT_NE(html.find("cut-off: rank " + std::to_string(cells) + "<"), std::string::npos);
	EXPECT_NE(html.find("<th>Cells</th><td>" + std::to_string(cells) + "</td>"), std::string::npos);
	EXPECT_NE(html.find("<th>Total</th><td>30000</td>"), std::string::npos);

	std::string python = sim_run::find_python("xml.etree.ElementTree");
	if (python.empty()) GTEST_SKIP() << "no python3 to parse the page";
	std::string out;
	int rc = sim_run::shell("'" + python +
	                            "' -c 'import sys, xml.etree.ElementTree as ET; r = ET.parse(sys.argv[1]).getroot(); "
	                            "print(len(r.findall(\".//{http://www.w3.org/2000/svg}polyline\")))' '" +
	                            run.out_dir + "/summary.html'",
	                        &out);
	EXPECT_EQ(rc, 0) << out;
	EXPECT_EQ(out, "2\n");
}

}  // namespace
