// The relay's memory of each exporter's IPFIX and NetFlow v9 templates, so
// that a UDP collector which started late, restarted or lost a datagram can
// be sent them again. An exporter over SCTP sends each template once per
// association; a UDP collector cannot decode a single data record without it.
//
// Only message, set and flowset headers and template records are read; data
// sets are skipped by their length, never copied, and their records counted
// (templatesCount) from what was worked out once per template when it was
// taken in. Whatever a message holds, taking it in costs what its own bytes
// cost, and what an exporter's store holds in memory, bookkeeping and its
// sequence state (sequence.h) included, is what the caps count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "keyed_hash.h"
#include "store_array.h"

constexpr uint32_t kNoTemplate = UINT32_MAX;

// One template record held: where its bytes lie in the exporter's store,
// and its place in the circular list of its domain's templates (kind 0:
// IPFIX set 2, v9 flowset 0) or options templates (kind 1: set 3, flowset 1).
//
// And the shape of its data records, for counting them: the least bytes a
// record takes (65535 when none fits a set), and its variable-length IPFIX
// fields. With any, the record is followed in the store by varFields + 1
// 16-bit runs of fixed-length bytes, before each such field and after the
// last, so that walking a record takes a step per variable-length field
// (each at least a byte long) rather than one per field.
struct TemplateEntry {
    uint32_t domain = 0;  // IPFIX observation domain, v9 source id
    uint16_t id = 0;
    uint16_t length = 0;
    uint32_t offset : 31;
    uint32_t kind : 1;
    uint32_t prev = kNoTemplate;
    uint32_t next = kNoTemplate;
    uint16_t minLength = 0;
    uint16_t varFields = 0;
};

// The store bytes of a template: its record and its runs.
inline size_t templateExtent(const TemplateEntry& t) {
    return t.length + (t.varFields ? 2 * (size_t{t.varFields} + 1) : 0);
}

// One observation domain (v9 source id) with templates: its two lists, and
// the header of its latest message, which its resent templates carry
// unless the domain's sequence state (SequenceDomain) numbers them. Kept
// while the domain has templates.
struct TemplateDomain {
    uint32_t domain = 0;
    uint32_t first[2] = {kNoTemplate, kNoTemplate};  // list heads by kind
    uint32_t exportTime = 0;
    uint32_t sequence = 0;
    uint32_t sysUptime = 0;  // v9 only
};

// Where one observation domain's (v9 source id's) sequence numbers stand,
// for the exporter's version: kept from its first message on, for as long
// as the exporter keeps its slot. `next` is the number the domain's next
// message out carries; in v9 that is for a datagram numbered `expected`,
// the number the exporter's next datagram should carry. IPFIX keeps what
// each stream expects in its SequenceStream. Sequence numbers missing
// (a jump forward: in IPFIX, data records; in v9, datagrams) and out of
// order (a jump back) are counted.
struct SequenceDomain {
    uint32_t domain = 0;
    uint32_t expected = 0;
    uint32_t next = 0;
    uint64_t missing = 0;
    uint64_t disorder = 0;
};

// One SCTP stream of an IPFIX domain, which numbers its own data records:
// the number it should carry next. `uncounted`: its latest message held
// records that no template counted, so the difference its next message
// shows is taken as theirs, not as loss.
struct SequenceStream {
    uint32_t domain = 0;
    uint32_t stream = 0;
    uint32_t expected = 0;
    uint32_t uncounted = 0;
    uint64_t missing = 0;
    uint64_t disorder = 0;
};

// What one exporter's store holds: its templates, and its sequence state.
// Records lie back to back in `bytes`, each followed by its runs (see
// TemplateEntry); a record withdrawn or replaced by a longer one leaves
// `dead` bytes behind until the store is compacted. `index` is open
// addressing with linear probing over entries and domains, keyed by
// (domain, template id) and (domain, 0) under the cache's secret hash, at
// most half full; `sequenceIndex` the same over `sequences` and `streams`.
struct TemplateStore {
    StoreArray<uint8_t> bytes;
    size_t dead = 0;
    StoreArray<TemplateEntry> entries;
    StoreArray<TemplateDomain> domains;
    StoreArray<uint32_t> index;
    StoreArray<SequenceDomain> sequences;
    StoreArray<SequenceStream> streams;
    StoreArray<uint32_t> sequenceIndex;
    // All of it, as counted against the caps: this struct, the capacity of
    // each array, and the allocator's overhead of each block.
    size_t held = 0;
    // When spare capacity last went back (a monotonic clock's ms), if ever.
    int64_t trimmedMs = INT64_MIN;
};

