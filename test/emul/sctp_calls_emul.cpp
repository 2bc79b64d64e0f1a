// The SCTP seam emulated over UDP on loopback, for the test build of the daemon.
//
// A test exporter sends UDP datagrams to the port the daemon "listens" on,
// each framed as:
//   byte 0     flags: bit 0 = deliver as an SCTP notification
//   byte 1     zero
//   bytes 2-3  SCTP stream number, big-endian
//   bytes 4-   the message
// and sctpRecvmsg hands the daemon what sctp_recvmsg would: the message (or,
// when it is longer than the buffer, the next piece of it per call), the
// sender, sinfo_stream and MSG_NOTIFICATION. Pieces are read with MSG_PEEK
// and the datagram is consumed with its last piece, so the socket stays
// readable for select exactly as long as the message has bytes left.
//
// QUORVANE_EMUL_FAIL (comma-separated) makes calls fail like a refusing
// stack would: "socket", "rcvbuf", "events".
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sctp/sctp_calls.h"

namespace {

constexpr size_t kFrameHeader = 4;
constexpr int kMaxFd = 65536;
constexpr size_t kMaxDatagram = 65536;

// Bytes of the pending message already handed out, per descriptor.
size_t handedOut[kMaxFd];
char skipScratch[kMaxDatagram];

bool failing(const char* what) {
    const char* list = getenv("QUORVANE_EMUL_FAIL");
    if (list == nullptr) return false;
    size_t n = strlen(what);
    for (const char* p = list; (p = strstr(p, what)) != nullptr; p += n) {
        bool startOk = p == list || p[-1] == ',';
        bool endOk = p[n] == '\0' || p[n] == ',';
        if (startOk && endOk) return true;
    }
    return false;
}

}  // namespace

int sctpSocket() {
    if (failing("socket")) {
        errno = EPROTONOSUPPORT;
        return -1;
    }
    return socket(AF_INET, SOCK_DGRAM, 0);
}

int sctpSetsockopt(int sock, int level, int name, const void* value, socklen_t len) {
    if (level == IPPROTO_SCTP && name == SCTP_EVENTS) {
        if (failing("events") || len != 8) {
            errno = EINVAL;
            return -1;
        }
        return 0;
    }
    if (level == SOL_SOCKET && name == SO_RCVBUF && failing("rcvbuf")) {
        errno = ENOBUFS;
        return -1;
    }
    return setsockopt(sock, level, name, value, len);
}

int sctpBind(int sock, const struct sockaddr_in* addr) {
    return bind(sock, reinterpret_cast<const sockaddr*>(addr), sizeof *addr);
}

int sctpListen(int, int) { return 0; }

int sctpRecvmsg(int sock, void* buf, size_t len, struct sockaddr* from, socklen_t* fromlen,
                struct sctp_sndrcvinfo* sinfo, int* flags) {
    if (sock < 0 || sock >= kMaxFd) {
        errno = EBADF;
        return -1;
    }
    unsigned char frame[kFrameHeader];
    size_t offset = handedOut[sock];
    iovec parts[3] = {{frame, kFrameHeader}, {skipScratch, offset}, {buf, len}};
    msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_name = from;
    message.msg_namelen = fromlen != nullptr ? *fromlen : 0;
    message.msg_iov = parts;
    message.msg_iovlen = 3;

    ssize_t whole = recvmsg(sock, &message, MSG_PEEK | MSG_TRUNC);
    if (whole < 0) return -1;
    if (fromlen != nullptr) *fromlen = message.msg_namelen;
    if (static_cast<size_t>(whole) < kFrameHeader) {
        // Not a framed datagram: drop it, the way a stack drops garbage.
        recv(sock, nullptr, 0, 0);
        handedOut[sock] = 0;
        return 0;
    }
    size_t body = static_cast<size_t>(whole) - kFrameHeader;
    size_t piece = body - offset < len ? body - offset : len;
    if (offset + piece >= body) {
        recv(sock, nullptr, 0, 0);
        handedOut[sock] = 0;
    } else {
        handedOut[sock] = offset + piece;
    }
    if (sinfo != nullptr) {
        memset(sinfo, 0, sizeof *sinfo);
        sinfo->sinfo_stream = static_cast<uint16_t>((frame[2] << 8) | frame[3]);
    }
    if (flags != nullptr) *flags = (frame[0] & 1) ? MSG_NOTIFICATION : 0;
    if (handedOut[sock] == 0 && flags != nullptr) *flags |= MSG_EOR;
    return static_cast<int>(piece);
}

int sctpClose(int sock) {
    if (sock >= 0 && sock < kMaxFd) handedOut[sock] = 0;
    return close(sock);
}
