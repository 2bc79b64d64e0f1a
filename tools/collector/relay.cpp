#include "relay.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstring>

#include "common/args.h"

namespace {

constexpr size_t kIpHeader = sizeof(iphdr);
constexpr size_t kIpUdpHeaders = sizeof(iphdr) + sizeof(udphdr);
// The IPv4 total length field bounds what one spoofed datagram can carry.
constexpr size_t kMaxSpoofedPayload = 65535 - kIpUdpHeaders;
// Every IPv4 host reassembles datagrams of 576 bytes; a smaller path MTU
// would be a broken answer, and 576 keeps a datagram within the queue.
constexpr size_t kMinPathMtu = 576;
// Records of one read, or fragments of one spoofed datagram, sent with a
// single sendmmsg; a fuller queue is sent early.
constexpr size_t kQueueSize = 256;
static_assert((kMaxSpoofedPayload + sizeof(udphdr)) / ((kMinPathMtu - kIpHeader) / 8 * 8) + 1 <= kQueueSize,
              "a spoofed datagram's fragments fit the queue");
// No table larger than this, whatever the descriptor limit says.
constexpr size_t kMaxTable = 1u << 24;
// The resent templates go in messages that fit an Ethernet frame, as an
// exporter's own would; a larger template goes alone.
constexpr size_t kResendMessage = 1400;

size_t learnPathMtu(int fd) {
    int mtu = 0;
    socklen_t len = sizeof mtu;
    if (getsockopt(fd, IPPROTO_IP, IP_MTU, &mtu, &len) != 0 || mtu < static_cast<int>(kMinPathMtu))
        return kMinPathMtu;
    return mtu > 65535 ? 65535 : static_cast<size_t>(mtu);
}

// Connected, so that a target's ICMP port unreachable comes back to us as
// ECONNREFUSED on a later send and is counted.
int openToward(const RelayTarget& t) {
    int fd = socket(t.addr.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&t.addr), t.addrLen) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        fd = -1;
    }
    return fd;
}

// --- The exporter table: slots, their LRU list and the index over them.

size_t bucket(const Relay& r, uint64_t key) {
    uint64_t h = key * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h ^ (h >> 31)) & (r.index.size() - 1);
}

// Position in the index of key's slot, or of the empty bucket it would take.
size_t probe(const Relay& r, uint64_t key) {
    size_t i = bucket(r, key);
    while (r.index[i] != kNoSlot && r.slotKey[r.index[i]] != key) i = (i + 1) & (r.index.size() - 1);
    return i;
}

void indexErase(Relay& r, size_t i) {
    // Moves later entries of the probe run back, so no search stops early.
    size_t mask = r.index.size() - 1;
    for (size_t j = (i + 1) & mask; r.index[j] != kNoSlot; j = (j + 1) & mask) {
        size_t home = bucket(r, r.slotKey[r.index[j]]);
        bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (stays) continue;
        r.index[i] = r.index[j];
        i = j;
    }
    r.index[i] = kNoSlot;
}

bool indexed(const Relay& r, uint32_t slot) {
    return r.index[probe(r, r.slotKey[slot])] == slot;
}

void unlink(Relay& r, uint32_t s) {
    (r.slotPrev[s] == kNoSlot ? r.head : r.slotNext[r.slotPrev[s]]) = r.slotNext[s];
    (r.slotNext[s] == kNoSlot ? r.tail : r.slotPrev[r.slotNext[s]]) = r.slotPrev[s];
}

void pushFront(Relay& r, uint32_t s) {
    r.slotPrev[s] = kNoSlot;
    r.slotNext[s] = r.head;
    (r.head == kNoSlot ? r.tail : r.slotPrev[r.head]) = s;
    r.head = s;
}

void pushBack(Relay& r, uint32_t s) {
    r.slotNext[s] = kNoSlot;
    r.slotPrev[s] = r.tail;
    (r.tail == kNoSlot ? r.head : r.slotNext[r.tail]) = s;
    r.tail = s;
}

