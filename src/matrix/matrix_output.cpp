// The count matrix files of a count run: barcodes.tsv, features.tsv, matrix.bin and
// matrix.mtx, all in the output directory, followed by the 10x folders.
//
// matrix.bin is little-endian: G (int32), N (int32), E (uint64), then E MatrixRecords
// of three uint32 (gene 1..G, barcode 1..N, count), in barcode order and, within a
// barcode, in gene order, whatever the number of matrix threads: the threads take chunks
// of the ranked list in order and fill them independently, and a finished chunk is written
// only when every chunk before it has been (chunks that finish early wait in a bounded
// window). E is patched into the header once all threads have ended, and matrix.mtx is
// converted from the file, not from memory.
//
// Before collapsing, each UMI table is laid out again in a canonical way: where a key sits
// depends on the order of insertion, which the worker threads make different from run to
// run, and in a chain of three or more one-base neighbours the survivors of the collapsing
// depend on the slot order; with the canonical layout the counts depend on the keys alone.
//
// The same pass collapses the UMIs of the barcodes that are not cells (and were not merged
// into one) so that the raw matrix can list every barcode that keeps a UMI.
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include "matrix/matrix.h"

#define MATRIX_STACK_SIZE 16777216
#define MTX_CHUNK_RECORDS 4096

uint32_t build_barcode_records(const BarcodeEntry *entry, uint32_t barcode_number, uint32_t *counters,
                               uint32_t gene_count, MatrixRecord *records)
{
	memset(counters, 0, (size_t)gene_count * sizeof(uint32_t));
	const UmiTable *t = entry->umis;
	if (t) {
		for (uint32_t s = 0; s < t->capacity; ++s) {
			uint64_t key = t->keys[s];
			if (key == EMPTY_KEY) continue;
			uint64_t gene = key & GENE_MASK;
			if (gene < gene_count) ++counters[gene];  // gene_count marks a discarded key
		}
	}
	uint32_t n = 0;
	for (uint32_t g = 0; g < gene_count; ++g) {
		if (!counters[g]) continue;
		records[n].gene = g + 1;
		records[n].barcode = barcode_number;
		records[n].count = counters[g];
		++n;
	}
	return n;
}

void write_barcode_counts(const BarcodeEntry *entry, uint32_t barcode_number, uint32_t *counters,
                          uint32_t gene_count, MatrixRecord *records, FILE *stream,
                          pthread_mutex_t *mutex, uint64_t *record_count)
{
	uint32_t n = build_barcode_records(entry, barcode_number, counters, gene_count, records);
	if (n == 0) return;
	static_assert(sizeof(MatrixRecord) == 12, "matrix.bin records are 12 bytes");
	pthread_mutex_lock(mutex);
	*record_count += n;
	write_or_die(records, sizeof(MatrixRecord), n, stream);
	pthread_mutex_unlock(mutex);
}

struct MatrixChunk {
	std::vector<MatrixRecord> records;  // records of the chunk's cells, barcode then gene order
	int ready;                          // 1: filled, waiting for its turn to be written
};

// Chunk c covers list positions [*first, *last): cells in chunks of MATRIX_CELL_CHUNK,
// then the other barcodes in chunks of MATRIX_OTHER_CHUNK.
static uint32_t chunk_count(const BarcodeList *list)
{
	uint32_t cells = (list->cell_count + MATRIX_CELL_CHUNK - 1) / MATRIX_CELL_CHUNK;
	uint32_t others = (list->n - list->cell_count + MATRIX_OTHER_CHUNK - 1) / MATRIX_OTHER_CHUNK;
	return cells + others;
}

static void chunk_range(const BarcodeList *list, uint32_t c, uint32_t *first, uint32_t *last)
{
	uint32_t cell_chunks = (list->cell_count + MATRIX_CELL_CHUNK - 1) / MATRIX_CELL_CHUNK;
	uint64_t lo, hi;
	if (c < cell_chunks) {
		lo = (uint64_t)c * MATRIX_CELL_CHUNK;
		hi = lo + MATRIX_CELL_CHUNK < list->cell_count ? lo + MATRIX_CELL_CHUNK : list->cell_count;
	} else {
		lo = list->cell_count + (uint64_t)(c - cell_chunks) * MATRIX_OTHER_CHUNK;
		hi = lo + MATRIX_OTHER_CHUNK < list->n ? lo + MATRIX_OTHER_CHUNK : list->n;
	}
	*first = (uint32_t)lo;
	*last = (uint32_t)hi;
}

