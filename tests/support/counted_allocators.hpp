// The C library's allocators replaced by ones that report every call and then pass it on to
// the C library's own allocator under its internal names. The C library calls malloc through
// the replaceable symbol, so allocations made inside it (vsnprintf, inet_ntop, stdio) are
// reported too. Included by exactly one file of a program or preload library, after it has
// defined
//   void note_allocation(size_t size);
//   void note_free(void* pointer);
#pragma once

#include <cstddef>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);

void* malloc(size_t size) {
    note_allocation(size);
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    note_allocation(count * size);
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
    note_allocation(size);
    return __libc_realloc(pointer, size);
}
void* memalign(size_t alignment, size_t size) {
    note_allocation(size);
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    note_allocation(size);
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
    note_allocation(size);
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr) return 12;  // ENOMEM
    *out = pointer;
    return 0;
}
void free(void* pointer) {
    note_free(pointer);
    __libc_free(pointer);
}
}
