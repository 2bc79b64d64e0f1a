#include "daemon_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/args.h"

namespace {

constexpr int kFirstPassedFd = 3;  // SD_LISTEN_FDS_START

// The documented protocol rather than libsystemd: three environment
// variables and a fixed descriptor number are all it takes, and the
// collector stays free of a library it would load for nothing else.
// -1 when systemd passed nothing for this process.
int passedListener(std::string* error) {
    const char* pid = getenv("LISTEN_PID");
    const char* fds = getenv("LISTEN_FDS");
    long long n = 0, p = 0;
    if (!pid || !fds || !parseNumber(pid, 1, INT32_MAX, &p) || p != getpid()) return -1;
    // Not for the programs we might start: they are not the socket's owner.
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    if (!parseNumber(fds, 1, 1, &n)) {
        *error = std::string("expected one socket from systemd, LISTEN_FDS=") + fds;
        return -2;
    }
    int fd = kFirstPassedFd, type = 0, listening = 0;
    socklen_t len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM ||
        (len = sizeof listening, getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len)) != 0 ||
        !listening) {
        *error = "the descriptor systemd passed is not a listening stream socket";
        return -2;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

std::string addressText(const sockaddr_storage& a) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (a.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, host, sizeof host);
    else if (a.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, host, sizeof host);
    return host;
}

uint16_t portOf(const sockaddr_storage& a) {
    return a.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(a).sin6_port
                                   : reinterpret_cast<const sockaddr_in&>(a).sin_port;
}

void copyAddress(const sockaddr_storage& a, __be32 out[4]) {
    if (a.ss_family == AF_INET6)
        memcpy(out, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, 16);
    else
        memcpy(out, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, 4);
}

}  // namespace

bool linkListen(DaemonLink& link, int port, std::string* error) {
    int fd = passedListener(error);
    if (fd == -2) return false;
    link.fromSystemd = fd >= 0;
    if (fd < 0) {
        if (port < 0) {
            *error = "-listen is required unless systemd passes the listening socket";
            return false;
        }
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            *error = std::string("socket: ") + strerror(errno);
            return false;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || listen(fd, 16) < 0) {
            *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + strerror(errno);
            close(fd);
            return false;
        }
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    link.listener = fd;
    sockaddr_storage addr{};
    socklen_t alen = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &alen);
    printf("listening on %s:%u\n", addressText(addr).c_str(), ntohs(portOf(addr)));
    fflush(stdout);
    if (link.fromSystemd)
        fprintf(stderr, "quorvane-collector: using the listening socket passed by systemd\n");
    return true;
}

bool peerSocketOwner(int conn, uid_t* uid, std::string* error) {
    sockaddr_storage local{}, peer{};
    socklen_t llen = sizeof local, plen = sizeof peer;
    if (getsockname(conn, reinterpret_cast<sockaddr*>(&local), &llen) != 0 ||
        getpeername(conn, reinterpret_cast<sockaddr*>(&peer), &plen) != 0) {
        *error = strerror(errno);
        return false;
    }
    int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) {
        *error = std::string("sock_diag: ") + strerror(errno);
        return false;
    }
    // The peer's socket is the one whose own end is the peer's address and
    // whose far end is ours: an exact lookup, not a dump of the table.
    struct {
        nlmsghdr nlh;
        inet_diag_req_v2 req;
    } msg{};
    msg.nlh.nlmsg_len = sizeof msg;
    msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.nlh.nlmsg_flags = NLM_F_REQUEST;
    msg.req.sdiag_family = static_cast<uint8_t>(peer.ss_family);
    msg.req.sdiag_protocol = IPPROTO_TCP;
    msg.req.idiag_states = ~0u;
    msg.req.id.idiag_sport = portOf(peer);
    msg.req.id.idiag_dport = portOf(local);
    copyAddress(peer, msg.req.id.idiag_src);
    copyAddress(local, msg.req.id.idiag_dst);
    msg.req.id.idiag_cookie[0] = msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    alignas(nlmsghdr) uint8_t reply[1024];
    ssize_t n = -1;
    if (sendto(nl, &msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof msg)) {
        do n = recv(nl, reply, sizeof reply, 0);
        while (n < 0 && errno == EINTR);
    }
    int saved = errno;
    close(nl);
    const auto* h = reinterpret_cast<const nlmsghdr*>(reply);
    if (n < 0 || !NLMSG_OK(h, static_cast<size_t>(n))) {
        *error = std::string("sock_diag: ") + (n < 0 ? strerror(saved) : "short reply");
        return false;
    }
    if (h->nlmsg_type == NLMSG_ERROR) {
        const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
        *error = std::string("sock_diag: ") + strerror(-e->error);
        return false;
    }
    if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        *error = "sock_diag: unexpected reply";
        return false;
    }
    *uid = static_cast<const inet_diag_msg*>(NLMSG_DATA(h))->idiag_uid;
    return true;
}

int linkAccept(DaemonLink& link) {
    sockaddr_storage peer{};
    socklen_t plen = sizeof peer;
    int conn = accept4(link.listener, reinterpret_cast<sockaddr*>(&peer), &plen,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (conn < 0) return -1;
    uid_t uid = 0;
    std::string err;
    bool known = peerSocketOwner(conn, &uid, &err);
    if (known && std::find(link.allowed.begin(), link.allowed.end(), uid) != link.allowed.end()) {
        fprintf(stderr, "quorvane-collector: daemon connected (uid %u)\n", static_cast<unsigned>(uid));
        ++link.sessions;
        return conn;
    }
    close(conn);
    ++link.refused;
    if (known)
        fprintf(stderr,
                "quorvane-collector: warning: refused a connection from uid %u, %s port %u: not an "
                "allowed user\n",
                static_cast<unsigned>(uid), addressText(peer).c_str(), ntohs(portOf(peer)));
    else
        fprintf(stderr,
                "quorvane-collector: warning: refused a connection from %s port %u: its owner is "
                "unknown (%s)\n",
                addressText(peer).c_str(), ntohs(portOf(peer)), err.c_str());
    return -1;
}
