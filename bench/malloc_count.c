/* LD_PRELOAD malloc counter for the benchmark.
 *
 * Counts every heap allocation call (malloc, calloc, realloc, the aligned
 * forms; operator new lands in malloc) in a 64-bit counter that lives in a
 * file mapped shared, named by QUORVANE_MALLOC_COUNTER, so the benchmark can
 * read it at the start and end of a measuring window without signalling or
 * stopping the process under test. Allocation itself is glibc's own. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

static uint64_t early;
static uint64_t* counter = &early;

__attribute__((constructor)) static void mapCounter(void) {
    const char* path = getenv("QUORVANE_MALLOC_COUNTER");
    if (path == NULL) return;
    int fd = open(path, O_RDWR);
    if (fd < 0) return;
    void* p = mmap(NULL, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return;
    uint64_t* shared = p;
    __atomic_store_n(shared, early, __ATOMIC_RELAXED);
    counter = shared;
}

static void count(void) { __atomic_fetch_add(counter, 1, __ATOMIC_RELAXED); }

void* malloc(size_t n) {
    count();
    return __libc_malloc(n);
}

void* calloc(size_t n, size_t size) {
    count();
    return __libc_calloc(n, size);
}

void* realloc(void* p, size_t n) {
    count();
    return __libc_realloc(p, n);
}

void* memalign(size_t align, size_t n) {
    count();
    return __libc_memalign(align, n);
}

void* aligned_alloc(size_t align, size_t n) {
    count();
    return __libc_memalign(align, n);
}

int posix_memalign(void** out, size_t align, size_t n) {
    count();
    void* p = __libc_memalign(align, n);
    if (p == NULL) return 12; /* ENOMEM */
    *out = p;
    return 0;
}
