#include "host_port.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

#include "common/args.h"

bool resolveHostPort(const char* option, const std::string& text, int socktype, HostPort* out,
                     std::string* error) {
    std::string host, port, bad = std::string("bad ") + option + " " + text;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            *error = bad + ": expected [IPV6]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            *error = bad + ": expected HOST:PORT (IPv6 in brackets)";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    long long n = 0;
    if (host.empty() || !parseNumber(port.c_str(), 1, 65535, &n)) {
        *error = bad + ": expected HOST:PORT with a port from 1 to 65535";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
    if (rc != 0 || !res) {
        *error = std::string("cannot resolve ") + option + " " + text + ": " + gai_strerror(rc);
        return false;
    }
    *out = HostPort{};
    out->text = text;
    memcpy(&out->addr, res->ai_addr, res->ai_addrlen);
    out->len = res->ai_addrlen;
    freeaddrinfo(res);
    return true;
}

bool isLoopback(const sockaddr_storage& addr) {
    if (addr.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in&>(addr).sin_addr.s_addr) >> 24) == 127;
    if (addr.ss_family != AF_INET6) return false;
    const in6_addr& a = reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
}

std::string addressText(const sockaddr_storage& addr) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (addr.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, host, sizeof host);
    else if (addr.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, host, sizeof host);
    return host;
}

std::string hostPortText(const sockaddr_storage& addr) {
    bool v6 = addr.ss_family == AF_INET6;
    std::string port = std::to_string(ntohs(v6 ? reinterpret_cast<const sockaddr_in6&>(addr).sin6_port
                                               : reinterpret_cast<const sockaddr_in&>(addr).sin_port));
    return v6 ? "[" + addressText(addr) + "]:" + port : addressText(addr) + ":" + port;
}
