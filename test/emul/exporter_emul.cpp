// The exporter's SCTP seam over the daemon's UDP emulation: each message goes
// out as one UDP datagram framed as sctp_calls_emul.cpp expects (flags 0,
// a zero byte, the stream big-endian, then the message).
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "exporter/sctp_send.h"

int exporterSocket(bool, uint16_t, const char** call) {
    *call = "socket";
    return socket(AF_INET, SOCK_DGRAM, 0);
}

// A UDP socket has one address: the first.
int exporterBind(int fd, const sockaddr_in* addrs, size_t) {
    return bind(fd, reinterpret_cast<const sockaddr*>(addrs), sizeof *addrs);
}

int exporterConnect(int fd, const sockaddr_in& peer, int* granted) {
    *granted = 65535;
    return connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
}

int exporterSend(int fd, const void* data, size_t len, const sockaddr_in* to, uint16_t stream) {
    unsigned char frame[4] = {0, 0, static_cast<unsigned char>(stream >> 8),
                              static_cast<unsigned char>(stream)};
    iovec parts[2] = {{frame, sizeof frame}, {const_cast<void*>(data), len}};
    msghdr m{};
    m.msg_name = const_cast<sockaddr_in*>(to);
    m.msg_namelen = to ? sizeof *to : 0;
    m.msg_iov = parts;
    m.msg_iovlen = 2;
    ssize_t n = sendmsg(fd, &m, 0);
    return n < 0 ? -1 : static_cast<int>(n) - static_cast<int>(sizeof frame);
}

void exporterClose(int fd, const sockaddr_in*) { close(fd); }
