// The relay's memory of each exporter's IPFIX and NetFlow v9 templates, so
// that a UDP collector which started late, restarted or lost a datagram can
// be sent them again. An exporter over SCTP sends each template once per
// association; a UDP collector cannot decode a single data record without it.
//
// Only message, set and flowset headers and template records are read; data
// sets are skipped by their length, never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct CachedTemplate {
    uint32_t domain = 0;  // IPFIX observation domain, v9 source id
    uint16_t setId = 0;   // 2 or 3 (IPFIX), 0 or 1 (v9): the set it is sent in again
    uint16_t id = 0;
    std::vector<uint8_t> record;  // the template record as the exporter wrote it
};

// One exporter's templates: what its latest messages defined and not withdrawn.
struct ExporterTemplates {
    int version = 0;  // 9 or 10; a change of version forgets the others
    std::vector<CachedTemplate> templates;
    size_t bytes = 0;  // record bytes held, counted against the caps
    // The header of the latest well-formed message, for the resent ones.
    uint32_t domain = 0;
    uint32_t sequence = 0;
    uint32_t exportTime = 0;
    uint32_t sysUptime = 0;  // v9 only
    // When to send again: datagrams seen and the time of the last resend.
    uint32_t sinceResend = 0;
    int64_t lastResendMs = 0;
    bool resendPending = false;  // a target refused a datagram
};

struct TemplateCache {
    // Bounds on record bytes held, per exporter and for all of them.
    size_t perExporterLimit = 64 * 1024;
    size_t totalLimit = 16 * 1024 * 1024;
    size_t bytes = 0;
    // Resending: every `refreshDatagrams` datagrams of an exporter and every
    // `refreshSeconds` while it sends; 0 turns either off.
    uint32_t refreshDatagrams = 20;
    uint32_t refreshSeconds = 30;

    uint64_t cached = 0;     // template records taken in, new or changed
    uint64_t withdrawn = 0;  // removed by an IPFIX withdrawal
    uint64_t resent = 0;     // template messages sent again, per target
    uint64_t malformed = 0;  // messages whose template sets were not taken
    uint64_t refused = 0;    // templates not taken for a cap
    bool capSaid = false;    // the cap is announced once per run

    // The resend messages are built here; its capacity stays.
    std::vector<uint8_t> out;
};

// Takes in the templates of one exporter message. A message that is not v9
// or IPFIX is ignored; one too short or inconsistent with its own lengths
// changes nothing and is counted as malformed. Allocates only for a template
// that is new or has changed. `nowMs`: a monotonic clock, for the refresh.
void templatesObserve(TemplateCache& cache, ExporterTemplates& exporter, const uint8_t* data,
                      size_t len, int64_t nowMs);

// Releases an exporter's templates from the cache's account, as it leaves.
void templatesForget(TemplateCache& cache, ExporterTemplates& exporter);

// Whether the exporter's templates are due to go out again ahead of its
// current datagram (observed just before), by count, time or a refusal.
bool templatesDue(const TemplateCache& cache, const ExporterTemplates& exporter, int64_t nowMs);

// Builds the messages that carry the exporter's templates again, each at most
// `maxMessage` bytes unless a single template record needs more, in the
// exporter's own version and with its domain, sequence number and times;
// calls `send(bytes, len)` for each, and restarts the exporter's count.
template <typename Send>
void templatesResend(TemplateCache& cache, ExporterTemplates& exporter, int64_t nowMs,
                     size_t maxMessage, Send send);

// The building block of templatesResend: the message starting at template
// index `*next`, advancing it. Empty `cache.out` when none are left.
void templatesBuildMessage(TemplateCache& cache, const ExporterTemplates& exporter, size_t* next,
                           size_t maxMessage);

template <typename Send>
void templatesResend(TemplateCache& cache, ExporterTemplates& exporter, int64_t nowMs,
                     size_t maxMessage, Send send) {
    exporter.sinceResend = 0;
    exporter.lastResendMs = nowMs;
    exporter.resendPending = false;
    size_t next = 0;
    for (;;) {
        templatesBuildMessage(cache, exporter, &next, maxMessage);
        if (cache.out.empty()) return;
        send(cache.out.data(), cache.out.size());
    }
}
