// libFuzzer target: the relay's template cache and sequence numbering fed
// any exporter messages.
//
// An input is one byte of set-up (the caps, and whether the index hash puts
// every id of a domain in one place), then a run of messages, each behind
// a 2-byte big-endian length whose top bit names one of two exporters and
// whose next bit one of two SCTP streams. Each message taken is counted and
// numbered as the relay does. After each message: a message counted
// malformed has left its exporter exactly as it was; the data records
// counted are those a walk field by field finds; every account equals what
// the arrays really hold and stays within the caps; and the messages built
// to send an exporter's templates again carry the numbers its sequence
// state gives, read back by a fresh cache give the same templates and
// headers, and taken in again by the same cache change nothing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "collector/sequence.h"
#include "common/netflow.h"
#include "collector/templates.h"

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "template cache: %s\n", what);
    abort();
}

using Template = std::tuple<uint32_t, uint32_t, uint16_t, std::vector<uint8_t>>;  // domain, kind, id, record
// Domain, export time, uptime; a resend's sequence number is the sequence state's, checked on its own.
using Header = std::tuple<uint32_t, uint32_t, uint32_t>;

struct Snapshot {
    std::vector<Template> templates;
    std::vector<Header> headers;
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> sequences;  // domain, expected, next
    size_t held = 0;
    bool operator==(const Snapshot& o) const {
        return templates == o.templates && headers == o.headers && sequences == o.sequences && held == o.held;
    }
};

Snapshot snapshot(const ExporterTemplates& e) {
    Snapshot s;
    if (!e.store) return s;
    const TemplateStore& t = *e.store;
    for (const TemplateEntry& x : t.entries)
        s.templates.emplace_back(x.domain, x.kind, x.id,
                                 std::vector<uint8_t>(&t.bytes[x.offset], &t.bytes[x.offset] + x.length));
    for (const SequenceDomain& d : t.sequences) s.sequences.emplace_back(d.domain, d.expected, d.next);
    for (const TemplateDomain& d : t.domains) s.headers.emplace_back(d.domain, d.exportTime, d.sysUptime);
    std::sort(s.templates.begin(), s.templates.end());
    std::sort(s.headers.begin(), s.headers.end());
    s.held = t.held;
    return s;
}

// A block as the store's arrays take it: from a page on, whole mapped
// pages; under it, a heap block rounded to 16 bytes with its header.
template <typename T>
size_t block(const StoreArray<T>& v) {
    size_t n = v.capacity() * sizeof(T);
    if (n >= kPageBytes) return (n + kPageBytes - 1) & ~(kPageBytes - 1);
    return n ? ((n + 15) & ~size_t{15}) + kBlockOverhead : 0;
}

size_t checkAccount(const TemplateCache& cache, const ExporterTemplates& e) {
    if (!e.store) return 0;
    const TemplateStore& t = *e.store;
    check(!t.entries.empty() || !t.sequences.empty(), "a store without templates or sequence state is kept");
    size_t real = sizeof(TemplateStore) + kBlockOverhead + block(t.bytes) + block(t.entries) + block(t.domains) +
                  block(t.index) + block(t.sequences) + block(t.streams) + block(t.sequenceIndex);
    check(real == t.held, "an account is not what the store holds");
    check(t.held <= cache.perExporterLimit, "over the exporter's cap");
    check(2 * (t.sequences.size() + t.streams.size()) <= t.sequenceIndex.size(), "sequence index over half full");
    size_t live = 0;
    for (const TemplateEntry& x : t.entries) live += templateExtent(x);
    check(live + t.dead == t.bytes.size(), "dead bytes miscounted");
    return t.held;
}

// The data records of a message taken, walked field by field with the
// template records the store holds; false when a set's template is not
// held or its records can be empty. Gives up (`*given`) past a budget of
// steps, as a walk this slow is quadratic.
bool slowCount(const ExporterTemplates& e, const uint8_t* m, size_t len, uint32_t* records, bool* given) {
    const bool ipfix = e.version == 10;
    const uint32_t domain = readBe32(m + (ipfix ? 12 : 16));
    size_t at = ipfix ? 16 : 20, steps = 0;
    bool known = true;
    *records = 0;
    *given = false;
    while (len - at >= 4) {
        uint16_t id = readBe16(m + at), setLen = readBe16(m + at + 2);
        if (setLen < 4 || setLen > len - at) break;
        size_t end = at + setLen, p = at + 4;
        at = end;
        if (id < 256) continue;
        const TemplateEntry* t = nullptr;
        for (size_t i = 0; e.store && i < e.store->entries.size(); ++i)
            if (e.store->entries[i].domain == domain && e.store->entries[i].id == id) t = &e.store->entries[i];
        if (!t) {
            known = false;
            continue;
        }
        const uint8_t* rec = &e.store->bytes[t->offset];
        std::vector<uint16_t> lengths;
        size_t least = 0;
        for (size_t f = t->kind ? 6 : 4; f < t->length; f += ipfix && (rec[f] & 0x80) ? 8 : 4) {
            lengths.push_back(readBe16(rec + f + 2));
            least += ipfix && lengths.back() == 0xFFFF ? 1 : lengths.back();
        }
        if (least == 0) {
            known = false;
            continue;
        }
        while (end - p >= least) {
            size_t q = p;
            for (uint16_t l : lengths) {
                if (++steps > 2000000) return *given = true;
                if (!ipfix || l != 0xFFFF) {
                    q += l;
                    continue;
                }
                if (q >= end) {
                    q = end + 1;
                    break;
                }
                size_t v = m[q++];
                if (v == 255) {
                    if (end - q < 2) {
                        q = end + 1;
                        break;
                    }
                    v = readBe16(m + q);
                    q += 2;
                }
                q += v;
            }
            if (q > end) break;
            ++*records;
            p = q;
        }
    }
    return known;
}

