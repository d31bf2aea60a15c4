// From the filled barcode table to the count result: cell calling with rescue, then the UMI
// collapsing of every barcode and the collapsed counts of each column.
//
// Before collapsing, each UMI table is laid out again in a canonical way: where a key sits
// depends on the order of insertion, which the worker threads make different from run to
// run, and in a chain of three or more one-base neighbours the survivors of the collapsing
// depend on the slot order; with the canonical layout the counts depend on the keys alone.
// The barcodes that are not cells (and were not merged into one) are collapsed too, so that
// the raw matrix can list every barcode that keeps a UMI.
//
// Both passes over the barcodes split them into chunks that any thread may take: each
// barcode's table is read and written by one thread only, and each column's entries go to
// their own place in the result, so the result does not depend on the number of threads.
#include <malloc.h>
#include <algorithm>
#include <cstring>
#include <vector>
#include "matrix/result.h"

// Barcodes handed to a thread at a time: cells hold most of the UMIs, so the chunks are
// small enough to share the first ones out.
#define COLLAPSE_CHUNK 64

void call_cells(BarcodeTable *table, BarcodeList *list, CountResult *result)
{
	MatrixSummary *sum = &result->summary;
	const int barcode_len = result->settings.barcode_len;
	canonical_barcode_layout(table);
	select_cell_barcodes(table, list, barcode_len);
	report("Done cutting off barcode\n");
	for (uint32_t i = 0; i < list->n; ++i) {
		if (list->entries[i].umis) sum->reads_recorded += list->entries[i].umis->reads;
		sum->umi_keys += list->entries[i].umi_count;
	}
	// Barcodes corrected against a whitelist are all valid ones: none is merged into another.
	if (!result->settings.whitelist) rescue_barcodes(table, list, barcode_len);
	report("Done processing barcode\n");
	// Merged barcodes lost their table: their entries must not be collapsed.
	for (uint32_t s = 0; s < table->capacity; ++s) {
		if (table->slots[s].code == EMPTY_KEY) continue;
		uint32_t i = table->slot_rank[s];
		if (i >= list->cell_count && i < list->n) list->entries[i].umis = table->slots[s].umis;
	}
	for (uint32_t i = 0; i < list->cell_count; ++i)
		if (list->entries[i].umis) sum->reads_in_cells += list->entries[i].umis->reads;
}

// Surviving keys' genes of a collapsed table into `genes` (sorted); returns their number.
static uint32_t surviving_genes(const UmiTable *table, uint32_t gene_count, uint32_t *genes)
{
	if (!table) return 0;
	uint32_t k = 0;
	for (uint32_t s = 0; s < table->capacity; ++s) {
		const uint64_t key = table->keys[s];
		if (key != EMPTY_KEY && (key & GENE_MASK) < gene_count) genes[k++] = (uint32_t)(key & GENE_MASK);
	}
	std::sort(genes, genes + k);
	return k;
}

void count_surviving_umis(const UmiTable *table, uint32_t gene_count, uint32_t *genes_scratch,
                          uint32_t *n_genes, uint32_t *n_umis)
{
	const uint32_t k = surviving_genes(table, gene_count, genes_scratch);
	uint32_t distinct = 0;
	for (uint32_t i = 0; i < k; ++i)
		if (i == 0 || genes_scratch[i] != genes_scratch[i - 1]) ++distinct;
	*n_genes = distinct;
	*n_umis = k;
}

uint32_t collapsed_entries(const UmiTable *table, uint32_t gene_count, uint32_t *genes_scratch,
                           CountEntry *entries)
{
	const uint32_t k = surviving_genes(table, gene_count, genes_scratch);
	uint32_t n = 0;
	for (uint32_t i = 0; i < k;) {
		uint32_t j = i;
		while (j < k && genes_scratch[j] == genes_scratch[i]) ++j;
		entries[n++] = CountEntry{genes_scratch[i], j - i};
		i = j;
	}
	return n;
}

uint32_t raw_column_order(const BarcodeList *list, const uint32_t *barcode_umis, uint32_t *order)
{
	uint32_t n = 0;
	for (uint32_t i = 0; i < list->cell_count; ++i)
		if (barcode_umis[i] > 0) order[n++] = i;
	const uint32_t others = n;
	for (uint32_t i = list->cell_count; i < list->n; ++i)
		if (barcode_umis[i] > 0) order[n++] = i;
	const BarcodeEntry *e = list->entries;
	std::sort(order + others, order + n, [e](uint32_t a, uint32_t b) {
		if (e[a].umi_count != e[b].umi_count) return e[a].umi_count > e[b].umi_count;
		return e[a].code < e[b].code;
	});
	return n;
}

