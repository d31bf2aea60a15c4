// Gapped candidate extension: when the ungapped passes accept nothing, each candidate is
// extended at both ends by a banded X-drop alignment that allows small insertions and
// deletions, and accepted under a stricter score floor.
#include <cstdint>
#include <cstring>
#include "base/base.h"
#include "mapping/mapping.h"

int32_t **dp_matrix_rows(DpMatrix *matrix, int32_t rows, int32_t cols)
{
	const int64_t need = (int64_t)rows * cols * (int64_t)sizeof(int32_t);
	if (need > matrix->cell_bytes) {
		matrix->cells = (int32_t *)realloc_or_die(matrix->cells, (size_t)need);
		matrix->cell_bytes = need;
	}
	if (rows > matrix->row_capacity) {
		matrix->rows = (int32_t **)realloc_or_die(matrix->rows, (size_t)rows * sizeof(int32_t *));
		matrix->row_capacity = rows;
	}
	for (int32_t i = 0; i < rows; ++i) matrix->rows[i] = matrix->cells + (int64_t)i * cols;
	return matrix->rows;
}

// What a candidate still needs from one side's extension to pass (see gapped_extend): an
// outcome that takes u of the side's cols read bases at a cost c (u - gained score) passes at
// best when score + u - c + others >= floor, cost + c <= 3 x allowed(clipped + cols - u), and
// u = cols if to_end, where allowed(0) = max_err and allowed(n) = max(max_err / 2 - n / 5, 0):
// the acceptance rule with the cost of the whole alignment (aligned bases - score).
struct ExtensionGoal {
	int32_t score;     // the candidate's score so far
	int32_t others;    // the most that the other side can still add (its read bases)
	int32_t cost;      // the cost so far
	int32_t clipped;   // read bases left out on the other side, at best
	bool to_end;
	int32_t max_err, floor_score;
	bool missed;       // set by the extension when it stopped because nothing can pass
};

static inline bool goal_allows(const ExtensionGoal *g, int32_t cols, int32_t u, int32_t c)
{
	if (g->to_end && u != cols) return false;
	if (g->score + u - c + g->others < g->floor_score) return false;
	const int32_t clip = g->clipped + cols - u;
	const int32_t allowed = clip == 0 ? g->max_err : g->max_err / 2 - clip / 5;
	return g->cost + c <= 3 * (allowed > 0 ? allowed : 0);
}

static inline int32_t give_back(int32_t score, int32_t ref_used, int32_t read_used,
                                int32_t *score_out, int32_t *ref_out, int32_t *read_out)
{
	*score_out = score;
	*ref_out = ref_used;
	*read_out = read_used;
	return read_used - score;
}

// The best local end if it costs at most B, else nothing.
static inline int32_t local_end(int32_t peak, int32_t peak_row, int32_t peak_col, int32_t B,
                                int32_t *score, int32_t *ref_used, int32_t *read_used)
{
	if (peak < peak_col - B) return give_back(0, 0, 0, score, ref_used, read_used);
	return give_back(peak, peak_row, peak_col, score, ref_used, read_used);
}

