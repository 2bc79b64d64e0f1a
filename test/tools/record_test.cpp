#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "collector/record.h"
#include "common/netflow.h"

namespace {

// 100-byte datagram from 192.0.2.7 on local port 2055, stream 3.
std::vector<uint8_t> sampleRecord(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> r = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xC0, 0x00, 0x02, 0x07,
                              0x00, 0x00, 0x08, 0x07, 0x00, 0x00, 0x00, 0x03,
                              0x00, 0x00, 0x01, 0x8B, 0xCF, 0xE5, 0x68, 0x15};
    appendBe32(r, static_cast<uint32_t>(payload.size()));
    r.insert(r.end(), payload.begin(), payload.end());
    return r;
}

class RecordLine : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST(RecordHeader, DecodesEveryFieldBigEndian) {
    std::vector<uint8_t> rec = sampleRecord(std::vector<uint8_t>(100, 0xAB));
    RecordHeader h;
    std::string err;
    ASSERT_TRUE(parseRecordHeader(rec.data(), &h, &err)) << err;
    EXPECT_EQ(0xC0000207u, h.address);
    EXPECT_EQ(2055, h.localPort);
    EXPECT_EQ(3u, h.streamId);
    EXPECT_EQ(0x0000018BCFE56815ull, h.timestampMs);
    EXPECT_EQ(100u, h.payloadLength);

    // Ports beyond 16 bits travel whole; the daemon records them as given.
    rec[17] = 0x01;
    ASSERT_TRUE(parseRecordHeader(rec.data(), &h, &err));
    EXPECT_EQ(67591, h.localPort);
}

TEST(RecordHeader, RejectsBadPrefixAndAbsurdLength) {
    RecordHeader h;
    std::string err;
    for (size_t i : {size_t(0), size_t(9), size_t(10), size_t(11)}) {
        std::vector<uint8_t> rec = sampleRecord({1});
        rec[i] ^= 0x01;
        EXPECT_FALSE(parseRecordHeader(rec.data(), &h, &err)) << "byte " << i;
        EXPECT_NE(std::string::npos, err.find("prefix"));
    }
    std::vector<uint8_t> rec = sampleRecord({});
    rec[32] = 0x00, rec[33] = 0x10, rec[34] = 0x00, rec[35] = 0x00;  // exactly 1 MiB: allowed
    EXPECT_TRUE(parseRecordHeader(rec.data(), &h, &err));
    rec[35] = 0x01;
    EXPECT_FALSE(parseRecordHeader(rec.data(), &h, &err));
    EXPECT_NE(std::string::npos, err.find("length"));
}

TEST(RecordFramer, ReassemblesRecordsSplitAnywhere) {
    std::vector<uint8_t> a = sampleRecord(std::vector<uint8_t>(100, 0x11));
    std::vector<uint8_t> b = sampleRecord({});  // empty payload is still a record
    std::vector<uint8_t> c = sampleRecord({0x22, 0x33});
    std::vector<uint8_t> stream = a;
    stream.insert(stream.end(), b.begin(), b.end());
    stream.insert(stream.end(), c.begin(), c.end());

    for (size_t chunk : {size_t(1), size_t(7), size_t(35), size_t(36), size_t(37), stream.size()}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        RecordFramer f;
        std::vector<std::vector<uint8_t>> got;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            framerFeed(f, stream.data() + at, std::min(chunk, stream.size() - at));
            RecordHeader h;
            std::vector<uint8_t> raw;
            std::string err;
            FrameResult r;
            while ((r = framerNext(f, &h, &raw, &err)) == FrameResult::Record) {
                EXPECT_EQ(raw.size(), kRecordHeaderSize + h.payloadLength);
                got.push_back(raw);
            }
            ASSERT_EQ(FrameResult::NeedMore, r) << err;
        }
        ASSERT_EQ(3u, got.size());
        EXPECT_EQ(a, got[0]);
        EXPECT_EQ(b, got[1]);
        EXPECT_EQ(c, got[2]);
        std::string err;
        EXPECT_FALSE(framerTruncated(f, &err));
    }
}

