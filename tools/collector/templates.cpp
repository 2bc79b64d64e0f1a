#include "templates.h"

#include <cstdio>
#include <cstring>

#include "common/netflow.h"

namespace {

constexpr size_t kIpfixHeader = 16;
constexpr size_t kV9Header = 20;
constexpr size_t kSetHeader = 4;
constexpr uint16_t kFirstDataId = 256;

bool allZero(const uint8_t* p, const uint8_t* end) {
    for (; p < end; ++p)
        if (*p) return false;
    return true;
}

// One template record or withdrawal found in a message, as handed from the
// walk to whoever wants it.
struct Found {
    uint32_t domain;
    uint16_t setId;
    uint16_t id;
    bool withdrawal;
    const uint8_t* record;
    size_t len;
};

// Walks the template records of one set or flowset in [p, end). Returns
// false when they do not fit their set. `visit` may be null (checking only).
template <typename Visit>
bool walkTemplateSet(int version, uint32_t domain, uint16_t setId, const uint8_t* p,
                     const uint8_t* end, Visit visit) {
    const bool options = setId == 1 || setId == 3;
    while (end - p >= 4 && !allZero(p, end)) {
        const uint8_t* start = p;
        uint16_t id = readBe16(p);
        uint16_t count = readBe16(p + 2);
        if (version == 10 && count == 0) {
            // A withdrawal: one template, or with the set's own id all of
            // that kind.
            if (id < kFirstDataId && id != setId) return false;
            visit(Found{domain, setId, id, true, start, 4});
            p += 4;
            continue;
        }
        if (id < kFirstDataId) return false;
        size_t fieldBytes = 0;
        if (version == 10) {
            size_t head = options ? 6 : 4;
            if (static_cast<size_t>(end - p) < head) return false;
            if (options) {
                uint16_t scope = readBe16(p + 4);
                if (scope == 0 || scope > count) return false;
            }
            p += head;
            for (uint16_t i = 0; i < count; ++i) {
                if (end - p < 4) return false;
                // The enterprise bit adds a 4-byte enterprise number.
                size_t field = readBe16(p) & 0x8000 ? 8 : 4;
                if (static_cast<size_t>(end - p) < field) return false;
                p += field;
            }
        } else if (!options) {
            if (count == 0) return false;
            fieldBytes = size_t{count} * 4;
            if (static_cast<size_t>(end - p) < 4 + fieldBytes) return false;
            p += 4 + fieldBytes;
        } else {
            if (end - p < 6) return false;
            uint16_t scope = count;  // v9 options: scope length, then option length, in bytes
            uint16_t option = readBe16(p + 4);
            if (scope % 4 || option % 4 || scope + option == 0) return false;
            fieldBytes = size_t{scope} + option;
            if (static_cast<size_t>(end - p) < 6 + fieldBytes) return false;
            p += 6 + fieldBytes;
        }
        visit(Found{domain, setId, id, false, start, static_cast<size_t>(p - start)});
    }
    return true;
}

// Walks every template record of a whole message. False, having visited
// whatever came before the fault, when the message is not consistent with
// its own lengths.
template <typename Visit>
bool walkMessage(int version, const uint8_t* data, size_t len, Visit visit) {
    size_t header = version == 10 ? kIpfixHeader : kV9Header;
    if (len < header) return false;
    if (version == 10 && readBe16(data + 2) != len) return false;
    uint32_t domain = readBe32(data + (version == 10 ? 12 : 16));
    const uint8_t* p = data + header;
    const uint8_t* end = data + len;
    while (end - p >= static_cast<ptrdiff_t>(kSetHeader)) {
        uint16_t setId = readBe16(p);
        uint16_t setLen = readBe16(p + 2);
        if (setLen < kSetHeader || setLen > end - p) return false;
        bool templates = version == 10 ? setId == 2 || setId == 3 : setId == 0 || setId == 1;
        if (templates && !walkTemplateSet(version, domain, setId, p + kSetHeader, p + setLen, visit))
            return false;
        p += setLen;
    }
    // IPFIX sets fill the message exactly; v9 leaves nothing to say how long
    // it is, and some exporters pad the datagram.
    return p == end || version == 9;
}

CachedTemplate* find(ExporterTemplates& e, uint32_t domain, uint16_t id) {
    for (CachedTemplate& t : e.templates)
        if (t.domain == domain && t.id == id) return &t;
    return nullptr;
}

void removeAt(TemplateCache& cache, ExporterTemplates& e, size_t i) {
    size_t n = e.templates[i].record.size();
    e.bytes -= n;
    cache.bytes -= n;
    // Order does not matter to a collector; moving the last in its place
    // keeps removal from copying records.
    if (i + 1 != e.templates.size()) e.templates[i] = std::move(e.templates.back());
    e.templates.pop_back();
}

void apply(TemplateCache& cache, ExporterTemplates& e, const Found& f) {
    if (f.withdrawal) {
        bool all = f.id == f.setId;
        for (size_t i = e.templates.size(); i-- > 0;) {
            const CachedTemplate& t = e.templates[i];
            if (t.domain == f.domain && (all ? t.setId == f.setId : t.id == f.id)) {
                removeAt(cache, e, i);
                ++cache.withdrawn;
            }
        }
        return;
    }
    CachedTemplate* t = find(e, f.domain, f.id);
    if (t && t->setId == f.setId && t->record.size() == f.len &&
        memcmp(t->record.data(), f.record, f.len) == 0)
        return;
    size_t old = t ? t->record.size() : 0;
    size_t grow = f.len > old ? f.len - old : 0;
    if (e.bytes + grow > cache.perExporterLimit || cache.bytes + grow > cache.totalLimit) {
        ++cache.refused;
        if (!cache.capSaid)
            fprintf(stderr,
                    "quorvane-collector: template cache full (%zu bytes per exporter, %zu in all);"
                    " templates beyond it are not kept\n",
                    cache.perExporterLimit, cache.totalLimit);
        cache.capSaid = true;
        return;
    }
    if (!t) {
        e.templates.emplace_back();
        t = &e.templates.back();
        t->domain = f.domain;
        t->id = f.id;
    }
    t->setId = f.setId;
    t->record.assign(f.record, f.record + f.len);
    e.bytes = e.bytes - old + f.len;
    cache.bytes = cache.bytes - old + f.len;
    ++cache.cached;
}

}  // namespace

