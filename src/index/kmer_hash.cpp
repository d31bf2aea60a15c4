// Transcript k-mer hash: build over the spliced transcriptome, .hash writer and loader.
//
// Build plan (the file equals that of a per-bucket sorted-list build). Only positions are
// kept per occurrence; a k-mer's key is recomputed from tx_seq when needed, which keeps the
// peak at the size of the finished hash: 512 MiB + 4 P + 8 D bytes (plus one bucket).
//   1. scan the transcripts and count occurrences per bucket (one u32 per bucket,
//      the array that later becomes bucket_starts);
//   2. turn the counts into bucket offsets and scan again, scattering every position
//      into its bucket's slots, scan order kept (positions therefore ascending);
//   3. walk the buckets in order, sort each one by key (equal keys keep their ascending
//      positions), count its distinct keys and store the distinct-k-mer bucket starts;
//   4. walk all positions once more: a code that differs from the previous one starts
//      the next distinct k-mer (key and first slot).
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>
#include "base/base.h"
#include "index/index.h"

#define NUM_BUCKETS (1u << HASH_BITS)

// Call visit(bucket, key, position) for every k-mer occurrence of the transcriptome, in
// transcript order then position order. k-mers never span two transcripts and never
// contain a non-ACGT base.
template <typename Visit>
static void scan_kmers(const AnnotationInfo *ann, uint32_t k, Visit visit)
{
	const uint64_t mask = (k >= 32) ? ~0ULL : ((1ULL << (2 * k)) - 1);
	for (uint32_t t = 0; t < ann->tx_count; ++t) {
		const uint32_t off = ann->tx_offset[t], len = ann->tx_length[t];
		const uint8_t *s = (const uint8_t *)ann->tx_seq + off;
		uint64_t x = 0;
		uint32_t run = 0;
		for (uint32_t i = 0; i < len; ++i) {
			uint32_t c = BASE_CODE[s[i]];
			x = (x << 2) & mask;
			if (c < 4) {
				x |= c;
				++run;
			} else {
				run = 0;
			}
			if (run >= k)
				visit((uint32_t)(x & (NUM_BUCKETS - 1)), (uint32_t)(x >> HASH_BITS), off + i - k + 1);
		}
	}
}

// Code of the k bases of tx_seq at `pos` (all known to be A, C, G or T, either case).
static inline uint64_t code_at(const uint8_t *seq, uint32_t pos, uint32_t k)
{
	uint64_t x = 0;
	for (uint32_t j = 0; j < k; ++j) x = x << 2 | BASE_CODE[seq[pos + j]];
	return x;
}

// Sort one bucket's positions by key, equal keys in ascending position order, and return
// the number of distinct keys. Small buckets, the common case, use insertion sort; crowded
// ones (low-complexity k-mers such as poly-A) sort packed (key, position) pairs.
static uint32_t sort_bucket(const uint8_t *seq, uint32_t k, uint32_t *pos, uint32_t n,
                            std::vector<uint64_t> &tmp)
{
	if (n == 1) return 1;
	tmp.resize(n);
	for (uint32_t i = 0; i < n; ++i) tmp[i] = (code_at(seq, pos[i], k) >> HASH_BITS) << 32 | pos[i];
	if (n <= 32) {
		for (uint32_t i = 1; i < n; ++i) {
			uint64_t v = tmp[i];
			uint32_t j = i;
			for (; j > 0 && tmp[j - 1] > v; --j) tmp[j] = tmp[j - 1];
			tmp[j] = v;
		}
	} else {
		std::sort(tmp.begin(), tmp.begin() + n);
	}
	uint32_t distinct = 1;
	pos[0] = (uint32_t)tmp[0];
	for (uint32_t i = 1; i < n; ++i) {
		pos[i] = (uint32_t)tmp[i];
		if ((tmp[i] >> 32) != (tmp[i - 1] >> 32)) ++distinct;
	}
	return distinct;
}

