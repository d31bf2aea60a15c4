// The khash.h installed with minimap2 allocates through kalloc's pool interface, always
// with a null pool here. A null pool means the C heap, which is all the name maps need.
#include <cstdlib>
#include <kalloc.h>

extern "C" {

void *kmalloc(void *, size_t size)
{
	return malloc(size);
}

void *krealloc(void *, void *ptr, size_t size)
{
	return realloc(ptr, size);
}

void *kcalloc(void *, size_t count, size_t size)
{
	return calloc(count, size);
}

void kfree(void *, void *ptr)
{
	free(ptr);
}

}
