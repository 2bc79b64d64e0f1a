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
constexpr int64_t kReloadGapNs = 100000000;  // 0.1 s between reloads at least

// Requests the daemon has not taken yet. The socket never blocks, so a
// daemon that stops reading can neither hold us up nor make us hold more
// than this: wants merge into a count (the daemon merges them anyway), and
// port updates into the latest set. The daemon reads each request to its
// end before anything else, so an update it has begun to get is finished
// first, and the latest set waits whole behind it.
struct Outbox {
    std::vector<uint8_t> update;  // being sent
    size_t updateSent = 0;
    std::vector<uint8_t> next;  // the latest set, once `update` has begun
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
    long long oversize = 0;  // records too long to hold, read past
    int64_t nextStatsNs = 0;
    int signals = -1;  // signalfd of HUP, TERM and INT
    Metrics metrics;
    bool reloadRequested = false;
    int64_t signalsHeldUntilNs = 0;  // after a reload; see runTimers
    bool stopRequested = false;
};

int64_t nowNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void reportCounters(const Collector& c, const char* what) {
    if (!c.counting) return;
    fprintf(stderr, "quorvane-collector: %s records=%lld refused=%llu%s%s oversize=%lld\n", what,
            c.received, static_cast<unsigned long long>(c.link.refused), relayCountersText(c.relay).c_str(),
            associationsCountersText(c.relay.associations).c_str(), c.oversize);
}

// The last words of a run that ends in order: refusals not yet told, then
// the counters.
void reportExit(Collector& c) {
    linkTellRefusals(c.link);
    reportCounters(c, "exit stats");
}

// Any other end has its refusals told too.
int leave(Collector& c, int status) {
    linkTellRefusals(c.link);
    return status;
}

// -raw holds every flow record: private to us, appended to, never reached
// through a link (symbolic or hard), and never a file someone else
// prepared for us. Opened without blocking, so that a FIFO at the path
// cannot hold up start-up before it is seen for what it is.
FILE* openRawFile(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                  0600);
    if (fd < 0) {
        fprintf(stderr, "quorvane-collector: cannot open %s: %s\n", path.c_str(), strerror(errno));
        return nullptr;
    }
    struct stat st {};
    const char* refused = nullptr;
    if (fstat(fd, &st) != 0) refused = strerror(errno);
    else if (!S_ISREG(st.st_mode)) refused = "not a regular file";
    else if (st.st_uid != geteuid()) refused = "owned by another user";
    else if (st.st_nlink != 1) refused = "it has other hard links";
    else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) refused = strerror(errno);
    FILE* f = refused ? nullptr : fdopen(fd, "ab");
    if (!f) {
        fprintf(stderr, "quorvane-collector: cannot use %s: %s\n", path.c_str(),
                refused ? refused : strerror(errno));
        close(fd);
    }
    return f;
}

