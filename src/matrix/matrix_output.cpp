// The post-processing of a count run: cell calling, then the matrix files (barcodes.tsv,
// features.tsv, matrix.bin and matrix.mtx, all in the output directory) and the 10x folders.
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
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <semaphore.h>
#include <thread>
#include <vector>
#include "matrix/matrix.h"

#define MATRIX_STACK_SIZE 16777216

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

// Select the cells and rescue near-miss barcodes; the read and key totals are taken before
// the rescue frees the tables of merged barcodes.
static void call_cells(BarcodeTable *table, BarcodeList *list, int barcode_len, MatrixSummary *sum)
{
	canonical_barcode_layout(table);
	select_cell_barcodes(table, list, barcode_len);
	report("Done cutting off barcode\n");
	for (uint32_t i = 0; i < list->n; ++i) {
		if (list->entries[i].umis) sum->reads_recorded += list->entries[i].umis->reads;
		sum->umi_keys += list->entries[i].umi_count;
	}
	rescue_barcodes(table, list, barcode_len);
	report("Done processing barcode\n");
	// Merged barcodes lost their table: their entries must not reach the matrix pass.
	for (uint32_t s = 0; s < table->capacity; ++s) {
		if (table->slots[s].code == EMPTY_KEY) continue;
		uint32_t i = table->slot_rank[s];
		if (i >= list->cell_count && i < list->n) list->entries[i].umis = table->slots[s].umis;
	}
	for (uint32_t i = 0; i < list->cell_count; ++i)
		if (list->entries[i].umis) sum->reads_in_cells += list->entries[i].umis->reads;
}

// matrix.bin at `bin_path`: the header, the records of the matrix pass, then E patched in.
// Returns E; fills the per-position figures of the pass.
static uint64_t write_matrix_bin(const CountOptions *opt, const BarcodeList *list, uint32_t gene_count,
                                 const char *bin_path, uint32_t *barcode_genes, uint32_t *barcode_umis)
{
	FilePtr file(open_or_die(bin_path, "wb"));
	FILE *bin = file.get();
	int32_t header_g = (int32_t)gene_count, header_n = (int32_t)list->cell_count;
	uint64_t record_count = 0;
	write_or_die(&header_g, 4, 1, bin);
	write_or_die(&header_n, 4, 1, bin);
	write_or_die(&record_count, 8, 1, bin);

	run_matrix_pass(opt, list, gene_count, bin, &record_count, barcode_genes, barcode_umis);

	if (fseek(bin, 8, SEEK_SET) != 0) fatal(MSG_WRITE_ERROR);
	write_or_die(&record_count, 8, 1, bin);
	close_written_file(&file);
	return record_count;
}

// The cell figures of the summary: UMIs in cells, medians and the rank curve.
static void summarize_cells(const BarcodeList *list, const uint32_t *barcode_genes, const uint32_t *barcode_umis,
                            MatrixSummary *sum)
{
	for (uint32_t i = 0; i < list->cell_count; ++i) sum->cell_umis += barcode_umis[i];
	fill_rank_curve(list, sum);
	std::vector<uint32_t> values(barcode_umis, barcode_umis + list->cell_count);
	sum->median_umis_per_cell = median_u32(values.data(), list->cell_count);
	values.assign(barcode_genes, barcode_genes + list->cell_count);
	sum->median_genes_per_cell = median_u32(values.data(), list->cell_count);
}

void write_count_matrix(const CountOptions *opt, BarcodeTable *table, const AnnotationInfo *ann,
                        MatrixSummary *summary)
{
	const int barcode_len = opt->lib_type.barcode_len;
	const uint32_t gene_count = ann->gene_count;
	MatrixSummary local;
	MatrixSummary *sum = summary ? summary : &local;
	memset(sum, 0, sizeof *sum);

	BarcodeList list;
	call_cells(table, &list, barcode_len, sum);
	sum->gene_count = gene_count;
	sum->barcode_count = list.n;
	sum->cell_count = list.cell_count;

	write_barcodes_tsv(opt->out_dir, &list, barcode_len);
	write_features_tsv(opt->out_dir, ann);

	char bin_path[PATH_BUFFER_SIZE];
	build_path(bin_path, opt->out_dir, "/", "matrix.bin");
	std::vector<uint32_t> barcode_genes(list.n ? list.n : 1, 0), barcode_umis(list.n ? list.n : 1, 0);
	sum->cell_records = write_matrix_bin(opt, &list, gene_count, bin_path, barcode_genes.data(), barcode_umis.data());

	// The raw folder reads the UMI tables, the others read matrix.bin: with more than one
	// thread they are written side by side (each writer owns its files).
	// The helper is detached and waited for through a semaphore: when a write fails, fatal()
	// ends the run from either thread, and no finished thread is left behind unjoined.
	auto write_raw = [&] {
		write_raw_matrix_dir(opt->out_dir, &list, ann, barcode_len, barcode_genes.data(), barcode_umis.data(), sum);
	};
	sem_t raw_done;
	const bool beside = opt->n_threads > 1;
	if (beside) {
		sem_init(&raw_done, 0, 0);
		std::thread([&] {
			write_raw();
			sem_post(&raw_done);
		}).detach();
	}
	convert_matrix_to_mtx(bin_path, opt->out_dir);
	write_filtered_matrix_dir(opt->out_dir, bin_path, &list, ann, barcode_len);
	if (beside) {
		while (sem_wait(&raw_done) != 0) {}
		sem_destroy(&raw_done);
	} else {
		write_raw();
	}
	summarize_cells(&list, barcode_genes.data(), barcode_umis.data(), sum);
	release_barcode_list(&list);
}
