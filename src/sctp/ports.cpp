#include "sctp/ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "collector/orvel_link.h"
#include "main/log.h"
#include "main/settings.h"
#include "sctp/sctp_calls.h"

// Never destroyed, like the packet lists: the process ends by exit().
std::set<int>& portSet_ = *new std::set<int>;
std::map<int, int>& portToSocketMap_ = *new std::map<int, int>;
std::vector<int>& ports_ = *new std::vector<int>;
std::vector<int>& sockets_ = *new std::vector<int>;
int portSocketCount_ = 0;

fd_set selectionSet_;
int maxFileDesc_ = -1;

namespace {

std::vector<int>& socketsOpenedThisPass = *new std::vector<int>;

// Opens, subscribes and binds a socket for port; -1 when the port is refused.
int openListeningSocket(int port) {
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);

    int sock = sctpSocket();
    if (sock < 0) {
        logError("can't create socket for port ", port, ": ", strerror(errno));
        return -1;
    }
    // The one place a descriptor enters the port set: select can only watch
    // descriptors below FD_SETSIZE, and writing a larger one into an fd_set
    // would corrupt memory. Such a port is refused like one that fails to bind.
    if (sock >= FD_SETSIZE) {
        logError("error, can't watch port ", port, ": socket descriptor ", sock, " is beyond the select limit of ",
                 FD_SETSIZE);
        sctpClose(sock);
        return -1;
    }

    logDebug("setting socket buffer size: ", udpsocketbufsize);
    if (sctpSetsockopt(sock, SOL_SOCKET, SO_RCVBUF, &udpsocketbufsize, sizeof udpsocketbufsize) != 0)
        logError("warning, can't set socket receive buffer size to ", udpsocketbufsize, ": ", strerror(errno));

    enable_assoc(sock);

    if (sctpBind(sock, &address) != 0) {
        logError("error, can't bind to port ", port, ": ", strerror(errno));
        sctpClose(sock);
        return -1;
    }
    return sock;
}

}  // namespace

void resetSelectionSet(int orvelSocket) {
    // Only a daemon started with a thousand descriptors already open gets
    // here; it could never watch its collector, so it stops at once.
    if (orvelSocket >= FD_SETSIZE) {
        logError("error, orvel socket descriptor ", orvelSocket, " is beyond the select limit of ", FD_SETSIZE,
                 ", exiting");
        exit(1);
    }
    FD_ZERO(&selectionSet_);
    FD_SET(orvelSocket, &selectionSet_);
    maxFileDesc_ = orvelSocket;
}

void enable_assoc(int sock) {
    logDebug("Subscribing for SCTP Events");
    sctp_event_subscribe events;
    memset(&events, 0, sizeof events);
    events.sctp_data_io_event = 1;
    events.sctp_association_event = 1;
    events.sctp_shutdown_event = 1;
    // Only the first eight one-byte members: the length every SCTP stack
    // accepts, whatever later members its own structure has grown.
    if (sctpSetsockopt(sock, IPPROTO_SCTP, SCTP_EVENTS, &events, 8) < 0) {
        logError("Error: setsockopt SCTP EVENTS");
        exit(1);
    }
}

void updatePorts(std::set<int>& newPorts) {
    for (auto it = portSet_.begin(); it != portSet_.end();) {
        int port = *it++;
        if (newPorts.count(port) != 0) continue;
        logDebug("removing port ", port);
        sctpClose(portToSocketMap_[port]);
        portToSocketMap_.erase(port);
        portSet_.erase(port);
    }

    for (int port : newPorts) {
        if (portSet_.count(port) != 0) continue;
        logDebug("adding listening port ", port);
        int sock = openListeningSocket(port);
        if (sock < 0) continue;
        portSet_.insert(port);
        portToSocketMap_[port] = sock;
        sctpListen(sock, 5);
        socketsOpenedThisPass.push_back(sock);
    }

    resetSelectionSet(orvelsock_);
    portSocketCount_ = static_cast<int>(portSet_.size());
    ports_.assign(portSet_.begin(), portSet_.end());
    sockets_.clear();
    for (int port : ports_) {
        int sock = portToSocketMap_[port];
        sockets_.push_back(sock);
        FD_SET(sock, &selectionSet_);
        if (sock > maxFileDesc_) maxFileDesc_ = sock;
    }
}

void unmarkSocketsOpenedThisPass(fd_set* ready) {
    for (int sock : socketsOpenedThisPass) FD_CLR(sock, ready);
    socketsOpenedThisPass.clear();
}
