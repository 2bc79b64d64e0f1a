#include "sctp_send.h"

#include <netinet/sctp.h>
#include <sys/socket.h>
#include <unistd.h>

int exporterSocket(bool oneToMany, uint16_t outStreams, const char** call) {
    *call = "socket";
    int fd = socket(AF_INET, oneToMany ? SOCK_SEQPACKET : SOCK_STREAM, IPPROTO_SCTP);
    if (fd < 0) return -1;
    sctp_initmsg init{};
    init.sinit_num_ostreams = outStreams;
    init.sinit_max_instreams = outStreams;
    *call = "setsockopt SCTP_INITMSG";
    if (setsockopt(fd, IPPROTO_SCTP, SCTP_INITMSG, &init, sizeof init) < 0) return -1;
    return fd;
}

int exporterBind(int fd, const sockaddr_in* addrs, size_t n) {
    if (n == 1) return bind(fd, reinterpret_cast<const sockaddr*>(addrs), sizeof *addrs);
    return sctp_bindx(fd, reinterpret_cast<sockaddr*>(const_cast<sockaddr_in*>(addrs)), static_cast<int>(n),
                      SCTP_BINDX_ADD_ADDR);
}

int exporterConnect(int fd, const sockaddr_in& peer, int* granted) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) < 0) return -1;
    sctp_status st{};
    socklen_t len = sizeof st;
    *granted = getsockopt(fd, IPPROTO_SCTP, SCTP_STATUS, &st, &len) == 0 ? st.sstat_outstrms : 65535;
    return 0;
}

int exporterSend(int fd, const void* data, size_t len, const sockaddr_in* to, uint16_t stream) {
    return sctp_sendmsg(fd, data, len, reinterpret_cast<sockaddr*>(const_cast<sockaddr_in*>(to)),
                        to ? sizeof *to : 0, 0, 0, stream, 0, 0);
}

void exporterClose(int fd, const sockaddr_in* to) {
    if (to) {
        // SCTP_EOF asks for a graceful SHUTDOWN of the association; one never
        // used (fewer datagrams than associations) was never set up.
        sctp_sendmsg(fd, nullptr, 0, reinterpret_cast<sockaddr*>(const_cast<sockaddr_in*>(to)),
                     sizeof *to, 0, SCTP_EOF, 0, 0, 0);
    } else {
        // The linger time makes close() wait for the peer to finish the
        // shutdown, so by the time we exit the daemon has seen an orderly end.
        linger l{};
        l.l_onoff = 1;
        l.l_linger = 2;
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    close(fd);
}
