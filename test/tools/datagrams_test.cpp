#include <gtest/gtest.h>

#include <set>

#include "exporter/datagrams.h"

namespace {

TEST(RawDatagramFile, LengthPrefixedRecords) {
    std::vector<uint8_t> file = {0, 0, 0, 2, 0xAA, 0xBB, 0, 0, 0, 1, 0xCC};
    std::vector<std::vector<uint8_t>> out;
    std::string err;
    ASSERT_TRUE(parseRawDatagrams(file, &out, &err)) << err;
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ((std::vector<uint8_t>{0xAA, 0xBB}), out[0]);
    EXPECT_EQ((std::vector<uint8_t>{0xCC}), out[1]);

    ASSERT_TRUE(parseRawDatagrams({}, &out, &err));
    EXPECT_TRUE(out.empty());

    EXPECT_FALSE(parseRawDatagrams({0, 0, 0, 3, 1, 2}, &out, &err));  // short payload
    EXPECT_NE(std::string::npos, err.find("claims 3"));
    EXPECT_FALSE(parseRawDatagrams({0, 0, 0, 1, 9, 0, 0}, &out, &err));  // short length
    EXPECT_NE(std::string::npos, err.find("offset 5"));
    EXPECT_FALSE(parseRawDatagrams({0, 0, 0, 0}, &out, &err));  // empty datagram
    // A length with the top bit set must not wrap around the bound check.
    EXPECT_FALSE(parseRawDatagrams({0xFF, 0xFF, 0xFF, 0xFF, 1}, &out, &err));
}

TEST(StreamList, ParsesAndBoundsStreamNumbers) {
    std::vector<uint16_t> s;
    std::string err;
    ASSERT_TRUE(parseStreamList("0,1,2", &s, &err));
    EXPECT_EQ((std::vector<uint16_t>{0, 1, 2}), s);
    ASSERT_TRUE(parseStreamList("65534", &s, &err));
    EXPECT_EQ(65535, outboundStreamsNeeded(s));
    for (const char* bad : {"", "1,", ",1", "65535", "-1", "1;2", "000001"})
        EXPECT_FALSE(parseStreamList(bad, &s, &err)) << bad;
    EXPECT_EQ(10, outboundStreamsNeeded({3, 9, 0}));
}

TEST(Schedule, EveryAssociationAndStreamPairIsUsed) {
    // 2 associations, 2 streams: with a naive i%A, i%S pairing only two of
    // the four pairs would ever be used.
    std::vector<uint16_t> streams = {5, 7};
    std::set<std::pair<size_t, uint16_t>> seen;
    for (uint64_t i = 0; i < 4; ++i) {
        Slot s = slotFor(i, 2, streams);
        seen.insert({s.assoc, s.stream});
    }
    EXPECT_EQ(4u, seen.size());
    Slot first = slotFor(0, 3, {0, 1, 2});
    Slot fourth = slotFor(3, 3, {0, 1, 2});
    EXPECT_EQ(0u, first.assoc);
    EXPECT_EQ(0, first.stream);
    EXPECT_EQ(0u, fourth.assoc);
    EXPECT_EQ(1, fourth.stream);
}

}  // namespace
