// What an exporter's templates cost quorvane-collector's relay: the driver
// plays the daemon over the collector's TCP port, so nothing but the
// collector is measured, runs
//   quorvane-collector -listen 0 -ports 1 -quiet -forward 127.0.0.1:SINK
// with a sink that a thread drains, and prints figures; nothing passes or
// fails here.
//
// Three parts (--parts cost,memory,mix):
//   cost    CPU per record (utime+stime, /proc/PID/stat) of hostile
//           datagrams of one exporter, each against a data-only datagram of
//           the same size, run alternately: 8185 templates changed in every
//           datagram; the same templates unchanged; 16371 withdrawals of
//           unknown ids against a full cache; and two more.
//   memory  RssAnon growth of the collector when 1000 exporters each fill
//           their cache; define 8184 templates and withdraw them all in one
//           message; or have large templates resent once. Set beside the
//           cache's own account (held= of its counter line).
//   mix     100 ordinary exporters (1400-byte IPFIX datagrams) and one
//           hostile exporter sending as many bytes as each ordinary one: the
//           ordinary records/s with the hostile one, against without it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/netflow.h"
#include "measure.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

struct Options {
    std::string collector;
    int rounds = 5;
    double seconds = 1.5;
    int exporters = 1000;
    int ordinary = 100;
    std::vector<std::string> parts{"cost", "memory", "mix"};
};


// An IPFIX message of one domain around `sets` (already framed).
Bytes ipfix(uint32_t sequence, uint32_t domain, const Bytes& sets) {
    Bytes m;
    appendBe16(m, 10);
    appendBe16(m, static_cast<uint32_t>(16 + sets.size()));
    appendBe32(m, 1700000000);
    appendBe32(m, sequence);
    appendBe32(m, domain);
    m.insert(m.end(), sets.begin(), sets.end());
    return m;
}

Bytes set(uint16_t id, const Bytes& body) {
    Bytes s;
    appendBe16(s, id);
    appendBe16(s, static_cast<uint32_t>(4 + body.size()));
    s.insert(s.end(), body.begin(), body.end());
    return s;
}

// n templates of one 4-byte field each, ids from 256; `element` varies them.
Bytes smallTemplates(int n, uint16_t element) {
    Bytes b;
    for (int i = 0; i < n; ++i) {
        appendBe16(b, 256 + i);
        appendBe16(b, 1);
        appendBe16(b, element);
        appendBe16(b, 4);
    }
    return b;
}

Bytes dataOnly(size_t size) { return ipfix(1, 1, set(256, Bytes(size - 20, 0x5A))); }

// ---- The collector, the sink behind it, and the daemon's end of the link.

struct Relay {
    pid_t pid = -1;
    int conn = -1;
    int sink = -1;
    FILE* err = nullptr;
    std::thread drainer;
    std::atomic<bool> stop{false};
    long long wants = -9;  // the port update's 9 bytes come first
    long long sent = 0;
    static constexpr long long kAhead = 4;  // the collector's default -ahead
};

// Like the daemon, one record per want: the collector keeps -ahead wants
// out, no more, however many records one read brings.

void drainSink(Relay* r) {
    std::vector<uint8_t> buf(65536);
    while (!r->stop.load()) {
        pollfd p{r->sink, POLLIN, 0};
        if (poll(&p, 1, 50) > 0)
            while (recv(r->sink, buf.data(), buf.size(), MSG_DONTWAIT) > 0) {
            }
    }
}

