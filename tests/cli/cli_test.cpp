// The command-line front end through the real binary: messages, exit status, empty stdout.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include "common/run_binary.h"

static const std::string BANNER =
	"Vora-T is a program developed by Vellumark for ScRNA-Seq analysis\nVersion: 0.2.3\n\n";
static const std::string GENERAL_USAGE =
	"Usage: ./vora-T <CMD> [options] ...\n\nWhere <CMD> can be one of:\n"
	"    index            to build Vora-T index\n"
	"    count            to calculate gene count matrix\n\n";
static const std::string INDEX_USAGE =
	"To build Vora-T index\n\n"
	"Usage: ./vora-T index -g <path/to/genome_fasta> -t <path/to/gene_gtf> -p <index_prefix> -o <output_folder>\n"
	"Example: ./vora-T index -g Homo_sapiens.GRCh37.75.dna_sm.primary_assembly.fa -t Homo_sapiens.GRCh37.75.gtf -o index -p grch37\n\n";
static const std::string COUNT_USAGE =
	"To calculate gene count table\n\n"
	"Usage: ./vora-T count [options] -x <idx_name> -1 <R1> -2 <R2>\n"
	"Option:\n-t\t: Number of threads\n-o\t: Output directory name\n-p\t: Output file prefix\n"
	"-l\t: Library types\n\t\t0: 10X-Chromium 3' (v2) protocol\n\t\t1: 10X-Chromium 3' (v3) protocol\n"
	"--trim-adapters\t: Trim template-switch oligo, poly(A) and poor 3' end of R2 (for real data)\n"
	"--chemistry\t: Kit instead of -l: 10xv2, 10xv3, 10xv4, 10x5v2, 10x5v3, multiome-gex, or auto\n"
	"--barcode-geometry\t: Other kits: CB:<first>-<last>,UMI:<first>-<last> in read 1 (1-based), with --strand "
	"sense|antisense\n"
	"--whitelist\t: File of the kit's valid barcodes (plain or gzip): barcodes are corrected against it\n"
	"Example: ./vora-T count -t 32 -o ./result -x index/grch37 -l 0 -1 lane_0.read_1.fq lane_1.read_1.fq -2 lane_0.read_2.fq lane_1.read_2.fq\n\n";

struct CommandCase {
	const char *args;
	int status;
	std::string err;  // the whole of standard error after the banner
};

static const std::string OPT = "ERROR PARSING OPTIONS: ";

