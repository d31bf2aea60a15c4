// Choice of the cell barcodes, one-base barcode rescue and UMI collapsing.
//
// After counting, every barcode seen is ranked by its number of distinct UMI keys.
// The ranked list is cut at the first barcode that looks like a sequencing error of
// an at-least-as-large barcode and at 1 % of the largest count; dropped barcodes one
// base away from exactly one kept barcode are folded into it. Inside each kept
// barcode, UMIs with a base other than ACGT and UMIs one base away from another UMI
// of the same gene are marked as discarded.
#include <cstdlib>
#include <cstring>
#include "matrix/matrix.h"

// 5^0 .. 5^23: digit j of a base-5 code is (code / 5^j) mod 5, j = 0 being the last base.
const uint64_t POWERS_OF_5[MAX_CODE_LEN] = {
	1ULL, 5ULL, 25ULL, 125ULL, 625ULL, 3125ULL, 15625ULL, 78125ULL,
	390625ULL, 1953125ULL, 9765625ULL, 48828125ULL, 244140625ULL, 1220703125ULL,
	6103515625ULL, 30517578125ULL, 152587890625ULL, 762939453125ULL,
	3814697265625ULL, 19073486328125ULL, 95367431640625ULL, 476837158203125ULL,
	2384185791015625ULL, 11920928955078125ULL,
};

// Insertion-sort block width of the ranking; also the first run width of the merges.
#define RANK_BLOCK 64

static inline uint32_t code_digit(uint64_t code, int j)
{
	return (uint32_t)((code / POWERS_OF_5[j]) % 5);
}

static inline uint32_t slot_umi_count(const BarcodeSlot *slot)
{
	return slot->umis ? slot->umis->count : 0;
}

// Largest count first. The insertion stage keeps the list order of equal counts
// inside a block; a merge puts the right run's entry first on equal counts. So
// equal counts end up ordered by block, last block first, and by list order
// within a block. The result must stay exactly this order: barcodes.tsv and the
// cut position depend on it.
static void rank_barcodes(BarcodeEntry *entries, uint32_t n)
{
	for (uint32_t start = 0; start < n; start += RANK_BLOCK) {
		uint32_t end = start + RANK_BLOCK < n ? start + RANK_BLOCK : n;
		for (uint32_t i = start + 1; i < end; ++i) {
			BarcodeEntry e = entries[i];
			uint32_t k = i;
			while (k > start && e.umi_count > entries[k - 1].umi_count) {
				entries[k] = entries[k - 1];
				--k;
			}
			entries[k] = e;
		}
	}
	if (n <= RANK_BLOCK) return;

	BarcodeEntry *left = (BarcodeEntry *)malloc_or_die(n, sizeof(BarcodeEntry));
	for (uint64_t w = RANK_BLOCK; w < n; w *= 2) {
		for (uint64_t lo = 0; lo < n; lo += 2 * w) {
			uint64_t hi = lo + 2 * w < n ? lo + 2 * w : n;
			uint64_t mid = lo + w < hi ? lo + w : hi;
			if (mid == hi) continue;  // no right run: the left run stays as it is
			uint64_t n_left = mid - lo;
			memcpy(left, entries + lo, n_left * sizeof(BarcodeEntry));
			uint64_t a = 0, b = mid, out = lo;
			while (a < n_left && b < hi) {
				if (left[a].umi_count > entries[b].umi_count) entries[out++] = left[a++];
				else entries[out++] = entries[b++];
			}
			while (a < n_left) entries[out++] = left[a++];
			// the rest of the right run is already in place
		}
	}
	free(left);
}

// True when some one-substitution neighbour of `code` is in the table with at least
// `umi_count` UMI keys.
static bool has_larger_neighbour(const BarcodeTable *table, uint64_t code, uint32_t umi_count,
                                 int barcode_len)
{
	for (int j = 0; j < barcode_len; ++j) {
		uint32_t d = code_digit(code, j);
		for (uint32_t b = 0; b < 4; ++b) {
			if (b == d) continue;
			uint64_t nb = code + (uint64_t)b * POWERS_OF_5[j] - (uint64_t)d * POWERS_OF_5[j];
			uint32_t slot = barcode_table_find(table, nb);
			if (slot != TABLE_FULL && slot_umi_count(&table->slots[slot]) >= umi_count)
				return true;
		}
	}
	return false;
}