void startRelay(const Options& o, Relay& r, const std::vector<std::string>& extra) {
    r.sink = socket(AF_INET, SOCK_DGRAM, 0);
    int big = 4 << 20;
    setsockopt(r.sink, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(r.sink, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) die("bind sink");
    socklen_t len = sizeof a;
    getsockname(r.sink, reinterpret_cast<sockaddr*>(&a), &len);
    std::string target = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) die("pipe");
    r.pid = fork();
    if (r.pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<std::string> args{o.collector, "-listen", "0", "-ports", "1", "-quiet", "-forward", target};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& s : args) argv.push_back(&s[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    r.err = fdopen(err[0], "r");
    FILE* f = fdopen(out[0], "r");
    char line[128] = {};
    int port = 0;
    if (!fgets(line, sizeof line, f) || sscanf(line, "listening on 127.0.0.1:%d", &port) != 1) {
        fprintf(stderr, "collector did not start: %s\n", line);
        exit(2);
    }
    fclose(f);
    r.conn = socket(AF_INET, SOCK_STREAM, 0);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(r.conn, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) die("connect to the collector");
    r.drainer = std::thread(drainSink, &r);
}

// Counter line fields at the end: SIGTERM, then the exit line's value of
// `key`, or -1 when the collector has none.
long long stopRelay(Relay& r, const char* key) {
    kill(r.pid, SIGTERM);
    long long v = -1;
    char line[4096];
    std::string k = std::string(" ") + key + "=";
    while (fgets(line, sizeof line, r.err)) {
        const char* p = strstr(line, "exit stats");
        if (p && (p = strstr(p, k.c_str()))) v = atoll(p + k.size());
    }
    waitpid(r.pid, nullptr, 0);
    fclose(r.err);
    close(r.conn);
    r.stop = true;
    r.drainer.join();
    close(r.sink);
    return v;
}

// Reads what the collector has sent: the port update, then one want per record.
void readWants(Relay& r, bool block) {
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = recv(r.conn, buf, sizeof buf, block ? 0 : MSG_DONTWAIT);
        if (n > 0) {
            r.wants += n;
            if (static_cast<size_t>(n) < sizeof buf) return;
            block = false;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        fprintf(stderr, "the collector closed its connection\n");
        exit(2);
    }
}

// One record from the exporter at 10.x.y.z, when the collector wants one.
void sendRecord(Relay& r, uint32_t exporter, const Bytes& payload) {
    while (r.wants <= r.sent) readWants(r, true);
    Bytes h(10, 0);
    h.push_back(0xFF);
    h.push_back(0xFF);
    appendBe32(h, 0x0A000000 | exporter);
    appendBe32(h, 1);
    appendBe32(h, 0);
    appendBe32(h, 0);
    appendBe32(h, 1700000000);
    appendBe32(h, static_cast<uint32_t>(payload.size()));
    iovec iov[2] = {{h.data(), h.size()}, {const_cast<uint8_t*>(payload.data()), payload.size()}};
    size_t left = h.size() + payload.size();
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = 2;
    while (left > 0) {
        ssize_t n = sendmsg(r.conn, &m, MSG_NOSIGNAL);
        if (n <= 0) die("send to the collector");
        left -= static_cast<size_t>(n);
        for (size_t done = static_cast<size_t>(n); done > 0 && m.msg_iovlen > 0;) {
            size_t step = std::min(done, m.msg_iov->iov_len);
            m.msg_iov->iov_base = static_cast<uint8_t*>(m.msg_iov->iov_base) + step;
            m.msg_iov->iov_len -= step;
            done -= step;
            if (m.msg_iov->iov_len == 0) {
                ++m.msg_iov;
                --m.msg_iovlen;
            }
        }
    }
    ++r.sent;
    readWants(r, false);
}

// Until every record sent has been taken: its want has come back.
void settle(Relay& r) {
    while (r.wants < r.sent + Relay::kAhead) readWants(r, true);
}





// Sends `next(i)` from `exporter` for about `seconds`: microseconds of
// collector CPU per record.
template <typename Next>
double cpuPerRecord(Relay& r, uint32_t exporter, double seconds, Next next) {
    settle(r);
    long t0 = cpuTicks(r.pid);
    long long n0 = r.sent;
    auto until = Clock::now() + std::chrono::duration<double>(seconds);
    for (uint32_t i = 0; Clock::now() < until || r.sent - n0 < 20; ++i) sendRecord(r, exporter, next(i));
    settle(r);
    return (cpuTicks(r.pid) - t0) * 1e6 / sysconf(_SC_CLK_TCK) / static_cast<double>(r.sent - n0);
}

// ---- cost

struct Hostile {
    const char* name;
    std::vector<Bytes> datagrams;  // sent in turn
    Bytes fill;                    // sent once before, from the same exporter
};

std::vector<Hostile> hostiles() {
    std::vector<Hostile> h(3);
    h[0].name = "8185 templates, changed in every datagram";
    for (int k = 0; k < 64; ++k) h[0].datagrams.push_back(ipfix(k, 1, set(2, smallTemplates(8185, 1 + k))));
    h[1].name = "8185 templates, unchanged";
    h[1].datagrams.push_back(ipfix(1, 1, set(2, smallTemplates(8185, 8))));
    h[2].name = "16371 withdrawals of unknown ids, full cache";
    Bytes w;
    for (int i = 0; i < 16371; ++i) {
        appendBe16(w, 40000 + i);
        appendBe16(w, 0);
    }
    h[2].datagrams.push_back(ipfix(1, 1, set(2, w)));
    h[2].fill = ipfix(0, 1, set(2, smallTemplates(8185, 8)));
    // Two more, beyond the three: capacity taken and given back in every
    // datagram, and withdraw-alls that find a full cache every other one.
    h.resize(5);
    h[3].name = "8184 templates defined and withdrawn in one message";
    Bytes both = smallTemplates(8184, 8);
    appendBe16(both, 2);
    appendBe16(both, 0);
    h[3].datagrams.push_back(ipfix(1, 1, set(2, both)));
    h[4].name = "8185 templates, then 16371 withdraw-alls, in turn";
    Bytes all;
    for (int i = 0; i < 16371; ++i) {
        appendBe16(all, 2);
        appendBe16(all, 0);
    }
    h[4].datagrams = {ipfix(1, 1, set(2, smallTemplates(8185, 8))), ipfix(2, 1, set(2, all))};
    return h;
}

void runCost(const Options& o) {
    printf("\ncost: collector CPU per record, one hostile exporter against a data-only exporter, same size;\n"
           "%d rounds of %.1f s each, alternating; ratio per round, median [min-max]\n\n", o.rounds, o.seconds);
    printf("| datagram | bytes | hostile us/record | data-only us/record | ratio |\n|---|---:|---|---|---|\n");
    for (const Hostile& h : hostiles()) {
        Relay r;
        startRelay(o, r, {});
        if (!h.fill.empty()) sendRecord(r, 1, h.fill);
        Bytes data = dataOnly(h.datagrams[0].size());
        std::vector<double> hostile, plain, ratio;
        for (int round = 0; round < o.rounds; ++round) {
            double a = cpuPerRecord(r, 1, o.seconds, [&](uint32_t i) -> const Bytes& {
                return h.datagrams[i % h.datagrams.size()];
            });
            double b = cpuPerRecord(r, 2, o.seconds, [&](uint32_t) -> const Bytes& { return data; });
            hostile.push_back(a);
            plain.push_back(b);
            ratio.push_back(a / b);
        }
        stopRelay(r, "held");
        printf("| %s | %zu | %s | %s | %s |\n", h.name, h.datagrams[0].size(), spread(hostile, "%.1f").c_str(),
               spread(plain, "%.1f").c_str(), spread(ratio, "%.2f").c_str());
        fflush(stdout);
    }
}

// ---- memory

void runMemory(const Options& o) {
    printf("\nmemory: %d exporters; RssAnon growth of the collector over a baseline of one data record per\n"
           "exporter, against the cache's own account (held=, \"-\" when the collector has none)\n\n",
           o.exporters);
    printf("| case | RssAnon growth KiB | account KiB | growth / account |\n|---|---:|---:|---:|\n");
    Bytes big;
    for (int t = 0; t < 3; ++t) {
        appendBe16(big, 256 + t);
        appendBe16(big, 1000);
        for (int f = 0; f < 1000; ++f) {
            appendBe16(big, 1 + f % 200);
            appendBe16(big, 4);
        }
    }
    Bytes defineAndWithdraw = smallTemplates(8184, 8);
    appendBe16(defineAndWithdraw, 2);
    appendBe16(defineAndWithdraw, 0);
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<Bytes> datagrams;
    } cases[] = {
        {"full cache each", {}, {ipfix(0, 1, set(2, smallTemplates(8185, 8)))}},
        {"8184 defined and withdrawn in one message", {}, {ipfix(0, 1, set(2, defineAndWithdraw))}},
        {"3 templates of 4004 bytes, resent once", {"-template-refresh", "1,0"},
         {ipfix(0, 1, set(2, big)), dataOnly(1400)}},
    };
    for (Case& c : cases) {
        Relay r;
        startRelay(o, r, c.args);
        Bytes data = dataOnly(100);
        for (int e = 0; e < o.exporters; ++e) sendRecord(r, 0x10000 + e, data);
        settle(r);
        long before = statusField(r.pid, "RssAnon");
        for (const Bytes& d : c.datagrams)
            for (int e = 0; e < o.exporters; ++e) sendRecord(r, 0x10000 + e, d);
        settle(r);
        long after = statusField(r.pid, "RssAnon");
        long long held = stopRelay(r, "held");
        char account[32] = "-", share[32] = "-";
        if (held >= 0) snprintf(account, sizeof account, "%lld", held / 1024);
        if (held > 0) snprintf(share, sizeof share, "%.2f", (after - before) * 1024.0 / static_cast<double>(held));
        printf("| %s | %ld | %s | %s |\n", c.name, after - before, account, share);
        fflush(stdout);
    }
}

// ---- mix

void runMix(const Options& o) {
    int per = static_cast<int>(65500 / 1400 * o.ordinary);
    printf("\nmix: %d ordinary exporters (IPFIX, 1400 bytes, data but their first datagram), round robin, and\n"
           "one hostile datagram per %d ordinary ones (as many bytes as each ordinary exporter sends); ordinary\n"
           "records/s with the hostile exporter against without, %d rounds of %.1f s, alternating, median [min-max]\n\n",
           o.ordinary, per, o.rounds, o.seconds);
    printf("| hostile | ordinary rec/s with | without | ratio |\n|---|---|---|---|\n");
    Bytes sets = set(2, smallTemplates(1, 8));
    Bytes filler = set(256, Bytes(1400 - 16 - sets.size() - 4, 0x5A));
    sets.insert(sets.end(), filler.begin(), filler.end());
    Bytes first = ipfix(0, 1, sets), data = dataOnly(1400);
    std::vector<Hostile> all = hostiles();
    all.resize(3);
    for (const Hostile& h : all) {
        Relay r;
        startRelay(o, r, {});
        for (int e = 0; e < o.ordinary; ++e) sendRecord(r, 0x20000 + e, first);
        if (!h.fill.empty()) sendRecord(r, 1, h.fill);
        std::vector<double> with, without, ratio;
        for (int round = 0; round < o.rounds; ++round) {
            double rate[2];
            for (int k = 0; k < 2; ++k) {
                int arm = (k + round) % 2;  // which goes first alternates too
                settle(r);
                auto t0 = Clock::now();
                auto until = t0 + std::chrono::duration<double>(o.seconds);
                long long ordinary = 0;
                for (uint32_t i = 0; Clock::now() < until; ++i) {
                    sendRecord(r, 0x20000 + static_cast<uint32_t>(ordinary % o.ordinary), data);
                    if (++ordinary % per == 0 && arm == 0)
                        sendRecord(r, 1, h.datagrams[(ordinary / per) % h.datagrams.size()]);
                }
                settle(r);
                rate[arm] = static_cast<double>(ordinary) /
                            std::chrono::duration<double>(Clock::now() - t0).count();
            }
            with.push_back(rate[0]);
            without.push_back(rate[1]);
            ratio.push_back(rate[0] / rate[1]);
        }
        stopRelay(r, "held");
        printf("| %s | %s | %s | %s |\n", h.name, spread(with, "%.0f").c_str(), spread(without, "%.0f").c_str(),
               spread(ratio, "%.3f").c_str());
        fflush(stdout);
    }
}


}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--collector") o.collector = v;
        else if (k == "--rounds") o.rounds = atoi(v.c_str());
        else if (k == "--seconds") o.seconds = atof(v.c_str());
        else if (k == "--exporters") o.exporters = atoi(v.c_str());
        else if (k == "--ordinary") o.ordinary = atoi(v.c_str());
        else if (k == "--parts") o.parts = split(v);
        else {
            fprintf(stderr, "unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (o.collector.empty()) {
        fprintf(stderr, "usage: template_cost --collector PATH [--rounds N] [--seconds S] [--exporters N]"
                        " [--ordinary N] [--parts cost,memory,mix]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    // An exporter socket each, beside the collector's reserve.
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::max<rlim_t>(lim.rlim_cur, std::min<rlim_t>(lim.rlim_max, 8192));
    setrlimit(RLIMIT_NOFILE, &lim);
    printf("collector: %s\n", o.collector.c_str());
    for (const std::string& p : o.parts) {
        if (p == "cost") runCost(o);
        else if (p == "memory") runMemory(o);
        else if (p == "mix") runMix(o);
    }
    return 0;
}
