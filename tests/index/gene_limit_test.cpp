// The gene limit of the UMI key: `count` refuses an index whose annotation has as many genes
// as the gene field can hold, so `index` refuses such an annotation too, with the same
// message, before it writes any index file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zlib.h>
#include <cstdlib>
#include <string>
#include "../common/run_binary.h"
#include "index/index.h"

namespace {

TEST(GeneLimit, CheckAcceptsTheLargestGeneCountOnly)
{
	check_gene_count(0);
	check_gene_count(MAX_GENE_COUNT);
	EXPECT_EXIT(check_gene_count(MAX_GENE_COUNT + 1), testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Annotation has too many genes \\(4194304, at most 4194303\\)\n$");
}

// One gene line per gene id on the one sequence of the genome, gzip-compressed.
bool write_gene_lines(const std::string &path, uint32_t genes)
{
	gzFile gz = gzopen(path.c_str(), "wb1");
	if (!gz) return false;
	std::string chunk;
	bool ok = true;
	for (uint32_t g = 0; g < genes && ok; ++g) {
		chunk += "chr1\tt\tgene\t1\t20\t.\t+\t.\tgene_id \"g" + std::to_string(g) + "\"; gene_name \"n\";\n";
		if (chunk.size() > (1u << 20) || g + 1 == genes) {
			ok = gzwrite(gz, chunk.data(), (unsigned)chunk.size()) == (int)chunk.size();
			chunk.clear();
		}
	}
	return gzclose(gz) == Z_OK && ok;
}

TEST(GeneLimit, IndexRefusesTooManyGenesBeforeWritingAnyFile)
{
	TempDir dir;
	write_file(dir / "g.fa", ">chr1\nACGTTGCAACGTAGCTAGCTAGGATCCATGCAAGT\n");
	ASSERT_TRUE(write_gene_lines(dir / "big.gtf.gz", MAX_GENE_COUNT + 1));
	RunResult r = run_vorat(dir.path, "index -g g.fa -t big.gtf.gz -p big -o idx");
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("[ERROR] Annotation has too many genes (4194304, at most 4194303)\n"), std::string::npos)
	    << r.err.substr(0, 2000);
	for (const char *suffix : {".bwt", ".fasta", ".info", ".hash"})
		EXPECT_FALSE(file_exists(dir / "idx/big" + suffix)) << suffix;
}

}  // namespace
