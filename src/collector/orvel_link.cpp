#include "collector/orvel_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "main/log.h"
#include "main/settings.h"
#include "packet/packet_store.h"
#include "sctp/ports.h"

int orvelsock_ = -1;
bool orvelWantsPacket_ = false;
std::atomic<uint64_t> wantsReceived_{0};

namespace {

constexpr int kRetryStep = 2;
constexpr int kRetryEnd = 60;  // 30 attempts, 2 seconds apart

int readInt32() {
    unsigned char bytes[4];
    readFromORVEL(bytes, sizeof bytes);
    uint32_t value = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
    return static_cast<int>(value);
}

}  // namespace

void connectToORVEL() {
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(forwardingport));

    for (int retries = 0; retries < kRetryEnd; retries += kRetryStep) {
        if (retries > 0) sleep(2);
        logDebug("opening socket to orvel at port ", forwardingport);
        orvelsock_ = socket(AF_INET, SOCK_STREAM, 0);
        if (orvelsock_ < 0) {
            logError("error, can't create orvel socket: ", strerror(errno), ", exiting");
            exit(1);
        }
        if (connect(orvelsock_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            logDebug("connected to orvel");
            return;
        }
        close(orvelsock_);
    }
    logError("error, can't connect to orvel, giving up");
    exit(1);
}

void readFromORVEL(void* buf, int len) {
    char* next = static_cast<char*>(buf);
    while (len != 0) {
        ssize_t got = read(orvelsock_, next, static_cast<size_t>(len));
        if (got <= 0) {
            close(orvelsock_);
            logInfo("exiting");
            exit(0);
        }
        next += got;
        len -= static_cast<int>(got);
    }
}

void handleORVELRequest() {
    unsigned char code;
    readFromORVEL(&code, 1);
    if (code == 0) {
        logDebug("message from orvel: wants a packet");
        orvelWantsPacket_ = true;
        countOne(wantsReceived_);
    } else if (code == 1) {
        logDebug("message from orvel: port update");
        int count = readInt32();
        // Entries are read one at a time as they arrive, so a huge count
        // costs nothing until the collector actually sends that many.
        std::set<int> newPorts;
        for (int i = 0; i < count; ++i) newPorts.insert(readInt32());
        updatePorts(newPorts);
    } else {
        logError("unexpected request from orvel: ", static_cast<unsigned int>(code), ", exiting");
        exit(1);
    }
}