void select_cell_barcodes(BarcodeTable *table, BarcodeList *list, int barcode_len)
{
	uint32_t n = 0;
	for (uint64_t s = 0; s < table->capacity; ++s)
		if (table->slots[s].code != EMPTY_KEY) ++n;
	list->entries = (BarcodeEntry *)malloc_or_die(n, sizeof(BarcodeEntry));
	list->n = 0;
	for (uint64_t s = 0; s < table->capacity; ++s) {
		const BarcodeSlot *slot = &table->slots[s];
		if (slot->code == EMPTY_KEY) continue;
		BarcodeEntry *e = &list->entries[list->n++];
		e->code = slot->code;
		e->umi_count = slot_umi_count(slot);
		e->umis = slot->umis;
	}

	rank_barcodes(list->entries, n);

	free(table->slot_rank);
	table->slot_rank = (uint32_t *)malloc_or_die(table->capacity, sizeof(uint32_t), true);
	for (uint32_t i = 0; i < n; ++i)
		table->slot_rank[barcode_table_find(table, list->entries[i].code)] = i;

	list->cell_count = n;
	for (uint32_t i = 0; i < n; ++i) {
		if (has_larger_neighbour(table, list->entries[i].code, list->entries[i].umi_count,
		                         barcode_len)) {
			list->cell_count = i;
			break;
		}
	}
	if (n == 0) return;

	uint32_t low = (uint32_t)(list->entries[0].umi_count * 0.01);
	for (uint32_t i = 0; i < list->cell_count; ++i) {
		if (list->entries[i].umi_count < low) {
			list->cell_count = i;
			break;
		}
	}
}

void rescue_barcodes(BarcodeTable *table, const BarcodeList *list, int barcode_len)
{
	const int32_t kept_limit = (int32_t)list->cell_count;
	for (uint32_t i = list->cell_count; i < list->n; ++i) {
		uint64_t code = list->entries[i].code;
		int kept = 0;
		uint64_t kept_code = 0;
		for (int j = 0; j < barcode_len; ++j) {
			uint32_t d = code_digit(code, j);
			for (uint32_t b = 0; b < 4; ++b) {
				if (b == d) continue;
				uint64_t nb = code + (uint64_t)b * POWERS_OF_5[j] - (uint64_t)d * POWERS_OF_5[j];
				uint32_t slot = barcode_table_find(table, nb);
				if (slot != TABLE_FULL && (int32_t)table->slot_rank[slot] < kept_limit) {
					++kept;
					kept_code = nb;
				}
			}
		}
		if (kept == 1) merge_barcode(table, kept_code, code);
	}
}

void merge_barcode(BarcodeTable *table, uint64_t kept, uint64_t dropped)
{
	uint32_t kept_slot = barcode_table_find(table, kept);
	uint32_t dropped_slot = barcode_table_find(table, dropped);
	if (kept_slot == TABLE_FULL || dropped_slot == TABLE_FULL) return;
	UmiTable *d = table->slots[dropped_slot].umis;
	if (!d) return;
	UmiTable *k = table->slots[kept_slot].umis;
	if (!k) k = table->slots[kept_slot].umis = umi_table_create();
	for (uint32_t s = 0; s < d->capacity; ++s)
		if (d->keys[s] != EMPTY_KEY) umi_table_add(k, d->keys[s]);
	k->reads += d->reads;
	umi_table_free(d);
	table->slots[dropped_slot].umis = nullptr;
}

void collapse_umis(BarcodeEntry *entry, int umi_len, uint32_t gene_count)
{
	UmiTable *t = entry->umis;
	if (!t) return;
	for (uint32_t s = 0; s < t->capacity; ++s) {
		uint64_t key = t->keys[s];
		if (key == EMPTY_KEY) continue;
		uint64_t gene = key & GENE_MASK;
		if (gene == gene_count) continue;
		uint64_t umi = key >> GENE_BITS;
		const uint64_t discarded = (umi << GENE_BITS) | gene_count;

		uint32_t digits[MAX_CODE_LEN];
		bool has_n = false;
		for (int j = 0; j < umi_len; ++j) {
			digits[j] = code_digit(umi, j);
			if (digits[j] == 4) has_n = true;
		}
		if (has_n) {
			t->keys[s] = discarded;
			continue;
		}
		bool found = false;
		for (int j = 0; j < umi_len && !found; ++j) {
			for (uint32_t b = 0; b < 4; ++b) {
				if (b == digits[j]) continue;
				uint64_t nb_umi = umi + (uint64_t)b * POWERS_OF_5[j] - (uint64_t)digits[j] * POWERS_OF_5[j];
				if (umi_table_find(t, (nb_umi << GENE_BITS) | gene) != TABLE_FULL) {
					found = true;
					break;
				}
			}
		}
		if (found) t->keys[s] = discarded;
	}
}

void release_barcode_list(BarcodeList *list)
{
	free(list->entries);
	list->entries = nullptr;
	list->n = list->cell_count = 0;
}