// One exporter's templates and sequence state, in its slot of the exporter
// table. The store exists only while either is held, so a slot costs these
// bytes alone otherwise.
struct ExporterTemplates {
    std::unique_ptr<TemplateStore> store;
    // When to send again: the time of the last resend, datagrams seen since.
    int64_t lastResendMs = 0;
    uint32_t sinceResend = 0;
    uint8_t version = 0;         // 9 or 10; a change of version forgets the others
    bool resendPending = false;  // a target refused a datagram
};

// Bytes per exporter table slot for its templates, whatever it holds.
constexpr size_t kTemplateSlotBytes = 24;
static_assert(sizeof(ExporterTemplates) == kTemplateSlotBytes, "the documented per-slot cost");

constexpr size_t kIdWords = 65536;

struct TemplateCache {
    // Bounds on what the stores hold, per exporter and for all of them. Up
    // to 256 KiB per exporter, an index has no more slots than kIdWords.
    size_t perExporterLimit = 64 * 1024;
    size_t totalLimit = 16 * 1024 * 1024;
    size_t bytes = 0;  // what all the stores hold: the sum of their `held`
    // Resending: every `refreshDatagrams` datagrams of an exporter and every
    // `refreshSeconds` while it sends; 0 turns either off.
    uint32_t refreshDatagrams = 20;
    uint32_t refreshSeconds = 30;
    // The indexes' hash of (domain, template id): SipHash of the domain
    // under `key`, remembered for the last domain asked, xor a random word
    // for the id. Drawn at the first message unless set before: kIdWords
    // words of 16 bits, as no exporter's index has more slots.
    HashKey key;
    std::vector<uint16_t> idWords;
    uint32_t memoDomain = 0;
    uint64_t memoHash = 0;
    bool memo = false;

    uint64_t cached = 0;     // template records taken in, new or changed
    uint64_t withdrawn = 0;  // removed by an IPFIX withdrawal
    uint64_t resent = 0;     // template messages sent again, per target
    uint64_t malformed = 0;  // messages whose template sets were not taken
    uint64_t refused = 0;    // templates not taken for a cap
    bool capSaid = false;    // the cap is announced once per run
    // Sequence numbers (sequence.h), for all exporters together.
    uint64_t records = 0;    // data records counted
    uint64_t missing = 0;    // sequence numbers missing
    uint64_t disorder = 0;   // jumps back
    uint64_t untracked = 0;  // messages passed with their own numbers: their state was over the caps
};

// Takes in the templates of one exporter message. A message that is not v9
// or IPFIX is ignored; one too short or inconsistent with its own lengths
// changes nothing and is counted as malformed. `nowMs`: a monotonic clock,
// for the refresh. True when the message was taken: v9 or IPFIX, and
// consistent.
bool templatesObserve(TemplateCache& cache, ExporterTemplates& exporter, const uint8_t* data,
                      size_t len, int64_t nowMs);

// The data records of a message templatesObserve took, in `*records`, as
// far as the exporter's templates tell: false when a data set has no
// template held, or one whose records can be empty, and so was not counted.
// Costs what the message's bytes cost, whatever the templates.
bool templatesCount(TemplateCache& cache, const ExporterTemplates& exporter, const uint8_t* data, size_t len,
                    uint32_t* records);

// Releases all an exporter's templates hold, as it leaves.
void templatesForget(TemplateCache& cache, ExporterTemplates& exporter);

// Whether the exporter's templates are due to go out again ahead of its
// current datagram (observed just before), by count, time or a refusal.
bool templatesDue(const TemplateCache& cache, const ExporterTemplates& exporter, int64_t nowMs);

// The exporter's templates go out now: restarts its count and clock.
void templatesSent(ExporterTemplates& exporter, int64_t nowMs);

// Where a resend has got to: domain by domain, kind by kind, along the lists.
struct TemplateCursor {
    uint32_t domain = 0;
    uint32_t kind = 0;
    uint32_t entry = kNoTemplate;
    bool begun = false;  // `entry` is in the list of (domain, kind)
};

// The room the next resend message needs at least (its header and its first
// template), or 0 when every template has gone.
size_t templatesNextNeed(const ExporterTemplates& exporter, TemplateCursor* cursor);

// Writes the next resend message into `out` and returns its length: templates
// of one domain, with that domain's latest header, at most `maxMessage`
// bytes unless a single template needs more, and never beyond `room`, which
// must be at least templatesNextNeed. Its sequence number is the one the
// domain's sequence state gives it (sequenceForResend), where there is any.
size_t templatesBuildMessage(TemplateCache& cache, ExporterTemplates& exporter, TemplateCursor* cursor,
                             size_t maxMessage, uint8_t* out, size_t room);
