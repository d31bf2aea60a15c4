// Spliced transcriptome (tx_seq / base_tx), its .fasta file, and the .info file that
// carries the genome names, the gene and transcript tables and the transcriptome to `count`.
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <vector>
#include <ksort.h>
#include "base/base.h"
#include "index/index.h"

#define INITIAL_TX_SEQ_SIZE 65536
#define FASTA_LINE_WIDTH 80

// Radix sort on the 32-bit start, 8 bits per pass from the top byte; lists of up to 64
// exons go through insertion sort instead.
#define exon_start_key(e) ((e).start)
KRADIX_SORT_INIT(exon_start, Exon, exon_start_key, 4)

static void write_fasta_record(FILE *fp, const char *gene_id, const char *tx_id, const char *seq, uint32_t len)
{
	if (fprintf(fp, ">%s_%s\n", gene_id, tx_id) < 0) fatal(MSG_WRITE_ERROR);
	for (uint32_t i = 0; i < len; i += FASTA_LINE_WIDTH) {
		uint32_t n = len - i < FASTA_LINE_WIDTH ? len - i : FASTA_LINE_WIDTH;
		write_or_die(seq + i, 1, n, fp);
		if (fputc('\n', fp) == EOF) fatal(MSG_WRITE_ERROR);
	}
}

// Sorted exons must neither overlap nor leave their sequence: the bases copied below are
// 1-based positions start..end of a sequence of `seq_len` bases.
static void check_exons(const AnnotationInfo *ann, uint32_t t, const GenomeSequences *genome)
{
	const Exon *ex = ann->tx_exons[t];
	uint32_t n = ann->tx_exon_count[t];
	const char *tx_id = ann->tx_ids + (size_t)t * ann->tx_id_width;
	for (uint32_t i = 0; i + 1 < n; ++i)
		if (ex[i].end >= ex[i + 1].start) fatal("[ERROR] Transcript [%s] has exons overlap\n", tx_id);
	uint32_t chrom = ann->gene_chrom[ann->tx_gene[t]];
	uint32_t seq_len = genome->seq_lengths[chrom];
	for (uint32_t i = 0; i < n; ++i)
		if (ex[i].start == 0 || ex[i].end > seq_len)
			fatal("[ERROR] Transcript [%s] has an exon outside sequence [%s] (length %u)\n", tx_id,
			      genome->seq_names + (size_t)chrom * genome->name_width, seq_len);
}

void build_transcriptome(const char *fasta_path, const GenomeSequences *genome, AnnotationInfo *ann)
{
	FilePtr file(open_or_die(fasta_path, "wb"));
	FILE *fp = file.get();
	uint32_t tx_count = ann->tx_count;
	ann->tx_length = (uint32_t *)realloc_or_die(nullptr, ((size_t)tx_count + 1) * sizeof(uint32_t));
	ann->tx_offset = (uint32_t *)realloc_or_die(nullptr, ((size_t)tx_count + 1) * sizeof(uint32_t));
	size_t capacity = INITIAL_TX_SEQ_SIZE;
	char *seq = (char *)realloc_or_die(nullptr, capacity);
	uint32_t *base_tx = (uint32_t *)realloc_or_die(nullptr, capacity * sizeof(uint32_t));
	uint64_t total = 0;

	for (uint32_t t = 0; t < tx_count; ++t) {
		ann->tx_offset[t] = (uint32_t)total;
		const char *tx_id = ann->tx_ids + (size_t)t * ann->tx_id_width;
		uint32_t n = ann->tx_exon_count[t];
		if (n == 0) {
			report("[WARNING] Transcript [%s] have 0 exon\n", tx_id);
			ann->tx_length[t] = 0;
			continue;
		}
		Exon *ex = ann->tx_exons[t];
		radix_sort_exon_start(ex, ex + n);
		check_exons(ann, t, genome);

		uint32_t len = 0;
		for (uint32_t i = 0; i < n; ++i) len += ex[i].end - ex[i].start + 1;
		ann->tx_length[t] = len;
		// Positions are u32 everywhere downstream.
		if (total + len > UINT32_MAX)
			fatal("[ERROR] Transcriptome is too long (over %u bases)\n", (unsigned)UINT32_MAX);
		if (total + len > capacity) {
			while (capacity < total + len) capacity *= 2;
			seq = (char *)realloc_or_die(seq, capacity);
			base_tx = (uint32_t *)realloc_or_die(base_tx, capacity * sizeof(uint32_t));
		}

		uint32_t g = ann->tx_gene[t];
		const char *s = genome->seq_bases[ann->gene_chrom[g]];
		char *out = seq + total;
		if (ann->gene_strand[g] == 0) {
			for (uint32_t i = 0; i < n; ++i) {
				uint32_t exon_len = ex[i].end - ex[i].start + 1;
				memcpy(out, s + ex[i].start - 1, exon_len);
				out += exon_len;
			}
		} else {
			for (uint32_t i = n; i-- > 0;)
				for (uint32_t pos = ex[i].end; pos >= ex[i].start; --pos)
					*out++ = COMPLEMENT_LETTERS[BASE_CODE[(uint8_t)s[pos - 1]]];
		}
		for (uint32_t i = 0; i < len; ++i) base_tx[total + i] = t;

		write_fasta_record(fp, ann->gene_ids + (size_t)g * ann->gene_id_width, tx_id, seq + total, len);
		total += len;
	}
	ann->tx_offset[tx_count] = (uint32_t)total;

	// One byte more than the transcriptome: a terminator, and never a zero-size block.
	ann->tx_seq = (char *)realloc_or_die(seq, total + 1);
	ann->tx_seq[total] = '\0';
	ann->base_tx = (uint32_t *)realloc_or_die(base_tx, (total ? total : 1) * sizeof(uint32_t));
	close_written_file(&file);
}

