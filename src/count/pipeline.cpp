// The read pipeline of a count run: reader threads cut read-file pairs into batches,
// worker threads parse and map them; a batch queue of two rings connects them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <semaphore.h>
#include "count/count.h"

// Two rings of batch references (filled and free), each with a lock per end and a
// counting semaphore. An end marker is a null entry of the filled ring.
struct BatchQueue {
	int32_t capacity;
	ReadBatch **filled_ring;
	ReadBatch **free_ring;
	int32_t filled_put, filled_take;
	int32_t free_put, free_take;
	sem_t filled_count, free_count;
	pthread_mutex_t filled_put_lock, filled_take_lock, free_put_lock, free_take_lock;
};

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

static void *checked_malloc(size_t size)
{
	void *p = malloc(size ? size : 1);
	if (!p) fatal(MSG_NO_MEMORY);
	return p;
}

static ReadBatch *batch_create()
{
	ReadBatch *b = (ReadBatch *)checked_malloc(sizeof(ReadBatch));
	b->text1 = (char *)checked_malloc(READ_BUFFER_SIZE + 1);
	b->text2 = (char *)checked_malloc(READ_BUFFER_SIZE + 1);
	b->text1[0] = b->text2[0] = 0;
	b->format = READ_FASTQ;
	return b;
}

static void batch_release(ReadBatch *b)
{
	if (!b) return;
	free(b->text1);
	free(b->text2);
	free(b);
}

static void ring_put(ReadBatch **ring, int32_t capacity, int32_t *put, sem_t *count,
                     pthread_mutex_t *lock, ReadBatch *batch)
{
	pthread_mutex_lock(lock);
	if (++*put == capacity) *put = 0;
	ring[*put] = batch;
	sem_post(count);
	pthread_mutex_unlock(lock);
}

// The taker waits on the semaphore while holding the take lock, so takers are served in lock order.
static ReadBatch *ring_take(ReadBatch **ring, int32_t capacity, int32_t *take, sem_t *count,
                            pthread_mutex_t *lock)
{
	pthread_mutex_lock(lock);
	while (sem_wait(count) != 0) {}
	ReadBatch *b = ring[*take];
	if (++*take == capacity) *take = 0;
	pthread_mutex_unlock(lock);
	return b;
}

static void put_filled(BatchQueue *q, ReadBatch *b)
{
	ring_put(q->filled_ring, q->capacity, &q->filled_put, &q->filled_count, &q->filled_put_lock, b);
}
static void put_free(BatchQueue *q, ReadBatch *b)
{
	ring_put(q->free_ring, q->capacity, &q->free_put, &q->free_count, &q->free_put_lock, b);
}
static ReadBatch *take_filled(BatchQueue *q)
{
	return ring_take(q->filled_ring, q->capacity, &q->filled_take, &q->filled_count, &q->filled_take_lock);
}
static ReadBatch *take_free(BatchQueue *q)
{
	return ring_take(q->free_ring, q->capacity, &q->free_take, &q->free_count, &q->free_take_lock);
}

static BatchQueue *batch_queue_create(int32_t capacity)
{
	BatchQueue *q = (BatchQueue *)checked_malloc(sizeof(BatchQueue));
	q->capacity = capacity;
	q->filled_ring = (ReadBatch **)checked_malloc(sizeof(ReadBatch *) * capacity);
	q->free_ring = (ReadBatch **)checked_malloc(sizeof(ReadBatch *) * capacity);
	q->filled_put = q->free_put = -1;
	q->filled_take = q->free_take = 0;
	sem_init(&q->filled_count, 0, 0);
	sem_init(&q->free_count, 0, 0);
	pthread_mutex_init(&q->filled_put_lock, nullptr);
	pthread_mutex_init(&q->filled_take_lock, nullptr);
	pthread_mutex_init(&q->free_put_lock, nullptr);
	pthread_mutex_init(&q->free_take_lock, nullptr);
	return q;
}

static void batch_queue_release(BatchQueue *q)
{
	free(q->filled_ring);
	free(q->free_ring);
	sem_destroy(&q->filled_count);
	sem_destroy(&q->free_count);
	pthread_mutex_destroy(&q->filled_put_lock);
	pthread_mutex_destroy(&q->filled_take_lock);
	pthread_mutex_destroy(&q->free_put_lock);
	pthread_mutex_destroy(&q->free_take_lock);
	free(q);
}

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