// Hands the daemon what the outbox holds, as far as it takes it now.
// False when the connection has failed.
bool flushRequests(Collector& c) {
    static const uint8_t kWants[256] = {};  // kRequestWant is 0
    Outbox& o = c.out;
    for (;;) {
        if (!o.update.empty() && o.updateSent == o.update.size()) {
            o.update.swap(o.next);
            o.next.clear();
            o.updateSent = 0;
        }
        bool update = !o.update.empty();
        if (!update && o.wants == 0) return true;
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
}

void queueWants(Collector& c, long long n) {
    // One want per record keeps -ahead of them in flight; more never helps.
    c.out.wants = std::min<long long>(c.out.wants + n, c.opt.ahead);
}

void queuePortUpdate(Collector& c) {
    (c.out.updateSent > 0 ? c.out.next : c.out.update) = encodePortUpdate(c.ports);
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
    reportExit(c);
    return c.received < c.opt.count ? kExitTrouble : 0;
}

// A whole record, or a piece of one too long to hold: that is read past
// and kept in -raw, which holds what the daemon sent, but relayed to no one
// (UDP could not carry it) and counted when its last byte has come. The
// relay may renumber the payload where it lies, so -raw and the line have
// it first.
int handleFrame(Collector& c, const Frame& f) {
    const RecordHeader& h = f.header;
    uint8_t* payload = f.bytes + kRecordHeaderSize;
    if (c.raw && (fwrite(f.bytes, 1, f.size, c.raw) != f.size || fflush(c.raw) != 0)) {
        fprintf(stderr, "quorvane-collector: writing %s: %s\n", c.opt.rawFile.c_str(),
                strerror(errno));
        return kExitTrouble;
    }
    if (f.last) {
        ++c.received;
        if (f.piece) ++c.oversize;
    }
    if (f.last && !c.opt.quiet) {
        std::string line = f.piece ? formatRecordLine(h, nullptr, 0) + " oversize"
                                   : formatRecordLine(h, payload, h.payloadLength);
        printf("%s\n", line.c_str());
        fflush(stdout);
    }
    if (!f.piece) relayRecord(c.relay, h, payload, h.payloadLength);
    if (!f.last) return kGoOn;
    if (c.opt.count >= 0 && c.received >= c.opt.count) {
        close(c.conn);
        fprintf(stderr, "quorvane-collector: got %lld records, closing\n", c.received);
        relayFlush(c.relay);
        reportExit(c);
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
        Frame frame;
        std::string err;
        FrameResult r = framerNext(c.framer, &frame, &err);
        if (r == FrameResult::NeedMore) break;
        if (r == FrameResult::Malformed) {
            relayFlush(c.relay);  // the records before it were counted as received
            fprintf(stderr, "quorvane-collector: malformed record stream after %lld records: %s\n",
                    c.received, err.c_str());
            return kExitMalformed;
        }
        records += frame.last;
        int rc = handleFrame(c, frame);
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

// HUP, TERM and INT arrive as readable data beside the connection rather
// than through handlers: ppoll delivers a blocked signal only when it has
// nothing else to report, so under a steady stream of records a stop could
// otherwise wait forever. A stop, too, has last words to write.
int setUpSignals() {
    // A daemon that vanished must show up as a failed send, not kill us.
    signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
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

// Does what the clock says is due: the counter line every -stats seconds,
// and the refusals not yet told. Returns how long ppoll may sleep until the
// next, or until signals are watched again after a reload, in `left`; null
// for no limit.
timespec* runTimers(Collector& c, timespec* left) {
    int64_t now = nowNs();
    if (c.opt.statsSeconds > 0 && now >= c.nextStatsNs) {
        reportCounters(c, "stats");
        c.nextStatsNs += c.opt.statsSeconds * 1000000000LL;
    }
    if (linkRefusalsDue(c.link) >= 0 && now >= linkRefusalsDue(c.link)) linkTellRefusals(c.link);
    int64_t due = linkRefusalsDue(c.link);
    if (c.opt.statsSeconds > 0 && (due < 0 || c.nextStatsNs < due)) due = c.nextStatsNs;
    if (now < c.signalsHeldUntilNs && (due < 0 || c.signalsHeldUntilNs < due)) due = c.signalsHeldUntilNs;
    if (due < 0) return nullptr;
    int64_t wait = std::max<int64_t>(due - now, 0);
    left->tv_sec = static_cast<time_t>(wait / 1000000000);
    left->tv_nsec = static_cast<long>(wait % 1000000000);
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
    // Aliases are remembered within the exporter table's own cap.
    if (!c.relay.targets.empty()) associationsInit(c.relay.associations, c.relay.maxExporters);
    c.counting = c.opt.statsSeconds > 0 || !c.relay.targets.empty();
    c.signals = setUpSignals();
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

    timespec left{}, metricsLeft{};
    c.nextStatsNs = nowNs() + c.opt.statsSeconds * 1000000000LL;
    for (;;) {
        if (c.stopRequested) {
            fprintf(stderr, "quorvane-collector: stopped by a signal after %lld records\n",
                    c.received);
            reportExit(c);
            return 0;
        }
        if (c.reloadRequested) {
            c.reloadRequested = false;
            reload(c);
            c.signalsHeldUntilNs = nowNs() + kReloadGapNs;
        }
        timespec* wait = metricsWait(c.metrics, runTimers(c, &left), &metricsLeft);
        int rc = kGoOn;
        if (c.conn >= 0 && !flushRequests(c)) rc = endSession(c, strerror(errno));
        if (rc != kGoOn) return leave(c, rc);

        pollfd fds[3] = {{c.signals, POLLIN, 0}, {c.link.listener, POLLIN, 0}, {c.metrics.fd, POLLIN, 0}};
        if (c.conn >= 0) {
            bool pending = !c.out.update.empty() || c.out.wants > 0;
            fds[1] = pollfd{c.conn, static_cast<short>(POLLIN | (pending ? POLLOUT : 0)), 0};
        }
        // For a while after a reload, signals stay pending unread: the
        // SIGHUPs of that gap merge into one reload, which reads the file as
        // it is then, and a storm of them costs nothing in between; a stop
        // waits no longer than the gap.
        bool held = nowNs() < c.signalsHeldUntilNs;
        int ready = ppoll(held ? fds + 1 : fds, held ? 2 : 3, wait, nullptr);
        if (ready < 0 && errno != EINTR) {
            fprintf(stderr, "quorvane-collector: poll: %s\n", strerror(errno));
            return leave(c, kExitTrouble);
        }
        metricsServe(c.metrics, fds[2].revents != 0,
                     MetricsFigures{c.received, c.oversize, c.conn >= 0, &c.link, &c.relay});
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
            if (rc != kGoOn) return leave(c, rc);
        }
    }
}
