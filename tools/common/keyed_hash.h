// SipHash-2-4 of one 64-bit word under a 128-bit key. Tables keyed by what
// the network chooses (exporter addresses, template ids, domains) hash with
// a key drawn at start-up, so nobody who picks the keys can make them
// collide.
#pragma once

#include <sys/random.h>

#include <cstdint>

inline uint64_t keyedHash(const uint64_t key[2], uint64_t m) {
    uint64_t v0 = key[0] ^ 0x736f6d6570736575ull, v1 = key[1] ^ 0x646f72616e646f6dull;
    uint64_t v2 = key[0] ^ 0x6c7967656e657261ull, v3 = key[1] ^ 0x7465646279746573ull;
    auto rotl = [](uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
    auto round = [&] {
        v0 += v1, v1 = rotl(v1, 13), v1 ^= v0, v0 = rotl(v0, 32);
        v2 += v3, v3 = rotl(v3, 16), v3 ^= v2;
        v0 += v3, v3 = rotl(v3, 21), v3 ^= v0;
        v2 += v1, v1 = rotl(v1, 17), v1 ^= v2, v2 = rotl(v2, 32);
    };
    const uint64_t last = uint64_t{8} << 56;  // the message length, 8 bytes
    v3 ^= m, round(), round(), v0 ^= m;
    v3 ^= last, round(), round(), v0 ^= last;
    v2 ^= 0xff, round(), round(), round(), round();
    return v0 ^ v1 ^ v2 ^ v3;
}

// A fresh key from the kernel's random source; false when there was none.
inline bool drawHashKey(uint64_t key[2]) {
    return getrandom(key, 2 * sizeof key[0], 0) == static_cast<ssize_t>(2 * sizeof key[0]);
}
