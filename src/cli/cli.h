// The command line of vora-T: the commands, their options and usage texts.
#ifndef VORAT_CLI_H
#define VORAT_CLI_H

#include <cstdint>
#include "base/base.h"

// Read-1 layout (lengths and 0-based starts in bases) and the strand of read 2.
struct LibraryType {
	int16_t barcode_len;
	int16_t umi_len;
	int16_t barcode_start = 0;
	int16_t umi_start = -1;    // -1: right after the barcode
	int16_t antisense = 0;     // 1: read 2 is antisense to the mRNA (5' kits): its reverse complement is mapped
};

// Where the UMI of a read 1 starts, and the bases a read 1 must hold at least.
inline int umi_offset(const LibraryType &t)
{
	return t.umi_start >= 0 ? t.umi_start : t.barcode_start + t.barcode_len;
}
inline int read1_needed(const LibraryType &t)
{
	const int b = t.barcode_start + t.barcode_len, u = umi_offset(t) + t.umi_len;
	return b > u ? b : u;
}

// Indexed by the number given to -l: 0 = 10X-Chromium 3' v2, 1 = v3.
constexpr LibraryType LIBRARY_TYPES[2] = {
	{16, 10},  // 10X-Chromium 3' (v2)
	{16, 12},  // 10X-Chromium 3' (v3)
};

// Longest barcode and UMI of a layout (bases): the barcode's neighbours are enumerated, the
// UMI's code shares a 64-bit key with the gene.
#define MAX_BARCODE_BASES 24
#define MAX_UMI_BASES 18

// The kits that --chemistry names: barcode, UMI and strand of each.
struct Chemistry {
	const char *name;
	LibraryType layout;
	int16_t library_type;  // the -l number of the same layout, or -1
};
constexpr Chemistry CHEMISTRIES[] = {
	{"10xv2", {16, 10}, 0},                    // 3' v2
	{"10xv3", {16, 12}, 1},                    // 3' v3
	{"10xv4", {16, 12}, -1},                   // 3' GEM-X
	{"10x5v2", {16, 10, 0, -1, 1}, -1},        // 5' v2: read 1 = barcode, UMI, TSO; read 2 antisense
	{"10x5v3", {16, 12, 0, -1, 1}, -1},        // 5' GEM-X
	{"multiome-gex", {16, 12}, -1},            // multiome gene expression, sense
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
	const char *chemistry;    // --chemistry name, "custom" for --barcode-geometry, or null (-l alone)
	const char *whitelist;    // --whitelist file of the valid barcodes, or null
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
