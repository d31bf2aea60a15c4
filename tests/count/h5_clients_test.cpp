// Real clients open the HDF5 outputs of count runs unmodified and find in them, entry by
// entry, the matrices of the Matrix Market folders: Python (h5py for the two 10x files,
// anndata.read_h5ad for matrix.h5ad) and R (Seurat's Read10X_h5), for the shared simulated
// run and for a run with no cell at all. Skipped when a client is not installed
// (scripts/install-deps.sh installs them all).
#include <gtest/gtest.h>
#include "../matrix/h5_test_util.h"
#include "count_cmd_util.h"

using namespace h5_test;

namespace {

// The output directories of the shared run and of a run on its first 300 read pairs with
// every cDNA base turned into N: no read maps, no barcode is recorded, no cell is called
// (with trimming on, so that the summary holds its trimming counts too).
const std::vector<std::string> &run_dirs()
{
	static std::vector<std::string> dirs;
	if (!dirs.empty()) return dirs;
	sim_run::Fixture &fx = sim_run::Fixture::get();
	const sim_run::CountRun &run = fx.count("t1", 1);
	EXPECT_EQ(run.result.status, 0) << run.result.err;
	std::vector<std::string> r2 = split_lines(count_cmd::fastq_head(read_file(fx.sim("R2.fastq")), 300));
	std::string no_cdna;
	for (size_t i = 0; i < r2.size(); ++i) no_cdna += (i % 4 == 1 ? std::string(r2[i].size(), 'N') : r2[i]) + "\n";
	write_file(fx.dir() + "/nocell_R1.fq", count_cmd::fastq_head(read_file(fx.sim("R1.fastq")), 300));
	write_file(fx.dir() + "/nocell_R2.fq", no_cdna);
	RunResult r = run_vorat(fx.dir(), "count -x idx/sim -l 0 -t 2 -o out-nocell -1 nocell_R1.fq -2 nocell_R2.fq "
	                                  "--log nocell.log --trim-adapters");
	EXPECT_EQ(r.status, 0) << r.err;
	dirs = {run.out_dir, fx.dir() + "/out-nocell"};
	return dirs;
}

// A client's output cut at its "== PATH" lines: PATH -> the lines that follow.
std::map<std::string, std::string> sections(const std::string &text)
{
	std::map<std::string, std::string> out;
	std::string *current = nullptr;
	for (const std::string &line : split_lines(text)) {
		if (line.compare(0, 3, "== ") == 0) current = &out[line.substr(3)];
		else if (current) *current += line + "\n";
	}
	return out;
}

// Removes and returns the line starting with `tag` from `text`.
std::string take_line(std::string *text, const std::string &tag)
{
	size_t p = text->compare(0, tag.size(), tag) == 0 ? 0 : text->find("\n" + tag);
	if (p == std::string::npos) return "<no " + tag + "line>";
	if (p > 0) ++p;
	size_t end = text->find('\n', p);
	std::string line = text->substr(p + tag.size(), end - p - tag.size());
	text->erase(p, end + 1 - p);
	return line;
}

TEST(H5Clients, PythonReadsEveryFileAsTheFolders)
{
	std::string python = sim_run::find_python("anndata, h5py");
	if (python.empty()) GTEST_SKIP() << "no python3 with anndata and h5py (python3-anndata, python3-h5py)";
	REQUIRE_SIM();
	std::string out, args;
	for (const std::string &d : run_dirs()) args += " '" + d + "'";
	ASSERT_EQ(sim_run::shell(python + " '" VORAT_SOURCE_DIR "/tests/clients/read_h5.py'" + args, &out), 0) << out;
	std::map<std::string, std::string> got = sections(out);
	for (const std::string &d : run_dirs()) {
		SCOPED_TRACE(d);
		for (const char *name : {"filtered_feature_bc_matrix", "raw_feature_bc_matrix"}) {
			Mtx m = parse_mtx(read_gz(d + "/" + name + "/matrix.mtx.gz"));
			std::string types = std::string("types int32 int64 int64 int32 ") + (m.entries ? "gzip" : "None") +
			                    " ['genome'] ['matrix']\n";
			EXPECT_EQ(got[d + "/" + name + ".h5"], folder_dump(d + "/" + name, FULL, "sim") + types);
		}
		std::string h5ad = got[d + "/matrix.h5ad"];
		const std::string u = take_line(&h5ad, "u "), j = take_line(&h5ad, "j ");
		EXPECT_EQ(u, j) << "uns[\"summary\"] and summary.json";
		const std::string filtered = d + "/filtered_feature_bc_matrix";
		Mtx m = parse_mtx(read_gz(filtered + "/matrix.mtx.gz"));
		std::vector<std::string> barcodes = split_lines(read_gz(filtered + "/barcodes.tsv.gz"));
		std::vector<uint64_t> totals(barcodes.size()), genes(barcodes.size());
		for (const Entry &e : m.data) totals[e.barcode - 1] += e.count, ++genes[e.barcode - 1];
		std::string obs;
		for (size_t k = 0; k < barcodes.size(); ++k)
			obs += "o " + barcodes[k] + " " + std::to_string(totals[k]) + " " + std::to_string(genes[k]) + "\n";
		EXPECT_EQ(h5ad, folder_dump(filtered, ID_NAME) + obs + "types csr_matrix int32 int32 int32 None None\n");
	}
	EXPECT_NE(got[run_dirs()[0] + "/matrix.h5ad"].find("\ne "), std::string::npos) << "the run with cells has entries";
}

TEST(H5Clients, SeuratRead10xH5ReadsBothMatrices)
{
	if (sim_run::shell("command -v Rscript", nullptr) != 0) GTEST_SKIP() << "no Rscript (r-base-core)";
	if (sim_run::shell("Rscript -e 'quit(status = if (requireNamespace(\"Seurat\", quietly = TRUE) && "
	                   "requireNamespace(\"hdf5r\", quietly = TRUE)) 0 else 1)'",
	                   nullptr) != 0)
		GTEST_SKIP() << "R packages Seurat and hdf5r (r-cran-seurat, r-cran-hdf5r) not installed";
	REQUIRE_SIM();
	std::string out, args;
	for (const std::string &d : run_dirs()) args += " '" + d + "'";
	ASSERT_EQ(sim_run::shell("Rscript '" VORAT_SOURCE_DIR "/tests/clients/read10x_h5.R'" + args, &out), 0) << out;
	std::map<std::string, std::string> got = sections(out);
	for (const std::string &d : run_dirs())
		for (const char *name : {"filtered_feature_bc_matrix", "raw_feature_bc_matrix"})
			EXPECT_EQ(got[d + "/" + name + ".h5"], folder_dump(d + "/" + name, UNIQUE_NAME)) << d << " " << name;
}

// A directory where a file of the run goes ends the run at its start, before any work.
TEST(H5Clients, DirectoryInThePlaceOfAFileEndsTheRun)
{
	REQUIRE_SIM();
	sim_run::Fixture &fx = sim_run::Fixture::get();
	for (const char *name : {FILTERED_MATRIX_H5, RAW_MATRIX_H5, ANNDATA_FILE}) {
		std::string dir = fx.dir() + "/out-in-the-way";
		ASSERT_EQ(sim_run::shell("rm -rf '" + dir + "' && mkdir -p '" + dir + "/" + name + "'", nullptr), 0);
		RunResult r = run_vorat(fx.dir(), "count -x idx/sim -l 0 -t 1 -o out-in-the-way -1 sim/R1.fastq "
		                                  "-2 sim/R2.fastq --log in-the-way.log");
		EXPECT_EQ(r.status, 1) << name;
		EXPECT_NE(r.err.find(std::string("[ERROR] Unable to remove file [out-in-the-way/") + name + "]\n"),
		          std::string::npos)
			<< r.err;
		EXPECT_EQ(r.err.find("Loading BWT"), std::string::npos) << "the run ends before any work";
	}
}

}  // namespace
