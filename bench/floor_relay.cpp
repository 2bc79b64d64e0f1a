// The floor the daemon is measured against: the same system calls per record
// (select, the read of one request byte, one receive through the same SCTP
// seam, one send of header and payload) and nothing else. A ring of fixed
// slots stands in for the pool; no statistics, no logging, no port set logic
// beyond opening what the collector names. Takes the daemon's command line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sctp/sctp_calls.h"

namespace {

int collector = -1;

void readAll(void* buf, size_t len) {
    char* p = static_cast<char*>(buf);
    while (len > 0) {
        ssize_t got = read(collector, p, len);
        if (got <= 0) exit(0);
        p += got;
        len -= static_cast<size_t>(got);
    }
}

uint32_t readU32() {
    unsigned char b[4];
    readAll(b, 4);
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

void put32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

struct Slot {
    unsigned char* data;
    int length;
    int port;
    int stream;
    in_addr from;
};

}  // namespace

int main(int argc, char** argv) {
    int forwardingPort = -1, bufSize = 0, poolSize = 0, maxSize = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        int v = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "-forwardingport")) forwardingPort = v;
        else if (!strcmp(argv[i], "-udpsocketbufsize")) bufSize = v;
        else if (!strcmp(argv[i], "-packetpoolsize")) poolSize = v;
        else if (!strcmp(argv[i], "-maxpacketsize")) maxSize = v;
    }
    if (forwardingPort < 0 || poolSize <= 0 || maxSize <= 0) return 1;

    std::vector<Slot> ring(static_cast<size_t>(poolSize));
    for (Slot& s : ring) s.data = static_cast<unsigned char*>(calloc(1, static_cast<size_t>(maxSize) + 36));
    unsigned char* discard = static_cast<unsigned char*>(calloc(1, static_cast<size_t>(maxSize) + 36));
    size_t head = 0, queued = 0;

    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(forwardingPort));
    collector = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(collector, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return 1;

    std::vector<int> socks, ports;
    int maxFd = collector;
    bool wants = false;
    sockaddr_in from;
    socklen_t fromLength = sizeof from;
    sctp_sndrcvinfo info;
    int flags;

    for (;;) {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(collector, &ready);
        for (int s : socks) FD_SET(s, &ready);
        if (select(maxFd + 1, &ready, nullptr, nullptr, nullptr) <= 0) continue;

        if (FD_ISSET(collector, &ready)) {
            unsigned char code;
            readAll(&code, 1);
            if (code == 0) {
                wants = true;
            } else {
                // Only the benchmark's single port update at start-up.
                int count = static_cast<int>(readU32());
                for (int i = 0; i < count; ++i) {
                    int port = static_cast<int>(readU32());
                    int s = sctpSocket();
                    sctpSetsockopt(s, SOL_SOCKET, SO_RCVBUF, &bufSize, sizeof bufSize);
                    sockaddr_in a;
                    memset(&a, 0, sizeof a);
                    a.sin_family = AF_INET;
                    a.sin_port = htons(static_cast<uint16_t>(port));
                    if (sctpBind(s, &a) != 0) return 1;
                    socks.push_back(s);
                    ports.push_back(port);
                    if (s > maxFd) maxFd = s;
                }
                continue;
            }
        }
        for (size_t i = 0; i < socks.size(); ++i) {
            if (!FD_ISSET(socks[i], &ready)) continue;
            flags = 0;
            if (queued == ring.size()) {
                sctpRecvmsg(socks[i], discard, static_cast<size_t>(maxSize) + 36, reinterpret_cast<sockaddr*>(&from),
                            &fromLength, &info, &flags);
                continue;
            }
            Slot& slot = ring[(head + queued) % ring.size()];
            int n = sctpRecvmsg(socks[i], slot.data + 36, static_cast<size_t>(maxSize),
                                reinterpret_cast<sockaddr*>(&from), &fromLength, &info, &flags);
            if (n <= 0 || (flags & MSG_NOTIFICATION)) continue;
            slot.length = n;
            slot.port = ports[i];
            slot.stream = info.sinfo_stream;
            slot.from = from.sin_addr;
            ++queued;
        }
        if (wants && queued > 0) {
            Slot& slot = ring[head];
            head = (head + 1) % ring.size();
            --queued;
            wants = false;
            timeval now;
            gettimeofday(&now, nullptr);
            uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
            unsigned char* h = slot.data;
            memset(h, 0, 10);
            h[10] = h[11] = 0xff;
            memcpy(h + 12, &slot.from, 4);
            put32(h + 16, static_cast<uint32_t>(slot.port));
            put32(h + 20, static_cast<uint32_t>(slot.stream));
            put32(h + 24, static_cast<uint32_t>(ms >> 32));
            put32(h + 28, static_cast<uint32_t>(ms));
            put32(h + 32, static_cast<uint32_t>(slot.length));
            if (send(collector, h, static_cast<size_t>(slot.length) + 36, MSG_NOSIGNAL) < 0) exit(0);
        }
    }
}
