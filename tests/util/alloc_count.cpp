// Interposed allocation functions that count the calls of threads that asked for it and
// forward to glibc's own. Compiled to nothing under AddressSanitizer.
#include "tests/util/alloc_count.h"

#include <malloc.h>

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define TK_COUNT_ALLOCS 0
#else
#define TK_COUNT_ALLOCS 1
#endif

namespace {
thread_local bool t_counting = false;
std::atomic<long> g_allocs{0};
inline void count() {
    if (t_counting) g_allocs.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

namespace tk_test {
bool alloc_counting_available() { return TK_COUNT_ALLOCS; }
void alloc_counting(bool on) { t_counting = on; }
long alloc_count() { return g_allocs.load(); }
} // namespace tk_test

#if TK_COUNT_ALLOCS
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);

void *malloc(size_t n) {
    count();
    return __libc_malloc(n);
}
void *calloc(size_t a, size_t b) {
    count();
    return __libc_calloc(a, b);
}
void *realloc(void *p, size_t n) {
    count();
    return __libc_realloc(p, n);
}
void *memalign(size_t al, size_t n) {
    count();
    return __libc_memalign(al, n);
}
int posix_memalign(void **out, size_t al, size_t n) {
    count();
    *out = __libc_memalign(al, n);
    return *out ? 0 : 12;
}
void *aligned_alloc(size_t al, size_t n) {
    count();
    return __libc_memalign(al, n);
}
void free(void *p) {
    if (p) count();
    __libc_free(p);
}
}
#endif
