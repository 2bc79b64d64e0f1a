// Fixed-capacity byte buffer with a limit and a position, in the manner of a
// stream buffer: data is received straight into it at the position, header
// fields are appended with put, and the bytes up to the limit are sent.
#pragma once

#include <cstring>

// Reserves one anonymous mapping for count buffers of size bytes; the Buffers
// constructed next take their storage from it in turn. A failure, or a size
// beyond the address space, is the allocation failure of the constructor.
void reserveBufferStorage(long long count, int size);

class Buffer {
public:
    // Zero-filled storage from the reserved mapping, or, beyond it, from a
    // mapping of its own; either way no page is touched until written.
    explicit Buffer(int size);
    // The daemon never destroys a buffer; this is for short-lived ones elsewhere.
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    // Copies n bytes at the position, or ends the process when they would
    // pass the limit: a record that does not fit is a bug, never data.
    // Inline with the two below: every record header is six puts, and with
    // constant sizes each folds to a compare and a store or two.
    void put(const void* src, unsigned int n) {
        if (static_cast<unsigned int>(position_) + n > static_cast<unsigned int>(limit_)) overflowAndExit();
        memcpy(data_ + position_, src, n);
        position_ += static_cast<int>(n);
    }
    void putInt(unsigned int value) {  // big-endian
        unsigned char bytes[4];
        for (int i = 3; i >= 0; --i, value >>= 8) bytes[i] = static_cast<unsigned char>(value);
        put(bytes, sizeof bytes);
    }
    void putLong(unsigned long long value) {  // big-endian
        unsigned char bytes[8];
        for (int i = 7; i >= 0; --i, value >>= 8) bytes[i] = static_cast<unsigned char>(value);
        put(bytes, sizeof bytes);
    }

    char* array() { return data_ + position_; }
    int limit() const { return limit_; }
    void limit(int newLimit) { limit_ = newLimit; }
    int position() const { return position_; }
    void position(int newPosition) { position_ = newPosition; }
    int capacity() const { return capacity_; }
    int remaining() const { return limit_ - position_; }
    void clear() {
        position_ = 0;
        limit_ = capacity_;
    }

private:
    [[noreturn]] static void overflowAndExit();

    int limit_;
    int position_;
    int capacity_;
    char* data_;
};
