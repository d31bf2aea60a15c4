// The run summary: medians, the log-spaced barcode-rank curve, the exact summary.json of a
// fixed set of figures, a well-formed self-contained summary.html with the knee plot, and
// the error exits.
#include <gtest/gtest.h>
#include <cmath>
#include <random>
#include <unistd.h>
#include "../common/run_binary.h"
#include "../count/json_lite.h"
#include "tenx_test_util.h"

using namespace tenx_test;

namespace {

double reference_median(std::vector<uint32_t> v)
{
	if (v.empty()) return 0;
	std::sort(v.begin(), v.end());
	size_t n = v.size();
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + (double)v[n / 2]) / 2;
}

TEST(MedianU32, AgainstSorting)
{
	EXPECT_EQ(median_u32(nullptr, 0), 0.0);
	std::vector<uint32_t> one = {7};
	EXPECT_EQ(median_u32(one.data(), 1), 7.0);
	std::vector<uint32_t> two = {4000000000u, 4000000001u};
	EXPECT_EQ(median_u32(two.data(), 2), 4000000000.5);
	std::mt19937 rng(3);
	for (int round = 0; round < 200; ++round) {
		std::vector<uint32_t> v(1 + rng() % 50);
		for (uint32_t &x : v) x = rng() % 20;
		double expected = reference_median(v);
		EXPECT_EQ(median_u32(v.data(), (uint32_t)v.size()), expected);
	}
}

struct RankedList {
	std::vector<BarcodeEntry> entries;
	BarcodeList list{};
	RankedList(uint32_t n, uint32_t cells)
	{
		for (uint32_t i = 0; i < n; ++i)
			entries.push_back(BarcodeEntry{i, (uint32_t)(100000.0 / std::pow(i + 1.0, 0.8)), nullptr});
		list = BarcodeList{entries.data(), n, cells};
	}
};

TEST(RankCurve, LogSpacedWithTheCutOffAndTheEnds)
{
	for (uint32_t n : {1u, 2u, 7u, 130u, 1000u, 250000u}) {
		for (uint32_t cells : {0u, 1u, n / 3, n}) {
			SCOPED_TRACE(std::to_string(n) + " barcodes, " + std::to_string(cells) + " cells");
			RankedList r(n, cells);
			MatrixSummary s{};
			fill_rank_curve(&r.list, &s);
			ASSERT_GE(s.curve_points, 1u);
			ASSERT_LE(s.curve_points, (uint32_t)RANK_CURVE_MAX_POINTS);
			EXPECT_EQ(s.curve[0].rank, 1u);
			EXPECT_EQ(s.curve[s.curve_points - 1].rank, n);
			bool has_cut = cells == 0, has_next = cells == n;
			for (uint32_t i = 0; i < s.curve_points; ++i) {
				if (i) {
					EXPECT_LT(s.curve[i - 1].rank, s.curve[i].rank);
				}
				EXPECT_EQ(s.curve[i].umis, r.entries[s.curve[i].rank - 1].umi_count);
				has_cut |= s.curve[i].rank == cells;
				has_next |= s.curve[i].rank == cells + 1;
			}
			EXPECT_TRUE(has_cut);
			EXPECT_TRUE(has_next);
			if (n <= 100) {
				EXPECT_EQ(s.curve_points, n);  // every rank fits
			}
			if (n == 250000) {
				// Even on the log scale: every decade from 10 on holds many points.
				for (uint32_t lo = 10; lo * 10 <= n; lo *= 10) {
					int in = 0;
					for (uint32_t i = 0; i < s.curve_points; ++i) in += s.curve[i].rank >= lo && s.curve[i].rank < lo * 10;
					EXPECT_GE(in, 18) << "decade from " << lo;
				}
			}
		}
	}
	BarcodeList empty{nullptr, 0, 0};
	MatrixSummary s{};
	s.curve_points = 5;
	fill_rank_curve(&empty, &s);
	EXPECT_EQ(s.curve_points, 0u);
}

MatrixSummary fixed_summary()
{
	MatrixSummary s{};
	s.gene_count = 150;
	s.barcode_count = 1000;
	s.cell_count = 100;
	s.raw_barcode_count = 700;
	s.cell_records = 2665;
	s.raw_records = 3158;
	s.cell_umis = 9133;
	s.median_umis_per_cell = 102;
	s.median_genes_per_cell = 40.5;
	s.reads_recorded = 24000;
	s.reads_in_cells = 18000;
	s.umi_keys = 10000;
	s.curve_points = 4;
	s.curve[0] = {1, 5000};
	s.curve[1] = {100, 500};
	s.curve[2] = {101, 3};
	s.curve[3] = {1000, 1};
	return s;
}

