// The genome check: a read counts for a gene only
// when no ungapped placement anywhere in the genome, on either strand, has fewer mismatches
// than its best transcript alignment. The genome is searched by backward search over its BWT:
// exact seeds ending at anchors every 13 bases, located, grouped by diagonal and verified.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include "base/base.h"
#include "mapping/mapping.h"

const int32_t MISMATCH_MATRIX[5][5] = {
	{0, 1, 1, 1, 1},
	{1, 0, 1, 1, 1},
	{1, 1, 0, 1, 1},
	{1, 1, 1, 0, 1},
	{1, 1, 1, 1, 1},
};

// Whether bases[from .. from + length - 1] occur at genome position pos (within the genome).
static bool bases_occur_at(const GenomeBwt *bwt, const char *bases, int32_t from, int32_t length, uint32_t pos)
{
	if ((uint64_t)pos + (uint64_t)length > bwt->seq_len) return false;
	for (int32_t i = 0; i < length; ++i)
		if (BASE_CODE[(uint8_t)bases[from + i]] != genome_base(bwt, pos + (uint32_t)i)) return false;
	return true;
}

// The walk from anchor a before its first step: the first k steps in one lookup when the k bases
// are ACGT and every step finds rows; otherwise the steps find where the walk ends. (Nothing
// depends on the rows of the first k < MIN_GENOME_SEED steps.)
static GenomeWalk start_walk(const GenomeBwt *bwt, const char *bases, int32_t a)
{
	GenomeWalk w{a, a, 0, bwt->seq_len};
	const int32_t k = bwt->kmer_k;
	if (k > 0 && a + 1 >= k) {
		uint32_t code = 0;
		int32_t i = a - k + 1;
		for (; i <= a; ++i) {
			const uint32_t c = BASE_CODE[(uint8_t)bases[i]];
			if (c > 3) break;
			code = code << 2 | c;
		}
		if (i > a && bwt->kmer_lo[code] <= bwt->kmer_hi[code]) {
			w.lo = bwt->kmer_lo[code];
			w.hi = bwt->kmer_hi[code];
			w.q = a - k;
		}
	}
	return w;
}

// One step of the walk. Returns 0 while it goes on; else fills the seed {q + 1, a - q, lo, hi,
// pos} of the longest exact match of read[.. a] and returns 1.
//
// Once the rows narrow to one and the match is long enough to be a seed anyway, the one
// occurrence is placed in the genome and the walk goes on along the genome text: a single row
// survives the step with base c exactly when the genome base before its suffix is c. This
// replaces random BWT accesses by sequential ones and gives the same match. The position comes
// from a seed of this read that contains the match (its only occurrence then lies on that
// seed's diagonal), from the transcript alignment's place, or from bwt_locate, which
// collect_genome_hits would need anyway.
//
// A walk that only asks whether the whole read occurs (`whole`) places a single row of any
// length when the transcript alignment's place holds the match: what it goes on to find is the
// same, and nothing else reads its rows.
static int step_walk(const GenomeBwt *bwt, const char *bases, GenomeWalk *w, const GenomeSeed *known, int32_t n_known,
                     const PlacementHint *hint, GenomeSeed *seed, bool whole = false)
{
	int32_t q = w->q;
	uint32_t pos = NO_POSITION;
	if (q >= 0) {
		const uint32_t c = BASE_CODE[(uint8_t)bases[q]];
		if (c <= 3 && genome_backward_step(bwt, c, &w->lo, &w->hi)) {
			w->q = --q;
			const int32_t a = w->a;
			if (w->lo != w->hi) return 0;
			if (a - q < MIN_GENOME_SEED) {
				if (!whole || !hint) return 0;
				const uint32_t guess = hint_text_position(hint, q + 1);
				if (guess == NO_POSITION || !bases_occur_at(bwt, bases, q + 1, a - q, guess)) return 0;
				pos = guess;
			}
			for (int32_t i = 0; i < n_known && pos == NO_POSITION; ++i)
				if (known[i].pos != NO_POSITION && known[i].read_start <= q + 1 &&
				    a < known[i].read_start + known[i].length)
					pos = known[i].pos + (uint32_t)(q + 1 - known[i].read_start);
			// The transcript alignment's place, when the match is found there: it is the
			// only occurrence, so that is where the single row points.
			if (pos == NO_POSITION && hint) {
				const uint32_t guess = hint_text_position(hint, q + 1);
				if (guess != NO_POSITION && bases_occur_at(bwt, bases, q + 1, a - q, guess)) pos = guess;
			}
			if (pos == NO_POSITION) pos = bwt_locate(bwt, w->lo);
			while (q >= 0 && pos > 0) {
				const uint32_t b = BASE_CODE[(uint8_t)bases[q]];
				if (b > 3 || b != genome_base(bwt, pos - 1)) break;
				--pos;
				--q;
			}
		}
	}
	*seed = {q + 1, w->a - q, w->lo, w->hi, pos};
	return 1;
}

