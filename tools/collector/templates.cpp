#include "templates.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sequence.h"
#include "template_store.h"

namespace {

using namespace template_store;

constexpr size_t kIpfixHeader = 16;
constexpr size_t kV9Header = 20;
constexpr size_t kSetHeader = 4;
constexpr uint16_t kFirstDataId = 256;
constexpr uint32_t kDomainRef = 0x8000;
constexpr uint32_t kNoDomain = UINT32_MAX;
// Below this many bytes an array is not worth giving back.
constexpr size_t kSmallArray = 256;
// The least record store: a template or two.
constexpr size_t kSmallStore = 64;
// Spare capacity goes back at most this often per exporter.
constexpr int64_t kTrimEveryMs = 1000;
constexpr uint16_t kVariableLength = 0xFFFF;
// As quorvane-collector(1) counts them.
static_assert(sizeof(TemplateEntry) == 24 && sizeof(TemplateDomain) == 24 && sizeof(SequenceDomain) == 32 &&
                  sizeof(SequenceStream) == 32 && kStoreOverhead == 208,
              "the documented sizes");

bool allZero(const uint8_t* p, const uint8_t* end) {
    for (; p < end; ++p)
        if (*p) return false;
    return true;
}

// One template record or withdrawal found in a message.
struct Found {
    uint32_t kind;
    uint16_t id;
    bool withdrawal;
    const uint8_t* record;
    size_t len;
};

// Walks the template records of one set or flowset in [p, end). Returns
// false when they do not fit their set.
template <typename Visit>
bool walkTemplateSet(int version, uint16_t setId, const uint8_t* p, const uint8_t* end, Visit& visit) {
    const uint32_t kind = setId == 1 || setId == 3;
    while (end - p >= 4) {
        // Zeros to the end of the set are padding; a zero word before
        // anything else is not a record.
        if (readBe32(p) == 0) return allZero(p, end);
        const uint8_t* start = p;
        uint16_t id = readBe16(p);
        uint16_t count = readBe16(p + 2);
        if (version == 10 && count == 0) {
            // A withdrawal: one template, or with the set's own id all of
            // that kind.
            if (id < kFirstDataId && id != setId) return false;
            visit(Found{kind, id, true, start, 4});
            p += 4;
            continue;
        }
        if (id < kFirstDataId) return false;
        if (version == 10) {
            size_t head = kind ? 6 : 4;
            if (static_cast<size_t>(end - p) < head) return false;
            if (kind) {
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
        } else if (!kind) {
            if (count == 0) return false;
            size_t fieldBytes = size_t{count} * 4;
            if (static_cast<size_t>(end - p) < 4 + fieldBytes) return false;
            p += 4 + fieldBytes;
        } else {
            if (end - p < 6) return false;
            uint16_t scope = count;  // v9 options: scope length, then option length, in bytes
            uint16_t option = readBe16(p + 4);
            if (scope % 4 || option % 4 || scope + option == 0) return false;
            size_t fieldBytes = size_t{scope} + option;
            if (static_cast<size_t>(end - p) < 6 + fieldBytes) return false;
            p += 6 + fieldBytes;
        }
        visit(Found{kind, id, false, start, static_cast<size_t>(p - start)});
    }
    return true;
}

// Walks every template record of a whole message. False, having visited
// whatever came before the fault, when the message is not consistent with
// its own lengths.
template <typename Visit>
bool walkMessage(int version, const uint8_t* data, size_t len, Visit& visit) {
    size_t header = version == 10 ? kIpfixHeader : kV9Header;
    if (len < header) return false;
    if (version == 10 && readBe16(data + 2) != len) return false;
    const uint8_t* p = data + header;
    const uint8_t* end = data + len;
    while (end - p >= static_cast<ptrdiff_t>(kSetHeader)) {
        uint16_t setId = readBe16(p);
        uint16_t setLen = readBe16(p + 2);
        if (setLen < kSetHeader || setLen > end - p) {
            // v9 leaves nothing to say how long the message is, and some
            // exporters pad the datagram with zeros.
            return version == 9 && setId == 0 && setLen == 0 && allZero(p, end);
        }
        bool templates = version == 10 ? setId == 2 || setId == 3 : setId == 0 || setId == 1;
        if (templates && !walkTemplateSet(version, setId, p + kSetHeader, p + setLen, visit)) return false;
        p += setLen;
    }
    return p == end || version == 9;
}

// --- Memory: every array's capacity is counted, and only grows within the
// caps (template_store.h).

// Gives back capacity far beyond the need: after that, as many additions
// or removals as there are elements come before the next resize.
template <typename T>
void trim(TemplateCache& c, TemplateStore& s, StoreArray<T>& v) {
    if (v.capacity() * sizeof(T) > kSmallArray && v.capacity() > 4 * v.size())
        recapacity(c, s, v, std::max(2 * v.size(), kSmallArray / sizeof(T)));
}

// Copies the live records into a store of `capacity` bytes, leaving the dead.
void compact(TemplateCache& c, TemplateStore& s, size_t capacity) {
    size_t before = blockBytes<uint8_t>(s.bytes.capacity());
    StoreArray<uint8_t> live;
    live.reserve(capacity);
    for (TemplateEntry& e : s.entries) {
        const uint8_t* from = s.bytes.data() + e.offset;
        e.offset = static_cast<uint32_t>(live.size()) & 0x7FFFFFFF;
        live.insert(live.end(), from, from + templateExtent(e));
    }
    s.bytes.swap(live);
    s.dead = 0;
    account(c, s, before, blockBytes<uint8_t>(s.bytes.capacity()));
}

// Room to append `len` record bytes. Dead bytes are dropped when they are
// at least half the live ones, so a compaction costs no more than the
// withdrawals and replacements that left them.
bool storeRoom(TemplateCache& c, TemplateStore& s, size_t len) {
    StoreArray<uint8_t>& b = s.bytes;
    if (b.size() + len <= b.capacity()) return true;
    size_t live = b.size() - s.dead;
    bool drop = s.dead > 0 && 2 * s.dead >= live;
    size_t cap = b.capacity(), need = (drop ? live : b.size()) + len;
    if (drop && need <= cap) {
        compact(c, s, cap);
        return true;
    }
    for (size_t want : {std::max({need, 2 * cap, kSmallStore}), std::max(need, cap + cap / 8)}) {
        if (!fits(c, s, blockBytes<uint8_t>(want) - blockBytes<uint8_t>(cap))) continue;
        if (drop) compact(c, s, want);
        else recapacity(c, s, b, want);
        return true;
    }
    return false;
}

// --- The index.

// An index slot holds a template id in its upper half, so that a probe
// past other ids reads nothing else, and in its lower half entry i as
// i + 1, or domain j (id 0) as kDomainRef | j. Zero is empty.
uint32_t entrySlot(const TemplateStore& s, uint32_t i) { return uint32_t{s.entries[i].id} << 16 | (i + 1); }
uint32_t domainSlot(uint32_t j) { return kDomainRef | j; }
uint32_t entryOf(uint32_t slot) { return (slot & 0xFFFF) - 1; }
uint32_t domainOf(uint32_t slot) { return slot & (kDomainRef - 1); }

uint32_t domainOfSlot(const TemplateStore& s, uint32_t slot) {
    return slot & kDomainRef ? s.domains[domainOf(slot)].domain : s.entries[entryOf(slot)].domain;
}

uint64_t hashOfSlot(TemplateCache& c, const TemplateStore& s, uint32_t slot) {
    return hashOf(c, domainOfSlot(s, slot), static_cast<uint16_t>(slot >> 16));
}

// The slot holding (domain, id), or the empty one where it would go; id 0
// stands for the domain itself. The index is never full.
size_t probe(const TemplateStore& s, uint64_t hash, uint32_t domain, uint16_t id) {
    size_t mask = s.index.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        uint32_t v = s.index[i];
        if (v == 0 || (v >> 16 == id && domainOfSlot(s, v) == domain)) return i;
    }
}

// Where `slot`, which is in the index, lies.
size_t findSlot(TemplateCache& c, const TemplateStore& s, uint32_t slot) {
    size_t mask = s.index.size() - 1;
    size_t i = hashOfSlot(c, s, slot) & mask;
    while (s.index[i] != slot) i = (i + 1) & mask;
    return i;
}

void rehash(TemplateCache& c, TemplateStore& s, size_t size) {
    size_t before = blockBytes<uint32_t>(s.index.capacity());
    StoreArray<uint32_t>(size, 0).swap(s.index);
    size_t mask = size - 1;
    auto put = [&](uint32_t v) {
        size_t i = hashOfSlot(c, s, v) & mask;
        while (s.index[i] != 0) i = (i + 1) & mask;
        s.index[i] = v;
    };
    for (uint32_t i = 0; i < s.entries.size(); ++i) put(entrySlot(s, i));
    for (uint32_t j = 0; j < s.domains.size(); ++j) put(domainSlot(j));
    account(c, s, before, blockBytes<uint32_t>(s.index.capacity()));
}

size_t indexed(const TemplateStore& s) { return s.entries.size() + s.domains.size(); }

// Room for `more` values at a load of at most one half.
bool indexRoom(TemplateCache& c, TemplateStore& s, size_t more) {
    size_t need = 2 * (indexed(s) + more), size = s.index.size();
    if (need <= size) return true;
    size_t want = std::max<size_t>(size * 2, 8);
    while (want < need) want *= 2;
    if (!fits(c, s, blockBytes<uint32_t>(want) - blockBytes<uint32_t>(size))) return false;
    rehash(c, s, want);
    return true;
}

void indexTrim(TemplateCache& c, TemplateStore& s) {
    size_t size = s.index.size(), want = 8;
    if (size * sizeof(uint32_t) <= kSmallArray || 8 * indexed(s) >= size) return;
    while (want < 4 * indexed(s)) want *= 2;
    rehash(c, s, want);
}

// Empties slot i, moving back the later members of its run that would no
// longer be found past the hole.
void indexErase(TemplateCache& c, TemplateStore& s, size_t i) {
    size_t mask = s.index.size() - 1;
    for (size_t j = (i + 1) & mask; s.index[j] != 0; j = (j + 1) & mask) {
        size_t home = hashOfSlot(c, s, s.index[j]) & mask;
        bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (stays) continue;
        s.index[i] = s.index[j];
        i = j;
    }
    s.index[i] = 0;
}

// --- Entries, their lists and their domains.

uint32_t findDomain(TemplateCache& c, const TemplateStore& s, uint32_t domain) {
    if (s.index.empty()) return kNoDomain;
    uint32_t v = s.index[probe(s, hashOf(c, domain, 0), domain, 0)];
    return v ? domainOf(v) : kNoDomain;
}

void linkLast(TemplateStore& s, TemplateDomain& d, uint32_t kind, uint32_t i) {
    TemplateEntry& e = s.entries[i];
    e.kind = kind & 1;
    uint32_t& first = d.first[kind];
    if (first == kNoTemplate) {
        first = e.prev = e.next = i;
        return;
    }
    e.next = first;
    e.prev = s.entries[first].prev;
    s.entries[e.prev].next = i;
    s.entries[first].prev = i;
}

void unlink(TemplateStore& s, TemplateDomain& d, uint32_t i) {
    TemplateEntry& e = s.entries[i];
    uint32_t& first = d.first[e.kind];
    if (e.next == i) {
        first = kNoTemplate;
        return;
    }
    s.entries[e.prev].next = e.next;
    s.entries[e.next].prev = e.prev;
    if (first == i) first = e.next;
}

// Removes entry i of domain j: its record bytes become dead, and the last
// entry takes its place in the array, its links and its index slot.
void removeEntry(TemplateCache& c, TemplateStore& s, uint32_t j, uint32_t i) {
    unlink(s, s.domains[j], i);
    indexErase(c, s, findSlot(c, s, entrySlot(s, i)));
    s.dead += templateExtent(s.entries[i]);
    uint32_t last = static_cast<uint32_t>(s.entries.size() - 1);
    if (i != last) {
        TemplateEntry& moved = s.entries[i];
        moved = s.entries[last];
        if (moved.next == last) {
            moved.prev = moved.next = i;
        } else {
            s.entries[moved.prev].next = i;
            s.entries[moved.next].prev = i;
        }
        uint32_t mj = moved.domain == s.domains[j].domain ? j : findDomain(c, s, moved.domain);
        uint32_t& first = s.domains[mj].first[moved.kind];
        if (first == last) first = i;
        s.index[findSlot(c, s, entrySlot(s, last))] = entrySlot(s, i);
    }
    s.entries.pop_back();
}

void removeDomain(TemplateCache& c, TemplateStore& s, uint32_t j) {
    indexErase(c, s, findSlot(c, s, domainSlot(j)));
    uint32_t last = static_cast<uint32_t>(s.domains.size() - 1);
    if (j != last) {
        s.index[findSlot(c, s, domainSlot(last))] = domainSlot(j);
        s.domains[j] = s.domains[last];
    }
    s.domains.pop_back();
}

void dropStore(TemplateCache& c, ExporterTemplates& e) {
    if (!e.store) return;
    c.bytes -= e.store->held;
    e.store.reset();
}

void sayCap(TemplateCache& c) {
    ++c.refused;
    if (!c.capSaid)
        fprintf(stderr,
                "quorvane-collector: template cache full (%zu bytes per exporter, %zu in all);"
                " templates beyond it are not kept\n",
                c.perExporterLimit, c.totalLimit);
    c.capSaid = true;
}

// The shape of a template's data records (see TemplateEntry), from its
// record as a template set has it.
struct Shape {
    uint16_t minLength = 0;
    uint16_t varFields = 0;
    size_t runBytes() const { return varFields ? 2 * (size_t{varFields} + 1) : 0; }
};

uint16_t saturated(size_t n) { return static_cast<uint16_t>(std::min<size_t>(n, 0xFFFF)); }

// With `runs`, the runs are written there too, which must have room for
// them: only a template with variable-length fields has any.
Shape shapeOf(int version, const Found& f, uint8_t* runs) {
    const uint8_t* p = f.record + (f.kind ? 6 : 4);
    const uint8_t* end = f.record + f.len;
    size_t least = 0, run = 0, vars = 0;
    auto endRun = [&] {
        uint16_t r = saturated(run);
        if (runs) memcpy(runs + 2 * vars, &r, 2);
    };
    // Fields: (id, length), IPFIX with an enterprise number when the id's
    // top bit says so; the set walk has checked that they fill the record.
    for (; p < end; p += version == 10 && (p[0] & 0x80) ? 8 : 4) {
        uint16_t length = readBe16(p + 2);
        if (version == 10 && length == kVariableLength) {
            endRun();
            ++vars;
            run = 0;
            least += 1;
        } else {
            run += length;
            least += length;
        }
    }
    endRun();
    Shape shape;
    shape.minLength = saturated(least);
    shape.varFields = static_cast<uint16_t>(vars);
    return shape;
}

// Applies one message's templates and withdrawals, all of one domain.
struct Apply {
    TemplateCache& c;
    ExporterTemplates& e;
    uint32_t domain;
    uint32_t j = kNoDomain;  // the domain's place, once it has one
    // New templates this long or longer cannot be kept now; until a
    // removal or replacement, the caps need not be asked again.
    size_t refusedFrom = SIZE_MAX;

