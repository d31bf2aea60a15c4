// Genome BWT in bounded memory: incremental merging of text blocks, right to left
// (Ferragina, Gagie and Manzini, "Lightweight data indexing and compression in external
// memory", Algorithmica 2012). The BWT of the text after the current block is kept in the
// final words layout, so the occurrence queries of index.h do the LF steps, and the last
// merge leaves exactly the words that the whole-text sort would give.
//
// For a block B = T[s, s + m) and the text after it, T' (already transformed):
//  - r[k], the number of suffixes of T' (the empty one included) below S_k = T[s + k ..],
//    comes from a backward walk over B on the BWT of T' (r[m] is the row of T' itself);
//  - the suffixes of B, as they continue into T', are sorted with a 32-bit suffix sort of
//    E[k] = 3 B[k] + g(k), g = 1 at the last base, else 2 when S_{k+1} > T' and 0 when
//    S_{k+1} < T'. At the first difference of two encoded suffixes either the bases differ,
//    or g tells on which side of T' the rests lie; g = 1 ends only the shorter one, so no
//    encoded suffix is a prefix of another and the two orders agree;
//  - the suffix of block rank i lands in merged row r[k] + i with the character B[k - 1]
//    (the marker for k = 0); the old rows keep theirs, the old marker row receiving B[m - 1].
// Memory: 9 bytes per block base, two words arrays, and the packed text.
//
// The suffix-array samples come from LF walks as in the whole-text build, but cut into
// segments that two threads walk at once: the rows of every `stride`-th text position are
// noted when its block is merged and shifted through the later merges (an old row t moves
// down by the number of block suffixes inserted at or above it).
#include <divsufsort.h>
#include <sys/mman.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include "base/base.h"
#include "index/index.h"

// Below these block sizes a block costs more in merges than it saves in memory.
#define MIN_AUTO_BLOCK (1ULL << 22)
#define MAX_AUTO_BLOCK (1ULL << 29)
// Segments of the sample walk: enough to keep two threads busy to the end.
#define SAMPLE_SEGMENTS 64
#define SAMPLE_THREADS 2

// A text position and its row in the BWT built so far.
struct TrackedRow {
	uint32_t pos;
	uint32_t row;
};

struct TrackedRows {
	TrackedRow *items;
	uint64_t count;
	uint64_t stride;
};

static uint64_t words_for(uint64_t n)
{
	return (n + 15) / 16 + 4 * ((n + 63) / 64) + 4;
}

// The LF walks jump at random over the words: large pages save most of their TLB misses.
static uint32_t *alloc_words(uint64_t count)
{
	const size_t bytes = count * sizeof(uint32_t), huge = (size_t)2 << 20;
	void *p = nullptr;
	if (bytes >= huge && posix_memalign(&p, huge, (bytes + huge - 1) / huge * huge) == 0) {
		madvise(p, (bytes + huge - 1) / huge * huge, MADV_HUGEPAGE);  // a hint: failure is harmless
		return (uint32_t *)p;
	}
	return (uint32_t *)realloc_or_die(nullptr, bytes);
}

// Appends stored characters in the words layout, checkpoints included.
struct WordWriter {
	uint32_t *words;
	uint64_t w;      // next word
	uint64_t m;      // characters written
	uint32_t occ[4];
	uint32_t cur;    // the character word being filled
};

static inline void writer_put(WordWriter *wr, uint32_t c)
{
	if ((wr->m & 63) == 0) {
		memcpy(wr->words + wr->w, wr->occ, sizeof wr->occ);
		wr->w += 4;
	}
	wr->cur |= c << (30 - 2 * (wr->m & 15));
	++wr->occ[c];
	if ((++wr->m & 15) == 0) {
		wr->words[wr->w++] = wr->cur;
		wr->cur = 0;
	}
}

static void writer_finish(WordWriter *wr)
{
	if (wr->m & 15) wr->words[wr->w++] = wr->cur;
	memcpy(wr->words + wr->w, wr->occ, sizeof wr->occ);
	wr->w += 4;
}

// Reads the stored characters of a words array in order.
struct WordReader {
	const uint32_t *words;
	uint64_t m;
	uint32_t cur;
};

