#include "spoof.h"

#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "keyed_hash.h"
#include "privileges.h"

namespace {

static_assert(sizeof(iphdr) == kSpoofIpHeader && sizeof(iphdr) + sizeof(udphdr) == kSpoofHeaders,
              "header sizes");

uint16_t fold(uint64_t sum) {
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

size_t pieceSize(size_t mtu) {
    return (mtu - kSpoofIpHeader) / 8 * 8;
}

}  // namespace

bool spoofOpen(int* rawSocket, SpoofIds* ids, std::string* error) {
    ids->next.resize(kSpoofIdCounters);
    drawRandom(&ids->key, sizeof ids->key);
    drawRandom(ids->next.data(), ids->next.size() * sizeof ids->next[0]);
    *rawSocket = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_RAW);
    if (*rawSocket < 0) {
        *error = std::string("-spoof needs a raw socket (CAP_NET_RAW): ") + strerror(errno) + "; " + kGrantNetRaw;
        return false;
    }
    return true;
}

uint16_t spoofNextId(SpoofIds& ids, uint32_t source, uint32_t dest) {
    uint64_t h = keyedHash64(ids.key, uint64_t{source} << 32 | dest);
    uint16_t& id = ids.next[h % kSpoofIdCounters];
    if (++id == 0) ++id;
    return id;
}

size_t spoofPathMtu(int fd) {
    int mtu = 0;
    socklen_t len = sizeof mtu;
    if (getsockopt(fd, IPPROTO_IP, IP_MTU, &mtu, &len) != 0 || mtu < static_cast<int>(kMinPathMtu))
        return kMinPathMtu;
    return mtu > 65535 ? 65535 : static_cast<size_t>(mtu);
}

uint16_t spoofSum(const uint8_t* data, size_t len) {
    // 32-bit words into 64 bits: no carry is lost below 2^32 words, and
    // 2^16 is 1 in ones' complement arithmetic, so it folds to the sum of
    // 16-bit words. Four sums side by side, which the processor adds in
    // parallel.
    uint64_t s[4] = {0, 0, 0, 0};
    size_t i = 0;
    for (; i + 16 <= len; i += 16) {
        uint32_t w[4];
        memcpy(w, data + i, 16);
        for (int k = 0; k < 4; ++k) s[k] += w[k];
    }
    uint64_t sum = s[0] + s[1] + s[2] + s[3];
    for (; i + 4 <= len; i += 4) {
        uint32_t w;
        memcpy(&w, data + i, 4);
        sum += w;
    }
    uint8_t tail[4] = {0, 0, 0, 0};
    if (len > i) memcpy(tail, data + i, len - i);
    uint32_t w;
    memcpy(&w, tail, 4);
    return fold(sum + w);
}

void spoofSeal(SpoofDatagram& d, uint16_t payloadSum) {
    uint16_t udpLen = htons(static_cast<uint16_t>(sizeof(udphdr) + d.len));
    // Pseudo-header, then the UDP header with its checksum field 0.
    uint16_t words[] = {htons(IPPROTO_UDP), udpLen, d.sourcePort, d.destPort, udpLen};
    uint64_t sum = uint64_t{payloadSum} + fold(d.source) + fold(d.dest);
    for (uint16_t w : words) sum += w;
    uint16_t check = static_cast<uint16_t>(~fold(sum));
    // 0 would say "no checksum"; all ones is the same value in ones' complement.
    d.check = check ? check : 0xffff;
}

size_t spoofPieces(size_t payloadLen, size_t mtu) {
    size_t udpLen = sizeof(udphdr) + payloadLen;
    if (kSpoofIpHeader + udpLen <= mtu) return 1;
    return (udpLen + pieceSize(mtu) - 1) / pieceSize(mtu);
}

void spoofPiece(const SpoofDatagram& d, size_t mtu, size_t k, uint8_t* headers, iovec iov[2]) {
    size_t udpLen = sizeof(udphdr) + d.len;
    size_t pieces = spoofPieces(d.len, mtu);
    size_t off = k * pieceSize(mtu);
    size_t n = pieces == 1 ? udpLen : std::min(pieceSize(mtu), udpLen - off);
    iphdr ip{};
    ip.version = 4;
    ip.ihl = kSpoofIpHeader / 4;
    ip.ttl = 64;
    ip.protocol = IPPROTO_UDP;
    ip.tot_len = htons(static_cast<uint16_t>(kSpoofIpHeader + n));
    ip.id = htons(d.id);
    ip.frag_off = htons(static_cast<uint16_t>(off / 8 | (k + 1 < pieces ? IP_MF : 0)));
    ip.saddr = d.source;
    ip.daddr = d.dest;
    memcpy(headers, &ip, sizeof ip);
    if (k > 0) {
        iov[0] = {headers, sizeof ip};
        iov[1] = {const_cast<uint8_t*>(d.payload + off - sizeof(udphdr)), n};
        return;
    }
    udphdr udp{};
    udp.source = d.sourcePort;
    udp.dest = d.destPort;
    udp.len = htons(static_cast<uint16_t>(udpLen));
    udp.check = d.check;
    memcpy(headers + sizeof ip, &udp, sizeof udp);
    iov[0] = {headers, kSpoofHeaders};
    iov[1] = {const_cast<uint8_t*>(d.payload), n - sizeof udp};
}
