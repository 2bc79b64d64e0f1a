// Log lines: "[<ctime text>] message", one line per call, flushed at once.
#pragma once

#include <iostream>
#include <string>

#include "main/settings.h"

// The 27-character prefix "[Sat Dec  5 19:12:55 2026] ".
std::string logDateTime();

template <typename... Parts>
void logLine(std::ostream& out, const Parts&... parts) {
    // A line whose write failed (reader gone, disk full) is lost; the error
    // state it left would silence every later line, so each line tries anew.
    if (!out.good()) out.clear();
    out << logDateTime();
    (out << ... << parts);
    out << std::endl;
}

// Progress, recovery and "exiting" lines.
template <typename... Parts>
void logInfo(const Parts&... parts) {
    logLine(std::cout, parts...);
}

// Warnings and errors.
template <typename... Parts>
void logError(const Parts&... parts) {
    logLine(std::cerr, parts...);
}

// Debug lines cost one test of the switch when it is off; callers whose
// arguments are costly to compute test debugEnabled_ themselves.
template <typename... Parts>
inline void logDebug(const Parts&... parts) {
    if (debugEnabled_) logLine(std::cout, parts...);
}
