#include "packet/packet_msg.h"

#include <sys/time.h>

#include <climits>

const unsigned char PacketMsg::ipv4MappedAddressPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

int packetCapacity(int maxPacketSize) {
    long long size = static_cast<long long>(maxPacketSize) + kRecordHeaderSize;
    return size > INT_MAX ? -1 : static_cast<int>(size);
}

PacketMsg::PacketMsg(int maxPacketSize)
    : Buffer(packetCapacity(maxPacketSize)), localPort_(0), streamId_(0), deviceAddress_{}, timestamp_(0) {}

void PacketMsg::setTimestamp() {
    timeval now;
    gettimeofday(&now, nullptr);
    timestamp_ = static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

void PacketMsg::buildHeader() {
    position(0);
    put(ipv4MappedAddressPrefix, sizeof ipv4MappedAddressPrefix);
    put(&deviceAddress_, 4);
    putInt(static_cast<unsigned int>(localPort_));
    putInt(static_cast<unsigned int>(streamId_));
    putLong(timestamp_);
    putInt(static_cast<unsigned int>(limit() - kRecordHeaderSize));
}

void PacketMsg::clear() {
    Buffer::clear();
    localPort_ = 0;
    streamId_ = 0;
    deviceAddress_.s_addr = 0;
    timestamp_ = 0;
}
