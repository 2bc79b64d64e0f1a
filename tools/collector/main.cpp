// quorvane-collector: a small example collector. It waits for the daemon's
// connection, tells it which SCTP ports to listen on, keeps a few want
// requests in flight and prints one line per forwarded record. With
// -forward it also relays each record's payload over UDP (relay.h). Unless
// -count ends the run, it outlives the daemon: when the connection ends it
// waits for the next daemon, with its relay sockets and counters kept.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "daemon_link.h"
#include "metrics.h"
#include "options.h"
#include "privileges.h"
#include "record.h"
#include "relay.h"

namespace {

constexpr int kGoOn = -1;  // a step's result when the run is not over

// Requests the daemon has not taken yet. The socket never blocks, so a
// daemon that stops reading cannot hold us up: wants merge into a count
// (the daemon merges them anyway), and a port update waits whole, because
// the daemon reads each request to its end before anything else.
struct Outbox {
    std::vector<uint8_t> update;
    size_t updateSent = 0;
    long long wants = 0;
};

struct Collector {
    Options opt;
    std::vector<int32_t> ports;
    DaemonLink link;
    Relay relay;
    FILE* raw = nullptr;
    bool counting = false;
    int conn = -1;
    Outbox out;
    RecordFramer framer;
    long long received = 0;
    int signals = -1;  // signalfd of HUP, and of TERM and INT when counting
    Metrics metrics;
    bool reloadRequested = false;
    bool stopRequested = false;
};

void reportCounters(const Collector& c, const char* what) {
    if (!c.counting) return;
    fprintf(stderr, "quorvane-collector: %s records=%lld refused=%llu%s\n", what, c.received,
            static_cast<unsigned long long>(c.link.refused), relayCountersText(c.relay).c_str());
}

// -raw holds every flow record: private to us, appended to, never reached
// through a link, and never a file someone else prepared for us.
FILE* openRawFile(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && (st.st_uid != geteuid() || !S_ISREG(st.st_mode))) {
        fprintf(stderr, "quorvane-collector: cannot use %s: %s\n", path.c_str(),
                S_ISREG(st.st_mode) ? "owned by another user" : "not a regular file");
        close(fd);
        return nullptr;
    }
    FILE* f = fd >= 0 ? fdopen(fd, "ab") : nullptr;
    if (!f)
        fprintf(stderr, "quorvane-collector: cannot open %s: %s\n", path.c_str(), strerror(errno));
    return f;
}

