// The kit's list of valid barcodes and the correction of read barcodes against it.
//
// The list is held as its sorted base-5 codes (8 bytes a barcode), with a table of where each
// range of codes begins (4 MiB, whatever the list), beside a count of the reads
// that matched each one exactly (4 bytes), which a first pass over the read-1 files fills
// before mapping: the correction weighs the candidates by those counts, so every read is
// corrected with the same priors whatever the number of threads or the order of the reads.
#include <zlib.h>
#include <algorithm>
#include <cmath>
#include <cstring>
#include "matrix/counting.h"

void load_whitelist(const char *path, int length, Whitelist *list)
{
	GzFilePtr gz(gzopen(path, "rb"));
	if (!gz) fatal("[ERROR] Unable to open file [%s] to read\n", path);
	gzbuffer(gz.get(), 1 << 20);
	list->length = length;
	list->codes.clear();
	char line[256];
	uint64_t number = 0;
	while (gzgets(gz.get(), line, sizeof line)) {
		++number;
		size_t n = strlen(line);
		if (n && line[n - 1] == '\n') line[--n] = 0;
		if (n && line[n - 1] == '\r') line[--n] = 0;
		bool ok = n == (size_t)length;
		for (size_t i = 0; ok && i < n; ++i) ok = BASE_CODE[(uint8_t)line[i]] < 4;
		if (!ok) {
			if (n == 0 && gzeof(gz.get())) break;  // a last empty line
			fatal("[ERROR] Barcode list [%s] line %llu is not a barcode of %d bases (A, C, G, T)\n", path,
			      (unsigned long long)number, length);
		}
		list->codes.push_back(pack_bases(line, length));
	}
	int err = Z_OK;
	gzerror(gz.get(), &err);
	if (err != Z_OK) fatal("[ERROR] Unable to read file [%s]\n", path);
	if (list->codes.empty()) fatal("[ERROR] Barcode list [%s] holds no barcode\n", path);
	if (list->codes.size() >= UINT32_MAX) fatal("[ERROR] Barcode list [%s] holds too many barcodes\n", path);
	index_whitelist(list);
}

void index_whitelist(Whitelist *list)
{
	std::sort(list->codes.begin(), list->codes.end());
	list->codes.erase(std::unique(list->codes.begin(), list->codes.end()), list->codes.end());
	list->codes.shrink_to_fit();
	list->exact.assign(list->codes.size(), 0);
	// The shift that puts the largest code of this length in the last range.
	const uint64_t top = POWERS_OF_5[list->length - 1] * 5;
	list->bucket_shift = 0;
	while ((top >> list->bucket_shift) >= WHITELIST_BUCKETS) ++list->bucket_shift;
	list->bucket_first.assign(WHITELIST_BUCKETS + 1, 0);
	for (uint64_t c : list->codes) ++list->bucket_first[(c >> list->bucket_shift) + 1];
	for (uint32_t b = 0; b < WHITELIST_BUCKETS; ++b) list->bucket_first[b + 1] += list->bucket_first[b];
}

int64_t whitelist_find(const Whitelist *list, uint64_t code)
{
	const uint64_t b = code >> list->bucket_shift;
	if (b >= WHITELIST_BUCKETS) return -1;
	const uint64_t *first = list->codes.data() + list->bucket_first[b];
	const uint64_t *last = list->codes.data() + list->bucket_first[b + 1];
	const uint64_t *it = std::lower_bound(first, last, code);
	return it != last && *it == code ? it - list->codes.data() : -1;
}

BarcodeMatch match_barcode(const Whitelist *list, const char *bases, const char *qual, uint64_t *code)
{
	const int len = list->length;
	const uint64_t read_code = pack_bases(bases, len);
	if (whitelist_find(list, read_code) >= 0) {
		*code = read_code;
		return BARCODE_ON_LIST;
	}
	double total = 0, best = 0;
	uint64_t best_code = 0;
	for (int j = 0; j < len; ++j) {  // digit j is base len - 1 - j
		const int p = len - 1 - j;
		const uint32_t d = (uint32_t)((read_code / POWERS_OF_5[j]) % 5);
		const int q = qual ? (int)(uint8_t)qual[p] - 33 : 0;
		const double error = std::pow(10.0, -(q < 0 ? 0 : q) / 10.0);
		for (uint32_t b = 0; b < 4; ++b) {
			if (b == d) continue;
			const uint64_t candidate = read_code + (uint64_t)b * POWERS_OF_5[j] - (uint64_t)d * POWERS_OF_5[j];
			const int64_t k = whitelist_find(list, candidate);
			if (k < 0) continue;
			const double w = ((double)list->exact[(size_t)k] + 1.0) * error;
			total += w;
			if (w > best) {
				best = w;
				best_code = candidate;
			}
		}
	}
	if (total > 0 && best >= CORRECTION_MIN_POSTERIOR * total) {
		*code = best_code;
		return BARCODE_CORRECTED;
	}
	return BARCODE_INVALID;
}

bool umi_passes(const char *bases, const char *qual, int len)
{
	bool repeated = true;
	for (int i = 0; i < len; ++i) {
		if (BASE_CODE[(uint8_t)bases[i]] > 3) return false;
		if (qual && (int)(uint8_t)qual[i] - 33 < 10) return false;
		repeated &= BASE_CODE[(uint8_t)bases[i]] == BASE_CODE[(uint8_t)bases[0]];
	}
	return !repeated;
}
