#include "metrics.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kExposition[] = "text/plain; version=0.0.4; charset=utf-8";
// The longest ppoll sleeps on the server's account, should it ask for more.
constexpr MHD_UNSIGNED_LONG_LONG kLongestWaitMs = 60 * 1000;

MHD_Result reply(MHD_Connection* conn, unsigned status, const std::string& body, const char* type) {
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;  // the connection is closed
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    MHD_Result queued = MHD_queue_response(conn, status, r);
    MHD_destroy_response(r);
    return queued;
}

// Called when a request's headers are in, then for each piece of its
// body, then once more at its end. Nothing here takes a body: a request
// that is not ours is answered at once, and its connection closed after
// the answer, unread; a scrape is answered at its end, and its connection
// kept for the next one; a scrape that comes with a body is closed.
MHD_Result answer(void* cls, MHD_Connection* conn, const char* url, const char* method, const char*, const char*,
                  size_t* bodyBytes, void** seen) {
    Metrics& m = *static_cast<Metrics*>(cls);
    if (strcmp(url, "/metrics") != 0) return reply(conn, MHD_HTTP_NOT_FOUND, "not found; try /metrics\n", "text/plain");
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return reply(conn, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n", "text/plain");
    if (*bodyBytes != 0) return MHD_NO;
    if (!*seen) {
        *seen = &m;
        return MHD_YES;
    }
    m.body.clear();
    renderMetrics(*m.figures, &m.body);
    return reply(conn, MHD_HTTP_OK, m.body, kExposition);
}

// Counts the connections closed, for schedule(), and gives each new one a
// small send buffer: a scrape larger than it waits in its response, not in
// the kernel, which would otherwise let the buffer grow to megabytes for a
// scraper that never reads.
void onConnection(void* cls, MHD_Connection* conn, void**, MHD_ConnectionNotificationCode code) {
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        ++static_cast<Metrics*>(cls)->closed;
        return;
    }
    const MHD_ConnectionInfo* info = MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_FD);
    int size = kMetricsSendBuffer;
    if (info) setsockopt(info->connect_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

// What the server knows of its next deadline changes only while it runs.
// At its connection limit it stops watching the listening socket, and it
// watches it again only the next time it runs: after a run that closed
// connections, that is at once, or a scraper waiting in the backlog would
// wait for an event that never comes.
void schedule(Metrics& m, bool closed) {
    MHD_UNSIGNED_LONG_LONG ms = 0;
    m.due = MHD_get_timeout(m.daemon, &ms) == MHD_YES || closed;
    if (!m.due) return;
    if (closed) ms = 0;
    if (ms > kLongestWaitMs) ms = kLongestWaitMs;
    clock_gettime(CLOCK_MONOTONIC, &m.deadline);
    m.deadline.tv_sec += static_cast<time_t>(ms / 1000);
    m.deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (m.deadline.tv_nsec >= 1000000000L) {
        m.deadline.tv_nsec -= 1000000000L;
        m.deadline.tv_sec += 1;
    }
}

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

int listenOn(const HostPort& where, std::string* error) {
    int fd = socket(where.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              (where.addr.ss_family != AF_INET6 || setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0) &&
              bind(fd, reinterpret_cast<const sockaddr*>(&where.addr), where.len) == 0 &&
              listen(fd, kMetricsBacklog) == 0;
    if (ok) return fd;
    *error = "cannot serve -metrics on " + where.text + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
}

}  // namespace

Metrics::~Metrics() {
    if (daemon) MHD_stop_daemon(daemon);
}

bool metricsOpen(Metrics& m, const HostPort& where, std::string* error) {
    if (where.text.empty()) return true;
    if (!isLoopback(where.addr))
        fprintf(stderr, "quorvane-collector: warning: -metrics %s is not on loopback: whoever reaches it reads "
                "every exporter's address and the relay's counters\n", where.text.c_str());
    int listener = listenOn(where, error);
    if (listener < 0) return false;
    // No thread, no log lines (a stream of refused connections would
    // flood standard error), nothing read beyond the request's headers.
    m.daemon = MHD_start_daemon(MHD_USE_EPOLL, 0, nullptr, nullptr, answer, &m, MHD_OPTION_LISTEN_SOCKET, listener,
                                MHD_OPTION_CONNECTION_LIMIT, kMetricsConnections, MHD_OPTION_CONNECTION_TIMEOUT,
                                kMetricsIdleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kMetricsConnectionMemory,
                                MHD_OPTION_NOTIFY_CONNECTION, onConnection, &m, MHD_OPTION_END);
    const MHD_DaemonInfo* info = m.daemon ? MHD_get_daemon_info(m.daemon, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
    if (!info) {
        *error = "cannot serve -metrics on " + where.text + ": libmicrohttpd did not start";
        if (m.daemon) MHD_stop_daemon(m.daemon);
        else close(listener);
        m.daemon = nullptr;
        return false;
    }
    m.fd = info->epoll_fd;
    std::string bound = hostPortText(where.addr);
    fprintf(stderr, "quorvane-collector: serving metrics on http://%s/metrics\n", bound.c_str());
    schedule(m, false);
    return true;
}

timespec* metricsWait(const Metrics& m, timespec* wait, timespec* left) {
    if (!m.due) return wait;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec until{};
    if (before(now, m.deadline)) {
        until.tv_sec = m.deadline.tv_sec - now.tv_sec;
        until.tv_nsec = m.deadline.tv_nsec - now.tv_nsec;
        if (until.tv_nsec < 0) {
            until.tv_nsec += 1000000000L;
            until.tv_sec -= 1;
        }
    }
    if (wait && !before(until, *wait)) return wait;
    *left = until;
    return left;
}

void metricsServe(Metrics& m, bool ready, const MetricsFigures& figures) {
    if (!m.daemon) return;
    if (!ready) {
        if (!m.due) return;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (before(now, m.deadline)) return;
    }
    uint64_t closed = m.closed;
    m.figures = &figures;
    MHD_run(m.daemon);
    m.figures = nullptr;
    schedule(m, m.closed != closed);
}
