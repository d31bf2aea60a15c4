// Genome BWT: FASTA packing, BWT with divbwt64 (or blockwise, bwt_blockwise.cpp), occurrence checkpoints, suffix-array
// samples, and the .bwt writer and loader. The queries live in index.h (inline: they are
// the inner loop of the genome check).
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <zlib.h>
#include <divsufsort64.h>
#include <cstdlib>
#include <cstring>
#include "base/base.h"
#include "index/index.h"

#define INITIAL_PACKED_BASES 65536

// Number of bwt_words for n stored characters.
static uint64_t bwt_words_for(uint64_t n)
{
	return (n + 15) / 16 + 4 * ((n + 63) / 64) + 4;
}

// Concatenate every record of the FASTA (duplicate names included: the genome load that
// follows warns about them) into a 2-bit text.
// Non-ACGT bases become rand() & 3; the generator is seeded once per build so that the
// same FASTA always gives the same text.
static void pack_genome(const char *genome_path, GenomeBwt *bwt)
{
	srand(11);
	uint64_t n = 0, capacity = INITIAL_PACKED_BASES;
	uint8_t *packed = (uint8_t *)malloc_or_die(capacity / 4, 1, true);
	FastaReaderPtr reader(fasta_open(genome_path));
	FastaRecord record;
	while (fasta_next(reader.get(), &record)) {
		const uint64_t len = record.length;
		if (n + len > MAX_GENOME_LENGTH) fatal("[ERROR] Genome length exceeds 4Bbp. Use Vora 64bit instead\n");
		if (n + len > capacity) {
			uint64_t grown = capacity;
			while (grown < n + len) grown *= 2;
			uint8_t *p = (uint8_t *)realloc_or_die(packed, grown / 4);
			memset(p + capacity / 4, 0, (grown - capacity) / 4);
			packed = p;
			capacity = grown;
		}
		const uint8_t *s = (const uint8_t *)record.bases;
		for (uint64_t i = 0; i < len; ++i, ++n) {
			uint32_t c = BASE_CODE[s[i]];
			if (c == 4) c = (uint32_t)rand() & 3;
			packed[n >> 2] |= (uint8_t)(c << (6 - 2 * (n & 3)));
		}
	}
	if (n == 0) fatal("[ERROR] No genome base in file [%s]\n", genome_path);
	uint8_t *trimmed = (uint8_t *)realloc(packed, (n + 3) / 4);
	if (trimmed) packed = trimmed;
	bwt->packed_seq = packed;
	bwt->seq_len = (uint32_t)n;
}

void compute_bwt(GenomeBwt *bwt)
{
	if (!bwt || !bwt->packed_seq) fatal("[ERROR] BWT was not allocated or pac was not preloaded\n");
	const uint64_t n = bwt->seq_len;
	const uint64_t block_bases = bwt_block_bases(n);
	if (block_bases > 0) {
		compute_bwt_blockwise(bwt, block_bases);
		return;
	}

	// One code per byte, plus the zero byte after the text.
	uint8_t *text = (uint8_t *)malloc_or_die(n + 1, 1, false);
	uint64_t counts[4] = {0, 0, 0, 0};
	for (uint64_t i = 0; i < n; ++i) {
		uint8_t c = (uint8_t)genome_base(bwt, (uint32_t)i);
		text[i] = c;
		++counts[c];
	}
	text[n] = 0;
	bwt->c_table[0] = 0;
	for (int c = 0; c < 4; ++c) bwt->c_table[c + 1] = bwt->c_table[c] + (uint32_t)counts[c];

	saidx64_t primary = divbwt64(text, text, nullptr, (saidx64_t)n);
	if (primary < 0) fatal(MSG_NO_MEMORY);
	bwt->primary = (uint32_t)primary;

	const uint64_t word_count = bwt_words_for(n);
	uint32_t *words = (uint32_t *)malloc_or_die(word_count, sizeof(uint32_t), true);
	uint32_t occ[4] = {0, 0, 0, 0};
	uint64_t w = 0;
	for (uint64_t block = 0; block < n; block += OCC_INTERVAL) {
		memcpy(words + w, occ, sizeof occ);
		w += 4;
		const uint64_t block_end = block + OCC_INTERVAL < n ? block + OCC_INTERVAL : n;
		for (uint64_t start = block; start < block_end; start += 16, ++w) {
			const uint64_t end = start + 16 < block_end ? start + 16 : block_end;
			uint32_t word = 0;
			for (uint64_t m = start; m < end; ++m) {
				word |= (uint32_t)text[m] << (30 - 2 * (m & 15));
				++occ[text[m]];
			}
			words[w] = word;
		}
	}
	memcpy(words + w, occ, sizeof occ);
	w += 4;
	free(text);

	bwt->bwt_word_count = (uint32_t)w;
	bwt->bwt_words = words;
}

