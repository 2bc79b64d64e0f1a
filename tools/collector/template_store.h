// What templates.cpp and sequence.cpp share about an exporter's store: how
// its arrays are counted against the cache's caps, and the keyed hash of
// (domain, 16-bit id) their indexes use.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/netflow.h"
#include "templates.h"

namespace template_store {

constexpr size_t kStoreOverhead = sizeof(TemplateStore) + kBlockOverhead;


inline bool fits(const TemplateCache& c, const TemplateStore& s, size_t extra) {
    return s.held + extra <= c.perExporterLimit && c.bytes + extra <= c.totalLimit;
}

inline void account(TemplateCache& c, TemplateStore& s, size_t before, size_t after) {
    s.held = s.held - before + after;
    c.bytes = c.bytes - before + after;
}

template <typename T>
void recapacity(TemplateCache& c, TemplateStore& s, StoreArray<T>& v, size_t capacity) {
    size_t before = blockBytes<T>(v.capacity());
    StoreArray<T> moved;
    moved.reserve(capacity);
    moved.insert(moved.end(), v.begin(), v.end());
    v.swap(moved);
    account(c, s, before, blockBytes<T>(v.capacity()));
}

// Room for `need` elements: doubling while the caps allow, else an eighth
// more, so that growing stays linear; false when not even that fits.
template <typename T>
bool room(TemplateCache& c, TemplateStore& s, StoreArray<T>& v, size_t need) {
    size_t cap = v.capacity();
    if (need <= cap) return true;
    for (size_t want : {std::max(need, 2 * cap), std::max(need, cap + cap / 8)}) {
        if (!fits(c, s, blockBytes<T>(want) - blockBytes<T>(cap))) continue;
        recapacity(c, s, v, want);
        return true;
    }
    return false;
}

// The exporter's store, made if it has none and the caps allow; null if not.
inline TemplateStore* storeFor(TemplateCache& c, ExporterTemplates& e) {
    if (e.store) return e.store.get();
    if (kStoreOverhead > c.perExporterLimit || c.bytes + kStoreOverhead > c.totalLimit) return nullptr;
    e.store.reset(new TemplateStore);
    e.store->held = kStoreOverhead;
    c.bytes += kStoreOverhead;
    return e.store.get();
}

// The cache's random words, drawn at the first message that needs them
// unless set before (kIdWords words of 16 bits, as no index has more slots).
inline void drawKeys(TemplateCache& c) {
    if (!c.idWords.empty()) return;
    drawRandom(&c.key, sizeof c.key);
    c.idWords.resize(kIdWords);
    drawRandom(c.idWords.data(), kIdWords * sizeof(uint16_t));
}

inline uint64_t hashOf(TemplateCache& c, uint32_t domain, uint16_t id) {
    if (!c.memo || c.memoDomain != domain) {
        c.memoHash = keyedHash(c.key, domain);
        c.memoDomain = domain;
        c.memo = true;
    }
    return c.memoHash ^ c.idWords[id];
}

}  // namespace template_store
