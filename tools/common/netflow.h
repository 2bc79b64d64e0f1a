// NetFlow v5, v9 and IPFIX export headers: just enough to make believable
// datagrams in the exporter and to recognise them again in the collector.
// Both directions live here so that a test can round-trip one through the
// other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class NetflowFormat { V5, V9, Ipfix };

// Accepts "v5", "v9" and "ipfix".
bool parseNetflowFormat(const std::string& text, NetflowFormat* out);

struct NetflowHeader {
    int version = 0;        // 5, 9 or 10
    uint32_t count = 0;     // v5, v9: records in the datagram; IPFIX: message length
    uint32_t sequence = 0;  // the header's sequence field
};

// True when the bytes look like the start of a NetFlow v5, v9 or IPFIX
// message: a known version, and a length that can hold what the header
// claims. Anything else is someone else's payload and is left undecoded.
bool decodeNetflowHeader(const uint8_t* data, size_t len, NetflowHeader* out);

struct SyntheticDatagram {
    std::vector<uint8_t> bytes;
    uint32_t dataRecords = 0;  // flow records carried, for advancing v5/IPFIX sequences
};

// Builds one well-formed datagram. For v5 and IPFIX `sequence` counts flow
// records sent before this datagram, for v9 datagrams sent before it, as
// real exporters do. `size` 0 gives one flow record; a larger size packs as
// many records as fit and pads the rest inside the last set, so the length
// fields stay consistent. A size below the format's minimum is raised to it.
// Without `withTemplate` a v9 or IPFIX datagram carries only the data set,
// as an exporter's does once its templates have gone out.
SyntheticDatagram makeNetflowDatagram(NetflowFormat format, uint32_t sequence, size_t size,
                                      uint32_t unixSecs, bool withTemplate = true);

// Big-endian fields in place. Inline: the collector reads them in every
// record header and every set header of every datagram it relays.
inline uint16_t readBe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t readBe32(const uint8_t* p) { return uint32_t{readBe16(p)} << 16 | readBe16(p + 2); }
uint64_t readBe64(const uint8_t* p);
// Each returns the byte after the field.
inline uint8_t* writeBe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
    return p + 2;
}
inline uint8_t* writeBe32(uint8_t* p, uint32_t v) { return writeBe16(writeBe16(p, v >> 16), v & 0xFFFF); }
void appendBe16(std::vector<uint8_t>& out, uint16_t v);
void appendBe32(std::vector<uint8_t>& out, uint32_t v);
void appendBe64(std::vector<uint8_t>& out, uint64_t v);
