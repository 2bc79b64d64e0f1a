// libFuzzer target: the relay's template cache fed any exporter messages.
//
// An input is a run of messages, each behind a 2-byte big-endian length, all
// from one exporter, into a cache with small caps. After each message: a
// message counted malformed has left the cache exactly as it was; the byte
// accounts agree with what is held and stay within the caps; and the
// messages built to send the templates again, read back by a fresh cache,
// are well-formed and give the same templates.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "collector/templates.h"

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "template cache: %s\n", what);
    abort();
}

bool same(const ExporterTemplates& a, const ExporterTemplates& b) {
    if (a.templates.size() != b.templates.size() || a.bytes != b.bytes) return false;
    for (const CachedTemplate& t : a.templates) {
        bool found = false;
        for (const CachedTemplate& u : b.templates)
            found = found || (t.domain == u.domain && t.id == u.id && t.setId == u.setId &&
                              t.record == u.record);
        if (!found) return false;
    }
    return true;
}

void checkAccounts(const TemplateCache& cache, const ExporterTemplates& e) {
    size_t held = 0;
    for (const CachedTemplate& t : e.templates) held += t.record.size();
    check(held == e.bytes && e.bytes == cache.bytes, "byte accounts disagree");
    check(e.bytes <= cache.perExporterLimit && cache.bytes <= cache.totalLimit, "over a cap");
}

// The resend messages of `e`, taken in again by a cache of their own.
void checkResend(TemplateCache& cache, ExporterTemplates& e) {
    TemplateCache back;
    back.capSaid = true;
    ExporterTemplates copy;
    size_t total = 0;
    templatesResend(cache, e, 0, 200, [&](const uint8_t* m, size_t n) {
        uint64_t malformed = back.malformed;
        templatesObserve(back, copy, m, n, 0);
        check(back.malformed == malformed, "a resent message is malformed");
        total += n;
    });
    check(total > 0 || e.templates.empty(), "templates held but none resent");
    check(same(e, copy), "resent templates differ from the cached ones");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TemplateCache cache;
    cache.perExporterLimit = 600;
    cache.totalLimit = 600;
    cache.capSaid = true;  // nothing to say a million times over
    ExporterTemplates e;
    size_t at = 0;
    while (size - at >= 2) {
        size_t len = size_t{data[at]} << 8 | data[at + 1];
        at += 2;
        if (len > size - at) len = size - at;
        // Copied so that the sanitizer sees a read past the message.
        std::vector<uint8_t> message(data + at, data + at + len);
        at += len;
        ExporterTemplates before = e;
        uint64_t malformed = cache.malformed;
        templatesObserve(cache, e, message.data(), message.size(), 0);
        if (cache.malformed != malformed) check(same(before, e), "a malformed message changed the cache");
        checkAccounts(cache, e);
        checkResend(cache, e);
    }
    return 0;
}