// The longest exact match of read[.. a] in the genome, walked backwards from offset a by
// backward search. Returns the offset q' at which the walk stopped (-1 when it ran through
// offset 0) and fills the seed {q' + 1, a - q', ...}.
static int32_t walk_back(const GenomeBwt *bwt, const char *bases, int32_t a, const GenomeSeed *known,
                         int32_t n_known, const PlacementHint *hint, GenomeSeed *seed)
{
	GenomeWalk w = start_walk(bwt, bases, a);
	while (!step_walk(bwt, bases, &w, known, n_known, hint, seed)) {}
	return seed->read_start - 1;
}

// Ask for the occurrence blocks that the walk's next step reads.
static inline void prefetch_step(const GenomeBwt *bwt, const GenomeWalk *w)
{
	for (uint32_t k : {w->lo - 1, w->hi}) {
		if (k == 0xFFFFFFFFu || k >= bwt->seq_len) continue;
		const uint32_t m = k >= bwt->primary ? k - 1 : k;
		__builtin_prefetch(bwt->bwt_words + 8 * (size_t)(m >> 6));
	}
}

// walk_back from every anchor a = first, first - GENOME_SEED_STEP, ... down to
// GENOME_SEED_STEP - 1, the walks advancing together a step each per round, so that their misses
// in the occurrence table overlap. Seeds of MIN_GENOME_SEED bases or more are appended to
// seeds[count ..] in anchor order, as one walk after the other would; returns the new count.
// Walks place single rows with the help of seeds[0 .. count - 1] and of the walks already done.
static int32_t walk_anchors(const GenomeBwt *bwt, const char *bases, int32_t first, GenomeSeed *seeds,
                            int32_t count, const PlacementHint *hint, GenomeScratch *g)
{
	const int32_t n = first >= GENOME_SEED_STEP - 1 ? (first - (GENOME_SEED_STEP - 1)) / GENOME_SEED_STEP + 1 : 0;
	if (n == 0) return count;
	reserve_genome_seeds(g, count + n);
	seeds = g->seeds;
	// Walk i writes seeds[count + i], which counts as known once its position is set.
	GenomeSeed *done = seeds + count;
	GenomeWalk *walks = g->walks;
	int32_t *index = g->walk_index;
	for (int32_t i = 0; i < n; ++i) {
		done[i] = GenomeSeed{};
		walks[i] = start_walk(bwt, bases, first - i * GENOME_SEED_STEP);
		index[i] = i;
	}
	int32_t active = n;
	while (active > 0) {
		for (int32_t j = 0; j < active; ++j) prefetch_step(bwt, &walks[index[j]]);
		int32_t kept = 0;
		for (int32_t j = 0; j < active; ++j) {
			const int32_t i = index[j];
			// Known: the seeds before the anchors, and the anchors' seeds (those not done yet have
			// no position).
			if (!step_walk(bwt, bases, &walks[i], seeds, count + n, hint, &done[i])) index[kept++] = i;
		}
		active = kept;
	}
	for (int32_t i = 0; i < n; ++i)
		if (done[i].length >= MIN_GENOME_SEED) seeds[count++] = done[i];  // in place: count <= count + i
	return count;
}

// Whether the bases may have a placement with fewer than `limit` mismatches, cut into `limit`
// pieces (at most MAX_PIECES): one of the pieces would match there, so it occurs in the genome.
// When none occurs, no seed can lead to a placement either. The pieces are searched backwards
// together, a step each per round, so that their misses overlap.
#define MAX_PIECES 8
static bool pieces_occur(const GenomeBwt *bwt, const char *bases, int32_t len, int32_t limit)
{
	if (limit > MAX_PIECES) return true;
	GenomeWalk walks[MAX_PIECES];
	int32_t from[MAX_PIECES];
	for (int32_t j = 0; j < limit; ++j) {
		from[j] = (int32_t)((int64_t)len * j / limit);
		const int32_t last = (int32_t)((int64_t)len * (j + 1) / limit) - 1;
		walks[j] = last + 1 - from[j] >= bwt->kmer_k ? start_walk(bwt, bases, last)
		                                            : GenomeWalk{last, last, 0, bwt->seq_len};
	}
	int32_t active = limit;
	int32_t index[MAX_PIECES];
	for (int32_t j = 0; j < limit; ++j) index[j] = j;
	while (active > 0) {
		for (int32_t i = 0; i < active; ++i) prefetch_step(bwt, &walks[index[i]]);
		int32_t kept = 0;
		for (int32_t i = 0; i < active; ++i) {
			GenomeWalk *w = &walks[index[i]];
			if (w->q < from[index[i]]) return true;
			const uint32_t c = BASE_CODE[(uint8_t)bases[w->q]];
			if (c > 3 || !genome_backward_step(bwt, c, &w->lo, &w->hi)) continue;
			--w->q;
			index[kept++] = index[i];
		}
		active = kept;
	}
	return false;
}