// Under the writer mutex: write every finished chunk whose turn has come.
static void write_ready_chunks(const MatrixWorkerContext *ctx)
{
	MatrixPass *pass = ctx->pass;
	static_assert(sizeof(MatrixRecord) == 12, "matrix.bin records are 12 bytes");
	while (pass->next_write < pass->n_chunks) {
		MatrixChunk *chunk = &pass->chunks[pass->next_write % pass->window];
		if (!chunk->ready) break;
		if (!chunk->records.empty()) {
			*ctx->record_count += chunk->records.size();
			write_or_die(chunk->records.data(), sizeof(MatrixRecord), chunk->records.size(), ctx->stream);
		}
		chunk->records.clear();
		chunk->ready = 0;
		++pass->next_write;
	}
}

void *matrix_worker(void *arg)
{
	const MatrixWorkerContext *ctx = (const MatrixWorkerContext *)arg;
	MatrixPass *pass = ctx->pass;
	const BarcodeList *list = ctx->list;
	const uint32_t gene_count = ctx->gene_count;
	std::vector<uint32_t> counters(gene_count ? gene_count : 1);
	std::vector<MatrixRecord> records(gene_count ? gene_count : 1);
	std::vector<uint32_t> scratch;
	std::vector<uint64_t> keys;
	for (;;) {
		pthread_mutex_lock(ctx->mutex);
		while (pass->next_chunk < pass->n_chunks && pass->next_chunk - pass->next_write >= pass->window)
			pthread_cond_wait(&pass->turn, ctx->mutex);
		if (pass->next_chunk >= pass->n_chunks) {
			pthread_mutex_unlock(ctx->mutex);
			break;
		}
		const uint32_t c = pass->next_chunk++;
		pthread_mutex_unlock(ctx->mutex);

		// Chunk c + window is handed out only after chunk c has been written, so this
		// buffer is ours alone until it is marked ready.
		MatrixChunk *chunk = &pass->chunks[c % pass->window];
		uint32_t first, last;
		chunk_range(list, c, &first, &last);
		for (uint32_t i = first; i < last; ++i) {
			BarcodeEntry *entry = &list->entries[i];
			if (entry->umis && keys.size() < entry->umis->count) keys.resize(entry->umis->count);
			canonical_umi_layout(entry->umis, keys.data());
			collapse_umis(entry, ctx->umi_len, gene_count);
			if (i < list->cell_count) {
				uint32_t n = build_barcode_records(entry, i + 1, counters.data(), gene_count, records.data());
				uint32_t umis = 0;
				for (uint32_t r = 0; r < n; ++r) umis += records[r].count;
				chunk->records.insert(chunk->records.end(), records.begin(), records.begin() + n);
				pass->barcode_genes[i] = n;
				pass->barcode_umis[i] = umis;
			} else {
				if (entry->umis && scratch.size() < entry->umis->count) scratch.resize(entry->umis->count);
				count_surviving_umis(entry->umis, gene_count, scratch.data(), &pass->barcode_genes[i],
				                     &pass->barcode_umis[i]);
			}
		}

		pthread_mutex_lock(ctx->mutex);
		chunk->ready = 1;
		write_ready_chunks(ctx);
		pthread_cond_broadcast(&pass->turn);
		pthread_mutex_unlock(ctx->mutex);
	}
	return nullptr;
}

static void write_barcodes_tsv(const char *out_dir, const BarcodeList *list, int barcode_len)
{
	char path[PATH_BUFFER_SIZE];
	build_path(path, out_dir, "/", "barcodes.tsv");
	FILE *fp = open_or_die(path, "w");
	char letters[MAX_CODE_LEN + 2];
	for (uint32_t i = 0; i < list->cell_count; ++i) {
		unpack_bases(list->entries[i].code, barcode_len, letters);
		fprintf(fp, "%s\n", letters);
	}
	fclose(fp);
}

static void write_features_tsv(const char *out_dir, const AnnotationInfo *ann)
{
	char path[PATH_BUFFER_SIZE];
	build_path(path, out_dir, "/", "features.tsv");
	FILE *fp = open_or_die(path, "w");
	for (uint32_t g = 0; g < ann->gene_count; ++g)
		fprintf(fp, "%s\t%s\n", ann->gene_ids + (size_t)g * ann->gene_id_width,
		        ann->gene_names + (size_t)g * ann->gene_name_width);
	fclose(fp);
}

