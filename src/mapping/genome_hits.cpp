// The located occurrences of the genome check's seeds: the scratch that holds them, their
// sorting by diagonal, and the verification of a diagonal against the genome text.
#include <cstdint>
#include <cstring>
#include "base/base.h"
#include "mapping/mapping.h"

// ---- scratch growth ----

void reserve_genome_seeds(GenomeScratch *g, int32_t need)
{
	if (need <= g->seed_cap) return;
	const int32_t cap = (int32_t)grown_capacity(g->seed_cap, need, 16);
	g->seeds = (GenomeSeed *)realloc_or_die(g->seeds, (size_t)cap * sizeof(GenomeSeed));
	g->hit_begin = (int64_t *)realloc_or_die(g->hit_begin, (size_t)cap * sizeof(int64_t));
	g->hit_end = (int64_t *)realloc_or_die(g->hit_end, (size_t)cap * sizeof(int64_t));
	g->cursor = (int64_t *)realloc_or_die(g->cursor, (size_t)cap * sizeof(int64_t));
	g->walks = (GenomeWalk *)realloc_or_die(g->walks, (size_t)cap * sizeof(GenomeWalk));
	g->walk_index = (int32_t *)realloc_or_die(g->walk_index, (size_t)cap * sizeof(int32_t));
	g->seed_cap = cap;
}

static GenomeHit *reserve_hits(GenomeHit *buffer, int64_t *cap, int64_t need)
{
	if (need <= *cap) return buffer;
	*cap = grown_capacity(*cap, need, 1024);
	return (GenomeHit *)realloc_or_die(buffer, (size_t)*cap * sizeof(GenomeHit));
}

void release_genome_scratch(GenomeScratch *g)
{
	free(g->rc);
	free(g->seeds);
	free(g->hit_begin);
	free(g->hit_end);
	free(g->cursor);
	free(g->walks);
	free(g->walk_index);
	free(g->hits);
	free(g->merged);
	free(g->rows);
	free(g->row_pos);
	release_locate_scratch(&g->locate);
	*g = GenomeScratch{};
}

// ---- sorting of one seed's hits by diagonal ----

static void insertion_sort_hits(GenomeHit *a, int64_t n)
{
	for (int64_t i = 1; i < n; ++i) {
		const GenomeHit x = a[i];
		int64_t j = i;
		while (j > 0 && a[j - 1].diagonal > x.diagonal) {
			a[j] = a[j - 1];
			--j;
		}
		a[j] = x;
	}
}

// In-place MSD radix sort on 8-bit digits of the diagonal; small buckets by insertion sort.
static void radix_sort_hits(GenomeHit *a, int64_t n, int shift)
{
	int64_t begin[256], end[256], next[256];
	memset(end, 0, sizeof end);
	for (int64_t i = 0; i < n; ++i) end[(a[i].diagonal >> shift) & 0xFF]++;
	int64_t sum = 0;
	for (int b = 0; b < 256; ++b) {
		begin[b] = next[b] = sum;
		sum += end[b];
		end[b] = sum;
	}
	for (int b = 0; b < 256; ++b) {
		while (next[b] < end[b]) {
			GenomeHit x = a[next[b]];
			uint32_t digit = (x.diagonal >> shift) & 0xFF;
			while (digit != (uint32_t)b) {
				const GenomeHit y = a[next[digit]];
				a[next[digit]++] = x;
				x = y;
				digit = (x.diagonal >> shift) & 0xFF;
			}
			a[next[b]++] = x;
		}
	}
	for (int b = 0; b < 256; ++b) {
		const int64_t size = end[b] - begin[b];
		if (size < GENOME_RADIX_MIN) insertion_sort_hits(a + begin[b], size);
		else if (shift > 0) radix_sort_hits(a + begin[b], size, shift - 8);
	}
}

void sort_genome_hits(GenomeHit *a, int64_t n)
{
	if (n >= GENOME_RADIX_MIN) radix_sort_hits(a, n, 24);
	else insertion_sort_hits(a, n);
}

// ---- hits and verification ----

