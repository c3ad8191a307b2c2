// Counting heap allocations of the calling thread: malloc and friends are interposed for
// the whole process (dlopen'ed plug-ins included) by linking tk_alloccount. Unavailable
// under sanitizers, which own the allocator themselves.
#pragma once

namespace tk_test {

// False in sanitizer builds, where nothing is counted.
bool alloc_counting_available();
// Starts (or stops) counting the calls of this thread; counting() is the running total.
void alloc_counting(bool on);
long alloc_count();

} // namespace tk_test
