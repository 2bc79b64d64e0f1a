// quorvane-exporter: sends NetFlow datagrams to the daemon over SCTP, the
// way an exporting device would, over one or more associations and streams.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/args.h"
#include "../common/netflow.h"
#include "datagrams.h"
#include "sctp_send.h"

namespace {

const char kUsage[] =
    "usage: quorvane-exporter -host ADDR -port P [-bind ADDR[,ADDR...]] [-assocs A]"
    " [-style one-to-one|one-to-many] [-streams 0,1,2] [-count N] [-rate PPS]"
    " [-format v9|ipfix|v5] [-templates every|once] [-size BYTES] [-file RAWFILE] [-quiet]";

constexpr size_t kMaxDatagram = 65535;

struct Options {
    std::string host;
    long long port = -1;
    std::vector<std::string> bindAddrs;
    long long assocs = 1;
    bool oneToMany = false;
    std::vector<uint16_t> streams{0};
    std::string streamText = "0";
    long long count = -1;  // -1: 10 synthetic datagrams, or each file datagram once
    long long rate = 0;
    NetflowFormat format = NetflowFormat::V9;
    std::string formatText = "v9";
    bool templatesOnce = false;
    long long size = 0;
    std::string file;
    bool quiet = false;
};

[[noreturn]] void usage(const std::string& why) {
    if (!why.empty()) fprintf(stderr, "quorvane-exporter: %s\n", why.c_str());
    fprintf(stderr, "%s\n", kUsage);
    exit(1);
}

[[noreturn]] void fail(const std::string& what) {
    fprintf(stderr, "quorvane-exporter: %s\n", what.c_str());
    exit(1);
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "-quiet") {
            o.quiet = true;
            continue;
        }
        if (i + 1 >= argc) usage(name + " needs a value");
        const char* value = argv[++i];
        std::string err;
        if (name == "-host") {
            o.host = value;
        } else if (name == "-port") {
            if (!parseNumber(value, 1, 65535, &o.port)) usage("bad -port");
        } else if (name == "-bind") {
            std::string list = value;
            for (size_t at = 0;;) {
                size_t comma = list.find(',', at);
                o.bindAddrs.push_back(list.substr(at, comma == std::string::npos ? comma : comma - at));
                if (o.bindAddrs.back().empty()) usage("bad -bind, addresses separated by commas");
                if (comma == std::string::npos) break;
                at = comma + 1;
            }
        } else if (name == "-assocs") {
            if (!parseNumber(value, 1, 1000, &o.assocs)) usage("bad -assocs (1 to 1000)");
        } else if (name == "-style") {
            std::string s = value;
            if (s == "one-to-one") o.oneToMany = false;
            else if (s == "one-to-many") o.oneToMany = true;
            else usage("bad -style, one-to-one or one-to-many");
        } else if (name == "-streams") {
            if (!parseStreamList(value, &o.streams, &err)) usage("-streams: " + err);
            o.streamText = value;
        } else if (name == "-count") {
            if (!parseNumber(value, 0, INT64_MAX, &o.count)) usage("bad -count");
        } else if (name == "-rate") {
            if (!parseNumber(value, 0, 10000000, &o.rate)) usage("bad -rate");
        } else if (name == "-format") {
            if (!parseNetflowFormat(value, &o.format)) usage("bad -format, v9, ipfix or v5");
            o.formatText = value;
        } else if (name == "-templates") {
            std::string s = value;
            if (s == "every") o.templatesOnce = false;
            else if (s == "once") o.templatesOnce = true;
            else usage("bad -templates, every or once");
        } else if (name == "-size") {
            if (!parseNumber(value, 0, kMaxDatagram, &o.size)) usage("bad -size (0 to 65535)");
        } else if (name == "-file") {
            o.file = value;
        } else {
            usage("unknown option " + name);
        }
    }
    if (o.host.empty()) usage("-host is required");
    if (o.port < 0) usage("-port is required");
    return o;
}

bool resolve(const std::string& host, uint16_t port, sockaddr_in* out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
    *out = *reinterpret_cast<sockaddr_in*>(res->ai_addr);
    out->sin_port = htons(port);
    freeaddrinfo(res);
    return true;
}

std::string addrText(const sockaddr_in& a) {
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(a.sin_port));
}

int openSocket(const Options& o, uint16_t outStreams, const std::vector<sockaddr_in>& locals) {
    const char* call = "";
    int fd = exporterSocket(o.oneToMany, outStreams, &call);
    if (fd < 0) {
        if (errno == EPROTONOSUPPORT || errno == ESOCKTNOSUPPORT) {
            fprintf(stderr, "the kernel has no SCTP; load the sctp module\n");
            exit(1);
        }
        fail(std::string(call) + ": " + strerror(errno));
    }
    if (!locals.empty() && exporterBind(fd, locals.data(), locals.size()) < 0) {
        std::string names;
        for (const std::string& a : o.bindAddrs) names += (names.empty() ? "" : ",") + a;
        fail("cannot bind to " + names + ": " + strerror(errno));
    }
    return fd;
}

// Set by SIGTERM and SIGINT: the run ends after the datagram being sent.
volatile sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

