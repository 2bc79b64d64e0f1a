#include "netflow.h"

namespace {

constexpr size_t kV5HeaderSize = 24;
constexpr size_t kV5RecordSize = 48;
constexpr uint32_t kV5MaxRecords = 30;  // what fits one Ethernet frame; exporters never send more
constexpr size_t kV9HeaderSize = 20;
constexpr size_t kIpfixHeaderSize = 16;
constexpr size_t kSetHeaderSize = 4;
constexpr uint16_t kTemplateId = 256;  // first id free for data templates in both v9 and IPFIX
constexpr size_t kMaxIpfixLength = 65535;

// The flow record that v9 and IPFIX datagrams carry: (information element, size).
// The element numbers are shared by v9 and IPFIX.
struct Field {
    uint16_t type;
    uint16_t size;
};
const Field kFields[] = {
    {8, 4},   // source IPv4 address
    {12, 4},  // destination IPv4 address
    {2, 4},   // packets
    {1, 4},   // octets
    {7, 2},   // source port
    {11, 2},  // destination port
    {4, 1},   // protocol
};
constexpr size_t kFieldCount = sizeof kFields / sizeof kFields[0];
constexpr size_t kTemplateSetSize = kSetHeaderSize + 4 + kFieldCount * 4;
constexpr size_t kTemplatedRecordSize = 4 + 4 + 4 + 4 + 2 + 2 + 1;

void putBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

// Deterministic but varied flow contents, so a capture shows distinct flows.
uint32_t srcAddr(uint32_t flow) { return 0x0A000000u | (flow & 0xFFFFu); }      // 10.0.x.y
uint32_t dstAddr(uint32_t flow) { return 0xC0000200u | ((flow * 7u) & 0xFFu); }  // 192.0.2.z

void appendTemplatedRecord(std::vector<uint8_t>& out, uint32_t flow) {
    appendBe32(out, srcAddr(flow));
    appendBe32(out, dstAddr(flow));
    appendBe32(out, 1 + flow % 100);
    appendBe32(out, 64 * (1 + flow % 100));
    appendBe16(out, static_cast<uint16_t>(1024 + flow % 50000));
    appendBe16(out, flow % 2 ? 443 : 53);
    out.push_back(flow % 2 ? 6 : 17);
}

void appendTemplateSet(std::vector<uint8_t>& out, uint16_t setId) {
    appendBe16(out, setId);
    appendBe16(out, static_cast<uint16_t>(kTemplateSetSize));
    appendBe16(out, kTemplateId);
    appendBe16(out, static_cast<uint16_t>(kFieldCount));
    for (const Field& f : kFields) {
        appendBe16(out, f.type);
        appendBe16(out, f.size);
    }
}

// Fills a data set of exactly `setSize` bytes: as many records as fit, the
// rest zero padding. Returns the number of records.
uint32_t appendDataSet(std::vector<uint8_t>& out, size_t setSize, uint32_t firstFlow) {
    size_t start = out.size();
    appendBe16(out, kTemplateId);
    appendBe16(out, static_cast<uint16_t>(setSize));
    uint32_t records = static_cast<uint32_t>((setSize - kSetHeaderSize) / kTemplatedRecordSize);
    for (uint32_t i = 0; i < records; ++i) appendTemplatedRecord(out, firstFlow + i);
    out.resize(start + setSize, 0);
    return records;
}

size_t roundUp4(size_t n) { return (n + 3) & ~size_t(3); }

SyntheticDatagram makeV5(uint32_t sequence, size_t size, uint32_t unixSecs) {
    SyntheticDatagram d;
    uint32_t records = 1;
    if (size > kV5HeaderSize + kV5RecordSize)
        records = static_cast<uint32_t>((size - kV5HeaderSize) / kV5RecordSize);
    if (records > kV5MaxRecords) records = kV5MaxRecords;
    std::vector<uint8_t>& out = d.bytes;
    appendBe16(out, 5);
    appendBe16(out, static_cast<uint16_t>(records));
    appendBe32(out, 3600000);  // sysUptime: an hour, arbitrary but fixed
    appendBe32(out, unixSecs);
    appendBe32(out, 0);  // unix_nsecs
    appendBe32(out, sequence);
    out.push_back(0);     // engine type
    out.push_back(0);     // engine id
    appendBe16(out, 0);   // sampling
    for (uint32_t i = 0; i < records; ++i) {
        uint32_t flow = sequence + i;
        appendBe32(out, srcAddr(flow));
        appendBe32(out, dstAddr(flow));
        appendBe32(out, 0);  // next hop
        appendBe16(out, 1);  // input interface
        appendBe16(out, 2);  // output interface
        appendBe32(out, 1 + flow % 100);
        appendBe32(out, 64 * (1 + flow % 100));
        appendBe32(out, 3590000);  // first
        appendBe32(out, 3599000);  // last
        appendBe16(out, static_cast<uint16_t>(1024 + flow % 50000));
        appendBe16(out, flow % 2 ? 443 : 53);
        out.push_back(0);  // pad
        out.push_back(flow % 2 ? 0x18 : 0);  // TCP flags
        out.push_back(flow % 2 ? 6 : 17);
        out.push_back(0);  // ToS
        appendBe16(out, 0);  // src AS
        appendBe16(out, 0);  // dst AS
        out.push_back(24);  // src mask
        out.push_back(24);  // dst mask
        appendBe16(out, 0);  // pad
    }
    // v5 has no length field: readers walk `count` records and ignore the rest.
    if (out.size() < size) out.resize(size, 0);
    d.dataRecords = records;
    return d;
}

// Template set, then one data set stretched to reach `size`.
SyntheticDatagram makeTemplated(NetflowFormat format, uint32_t sequence, size_t size,
                                uint32_t unixSecs, bool withTemplate) {
    bool ipfix = format == NetflowFormat::Ipfix;
    size_t headerSize = ipfix ? kIpfixHeaderSize : kV9HeaderSize;
    size_t templateSize = withTemplate ? kTemplateSetSize : 0;
    size_t minimum = headerSize + templateSize + roundUp4(kSetHeaderSize + kTemplatedRecordSize);
    if (size < minimum) size = minimum;
    if (ipfix && size > kMaxIpfixLength) size = kMaxIpfixLength;

    SyntheticDatagram d;
    std::vector<uint8_t>& out = d.bytes;
    appendBe16(out, ipfix ? 10 : 9);
    if (ipfix) {
        appendBe16(out, 0);  // message length, filled in below
        appendBe32(out, unixSecs);
        appendBe32(out, sequence);
        appendBe32(out, 1);  // observation domain
    } else {
        appendBe16(out, 0);  // count, filled in below
        appendBe32(out, 3600000);
        appendBe32(out, unixSecs);
        appendBe32(out, sequence);
        appendBe32(out, 1);  // source id
    }
    if (withTemplate) appendTemplateSet(out, ipfix ? 2 : 0);
    d.dataRecords = appendDataSet(out, size - out.size(), sequence);
    if (ipfix)
        putBe16(&out[2], static_cast<uint16_t>(out.size()));
    else  // the v9 count field covers template records too
        putBe16(&out[2], static_cast<uint16_t>((withTemplate ? 1 : 0) + d.dataRecords));
    return d;
}

}  // namespace

