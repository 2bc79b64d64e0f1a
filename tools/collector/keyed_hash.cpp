#include "keyed_hash.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool fill(void* to, size_t len) {
    auto* p = static_cast<unsigned char*>(to);
    while (len > 0) {
        ssize_t n = getrandom(p, len, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

void drawRandom(void* to, size_t len) {
    if (fill(to, len)) return;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    auto* p = static_cast<unsigned char*>(to);
    while (fd >= 0 && len > 0) {
        ssize_t n = read(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        len -= static_cast<size_t>(n);
    }
    if (fd >= 0) close(fd);
    // No randomness at all: the hashes still spread ordinary keys evenly.
    for (uint64_t x = 0x9E3779B97F4A7C15ull; len > 0; --len, ++p) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        *p = static_cast<unsigned char>(x);
    }
}