void templatesObserve(TemplateCache& cache, ExporterTemplates& e, const uint8_t* data, size_t len,
                      int64_t nowMs) {
    if (len < 2) return;
    int version = readBe16(data);
    if (version != 9 && version != 10) return;
    ++e.sinceResend;
    // Checked whole before anything is taken, so a message that turns out
    // inconsistent halfway leaves the cache as it was.
    if (!walkMessage(version, data, len, [](const Found&) {})) {
        ++cache.malformed;
        return;
    }
    if (e.version != version) {
        templatesForget(cache, e);
        e.version = version;
    }
    if (version == 10) {
        e.exportTime = readBe32(data + 4);
        e.sequence = readBe32(data + 8);
        e.domain = readBe32(data + 12);
    } else {
        e.sysUptime = readBe32(data + 4);
        e.exportTime = readBe32(data + 8);
        e.sequence = readBe32(data + 12);
        e.domain = readBe32(data + 16);
    }
    bool had = !e.templates.empty();
    walkMessage(version, data, len, [&](const Found& f) { apply(cache, e, f); });
    // The message that brought the first templates carried them itself.
    if (!had && !e.templates.empty()) {
        e.sinceResend = 0;
        e.lastResendMs = nowMs;
    }
}

void templatesForget(TemplateCache& cache, ExporterTemplates& e) {
    cache.bytes -= e.bytes;
    e.bytes = 0;
    e.templates.clear();
}

bool templatesDue(const TemplateCache& cache, const ExporterTemplates& e, int64_t nowMs) {
    if (e.templates.empty()) return false;
    if (e.resendPending) return true;
    if (cache.refreshDatagrams && e.sinceResend >= cache.refreshDatagrams) return true;
    return cache.refreshSeconds && nowMs - e.lastResendMs >= int64_t{cache.refreshSeconds} * 1000;
}

void templatesBuildMessage(TemplateCache& cache, const ExporterTemplates& e, size_t* next,
                           size_t maxMessage) {
    std::vector<uint8_t>& out = cache.out;
    out.clear();
    if (*next >= e.templates.size()) return;
    const bool ipfix = e.version == 10;
    const uint32_t domain = e.templates[*next].domain;
    appendBe16(out, static_cast<uint16_t>(e.version));
    appendBe16(out, 0);  // IPFIX length or v9 count, filled in below
    if (ipfix) {
        // The exporter's own sequence number: it counts data records, and
        // this message has none, so the next data message follows it without
        // a gap.
        appendBe32(out, e.exportTime);
        appendBe32(out, e.sequence);
    } else {
        appendBe32(out, e.sysUptime);
        appendBe32(out, e.exportTime);
        // v9 counts export packets, and this one is extra: whether it
        // repeats the previous number or takes the next datagram's, nfcapd
        // counts one sequence failure for it. The next datagram's number
        // keeps v9 and IPFIX alike.
        appendBe32(out, e.sequence);
    }
    appendBe32(out, domain);
    size_t records = 0;
    size_t setStart = 0;
    uint16_t setId = 0xFFFF;
    while (*next < e.templates.size()) {
        const CachedTemplate& t = e.templates[*next];
        if (t.domain != domain) break;
        bool newSet = t.setId != setId;
        size_t need = t.record.size() + (newSet ? kSetHeader : 0);
        if (records > 0 && out.size() + need > maxMessage) break;
        if (newSet) {
            setStart = out.size();
            setId = t.setId;
            appendBe16(out, setId);
            appendBe16(out, 0);
        }
        out.insert(out.end(), t.record.begin(), t.record.end());
        size_t setLen = out.size() - setStart;
        out[setStart + 2] = static_cast<uint8_t>(setLen >> 8);
        out[setStart + 3] = static_cast<uint8_t>(setLen);
        ++records;
        ++*next;
    }
    size_t field = ipfix ? out.size() : records;
    out[2] = static_cast<uint8_t>(field >> 8);
    out[3] = static_cast<uint8_t>(field);
}
