// The collector's command line, and the port lists it reads from it and
// from the ports file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host_port.h"
#include "relay.h"

struct Options {
    int listenPort = -1;  // -1: none given; a socket from systemd may stand in
    bool havePorts = false;
    std::vector<int32_t> ports;
    long ahead = 4;
    long long count = -1;  // -1: no limit, and a daemon that leaves is waited for again
    std::string rawFile;
    std::string portsFile;
    bool quiet = false;
    std::vector<RelayTarget> targets;
    bool spoof = false;
    size_t maxExporters = kFollowDescriptorLimit;
    uint32_t refreshDatagrams = 20;  // -template-refresh
    uint32_t refreshSeconds = 30;
    long long statsSeconds = 0;
    std::vector<uid_t> peerUids;  // besides our own
    HostPort metrics;  // -metrics, resolved; no text without it
};

// Exit statuses: 0 done, 1 trouble (usage, sockets, fewer records than asked
// for), 2 the daemon sent something that is not a record stream, 3 the
// ports file is missing or broken at start-up, which no restart can cure.
constexpr int kExitTrouble = 1;
constexpr int kExitMalformed = 2;
constexpr int kExitBadPortsFile = 3;

// Ends the process with the usage line on any error.
Options parseOptions(int argc, char** argv);

// Ports separated by commas and/or white space; '#' starts a comment that
// runs to the end of the line. Each must be a decimal number that fits a
// signed 32-bit integer; the daemon is the judge of what it means beyond that.
bool parsePortList(const std::string& text, std::vector<int32_t>* out, std::string* error);

bool readPortsFile(const std::string& path, std::vector<int32_t>* ports, std::string* error);

// "2055,4739", or "(none)".
std::string portListText(const std::vector<int32_t>& ports);
