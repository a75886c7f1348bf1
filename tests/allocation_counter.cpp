// In a file of its own, so that the compiler never sees a replaced operator new and the
// free() in the matching delete together.
#include "allocation_counter.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<size_t> allocations{0};
}  // namespace

size_t allocation_count() {
    return allocations.load();
}

void* operator new(size_t size) {
    ++allocations;
    if (void* memory = malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
    free(memory);
}
void operator delete(void* memory, size_t) noexcept {
    free(memory);
}
