#include "relay.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/args.h"

namespace {

constexpr size_t kIpUdpHeaders = sizeof(iphdr) + sizeof(udphdr);
// The IPv4 total length field bounds what one spoofed datagram can carry.
constexpr size_t kMaxSpoofedPayload = 65535 - kIpUdpHeaders;

// Opens the sockets of a newly seen exporter. Allocates (map entry, socket
// slots) once per exporter, never per record.
bool openExporter(Relay& relay, uint64_t key, size_t* slot) {
    size_t first = relay.sockets.size();
    for (RelayTarget& t : relay.targets) {
        int fd = socket(t.addr.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        // Connected, so that a target's ICMP port unreachable comes back to
        // us as ECONNREFUSED on a later send and is counted.
        if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&t.addr), t.addrLen) != 0) {
            close(fd);
            fd = -1;
        }
        if (fd < 0) {
            // Said once per spell of failures (out of descriptors, say), not
            // once per record of the exporters that cannot have a socket.
            if (!relay.openFailing)
                fprintf(stderr, "quorvane-collector: cannot open a socket toward %s: %s\n",
                        t.text.c_str(), strerror(errno));
            relay.openFailing = true;
            for (size_t i = first; i < relay.sockets.size(); ++i) close(relay.sockets[i]);
            relay.sockets.resize(first);
            return false;
        }
        relay.sockets.push_back(fd);
    }
    relay.openFailing = false;
    relay.exporterSlot.emplace(key, first);
    *slot = first;
    return true;
}

void sendSpoofed(Relay& relay, const RecordHeader& h, const uint8_t* payload, size_t len) {
    if (len > kMaxSpoofedPayload) {
        for (RelayTarget& t : relay.targets) ++t.errors;
        return;
    }
    struct {
        iphdr ip;
        udphdr udp;
    } __attribute__((packed)) headers;
    iovec parts[2] = {{&headers, sizeof headers}, {const_cast<uint8_t*>(payload), len}};
    for (RelayTarget& t : relay.targets) {
        const auto& to = reinterpret_cast<const sockaddr_in&>(t.addr);
        headers = {};
        headers.ip.version = 4;
        headers.ip.ihl = sizeof(iphdr) / 4;
        headers.ip.ttl = 64;
        headers.ip.protocol = IPPROTO_UDP;
        headers.ip.tot_len = htons(static_cast<uint16_t>(kIpUdpHeaders + len));
        headers.ip.saddr = htonl(h.address);
        headers.ip.daddr = to.sin_addr.s_addr;
        // The kernel fills in the IP checksum and identification. The UDP
        // checksum stays 0, "none", which IPv4 allows, so the payload is
        // not read twice per target.
        // The exporter's own source port never reaches us; the SCTP port it
        // sent to keeps exporters on different ports apart.
        headers.udp.source = htons(static_cast<uint16_t>(h.localPort));
        headers.udp.dest = to.sin_port;
        headers.udp.len = htons(static_cast<uint16_t>(sizeof(udphdr) + len));
        msghdr m{};
        m.msg_name = &t.addr;
        m.msg_namelen = t.addrLen;
        m.msg_iov = parts;
        m.msg_iovlen = 2;
        ssize_t n = sendmsg(relay.rawSocket, &m, MSG_DONTWAIT);
        if (n < 0) ++t.errors;
        else ++t.sent;
    }
}

}  // namespace

bool parseRelayTarget(const std::string& text, RelayTarget* out, std::string* error) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            *error = "bad -forward " + text + ": expected [IPV6]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            *error = "bad -forward " + text + ": expected HOST:PORT (IPv6 in brackets)";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    long long n = 0;
    if (host.empty() || !parseNumber(port.c_str(), 1, 65535, &n)) {
        *error = "bad -forward " + text + ": expected HOST:PORT with a port from 1 to 65535";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
    if (rc != 0 || !res) {
        *error = "cannot resolve -forward " + text + ": " + gai_strerror(rc);
        return false;
    }
    RelayTarget t;
    t.text = text;
    memcpy(&t.addr, res->ai_addr, res->ai_addrlen);
    t.addrLen = res->ai_addrlen;
    freeaddrinfo(res);
    *out = t;
    return true;
}

bool relayOpen(Relay& relay, std::string* error) {
    if (!relay.spoof) return true;
    for (const RelayTarget& t : relay.targets) {
        if (t.addr.ss_family != AF_INET) {
            *error = "-spoof sends IPv4 only, and -forward " + t.text + " is IPv6";
            return false;
        }
    }
    relay.rawSocket = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_RAW);
    if (relay.rawSocket < 0) {
        *error = std::string("-spoof needs a raw socket (CAP_NET_RAW): ") + strerror(errno);
        return false;
    }
    return true;
}

void relayRecord(Relay& relay, const RecordHeader& h, const uint8_t* payload, size_t len) {
    if (relay.spoof) {
        sendSpoofed(relay, h, payload, len);
        return;
    }
    uint64_t key = uint64_t{h.address} << 32 | static_cast<uint32_t>(h.localPort);
    size_t slot;
    auto it = relay.exporterSlot.find(key);
    if (it != relay.exporterSlot.end()) {
        slot = it->second;
    } else if (!openExporter(relay, key, &slot)) {
        for (RelayTarget& t : relay.targets) ++t.errors;
        return;
    }
    for (size_t i = 0; i < relay.targets.size(); ++i) {
        RelayTarget& t = relay.targets[i];
        if (send(relay.sockets[slot + i], payload, len, MSG_DONTWAIT) < 0) ++t.errors;
        else ++t.sent;
    }
}

std::string relayCountersText(const Relay& relay) {
    std::string s;
    for (const RelayTarget& t : relay.targets)
        s += " target=" + t.text + " sent=" + std::to_string(t.sent) +
             " errors=" + std::to_string(t.errors);
    return s;
}
