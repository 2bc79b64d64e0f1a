// The floor quorvane-collector's relay mode is measured against: the reads
// of the record stream and the wants that keep it flowing, one want byte per
// record merged into one send per read, and one plain send() of each payload
// on a connected UDP socket. No framer copies, no per-exporter sockets, no
// counters beyond the record count the benchmark reads. Takes the
// collector's command line, as far as the benchmark uses it:
//   floor_collector -listen PORT -ports P[,P...] [-ahead K] [-stats SECS] [-quiet]
//                   [-forward A.B.C.D:PORT]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kHeader = 36;
constexpr size_t kRead = 64 * 1024;  // what the collector asks recv for

void put32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

bool sendAll(int fd, const unsigned char* p, size_t len) {
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    int listenPort = 0, ahead = 4, statsSeconds = 0;
    std::vector<uint32_t> ports;
    sockaddr_in target{};
    bool forward = false;
    for (int i = 1; i < argc; ++i) {
        std::string k = argv[i];
        if (k == "-quiet") continue;
        if (i + 1 >= argc) return 1;
        std::string v = argv[++i];
        if (k == "-listen") listenPort = atoi(v.c_str());
        else if (k == "-ahead") ahead = atoi(v.c_str());
        else if (k == "-stats") statsSeconds = atoi(v.c_str());
        else if (k == "-ports") {
            for (size_t b = 0; b <= v.size();) {
                size_t e = v.find(',', b);
                if (e == std::string::npos) e = v.size();
                ports.push_back(static_cast<uint32_t>(atoi(v.substr(b, e - b).c_str())));
                b = e + 1;
            }
        } else if (k == "-forward") {
            size_t colon = v.rfind(':');
            target.sin_family = AF_INET;
            target.sin_port = htons(static_cast<uint16_t>(atoi(v.c_str() + colon + 1)));
            if (colon == std::string::npos || inet_pton(AF_INET, v.substr(0, colon).c_str(), &target.sin_addr) != 1)
                return 1;
            forward = true;
        } else {
            return 1;
        }
    }

    int udp = -1;
    if (forward) {
        udp = socket(AF_INET, SOCK_DGRAM, 0);
        if (udp < 0 || connect(udp, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) return 1;
    }
    int lsock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(listenPort));
    if (bind(lsock, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(lsock, 1) != 0) return 1;
    socklen_t alen = sizeof a;
    getsockname(lsock, reinterpret_cast<sockaddr*>(&a), &alen);
    printf("listening on 127.0.0.1:%u\n", ntohs(a.sin_port));
    fflush(stdout);
    int conn = accept(lsock, nullptr, nullptr);
    close(lsock);
    if (conn < 0) return 1;

    std::vector<unsigned char> update(5 + 4 * ports.size());
    update[0] = 1;
    put32(&update[1], static_cast<uint32_t>(ports.size()));
    for (size_t i = 0; i < ports.size(); ++i) put32(&update[5 + 4 * i], ports[i]);
        // Room for one read behind the largest partial record a read can leave.
    std::vector<unsigned char> in(2 * kRead + kHeader + 65536);
    std::vector<unsigned char> wants(static_cast<size_t>(ahead) + in.size() / kHeader, 0);
    if (!sendAll(conn, update.data(), update.size()) || !sendAll(conn, wants.data(), static_cast<size_t>(ahead)))
        return 0;
    size_t have = 0;
    unsigned long long records = 0;
    double nextStats = now() + statsSeconds;
    for (;;) {
        int timeout = -1;
        if (statsSeconds > 0) {
            double t = now();
            if (t >= nextStats) {
                fprintf(stderr, "floor_collector: stats records=%llu\n", records);
                nextStats += statsSeconds;
                continue;
            }
            timeout = static_cast<int>((nextStats - t) * 1000) + 1;
        }
        pollfd p{conn, POLLIN, 0};
        if (poll(&p, 1, timeout) <= 0) continue;
        ssize_t n = recv(conn, in.data() + have, kRead, 0);
        if (n <= 0) return 0;
        have += static_cast<size_t>(n);
        size_t at = 0, done = 0;
        while (have - at >= kHeader) {
            const unsigned char* h = in.data() + at;
            size_t len = (size_t{h[32]} << 24) | (size_t{h[33]} << 16) | (size_t{h[34]} << 8) | h[35];
            if (have - at < kHeader + len) break;
            if (forward) send(udp, h + kHeader, len, MSG_DONTWAIT);
            at += kHeader + len;
            ++done;
        }
        if (at > 0) memmove(in.data(), in.data() + at, have - at);
        have -= at;
        records += done;
        if (done > 0 && !sendAll(conn, wants.data(), done)) return 0;
    }
}
