#include "packet/buffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

#include "main/log.h"

namespace {

// The reserved mapping; buffers are carved from it in order and never freed.
char* storageStart_ = nullptr;
char* storageNext_ = nullptr;
char* storageEnd_ = nullptr;

[[noreturn]] void outOfMemory() {
    logError("can't allocate buffer: out of memory, exiting");
    exit(1);
}

// Anonymous memory is zero-filled by the kernel and committed page by page as
// it is written, so a pool is resident only as far as traffic has used it.
// MAP_NORESERVE lets a pool larger than memory start under the default
// overcommit heuristic; strict accounting (vm.overcommit_memory=2) ignores it
// and refuses such a mapping here, at start-up.
char* mapZeroed(size_t bytes) {
    void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return data == MAP_FAILED ? nullptr : static_cast<char*>(data);
}

}  // namespace

void reserveBufferStorage(long long count, int size) {
    if (count <= 0 || size <= 0) return;
    if (static_cast<unsigned long long>(count) > SIZE_MAX / static_cast<unsigned int>(size)) outOfMemory();
    size_t bytes = static_cast<size_t>(count) * static_cast<size_t>(size);
    storageStart_ = mapZeroed(bytes);
    if (storageStart_ == nullptr) outOfMemory();
    storageNext_ = storageStart_;
    storageEnd_ = storageStart_ + bytes;
}

Buffer::Buffer(int size) : limit_(size), position_(0), capacity_(size), data_(nullptr) {
    if (size < 0) outOfMemory();
    if (size > 0 && storageEnd_ - storageNext_ >= size) {
        data_ = storageNext_;
        storageNext_ += size;
    } else {
        data_ = mapZeroed(size > 0 ? static_cast<size_t>(size) : 1);
        if (data_ == nullptr) outOfMemory();
    }
}

Buffer::~Buffer() {
    // Storage carved from the reserved mapping stays with it.
    auto at = reinterpret_cast<uintptr_t>(data_);
    if (at >= reinterpret_cast<uintptr_t>(storageStart_) && at < reinterpret_cast<uintptr_t>(storageEnd_)) return;
    munmap(data_, capacity_ > 0 ? static_cast<size_t>(capacity_) : 1);
}

void Buffer::overflowAndExit() {
    logError("insufficient buffer capacity, exiting");
    exit(1);
}
