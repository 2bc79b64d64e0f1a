#include "sequence.h"

#include "template_store.h"

namespace {

using namespace template_store;

// An index slot holds sequence domain i as i + 1, stream i as
// kStreamRef | (i + 1); zero is empty.
constexpr uint32_t kStreamRef = 0x80000000u;

const SequenceStream& streamOf(const TemplateStore& s, uint32_t v) { return s.streams[(v & ~kStreamRef) - 1]; }

// SCTP stream numbers are 16 bits; the rest of the record header's word
// only moves the hash.
uint64_t streamHash(TemplateCache& c, uint32_t domain, uint32_t stream) {
    return hashOf(c, domain, static_cast<uint16_t>(stream)) ^ (stream >> 16);
}

uint64_t slotHash(TemplateCache& c, const TemplateStore& s, uint32_t v) {
    if (!(v & kStreamRef)) return hashOf(c, s.sequences[v - 1].domain, 0);
    const SequenceStream& t = streamOf(s, v);
    return streamHash(c, t.domain, t.stream);
}

// The slot of the domain, or with `isStream` of its stream, or the empty
// one where it would go. The index is never full.
size_t probe(const TemplateStore& s, uint64_t hash, uint32_t domain, uint32_t stream, bool isStream) {
    size_t mask = s.sequenceIndex.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        uint32_t v = s.sequenceIndex[i];
        if (v == 0) return i;
        if (!(v & kStreamRef)) {
            if (!isStream && s.sequences[v - 1].domain == domain) return i;
        } else if (isStream && streamOf(s, v).domain == domain && streamOf(s, v).stream == stream) {
            return i;
        }
    }
}

// Room in the index for one more, at a load of at most one half.
bool indexRoom(TemplateCache& c, TemplateStore& s) {
    size_t size = s.sequenceIndex.size();
    if (2 * (s.sequences.size() + s.streams.size() + 1) <= size) return true;
    size_t want = std::max<size_t>(2 * size, 8);
    if (!fits(c, s, blockBytes<uint32_t>(want) - blockBytes<uint32_t>(size))) return false;
    size_t before = blockBytes<uint32_t>(s.sequenceIndex.capacity());
    StoreArray<uint32_t>(want, 0).swap(s.sequenceIndex);
    auto put = [&](uint32_t v) {
        size_t i = slotHash(c, s, v) & (want - 1);
        while (s.sequenceIndex[i] != 0) i = (i + 1) & (want - 1);
        s.sequenceIndex[i] = v;
    };
    for (uint32_t i = 0; i < s.sequences.size(); ++i) put(i + 1);
    for (uint32_t i = 0; i < s.streams.size(); ++i) put(kStreamRef | (i + 1));
    account(c, s, before, blockBytes<uint32_t>(s.sequenceIndex.capacity()));
    return true;
}

bool full(const TemplateStore& s) { return s.sequences.size() + s.streams.size() + 1 >= kStreamRef - 1; }

// The domain's place in `sequences`, added (`*fresh`) if it has none and
// the caps allow; kNoSequence if not.
uint32_t domainFor(TemplateCache& c, TemplateStore& s, uint32_t domain, bool* fresh) {
    *fresh = false;
    uint64_t hash = hashOf(c, domain, 0);
    if (!s.sequenceIndex.empty()) {
        uint32_t v = s.sequenceIndex[probe(s, hash, domain, 0, false)];
        if (v) return v - 1;
    }
    if (full(s) || !room(c, s, s.sequences, s.sequences.size() + 1) || !indexRoom(c, s)) return kNoSequence;
    uint32_t i = static_cast<uint32_t>(s.sequences.size());
    s.sequences.emplace_back();
    s.sequences[i].domain = domain;
    s.sequenceIndex[probe(s, hash, domain, 0, false)] = i + 1;
    *fresh = true;
    return i;
}

