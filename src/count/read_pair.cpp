// One read pair: read 1 carries barcode + UMI, read 2 the cDNA that is mapped.
#include "count/count.h"

void process_read_pair(const ReadRecord *read1, const ReadRecord *read2, WorkerContext *ctx)
{
	if (!read1->name || !read1->seq || !read2->name || !read2->seq) return;
	const int32_t need = (int32_t)ctx->lib_type.barcode_len + (int32_t)ctx->lib_type.umi_len;
	if (read1->len < need)
		fatal("[ERROR] Read lenght of %s is not consistent with library type.\n Expect >= %u.\n Receive %u.\n\n",
		      read1->name, (unsigned)need, (unsigned)read1->len);
	ReadStats *stats = ctx->stats;
	++stats->total;
	ReadTrim trim = {0, 0, 0};
	const MapOutcome outcome =
		ctx->trim_adapters ? map_trimmed_read(read2, ctx->workspace, stats, &trim) : map_read(read2, ctx->workspace);
	if (ctx->dump) dump_read_pair(ctx, read1, read2, outcome, trim);
	switch (outcome) {
	case MAP_EXONIC: {
		const int64_t gene = settle_gene(&ctx->workspace->alignments, ctx->ann);
		if (gene >= 0) {
			const int bl = ctx->lib_type.barcode_len;
			record_barcode_umi(ctx->table, ctx->own_lock, pack_bases(read1->seq, bl),
			                   umi_key(read1->seq + bl, ctx->lib_type.umi_len, (uint32_t)gene));
		}
		++stats->exonic;
		break;
	}
	case MAP_INTRONIC: ++stats->intronic; break;
	case MAP_NONEXONIC: ++stats->intergenic; break;
	default: ++stats->unmapped; break;
	}
}
