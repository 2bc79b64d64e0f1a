// Hashes whose collisions nobody outside the process can arrange, for the
// indexes over what exporters send (they choose those keys): SipHash-1-3
// under a key drawn from the kernel, and tables of random numbers.
#pragma once

#include <cstddef>
#include <cstdint>

struct HashKey {
    uint64_t k0 = 0;
    uint64_t k1 = 0;
};

// Fills `to` from getrandom (or /dev/urandom where it is missing).
void drawRandom(void* to, size_t len);

namespace keyed_hash_detail {

inline uint64_t rotl(uint64_t x, int b) { return x << b | x >> (64 - b); }

struct State {
    uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
    // One compression round per 8-byte block: the "1" of SipHash-1-3.
    void block(uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    }
    // The final block (the length in its top byte), then three rounds.
    uint64_t last(uint64_t m) {
        block(m);
        v2 ^= 0xff;
        round();
        round();
        round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

inline State start(const HashKey& key) {
    return State{0x736f6d6570736575ull ^ key.k0, 0x646f72616e646f6dull ^ key.k1, 0x6c7967656e657261ull ^ key.k0,
                 0x7465646279746573ull ^ key.k1};
}

}  // namespace keyed_hash_detail

// SipHash-1-3 of the four bytes of `word`, little-endian: one block, the last.
inline uint64_t keyedHash(const HashKey& key, uint32_t word) {
    keyed_hash_detail::State s = keyed_hash_detail::start(key);
    return s.last(uint64_t{4} << 56 | word);
}

// SipHash-1-3 of the eight bytes of `word`, little-endian: one block, then
// the length block.
inline uint64_t keyedHash64(const HashKey& key, uint64_t word) {
    keyed_hash_detail::State s = keyed_hash_detail::start(key);
    s.block(word);
    return s.last(uint64_t{8} << 56);
}
