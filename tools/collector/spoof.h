// -spoof: relayed datagrams leave through one raw socket with the exporter's
// IPv4 address as their source, so we write what the kernel otherwise
// would: the IPv4 and UDP headers, the UDP checksum, the IP identification,
// and fragments that fit the path MTU. The relay (relay.h) keeps the queue
// and decides when to send; this file only knows what goes on the wire.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "keyed_hash.h"

constexpr size_t kSpoofIpHeader = 20;
constexpr size_t kSpoofHeaders = 28;  // IPv4 + UDP, in front of a first fragment
// The IPv4 total length field bounds what one datagram can carry.
constexpr size_t kMaxSpoofedPayload = 65535 - kSpoofHeaders;
// Every IPv4 host reassembles datagrams of 576 bytes; a smaller path MTU
// would be a broken answer, and a floor keeps re-learning it finite.
constexpr size_t kMinPathMtu = 576;
// Fragments of the largest datagram at the smallest MTU.
constexpr size_t kMaxSpoofPieces =
    (kMaxSpoofedPayload + 8 + (kMinPathMtu - kSpoofIpHeader) / 8 * 8 - 1) / ((kMinPathMtu - kSpoofIpHeader) / 8 * 8);

// IP identifications, one counter per (source, destination) pair as far as
// the table tells pairs apart: a fixed table indexed by a keyed hash of the
// pair, the key and the counters' first values drawn at start-up. A pair
// that shares its counter with others wraps sooner, never later; the key
// keeps exporters from choosing addresses that land on a busy counter.
constexpr size_t kSpoofIdCounters = 16384;  // 32 KiB
struct SpoofIds {
    HashKey key;
    std::vector<uint16_t> next;
};

// The raw socket, and the identification table. False, with the reason,
// without CAP_NET_RAW.
bool spoofOpen(int* rawSocket, SpoofIds* ids, std::string* error);

// The pair's next identification. Never 0: the kernel replaces a zero one
// in each fragment by one of its own, which would tear the datagram apart.
// Addresses in network order.
uint16_t spoofNextId(SpoofIds& ids, uint32_t source, uint32_t dest);

// The largest IPv4 packet the route of a socket connected to the target
// takes, at least kMinPathMtu.
size_t spoofPathMtu(int fd);

// One UDP datagram as it leaves: addresses and ports in network order.
struct SpoofDatagram {
    uint32_t source = 0, dest = 0;
    uint16_t sourcePort = 0, destPort = 0;
    uint16_t id = 0;
    uint16_t check = 0;  // as written in the UDP header
    const uint8_t* payload = nullptr;
    uint32_t len = 0;    // of the payload, at most kMaxSpoofedPayload
};

// The ones' complement sum of bytes, folded to 16 bits, in the byte order
// they lie in. A record's payload is read for it once, whatever the
// number of targets: the sum is additive.
uint16_t spoofSum(const uint8_t* data, size_t len);

// Sets the UDP checksum from the payload's spoofSum and the rest of the
// datagram's fields: pseudo-header and UDP header.
void spoofSeal(SpoofDatagram& d, uint16_t payloadSum);

// The IPv4 packets the datagram takes at this MTU: 1 when it fits whole.
size_t spoofPieces(size_t payloadLen, size_t mtu);

// Packet k of spoofPieces: writes its headers (at most kSpoofHeaders bytes)
// to `headers` and points iov[0] at them, iov[1] at the payload bytes it
// carries. Fragments carry multiples of 8 bytes of the UDP datagram, its
// header included; the kernel fills in the IP header checksum.
void spoofPiece(const SpoofDatagram& d, size_t mtu, size_t k, uint8_t* headers, iovec iov[2]);