// A slot for a new exporter: a fresh one while the table is below its cap
// (allocating then, once per exporter), else the least recently used one.
uint32_t takeSlot(Relay& r) {
    size_t nt = r.targets.size();
    if (r.slotKey.size() < r.maxExporters) {
        uint32_t s = static_cast<uint32_t>(r.slotKey.size());
        if (2 * (r.slotKey.size() + 1) > r.index.size()) {
            std::vector<uint32_t> old(r.index.size() * 2, kNoSlot);
            old.swap(r.index);
            for (uint32_t slot : old)
                if (slot != kNoSlot) r.index[probe(r, r.slotKey[slot])] = slot;
        }
        r.slotKey.push_back(0);
        r.slotPrev.push_back(kNoSlot);
        r.slotNext.push_back(kNoSlot);
        r.sockets.resize(r.sockets.size() + nt, -1);
        r.slotTemplates.emplace_back();
        return s;
    }
    uint32_t s = r.tail;
    unlink(r, s);
    if (indexed(r, s)) {
        // Its datagrams still queued must leave before its descriptors,
        // which the next socket() hands out again, change hands.
        relayFlush(r);
        indexErase(r, probe(r, r.slotKey[s]));
        for (size_t i = 0; i < nt; ++i)
            if (r.sockets[s * nt + i] >= 0) close(r.sockets[s * nt + i]);
        ++r.evictions;
        --r.exporters;
        // The exporter's templates leave with it.
        templatesForget(r.templates, r.slotTemplates[s].cache);
        r.slotTemplates[s].cache = ExporterTemplates{};
    }
    return s;
}

// The exporter's slot when it has one already, moved to the front.
uint32_t knownSlot(Relay& r, uint64_t key) {
    uint32_t s = r.index[probe(r, key)];
    if (s != kNoSlot && s != r.head) {
        unlink(r, s);
        pushFront(r, s);
    }
    return s;
}

// -spoof: a slot for the exporter's templates alone.
uint32_t spoofedSlot(Relay& r, uint64_t key) {
    if (r.maxExporters == 0) return kNoSlot;
    uint32_t s = knownSlot(r, key);
    if (s != kNoSlot) return s;
    s = takeSlot(r);
    ++r.exporters;
    r.slotKey[s] = key;
    r.index[probe(r, key)] = s;
    pushFront(r, s);
    return s;
}

// The first of the exporter's sockets, one per target, and its slot;
// nullptr when it has none and goes through the shared ones.
const int* exporterSockets(Relay& r, uint64_t key, uint32_t* slot) {
    size_t nt = r.targets.size();
    *slot = kNoSlot;
    if (r.maxExporters == 0) return nullptr;
    uint32_t s = knownSlot(r, key);
    if (s != kNoSlot) {
        *slot = s;
        return &r.sockets[s * nt];
    }
    s = takeSlot(r);
    int* fds = &r.sockets[s * nt];
    for (size_t i = 0; i < nt; ++i) {
        fds[i] = openToward(r.targets[i]);
        if (fds[i] >= 0) continue;
        // Said once per spell of failures, not once per record.
        if (!r.openFailing)
            fprintf(stderr, "quorvane-collector: cannot open a socket toward %s: %s; "
                    "relaying through the shared socket\n", r.targets[i].text.c_str(), strerror(errno));
        r.openFailing = true;
        for (size_t j = 0; j < i; ++j) close(fds[j]);
        for (size_t j = 0; j < nt; ++j) fds[j] = -1;
        pushBack(r, s);  // unindexed: the first slot to be taken again
        return nullptr;
    }
    r.openFailing = false;
    ++r.exporters;
    r.slotKey[s] = key;
    r.index[probe(r, key)] = s;
    pushFront(r, s);
    *slot = s;
    return fds;
}

// --- The send queue.

void queue(Relay& r, int fd, uint16_t target, bool lastPiece, const void* head, size_t headLen,
           const uint8_t* payload, size_t len, bool named, bool resend, uint32_t slot) {
    size_t i = r.pending++;
    iovec* iov = &r.iovs[2 * i];
    iov[0] = {const_cast<void*>(head), headLen};
    iov[1] = {const_cast<uint8_t*>(payload), len};
    msghdr& m = r.msgs[i].msg_hdr;
    m = {};
    if (named) {
        m.msg_name = &r.targets[target].addr;
        m.msg_namelen = r.targets[target].addrLen;
    }
    m.msg_iov = headLen ? iov : iov + 1;
    m.msg_iovlen = headLen ? 2 : 1;
    r.queued[i] = {target, lastPiece, resend, slot};
    r.queuedFd[i] = fd;
}