// H[i][j]: best score of ref bases 0..i-1 against read bases 0..j-1 (in walking order).
// Row i + 1 is computed only for columns lo + 1 .. hi of the band around the diagonal;
// other cells keep stale values and are never read. A cell takes the best of its diagonal
// and vertical moves (both from the previous row), then the horizontal chain runs along the
// row, which is also where the row's best and the peak are taken, column by column.
//
// With a `goal`, the extension stops early with goal->missed set (giving back nothing) once no
// outcome it can still give back lets the candidate pass: not nothing, not the peak, not a cell
// of the last column so far, and not a later cell, whose cost (j - v) is at least the lowest of
// this row, as a cost never falls along a path. A cell is only given back at a cost of at most B.
template <bool LEFT>
static int32_t banded_extend(DpMatrix *matrix, const char *ref, const char *read, int32_t rows,
                             int32_t cols, int32_t band, int32_t X, int32_t B, int32_t *score,
                             int32_t *ref_used, int32_t *read_used, ExtensionGoal *goal = nullptr)
{
	if (rows <= 0 || cols <= 0) return give_back(0, 0, 0, score, ref_used, read_used);
	int32_t **H = dp_matrix_rows(matrix, rows + 1, cols + 1);
	for (int32_t i = 0; i <= rows; ++i) H[i][0] = GAP_SCORE * i;
	for (int32_t j = 0; j <= cols; ++j) H[0][j] = GAP_SCORE * j;
	if (cols > matrix->code_capacity) {
		matrix->read_codes = (uint8_t *)realloc_or_die(matrix->read_codes, (size_t)cols);
		matrix->code_capacity = cols;
	}
	uint8_t *code = matrix->read_codes;
	for (int32_t j = 0; j < cols; ++j) code[j] = (uint8_t)BASE_CODE[(uint8_t)(LEFT ? read[-1 - j] : read[j])];

	int32_t peak = 0, peak_row = 0, peak_col = 0;
	int32_t last_col = H[0][cols];  // the best cell of the last column so far
	for (int32_t i = 0; i < rows; ++i) {
		const int32_t lo = i - band > 0 ? i - band : 0;
		const int32_t hi = i + band + 1 < cols ? i + band + 1 : cols;
		const int32_t *prev = H[i];
		int32_t *row = H[i + 1];
		const int32_t *scores = SCORE_MATRIX[BASE_CODE[(uint8_t)(LEFT ? ref[-1 - i] : ref[i])]];
		if (hi <= lo) {  // the band has left the read: nothing to compute, the row's best is 0
			if (peak > X) return local_end(peak, peak_row, peak_col, B, score, ref_used, read_used);
			continue;
		}
		for (int32_t j = lo + 1; j < hi; ++j) {
			const int32_t diagonal = prev[j - 1] + scores[code[j - 1]];
			const int32_t skip = prev[j] + GAP_SCORE;
			row[j] = skip > diagonal ? skip : diagonal;
		}
		row[hi] = prev[hi - 1] + scores[code[hi - 1]];
		int32_t row_max = 0;
		int32_t ahead = INT32_MIN;  // the most that a cell of this row can still gain: v - j
		for (int32_t j = lo + 1;; ++j) {
			const int32_t v = row[j];
			if (v > peak) {
				peak = v;
				peak_row = i + 1;
				peak_col = j;
			}
			if (v > row_max) row_max = v;
			if (v - j > ahead) ahead = v - j;
			if (j == hi) break;
			const int32_t insert = v + GAP_SCORE;
			if (insert > row[j + 1]) row[j + 1] = insert;
		}
		if (peak - row_max > X) return local_end(peak, peak_row, peak_col, B, score, ref_used, read_used);
		// Every later cell descends from a cell of this row and gains at most 1 per read base
		// (column 0, while the band holds it, is never ahead of column 1). When none can pass the
		// peak, and the peak is short of the read's end, the rest changes nothing: the answer is
		// the local end.
		if (ahead + cols <= peak && peak < cols - B)
			return local_end(peak, peak_row, peak_col, B, score, ref_used, read_used);
		if (goal) {
			if (hi == cols && row[cols] > last_col) last_col = row[cols];
			const int32_t peak_cost = peak_col - peak, last_cost = cols - last_col, later_cost = -ahead;
			const bool open = goal_allows(goal, cols, 0, 0) ||
			                  (peak_cost <= B && goal_allows(goal, cols, peak_col, peak_cost)) ||
			                  (last_cost <= B && goal_allows(goal, cols, cols, last_cost)) ||
			                  (later_cost <= B && goal_allows(goal, cols, cols, later_cost));
			if (!open) {
				goal->missed = true;
				return give_back(0, 0, 0, score, ref_used, read_used);
			}
		}
	}

	// Prefer reaching the read's end: the best cell of the last column among the rows
	// whose band holds it (the first such row wins ties).
	int32_t full = H[0][cols], full_row = 0;
	for (int32_t r = 1; r <= rows; ++r) {
		if (r + band >= cols && r <= cols + band && H[r][cols] > full) {
			full = H[r][cols];
			full_row = r;
		}
	}
	if (full >= cols - B) return give_back(full, full_row, cols, score, ref_used, read_used);
	return local_end(peak, peak_row, peak_col, B, score, ref_used, read_used);
}

int32_t banded_extend_right(DpMatrix *matrix, const char *ref, const char *read, int32_t rows,
                            int32_t cols, int32_t band, int32_t X, int32_t B, int32_t *score,
                            int32_t *ref_used, int32_t *read_used)
{
	return banded_extend<false>(matrix, ref, read, rows, cols, band, X, B, score, ref_used, read_used);
}

int32_t banded_extend_left(DpMatrix *matrix, const char *ref, const char *read, int32_t rows,
                           int32_t cols, int32_t band, int32_t X, int32_t B, int32_t *score,
                           int32_t *ref_used, int32_t *read_used)
{
	return banded_extend<true>(matrix, ref, read, rows, cols, band, X, B, score, ref_used, read_used);
}

// Where the gapped extension of a candidate reads: the transcript bases of its two bands.
// Rows are bounded by the transcript on each side, so tx_seq is read only inside t.
struct GappedReach {
	uint32_t t;            // the candidate's transcript
	int32_t p0;            // transcript offset of the candidate's first aligned base
	int32_t left_rows;     // bases before p0 the left band reads (0 without a left extension)
	int32_t right_rows;    // bases after the candidate the right band reads (0 without one)
};

