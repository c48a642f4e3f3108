// A preload library that counts the heap allocations of a whole process, on every thread:
// malloc and its relatives (operator new ends in malloc). `kestro_allocations()` gives the count
// so far; the hot-path benchmark reads it through ctypes around the calls it measures.
//
// The wrappers call glibc's own entry points rather than looking the next definition up with
// dlsym, which itself allocates and would recurse.
#include <stdatomic.h>
#include <errno.h>
#include <stddef.h>

void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

static atomic_ulong allocations;

static void count(void) { atomic_fetch_add_explicit(&allocations, 1, memory_order_relaxed); }

unsigned long kestro_allocations(void) {
    return atomic_load_explicit(&allocations, memory_order_relaxed);
}

void* malloc(size_t size) {
    count();
    return __libc_malloc(size);
}

void* calloc(size_t count_of, size_t size) {
    count();
    return __libc_calloc(count_of, size);
}

void* realloc(void* pointer, size_t size) {
    count();
    return __libc_realloc(pointer, size);
}

void* memalign(size_t alignment, size_t size) {
    count();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    count();
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == NULL) return ENOMEM;
    *out = pointer;
    return 0;
}
