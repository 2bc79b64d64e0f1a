// Benchmark driver: plays collector and exporter against a relay (the daemon
// over the UDP emulation of its SCTP seam, or the floor relay), alternating
// the two round by round so both meet the same machine state, and prints the
// medians. Figures only; nothing here passes or fails.
//
// Two load shapes:
//   window  the exporter keeps a fixed number of datagrams ahead of the
//           records received, each followed by its want, so the relay always
//           has work and the kernel drops nothing;
//   flood   an exporter thread sends as fast as it can, the relay's pool fills
//           and overflows, and the wants alone set the pace.
//   relay   the daemon with a real collector behind it, quorvane-collector,
//           in turn plain (-quiet) and relaying every record to a UDP sink
//           (-forward); the driver only offers datagrams at a fixed rate
//           above what the chain can take, and reads records/s off the
//           collector's own counter lines.
//   collector  the same chain with three collectors in turn: quorvane-collector
//           relaying, floor_collector relaying (the least a relay can do),
//           and quorvane-collector plain; at a rate below what the chain
//           takes (--below) and at capacity, closed-loop through the sink
//           (--inflight datagrams in flight). Reports each collector's CPU
//           per record and the chain's records/s, with their spread. With
//           --hup R, a fourth arm: quorvane-collector relaying while the
//           driver sends it R SIGHUPs a second (reloads of its -portsfile),
//           compared with the relaying arm, to which the driver sends as
//           many signals 0. --exporters N sends from N source addresses in
//           turn (127.1.x.y), so the relay's exporter table holds N; with
//           --scrape 1, another arm: quorvane-collector relaying with
//           -metrics, scraped once a second from the driver, compared with
//           the relaying arm. With --format v9 or ipfix the datagrams are
//           NetFlow v9 or IPFIX, numbered as an exporter numbers them, and
//           --compare BIN adds an arm relaying through another collector
//           binary (one without sequence renumbering, say). --spoof 1
//           runs every quorvane-collector arm with -spoof, as the shipped
//           unit does: one raw socket, no socket per exporter.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <linux/perf_event.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sched.h>
#include <sys/prctl.h>
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

struct Options {
    std::string daemon, floor, preload, collector, floorCollector;
    double offer = 150000, below = 5000;
    double hup = 0;  // SIGHUPs a second to the collector of the hup arm
    int inflight = 256;
    int exporters = 1;    // source addresses the offered datagrams come from, in turn
    bool scrape = false;  // an arm relaying with -metrics, scraped once a second
    bool spoof = false;   // quorvane-collector arms relay with -spoof
    bool together = true;
    int burst = 1;
    // Daemon and collector on CPU 1, the driver's exporter and sink on CPU 0,
    // so that their wake-ups stay on one CPU: across CPUs they cost, in a
    // VM, whatever the other CPU happens to be doing.
    bool pin = false;
    std::vector<std::string> wrap;  // a command the collectors run under, valgrind say
    std::vector<std::string> loads{"rate", "capacity"};
    double seconds = 3, warmup = 1;
    int rounds = 5, pool = 4096, maxsize = 1400, window = 64, rcvbuf = 1 << 20;
    std::vector<int> payloads{100, 1400};
    std::vector<std::string> modes{"window", "flood"};
    // Collector mode: what the datagrams are ("raw" bytes, "v9" or
    // "ipfix"), quorvane-collector's -template-refresh, and another
    // collector binary to relay through beside it.
    std::string format = "raw", refresh, compare;
};

struct Result {
    double recordsPerSecond = 0, mallocsPerRecord = 0, cpuMicrosPerRecord = 0;
    double rssKiB = 0, anonKiB = 0, hwmKiB = 0, dropsOrStalls = 0;
    double daemonMicrosPerRecord = 0, sunkPerRecord = 0, wakeupsPerRecord = 0, scrapeBytes = 0;
    double syscallsPerRecord[5] = {-1, -1, -1, -1, -1};  // as kSyscallKinds
    double hupsPerSecond = 0;
    bool ok = false;
};


int freePort(int type) {
    int s = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) die("bind udp");
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

int freeUdpPort() { return freePort(SOCK_DGRAM); }

// One GET /metrics, read to its end; the bytes of the answer, 0 on failure.
size_t scrapeOnce(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    timeval limit{5, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    size_t got = 0;
    static const char kGet[] = "GET /metrics HTTP/1.0\r\n\r\n";
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && send(s, kGet, sizeof kGet - 1, 0) > 0) {
        char buf[65536];
        for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;) got += static_cast<size_t>(n);
    }
    close(s);
    return got;
}



void sendAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n <= 0) die("send to relay");
        p += n;
        len -= static_cast<size_t>(n);
    }
}

