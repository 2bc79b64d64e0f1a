// Command-line number parsing shared by the companions: strict, unlike the
// daemon's own, because a typo in a test tool's option should stop it.
#pragma once

#include <cerrno>
#include <cstdlib>

inline bool parseNumber(const char* text, long long min, long long max, long long* out) {
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || v < min || v > max) return false;
    *out = v;
    return true;
}