// Seeds with this many rows or more may be left unlocated.
#define SET_ASIDE_MIN_ROWS 2

// Take out of the seeds the ones with the most rows whose lengths add up to less than
// MIN_DIAGONAL_SUPPORT (at most two, as seeds are MIN_GENOME_SEED long or more) into `aside`,
// keeping the order of the others; returns how many remain. A diagonal that only set-aside
// seeds support cannot reach the support that verification needs, so every diagonal that can
// is among the hits of the remaining seeds, where a set-aside seed counts exactly when its bases
// occur there: the same outcome without walking its rows.
static int32_t set_aside_seeds(GenomeSeed *seeds, int32_t count, GenomeSeed *aside, int32_t *n_aside,
                               int32_t *aside_length)
{
	*n_aside = 0;
	*aside_length = 0;
	for (;;) {
		int32_t pick = -1;
		uint64_t pick_rows = 0;
		for (int32_t s = 0; s < count; ++s) {
			const uint64_t rows = (uint64_t)seeds[s].hi - seeds[s].lo + 1;
			if (seeds[s].pos != NO_POSITION || rows >= MAX_SEED_OCCURRENCES || rows < SET_ASIDE_MIN_ROWS ||
			    *aside_length + seeds[s].length >= MIN_DIAGONAL_SUPPORT)
				continue;
			if (rows > pick_rows) {
				pick = s;
				pick_rows = rows;
			}
		}
		if (pick < 0) return count;
		aside[(*n_aside)++] = seeds[pick];
		*aside_length += seeds[pick].length;
		for (int32_t s = pick + 1; s < count; ++s) seeds[s - 1] = seeds[s];
		--count;
	}
}


int search_genome_strand(const GenomeBwt *bwt, const char *bases, int32_t len, int32_t limit,
                         GenomeScratch *g)
{
	reserve_genome_seeds(g, len / GENOME_SEED_STEP + 1);
	GenomeSeed *seeds = g->seeds;
	int32_t count = 0;
	if (len <= 0) return 0;
	if (limit >= 2 && !g->plain && !pieces_occur(bwt, bases, len, limit)) return 0;

	// Suffix seed: the longest exact match of a suffix of the read; the whole read occurring
	// in the genome is found at once.
	if (walk_back(bwt, bases, len - 1, seeds, 0, g->hint, &seeds[0]) < 0) return 1;
	// Below a limit of two only a placement without mismatches passes, which is an exact
	// occurrence of the whole read: the suffix seed has just shown that there is none.
	if (limit <= 1 && !g->plain) return 0;
	if (seeds[0].length >= MIN_GENOME_SEED) count = 1;

	// Anchored seeds: maximal exact matches ending at anchors 13 bases apart.
	if (g->plain) {
		for (int32_t a = len - 1 - GENOME_SEED_STEP; a >= GENOME_SEED_STEP - 1; a -= GENOME_SEED_STEP) {
			walk_back(bwt, bases, a, seeds, count, g->hint, &seeds[count]);
			if (seeds[count].length >= MIN_GENOME_SEED) ++count;
		}
	} else {
		count = walk_anchors(bwt, bases, len - 1 - GENOME_SEED_STEP, seeds, count, g->hint, g);
		seeds = g->seeds;
	}

	// Seeds left unlocated: their rows are not walked; where they count, on the diagonals of
	// the other seeds, the genome text is compared instead.
	GenomeSeed unlocated[2];
	int32_t n_unlocated = 0, unlocated_length = 0;
	if (!g->plain) count = set_aside_seeds(seeds, count, unlocated, &n_unlocated, &unlocated_length);

	GenomeHit *hits;
	const int64_t n_hits = collect_genome_hits(bwt, seeds, count, g, &hits);
	for (int64_t i = 0; i < n_hits;) {
		int64_t j = i;
		int64_t support = 0;
		while (j < n_hits && hits[j].diagonal == hits[i].diagonal) support += hits[j++].seed_length;
		if (support < MIN_DIAGONAL_SUPPORT && support + unlocated_length >= MIN_DIAGONAL_SUPPORT) {
			for (int32_t u = 0; u < n_unlocated; ++u)
				if (bases_occur_at(bwt, bases, unlocated[u].read_start, unlocated[u].length,
				                   hits[i].diagonal + (uint32_t)unlocated[u].read_start))
					support += unlocated[u].length;
		}
		// A placement's mismatches are those of the whole read: the seeds of the group only
		// spare comparing bases known to match, so the unlocated ones need not join it.
		if (support >= MIN_DIAGONAL_SUPPORT &&
		    verify_genome_diagonal(bwt, bases, len, hits + i, (int32_t)(j - i), limit) < limit)
			return 1;
		i = j;
	}
	return 0;
}

