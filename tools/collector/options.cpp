#include "options.h"

#include <pwd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/args.h"

namespace {

const char kUsage[] =
    "usage: quorvane-collector -listen PORT -ports P1,P2,... [-ahead K] [-count N]"
    " [-raw FILE] [-portsfile FILE] [-forward HOST:PORT]... [-spoof] [-max-exporters N]"
    " [-template-refresh DATAGRAMS,SECONDS] [-stats SECS] [-metrics HOST:PORT]"
    " [-peer-user NAME|UID]... [-quiet]";

[[noreturn]] void usage(const std::string& why) {
    if (!why.empty()) fprintf(stderr, "quorvane-collector: %s\n", why.c_str());
    fprintf(stderr, "%s\n", kUsage);
    exit(kExitTrouble);
}

// Names are looked up once, here: a user removed later keeps its uid in our
// list, which is what an operator who named it expects until a restart.
bool parseUser(const char* text, uid_t* out) {
    long long n = 0;
    if (parseNumber(text, 0, UINT32_MAX - 1, &n)) {
        *out = static_cast<uid_t>(n);
        return true;
    }
    const passwd* pw = getpwnam(text);
    if (!pw) return false;
    *out = pw->pw_uid;
    return true;
}

}  // namespace

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
            // Each record goes to every target in one batch of sends.
            if (o.targets.size() == kMaxTargets) usage("at most " + std::to_string(kMaxTargets) + " -forward targets");
            o.targets.push_back(t);
        } else if (name == "-template-refresh") {
            std::string v = value;
            size_t comma = v.find(',');
            long long seconds = 0;
            if (comma == std::string::npos ||
                !parseNumber(v.substr(0, comma).c_str(), 0, 1000000, &n) ||
                !parseNumber(v.substr(comma + 1).c_str(), 0, 86400, &seconds))
                usage("bad -template-refresh, DATAGRAMS,SECONDS (0,0 for never)");
            o.refreshDatagrams = static_cast<uint32_t>(n);
            o.refreshSeconds = static_cast<uint32_t>(seconds);
        } else if (name == "-max-exporters") {
            if (!parseNumber(value, 0, 1 << 24, &n)) usage("bad -max-exporters (0 to 16777216)");
            o.maxExporters = static_cast<size_t>(n);
        } else if (name == "-stats") {
            if (!parseNumber(value, 1, 86400, &n)) usage("bad -stats (1 to 86400 seconds)");
            o.statsSeconds = n;
        } else if (name == "-metrics") {
            std::string err;
            if (!resolveHostPort("-metrics", value, SOCK_STREAM, &o.metrics, &err)) usage(err);
        } else if (name == "-peer-user") {
            uid_t uid;
            if (!parseUser(value, &uid)) usage(std::string("-peer-user: no user ") + value);
            o.peerUids.push_back(uid);
        } else {
            usage("unknown option " + name);
        }
    }
    if (!o.havePorts && o.portsFile.empty()) usage("-ports or -portsfile is required");
    if (o.spoof && o.targets.empty()) usage("-spoof needs -forward");
    return o;
}

bool parsePortList(const std::string& text, std::vector<int32_t>* out, std::string* error) {
    std::vector<int32_t> ports;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '#') {
            i = text.find('\n', i);
            if (i == std::string::npos) break;
            continue;
        }
        if (c == ',' || std::isspace(c)) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < text.size() && text[j] != ',' && text[j] != '#' &&
               !std::isspace(static_cast<unsigned char>(text[j])))
            ++j;
        std::string word = text.substr(i, j - i);
        char* end = nullptr;
        errno = 0;
        long long v = std::strtoll(word.c_str(), &end, 10);
        if (*end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX ||
            !(std::isdigit(static_cast<unsigned char>(word[0])) || word[0] == '-')) {
            *error = "bad port '" + word + "'";
            return false;
        }
        ports.push_back(static_cast<int32_t>(v));
        i = j;
    }
    *out = ports;
    return true;
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

std::string portListText(const std::vector<int32_t>& ports) {
    std::string s;
    for (size_t i = 0; i < ports.size(); ++i) s += (i ? "," : "") + std::to_string(ports[i]);
    return s.empty() ? "(none)" : s;
}
