// Fuzz target: the GTF parser over arbitrary bytes, against a genome of two sequences.
#include "fuzz/fuzz_common.h"
#include "index/index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_setup();
	static std::set<int> fds = current_fds();
	static NameMap *seq_names = nullptr;
	if (!seq_names) {
		seq_names = kh_init(str);
		const char *names[] = {"chr1", "chr2"};
		for (uint32_t i = 0; i < 2; ++i) {
			int absent;
			khiter_t k = kh_put(str, seq_names, strdup(names[i]), &absent);
			kh_value(seq_names, k) = i;
		}
	}
	FuzzFile file(data, size);
	AnnotationInfo ann = {};
	NameMap *gene_ids = kh_init(str), *tx_ids = kh_init(str);
	try {
		parse_gtf(file.path.c_str(), seq_names, &ann, gene_ids, tx_ids);
		// Every exon must belong to a transcript whose gene exists.
		for (uint32_t t = 0; t < ann.tx_count; ++t)
			if (ann.tx_gene[t] >= ann.gene_count) abort();
	} catch (const FatalError &) {
	}
	// Inputs that load are released, so that a long run does not grow until the RSS limit.
	release_annotation_info(&ann);
	release_name_map(gene_ids);
	release_name_map(tx_ids);
	close_leaked_fds(fds);
	return 0;
}
