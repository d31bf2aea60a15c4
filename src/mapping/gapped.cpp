// Gapped candidate extension: when the ungapped passes accept nothing, each candidate is
// extended at both ends by a banded X-drop alignment that allows small insertions and
// deletions, and accepted under a stricter score floor.
#include <cstdint>
#include "cli/cli.h"
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
// other cells keep stale values and are never read.
static int32_t banded_extend(DpMatrix *matrix, const char *ref, const char *read, int32_t rows,
                             int32_t cols, int32_t band, int32_t X, int32_t B, int32_t *score,
                             int32_t *ref_used, int32_t *read_used, bool left)
{
	if (rows <= 0 || cols <= 0) return give_back(0, 0, 0, score, ref_used, read_used);
	int32_t **H = dp_matrix_rows(matrix, rows + 1, cols + 1);
	for (int32_t i = 0; i <= rows; ++i) H[i][0] = GAP_SCORE * i;
	for (int32_t j = 0; j <= cols; ++j) H[0][j] = GAP_SCORE * j;

	int32_t peak = 0, peak_row = 0, peak_col = 0;
	for (int32_t i = 0; i < rows; ++i) {
		const int32_t lo = i - band > 0 ? i - band : 0;
		const int32_t hi = i + band + 1 < cols ? i + band + 1 : cols;
		const int32_t *prev = H[i];
		int32_t *row = H[i + 1];
		const int32_t *scores = SCORE_MATRIX[BASE_CODE[(uint8_t)(left ? ref[-1 - i] : ref[i])]];
		for (int32_t j = lo; j < hi; ++j)
			row[j + 1] = prev[j] + scores[BASE_CODE[(uint8_t)(left ? read[-1 - j] : read[j])]];
		for (int32_t j = lo + 1; j < hi; ++j) {
			const int32_t skip = prev[j] + GAP_SCORE;
			if (skip > row[j]) row[j] = skip;
		}
		for (int32_t j = lo + 1; j < hi; ++j) {
			const int32_t insert = row[j] + GAP_SCORE;
			if (insert > row[j + 1]) row[j + 1] = insert;
		}
		int32_t row_max = 0;
		for (int32_t j = lo + 1; j <= hi; ++j) {
			const int32_t v = row[j];
			if (v > peak) {
				peak = v;
				peak_row = i + 1;
				peak_col = j;
			}
			if (v > row_max) row_max = v;
		}
		if (peak - row_max > X) return local_end(peak, peak_row, peak_col, B, score, ref_used, read_used);
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
	return banded_extend(matrix, ref, read, rows, cols, band, X, B, score, ref_used, read_used, false);
}

int32_t banded_extend_left(DpMatrix *matrix, const char *ref, const char *read, int32_t rows,
                           int32_t cols, int32_t band, int32_t X, int32_t B, int32_t *score,
                           int32_t *ref_used, int32_t *read_used)
{
	return banded_extend(matrix, ref, read, rows, cols, band, X, B, score, ref_used, read_used, true);
}

void extend_candidate_gapped(const ReadRecord *read, const Candidate *candidate,
                             MappingWorkspace *ws)
{
	const AnnotationInfo *ann = ws->index->ann;
	const int32_t L = read->len;
	const char *seq = read->seq;
	const int32_t max_err = (int32_t)(L * 0.055);
	int32_t B = 3 * max_err;
	const int32_t X = (int32_t)(B * 0.8);
	const int32_t band = (int32_t)(max_err * 0.75);
	const int32_t floor_score = (int32_t)(L * 0.65);

	const uint32_t d = candidate->diagonal;
	const uint32_t t = transcript_at(ann, d + (uint32_t)candidate->read_start);
	const char *tx = ann->tx_seq + ann->tx_offset[t];  // start of transcript t
	const int32_t rel = (int32_t)(d - ann->tx_offset[t]);
	const int32_t p0 = rel + candidate->read_start;  // transcript offset of the first base
	int32_t F = candidate->read_start, R = candidate->read_start + candidate->length;
	int32_t p = p0, s = candidate->score;
	int32_t gained, ref_used, read_used;

	// Rows are bounded by the transcript on each side, so tx_seq is read only inside t.
	if (F != 0) {
		const int32_t rows = p0 < F + band ? p0 : F + band;
		const int32_t cost = banded_extend_left(&ws->dp, tx + p0, seq + F, rows, F, band, X, B,
		                                        &gained, &ref_used, &read_used);
		s += gained;
		B -= cost;
		p -= ref_used;
		F -= read_used;
	}
	if (R != L) {
		const int64_t tx_left = (int64_t)ann->tx_length[t] - (p0 + candidate->length);
		const int32_t want = band + (L - R);
		const int32_t rows = tx_left < want ? (int32_t)tx_left : want;
		banded_extend_right(&ws->dp, tx + p0 + candidate->length, seq + R, rows, L - R, band, X, B,
		                    &gained, &ref_used, &read_used);
		s += gained;
		R += read_used;
	}

	const int32_t aligned = R - F;
	if (s >= floor_score && s >= alignment_threshold(L, aligned, max_err) && (F == 0 || R == L))
		append_alignment(&ws->alignments, ann->tx_offset[t] + (uint32_t)p, s);
}