    void operator()(const Found& f) {
        if (f.withdrawal) withdraw(f);
        else define(f);
    }

    void withdraw(const Found& f) {
        if (j == kNoDomain) return;
        TemplateStore& s = *e.store;
        if (f.id < kFirstDataId) {
            // All of that kind: as many steps as templates leave, and when
            // they are all the exporter has, one step each.
            TemplateDomain& d = s.domains[j];
            if (s.domains.size() == 1 && d.first[f.kind ^ 1] == kNoTemplate && d.first[f.kind] != kNoTemplate) {
                c.withdrawn += s.entries.size();
                s.entries.clear();
                s.dead = s.bytes.size();
                d.first[f.kind] = kNoTemplate;
                std::fill(s.index.begin(), s.index.end(), 0);
                s.index[probe(s, hashOf(c, domain, 0), domain, 0)] = domainSlot(j);
                refusedFrom = SIZE_MAX;
                return;
            }
            for (uint32_t i; (i = s.domains[j].first[f.kind]) != kNoTemplate; ++c.withdrawn) {
                removeEntry(c, s, j, i);
                refusedFrom = SIZE_MAX;
            }
            return;
        }
        uint32_t v = s.index[probe(s, hashOf(c, domain, f.id), domain, f.id)];
        if (v == 0) return;
        removeEntry(c, s, j, entryOf(v));
        refusedFrom = SIZE_MAX;
        ++c.withdrawn;
    }

