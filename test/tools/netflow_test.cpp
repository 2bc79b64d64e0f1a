#include <gtest/gtest.h>

#include "common/netflow.h"

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list) v.push_back(static_cast<uint8_t>(b));
    return v;
}

TEST(NetflowDecode, HandMadeHeaders) {
    // v5: count 1 at offset 2, flow_sequence at 16, one 48-byte record.
    std::vector<uint8_t> v5 = bytes({0x00, 0x05, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0,
                                     0, 0, 0, 0, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0});
    v5.resize(24 + 48, 0);
    NetflowHeader h;
    ASSERT_TRUE(decodeNetflowHeader(v5.data(), v5.size(), &h));
    EXPECT_EQ(5, h.version);
    EXPECT_EQ(1u, h.count);
    EXPECT_EQ(0x01020304u, h.sequence);

    // v9: count at 2, sequence at 12.
    auto v9 = bytes({0x00, 0x09, 0x00, 0x03, 0, 0, 0, 1, 0, 0, 0, 2,
                     0x00, 0x00, 0x01, 0x00, 0, 0, 0, 9});
    ASSERT_TRUE(decodeNetflowHeader(v9.data(), v9.size(), &h));
    EXPECT_EQ(9, h.version);
    EXPECT_EQ(3u, h.count);
    EXPECT_EQ(256u, h.sequence);

    // IPFIX: message length at 2 (here the whole 20 bytes), sequence at 8.
    auto ipfix = bytes({0x00, 0x0a, 0x00, 0x14, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xfe,
                        0, 0, 0, 1, 0, 0, 0, 0});
    ASSERT_TRUE(decodeNetflowHeader(ipfix.data(), ipfix.size(), &h));
    EXPECT_EQ(10, h.version);
    EXPECT_EQ(20u, h.count);
    EXPECT_EQ(0xfffffffeu, h.sequence);
}

TEST(NetflowDecode, RejectsWhatCannotBeAHeader) {
    NetflowHeader h;
    auto unknown = bytes({0x00, 0x07, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_FALSE(decodeNetflowHeader(unknown.data(), unknown.size(), &h));
    EXPECT_FALSE(decodeNetflowHeader(unknown.data(), 1, &h));

    // v5 claiming two records but carrying room for one; and zero records.
    std::vector<uint8_t> v5(24 + 48, 0);
    v5[1] = 5;
    v5[3] = 2;
    EXPECT_FALSE(decodeNetflowHeader(v5.data(), v5.size(), &h));
    v5[3] = 0;
    EXPECT_FALSE(decodeNetflowHeader(v5.data(), v5.size(), &h));
    v5[3] = 1;
    EXPECT_FALSE(decodeNetflowHeader(v5.data(), 23, &h));

    // v9 shorter than its header.
    std::vector<uint8_t> v9(19, 0);
    v9[1] = 9;
    EXPECT_FALSE(decodeNetflowHeader(v9.data(), v9.size(), &h));

    // IPFIX whose length field exceeds the datagram, or is below a header.
    std::vector<uint8_t> ipfix(32, 0);
    ipfix[1] = 10;
    ipfix[3] = 33;
    EXPECT_FALSE(decodeNetflowHeader(ipfix.data(), ipfix.size(), &h));
    ipfix[3] = 15;
    EXPECT_FALSE(decodeNetflowHeader(ipfix.data(), ipfix.size(), &h));
}

TEST(NetflowSynthesis, RoundTripsThroughTheDecoder) {
    struct Case {
        NetflowFormat format;
        int version;
    };
    for (Case c : {Case{NetflowFormat::V5, 5}, Case{NetflowFormat::V9, 9},
                   Case{NetflowFormat::Ipfix, 10}}) {
        for (size_t size : {size_t(0), size_t(1), size_t(100), size_t(1400), size_t(1500),
                            size_t(9000)}) {
            SCOPED_TRACE("version " + std::to_string(c.version) + " size " + std::to_string(size));
            SyntheticDatagram d = makeNetflowDatagram(c.format, 41, size, 1700000000);
            NetflowHeader h;
            ASSERT_TRUE(decodeNetflowHeader(d.bytes.data(), d.bytes.size(), &h));
            EXPECT_EQ(c.version, h.version);
            EXPECT_EQ(41u, h.sequence);
            EXPECT_GE(d.dataRecords, 1u);
            if (size > 100) {
                EXPECT_EQ(size, d.bytes.size());
            }
            uint32_t expectedCount = c.format == NetflowFormat::V5   ? d.dataRecords
                                     : c.format == NetflowFormat::V9 ? d.dataRecords + 1  // + template
                                                                     : uint32_t(d.bytes.size());
            EXPECT_EQ(expectedCount, h.count);
        }
    }
}

// The sets inside a v9/IPFIX datagram must add up to the datagram, or a real
// collector would reject it.
TEST(NetflowSynthesis, SetLengthsTileTheDatagram) {
    for (NetflowFormat f : {NetflowFormat::V9, NetflowFormat::Ipfix}) {
        for (size_t size : {size_t(0), size_t(333), size_t(1400)}) {
            SyntheticDatagram d = makeNetflowDatagram(f, 0, size, 0);
            size_t at = f == NetflowFormat::V9 ? 20 : 16;
            int sets = 0;
            while (at + 4 <= d.bytes.size()) {
                uint16_t len = readBe16(&d.bytes[at + 2]);
                ASSERT_GE(len, 4u);
                at += len;
                ++sets;
            }
            EXPECT_EQ(d.bytes.size(), at);
            EXPECT_EQ(2, sets);
            // The data set carries whole records of the announced template.
            size_t dataSet = (f == NetflowFormat::V9 ? 20 : 16) + 36;
            EXPECT_EQ(256, readBe16(&d.bytes[dataSet]));
            EXPECT_EQ(d.dataRecords, (readBe16(&d.bytes[dataSet + 2]) - 4u) / 21u);
        }
    }
}

TEST(NetflowSynthesis, V5RecordCountIsCappedAndPadded) {
    SyntheticDatagram d = makeNetflowDatagram(NetflowFormat::V5, 7, 4000, 0);
    EXPECT_EQ(30u, d.dataRecords);
    EXPECT_EQ(4000u, d.bytes.size());
}

}  // namespace
