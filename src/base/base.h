// The base of vora-T, which every layer may include: console and log output, fatal errors,
// checked allocation, file ownership, checked reads and writes, and paths.
//
// Every message meant for the user goes to standard error (flushed) and, once a
// log is open, to the log file. Standard output is never written. A fatal error
// prints its message and ends the process with status 1 at once.
#ifndef VORAT_BASE_H
#define VORAT_BASE_H

#include <zlib.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>

#define VORAT_VERSION_MAJOR 0
#define VORAT_VERSION_MINOR 2
#define VORAT_VERSION_PATCH 3
#define VORAT_STRINGIFY_(x) #x
#define VORAT_STRINGIFY(x) VORAT_STRINGIFY_(x)
// "0.2.3"
#define VORAT_VERSION_TEXT                                                                      \
	VORAT_STRINGIFY(VORAT_VERSION_MAJOR) "." VORAT_STRINGIFY(VORAT_VERSION_MINOR) "." VORAT_STRINGIFY(VORAT_VERSION_PATCH)

// Size of the buffers in which file paths are assembled (bytes, terminator included).
#define PATH_BUFFER_SIZE 1024

// ---- console and log (report.cpp) ----

// Append a printf-formatted message to the log (if open) and flush it.
void log_print(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Open the process-wide log for appending and report the outcome; a failure is a warning.
void log_open(const char *path);

// The usual reporting: the same text to stderr (flushed) and the log, in one write each.
void report(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Print `console_text` to stderr (flushed) and `log_text` to the log; for the messages whose
// log copy drops the "[INFO] " tag of the console copy. Both are plain texts, not formats.
void report_split(const char *console_text, const char *log_text);

// Message to standard error only (option errors, anything before the log is open).
void report_console(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Report a message (stderr + log) and end the process with status 1 at once (_exit: no exit
// handlers, no stdio teardown); other threads write nothing after the message.
[[noreturn]] void fatal(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Called by fatal() just before the process ends (for example to remove partial outputs).
// One hook per process; nullptr clears it. The hook must not call fatal().
void set_fatal_hook(void (*hook)());

// Shared messages of the index and matrix files.
#define MSG_READ_ERROR "[ERROR] fread, wrong file or file is corrupted\n"
#define MSG_WRITE_ERROR "[ERROR] fwrite, could not write data to file\n"
#define MSG_NO_MEMORY "[ERROR] Cannot allocate more memory!\n\n"

// ---- files and memory (files.cpp) ----

// The one way to own an open file: closed when the owner goes out of scope, on every path.
// Files that were written are closed with close_written_file() instead, which checks.
struct FileCloser {
	void operator()(FILE *fp) const { fclose(fp); }
};
typedef std::unique_ptr<FILE, FileCloser> FilePtr;
struct GzCloser {
	void operator()(gzFile_s *fp) const { gzclose(fp); }
};
typedef std::unique_ptr<gzFile_s, GzCloser> GzFilePtr;

// Flush and close a written file; a failure of either is a short write (MSG_WRITE_ERROR).
void close_written_file(FilePtr *file);

// fopen or end the run with "[ERROR] Unable to open file [path] to read" (or the write/unknown-mode message).
FILE *open_or_die(const char *path, const char *mode);

// realloc (malloc when ptr is null) of `bytes` bytes, at least 1, or fatal() with
// "[ERROR] Cannot allocate more memory!".
void *realloc_or_die(void *ptr, size_t bytes);
// Its twin for new arrays: `count` items of `size` bytes (at least one item), zero-filled
// when `zero` is set, with the same message on failure or on a size that overflows.
void *malloc_or_die(size_t count, size_t size, bool zero = false);
// Capacity of a growing scratch array that must hold `need` items: `cap` (or `first` while
// still 0) doubled until it does. Callers reallocate when it exceeds their current one.
static inline int64_t grown_capacity(int64_t cap, int64_t need, int64_t first)
{
	int64_t c = cap > 0 ? cap : first;
	while (c < need) c *= 2;
	return c;
}
// The same for the large tables read at random on every step (the BWT's occurrence words): from
// 2 MiB on, the block starts on a 2 MiB boundary and is offered to the kernel for huge pages,
// which spares most of the address-translation misses of random lookups. Freed with free().
void *malloc_table_or_die(size_t count, size_t size);

// fread/fwrite of exactly `count` items or fatal() with the messages above.
void read_or_die(void *dst, size_t size, size_t count, FILE *fp);
void write_or_die(const void *src, size_t size, size_t count, FILE *fp);

// Join a, b and c into `out` (PATH_BUFFER_SIZE bytes); a path that does not fit ends the run
// with "[ERROR] Path is too long (over 1023 bytes): ...".
void build_path(char *out, const char *a, const char *b, const char *c);

// ---- threads (parallel.cpp) ----

// Run body(begin, end, thread) over the items [0, n) in chunks of `chunk` items, handed out
// in ascending order to `n_threads` threads (the calling one among them); returns when every
// chunk is done. `thread` (0 .. n_threads - 1) names the thread, for per-thread scratch.
void parallel_chunks(int n_threads, uint64_t n, uint64_t chunk,
                     const std::function<void(uint64_t begin, uint64_t end, int thread)> &body);

#endif