TEST(CommandLine, MessagesAndStatus)
{
	const CommandCase cases[] = {
		{"", 0, GENERAL_USAGE},
		{"Count", 1, "Invalid command!\n" + GENERAL_USAGE},
		{"indexx", 1, "Invalid command!\n" + GENERAL_USAGE},
		{"index", 1, INDEX_USAGE},
		{"count", 1, COUNT_USAGE},
		{"index -h", 0, INDEX_USAGE},
		// index options
		{"index -t a.gtf -p idx", 1, OPT + "Missing -g argument\n"},
		{"index -g g.fa -p idx", 1, OPT + "Missing -t argument\n"},
		{"index -g g.fa -t a.gtf", 1, OPT + "Missing -p argument\n"},
		{"index -g g.fa -t a.gtf -p", 1, OPT + "Missing data for option -p\n"},
		{"index -g -x.fa -t a.gtf -p idx", 1, OPT + "Missing data for option -g\n"},
		{"index -g g.fa -t a.gtf -p idx -k 2x", 1, OPT + "Invalid data for option -k: 2x\n"},
		{"index -g g.fa -t a.gtf -p idx -k 99999999999", 1, OPT + "Invalid data for option -k: 99999999999\n"},
		{"index -g g.fa -t a.gtf -p id/x", 1, OPT + "Invalid prefix string id/x (included character '/')\n"},
		{"index -g g.fa -t a.gtf -p idx stray", 1, OPT + "Invalid option stray\n"},
		{"index -g g.fa -t a.gtf -pidx", 1, OPT + "Invalid option -pidx\n"},
		// count options
		{"count -x idx -1 a b -2 c", 1, OPT + "Number of files in pair are not equal\n"},
		{"count -x idx -1 a -1 b c", 1, OPT + "Number of files in pair are not equal\n"},
		{"count -x idx -1 a", 1, OPT + "Missing second segment of read files\n"},
		{"count -x idx -2 a", 1, OPT + "Missing first segment of read files\n"},
		{"count -1 a -2 b", 1, OPT + "Missing index\n"},
		{"count -x idx", 1, OPT + "Missing input files\n"},
		{"count -x idx -1 -2 b", 1, OPT + "Missing data for option -1\n"},
		{"count -x idx -1 a -2 b -t 0", 1, OPT + "Invalid  number of threads: 0\n"},
		{"count -x idx -1 a -2 b -t ''", 1, OPT + "Invalid  number of threads: 0\n"},
		{"count -x idx -1 a -2 b -t 4a", 1, OPT + "Invalid data for option -t: 4a\n"},
		{"count -x idx -1 a -2 b -t4", 1, OPT + "Invalid option -t4\n"},
		{"count -x idx -1 a -2 b -t", 1, OPT + "Missing data for option -t\n"},
		{"count -x idx -1 a -2 b -l 2", 1, OPT + "Invalid library type\n"},
		{"count -x idx -1 a -2 b -l x", 1, OPT + "Invalid data for option -l: x\n"},
		// kits
		{"count -x idx -1 a -2 b --chemistry 10xv9", 1, OPT + "Invalid chemistry 10xv9\n"},
		{"count -x idx -1 a -2 b -l 1 --chemistry 10xv2", 1, OPT + "-l 1 and --chemistry 10xv2 disagree\n"},
		{"count -x idx -1 a -2 b -l 0 --chemistry 10x5v2", 1, OPT + "-l 0 and --chemistry 10x5v2 disagree\n"},
		{"count -x idx -1 a -2 b -l 0 --chemistry auto", 1, OPT + "-l and --chemistry auto exclude each other\n"},
		{"count -x idx -1 a -2 b --strand antisense", 1, OPT + "--strand goes with --barcode-geometry\n"},
		{"count -x idx -1 a -2 b --chemistry 10xv3 --barcode-geometry CB:1-16,UMI:17-28", 1,
		 OPT + "--chemistry and --barcode-geometry exclude each other\n"},
		{"count -x idx -1 a -2 b --barcode-geometry CB:1-16", 1,
		 OPT + "--barcode-geometry needs CB and UMI ranges: CB:1-16\n"},
		{"count -x idx -1 a -2 b --barcode-geometry CB:1-16,UMI:10-21", 1,
		 OPT + "Barcode and UMI overlap in --barcode-geometry: CB:1-16,UMI:10-21\n"},
		{"count -x idx -1 a -2 b --barcode-geometry CB:0-16,UMI:17-28", 1,
		 OPT + "Invalid data for option --barcode-geometry: CB:0-16,UMI:17-28\n"},
		{"count -x idx -1 a -2 b --barcode-geometry CB:1-30,UMI:31-40", 1,
		 OPT + "--barcode-geometry CB:1-30,UMI:31-40: at most 24 barcode and 18 UMI bases\n"},
		{"count -x idx -1 a -2 b --barcode-geometry CB:1-16,UMI:17-28 --strand up", 1,
		 OPT + "Invalid data for option --strand: up\n"},
		{"count -x -idx -1 a -2 b", 1, OPT + "Missing data for option -x\n"},
		{"count -x idx -1 a -2 b -p 'a b'", 1, OPT + "Invalid prefix string a b (included character ' ')\n"},
		{"count -x idx stray -1 a -2 b", 1, OPT + "Invalid option stray\n"},
		{"count -x idx -1 a -2 b stray", 1, OPT + "Number of files in pair are not equal\n"},
		{"count -x idx -1 a -2 b -p ok.P-1_x --bogus", 1, OPT + "Invalid option --bogus\n"},
	};
	TempDir dir;
	for (const CommandCase &c : cases) {
		RunResult r = run_vorat(dir.path, c.args);
		EXPECT_EQ(r.status, c.status) << "vora-T " << c.args;
		EXPECT_EQ(r.out, "") << "vora-T " << c.args;
		EXPECT_EQ(r.err, BANNER + c.err) << "vora-T " << c.args;
	}
	// Option errors happen before any log is opened.
	EXPECT_FALSE(file_exists(dir / "vorat.log"));
}