    bool newDomain() {
        TemplateStore& s = *e.store;
        if (s.domains.size() + 1 >= kDomainRef || !room(c, s, s.domains, s.domains.size() + 1) ||
            !indexRoom(c, s, 2))
            return false;
        j = static_cast<uint32_t>(s.domains.size());
        s.domains.emplace_back();
        s.domains[j].domain = domain;
        s.index[probe(s, hashOf(c, domain, 0), domain, 0)] = domainSlot(j);
        return true;
    }

    void define(const Found& f) {
        uint64_t hash = hashOf(c, domain, f.id);
        TemplateStore* s = e.store.get();
        uint32_t v = s && j != kNoDomain ? s->index[probe(*s, hash, domain, f.id)] : 0;
        if (v) {
            replace(*s, entryOf(v), f);
            return;
        }
        Shape shape = shapeOf(e.version, f, nullptr);
        size_t extent = f.len + shape.runBytes();
        if (extent >= refusedFrom) return sayCap(c);
        if (!storeFor(c, e) || (j == kNoDomain && !newDomain()) || e.store->entries.size() + 1 >= kDomainRef ||
            !indexRoom(c, *e.store, 1) || !room(c, *e.store, e.store->entries, e.store->entries.size() + 1)) {
            refusedFrom = 0;
            return sayCap(c);
        }
        s = e.store.get();
        if (!storeRoom(c, *s, extent)) {
            refusedFrom = extent;
            return sayCap(c);
        }
        uint32_t i = static_cast<uint32_t>(s->entries.size());
        TemplateEntry t;
        t.domain = domain;
        t.id = f.id;
        t.length = static_cast<uint16_t>(f.len);
        t.offset = static_cast<uint32_t>(s->bytes.size()) & 0x7FFFFFFF;
        t.kind = 0;
        t.minLength = shape.minLength;
        t.varFields = shape.varFields;
        s->entries.push_back(t);
        append(*s, f, shape);
        linkLast(*s, s->domains[j], f.kind, i);
        s->index[probe(*s, hash, domain, f.id)] = entrySlot(*s, i);
        ++c.cached;
    }

