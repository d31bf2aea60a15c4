// Outcomes of cDNA sequences already mapped in this run. Droplet libraries repeat themselves:
// PCR copies of one fragment, and fragments of highly expressed genes that start at the same
// base, give identical reads all through the files (half of the reads of a real PBMC sample
// repeat an earlier one). The outcome and the alignments of a read depend on its bases alone,
// so a repeat takes them from here instead of being mapped again.
//
// One table for all workers: sets of READ_CACHE_WAYS entries, each set guarded by one of
// READ_CACHE_LOCKS mutexes. A full set gives up an entry that no read has asked for since the
// replacement last passed over it (second chance), so that frequent sequences stay.
#include <cstdint>
#include <cstring>
#include <pthread.h>
#include "base/base.h"
#include "mapping/mapping.h"

#define READ_CACHE_WAYS 4
#define READ_CACHE_LOCKS 1024

struct ReadCacheEntry {
	uint64_t bases[READ_CACHE_WORDS];  // as in ReadKey
	uint16_t len;                      // 0: empty
	uint8_t outcome;
	uint8_t count;                     // alignments
	uint8_t asked;                     // found since the replacement last passed over it
	uint8_t unused[3];
	Alignment records[READ_CACHE_MAX_ALIGNMENTS];
};
static_assert(sizeof(ReadCacheEntry) == 128, "two cache lines per entry");

struct ReadCache {
	ReadCacheEntry *entries;
	uint64_t set_mask;
	pthread_mutex_t locks[READ_CACHE_LOCKS];
};

ReadCache *create_read_cache(uint64_t entries)
{
	uint64_t sets = 1;
	while (sets * 2 * READ_CACHE_WAYS <= entries) sets *= 2;
	ReadCache *cache = (ReadCache *)malloc_or_die(1, sizeof(ReadCache));
	// Zeroed pages come from the system as they are first touched: a short run holds little.
	cache->entries = (ReadCacheEntry *)calloc(sets * READ_CACHE_WAYS, sizeof(ReadCacheEntry));
	if (!cache->entries) fatal(MSG_NO_MEMORY);
	cache->set_mask = sets - 1;
	for (pthread_mutex_t &lock : cache->locks) pthread_mutex_init(&lock, nullptr);
	return cache;
}

void release_read_cache(ReadCache *cache)
{
	if (!cache) return;
	for (pthread_mutex_t &lock : cache->locks) pthread_mutex_destroy(&lock);
	free(cache->entries);
	free(cache);
}

// 2-bit code of the upper-case bases; 4 marks every other byte (lower case and N are rare:
// such reads are mapped every time).
static const struct KeyCodes {
	uint8_t code[256];
	KeyCodes()
	{
		memset(code, 4, sizeof code);
		code['A'] = 0, code['C'] = 1, code['G'] = 2, code['T'] = 3;
	}
} KEY_CODES;

bool read_cache_key(const char *seq, int32_t len, ReadKey *key)
{
	if (len <= 0 || len > READ_CACHE_MAX_LEN) return false;
	memset(key, 0, sizeof *key);
	// A table and no branch per base: the bases of reads are a random choice of four.
	uint32_t other = 0;
	for (int32_t i = 0; i < len; ++i) {
		const uint32_t c = KEY_CODES.code[(uint8_t)seq[i]];
		other |= c;
		key->bases[i >> 5] |= (uint64_t)(c & 3) << (2 * (i & 31));
	}
	if (other & 4) return false;
	key->len = (uint16_t)len;
	uint64_t h = (uint64_t)len * 0x9E3779B97F4A7C15ULL;
	for (uint64_t w : key->bases) {
		h = (h ^ w) * 0xFF51AFD7ED558CCDULL;
		h ^= h >> 33;
	}
	key->hash = h;
	return true;
}

static inline bool same_key(const ReadCacheEntry *e, const ReadKey *key)
{
	return e->len == key->len && memcmp(e->bases, key->bases, sizeof key->bases) == 0;
}

bool read_cache_find(ReadCache *cache, const ReadKey *key, AlignmentList *alignments, MapOutcome *outcome)
{
	const uint64_t set = key->hash & cache->set_mask;
	ReadCacheEntry *ways = cache->entries + set * READ_CACHE_WAYS;
	pthread_mutex_t *lock = &cache->locks[set % READ_CACHE_LOCKS];
	pthread_mutex_lock(lock);
	for (int w = 0; w < READ_CACHE_WAYS; ++w) {
		ReadCacheEntry *e = &ways[w];
		if (!same_key(e, key)) continue;
		e->asked = 1;
		*outcome = (MapOutcome)e->outcome;
		// Appended in the order they were found, so `best` comes out the same as well.
		for (int32_t i = 0; i < e->count; ++i) append_alignment(alignments, e->records[i].position, e->records[i].score);
		pthread_mutex_unlock(lock);
		return true;
	}
	pthread_mutex_unlock(lock);
	return false;
}

void read_cache_store(ReadCache *cache, const ReadKey *key, MapOutcome outcome, const AlignmentList *alignments)
{
	if (alignments->count > READ_CACHE_MAX_ALIGNMENTS) return;
	const uint64_t set = key->hash & cache->set_mask;
	ReadCacheEntry *ways = cache->entries + set * READ_CACHE_WAYS;
	pthread_mutex_t *lock = &cache->locks[set % READ_CACHE_LOCKS];
	pthread_mutex_lock(lock);
	ReadCacheEntry *victim = nullptr;
	for (int w = 0; w < READ_CACHE_WAYS; ++w) {
		if (same_key(&ways[w], key)) {  // another worker mapped the same bases meanwhile
			pthread_mutex_unlock(lock);
			return;
		}
		if (ways[w].len == 0 && !victim) victim = &ways[w];
	}
	for (int w = 0; w < READ_CACHE_WAYS && !victim; ++w) {
		if (!ways[w].asked) victim = &ways[w];
		ways[w].asked = 0;
	}
	if (!victim) victim = &ways[(key->hash >> 40) % READ_CACHE_WAYS];
	memcpy(victim->bases, key->bases, sizeof key->bases);
	victim->len = key->len;
	victim->outcome = (uint8_t)outcome;
	victim->count = (uint8_t)alignments->count;
	victim->asked = 0;
	memcpy(victim->records, alignments->records, (size_t)alignments->count * sizeof(Alignment));
	pthread_mutex_unlock(lock);
}
