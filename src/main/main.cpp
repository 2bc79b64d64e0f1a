// quorvane: relays NetFlow datagrams received over SCTP to a local collector,
// one record per request, from a pool of messages allocated at start-up.
#include <pthread.h>
#include <sys/select.h>

#include "collector/forward.h"
#include "collector/orvel_link.h"
#include "main/log.h"
#include "main/settings.h"
#include "packet/packet_store.h"
#include "sctp/ports.h"
#include "sctp/receive.h"
#include "stats/stats.h"

int main(int argc, char** argv) {
    parseArgs(argc, argv);
    logInfo("starting up quorvane...");

    // One mapping for the pool and the discard message, zero-filled by the
    // kernel: a page costs memory only once a datagram lands in it.
    reserveBufferStorage(packetpoolsize + 1LL, packetCapacity(maxpacketsize));
    fillPool();
    PacketMsg* discard = new PacketMsg(maxpacketsize);

    connectToORVEL();

    if (logstatsinterval > 0) {
        pthread_t statsThreadHandle;
        pthread_create(&statsThreadHandle, nullptr, statsThread, nullptr);
    }

    resetSelectionSet(orvelsock_);
    initReceiveScratch();
    logDebug("waiting for input...");

    for (;;) {
        // select overwrites its set, so each pass starts from a fresh copy.
        fd_set ready = selectionSet_;
        int result = select(maxFileDesc_ + 1, &ready, nullptr, nullptr, nullptr);
        logDebug("select returned ", result, " fd(s)...");
        if (result <= 0) continue;

        if (FD_ISSET(orvelsock_, &ready)) {
            handleORVELRequest();
            unmarkSocketsOpenedThisPass(&ready);
        }
        for (int i = 0; i < portSocketCount_; ++i) receiveFromPort(i, &ready, discard);
        if (orvelWantsPacket_ && !packetsBuffered_.empty()) forwardPacket();
    }
}
