// Walking the genome BWT: the backward-search step, and the k-mer interval table, where
// backward search stands after the first k bases of a walk, for every k-mer at once, so that
// a walk starts with one lookup instead of k dependent steps, each a random read of the
// occurrence table.
#include <cstdint>
#include <cstdlib>
#include <thread>
#include "base/base.h"
#include "index/index.h"

#define MIN_KMER_TABLE_K 6

int genome_backward_step(const GenomeBwt *bwt, uint32_t c, uint32_t *lo, uint32_t *hi)
{
	uint32_t occ_lo, occ_hi;
	// For lo = 0 the row before is 0xFFFFFFFF, which counts 0.
	bwt_occurrences_pair(bwt, *lo - 1, *hi, c, &occ_lo, &occ_hi);
	const uint32_t new_lo = bwt->c_table[c] + occ_lo + 1;
	const uint32_t new_hi = bwt->c_table[c] + occ_hi;
	if (new_lo > new_hi) return 0;
	*lo = new_lo;
	*hi = new_hi;
	return 1;
}

int32_t genome_kmer_table_k(uint64_t n)
{
	// 8 bytes per k-mer, at most an eighth of a byte per genome base: the first steps of a walk,
	// which read the same few blocks for every read, are cheap anyway; the table pays for the
	// steps between them and a unique match, and most of that comes from its first lengths.
	int32_t k = 0;
	while (k < MAX_KMER_TABLE_K && (8ULL << (2 * (k + 1))) <= n / 8) ++k;
	return k < MIN_KMER_TABLE_K ? 0 : k;
}

void build_genome_kmer_table(GenomeBwt *bwt, int32_t k)
{
	if (k <= 0) return;
	const uint64_t size = 1ULL << (2 * k);
	// Level d (the d-mers, 4^d entries) lives in the k-mer arrays when k - d is even, else in
	// a pair a quarter of their size: consecutive levels never share arrays, the last level
	// ends in the table itself.
	uint32_t *lo[2], *hi[2];
	lo[0] = (uint32_t *)malloc_table_or_die(size, sizeof(uint32_t));
	hi[0] = (uint32_t *)malloc_table_or_die(size, sizeof(uint32_t));
	lo[1] = (uint32_t *)malloc_or_die(size / 4, sizeof(uint32_t));
	hi[1] = (uint32_t *)malloc_or_die(size / 4, sizeof(uint32_t));

	lo[k % 2][0] = 0;  // the empty string: every row
	hi[k % 2][0] = bwt->seq_len;
	for (int32_t d = 1; d <= k; ++d) {
		const int from = (k - d + 1) % 2, to = (k - d) % 2;
		const uint64_t shorter = 1ULL << (2 * (d - 1));
		// The d-mer of base c before the (d-1)-mer w is c * 4^(d-1) + w. For one c, the w in
		// order step from rows in ascending order, so the blocks are read in sequence.
		auto extend = [&, from, to, shorter](uint32_t c) {
			for (uint64_t w = 0; w < shorter; ++w) {
				uint32_t l = lo[from][w], h = hi[from][w];
				if (l > h || !genome_backward_step(bwt, c, &l, &h)) {
					l = 1;
					h = 0;
				}
				lo[to][c * shorter + w] = l;
				hi[to][c * shorter + w] = h;
			}
		};
		// Large levels on two threads, two bases each (they write apart).
		std::thread helper;
		if (shorter >= 4096) helper = std::thread([&] {
			extend(2);
			extend(3);
		});
		extend(0);
		extend(1);
		if (helper.joinable()) {
			helper.join();
		} else {
			extend(2);
			extend(3);
		}
	}
	free(lo[1]);
	free(hi[1]);
	bwt->kmer_k = k;
	bwt->kmer_lo = lo[0];
	bwt->kmer_hi = hi[0];
}

void release_genome_kmer_table(GenomeBwt *bwt)
{
	free(bwt->kmer_lo);
	free(bwt->kmer_hi);
	bwt->kmer_k = 0;
	bwt->kmer_lo = nullptr;
	bwt->kmer_hi = nullptr;
}
