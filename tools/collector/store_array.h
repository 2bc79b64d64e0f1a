// The arrays of an exporter's template store. From a page on, each is a
// mapping of its own: freed, it goes back to the kernel at once, where in
// the heap arrays that grew by doubling left holes a quarter the size of
// what they held. Smaller ones come from the heap. Only these arrays are
// mapped so; everything else in the process keeps the heap, whose reuse
// of blocks (a metrics scrape's buffers, say) costs no fresh pages.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

constexpr size_t kPageBytes = 4096;

// Under AddressSanitizer every array stays in the heap, where a read past
// a block's end is caught; the account is the same either way.
#if defined(__SANITIZE_ADDRESS__)
#define QUORVANE_STORE_IN_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVANE_STORE_IN_HEAP 1
#endif
#endif
#ifdef QUORVANE_STORE_IN_HEAP
constexpr size_t kMappedFrom = SIZE_MAX;
#else
constexpr size_t kMappedFrom = kPageBytes;
#endif

// What the heap adds to each block it hands out (size word and rounding).
constexpr size_t kBlockOverhead = 16;

template <typename T>
struct StoreAllocator {
    using value_type = T;
    StoreAllocator() = default;
    template <typename U>
    StoreAllocator(const StoreAllocator<U>&) {}

    // A failure here is the process out of memory or mappings: the caps
    // allow 16 MiB of these arrays, at most 4096 mappings, so it is not
    // the exporters' doing.
    T* allocate(size_t n) {
        size_t bytes = n * sizeof(T);
        void* p = bytes < kMappedFrom ? malloc(bytes)
                                      : mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (!p || p == MAP_FAILED) abort();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t n) {
        size_t bytes = n * sizeof(T);
        if (bytes < kMappedFrom) free(p);
        else munmap(p, bytes);
    }
};

template <typename T, typename U>
bool operator==(const StoreAllocator<T>&, const StoreAllocator<U>&) { return true; }
template <typename T, typename U>
bool operator!=(const StoreAllocator<T>&, const StoreAllocator<U>&) { return false; }

template <typename T>
using StoreArray = std::vector<T, StoreAllocator<T>>;

// The bytes an array of `capacity` elements takes: under a page, a heap
// block rounded to 16 bytes with 16 more; from a page on, whole pages.
template <typename T>
size_t blockBytes(size_t capacity) {
    size_t bytes = capacity * sizeof(T);
    if (!bytes) return 0;
    if (bytes >= kPageBytes) return (bytes + kPageBytes - 1) / kPageBytes * kPageBytes;
    return (bytes + 15) / 16 * 16 + kBlockOverhead;
}