static void write_u32(uint32_t value, FILE *fp)
{
	write_or_die(&value, sizeof value, 1, fp);
}

void write_annotation_info(const char *info_path, const GenomeSequences *genome, const AnnotationInfo *ann)
{
	FilePtr file(open_or_die(info_path, "wb"));
	FILE *fp = file.get();
	uint32_t n_seq = genome->seq_count, n_gene = ann->gene_count, n_tx = ann->tx_count;

	write_u32(n_seq, fp);
	write_u32(genome->name_width, fp);
	write_or_die(genome->seq_lengths, sizeof(uint32_t), n_seq, fp);
	write_or_die(genome->seq_names, 1, (size_t)n_seq * genome->name_width, fp);

	write_u32(n_gene, fp);
	write_u32(ann->gene_name_width, fp);
	write_u32(ann->gene_id_width, fp);
	write_or_die(ann->gene_chrom, sizeof(uint32_t), n_gene, fp);
	write_or_die(ann->gene_names, 1, (size_t)n_gene * ann->gene_name_width, fp);
	write_or_die(ann->gene_ids, 1, (size_t)n_gene * ann->gene_id_width, fp);
	write_or_die(ann->gene_strand, 1, n_gene, fp);

	write_u32(n_tx, fp);
	write_u32(ann->tx_id_width, fp);
	write_or_die(ann->tx_ids, 1, (size_t)n_tx * ann->tx_id_width, fp);
	write_or_die(ann->tx_length, sizeof(uint32_t), n_tx, fp);
	write_or_die(ann->tx_offset, sizeof(uint32_t), (size_t)n_tx + 1, fp);
	write_or_die(ann->tx_gene, sizeof(uint32_t), n_tx, fp);
	uint32_t total = ann->tx_offset[n_tx];
	write_or_die(ann->base_tx, sizeof(uint32_t), total, fp);
	write_or_die(ann->tx_seq, 1, total, fp);
	write_or_die(ann->tx_exon_count, sizeof(uint32_t), n_tx, fp);
	for (uint32_t t = 0; t < n_tx; ++t) {
		static_assert(sizeof(Exon) == 2 * sizeof(uint32_t), "Exon is written as a pair of u32");
		write_or_die(ann->tx_exons[t], sizeof(Exon), ann->tx_exon_count[t], fp);
	}
	close_written_file(&file);
}

// The sizes in a .info file are trusted, but an array is never allocated for more bytes
// than the file still holds: a damaged count ends the run as a short read would.
struct InfoReader {
	FILE *fp;
	uint64_t remaining;  // bytes not yet read; UINT64_MAX when the size is unknown
};

static void read_items(InfoReader *r, void *dst, size_t size, uint64_t count)
{
	uint64_t bytes = (uint64_t)size * count;
	if (count != 0 && (bytes / count != size || bytes > r->remaining)) fatal(MSG_READ_ERROR);
	read_or_die(dst, size, (size_t)count, r->fp);
	if (r->remaining != UINT64_MAX) r->remaining -= bytes;
}

static uint32_t read_u32(InfoReader *r)
{
	uint32_t value;
	read_items(r, &value, sizeof value, 1);
	return value;
}