// Hands the daemon what the outbox holds, as far as it takes it now.
// False when the connection has failed.
bool flushRequests(Collector& c) {
    static const uint8_t kWants[256] = {};  // kRequestWant is 0
    Outbox& o = c.out;
    while (o.updateSent < o.update.size() || o.wants > 0) {
        bool update = o.updateSent < o.update.size();
        const uint8_t* p = update ? o.update.data() + o.updateSent : kWants;
        size_t len = update ? o.update.size() - o.updateSent
                            : static_cast<size_t>(std::min<long long>(o.wants, sizeof kWants));
        ssize_t n = send(c.conn, p, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        if (update) o.updateSent += static_cast<size_t>(n);
        else o.wants -= n;
    }
    o.update.clear();
    o.updateSent = 0;
    return true;
}

void queueWants(Collector& c, long long n) {
    // One want per record keeps -ahead of them in flight; more never helps.
    c.out.wants = std::min<long long>(c.out.wants + n, c.opt.ahead);
}

void queuePortUpdate(Collector& c) {
    std::vector<uint8_t> req = encodePortUpdate(c.ports);
    c.out.update.insert(c.out.update.end(), req.begin(), req.end());
    fprintf(stderr, "quorvane-collector: sent port update: %s\n", portListText(c.ports).c_str());
}

void startSession(Collector& c, int conn) {
    c.conn = conn;
    c.framer = RecordFramer{};
    c.out = Outbox{};
    queuePortUpdate(c);
    queueWants(c, c.opt.ahead);
}

// The connection is over, however it ended. With -count the run ends too;
// otherwise the next daemon is waited for.
int endSession(Collector& c, const std::string& how) {
    close(c.conn);
    c.conn = -1;
    fprintf(stderr, "quorvane-collector: connection closed by the daemon (%s) after %lld records\n",
            how.c_str(), c.received);
    if (c.opt.count < 0) {
        fprintf(stderr, "quorvane-collector: waiting for the daemon to connect again\n");
        return kGoOn;
    }
    reportCounters(c, "exit stats");
    return c.received < c.opt.count ? kExitTrouble : 0;
}

int handleRecord(Collector& c, const RecordHeader& h, const uint8_t* raw) {
    ++c.received;
    const uint8_t* payload = raw + kRecordHeaderSize;
    relayRecord(c.relay, h, payload, h.payloadLength);
    if (!c.opt.quiet) {
        printf("%s\n", formatRecordLine(h, payload, h.payloadLength).c_str());
        fflush(stdout);
    }
    size_t size = kRecordHeaderSize + h.payloadLength;
    if (c.raw && (fwrite(raw, 1, size, c.raw) != size || fflush(c.raw) != 0)) {
        fprintf(stderr, "quorvane-collector: writing %s: %s\n", c.opt.rawFile.c_str(),
                strerror(errno));
        return kExitTrouble;
    }
    if (c.opt.count >= 0 && c.received >= c.opt.count) {
        close(c.conn);
        fprintf(stderr, "quorvane-collector: got %lld records, closing\n", c.received);
        relayFlush(c.relay);
        reportCounters(c, "exit stats");
        return 0;
    }
    return kGoOn;
}

// One read from the daemon, and every whole record it completes.
int readRecords(Collector& c) {
    constexpr size_t kReadSize = 64 * 1024;
    ssize_t n = recv(c.conn, framerSpace(c.framer, kReadSize), kReadSize, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return kGoOn;
    if (n <= 0) {
        std::string how = n == 0 ? "end of stream" : strerror(errno);
        std::string err;
        if (framerTruncated(c.framer, &err)) {
            // A daemon killed mid-record ends the stream like this; only a
            // run that counts records calls it a broken stream.
            if (c.opt.count >= 0) {
                fprintf(stderr, "quorvane-collector: malformed record stream: %s\n", err.c_str());
                return kExitMalformed;
            }
            how = err;
        }
        return endSession(c, how);
    }
    framerCommit(c.framer, static_cast<size_t>(n));
    long long records = 0;
    for (;;) {
        RecordHeader h;
        const uint8_t* raw = nullptr;
        std::string err;
        FrameResult r = framerNext(c.framer, &h, &raw, &err);
        if (r == FrameResult::NeedMore) break;
        if (r == FrameResult::Malformed) {
            relayFlush(c.relay);  // the records before it were counted as received
            fprintf(stderr, "quorvane-collector: malformed record stream after %lld records: %s\n",
                    c.received, err.c_str());
            return kExitMalformed;
        }
        ++records;
        int rc = handleRecord(c, h, raw);
        if (rc != kGoOn) return rc;
    }
    // The records of this read lie in the framer until the next read.
    relayFlush(c.relay);
    queueWants(c, records);
    return kGoOn;
}

void reload(Collector& c) {
    std::string err;
    if (c.opt.portsFile.empty()) {
        fprintf(stderr, "quorvane-collector: SIGHUP ignored, no -portsfile\n");
    } else if (!readPortsFile(c.opt.portsFile, &c.ports, &err)) {
        fprintf(stderr, "quorvane-collector: %s; ports unchanged\n", err.c_str());
    } else if (c.conn >= 0) {
        queuePortUpdate(c);
    }
}

// HUP, and with counters to report TERM and INT, arrive as readable data
// beside the connection rather than through handlers: ppoll delivers a
// blocked signal only when it has nothing else to report, so under a steady
// stream of records a stop could otherwise wait forever.
int setUpSignals(bool counting) {
    // A daemon that vanished must show up as a failed send, not kill us.
    signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    if (counting) {
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGINT);
    }
    sigprocmask(SIG_BLOCK, &set, nullptr);
    return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

void takeSignals(Collector& c) {
    signalfd_siginfo si;
    while (read(c.signals, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGHUP) c.reloadRequested = true;
        else c.stopRequested = true;
    }
}

// How long ppoll may sleep before the next counter line is due; null for
// no limit. Writes the line when it is due.
timespec* statsTimer(const Collector& c, timespec* next, timespec* left) {
    if (c.opt.statsSeconds <= 0) return nullptr;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > next->tv_sec || (now.tv_sec == next->tv_sec && now.tv_nsec >= next->tv_nsec)) {
        reportCounters(c, "stats");
        next->tv_sec += c.opt.statsSeconds;
    }
    left->tv_sec = next->tv_sec - now.tv_sec;
    left->tv_nsec = next->tv_nsec - now.tv_nsec;
    if (left->tv_nsec < 0) {
        left->tv_nsec += 1000000000L;
        left->tv_sec -= 1;
    }
    if (left->tv_sec < 0) *left = timespec{};
    return left;
}

}  // namespace