void run_pipeline(const CountOptions *opt, const MappingIndex *index)
{
	const int32_t T = opt->n_threads;
	pthread_attr_t attr;
	pthread_attr_init(&attr);
	pthread_attr_setstacksize(&attr, STACK_SIZE);
	pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);

	ReadStats stats;
	memset(&stats, 0, sizeof stats);

	const int32_t Q = 2 * T;
	BatchQueue *queue = batch_queue_create(Q);
	for (int32_t i = 0; i < Q; ++i) put_free(queue, batch_create());

	const int32_t R = opt->n_pairs < T ? opt->n_pairs : T;
	int32_t end_markers_left = 2 * T;
	pthread_barrier_t barrier;
	pthread_barrier_init(&barrier, nullptr, (unsigned)R);
	pthread_mutex_t end_marker_lock = PTHREAD_MUTEX_INITIALIZER;
	ReadPairSource *sources = (ReadPairSource *)calloc((size_t)opt->n_pairs, sizeof(ReadPairSource));
	if (!sources) fatal(MSG_NO_MEMORY);

	pthread_t *readers = (pthread_t *)checked_malloc(sizeof(pthread_t) * R);
	ReaderArgs *reader_args = (ReaderArgs *)checked_malloc(sizeof(ReaderArgs) * R);
	for (int32_t r = 0; r < R; ++r) {
		reader_args[r] = ReaderArgs{R, opt->n_pairs, r, sources, opt->r1_files, opt->r2_files,
		                            &end_markers_left, &barrier, &end_marker_lock, queue};
		start_thread(&readers[r], &attr, reader_thread, &reader_args[r]);
	}

	pthread_mutex_t stats_lock = PTHREAD_MUTEX_INITIALIZER;

	FILE *dump_file = nullptr;
	pthread_mutex_t dump_lock = PTHREAD_MUTEX_INITIALIZER;
	AlignDump *dumps = nullptr;
	if (opt->dump_align) {
		char path[PATH_BUFFER_SIZE];
		build_path(path, opt->out_dir, "/", opt->prefix);
		char dump_path[PATH_BUFFER_SIZE];
		build_path(dump_path, path, ".align.tsv", "");
		dump_file = open_or_die(dump_path, "wb");
		dumps = (AlignDump *)checked_malloc(sizeof(AlignDump) * T);
		for (int32_t i = 0; i < T; ++i)
			dumps[i] = AlignDump{dump_file, &dump_lock, (char *)checked_malloc(2097153), 0};
	}

	BarcodeTable *table = barcode_table_create(T);

	pthread_t *workers = (pthread_t *)checked_malloc(sizeof(pthread_t) * T);
	WorkerContext *contexts = (WorkerContext *)checked_malloc(sizeof(WorkerContext) * T);
	for (int32_t i = 0; i < T; ++i) {
		contexts[i] = WorkerContext{queue, table, &stats_lock, &table->worker_locks[i], &stats,
		                            nullptr, dumps ? &dumps[i] : nullptr, opt->lib_type, index->ann};
		contexts[i].workspace = create_mapping_workspace(index);
		start_thread(&workers[i], &attr, worker_thread, &contexts[i]);
	}
	for (int32_t r = 0; r < R; ++r) pthread_join(readers[r], nullptr);
	for (int32_t i = 0; i < T; ++i) pthread_join(workers[i], nullptr);
	for (int32_t i = 0; i < T; ++i) release_mapping_workspace(contexts[i].workspace);

	report("\rNumber of processed reads: %ld\n", (long)stats.total);

	if (dumps) {
		for (int32_t i = 0; i < T; ++i) {
			if (dumps[i].length > 0) {
				pthread_mutex_lock(&dump_lock);
				write_or_die(dumps[i].buffer, 1, (size_t)dumps[i].length, dump_file);
				dumps[i].length = 0;
				pthread_mutex_unlock(&dump_lock);
			}
			free(dumps[i].buffer);
		}
		free(dumps);
		if (fclose(dump_file) != 0) fatal(MSG_WRITE_ERROR);
	}

	// The mapping indexes are not needed by the post-processing.
	release_kmer_hash(const_cast<KmerHash *>(index->hash));
	release_genome_bwt(const_cast<GenomeBwt *>(index->bwt));
	AnnotationInfo *ann = const_cast<AnnotationInfo *>(index->ann);
	free(ann->tx_seq);
	ann->tx_seq = nullptr;

	batch_queue_release(queue);
	pthread_barrier_destroy(&barrier);
	free(sources);
	free(readers);
	free(reader_args);
	free(workers);
	free(contexts);
	pthread_attr_destroy(&attr);

	MatrixSummary matrix_summary;
	write_count_matrix(opt, table, ann, &matrix_summary);

	report("[INFO] Total number of reads               : %10ld\n", (long)stats.total);
	report("[INFO] Number of exonic mapped reads       : %10ld\n", (long)stats.exonic);
	if (opt->count_intron) {
		report("[INFO] Number of intronic reads            : %10ld\n", (long)stats.intronic);
		report("[INFO] Number of intergenic reads          : %10ld\n", (long)stats.intergenic);
	} else {
		report("[INFO] Number of nonexonic reads           : %10ld\n", (long)stats.intergenic);
	}
	report("[INFO] Number of unmapped reads            : %10ld\n", (long)stats.unmapped);

	const SummaryReadCounts read_counts{stats.total, stats.exonic, stats.intronic, stats.intergenic,
	                                    stats.unmapped, opt->count_intron};
	write_run_summary(opt, &read_counts, &matrix_summary);
}
