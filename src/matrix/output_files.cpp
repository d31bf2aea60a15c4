// The output files of a count run as a whole: published under their final names only when
// complete, and removed at the start of a run so that nothing of an earlier run remains.
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include "matrix/writers.h"

// Every file that a count run writes into its directory, as a path below it. A writer of a new
// output adds its name here: the start of a run removes each of them (and its part file),
// so that a run that fails part-way leaves no file of an earlier run beside its own.
static const char *const COUNT_OUTPUT_FILES[] = {
	"barcodes.tsv",
	"features.tsv",
	"matrix.bin",
	"matrix.mtx",
	FILTERED_MATRIX_DIR "/barcodes.tsv.gz",
	FILTERED_MATRIX_DIR "/features.tsv.gz",
	FILTERED_MATRIX_DIR "/matrix.mtx.gz",
	RAW_MATRIX_DIR "/barcodes.tsv.gz",
	RAW_MATRIX_DIR "/features.tsv.gz",
	RAW_MATRIX_DIR "/matrix.mtx.gz",
	"summary.json",
	"summary.html",
	FILTERED_MATRIX_H5,
	RAW_MATRIX_H5,
	ANNDATA_FILE,
};

void publish_output(const char *part_path, const char *path)
{
	if (rename(part_path, path) != 0) fatal("[ERROR] Unable to rename [%s] to [%s]\n", part_path, path);
}

static void remove_if_present(const char *path)
{
	if (unlink(path) != 0 && errno != ENOENT) fatal("[ERROR] Unable to remove file [%s]\n", path);
}

void remove_stale_outputs(const OutputPlace *place, bool align_dump)
{
	char path[PATH_BUFFER_SIZE], part[PATH_BUFFER_SIZE];
	for (const char *name : COUNT_OUTPUT_FILES) {
		build_path(path, place->dir, "/", name);
		build_path(part, path, PART_SUFFIX, "");
		remove_if_present(path);
		remove_if_present(part);
	}
	if (align_dump) {
		build_path(part, place->dir, "/", place->prefix);
		build_path(path, part, ".align.tsv", "");
		remove_if_present(path);
	}
}
