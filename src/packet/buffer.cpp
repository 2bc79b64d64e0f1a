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

void Buffer::put(const void* src, unsigned int n) {
    if (static_cast<unsigned int>(position_) + n > static_cast<unsigned int>(limit_)) {
        logError("insufficient buffer capacity, exiting");
        exit(1);
    }
    memcpy(data_ + position_, src, n);
    position_ += static_cast<int>(n);
}

void Buffer::putInt(unsigned int value) {
    unsigned char bytes[4];
    for (int i = 3; i >= 0; --i) {
        bytes[i] = static_cast<unsigned char>(value & 0xff);
        value >>= 8;
    }
    put(bytes, sizeof bytes);
}

void Buffer::putLong(unsigned long long value) {
    unsigned char bytes[8];
    for (int i = 7; i >= 0; --i) {
        bytes[i] = static_cast<unsigned char>(value & 0xff);
        value >>= 8;
    }
    put(bytes, sizeof bytes);
}