void queueSpoofed(Relay& r, const RecordHeader& h, const uint8_t* payload, size_t len, bool resend,
                  uint32_t slot) {
    if (len > kMaxSpoofedPayload) {
        for (RelayTarget& t : r.targets) ++t.errors;
        return;
    }
    if (++r.ipId == 0) ++r.ipId;
    for (size_t ti = 0; ti < r.targets.size(); ++ti) {
        RelayTarget& t = r.targets[ti];
        const auto& to = reinterpret_cast<const sockaddr_in&>(t.addr);
        // Fragments carry multiples of 8 bytes of the UDP datagram (header
        // included), all under one IP identification; the kernel adds the
        // IP checksum. The UDP checksum stays 0, "none", which IPv4 allows,
        // so the payload is read once, by the kernel, per target.
        size_t udpLen = sizeof(udphdr) + len;
        size_t piece = (t.pathMtu - kIpHeader) / 8 * 8;
        size_t pieces = udpLen + kIpHeader <= t.pathMtu ? 1 : (udpLen + piece - 1) / piece;
        if (r.pending + pieces > kQueueSize) relayFlush(r);
        for (size_t k = 0, off = 0; k < pieces; ++k, off += piece) {
            size_t n = pieces == 1 ? udpLen : std::min(piece, udpLen - off);
            uint8_t* hdr = &r.headers[r.pending * kIpUdpHeaders];
            iphdr ip{};
            ip.version = 4;
            ip.ihl = kIpHeader / 4;
            ip.ttl = 64;
            ip.protocol = IPPROTO_UDP;
            ip.tot_len = htons(static_cast<uint16_t>(kIpHeader + n));
            ip.id = htons(r.ipId);
            ip.frag_off = htons(static_cast<uint16_t>(off / 8 | (k + 1 < pieces ? IP_MF : 0)));
            ip.saddr = htonl(h.address);
            ip.daddr = to.sin_addr.s_addr;
            memcpy(hdr, &ip, kIpHeader);
            size_t headLen = kIpHeader;
            const uint8_t* data = payload + (off ? off - sizeof(udphdr) : 0);
            size_t dataLen = n;
            if (k == 0) {
                // The exporter's own source port never reaches us; the SCTP
                // port it sent to keeps exporters on different ports apart.
                udphdr udp{};
                udp.source = htons(static_cast<uint16_t>(h.localPort));
                udp.dest = to.sin_port;
                udp.len = htons(static_cast<uint16_t>(udpLen));
                memcpy(hdr + kIpHeader, &udp, sizeof udp);
                headLen += sizeof udp;
                dataLen -= sizeof udp;
            }
            queue(r, r.rawSocket, static_cast<uint16_t>(ti), k + 1 == pieces, hdr, headLen, data, dataLen, true,
                  resend, slot);
        }
    }
}

int64_t monotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Takes in the templates of the exporter's datagram and, when they are due,
// queues them ahead of it, from the exporter's own source and with each
// domain's own header, so the collector sees no gap.
void resendTemplates(Relay& r, const RecordHeader& h, const int* own, uint32_t slot, const uint8_t* payload,
                     size_t len) {
    ExporterTemplates& t = r.slotTemplates[slot].cache;
    int64_t now = monotonicMs();
    templatesObserve(r.templates, t, payload, len, now);
    if (!templatesDue(r.templates, t, now)) return;
    templatesSent(t, now);
    if (r.resendBuffer.empty()) r.resendBuffer.resize(kResendBuffer);
    // Nothing queued before the last flush points into the buffer any more.
    if (r.resendFlush != r.flushes) r.resendUsed = 0;
    size_t nt = r.targets.size();
    TemplateCursor cursor;
    for (size_t need; (need = templatesNextNeed(t, &cursor)) != 0;) {
        if (r.resendUsed + need > r.resendBuffer.size()) {
            relayFlush(r);
            r.resendUsed = 0;
        }
        uint8_t* m = r.resendBuffer.data() + r.resendUsed;
        size_t n = templatesBuildMessage(t, &cursor, kResendMessage, m, r.resendBuffer.size() - r.resendUsed);
        if (n == 0) break;
        r.resendUsed += n;
        if (r.spoof) {
            queueSpoofed(r, h, m, n, true, slot);
        } else {
            if (r.pending + nt > kQueueSize) relayFlush(r);
            for (size_t i = 0; i < nt; ++i)
                queue(r, own[i], static_cast<uint16_t>(i), true, nullptr, 0, m, n, false, true, slot);
        }
        r.resendFlush = r.flushes;
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
    size_t nt = relay.targets.size();
    for (RelayTarget& t : relay.targets) {
        if (relay.spoof && t.addr.ss_family != AF_INET) {
            *error = "-spoof sends IPv4 only, and -forward " + t.text + " is IPv6";
            return false;
        }
        t.sharedSocket = openToward(t);
        if (t.sharedSocket < 0) {
            *error = "cannot open a socket toward " + t.text + ": " + strerror(errno);
            return false;
        }
        if (relay.spoof) t.pathMtu = learnPathMtu(t.sharedSocket);
    }
    relay.msgs.resize(kQueueSize);
    relay.iovs.resize(2 * kQueueSize);
    relay.queued.resize(kQueueSize);
    relay.queuedFd.resize(kQueueSize);
    if (relay.spoof) {
        relay.headers.resize(kQueueSize * kIpUdpHeaders);
        relay.ipId = static_cast<uint16_t>(getpid() ^ time(nullptr));
        relay.rawSocket = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_RAW);
        if (relay.rawSocket < 0) {
            *error = std::string("-spoof needs a raw socket (CAP_NET_RAW): ") + strerror(errno);
            return false;
        }
        if (relay.maxExporters == kFollowDescriptorLimit) relay.maxExporters = kSpoofedExporters;
        relay.index.assign(16, kNoSlot);
        return true;
    }
    if (relay.maxExporters == kFollowDescriptorLimit) {
        rlimit lim{};
        size_t avail = getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY
                           ? static_cast<size_t>(lim.rlim_cur) : kMaxTable * nt;
        size_t own = avail > kDescriptorReserve + nt ? avail - kDescriptorReserve - nt : 0;
        relay.maxExporters = nt ? own / nt : 0;
    }
    if (relay.maxExporters > kMaxTable) relay.maxExporters = kMaxTable;
    relay.index.assign(16, kNoSlot);
    return true;
}

