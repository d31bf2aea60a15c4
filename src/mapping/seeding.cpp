// Transcript seeding: the read is sampled into overlapping k-mers, each looked up in the
// transcript k-mer hash; the hits become diagonals of tx_seq, merged into one sorted list
// when the passes need it.
#include <cstdint>
#include "base/base.h"
#include "mapping/mapping.h"

void kmer_sampling(int32_t len, int32_t k, int32_t *n_kmers, int32_t *stride)
{
	if (k <= 0 || len < k) {
		// Too short for one k-mer: the read gets no hits and goes the way of a read
		// without transcript alignments.
		*n_kmers = 0;
		*stride = 0;
		return;
	}
	int32_t s = (k + 1) / 2;
	int32_t n = (len - k) / s + 1;
	if (n == 1) {
		// One k-mer at the start and one that ends at the last base (the same k-mer twice
		// for a read of exactly k bases).
		n = 2;
		s = len - k;
	}
	*n_kmers = n;
	*stride = s;
}

static void grow_kmer_arrays(SeedSet *seeds, int32_t cap)
{
	seeds->kmer_hits = (int32_t *)realloc_or_die(seeds->kmer_hits, (size_t)cap * sizeof(int32_t));
	seeds->kmer_offset = (uint32_t *)realloc_or_die(seeds->kmer_offset, (size_t)cap * sizeof(uint32_t));
	seeds->kmer_start = (const uint32_t **)realloc_or_die(seeds->kmer_start, (size_t)cap * sizeof(uint32_t *));
	seeds->kmer_cursor = (int32_t *)realloc_or_die(seeds->kmer_cursor, (size_t)cap * sizeof(int32_t));
	seeds->kmer_order = (int32_t *)realloc_or_die(seeds->kmer_order, (size_t)cap * sizeof(int32_t));
	seeds->kmer_code = (uint64_t *)realloc_or_die(seeds->kmer_code, (size_t)cap * sizeof(uint64_t));
	seeds->kmer_cap = cap;
}

static void grow_hit_arrays(SeedSet *seeds, int64_t need)
{
	const int64_t cap = grown_capacity(seeds->hit_cap, need, 256);
	if (cap > INT32_MAX) fatal(MSG_NO_MEMORY);
	seeds->merged = (SeedHit *)realloc_or_die(seeds->merged, (size_t)cap * sizeof(SeedHit));
	seeds->hit_cap = (int32_t)cap;
}

void seed_read(const ReadRecord *read, const KmerHash *hash, SeedSet *seeds)
{
	const int32_t k = (int32_t)hash->kmer_size;
	int32_t n, stride;
	kmer_sampling(read->len, k, &n, &stride);
	seeds->n_kmers = n;
	seeds->kmer_stride = stride;
	if (n + 1 > seeds->kmer_cap) grow_kmer_arrays(seeds, n + 1);

	// All codes first, each k-mer's bucket fetched ahead: the lookups then miss the cache
	// together instead of one after the other.
	const uint8_t *bases = (const uint8_t *)read->seq;
	uint64_t *codes = seeds->kmer_code;
	for (int32_t i = 0; i < n; ++i) {
		const uint32_t o = (uint32_t)(i * stride);
		seeds->kmer_offset[i] = o;
		uint64_t code = 0;
		for (int32_t j = 0; j < k; ++j) {
			const uint32_t c = BASE_CODE[bases[o + j]];
			if (c > 3) {
				code = UINT64_MAX;  // a k-mer with N has no hits
				break;
			}
			code = code * 4 + c;
		}
		// UINT64_MAX is also the code of 32 T, which has no hits either.
		codes[i] = code;
		if (code == UINT64_MAX) continue;
		if (hash->slots)
			__builtin_prefetch(hash->slots + kmer_slot_home(hash, code));
		else
			__builtin_prefetch(hash->bucket_starts + (code & hash->hash_mask));
	}
	int64_t total = 0;
	if (hash->slots) {
		// One slot per k-mer, then its positions (fetched ahead for the passes).
		for (int32_t i = 0; i < n; ++i) {
			const KmerSlot *slot = codes[i] == UINT64_MAX ? nullptr : kmer_slot(hash, codes[i]);
			seeds->kmer_hits[i] = slot ? (int32_t)slot->count : 0;
			seeds->kmer_start[i] = slot ? hash->kmer_positions + slot->start : nullptr;
			if (slot) __builtin_prefetch(seeds->kmer_start[i]);
			total += seeds->kmer_hits[i];
		}
		if (total > seeds->hit_cap) grow_hit_arrays(seeds, total);
		seeds->n_hits = (int32_t)total;
		return;
	}
	for (int32_t i = 0; i < n; ++i)
		if (codes[i] != UINT64_MAX) __builtin_prefetch(hash->kmer_keys + hash->bucket_starts[codes[i] & hash->hash_mask]);

	// Then each k-mer's entry, and its positions, fetched ahead the same way (codes[] now holds
	// the entry index, UINT64_MAX for none).
	for (int32_t i = 0; i < n; ++i) {
		if (codes[i] == UINT64_MAX) continue;
		const uint32_t at = kmer_index(hash, codes[i]);
		codes[i] = at == UINT32_MAX ? UINT64_MAX : at;
		if (at != UINT32_MAX) __builtin_prefetch(hash->kmer_starts + at);
	}
	for (int32_t i = 0; i < n; ++i)
		if (codes[i] != UINT64_MAX) __builtin_prefetch(hash->kmer_positions + hash->kmer_starts[codes[i]]);

	for (int32_t i = 0; i < n; ++i) {
		uint32_t count = 0;
		const uint32_t *positions = nullptr;
		if (codes[i] != UINT64_MAX) {
			const uint32_t at = (uint32_t)codes[i];
			positions = hash->kmer_positions + hash->kmer_starts[at];
			count = hash->kmer_starts[at + 1] - hash->kmer_starts[at];
		}
		seeds->kmer_hits[i] = (int32_t)count;
		seeds->kmer_start[i] = positions;
		total += count;
	}
	if (total > seeds->hit_cap) grow_hit_arrays(seeds, total);
	seeds->n_hits = (int32_t)total;
}

