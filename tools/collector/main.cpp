// quorvane-collector: a small example collector. It waits for the daemon's
// connection, tells it which SCTP ports to listen on, keeps a few want
// requests in flight and prints one line per forwarded record. With
// -forward it also relays each record's payload over UDP (relay.h).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <time.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/args.h"
#include "record.h"
#include "relay.h"

namespace {

const char kUsage[] =
    "usage: quorvane-collector -listen PORT -ports P1,P2,... [-ahead K] [-count N]"
    " [-raw FILE] [-portsfile FILE] [-forward HOST:PORT]... [-spoof] [-stats SECS] [-quiet]";

// Exit statuses: 0 done, 1 trouble (usage, sockets, fewer records than asked
// for), 2 the daemon sent something that is not a record stream.
constexpr int kExitTrouble = 1;
constexpr int kExitMalformed = 2;

struct Options {
    int listenPort = -1;
    bool havePorts = false;
    std::vector<int32_t> ports;
    long ahead = 4;
    long long count = -1;  // -1: no limit
    std::string rawFile;
    std::string portsFile;
    bool quiet = false;
    std::vector<RelayTarget> targets;
    bool spoof = false;
    long long statsSeconds = 0;
};

volatile sig_atomic_t reloadRequested = 0;
volatile sig_atomic_t stopRequested = 0;

void onHangup(int) { reloadRequested = 1; }
void onStop(int) { stopRequested = 1; }

[[noreturn]] void usage(const std::string& why) {
    if (!why.empty()) fprintf(stderr, "quorvane-collector: %s\n", why.c_str());
    fprintf(stderr, "%s\n", kUsage);
    exit(kExitTrouble);
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "-quiet") {
            o.quiet = true;
            continue;
        }
        if (name == "-spoof") {
            o.spoof = true;
            continue;
        }
        if (i + 1 >= argc) usage(name + " needs a value");
        const char* value = argv[++i];
        long long n = 0;
        if (name == "-listen") {
            if (!parseNumber(value, 0, 65535, &n)) usage("bad -listen port");
            o.listenPort = static_cast<int>(n);
        } else if (name == "-ports") {
            std::string err;
            if (!parsePortList(value, &o.ports, &err)) usage("-ports: " + err);
            o.havePorts = true;
        } else if (name == "-ahead") {
            if (!parseNumber(value, 1, 1000000, &n)) usage("bad -ahead (1 or more)");
            o.ahead = static_cast<long>(n);
        } else if (name == "-count") {
            if (!parseNumber(value, 1, INT64_MAX, &n)) usage("bad -count (1 or more)");
            o.count = n;
        } else if (name == "-raw") {
            o.rawFile = value;
        } else if (name == "-portsfile") {
            o.portsFile = value;
        } else if (name == "-forward") {
            // Resolved here, so a bad target ends us before we listen.
            RelayTarget t;
            std::string err;
            if (!parseRelayTarget(value, &t, &err)) usage(err);
            o.targets.push_back(t);
        } else if (name == "-stats") {
            if (!parseNumber(value, 1, 86400, &n)) usage("bad -stats (1 to 86400 seconds)");
            o.statsSeconds = n;
        } else {
            usage("unknown option " + name);
        }
    }
    if (o.listenPort < 0) usage("-listen is required");
    if (!o.havePorts && o.portsFile.empty()) usage("-ports or -portsfile is required");
    if (o.spoof && o.targets.empty()) usage("-spoof needs -forward");
    return o;
}