    void replace(TemplateStore& s, uint32_t i, const Found& f) {
        TemplateEntry* t = &s.entries[i];
        if (t->kind == f.kind && t->length == f.len && memcmp(s.bytes.data() + t->offset, f.record, f.len) == 0)
            return;
        refusedFrom = SIZE_MAX;
        Shape shape = shapeOf(e.version, f, nullptr);
        size_t extent = f.len + shape.runBytes(), old = templateExtent(*t);
        if (extent <= old) {
            memcpy(s.bytes.data() + t->offset, f.record, f.len);
            if (shape.varFields) shapeOf(e.version, f, s.bytes.data() + t->offset + f.len);
            s.dead += old - extent;
        } else {
            if (!storeRoom(c, s, extent)) return sayCap(c);
            s.dead += old;
            t->offset = static_cast<uint32_t>(s.bytes.size()) & 0x7FFFFFFF;
            append(s, f, shape);
        }
        t->length = static_cast<uint16_t>(f.len);
        t->minLength = shape.minLength;
        t->varFields = shape.varFields;
        if (t->kind != f.kind) {
            unlink(s, s.domains[j], i);
            linkLast(s, s.domains[j], f.kind, i);
        }
        ++c.cached;
    }

    // The record and its runs at the end of the store, which has room.
    void append(TemplateStore& s, const Found& f, const Shape& shape) {
        s.bytes.insert(s.bytes.end(), f.record, f.record + f.len);
        size_t at = s.bytes.size();
        s.bytes.resize(at + shape.runBytes());
        if (shape.varFields) shapeOf(e.version, f, s.bytes.data() + at);
    }
};

// After a message: the domain keeps its header, or goes when it has no
// templates left; the store goes when nothing is left, and otherwise gives
// back what is far beyond its need, at most once a second: an exporter
// that fills its arrays and empties them in every message would have them
// mapped and unmapped each time. Until then what it keeps is counted, so
// the caps hold all the same.
void settle(TemplateCache& c, ExporterTemplates& e, uint32_t j, const uint8_t* data, int64_t nowMs) {
    TemplateStore* s = e.store.get();
    if (!s) return;
    if (j != kNoDomain) {
        TemplateDomain& d = s->domains[j];
        if (e.version == 10) {
            d.exportTime = readBe32(data + 4);
            d.sequence = readBe32(data + 8);
        } else {
            d.sysUptime = readBe32(data + 4);
            d.exportTime = readBe32(data + 8);
            d.sequence = readBe32(data + 12);
        }
        if (d.first[0] == kNoTemplate && d.first[1] == kNoTemplate) removeDomain(c, *s, j);
    }
    if (s->entries.empty() && s->sequences.empty()) return dropStore(c, e);
    if (s->trimmedMs != INT64_MIN && nowMs - s->trimmedMs < kTrimEveryMs) return;
    size_t held = s->held, live = s->bytes.size() - s->dead;
    if (2 * s->dead > live || (s->bytes.capacity() > kSmallArray && s->bytes.capacity() > 4 * live))
        compact(c, *s, std::min(s->bytes.capacity(), std::max(2 * live, kSmallStore)));
    trim(c, *s, s->entries);
    trim(c, *s, s->domains);
    indexTrim(c, *s);
    if (s->held != held) s->trimmedMs = nowMs;
}


// Onto the next template to send, if any is left.
bool settleCursor(const TemplateStore& s, TemplateCursor* c) {
    while (c->domain < s.domains.size()) {
        if (c->entry != kNoTemplate) return true;
        if (!c->begun) {
            c->begun = true;
            c->entry = s.domains[c->domain].first[c->kind];
            continue;
        }
        c->begun = false;
        c->kind ^= 1;
        if (c->kind == 0) ++c->domain;
    }
    return false;
}

size_t headerSize(const ExporterTemplates& e) { return e.version == 10 ? kIpfixHeader : kV9Header; }

}  // namespace

