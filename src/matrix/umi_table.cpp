// Per-barcode set of UMI keys (UMI code << GENE_BITS | gene index), and the base-5
// packing shared by barcodes and UMIs.
//
// Open addressing with triangular probing over a power-of-two key array; the key value
// EMPTY_KEY marks a free slot, so a table is a bare 8 bytes per slot. Growth re-places
// the keys inside the enlarged array, tracked by a transient 2-bit state per slot.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include "matrix/matrix.h"

uint64_t pack_bases(const char *bases, int len)
{
	uint64_t code = 0;
	for (int i = 0; i < len; ++i) code = code * 5 + BASE_CODE[(uint8_t)bases[i]];
	return code;
}

void unpack_bases(uint64_t code, int len, char *out)
{
	static const char LETTERS[] = "ACGTN";
	for (int i = len - 1; i >= 0; --i) {
		out[i] = LETTERS[code % 5];
		code /= 5;
	}
	out[len] = 0;
}

uint32_t umi_hash(uint64_t key)
{
	return (uint32_t)((key >> 33) ^ (key << 11) ^ key);
}

uint32_t umi_table_limit(uint32_t capacity)
{
	return (uint32_t)((double)capacity * 0.77);
}

UmiTable *umi_table_create(uint32_t capacity)
{
	UmiTable *table = (UmiTable *)malloc_or_die(1, sizeof(UmiTable));
	uint64_t *keys = (uint64_t *)malloc_or_die(capacity, sizeof(uint64_t));
	memset(keys, 0xFF, sizeof(uint64_t) * capacity);  // every byte 0xFF: EMPTY_KEY
	table->capacity = capacity;
	table->count = 0;
	table->keys = keys;
	table->reads = 0;
	return table;
}

uint32_t umi_table_insert(UmiTable *table, uint64_t key)
{
	if (table->count >= umi_table_limit(table->capacity)) return TABLE_FULL;
	const uint32_t mask = table->capacity - 1;
	const uint32_t home = umi_hash(key) & mask;
	uint64_t *keys = table->keys;
	uint32_t pos = home;
	for (uint32_t step = 1;; ++step) {
		if (keys[pos] == key) return pos;
		if (keys[pos] == EMPTY_KEY) {
			keys[pos] = key;
			++table->count;
			return pos;
		}
		pos = (pos + step) & mask;
		if (pos == home) return TABLE_FULL;
	}
}

uint32_t umi_table_find(const UmiTable *table, uint64_t key)
{
	const uint32_t mask = table->capacity - 1;
	const uint32_t home = umi_hash(key) & mask;
	const uint64_t *keys = table->keys;
	uint32_t pos = home;
	for (uint32_t step = 1;; ++step) {
		if (keys[pos] == key) return pos;
		if (keys[pos] == EMPTY_KEY) return TABLE_FULL;
		pos = (pos + step) & mask;
		if (pos == home) return TABLE_FULL;
	}
}

// Growth states, 2 bits per slot, 16 slots per word.
enum : uint32_t { SLOT_FREE = 0, SLOT_WAITING = 1, SLOT_PLACED = 2 };

static inline uint32_t get_state(const uint32_t *states, uint32_t s)
{
	return (states[s >> 4] >> ((s & 15) << 1)) & 3u;
}

static inline void set_state(uint32_t *states, uint32_t s, uint32_t value)
{
	const uint32_t shift = (s & 15) << 1;
	states[s >> 4] = (states[s >> 4] & ~(3u << shift)) | (value << shift);
}

void umi_table_grow(UmiTable *table)
{
	const uint32_t old = table->capacity;
	const uint32_t capacity = old * 2;
	uint64_t *keys = (uint64_t *)realloc_or_die(table->keys, sizeof(uint64_t) * capacity);
	memset(keys + old, 0xFF, sizeof(uint64_t) * old);
	table->keys = keys;
	table->capacity = capacity;

	uint32_t *states = (uint32_t *)malloc_or_die((capacity + 15) / 16, sizeof(uint32_t), true);
	for (uint32_t i = 0; i < old; ++i)
		if (keys[i] != EMPTY_KEY) set_state(states, i, SLOT_WAITING);

	const uint32_t mask = capacity - 1;
	for (uint32_t i = 0; i < old; ++i) {
		if (get_state(states, i) != SLOT_WAITING) continue;
		uint64_t carried = keys[i];
		keys[i] = EMPTY_KEY;
		set_state(states, i, SLOT_FREE);
		for (;;) {
			// Walk to the first slot that is free or still holds a key waiting to move.
			const uint32_t home = umi_hash(carried) & mask;
			uint32_t pos = home;
			uint32_t state = get_state(states, pos);
			for (uint32_t step = 1; state == SLOT_PLACED; ++step) {
				pos = (pos + step) & mask;
				if (pos == home) fatal("[ERROR] Resize UMI hash failed\n");
				state = get_state(states, pos);
			}
			set_state(states, pos, SLOT_PLACED);
			if (state == SLOT_FREE) {
				keys[pos] = carried;
				break;
			}
			const uint64_t displaced = keys[pos];
			keys[pos] = carried;
			carried = displaced;
		}
	}
	free(states);
}

void umi_table_free(UmiTable *table)
{
	if (!table) return;
	free(table->keys);
	free(table);
}

void umi_table_add(UmiTable *table, uint64_t key)
{
	while (umi_table_insert(table, key) == TABLE_FULL) {
		// A full table answers before it looks: a key it already holds needs no room.
		if (umi_table_find(table, key) != TABLE_FULL) return;
		umi_table_grow(table);
	}
}

void canonical_umi_layout(UmiTable *table, uint64_t *scratch)
{
	if (!table || table->count < 2) return;
	uint32_t n = 0;
	for (uint32_t s = 0; s < table->capacity; ++s)
		if (table->keys[s] != EMPTY_KEY) scratch[n++] = table->keys[s];
	std::sort(scratch, scratch + n);
	// The capacity is set from the count too: a barcode's table starts small, a merged or
	// test-made one at UMI_TABLE_START, and the collapsing depends on the slot order.
	uint32_t capacity = UMI_TABLE_START;
	while (n > umi_table_limit(capacity)) capacity *= 2;
	if (capacity != table->capacity) {
		table->keys = (uint64_t *)realloc_or_die(table->keys, (size_t)capacity * sizeof(uint64_t));
		table->capacity = capacity;
	}
	memset(table->keys, 0xFF, (size_t)table->capacity * sizeof(uint64_t));  // every slot EMPTY_KEY
	table->count = 0;
	for (uint32_t i = 0; i < n; ++i) umi_table_add(table, scratch[i]);
}
