// A third side of the SCTP seam, for the fuzz target: sockets are descriptors
// of /dev/null, so port updates open, bind and close real descriptors (and
// meet the select limit) without any network port. It keeps count of what it
// has handed out, so the harness can prove that nothing leaks.
//
// Binding is refused for the 16-bit ports 65000 and above, so that a port the
// daemon has to skip stays reachable.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "fuzz_seam.h"
#include "sctp/sctp_calls.h"

namespace {

std::set<int>& openSockets = *new std::set<int>;

}  // namespace

const std::set<int>& fuzzSeamOpenSockets() { return openSockets; }

int sctpSocket() {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) openSockets.insert(fd);
    return fd;
}

int sctpSetsockopt(int sock, int level, int name, const void*, socklen_t len) {
    if (openSockets.count(sock) == 0) {
        errno = EBADF;
        return -1;
    }
    if (level == IPPROTO_SCTP && name == SCTP_EVENTS && len != 8) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

int sctpBind(int sock, const struct sockaddr_in* addr) {
    if (openSockets.count(sock) == 0) {
        errno = EBADF;
        return -1;
    }
    if (fuzzSeamRefusesPort(ntohs(addr->sin_port))) {
        errno = EADDRINUSE;
        return -1;
    }
    return 0;
}

int sctpListen(int, int) { return 0; }

int sctpRecvmsg(int, void*, size_t, struct sockaddr*, socklen_t*, struct sctp_sndrcvinfo*, int*) {
    errno = EAGAIN;
    return -1;
}

int sctpClose(int sock) {
    if (openSockets.erase(sock) == 0) {
        errno = EBADF;
        return -1;
    }
    return close(sock);
}
