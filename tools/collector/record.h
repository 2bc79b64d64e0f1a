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

// Holds the bytes read from the daemon and hands out whole records where
// they lie, so a record is neither copied nor moved between the read that
// brings it and the next read.
struct RecordFramer {
    std::vector<uint8_t> buf;
    size_t start = 0;  // first byte not yet handed out
    size_t end = 0;    // one past the last byte read
    bool broken = false;
};

enum class FrameResult { NeedMore, Record, Malformed };

// Room for `want` more bytes after what is held, to read into. Moves the
// bytes not yet handed out to the front: records handed out earlier are no
// longer valid afterwards.
uint8_t* framerSpace(RecordFramer& framer, size_t want);
void framerCommit(RecordFramer& framer, size_t n);
// On Record, `header` is filled and `raw` points at the record exactly as it
// came (header and payload), valid until the next framerSpace. On Malformed
// the framer stays broken.
FrameResult framerNext(RecordFramer& framer, RecordHeader* header, const uint8_t** raw,
                       std::string* error);
// Called when the stream has ended: describes an incomplete record left
// over, or returns false when the stream ended cleanly between records.
bool framerTruncated(const RecordFramer& framer, std::string* error);

// `HH:MM:SS.mmm from A.B.C.D port P stream S len L`, plus the NetFlow
// header summary when the payload has one. Local time.
std::string formatRecordLine(const RecordHeader& header, const uint8_t* payload, size_t len);

std::vector<uint8_t> encodePortUpdate(const std::vector<int32_t>& ports);
