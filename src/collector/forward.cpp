#include "collector/forward.h"

#include <sys/socket.h>

#include "collector/orvel_link.h"
#include "main/log.h"
#include "packet/packet_store.h"

void forwardPacket() {
    PacketMsg* message = oldestQueuedMessage();
    orvelWantsPacket_ = false;
    message->buildHeader();
    Buffer& buffer = message->getBuffer();
    buffer.position(0);
    ssize_t len = buffer.limit();
    // MSG_NOSIGNAL: a collector that has reset the connection must end the
    // daemon through the orderly "exiting" below, not by SIGPIPE. main
    // ignores SIGPIPE too, but this code is also linked without that main.
    ssize_t sent = send(orvelsock_, buffer.array(), static_cast<size_t>(len), MSG_NOSIGNAL);
    if (sent < 0) {
        logInfo("exiting");
        exit(0);
    }
    if (sent != len) {
        logError("warning, send to orvel returned less than expected size: ", sent);
    } else {
        countOne(packetsForwarded_);
        logDebug("sent ", len, " bytes to orvel");
    }
    returnOldestQueuedMessage();
    recoveryCheck();
}