static inline uint32_t reader_next(WordReader *rd)
{
	if ((rd->m & 15) == 0) rd->cur = rd->words[8 * (rd->m >> 6) + 4 + ((rd->m >> 4) & 3)];
	const uint32_t c = rd->cur >> 30;
	rd->cur <<= 2;
	++rd->m;
	return c;
}

// Ranks r[0..m] of the block's suffixes among the suffixes of T' (see the file comment).
static void block_ranks(const GenomeBwt *text, uint64_t s, uint64_t m, const GenomeBwt *tail, uint32_t *r)
{
	r[m] = tail->primary;
	for (uint64_t k = m; k-- > 0;) {
		const uint32_t c = genome_base(text, (uint32_t)(s + k));
		r[k] = 1 + tail->c_table[c] + bwt_occurrences(tail, r[k + 1] - 1, c);
	}
}

// Merges block T[s, s + m) into `tail` (the BWT of the text after it), in place of tail,
// and brings the tracked rows up to date.
static void merge_block(const GenomeBwt *text, uint64_t s, uint64_t m, GenomeBwt *tail, TrackedRows *tracked)
{
	uint32_t *rank = (uint32_t *)realloc_or_die(nullptr, (m + 1) * sizeof(uint32_t));
	block_ranks(text, s, m, tail, rank);

	uint8_t *enc = (uint8_t *)realloc_or_die(nullptr, m);
	for (uint64_t k = 0; k + 1 < m; ++k)
		enc[k] = (uint8_t)(3 * genome_base(text, (uint32_t)(s + k)) + (rank[k + 1] > rank[m] ? 2 : 0));
	enc[m - 1] = (uint8_t)(3 * genome_base(text, (uint32_t)(s + m - 1)) + 1);
	saidx_t *sa = (saidx_t *)realloc_or_die(nullptr, m * sizeof(saidx_t));
	if (divsufsort(enc, sa, (saidx_t)m) != 0) fatal(MSG_NO_MEMORY);

	// In block-rank order: the insertion row (nondecreasing) and the character (4: marker).
	// Rows of earlier tracked positions move past the inserted ones; this block's are added.
	uint32_t *insert = (uint32_t *)sa;
	uint8_t *chars = enc;
	const uint64_t old_tracked = tracked->count;
	for (uint64_t i = 0; i < m; ++i) {
		const uint32_t k = (uint32_t)sa[i];
		chars[i] = k ? (uint8_t)genome_base(text, (uint32_t)(s + k - 1)) : 4;
		insert[i] = rank[k];
		if ((s + k) % tracked->stride == 0) tracked->items[tracked->count++] = {(uint32_t)(s + k), (uint32_t)(rank[k] + i)};
	}
	for (uint64_t t = 0; t < old_tracked; ++t) {
		uint32_t &row = tracked->items[t].row;
		row += (uint32_t)(std::upper_bound(insert, insert + m, row) - insert);
	}
	const uint32_t last_base = genome_base(text, (uint32_t)(s + m - 1));
	free(rank);

	const uint64_t old_n = tail->seq_len, new_n = old_n + m;
	WordWriter wr = {alloc_words(words_for(new_n)), 0, 0, {0, 0, 0, 0}, 0};
	WordReader rd = {tail->bwt_words, 0, 0};
	uint64_t j = 0, row = 0, primary = 0;
	for (uint64_t t = 0; t <= old_n; ++t) {
		for (; j < m && insert[j] <= t; ++j, ++row) {
			if (chars[j] == 4) primary = row;
			else writer_put(&wr, chars[j]);
		}
		writer_put(&wr, t == tail->primary ? last_base : reader_next(&rd));
		++row;
	}
	for (; j < m; ++j, ++row) {
		if (chars[j] == 4) primary = row;
		else writer_put(&wr, chars[j]);
	}
	writer_finish(&wr);
	free(sa);
	free(enc);

	free(tail->bwt_words);
	tail->bwt_words = wr.words;
	tail->bwt_word_count = (uint32_t)wr.w;
	tail->seq_len = (uint32_t)new_n;
	tail->primary = (uint32_t)primary;
	for (int c = 0; c < 4; ++c) tail->c_table[c + 1] = tail->c_table[c] + wr.occ[c];
}

