// What the UDP checksum costs a spoofed record. Runs the collector's -spoof
// send path (spoof.h: identification, checksum, fragments, and one sendmmsg
// on the raw socket per record, as at capacity, where each read brings one
// record) with and without summing the payload, the two arms alternating
// round by round. Without the sum the checksum is wrong, which nothing here
// looks at: the datagrams go out on a veth in a network namespace of our
// own, whose other end drops them as addressed to another host, so the
// figures are the kernel's send path without a wire or a receiver. A
// second pair of arms builds the headers only, without the system call,
// to show the user-space part alone.
//
// Needs root (a network namespace, a raw socket) and ip(8).
//   cmake -S bench -B build-bench && cmake --build build-bench --target spoof_checksum
//   spoof_checksum [--rounds N] [--records N] [--sizes 100,1400,4000]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "spoof.h"

namespace {

struct Path {
    int raw = -1;
    SpoofIds ids;
    sockaddr_in to{};
    size_t mtu = 0;
    std::vector<uint8_t> headers = std::vector<uint8_t>(kMaxSpoofPieces * kSpoofHeaders);
    std::vector<iovec> iovs = std::vector<iovec>(2 * kMaxSpoofPieces);
    std::vector<mmsghdr> msgs = std::vector<mmsghdr>(kMaxSpoofPieces);
};

double cpuNow() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// CPU seconds per record over `records` records of `payload`.
double run(Path& p, const std::vector<uint8_t>& payload, size_t records, bool sum, bool send) {
    uint32_t source = htonl(0xC0000207);  // 192.0.2.7
    double start = cpuNow();
    for (size_t i = 0; i < records; ++i) {
        SpoofDatagram d;
        d.source = source;
        d.dest = p.to.sin_addr.s_addr;
        d.sourcePort = htons(2055);
        d.destPort = p.to.sin_port;
        d.payload = payload.data();
        d.len = static_cast<uint32_t>(payload.size());
        d.id = spoofNextId(p.ids, d.source, d.dest);
        spoofSeal(d, sum ? spoofSum(d.payload, d.len) : 0);
        size_t pieces = spoofPieces(d.len, p.mtu);
        for (size_t k = 0; k < pieces; ++k) {
            spoofPiece(d, p.mtu, k, &p.headers[k * kSpoofHeaders], &p.iovs[2 * k]);
            msghdr& h = p.msgs[k].msg_hdr;
            h = {};
            h.msg_name = &p.to;
            h.msg_namelen = sizeof p.to;
            h.msg_iov = &p.iovs[2 * k];
            h.msg_iovlen = 2;
        }
        if (send && sendmmsg(p.raw, p.msgs.data(), static_cast<unsigned>(pieces), 0) != static_cast<int>(pieces)) {
            perror("sendmmsg");
            exit(1);
        }
        // Keeps the compiler from dropping the headers it built.
        asm volatile("" : : "r"(p.headers.data()) : "memory");
    }
    return (cpuNow() - start) / static_cast<double>(records);
}

struct Spread {
    double median, min, max;
};

Spread spread(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

std::string text(const Spread& s, double scale, const char* format) {
    char buf[96];
    std::string f = std::string(format) + " [" + format + " .. " + format + "]";
    snprintf(buf, sizeof buf, f.c_str(), s.median * scale, s.min * scale, s.max * scale);
    return buf;
}

bool setUp(Path& p) {
    if (unshare(CLONE_NEWNET) != 0) {
        perror("unshare(CLONE_NEWNET), root needed");
        return false;
    }
    // The other end of the veth drops every packet at once, as addressed
    // to another host's Ethernet address.
    if (system("ip link add qvbench0 mtu 1500 type veth peer name qvbench1 && ip link set qvbench1 up && "
               "ip addr add 198.18.255.1/24 dev qvbench0 && ip link set qvbench0 up && "
               "ip neigh add 198.18.255.2 lladdr 02:00:00:00:00:02 dev qvbench0 nud permanent") != 0)
        return false;
    p.to.sin_family = AF_INET;
    p.to.sin_port = htons(9995);
    inet_pton(AF_INET, "198.18.255.2", &p.to.sin_addr);
    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    if (udp < 0 || connect(udp, reinterpret_cast<sockaddr*>(&p.to), sizeof p.to) != 0) {
        perror("connect");
        return false;
    }
    p.mtu = spoofPathMtu(udp);
    close(udp);
    std::string err;
    if (!spoofOpen(&p.raw, &p.ids, &err)) {
        fprintf(stderr, "%s\n", err.c_str());
        return false;
    }
    return true;
}

// "100,1400": empty when any is not a payload a datagram can carry.
std::vector<size_t> parseSizes(const std::string& text) {
    std::vector<size_t> out;
    const char* s = text.c_str();
    for (;;) {
        char* end = nullptr;
        out.push_back(strtoul(s, &end, 10));
        if (end == s || out.back() > kMaxSpoofedPayload || (*end && *end != ',')) return {};
        if (!*end) return out;
        s = end + 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    size_t rounds = 11, records = 100000;
    std::vector<size_t> sizes{100, 1400, 4000};
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--rounds") rounds = strtoul(v.c_str(), nullptr, 10);
        else if (k == "--records") records = strtoul(v.c_str(), nullptr, 10);
        else if (k == "--sizes") sizes = parseSizes(v);
        else {
            fprintf(stderr, "usage: spoof_checksum [--rounds N] [--records N] [--sizes 100,1400,4000]\n");
            return 1;
        }
    }
    Path p;
    if (rounds == 0 || records == 0 || sizes.empty()) {
        fprintf(stderr, "bad --rounds, --records or --sizes\n");
        return 1;
    }
    if (!setUp(p)) return 1;
    printf("path MTU %zu; %zu rounds of %zu records per arm; median [min-max] over rounds\n", p.mtu, rounds, records);
    for (size_t size : sizes) {
        std::vector<uint8_t> payload(size);
        for (size_t i = 0; i < size; ++i) payload[i] = static_cast<uint8_t>(rand());
        // With the sum, without, and their difference and ratio within each round.
        std::vector<double> send[4], build[4];
        run(p, payload, records / 10, true, true);  // warm-up
        for (size_t r = 0; r < rounds; ++r) {
            for (auto* arm : {send, build}) {
                // Alternating which arm goes first cancels a drift within a round.
                bool first = r % 2 == 0, sending = arm == send;
                double a = run(p, payload, records, first, sending);
                double b = run(p, payload, records, !first, sending);
                double with = first ? a : b, without = first ? b : a;
                arm[0].push_back(with);
                arm[1].push_back(without);
                arm[2].push_back(with - without);
                arm[3].push_back(with / without);
            }
        }
        printf("\npayload %zu bytes, %zu packet(s)\n", size, spoofPieces(size, p.mtu));
        printf("  send,  us/record: with sum %s, without %s, difference %s, ratio %s\n",
               text(spread(send[0]), 1e6, "%.3f").c_str(), text(spread(send[1]), 1e6, "%.3f").c_str(),
               text(spread(send[2]), 1e6, "%+.3f").c_str(), text(spread(send[3]), 1, "%.3f").c_str());
        printf("  build, ns/record: with sum %s, without %s, difference %s, ratio %s\n",
               text(spread(build[0]), 1e9, "%.0f").c_str(), text(spread(build[1]), 1e9, "%.0f").c_str(),
               text(spread(build[2]), 1e9, "%+.0f").c_str(), text(spread(build[3]), 1, "%.2f").c_str());
    }
    return 0;
}