// The resend messages of `e`: each carries the number its domain's sequence
// state gives (a v9 domain's taking one after another), or the domain's
// latest where it has none; read back by a fresh cache they give the same
// templates and headers; taken in again by `cache` they change nothing.
void checkResend(TemplateCache& cache, ExporterTemplates& e) {
    std::vector<std::vector<uint8_t>> messages;
    static std::vector<uint8_t> out(70000);
    TemplateCursor cursor;
    for (size_t need; (need = templatesNextNeed(e, &cursor)) != 0;) {
        const TemplateDomain& d = e.store->domains[cursor.domain];
        uint32_t want = d.sequence;
        for (const SequenceDomain& q : e.store->sequences)
            if (q.domain == d.domain) want = q.next;
        size_t n = templatesBuildMessage(cache, e, &cursor, 200, out.data(), out.size());
        check(n >= need && (n <= 200 || n == need), "a resend message of the wrong size");
        check(readBe32(out.data() + (e.version == 10 ? 8 : 12)) == want, "a resend message numbered wrong");
        messages.emplace_back(out.begin(), out.begin() + n);
    }
    TemplateCache back;
    back.perExporterLimit = back.totalLimit = SIZE_MAX / 2;
    back.capSaid = true;
    back.idWords.swap(cache.idWords);  // lent, not drawn anew for every message
    ExporterTemplates copy;
    for (const std::vector<uint8_t>& m : messages) templatesObserve(back, copy, m.data(), m.size(), 0);
    cache.idWords.swap(back.idWords);
    check(back.malformed == 0 && back.refused == 0, "a resent message is malformed");
    check(back.cached == (e.store ? e.store->entries.size() : 0), "a template resent twice or never");
    Snapshot mine = snapshot(e), theirs = snapshot(copy);
    check(mine.templates == theirs.templates && mine.headers == theirs.headers, "resent templates differ");
    mine.sequences.clear();
    uint64_t cached = cache.cached, malformed = cache.malformed;
    for (const std::vector<uint8_t>& m : messages) templatesObserve(cache, e, m.data(), m.size(), 0);
    Snapshot again = snapshot(e);
    again.sequences.clear();
    check(cache.cached == cached && cache.malformed == malformed && again == mine,
          "taking in the resent templates changed them");
}

std::vector<uint16_t> spreadWords() {
    std::vector<uint16_t> words(kIdWords);
    for (size_t i = 0; i < kIdWords; ++i) words[i] = static_cast<uint16_t>(i * 40503u >> 3);
    return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    TemplateCache cache;
    cache.perExporterLimit = 600 + 200 * (data[0] & 7);
    cache.totalLimit = data[0] & 8 ? cache.perExporterLimit + 400 : 4 * cache.perExporterLimit;
    cache.capSaid = true;  // nothing to say a million times over
    // Either every id of a domain hashes alike, so that probe runs and
    // their repair are long, or the ids spread as they do for real. Lent
    // to the cache, as filling them for every input would take longer than
    // the input itself.
    static std::vector<uint16_t> tables[2] = {std::vector<uint16_t>(kIdWords), spreadWords()};
    std::vector<uint16_t>& table = tables[data[0] & 16 ? 0 : 1];
    cache.idWords.swap(table);
    ExporterTemplates exporters[2];
    int64_t nowMs = 0;  // spare capacity goes back at most once a second: now and then here
    size_t at = 1;
    while (size - at >= 2) {
        ExporterTemplates& e = exporters[data[at] >> 7];
        uint32_t stream = data[at] >> 6 & 1;
        size_t len = static_cast<size_t>(data[at] & 0x3F) << 8 | data[at + 1];
        at += 2;
        if (len > size - at) len = size - at;
        // Copied so that the sanitizer sees a read past the message.
        std::vector<uint8_t> message(data + at, data + at + len);
        at += len;
        Snapshot before = snapshot(e);
        uint64_t malformed = cache.malformed;
        bool taken = templatesObserve(cache, e, message.data(), message.size(), nowMs += 300);
        if (cache.malformed != malformed) check(snapshot(e) == before, "a malformed message changed the cache");
        if (taken) {
            uint32_t slow = 0, fast = 0;
            bool given = false, known = slowCount(e, message.data(), message.size(), &slow, &given);
            bool fastKnown = templatesCount(cache, e, message.data(), message.size(), &fast);
            check(given || (fast == slow && fastKnown == known), "data records miscounted");
            SequenceMark mark = sequenceObserve(cache, e, message.data(), message.size(), stream);
            check(mark.records == fast, "a message counted two ways");
            sequenceStamp(e, mark, message.data());
        }
        checkResend(cache, e);
        size_t total = checkAccount(cache, exporters[0]) + checkAccount(cache, exporters[1]);
        check(total == cache.bytes && cache.bytes <= cache.totalLimit, "the total account is wrong or over its cap");
    }
    cache.idWords.swap(table);
    return 0;
}
