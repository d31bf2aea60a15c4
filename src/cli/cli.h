// The command line of vora-T: the commands, their options and usage texts.
#ifndef VORAT_CLI_H
#define VORAT_CLI_H

#include <cstdint>
#include "base/base.h"

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

// ---- commands ----
void run_index(int argc, char **argv);  // cli/index_command.cpp
void run_count(int argc, char **argv);  // count/count_main.cpp

#endif
