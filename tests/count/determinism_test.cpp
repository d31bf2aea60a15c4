// The count command gives byte-identical outputs, every file of the output directory, for
// 1, 2 and 8 threads on the same input and with the plain mapping paths; matrix.bin is in
// barcode then gene order.
#include <gtest/gtest.h>
#include <cstring>
#include <tuple>
#include "mapping/mapping.h"
#include "sim_run.h"

namespace {

TEST(Determinism, SameOutputFilesForOneTwoAndEightThreads)
{
	REQUIRE_SIM();
	sim_run::Fixture &f = sim_run::Fixture::get();
	const sim_run::CountRun &one = f.count("t1", 1);
	ASSERT_EQ(one.result.status, 0) << one.result.err;
	std::vector<std::string> files;
	list_files(one.out_dir, "", &files);
	std::vector<std::string> expected = {
		"barcodes.tsv", "features.tsv", "filtered_feature_bc_matrix.h5",
		"filtered_feature_bc_matrix/barcodes.tsv.gz", "filtered_feature_bc_matrix/features.tsv.gz",
		"filtered_feature_bc_matrix/matrix.mtx.gz", "matrix.bin", "matrix.h5ad", "matrix.mtx",
		"raw_feature_bc_matrix.h5", "raw_feature_bc_matrix/barcodes.tsv.gz", "raw_feature_bc_matrix/features.tsv.gz",
		"raw_feature_bc_matrix/matrix.mtx.gz", "summary.html", "summary.json",
	};
	ASSERT_EQ(files, expected);

	for (int threads : {2, 8}) {
		SCOPED_TRACE(std::to_string(threads) + " threads");
		const sim_run::CountRun &run = f.count("t" + std::to_string(threads), threads);
		ASSERT_EQ(run.result.status, 0) << run.result.err;
		std::vector<std::string> other;
		list_files(run.out_dir, "", &other);
		EXPECT_EQ(other, files);
		for (const std::string &name : files)
			EXPECT_TRUE(same_file(one.out_dir + "/" + name, run.out_dir + "/" + name));
		// Everything after the time stamp is the same too, statistics lines included.
		size_t a = one.result.err.find("Loading BWT"), b = run.result.err.find("Loading BWT");
		ASSERT_NE(a, std::string::npos);
		ASSERT_NE(b, std::string::npos);
		EXPECT_EQ(one.result.err.substr(a), run.result.err.substr(b));
	}
}

// The faster mapping paths (k-mer table of the genome, rows located together, the genome
// check's shortcut, transcript buckets, one gapped extension per context) switched off.
TEST(Determinism, PlainMappingGivesTheSameOutputFiles)
{
	REQUIRE_SIM();
	sim_run::Fixture &f = sim_run::Fixture::get();
	const sim_run::CountRun &fast = f.count("t2", 2);
	setenv(PLAIN_MAPPING_ENV, "1", 1);
	const sim_run::CountRun &plain = f.count("plain", 2);
	unsetenv(PLAIN_MAPPING_ENV);
	ASSERT_EQ(fast.result.status, 0) << fast.result.err;
	ASSERT_EQ(plain.result.status, 0) << plain.result.err;
	std::vector<std::string> files, other;
	list_files(fast.out_dir, "", &files);
	list_files(plain.out_dir, "", &other);
	ASSERT_EQ(files, other);
	for (const std::string &name : files)
		EXPECT_TRUE(same_file(fast.out_dir + "/" + name, plain.out_dir + "/" + name));
}

TEST(Determinism, MatrixBinIsInBarcodeThenGeneOrderWithEightThreads)
{
	REQUIRE_SIM();
	const sim_run::CountRun &run = sim_run::Fixture::get().count("t8", 8);
	ASSERT_EQ(run.result.status, 0) << run.result.err;
	std::string bin = read_file(run.out_dir + "/matrix.bin");
	ASSERT_GE(bin.size(), 16u);
	int32_t genes, cells;
	uint64_t e;
	memcpy(&genes, bin.data(), 4);
	memcpy(&cells, bin.data() + 4, 4);
	memcpy(&e, bin.data() + 8, 8);
	ASSERT_EQ(bin.size(), 16 + 12 * e);
	EXPECT_EQ(genes, 150);
	ASSERT_GT(cells, 30);  // enough cells for several chunks of UMI collapsing
	ASSERT_GT(e, 100u);
	uint32_t prev[3] = {0, 0, 0};
	std::vector<bool> seen((size_t)cells + 1, false);
	for (uint64_t i = 0; i < e; ++i) {
		uint32_t r[3];
		memcpy(r, bin.data() + 16 + 12 * i, 12);
		ASSERT_GE(r[0], 1u);
		ASSERT_LE(r[0], 150u);
		ASSERT_GE(r[1], 1u);
		ASSERT_LE(r[1], (uint32_t)cells);
		ASSERT_GE(r[2], 1u);
		if (i) {
			ASSERT_TRUE(std::tie(prev[1], prev[0]) < std::tie(r[1], r[0])) << "record " << i;
		}
		seen[r[1]] = true;
		memcpy(prev, r, 12);
	}
	// Nearly every cell has records: the order check covered the whole range.
	EXPECT_GT(std::count(seen.begin(), seen.end(), true), cells * 9 / 10);
}

}  // namespace
