// Read mapping: k-mer seeding against the spliced transcripts, three ungapped passes,
// banded gapped extension of candidates, and the genome check through the BWT.
//
// Positions in tx_seq and in the genome are 0-based; read offsets are 0-based.
// A diagonal is (transcriptome position - read offset) in 32-bit arithmetic, compared signed.
#ifndef VORAT_MAPPING_H
#define VORAT_MAPPING_H

#include <cstdint>
#include "index/index.h"
#include "reads/reads.h"

// The read-only index shared by all workers of a count run.
struct MappingIndex {
	const AnnotationInfo *ann;
	const KmerHash *hash;
	const GenomeBwt *bwt;
	int count_intron;   // reads without a transcript alignment are searched in the genome
};

struct SeedHit {
	uint32_t diagonal;
	uint32_t read_offset;
};

// The k-mer hits of the current read.
struct SeedSet {
	SeedHit *merged;        // all hits sorted by diagonal (signed), then read offset
	uint32_t *hits;         // diagonals, k-mer by k-mer
	int32_t n_hits;
	int32_t hit_cap;        // capacity of hits and merged, a power of two
	int32_t *kmer_hits;     // hits per sampled k-mer
	uint32_t *kmer_offset;  // read offset per sampled k-mer
	uint32_t **kmer_start;  // n_kmers + 1 pointers into hits
	int32_t n_kmers;
	int32_t kmer_cap;
	int32_t kmer_stride;
};

// A partial ungapped placement not good enough to accept.
struct Candidate {
	uint32_t diagonal;
	int32_t read_start;   // first aligned read offset
	int32_t length;       // aligned read bases
	int32_t score;
};

struct CandidateList {
	Candidate *records;
	int32_t capacity;
	int32_t count;
};

// An accepted transcript alignment: tx_seq position of the first aligned read base.
struct Alignment {
	uint32_t position;
	int32_t score;
};

struct AlignmentList {
	Alignment *records;
	int32_t count;
	int32_t capacity;
	int32_t best;         // largest score appended since the reset (>= 0)
};

// Reusable matrix of the banded aligner.
struct DpMatrix {
	int32_t *cells;
	int64_t cell_bytes;
	int32_t row_capacity;
	int32_t **rows;
};

// Per-worker scratch; buffers only grow.
struct MappingWorkspace {
	SeedSet seeds;
	CandidateList candidates;
	AlignmentList alignments;
	DpMatrix dp;
	const MappingIndex *index;
};

enum MapOutcome : int {
	MAP_UNMAPPED = 0,
	MAP_EXONIC = 1,
	MAP_INTRONIC = 2,   // never produced by the mapping
	MAP_NONEXONIC = 3,
};

MappingWorkspace *create_mapping_workspace(const MappingIndex *index);
void release_mapping_workspace(MappingWorkspace *ws);

// Map one cDNA read as sequenced and classify it; on MAP_EXONIC ws->alignments holds the result.
int map_read(const ReadRecord *read, MappingWorkspace *ws);

#endif