Result runOnce(const Options& o, const std::string& relay, int payload, const std::string& mode) {
    Result r;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1) != 0) die("listen");
    socklen_t alen = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &alen);
    int collectorPort = ntohs(a.sin_port);
    int udpPort = freeUdpPort();

    char counterPath[] = "/tmp/quorvane-bench-mallocs-XXXXXX";
    int cfd = mkstemp(counterPath);
    if (cfd < 0 || ftruncate(cfd, 8) != 0) die("counter file");
    auto* mallocs = static_cast<volatile uint64_t*>(mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, cfd, 0));
    close(cfd);

    pid_t pid = fork();
    if (pid == 0) {
        setenv("QUORVANE_MALLOC_COUNTER", counterPath, 1);
        if (!o.preload.empty()) setenv("LD_PRELOAD", o.preload.c_str(), 1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::string fp = std::to_string(collectorPort), buf = std::to_string(o.rcvbuf),
                    pool = std::to_string(o.pool), max = std::to_string(o.maxsize);
        execl(relay.c_str(), relay.c_str(), "-forwardingport", fp.c_str(), "-udpsocketbufsize", buf.c_str(),
              "-packetpoolsize", pool.c_str(), "-maxpacketsize", max.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    pollfd lp{listener, POLLIN, 0};
    if (poll(&lp, 1, 10000) != 1) {
        fprintf(stderr, "relay %s did not connect\n", relay.c_str());
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return r;
    }
    int conn = accept(listener, nullptr, nullptr);
    close(listener);

    unsigned char update[9] = {1, 0, 0, 0, 1, 0, 0, static_cast<unsigned char>(udpPort >> 8),
                               static_cast<unsigned char>(udpPort)};
    sendAll(conn, update, sizeof update);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    int exporter = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(udpPort));
    connect(exporter, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::vector<unsigned char> frame(4 + static_cast<size_t>(payload));
    frame[2] = 0;
    frame[3] = 5;
    for (size_t i = 4; i < frame.size(); ++i) frame[i] = static_cast<unsigned char>(i);

    std::atomic<bool> stop{false};
    std::thread flooder;
    bool window = mode == "window";
    std::vector<char> wants(static_cast<size_t>(o.window), 0);
    if (window) {
        for (int i = 0; i < o.window; ++i) send(exporter, frame.data(), frame.size(), 0);
    } else {
        flooder = std::thread([&] {
            while (!stop.load(std::memory_order_relaxed)) send(exporter, frame.data(), frame.size(), 0);
        });
    }
    sendAll(conn, wants.data(), wants.size());

    std::vector<unsigned char> in(1 << 20);
    size_t have = 0;
    uint64_t records = 0, stalls = 0;
    auto start = Clock::now();
    auto windowStart = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.warmup));
    auto windowEnd = windowStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
    bool inWindow = false;
    uint64_t records0 = 0, mallocs0 = 0;
    long ticks0 = 0;
    Clock::time_point t0;
    for (;;) {
        auto now = Clock::now();
        if (!inWindow && now >= windowStart) {
            inWindow = true;
            t0 = now;
            records0 = records;
            mallocs0 = *mallocs;
            ticks0 = cpuTicks(pid);
        }
        if (now >= windowEnd) {
            uint64_t got = records - records0;
            double secs = std::chrono::duration<double>(now - t0).count();
            long ticks = cpuTicks(pid) - ticks0;
            r.recordsPerSecond = got / secs;
            r.mallocsPerRecord = got ? double(*mallocs - mallocs0) / got : 0;
            r.cpuMicrosPerRecord = got ? ticks * 1e6 / sysconf(_SC_CLK_TCK) / got : 0;
            r.rssKiB = statusField(pid, "VmRSS");
            r.hwmKiB = statusField(pid, "VmHWM");
            r.anonKiB = statusField(pid, "RssAnon");
            r.dropsOrStalls = stalls;
            r.ok = got > 0;
            break;
        }
        pollfd p{conn, POLLIN, 0};
        if (poll(&p, 1, 100) == 0) {
            // Wants that found the queue empty merged; keep the loop alive.
            ++stalls;
            if (window) send(exporter, frame.data(), frame.size(), 0);
            sendAll(conn, wants.data(), 1);
            continue;
        }
        ssize_t n = recv(conn, in.data() + have, in.size() - have, 0);
        if (n <= 0) {
            fprintf(stderr, "relay %s closed the connection\n", relay.c_str());
            break;
        }
        have += static_cast<size_t>(n);
        size_t at = 0, done = 0;
        while (have - at >= 36) {
            const unsigned char* h = in.data() + at + 32;
            size_t len = (size_t{h[0]} << 24) | (size_t{h[1]} << 16) | (size_t{h[2]} << 8) | h[3];
            if (have - at < 36 + len) break;
            at += 36 + len;
            ++done;
        }
        memmove(in.data(), in.data() + at, have - at);
        have -= at;
        records += done;
        if (done > 0) {
            if (window)
                for (size_t i = 0; i < done; ++i) send(exporter, frame.data(), frame.size(), 0);
            if (wants.size() < done) wants.resize(done, 0);
            sendAll(conn, wants.data(), done);
        }
    }
    stop = true;
    if (flooder.joinable()) flooder.join();
    close(exporter);
    close(conn);
    for (int i = 0; i < 50; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = 0;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (pid != 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    munmap(const_cast<uint64_t*>(mallocs), 8);
    unlink(counterPath);
    return r;
}

// System calls a process makes, by kind, counted by the kernel's syscall
// tracepoints through perf_event_open (root, or perf_event_paranoid -1).
// Where the tracepoints are not readable the counts stay at -1 and the
// figures print as "-".
const char* const kSyscallKinds[] = {"raw_syscalls/sys_enter", "syscalls/sys_enter_sendto",
                                     "syscalls/sys_enter_recvfrom", "syscalls/sys_enter_sendmmsg",
                                     "syscalls/sys_enter_sendmsg"};
constexpr int kSyscallKindCount = 5;

struct SyscallCounters {
    int fd[kSyscallKindCount] = {-1, -1, -1, -1, -1};
};

SyscallCounters openSyscallCounters(pid_t pid) {
    SyscallCounters c;
    for (int i = 0; i < kSyscallKindCount; ++i) {
        std::string path = std::string("/sys/kernel/tracing/events/") + kSyscallKinds[i] + "/id";
        FILE* f = fopen(path.c_str(), "r");
        if (!f) continue;
        long id = -1;
        if (fscanf(f, "%ld", &id) != 1) id = -1;
        fclose(f);
        if (id < 0) continue;
        perf_event_attr attr{};
        attr.type = PERF_TYPE_TRACEPOINT;
        attr.size = sizeof attr;
        attr.config = static_cast<uint64_t>(id);
        c.fd[i] = static_cast<int>(syscall(SYS_perf_event_open, &attr, pid, -1, -1, PERF_FLAG_FD_CLOEXEC));
    }
    return c;
}

long long readCounter(int fd) {
    uint64_t v = 0;
    if (fd < 0 || read(fd, &v, sizeof v) != sizeof v) return -1;
    return static_cast<long long>(v);
}

void closeSyscallCounters(SyscallCounters& c) {
    for (int& fd : c.fd)
        if (fd >= 0) close(fd), fd = -1;
}

// What runs behind the daemon: quorvane-collector relaying to the sink, the
// floor collector doing the same, quorvane-collector plain (-quiet),
// quorvane-collector relaying under a stream of SIGHUPs (--hup), relaying
// with -metrics, scraped once a second (--scrape), or the --compare
// collector relaying.
enum class Arm { Relay, Floor, Plain, Hup, Scraped, Compare };
// How datagrams are offered: at a fixed rate (set it below what the chain
// takes), or closed-loop, a new datagram for each one the sink gets back, so
// the chain runs flat out without the kernel dropping anything and without
// an offerer spinning on a CPU the chain needs. Plain has no sink to close
// the loop on, so it runs at a fixed rate only.
enum class Load { Rate, Capacity };

const char* armName(Arm a) {
    return a == Arm::Relay ? "relay" : a == Arm::Floor ? "floor" : a == Arm::Plain ? "plain" : a == Arm::Hup ? "hup"
           : a == Arm::Scraped ? "scrape" : "compare";
}

// The datagrams of --format v9 and ipfix, as the emulated exporter frames
// them: data records of one template, with the template alone in one
// datagram of every kTemplateEvery (a relay that missed it at start-up
// learns it there). v9 numbers the datagrams; IPFIX goes out on streams 1
// and 2 in turn, each numbering its own data records, as over SCTP.
struct NetflowFrames {
    static constexpr uint64_t kTemplateEvery = 4096;
    bool ipfix = false;
    std::vector<unsigned char> data, templ;  // frames: the emulation's 4 bytes, then the datagram
    uint32_t records = 0;                    // in each data datagram
    uint64_t sent = 0;
    uint32_t seq[3] = {0, 0, 0};             // v9: [0]; IPFIX: per stream

    NetflowFrames(const std::string& format, int payload) {
        ipfix = format == "ipfix";
        // 24 bytes a record: addresses, packets, bytes, ports, protocol and more.
        static const uint16_t kFields[][2] = {{8, 4}, {12, 4}, {2, 4}, {1, 4}, {7, 2},
                                              {11, 2}, {4, 1}, {5, 1}, {6, 1}, {10, 1}};
        constexpr size_t kRecord = 24, kFieldCount = sizeof kFields / sizeof kFields[0];
        size_t header = ipfix ? 16 : 20;
        size_t body = static_cast<size_t>(payload) > header + 4 + kRecord ? payload - header - 4 : kRecord;
        records = static_cast<uint32_t>(body / kRecord);
        data.assign(4 + header + 4 + body, 0);
        templ.assign(4 + header + 4 + 4 + 4 * kFieldCount, 0);
        for (std::vector<unsigned char>* f : {&data, &templ}) {
            unsigned char* m = f->data() + 4;
            writeBe16(m, ipfix ? 10 : 9);
            writeBe32(m + (ipfix ? 12 : 16), 7);  // domain
        }
        unsigned char* d = data.data() + 4;
        writeBe16(d + 2, static_cast<uint32_t>(ipfix ? data.size() - 4 : records));
        writeBe16(d + header, 256);
        writeBe16(d + header + 2, static_cast<uint32_t>(4 + body));
        for (uint32_t r = 0; r < records; ++r) d[header + 4 + r * kRecord + 3] = static_cast<unsigned char>(r + 1);
        unsigned char* t = templ.data() + 4;
        writeBe16(t + 2, static_cast<uint32_t>(ipfix ? templ.size() - 4 : 1));
        writeBe16(t + header, ipfix ? 2 : 0);
        writeBe16(t + header + 2, static_cast<uint32_t>(templ.size() - 4 - header));
        writeBe16(t + header + 4, 256);
        writeBe16(t + header + 6, kFieldCount);
        for (size_t i = 0; i < kFieldCount; ++i) {
            writeBe16(t + header + 8 + 4 * i, kFields[i][0]);
            writeBe16(t + header + 10 + 4 * i, kFields[i][1]);
        }
    }

    // The next datagram, written to `to` (room for a data frame); its length.
    size_t next(unsigned char* to) {
        bool isTemplate = sent++ % kTemplateEvery == 0;
        const std::vector<unsigned char>& f = isTemplate ? templ : data;
        memcpy(to, f.data(), f.size());
        uint32_t stream = ipfix ? 1 + sent % 2 : 0;
        writeBe16(to + 2, stream);
        writeBe32(to + 4 + (ipfix ? 8 : 12), seq[stream]);
        seq[stream] += ipfix ? (isTemplate ? 0 : records) : 1;
        return f.size();
    }
};

// One run of the daemon and the collector of `arm`. The sink is read (as a
// real collector's socket would be) and its datagrams counted.
Result runArm(const Options& o, Arm arm, Load load, double rate, int payload) {
    Result r;
    int sink = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(sink, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) die("bind sink");
    socklen_t alen = sizeof a;
    getsockname(sink, reinterpret_cast<sockaddr*>(&a), &alen);
    int big = 4 << 20;
    setsockopt(sink, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    timeval tick{0, 100000};
    setsockopt(sink, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    std::string target = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    std::string udpPort = std::to_string(freeUdpPort());
    bool scraped = arm == Arm::Scraped;
    int metricsPort = scraped ? freePort(SOCK_STREAM) : 0;

    char counterPath[] = "/tmp/quorvane-bench-mallocs-XXXXXX";
    int cfd = mkstemp(counterPath);
    if (cfd < 0 || ftruncate(cfd, 8) != 0) die("counter file");
    auto* mallocs = static_cast<volatile uint64_t*>(mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, cfd, 0));
    close(cfd);

    // The hup arm's ports come from a file, which every SIGHUP reads again.
    char portsPath[] = "/tmp/quorvane-bench-ports-XXXXXX";
    int pfd = mkstemp(portsPath);
    if (pfd < 0 || write(pfd, udpPort.data(), udpPort.size()) != static_cast<ssize_t>(udpPort.size())) die("ports file");
    close(pfd);

    const std::string& bin = arm == Arm::Floor ? o.floorCollector : arm == Arm::Compare ? o.compare : o.collector;
    std::string ahead = std::to_string(o.window);
    // Everything the children need is made before fork: arms may run in
    // threads side by side, and a child of a threaded process must not
    // allocate before exec.
    std::vector<std::string> args = o.wrap;
    if (arm == Arm::Hup) args.insert(args.end(), {bin, "-listen", "0", "-portsfile", portsPath});
    else args.insert(args.end(), {bin, "-listen", "0", "-ports", udpPort});
    args.insert(args.end(), {"-quiet", "-ahead", ahead, "-stats", "1"});
    if (arm != Arm::Plain) args.insert(args.end(), {"-forward", target});
    if (scraped) args.insert(args.end(), {"-metrics", "127.0.0.1:" + std::to_string(metricsPort)});
    if (o.spoof && arm != Arm::Plain && arm != Arm::Floor) args.push_back("-spoof");
    if (arm != Arm::Floor && !o.refresh.empty()) args.insert(args.end(), {"-template-refresh", o.refresh});
    std::vector<std::string> env{std::string("QUORVANE_MALLOC_COUNTER=") + counterPath};
    if (!o.preload.empty() && o.wrap.empty()) env.push_back("LD_PRELOAD=" + o.preload);
    for (char** e = environ; *e; ++e) env.push_back(*e);
    std::vector<char*> argv, envp;
    for (std::string& x : args) argv.push_back(&x[0]);
    for (std::string& x : env) envp.push_back(&x[0]);
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) die("pipe");
    cpu_set_t chainCpu, driverCpu;
    CPU_ZERO(&chainCpu);
    CPU_ZERO(&driverCpu);
    CPU_SET(1, &chainCpu);
    CPU_SET(0, &driverCpu);
    pid_t col = fork();
    if (col == 0) {
        if (o.pin) sched_setaffinity(0, sizeof chainCpu, &chainCpu);
        // A socket per exporter: as many descriptors as the hard limit allows.
        rlimit files{};
        if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
            files.rlim_cur = files.rlim_max;
            setrlimit(RLIMIT_NOFILE, &files);
        }
        dup2(out[1], 1);
        dup2(err[1], 2);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    SyscallCounters counters = openSyscallCounters(col);
    long long calls0[kSyscallKindCount] = {};
    FILE* colOut = fdopen(out[0], "r");
    FILE* colErr = fdopen(err[0], "r");
    char line[4096];
    std::string collectorPort;
    // "listening on 127.0.0.1:PORT"
    if (fgets(line, sizeof line, colOut) && strrchr(line, ':')) collectorPort = std::to_string(atoi(strrchr(line, ':') + 1));
    pid_t daemon = -1;
    std::string buf = std::to_string(o.rcvbuf), pool = std::to_string(o.pool), max = std::to_string(o.maxsize);
    if (!collectorPort.empty()) {
        daemon = fork();
        if (daemon == 0) {
            if (o.pin) sched_setaffinity(0, sizeof chainCpu, &chainCpu);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(o.daemon.c_str(), o.daemon.c_str(), "-forwardingport", collectorPort.c_str(), "-udpsocketbufsize",
                  buf.c_str(), "-packetpoolsize", pool.c_str(), "-maxpacketsize", max.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> sunk{0}, stalls{0}, hups{0}, scrapes{0}, scrapeBytes{0};
    // Once a second, as Prometheus would, on the driver's CPU.
    std::thread scraper([&] {
        if (!scraped) return;
        if (o.pin) sched_setaffinity(0, sizeof driverCpu, &driverCpu);
        auto next = Clock::now();
        while (!stop.load(std::memory_order_relaxed)) {
            size_t got = scrapeOnce(metricsPort);
            if (got) {
                ++scrapes;
                scrapeBytes += got;
            }
            next += std::chrono::seconds(1);
            while (!stop.load(std::memory_order_relaxed) && Clock::now() < next)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    // With --hup every arm's collector gets a signal --hup times a second:
    // SIGHUP in the hup arm, signal 0 (checked, never delivered) in the
    // others, so that all bear the sender's wake-ups and system calls alike.
    // The collector has its signals in hand once it has said where it
    // listens, so a SIGHUP from now on is a reload, never its end.
    std::thread hupper([&] {
        if (collectorPort.empty() || o.hup <= 0) return;
        if (o.pin) sched_setaffinity(0, sizeof driverCpu, &driverCpu);
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        auto step = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / o.hup));
        for (auto next = Clock::now(); !stop.load(std::memory_order_relaxed); next += step) {
            kill(col, arm == Arm::Hup ? SIGHUP : 0);
            ++hups;
            std::this_thread::sleep_until(next + step);
        }
    });
    std::thread loader([&] {
        if (o.pin) sched_setaffinity(0, sizeof driverCpu, &driverCpu);
        int exporter = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<uint16_t>(atoi(udpPort.c_str())));
        connect(exporter, reinterpret_cast<sockaddr*>(&to), sizeof to);
        std::vector<unsigned char> frame(4 + static_cast<size_t>(payload));
        frame[3] = 5;
        for (size_t i = 4; i < frame.size(); ++i) frame[i] = static_cast<unsigned char>(i);
        bool netflow = o.format != "raw";
        NetflowFrames flows(o.format, payload);
        // Batched both ways, so the driver takes as little CPU from the
        // chain as it can.
        constexpr unsigned kBatch = 64;
        std::vector<unsigned char> drain(kBatch * 2048), batch(kBatch * flows.data.size());
        iovec outIov[kBatch], inIov[kBatch];
        mmsghdr outMsg[kBatch]{}, inMsg[kBatch]{};
        // With --exporters, each datagram leaves from the next of the
        // exporters' addresses, set per message (IP_PKTINFO).
        union Control {
            cmsghdr align;
            char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
        } control[kBatch]{};
        uint32_t nextExporter = 0;
        for (unsigned i = 0; i < kBatch; ++i) {
            outIov[i] = {frame.data(), frame.size()};
            outMsg[i].msg_hdr.msg_iov = &outIov[i];
            outMsg[i].msg_hdr.msg_iovlen = 1;
            if (o.exporters > 1) {
                outMsg[i].msg_hdr.msg_control = control[i].bytes;
                outMsg[i].msg_hdr.msg_controllen = sizeof control[i].bytes;
                cmsghdr* c = CMSG_FIRSTHDR(&outMsg[i].msg_hdr);
                c->cmsg_level = IPPROTO_IP;
                c->cmsg_type = IP_PKTINFO;
                c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            }
            inIov[i] = {&drain[i * 2048], 2048};
            inMsg[i].msg_hdr.msg_iov = &inIov[i];
            inMsg[i].msg_hdr.msg_iovlen = 1;
        }
        auto offer = [&](unsigned n) {
            while (n > 0) {
                for (unsigned i = 0; i < std::min(n, kBatch); ++i) {
                    if (netflow) {
                        unsigned char* slot = &batch[i * flows.data.size()];
                        outIov[i] = {slot, flows.next(slot)};
                    }
                    if (o.exporters <= 1) continue;
                    in_pktinfo info{};
                    info.ipi_spec_dst.s_addr = htonl(0x7f010001u + nextExporter);
                    memcpy(CMSG_DATA(CMSG_FIRSTHDR(&outMsg[i].msg_hdr)), &info, sizeof info);
                    nextExporter = (nextExporter + 1) % static_cast<uint32_t>(o.exporters);
                }
                int sent = sendmmsg(exporter, outMsg, std::min(n, kBatch), 0);
                if (sent <= 0) return;  // a refusal before the daemon listens
                n -= static_cast<unsigned>(sent);
            }
        };
        if (load == Load::Capacity) {
            offer(static_cast<unsigned>(o.inflight));
            while (!stop.load(std::memory_order_relaxed)) {
                int got = recvmmsg(sink, inMsg, kBatch, MSG_WAITFORONE, nullptr);
                if (got <= 0) {
                    // Lost at start-up, before the daemon listened: refill.
                    ++stalls;
                    offer(static_cast<unsigned>(o.inflight));
                    continue;
                }
                sunk += static_cast<uint64_t>(got);
                offer(static_cast<unsigned>(got));
            }
        } else {
            // Bursts of --burst at the offered rate. One at a time, spaced,
            // each record crosses the chain alone, one wake-up per process,
            // so what a record costs does not hang on how the scheduler
            // happened to batch them.
            prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
            auto next = Clock::now();
            auto step = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.burst / rate));
            while (!stop.load(std::memory_order_relaxed)) {
                offer(static_cast<unsigned>(o.burst));
                for (int got; (got = recvmmsg(sink, inMsg, kBatch, MSG_DONTWAIT, nullptr)) > 0;) sunk += got;
                next += step;
                std::this_thread::sleep_until(next);
            }
        }
        close(exporter);
    });

    // "stats records=N ..." once a second: the first after the warm-up opens
    // the window, the first after --seconds more closes it.
    bool open = false;
    uint64_t records0 = 0, mallocs0 = 0, sunk0 = 0, stalls0 = 0, hups0 = 0;
    long ticks0 = 0, daemonTicks0 = 0, switches0 = 0;
    Clock::time_point t0;
    auto start = Clock::now();
    while (daemon > 0 && fgets(line, sizeof line, colErr)) {
        const char* at = strstr(line, " stats records=");
        if (!at) continue;
        uint64_t records = strtoull(at + 15, nullptr, 10);
        auto now = Clock::now();
        double since = std::chrono::duration<double>(now - start).count();
        if (!open && since >= o.warmup) {
            open = true;
            // The sink's count first, then the CPU, at once: the relaying
            // arms' records and CPU then cover the same span however late
            // this line reached us, which the line's own count does not.
            sunk0 = sunk;
            ticks0 = cpuTicks(col);
            t0 = Clock::now();
            records0 = records;
            mallocs0 = *mallocs;
            daemonTicks0 = cpuTicks(daemon);
            switches0 = statusField(col, "voluntary_ctxt_switches");
            for (int i = 0; i < kSyscallKindCount; ++i) calls0[i] = readCounter(counters.fd[i]);
            stalls0 = stalls;
            hups0 = hups;
        } else if (open && std::chrono::duration<double>(now - t0).count() >= o.seconds - 0.01) {
            uint64_t sunkNow = sunk;
            long ticks = cpuTicks(col) - ticks0;
            double secs = std::chrono::duration<double>(Clock::now() - t0).count();
            uint64_t lineRecords = records - records0;
            uint64_t got = arm == Arm::Plain ? lineRecords : sunkNow - sunk0;
            double perTick = 1e6 / sysconf(_SC_CLK_TCK);
            r.recordsPerSecond = got / secs;
            r.mallocsPerRecord = got ? double(*mallocs - mallocs0) / got : 0;
            r.cpuMicrosPerRecord = got ? ticks * perTick / got : 0;
            r.daemonMicrosPerRecord = got ? (cpuTicks(daemon) - daemonTicks0) * perTick / got : 0;
            r.sunkPerRecord = lineRecords ? double(sunkNow - sunk0) / lineRecords : 0;
            r.wakeupsPerRecord = got ? double(statusField(col, "voluntary_ctxt_switches") - switches0) / got : 0;
            for (int i = 0; i < kSyscallKindCount; ++i) {
                long long n = readCounter(counters.fd[i]);
                if (got && n >= 0 && calls0[i] >= 0) r.syscallsPerRecord[i] = double(n - calls0[i]) / got;
            }
            r.dropsOrStalls = double(stalls - stalls0);
            r.hupsPerSecond = (hups - hups0) / secs;
            r.rssKiB = statusField(col, "VmRSS");
            r.ok = got > 0;
            break;
        }
    }
    closeSyscallCounters(counters);
    stop = true;
    loader.join();
    hupper.join();
    scraper.join();
    if (scrapes) r.scrapeBytes = double(scrapeBytes) / double(scrapes);
    // TERM first: a collector under a --wrap profiler writes its profile
    // as it ends.
    for (pid_t p : {col, daemon}) {
        if (p <= 0) continue;
        kill(p, SIGTERM);
        bool gone = false;
        for (int i = 0; i < 250 && !gone; ++i) {
            gone = waitpid(p, nullptr, WNOHANG) == p;
            if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!gone) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
    }
    fclose(colOut);
    fclose(colErr);
    close(sink);
    munmap(const_cast<uint64_t*>(mallocs), 8);
    unlink(counterPath);
    unlink(portsPath);
    return r;
}




// quorvane-collector relaying, its floor relaying, and quorvane-collector
// plain, side by side: in each round every arm runs once, in an order that
// rotates from round to round so that whatever else the machine does meets
// all arms alike. The ratios are taken within a round, then summarised.
void runCollectorMode(const Options& o) {
    printf("\ncollector: daemon + (quorvane-collector -forward | floor_collector -forward | quorvane-collector)\n"
           "-quiet -ahead %d -stats 1, the sink read by the driver; CPU from /proc/PID/stat utime+stime over\n"
           "the window; median [min-max] of %d rounds, arms in rotating order within each round\n",
           o.window, o.rounds);
    if (o.exporters > 1 || o.scrape || o.spoof)
        printf("datagrams from %d exporters in turn%s%s\n", o.exporters,
               o.scrape ? "; the scrape arm relays with -metrics, scraped once a second" : "",
               o.spoof ? "; quorvane-collector arms relay with -spoof" : "");
    for (const std::string& loadName : o.loads) {
        Load load = loadName == "capacity" ? Load::Capacity : Load::Rate;
        std::vector<Arm> arms{Arm::Relay, Arm::Floor};
        if (load == Load::Rate) arms.push_back(Arm::Plain);
        if (o.hup > 0) arms.push_back(Arm::Hup);
        if (o.scrape) arms.push_back(Arm::Scraped);
        if (!o.compare.empty()) arms.push_back(Arm::Compare);
        if (load == Load::Capacity)
            printf("\nat capacity: closed loop, %d datagrams in flight\n", o.inflight);
        else
            printf("\nbelow capacity: %.0f datagrams/s offered%s\n", o.below,
                   o.together ? ", the arms' chains running side by side at the same time" : "");
        printf("%7s %-6s %24s %24s %10s %9s %7s %7s %23s %6s\n", "payload", "arm", "records/s",
               "collector us/record", "daemon us", "mallocs/r", "sunk/r", "sleeps", "syscalls/r (send recv)",
               "stalls");
        for (int payload : o.payloads) {
            std::vector<Result> results[6];
            for (int round = 0; round < o.rounds; ++round) {
                Result got[6];
                if (load == Load::Rate && o.together) {
                    std::vector<std::thread> side;
                    for (size_t k = 0; k < arms.size(); ++k)
                        side.emplace_back([&, k] { got[k] = runArm(o, arms[k], load, o.below, payload); });
                    for (std::thread& t : side) t.join();
                } else {
                    for (size_t i = 0; i < arms.size(); ++i) {
                        size_t k = (i + static_cast<size_t>(round)) % arms.size();
                        got[k] = runArm(o, arms[k], load, o.below, payload);
                    }
                }
                bool ok = true;
                for (size_t k = 0; k < arms.size(); ++k) ok = ok && got[k].ok;
                if (!ok) continue;
                for (size_t k = 0; k < arms.size(); ++k) results[k].push_back(got[k]);
            }
            for (size_t k = 0; k < arms.size(); ++k) {
                std::vector<double> rate, cpu, dcpu, m, sunk, st, sleeps, calls[kSyscallKindCount], scraped;
                for (const Result& r : results[k]) {
                    if (r.scrapeBytes > 0) scraped.push_back(r.scrapeBytes);
                    rate.push_back(r.recordsPerSecond);
                    cpu.push_back(r.cpuMicrosPerRecord);
                    dcpu.push_back(r.daemonMicrosPerRecord);
                    m.push_back(r.mallocsPerRecord);
                    sunk.push_back(r.sunkPerRecord);
                    st.push_back(r.dropsOrStalls);
                    sleeps.push_back(r.wakeupsPerRecord);
                    for (int i = 0; i < kSyscallKindCount; ++i) calls[i].push_back(r.syscallsPerRecord[i]);
                }
                char callText[64];
                // Sends of any form: send, sendmmsg, sendmsg (-spoof).
                double sends = median(calls[1]) + std::max(0.0, median(calls[3])) + std::max(0.0, median(calls[4]));
                snprintf(callText, sizeof callText, "%.2f (%.2f %.2f)", median(calls[0]), sends, median(calls[2]));
                printf("%7d %-6s %24s %24s %10.2f %9.4f %7.3f %7.3f %23s %6.0f\n", payload, armName(arms[k]),
                       spread(rate, "%.0f").c_str(), spread(cpu, "%.2f").c_str(), median(dcpu), median(m),
                       median(sunk), median(sleeps), median(calls[0]) < 0 ? "-" : callText, median(st));
                if (!scraped.empty()) printf("%7s %-6s scrape of %.0f bytes\n", "", "", median(scraped));
            }
            // Within-round ratios against the floor (arm 1), the hup and
            // scrape arms' against the plain relay (arm 0), and the relay's
            // against the compare arm.
            for (size_t k = 0; k < arms.size(); ++k) {
                if (arms[k] == Arm::Hup || arms[k] == Arm::Scraped) {
                    std::vector<double> cpuRatio, rateRatio, hupRate;
                    for (size_t i = 0; i < results[k].size(); ++i) {
                        cpuRatio.push_back(results[k][i].cpuMicrosPerRecord / results[0][i].cpuMicrosPerRecord);
                        rateRatio.push_back(results[k][i].recordsPerSecond / results[0][i].recordsPerSecond);
                        hupRate.push_back(results[k][i].hupsPerSecond);
                    }
                    if (arms[k] == Arm::Hup)
                        printf("%7s %-6s %s SIGHUP/s;", "", "hup", spread(hupRate, "%.0f").c_str());
                    else
                        printf("%7s %-6s", "", "scrape");
                    printf(" CPU/record vs relay %s; per round:", spread(cpuRatio, "%.3f").c_str());
                    for (double x : cpuRatio) printf(" %.2f", x);
                    printf("\n%7s %-6s records/s vs relay %s; per round:", "", "", spread(rateRatio, "%.3f").c_str());
                    for (double x : rateRatio) printf(" %.2f", x);
                    printf("\n");
                }
                if (arms[k] == Arm::Compare) {
                    std::vector<double> cpuRatio;
                    for (size_t i = 0; i < results[k].size(); ++i)
                        cpuRatio.push_back(results[0][i].cpuMicrosPerRecord / results[k][i].cpuMicrosPerRecord);
                    printf("%7s %-6s CPU/record of relay vs compare %s; per round:", "", "",
                           spread(cpuRatio, "%.3f").c_str());
                    for (double x : cpuRatio) printf(" %.2f", x);
                    printf("\n");
                }
                if (k == 1) continue;
                std::vector<double> cpuRatio, rateRatio;
                for (size_t i = 0; i < results[k].size(); ++i) {
                    cpuRatio.push_back(results[k][i].cpuMicrosPerRecord / results[1][i].cpuMicrosPerRecord);
                    rateRatio.push_back(results[k][i].recordsPerSecond / results[1][i].recordsPerSecond);
                }
                printf("%7s %-6s CPU/record vs floor %s; per round:", "", armName(arms[k]),
                       spread(cpuRatio, "%.3f").c_str());
                for (double x : cpuRatio) printf(" %.2f", x);
                printf("\n%7s %-6s records/s vs floor %s; per round:", "", "", spread(rateRatio, "%.3f").c_str());
                for (double x : rateRatio) printf(" %.2f", x);
                printf("\n");
            }
            if (results[0].size() < static_cast<size_t>(o.rounds))
                printf("%7s %zu of %d rounds left out: an arm's chain did not start or moved no records\n", "",
                       static_cast<size_t>(o.rounds) - results[0].size(), o.rounds);
            fflush(stdout);
        }
    }
}

}  // namespace

// Runs arm a (run(true)) and arm b (run(false)) of one round, alternating
// which goes first from round to round so that drift hits both alike.
template <typename Run>
void runPair(int round, Run run, Result* a, Result* b) {
    if (round % 2 == 0) {
        *a = run(true);
        *b = run(false);
    } else {
        *b = run(false);
        *a = run(true);
    }
}

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--daemon") o.daemon = v;
        else if (k == "--floor") o.floor = v;
        else if (k == "--preload") o.preload = v;
        else if (k == "--collector") o.collector = v;
        else if (k == "--floor-collector") o.floorCollector = v;
        else if (k == "--below") o.below = atof(v.c_str());
        else if (k == "--inflight") o.inflight = atoi(v.c_str());
        else if (k == "--hup") o.hup = atof(v.c_str());
        else if (k == "--exporters") o.exporters = std::max(1, atoi(v.c_str()));
        else if (k == "--scrape") o.scrape = atoi(v.c_str()) != 0;
        else if (k == "--spoof") o.spoof = atoi(v.c_str()) != 0;
        else if (k == "--loads") o.loads = split(v);
        else if (k == "--together") o.together = atoi(v.c_str()) != 0;
        else if (k == "--burst") o.burst = std::max(1, atoi(v.c_str()));
        else if (k == "--pin") o.pin = atoi(v.c_str()) != 0;
        else if (k == "--wrap") {
            for (size_t b = 0, e; b < v.size(); b = e + 1) {
                e = v.find(' ', b);
                if (e == std::string::npos) e = v.size();
                if (e > b) o.wrap.push_back(v.substr(b, e - b));
            }
        }
        else if (k == "--offer") o.offer = atof(v.c_str());
        else if (k == "--seconds") o.seconds = atof(v.c_str());
        else if (k == "--warmup") o.warmup = atof(v.c_str());
        else if (k == "--rounds") o.rounds = atoi(v.c_str());
        else if (k == "--pool") o.pool = atoi(v.c_str());
        else if (k == "--maxsize") o.maxsize = atoi(v.c_str());
        else if (k == "--window") o.window = atoi(v.c_str());
        else if (k == "--rcvbuf") o.rcvbuf = atoi(v.c_str());
        else if (k == "--modes") o.modes = split(v);
        else if (k == "--format") o.format = v;
        else if (k == "--refresh") o.refresh = v;
        else if (k == "--compare") o.compare = v;
        else if (k == "--payloads") {
            o.payloads.clear();
            for (auto& p : split(v)) o.payloads.push_back(atoi(p.c_str()));
        } else {
            fprintf(stderr, "unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (o.daemon.empty() || o.floor.empty()) {
        fprintf(stderr,
                "usage: quorvane_bench --daemon BIN --floor BIN [--preload LIB] [--seconds S] [--warmup S]"
                " [--rounds N] [--pool N] [--maxsize N] [--window N] [--rcvbuf N] [--modes window,flood,relay,collector]"
                " [--collector BIN] [--offer RECORDS_PER_S] [--floor-collector BIN] [--below RECORDS_PER_S]"
                " [--inflight N] [--hup SIGHUPS_PER_S] [--exporters N] [--scrape 0|1] [--spoof 0|1] [--loads rate,capacity] [--together 1|0]"
                " [--burst N] [--pin 0|1] [--wrap 'CMD ARGS'] [--format raw|v9|ipfix] [--refresh DATAGRAMS,SECS] [--compare BIN]"
                " [--payloads 100,1400]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    double poolKiB = double(o.pool) * (o.maxsize + 36) / 1024;
    printf("pool %d x %d bytes = %.0f KiB; %d rounds of %.1f s (after %.1f s warm-up), relays alternating\n\n",
           o.pool, o.maxsize + 36, poolKiB, o.rounds, o.seconds, o.warmup);
    bool daemonModes = std::any_of(o.modes.begin(), o.modes.end(),
                                   [](const std::string& m) { return m == "window" || m == "flood"; });
    if (daemonModes)
        printf("%-7s %7s %11s %11s %6s %9s %8s %8s %8s %8s %9s %8s %6s\n", "mode", "payload", "quorvane/s",
               "floor/s", "ratio", "mallocs/r", "cpu us/r", "floor us", "RSS KiB", "anon KiB", "anon-pool",
               "floorRSS", "stalls");
    for (const std::string& mode : o.modes) {
        if (mode == "relay" || mode == "collector") continue;
        for (int payload : o.payloads) {
            std::vector<double> q, f, ratios, m, cq, cf, rss, anon, frss, st;
            for (int round = 0; round < o.rounds; ++round) {
                Result a, b;
                runPair(round, [&](bool daemon) { return runOnce(o, daemon ? o.daemon : o.floor, payload, mode); },
                        &a, &b);
                if (!a.ok || !b.ok) continue;
                q.push_back(a.recordsPerSecond);
                f.push_back(b.recordsPerSecond);
                ratios.push_back(a.recordsPerSecond / b.recordsPerSecond);
                m.push_back(a.mallocsPerRecord);
                cq.push_back(a.cpuMicrosPerRecord);
                cf.push_back(b.cpuMicrosPerRecord);
                rss.push_back(a.rssKiB);
                anon.push_back(a.anonKiB);
                frss.push_back(b.rssKiB);
                st.push_back(a.dropsOrStalls);
            }
            double mq = median(q), mf = median(f);
            printf("%-7s %7d %11.0f %11.0f %6.3f %9.4f %8.2f %8.2f %8.0f %8.0f %9.0f %8.0f %6.0f\n", mode.c_str(),
                   payload, mq, mf, mf > 0 ? mq / mf : 0, median(m), median(cq), median(cf), median(rss),
                   median(anon), median(anon) - poolKiB, median(frss), median(st));
            printf("%-7s %7s per-round ratios:", "", "");
            for (double x : ratios) printf(" %.3f", x);
            printf("\n");
            fflush(stdout);
        }
    }
    bool relayMode = std::find(o.modes.begin(), o.modes.end(), "relay") != o.modes.end();
    bool collectorMode = std::find(o.modes.begin(), o.modes.end(), "collector") != o.modes.end();
    if (!relayMode && !collectorMode) return 0;
    if (o.collector.empty() || (collectorMode && o.floorCollector.empty())) {
        fprintf(stderr, "modes relay and collector need --collector, and collector --floor-collector too\n");
        return 2;
    }
    if (relayMode) {
        // This mode has always offered bursts of 32, above capacity.
        Options burst = o;
        burst.burst = 32;
        printf("\nrelay: daemon + quorvane-collector -quiet -ahead %d (plain) against the same with -forward to a UDP\n"
               "sink; %.0f datagrams/s offered; collector figures (mallocs, CPU, RSS) per record in the window\n\n",
               o.window, o.offer);
        printf("%-7s %7s %11s %11s %6s %9s %9s %9s %9s %8s\n", "mode", "payload", "relay/s", "plain/s", "ratio",
               "mallocs/r", "plain m/r", "cpu us/r", "plain us", "RSS KiB");
        for (int payload : o.payloads) {
            std::vector<double> rl, pl, ratios, m, pm, cr, cp, rss;
            for (int round = 0; round < o.rounds; ++round) {
                Result a, b;
                runPair(round,
                        [&](bool relay) {
                            return runArm(burst, relay ? Arm::Relay : Arm::Plain, Load::Rate, o.offer, payload);
                        },
                        &a, &b);
                if (!a.ok || !b.ok) continue;
                rl.push_back(a.recordsPerSecond);
                pl.push_back(b.recordsPerSecond);
                ratios.push_back(a.recordsPerSecond / b.recordsPerSecond);
                m.push_back(a.mallocsPerRecord);
                pm.push_back(b.mallocsPerRecord);
                cr.push_back(a.cpuMicrosPerRecord);
                cp.push_back(b.cpuMicrosPerRecord);
                rss.push_back(a.rssKiB);
            }
            double mr = median(rl), mp = median(pl);
            printf("%-7s %7d %11.0f %11.0f %6.3f %9.4f %9.4f %9.2f %9.2f %8.0f\n", "relay", payload, mr, mp,
                   mp > 0 ? mr / mp : 0, median(m), median(pm), median(cr), median(cp), median(rss));
            printf("%-7s %7s per-round ratios:", "", "");
            for (double x : ratios) printf(" %.3f", x);
            printf("\n");
            fflush(stdout);
        }
    }
    if (collectorMode) runCollectorMode(o);
    return 0;
}
