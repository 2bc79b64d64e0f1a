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
    // Every refusal is counted, but a stranger connecting in a loop must not
    // fill the journal: a line at most once a second, the refusals between
    // two lines told as one count in the second.
    uint64_t unsaid = 0;      // refused since the last line
    std::string lastWho;      // of the latest of those
    int64_t lastSaidNs = -1;  // CLOCK_MONOTONIC of the last line; -1: none yet
};

// Takes the listening socket systemd passed (LISTEN_PID/LISTEN_FDS), or
// binds 127.0.0.1:port when there is none (port -1: an error). Either way
// the socket is non-blocking and "listening on A:P" is printed on standard
// output. False, with the reason, when there is no socket to use.
bool linkListen(DaemonLink& link, int port, std::string* error);

// Accepts one waiting connection. Returns it, non-blocking and without
// Nagle's delay, when its socket belongs to an allowed user; -1 when none
// was waiting or the one that was has been refused (closed unread, counted,
// and told of now or in the next summary).
int linkAccept(DaemonLink& link);

// When the summary of the refusals not yet told is due (CLOCK_MONOTONIC
// nanoseconds); -1 when there are none.
int64_t linkRefusalsDue(const DaemonLink& link);

// Writes that summary now, if there is anything to tell.
void linkTellRefusals(DaemonLink& link);

// The uid that owns the socket at the other end of `conn`, from the
// kernel's socket table (the figure `ss -e` shows). False when there is no
// owner to trust: the peer's socket is no longer open (a closed socket the
// kernel still holds reports uid 0) or no process holds it.
bool peerSocketOwner(int conn, uid_t* uid, std::string* error);
