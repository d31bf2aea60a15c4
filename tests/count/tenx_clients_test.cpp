// Real clients open the outputs of a count run unmodified: Seurat's Read10X (R) opens both
// 10x folders, scipy (Python) reads matrix.mtx and the two matrix.mtx.gz; both find the
// numbers of genes, barcodes, UMIs and entries that the files hold. Skipped when R with
// Seurat, or python3 with scipy, is not installed (scripts/install-deps.sh installs both).
#include <gtest/gtest.h>
#include "../matrix/tenx_test_util.h"
#include "sim_run.h"

using namespace tenx_test;

namespace {

// "rows columns sum entries" of a matrix file (plain or gzip).
std::string figures(const std::string &path)
{
	Mtx m = parse_mtx(read_gz(path));
	EXPECT_TRUE(m.ok) << path;
	unsigned long long sum = 0;
	for (const Entry &e : m.data) sum += e.count;
	return std::to_string(m.rows) + " " + std::to_string(m.columns) + " " + std::to_string(sum) + " " +
	       std::to_string(m.entries);
}

TEST(TenxClients, SeuratRead10xOpensBothFolders)
{
	std::string out;
	if (sim_run::shell("command -v Rscript", nullptr) != 0) GTEST_SKIP() << "no Rscript (r-base-core)";
	if (sim_run::shell("Rscript -e 'quit(status = if (requireNamespace(\"Seurat\", quietly = TRUE)) 0 else 1)'",
	                   nullptr) != 0)
		GTEST_SKIP() << "R package Seurat (r-cran-seurat) not installed";
	REQUIRE_SIM();
	const sim_run::CountRun &run = sim_run::Fixture::get().count("t1", 1);
	ASSERT_EQ(run.result.status, 0) << run.result.err;
	int rc = sim_run::shell("Rscript '" VORAT_SOURCE_DIR "/tests/clients/read10x.R' '" + run.out_dir + "'", &out);
	ASSERT_EQ(rc, 0) << out;
	const std::string f = run.out_dir + "/filtered_feature_bc_matrix", r = run.out_dir + "/raw_feature_bc_matrix";
	std::string cells = std::to_string(split_lines(read_file(run.out_dir + "/barcodes.tsv")).size());
	EXPECT_NE(out.find("filtered_feature_bc_matrix " + figures(f + "/matrix.mtx.gz") + " TRUE TRUE \n"),
	          std::string::npos)
		<< out;
	EXPECT_NE(out.find("raw_feature_bc_matrix " + figures(r + "/matrix.mtx.gz") + " TRUE TRUE \n"), std::string::npos)
		<< out;
	EXPECT_NE(out.find("seurat 150 " + cells + " \n"), std::string::npos) << out;
	// The filtered folder is the result matrix itself.
	EXPECT_EQ(figures(f + "/matrix.mtx.gz"), figures(run.out_dir + "/matrix.mtx"));
}

TEST(TenxClients, ScipyReadsEveryMatrix)
{
	std::string python = sim_run::find_python("scipy.io");
	if (python.empty()) GTEST_SKIP() << "no python3 with scipy (python3-scipy)";
	REQUIRE_SIM();
	const sim_run::CountRun &run = sim_run::Fixture::get().count("t1", 1);
	ASSERT_EQ(run.result.status, 0) << run.result.err;
	std::string out;
	int rc = sim_run::shell(python + " '" VORAT_SOURCE_DIR "/tests/clients/read_mtx.py' '" + run.out_dir + "'", &out);
	ASSERT_EQ(rc, 0) << out;
	const std::string d = run.out_dir;
	EXPECT_EQ(out, "matrix.mtx " + figures(d + "/matrix.mtx") + "\n" +
	                   "filtered_feature_bc_matrix/matrix.mtx.gz " +
	                   figures(d + "/filtered_feature_bc_matrix/matrix.mtx.gz") + "\n" +
	                   "raw_feature_bc_matrix/matrix.mtx.gz " + figures(d + "/raw_feature_bc_matrix/matrix.mtx.gz") +
	                   "\n");
}

}  // namespace