// Per-thread scratch of the two passes, grown to the largest table a thread meets.
struct CollapseScratch {
	std::vector<uint64_t> keys;
	std::vector<uint32_t> genes;
};

static uint32_t *genes_room(CollapseScratch *scratch, const UmiTable *table)
{
	if (table && scratch->genes.size() < table->count) scratch->genes.resize(table->count);
	return scratch->genes.data();
}

void collapse_barcode_umis(BarcodeList *list, int n_threads, CountResult *result)
{
	const uint32_t gene_count = result->ann->gene_count;
	const int umi_len = result->settings.umi_len;
	const uint32_t n = list->n, cells = list->cell_count;
	std::vector<CollapseScratch> scratch((size_t)(n_threads > 0 ? n_threads : 1));

	// Pass 1: collapse every barcode and count what survives.
	std::vector<uint32_t> genes(n ? n : 1, 0), umis(n ? n : 1, 0);
	parallel_chunks(n_threads, n, COLLAPSE_CHUNK, [&](uint64_t begin, uint64_t end, int thread) {
		CollapseScratch *s = &scratch[(size_t)thread];
		for (uint64_t i = begin; i < end; ++i) {
			BarcodeEntry *entry = &list->entries[i];
			if (entry->umis && s->keys.size() < entry->umis->count) s->keys.resize(entry->umis->count);
			canonical_umi_layout(entry->umis, s->keys.data());
			collapse_umis(entry, umi_len, gene_count);
			count_surviving_umis(entry->umis, gene_count, genes_room(s, entry->umis), &genes[i], &umis[i]);
		}
	});

	// The columns: every cell, then the raw matrix's other barcodes.
	std::vector<uint32_t> order(n ? n : 1);
	const uint32_t raw = raw_column_order(list, umis.data(), order.data());
	uint32_t kept_cells = 0;
	while (kept_cells < raw && order[kept_cells] < cells) ++kept_cells;
	const uint32_t n_columns = cells + (raw - kept_cells);
	// List position of each column, kept_cells .. raw of `order` moved behind the cells.
	uint32_t *position = order.data();
	std::copy_backward(order.begin() + kept_cells, order.begin() + raw, order.begin() + n_columns);
	for (uint32_t c = 0; c < cells; ++c) position[c] = c;
	result->barcodes = list;
	result->cell_count = cells;
	result->columns.resize(n_columns);
	uint64_t total = 0;
	for (uint32_t c = 0; c < n_columns; ++c) {
		const uint32_t i = position[c];
		result->columns[c] = CountColumn{i, genes[i], umis[i]};
		total += genes[i];
	}
	// Only the columns are needed from here on.
	for (std::vector<uint32_t> *v : {&genes, &umis, &order}) {
		v->clear();
		v->shrink_to_fit();
	}

	// Pass 2: the entries of each column at its place, found from the chunk's first entry.
	result->entries.resize(total);
	const uint64_t n_chunks = (n_columns + COLLAPSE_CHUNK - 1) / COLLAPSE_CHUNK;
	std::vector<uint64_t> chunk_start(n_chunks + 1, 0);
	for (uint32_t c = 0; c < n_columns; ++c) chunk_start[c / COLLAPSE_CHUNK + 1] += result->columns[c].genes;
	for (uint64_t k = 0; k < n_chunks; ++k) chunk_start[k + 1] += chunk_start[k];
	parallel_chunks(n_threads, n_columns, COLLAPSE_CHUNK, [&](uint64_t begin, uint64_t end, int thread) {
		CollapseScratch *s = &scratch[(size_t)thread];
		CountEntry *out = result->entries.data() + chunk_start[begin / COLLAPSE_CHUNK];
		for (uint64_t c = begin; c < end; ++c) {
			const UmiTable *table = list->entries[result->columns[c].barcode].umis;
			out += collapsed_entries(table, gene_count, genes_room(s, table), out);
		}
	});
}

void release_counted_tables(BarcodeTable *table, BarcodeList *list)
{
	barcode_table_free(table);
	for (uint32_t i = 0; i < list->n; ++i) list->entries[i].umis = nullptr;
	// Millions of small tables leave the heap full of free chunks that the process would
	// otherwise keep resident.
	malloc_trim(0);
}
