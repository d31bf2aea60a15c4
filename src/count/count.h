// The count command: index loading, reader and worker threads, statistics.
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

// The unit of work between a reader and a worker.
struct ReadBatch {
	char *text1;     // complete read-1 records, zero-terminated (READ_BUFFER_SIZE + 1 bytes)
	char *text2;     // the same number of read-2 records
	uint32_t format; // ReadFormat
};

// Read counters: one shared instance and one private instance per worker.
struct ReadStats {
	int64_t total;
	int64_t exonic;
	int64_t unmapped;
	int64_t intronic;
	int64_t intergenic;
	int32_t millions_reported;
};

struct AlignDump {
	FILE *file;
	pthread_mutex_t *lock;
	char *buffer;     // 2 MiB + 1
	int32_t length;
};

struct BatchQueue;

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
};

#endif