void sleepUntil(const timespec& start, long long index, long long rate) {
    long long ns = index * 1000000000LL / rate;
    timespec t = start;
    t.tv_sec += ns / 1000000000LL;
    t.tv_nsec += ns % 1000000000LL;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR && !stopRequested) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parseOptions(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    // Without SA_RESTART, so that a pause or a blocked send ends at once.
    struct sigaction stop {};
    stop.sa_handler = requestStop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    std::vector<std::vector<uint8_t>> fileDatagrams;
    if (!o.file.empty()) {
        std::ifstream in(o.file, std::ios::binary);
        if (!in) fail("cannot read " + o.file + ": " + strerror(errno));
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        std::string err;
        if (!parseRawDatagrams(bytes, &fileDatagrams, &err)) fail(o.file + ": " + err);
        if (fileDatagrams.empty() && o.count != 0) fail(o.file + ": no datagrams");
        for (const auto& d : fileDatagrams)
            if (d.size() > kMaxDatagram)
                fail(o.file + ": datagram of " + std::to_string(d.size()) + " bytes is too long");
    }
    long long count = o.count;
    if (count < 0) count = o.file.empty() ? 10 : static_cast<long long>(fileDatagrams.size());

    sockaddr_in peer{};
    if (!resolve(o.host, static_cast<uint16_t>(o.port), &peer)) fail("cannot resolve " + o.host);
    uint16_t outStreams = outboundStreamsNeeded(o.streams);
    std::vector<sockaddr_in> locals(o.bindAddrs.size());
    for (size_t i = 0; i < locals.size(); ++i)
        if (!resolve(o.bindAddrs[i], 0, &locals[i])) fail("cannot resolve -bind address " + o.bindAddrs[i]);
    size_t assocs = static_cast<size_t>(o.assocs);

    // One socket per association in both styles: a one-to-many socket holds
    // one association per peer address, so several to one address need
    // several sockets.
    std::vector<int> socks;
    for (size_t a = 0; a < assocs; ++a) {
        int fd = openSocket(o, outStreams, locals);
        if (!o.oneToMany) {
            int granted = 0;
            if (exporterConnect(fd, peer, &granted) < 0)
                fail("association " + std::to_string(a) + " to " + addrText(peer) + ": " +
                     strerror(errno));
            if (granted < outStreams)
                fail("association " + std::to_string(a) + ": peer granted " + std::to_string(granted) +
                     " outbound streams, " + std::to_string(outStreams) + " needed");
        }
        socks.push_back(fd);
    }

    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    uint32_t sequence = 0;
    uint64_t bytesSent = 0;
    long long sent = 0;
    for (long long i = 0; i < count && !stopRequested; ++i) {
        if (o.rate > 0) sleepUntil(start, i, o.rate);
        if (stopRequested) break;
        std::vector<uint8_t> datagram;
        Slot slot = slotFor(static_cast<uint64_t>(i), assocs, o.streams);
        if (o.file.empty()) {
            // Over SCTP an exporter may send a template once per association
            // and never again: the first round of associations carries them.
            bool withTemplate = !o.templatesOnce || static_cast<size_t>(i) < assocs;
            SyntheticDatagram d = makeNetflowDatagram(o.format, sequence, static_cast<size_t>(o.size),
                                                      static_cast<uint32_t>(time(nullptr)), withTemplate);
            sequence += o.format == NetflowFormat::V9 ? 1 : d.dataRecords;
            datagram = std::move(d.bytes);
        } else {
            datagram = fileDatagrams[static_cast<size_t>(i) % fileDatagrams.size()];
        }
        int fd = socks[slot.assoc];
        int n = exporterSend(fd, datagram.data(), datagram.size(), o.oneToMany ? &peer : nullptr,
                             slot.stream);
        if (n < 0 && errno == EINTR && stopRequested) break;
        if (n < 0)
            fail("send " + std::to_string(i) + " on association " + std::to_string(slot.assoc) +
                 " stream " + std::to_string(slot.stream) + " to " + addrText(peer) + ": " +
                 strerror(errno));
        ++sent;
        bytesSent += datagram.size();
        if (!o.quiet) {
            NetflowHeader h;
            if (decodeNetflowHeader(datagram.data(), datagram.size(), &h))
                printf("sent assoc %zu stream %u len %zu seq %u\n", slot.assoc, slot.stream,
                       datagram.size(), h.sequence);
            else
                printf("sent assoc %zu stream %u len %zu\n", slot.assoc, slot.stream,
                       datagram.size());
            fflush(stdout);
        }
    }

    for (int fd : socks) exporterClose(fd, o.oneToMany ? &peer : nullptr);

    printf("sent %lld datagrams, %llu bytes, to %s over %zu %s associations, streams %s, %s\n",
           sent, static_cast<unsigned long long>(bytesSent), addrText(peer).c_str(), assocs,
           o.oneToMany ? "one-to-many" : "one-to-one", o.streamText.c_str(),
           o.file.empty() ? ("format " + o.formatText).c_str() : ("file " + o.file).c_str());
    return 0;
}
