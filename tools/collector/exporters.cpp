#include "exporters.h"


namespace {

size_t bucket(const ExporterTable& t, uint64_t key) {
    return static_cast<size_t>(keyedHash64(t.secret, key)) & (t.index.size() - 1);
}

// Position in the index of key's slot, or of the empty bucket it would take.
size_t probe(const ExporterTable& t, uint64_t key) {
    size_t i = bucket(t, key);
    while (t.index[i] != kNoSlot && t.key[t.index[i]] != key) i = (i + 1) & (t.index.size() - 1);
    return i;
}

void indexErase(ExporterTable& t, size_t i) {
    // Moves later entries of the probe run back, so no search stops early.
    size_t mask = t.index.size() - 1;
    for (size_t j = (i + 1) & mask; t.index[j] != kNoSlot; j = (j + 1) & mask) {
        size_t home = bucket(t, t.key[t.index[j]]);
        bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (stays) continue;
        t.index[i] = t.index[j];
        i = j;
    }
    t.index[i] = kNoSlot;
}

void unlink(ExporterTable& t, uint32_t s) {
    (t.prev[s] == kNoSlot ? t.head : t.next[t.prev[s]]) = t.next[s];
    (t.next[s] == kNoSlot ? t.tail : t.prev[t.next[s]]) = t.prev[s];
}

void pushFront(ExporterTable& t, uint32_t s) {
    t.prev[s] = kNoSlot;
    t.next[s] = t.head;
    (t.head == kNoSlot ? t.tail : t.prev[t.head]) = s;
    t.head = s;
}

void pushBack(ExporterTable& t, uint32_t s) {
    t.next[s] = kNoSlot;
    t.prev[s] = t.tail;
    (t.tail == kNoSlot ? t.head : t.next[t.tail]) = s;
    t.tail = s;
}

void unbind(ExporterTable& t, uint32_t s) {
    if (!t.bound[s]) return;
    indexErase(t, probe(t, t.key[s]));
    t.bound[s] = 0;
    --t.exporters;
    ++t.evictions;
}

}  // namespace

void exportersInit(ExporterTable& t, size_t cap) {
    t = ExporterTable{};
    t.cap = cap;
    t.index.assign(16, kNoSlot);
    drawRandom(&t.secret, sizeof t.secret);
}

uint32_t exportersFind(ExporterTable& t, uint64_t key) {
    uint32_t s = t.index[probe(t, key)];
    if (s != kNoSlot && s != t.head) {
        unlink(t, s);
        pushFront(t, s);
    }
    return s;
}

uint32_t exportersPeek(const ExporterTable& t, uint64_t key) { return t.index[probe(t, key)]; }

uint32_t exportersTake(ExporterTable& t, bool* evicting) {
    *evicting = false;
    if (t.tail != kNoSlot && !t.bound[t.tail]) return t.tail;
    if (t.key.size() < t.cap) {
        uint32_t s = static_cast<uint32_t>(t.key.size());
        t.key.push_back(0);
        t.prev.push_back(kNoSlot);
        t.next.push_back(kNoSlot);
        t.bound.push_back(0);
        pushBack(t, s);
        return s;
    }
    *evicting = t.tail != kNoSlot;
    return t.tail;
}

void exportersBind(ExporterTable& t, uint32_t s, uint64_t key) {
    unbind(t, s);
    if (2 * (t.exporters + 1) > t.index.size()) {
        std::vector<uint32_t> old(t.index.size() * 2, kNoSlot);
        old.swap(t.index);
        for (uint32_t slot : old)
            if (slot != kNoSlot) t.index[probe(t, t.key[slot])] = slot;
    }
    t.key[s] = key;
    t.bound[s] = 1;
    ++t.exporters;
    t.index[probe(t, key)] = s;
    unlink(t, s);
    pushFront(t, s);
}

void exportersRelease(ExporterTable& t, uint32_t s) {
    unbind(t, s);
    unlink(t, s);
    pushBack(t, s);
}

size_t exportersSlots(const ExporterTable& t) { return t.key.size(); }

size_t exportersBytes(const ExporterTable& t) {
    return t.key.capacity() * sizeof(uint64_t) + (t.prev.capacity() + t.next.capacity()) * sizeof(uint32_t) +
           t.bound.capacity() + t.index.capacity() * sizeof(uint32_t);
}
