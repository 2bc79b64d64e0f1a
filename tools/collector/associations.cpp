#include "associations.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// The kernel fills at most this much per read of a dump.
constexpr size_t kReadSize = 32 * 1024;
// Lookups take at most a twentieth of the time, in bursts of at most 100 ms,
// and one that takes over 50 ms is given up: the kernel walks every
// association of the host for each, and the records wait meanwhile. The
// time is our own CPU time, the kernel's part in our reads included: what
// others take of the processor meanwhile is not the lookups' cost.
constexpr int64_t kShareOfTime = 20;
constexpr int64_t kBurstUs = 100000;
constexpr int64_t kLookupMaxUs = 50000;
constexpr uint32_t kTcpListen = 10;  // the state of sockets without associations

// Slot states. Pending: not looked up yet. While a lookup reads, a pending
// slot met in the reply gathers what the associations say of it: it set
// one up (first), a candidate exporter (kept in knownAs), or a conflict.
constexpr uint8_t kPending = 1, kMet = 2, kFirst = 4, kCandidate = 8, kConflict = 16;

enum class Asked { Answered, Failed, Unavailable };

uint64_t keyOf(uint32_t address, uint16_t port) { return uint64_t{address} << 32 | port; }
uint32_t addressOf(const Associations& a, uint32_t slot) { return static_cast<uint32_t>(a.seen.key[slot] >> 32); }

