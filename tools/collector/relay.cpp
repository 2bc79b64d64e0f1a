#include "relay.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstring>

#include "host_port.h"
#include "sequence.h"

namespace {

// Records of one read, or fragments of spoofed datagrams, sent with a
// single sendmmsg; a fuller queue is sent early.
constexpr size_t kQueueSize = 256;
static_assert(kMaxSpoofPieces <= kQueueSize, "a spoofed datagram's fragments fit one sendmmsg");
static_assert(kMaxTargets <= kQueueSize, "a record goes to every target in one batch");
// No table larger than this, whatever the descriptor limit says.
constexpr size_t kMaxTable = 1u << 24;
// The resent templates go in messages that fit an Ethernet frame, as an
// exporter's own would; a larger template goes alone.
constexpr size_t kResendMessage = 1400;

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

// --- What a slot of the exporter table holds: sockets and templates.

// Makes room for what slot `s` holds, the first time it is handed out.
void fitSlot(Relay& r, uint32_t s) {
    if (s < r.slotTemplates.size()) return;
    if (!r.spoof) r.sockets.resize((size_t{s} + 1) * r.targets.size(), -1);
    r.slotTemplates.resize(size_t{s} + 1);
}

// Empties a slot whose exporter is leaving the table.
void vacate(Relay& r, uint32_t s) {
    size_t nt = r.targets.size();
    // Its datagrams still queued must leave before its descriptors, which
    // the next socket() hands out again, change hands.
    relayFlush(r);
    for (size_t i = 0; i < nt && !r.spoof; ++i) {
        int& fd = r.sockets[s * nt + i];
        if (fd >= 0) close(fd);
        fd = -1;
    }
    // The exporter's templates leave with it.
    templatesForget(r.templates, r.slotTemplates[s].cache);
    r.slotTemplates[s].cache = ExporterTemplates{};
}

// A slot for an exporter the table does not know, emptied if it was the
// least recently seen one's.
uint32_t newSlot(Relay& r) {
    bool evicting = false;
    uint32_t s = exportersTake(r.table, &evicting);
    if (s == kNoSlot) return s;
    fitSlot(r, s);
    if (evicting) vacate(r, s);
    return s;
}

// -spoof: a slot for the exporter's templates alone.
uint32_t spoofedSlot(Relay& r, uint64_t key) {
    uint32_t s = exportersFind(r.table, key);
    if (s != kNoSlot) return s;
    s = newSlot(r);
    if (s != kNoSlot) exportersBind(r.table, s, key);
    return s;
}

// The first of the exporter's sockets, one per target, and its slot;
// nullptr when it has none and goes through the shared ones.
const int* exporterSockets(Relay& r, uint64_t key, uint32_t* slot) {
    size_t nt = r.targets.size();
    uint32_t s = exportersFind(r.table, key);
    *slot = s;
    if (s != kNoSlot) return &r.sockets[s * nt];
    s = newSlot(r);
    if (s == kNoSlot) return nullptr;
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
        exportersRelease(r.table, s);
        return nullptr;
    }
    r.openFailing = false;
    exportersBind(r.table, s, key);
    *slot = s;
    return fds;
}

// --- The send queue.

void queue(Relay& r, int fd, uint16_t target, const uint8_t* payload, size_t len, bool resend, uint32_t slot) {
    size_t i = r.pending++;
    iovec* iov = &r.iovs[2 * i];
    iov[0] = {const_cast<uint8_t*>(payload), len};
    msghdr& m = r.msgs[i].msg_hdr;
    m = {};
    m.msg_iov = iov;
    m.msg_iovlen = 1;
    r.queued[i] = {target, resend, slot};
    r.queuedFd[i] = fd;
}