bool parseNetflowFormat(const std::string& text, NetflowFormat* out) {
    if (text == "v5") *out = NetflowFormat::V5;
    else if (text == "v9") *out = NetflowFormat::V9;
    else if (text == "ipfix") *out = NetflowFormat::Ipfix;
    else return false;
    return true;
}

bool decodeNetflowHeader(const uint8_t* data, size_t len, NetflowHeader* out) {
    if (len < 2) return false;
    uint16_t version = readBe16(data);
    NetflowHeader h;
    h.version = version;
    switch (version) {
    case 5:
        if (len < kV5HeaderSize) return false;
        h.count = readBe16(data + 2);
        if (h.count == 0 || h.count > kV5MaxRecords) return false;
        if (kV5HeaderSize + h.count * kV5RecordSize > len) return false;
        h.sequence = readBe32(data + 16);
        break;
    case 9:
        if (len < kV9HeaderSize) return false;
        h.count = readBe16(data + 2);
        h.sequence = readBe32(data + 12);
        break;
    case 10:
        if (len < kIpfixHeaderSize) return false;
        h.count = readBe16(data + 2);
        if (h.count < kIpfixHeaderSize || h.count > len) return false;
        h.sequence = readBe32(data + 8);
        break;
    default:
        return false;
    }
    *out = h;
    return true;
}

SyntheticDatagram makeNetflowDatagram(NetflowFormat format, uint32_t sequence, size_t size,
                                      uint32_t unixSecs, bool withTemplate) {
    if (format == NetflowFormat::V5) return makeV5(sequence, size, unixSecs);
    return makeTemplated(format, sequence, size, unixSecs, withTemplate);
}

uint64_t readBe64(const uint8_t* p) { return uint64_t(readBe32(p)) << 32 | readBe32(p + 4); }

void appendBe16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void appendBe32(std::vector<uint8_t>& out, uint32_t v) {
    appendBe16(out, static_cast<uint16_t>(v >> 16));
    appendBe16(out, static_cast<uint16_t>(v));
}

void appendBe64(std::vector<uint8_t>& out, uint64_t v) {
    appendBe32(out, static_cast<uint32_t>(v >> 32));
    appendBe32(out, static_cast<uint32_t>(v));
}
