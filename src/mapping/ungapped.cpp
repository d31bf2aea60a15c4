// Ungapped transcript alignment: hit groups are scored over their k-mer region, extended at
// both ends with an X-drop, and accepted, kept as candidates or dropped; three passes of
// growing tolerance run over the one merged hit list.
#include <algorithm>
#include <cstdint>
#include "base/base.h"
#include "mapping/mapping.h"

const int32_t SCORE_MATRIX[5][5] = {
	{1, -2, -2, -2, -1},
	{-2, 1, -2, -2, -1},
	{-2, -2, 1, -2, -1},
	{-2, -2, -2, 1, -1},
	{-1, -1, -1, -1, -1},
};

static inline int32_t pair_score(char a, char b)
{
	return SCORE_MATRIX[BASE_CODE[(uint8_t)a]][BASE_CODE[(uint8_t)b]];
}

// Both directions share the walk; `left` compares ref[-1 - i] with read[-1 - i].
static inline int32_t extend_ungapped(const char *ref, const char *read, int32_t n_max,
                                      int32_t X, int32_t B, int32_t *score_out,
                                      int32_t *taken_out, bool left)
{
	int32_t score = 0, peak = 0, peak_len = 0, taken = 0;
	while (taken < n_max) {
		const ptrdiff_t i = left ? -1 - (ptrdiff_t)taken : (ptrdiff_t)taken;
		score += pair_score(ref[i], read[i]);
		++taken;
		if (score >= peak) {
			// A later equal peak wins: of two equal peaks the longer extension counts.
			peak = score;
			peak_len = taken;
		} else if (peak - score > X) {
			break;
		}
	}
	if (taken == n_max && score >= n_max - B) {
		*score_out = score;
		*taken_out = n_max;
		return n_max - score;
	}
	if (peak < peak_len - B) {
		*score_out = 0;
		*taken_out = 0;
		return 0;
	}
	*score_out = peak;
	*taken_out = peak_len;
	return peak_len - peak;
}

int32_t extend_ungapped_right(const char *ref, const char *read, int32_t n_max, int32_t X,
                              int32_t B, int32_t *score, int32_t *taken)
{
	return extend_ungapped(ref, read, n_max, X, B, score, taken, false);
}

int32_t extend_ungapped_left(const char *ref, const char *read, int32_t n_max, int32_t X,
                             int32_t B, int32_t *score, int32_t *taken)
{
	return extend_ungapped(ref, read, n_max, X, B, score, taken, true);
}

// Read window [S, E) of a placement with diagonal d on transcript t: the read offsets that
// lie inside the transcript. Extensions never leave it, so tx_seq is never read outside t.
static inline void read_window(const AnnotationInfo *ann, uint32_t d, uint32_t t, int32_t len,
                               int32_t *S, int32_t *E)
{
	const int32_t rel = (int32_t)(d - ann->tx_offset[t]);
	const int64_t tlen = ann->tx_length[t];
	*S = rel < 0 ? -rel : 0;
	*E = (int64_t)rel + len > tlen ? (int32_t)(tlen - rel) : len;
}

void align_hit_group(const ReadRecord *read, const SeedHit *group, int32_t size,
                     int32_t max_err, int32_t min_score, int32_t max_clip, MappingWorkspace *ws)
{
	const AnnotationInfo *ann = ws->index->ann;
	const int32_t k = (int32_t)ws->index->hash->kmer_size;
	const int32_t L = read->len;
	const char *seq = read->seq;
	const char *tx = ann->tx_seq;
	const uint32_t d = group[0].diagonal;
	const uint32_t t = transcript_at(ann, d + group[0].read_offset);

	int32_t S, E;
	read_window(ann, d, t, L, &S, &E);
	int32_t B = 3 * max_err;
	const int32_t X = (int32_t)(B * 0.8);

	int32_t F = E, R = S;
	for (int32_t i = 0; i < size; ++i) {
		const int32_t o = (int32_t)group[i].read_offset;
		if (o < F) F = o;
		if (o + k > R) R = o + k;
	}

	// k-mer region: covered bases count +1 each unseen; only the gaps of missing k-mers
	// are compared, and they spend the budget.
	int32_t score = 0, cur = F;
	for (int32_t i = 0; i < size; ++i) {
		const int32_t o = (int32_t)group[i].read_offset;
		if (cur < o) {
			for (int32_t q = cur; q < o; ++q) {
				const int32_t ps = pair_score(tx[(uint32_t)(d + (uint32_t)q)], seq[q]);
				score += ps;
				B += ps - 1;
				if (B < 0) return;
			}
			cur = o;
		}
		score += o + k - cur;
		cur = o + k;
	}
	const int32_t F0 = F, R0 = R, kmer_score = score;

	int32_t gained, taken;
	if (F > S) {
		const int32_t cost = extend_ungapped_left(tx + (uint32_t)(d + (uint32_t)F), seq + F, F - S,
		                                          X, B, &gained, &taken);
		score += gained;
		B -= cost;
		F -= taken;
	}
	if (R < E) {
		extend_ungapped_right(tx + (uint32_t)(d + (uint32_t)R), seq + R, E - R, X, B, &gained, &taken);
		score += gained;
		R += taken;
	}

	const int32_t aligned = R - F;
	const int32_t threshold = alignment_threshold(L, aligned, max_err);
	if (score >= threshold && L - aligned <= max_clip && (F == 0 || R == L)) {
		append_alignment(&ws->alignments, d + (uint32_t)F, score);
		return;
	}
	if (score < min_score && kmer_score < min_score) return;
	if (score < threshold || score < min_score) {
		F = F0;
		R = R0;
		score = kmer_score;
	}
	append_candidate(&ws->candidates, d, F, R - F, score);
}

