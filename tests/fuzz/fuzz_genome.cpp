// Fuzz target: the genome FASTA loader and the BWT build over arbitrary bytes.
#include "fuzz/fuzz_common.h"
#include "index/index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_setup();
	static std::set<int> fds = current_fds();
	if (size > 4096) return 0;
	FuzzFile file(data, size);
	GenomeSequences genome = {};
	NameMap *names = kh_init(str);
	try {
		load_genome_fasta(file.path.c_str(), &genome, names);
		for (uint32_t i = 0; i < genome.seq_count; ++i)
			if (strlen(genome.seq_bases[i]) > genome.seq_lengths[i]) abort();
	} catch (const FatalError &) {
	}
	try {
		GenomeBwt *bwt = build_genome_bwt(file.path.c_str());
		// Every row must locate inside the text (row 0 is the marker).
		for (uint32_t k = 1; k <= bwt->seq_len; ++k)
			if (bwt_locate(bwt, k) >= bwt->seq_len) abort();
		release_genome_bwt(bwt);
	} catch (const FatalError &) {
	}
	close_leaked_fds(fds);
	return 0;
}
