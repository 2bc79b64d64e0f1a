#include "packet/buffer.h"

#include <cstdlib>
#include <cstring>

#include "main/log.h"

Buffer::Buffer(int size) : limit_(size), position_(0), capacity_(size), data_(nullptr) {
    // calloc rather than new: no exception to escape, and the kernel hands out
    // zeroed pages without the daemon touching a pool it may never fill.
    if (size >= 0) data_ = static_cast<char*>(calloc(size > 0 ? size : 1, 1));
    if (data_ == nullptr) {
        logError("can't allocate buffer: out of memory, exiting");
        exit(1);
    }
}

Buffer::~Buffer() { free(data_); }

void Buffer::overflowAndExit() {
    logError("insufficient buffer capacity, exiting");
    exit(1);
}