int main(int argc, char** argv) {
    Collector c;
    c.opt = parseOptions(argc, argv);
    c.ports = c.opt.ports;
    std::string err;
    if (!c.opt.havePorts && !readPortsFile(c.opt.portsFile, &c.ports, &err)) {
        fprintf(stderr, "quorvane-collector: %s (the SCTP ports to listen on, see quorvane-collector(1))\n",
                err.c_str());
        return kExitBadPortsFile;
    }
    if (!c.opt.rawFile.empty() && !(c.raw = openRawFile(c.opt.rawFile))) return kExitTrouble;
    c.relay.targets = c.opt.targets;
    c.relay.spoof = c.opt.spoof;
    c.relay.maxExporters = c.opt.maxExporters;
    c.relay.templates.refreshDatagrams = c.opt.refreshDatagrams;
    c.relay.templates.refreshSeconds = c.opt.refreshSeconds;
    if (!relayOpen(c.relay, &err)) {
        fprintf(stderr, "quorvane-collector: %s\n", err.c_str());
        return kExitTrouble;
    }
    c.counting = c.opt.statsSeconds > 0 || !c.relay.targets.empty();
    c.signals = setUpSignals(c.counting);
    if (c.signals < 0) {
        fprintf(stderr, "quorvane-collector: signalfd: %s\n", strerror(errno));
        return kExitTrouble;
    }

    c.link.allowed = c.opt.peerUids;
    c.link.allowed.push_back(geteuid());
    if (!linkListen(c.link, c.opt.listenPort, &err) || !metricsOpen(c.metrics, c.opt.metrics, &err) ||
        !dropCapabilities(&err)) {
        fprintf(stderr, "quorvane-collector: %s\n", err.c_str());
        return kExitTrouble;
    }
    if (!c.relay.targets.empty() && !c.relay.spoof)
        fprintf(stderr, "quorvane-collector: relaying from this host's own address: a collector that tells "
                "exporters apart by address (nfcapd does) sees them all as one, and their templates may "
                "clash; -spoof keeps them apart (it needs CAP_NET_RAW: %s)\n", kGrantNetRaw);

    timespec nextStats{}, left{}, metricsLeft{};
    clock_gettime(CLOCK_MONOTONIC, &nextStats);
    nextStats.tv_sec += c.opt.statsSeconds;
    for (;;) {
        if (c.stopRequested) {
            fprintf(stderr, "quorvane-collector: stopped by a signal after %lld records\n",
                    c.received);
            reportCounters(c, "exit stats");
            return 0;
        }
        timespec* wait = metricsWait(c.metrics, statsTimer(c, &nextStats, &left), &metricsLeft);
        if (c.reloadRequested) {
            c.reloadRequested = false;
            reload(c);
        }
        int rc = kGoOn;
        if (c.conn >= 0 && !flushRequests(c)) rc = endSession(c, strerror(errno));
        if (rc != kGoOn) return rc;

        pollfd fds[3] = {{c.signals, POLLIN, 0}, {c.link.listener, POLLIN, 0}, {c.metrics.fd, POLLIN, 0}};
        if (c.conn >= 0) {
            bool pending = !c.out.update.empty() || c.out.wants > 0;
            fds[1] = pollfd{c.conn, static_cast<short>(POLLIN | (pending ? POLLOUT : 0)), 0};
        }
        int ready = ppoll(fds, 3, wait, nullptr);
        if (ready < 0 && errno != EINTR) {
            fprintf(stderr, "quorvane-collector: poll: %s\n", strerror(errno));
            return kExitTrouble;
        }
        metricsServe(c.metrics, fds[2].revents != 0, MetricsFigures{c.received, c.conn >= 0, &c.link, &c.relay});
        if (ready <= 0) continue;
        if (fds[0].revents) {
            takeSignals(c);
            continue;
        }
        if (c.conn < 0) {
            int conn = linkAccept(c.link);
            if (conn >= 0) startSession(c, conn);
        } else if (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) {
            rc = readRecords(c);
            if (rc != kGoOn) return rc;
        }
    }
}