GenomeBwt *build_genome_bwt(const char *genome_path)
{
	GenomeBwt *bwt = (GenomeBwt *)malloc_or_die(1, sizeof(GenomeBwt), true);
	pack_genome(genome_path, bwt);
	compute_bwt(bwt);

	if (bwt->sa_samples) return bwt;  // the blockwise build samples on its own

	// Walk the text backwards from the marker's row: the k-th step reaches the row of the
	// suffix at position n - k. Keep the position of every 16th row.
	const uint32_t n = bwt->seq_len;
	bwt->sa_count = (uint32_t)(((uint64_t)n + SA_INTERVAL) / SA_INTERVAL);
	bwt->sa_samples = (uint32_t *)malloc_or_die(bwt->sa_count, sizeof(uint32_t), true);
	uint32_t row = 0, pos = n;
	for (uint32_t i = 0; i < n; ++i) {
		if (row % SA_INTERVAL == 0) bwt->sa_samples[row / SA_INTERVAL] = pos;
		--pos;
		row = bwt_lf(bwt, row);
	}
	if (row % SA_INTERVAL == 0) bwt->sa_samples[row / SA_INTERVAL] = pos;
	bwt->sa_samples[0] = 0xFFFFFFFFu;
	return bwt;
}

void write_genome_bwt(const char *path, const GenomeBwt *bwt)
{
	FilePtr file(open_or_die(path, "wb"));
	FILE *fp = file.get();
	const uint32_t n = bwt->seq_len;
	write_or_die(&n, sizeof n, 1, fp);
	write_or_die(bwt->packed_seq, 1, ((size_t)n + 3) / 4, fp);
	write_or_die(&bwt->primary, sizeof(uint32_t), 1, fp);
	write_or_die(bwt->c_table + 1, sizeof(uint32_t), 4, fp);
	write_or_die(&bwt->bwt_word_count, sizeof(uint32_t), 1, fp);
	write_or_die(bwt->bwt_words, sizeof(uint32_t), bwt->bwt_word_count, fp);
	write_or_die(&bwt->sa_count, sizeof(uint32_t), 1, fp);
	write_or_die(bwt->sa_samples, sizeof(uint32_t), bwt->sa_count, fp);
	close_written_file(&file);
}

// Trust a count read from the file only when the bytes it announces are still there.
static void check_fits(uint64_t bytes, uint64_t *remaining)
{
	if (bytes > *remaining) fatal(MSG_READ_ERROR);
	*remaining -= bytes;
}

// The queries trust the checkpoints and the samples: a checkpoint that disagrees with the
// characters before it gives rows outside 0..n, and a sample beyond the text sends the
// genome check outside the packed sequence. Recounting costs one pass over the words.
static void check_bwt_tables(const GenomeBwt *bwt)
{
	const uint64_t n = bwt->seq_len;
	const uint32_t *words = bwt->bwt_words;
	uint32_t occ[4] = {0, 0, 0, 0};
	uint64_t w = 0;
	for (uint64_t block = 0; block < n; block += OCC_INTERVAL) {
		if (memcmp(words + w, occ, sizeof occ) != 0) fatal(MSG_READ_ERROR);
		w += 4;
		const uint64_t block_end = block + OCC_INTERVAL < n ? block + OCC_INTERVAL : n;
		for (uint64_t start = block; start < block_end; start += 16, ++w) {
			const uint32_t valid = (uint32_t)(block_end - start < 16 ? block_end - start : 16);
			const uint32_t word = words[w] & (0xFFFFFFFFu << (2 * (16 - valid)));  // valid >= 1
			for (uint32_t c = 0; c < 4; ++c) occ[c] += bwt_count_in_word(word, c);
			occ[0] -= 16 - valid;  // the cleared fields read as A
		}
	}
	if (memcmp(words + w, occ, sizeof occ) != 0) fatal(MSG_READ_ERROR);
	for (uint32_t c = 0; c < 4; ++c)
		if (bwt->c_table[c + 1] - bwt->c_table[c] != occ[c]) fatal(MSG_READ_ERROR);
	if (bwt->sa_samples[0] != 0xFFFFFFFFu) fatal(MSG_READ_ERROR);
	for (uint32_t j = 1; j < bwt->sa_count; ++j)
		if (bwt->sa_samples[j] >= n) fatal(MSG_READ_ERROR);
}

