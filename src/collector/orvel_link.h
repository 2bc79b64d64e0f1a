// The one TCP connection to the collector, and the requests that come back on it.
#pragma once

#include <atomic>
#include <cstdint>

extern int orvelsock_;
extern bool orvelWantsPacket_;
extern std::atomic<uint64_t> wantsReceived_;

void connectToORVEL();
// Returns only when all len bytes have arrived; the end of the connection ends the process.
void readFromORVEL(void* buf, int len);
void handleORVELRequest();
