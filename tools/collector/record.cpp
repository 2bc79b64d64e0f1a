#include "record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../common/netflow.h"

namespace {

const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

std::string hexBytes(const uint8_t* p, size_t n) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(buf, sizeof buf, i ? " %02x" : "%02x", p[i]);
        s += buf;
    }
    return s;
}

}  // namespace

bool parseRecordHeader(const uint8_t* p, RecordHeader* out, std::string* error) {
    for (size_t i = 0; i < sizeof kMappedPrefix; ++i) {
        if (p[i] != kMappedPrefix[i]) {
            *error = "bad record prefix " + hexBytes(p, sizeof kMappedPrefix) +
                     " (expected 00 x10 ff ff)";
            return false;
        }
    }
    RecordHeader h;
    h.address = readBe32(p + 12);
    h.localPort = static_cast<int32_t>(readBe32(p + 16));
    h.streamId = readBe32(p + 20);
    h.timestampMs = readBe64(p + 24);
    h.payloadLength = readBe32(p + 32);
    *out = h;
    return true;
}

uint8_t* framerSpace(RecordFramer& f, size_t want) {
    if (f.start > 0) {
        memmove(f.buf.data(), f.buf.data() + f.start, f.end - f.start);
        f.end -= f.start;
        f.start = 0;
    }
    // Grows only until it holds the largest record plus one read.
    if (f.buf.size() < f.end + want) f.buf.resize(f.end + want);
    return f.buf.data() + f.end;
}

void framerCommit(RecordFramer& f, size_t n) { f.end += n; }

FrameResult framerNext(RecordFramer& f, Frame* frame, std::string* error) {
    if (f.broken) {
        *error = "record stream already broken";
        return FrameResult::Malformed;
    }
    size_t have = f.end - f.start;
    const uint8_t* p = f.buf.data() + f.start;
    Frame out;
    if (f.oversizeLeft > 0) {
        if (have == 0) return FrameResult::NeedMore;
        out.header = f.oversize;
        out.size = static_cast<size_t>(std::min<uint64_t>(have, f.oversizeLeft));
        f.oversizeLeft -= out.size;
    } else {
        if (have < kRecordHeaderSize) return FrameResult::NeedMore;
        if (!parseRecordHeader(p, &out.header, error)) {
            f.broken = true;
            return FrameResult::Malformed;
        }
        uint32_t len = out.header.payloadLength;
        if (len <= kMaxRecordPayload) {
            if (have < kRecordHeaderSize + len) return FrameResult::NeedMore;
            out.size = kRecordHeaderSize + len;
        } else {
            out.size = kRecordHeaderSize + std::min<size_t>(have - kRecordHeaderSize, len);
            f.oversize = out.header;
            f.oversizeLeft = len - (out.size - kRecordHeaderSize);
        }
    }
    out.bytes = p;
    out.piece = out.header.payloadLength > kMaxRecordPayload;
    out.last = f.oversizeLeft == 0;
    f.start += out.size;
    *frame = out;
    return FrameResult::Frame;
}

bool framerTruncated(const RecordFramer& f, std::string* error) {
    size_t have = f.end - f.start;
    if (f.oversizeLeft > 0) {
        uint64_t total = kRecordHeaderSize + uint64_t{f.oversize.payloadLength};
        *error = "stream ended inside a record (" + std::to_string(total - f.oversizeLeft) + " of " +
                 std::to_string(total) + " bytes)";
        return true;
    }
    if (have == 0) return false;
    if (have < kRecordHeaderSize) {
        *error = "stream ended inside a record header (" + std::to_string(have) + " of " +
                 std::to_string(kRecordHeaderSize) + " bytes)";
    } else {
        uint32_t len = readBe32(f.buf.data() + f.start + 32);
        *error = "stream ended inside a record (" + std::to_string(have) + " of " +
                 std::to_string(kRecordHeaderSize + len) + " bytes)";
    }
    return true;
}

std::string formatRecordLine(const RecordHeader& h, const uint8_t* payload, size_t len) {
    time_t secs = static_cast<time_t>(h.timestampMs / 1000);
    struct tm tm;
    localtime_r(&secs, &tm);
    char buf[160];
    snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03u from %u.%u.%u.%u port %d stream %u len %u",
             tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<unsigned>(h.timestampMs % 1000),
             h.address >> 24, (h.address >> 16) & 0xFF, (h.address >> 8) & 0xFF,
             h.address & 0xFF, h.localPort, h.streamId, h.payloadLength);
    std::string line = buf;
    NetflowHeader nf;
    if (decodeNetflowHeader(payload, len, &nf)) {
        snprintf(buf, sizeof buf, " netflow v%d %s %u seq %u", nf.version,
                 nf.version == 10 ? "length" : "count", nf.count, nf.sequence);
        line += buf;
    }
    return line;
}

std::vector<uint8_t> encodePortUpdate(const std::vector<int32_t>& ports) {
    std::vector<uint8_t> out;
    out.push_back(kRequestPortUpdate);
    appendBe32(out, static_cast<uint32_t>(ports.size()));
    for (int32_t p : ports) appendBe32(out, static_cast<uint32_t>(p));
    return out;
}