void queueSpoofed(Relay& r, const RecordHeader& h, const uint8_t* payload, size_t len, bool resend,
                  uint32_t slot) {
    if (len > kMaxSpoofedPayload) {
        // A resent template message is counted in `resent` or nowhere.
        if (!resend)
            for (RelayTarget& t : r.targets) ++t.errors;
        return;
    }
    uint16_t sum = spoofSum(payload, len);
    for (size_t ti = 0; ti < r.targets.size(); ++ti) {
        if (r.pending == kQueueSize) relayFlush(r);
        const auto& to = reinterpret_cast<const sockaddr_in&>(r.targets[ti].addr);
        SpoofDatagram& d = r.spoofed[r.pending];
        d.source = htonl(h.address);
        d.dest = to.sin_addr.s_addr;
        // The exporter's own source port never reaches us; the SCTP port
        // it sent to keeps exporters on different ports apart.
        d.sourcePort = htons(static_cast<uint16_t>(h.localPort));
        d.destPort = to.sin_port;
        d.payload = payload;
        d.len = static_cast<uint32_t>(len);
        d.id = spoofNextId(r.ids, d.source, d.dest);
        spoofSeal(d, sum);
        r.queued[r.pending] = {static_cast<uint16_t>(ti), resend, slot};
        r.queuedFd[r.pending++] = r.rawSocket;
    }
}

int64_t monotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Queues the exporter's templates ahead of its datagram, from the exporter's
// own source and with each domain's own header.
void resendTemplates(Relay& r, const RecordHeader& h, const int* own, uint32_t slot, int64_t now) {
    ExporterTemplates& t = r.slotTemplates[slot].cache;
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
        size_t n = templatesBuildMessage(r.templates, t, &cursor, kResendMessage, m,
                                         r.resendBuffer.size() - r.resendUsed);
        if (n == 0) break;
        r.resendUsed += n;
        if (r.spoof) {
            queueSpoofed(r, h, m, n, true, slot);
        } else {
            if (r.pending + nt > kQueueSize) relayFlush(r);
            for (size_t i = 0; i < nt; ++i)
                queue(r, own[i], static_cast<uint16_t>(i), m, n, true, slot);
        }
        r.resendFlush = r.flushes;
    }
}

// Takes in the templates and the sequence number of the exporter's datagram,
// queues its templates ahead of it when they are due, then gives the
// datagram the number it goes out with (sequence.h): in place, so after
// -raw has had it and before it is queued, as -spoof sums it then.
void readDatagram(Relay& r, const RecordHeader& h, const int* own, uint32_t slot, uint8_t* payload, size_t len) {
    ExporterTemplates& t = r.slotTemplates[slot].cache;
    int64_t now = monotonicMs();
    if (!templatesObserve(r.templates, t, payload, len, now)) return;
    SequenceMark mark = sequenceObserve(r.templates, t, payload, len, h.streamId);
    exportersCounters(r.table, slot).records += mark.records;
    if (templatesDue(r.templates, t, now)) resendTemplates(r, h, own, slot, now);
    sequenceStamp(t, mark, payload);
}

// Counts queued datagram e as sent or refused (with the kernel's errno).
void settle(Relay& r, size_t e, int err) {
    const RelayQueued& q = r.queued[e];
    RelayTarget& t = r.targets[q.target];
    // A collector that was not listening may be now, and it has not
    // seen the exporter's templates.
    if (err == ECONNREFUSED && q.slot != kNoSlot) r.slotTemplates[q.slot].cache.resendPending = true;
    if (q.resend) {
        if (!err) ++r.templates.resent;
    } else if (err) {
        ++t.errors;
    } else {
        ++t.sent;
        if (r.queuedFd[e] == t.sharedSocket) ++t.shared;
    }
}

