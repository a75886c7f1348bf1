// Counts every heap allocation the process makes while counting is on: calls of malloc,
// calloc, realloc and the aligned allocators, including those made inside the C library
// (vsnprintf, inet_ntop, stdio), and of every global operator new.
#pragma once

namespace kiv::test {

struct AllocationCount {
    long by_malloc;  // the C allocators
    long by_new;     // operator new, when it is counted apart (see allocation_counter.cpp)
    long total() const { return by_malloc + by_new; }
};

void allocation_counting_start();
AllocationCount allocation_counting_stop();
// How this build counts: "replaced allocators" or "sanitizer allocation hooks".
const char* allocation_counting_method();

}  // namespace kiv::test
