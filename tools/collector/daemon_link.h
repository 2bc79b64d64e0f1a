// Where the daemon's connection comes from: the listening socket (our own,
// or one systemd passed us) and the check of who is on the other end, which
// the kernel answers, before a byte is read from a connection or sent to it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct DaemonLink {
    int listener = -1;
    bool fromSystemd = false;
    std::vector<uid_t> allowed;  // whose sockets may feed us
    uint64_t refused = 0;
    uint64_t sessions = 0;  // connections taken
};

// Takes the listening socket systemd passed (LISTEN_PID/LISTEN_FDS), or
// binds 127.0.0.1:port when there is none (port -1: an error). Either way
// the socket is non-blocking and "listening on 127.0.0.1:P" is printed on
// standard output. False, with the reason, when there is no socket to use.
bool linkListen(DaemonLink& link, int port, std::string* error);

// Accepts one waiting connection. Returns it, non-blocking, when its socket
// belongs to an allowed user; -1 when none was waiting or the one that was
// has been refused (closed unread, warned about and counted).
int linkAccept(DaemonLink& link);

// The uid that owns the socket at the other end of `conn`, from the
// kernel's socket table (the figure `ss -e` shows).
bool peerSocketOwner(int conn, uid_t* uid, std::string* error);