static GappedReach gapped_reach(const ReadRecord *read, const Candidate *c, int32_t band,
                                const AnnotationInfo *ann)
{
	GappedReach r;
	r.t = transcript_at(ann, c->diagonal + (uint32_t)c->read_start);
	r.p0 = (int32_t)(c->diagonal - ann->tx_offset[r.t]) + c->read_start;
	const int32_t F = c->read_start, R = c->read_start + c->length, L = read->len;
	r.left_rows = F == 0 ? 0 : r.p0 < F + band ? r.p0 : F + band;
	r.right_rows = 0;
	if (R != L) {
		const int64_t tx_left = (int64_t)ann->tx_length[r.t] - (r.p0 + c->length);
		const int32_t want = band + (L - R);
		r.right_rows = tx_left < want ? (int32_t)tx_left : want;
	}
	// No rows and fewer than none alike: the band has nothing to extend over.
	if (r.left_rows < 0) r.left_rows = 0;
	if (r.right_rows < 0) r.right_rows = 0;
	return r;
}

// The extension of candidate c at both ends: true when it passes, with *p the transcript
// offset of the first aligned base and *s the score. With `prune`, an extension stops as soon
// as the candidate cannot pass any more (*p and *s are then of no use).
static bool gapped_extend(const ReadRecord *read, const Candidate *c, const GappedReach *r,
                          MappingWorkspace *ws, bool prune, int32_t *p_out, int32_t *s_out)
{
	const AnnotationInfo *ann = ws->index->ann;
	const int32_t L = read->len;
	const char *seq = read->seq;
	const int32_t max_err = (int32_t)(L * 0.055);
	int32_t B = 3 * max_err;
	const int32_t X = (int32_t)(B * 0.8);
	const int32_t band = (int32_t)(max_err * 0.75);
	const int32_t floor_score = (int32_t)(L * 0.65);

	const char *tx = ann->tx_seq + ann->tx_offset[r->t];  // start of transcript t
	int32_t F = c->read_start, R = c->read_start + c->length;
	int32_t p = r->p0, s = c->score;
	int32_t gained, ref_used, read_used;
	*p_out = p;
	*s_out = s;
	// At best the other side takes all of its bases without a cost.
	ExtensionGoal goal{s, L - R, c->length - c->score, 0, false, max_err, floor_score, false};
	if (prune && !goal_allows(&goal, F, F, 0)) return false;
	if (F != 0) {
		const int32_t cost = banded_extend<true>(&ws->dp, tx + r->p0, seq + F, r->left_rows, F, band, X, B,
		                                         &gained, &ref_used, &read_used, prune ? &goal : nullptr);
		if (goal.missed) return false;
		s += gained;
		B -= cost;
		p -= ref_used;
		F -= read_used;
		goal.cost += cost;
	}
	if (R != L) {
		// Short of the read's start, only an extension to the read's end can pass.
		goal = {s, 0, goal.cost, F, F != 0, max_err, floor_score, false};
		if (prune && !goal_allows(&goal, L - R, L - R, 0)) return false;
		banded_extend<false>(&ws->dp, tx + r->p0 + c->length, seq + R, r->right_rows, L - R, band, X, B, &gained,
		                     &ref_used, &read_used, prune ? &goal : nullptr);
		if (goal.missed) return false;
		s += gained;
		R += read_used;
	}
	*p_out = p;
	*s_out = s;
	const int32_t aligned = R - F;
	return s >= floor_score && s >= alignment_threshold(L, aligned, max_err) && (F == 0 || R == L);
}

void extend_candidate_gapped(const ReadRecord *read, const Candidate *candidate,
                             MappingWorkspace *ws)
{
	const AnnotationInfo *ann = ws->index->ann;
	const int32_t band = (int32_t)((int32_t)(read->len * 0.055) * 0.75);
	const GappedReach reach = gapped_reach(read, candidate, band, ann);
	int32_t p, s;
	if (gapped_extend(read, candidate, &reach, ws, false, &p, &s))
		append_alignment(&ws->alignments, ann->tx_offset[reach.t] + (uint32_t)p, s);
}

// ---- one extension per distinct context ----