int64_t clockUs(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

// A slot for an address new on its port: pending, known by itself.
uint32_t enter(Associations& a, uint64_t key) {
    bool evicting = false;
    uint32_t s = exportersTake(a.seen, &evicting);
    if (s == kNoSlot) return s;
    if (s >= a.knownAs.size()) {
        a.knownAs.resize(size_t{s} + 1);
        a.state.resize(size_t{s} + 1);
    } else if (evicting && !(a.state[s] & kPending) && a.knownAs[s] != addressOf(a, s)) {
        --a.aliases;
    }
    exportersBind(a.seen, s, key);
    a.knownAs[s] = static_cast<uint32_t>(key >> 32);
    a.state[s] = kPending;
    return s;
}

// An IPv4 address from one of the sockaddr_storage entries of an address
// list, where it may also be IPv4-mapped IPv6.
bool ipv4At(const uint8_t* entry, uint32_t* out) {
    sa_family_t family;
    memcpy(&family, entry, sizeof family);
    uint32_t v;
    if (family == AF_INET) {
        memcpy(&v, entry + offsetof(sockaddr_in, sin_addr), sizeof v);
    } else if (family == AF_INET6) {
        in6_addr six;
        memcpy(&six, entry + offsetof(sockaddr_in6, sin6_addr), sizeof six);
        if (!IN6_IS_ADDR_V4MAPPED(&six)) return false;
        memcpy(&v, six.s6_addr + 12, sizeof v);
    } else {
        return false;
    }
    *out = ntohl(v);
    return true;
}

// What an association set up from `first` offers its other peer
// addresses: the exporter `first` is known by, or nothing (false) when it
// is not known on the port. A pending first address is its own exporter:
// it set this association up.
bool exporterOf(const Associations& a, uint32_t first, uint16_t port, uint32_t* out) {
    uint32_t f = exportersPeek(a.seen, keyOf(first, port));
    if (f == kNoSlot) return false;
    uint32_t id = a.state[f] & kPending ? first : a.knownAs[f];
    if (id != first && exportersPeek(a.seen, keyOf(id, port)) == kNoSlot) return false;
    *out = id;
    return true;
}

// One association's message: what it says of each pending address among
// its peers. Addresses not in the table, or settled, are left alone.
void meet(Associations& a, const nlmsghdr* h, uint16_t port) {
    size_t len = h->nlmsg_len, at = NLMSG_LENGTH(sizeof(inet_diag_msg));
    if (len < at || reinterpret_cast<const inet_diag_msg*>(NLMSG_DATA(h))->id.idiag_sport != htons(port)) return;
    const auto* base = reinterpret_cast<const uint8_t*>(h);
    const uint8_t* peers = nullptr;
    size_t n = 0;
    for (at = NLMSG_ALIGN(at); at + NLA_HDRLEN <= len;) {
        nlattr na;
        memcpy(&na, base + at, sizeof na);
        if (na.nla_len < NLA_HDRLEN || na.nla_len > len - at) return;
        if ((na.nla_type & NLA_TYPE_MASK) == INET_DIAG_PEERS) {
            peers = base + at + NLA_HDRLEN;
            n = (na.nla_len - NLA_HDRLEN) / sizeof(sockaddr_storage);
            break;
        }
        at += NLA_ALIGN(na.nla_len);
    }
    uint32_t first = 0, exporter = 0;
    if (n == 0 || !ipv4At(peers, &first)) return;
    bool offers = exporterOf(a, first, port, &exporter);
    for (size_t i = 0; i < n; ++i) {
        uint32_t peer = 0, s = kNoSlot;
        if (!ipv4At(peers + i * sizeof(sockaddr_storage), &peer) ||
            (s = exportersPeek(a.seen, keyOf(peer, port))) == kNoSlot || !(a.state[s] & kPending))
            continue;
        uint8_t& st = a.state[s];
        if (!(st & kMet)) {
            st |= kMet;
            a.met.push_back(s);
        }
        if (i == 0) {
            st |= kFirst;
        } else if (!offers || (st & kCandidate && a.knownAs[s] != exporter)) {
            st |= kConflict;
        } else {
            a.knownAs[s] = exporter;
            st |= kCandidate;
        }
    }
}

// A met slot gets what the associations said, or the slot that asked
// gets its own address when they said nothing of it.
void settle(Associations& a, uint32_t s, uint16_t port) {
    uint32_t address = addressOf(a, s);
    bool alias = (a.state[s] & (kFirst | kCandidate | kConflict)) == kCandidate && a.knownAs[s] != address;
    a.state[s] = 0;
    if (!alias) {
        a.knownAs[s] = address;
        return;
    }
    ++a.aliases;
    exportersFind(a.seen, keyOf(a.knownAs[s], port));
}

// Drops the socket with whatever is left of its reply.
Asked giveUp(Associations& a, std::string* why, const std::string& what) {
    *why = what;
    close(a.netlink);
    a.netlink = -1;
    return Asked::Failed;
}

// Reads every association on `port` (a dump: the kernel finds none by peer
// address alone), meeting the pending addresses among their peers.
Asked ask(Associations& a, uint16_t port, int64_t startUs, std::string* why) {
    if (a.netlink < 0) {
        a.netlink = socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (a.netlink < 0) {
            *why = std::string("socket: ") + strerror(errno);
            return Asked::Failed;
        }
    }
    struct {
        nlmsghdr nlh;
        inet_diag_req_v2 req;
    } msg{};
    msg.nlh.nlmsg_len = sizeof msg;
    msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    msg.nlh.nlmsg_seq = ++a.sequence;
    msg.req.sdiag_family = AF_INET;  // the daemon's sockets
    msg.req.sdiag_protocol = IPPROTO_SCTP;
    msg.req.idiag_states = ~(1u << kTcpListen);
    msg.req.id.idiag_sport = htons(port);
    msg.req.id.idiag_cookie[0] = msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(a.netlink, &msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(sizeof msg))
        return giveUp(a, why, std::string("sendto: ") + strerror(errno));
    // The kernel writes each part of the reply as the previous one is read,
    // so nothing is waited for; a read that finds nothing means it stopped.
    for (;;) {
        ssize_t n = recv(a.netlink, a.reply.data(), a.reply.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return giveUp(a, why, errno == EAGAIN ? "the reply stopped short" : strerror(errno));
        if (static_cast<size_t>(n) > a.reply.size()) return giveUp(a, why, "a reply longer than a read");
        int left = static_cast<int>(n);
        for (const auto* h = reinterpret_cast<const nlmsghdr*>(a.reply.data()); NLMSG_OK(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_seq != a.sequence) continue;
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                int err = 0;
                if (h->nlmsg_len >= NLMSG_LENGTH(sizeof err)) memcpy(&err, NLMSG_DATA(h), sizeof err);
                if (err >= 0) return Asked::Answered;
                *why = strerror(-err);
                return err == -ENOENT ? Asked::Unavailable : Asked::Failed;
            }
            if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY) meet(a, h, port);
        }
        if (clockUs(CLOCK_PROCESS_CPUTIME_ID) - startUs > kLookupMaxUs) return giveUp(a, why, "over 50 ms for a lookup");
    }
}