// Allocate `count` items and fill them from the file. One zero byte follows the items:
// it terminates tx_seq and keeps every block non-empty.
static void *read_array(InfoReader *r, size_t size, uint64_t count)
{
	uint64_t bytes = (uint64_t)size * count;
	if (count != 0 && (bytes / count != size || bytes > r->remaining)) fatal(MSG_READ_ERROR);
	char *dst = (char *)realloc_or_die(nullptr, (size_t)bytes + 1);
	read_items(r, dst, size, count);
	dst[bytes] = '\0';
	return dst;
}

// Every row of a name table must end in a zero byte (the writer pads each name).
static bool names_terminated(const char *table, uint64_t rows, uint32_t width)
{
	if (rows == 0) return true;
	if (width == 0) return false;
	for (uint64_t i = 0; i < rows; ++i)
		if (table[i * width + width - 1] != 0) return false;
	return true;
}

// Every transcript's gene exists and its offset plus its length is the next offset: the offsets
// then chain up to the total, the size of base_tx and tx_seq.
static bool transcript_offsets_chain(const AnnotationInfo *ann)
{
	bool ok = ann->tx_offset[0] == 0;
	for (uint32_t t = 0; ok && t < ann->tx_count; ++t)
		ok = ann->tx_gene[t] < ann->gene_count &&
		     (uint64_t)ann->tx_offset[t] + ann->tx_length[t] == ann->tx_offset[t + 1];
	return ok;
}

// The count run indexes arrays with the values of other arrays of the file: a file whose
// tables do not fit together is refused here rather than read out of bounds later.
static void check_annotation_info(const GenomeSequences *genome, const AnnotationInfo *ann)
{
	bool ok = names_terminated(genome->seq_names, genome->seq_count, genome->name_width) &&
	          names_terminated(ann->gene_names, ann->gene_count, ann->gene_name_width) &&
	          names_terminated(ann->gene_ids, ann->gene_count, ann->gene_id_width) &&
	          names_terminated(ann->tx_ids, ann->tx_count, ann->tx_id_width) && ann->tx_offset[0] == 0;
	for (uint32_t g = 0; ok && g < ann->gene_count; ++g) ok = ann->gene_chrom[g] < genome->seq_count;
	ok = ok && transcript_offsets_chain(ann);
	for (uint32_t t = 0; ok && ann->base_tx && t < ann->tx_count; ++t)
		for (uint64_t p = ann->tx_offset[t]; ok && p < ann->tx_offset[t + 1]; ++p) ok = ann->base_tx[p] == t;
	if (!ok) fatal(MSG_READ_ERROR);
	check_gene_count(ann->gene_count);
}

// Check the per-base transcript table as it is read, a block at a time, without keeping it.
static void check_base_tx_in_file(InfoReader *r, const AnnotationInfo *ann)
{
	if (!transcript_offsets_chain(ann)) fatal(MSG_READ_ERROR);
	std::vector<uint32_t> block(1 << 16);
	uint32_t t = 0;
	const uint64_t total = ann->tx_offset[ann->tx_count];
	for (uint64_t p = 0; p < total;) {
		const uint64_t n = total - p < block.size() ? total - p : block.size();
		read_items(r, block.data(), sizeof(uint32_t), n);
		for (uint64_t i = 0; i < n; ++i, ++p) {
			while (p >= ann->tx_offset[t + 1]) ++t;  // the offsets chain up to the total
			if (block[i] != t) fatal(MSG_READ_ERROR);
		}
	}
}

void check_gene_count(uint64_t gene_count)
{
	if (gene_count > MAX_GENE_COUNT)
		fatal("[ERROR] Annotation has too many genes (%llu, at most %u)\n", (unsigned long long)gene_count,
		      MAX_GENE_COUNT);
}