TEST(RunSummary, ExactJson)
{
	TempDir dir;
	MatrixRun opt = options(dir.path, 2);
	MatrixSummary s = fixed_summary();
	TestReads reads{30000, 23977, 11, 22, 6023, 0};
	write_summary_of(&opt, &reads, &s);
	EXPECT_EQ(read_file(dir / "summary.json"),
	          "{\n"
	          "  \"program\": \"vora-T\",\n"
	          "  \"version\": \"0.2.3\",\n"
	          "  \"barcode_length\": 16,\n"
	          "  \"umi_length\": 10,\n"
	          "  \"count_intron\": false,\n"
	          "  \"reads\": {\"total\": 30000, \"exonic\": 23977, \"nonexonic\": 22, \"unmapped\": 6023},\n"
	          "  \"exonic_reads_recorded\": 24000,\n"
	          "  \"exonic_reads_in_cells\": 18000,\n"
	          "  \"fraction_exonic_reads_in_cells\": 0.750000,\n"
	          "  \"distinct_umi_keys\": 10000,\n"
	          "  \"sequencing_saturation\": 0.583333,\n"
	          "  \"genes\": 150,\n"
	          "  \"barcodes_detected\": 1000,\n"
	          "  \"cells\": 100,\n"
	          "  \"umis_in_cells\": 9133,\n"
	          "  \"median_umis_per_cell\": 102.0,\n"
	          "  \"median_genes_per_cell\": 40.5,\n"
	          "  \"filtered_matrix_entries\": 2665,\n"
	          "  \"raw_barcodes\": 700,\n"
	          "  \"raw_matrix_entries\": 3158,\n"
	          "  \"barcode_rank\": {\n"
	          "    \"value\": \"distinct UMI keys per barcode before rescue and collapsing\",\n"
	          "    \"cutoff_rank\": 100,\n"
	          "    \"points\": [[1, 5000], [100, 500], [101, 3], [1000, 1]]\n"
	          "  }\n"
	          "}\n");

	// With --count-intron the two classes replace the nonexonic one, as in the statistics lines.
	reads.count_intron = 1;
	write_summary_of(&opt, &reads, &s);
	JsonValue v;
	std::string error;
	ASSERT_TRUE(parse_json(read_file(dir / "summary.json"), &v, &error)) << error;
	const JsonValue *r = v.get("reads");
	ASSERT_NE(r, nullptr);
	ASSERT_EQ(r->members.size(), 5u);
	EXPECT_EQ(r->get("intronic")->number, 11);
	EXPECT_EQ(r->get("intergenic")->number, 22);
	EXPECT_EQ(r->get("nonexonic"), nullptr);
	EXPECT_TRUE(v.get("count_intron")->boolean);
	EXPECT_EQ(v.get("trimmed_reads"), nullptr);

	// With --trim-adapters the trimming counts follow the read classes.
	reads.trim_adapters = 1;
	reads.tso_trimmed = 2100;
	reads.polya_trimmed = 900;
	reads.quality_trimmed = 70;
	reads.too_short = 40;
	write_summary_of(&opt, &reads, &s);
	const std::string json = read_file(dir / "summary.json");
	EXPECT_NE(json.find("\"unmapped\": 6023},\n  \"trimmed_reads\": {\"tso\": 2100, \"polya\": 900, "
	                    "\"quality\": 70, \"too_short\": 40},\n  \"exonic_reads_recorded\""),
	          std::string::npos)
		<< json;
	ASSERT_TRUE(parse_json(json, &v, &error)) << error;
}

TEST(RunSummary, NoReadsNoCellsStillValid)
{
	TempDir dir;
	MatrixRun opt = options(dir.path, 1);
	MatrixSummary s{};
	TestReads reads{0, 0, 0, 0, 0, 0};
	write_summary_of(&opt, &reads, &s);
	JsonValue v;
	std::string error;
	ASSERT_TRUE(parse_json(read_file(dir / "summary.json"), &v, &error)) << error;
	EXPECT_EQ(v.get("sequencing_saturation")->text, "0.000000");
	EXPECT_EQ(v.get("fraction_exonic_reads_in_cells")->text, "0.000000");
	EXPECT_EQ(v.get("barcode_rank")->get("points")->items.size(), 0u);
	std::string html = read_file(dir / "summary.html");
	EXPECT_NE(html.find("<svg"), std::string::npos);
	EXPECT_EQ(html.find("id=\"cutoff\""), std::string::npos);  // no cell, no cut-off line
	EXPECT_EQ(html.find("nan"), std::string::npos);
	EXPECT_EQ(html.find("inf"), std::string::npos);
}