TEST(RecordFramer, MalformedAndTruncatedStreams) {
    std::string err;
    RecordHeader h;
    std::vector<uint8_t> raw;

    // A good record, then garbage: the good one comes out, then the error, and
    // the framer stays broken.
    RecordFramer f;
    std::vector<uint8_t> stream = sampleRecord({1, 2, 3});
    std::vector<uint8_t> bad = sampleRecord({});
    bad[10] = 0;
    stream.insert(stream.end(), bad.begin(), bad.end());
    framerFeed(f, stream.data(), stream.size());
    EXPECT_EQ(FrameResult::Record, framerNext(f, &h, &raw, &err));
    EXPECT_EQ(FrameResult::Malformed, framerNext(f, &h, &raw, &err));
    EXPECT_EQ(FrameResult::Malformed, framerNext(f, &h, &raw, &err));

    // An absurd length is caught from the header alone, without waiting for
    // a megabyte that will never come.
    RecordFramer g;
    std::vector<uint8_t> huge = sampleRecord({});
    huge[32] = 0x7F;
    framerFeed(g, huge.data(), huge.size());
    EXPECT_EQ(FrameResult::Malformed, framerNext(g, &h, &raw, &err));

    // End of stream inside a header and inside a payload.
    RecordFramer t1;
    framerFeed(t1, stream.data(), 20);
    EXPECT_EQ(FrameResult::NeedMore, framerNext(t1, &h, &raw, &err));
    EXPECT_TRUE(framerTruncated(t1, &err));
    EXPECT_NE(std::string::npos, err.find("20 of 36")) << err;
    RecordFramer t2;
    framerFeed(t2, stream.data(), 38);
    EXPECT_EQ(FrameResult::NeedMore, framerNext(t2, &h, &raw, &err));
    EXPECT_TRUE(framerTruncated(t2, &err));
    EXPECT_NE(std::string::npos, err.find("38 of 39")) << err;
}

TEST_F(RecordLine, ShowsRecordTimestampAndNetflowSummary) {
    RecordHeader h;
    h.address = 0xC0000207;
    h.localPort = 2055;
    h.streamId = 3;
    h.timestampMs = 1700000000123ull + 3600 * 1000;  // 23:13:20.123 UTC
    h.payloadLength = 5;
    const uint8_t notNetflow[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ("23:13:20.123 from 192.0.2.7 port 2055 stream 3 len 5",
              formatRecordLine(h, notNetflow, 5));

    h.timestampMs = 7;  // leading zeros of the milliseconds
    SyntheticDatagram v9 = makeNetflowDatagram(NetflowFormat::V9, 12, 0, 0);
    h.payloadLength = static_cast<uint32_t>(v9.bytes.size());
    EXPECT_EQ("00:00:00.007 from 192.0.2.7 port 2055 stream 3 len 84 netflow v9 count 2 seq 12",
              formatRecordLine(h, v9.bytes.data(), v9.bytes.size()));

    SyntheticDatagram ipfix = makeNetflowDatagram(NetflowFormat::Ipfix, 99, 200, 0);
    h.payloadLength = 200;
    EXPECT_EQ("00:00:00.007 from 192.0.2.7 port 2055 stream 3 len 200 netflow v10 length 200 seq 99",
              formatRecordLine(h, ipfix.bytes.data(), ipfix.bytes.size()));

    SyntheticDatagram v5 = makeNetflowDatagram(NetflowFormat::V5, 5, 0, 0);
    h.payloadLength = 72;
    h.streamId = 65535;
    h.address = 0x0A000001;
    EXPECT_EQ("00:00:00.007 from 10.0.0.1 port 2055 stream 65535 len 72 netflow v5 count 1 seq 5",
              formatRecordLine(h, v5.bytes.data(), v5.bytes.size()));
}

TEST(PortUpdate, EncodesCountAndEntriesBigEndian) {
    EXPECT_EQ((std::vector<uint8_t>{1, 0, 0, 0, 3, 0, 0, 8, 7, 0, 0, 8, 7, 0, 0, 0x27, 0x0C}),
              encodePortUpdate({2055, 2055, 9996}));
    EXPECT_EQ((std::vector<uint8_t>{1, 0, 0, 0, 0}), encodePortUpdate({}));
    EXPECT_EQ((std::vector<uint8_t>{1, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF}), encodePortUpdate({-1}));
}

TEST(PortList, CommasAndWhitespace) {
    std::vector<int32_t> ports;
    std::string err;
    ASSERT_TRUE(parsePortList("2055,9996", &ports, &err));
    EXPECT_EQ((std::vector<int32_t>{2055, 9996}), ports);
    ASSERT_TRUE(parsePortList(" 4739\n2055 ,, 67591\t\n", &ports, &err));
    EXPECT_EQ((std::vector<int32_t>{4739, 2055, 67591}), ports);
    ASSERT_TRUE(parsePortList("", &ports, &err));
    EXPECT_TRUE(ports.empty());
    EXPECT_FALSE(parsePortList("2055,abc", &ports, &err));
    EXPECT_NE(std::string::npos, err.find("abc"));
    EXPECT_FALSE(parsePortList("20x5", &ports, &err));
    EXPECT_FALSE(parsePortList("+80", &ports, &err));
    EXPECT_FALSE(parsePortList("4294967296", &ports, &err));
}

}  // namespace
