// Console and log output: one process-wide log, the reporting helpers and checked file I/O.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include "cli/cli.h"

static FILE *log_file = nullptr;
static void (*fatal_hook)() = nullptr;
// Held for every message, and by fatal() until the process is gone: no thread writes after
// a fatal message. Recursive, as a fatal hook may report.
static std::recursive_mutex report_lock;

// Format into a string in one piece, so that every message reaches a stream in a
// single write and lines of different threads never interleave. Messages are not
// cut at 1023 characters: long file names reach the log whole.
static std::string vformat(const char *format, va_list ap)
{
	char small[1024];
	va_list copy;
	va_copy(copy, ap);
	int n = vsnprintf(small, sizeof small, format, copy);
	va_end(copy);
	if (n < 0) return std::string();
	if ((size_t)n < sizeof small) return std::string(small, (size_t)n);
	std::string out((size_t)n + 1, '\0');
	vsnprintf(&out[0], out.size(), format, ap);
	out.resize((size_t)n);
	return out;
}

static void write_text(FILE *fp, const std::string &text)
{
	if (!text.empty()) fwrite(text.data(), 1, text.size(), fp);
	fflush(fp);
}

void log_print(const char *format, ...)
{
	if (!log_file) return;
	va_list ap;
	va_start(ap, format);
	std::string text = vformat(format, ap);
	va_end(ap);
	std::lock_guard<std::recursive_mutex> hold(report_lock);
	write_text(log_file, text);
}

void report(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	std::string text = vformat(format, ap);
	va_end(ap);
	std::lock_guard<std::recursive_mutex> hold(report_lock);
	write_text(stderr, text);
	if (log_file) write_text(log_file, text);
}

void report_split(const char *console_text, const char *log_text)
{
	std::lock_guard<std::recursive_mutex> hold(report_lock);
	write_text(stderr, console_text);
	if (log_file) write_text(log_file, log_text);
}

void report_console(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	std::string text = vformat(format, ap);
	va_end(ap);
	std::lock_guard<std::recursive_mutex> hold(report_lock);
	write_text(stderr, text);
}

void set_fatal_hook(void (*hook)())
{
	fatal_hook = hook;
}

void fatal(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	std::string text = vformat(format, ap);
	va_end(ap);
	// Other threads may still run: the process ends under the lock, without exit handlers
	// or stdio teardown, once the message is flushed to standard error and the log.
	std::unique_lock<std::recursive_mutex> hold(report_lock);
	write_text(stderr, text);
	if (log_file) write_text(log_file, text);
	if (fatal_hook) fatal_hook();
	_exit(1);
}

void log_open(const char *path)
{
	log_file = fopen(path, "a");
	if (log_file) {
		report_console("[INFO] Log file: [%s]\n", path);
		log_print("Log file: [%s]\n", path);
	} else {
		report_console("[WARNING] Unable to open log file. No log will be written\n");
		log_print("Unable to open log file. No log will be written\n");
	}
}

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