void relayRecord(Relay& relay, const RecordHeader& h, const uint8_t* payload, size_t len) {
    size_t nt = relay.targets.size();
    if (nt == 0) return;
    uint64_t key = uint64_t{h.address} << 32 | static_cast<uint32_t>(h.localPort);
    bool resending = relay.templates.refreshDatagrams || relay.templates.refreshSeconds;
    uint32_t slot = kNoSlot;
    const int* own = nullptr;
    if (!relay.spoof) own = exporterSockets(relay, key, &slot);
    else if (resending) slot = spoofedSlot(relay, key);
    // An exporter without a table slot (out of descriptors) has no templates
    // kept: the shared socket is not its own source.
    if (resending && slot != kNoSlot) resendTemplates(relay, h, own, slot, payload, len);
    if (relay.spoof) {
        queueSpoofed(relay, h, payload, len, false, slot);
        return;
    }
    if (relay.pending + nt > kQueueSize) relayFlush(relay);
    for (size_t i = 0; i < nt; ++i)
        queue(relay, own ? own[i] : relay.targets[i].sharedSocket, static_cast<uint16_t>(i), true, nullptr, 0,
              payload, len, false, false, slot);
}

void relayFlush(Relay& relay) {
    bool pieceFailed = false;
    auto settle = [&](size_t m, bool ok) {
        const RelayQueued& q = relay.queued[m];
        RelayTarget& t = relay.targets[q.target];
        int err = ok ? 0 : errno;
        pieceFailed |= !ok;
        if (err == EMSGSIZE && relay.spoof) t.pathMtu = learnPathMtu(t.sharedSocket);
        if (!q.lastPiece) return;
        // A collector that was not listening may be now, and it has not
        // seen the exporter's templates.
        if (err == ECONNREFUSED && q.slot != kNoSlot) relay.slotTemplates[q.slot].cache.resendPending = true;
        if (q.resend) {
            if (!pieceFailed) ++relay.templates.resent;
            pieceFailed = false;
            return;
        }
        if (pieceFailed) {
            ++t.errors;
        } else {
            ++t.sent;
            if (relay.queuedFd[m] == t.sharedSocket) ++t.shared;
        }
        pieceFailed = false;
    };
    for (size_t i = 0; i < relay.pending;) {
        int fd = relay.queuedFd[i];
        size_t end = i + 1;
        while (end < relay.pending && relay.queuedFd[end] == fd) ++end;
        while (i < end) {
            int n = sendmmsg(fd, &relay.msgs[i], static_cast<unsigned>(end - i), MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            // The kernel stops at the first message it refuses, and says
            // why only when it is the first of the call.
            if (n <= 0) {
                settle(i++, false);
                continue;
            }
            for (int k = 0; k < n; ++k) settle(i++, true);
        }
    }
    relay.pending = 0;
    ++relay.flushes;
}

std::string relayCountersText(const Relay& relay) {
    std::string s;
    if (!relay.spoof)
        s += " exporters=" + std::to_string(relay.exporters) +
             " evictions=" + std::to_string(relay.evictions);
    for (const RelayTarget& t : relay.targets)
        s += " target=" + t.text + " sent=" + std::to_string(t.sent) + " errors=" + std::to_string(t.errors) +
             " shared=" + std::to_string(t.shared);
    const TemplateCache& c = relay.templates;
    s += " templates=" + std::to_string(c.cached) + " resent=" + std::to_string(c.resent) +
         " withdrawn=" + std::to_string(c.withdrawn) + " malformed=" + std::to_string(c.malformed) +
         " overcap=" + std::to_string(c.refused) + " held=" + std::to_string(c.bytes);
    return s;
}
