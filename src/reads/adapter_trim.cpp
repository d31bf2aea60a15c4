// Removal of the sequence in a cDNA read that is not cDNA: the template-switch oligo that
// starts reads of the 5' end of a molecule, and the poly(A) tail (with the barcode, UMI and
// adapter behind it) that ends reads of short fragments. Without it such a read carries
// 20 to 60 foreign bases and cannot reach the alignment score floor.
#include <cstring>
#include "index/index.h"
#include "reads/reads.h"

const char TSO_SEQUENCE[] = "AAGCAGTGGTATCAACGCAGAGTACATGGG";

// Mismatches tolerated in a read prefix that matches the last `n` bases of the oligo. Short
// stretches must match exactly: 10 bases occur by chance once in a million reads.
static int32_t tso_mismatches_allowed(int32_t n)
{
	return n >= TSO_TWO_MISMATCHES_FROM ? 2 : n >= TSO_ONE_MISMATCH_FROM ? 1 : 0;
}

// Length of the longest suffix of the oligo that the read starts with, or 0. A read that
// starts inside the oligo carries one of its suffixes; the whole oligo is the longest.
static int32_t tso_prefix_length(const char *seq, int32_t len)
{
	const int32_t tso_len = (int32_t)sizeof TSO_SEQUENCE - 1;
	for (int32_t n = tso_len; n >= TSO_MIN_MATCH; --n) {
		if (n > len) continue;
		const char *tail = TSO_SEQUENCE + (tso_len - n);
		const int32_t allowed = tso_mismatches_allowed(n);
		int32_t mismatches = 0;
		for (int32_t i = 0; i < n && mismatches <= allowed; ++i)
			mismatches += BASE_CODE[(uint8_t)seq[i]] != BASE_CODE[(uint8_t)tail[i]];
		if (mismatches <= allowed) return n;
	}
	return 0;
}

// Offset of the first poly(A) stretch in seq[from .. len - 1], or len when there is none. A
// stretch is one A run, or two A runs that one other base separates; it needs
// POLYA_MIN_A_INSIDE A's, or POLYA_MIN_A when it ends at the last base.
static int32_t polya_start(const char *seq, int32_t from, int32_t len)
{
	int32_t prev_start = -1, prev_len = 0;  // the A run before the current one
	for (int32_t i = from; i < len;) {
		if (BASE_CODE[(uint8_t)seq[i]] != 0) {
			++i;
			continue;
		}
		int32_t end = i;
		while (end < len && BASE_CODE[(uint8_t)seq[end]] == 0) ++end;
		const int32_t run = end - i, need = end == len ? POLYA_MIN_A : POLYA_MIN_A_INSIDE;
		// The previous run counts when one other base lies between the two.
		if (prev_start >= 0 && prev_start + prev_len + 1 == i && prev_len + run >= need) return prev_start;
		if (run >= need) return i;
		prev_start = i;
		prev_len = run;
		i = end;
	}
	return len;
}

// Bases to cut from the 3' end for their quality (BWA's rule), never reaching below `from`.
static int32_t quality_tail(const char *qual, int32_t from, int32_t len)
{
	if (!qual) return 0;
	int32_t sum = 0, best = 0, cut = len;
	for (int32_t i = len - 1; i >= from; --i) {
		sum += TRIM_QUALITY - ((int32_t)(uint8_t)qual[i] - 33);
		if (sum < 0) break;
		if (sum > best) {
			best = sum;
			cut = i;
		}
	}
	return len - cut;
}

ReadTrim trim_adapters(const char *seq, const char *qual, int32_t len)
{
	ReadTrim trim;
	trim.quality = quality_tail(qual, 0, len);
	const int32_t end = len - trim.quality;
	trim.front = tso_prefix_length(seq, end);
	trim.polya = end - polya_start(seq, trim.front, end);
	return trim;
}

ReadRecord trimmed_span(const ReadRecord *read, ReadTrim trim)
{
	ReadRecord kept = *read;
	kept.seq = read->seq + trim.front;
	if (read->qual) kept.qual = read->qual + trim.front;
	kept.len = read->len - trim.front - trim.polya - trim.quality;
	return kept;
}