void load_annotation_info(const char *info_path, GenomeSequences *genome, AnnotationInfo *ann, bool with_base_tx)
{
	FilePtr file(open_or_die(info_path, "rb"));
	FILE *fp = file.get();
	InfoReader r = {fp, UINT64_MAX};
	struct stat st;
	if (fstat(fileno(fp), &st) == 0 && S_ISREG(st.st_mode)) r.remaining = (uint64_t)st.st_size;

	genome->seq_count = read_u32(&r);
	genome->name_width = read_u32(&r);
	genome->seq_lengths = (uint32_t *)read_array(&r, sizeof(uint32_t), genome->seq_count);
	genome->seq_names = (char *)read_array(&r, 1, (uint64_t)genome->seq_count * genome->name_width);
	genome->seq_bases = nullptr;

	ann->gene_count = read_u32(&r);
	ann->gene_name_width = read_u32(&r);
	ann->gene_id_width = read_u32(&r);
	uint64_t n_gene = ann->gene_count;
	ann->gene_chrom = (uint32_t *)read_array(&r, sizeof(uint32_t), n_gene);
	ann->gene_names = (char *)read_array(&r, 1, n_gene * ann->gene_name_width);
	ann->gene_ids = (char *)read_array(&r, 1, n_gene * ann->gene_id_width);
	ann->gene_strand = (uint8_t *)read_array(&r, 1, n_gene);

	ann->tx_count = read_u32(&r);
	ann->tx_id_width = read_u32(&r);
	uint64_t n_tx = ann->tx_count;
	ann->tx_ids = (char *)read_array(&r, 1, n_tx * ann->tx_id_width);
	ann->tx_length = (uint32_t *)read_array(&r, sizeof(uint32_t), n_tx);
	ann->tx_offset = (uint32_t *)read_array(&r, sizeof(uint32_t), n_tx + 1);
	ann->tx_gene = (uint32_t *)read_array(&r, sizeof(uint32_t), n_tx);
	uint64_t total = ann->tx_offset[n_tx];
	if (total * sizeof(uint32_t) > r.remaining) fatal(MSG_READ_ERROR);
	if (with_base_tx) {
		ann->base_tx = (uint32_t *)read_array(&r, sizeof(uint32_t), total);
	} else {
		ann->base_tx = nullptr;
		check_base_tx_in_file(&r, ann);
	}
	ann->tx_seq = (char *)read_array(&r, 1, total);
	ann->tx_exon_count = (uint32_t *)read_array(&r, sizeof(uint32_t), n_tx);
	// n_tx is bounded by the file size through the arrays above.
	ann->tx_exons = (Exon **)calloc(n_tx + 1, sizeof(Exon *));
	if (!ann->tx_exons) fatal(MSG_NO_MEMORY);
	for (uint64_t t = 0; t < n_tx; ++t)
		ann->tx_exons[t] = (Exon *)read_array(&r, sizeof(Exon), ann->tx_exon_count[t]);
	check_annotation_info(genome, ann);
}

void release_annotation_info(AnnotationInfo *ann)
{
	if (ann->tx_exons)
		for (uint32_t t = 0; t < ann->tx_count; ++t) free(ann->tx_exons[t]);
	free(ann->tx_exons);
	free(ann->tx_exon_count);
	free(ann->gene_chrom);
	free(ann->gene_names);
	free(ann->gene_ids);
	free(ann->gene_strand);
	free(ann->tx_ids);
	free(ann->tx_length);
	free(ann->tx_offset);
	free(ann->tx_gene);
	free(ann->base_tx);
	free(ann->tx_seq);
	free(ann->tx_bucket);
	memset(ann, 0, sizeof *ann);
}

void index_transcript_starts(AnnotationInfo *ann)
{
	const uint32_t total = ann->tx_count > 0 ? ann->tx_offset[ann->tx_count] : 0;
	if (total == 0) return;
	const uint32_t buckets = ((total - 1) >> TX_BUCKET_SHIFT) + 1;
	uint32_t *bucket = (uint32_t *)malloc_or_die((size_t)buckets + 1, sizeof(uint32_t));
	uint32_t t = 0;  // the last transcript starting at or before the bucket's first base
	for (uint32_t b = 0; b < buckets; ++b) {
		const uint32_t p = b << TX_BUCKET_SHIFT;
		while (t + 1 < ann->tx_count && ann->tx_offset[t + 1] <= p) ++t;
		bucket[b] = t;
	}
	bucket[buckets] = ann->tx_count - 1;
	ann->tx_bucket = bucket;
}

uint32_t hint_text_position(const PlacementHint *h, int32_t i)
{
	const AnnotationInfo *ann = h->ann;
	const int64_t o = h->first + (h->reversed ? h->len - 1 - i : i);
	const uint32_t T = ann->tx_length[h->t];
	if (o < 0 || o >= T) return NO_POSITION;
	const uint32_t g = ann->tx_gene[h->t];
	// Offset in the exons laid end to end in genome order (a minus-strand transcript runs
	// backwards through them).
	uint32_t c = ann->gene_strand[g] == 0 ? (uint32_t)o : T - 1 - (uint32_t)o;
	const Exon *ex = ann->tx_exons[h->t];
	for (uint32_t e = 0; e < ann->tx_exon_count[h->t]; ++e) {
		const uint32_t exon_len = ex[e].end - ex[e].start + 1;
		if (c < exon_len) return (uint32_t)(h->seq_offset[ann->gene_chrom[g]] + ex[e].start - 1 + c);
		c -= exon_len;
	}
	return NO_POSITION;
}
