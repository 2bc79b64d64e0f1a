// The collector's figures in the Prometheus text exposition format,
// version 0.0.4, as GET /metrics serves them (metrics.h): every counter of
// the counter line, per target and per exporter series, and the caps that
// bound what the relay holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "daemon_link.h"
#include "relay.h"

// Exporters listed in a scrape at most, the most recently seen first, so
// that a scrape's size and the time it takes stay bounded whatever the
// exporter table holds.
constexpr size_t kMetricsExporters = 1000;
// Observation domains and IPFIX streams of those exporters listed at most,
// in all, for their sequence numbers.
constexpr size_t kMetricsSequences = 2000;

// What a scrape reads: the collector's own state, where it lies.
struct MetricsFigures {
    long long records = 0;   // received from the daemon
    long long oversize = 0;  // of them, too long to hold, read past
    bool connected = false;  // the daemon, now
    const DaemonLink* link = nullptr;
    const Relay* relay = nullptr;
};

// The whole exposition, appended to `out`.
void renderMetrics(const MetricsFigures& figures, std::string* out);