TEST(CommandLine, OutputDirectoryRule)
{
	TempDir dir;
	// A missing directory is created one level deep, before the index is looked at.
	RunResult r = run_vorat(dir.path, "count -x missing -1 a -2 b -o made --log run.log");
	EXPECT_EQ(r.status, 1);
	struct stat st;
	ASSERT_EQ(stat((dir / "made").c_str(), &st), 0);
	EXPECT_TRUE(S_ISDIR(st.st_mode));

	// Two missing levels cannot be made.
	r = run_vorat(dir.path, "count -x missing -1 a -2 b -o no/such --log run.log");
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("Could not make output directory: No such file or directory\n"), std::string::npos) << r.err;
	EXPECT_FALSE(file_exists(dir / "no"));

	// An existing directory keeps its contents.
	write_file(dir / "made/keep.txt", "kept");
	r = run_vorat(dir.path, "count -x missing -1 a -2 b -o made --log run.log");
	EXPECT_EQ(read_file(dir / "made/keep.txt"), "kept");
}

TEST(CommandLine, LogOpenAppendAndMissingIndex)
{
	TempDir dir;
	RunResult r = run_vorat(dir.path, "count -x idx%s -1 a -2 b --log run.log");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	// Console: log notice, time, loading line, then the open error of the missing index.
	EXPECT_NE(r.err.find("[INFO] Log file: [run.log]\nCurrent Time : "), std::string::npos) << r.err;
	EXPECT_NE(r.err.find("Loading BWT...\n[ERROR] Unable to open file [idx%s.bwt] to read\n"), std::string::npos) << r.err;
	EXPECT_EQ(r.err.find("VERSION"), std::string::npos) << "run header lines go to the log only";

	std::string log1 = read_file(dir / "run.log");
	EXPECT_EQ(log1.rfind("Log file: [run.log]\nCurrent Time : ", 0), 0u) << log1;
	EXPECT_NE(log1.find("\nVERSION: 0.2\nCOMMAND: " VORAT_BINARY " count -x idx%s -1 a -2 b --log run.log \n"
	                    "Loading BWT...\n[ERROR] Unable to open file [idx%s.bwt] to read\n"),
	          std::string::npos) << log1;
	EXPECT_EQ(log1.find("[INFO] Log file"), std::string::npos);

	// A second run appends its own record after the first.
	run_vorat(dir.path, "count -x idx%s -1 a -2 b --log run.log");
	std::string log2 = read_file(dir / "run.log");
	ASSERT_GT(log2.size(), log1.size());
	EXPECT_EQ(log2.compare(0, log1.size(), log1), 0);
	EXPECT_EQ(log2.substr(log1.size()).rfind("Log file: [run.log]\n", 0), 0u);
}

TEST(CommandLine, LogInMissingDirectoryIsAWarning)
{
	TempDir dir;
	RunResult r = run_vorat(dir.path, "count -x idx -1 a -2 b --log nodir/run.log");
	EXPECT_EQ(r.status, 1);  // the run goes on and stops at the missing index
	EXPECT_NE(r.err.find("[WARNING] Unable to open log file. No log will be written\nCurrent Time : "),
	          std::string::npos) << r.err;
	EXPECT_NE(r.err.find("[ERROR] Unable to open file [idx.bwt] to read\n"), std::string::npos);
	EXPECT_FALSE(file_exists(dir / "nodir"));
}
