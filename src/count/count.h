// The count command: index loading, reader and worker threads, read-pair processing,
// post-processing and statistics.
#ifndef VORAT_COUNT_H
#define VORAT_COUNT_H

#include <cstdint>
#include <pthread.h>
#include <semaphore.h>
#include "cli/cli.h"
#include "mapping/mapping.h"
#include "matrix/matrix.h"
#include "reads/reads.h"

#define STACK_SIZE 16777216

static_assert(MAX_UMI_BASES <= MAX_UMI_LEN, "a layout's UMI must fit the UMI key");
static_assert(MAX_BARCODE_BASES <= MAX_CODE_LEN, "a layout's barcode must fit the neighbour enumeration");

// The unit of work between a reader and a worker.
struct ReadBatch {
	char *text1;     // complete read-1 records, zero-terminated (READ_BUFFER_SIZE + 1 bytes)
	char *text2;     // the same number of read-2 records
	ReadFormat format;
};

// One worker's share of the alignment dump: records collect in the buffer and go to the
// shared file under the shared lock when it is full, and at the end of the run.
struct AlignDump {
	FILE *file;
	pthread_mutex_t *lock;
	char *buffer;     // ALIGN_DUMP_BUFFER_SIZE + 1
	int32_t length;
};

#define ALIGN_DUMP_BUFFER_SIZE 2097152

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

// Everything a worker (and process_read_pair) works with.
struct WorkerContext {
	BatchQueue *queue;
	BarcodeTable *table;
	pthread_mutex_t *stats_lock;
	pthread_mutex_t *own_lock;   // this worker's entry of table->worker_locks
	ReadStats *stats;            // the worker's private counters
	MappingWorkspace *workspace;
	AlignDump *dump;             // or null
	LibraryType lib_type;
	const AnnotationInfo *ann;
	int32_t trim_adapters;       // --trim-adapters
	const Whitelist *whitelist;  // --whitelist, or null
	int32_t count_qualities;     // 1: count the bases of Phred 30 or more (--chemistry, --whitelist)
	char *antisense_buffer;      // antisense kits: read 2's reverse complement, bases then qualities
	int32_t antisense_capacity;  // bytes of antisense_buffer
};

// ---- batch queue (batch_queue.cpp) ----

// A batch with two empty text buffers of READ_BUFFER_SIZE + 1 bytes.
ReadBatch *batch_create();
// Release a batch and its texts (null is accepted).
void batch_release(ReadBatch *batch);
// A queue of two empty rings of `capacity` slots.
BatchQueue *batch_queue_create(int32_t capacity);
// Release the rings, locks and semaphores (not the batches).
void batch_queue_release(BatchQueue *queue);
// Put a batch (or an end marker, null) into a ring; take the next entry, waiting for one.
void put_filled(BatchQueue *queue, ReadBatch *batch);
void put_free(BatchQueue *queue, ReadBatch *batch);
ReadBatch *take_filled(BatchQueue *queue);
ReadBatch *take_free(BatchQueue *queue);

// ---- read pipeline (pipeline.cpp) ----

// Readers and workers over every read-file pair: returns the filled barcode table and sets
// *stats; the alignment dump (with --dump-align) is flushed and closed.
BarcodeTable *run_pipeline(const CountOptions *opt, const MappingIndex *index, const Whitelist *whitelist,
                           ReadStats *stats);

// ---- --chemistry auto (chemistry_auto.cpp) ----

// Map the first pairs of the first read files in both orientations and set opt->lib_type and
// opt->chemistry from the strand that maps and from the length of read 1; a run that cannot
// tell ends with an error giving what was seen.
void detect_chemistry(CountOptions *opt, const MappingIndex *index);

// ---- whitelist pass (barcode_pass.cpp) ----

// Count into list->exact the reads of every read-1 file whose barcode is on the list as it is.
void count_listed_barcodes(const CountOptions *opt, Whitelist *list);

// ---- read pairs (read_pair.cpp) ----

// Check read 1 against the library type, map read 2, count the pair and, for an exonic read
// whose best alignments settle on one gene, record its barcode and UMI key.
void process_read_pair(const ReadRecord *read1, const ReadRecord *read2, WorkerContext *ctx);

// ---- trimming before mapping and the dump record (read_extras.cpp) ----

// Map the cDNA of read 2: trimmed first with --trim-adapters (what was trimmed is counted
// into the worker's stats, *trim gets the bases taken from each end; a read left shorter than
// k is MAP_UNMAPPED with an empty AlignmentList), reverse-complemented for antisense kits.
MapOutcome map_cdna(const ReadRecord *read2, WorkerContext *ctx, ReadTrim *trim);

// Append the dump record of a pair to the worker's buffer, writing the buffer out first when
// the record might not fit. One tab-separated line: read name, barcode, UMI, outcome (as the
// statistics print it), gene id, transcript id, 1-based position in the transcript, mismatches
// the best score stands for, bases trimmed at the front and at the back of read 2; "*" where a
// field has no value.
void dump_read_pair(const WorkerContext *ctx, const ReadRecord *read1, const ReadRecord *read2,
                    MapOutcome outcome, ReadTrim trim);

// Write the buffer's records to the dump file under the dump lock and empty it.
void flush_align_dump(AlignDump *dump);

#endif
