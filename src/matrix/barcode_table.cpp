// The concurrent barcode table: barcode code -> UmiTable, filled by all workers at once.
//
// Slots are claimed without a shared lock by a 64-bit compare-and-swap from EMPTY_KEY.
// Each worker holds only its own mutex while it inserts and adds a UMI key; growth takes
// every worker mutex (so no insert is under way) and re-places the entries in place.
// UmiTables are guarded by stripe mutexes because several workers may feed one barcode.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include "matrix/counting.h"

#define BARCODE_TABLE_START 65536u

uint32_t barcode_max_probe(uint64_t capacity)
{
	uint64_t k = 1, cubes = 1;
	while (64 * cubes < capacity) {
		++k;
		cubes += k * k * k;
	}
	return (uint32_t)k;
}

uint32_t barcode_home_slot(uint64_t code, uint32_t capacity)
{
	uint64_t z = code;
	z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
	z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
	z = z ^ (z >> 31);
	return (uint32_t)z & (capacity - 1);
}

static void init_mutexes(pthread_mutex_t *locks, int n)
{
	for (int i = 0; i < n; ++i) pthread_mutex_init(&locks[i], nullptr);
}

BarcodeTable *barcode_table_create(int n_workers)
{
	BarcodeTable *table = (BarcodeTable *)malloc_or_die(1, sizeof(BarcodeTable), true);
	table->capacity = BARCODE_TABLE_START;
	table->count = 0;
	table->max_probe = 0;
	table->slots = (BarcodeSlot *)malloc_or_die(BARCODE_TABLE_START, sizeof(BarcodeSlot));
	table->worker_locks = (pthread_mutex_t *)malloc_or_die(n_workers > 0 ? n_workers : 1, sizeof(pthread_mutex_t));
	table->stripe_locks = (pthread_mutex_t *)malloc_or_die(STRIPE_COUNT, sizeof(pthread_mutex_t));
	for (uint32_t i = 0; i < BARCODE_TABLE_START; ++i) table->slots[i] = BarcodeSlot{EMPTY_KEY, nullptr};
	table->resizing = 0;
	table->worker_count = n_workers;
	init_mutexes(table->worker_locks, n_workers);
	init_mutexes(table->stripe_locks, STRIPE_COUNT);
	table->slot_rank = nullptr;
	return table;
}

void barcode_table_free(BarcodeTable *table)
{
	if (!table) return;
	for (uint32_t i = 0; i < table->capacity; ++i) umi_table_free(table->slots[i].umis);
	for (int i = 0; i < table->worker_count; ++i) pthread_mutex_destroy(&table->worker_locks[i]);
	for (int i = 0; i < STRIPE_COUNT; ++i) pthread_mutex_destroy(&table->stripe_locks[i]);
	free(table->slots);
	free(table->worker_locks);
	free(table->stripe_locks);
	free(table->slot_rank);
	free(table);
}

// Probe sequence: offsets 0, 1, 4, 10, 20, ... from the home slot (the j-th step adds j(j+1)/2).
uint32_t barcode_table_insert(BarcodeTable *table, uint64_t code)
{
	const uint32_t mask = table->capacity - 1;
	const uint32_t max_probe = table->max_probe;
	BarcodeSlot *slots = table->slots;
	uint32_t pos = barcode_home_slot(code, table->capacity);
	for (uint32_t j = 0;; ++j) {
		// A plain look first keeps hot slots shared between cores; only a free slot is
		// worth a compare-and-swap, which then settles any race for it.
		uint64_t seen = __atomic_load_n(&slots[pos].code, __ATOMIC_SEQ_CST);
		if (seen == code) return pos;
		if (seen == EMPTY_KEY) {
			uint64_t expected = EMPTY_KEY;
			if (__atomic_compare_exchange_n(&slots[pos].code, &expected, code, false, __ATOMIC_SEQ_CST,
			                                __ATOMIC_SEQ_CST)) {
				__atomic_fetch_add(&table->count, 1u, __ATOMIC_SEQ_CST);
				return pos;
			}
			if (expected == code) return pos;
		}
		if (j + 1 > max_probe) return TABLE_FULL;
		pos = (pos + (j + 1) * (j + 2) / 2) & mask;
	}
}

uint32_t barcode_table_find(const BarcodeTable *table, uint64_t code)
{
	const uint32_t mask = table->capacity - 1;
	const BarcodeSlot *slots = table->slots;
	uint32_t pos = barcode_home_slot(code, table->capacity);
	for (uint32_t j = 0;; ++j) {
		const uint64_t seen = __atomic_load_n(&slots[pos].code, __ATOMIC_SEQ_CST);
		if (seen == code) return pos;
		if (seen == EMPTY_KEY || j + 1 > table->max_probe) return TABLE_FULL;
		pos = (pos + (j + 1) * (j + 2) / 2) & mask;
	}
}