// Hash of a candidate's read span, score and band bases, 8 bytes at a time.
static uint64_t reach_hash(const Candidate *c, const GappedReach *r, const char *left, const char *right)
{
	uint64_t h = ((uint64_t)(uint32_t)c->read_start << 32 | (uint32_t)c->length) * 0x9E3779B97F4A7C15ULL;
	h ^= ((uint64_t)(uint32_t)c->score << 32 | (uint32_t)r->left_rows) + ((uint64_t)(uint32_t)r->right_rows << 16);
	auto mix = [&h](const char *bytes, int32_t n) {
		int32_t i = 0;
		for (; i + 8 <= n; i += 8) {
			uint64_t w;
			memcpy(&w, bytes + i, 8);
			h = (h ^ w) * 0xFF51AFD7ED558CCDULL;
			h ^= h >> 32;
		}
		for (; i < n; ++i) h = (h ^ (uint8_t)bytes[i]) * 0x100000001B3ULL;
	};
	mix(left, r->left_rows);
	mix(right, r->right_rows);
	return h;
}

static bool same_reach(const GappedMemoEntry *e, uint64_t hash, const Candidate *c, const GappedReach *r,
                       const char *left, const char *right)
{
	return e->hash == hash && e->read_start == c->read_start && e->length == c->length && e->score == c->score &&
	       e->left_rows == r->left_rows && e->right_rows == r->right_rows &&
	       memcmp(e->left, left, (size_t)r->left_rows) == 0 && memcmp(e->right, right, (size_t)r->right_rows) == 0;
}

// Room for `entries` extensions; returns the slots in use for this read, all free (a power of
// two at least twice the entries: a read with many candidates does not make later reads
// clear a large table).
static uint32_t reserve_memo(GappedMemo *m, int32_t entries)
{
	if (entries > m->cap) {
		const int32_t cap = (int32_t)grown_capacity(m->cap, entries, 64);
		m->entries = (GappedMemoEntry *)realloc_or_die(m->entries, (size_t)cap * sizeof(GappedMemoEntry));
		m->cap = cap;
	}
	const int32_t slots = (int32_t)grown_capacity(0, 2 * (int64_t)entries, 128);
	if (slots > m->slot_count) {
		m->slots = (int32_t *)realloc_or_die(m->slots, (size_t)slots * sizeof(int32_t));
		m->slot_count = slots;
	}
	for (int32_t i = 0; i < slots; ++i) m->slots[i] = -1;
	return (uint32_t)slots;
}

// How many candidates ahead the extensions ask for the transcript bases they will read.
#define GAPPED_PREFETCH 4

void extend_candidates_gapped(const ReadRecord *read, MappingWorkspace *ws)
{
	const AnnotationInfo *ann = ws->index->ann;
	const int32_t band = (int32_t)((int32_t)(read->len * 0.055) * 0.75);
	const CandidateList *list = &ws->candidates;
	GappedMemo *memo = &ws->gapped_memo;
	const uint32_t mask = reserve_memo(memo, list->count) - 1;
	int32_t used = 0;
	for (int32_t i = 0; i < list->count; ++i) {
		// The bands of a candidate a few ahead lie within read offsets -band .. L + band - 1 on its
		// diagonal: candidates lie anywhere in the transcriptome.
		if (i + GAPPED_PREFETCH < list->count) {
			const char *at = ann->tx_seq + list->records[i + GAPPED_PREFETCH].diagonal - band;
			const int32_t span = read->len + 2 * band;
			for (int32_t o = 0; o < span + 63; o += 64) __builtin_prefetch(at + (o < span ? o : span - 1));
		}
		const Candidate *c = &list->records[i];
		const GappedReach reach = gapped_reach(read, c, band, ann);
		const char *tx = ann->tx_seq + ann->tx_offset[reach.t];
		const char *left = tx + reach.p0 - reach.left_rows, *right = tx + reach.p0 + c->length;
		const uint64_t hash = reach_hash(c, &reach, left, right);
		uint32_t slot = (uint32_t)(hash >> 20) & mask;
		while (memo->slots[slot] >= 0 && !same_reach(&memo->entries[memo->slots[slot]], hash, c, &reach, left, right))
			slot = (slot + 1) & mask;
		GappedMemoEntry *e;
		if (memo->slots[slot] >= 0) {
			e = &memo->entries[memo->slots[slot]];
		} else {
			e = &memo->entries[used];
			memo->slots[slot] = used++;
			*e = {hash, left, right, c->read_start, c->length, c->score, reach.left_rows, reach.right_rows, 0, 0, 0};
			int32_t p, s;
			e->passed = gapped_extend(read, c, &reach, ws, true, &p, &s);
			e->ref_taken = reach.p0 - p;
			e->final_score = s;
		}
		if (e->passed) {
			append_alignment(&ws->alignments, ann->tx_offset[reach.t] + (uint32_t)(reach.p0 - e->ref_taken),
			                 e->final_score);
			if (read_settled(read, ws)) return;
		}
	}
}