void build_kmer_hash(const AnnotationInfo *ann, uint32_t k, KmerHash *hash)
{
	memset(hash, 0, sizeof *hash);
	hash->hash_bits = HASH_BITS;
	hash->hash_mask = NUM_BUCKETS - 1;
	hash->kmer_size = k;
	if (k < 1 || k > MAX_KMER_SIZE)
		fatal("[ERROR] Invalid k-mer size %u: must be between 1 and %d\n", k, MAX_KMER_SIZE);
	const uint8_t *seq = (const uint8_t *)ann->tx_seq;

	// 1. Occurrences per bucket.
	uint32_t *bucket = (uint32_t *)malloc_or_die((size_t)NUM_BUCKETS + 1, sizeof(uint32_t), true);
	uint64_t total = 0;
	scan_kmers(ann, k, [&](uint32_t b, uint32_t, uint32_t) {
		++bucket[b];
		++total;
	});
	if (total > 0xFFFFFFFEull) fatal("[ERROR] Too many k-mer positions for 32-bit indices\n");
	const uint32_t P = (uint32_t)total;

	// 2. Exclusive offsets, then scatter. After the scatter bucket[b] is the end of bucket b.
	uint32_t run = 0;
	for (uint32_t b = 0; b < NUM_BUCKETS; ++b) {
		uint32_t n = bucket[b];
		bucket[b] = run;
		run += n;
	}
	uint32_t *pos = (uint32_t *)malloc_or_die(P, sizeof(uint32_t));
	scan_kmers(ann, k, [&](uint32_t b, uint32_t, uint32_t p) { pos[bucket[b]++] = p; });

	// 3. Sort each bucket and turn the array into distinct-k-mer bucket starts.
	std::vector<uint64_t> tmp;
	uint32_t D = 0, begin = 0;
	for (uint32_t b = 0; b < NUM_BUCKETS; ++b) {
		const uint32_t end = bucket[b];
		bucket[b] = D;
		if (end == begin) continue;
		D += sort_bucket(seq, k, pos + begin, end - begin, tmp);
		begin = end;
	}
	bucket[NUM_BUCKETS] = D;
	std::vector<uint64_t>().swap(tmp);

	report("[INFO] Number of kmer: %d\n", (int)D);
	report("[INFO] Number of hashing position: %d\n", (int)P);

	// 4. Keys and first slots of the distinct k-mers, in bucket-then-key order.
	uint32_t *keys = (uint32_t *)malloc_or_die(D, sizeof(uint32_t));
	uint32_t *starts = (uint32_t *)malloc_or_die((size_t)D + 1, sizeof(uint32_t));
	uint32_t d = 0;
	uint64_t prev = 0;
	for (uint32_t i = 0; i < P; ++i) {
		uint64_t x = code_at(seq, pos[i], k);
		if (i == 0 || x != prev) {
			keys[d] = (uint32_t)(x >> HASH_BITS);
			starts[d] = i;
			++d;
			prev = x;
		}
	}
	if (d != D) fatal("[ERROR] Internal error: k-mer count mismatch\n");
	starts[D] = P;

	hash->kmer_keys = keys;
	hash->kmer_starts = starts;
	hash->bucket_starts = bucket;
	hash->kmer_positions = pos;
	hash->n_kmers = D;
	hash->n_positions = P;
}

void write_kmer_hash(const char *path, uint32_t k, const KmerHash *hash)
{
	// A new file, not the old one rewritten: a count run may have the old one mapped.
	unlink(path);
	FilePtr file(open_or_die(path, "wb"));
	FILE *fp = file.get();
	const uint32_t bits = hash->hash_bits;
	const uint32_t D = hash->n_kmers, P = hash->n_positions;
	write_or_die(&k, sizeof k, 1, fp);
	write_or_die(&bits, sizeof bits, 1, fp);
	// One call per array: stdio hands large blocks straight to write(2).
	write_or_die(hash->bucket_starts, sizeof(uint32_t), ((size_t)1 << bits) + 1, fp);
	write_or_die(hash->kmer_keys, sizeof(uint32_t), D, fp);
	// Item 5 (D starts) and item 6 (P) together: the starts array already ends with P.
	write_or_die(hash->kmer_starts, sizeof(uint32_t), (size_t)D + 1, fp);
	write_or_die(hash->kmer_positions, sizeof(uint32_t), P, fp);
	close_written_file(&file);
}

// Read one u32 at byte offset `at` of the file, or 0xFFFFFFFF past its end.
static uint32_t peek_u32(FILE *fp, uint64_t at, uint64_t size)
{
	uint32_t v = 0xFFFFFFFFu;
	if (at + 4 > size) return v;
	if (fseeko(fp, (off_t)at, SEEK_SET) != 0 || fread(&v, sizeof v, 1, fp) != 1) fatal(MSG_READ_ERROR);
	return v;
}

