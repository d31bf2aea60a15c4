// The genome BWT of the index (.bwt): its construction, file, queries and walks. Part of the
// index layer, included by index/index.h.
#ifndef VORAT_INDEX_BWT_H
#define VORAT_INDEX_BWT_H

#include <cstddef>
#include <cstdint>

// ---- genome BWT (bwt.cpp) ----

#define OCC_INTERVAL 64
#define SA_INTERVAL 16
#define MAX_GENOME_LENGTH 4000111000ULL

// FM-index of the whole genome (all FASTA records concatenated, non-ACGT replaced
// by rand() & 3 after srand(11)). Rows are full-BWT rows 0..n; row 0 is the marker's suffix.
// bwt_words: per block of 64 stored characters, 4 counts of A, C, G, T before the block,
// then 4 words of 16 characters (first character in the top 2 bits); the last block is
// followed by the 4 totals.
struct GenomeBwt {
	uint8_t *packed_seq;       // ceil(n/4) bytes, 2 bits per base, first base in the top bits
	uint32_t seq_len;          // n
	uint32_t primary;          // row of the end marker
	uint32_t c_table[5];       // c_table[c+1] = number of bases with code <= c
	uint32_t bwt_word_count;   // ceil(n/16) + 4 ceil(n/64) + 4
	uint32_t *bwt_words;       // occurrence checkpoints every 64 characters, interleaved
	uint32_t sa_count;         // floor((n + 16) / 16)
	uint32_t *sa_samples;      // suffix position of every 16th row; [0] = 0xFFFFFFFF
	// The loaded .bwt file, mapped, when packed_seq (and sa_samples where aligned) point into
	// it; null for a BWT read or built in memory.
	void *mapping;
	size_t mapping_bytes;
	// Made by build_genome_kmer_table after loading, not stored: the rows kmer_lo[w]..kmer_hi[w]
	// that backward search reaches after the kmer_k bases of k-mer w (first base in the top
	// bits); lo > hi where a step comes out empty. kmer_k = 0: no table.
	int32_t kmer_k;
	uint32_t *kmer_lo;
	uint32_t *kmer_hi;
};

// Read the FASTA (plain or gzip), pack it and compute the BWT and SA samples.
// Returns a new calloc'ed record (free it with release_genome_bwt, then free()).
GenomeBwt *build_genome_bwt(const char *genome_path);
// From packed_seq and seq_len: fill c_table, primary, bwt_word_count and bwt_words.
// Uses the whole-text sort when it fits comfortably in memory, the blockwise one otherwise;
// both give the same result.
void compute_bwt(GenomeBwt *bwt);
// The same result as compute_bwt, built by merging text blocks of `block_bases` bases from
// the end of the text (0: one block); peak memory about 9 bytes per block base plus the words.
// Also fills sa_count and sa_samples (on two threads), as build_genome_bwt would.
void compute_bwt_blockwise(GenomeBwt *bwt, uint64_t block_bases);
// Block size compute_bwt uses for a text of n bases: 0 for the whole-text sort. The
// environment variable VORAT_BWT_BLOCK (bases; 0 = whole-text sort) overrides the choice.
uint64_t bwt_block_bases(uint64_t n);
void write_genome_bwt(const char *path, const GenomeBwt *bwt);
// Read a .bwt file into `bwt`; a short or inconsistent file ends the run with the read error.
// The counts, checkpoints and samples are checked against each other and the file size.
void load_genome_bwt(const char *path, GenomeBwt *bwt);
// End the run with the read error: the .bwt in use is not the BWT of a text.
[[noreturn]] void bwt_corrupted();
// Free the three arrays of the record (not the record itself) and null them.
void release_genome_bwt(GenomeBwt *bwt);

// Code of base i of the genome text.
static inline uint32_t genome_base(const GenomeBwt *bwt, uint32_t i)
{
	return (bwt->packed_seq[i >> 2] >> (6 - 2 * (i & 3))) & 3;
}

// Number of 2-bit fields of w equal to c. The bit count is spelled out: without a baseline
// that has the popcount instruction, __builtin_popcount is a library call.
static inline uint32_t bwt_count_in_word(uint32_t w, uint32_t c)
{
	uint32_t hi = (c & 2) ? w : ~w, lo = (c & 1) ? w : ~w;
	uint32_t x = (hi >> 1) & lo & 0x55555555u;        // one bit per matching field
	x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);  // counts per 4 bits
	x = (x + (x >> 4)) & 0x0F0F0F0Fu;                  // counts per byte
	return (x * 0x01010101u) >> 24;
}

// The BWT character of row k (k != primary, k <= n).
static inline uint32_t bwt_char(const GenomeBwt *bwt, uint32_t k)
{
	uint32_t m = k > bwt->primary ? k - 1 : k;
	uint32_t w = bwt->bwt_words[8 * (size_t)(m >> 6) + 4 + ((m >> 4) & 3)];
	return (w >> (30 - 2 * (m & 15))) & 3;
}

