// Command line, console and log output of vora-T.
//
// Every message meant for the user goes to standard error (flushed) and, once a
// log is open, to the log file. Standard output is never written. A fatal error
// prints its message and ends the process with status 1 at once.
#ifndef VORAT_CLI_H
#define VORAT_CLI_H

#include <zlib.h>
#include <cstdint>
#include <cstdio>
#include <memory>

#define VORAT_VERSION_MAJOR 0
#define VORAT_VERSION_MINOR 2
#define VORAT_VERSION_PATCH 3

// Size of the buffers in which file paths are assembled (bytes, terminator included).
#define PATH_BUFFER_SIZE 1024

// Read-1 layout: the cell barcode first, then the UMI (lengths in bases).
struct LibraryType {
	int16_t barcode_len;
	int16_t umi_len;
};

// Indexed by the number given to -l: 0 = 10X-Chromium 3' v2, 1 = v3.
constexpr LibraryType LIBRARY_TYPES[2] = {
	{16, 10},  // 10X-Chromium 3' (v2)
	{16, 12},  // 10X-Chromium 3' (v3)
};

// Options of `vora-T count`. Strings are borrowed from argv.
struct CountOptions {
	int32_t n_pairs;          // number of files in each of the two lists
	char **r1_files;          // read-1 files (barcode + UMI), command-line order
	char **r2_files;          // read-2 files (cDNA), paired with r1_files by position
	int32_t n_threads;        // worker threads, >= 1
	const char *index_prefix; // path of the index files without suffix
	const char *out_dir;      // output directory, "." by default
	const char *prefix;       // output file prefix, "VoraT" by default
	const char *temp_dir;     // accepted, unused
	int32_t dump_align;       // 1: write out_dir/prefix.align.tsv
	int32_t count_intron;     // 1: reads without transcript alignment are searched in the genome
	const char *log_path;     // run log, "vorat.log" by default
	LibraryType lib_type;
	int32_t trim_adapters;    // 1: trim the template-switch oligo and poly(A) from read 2 before mapping
};

// Options of `vora-T index`. Strings are borrowed from argv.
struct IndexOptions {
	const char *genome_path;
	const char *gtf_path;
	const char *prefix;
	const char *out_dir;      // "./" by default
	int32_t kmer_size;        // 29 by default
	int32_t build_bwt;        // 0 with --no-bwt
};

// ---- options (options.cpp) ----

void print_usage();
void print_index_usage();
void print_count_usage();

// Parse the arguments that follow the command word; ends the process on any error.
// Creates the output directory (one level) when it is missing.
IndexOptions parse_index_options(int count, char **args);
CountOptions parse_count_options(int count, char **args);

// ---- console and log (log.cpp) ----

// Append a printf-formatted message to the log (if open) and flush it.
void log_print(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Open the process-wide log for appending and report the outcome; a failure is a warning.
void log_open(const char *path);

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

// ---- commands ----
void run_index(int argc, char **argv);  // index/index_main.cpp
void run_count(int argc, char **argv);  // count/count_main.cpp

#endif