void reextend_candidates(const ReadRecord *read, MappingWorkspace *ws)
{
	const AnnotationInfo *ann = ws->index->ann;
	const int32_t L = read->len;
	const char *seq = read->seq;
	const char *tx = ann->tx_seq;
	const int32_t max_err = (int32_t)(L * 0.055);
	// One budget for the whole call: later candidates may find it spent.
	int32_t B = 3 * max_err;
	const int32_t X = (int32_t)(B * 0.8);

	CandidateList *list = &ws->candidates;
	const int32_t count = list->count;
	int32_t kept = 0;
	for (int32_t i = 0; i < count; ++i) {
		const Candidate c = list->records[i];
		const uint32_t t = transcript_at(ann, c.diagonal + (uint32_t)c.read_start);
		int32_t S, E;
		read_window(ann, c.diagonal, t, L, &S, &E);
		int32_t F = c.read_start, R = c.read_start + c.length, score = c.score;
		int32_t gained, taken;
		if (F != S) {
			const int32_t cost = extend_ungapped_left(tx + (uint32_t)(c.diagonal + (uint32_t)F), seq + F,
			                                          F - S, X, B, &gained, &taken);
			score += gained;
			B -= cost;
			F -= taken;
		}
		if (R != E) {
			const int32_t cost = extend_ungapped_right(tx + (uint32_t)(c.diagonal + (uint32_t)R), seq + R,
			                                           E - R, X, B, &gained, &taken);
			score += gained;
			B -= cost;
			R += taken;
		}
		const int32_t aligned = R - F;
		if (score >= aligned - 3 * max_err && L - aligned <= max_err && (F == 0 || R == L)) {
			append_alignment(&ws->alignments, c.diagonal + (uint32_t)F, score);
			if (read_settled(read, ws)) return;  // the list is left as it is: nothing reads it
		} else
			list->records[kept++] = c;
	}
	list->count = kept;
}

// How many groups (or hits) ahead the passes ask for the memory they will read.
#define GROUP_PREFETCH 8

// The hit groups of the merged list, found once for the passes that follow.
static void find_hit_groups(SeedSet *seeds, const AnnotationInfo *ann)
{
	if (seeds->n_hits + 1 > seeds->group_cap) {
		const int32_t cap = (int32_t)grown_capacity(seeds->group_cap, seeds->n_hits + 1, 256);
		seeds->group_start = (int32_t *)realloc_or_die(seeds->group_start, (size_t)cap * sizeof(int32_t));
		seeds->pass_groups = (int32_t *)realloc_or_die(seeds->pass_groups, (size_t)cap * sizeof(int32_t));
		seeds->group_cap = cap;
	}
	int32_t n = 0;
	for (int32_t j = 0; j < seeds->n_hits; j = hit_group_end(seeds, ann, j)) {
		// The transcript bucket of a hit further on: hits lie anywhere in the transcriptome.
		if (ann->tx_bucket && j + GROUP_PREFETCH < seeds->n_hits) {
			const SeedHit *h = &seeds->merged[j + GROUP_PREFETCH];
			__builtin_prefetch(ann->tx_bucket + ((h->diagonal + h->read_offset) >> TX_BUCKET_SHIFT));
		}
		seeds->group_start[n++] = j;
	}
	seeds->group_start[n] = seeds->n_hits;
	seeds->n_groups = n;
}