// Walks the segments between consecutive tracked positions (sorted, the first at 0, the
// last at n on row 0) on SAMPLE_THREADS threads; every row is visited once, as in the
// single walk from the marker's row.
static void sample_segments(GenomeBwt *bwt, const TrackedRow *points, uint64_t count)
{
	std::atomic<uint64_t> next(0);
	auto walk = [&]() {
		for (uint64_t j; (j = next.fetch_add(1)) + 1 < count;) {
			const uint64_t seg = count - 2 - j;  // the text end first: its segments are the longest-lived
			uint32_t row = points[seg + 1].row, pos = points[seg + 1].pos;
			for (uint32_t steps = pos - points[seg].pos; steps > 0; --steps) {
				if (row % SA_INTERVAL == 0) bwt->sa_samples[row / SA_INTERVAL] = pos;
				--pos;
				row = bwt_lf(bwt, row);
			}
		}
	};
	std::thread helper(walk);
	walk();
	helper.join();
	const uint32_t row = points[0].row;  // the row of position 0, the marker's
	if (row % SA_INTERVAL == 0) bwt->sa_samples[row / SA_INTERVAL] = 0;
	bwt->sa_samples[0] = 0xFFFFFFFFu;
}

void compute_bwt_blockwise(GenomeBwt *bwt, uint64_t block_bases)
{
	if (!bwt || !bwt->packed_seq) fatal("[ERROR] BWT was not allocated or pac was not preloaded\n");
	const uint64_t n = bwt->seq_len;
	// The suffix sort indexes a block with signed 32-bit integers.
	if (block_bases == 0 || block_bases > 0x7FFFFFFFULL) block_bases = 0x7FFFFFFFULL;

	// The BWT of the empty text: the marker's row alone, no stored character.
	GenomeBwt tail;
	memset(&tail, 0, sizeof tail);
	tail.bwt_words = (uint32_t *)realloc_or_die(nullptr, words_for(0) * sizeof(uint32_t));
	memset(tail.bwt_words, 0, words_for(0) * sizeof(uint32_t));
	tail.bwt_word_count = (uint32_t)words_for(0);
	TrackedRows tracked;
	tracked.stride = n / SAMPLE_SEGMENTS + 1;
	tracked.items = (TrackedRow *)realloc_or_die(nullptr, (n / tracked.stride + 2) * sizeof(TrackedRow));
	tracked.count = 0;

	// The first block is the short one, so that every later block has its full size.
	uint64_t end = n;
	while (end > 0) {
		uint64_t m = end % block_bases;
		if (m == 0) m = block_bases;
		merge_block(bwt, end - m, m, &tail, &tracked);
		end -= m;
	}
	free(bwt->bwt_words);
	bwt->bwt_words = tail.bwt_words;
	bwt->bwt_word_count = tail.bwt_word_count;
	bwt->primary = tail.primary;
	memcpy(bwt->c_table, tail.c_table, sizeof tail.c_table);

	tracked.items[tracked.count++] = {(uint32_t)n, 0};  // the empty suffix, row 0
	std::sort(tracked.items, tracked.items + tracked.count,
	          [](const TrackedRow &a, const TrackedRow &b) { return a.pos < b.pos; });
	free(bwt->sa_samples);
	bwt->sa_count = (uint32_t)((n + SA_INTERVAL) / SA_INTERVAL);
	bwt->sa_samples = (uint32_t *)realloc_or_die(nullptr, (size_t)bwt->sa_count * sizeof(uint32_t));
	memset(bwt->sa_samples, 0, (size_t)bwt->sa_count * sizeof(uint32_t));
	sample_segments(bwt, tracked.items, tracked.count);
	free(tracked.items);
}

uint64_t bwt_block_bases(uint64_t n)
{
	const char *forced = getenv("VORAT_BWT_BLOCK");
	if (forced && *forced) return strtoull(forced, nullptr, 10);
	const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
	const uint64_t memory = pages > 0 && page_size > 0 ? (uint64_t)pages * (uint64_t)page_size : 0;
	// The whole-text sort holds the text, an 8-byte suffix array, the packed text and the
	// words: about 10 bytes per base. It is the faster one while that is half the memory.
	if (memory == 0 || 10 * n <= memory / 2) return 0;
	uint64_t block = memory / 36;  // 9 bytes per block base in a quarter of the memory
	if (block < MIN_AUTO_BLOCK) block = MIN_AUTO_BLOCK;
	if (block > MAX_AUTO_BLOCK) block = MAX_AUTO_BLOCK;
	return block;
}
