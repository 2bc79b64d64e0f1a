// The production side of the SCTP seam: straight to the kernel and libsctp.
#include "sctp/sctp_calls.h"

#include <unistd.h>

int sctpSocket() { return socket(AF_INET, SOCK_SEQPACKET, IPPROTO_SCTP); }

int sctpSetsockopt(int sock, int level, int name, const void* value, socklen_t len) {
    return setsockopt(sock, level, name, value, len);
}

int sctpBind(int sock, const struct sockaddr_in* addr) {
    return bind(sock, reinterpret_cast<const sockaddr*>(addr), sizeof *addr);
}

int sctpListen(int sock, int backlog) { return listen(sock, backlog); }

int sctpRecvmsg(int sock, void* buf, size_t len, struct sockaddr* from, socklen_t* fromlen,
                struct sctp_sndrcvinfo* sinfo, int* flags) {
    return sctp_recvmsg(sock, buf, len, from, fromlen, sinfo, flags);
}

int sctpClose(int sock) { return close(sock); }
