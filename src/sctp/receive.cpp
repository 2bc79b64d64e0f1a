#include "sctp/receive.h"

#include <arpa/inet.h>

#include "main/log.h"
#include "packet/packet_store.h"
#include "sctp/ports.h"
#include "sctp/sctp_calls.h"

namespace {

// Receive scratch shared by every receive of the loop.
sockaddr_in sourceAddress;
socklen_t sourceAddressLength;
sctp_sndrcvinfo receiveInfo;
int receiveFlags;

int receiveInto(int sock, Buffer& buffer) {
    receiveFlags = 0;
    return sctpRecvmsg(sock, buffer.array(), static_cast<size_t>(buffer.remaining()),
                       reinterpret_cast<sockaddr*>(&sourceAddress), &sourceAddressLength, &receiveInfo,
                       &receiveFlags);
}

void drainIntoDiscard(int sock, PacketMsg* discard) {
    logDebug("pool is empty, discarding packet");
    receiveInto(sock, discard->getBuffer());
    discard->clear();
    poolEmptyRule();
}

}  // namespace

void initReceiveScratch() { sourceAddressLength = sizeof sourceAddress; }

void receiveFromPort(int index, const fd_set* ready, PacketMsg* discard) {
    int sock = sockets_[index];
    logDebug("checking netflow listening ports");
    if (!FD_ISSET(sock, ready)) return;
    if (packetPool_.empty()) {
        drainIntoDiscard(sock, discard);
        return;
    }

    PacketMsg* message = firstFreeMessage();
    Buffer& buffer = message->getBuffer();
    buffer.clear();
    buffer.position(kRecordHeaderSize);
    logDebug("fetching data from sctp datagram");
    int n = receiveInto(sock, buffer);
    if (receiveFlags & MSG_NOTIFICATION) {
        n = 0;
        logDebug("ignoring Notification Messages");
    }
    if (debugEnabled_) logDebug("read ", n, " bytes from ", inet_ntoa(sourceAddress.sin_addr));

    if (n <= 0) {
        rotateFirstFreeMessage();
    } else {
        countOne(packetsReceived_);
        buffer.limit(buffer.position() + n);
        message->setLocalPort(ports_[index]);
        message->setStreamId(receiveInfo.sinfo_stream);
        message->setDeviceAddress(sourceAddress.sin_addr);
        message->setTimestamp();
        queueFirstFreeMessage();
    }
    lowReserveCheck();
}
