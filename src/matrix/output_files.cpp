// The output files of a count run as a whole: published under their final names only when
// complete, and removed at the start of a run so that nothing of an earlier run remains.
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include "matrix/matrix.h"

void publish_output(const char *part_path, const char *path)
{
	if (rename(part_path, path) != 0) fatal("[ERROR] Unable to rename [%s] to [%s]\n", part_path, path);
}

void remove_stale_outputs(const char *out_dir)
{
	static const char *const NAMES[] = {
	    "matrix.mtx", FILTERED_MATRIX_DIR "/matrix.mtx.gz", RAW_MATRIX_DIR "/matrix.mtx.gz",
	    "summary.json", "summary.html", FILTERED_MATRIX_H5, RAW_MATRIX_H5, ANNDATA_FILE};
	char path[PATH_BUFFER_SIZE];
	for (const char *name : NAMES) {
		build_path(path, out_dir, "/", name);
		if (unlink(path) != 0 && errno != ENOENT) fatal("[ERROR] Unable to remove file [%s]\n", path);
	}
}
