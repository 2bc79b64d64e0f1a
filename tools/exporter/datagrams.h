// What the exporter sends and where, kept apart from the sockets so it can
// be checked without an SCTP stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Raw datagram file: a sequence of datagrams, each a 4-byte big-endian
// length followed by that many bytes. Nothing else, no file header.
// Empty datagrams are refused: an SCTP message cannot be empty.
bool parseRawDatagrams(const std::vector<uint8_t>& file, std::vector<std::vector<uint8_t>>* out,
                       std::string* error);

// Comma-separated SCTP stream numbers, 0 to 65534 (there are at most 65535
// outbound streams).
bool parseStreamList(const std::string& text, std::vector<uint16_t>* out, std::string* error);

// Datagram i goes to association i mod A, and walks the stream list once per
// round of associations, so every (association, stream) pair is used.
struct Slot {
    size_t assoc;
    uint16_t stream;
};
Slot slotFor(uint64_t index, size_t assocs, const std::vector<uint16_t>& streams);

// Outbound streams to ask for so that every listed stream number exists.
uint16_t outboundStreamsNeeded(const std::vector<uint16_t>& streams);