void load_genome_bwt(const char *path, GenomeBwt *bwt)
{
	memset(bwt, 0, sizeof *bwt);
	// Closed on every path, fatal errors caught by an embedding program included.
	FilePtr file(open_or_die(path, "rb"));
	FILE *fp = file.get();
	struct stat st;
	if (fstat(fileno(fp), &st) != 0) fatal(MSG_READ_ERROR);
	uint64_t remaining = (uint64_t)st.st_size;

	check_fits(4, &remaining);
	read_or_die(&bwt->seq_len, sizeof(uint32_t), 1, fp);
	const uint64_t n = bwt->seq_len;
	const uint64_t packed_bytes = (n + 3) / 4;
	check_fits(packed_bytes + 4 + 16 + 4, &remaining);
	// The text and the samples are read little and at random: they are used where they lie in
	// the page cache, which spares zeroing and copying fresh memory (about half a second per
	// gigabase). The occurrence words, read on every step, are copied into memory that can
	// take huge pages. Where the file cannot be mapped, everything is read.
	const uint64_t file_bytes = (uint64_t)st.st_size;
	void *m = mmap(nullptr, file_bytes, PROT_READ, MAP_PRIVATE, fileno(fp), 0);
	if (m != MAP_FAILED) {
		bwt->mapping = m;
		bwt->mapping_bytes = file_bytes;
		bwt->packed_seq = (uint8_t *)m + 4;
		if (fseeko(fp, (off_t)(4 + packed_bytes), SEEK_SET) != 0) fatal(MSG_READ_ERROR);
	} else {
		bwt->packed_seq = (uint8_t *)malloc_or_die(packed_bytes, 1);
		read_or_die(bwt->packed_seq, 1, packed_bytes, fp);
	}
	read_or_die(&bwt->primary, sizeof(uint32_t), 1, fp);
	bwt->c_table[0] = 0;
	read_or_die(bwt->c_table + 1, sizeof(uint32_t), 4, fp);
	read_or_die(&bwt->bwt_word_count, sizeof(uint32_t), 1, fp);

	// The queries address bwt_words and sa_samples from n and primary without bounds
	// checks: the stored sizes and totals must be the ones n implies, and the marker's
	// row is never row 0 (the marker's own suffix) unless the text is empty.
	const uint32_t *ct = bwt->c_table;
	const bool primary_ok = n == 0 ? bwt->primary == 0 : bwt->primary >= 1 && bwt->primary <= n;
	if (bwt->bwt_word_count != bwt_words_for(n) || !primary_ok || ct[4] != n || ct[1] > ct[2] ||
	    ct[2] > ct[3] || ct[3] > ct[4])
		fatal(MSG_READ_ERROR);

	report("Gonna allocate %llu MB for bwt...\n",
	       (unsigned long long)bwt->bwt_word_count * 4 / 1000000);
	check_fits((uint64_t)bwt->bwt_word_count * 4 + 4, &remaining);
	bwt->bwt_words = (uint32_t *)malloc_table_or_die(bwt->bwt_word_count, sizeof(uint32_t));
	read_or_die(bwt->bwt_words, sizeof(uint32_t), bwt->bwt_word_count, fp);

	read_or_die(&bwt->sa_count, sizeof(uint32_t), 1, fp);
	if (bwt->sa_count != (n + SA_INTERVAL) / SA_INTERVAL) fatal(MSG_READ_ERROR);
	report("Gonna allocate %ld MB for SA...\n", (long)((uint64_t)bwt->sa_count * 4 / 1000000));
	check_fits((uint64_t)bwt->sa_count * 4, &remaining);
	const uint64_t samples_at = file_bytes - (uint64_t)bwt->sa_count * 4;
	if (bwt->mapping && samples_at % 4 == 0) {
		bwt->sa_samples = (uint32_t *)((uint8_t *)bwt->mapping + samples_at);
	} else {
		bwt->sa_samples = (uint32_t *)malloc_or_die(bwt->sa_count, sizeof(uint32_t));
		read_or_die(bwt->sa_samples, sizeof(uint32_t), bwt->sa_count, fp);
	}
	if (remaining != 0) fatal(MSG_READ_ERROR);  // bytes after the last item: not one of ours
	check_bwt_tables(bwt);
}

// How many walks ahead a level of bwt_locate_rows asks for the block it will read: enough to
// cover a memory latency with the work on the walks in between.
#define LOCATE_PREFETCH 32

