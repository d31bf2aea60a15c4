// Helpers of the mapping tests: a small hand-made transcriptome (no k-mer table behind it),
// random sequences, reverse complements and read records over std::string.
#ifndef VORAT_MAPPING_TEST_UTIL_H
#define VORAT_MAPPING_TEST_UTIL_H

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include "base/base.h"
#include "mapping/mapping.h"

namespace mtest {

struct WorkspaceDeleter {
	void operator()(MappingWorkspace *ws) const { release_mapping_workspace(ws); }
};
using WorkspacePtr = std::unique_ptr<MappingWorkspace, WorkspaceDeleter>;

inline std::string random_bases(std::mt19937 &rng, size_t n)
{
	static const char letters[] = "ACGT";
	std::string s(n, 'A');
	for (auto &c : s) c = letters[rng() & 3];
	return s;
}

// A base different from `c` (A, C, G or T).
inline char other_base(char c, unsigned shift = 1)
{
	static const char letters[] = "ACGT";
	unsigned code = BASE_CODE[(uint8_t)c] & 3;
	return letters[(code + 1 + shift % 3) & 3];
}

inline std::string reverse_complement(const std::string &s)
{
	std::string r(s.size(), 'N');
	for (size_t i = 0; i < s.size(); ++i) r[i] = COMPLEMENT_LETTERS[BASE_CODE[(uint8_t)s[s.size() - 1 - i]]];
	return r;
}

// A read record over a string that must outlive it.
inline ReadRecord make_read(std::string &bases)
{
	ReadRecord r{};
	r.seq = &bases[0];
	r.len = (int32_t)bases.size();
	return r;
}

// Transcripts given as strings, concatenated into tx_seq with the tables the mapping reads.
// Only kmer_size of the hash is set: enough for align_hit_group and the passes when the
// hits are put into the SeedSet by hand. Not copyable (the records point into it).
struct FakeIndex {
	std::string tx_seq;
	std::vector<uint32_t> length, offset, gene, base_tx;
	AnnotationInfo ann{};
	KmerHash hash{};
	MappingIndex index{};

	FakeIndex(const std::vector<std::string> &transcripts, uint32_t k)
	{
		for (size_t t = 0; t < transcripts.size(); ++t) {
			offset.push_back((uint32_t)tx_seq.size());
			length.push_back((uint32_t)transcripts[t].size());
			gene.push_back((uint32_t)t);
			tx_seq += transcripts[t];
			base_tx.insert(base_tx.end(), transcripts[t].size(), (uint32_t)t);
		}
		offset.push_back((uint32_t)tx_seq.size());
		ann.tx_count = (uint32_t)transcripts.size();
		ann.tx_length = length.data();
		ann.tx_offset = offset.data();
		ann.tx_gene = gene.data();
		ann.base_tx = base_tx.data();
		ann.tx_seq = &tx_seq[0];
		hash.kmer_size = k;
		hash.hash_bits = HASH_BITS;
		hash.hash_mask = (1u << HASH_BITS) - 1;
		index.ann = &ann;
		index.hash = &hash;
		index.bwt = nullptr;
		index.count_intron = 0;
	}
	FakeIndex(const FakeIndex &) = delete;
	FakeIndex &operator=(const FakeIndex &) = delete;
};

// Fills the workspace's merged hit list by hand: {diagonal, read offset} pairs in list order.
inline void set_merged_hits(MappingWorkspace *ws, const std::vector<SeedHit> &hits, int32_t n_kmers)
{
	SeedSet *s = &ws->seeds;
	if ((int32_t)hits.size() > s->hit_cap) {
		s->merged = (SeedHit *)realloc_or_die(s->merged, hits.size() * sizeof(SeedHit));
		s->hit_cap = (int32_t)hits.size();
	}
	for (size_t i = 0; i < hits.size(); ++i) s->merged[i] = hits[i];
	s->n_hits = (int32_t)hits.size();
	s->n_kmers = n_kmers;
}

inline void reset_lists(MappingWorkspace *ws)
{
	ws->alignments.count = 0;
	ws->alignments.best = 0;
	ws->candidates.count = 0;
	ws->seeds.n_hits = 0;
}

}  // namespace mtest

#endif
