// Two ways to see every allocation, chosen by the build:
// - Normally this file replaces malloc and its family (counted_allocators.hpp, shared with
//   the preload shim that counts the real relay's allocations) and the global operator new
//   and delete.
// - Under AddressSanitizer the sanitizer owns malloc and operator new and must keep them, so
//   the count comes from the allocation hooks it offers instead; they see both.
#include "allocation_counter.hpp"

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define KIV_COUNT_WITH_SANITIZER_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KIV_COUNT_WITH_SANITIZER_HOOKS 1
#endif
#endif

namespace {

// One thread only: the core is single-threaded and so is this test.
bool counting = false;
long by_malloc = 0;
long by_new = 0;

}  // namespace

namespace kiv::test {

void allocation_counting_start() {
    by_malloc = 0;
    by_new = 0;
    counting = true;
}

AllocationCount allocation_counting_stop() {
    counting = false;
    return {by_malloc, by_new};
}

}  // namespace kiv::test

#if defined(KIV_COUNT_WITH_SANITIZER_HOOKS)

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             size_t),
                                                         void (*free_hook)(const volatile void*));

namespace {

void on_allocate(const volatile void*, size_t) {
    if (counting) ++by_malloc;
}
void on_free(const volatile void*) {}

const int hooks_installed = __sanitizer_install_malloc_and_free_hooks(on_allocate, on_free);

}  // namespace

const char* kiv::test::allocation_counting_method() {
    return hooks_installed ? "sanitizer allocation hooks" : "none: the hooks were refused";
}

#else

namespace {

void note_allocation(size_t) {
    if (counting) ++by_malloc;
}
void note_free(void*) {}

}  // namespace

#include "counted_allocators.hpp"

namespace {

void* counted_new(size_t size) {
    if (counting) ++by_new;
    if (void* pointer = __libc_malloc(size == 0 ? 1 : size)) return pointer;
    throw std::bad_alloc();
}

void* counted_aligned_new(size_t size, std::align_val_t alignment) {
    if (counting) ++by_new;
    if (void* pointer = __libc_memalign(size_t(alignment), size == 0 ? 1 : size)) return pointer;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t size) {
    return counted_new(size);
}
void* operator new[](size_t size) {
    return counted_new(size);
}
void* operator new(size_t size, std::align_val_t alignment) {
    return counted_aligned_new(size, alignment);
}
void* operator new[](size_t size, std::align_val_t alignment) {
    return counted_aligned_new(size, alignment);
}
void operator delete(void* pointer) noexcept {
    __libc_free(pointer);
}
void operator delete[](void* pointer) noexcept {
    __libc_free(pointer);
}
void operator delete(void* pointer, size_t) noexcept {
    __libc_free(pointer);
}
void operator delete[](void* pointer, size_t) noexcept {
    __libc_free(pointer);
}
void operator delete(void* pointer, std::align_val_t) noexcept {
    __libc_free(pointer);
}
void operator delete[](void* pointer, std::align_val_t) noexcept {
    __libc_free(pointer);
}
void operator delete(void* pointer, size_t, std::align_val_t) noexcept {
    __libc_free(pointer);
}
void operator delete[](void* pointer, size_t, std::align_val_t) noexcept {
    __libc_free(pointer);
}

const char* kiv::test::allocation_counting_method() {
    return "replaced allocators";
}

#endif
