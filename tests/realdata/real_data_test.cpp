// Smoke run on real data: an index of a 0.7 Mb region of human chromosome 21 with its
// Ensembl annotation, and real 10X-Chromium 3' v3 reads from the whole chromosome. A few
// hundred reads fall into the region's exons. The same annotation published out of register
// with the sequence (881 bases) is the negative control: far fewer reads count. The data lie
// outside the project (../shared/data); the tests skip when they are absent.
//
// Each index holds a 512 MiB k-mer hash: the two are built one after the other and the
// first hash is removed before the second is made.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <set>
#include <zlib.h>
#include "common/run_binary.h"

namespace {

const std::string DATA = std::string(VORAT_SOURCE_DIR) + "/../shared/data";
const std::string REGION = DATA + "/grch38-chr21-region/chr21-region";
const std::string LANE1 = DATA + "/pbmc5k-v3-chr21/Chromium_3p_GEX_Human_PBMC_chr21_100000_S1_L001_";
const std::string MOUSE = DATA + "/mouse-v2-sample/";

std::string read_gz(const std::string &path)
{
	std::string out;
	gzFile gz = gzopen(path.c_str(), "rb");
	if (!gz) return out;
	char buf[65536];
	int n;
	while ((n = gzread(gz, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
	gzclose(gz);
	return out;
}

long long stat_value(const std::string &err, const std::string &label)
{
	size_t p = err.find("[INFO] " + label);
	if (p == std::string::npos) return -1;
	p = err.find(" : ", p);
	return p == std::string::npos ? -1 : std::atoll(err.c_str() + p + 3);
}

// Distinct gene_id values of the "gene" lines of a GTF, counted without the program's parser.
size_t gtf_genes(const std::string &path)
{
	std::set<std::string> ids;
	for (const std::string &l : split_lines(read_file(path))) {
		if (l.empty() || l[0] == '#') continue;
		size_t t1 = l.find('\t'), t2 = l.find('\t', t1 + 1), t3 = l.find('\t', t2 + 1);
		if (t3 == std::string::npos || l.compare(t2 + 1, t3 - t2 - 1, "gene") != 0) continue;
		size_t p = l.find("gene_id \"");
		if (p == std::string::npos) continue;
		p += 9;
		ids.insert(l.substr(p, l.find('"', p) - p));
	}
	return ids.size();
}

struct RegionRun {
	RunResult result;
	long long total = -1, exonic = -1, nonexonic = -1, unmapped = -1;
	long long umis = 0;  // sum of the matrix counts
	std::string problem;  // "" when the output files are well-formed and agree
};

// Reads the statistics and checks the result files of a count run against each other.
RegionRun inspect(const RunResult &r, const std::string &out, size_t genes)
{
	RegionRun run;
	run.result = r;
	run.total = stat_value(r.err, "Total number of reads");
	run.exonic = stat_value(r.err, "Number of exonic mapped reads");
	run.nonexonic = stat_value(r.err, "Number of nonexonic reads");
	run.unmapped = stat_value(r.err, "Number of unmapped reads");
	std::vector<std::string> features = split_lines(read_file(out + "/features.tsv"));
	std::vector<std::string> barcodes = split_lines(read_file(out + "/barcodes.tsv"));
	std::vector<std::string> mtx = split_lines(read_file(out + "/matrix.mtx"));
	if (features.size() != genes) run.problem += "features.tsv has " + std::to_string(features.size()) + " lines; ";
	for (const std::string &b : barcodes)
		if (b.size() != 16 || b.find_first_not_of("ACGTN") != std::string::npos) run.problem += "barcode [" + b + "]; ";
	if (mtx.size() < 3 || mtx[0] != "%%MatrixMarket matrix coordinate integer general" || mtx[1][0] != '%') {
		run.problem += "matrix.mtx header; ";
		return run;
	}
	long long rows = -1, cols = -1, entries = -1;
	if (sscanf(mtx[2].c_str(), "%lld %lld %lld", &rows, &cols, &entries) != 3 || rows != (long long)features.size() ||
	    cols != (long long)barcodes.size() || entries != (long long)mtx.size() - 3)
		run.problem += "size line [" + mtx[2] + "] does not fit the files; ";
	for (size_t i = 3; i < mtx.size(); ++i) {
		long long g, b, c;
		if (sscanf(mtx[i].c_str(), "%lld %lld %lld", &g, &b, &c) != 3 || g < 1 || g > rows || b < 1 || b > cols || c < 1)
			run.problem += "entry [" + mtx[i] + "]; ";
		else
			run.umis += c;
	}
	return run;
}

bool have(const std::string &path)
{
	return access(path.c_str(), R_OK) == 0;
}

TEST(RealData, Chr21RegionCountsExonicReadsAndTheShiftedAnnotationFarFewer)
{
	for (const std::string &p : {REGION + ".fa", REGION + ".gtf", REGION + ".as-published.gtf", LANE1 + "R1_001.fastq.gz",
	                             LANE1 + "R2_001.fastq.gz"})
		if (!have(p)) GTEST_SKIP() << p << " is absent";
	TempDir dir;
	const size_t genes = gtf_genes(REGION + ".gtf");
	ASSERT_GT(genes, 5u);
	const long long pairs = (long long)split_lines(read_gz(LANE1 + "R1_001.fastq.gz")).size() / 4;
	ASSERT_GT(pairs, 1000);
	const std::string reads = " -1 '" + LANE1 + "R1_001.fastq.gz' -2 '" + LANE1 + "R2_001.fastq.gz'";

	// Matching annotation.
	RunResult r = run_vorat(dir.path, "index -g '" + REGION + ".fa' -t '" + REGION + ".gtf' -p region -o idx");
	ASSERT_EQ(r.status, 0) << r.err;
	r = run_vorat(dir.path, "count -x idx/region -l 1 -t 2 -o out" + reads);
	RegionRun good = inspect(r, dir / "out", genes);
	ASSERT_EQ(good.result.status, 0) << good.result.err;
	EXPECT_EQ(good.problem, "");
	EXPECT_EQ(good.total, pairs);
	EXPECT_EQ(good.exonic + good.nonexonic + good.unmapped, good.total) << good.result.err;
	EXPECT_GE(good.exonic, 100) << "a few hundred reads lie in the region's exons";
	EXPECT_LT(good.exonic, pairs / 20) << "the region is a small part of the chromosome";
	EXPECT_GT(good.umis, 0);
	EXPECT_LE(good.umis, good.exonic);  // a UMI stands for one read at least
	unlink((dir / "idx/region.hash").c_str());

	// The same annotation out of register; the genome BWT is shared.
	r = run_vorat(dir.path, "index -g '" + REGION + ".fa' -t '" + REGION + ".as-published.gtf' -p shifted -o idx --no-bwt");
	ASSERT_EQ(r.status, 0) << r.err;
	ASSERT_EQ(symlink("region.bwt", (dir / "idx/shifted.bwt").c_str()), 0);
	r = run_vorat(dir.path, "count -x idx/shifted -l 1 -t 2 -o out-shifted" + reads);
	RegionRun shifted = inspect(r, dir / "out-shifted", gtf_genes(REGION + ".as-published.gtf"));
	ASSERT_EQ(shifted.result.status, 0) << shifted.result.err;
	EXPECT_EQ(shifted.problem, "");
	EXPECT_EQ(shifted.total, pairs);
	EXPECT_EQ(shifted.exonic + shifted.nonexonic + shifted.unmapped, shifted.total);
	EXPECT_LT(shifted.exonic * 2, good.exonic) << shifted.exonic << " exonic reads against " << good.exonic;
	printf("[ realdata ] %lld pairs: %lld exonic with the matching annotation, %lld with the shifted one\n", pairs,
	       good.exonic, shifted.exonic);

	// Real v2 reads (mouse, 26-base read 1) through the reader and the read-1 checks: every
	// pair is read and counted, though a human region explains almost none of them.
	if (have(MOUSE + "R1.fastq") && have(MOUSE + "R2.fastq")) {
		const long long mouse_pairs = (long long)split_lines(read_file(MOUSE + "R1.fastq")).size() / 4;
		r = run_vorat(dir.path, "count -x idx/shifted -l 0 -t 2 -o out-mouse -1 '" + MOUSE + "R1.fastq' -2 '" + MOUSE +
		                            "R2.fastq'");
		RegionRun mouse = inspect(r, dir / "out-mouse", gtf_genes(REGION + ".as-published.gtf"));
		ASSERT_EQ(mouse.result.status, 0) << mouse.result.err;
		EXPECT_EQ(mouse.problem, "");
		EXPECT_EQ(mouse.total, mouse_pairs);
		EXPECT_GT(mouse.unmapped, mouse_pairs * 9 / 10);
		// With library type 1 the 26-base reads 1 are too short.
		r = run_vorat(dir.path, "count -x idx/shifted -l 1 -t 1 -o out-mouse1 -1 '" + MOUSE + "R1.fastq' -2 '" + MOUSE +
		                            "R2.fastq'");
		EXPECT_EQ(r.status, 1);
		EXPECT_NE(r.err.find(" is not consistent with library type.\n Expect >= 28.\n Receive 26.\n\n"), std::string::npos)
		    << r.err;
	}
}

}  // namespace
