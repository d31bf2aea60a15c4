// transcript_at, with and without its bucket index, against the per-base transcript table: every
// position of hand-made offset tables (empty transcripts included) and of a generated transcriptome.
#include <gtest/gtest.h>
#include <cstdlib>
#include <string>
#include <vector>
#include "annotation_test_util.h"
#include "index/index.h"

namespace {

TEST(TranscriptAt, EveryPositionOfHandMadeOffsets)
{
	const std::vector<std::vector<uint32_t>> lengths = {
	    {1}, {7}, {1, 1, 1}, {0, 5}, {5, 0}, {3, 0, 0, 4}, {0, 0, 2, 0, 9, 1, 0}, {10, 20, 30, 40, 50},
	    // Around the bucket size: starts on, just before and just after bucket boundaries.
	    {TX_BUCKET_BASES}, {TX_BUCKET_BASES - 1, 0, 2, TX_BUCKET_BASES + 1}, {300, 1, 1, 0, 700, 255, 257, 5},
	};
	for (const auto &lens : lengths) {
		std::vector<uint32_t> offset = {0}, table;
		for (uint32_t t = 0; t < lens.size(); ++t) {
			offset.push_back(offset.back() + lens[t]);
			table.insert(table.end(), lens[t], t);
		}
		AnnotationInfo ann = {};
		ann.tx_count = (uint32_t)lens.size();
		ann.tx_offset = offset.data();
		for (uint32_t p = 0; p < table.size(); ++p)
			ASSERT_EQ(transcript_at(&ann, p), table[p]) << "position " << p << " of " << lens.size() << " transcripts";
		index_transcript_starts(&ann);
		for (uint32_t p = 0; p < table.size(); ++p)
			ASSERT_EQ(transcript_at(&ann, p), table[p]) << "bucketed, position " << p;
		free(ann.tx_bucket);
	}
}

#ifdef VORAT_SIMULATE
TEST(TranscriptAt, EveryPositionOfAGeneratedTranscriptome)
{
	annotation_test::ScratchDir dir;
	const std::string cmd = std::string(VORAT_SIMULATE) + " --human-like --seed 4 --genome-size 2000000 --genes 80" +
	                        " --reads 100 --cells 5 --out " + dir.file("sim") + " >/dev/null 2>&1";
	ASSERT_EQ(system(cmd.c_str()), 0);
	GenomeSequences genome = {};
	AnnotationInfo ann = {};
	NameMap *seqs = kh_init(str), *genes = kh_init(str), *txs = kh_init(str);
	load_genome_fasta(dir.file("sim/genome.fa").c_str(), &genome, seqs);
	parse_gtf(dir.file("sim/genes.gtf").c_str(), seqs, &ann, genes, txs);
	build_transcriptome(dir.file("tx.fa").c_str(), &genome, &ann);
	ASSERT_GT(ann.tx_count, 80u);
	const uint32_t total = ann.tx_offset[ann.tx_count];
	for (uint32_t p = 0; p < total; ++p) ASSERT_EQ(transcript_at(&ann, p), ann.base_tx[p]) << p;
	index_transcript_starts(&ann);
	for (uint32_t p = 0; p < total; ++p) ASSERT_EQ(transcript_at(&ann, p), ann.base_tx[p]) << "bucketed " << p;
	release_name_map(seqs);
	release_name_map(genes);
	release_name_map(txs);
	release_annotation_info(&ann);
	release_genome_sequences(&genome);
}
#endif

}  // namespace