static void reserve_locate(LocateScratch *s, int64_t n)
{
	if (n <= s->cap) return;
	const int64_t cap = grown_capacity(s->cap, n, 1024);
	s->row = (uint32_t *)realloc_or_die(s->row, (size_t)cap * sizeof(uint32_t));
	s->item = (uint32_t *)realloc_or_die(s->item, (size_t)cap * sizeof(uint32_t));
	s->next_row = (uint32_t *)realloc_or_die(s->next_row, (size_t)cap * sizeof(uint32_t));
	s->next_item = (uint32_t *)realloc_or_die(s->next_item, (size_t)cap * sizeof(uint32_t));
	s->next_class = (uint8_t *)realloc_or_die(s->next_class, (size_t)cap);
	s->cap = cap;
}

void bwt_locate_rows(const GenomeBwt *bwt, const uint32_t *rows, int64_t n, uint32_t *pos,
                     LocateScratch *s)
{
	reserve_locate(s, n);
	for (int64_t i = 0; i < n; ++i) {
		s->row[i] = rows[i];
		s->item[i] = (uint32_t)i;
	}
	// What the step of row k reads: its sample once it is a sampled row, else its block.
	auto prefetch = [bwt](uint32_t k) {
		if (k % SA_INTERVAL == 0) {
			__builtin_prefetch(bwt->sa_samples + k / SA_INTERVAL);
		} else {
			const uint32_t m = k > bwt->primary ? k - 1 : k;
			__builtin_prefetch(bwt->bwt_words + 8 * (size_t)(m >> 6));
		}
	};
	int64_t live = n;
	for (uint32_t steps = 0; live > 0; ++steps) {
		// As in bwt_locate: a walk longer than the text is a cycle of a broken BWT.
		if (steps > bwt->seq_len) bwt_corrupted();
		int64_t moved = 0, per_class[5] = {0, 0, 0, 0, 0};
		for (int64_t i = 0; i < live; ++i) {
			if (i + LOCATE_PREFETCH < live) prefetch(s->row[i + LOCATE_PREFETCH]);
			const uint32_t k = s->row[i];
			if (k % SA_INTERVAL == 0) {
				pos[s->item[i]] = bwt->sa_samples[k / SA_INTERVAL] + steps;
				continue;
			}
			uint32_t cls = 0, next = 0;  // the marker's row steps to row 0, before every base
			if (k != bwt->primary) {
				const uint32_t c = bwt_char(bwt, k);
				cls = c + 1;
				next = bwt->c_table[c] + bwt_occurrences(bwt, k, c);
			}
			s->next_row[moved] = next;
			s->next_item[moved] = s->item[i];
			s->next_class[moved++] = (uint8_t)cls;
			++per_class[cls];
		}
		// Back in row order: a stable partition by the character stepped over.
		int64_t at[5];
		at[0] = 0;
		for (int c = 1; c < 5; ++c) at[c] = at[c - 1] + per_class[c - 1];
		for (int64_t i = 0; i < moved; ++i) {
			const int64_t to = at[s->next_class[i]]++;
			s->row[to] = s->next_row[i];
			s->item[to] = s->next_item[i];
		}
		live = moved;
	}
}

void release_locate_scratch(LocateScratch *s)
{
	free(s->row);
	free(s->item);
	free(s->next_row);
	free(s->next_item);
	free(s->next_class);
	*s = LocateScratch{};
}

void bwt_corrupted()
{
	fatal(MSG_READ_ERROR);
}

void release_genome_bwt(GenomeBwt *bwt)
{
	const uint8_t *mapped = (const uint8_t *)bwt->mapping;
	auto in_mapping = [&](const void *p) {
		return mapped && (const uint8_t *)p >= mapped && (const uint8_t *)p < mapped + bwt->mapping_bytes;
	};
	if (!in_mapping(bwt->packed_seq)) free(bwt->packed_seq);
	if (!in_mapping(bwt->sa_samples)) free(bwt->sa_samples);
	if (mapped) munmap(bwt->mapping, bwt->mapping_bytes);
	bwt->mapping = nullptr;
	bwt->mapping_bytes = 0;
	free(bwt->bwt_words);
	free(bwt->kmer_lo);
	free(bwt->kmer_hi);
	bwt->kmer_k = 0;
	bwt->kmer_lo = nullptr;
	bwt->kmer_hi = nullptr;
	bwt->packed_seq = nullptr;
	bwt->bwt_words = nullptr;
	bwt->sa_samples = nullptr;
}
