// -metrics: GET /metrics over HTTP, in the Prometheus text format
// (metrics_text.h), served by libmicrohttpd from the collector's own poll
// loop: its epoll descriptor is one more entry of the ppoll set, and it runs
// when that is ready or its next timeout is due, never with a thread of its
// own and never blocking. Any other path is a 404, any other method a 405.
//
// Bounds, so that a scraper that connects and stays silent, or asks and
// never reads, costs the relay nothing but a connection slot for a while:
// at most kMetricsConnections at once (more wait in the listening socket's
// backlog of kMetricsBacklog, holding no descriptor of ours), each dropped
// after kMetricsIdleSeconds without progress, and each holding at most
// kMetricsConnectionMemory for its request and headers, one copy of the
// exposition it is being sent, and a kernel send buffer of
// kMetricsSendBuffer (which the kernel doubles).
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "host_port.h"
#include "metrics_text.h"
#include "relay.h"

struct MHD_Daemon;

constexpr unsigned kMetricsConnections = 4;
constexpr unsigned kMetricsIdleSeconds = 3;
constexpr size_t kMetricsConnectionMemory = 16 * 1024;
constexpr int kMetricsBacklog = 16;
constexpr int kMetricsSendBuffer = 32 * 1024;
// Its connections, the listening socket and the epoll descriptor come out
// of the descriptors kept beside the exporter sockets, and leave most of
// them to what they were kept for.
static_assert(kMetricsConnections + 2 <= kDescriptorReserve / 2, "the metrics server fits the descriptor reserve");

struct Metrics {
    MHD_Daemon* daemon = nullptr;
    int fd = -1;  // for the poll set; -1 (ignored by poll) without -metrics
    // When the server must run again even if its descriptor stays quiet:
    // a connection's idle timeout, or now when it has work in hand.
    bool due = false;
    timespec deadline{};  // CLOCK_MONOTONIC
    const MetricsFigures* figures = nullptr;  // while metricsServe runs
    uint64_t closed = 0;  // connections closed so far
    // The exposition is built here, its capacity kept from one scrape to
    // the next: grown anew each time, its fresh pages cost more than the
    // text written into them.
    std::string body;

    // The server lives as long as the collector's state; it is stopped,
    // its connections closed and its memory given back, when that goes.
    Metrics() = default;
    Metrics(const Metrics&) = delete;
    Metrics& operator=(const Metrics&) = delete;
    ~Metrics();
};

// Binds `where` and starts the server; does nothing when `where` has no
// text (no -metrics). Warns on standard error when the address is not on
// loopback. False, with the reason, when it cannot listen there.
bool metricsOpen(Metrics& metrics, const HostPort& where, std::string* error);

// The time ppoll may sleep: `wait` (null for no limit), or less when the
// server is due earlier, written to `*left`.
timespec* metricsWait(const Metrics& metrics, timespec* wait, timespec* left);

// After ppoll: serves what is ready, when `ready` (its descriptor had
// events) or the server is due; otherwise returns at once.
void metricsServe(Metrics& metrics, bool ready, const MetricsFigures& figures);
