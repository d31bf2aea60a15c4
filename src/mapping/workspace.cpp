// The per-worker mapping workspace: creation with its starting capacities, release, and the
// growth of the result lists. Buffers only grow; lists are reset by their counts.
#include <cstdlib>
#include <cstring>
#include "base/base.h"
#include "mapping/mapping.h"

#define START_HIT_CAP 256
#define START_KMER_CAP 8
#define START_LIST_CAP 64
#define START_DP_SIDE 100

void append_alignment(AlignmentList *list, uint32_t position, int32_t score)
{
	if (list->count == list->capacity) {
		list->capacity *= 2;
		list->records = (Alignment *)realloc_or_die(list->records,
		                                             (size_t)list->capacity * sizeof(Alignment));
	}
	list->records[list->count].position = position;
	list->records[list->count].score = score;
	list->count++;
	if (score > list->best) list->best = score;
}

void append_candidate(CandidateList *list, uint32_t diagonal, int32_t read_start,
                      int32_t length, int32_t score)
{
	if (list->count == list->capacity) {
		list->capacity *= 2;
		list->records = (Candidate *)realloc_or_die(list->records,
		                                             (size_t)list->capacity * sizeof(Candidate));
	}
	Candidate *c = &list->records[list->count++];
	c->diagonal = diagonal;
	c->read_start = read_start;
	c->length = length;
	c->score = score;
}

MappingWorkspace *create_mapping_workspace(const MappingIndex *index)
{
	MappingWorkspace *ws = (MappingWorkspace *)realloc_or_die(nullptr, sizeof(MappingWorkspace));
	memset(ws, 0, sizeof *ws);
	ws->index = index;

	SeedSet *s = &ws->seeds;
	s->hit_cap = START_HIT_CAP;
	s->merged = (SeedHit *)realloc_or_die(nullptr, START_HIT_CAP * sizeof(SeedHit));
	s->kmer_cap = START_KMER_CAP;
	s->kmer_hits = (int32_t *)realloc_or_die(nullptr, START_KMER_CAP * sizeof(int32_t));
	s->kmer_offset = (uint32_t *)realloc_or_die(nullptr, START_KMER_CAP * sizeof(uint32_t));
	s->kmer_start = (const uint32_t **)realloc_or_die(nullptr, START_KMER_CAP * sizeof(uint32_t *));
	s->kmer_cursor = (int32_t *)realloc_or_die(nullptr, START_KMER_CAP * sizeof(int32_t));
	s->kmer_order = (int32_t *)realloc_or_die(nullptr, START_KMER_CAP * sizeof(int32_t));
	s->kmer_code = (uint64_t *)realloc_or_die(nullptr, START_KMER_CAP * sizeof(uint64_t));

	ws->candidates.capacity = START_LIST_CAP;
	ws->candidates.records = (Candidate *)realloc_or_die(nullptr, START_LIST_CAP * sizeof(Candidate));
	ws->alignments.capacity = START_LIST_CAP;
	ws->alignments.records = (Alignment *)realloc_or_die(nullptr, START_LIST_CAP * sizeof(Alignment));

	DpMatrix *m = &ws->dp;
	m->cell_bytes = (int64_t)START_DP_SIDE * START_DP_SIDE * sizeof(int32_t);
	m->cells = (int32_t *)realloc_or_die(nullptr, (size_t)m->cell_bytes);
	m->row_capacity = START_DP_SIDE;
	m->rows = (int32_t **)realloc_or_die(nullptr, START_DP_SIDE * sizeof(int32_t *));
	for (int i = 0; i < START_DP_SIDE; ++i) m->rows[i] = m->cells + i * START_DP_SIDE;
	// The genome scratch starts empty and grows on the first genome check.
	ws->genome.plain = index && index->plain;
	ws->occurs = -1;
	return ws;
}

void release_mapping_workspace(MappingWorkspace *ws)
{
	if (!ws) return;
	SeedSet *s = &ws->seeds;
	free(s->merged);
	free(s->kmer_hits);
	free(s->kmer_offset);
	free(s->kmer_start);
	free(s->kmer_cursor);
	free(s->kmer_order);
	free(s->kmer_code);
	free(s->group_start);
	free(s->pass_groups);
	free(s->merge_tmp);
	free(ws->candidates.records);
	free(ws->alignments.records);
	free(ws->dp.cells);
	free(ws->dp.rows);
	free(ws->dp.read_codes);
	free(ws->gapped_memo.entries);
	free(ws->gapped_memo.slots);
	release_genome_scratch(&ws->genome);
	free(ws);
}