bool templatesObserve(TemplateCache& cache, ExporterTemplates& e, const uint8_t* data, size_t len,
                      int64_t nowMs) {
    if (len < 2) return false;
    int version = readBe16(data);
    if (version != 9 && version != 10) return false;
    ++e.sinceResend;
    // Checked whole before anything is taken, so a message that turns out
    // inconsistent halfway leaves the cache as it was.
    auto check = [](const Found&) {};
    if (!walkMessage(version, data, len, check)) {
        ++cache.malformed;
        return false;
    }
    drawKeys(cache);
    if (e.version != version) {
        templatesForget(cache, e);
        e.version = static_cast<uint8_t>(version);
    }
    bool had = e.store && !e.store->entries.empty();
    uint32_t domain = readBe32(data + (version == 10 ? 12 : 16));
    Apply apply{cache, e, domain};
    if (e.store) apply.j = findDomain(cache, *e.store, domain);
    walkMessage(version, data, len, apply);
    settle(cache, e, apply.j, data, nowMs);
    // The message that brought the first templates carried them itself.
    if (!had && e.store && !e.store->entries.empty()) {
        e.sinceResend = 0;
        e.lastResendMs = nowMs;
    }
    return true;
}

bool templatesCount(TemplateCache& cache, const ExporterTemplates& e, const uint8_t* data, size_t len,
                    uint32_t* records) {
    *records = 0;
    const TemplateStore* s = e.store.get();
    const bool ipfix = e.version == 10;
    const uint32_t domain = readBe32(data + (ipfix ? 12 : 16));
    bool known = true;
    size_t at = ipfix ? kIpfixHeader : kV9Header;
    while (len - at >= kSetHeader) {
        const uint16_t id = readBe16(data + at), setLen = readBe16(data + at + 2);
        if (setLen < kSetHeader || setLen > len - at) break;  // v9's zero padding: templatesObserve checked
        const size_t end = at + setLen;
        at += kSetHeader;
        if (id < kFirstDataId) {
            at = end;
            continue;
        }
        uint32_t v = s && !s->index.empty() ? s->index[probe(*s, hashOf(cache, domain, id), domain, id)] : 0;
        const TemplateEntry* t = v ? &s->entries[entryOf(v)] : nullptr;
        if (!t || t->minLength == 0) {
            known = false;
            at = end;
            continue;
        }
        if (!t->varFields) {
            // Whatever is left short of a record is padding.
            *records += static_cast<uint32_t>((end - at) / t->minLength);
            at = end;
            continue;
        }
        // A step per variable-length field, each at least a byte, and a
        // record at least a byte: no more steps than bytes.
        const uint8_t* runs = s->bytes.data() + t->offset + t->length;
        auto run = [runs](size_t i) {
            uint16_t r;
            memcpy(&r, runs + 2 * i, 2);
            return size_t{r};
        };
        while (end - at >= t->minLength) {
            size_t p = at;
            bool whole = true;
            for (size_t i = 0; whole && i < t->varFields; ++i) {
                p += run(i);
                whole = p < end;
                if (!whole) break;
                size_t field = data[p++];
                if (field == 255) {  // the length in the next two bytes
                    whole = end - p >= 2;
                    if (!whole) break;
                    field = readBe16(data + p);
                    p += 2;
                }
                p += field;
                whole = p <= end;
            }
            if (!whole || end - p < run(t->varFields)) break;  // cut short: not a record
            ++*records;
            at = p + run(t->varFields);
        }
        at = end;
    }
    return known;
}