// The read's two strands, the sequenced one and its reverse complement (in the scratch), and the
// placement hint of each under alignment `a` (null: none): the place of `a` is a guess for the
// sequenced strand when its gene is on the plus strand, for the reverse complement otherwise.
struct ReadStrands {
	const char *bases[2];
	PlacementHint hint;
	const PlacementHint *hints[2];
};

static void read_strands(const ReadRecord *read, const Alignment *a, MappingWorkspace *ws, ReadStrands *s)
{
	GenomeScratch *g = &ws->genome;
	const int32_t L = read->len;
	s->hints[0] = s->hints[1] = nullptr;
	if (!g->plain && ws->index->seq_offset && a) {
		const AnnotationInfo *ann = ws->index->ann;
		const uint32_t t = transcript_at(ann, a->position);
		const bool minus = ann->gene_strand[ann->tx_gene[t]] != 0;
		s->hint = {ann, ws->index->seq_offset, t, (int64_t)a->position - ann->tx_offset[t], L, minus};
		s->hints[minus] = &s->hint;
	}
	if (L + 1 > g->rc_cap) {
		g->rc = (char *)realloc_or_die(g->rc, (size_t)L + 1);
		g->rc_cap = L + 1;
	}
	for (int32_t i = 0; i < L; ++i) g->rc[i] = COMPLEMENT_LETTERS[BASE_CODE[(uint8_t)read->seq[L - 1 - i]]];
	g->rc[L] = 0;
	s->bases[0] = read->seq;
	s->bases[1] = g->rc;
}

// Whether the whole read occurs in the genome on either strand: the two suffix walks, which
// decide it, advance together.
static int occurs_in_genome(const GenomeBwt *bwt, const ReadStrands *s, int32_t L)
{
	if (L <= 0) return 0;
	GenomeWalk walk[2] = {start_walk(bwt, s->bases[0], L - 1), start_walk(bwt, s->bases[1], L - 1)};
	bool going[2] = {true, true};
	while (going[0] || going[1]) {
		for (int k = 0; k < 2; ++k)
			if (going[k]) prefetch_step(bwt, &walk[k]);
		for (int k = 0; k < 2; ++k) {
			GenomeSeed seed;
			if (going[k] && step_walk(bwt, s->bases[k], &walk[k], nullptr, 0, s->hints[k], &seed, true)) {
				if (seed.read_start == 0) return 1;
				going[k] = false;
			}
		}
	}
	return 0;
}

void ask_read_occurs(const ReadRecord *read, MappingWorkspace *ws)
{
	const GenomeBwt *bwt = ws->index->bwt;
	ReadStrands s;
	read_strands(read, ws->alignments.count > 0 ? &ws->alignments.records[0] : nullptr, ws, &s);
	ws->occurs = (int8_t)(bwt && occurs_in_genome(bwt, &s, read->len));
}

// Both strands: the sequenced one first, the reverse complement only when that finds nothing.
static int search_genome(const ReadRecord *read, int32_t limit, MappingWorkspace *ws)
{
	const GenomeBwt *bwt = ws->index->bwt;
	if (!bwt) return 0;
	GenomeScratch *g = &ws->genome;
	// Below a limit of two only an occurrence of the whole read passes, on either strand; the
	// passes may have asked already.
	if (limit <= 1 && !g->plain && ws->occurs >= 0) return ws->occurs;
	const AlignmentList *al = &ws->alignments;
	int32_t best = 0;
	while (best + 1 < al->count && al->records[best].score != al->best) ++best;
	ReadStrands s;
	read_strands(read, al->count > 0 ? &al->records[best] : nullptr, ws, &s);
	if (limit <= 1 && !g->plain) return occurs_in_genome(bwt, &s, read->len);

	for (int k = 0; k < 2; ++k) {
		g->hint = s.hints[k];
		const int found = search_genome_strand(bwt, s.bases[k], read->len, limit, g);
		g->hint = nullptr;
		if (found) return 1;
	}
	return 0;
}

MapOutcome classify_read(const ReadRecord *read, int has_alignment, int32_t limit, MappingWorkspace *ws)
{
	if (has_alignment) {
		// A genome placement must beat the transcript alignment strictly.
		if (limit <= 0) return MAP_EXONIC;
		return search_genome(read, limit, ws) ? MAP_NONEXONIC : MAP_EXONIC;
	}
	if (!ws->index->count_intron) return MAP_UNMAPPED;
	return search_genome(read, limit, ws) ? MAP_NONEXONIC : MAP_UNMAPPED;
}