// Settles pending slot `s` and every pending address its associations list.
void lookUp(Associations& a, uint32_t s, uint16_t port) {
    ++a.lookups;
    int64_t start = clockUs(CLOCK_PROCESS_CPUTIME_ID);
    a.met.assign(1, s);
    a.state[s] = kPending | kMet;
    std::string why;
    Asked asked = ask(a, port, start, &why);
    if (asked == Asked::Unavailable && !a.answered) {
        fprintf(stderr, "quorvane-collector: sock_diag answers nothing about SCTP here (%s; the kernel module is "
                "sctp_diag): each address an exporter sends from counts as an exporter of its own\n", why.c_str());
        a.unavailable = true;
        close(a.netlink);
        a.netlink = -1;
    } else if (asked != Asked::Answered) {
        if (!a.failing)
            fprintf(stderr, "quorvane-collector: cannot look up the SCTP associations on port %u (%s): new sender "
                    "addresses count as exporters of their own until a lookup succeeds\n", port, why.c_str());
        a.failing = true;
    } else {
        a.failing = false;
        a.answered = true;
    }
    // Half a reply says too little: the address that asked is its own
    // exporter, the others met stay pending.
    for (uint32_t m : a.met) {
        if (asked == Asked::Answered) {
            settle(a, m, port);
            continue;
        }
        a.knownAs[m] = addressOf(a, m);
        a.state[m] = m == s ? 0 : kPending;
    }
    a.budgetUs -= clockUs(CLOCK_PROCESS_CPUTIME_ID) - start;
}

}  // namespace

void associationsInit(Associations& a, size_t cap) {
    a = Associations{};
    exportersInit(a.seen, cap);
    if (cap) a.reply.resize(kReadSize);
    a.budgetUs = kBurstUs;
    a.budgetAtUs = clockUs(CLOCK_MONOTONIC);
}

uint32_t associationsIdentity(Associations& a, uint32_t address, int32_t localPort) {
    uint16_t port = static_cast<uint16_t>(localPort);  // as the daemon binds it
    if (a.unavailable || a.seen.cap == 0 || port == 0) return address;
    uint64_t key = keyOf(address, port);
    uint32_t s = exportersFind(a.seen, key);
    if (s == kNoSlot) {
        s = enter(a, key);
        if (s == kNoSlot) return address;
    } else if (!(a.state[s] & kPending)) {
        uint32_t id = a.knownAs[s];
        if (id == address || exportersFind(a.seen, keyOf(id, port)) != kNoSlot) return id;
        // Its exporter has left the table: what is it now?
        --a.aliases;
        a.knownAs[s] = address;
        a.state[s] = kPending;
    }
    int64_t gained = (clockUs(CLOCK_MONOTONIC) - a.budgetAtUs) / kShareOfTime;
    a.budgetAtUs += gained * kShareOfTime;
    a.budgetUs = std::min(kBurstUs, a.budgetUs + gained);
    if (a.budgetUs <= 0) {
        // Asked at a later record, or settled by another address's lookup.
        ++a.deferred;
        return address;
    }
    lookUp(a, s, port);
    return a.knownAs[s];
}

std::string associationsCountersText(const Associations& a) {
    return " aliases=" + std::to_string(a.aliases) + " lookups=" + std::to_string(a.lookups) +
           " deferred=" + std::to_string(a.deferred);
}

size_t associationsBytes(const Associations& a) {
    return exportersBytes(a.seen) + a.knownAs.capacity() * sizeof(uint32_t) + a.state.capacity() +
           a.met.capacity() * sizeof(uint32_t) + a.reply.capacity();
}