// One datagram a message: a sendmmsg per run of messages on one socket.
void flushSockets(Relay& r) {
    for (size_t i = 0; i < r.pending;) {
        int fd = r.queuedFd[i];
        size_t end = i + 1;
        while (end < r.pending && r.queuedFd[end] == fd) ++end;
        while (i < end) {
            int n = sendmmsg(fd, &r.msgs[i], static_cast<unsigned>(end - i), MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            // The kernel stops at the first message it refuses, and says
            // why only when it is the first of the call.
            if (n <= 0) {
                settle(r, i++, errno);
                continue;
            }
            for (int k = 0; k < n; ++k) settle(r, i++, 0);
        }
    }
}

// Cuts queued datagrams from `*next` on into the message batch at their
// targets' path MTUs, whole datagrams only; returns the messages.
size_t buildBatch(Relay& r, size_t* next) {
    size_t m = 0;
    for (; *next < r.pending; ++*next) {
        const RelayTarget& t = r.targets[r.queued[*next].target];
        const SpoofDatagram& d = r.spoofed[*next];
        size_t pieces = spoofPieces(d.len, t.pathMtu);
        if (m + pieces > kQueueSize) break;
        for (size_t k = 0; k < pieces; ++k, ++m) {
            spoofPiece(d, t.pathMtu, k, &r.headers[m * kSpoofHeaders], &r.iovs[2 * m]);
            msghdr& h = r.msgs[m].msg_hdr;
            h = {};
            h.msg_name = const_cast<sockaddr_storage*>(&t.addr);
            h.msg_namelen = t.addrLen;
            h.msg_iov = &r.iovs[2 * m];
            h.msg_iovlen = 2;
            r.batchEntry[m] = *next;
        }
    }
    return m;
}

// Fragments of a datagram are only worth sending together: a receiver
// holds a partial one for its reassembly time, where a later datagram
// under the same identification could complete it. So once a fragment is
// refused, the rest of its datagram stays here.
void flushSpoofed(Relay& r) {
    size_t next = 0;
    while (next < r.pending) {
        size_t m = buildBatch(r, &next);
        for (size_t i = 0; i < m;) {
            int n = sendmmsg(r.rawSocket, &r.msgs[i], static_cast<unsigned>(m - i), MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            for (int k = 0; k < n; ++k, ++i)
                if (i + 1 == m || r.batchEntry[i + 1] != r.batchEntry[i]) settle(r, r.batchEntry[i], 0);
            if (n > 0) continue;
            int err = errno;
            size_t e = r.batchEntry[i];
            RelayTarget& t = r.targets[r.queued[e].target];
            size_t mtu = err == EMSGSIZE ? spoofPathMtu(t.sharedSocket) : t.pathMtu;
            if (mtu < t.pathMtu) {
                // The route takes less than it did: this datagram again
                // from its start, and what follows it, cut to the new size.
                // Each time the MTU is lower, down to its floor, so this ends.
                t.pathMtu = mtu;
                SpoofDatagram& d = r.spoofed[e];
                d.id = spoofNextId(r.ids, d.source, d.dest);
                next = e;
                break;
            }
            settle(r, e, err);
            while (i < m && r.batchEntry[i] == e) ++i;
        }
    }
}

}  // namespace

bool parseRelayTarget(const std::string& text, RelayTarget* out, std::string* error) {
    HostPort where;
    if (!resolveHostPort("-forward", text, SOCK_DGRAM, &where, error)) return false;
    *out = RelayTarget{};
    out->text = text;
    out->addr = where.addr;
    out->addrLen = where.len;
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
        if (relay.spoof) t.pathMtu = spoofPathMtu(t.sharedSocket);
    }
    relay.msgs.resize(kQueueSize);
    relay.iovs.resize(2 * kQueueSize);
    relay.queued.resize(kQueueSize);
    relay.queuedFd.resize(kQueueSize);
    if (relay.spoof) {
        relay.spoofed.resize(kQueueSize);
        relay.headers.resize(kQueueSize * kSpoofHeaders);
        relay.batchEntry.resize(kQueueSize);
        if (!spoofOpen(&relay.rawSocket, &relay.ids, error)) return false;
        if (relay.maxExporters == kFollowDescriptorLimit) relay.maxExporters = kSpoofedExporters;
        exportersInit(relay.table, relay.maxExporters);
        return true;
    }
    // Exporter sockets never eat into the reserve, whatever -max-exporters
    // says: the daemon's next connection, the peer check and a reload's
    // ports file need descriptors long after the table has filled.
    rlimit lim{};
    size_t avail = getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY
                       ? static_cast<size_t>(lim.rlim_cur) : kMaxTable * nt;
    size_t own = avail > kDescriptorReserve + nt ? avail - kDescriptorReserve - nt : 0;
    size_t fit = nt ? own / nt : 0;
    if (relay.maxExporters == kFollowDescriptorLimit) {
        relay.maxExporters = fit;
    } else if (relay.maxExporters > fit) {
        fprintf(stderr, "quorvane-collector: -max-exporters %zu is more than %zu descriptors leave; "
                "at most %zu exporters get sockets of their own\n", relay.maxExporters, avail, fit);
        relay.maxExporters = fit;
    }
    if (relay.maxExporters > kMaxTable) relay.maxExporters = kMaxTable;
    exportersInit(relay.table, relay.maxExporters);
    return true;
}

