// What a count run may do with a read pair besides counting it: trim read 2 before mapping
// (--trim-adapters) and write a record of what happened to the pair (--dump-align).
#include <cstdio>
#include <cstring>
#include "count/count.h"

// The reverse complement of `read` into the worker's buffer (bases, then qualities).
static ReadRecord reverse_complement(const ReadRecord *read, WorkerContext *ctx)
{
	const int32_t need = 2 * read->len + 2;
	if (need > ctx->antisense_capacity) {
		ctx->antisense_capacity = (int32_t)grown_capacity(ctx->antisense_capacity, need, 512);
		ctx->antisense_buffer = (char *)realloc_or_die(ctx->antisense_buffer, (size_t)ctx->antisense_capacity);
	}
	ReadRecord rc = *read;
	rc.seq = ctx->antisense_buffer;
	rc.qual = read->qual ? ctx->antisense_buffer + read->len + 1 : nullptr;
	for (int32_t i = 0; i < read->len; ++i) {
		rc.seq[i] = COMPLEMENT_LETTERS[BASE_CODE[(uint8_t)read->seq[read->len - 1 - i]]];
		if (rc.qual) rc.qual[i] = read->qual[read->len - 1 - i];
	}
	rc.seq[read->len] = 0;
	if (rc.qual) rc.qual[read->len] = 0;
	return rc;
}

MapOutcome map_cdna(const ReadRecord *read2, WorkerContext *ctx, ReadTrim *trim)
{
	MappingWorkspace *ws = ctx->workspace;
	ReadRecord cdna = *read2;
	if (ctx->trim_adapters) {
		ReadStats *stats = ctx->stats;
		*trim = trim_adapters(read2->seq, read2->qual, read2->len);
		stats->tso_trimmed += trim->front > 0;
		stats->polya_trimmed += trim->polya > 0;
		stats->quality_trimmed += trim->quality > 0;
		cdna = trimmed_span(read2, *trim);
		if (cdna.len < (int32_t)ws->index->hash->kmer_size) {
			++stats->too_short;
			ws->alignments.count = 0;
			ws->alignments.best = 0;
			return MAP_UNMAPPED;
		}
	}
	if (ctx->lib_type.antisense) cdna = reverse_complement(&cdna, ctx);
	return map_read(&cdna, ws);
}

void flush_align_dump(AlignDump *dump)
{
	if (dump->length == 0) return;
	pthread_mutex_lock(dump->lock);
	write_or_die(dump->buffer, 1, (size_t)dump->length, dump->file);
	pthread_mutex_unlock(dump->lock);
	dump->length = 0;
}

static const char *outcome_name(MapOutcome outcome, int count_intron)
{
	switch (outcome) {
	case MAP_EXONIC: return "exonic";
	case MAP_INTRONIC: return "intronic";
	case MAP_NONEXONIC: return count_intron ? "intergenic" : "nonexonic";
	default: return "unmapped";
	}
}

// First alignment with the best score, or null.
static const Alignment *best_alignment(const AlignmentList *list)
{
	for (int32_t i = 0; i < list->count; ++i)
		if (list->records[i].score >= list->best) return &list->records[i];
	return nullptr;
}

void dump_read_pair(const WorkerContext *ctx, const ReadRecord *read1, const ReadRecord *read2, MapOutcome outcome,
                    ReadTrim trim)
{
	AlignDump *dump = ctx->dump;
	const AnnotationInfo *ann = ctx->ann;
	const int bl = ctx->lib_type.barcode_len, ul = ctx->lib_type.umi_len;
	const size_t name_len = strlen(read1->name);
	// Records are whole lines in the buffer, so lines of different workers never interleave.
	// A name fits in one read buffer (1 MiB), so every record fits in an empty dump buffer.
	const size_t need = name_len + (size_t)bl + (size_t)ul + ann->gene_id_width + ann->tx_id_width + 128;
	if ((size_t)dump->length + need > ALIGN_DUMP_BUFFER_SIZE) flush_align_dump(dump);

	char *p = dump->buffer + dump->length;
	memcpy(p, read1->name, name_len);
	p += name_len;
	*p++ = '\t';
	memcpy(p, read1->seq + ctx->lib_type.barcode_start, (size_t)bl);
	p += bl;
	*p++ = '\t';
	memcpy(p, read1->seq + umi_offset(ctx->lib_type), (size_t)ul);
	p += ul;
	p += sprintf(p, "\t%s\t", outcome_name(outcome, ctx->workspace->index->count_intron));

	const AlignmentList *list = &ctx->workspace->alignments;
	const Alignment *best = best_alignment(list);
	if (best) {
		const uint32_t t = transcript_at(ann, best->position);
		const int32_t mapped_len = read2->len - trim.front - trim.polya - trim.quality;
		const int64_t g = outcome == MAP_EXONIC ? settle_gene(list, ann) : -1;
		const char *gene = g >= 0 ? ann->gene_ids + (size_t)g * ann->gene_id_width : "*";
		p += sprintf(p, "%s\t%s\t%u\t%d", gene, ann->tx_ids + (size_t)t * ann->tx_id_width,
		             best->position - ann->tx_offset[t] + 1, (mapped_len - list->best + 2) / 3);
	} else {
		memcpy(p, "*\t*\t*\t*", 7);
		p += 7;
	}
	p += sprintf(p, "\t%d\t%d\n", trim.front, trim.polya + trim.quality);
	dump->length = (int32_t)(p - dump->buffer);
}
