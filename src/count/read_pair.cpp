// One read pair: read 1 carries barcode + UMI, read 2 the cDNA that is mapped.
#include "count/count.h"

// Bases of Phred quality 30 or more (qualities +33) among `len`.
static int64_t q30_bases(const char *qual, int32_t len)
{
	int64_t n = 0;
	for (int32_t i = 0; i < len; ++i) n += (uint8_t)qual[i] >= 30 + 33;
	return n;
}

static void count_qualities(const ReadRecord *read1, const ReadRecord *read2, const LibraryType &layout,
                            ReadStats *stats)
{
	if (!read1->qual || !read2->qual) return;
	stats->barcode_bases += layout.barcode_len;
	stats->barcode_q30 += q30_bases(read1->qual + layout.barcode_start, layout.barcode_len);
	stats->umi_bases += layout.umi_len;
	stats->umi_q30 += q30_bases(read1->qual + umi_offset(layout), layout.umi_len);
	stats->read2_bases += read2->len;
	stats->read2_q30 += q30_bases(read2->qual, read2->len);
}

// The barcode code under which the pair is recorded; false when the pair goes to no cell
// (a barcode that the whitelist does not correct, or a UMI that its filters drop).
static bool pair_barcode(const ReadRecord *read1, const WorkerContext *ctx, uint64_t *code)
{
	const LibraryType &layout = ctx->lib_type;
	const char *bases = read1->seq + layout.barcode_start;
	if (!ctx->whitelist) {
		*code = pack_bases(bases, layout.barcode_len);
		return true;
	}
	ReadStats *stats = ctx->stats;
	switch (match_barcode(ctx->whitelist, bases, read1->qual ? read1->qual + layout.barcode_start : nullptr, code)) {
	case BARCODE_ON_LIST: ++stats->barcode_on_list; break;
	case BARCODE_CORRECTED: ++stats->barcode_corrected; break;
	default: ++stats->barcode_invalid; return false;
	}
	const int u = umi_offset(layout);
	if (!umi_passes(read1->seq + u, read1->qual ? read1->qual + u : nullptr, layout.umi_len)) {
		++stats->umi_filtered;
		return false;
	}
	return true;
}

void process_read_pair(const ReadRecord *read1, const ReadRecord *read2, WorkerContext *ctx)
{
	if (!read1->name || !read1->seq || !read2->name || !read2->seq) return;
	const LibraryType &layout = ctx->lib_type;
	const int32_t need = read1_needed(layout);
	if (read1->len < need)
		fatal("[ERROR] Read lenght of %s is not consistent with library type.\n Expect >= %u.\n Receive %u.\n\n",
		      read1->name, (unsigned)need, (unsigned)read1->len);
	ReadStats *stats = ctx->stats;
	++stats->total;
	if (ctx->count_qualities) count_qualities(read1, read2, layout, stats);
	uint64_t code = 0;
	const bool valid = pair_barcode(read1, ctx, &code);
	ReadTrim trim = {0, 0, 0};
	const MapOutcome outcome = map_cdna(read2, ctx, &trim);
	if (ctx->dump) dump_read_pair(ctx, read1, read2, outcome, trim);
	switch (outcome) {
	case MAP_EXONIC: {
		const int64_t gene = valid ? settle_gene(&ctx->workspace->alignments, ctx->ann) : -1;
		if (gene >= 0)
			record_barcode_umi(ctx->table, ctx->own_lock, code,
			                   umi_key(read1->seq + umi_offset(layout), layout.umi_len, (uint32_t)gene));
		++stats->exonic;
		break;
	}
	case MAP_INTRONIC: ++stats->intronic; break;
	case MAP_NONEXONIC: ++stats->intergenic; break;
	default: ++stats->unmapped; break;
	}
}