void load_kmer_hash(const char *path, KmerHash *hash, bool map_file)
{
	memset(hash, 0, sizeof *hash);
	// Closed on every path, fatal errors caught by an embedding program included.
	FilePtr file(open_or_die(path, "rb"));
	FILE *fp = file.get();
	struct stat st;
	if (fstat(fileno(fp), &st) != 0) fatal(MSG_READ_ERROR);
	const uint64_t size = (uint64_t)st.st_size;

	uint32_t k, bits;
	read_or_die(&k, sizeof k, 1, fp);
	read_or_die(&bits, sizeof bits, 1, fp);
	if (k < 1 || k > MAX_KMER_SIZE)
		fatal("[ERROR] Invalid k-mer size %u in hash file [%s]: must be between 1 and %d\n", k, path,
		      MAX_KMER_SIZE);
	if (bits != HASH_BITS)
		fatal("[ERROR] Unsupported hash width %u in hash file [%s]: expected %d bits\n", bits, path,
		      HASH_BITS);
	hash->kmer_size = k;
	hash->hash_bits = bits;
	hash->hash_mask = (1u << bits) - 1;

	// D and P decide every array size: read them first and check that the file holds all
	// the items they announce, so that a short or foreign file never costs an allocation.
	const size_t n_buckets = (size_t)1 << bits;
	const uint64_t keys_at = 8 + 4 * ((uint64_t)n_buckets + 1);
	const uint32_t D = peek_u32(fp, keys_at - 4, size);
	if (D == 0xFFFFFFFFu) fatal(MSG_READ_ERROR);
	const uint64_t positions_at = keys_at + 8 * (uint64_t)D + 4;
	const uint32_t P = peek_u32(fp, positions_at - 4, size);
	if (P == 0xFFFFFFFFu || positions_at + 4 * (uint64_t)P != size) fatal(MSG_READ_ERROR);
	hash->n_kmers = D;
	hash->n_positions = P;
	// The file is mapped, not read: its pages come straight from the page cache, without the
	// zeroing and copying of fresh memory, which costs seconds for a hash of a gigabyte. Lookups
	// go through the slot table, so of the mapping only the positions are ever read.
	// Every array of the format starts on a multiple of 4 bytes. Where the file cannot be
	// mapped, it is read.
	void *m = map_file ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fileno(fp), 0) : MAP_FAILED;
	if (m != MAP_FAILED) {
		hash->mapping = m;
		hash->mapping_bytes = size;
		uint32_t *w = (uint32_t *)((char *)m + 8);
		hash->bucket_starts = w;
		hash->kmer_keys = w + n_buckets + 1;
		hash->kmer_starts = hash->kmer_keys + D;
		hash->kmer_positions = hash->kmer_starts + (size_t)D + 1;
		build_kmer_slots_mapped(hash);
		return;
	}
	if (fseeko(fp, 8, SEEK_SET) != 0) fatal(MSG_READ_ERROR);
	hash->bucket_starts = (uint32_t *)malloc_or_die(n_buckets + 1, sizeof(uint32_t));
	read_or_die(hash->bucket_starts, sizeof(uint32_t), n_buckets + 1, fp);
	hash->kmer_keys = (uint32_t *)malloc_or_die(D, sizeof(uint32_t));
	read_or_die(hash->kmer_keys, sizeof(uint32_t), D, fp);
	hash->kmer_starts = (uint32_t *)malloc_or_die((size_t)D + 1, sizeof(uint32_t));
	read_or_die(hash->kmer_starts, sizeof(uint32_t), (size_t)D + 1, fp);
	hash->kmer_positions = (uint32_t *)malloc_or_die(P, sizeof(uint32_t));
	read_or_die(hash->kmer_positions, sizeof(uint32_t), P, fp);

	check_kmer_tables(hash, 0, (uint32_t)n_buckets, hash->bucket_starts, hash->kmer_starts);
}

void check_kmer_tables(const KmerHash *hash, uint64_t b0, uint32_t n, const uint32_t *bs, const uint32_t *starts)
{
	// Lookups index kmer_keys and kmer_positions through these tables without bounds checks; a
	// table that goes down, or that disagrees with D and P, would send them outside the arrays.
	// (P is the item after the last start, so the starts always end at P.)
	const uint32_t D = hash->n_kmers;
	const bool last = b0 + n == (uint64_t)hash->hash_mask + 1;
	if ((b0 == 0 && bs[0] != 0) || bs[n] > D || (last && bs[n] != D)) fatal(MSG_READ_ERROR);
	for (uint32_t j = 0; j < n; ++j)
		if (bs[j] > bs[j + 1]) fatal(MSG_READ_ERROR);
	const uint32_t entries = bs[n] - bs[0];
	if (entries > 0 && bs[0] == 0 && starts[0] != 0) fatal(MSG_READ_ERROR);
	for (uint32_t r = 0; r < entries; ++r)
		if (starts[r] > starts[r + 1]) fatal(MSG_READ_ERROR);
}

bool kmer_positions_fit(const KmerHash *hash, uint64_t transcriptome_length)
{
	const uint64_t k = hash->kmer_size;
	if (hash->n_positions > 0 && transcriptome_length < k) return false;
	const uint64_t last_start = transcriptome_length - k;
	for (uint32_t j = 0; j < hash->n_positions; ++j)
		if (hash->kmer_positions[j] > last_start) return false;
	return true;
}

void release_kmer_hash(KmerHash *hash)
{
	free(hash->slots);
	if (hash->mapping) {
		munmap(hash->mapping, hash->mapping_bytes);
		memset(hash, 0, sizeof *hash);
		return;
	}
	free(hash->kmer_keys);
	free(hash->kmer_starts);
	free(hash->bucket_starts);
	free(hash->kmer_positions);
	memset(hash, 0, sizeof *hash);
}
