// Relay mode of the example collector: each record's payload goes out again
// as one UDP datagram to every target, so collectors that only listen on UDP
// (nfcapd, nfacctd) can take what the daemon received over SCTP.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "associations.h"
#include "exporters.h"
#include "record.h"
#include "spoof.h"
#include "templates.h"

struct RelayTarget {
    std::string text;  // as written after -forward, for messages
    sockaddr_storage addr{};
    socklen_t addrLen = 0;
    uint64_t sent = 0;
    uint64_t errors = 0;
    uint64_t shared = 0;  // of sent: through the shared socket, the exporter having none
    // Connected to the target. Carries the exporters that cannot have a
    // socket of their own; under -spoof it only tells the path MTU.
    int sharedSocket = -1;
    size_t pathMtu = 0;  // -spoof: the largest IPv4 packet the route takes
};

// HOST:PORT or [IPV6]:PORT (host_port.h); HOST may be a name, resolved once here.
bool parseRelayTarget(const std::string& text, RelayTarget* out, std::string* error);

// Descriptors left to everything but exporter sockets: standard streams,
// the daemon's connection and listening socket, a reload's ports file, the
// -raw file, the raw socket, the association lookups' netlink socket, the
// signalfd, the -metrics server (its listening socket, epoll and at most
// kMetricsConnections, metrics.h), the
// resolver and logging, with room to spare.
// The table's default cap is what RLIMIT_NOFILE leaves beyond it and the
// shared sockets, divided by the number of targets.
constexpr size_t kDescriptorReserve = 32;
// Targets at most: a record and its resent templates go to all of them in
// one batch of the send queue.
constexpr size_t kMaxTargets = 64;
constexpr size_t kFollowDescriptorLimit = SIZE_MAX;

// One datagram to one target waiting for relayFlush.
struct RelayQueued {
    uint16_t target = 0;
    bool resend = false;    // templates sent again, not a record's payload
    uint32_t slot = kNoSlot;  // the exporter's, when it has one
};

// An exporter's templates, in its slot: kTemplateSlotBytes whatever it
// holds, and what its store holds, within the cache's caps.
struct RelayTemplates {
    ExporterTemplates cache;
};

// The resent template messages of all exporters are built here and stay
// until relayFlush has sent them; when the next one would not fit, what is
// queued is flushed first. Holds the largest message a template can need.
constexpr size_t kResendBuffer = 128 * 1024;

// Under -spoof the exporter table holds templates and counters only; this
// many exporters unless -max-exporters says otherwise.
constexpr size_t kSpoofedExporters = 65536;

struct Relay {
    std::vector<RelayTarget> targets;
    bool spoof = false;

    // Default identity: one connected UDP socket per exporter and target,
    // so each exporter reaches a target from a source port of its own.
    // Key: sender address << 32 | local SCTP port, the only exporter
    // identity the record header carries. At most maxExporters of them,
    // and never more than the descriptors leave (kDescriptorReserve);
    // beyond that the least recently seen one gives its sockets up, and
    // an exporter that cannot have sockets goes through the shared one.
    size_t maxExporters = kFollowDescriptorLimit;
    ExporterTable table;
    std::vector<int> sockets;  // slot * targets + target
    std::vector<RelayTemplates> slotTemplates;
    bool openFailing = false;
    // The address each record's sender is known by (associations.h), set
    // up by the caller after relayOpen; until then every address is its own.
    Associations associations;

    // -spoof: one raw socket (spoof.h). The datagrams wait whole in
    // `spoofed`, and are cut into fragments only as relayFlush sends them,
    // at the path MTU of that moment; the headers are written per fragment
    // and sent gathered with the payload where it lies.
    int rawSocket = -1;
    SpoofIds ids;
    std::vector<SpoofDatagram> spoofed;  // beside `queued`
    std::vector<uint8_t> headers;        // kSpoofHeaders per message
    std::vector<size_t> batchEntry;      // per message: its datagram in `queued`

    // Queued until relayFlush, sendmmsg per socket. Fixed at relayOpen.
    // A message is a queued datagram, or under -spoof a fragment, built
    // batch by batch as relayFlush goes.
    std::vector<mmsghdr> msgs;
    std::vector<iovec> iovs;  // two per message under -spoof: headers, payload piece
    std::vector<RelayQueued> queued;
    std::vector<int> queuedFd;
    size_t pending = 0;
    uint64_t flushes = 0;

    // Each exporter's IPFIX and v9 templates, sent again now and then so
    // that a UDP collector that missed them can decode (templates.h), and
    // where its sequence numbers stand (sequence.h).
    TemplateCache templates;
    uint64_t payloadBytes = 0;  // of the records relayed
    std::vector<uint8_t> resendBuffer;  // kResendBuffer bytes from the first resend on
    size_t resendUsed = 0;
    uint64_t resendFlush = UINT64_MAX;  // `flushes` when resendUsed was last counted
};

// Opens what the relay needs before any record arrives and sizes its
// tables. False, with the reason, when -spoof cannot have its raw socket,
// a target is not IPv4 under -spoof, or no socket reaches a target.
bool relayOpen(Relay& relay, std::string* error);

// Queues the payload for every target; it is sent by relayFlush, or at
// once when the queue is full. The payload must stay where it is until
// then. Never blocks. Unless -template-refresh is 0,0, a v9 or IPFIX
// payload's sequence number is rewritten first, where it lies (sequence.h).
void relayRecord(Relay& relay, const RecordHeader& header, uint8_t* payload, size_t len);

// Sends what is queued, one sendmmsg per run of messages on one socket. A
// datagram the kernel will not take now (full buffer, refused target, too
// long) is counted as that target's send error and dropped. Under -spoof,
// a fragment refused as too long has the path MTU learnt again: when it
// went down, that datagram goes again whole, under a new identification,
// and it and the rest are cut to the new size; otherwise no later fragment
// of that datagram is sent.
void relayFlush(Relay& relay);

// " exporters=N evictions=N" (without -spoof), then
// " target=HOST:PORT sent=N errors=N shared=N" for each target, in
// command-line order, then " templates=N resent=N withdrawn=N malformed=N
// overcap=N": template records taken in, template messages sent again (per
// target), templates withdrawn by exporters, messages whose templates were
// not taken for being inconsistent, templates not kept for the caps; then
// " held=N", the bytes the template cache holds now; then " bytes=N
// datarecords=N missing=N disorder=N untracked=N": payload bytes relayed,
// data records counted, sequence numbers missing and out of order, and
// messages whose sequence state was over the caps.
std::string relayCountersText(const Relay& relay);

// What a reader such as a metrics renderer needs of one exporter: its
// identity, its counters, and its store (templates and sequence state,
// null when it holds none). Walk the table with exportersNewest and
// exportersOlder.
struct RelayExporter {
    uint32_t address = 0;  // IPv4, host order
    uint32_t port = 0;     // the SCTP port it sent to
    const ExporterCounters* counters = nullptr;
    uint8_t version = 0;   // of its store: 9 or 10
    const TemplateStore* store = nullptr;
};

RelayExporter relayExporter(const Relay& relay, uint32_t slot);
