// The relay's memory of each exporter's IPFIX and NetFlow v9 templates, so
// that a UDP collector which started late, restarted or lost a datagram can
// be sent them again. An exporter over SCTP sends each template once per
// association; a UDP collector cannot decode a single data record without it.
//
// Only message, set and flowset headers and template records are read; data
// sets are skipped by their length, never copied. Whatever a message holds,
// taking it in costs what its own bytes cost, and what an exporter's
// templates hold in memory, bookkeeping included, is what the caps count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "keyed_hash.h"

constexpr uint32_t kNoTemplate = UINT32_MAX;

// One template record held: where its bytes lie in the exporter's store,
// and its place in the circular list of its domain's templates (kind 0:
// IPFIX set 2, v9 flowset 0) or options templates (kind 1: set 3, flowset 1).
struct TemplateEntry {
    uint32_t domain = 0;  // IPFIX observation domain, v9 source id
    uint16_t id = 0;
    uint16_t length = 0;
    uint32_t offset : 31;
    uint32_t kind : 1;
    uint32_t prev = kNoTemplate;
    uint32_t next = kNoTemplate;
};

// One observation domain (v9 source id) with templates: its two lists, and
// the header of its latest message, which its resent templates carry. Kept
// while the domain has templates; whatever else is to be known per domain
// (what its sequence numbers count, say) belongs here.
struct TemplateDomain {
    uint32_t domain = 0;
    uint32_t first[2] = {kNoTemplate, kNoTemplate};  // list heads by kind
    uint32_t exportTime = 0;
    uint32_t sequence = 0;
    uint32_t sysUptime = 0;  // v9 only
};

// What one exporter's templates hold. Records lie back to back in `bytes`;
// a record withdrawn or replaced by a longer one leaves `dead` bytes behind
// until the store is compacted. `index` is open addressing with linear
// probing over entries and domains, keyed by (domain, template id) and
// (domain, 0) under the cache's secret hash, at most half full.
struct TemplateStore {
    std::vector<uint8_t> bytes;
    size_t dead = 0;
    std::vector<TemplateEntry> entries;
    std::vector<TemplateDomain> domains;
    std::vector<uint32_t> index;
    // All of it, as counted against the caps: this struct, the capacity of
    // each array, and the allocator's overhead of each block.
    size_t held = 0;
};

// One exporter's templates, in its slot of the exporter table. The store
// exists only while templates are held, so a slot costs these bytes alone
// otherwise.
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

// What the allocator adds to each block it hands out (size word and rounding).
constexpr size_t kBlockOverhead = 16;

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
};

// Takes in the templates of one exporter message. A message that is not v9
// or IPFIX is ignored; one too short or inconsistent with its own lengths
// changes nothing and is counted as malformed. `nowMs`: a monotonic clock,
// for the refresh.
void templatesObserve(TemplateCache& cache, ExporterTemplates& exporter, const uint8_t* data,
                      size_t len, int64_t nowMs);

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
// must be at least templatesNextNeed.
size_t templatesBuildMessage(const ExporterTemplates& exporter, TemplateCursor* cursor, size_t maxMessage,
                             uint8_t* out, size_t room);
