// Checked file I/O, allocation and paths.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include "base/base.h"

FILE *open_or_die(const char *path, const char *mode)
{
	FILE *fp = fopen(path, mode);
	if (fp) return fp;
	if (strcmp(mode, "r") == 0 || strcmp(mode, "rb") == 0)
		fatal("[ERROR] Unable to open file [%s] to read\n", path);
	if (strcmp(mode, "w") == 0 || strcmp(mode, "wb") == 0)
		fatal("[ERROR] Unable to open file [%s] to write\n", path);
	fatal("[ERROR] Unable to open file [%s]with unknown mode [%s]\n", path, mode);
}

void read_or_die(void *dst, size_t size, size_t count, FILE *fp)
{
	if (count == 0 || size == 0) return;
	if (fread(dst, size, count, fp) != count) fatal(MSG_READ_ERROR);
}

void write_or_die(const void *src, size_t size, size_t count, FILE *fp)
{
	if (count == 0 || size == 0) return;
	if (fwrite(src, size, count, fp) != count) fatal(MSG_WRITE_ERROR);
}

void build_path(char *out, const char *a, const char *b, const char *c)
{
	int n = snprintf(out, PATH_BUFFER_SIZE, "%s%s%s", a, b, c);
	if (n < 0 || n >= PATH_BUFFER_SIZE)
		fatal("[ERROR] Path is too long (over %d bytes): %s%s%s\n", PATH_BUFFER_SIZE - 1, a, b, c);
}

void *realloc_or_die(void *ptr, size_t bytes)
{
	void *p = realloc(ptr, bytes ? bytes : 1);
	if (!p) fatal(MSG_NO_MEMORY);
	return p;
}

void *malloc_or_die(size_t count, size_t size, bool zero)
{
	const size_t n = count ? count : 1;
	if (size != 0 && n > (size_t)-1 / size) fatal(MSG_NO_MEMORY);
	void *p = zero ? calloc(n, size ? size : 1) : malloc(n * (size ? size : 1));
	if (!p) fatal(MSG_NO_MEMORY);
	return p;
}

void *malloc_table_or_die(size_t count, size_t size)
{
	const size_t huge = (size_t)2 << 20;
	const size_t n = count ? count : 1;
	if (size != 0 && n > (size_t)-1 / size) fatal(MSG_NO_MEMORY);
	const size_t bytes = n * (size ? size : 1);
	if (bytes < huge) return malloc_or_die(n, size);
	void *p = nullptr;
	if (posix_memalign(&p, huge, bytes) != 0) fatal(MSG_NO_MEMORY);
#ifdef MADV_HUGEPAGE
	madvise(p, bytes & ~(huge - 1), MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
	return p;
}

void close_written_file(FilePtr *file)
{
	FILE *fp = file->release();
	bool failed = fflush(fp) != 0;
	failed |= ferror(fp) != 0;
	failed |= fclose(fp) != 0;
	if (failed) fatal(MSG_WRITE_ERROR);
}
