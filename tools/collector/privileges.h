// The collector needs one privilege, CAP_NET_RAW, and only to open the raw
// socket of -spoof. Everything it holds is given up before the first byte
// from the network is read, so a fault in the parsing of what exporters
// send cannot be turned into a privileged process.
#pragma once

#include <string>

// How an operator gives the collector CAP_NET_RAW, for messages.
constexpr const char* kGrantNetRaw =
    "run it as root, give the binary the capability with setcap cap_net_raw=ep, or set "
    "AmbientCapabilities=CAP_NET_RAW in its systemd unit";

// Clears the effective, permitted, inheritable and ambient sets. False,
// with the reason, when the kernel refused.
bool dropCapabilities(std::string* error);
