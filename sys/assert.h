// Debug assertions on internal invariants. TK_ASSERT(cond) is checked where TK_ASSERTS is
// defined (Debug and sanitizer builds, or TERVIK_ASSERTS=ON) and compiles to nothing in
// Release. Not for input from hosts, other processes or files: that is handled, not asserted.
#pragma once

#if defined(TK_ASSERTS)
#include <cstdio>
#include <cstdlib>

// [any-thread] Prints the failed condition and its place on standard error and aborts.
[[noreturn]] inline void tk_assert_fail(const char *cond, const char *file, int line) {
    fprintf(stderr, "%s:%d: internal invariant failed: %s\n", file, line, cond);
    abort();
}
#define TK_ASSERT(cond) ((cond) ? (void)0 : tk_assert_fail(#cond, __FILE__, __LINE__))
#else
#define TK_ASSERT(cond) ((void)sizeof(!(cond)))
#endif