// Count of c in the block of stored character m, from the block start up to and including m.
static inline uint32_t bwt_block_count(const uint32_t *block, uint32_t m, uint32_t c)
{
	uint32_t r = block[c];
	uint32_t wi = (m >> 4) & 3;
	for (uint32_t i = 0; i < wi; ++i) r += bwt_count_in_word(block[4 + i], c);
	uint32_t w = block[4 + wi] & (0xFFFFFFFFu << (2 * (15 - (m & 15))));
	r += bwt_count_in_word(w, c);
	if (c == 0) r -= 15 - (m & 15);  // the cleared fields read as A
	return r;
}

// Number of c among the stored characters of rows 0..k (k may be 0xFFFFFFFF: 0).
static inline uint32_t bwt_occurrences(const GenomeBwt *bwt, uint32_t k, uint32_t c)
{
	if (k == bwt->seq_len) return bwt->c_table[c + 1] - bwt->c_table[c];
	if (k == 0xFFFFFFFFu) return 0;
	uint32_t m = k >= bwt->primary ? k - 1 : k;
	return bwt_block_count(bwt->bwt_words + 8 * (size_t)(m >> 6), m, c);
}

// bwt_occurrences(k, c) and bwt_occurrences(l, c) for k <= l, in one block walk when both
// rows fall into the same block of 64 characters.
static inline void bwt_occurrences_pair(const GenomeBwt *bwt, uint32_t k, uint32_t l, uint32_t c,
                                        uint32_t *occ_k, uint32_t *occ_l)
{
	if (k != 0xFFFFFFFFu && l != 0xFFFFFFFFu) {
		uint32_t m = k >= bwt->primary ? k - 1 : k;
		uint32_t ml = l >= bwt->primary ? l - 1 : l;
		if ((m ^ ml) < 64) {
			const uint32_t *block = bwt->bwt_words + 8 * (size_t)(m >> 6);
			*occ_k = bwt_block_count(block, m, c);
			*occ_l = bwt_block_count(block, ml, c);
			return;
		}
	}
	*occ_k = bwt_occurrences(bwt, k, c);
	*occ_l = bwt_occurrences(bwt, l, c);
}

// Row of the suffix that starts one position earlier than the suffix of row k.
static inline uint32_t bwt_lf(const GenomeBwt *bwt, uint32_t k)
{
	if (k == bwt->primary) return 0;
	uint32_t c = bwt_char(bwt, k);
	return bwt->c_table[c] + bwt_occurrences(bwt, k, c);
}

// Position in the genome text of the suffix at row k (row 0 gives 0xFFFFFFFF).
static inline uint32_t bwt_locate(const GenomeBwt *bwt, uint32_t k)
{
	uint32_t steps = 0;
	while (k % SA_INTERVAL != 0) {
		k = bwt_lf(bwt, k);
		// A BWT that is not one of a text (checkpoints agree, characters do not) can hold
		// a cycle without a sampled row; a true walk never takes more than n steps.
		if (++steps > bwt->seq_len) bwt_corrupted();
	}
	return bwt->sa_samples[k / SA_INTERVAL] + steps;
}

// Reused buffers of bwt_locate_rows; zero-initialise, free with release_locate_scratch.
struct LocateScratch {
	uint32_t *row;        // the walks still running: current row and the item each one locates,
	uint32_t *item;       // ordered by row within each run that one LF step keeps in order
	uint32_t *next_row;   // the same after one step, before they are put back in order
	uint32_t *next_item;
	uint8_t *next_class;  // the BWT character that took each walk there (0 = the end marker)
	int64_t cap;
};

// bwt_locate of each of rows[0 .. n-1] into pos[0 .. n-1] (rows may repeat). All walks take
// their LF steps together, level by level, and stay ordered by row: rows that one string's
// interval covers are neighbours in the BWT, and one LF step by the same base keeps them
// neighbours and in order. Their steps then read the occurrence blocks almost in sequence,
// ahead of time through prefetching, instead of one random block per step and walk.
void bwt_locate_rows(const GenomeBwt *bwt, const uint32_t *rows, int64_t n, uint32_t *pos,
                     LocateScratch *scratch);
void release_locate_scratch(LocateScratch *scratch);

// ---- BWT walks (bwt_walk.cpp) ----

// One backward-search step: narrows rows *lo..*hi by base code c; returns 0 when empty.
int genome_backward_step(const GenomeBwt *bwt, uint32_t c, uint32_t *lo, uint32_t *hi);

// Longest k-mer of the interval table.
#define MAX_KMER_TABLE_K 12
// k-mer length of the table for a genome of n bases: the longest whose table (8 bytes per
// k-mer) takes at most n / 8 bytes, up to 12 (128 MiB); 0 (no table) below 6.
int32_t genome_kmer_table_k(uint64_t n);
// Fill bwt->kmer_k, kmer_lo and kmer_hi with the backward-search interval of every k-mer
// (k from genome_kmer_table_k; nothing when 0). Built level by level from the last base, each level's steps
// reading the occurrence blocks in ascending order; large levels are split between two threads.
void build_genome_kmer_table(GenomeBwt *bwt, int32_t k);
// Free the table alone (release_genome_bwt frees it with the rest) and set kmer_k to 0.
void release_genome_kmer_table(GenomeBwt *bwt);

#endif
