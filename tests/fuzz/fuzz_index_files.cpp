// Fuzz target: the .info, .hash and .bwt loaders over arbitrary bytes. The first byte
// chooses the loader. A loaded file must be self-consistent: every array the mapping
// reads is walked here, so that an inconsistent file that loads shows up as a crash.
#include "fuzz/fuzz_common.h"
#include "index/index.h"

// Reads of the loaded arrays land here so that they are not optimised away.
static volatile uint32_t sink;

static void walk_info(const AnnotationInfo &ann)
{
	uint32_t total = ann.tx_offset[ann.tx_count];
	for (uint32_t t = 0; t < ann.tx_count; ++t) {
		if (ann.tx_offset[t] > total || ann.tx_length[t] > total - ann.tx_offset[t]) abort();
		if (ann.tx_gene[t] >= ann.gene_count) abort();
	}
	for (uint32_t p = 0; p < total; ++p) {
		if (ann.base_tx[p] >= ann.tx_count) abort();
		sink += (uint8_t)ann.tx_seq[p];
	}
}

static void walk_hash(const KmerHash &h)
{
	uint32_t buckets = 1u << h.hash_bits;
	for (uint32_t b = 0; b < buckets; b += 4099) {
		uint32_t lo = h.bucket_starts[b], hi = h.bucket_starts[b + 1];
		for (uint32_t j = lo; j < hi; ++j)
			for (uint32_t s = h.kmer_starts[j]; s < h.kmer_starts[j + 1]; ++s) sink += h.kmer_positions[s];
	}
}

static void walk_bwt(const GenomeBwt &b)
{
	for (uint32_t k = 0; k <= b.seq_len; ++k)
		for (uint32_t c = 0; c < 4; ++c) sink += bwt_occurrences(&b, k, c);
	for (uint32_t k = 0; k <= b.seq_len && k < 2000; ++k) sink += bwt_locate(&b, k);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_setup();
	static std::set<int> fds = current_fds();
	if (size < 1) return 0;
	FuzzFile file(data + 1, size - 1);
	// The loaders fill these as they allocate; whatever they hold is released after a
	// refused input too, so that a long run does not grow until the RSS limit.
	GenomeSequences g = {};
	AnnotationInfo ann = {};
	KmerHash h = {};
	GenomeBwt b = {};
	try {
		switch (data[0] % 3) {
		case 0:
			load_annotation_info(file.path.c_str(), &g, &ann);
			walk_info(ann);
			break;
		case 1:
			load_kmer_hash(file.path.c_str(), &h);
			walk_hash(h);
			break;
		default:
			load_genome_bwt(file.path.c_str(), &b);
			walk_bwt(b);
			break;
		}
	} catch (const FatalError &) {
	}
	release_genome_sequences(&g);
	release_annotation_info(&ann);
	release_kmer_hash(&h);
	release_genome_bwt(&b);
	close_leaked_fds(fds);
	return 0;
}
