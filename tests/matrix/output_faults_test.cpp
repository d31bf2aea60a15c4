// Every output file of the count result and of the run summary on a full disk: the run must
// end with the write error, never exit 0 with a cut file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include "tenx_test_util.h"

namespace {

using namespace tenx_test;

// Two cells of a few UMIs on three genes, and a noise barcode.
void fill_cells(BarcodeTable *t)
{
	for (const char *umi : {"AAAAAAAAAA", "CCCCCCCCCC", "GGGGGGGGGG", "TTTTTTTTTT"}) {
		add(t, "ACGTACGTACGTACGT", umi, 0);
		add(t, "TTTTGGGGCCCCAAAA", umi, 1);
	}
	add(t, "GATTACAGATTACAGA", "ACACACACAC", 2);
}

// Files as the writers open them (a finished matrix text is written under its part name).
const char *const FULL_DISK_FILES[] = {
	"barcodes.tsv",
	"features.tsv",
	"matrix.bin",
	"matrix.mtx" PART_SUFFIX,
	FILTERED_MATRIX_DIR "/barcodes.tsv.gz",
	FILTERED_MATRIX_DIR "/features.tsv.gz",
	FILTERED_MATRIX_DIR "/matrix.mtx.gz" PART_SUFFIX,
	RAW_MATRIX_DIR "/barcodes.tsv.gz",
	RAW_MATRIX_DIR "/features.tsv.gz",
	RAW_MATRIX_DIR "/matrix.mtx.gz" PART_SUFFIX,
	"summary.json",
	"summary.html",
};

void write_all_outputs(const MatrixRun *opt, BarcodeTable *t, const AnnotationInfo *ann)
{
	write_every_output(opt, t, ann, TestReads{100, 60, 0, 30, 10, 0, 0, 0, 0, 0, 0});
}

TEST(OutputFaults, EveryOutputFileOnAFullDiskEndsTheRun)
{
	if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
	for (const char *name : FULL_DISK_FILES) {
		SCOPED_TRACE(name);
		TempDir dir;
		mkdir((dir / FILTERED_MATRIX_DIR).c_str(), 0777);
		mkdir((dir / RAW_MATRIX_DIR).c_str(), 0777);
		ASSERT_EQ(symlink("/dev/full", (dir / name).c_str()), 0);
		Table tab;
		fill_cells(tab.t);
		Genes genes = numbered_genes(3);
		MatrixRun opt = options(dir.path, 2);
		EXPECT_EXIT(write_all_outputs(&opt, tab.t, &genes.ann), testing::ExitedWithCode(1),
		            "\\[ERROR\\] fwrite, could not write data to file\n");
	}
}

// The same outputs on a disk with room: the cases above fail for the full disk alone.
TEST(OutputFaults, TheSameOutputsAreWrittenWhenTheDiskHasRoom)
{
	TempDir dir;
	Table tab;
	fill_cells(tab.t);
	Genes genes = numbered_genes(3);
	MatrixRun opt = options(dir.path, 2);
	testing::internal::CaptureStderr();
	write_all_outputs(&opt, tab.t, &genes.ann);
	testing::internal::GetCapturedStderr();
	EXPECT_EQ(split_lines(read_file(dir / "barcodes.tsv")).size(), 3u);
	for (const char *name : FULL_DISK_FILES) {
		std::string path = dir / name;
		const size_t part = path.rfind(PART_SUFFIX);
		if (part != std::string::npos && part + strlen(PART_SUFFIX) == path.size()) path.resize(part);
		EXPECT_TRUE(file_exists(path)) << path;
	}
}

}  // namespace
