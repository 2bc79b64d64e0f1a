// The free pool, the forwarding queue, the packet counters and the reserve
// warnings. Everything here belongs to the main thread; the statistics thread
// reads only the atomics, which the main thread keeps current without waiting.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>

#include "packet/packet_msg.h"

using PacketList = std::list<PacketMsg*>;

extern PacketList& packetPool_;
extern PacketList& packetsBuffered_;

extern std::atomic<uint64_t> packetsReceived_;
extern std::atomic<uint64_t> packetsDiscarded_;
extern std::atomic<uint64_t> packetsForwarded_;
extern std::atomic<uint64_t> packetsBufferedHighWaterMark_;
// Mirrors of the two list lengths for the statistics thread, which must not
// touch the lists themselves.
extern std::atomic<uint64_t> packetPoolLength_;
extern std::atomic<uint64_t> packetsBufferedLength_;

extern bool poolUsageWarningIsActive_;
extern bool poolExhaustedWarningIsActive_;

// Single writer: a plain load and store is enough and never a locked instruction.
inline void countOne(std::atomic<uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// Creates packetpoolsize messages, in order, at the end of the pool.
void fillPool();

// Messages move between the lists by splicing their nodes, so the loop never
// allocates or frees a list node per datagram. Callers check for emptiness.
inline PacketMsg* firstFreeMessage() { return packetPool_.front(); }
void queueFirstFreeMessage();   // pool front -> queue end, high water mark
void rotateFirstFreeMessage();  // pool front -> pool end (nothing was received)
inline PacketMsg* oldestQueuedMessage() { return packetsBuffered_.front(); }
void returnOldestQueuedMessage();  // queue front -> pool end

void lowReserveCheck();
void poolEmptyRule();
void recoveryCheck();
