// The collector's side of the wire: framing the daemon's forwarding records
// out of the TCP byte stream, the requests we send back, and the one-line
// rendering of a record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kRecordHeaderSize = 36;
// The daemon forwards whole datagrams; nothing NetFlow-shaped comes near
// this, so a larger length means we lost the framing.
constexpr uint32_t kMaxRecordPayload = 1u << 20;

constexpr uint8_t kRequestWant = 0;
constexpr uint8_t kRequestPortUpdate = 1;

struct RecordHeader {
    uint32_t address = 0;  // sender IPv4, host order (0xC0000207 is 192.0.2.7)
    int32_t localPort = 0;
    uint32_t streamId = 0;
    uint64_t timestampMs = 0;
    uint32_t payloadLength = 0;
};

// Decodes the 36 bytes at `p`. False, with the reason in `error`, when the
// bytes cannot be a record header.
bool parseRecordHeader(const uint8_t* p, RecordHeader* out, std::string* error);

// Accumulates bytes as they arrive and hands out whole records.
struct RecordFramer {
    std::vector<uint8_t> pending;
    bool broken = false;
};

enum class FrameResult { NeedMore, Record, Malformed };

void framerFeed(RecordFramer& framer, const uint8_t* data, size_t len);
// On Record, `header` is filled and `raw` holds the record exactly as it
// came (header and payload). On Malformed the framer stays broken.
FrameResult framerNext(RecordFramer& framer, RecordHeader* header, std::vector<uint8_t>* raw,
                       std::string* error);
// Called when the stream has ended: describes an incomplete record left
// over, or returns false when the stream ended cleanly between records.
bool framerTruncated(const RecordFramer& framer, std::string* error);

// `HH:MM:SS.mmm from A.B.C.D port P stream S len L`, plus the NetFlow
// header summary when the payload has one. Local time.
std::string formatRecordLine(const RecordHeader& header, const uint8_t* payload, size_t len);

std::vector<uint8_t> encodePortUpdate(const std::vector<int32_t>& ports);

// Ports separated by commas and/or white space. Each must be a decimal
// number that fits a signed 32-bit integer; the daemon is the judge of
// what it means beyond that.
bool parsePortList(const std::string& text, std::vector<int32_t>* out, std::string* error);
