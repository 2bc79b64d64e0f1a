// libFuzzer target: the relay's template cache fed any exporter messages.
//
// An input is one byte of set-up (the caps, and whether the index hash puts
// every id of a domain in one place), then a run of messages, each behind
// a 2-byte big-endian length whose top bit names one of two exporters.
// After each message: a message counted malformed has left its exporter
// exactly as it was; every account equals what the arrays really hold and
// stays within the caps; and the messages built to send an exporter's
// templates again, read back by a fresh cache, give the same templates and
// headers, and taken in again by the same cache change nothing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "collector/templates.h"

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "template cache: %s\n", what);
    abort();
}

using Template = std::tuple<uint32_t, uint32_t, uint16_t, std::vector<uint8_t>>;  // domain, kind, id, record
using Header = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>;  // domain, export time, sequence, uptime

struct Snapshot {
    std::vector<Template> templates;
    std::vector<Header> headers;
    size_t held = 0;
    bool operator==(const Snapshot& o) const {
        return templates == o.templates && headers == o.headers && held == o.held;
    }
};

Snapshot snapshot(const ExporterTemplates& e) {
    Snapshot s;
    if (!e.store) return s;
    const TemplateStore& t = *e.store;
    for (const TemplateEntry& x : t.entries)
        s.templates.emplace_back(x.domain, x.kind, x.id,
                                 std::vector<uint8_t>(&t.bytes[x.offset], &t.bytes[x.offset] + x.length));
    for (const TemplateDomain& d : t.domains) s.headers.emplace_back(d.domain, d.exportTime, d.sequence, d.sysUptime);
    std::sort(s.templates.begin(), s.templates.end());
    std::sort(s.headers.begin(), s.headers.end());
    s.held = t.held;
    return s;
}

template <typename T>
size_t block(const std::vector<T>& v) {
    return v.capacity() ? v.capacity() * sizeof(T) + kBlockOverhead : 0;
}

size_t checkAccount(const TemplateCache& cache, const ExporterTemplates& e) {
    if (!e.store) return 0;
    const TemplateStore& t = *e.store;
    check(!t.entries.empty(), "a store without templates is kept");
    size_t real = sizeof(TemplateStore) + kBlockOverhead + block(t.bytes) + block(t.entries) + block(t.domains) +
                  block(t.index);
    check(real == t.held, "an account is not what the store holds");
    check(t.held <= cache.perExporterLimit, "over the exporter's cap");
    size_t live = 0;
    for (const TemplateEntry& x : t.entries) live += x.length;
    check(live + t.dead == t.bytes.size(), "dead bytes miscounted");
    return t.held;
}

// The resend messages of `e`: read back by a fresh cache they give the
// same templates and headers; taken in again by `cache` they change nothing.
void checkResend(TemplateCache& cache, ExporterTemplates& e) {
    TemplateCache back;
    back.perExporterLimit = back.totalLimit = SIZE_MAX / 2;
    back.capSaid = true;
    back.idWords.swap(cache.idWords);  // lent, not drawn anew for every message
    ExporterTemplates copy;
    std::vector<std::vector<uint8_t>> messages;
    static std::vector<uint8_t> out(70000);
    TemplateCursor cursor;
    for (size_t need; (need = templatesNextNeed(e, &cursor)) != 0;) {
        size_t n = templatesBuildMessage(e, &cursor, 200, out.data(), out.size());
        check(n >= need && (n <= 200 || n == need), "a resend message of the wrong size");
        messages.emplace_back(out.begin(), out.begin() + n);
        templatesObserve(back, copy, out.data(), n, 0);
    }
    cache.idWords.swap(back.idWords);
    check(back.malformed == 0 && back.refused == 0, "a resent message is malformed");
    check(back.cached == (e.store ? e.store->entries.size() : 0), "a template resent twice or never");
    Snapshot mine = snapshot(e), theirs = snapshot(copy);
    check(mine.templates == theirs.templates && mine.headers == theirs.headers, "resent templates differ");
    uint64_t cached = cache.cached, malformed = cache.malformed;
    for (const std::vector<uint8_t>& m : messages) templatesObserve(cache, e, m.data(), m.size(), 0);
    check(cache.cached == cached && cache.malformed == malformed && snapshot(e) == mine,
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
    size_t at = 1;
    while (size - at >= 2) {
        ExporterTemplates& e = exporters[data[at] >> 7];
        size_t len = static_cast<size_t>(data[at] & 0x7F) << 8 | data[at + 1];
        at += 2;
        if (len > size - at) len = size - at;
        // Copied so that the sanitizer sees a read past the message.
        std::vector<uint8_t> message(data + at, data + at + len);
        at += len;
        Snapshot before = snapshot(e);
        uint64_t malformed = cache.malformed;
        templatesObserve(cache, e, message.data(), message.size(), 0);
        if (cache.malformed != malformed) check(snapshot(e) == before, "a malformed message changed the cache");
        checkResend(cache, e);
        size_t total = checkAccount(cache, exporters[0]) + checkAccount(cache, exporters[1]);
        check(total == cache.bytes && cache.bytes <= cache.totalLimit, "the total account is wrong or over its cap");
    }
    cache.idWords.swap(table);
    return 0;
}