void templatesForget(TemplateCache& cache, ExporterTemplates& e) { dropStore(cache, e); }

bool templatesDue(const TemplateCache& cache, const ExporterTemplates& e, int64_t nowMs) {
    if (!e.store || e.store->entries.empty()) return false;
    if (e.resendPending) return true;
    if (cache.refreshDatagrams && e.sinceResend >= cache.refreshDatagrams) return true;
    return cache.refreshSeconds && nowMs - e.lastResendMs >= int64_t{cache.refreshSeconds} * 1000;
}

void templatesSent(ExporterTemplates& e, int64_t nowMs) {
    e.sinceResend = 0;
    e.lastResendMs = nowMs;
    e.resendPending = false;
}

size_t templatesNextNeed(const ExporterTemplates& e, TemplateCursor* cursor) {
    if (!e.store || !settleCursor(*e.store, cursor)) return 0;
    return headerSize(e) + kSetHeader + e.store->entries[cursor->entry].length;
}

size_t templatesBuildMessage(TemplateCache& cache, ExporterTemplates& e, TemplateCursor* cursor, size_t maxMessage,
                             uint8_t* out, size_t room) {
    if (!e.store || !settleCursor(*e.store, cursor)) return 0;
    const TemplateStore& s = *e.store;
    const TemplateDomain& d = s.domains[cursor->domain];
    const bool ipfix = e.version == 10;
    uint8_t* p = writeBe16(out, e.version);
    p = writeBe16(p, 0);  // IPFIX length or v9 count, filled in below
    if (ipfix) p = writeBe32(writeBe32(p, d.exportTime), d.sequence);
    else p = writeBe32(writeBe32(writeBe32(p, d.sysUptime), d.exportTime), d.sequence);
    p = writeBe32(p, d.domain);
    const size_t limit = std::min(std::max(maxMessage, templatesNextNeed(e, cursor)), room);
    const uint32_t j = cursor->domain, domain = d.domain;
    size_t records = 0;
    uint8_t* set = nullptr;
    uint32_t setKind = 2;
    while (settleCursor(s, cursor) && cursor->domain == j) {
        const TemplateEntry& t = s.entries[cursor->entry];
        bool newSet = t.kind != setKind;
        size_t need = t.length + (newSet ? kSetHeader : 0);
        if (static_cast<size_t>(p - out) + need > limit) break;
        if (newSet) {
            set = p;
            setKind = t.kind;
            p = writeBe16(writeBe16(p, t.kind + (ipfix ? 2 : 0)), 0);
        }
        memcpy(p, s.bytes.data() + t.offset, t.length);
        p += t.length;
        writeBe16(set + 2, static_cast<uint32_t>(p - set));
        ++records;
        uint32_t next = t.next;
        cursor->entry = next == d.first[t.kind] ? kNoTemplate : next;
    }
    if (records == 0) return 0;
    size_t len = static_cast<size_t>(p - out);
    writeBe16(out + 2, static_cast<uint32_t>(ipfix ? len : records));
    // The number the domain's next message out carries, so that this one
    // fits in without a gap (sequence.h); a domain whose numbers the relay
    // does not keep repeats its latest one.
    uint32_t number;
    if (sequenceForResend(cache, e, domain, &number)) writeBe32(out + (ipfix ? 8 : 12), number);
    return len;
}