void relayRecord(Relay& relay, const RecordHeader& record, uint8_t* payload, size_t len) {
    size_t nt = relay.targets.size();
    if (nt == 0) return;
    relay.payloadBytes += len;
    // One exporter, one identity, whichever path of its association the
    // record came on.
    RecordHeader h = record;
    h.address = associationsIdentity(relay.associations, record.address, record.localPort);
    uint64_t key = uint64_t{h.address} << 32 | static_cast<uint32_t>(h.localPort);
    bool reading = relay.templates.refreshDatagrams || relay.templates.refreshSeconds;
    uint32_t slot = kNoSlot;
    const int* own = nullptr;
    if (!relay.spoof) own = exporterSockets(relay, key, &slot);
    else slot = spoofedSlot(relay, key);
    // An exporter without a table slot (out of descriptors) has no counters
    // or templates kept: the shared socket is not its own source.
    if (slot != kNoSlot) {
        ExporterCounters& k = exportersCounters(relay.table, slot);
        ++k.datagrams;
        k.bytes += len;
        k.lastSeenMs = record.timestampMs;
        if (reading) readDatagram(relay, h, own, slot, payload, len);
    }
    if (relay.spoof) {
        queueSpoofed(relay, h, payload, len, false, slot);
        return;
    }
    if (relay.pending + nt > kQueueSize) relayFlush(relay);
    for (size_t i = 0; i < nt; ++i)
        queue(relay, own ? own[i] : relay.targets[i].sharedSocket, static_cast<uint16_t>(i), payload, len, false,
              slot);
}

void relayFlush(Relay& relay) {
    if (relay.spoof) flushSpoofed(relay);
    else flushSockets(relay);
    relay.pending = 0;
    ++relay.flushes;
}

std::string relayCountersText(const Relay& relay) {
    std::string s;
    if (!relay.spoof)
        s += " exporters=" + std::to_string(relay.table.exporters) +
             " evictions=" + std::to_string(relay.table.evictions);
    for (const RelayTarget& t : relay.targets)
        s += " target=" + t.text + " sent=" + std::to_string(t.sent) + " errors=" + std::to_string(t.errors) +
             " shared=" + std::to_string(t.shared);
    const TemplateCache& c = relay.templates;
    s += " templates=" + std::to_string(c.cached) + " resent=" + std::to_string(c.resent) +
         " withdrawn=" + std::to_string(c.withdrawn) + " malformed=" + std::to_string(c.malformed) +
         " overcap=" + std::to_string(c.refused) + " held=" + std::to_string(c.bytes) +
         " bytes=" + std::to_string(relay.payloadBytes) + " datarecords=" + std::to_string(c.records) +
         " missing=" + std::to_string(c.missing) + " disorder=" + std::to_string(c.disorder) +
         " untracked=" + std::to_string(c.untracked);
    return s;
}

RelayExporter relayExporter(const Relay& relay, uint32_t slot) {
    RelayExporter x;
    uint64_t key = exportersKey(relay.table, slot);
    x.address = static_cast<uint32_t>(key >> 32);
    x.port = static_cast<uint32_t>(key);
    x.counters = &exportersCounters(relay.table, slot);
    const ExporterTemplates& t = relay.slotTemplates[slot].cache;
    x.version = t.version;
    x.store = t.store.get();
    return x;
}
