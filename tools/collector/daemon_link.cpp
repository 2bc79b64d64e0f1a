#include "daemon_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/args.h"
#include "host_port.h"

namespace {

constexpr int kFirstPassedFd = 3;  // SD_LISTEN_FDS_START
constexpr int64_t kRefusalLinePeriodNs = 1000000000;

bool intOption(int fd, int name, int* value) {
    socklen_t len = sizeof *value;
    return getsockopt(fd, SOL_SOCKET, name, value, &len) == 0;
}

int64_t monotonicNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

const char* tcpStateName(unsigned state) {
    static const char* const kNames[] = {"?",          "ESTABLISHED", "SYN-SENT",  "SYN-RECV",
                                         "FIN-WAIT-1", "FIN-WAIT-2",  "TIME-WAIT", "CLOSE",
                                         "CLOSE-WAIT", "LAST-ACK",    "LISTEN",    "CLOSING"};
    return state < sizeof kNames / sizeof kNames[0] ? kNames[state] : "?";
}

// The documented protocol rather than libsystemd: three environment
// variables and a fixed descriptor number are all it takes, and the
// collector stays free of a library it would load for nothing else.
// -1 when systemd passed nothing for this process (variables meant for
// another process, as LISTEN_PID tells, are not ours to act on); -2, with
// the reason, when what it passed is not a socket the daemon can reach us on.
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
    // The daemon connects over TCP; a socket of any other kind would be
    // taken only to refuse everyone, as the peer check asks the kernel's
    // TCP table.
    int fd = kFirstPassedFd;
    int domain = 0, type = 0, protocol = 0, listening = 0;
    if (!intOption(fd, SO_DOMAIN, &domain) || (domain != AF_INET && domain != AF_INET6) ||
        !intOption(fd, SO_TYPE, &type) || type != SOCK_STREAM || !intOption(fd, SO_PROTOCOL, &protocol) ||
        protocol != IPPROTO_TCP) {
        *error = "the descriptor systemd passed is not a TCP socket";
        return -2;
    }
    if (!intOption(fd, SO_ACCEPTCONN, &listening) || !listening) {
        *error = "the TCP socket systemd passed is not listening";
        return -2;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
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
    // Other hosts' connections are refused (the kernel knows no owner of
    // their sockets), but the operator meant loopback and should hear of it.
    if (link.fromSystemd && !isLoopback(addr))
        fprintf(stderr,
                "quorvane-collector: warning: the socket systemd passed listens on %s, not on loopback; "
                "other hosts' connections will be refused\n",
                addressText(addr).c_str());
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
    // A socket its owner has closed lingers without one: the kernel then
    // reports uid 0, which must not pass for root. Only an open socket of a
    // live process vouches for who is connecting.
    const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
    if (m->idiag_state != TCP_ESTABLISHED) {
        *error = std::string("its socket is ") + tcpStateName(m->idiag_state);
        return false;
    }
    if (m->idiag_inode == 0) {
        *error = "no process holds its socket";
        return false;
    }
    *uid = m->idiag_uid;
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
        // Wants are single bytes behind whatever we sent last: held back
        // for an acknowledgement, they would stall every record.
        int one = 1;
        setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fprintf(stderr, "quorvane-collector: daemon connected (uid %u)\n", static_cast<unsigned>(uid));
        ++link.sessions;
        return conn;
    }
    close(conn);
    ++link.refused;
    std::string where = addressText(peer) + " port " + std::to_string(ntohs(portOf(peer)));
    link.lastWho = known ? "uid " + std::to_string(uid) + ", " + where + ": not an allowed user"
                         : where + ": its owner is unknown (" + err + ")";
    ++link.unsaid;
    int64_t now = monotonicNs();
    if (link.unsaid == 1 && (link.lastSaidNs < 0 || now - link.lastSaidNs >= kRefusalLinePeriodNs)) {
        fprintf(stderr, "quorvane-collector: warning: refused a connection from %s\n", link.lastWho.c_str());
        link.unsaid = 0;
        link.lastSaidNs = now;
    }
    return -1;
}

int64_t linkRefusalsDue(const DaemonLink& link) {
    return link.unsaid == 0 ? -1 : link.lastSaidNs + kRefusalLinePeriodNs;
}

void linkTellRefusals(DaemonLink& link) {
    if (link.unsaid == 0) return;
    fprintf(stderr, "quorvane-collector: warning: refused %llu more connection%s since the last warning, the "
                    "last from %s\n",
            static_cast<unsigned long long>(link.unsaid), link.unsaid == 1 ? "" : "s", link.lastWho.c_str());
    link.unsaid = 0;
    link.lastSaidNs = monotonicNs();
}