// Merge the runs [a, b) and [b, c) of src into dst at a, by signed diagonal; on equal
// diagonals the first run's hit goes first.
static void merge_runs(const SeedHit *src, SeedHit *dst, int32_t a, int32_t b, int32_t c)
{
	int32_t i = a, j = b, out = a;
	while (i < b && j < c) {
		const bool right = (int32_t)src[j].diagonal < (int32_t)src[i].diagonal;
		dst[out++] = right ? src[j++] : src[i++];
	}
	while (i < b) dst[out++] = src[i++];
	while (j < c) dst[out++] = src[j++];
}

void merge_seed_hits(SeedSet *seeds)
{
	const int32_t n = seeds->n_kmers, total = seeds->n_hits;
	if (total > seeds->merge_cap) {
		const int32_t cap = (int32_t)grown_capacity(seeds->merge_cap, total, 256);
		seeds->merge_tmp = (SeedHit *)realloc_or_die(seeds->merge_tmp, (size_t)cap * sizeof(SeedHit));
		seeds->merge_cap = cap;
	}
	// The k-mers' sorted lists side by side, then merged pairwise, neighbours first, so that
	// every run holds consecutive k-mers and ties keep the lower k-mer first. The passes
	// alternate between the two arrays; the first is chosen so that the last ends in merged.
	int32_t passes = 0;
	for (int32_t width = 1; width < n; width *= 2) ++passes;
	SeedHit *src = passes % 2 == 0 ? seeds->merged : seeds->merge_tmp;
	SeedHit *dst = passes % 2 == 0 ? seeds->merge_tmp : seeds->merged;
	int32_t *bound = seeds->kmer_cursor;  // bound[i]: where k-mer i's run starts; n + 1 entries
	int32_t at = 0;
	for (int32_t i = 0; i < n; ++i) {
		bound[i] = at;
		const uint32_t o = seeds->kmer_offset[i];
		for (int32_t h = 0; h < seeds->kmer_hits[i]; ++h) src[at++] = {seeds->kmer_start[i][h] - o, o};
	}
	bound[n] = at;
	for (int32_t width = 1; width < n; width *= 2) {
		for (int32_t i = 0; i < n; i += 2 * width) {
			const int32_t mid = i + width < n ? i + width : n, end = i + 2 * width < n ? i + 2 * width : n;
			merge_runs(src, dst, bound[i], bound[mid], bound[end]);
		}
		SeedHit *t = src;
		src = dst;
		dst = t;
	}
}

int32_t hit_group_end(const SeedSet *seeds, const AnnotationInfo *ann, int32_t start)
{
	const SeedHit *m = seeds->merged;
	const uint32_t d = m[start].diagonal;
	const uint32_t t = transcript_at(ann, d + m[start].read_offset);
	const uint32_t first = ann->tx_offset[t], end = ann->tx_offset[t + 1];  // the bases of t
	int32_t j = start + 1;
	for (; j < seeds->n_hits && m[j].diagonal == d; ++j) {
		const uint32_t p = d + m[j].read_offset;
		if (p < first || p >= end) break;
	}
	return j;
}