// Run the matrix threads over the whole ranked list; fills barcode_genes and barcode_umis.
static void run_matrix_pass(const CountOptions *opt, const BarcodeList *list, uint32_t gene_count,
                            FILE *bin, uint64_t *record_count, uint32_t *barcode_genes, uint32_t *barcode_umis)
{
	const int n_threads = opt->n_threads > 0 ? opt->n_threads : 1;
	pthread_mutex_t mutex;
	pthread_mutex_init(&mutex, nullptr);
	MatrixPass pass;
	pthread_cond_init(&pass.turn, nullptr);
	pass.n_chunks = chunk_count(list);
	pass.next_chunk = pass.next_write = 0;
	pass.window = (uint32_t)n_threads * MATRIX_CHUNKS_AHEAD;
	std::vector<MatrixChunk> chunks(pass.window);
	for (MatrixChunk &c : chunks) c.ready = 0;
	pass.chunks = chunks.data();
	pass.barcode_genes = barcode_genes;
	pass.barcode_umis = barcode_umis;

	pthread_attr_t attr;
	pthread_attr_init(&attr);
	pthread_attr_setstacksize(&attr, MATRIX_STACK_SIZE);
	pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
	std::vector<MatrixWorkerContext> contexts((size_t)n_threads);
	std::vector<pthread_t> threads((size_t)n_threads);
	for (int i = 0; i < n_threads; ++i) {
		MatrixWorkerContext *ctx = &contexts[(size_t)i];
		ctx->thread_count = n_threads;
		ctx->thread_index = i;
		ctx->mutex = &mutex;
		ctx->stream = bin;
		ctx->record_count = record_count;
		ctx->list = list;
		ctx->gene_count = gene_count;
		ctx->umi_len = opt->lib_type.umi_len;
		ctx->pass = &pass;
		if (pthread_create(&threads[(size_t)i], &attr, matrix_worker, ctx) != 0)
			fatal("[ERROR] Unable to create a matrix thread\n");
	}
	for (int i = 0; i < n_threads; ++i) pthread_join(threads[(size_t)i], nullptr);
	pthread_attr_destroy(&attr);
	pthread_cond_destroy(&pass.turn);
	pthread_mutex_destroy(&mutex);
}

void write_count_matrix(const CountOptions *opt, BarcodeTable *table, const AnnotationInfo *ann,
                        MatrixSummary *summary)
{
	const int barcode_len = opt->lib_type.barcode_len;
	const uint32_t gene_count = ann->gene_count;

	BarcodeList list;
	select_cell_barcodes(table, &list, barcode_len);
	report("Done cutting off barcode\n");
	// Read and key totals before the rescue frees the tables of merged barcodes.
	uint64_t reads_recorded = 0, umi_keys = 0;
	for (uint32_t i = 0; i < list.n; ++i) {
		if (list.entries[i].umis) reads_recorded += list.entries[i].umis->reads;
		umi_keys += list.entries[i].umi_count;
	}
	rescue_barcodes(table, &list, barcode_len);
	report("Done processing barcode\n");
	// Merged barcodes lost their table: their entries must not reach the matrix pass.
	for (uint32_t s = 0; s < table->capacity; ++s) {
		if (table->slots[s].code == EMPTY_KEY) continue;
		uint32_t i = table->slot_rank[s];
		if (i >= list.cell_count && i < list.n) list.entries[i].umis = table->slots[s].umis;
	}
	uint64_t reads_in_cells = 0;
	for (uint32_t i = 0; i < list.cell_count; ++i)
		if (list.entries[i].umis) reads_in_cells += list.entries[i].umis->reads;

	write_barcodes_tsv(opt->out_dir, &list, barcode_len);
	write_features_tsv(opt->out_dir, ann);

	char bin_path[PATH_BUFFER_SIZE];
	build_path(bin_path, opt->out_dir, "/", "matrix.bin");
	FILE *bin = open_or_die(bin_path, "wb");
	int32_t header_g = (int32_t)gene_count, header_n = (int32_t)list.cell_count;
	uint64_t record_count = 0;
	write_or_die(&header_g, 4, 1, bin);
	write_or_die(&header_n, 4, 1, bin);
	write_or_die(&record_count, 8, 1, bin);

	std::vector<uint32_t> barcode_genes(list.n ? list.n : 1, 0), barcode_umis(list.n ? list.n : 1, 0);
	run_matrix_pass(opt, &list, gene_count, bin, &record_count, barcode_genes.data(), barcode_umis.data());

	if (fseek(bin, 8, SEEK_SET) != 0) fatal(MSG_WRITE_ERROR);
	write_or_die(&record_count, 8, 1, bin);
	if (fflush(bin) != 0) fatal(MSG_WRITE_ERROR);
	fclose(bin);

	convert_matrix_to_mtx(bin_path, opt->out_dir);

	MatrixSummary local;
	MatrixSummary *sum = summary ? summary : &local;
	memset(sum, 0, sizeof *sum);
	sum->gene_count = gene_count;
	sum->barcode_count = list.n;
	sum->cell_count = list.cell_count;
	sum->cell_records = record_count;
	sum->reads_recorded = reads_recorded;
	sum->reads_in_cells = reads_in_cells;
	sum->umi_keys = umi_keys;
	for (uint32_t i = 0; i < list.cell_count; ++i) sum->cell_umis += barcode_umis[i];

	write_filtered_matrix_dir(opt->out_dir, bin_path, &list, ann, barcode_len);
	write_raw_matrix_dir(opt->out_dir, &list, ann, barcode_len, barcode_genes.data(), barcode_umis.data(), sum);

	fill_rank_curve(&list, sum);
	std::vector<uint32_t> values(barcode_umis.begin(), barcode_umis.begin() + list.cell_count);
	sum->median_umis_per_cell = median_u32(values.data(), list.cell_count);
	values.assign(barcode_genes.begin(), barcode_genes.begin() + list.cell_count);
	sum->median_genes_per_cell = median_u32(values.data(), list.cell_count);
	release_barcode_list(&list);
}

