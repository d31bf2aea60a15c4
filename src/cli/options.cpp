// Usage texts and option parsing of the two commands.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/types.h>
#include "cli/cli.h"

void print_usage()
{
	report("Usage: ./vora-T <CMD> [options] ...\n");
	report("\n");
	report("Where <CMD> can be one of:\n");
	report("    index            to build Vora-T index\n");
	report("    count            to calculate gene count matrix\n");
	report("\n");
}

void print_index_usage()
{
	report("To build Vora-T index\n");
	report("\n");
	report("Usage: ./vora-T index -g <path/to/genome_fasta> -t <path/to/gene_gtf> -p <index_prefix> -o <output_folder>\n");
	report("Example: ./vora-T index -g Homo_sapiens.GRCh37.75.dna_sm.primary_assembly.fa -t Homo_sapiens.GRCh37.75.gtf -o index -p grch37\n");
	report("\n");
}

void print_count_usage()
{
	report("To calculate gene count table\n");
	report("\n");
	report("Usage: ./vora-T count [options] -x <idx_name> -1 <R1> -2 <R2>\n");
	report("Option:\n");
	report("-t\t: Number of threads\n");
	report("-o\t: Output directory name\n");
	report("-p\t: Output file prefix\n");
	report("-l\t: Library types\n");
	report("\t\t%u: 10X-Chromium 3' (v2) protocol\n", 0u);
	report("\t\t%u: 10X-Chromium 3' (v3) protocol\n", 1u);
	report("--trim-adapters\t: Trim template-switch oligo, poly(A) and poor 3' end of R2 (for real data)\n");
	report("Example: ./vora-T count -t 32 -o ./result -x index/grch37 -l 0 -1 lane_0.read_1.fq lane_1.read_1.fq -2 lane_0.read_2.fq lane_1.read_2.fq\n");
	report("\n");
}

// Option errors go to standard error only: no log is open while options are parsed.
[[noreturn]] static void option_error(const char *format, const char *a = nullptr, const char *b = nullptr)
{
	report_console(format, a, b);
	exit(1);
}

// Value of the option at args[*i]; advances the cursor past it.
static const char *option_value(int count, char **args, int *i)
{
	const char *option = args[*i];
	if (*i + 1 >= count || args[*i + 1][0] == '-')
		option_error("ERROR PARSING OPTIONS: Missing data for option %s\n", option);
	++*i;
	return args[*i];
}

// Decimal digits only (an empty value passes and converts to 0). Values beyond the
// 32-bit range are refused like any other invalid number instead of wrapping.
static int32_t numeric_value(int count, char **args, int *i)
{
	const char *option = args[*i];
	const char *value = option_value(count, args, i);
	long long v = 0;
	for (const char *p = value; *p; ++p) {
		if (*p < '0' || *p > '9' || (v = v * 10 + (*p - '0')) > INT_MAX)
			option_error("ERROR PARSING OPTIONS: Invalid data for option %s: %s\n", option, value);
	}
	return (int32_t)v;
}

static void check_prefix(const char *prefix)
{
	for (const char *p = prefix; *p; ++p) {
		unsigned char c = (unsigned char)*p;
		bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
		          c == '_' || c == '-' || c == '.';
		if (!ok) {
			report_console("ERROR PARSING OPTIONS: Invalid prefix string %s (included character '%c')\n", prefix, c);
			exit(1);
		}
	}
}

static void make_output_dir(const char *dir)
{
	struct stat st;
	if (stat(dir, &st) == 0) return;
	if (mkdir(dir, 0777) != 0) {
		perror("Could not make output directory");
		exit(1);
	}
}

