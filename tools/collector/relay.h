// Relay mode of the example collector: each record's payload goes out again
// as one UDP datagram to every target, so collectors that only listen on UDP
// (nfcapd, nfacctd) can take what the daemon received over SCTP.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "record.h"

struct RelayTarget {
    std::string text;  // as written after -forward, for messages
    sockaddr_storage addr{};
    socklen_t addrLen = 0;
    uint64_t sent = 0;
    uint64_t errors = 0;
};

// HOST:PORT or [IPV6]:PORT; HOST may be a name, resolved once here.
bool parseRelayTarget(const std::string& text, RelayTarget* out, std::string* error);

struct Relay {
    std::vector<RelayTarget> targets;
    bool spoof = false;

    // Default identity: one connected UDP socket per exporter and target,
    // so each exporter reaches a target from a source port of its own.
    // Key: sender address << 32 | local SCTP port, the only exporter
    // identity the record header carries.
    std::unordered_map<uint64_t, size_t> exporterSlot;  // -> first index in sockets
    std::vector<int> sockets;
    bool openFailing = false;

    // -spoof: one raw socket; the IPv4 and UDP headers are written per
    // record and sent gathered with the payload where it lies.
    int rawSocket = -1;
};

// Opens what the relay needs before any record arrives. False, with the
// reason, when -spoof cannot have its raw socket or a target is not IPv4.
bool relayOpen(Relay& relay, std::string* error);

// Sends the payload to every target; never blocks. A datagram the kernel
// will not take now (full buffer, refused target, too long) is counted as
// that target's send error and dropped.
void relayRecord(Relay& relay, const RecordHeader& header, const uint8_t* payload, size_t len);

// " target=HOST:PORT sent=N errors=N" for each target, in command-line order.
std::string relayCountersText(const Relay& relay);