int64_t collect_genome_hits(const GenomeBwt *bwt, const GenomeSeed *seeds, int32_t count,
                            GenomeScratch *g, GenomeHit **list)
{
	reserve_genome_seeds(g, count);
	// Every row of every seed to locate goes into one list, located together: the walks of
	// all seeds overlap their memory latencies, not only those of one seed.
	int64_t n_rows = 0;
	for (int32_t s = 0; s < count; ++s) {
		const uint64_t rows = (uint64_t)seeds[s].hi - seeds[s].lo + 1;
		if (seeds[s].pos == NO_POSITION && rows < MAX_SEED_OCCURRENCES) n_rows += (int64_t)rows;
	}
	if (n_rows > g->row_cap) {
		const int64_t cap = grown_capacity(g->row_cap, n_rows, 1024);
		g->rows = (uint32_t *)realloc_or_die(g->rows, (size_t)cap * sizeof(uint32_t));
		g->row_pos = (uint32_t *)realloc_or_die(g->row_pos, (size_t)cap * sizeof(uint32_t));
		g->row_cap = cap;
	}
	n_rows = 0;
	for (int32_t s = count - 1; s >= 0; --s) {
		const GenomeSeed *seed = &seeds[s];
		if (seed->pos != NO_POSITION || (uint64_t)seed->hi - seed->lo + 1 >= MAX_SEED_OCCURRENCES) continue;
		for (uint32_t r = seed->lo;; ++r) {
			g->rows[n_rows++] = r;
			if (r == seed->hi) break;
		}
	}
	if (g->plain) {
		for (int64_t i = 0; i < n_rows; ++i) g->row_pos[i] = bwt_locate(bwt, g->rows[i]);
	} else {
		bwt_locate_rows(bwt, g->rows, n_rows, g->row_pos, &g->locate);
	}

	int64_t total = 0;
	const uint32_t *located = g->row_pos;
	for (int32_t s = count - 1; s >= 0; --s) {
		const GenomeSeed *seed = &seeds[s];
		g->hit_begin[s] = total;
		const uint64_t rows = (uint64_t)seed->hi - seed->lo + 1;
		if (seed->pos != NO_POSITION) {
			g->hits = reserve_hits(g->hits, &g->hit_cap, total + 1);
			if (seed->pos >= (uint32_t)seed->read_start)
				g->hits[total++] = {seed->read_start, seed->pos - (uint32_t)seed->read_start, seed->length};
		} else if (rows < MAX_SEED_OCCURRENCES) {
			g->hits = reserve_hits(g->hits, &g->hit_cap, total + (int64_t)rows);
			const uint32_t start = (uint32_t)seed->read_start;
			for (uint64_t r = 0; r < rows; ++r) {
				const uint32_t pos = located[r];
				if (pos >= start) g->hits[total++] = {seed->read_start, pos - start, seed->length};
			}
			located += rows;
			sort_genome_hits(g->hits + g->hit_begin[s], total - g->hit_begin[s]);
		}
		g->hit_end[s] = total;
	}

	g->merged = reserve_hits(g->merged, &g->merged_cap, total);
	for (int32_t s = 0; s < count; ++s) g->cursor[s] = g->hit_begin[s];
	for (int64_t out = 0; out < total; ++out) {
		int32_t pick = -1;
		uint32_t pick_diag = 0;
		for (int32_t s = 0; s < count; ++s) {
			if (g->cursor[s] >= g->hit_end[s]) continue;
			const uint32_t d = g->hits[g->cursor[s]].diagonal;
			if (pick < 0 || d < pick_diag) {
				pick = s;
				pick_diag = d;
			}
		}
		g->merged[out] = g->hits[g->cursor[pick]++];
	}
	*list = g->merged;
	return total;
}

int32_t verify_genome_diagonal(const GenomeBwt *bwt, const char *read, int32_t len,
                               const GenomeHit *group, int32_t size, int32_t limit)
{
	const uint64_t D = group[0].diagonal;
	const uint64_t n = bwt->seq_len;
	int32_t lowest = group[0].read_start, highest = group[0].read_start + group[0].seed_length;
	for (int32_t i = 1; i < size; ++i) {
		if (group[i].read_start < lowest) lowest = group[i].read_start;
		if (group[i].read_start + group[i].seed_length > highest)
			highest = group[i].read_start + group[i].seed_length;
	}

	int32_t mismatches = 0;
	// Compares read offsets [from, to); true once the limit is reached. A position past the
	// end of the genome is never read and counts as a mismatch.
	auto compare = [&](int32_t from, int32_t to) -> bool {
		for (int32_t q = from; q < to; ++q) {
			const uint64_t pos = D + (uint64_t)q;
			mismatches += pos >= n ? 1
			                       : MISMATCH_MATRIX[BASE_CODE[(uint8_t)read[q]]][genome_base(bwt, (uint32_t)pos)];
			if (mismatches >= limit) return true;
		}
		return false;
	};

	int32_t cur = lowest;
	for (int32_t i = 0; i < size; ++i) {
		const int32_t start = group[i].read_start;
		if (cur < start) {
			if (compare(cur, start)) return limit;
			cur = start;
		}
		if (start + group[i].seed_length > cur) cur = start + group[i].seed_length;
	}
	if (compare(0, lowest) || compare(highest, len)) return limit;
	return mismatches < limit ? mismatches : limit;
}
