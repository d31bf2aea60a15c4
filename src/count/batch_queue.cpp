// The batch queue between readers and workers: two rings of batch references (filled and
// free) with a lock per ring end and a counting semaphore per ring.
#include <cstdlib>
#include <pthread.h>
#include <semaphore.h>
#include "count/count.h"

ReadBatch *batch_create()
{
	ReadBatch *b = (ReadBatch *)malloc_or_die(1, sizeof(ReadBatch));
	b->text1 = (char *)malloc_or_die(READ_BUFFER_SIZE + 1, 1);
	b->text2 = (char *)malloc_or_die(READ_BUFFER_SIZE + 1, 1);
	b->text1[0] = b->text2[0] = 0;
	b->format = READ_FASTQ;
	return b;
}

void batch_release(ReadBatch *b)
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

void put_filled(BatchQueue *q, ReadBatch *b)
{
	ring_put(q->filled_ring, q->capacity, &q->filled_put, &q->filled_count, &q->filled_put_lock, b);
}
void put_free(BatchQueue *q, ReadBatch *b)
{
	ring_put(q->free_ring, q->capacity, &q->free_put, &q->free_count, &q->free_put_lock, b);
}
ReadBatch *take_filled(BatchQueue *q)
{
	return ring_take(q->filled_ring, q->capacity, &q->filled_take, &q->filled_count, &q->filled_take_lock);
}
ReadBatch *take_free(BatchQueue *q)
{
	return ring_take(q->free_ring, q->capacity, &q->free_take, &q->free_count, &q->free_take_lock);
}

BatchQueue *batch_queue_create(int32_t capacity)
{
	BatchQueue *q = (BatchQueue *)malloc_or_die(1, sizeof(BatchQueue));
	q->capacity = capacity;
	q->filled_ring = (ReadBatch **)malloc_or_die(capacity, sizeof(ReadBatch *));
	q->free_ring = (ReadBatch **)malloc_or_die(capacity, sizeof(ReadBatch *));
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

void batch_queue_release(BatchQueue *q)
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
