// The relay's exporter table: a bounded set of slots, each holding one
// exporter, found by its identity through an index and kept in
// least-recently-seen order, so that a full table gives up the slot of the
// exporter that has been quiet the longest. What a slot holds (sockets,
// templates) lives with whoever owns it, in arrays indexed by slot number;
// the table only hands slots out and takes them back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "keyed_hash.h"

constexpr uint32_t kNoSlot = UINT32_MAX;

struct ExporterTable {
    size_t cap = 0;  // slots at most; the table grows towards it, never past
    std::vector<uint64_t> key;
    std::vector<uint32_t> prev, next;  // towards head (newest) / tail (oldest)
    std::vector<uint8_t> bound;        // the slot holds an exporter
    uint32_t head = kNoSlot, tail = kNoSlot;
    // Open addressing over the bound slots, linear probing, at most half
    // full; grows with the table. Keys are hashed with a secret drawn at
    // start-up, as exporters' addresses are partly the network's choice.
    std::vector<uint32_t> index;
    HashKey secret;
    size_t exporters = 0;  // bound slots
    uint64_t evictions = 0;
};

void exportersInit(ExporterTable& table, size_t cap);

// The slot of the exporter with this key, now the most recently seen;
// kNoSlot when it has none.
uint32_t exportersFind(ExporterTable& table, uint64_t key);

// The same, left where it is in that order.
uint32_t exportersPeek(const ExporterTable& table, uint64_t key);

// A slot for a new exporter: one given back unused, else a fresh one while
// the table is below its cap, else the least recently seen exporter's,
// which stays bound (`*evicting` set) until the caller, having emptied it,
// binds it again. kNoSlot when the cap is 0.
uint32_t exportersTake(ExporterTable& table, bool* evicting);

// Gives `slot` to `key` as the most recently seen; an exporter it held
// before is forgotten (counted as an eviction).
void exportersBind(ExporterTable& table, uint32_t slot, uint64_t key);

// Returns a taken slot unused (its exporter, if any, forgotten and counted
// as evicted), to be taken first next time: an exporter that could not
// have what a slot holds must not take a fresh slot with every record.
void exportersRelease(ExporterTable& table, uint32_t slot);

size_t exportersSlots(const ExporterTable& table);

// Bytes the table's own arrays hold (their capacity), whatever the slots hold.
size_t exportersBytes(const ExporterTable& table);