// One pass: align_hit_group for every group whose size lies in [min_size, max_size].
static void align_groups(const ReadRecord *read, int32_t min_size, int32_t max_size,
                         int32_t max_err, int32_t min_score, int32_t max_clip, MappingWorkspace *ws)
{
	const SeedSet *seeds = &ws->seeds;
	const char *tx = ws->index->ann->tx_seq;
	// The groups of the pass first, so that only their bases are fetched ahead.
	int32_t *pass = seeds->pass_groups, n = 0;
	for (int32_t g = 0; g < seeds->n_groups; ++g) {
		const int32_t size = seeds->group_start[g + 1] - seeds->group_start[g];
		if (size >= min_size && size <= max_size) pass[n++] = g;
	}
	for (int32_t i = 0; i < n; ++i) {
		// The transcript bases of a group a few ahead: groups lie anywhere in the transcriptome.
		// Both extensions stay within read offsets 0 .. L - 1 on the group's diagonal.
		if (i + GROUP_PREFETCH < n) {
			const char *at = tx + seeds->merged[seeds->group_start[pass[i + GROUP_PREFETCH]]].diagonal;
			for (int32_t o = 0; o < read->len + 63; o += 64) __builtin_prefetch(at + (o < read->len ? o : read->len - 1));
		}
		const int32_t start = seeds->group_start[pass[i]];
		align_hit_group(read, seeds->merged + start, seeds->group_start[pass[i] + 1] - start, max_err, min_score,
		                max_clip, ws);
		if (read_settled(read, ws)) return;
	}
}

// First index of list[from .. count - 1] holding a value >= want: galloping from `from`, as
// the lists are walked forward and the next match usually lies close.
static inline int32_t gallop(const uint32_t *list, int32_t from, int32_t count, uint32_t want)
{
	int32_t lo = from, hi = from, step = 1;
	while (hi < count && list[hi] < want) {
		lo = hi + 1;
		hi += step;
		step *= 2;
	}
	if (hi > count) hi = count;
	return (int32_t)(std::lower_bound(list + lo, list + hi, want) - list);
}

int align_full_groups(const ReadRecord *read, MappingWorkspace *ws)
{
	SeedSet *s = &ws->seeds;
	const AnnotationInfo *ann = ws->index->ann;
	const int32_t n = s->n_kmers;
	if (n == 0) return 0;
	// The k-mers by ascending hit count: the shortest list proposes the diagonals, the next
	// shortest are asked first.
	int32_t *order = s->kmer_order;
	for (int32_t i = 0; i < n; ++i) {
		if (s->kmer_hits[i] == 0) return 0;
		s->kmer_cursor[i] = 0;
		int32_t j = i;
		for (; j > 0 && s->kmer_hits[order[j - 1]] > s->kmer_hits[i]; --j) order[j] = order[j - 1];
		order[j] = i;
	}
	// Every k-mer has a hit, so merged (room for all hits) has room for one group.
	SeedHit *group = s->merged;
	const int32_t min_score = (int32_t)(read->len * 0.4);
	// The shortest list's diagonals ascend (signed) as in the merged list, so the groups come in
	// the first pass's order, and each list's cursor only moves forward.
	const int32_t shortest = order[0];
	const uint32_t *own = s->kmer_start[shortest];
	for (int32_t h = 0; h < s->kmer_hits[shortest]; ++h) {
		const int64_t d = (int64_t)own[h] - s->kmer_offset[shortest];
		int32_t r = 1;
		for (; r < n; ++r) {
			const int32_t i = order[r];
			const int64_t want = d + s->kmer_offset[i];
			if (want < 0) break;  // before the transcriptome
			const uint32_t *list = s->kmer_start[i];
			const int32_t at = gallop(list, s->kmer_cursor[i], s->kmer_hits[i], (uint32_t)want);
			s->kmer_cursor[i] = at;
			if (at == s->kmer_hits[i] || list[at] != want) break;
		}
		if (r < n) continue;
		// One group only when all of its hits lie in one transcript (they ascend with the offsets).
		const uint32_t t = transcript_at(ann, (uint32_t)(d + s->kmer_offset[0]));
		if ((uint32_t)(d + s->kmer_offset[n - 1]) >= ann->tx_offset[t + 1]) continue;
		for (int32_t j = 0; j < n; ++j) group[j] = SeedHit{(uint32_t)d, s->kmer_offset[j]};
		align_hit_group(read, group, n, 0, min_score, 0, ws);
	}
	return ws->alignments.count > 0;
}

void map_to_transcriptome(const ReadRecord *read, MappingWorkspace *ws, bool first_pass_done)
{
	const int32_t L = read->len;
	const int32_t n = ws->seeds.n_kmers;
	const int32_t min_score = (int32_t)(L * 0.4);
	const int32_t max_err = (int32_t)(L * 0.055);

	find_hit_groups(&ws->seeds, ws->index->ann);
	// Pass 1: every k-mer agrees and the read matches without a single error.
	if (!first_pass_done) align_groups(read, n, n, 0, min_score, 0, ws);
	if (ws->alignments.count > 0) return;

	reextend_candidates(read, ws);
	if (read_settled(read, ws)) return;

	// Pass 2: groups missing at most two k-mers (the full ones again).
	align_groups(read, n - 2, INT32_MAX, max_err, min_score, max_err, ws);
	if ((ws->alignments.count > 0 && ws->alignments.best >= L - 6) || read_settled(read, ws)) return;

	// Pass 3: the remaining smaller groups.
	align_groups(read, 1, n - 3, max_err, min_score, max_err, ws);
}