uint32_t streamFor(TemplateCache& c, TemplateStore& s, uint32_t domain, uint32_t stream, bool* fresh) {
    *fresh = false;
    uint64_t hash = streamHash(c, domain, stream);
    uint32_t v = s.sequenceIndex[probe(s, hash, domain, stream, true)];
    if (v) return (v & ~kStreamRef) - 1;
    if (full(s) || !room(c, s, s.streams, s.streams.size() + 1) || !indexRoom(c, s)) return kNoSequence;
    uint32_t i = static_cast<uint32_t>(s.streams.size());
    s.streams.emplace_back();
    s.streams[i].domain = domain;
    s.streams[i].stream = stream;
    s.sequenceIndex[probe(s, hash, domain, stream, true)] = kStreamRef | (i + 1);
    *fresh = true;
    return i;
}

}  // namespace

SequenceMark sequenceObserve(TemplateCache& c, ExporterTemplates& e, const uint8_t* data, size_t len,
                             uint32_t stream) {
    SequenceMark m;
    bool counted = templatesCount(c, e, data, len, &m.records);
    c.records += m.records;
    const bool ipfix = e.version == 10;
    const uint32_t domain = readBe32(data + (ipfix ? 12 : 16));
    const uint32_t number = readBe32(data + (ipfix ? 8 : 12));
    TemplateStore* s = storeFor(c, e);
    bool fresh = false, freshStream = false;
    uint32_t d = s ? domainFor(c, *s, domain, &fresh) : kNoSequence;
    if (fresh) s->sequences[d].next = s->sequences[d].expected = number;
    uint32_t t = d != kNoSequence && ipfix ? streamFor(c, *s, domain, stream, &freshStream) : kNoSequence;
    if (d == kNoSequence || (ipfix && t == kNoSequence)) {
        ++c.untracked;
        if (s && s->entries.empty() && s->sequences.empty()) templatesForget(c, e);
        return m;
    }
    SequenceDomain& sd = s->sequences[d];
    if (!ipfix) {
        // The datagram goes out as far from the last one as it came.
        auto gap = static_cast<int32_t>(number - sd.expected);
        if (gap > 0) {
            sd.missing += static_cast<uint32_t>(gap);
            c.missing += static_cast<uint32_t>(gap);
        } else if (gap < 0) {
            ++sd.disorder;
            ++c.disorder;
        }
        sd.next += static_cast<uint32_t>(gap);
        sd.expected = number;
        m.domain = d;
        return m;
    }
    SequenceStream& st = s->streams[t];
    auto gap = freshStream ? 0 : static_cast<int32_t>(number - st.expected);
    if (gap > 0) {
        sd.next += static_cast<uint32_t>(gap);
        if (!st.uncounted) {
            st.missing += static_cast<uint32_t>(gap);
            sd.missing += static_cast<uint32_t>(gap);
            c.missing += static_cast<uint32_t>(gap);
        }
    } else if (gap < 0) {
        ++st.disorder;
        ++sd.disorder;
        ++c.disorder;
    }
    st.expected = number + m.records;
    st.uncounted = !counted;
    m.domain = d;
    return m;
}

void sequenceStamp(ExporterTemplates& e, const SequenceMark& m, uint8_t* data) {
    if (m.domain == kNoSequence) return;
    SequenceDomain& sd = e.store->sequences[m.domain];
    if (e.version == 10) {
        writeBe32(data + 8, sd.next);
        sd.next += m.records;
    } else {
        writeBe32(data + 12, sd.next++);
        ++sd.expected;
    }
}

bool sequenceForResend(TemplateCache& c, ExporterTemplates& e, uint32_t domain, uint32_t* number) {
    TemplateStore* s = e.store.get();
    if (!s || s->sequenceIndex.empty()) return false;
    uint32_t v = s->sequenceIndex[probe(*s, hashOf(c, domain, 0), domain, 0, false)];
    if (!v) return false;
    SequenceDomain& sd = s->sequences[v - 1];
    *number = sd.next;
    if (e.version == 9) ++sd.next;
    return true;
}
