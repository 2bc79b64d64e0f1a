#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "main/settings.h"
#include "packet/packet_msg.h"

namespace {

std::vector<unsigned char> bytesOf(Buffer& buffer, int from, int to) {
    int saved = buffer.position();
    buffer.position(0);
    const unsigned char* start = reinterpret_cast<const unsigned char*>(buffer.array());
    buffer.position(saved);
    return std::vector<unsigned char>(start + from, start + to);
}

TEST(Buffer, ArrayFollowsPositionAndClearKeepsBytes) {
    Buffer buffer(40);
    char* start = buffer.array();
    buffer.position(36);
    EXPECT_EQ(buffer.array(), start + 36);
    buffer.put("ab", 2);
    buffer.limit(38);
    buffer.clear();
    EXPECT_EQ(buffer.position(), 0);
    EXPECT_EQ(buffer.limit(), 40);
    EXPECT_EQ(bytesOf(buffer, 36, 38), (std::vector<unsigned char>{'a', 'b'}));
}

using BufferDeathTest = ::testing::Test;

TEST_F(BufferDeathTest, PutIsBoundedByLimitNotCapacity) {
    EXPECT_EXIT(
        {
            Buffer buffer(40);
            buffer.limit(10);
            char twelve[12] = {};
            buffer.put(twelve, 12);
        },
        ::testing::ExitedWithCode(1), "insufficient buffer capacity, exiting");
    EXPECT_EXIT(
        {
            Buffer buffer(4);
            buffer.put("abcd", 4);
            buffer.put("e", 1);
        },
        ::testing::ExitedWithCode(1), "insufficient buffer capacity, exiting");
}

TEST_F(BufferDeathTest, ImpossibleSizeIsAnAllocationFailure) {
    EXPECT_EXIT({ PacketMsg message(0x7fffffff); }, ::testing::ExitedWithCode(1),
                "can't allocate buffer: out of memory, exiting");
}

TEST(PacketMsg, RecordHeaderByteForByte) {
    PacketMsg message(1400);
    EXPECT_EQ(message.capacity(), 1436);
    Buffer& buffer = message.getBuffer();
    buffer.clear();
    buffer.position(36);
    std::vector<unsigned char> payload(100);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(i * 7);
    memcpy(buffer.array(), payload.data(), payload.size());
    buffer.limit(buffer.position() + 100);

    in_addr sender;
    inet_pton(AF_INET, "192.0.2.7", &sender);
    message.setLocalPort(2055);
    message.setStreamId(3);
    message.setDeviceAddress(sender);
    message.setTimestamp(0x0000018C2A3B4C5DULL);
    message.buildHeader();

    EXPECT_EQ(buffer.position(), 36);
    EXPECT_EQ(buffer.limit(), 136);
    std::vector<unsigned char> expected = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xc0, 0, 2, 7,
                                           0, 0, 0x08, 0x07, 0, 0, 0, 3,
                                           0, 0, 0x01, 0x8c, 0x2a, 0x3b, 0x4c, 0x5d,
                                           0, 0, 0, 0x64};
    EXPECT_EQ(bytesOf(buffer, 0, 36), expected);
    EXPECT_EQ(bytesOf(buffer, 36, 136), payload);
}

// The reserve thresholds come from 32-bit unsigned arithmetic: a product past
// 2^32 wraps, exactly as operators' existing configurations expect.
TEST(Settings, ReserveThresholdsTruncateAndWrap) {
    struct Case {
        const char* pool;
        const char* warn;
        const char* cancel;
        unsigned int low, high;
    } cases[] = {
        {"200", "15", "50", 30, 100},
        {"10", "15", "50", 1, 5},
        {"6", "15", "50", 0, 3},
        {"50000000", "100", "100", 7050327, 7050327},
    };
    for (const Case& c : cases) {
        const char* argv[] = {"quorvane", "-forwardingport", "1", "-udpsocketbufsize", "0", "-packetpoolsize",
                              c.pool, "-maxpacketsize", "0", "-poolusagewarnpct", c.warn,
                              "-cancelpoolusagewarnpct", c.cancel};
        parseArgs(13, const_cast<char**>(argv));
        EXPECT_EQ(poolUsageWarningNumPackets_, c.low) << c.pool;
        EXPECT_EQ(cancelPoolUsageWarningNumPackets_, c.high) << c.pool;
    }
}

}  // namespace
