// One received datagram and the facts of its arrival. The storage keeps a
// 36-byte gap in front of the payload so the forwarding record's header can
// be written in place and header and payload leave in one send.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "packet/buffer.h"

constexpr int kRecordHeaderSize = 36;

class PacketMsg : public Buffer {
public:
    explicit PacketMsg(int maxPacketSize);

    Buffer& getBuffer() { return *this; }

    void setLocalPort(int port) { localPort_ = port; }
    void setStreamId(int stream) { streamId_ = stream; }
    void setDeviceAddress(const in_addr& address) { deviceAddress_ = address; }
    void setTimestamp();
    void setTimestamp(uint64_t milliseconds) { timestamp_ = milliseconds; }

    int localPort() const { return localPort_; }
    int streamId() const { return streamId_; }
    in_addr deviceAddress() const { return deviceAddress_; }
    uint64_t timestamp() const { return timestamp_; }

    // Writes the record header over the gap; position ends at 36, the payload
    // and the limit are untouched.
    void buildHeader();
    void clear();

    static const unsigned char ipv4MappedAddressPrefix[12];

private:
    int localPort_;
    int streamId_;
    in_addr deviceAddress_;
    uint64_t timestamp_;
};

// The checked size of a message's storage: payload bound plus header gap.
// Beyond int range it is reported as the allocation failure it would be.
int packetCapacity(int maxPacketSize);
