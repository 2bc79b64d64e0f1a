// HOST:PORT as operators write it on the collector's command line, for
// -forward targets and the -metrics address alike.
#pragma once

#include <sys/socket.h>

#include <string>

struct HostPort {
    std::string text;  // as written, for messages
    sockaddr_storage addr{};
    socklen_t len = 0;
};

// HOST:PORT or [IPV6]:PORT, PORT from 1 to 65535; HOST may be a name,
// resolved once here, the first address winning. `option` names the option
// in the error messages; `socktype` is what the address is for.
bool resolveHostPort(const char* option, const std::string& text, int socktype, HostPort* out,
                     std::string* error);

// Whether the address is on this host's loopback (127.0.0.0/8, ::1, or
// 127.0.0.0/8 mapped into IPv6).
bool isLoopback(const sockaddr_storage& addr);

// "127.0.0.1", "::1": the address alone, numeric ("?" for another family).
std::string addressText(const sockaddr_storage& addr);

// "127.0.0.1:9501", "[::1]:9501": the address as bound, numeric.
std::string hostPortText(const sockaddr_storage& addr);
