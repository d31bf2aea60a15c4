// The read pipeline of a count run: reader threads cut read-file pairs into batches,
// worker threads parse and map them; a batch queue of two rings connects them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <semaphore.h>
#include "count/count.h"

// Reads the read cache of a run holds (128 bytes each, the pages touched as it fills): one per
// 512 genome bases, from 128 Ki to 1 Mi (16 to 128 MiB when full), so that the cache stays a
// small part of what the index of the genome takes in memory.
static uint64_t read_cache_entries(const GenomeBwt *bwt)
{
	const uint64_t wanted = bwt ? (uint64_t)bwt->seq_len >> 9 : 0;
	const uint64_t least = (uint64_t)1 << 17, most = (uint64_t)1 << 20;
	return wanted < least ? least : wanted > most ? most : wanted;
}

struct ReaderArgs {
	int32_t n_readers;
	int32_t n_pairs;
	int32_t index;
	ReadPairSource *sources;
	char **r1_files;
	char **r2_files;
	int32_t *end_markers_left;
	pthread_barrier_t *barrier;
	pthread_mutex_t *end_marker_lock;
	BatchQueue *queue;
};

static void *reader_thread(void *data)
{
	ReaderArgs *args = (ReaderArgs *)data;
	BatchQueue *q = args->queue;
	ReadBatch *current = batch_create();
	for (int32_t p = args->index; p < args->n_pairs; p += args->n_readers) {
		ReadPairSource *src = &args->sources[p];
		open_read_pair(src, args->r1_files[p], args->r2_files[p]);
		while (fill_batch(src, &current->text1, &current->text2) != -1) {
			current->format = src->format;
			ReadBatch *empty = take_free(q);
			put_filled(q, current);
			current = empty;
		}
		close_read_pair(src);
	}
	batch_release(current);
	pthread_barrier_wait(args->barrier);
	// Each end marker is paid for by one batch of the free ring, which is released:
	// the two rings together never hold more than their capacity.
	for (;;) {
		pthread_mutex_lock(args->end_marker_lock);
		int32_t left = *args->end_markers_left;
		if (left > 0) --*args->end_markers_left;
		pthread_mutex_unlock(args->end_marker_lock);
		if (left == 0) break;
		batch_release(take_free(q));
		put_filled(q, nullptr);
	}
	return nullptr;
}

static void merge_stats(WorkerContext *ctx, ReadStats *shared)
{
	ReadStats *own = ctx->stats;
	pthread_mutex_lock(ctx->stats_lock);
	shared->total += own->total;
	shared->exonic += own->exonic;
	shared->unmapped += own->unmapped;
	shared->intronic += own->intronic;
	shared->intergenic += own->intergenic;
	shared->tso_trimmed += own->tso_trimmed;
	shared->polya_trimmed += own->polya_trimmed;
	shared->quality_trimmed += own->quality_trimmed;
	shared->too_short += own->too_short;
	shared->barcode_on_list += own->barcode_on_list;
	shared->barcode_corrected += own->barcode_corrected;
	shared->barcode_invalid += own->barcode_invalid;
	shared->umi_filtered += own->umi_filtered;
	shared->barcode_bases += own->barcode_bases;
	shared->barcode_q30 += own->barcode_q30;
	shared->umi_bases += own->umi_bases;
	shared->umi_q30 += own->umi_q30;
	shared->read2_bases += own->read2_bases;
	shared->read2_q30 += own->read2_q30;
	int64_t m = shared->total / 1000000;
	if (m > shared->millions_reported) {
		++shared->millions_reported;
		report("Number of processed reads: %d million reads\n", shared->millions_reported);
	}
	pthread_mutex_unlock(ctx->stats_lock);
	memset(own, 0, sizeof *own);
}

static void *worker_thread(void *data)
{
	WorkerContext *ctx = (WorkerContext *)data;
	ReadStats *shared = ctx->stats;
	ReadStats own;
	memset(&own, 0, sizeof own);
	ctx->stats = &own;
	ReadBatch *spare = batch_create();
	for (;;) {
		ReadBatch *batch = take_filled(ctx->queue);
		if (!batch) break;
		put_free(ctx->queue, spare);
		spare = batch;
		int (*parse)(ReadRecord *, char *, int32_t *) =
			batch->format == READ_FASTA ? parse_fasta_record : parse_fastq_record;
		int32_t pos1 = 0, pos2 = 0;
		for (;;) {
			ReadRecord r1, r2;
			int s1 = parse(&r1, batch->text1, &pos1);
			int s2 = parse(&r2, batch->text2, &pos2);
			if (s1 == 2 || s2 == 2) fatal("[ERROR] \nWrong format file\n\n");
			process_read_pair(&r1, &r2, ctx);
			if (s1 == 1) break;
		}
		merge_stats(ctx, shared);
	}
	ctx->stats = shared;
	batch_release(spare);
	return nullptr;
}

static void start_thread(pthread_t *tid, const pthread_attr_t *attr, void *(*body)(void *), void *arg)
{
	if (pthread_create(tid, attr, body, arg) != 0) fatal("[ERROR] Unable to create thread\n");
}

