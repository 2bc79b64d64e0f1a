#include "stats/stats.h"

#include <unistd.h>

#include <ctime>
#include <iostream>

#include "collector/orvel_link.h"
#include "main/settings.h"
#include "packet/packet_store.h"

void* statsThread(void*) {
    for (;;) {
        sleep(static_cast<unsigned int>(logstatsinterval));
        time_t now = time(nullptr);
        char when[32];
        // ctime_r: the main thread formats its log prefixes at the same time.
        ctime_r(&now, when);
        auto relaxed = std::memory_order_relaxed;
        // As for log lines: a report that could not be written is lost, the next one is tried.
        if (!std::cout.good()) std::cout.clear();
        std::cout << std::endl
                  << when << packetsReceived_.load(relaxed) << " packets received, "
                  << packetsDiscarded_.load(relaxed) << " discarded, " << packetsForwarded_.load(relaxed)
                  << " forwarded, " << wantsReceived_.load(relaxed) << " wants from ORVEL" << std::endl
                  << packetPoolLength_.load(relaxed) << "/" << packetpoolsize << " pool entries available"
                  << std::endl
                  << packetsBufferedLength_.load(relaxed)
                  << " queued packets waiting, high water mark=" << packetsBufferedHighWaterMark_.load(relaxed)
                  << std::endl;
    }
    return nullptr;
}
