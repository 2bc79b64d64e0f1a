// quorvane: relays NetFlow datagrams received over SCTP to a local collector,
// one record per request, from a pool of messages allocated at start-up.
#include <fcntl.h>
#include <pthread.h>
#include <sys/select.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "collector/forward.h"
#include "collector/orvel_link.h"
#include "main/log.h"
#include "main/settings.h"
#include "packet/packet_store.h"
#include "sctp/ports.h"
#include "sctp/receive.h"
#include "stats/stats.h"

namespace {

// Started with standard input, output or error closed, the daemon would hand
// that number to its next descriptor, the collector socket, and log lines
// would go to the collector. /dev/null fills the gaps before anything opens.
void fillStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number: fd itself, since those below it are open.
        if (open("/dev/null", O_RDWR) != fd) {
            logError("can't open /dev/null: ", strerror(errno), ", exiting");
            exit(1);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    fillStandardDescriptors();
    // A log reader that goes away must cost its lines, not the relay: writes
    // to it then fail with EPIPE instead of killing the process. A
    // disposition, not a handler.
    signal(SIGPIPE, SIG_IGN);
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
