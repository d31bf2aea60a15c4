// The top of the read mapping: a cDNA read through seeding, the ungapped passes, the gapped
// fallback and the genome check; and the gene that the accepted alignments settle on.
#include <cstdint>
#include "mapping/mapping.h"

static MapOutcome map_new_read(const ReadRecord *read, MappingWorkspace *ws);

MapOutcome map_read(const ReadRecord *read, MappingWorkspace *ws)
{
	AlignmentList *alignments = &ws->alignments;
	alignments->count = 0;
	alignments->best = 0;
	ReadKey key;
	if (!ws->cache || !read_cache_key(read->seq, read->len, &key)) return map_new_read(read, ws);
	MapOutcome outcome;
	if (read_cache_find(ws->cache, &key, alignments, &outcome)) return outcome;
	outcome = map_new_read(read, ws);
	if (ws->index->exonic_only) {
		Alignment kept[2];
		AlignmentList settling{kept, 0, 2, alignments->best};
		settling.count = settling_alignments(alignments, outcome, ws->index->ann, kept);
		read_cache_store(ws->cache, &key, outcome, &settling);
	} else {
		read_cache_store(ws->cache, &key, outcome, alignments);
	}
	return outcome;
}

// map_read without the cache (the alignment list is reset).
static MapOutcome map_new_read(const ReadRecord *read, MappingWorkspace *ws)
{
	const int32_t L = read->len;
	const int32_t max_err = (int32_t)(L * 0.055);
	AlignmentList *alignments = &ws->alignments;
	ws->candidates.count = 0;
	ws->seeds.n_hits = 0;
	ws->occurs = -1;

	seed_read(read, ws->index->hash, &ws->seeds);
	// Most reads match a transcript without an error: then the first pass, taken from the
	// k-mer lists themselves, decides, and the hits of repeated k-mers are never merged.
	if (ws->index->plain) {
		merge_seed_hits(&ws->seeds);
		map_to_transcriptome(read, ws);
	} else if (!align_full_groups(read, ws)) {
		merge_seed_hits(&ws->seeds);
		map_to_transcriptome(read, ws, true);
	}
	if (alignments->count == 0 && ws->index->plain) {
		for (int32_t i = 0; i < ws->candidates.count; ++i)
			extend_candidate_gapped(read, &ws->candidates.records[i], ws);
	} else if (alignments->count == 0) {
		extend_candidates_gapped(read, ws);
	}
	if (ws->occurs == 1) return MAP_NONEXONIC;  // settled (read_settled)
	if (alignments->count > 0) {
		const int32_t mismatches = (L - alignments->best + 2) / 3;
		return classify_read(read, 1, mismatches < max_err ? mismatches : max_err, ws);
	}
	return classify_read(read, 0, max_err, ws);
}

int64_t settle_gene(const AlignmentList *alignments, const AnnotationInfo *ann)
{
	int64_t gene = -1;
	for (int32_t i = 0; i < alignments->count; ++i) {
		const Alignment *a = &alignments->records[i];
		if (a->score < alignments->best) continue;
		const int64_t g = ann->tx_gene[transcript_at(ann, a->position)];
		if (gene < 0)
			gene = g;
		else if (g != gene)
			return -1;
	}
	return gene;
}

int32_t settling_alignments(const AlignmentList *all, MapOutcome outcome, const AnnotationInfo *ann, Alignment kept[2])
{
	if (outcome != MAP_EXONIC) return 0;
	int32_t n = 0;
	for (int32_t i = 0; i < all->count; ++i) {
		const Alignment *a = &all->records[i];
		if (a->score < all->best) continue;
		if (n == 0) {
			kept[n++] = *a;
		} else if (ann->tx_gene[transcript_at(ann, a->position)] != ann->tx_gene[transcript_at(ann, kept[0].position)]) {
			kept[n++] = *a;
			break;
		}
	}
	return n;
}
