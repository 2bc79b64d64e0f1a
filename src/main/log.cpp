#include "main/log.h"

#include <ctime>

std::string logDateTime() {
    // ctime_r, not ctime: the statistics thread formats times of its own.
    char text[32];
    time_t now = time(nullptr);
    std::string prefix("[");
    prefix += ctime_r(&now, text);
    prefix.back() = ']';
    prefix += ' ';
    return prefix;
}
