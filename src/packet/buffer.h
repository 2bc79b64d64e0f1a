// Fixed-capacity byte buffer with a limit and a position, in the manner of a
// stream buffer: data is received straight into it at the position, header
// fields are appended with put, and the bytes up to the limit are sent.
#pragma once

class Buffer {
public:
    explicit Buffer(int size);
    // The daemon never destroys a buffer; this is for short-lived ones elsewhere.
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    // Copies n bytes at the position, or ends the process when they would
    // pass the limit: a record that does not fit is a bug, never data.
    void put(const void* src, unsigned int n);
    void putInt(unsigned int value);         // big-endian
    void putLong(unsigned long long value);  // big-endian

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
    int limit_;
    int position_;
    int capacity_;
    char* data_;
};
