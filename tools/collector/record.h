// The collector's side of the wire: framing the daemon's forwarding records
// out of the TCP byte stream, the requests we send back, and the one-line
// rendering of a record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kRecordHeaderSize = 36;
// The longest payload held whole: every datagram UDP or IPFIX can carry.
// The daemon forwards whatever its -maxpacketsize lets through, up to 4 GiB
// a record; a longer one is handed out in pieces as its bytes arrive, so
// what we hold stays within two reads however long it is.
constexpr uint32_t kMaxRecordPayload = 65535;

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
    RecordHeader oversize;      // the record being handed out in pieces
    uint64_t oversizeLeft = 0;  // its payload bytes still to come
};

// What the framer hands out: a whole record, or a piece of one longer than
// kMaxRecordPayload.
struct Frame {
    RecordHeader header;
    // The bytes exactly as they came: a whole record, header and payload, or
    // a piece, the first of which starts with the header.
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    bool piece = false;
    bool last = true;  // the record's last bytes are in this frame
};

enum class FrameResult { NeedMore, Frame, Malformed };

// Room for `want` more bytes after what is held, to read into. Moves the
// bytes not yet handed out to the front: records handed out earlier are no
// longer valid afterwards.
uint8_t* framerSpace(RecordFramer& framer, size_t want);
void framerCommit(RecordFramer& framer, size_t n);
// On Frame, `frame` is filled; its bytes are valid until the next
// framerSpace. On Malformed the framer stays broken.
FrameResult framerNext(RecordFramer& framer, Frame* frame, std::string* error);
// Called when the stream has ended: describes an incomplete record left
// over, or returns false when the stream ended cleanly between records.
bool framerTruncated(const RecordFramer& framer, std::string* error);

// `HH:MM:SS.mmm from A.B.C.D port P stream S len L`, plus the NetFlow
// header summary when the payload has one. Local time.
std::string formatRecordLine(const RecordHeader& header, const uint8_t* payload, size_t len);

std::vector<uint8_t> encodePortUpdate(const std::vector<int32_t>& ports);