void barcode_table_grow(BarcodeTable *table)
{
	const uint32_t old = table->capacity;
	const uint32_t capacity = old * 2;
	const uint32_t max_probe = barcode_max_probe(capacity);
	BarcodeSlot *slots = (BarcodeSlot *)realloc_or_die(table->slots, sizeof(BarcodeSlot) * (size_t)capacity);
	for (uint32_t i = old; i < capacity; ++i) slots[i] = BarcodeSlot{EMPTY_KEY, nullptr};
	table->slots = slots;
	table->capacity = capacity;
	table->max_probe = max_probe;

	// 0 free, 1 holds an entry not yet re-placed, 2 holds an entry in its final place.
	uint8_t *state = (uint8_t *)malloc_or_die(capacity, 1, true);
	for (uint32_t i = 0; i < old; ++i)
		if (slots[i].code != EMPTY_KEY) state[i] = 1;

	const uint32_t mask = capacity - 1;
	for (uint32_t i = 0; i < old; ++i) {
		if (state[i] != 1) continue;
		BarcodeSlot carried = slots[i];
		slots[i] = BarcodeSlot{EMPTY_KEY, nullptr};
		state[i] = 0;
		for (;;) {
			uint32_t pos = barcode_home_slot(carried.code, capacity);
			uint32_t j = 0;
			while (state[pos] == 2) {
				if (++j > max_probe) fatal("[ERROR] [Single-thread] Resizing kmhash failed\n");
				pos = (pos + j * (j + 1) / 2) & mask;
			}
			const uint8_t found = state[pos];
			state[pos] = 2;
			if (found == 0) {
				slots[pos] = carried;
				break;
			}
			const BarcodeSlot displaced = slots[pos];
			slots[pos] = carried;
			carried = displaced;
		}
	}
	free(state);
}

void canonical_barcode_layout(BarcodeTable *table)
{
	// A table that never grew holds every barcode in its home slot: already canonical.
	if (table->capacity == BARCODE_TABLE_START && table->max_probe == 0) return;
	uint32_t n = 0;
	for (uint64_t s = 0; s < table->capacity; ++s)
		if (table->slots[s].code != EMPTY_KEY) ++n;
	BarcodeSlot *entries = (BarcodeSlot *)malloc_or_die(n, sizeof(BarcodeSlot));
	n = 0;
	for (uint64_t s = 0; s < table->capacity; ++s)
		if (table->slots[s].code != EMPTY_KEY) entries[n++] = table->slots[s];
	std::sort(entries, entries + n, [](const BarcodeSlot &a, const BarcodeSlot &b) { return a.code < b.code; });

	uint64_t capacity = BARCODE_TABLE_START;
	uint32_t max_probe = 0;
	for (;;) {
		table->slots = (BarcodeSlot *)realloc_or_die(table->slots, sizeof(BarcodeSlot) * capacity);
		for (uint64_t s = 0; s < capacity; ++s) table->slots[s] = BarcodeSlot{EMPTY_KEY, nullptr};
		table->capacity = (uint32_t)capacity;
		table->max_probe = max_probe;
		table->count = 0;
		uint32_t i = 0;
		for (; i < n; ++i) {
			const uint32_t slot = barcode_table_insert(table, entries[i].code);
			if (slot == TABLE_FULL) break;
			table->slots[slot].umis = entries[i].umis;
		}
		if (i == n) break;
		if (capacity == BARCODE_TABLE_MAX_CAPACITY)
			fatal("[ERROR] The barcodes hash table is too big (exceeded %llu)\n", BARCODE_TABLE_MAX_CAPACITY);
		capacity *= 2;
		max_probe = barcode_max_probe(capacity);
	}
	free(entries);
}

void barcode_add_umi(BarcodeTable *table, uint32_t slot, uint64_t key)
{
	pthread_mutex_t *stripe = &table->stripe_locks[slot % STRIPE_COUNT];
	pthread_mutex_lock(stripe);
	BarcodeSlot *entry = &table->slots[slot];
	// Most barcodes are noise of one or two reads: their table starts small.
	if (!entry->umis) entry->umis = umi_table_create(UMI_TABLE_SMALL);
	umi_table_add(entry->umis, key);
	++entry->umis->reads;
	pthread_mutex_unlock(stripe);
}

// One growth attempt by whichever worker wins the `resizing` flag; the others go on at once.
static void try_grow(BarcodeTable *table)
{
	int32_t idle = 0;
	if (!__atomic_compare_exchange_n(&table->resizing, &idle, 1, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
		sched_yield();  // someone else grows; give it the core before retrying
		return;
	}
	for (int i = 0; i < table->worker_count; ++i) pthread_mutex_lock(&table->worker_locks[i]);
	if (table->capacity == BARCODE_TABLE_MAX_CAPACITY)
		fatal("[ERROR] The barcodes hash table is too big (exceeded %llu)\n", BARCODE_TABLE_MAX_CAPACITY);
	barcode_table_grow(table);
	for (int i = 0; i < table->worker_count; ++i) pthread_mutex_unlock(&table->worker_locks[i]);
	__atomic_store_n(&table->resizing, 0, __ATOMIC_SEQ_CST);
}

uint64_t umi_key(const char *umi, int umi_len, uint32_t gene)
{
	return (pack_bases(umi, umi_len) << GENE_BITS) | (uint64_t)gene;
}

void record_barcode_umi(BarcodeTable *table, pthread_mutex_t *own_lock, uint64_t code, uint64_t key)
{
	for (;;) {
		pthread_mutex_lock(own_lock);
		const uint32_t slot = barcode_table_insert(table, code);
		if (slot != TABLE_FULL) {
			barcode_add_umi(table, slot, key);
			pthread_mutex_unlock(own_lock);
			return;
		}
		pthread_mutex_unlock(own_lock);
		try_grow(table);
	}
}
