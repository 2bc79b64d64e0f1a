#include "packet/packet_store.h"

#include "main/log.h"
#include "main/settings.h"

// Never destroyed: the process ends by exit() while messages are still in
// the lists, and nothing should be torn down under the statistics thread.
PacketList& packetPool_ = *new PacketList;
PacketList& packetsBuffered_ = *new PacketList;

std::atomic<uint64_t> packetsReceived_{0};
std::atomic<uint64_t> packetsDiscarded_{0};
std::atomic<uint64_t> packetsForwarded_{0};
std::atomic<uint64_t> packetsBufferedHighWaterMark_{0};
std::atomic<uint64_t> packetPoolLength_{0};
std::atomic<uint64_t> packetsBufferedLength_{0};

bool poolUsageWarningIsActive_ = false;
bool poolExhaustedWarningIsActive_ = false;

namespace {

void publishLengths() {
    packetPoolLength_.store(packetPool_.size(), std::memory_order_relaxed);
    packetsBufferedLength_.store(packetsBuffered_.size(), std::memory_order_relaxed);
}

}  // namespace

void fillPool() {
    for (int i = 0; i < packetpoolsize; ++i) packetPool_.push_back(new PacketMsg(maxpacketsize));
    publishLengths();
}

void queueFirstFreeMessage() {
    packetsBuffered_.splice(packetsBuffered_.end(), packetPool_, packetPool_.begin());
    publishLengths();
    uint64_t length = packetsBuffered_.size();
    if (length > packetsBufferedHighWaterMark_.load(std::memory_order_relaxed))
        packetsBufferedHighWaterMark_.store(length, std::memory_order_relaxed);
}

void rotateFirstFreeMessage() { packetPool_.splice(packetPool_.end(), packetPool_, packetPool_.begin()); }

void returnOldestQueuedMessage() {
    packetPool_.splice(packetPool_.end(), packetsBuffered_, packetsBuffered_.begin());
    publishLengths();
}

void lowReserveCheck() {
    if (poolUsageWarningIsActive_) return;
    if (packetPool_.size() <= poolUsageWarningNumPackets_) {
        poolUsageWarningIsActive_ = true;
        logError("Warning, the packet pool reserve has reached ", poolUsageWarningPercentEntries_, " percent of ",
                 packetpoolsize, " entries.");
    }
}

void poolEmptyRule() {
    countOne(packetsDiscarded_);
    if (!poolExhaustedWarningIsActive_) {
        poolExhaustedWarningIsActive_ = true;
        poolUsageWarningIsActive_ = true;
        logError("Warning, the packet pool is empty; some packets may be discarded.");
    }
}

void recoveryCheck() {
    if (!poolUsageWarningIsActive_) return;
    if (packetPool_.size() > cancelPoolUsageWarningNumPackets_) {
        poolUsageWarningIsActive_ = false;
        logInfo("The packet pool reserve has recovered to ", cancelPoolUsageWarningPercentEntries_, " percent.");
        if (poolExhaustedWarningIsActive_) {
            poolExhaustedWarningIsActive_ = false;
            logInfo("Total number of packets discarded due to insufficient pool entries: ",
                    packetsDiscarded_.load(std::memory_order_relaxed));
        }
    }
}
