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
	report("--chemistry\t: Kit instead of -l: 10xv2, 10xv3, 10xv4, 10x5v2, 10x5v3, multiome-gex, or auto\n");
	report("--barcode-geometry\t: Other kits: CB:<first>-<last>,UMI:<first>-<last> in read 1 (1-based), with --strand sense|antisense\n");
	report("--whitelist\t: File of the kit's valid barcodes (plain or gzip): barcodes are corrected against it\n");
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

// "<first>-<last>" (1-based, inclusive) into a 0-based start and a length; false when malformed.
static bool parse_range(const char *text, const char *end, int16_t *start, int16_t *length)
{
	long first = 0, last = 0;
	const char *p = text;
	while (p < end && *p >= '0' && *p <= '9' && first < 1000) first = first * 10 + (*p++ - '0');
	if (p == text || p >= end || *p++ != '-') return false;
	const char *q = p;
	while (p < end && *p >= '0' && *p <= '9' && last < 1000) last = last * 10 + (*p++ - '0');
	if (p == q || p != end || first < 1 || last < first || last >= 1000) return false;
	*start = (int16_t)(first - 1);
	*length = (int16_t)(last - first + 1);
	return true;
}

// --barcode-geometry "CB:1-16,UMI:17-28" (either order) into the layout's barcode and UMI.
static void parse_geometry(const char *text, LibraryType *layout)
{
	bool cb = false, umi = false;
	for (const char *p = text; *p;) {
		const char *end = strchr(p, ',');
		if (!end) end = p + strlen(p);
		bool ok = false;
		if (strncmp(p, "CB:", 3) == 0 && !cb)
			ok = cb = parse_range(p + 3, end, &layout->barcode_start, &layout->barcode_len);
		else if (strncmp(p, "UMI:", 4) == 0 && !umi)
			ok = umi = parse_range(p + 4, end, &layout->umi_start, &layout->umi_len);
		if (!ok) option_error("ERROR PARSING OPTIONS: Invalid data for option --barcode-geometry: %s\n", text);
		p = *end ? end + 1 : end;
	}
	if (!cb || !umi)
		option_error("ERROR PARSING OPTIONS: --barcode-geometry needs CB and UMI ranges: %s\n", text);
	const int b0 = layout->barcode_start, b1 = b0 + layout->barcode_len;
	const int u0 = layout->umi_start, u1 = u0 + layout->umi_len;
	if (b0 < u1 && u0 < b1) option_error("ERROR PARSING OPTIONS: Barcode and UMI overlap in --barcode-geometry: %s\n", text);
	if (layout->barcode_len > MAX_BARCODE_BASES || layout->umi_len > MAX_UMI_BASES) {
		report_console("ERROR PARSING OPTIONS: --barcode-geometry %s: at most %d barcode and %d UMI bases\n", text,
		               MAX_BARCODE_BASES, MAX_UMI_BASES);
		exit(1);
	}
}

static const Chemistry *find_chemistry(const char *name)
{
	for (const Chemistry &c : CHEMISTRIES)
		if (strcmp(c.name, name) == 0) return &c;
	return nullptr;
}

CountOptions parse_count_options(int count, char **args)
{
	if (count <= 0) {
		print_count_usage();
		exit(1);
	}
	CountOptions opt{};
	opt.n_threads = 1;
	opt.out_dir = ".";
	opt.prefix = "VoraT";
	opt.temp_dir = ".";
	opt.log_path = "vorat.log";
	opt.lib_type = LIBRARY_TYPES[0];
	int library_type = -1;
	const char *chemistry = nullptr, *geometry = nullptr, *strand = nullptr;
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
			library_type = type;
		} else if (strcmp(a, "--chemistry") == 0) chemistry = option_value(count, args, &i);
		else if (strcmp(a, "--barcode-geometry") == 0) geometry = option_value(count, args, &i);
		else if (strcmp(a, "--strand") == 0) strand = option_value(count, args, &i);
		else if (strcmp(a, "--whitelist") == 0) opt.whitelist = option_value(count, args, &i);
		else if (strcmp(a, "--log") == 0) opt.log_path = option_value(count, args, &i);
		else if (strcmp(a, "--dump-align") == 0) opt.dump_align = 1;
		else if (strcmp(a, "--count-intron") == 0) opt.count_intron = 1;
		else if (strcmp(a, "--trim-adapters") == 0) opt.trim_adapters = 1;
		else option_error("ERROR PARSING OPTIONS: Invalid option %s\n", a);
	}
	if (chemistry && geometry) option_error("ERROR PARSING OPTIONS: --chemistry and --barcode-geometry exclude each other\n");
	if (strand && !geometry) option_error("ERROR PARSING OPTIONS: --strand goes with --barcode-geometry\n");
	if (chemistry && strcmp(chemistry, "auto") == 0) {
		if (library_type >= 0) option_error("ERROR PARSING OPTIONS: -l and --chemistry auto exclude each other\n");
		opt.chemistry = "auto";  // decided from the reads once the index is loaded
	} else if (chemistry) {
		const Chemistry *c = find_chemistry(chemistry);
		if (!c) option_error("ERROR PARSING OPTIONS: Invalid chemistry %s\n", chemistry);
		if (library_type >= 0 && library_type != c->library_type) {
			report_console("ERROR PARSING OPTIONS: -l %d and --chemistry %s disagree\n", library_type, chemistry);
			exit(1);
		}
		opt.lib_type = c->layout;
		opt.chemistry = c->name;
	} else if (geometry) {
		if (library_type >= 0) option_error("ERROR PARSING OPTIONS: -l and --barcode-geometry exclude each other\n");
		parse_geometry(geometry, &opt.lib_type);
		if (strand && strcmp(strand, "sense") != 0 && strcmp(strand, "antisense") != 0)
			option_error("ERROR PARSING OPTIONS: Invalid data for option --strand: %s\n", strand);
		opt.lib_type.antisense = strand && strcmp(strand, "antisense") == 0;
		opt.chemistry = "custom";
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