char *append_decimal(char *p, uint64_t v)
{
	char digits[20];
	int n = 0;
	do {
		digits[n++] = (char)('0' + v % 10);
		v /= 10;
	} while (v);
	while (n) *p++ = digits[--n];
	return p;
}

// "%d" of a signed 32-bit value.
static char *append_int(char *p, int32_t value)
{
	if (value < 0) *p++ = '-';
	return append_decimal(p, value < 0 ? 0u - (uint32_t)value : (uint32_t)value);
}

void convert_matrix_to_mtx(const char *bin_path, const char *out_dir)
{
	char mtx_path[PATH_BUFFER_SIZE], part_path[PATH_BUFFER_SIZE];
	build_path(mtx_path, out_dir, "/", "matrix.mtx");
	build_path(part_path, mtx_path, PART_SUFFIX, "");
	FILE *bin = open_or_die(bin_path, "rb");
	FILE *mtx = open_or_die(part_path, "wb");

	int32_t gene_count, cell_count;
	uint64_t record_count;
	read_or_die(&gene_count, 4, 1, bin);
	read_or_die(&cell_count, 4, 1, bin);
	read_or_die(&record_count, 8, 1, bin);
	fprintf(mtx, "%%%%MatrixMarket matrix coordinate integer general\n");
	fprintf(mtx, "%%Gene count matrix generated by vora-T version %d.%d.%d\n", VORAT_VERSION_MAJOR,
	        VORAT_VERSION_MINOR, VORAT_VERSION_PATCH);
	fprintf(mtx, "%d\t%d\t%llu\n", gene_count, cell_count, (unsigned long long)record_count);

	std::vector<uint32_t> chunk((size_t)MTX_CHUNK_RECORDS * 3);
	std::vector<char> text((size_t)MTX_CHUNK_RECORDS * 36);
	uint64_t left = record_count;
	while (left > 0) {
		size_t n = left < MTX_CHUNK_RECORDS ? (size_t)left : (size_t)MTX_CHUNK_RECORDS;
		// Records read before a short read still reach matrix.mtx, as a record-by-record
		// conversion would leave them.
		const size_t got = fread(chunk.data(), 12, n, bin);
		char *p = text.data();
		for (size_t r = 0; r < got; ++r) {
			p = append_int(p, (int32_t)chunk[3 * r]);
			*p++ = '\t';
			p = append_int(p, (int32_t)chunk[3 * r + 1]);
			*p++ = '\t';
			p = append_int(p, (int32_t)chunk[3 * r + 2]);
			*p++ = '\n';
		}
		write_or_die(text.data(), 1, (size_t)(p - text.data()), mtx);
		if (got < n) fatal(MSG_READ_ERROR);
		left -= n;
	}
	fclose(bin);
	if (fclose(mtx) != 0) fatal(MSG_WRITE_ERROR);
	publish_output(part_path, mtx_path);
}

void publish_output(const char *part_path, const char *path)
{
	if (rename(part_path, path) != 0) fatal("[ERROR] Unable to rename [%s] to [%s]\n", part_path, path);
}

void remove_stale_outputs(const char *out_dir)
{
	static const char *const NAMES[] = {
	    "matrix.mtx", FILTERED_MATRIX_DIR "/matrix.mtx.gz", RAW_MATRIX_DIR "/matrix.mtx.gz",
	    "summary.json", "summary.html"};
	char path[PATH_BUFFER_SIZE];
	for (const char *name : NAMES) {
		build_path(path, out_dir, "/", name);
		if (unlink(path) != 0 && errno != ENOENT) fatal("[ERROR] Unable to remove file [%s]\n", path);
	}
}