// With --dump-align: the file out_dir/prefix.align.tsv (created or truncated) and one
// buffer per worker on it; null otherwise.
static AlignDump *open_align_dumps(const CountOptions *opt, pthread_mutex_t *lock)
{
	if (!opt->dump_align) return nullptr;
	char path[PATH_BUFFER_SIZE];
	build_path(path, opt->out_dir, "/", opt->prefix);
	char dump_path[PATH_BUFFER_SIZE];
	build_path(dump_path, path, ".align.tsv", "");
	FILE *file = open_or_die(dump_path, "wb");
	const int32_t T = opt->n_threads;
	AlignDump *dumps = (AlignDump *)malloc_or_die(T, sizeof(AlignDump));
	for (int32_t i = 0; i < T; ++i) dumps[i] = AlignDump{file, lock, (char *)malloc_or_die(ALIGN_DUMP_BUFFER_SIZE + 1, 1), 0};
	return dumps;
}

// Write what the workers left in their buffers, then close the dump file.
static void close_align_dumps(AlignDump *dumps, int32_t n_workers, pthread_mutex_t *lock)
{
	if (!dumps) return;
	FilePtr file(dumps[0].file);
	for (int32_t i = 0; i < n_workers; ++i) {
		if (dumps[i].length > 0) {
			pthread_mutex_lock(lock);
			write_or_die(dumps[i].buffer, 1, (size_t)dumps[i].length, file.get());
			dumps[i].length = 0;
			pthread_mutex_unlock(lock);
		}
		free(dumps[i].buffer);
	}
	free(dumps);
	close_written_file(&file);
}

BarcodeTable *run_pipeline(const CountOptions *opt, const MappingIndex *index, const Whitelist *whitelist,
                           ReadStats *stats)
{
	const int32_t T = opt->n_threads;
	pthread_attr_t attr;
	pthread_attr_init(&attr);
	pthread_attr_setstacksize(&attr, STACK_SIZE);
	pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);

	memset(stats, 0, sizeof *stats);

	const int32_t Q = 2 * T;
	BatchQueue *queue = batch_queue_create(Q);
	for (int32_t i = 0; i < Q; ++i) put_free(queue, batch_create());

	const int32_t R = opt->n_pairs < T ? opt->n_pairs : T;
	int32_t end_markers_left = 2 * T;
	pthread_barrier_t barrier;
	pthread_barrier_init(&barrier, nullptr, (unsigned)R);
	pthread_mutex_t end_marker_lock = PTHREAD_MUTEX_INITIALIZER;
	ReadPairSource *sources = (ReadPairSource *)malloc_or_die(opt->n_pairs, sizeof(ReadPairSource), true);

	pthread_t *readers = (pthread_t *)malloc_or_die(R, sizeof(pthread_t));
	ReaderArgs *reader_args = (ReaderArgs *)malloc_or_die(R, sizeof(ReaderArgs));
	for (int32_t r = 0; r < R; ++r) {
		reader_args[r] = ReaderArgs{R, opt->n_pairs, r, sources, opt->r1_files, opt->r2_files,
		                            &end_markers_left, &barrier, &end_marker_lock, queue};
		start_thread(&readers[r], &attr, reader_thread, &reader_args[r]);
	}

	pthread_mutex_t stats_lock = PTHREAD_MUTEX_INITIALIZER;
	pthread_mutex_t dump_lock = PTHREAD_MUTEX_INITIALIZER;
	AlignDump *dumps = open_align_dumps(opt, &dump_lock);

	BarcodeTable *table = barcode_table_create(T);

	// Reads that repeat earlier ones take their outcome from the cache (not on the plain path,
	// which tests compare with).
	ReadCache *cache = index->plain ? nullptr : create_read_cache(read_cache_entries(index->bwt));

	pthread_t *workers = (pthread_t *)malloc_or_die(T, sizeof(pthread_t));
	WorkerContext *contexts = (WorkerContext *)malloc_or_die(T, sizeof(WorkerContext));
	for (int32_t i = 0; i < T; ++i) {
		contexts[i] = WorkerContext{queue, table, &stats_lock, &table->worker_locks[i], stats,
		                            nullptr, dumps ? &dumps[i] : nullptr, opt->lib_type, index->ann,
		                            opt->trim_adapters, whitelist, opt->chemistry != nullptr || whitelist,
		                            nullptr, 0};
		contexts[i].workspace = create_mapping_workspace(index);
		contexts[i].workspace->cache = cache;
		start_thread(&workers[i], &attr, worker_thread, &contexts[i]);
	}
	for (int32_t r = 0; r < R; ++r) pthread_join(readers[r], nullptr);
	for (int32_t i = 0; i < T; ++i) pthread_join(workers[i], nullptr);
	for (int32_t i = 0; i < T; ++i) {
		release_mapping_workspace(contexts[i].workspace);
		free(contexts[i].antisense_buffer);
	}
	release_read_cache(cache);

	report("\rNumber of processed reads: %ld\n", (long)stats->total);
	close_align_dumps(dumps, T, &dump_lock);

	batch_queue_release(queue);
	pthread_barrier_destroy(&barrier);
	free(sources);
	free(readers);
	free(reader_args);
	free(workers);
	free(contexts);
	pthread_attr_destroy(&attr);
	return table;
}