IndexOptions parse_index_options(int count, char **args)
{
	if (count <= 0) {
		print_index_usage();
		exit(1);
	}
	IndexOptions opt;
	memset(&opt, 0, sizeof opt);
	opt.out_dir = "./";
	opt.kmer_size = 29;
	opt.build_bwt = 1;
	for (int i = 0; i < count; ++i) {
		const char *a = args[i];
		if (strcmp(a, "-t") == 0) opt.gtf_path = option_value(count, args, &i);
		else if (strcmp(a, "-p") == 0) opt.prefix = option_value(count, args, &i);
		else if (strcmp(a, "-g") == 0) opt.genome_path = option_value(count, args, &i);
		else if (strcmp(a, "-o") == 0) opt.out_dir = option_value(count, args, &i);
		else if (strcmp(a, "-k") == 0) opt.kmer_size = numeric_value(count, args, &i);
		else if (strcmp(a, "--no-bwt") == 0) opt.build_bwt = 0;
		else if (strcmp(a, "-h") == 0) {
			// Help was asked for: show it and stop successfully.
			print_index_usage();
			exit(0);
		} else option_error("ERROR PARSING OPTIONS: Invalid option %s\n", a);
	}
	if (!opt.genome_path) option_error("ERROR PARSING OPTIONS: Missing -g argument\n");
	if (!opt.gtf_path) option_error("ERROR PARSING OPTIONS: Missing -t argument\n");
	if (!opt.prefix) option_error("ERROR PARSING OPTIONS: Missing -p argument\n");
	check_prefix(opt.prefix);
	make_output_dir(opt.out_dir);
	return opt;
}

// A file list takes every following argument up to the next one that begins with "-".
static void file_list(int count, char **args, int *i, CountOptions *opt, char ***list)
{
	const char *option = args[*i];
	int first = *i + 1, n = 0;
	while (first + n < count && args[first + n][0] != '-') ++n;
	if (n == 0) option_error("ERROR PARSING OPTIONS: Missing data for option %s\n", option);
	if (opt->n_pairs > 0 && opt->n_pairs != n)
		option_error("ERROR PARSING OPTIONS: Number of files in pair are not equal\n");
	opt->n_pairs = n;
	*list = &args[first];
	*i = first + n - 1;
}

CountOptions parse_count_options(int count, char **args)
{
	if (count <= 0) {
		print_count_usage();
		exit(1);
	}
	CountOptions opt;
	memset(&opt, 0, sizeof opt);
	opt.n_threads = 1;
	opt.out_dir = ".";
	opt.prefix = "VoraT";
	opt.temp_dir = ".";
	opt.log_path = "vorat.log";
	opt.lib_type = LIBRARY_TYPES[0];
	for (int i = 0; i < count; ++i) {
		const char *a = args[i];
		if (strcmp(a, "-x") == 0) opt.index_prefix = option_value(count, args, &i);
		else if (strcmp(a, "-o") == 0) opt.out_dir = option_value(count, args, &i);
		else if (strcmp(a, "--temp-dir") == 0) opt.temp_dir = option_value(count, args, &i);
		else if (strcmp(a, "-t") == 0) opt.n_threads = numeric_value(count, args, &i);
		else if (strcmp(a, "-p") == 0) opt.prefix = option_value(count, args, &i);
		else if (strcmp(a, "-1") == 0) file_list(count, args, &i, &opt, &opt.r1_files);
		else if (strcmp(a, "-2") == 0) file_list(count, args, &i, &opt, &opt.r2_files);
		else if (strcmp(a, "-l") == 0) {
			uint16_t type = (uint16_t)numeric_value(count, args, &i);
			if (type > 1) option_error("ERROR PARSING OPTIONS: Invalid library type\n");
			opt.lib_type = LIBRARY_TYPES[type];
		} else if (strcmp(a, "--log") == 0) opt.log_path = option_value(count, args, &i);
		else if (strcmp(a, "--dump-align") == 0) opt.dump_align = 1;
		else if (strcmp(a, "--count-intron") == 0) opt.count_intron = 1;
		else if (strcmp(a, "--trim-adapters") == 0) opt.trim_adapters = 1;
		else option_error("ERROR PARSING OPTIONS: Invalid option %s\n", a);
	}
	if (opt.n_threads < 1) {
		report_console("ERROR PARSING OPTIONS: Invalid  number of threads: %d\n", opt.n_threads);
		exit(1);
	}
	if (!opt.index_prefix) option_error("ERROR PARSING OPTIONS: Missing index\n");
	if (opt.n_pairs == 0) option_error("ERROR PARSING OPTIONS: Missing input files\n");
	if (!opt.r1_files) option_error("ERROR PARSING OPTIONS: Missing first segment of read files\n");
	if (!opt.r2_files) option_error("ERROR PARSING OPTIONS: Missing second segment of read files\n");
	check_prefix(opt.prefix);
	make_output_dir(opt.out_dir);
	return opt;
}