bool readPortsFile(const std::string& path, std::vector<int32_t>* ports, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    if (!parsePortList(text.str(), ports, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

// The daemon reads each request to its end before doing anything else, so
// a request must never be left half-written.
bool sendAll(int fd, const uint8_t* data, size_t len) {
    while (len > 0) {
        ssize_t n = send(fd, data, len, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

std::string portListText(const std::vector<int32_t>& ports) {
    std::string s;
    for (size_t i = 0; i < ports.size(); ++i) s += (i ? "," : "") + std::to_string(ports[i]);
    return s.empty() ? "(none)" : s;
}

bool sendPortUpdate(int fd, const std::vector<int32_t>& ports) {
    std::vector<uint8_t> req = encodePortUpdate(ports);
    if (!sendAll(fd, req.data(), req.size())) return false;
    fprintf(stderr, "quorvane-collector: sent port update: %s\n", portListText(ports).c_str());
    return true;
}

int acceptDaemon(int port) {
    int lsock = socket(AF_INET, SOCK_STREAM, 0);
    if (lsock < 0) {
        fprintf(stderr, "quorvane-collector: socket: %s\n", strerror(errno));
        exit(kExitTrouble);
    }
    int one = 1;
    setsockopt(lsock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(lsock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || listen(lsock, 1) < 0) {
        fprintf(stderr, "quorvane-collector: cannot listen on 127.0.0.1:%d: %s\n", port,
                strerror(errno));
        exit(kExitTrouble);
    }
    socklen_t alen = sizeof addr;
    getsockname(lsock, reinterpret_cast<sockaddr*>(&addr), &alen);
    printf("listening on 127.0.0.1:%u\n", ntohs(addr.sin_port));
    fflush(stdout);

    int conn;
    do {
        conn = accept(lsock, nullptr, nullptr);
    } while (conn < 0 && errno == EINTR);
    if (conn < 0) {
        fprintf(stderr, "quorvane-collector: accept: %s\n", strerror(errno));
        exit(kExitTrouble);
    }
    close(lsock);  // one daemon per run
    fprintf(stderr, "quorvane-collector: daemon connected\n");
    return conn;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt = parseOptions(argc, argv);

    std::vector<int32_t> ports = opt.ports;
    if (!opt.havePorts) {
        std::string err;
        if (!readPortsFile(opt.portsFile, &ports, &err)) {
            fprintf(stderr, "quorvane-collector: %s\n", err.c_str());
            return kExitTrouble;
        }
    }

    FILE* raw = nullptr;
    if (!opt.rawFile.empty()) {
        raw = fopen(opt.rawFile.c_str(), "ab");
        if (!raw) {
            fprintf(stderr, "quorvane-collector: cannot open %s: %s\n", opt.rawFile.c_str(),
                    strerror(errno));
            return kExitTrouble;
        }
    }

    Relay relay;
    relay.targets = opt.targets;
    relay.spoof = opt.spoof;
    std::string relayError;
    if (!relayOpen(relay, &relayError)) {
        fprintf(stderr, "quorvane-collector: %s\n", relayError.c_str());
        return kExitTrouble;
    }
    const bool counting = opt.statsSeconds > 0 || !relay.targets.empty();

    // A daemon that vanished must show up as a failed send, not kill us.
    signal(SIGPIPE, SIG_IGN);
    // SIGHUP stays blocked except while we wait in ppoll, so a hangup can
    // never slip in between checking the flag and going to sleep.
    sigset_t hup, waitMask;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    sigprocmask(SIG_BLOCK, &hup, &waitMask);
    sigdelset(&waitMask, SIGHUP);
    struct sigaction sa {};
    sa.sa_handler = onHangup;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGHUP, &sa, nullptr);

    int conn = acceptDaemon(opt.listenPort);

    // With counters to report, TERM and INT end the run through the loop,
    // which writes the last counter line; they join HUP in being blocked
    // outside ppoll. Until now they simply ended us: nothing to report.
    if (counting) {
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGTERM);
        sigaddset(&stop, SIGINT);
        sigprocmask(SIG_BLOCK, &stop, nullptr);
        sigdelset(&waitMask, SIGTERM);
        sigdelset(&waitMask, SIGINT);
        sa.sa_handler = onStop;
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGINT, &sa, nullptr);
    }

    if (!sendPortUpdate(conn, ports)) {
        fprintf(stderr, "quorvane-collector: sending port update: %s\n", strerror(errno));
        return kExitTrouble;
    }

    // One want per record received, on top of the first -ahead. The daemon
    // merges wants that find its queue empty, so we cannot know how many of
    // ours it still holds; what we do know is that answering every record
    // with a want leaves it at least one, so records never stall. Capping
    // the wants at -count would break exactly that.
    long long received = 0;
    auto reportCounters = [&](const char* what) {
        if (!counting) return;
        fprintf(stderr, "quorvane-collector: %s records=%lld%s\n", what, received,
                relayCountersText(relay).c_str());
    };
    auto sendWants = [&](long long n) {
        for (long long i = 0; i < n; ++i) {
            uint8_t want = kRequestWant;
            if (!sendAll(conn, &want, 1)) return false;
        }
        return true;
    };
    auto daemonGone = [&](const char* how) {
        fprintf(stderr, "quorvane-collector: connection closed by the daemon (%s) after %lld records\n",
                how, received);
        reportCounters("exit stats");
        if (opt.count >= 0 && received < opt.count) return kExitTrouble;
        return 0;
    };
    if (!sendWants(opt.ahead)) return daemonGone(strerror(errno));

    RecordFramer framer;
    RecordHeader header;
    std::vector<uint8_t> record;
    std::vector<uint8_t> chunk(64 * 1024);
    timespec nextStats{};
    clock_gettime(CLOCK_MONOTONIC, &nextStats);
    nextStats.tv_sec += opt.statsSeconds;
    for (;;) {
        if (stopRequested) {
            fprintf(stderr, "quorvane-collector: stopped by a signal after %lld records\n",
                    received);
            reportCounters("exit stats");
            return 0;
        }
        timespec timeout{};
        timespec* wait = nullptr;
        if (opt.statsSeconds > 0) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec > nextStats.tv_sec ||
                (now.tv_sec == nextStats.tv_sec && now.tv_nsec >= nextStats.tv_nsec)) {
                reportCounters("stats");
                nextStats.tv_sec += opt.statsSeconds;
                continue;
            }
            timeout.tv_sec = nextStats.tv_sec - now.tv_sec;
            timeout.tv_nsec = nextStats.tv_nsec - now.tv_nsec;
            if (timeout.tv_nsec < 0) {
                timeout.tv_nsec += 1000000000L;
                timeout.tv_sec -= 1;
            }
            wait = &timeout;
        }
        if (reloadRequested) {
            reloadRequested = 0;
            std::string err;
            if (opt.portsFile.empty()) {
                fprintf(stderr, "quorvane-collector: SIGHUP ignored, no -portsfile\n");
            } else if (!readPortsFile(opt.portsFile, &ports, &err)) {
                fprintf(stderr, "quorvane-collector: %s; ports unchanged\n", err.c_str());
            } else if (!sendPortUpdate(conn, ports)) {
                return daemonGone(strerror(errno));
            }
        }

        pollfd pfd{conn, POLLIN, 0};
        int ready = ppoll(&pfd, 1, wait, &waitMask);
        if (ready < 0) {
            if (errno == EINTR) continue;
            fprintf(stderr, "quorvane-collector: poll: %s\n", strerror(errno));
            return kExitTrouble;
        }
        if (ready == 0) continue;
        ssize_t n = recv(conn, chunk.data(), chunk.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::string err;
            if (framerTruncated(framer, &err)) {
                fprintf(stderr, "quorvane-collector: malformed record stream: %s\n", err.c_str());
                return kExitMalformed;
            }
            return daemonGone(n == 0 ? "end of stream" : strerror(errno));
        }
        framerFeed(framer, chunk.data(), static_cast<size_t>(n));

        for (;;) {
            std::string err;
            FrameResult r = framerNext(framer, &header, &record, &err);
            if (r == FrameResult::NeedMore) break;
            if (r == FrameResult::Malformed) {
                fprintf(stderr, "quorvane-collector: malformed record stream after %lld records: %s\n",
                        received, err.c_str());
                return kExitMalformed;
            }
            ++received;
            relayRecord(relay, header, record.data() + kRecordHeaderSize, header.payloadLength);
            if (!opt.quiet) {
                std::string line = formatRecordLine(header, record.data() + kRecordHeaderSize,
                                                     header.payloadLength);
                printf("%s\n", line.c_str());
                fflush(stdout);
            }
            if (raw && (fwrite(record.data(), 1, record.size(), raw) != record.size() ||
                        fflush(raw) != 0)) {
                fprintf(stderr, "quorvane-collector: writing %s: %s\n", opt.rawFile.c_str(),
                        strerror(errno));
                return kExitTrouble;
            }
            if (opt.count >= 0 && received >= opt.count) {
                close(conn);
                fprintf(stderr, "quorvane-collector: got %lld records, closing\n", received);
                reportCounters("exit stats");
                return 0;
            }
            if (!sendWants(1)) return daemonGone(strerror(errno));
        }
    }
}