// A python3 interpreter, or "" when there is none.
std::string find_python()
{
	for (const char *p : {"/usr/bin/python3", "/usr/local/bin/python3"})
		if (access(p, X_OK) == 0) return p;
	return std::system("command -v python3 >/dev/null 2>&1") == 0 ? "python3" : "";
}

TEST(RunSummary, HtmlIsWellFormedAndSelfContained)
{
	TempDir dir;
	MatrixRun opt = options(dir.path, 2);
	MatrixSummary s = fixed_summary();
	TestReads reads{30000, 23977, 11, 22, 6023, 0};
	write_summary_of(&opt, &reads, &s);
	std::string html = read_file(dir / "summary.html");
	EXPECT_EQ(html.substr(0, 15), "<!DOCTYPE html>");
	// No external resource of any kind.
	for (const char *ref : {"src=", "href=", "@import", "url(", "<script", "<link"})
		EXPECT_EQ(html.find(ref), std::string::npos) << ref;
	// The cut-off line sits at log10(100) of three decades of the 620-unit-wide plot.
	EXPECT_NE(html.find("<line id=\"cutoff\" x1=\"493.3\""), std::string::npos);
	EXPECT_NE(html.find("cut-off: rank 100"), std::string::npos);
	// Cells: ranks 1 and 100; the other barcodes from the last cell point on.
	EXPECT_NE(html.find("<polyline class=\"cells\" points=\"80.0,56.3 493.3,"), std::string::npos);
	EXPECT_NE(html.find("<polyline class=\"background\" points=\"493.3,"), std::string::npos);
	for (const char *figure : {">100<", ">102.0<", ">40.5<", ">75.0 %<", ">58.3 %<", ">30000<", ">6023<"})
		EXPECT_NE(html.find(figure), std::string::npos) << figure;

	std::string python = find_python();
	if (python.empty()) GTEST_SKIP() << "no python3 to parse the page";
	std::string script = dir / "check.py";
	write_file(script,
	           "import sys, xml.etree.ElementTree as ET\n"
	           "from html.parser import HTMLParser\n"
	           "HTMLParser().feed(open(sys.argv[1]).read())\n"
	           "root = ET.parse(sys.argv[1]).getroot()\n"
	           "ns = {'h': 'http://www.w3.org/1999/xhtml', 's': 'http://www.w3.org/2000/svg'}\n"
	           "svg = root.findall('.//s:svg', ns)\n"
	           "lines = [l.get('points') for l in root.findall('.//s:polyline', ns)]\n"
	           "cut = [l for l in root.findall('.//s:line', ns) if l.get('id') == 'cutoff']\n"
	           "rows = root.findall('.//h:tr', ns)\n"
	           "print(len(svg), len(lines), len(cut), len(rows))\n");
	std::string out = dir / "check.out";
	int rc = std::system(("'" + python + "' '" + script + "' '" + (dir / "summary.html") + "' > '" + out + "' 2>&1").c_str());
	EXPECT_EQ(rc, 0) << read_file(out);
	EXPECT_EQ(read_file(out), "1 2 1 14\n");
}

TEST(RunSummary, MissingDirectoryEndsTheRun)
{
	TempDir dir;
	std::string missing = dir / "gone";
	MatrixRun opt = options(missing, 1);
	MatrixSummary s{};
	TestReads reads{};
	EXPECT_EXIT(write_summary_of(&opt, &reads, &s), testing::ExitedWithCode(1),
	            "\\[ERROR\\] Unable to open file \\[.*/gone/summary.json\\] to write");
}

TEST(RunSummary, ShortWriteEndsTheRun)
{
	if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
	TempDir dir;
	ASSERT_EQ(symlink("/dev/full", (dir / "summary.html").c_str()), 0);
	MatrixRun opt = options(dir.path, 1);
	MatrixSummary s = fixed_summary();
	TestReads reads{};
	EXPECT_EXIT(write_summary_of(&opt, &reads, &s), testing::ExitedWithCode(1),
	            "\\[ERROR\\] fwrite, could not write data to file\n");
}

}  // namespace
