// The 10x folders of a real count run (simulated reads through the vora-T binary): the
// filtered folder holds exactly the four result files' matrix, the raw folder every cell
// with UMIs plus the other barcodes, and the true cells of the simulation are all there.
#include <gtest/gtest.h>
#include <map>
#include <set>
#include "../matrix/tenx_test_util.h"
#include "sim_run.h"

using namespace tenx_test;

namespace {

TEST(TenxFoldersEndToEnd, FilteredFolderIsTheResultMatrix)
{
	REQUIRE_SIM();
	const sim_run::CountRun &run = sim_run::Fixture::get().count("t1", 1);
	ASSERT_EQ(run.result.status, 0) << run.result.err;
	const std::string dir = run.out_dir, f = dir + "/filtered_feature_bc_matrix";

	EXPECT_EQ(read_gz(f + "/barcodes.tsv.gz"), read_file(dir + "/barcodes.tsv"));
	std::vector<std::string> features = split_lines(read_file(dir + "/features.tsv"));
	std::vector<std::string> tenx_features = split_lines(read_gz(f + "/features.tsv.gz"));
	ASSERT_EQ(tenx_features.size(), features.size());
	ASSERT_EQ(features.size(), 150u);
	for (size_t g = 0; g < features.size(); ++g) EXPECT_EQ(tenx_features[g], features[g] + "\tGene Expression");

	Mtx mtx = parse_mtx(read_file(dir + "/matrix.mtx"));
	Mtx tenx = parse_mtx(read_gz(f + "/matrix.mtx.gz"));
	ASSERT_TRUE(mtx.ok);
	ASSERT_TRUE(tenx.ok);
	EXPECT_EQ(tenx.comments, mtx.comments);
	EXPECT_EQ(tenx.rows, mtx.rows);
	EXPECT_EQ(tenx.columns, mtx.columns);
	EXPECT_EQ(tenx.data, mtx.data);
	// Blank-separated, as the 10x layout is.
	std::vector<std::string> lines = split_lines(read_gz(f + "/matrix.mtx.gz"));
	ASSERT_GT(lines.size(), 3u);
	EXPECT_EQ(lines[3].find('\t'), std::string::npos);
}

TEST(TenxFoldersEndToEnd, RawFolderHoldsCellsAndOtherBarcodes)
{
	REQUIRE_SIM();
	sim_run::Fixture &fx = sim_run::Fixture::get();
	const sim_run::CountRun &run = fx.count("t1", 1);
	ASSERT_EQ(run.result.status, 0) << run.result.err;
	const std::string dir = run.out_dir, r = dir + "/raw_feature_bc_matrix";

	std::vector<std::string> cells = split_lines(read_file(dir + "/barcodes.tsv"));
	std::vector<std::string> raw_bc = split_lines(read_gz(r + "/barcodes.tsv.gz"));
	EXPECT_EQ(read_gz(r + "/features.tsv.gz"), read_gz(dir + "/filtered_feature_bc_matrix/features.tsv.gz"));
	Mtx mtx = parse_mtx(read_file(dir + "/matrix.mtx"));
	Mtx raw = parse_mtx(read_gz(r + "/matrix.mtx.gz"));
	ASSERT_TRUE(mtx.ok);
	ASSERT_TRUE(raw.ok);
	EXPECT_EQ(raw.rows, 150u);
	ASSERT_EQ(raw.columns, raw_bc.size());
	EXPECT_EQ(std::set<std::string>(raw_bc.begin(), raw_bc.end()).size(), raw_bc.size()) << "duplicate barcodes";

	std::map<uint32_t, std::map<uint32_t, uint32_t>> cell_cols, raw_cols;
	for (const Entry &e : mtx.data) cell_cols[e.barcode][e.gene] = e.count;
	for (const Entry &e : raw.data) raw_cols[e.barcode][e.gene] = e.count;
	// Cells with a record come first, in barcodes.tsv order, with the same counts.
	std::vector<std::string> counted_cells;
	for (uint32_t k = 1; k <= cells.size(); ++k)
		if (cell_cols.count(k)) counted_cells.push_back(cells[k - 1]);
	ASSERT_GE(raw_bc.size(), counted_cells.size());
	size_t column = 0;
	for (uint32_t k = 1; k <= cells.size(); ++k) {
		if (!cell_cols.count(k)) continue;
		++column;
		EXPECT_EQ(raw_bc[column - 1], cells[k - 1]);
		EXPECT_EQ(raw_cols[(uint32_t)column], cell_cols[k]) << "cell " << cells[k - 1];
	}
	// Then the other barcodes, none a cell, each with at least one UMI.
	std::set<std::string> cell_set(cells.begin(), cells.end());
	for (size_t k = counted_cells.size() + 1; k <= raw_bc.size(); ++k) {
		EXPECT_EQ(cell_set.count(raw_bc[k - 1]), 0u) << raw_bc[k - 1];
		EXPECT_FALSE(raw_cols[(uint32_t)k].empty()) << "column " << k;
	}
	// The simulation's empty droplets carry exonic molecules too: the raw matrix has far
	// more columns than cells, and every true cell is among its barcodes.
	EXPECT_GT(raw_bc.size(), cells.size() + 100);
	std::set<std::string> raw_set(raw_bc.begin(), raw_bc.end());
	for (const std::string &b : split_lines(read_file(fx.sim("truth/barcodes.tsv")))) EXPECT_EQ(raw_set.count(b), 1u) << b;
}

}  // namespace
