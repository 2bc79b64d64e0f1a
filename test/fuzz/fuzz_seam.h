// What the fuzz target's side of the SCTP seam exposes to the harness.
#pragma once

#include <cstdint>
#include <set>

// Descriptors handed out by sctpSocket and not yet closed by sctpClose.
const std::set<int>& fuzzSeamOpenSockets();

inline bool fuzzSeamRefusesPort(uint16_t port) { return port >= 65000; }
