// The HDF5 outputs of a count result, read back with the HDF5 library: the two 10x files
// and matrix.h5ad hold exactly the matrices of the Matrix Market folders (random tables,
// several thread counts, no cell at all), and every way their writing can fail ends the
// run without a file under the final name.
#include <gtest/gtest.h>
#include <csignal>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include "h5_test_util.h"

using namespace h5_test;

namespace {

const uint32_t G = 30;

// Gene names with an empty one (the id stands in) and a repeated one.
Genes test_genes()
{
	std::vector<std::string> ids, names;
	for (uint32_t g = 0; g < G; ++g) {
		ids.push_back("ENSMUSG" + std::to_string(100 + g));
		names.push_back(g == 4 ? "" : g == 7 ? "Dup" : g == 8 ? "Dup" : "Gene" + std::to_string(g));
	}
	return Genes(ids, names);
}

std::string random_bases(std::mt19937_64 &rng, int n)
{
	std::string s;
	for (int i = 0; i < n; ++i) s += "ACGT"[rng() % 4];
	return s;
}

// `cells` barcodes of 150 to 400 reads and `noise` barcodes of 1 to 3 reads.
void fill_random(BarcodeTable *t, uint64_t seed, int cells, int noise)
{
	std::mt19937_64 rng(seed);
	for (int b = 0; b < cells + noise; ++b) {
		std::string barcode = random_bases(rng, 16);
		int reads = b < cells ? 150 + (int)(rng() % 250) : 1 + (int)(rng() % 3);
		for (int r = 0; r < reads; ++r) add(t, barcode, random_bases(rng, 10), (uint32_t)(rng() % G));
	}
}

// Every output into `dir`, as a count run writes them.
void write_outputs(const std::string &dir, BarcodeTable *t, int threads, MatrixSummary *s)
{
	static Genes genes = test_genes();
	MatrixRun opt = options(dir, threads);
	opt.genome = "mm39";
	write_every_output(&opt, t, &genes.ann, TestReads{1000, 800, 0, 150, 50, 0, 0, 0, 0, 0, 0}, s);
}

struct Case {
	uint64_t seed;
	int cells, noise, threads;
};

TEST(H5Outputs, FilesHoldTheFolderMatrices)
{
	for (const Case &c : {Case{1, 6, 300, 1}, Case{2, 6, 300, 3}, Case{3, 0, 0, 2}}) {
		SCOPED_TRACE(c.seed);
		TempDir dir;
		Table tab;
		fill_random(tab.t, c.seed, c.cells, c.noise);
		MatrixSummary s;
		testing::internal::CaptureStderr();
		write_outputs(dir.path, tab.t, c.threads, &s);
		testing::internal::GetCapturedStderr();
		const std::string filtered = dir / FILTERED_MATRIX_DIR, raw = dir / RAW_MATRIX_DIR;
		EXPECT_EQ(tenx_h5_dump(dir / FILTERED_MATRIX_H5), folder_dump(filtered, FULL, "mm39"));
		EXPECT_EQ(tenx_h5_dump(dir / RAW_MATRIX_H5), folder_dump(raw, FULL, "mm39"));
		EXPECT_EQ(s.cell_count > 0, c.cells > 0);

		hid_t f = H5Fopen((dir / ANNDATA_FILE).c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
		ASSERT_GE(f, 0);
		EXPECT_EQ(text_attr(f, "/", "encoding-type"), "anndata");
		EXPECT_EQ(text_attr(f, "/X", "encoding-type"), "csr_matrix");
		EXPECT_EQ(text_attr(f, "/obs", "encoding-type"), "dataframe");
		std::vector<int64_t> indptr = numbers<int64_t>(f, "/X/indptr", H5T_NATIVE_INT64);
		std::vector<Entry> x = sparse_entries(indptr, numbers<int64_t>(f, "/X/indices", H5T_NATIVE_INT64),
		                                      numbers<int64_t>(f, "/X/data", H5T_NATIVE_INT64));
		std::vector<std::string> ids = strings(f, "/var/_index"), names = strings(f, "/var/gene_name"), features;
		for (size_t g = 0; g < ids.size(); ++g) features.push_back(ids[g] + "\t" + (g < names.size() ? names[g] : ""));
		std::vector<std::string> cells = strings(f, "/obs/_index");
		// X is cells x genes: its rows are the folder's columns.
		EXPECT_EQ(dump(G, cells.size(), cells, features, x), folder_dump(filtered, ID_NAME));
		EXPECT_EQ(indptr.size(), (size_t)s.cell_count + 1);

		std::vector<int64_t> totals(cells.size()), n_genes(cells.size());
		for (const Entry &e : x) totals[e.barcode - 1] += e.count, ++n_genes[e.barcode - 1];
		EXPECT_EQ(numbers<int64_t>(f, "/obs/total_counts", H5T_NATIVE_INT64), totals);
		EXPECT_EQ(numbers<int64_t>(f, "/obs/n_genes_by_counts", H5T_NATIVE_INT64), n_genes);
		EXPECT_EQ(numbers<int64_t>(f, "/uns/summary/reads/total", H5T_NATIVE_INT64), std::vector<int64_t>{1000});
		EXPECT_EQ(numbers<int64_t>(f, "/uns/summary/cells", H5T_NATIVE_INT64), std::vector<int64_t>{s.cell_count});
		H5Fclose(f);
	}
}

// Death tests: the stderr of the dying child is what they match.
void fail_run(const std::string &dir)
{
	Table tab;
	fill_random(tab.t, 5, 3, 20);
	MatrixSummary s;
	write_outputs(dir, tab.t, 2, &s);
}

// Each file in turn: its part file leads to /dev/full, or is a directory; its final name is a
// directory. The run ends with an error naming the file and leaves nothing under that name.
TEST(H5Outputs, UnwritableFilesEndTheRun)
{
	for (const char *name : {FILTERED_MATRIX_H5, RAW_MATRIX_H5, ANNDATA_FILE}) {
		SCOPED_TRACE(name);
		const std::string part = std::string(name) + ".part";
		if (access("/dev/full", W_OK) == 0) {
			TempDir dir;
			ASSERT_EQ(symlink("/dev/full", (dir / part).c_str()), 0);
			EXPECT_EXIT(fail_run(dir.path), testing::ExitedWithCode(1),
			            "\\[ERROR\\] Unable to (open file|write HDF5 file) \\[.*/" + part + "\\]");
			EXPECT_FALSE(file_exists(dir / name));
		}
		TempDir part_dir;
		ASSERT_EQ(mkdir((part_dir / part).c_str(), 0777), 0);
		EXPECT_EXIT(fail_run(part_dir.path), testing::ExitedWithCode(1),
		            "\\[ERROR\\] Unable to open file \\[.*/" + part + "\\] to write");
		EXPECT_FALSE(file_exists(part_dir / name));

		TempDir final_dir;
		ASSERT_EQ(mkdir((final_dir / name).c_str(), 0777), 0);
		EXPECT_EXIT(fail_run(final_dir.path), testing::ExitedWithCode(1),
		            "\\[ERROR\\] Unable to rename \\[.*/" + part + "\\] to \\[.*/" + name + "\\]");
	}
}

// A disk that fills up while the data are written: files may not grow past 12 KiB, which the
// text outputs of this table stay under and each HDF5 file goes over.
TEST(H5Outputs, FullDiskEndsTheRun)
{
	TempDir dir;
	auto limited_run = [&]() {
		signal(SIGXFSZ, SIG_IGN);
		struct rlimit limit = {12288, 12288};
		setrlimit(RLIMIT_FSIZE, &limit);
		fail_run(dir.path);
	};
	EXPECT_EXIT(limited_run(), testing::ExitedWithCode(1),
	            "\\[ERROR\\] Unable to write HDF5 file \\[.*/" FILTERED_MATRIX_H5 ".part\\]");
	EXPECT_FALSE(file_exists(dir / FILTERED_MATRIX_H5));
	EXPECT_TRUE(file_exists(dir / "matrix.mtx"));
}

}  // namespace
