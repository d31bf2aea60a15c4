// The k-mer slot table of a count run: every distinct k-mer of the hash in one open-addressing
// table (linear probing, at most 3/4 full), its code, first position and count in one 16-byte
// slot. A lookup reads one slot, and then the positions; through the layout of the .hash it
// takes four dependent reads (bucket start, keys, starts, positions), the first in a 512 MiB
// table where nearly every access also misses the TLB.
//
// Loaded from a file, the table is built while the bucket table, keys and starts are read in
// chunks, so none of them becomes resident: the count run holds the slots and the positions.
#include <sys/mman.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>
#include "base/base.h"
#include "index/index.h"

#define SLOT_BATCH 16              // slots fetched ahead while inserting
#define BUCKET_CHUNK (1u << 18)    // buckets read from the file at a time

// Inserts with the home slots of the next SLOT_BATCH k-mers fetched ahead. Threads may fill
// one table together: a slot is claimed by swapping its code in, and its start and count are
// read only after the filling threads have ended. Which k-mer gets which of two contested
// slots then varies, but never what a lookup finds.
struct SlotFiller {
	KmerHash *hash;
	KmerSlot pending[SLOT_BATCH];
	uint32_t count;
};

static void place(KmerHash *hash, const KmerSlot &slot)
{
	for (uint64_t s = kmer_slot_home(hash, slot.key - 1);; s = (s + 1) & hash->slot_mask) {
		uint64_t free_key = 0;
		if (__atomic_load_n(&hash->slots[s].key, __ATOMIC_RELAXED) == 0 &&
		    __atomic_compare_exchange_n(&hash->slots[s].key, &free_key, slot.key, false, __ATOMIC_RELAXED,
		                                __ATOMIC_RELAXED)) {
			hash->slots[s].start = slot.start;
			hash->slots[s].count = slot.count;
			return;
		}
	}
}

static void add(SlotFiller *f, uint64_t code, uint32_t start, uint32_t count)
{
	const uint32_t at = f->count % SLOT_BATCH;
	if (f->count >= SLOT_BATCH) place(f->hash, f->pending[at]);
	f->pending[at] = KmerSlot{code + 1, start, count};
	__builtin_prefetch(&f->hash->slots[kmer_slot_home(f->hash, code)], 1);
	++f->count;
}

static void flush(SlotFiller *f)
{
	const uint32_t n = f->count < SLOT_BATCH ? f->count : SLOT_BATCH;
	for (uint32_t j = 0; j < n; ++j) place(f->hash, f->pending[(f->count - n + j) % SLOT_BATCH]);
	f->count = 0;
}

// An empty table with room for the hash's D k-mers.
static void allocate_slots(KmerHash *hash)
{
	uint32_t bits = 10;
	while (((uint64_t)1 << bits) * 3 / 4 < hash->n_kmers) ++bits;
	const size_t n = (size_t)1 << bits;
	hash->slot_bits = bits;
	hash->slot_mask = n - 1;
	hash->slots = (KmerSlot *)malloc_table_or_die(n, sizeof(KmerSlot));
	memset(hash->slots, 0, n * sizeof(KmerSlot));
}

// The k-mers of buckets b0 .. b0 + n - 1: bs holds their n + 1 bucket starts, keys and starts
// the entries bs[0] .. bs[n] - 1 (starts one more). Each run of starts must not go down.
static void insert_buckets(SlotFiller *f, uint64_t b0, uint32_t n, const uint32_t *bs, const uint32_t *keys,
                           const uint32_t *starts)
{
	const uint32_t bits = f->hash->hash_bits;
	for (uint32_t j = 0; j < n; ++j) {
		// Most buckets are empty; the skip stops short of bucket n, which is not this call's
		// (its start is the end of bucket n - 1, the one after it lies beyond the table).
		while (j + 8 < n && bs[j + 8] == bs[j]) j += 8;
		for (uint32_t i = bs[j]; i < bs[j + 1]; ++i) {
			const uint32_t r = i - bs[0];
			add(f, (uint64_t)keys[r] << bits | (b0 + j), starts[r], starts[r + 1] - starts[r]);
		}
	}
}

void build_kmer_slots(KmerHash *hash)
{
	allocate_slots(hash);
	SlotFiller f{hash, {}, 0};
	insert_buckets(&f, 0, hash->hash_mask + 1, hash->bucket_starts, hash->kmer_keys, hash->kmer_starts);
	flush(&f);
}

// Unmap the whole pages of [p, p + bytes) again: the file's pages stay in the page cache, but
// no longer count for this process.
static void drop_pages(const void *p, size_t bytes)
{
	const uintptr_t page = 4096, from = ((uintptr_t)p + page - 1) & ~(page - 1), to = ((uintptr_t)p + bytes) & ~(page - 1);
	if (to > from) madvise((void *)from, to - from, MADV_DONTNEED);
}

// Buckets [from, to) of the mapped file, a chunk at a time, each chunk's pages unmapped after use.
static void insert_mapped_buckets(KmerHash *hash, uint64_t from, uint64_t to)
{
	SlotFiller f{hash, {}, 0};
	for (uint64_t b0 = from; b0 < to; b0 += BUCKET_CHUNK) {
		const uint32_t n = (uint32_t)(to - b0 < BUCKET_CHUNK ? to - b0 : BUCKET_CHUNK);
		const uint32_t *bs = hash->bucket_starts + b0;
		const uint32_t *keys = hash->kmer_keys + bs[0], *starts = hash->kmer_starts + bs[0];
		check_kmer_tables(hash, b0, n, bs, starts);
		const uint32_t entries = bs[n] - bs[0];
		if (entries > 0) {
			insert_buckets(&f, b0, n, bs, keys, starts);
			drop_pages(keys, 4 * (size_t)entries);
			drop_pages(starts, 4 * (size_t)entries);
		}
		drop_pages(bs, 4 * (size_t)n);
	}
	flush(&f);
}

void build_kmer_slots_mapped(KmerHash *hash)
{
	allocate_slots(hash);
	// Two threads, each over half of the buckets.
	const uint64_t n_buckets = (uint64_t)hash->hash_mask + 1;
	const uint64_t half = std::min<uint64_t>((n_buckets / BUCKET_CHUNK + 1) / 2 * BUCKET_CHUNK, n_buckets);
	std::thread helper(insert_mapped_buckets, hash, half, n_buckets);
	insert_mapped_buckets(hash, 0, half);
	helper.join();
}
