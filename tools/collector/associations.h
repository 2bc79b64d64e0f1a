// Which exporter a record's sender address stands for. A multi-homed
// exporter's association has several peer addresses, and the daemon's
// record names the one of the path each message came on: after a failover
// the same association, with the same templates and sequence, arrives
// under a second address. The kernel knows each association's peer
// addresses (sock_diag); an address new on a port is looked up there, and
// when it is a further address of an association set up from an address
// already known on that port, it is known by that address from then on, an
// alias: same slot of the relay's exporter table, same source under
// -spoof, same templates.
//
// Only the address an association was set up from counts: the handshake
// proved that the peer receives there. The others are whatever the peer
// listed, which could be anybody's; so an address that set up an
// association of its own, or that associations from different exporters
// list, or one set up from an address not known, stays its own exporter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "exporters.h"

struct Associations {
    // Addresses seen on each port, exporters and aliases alike, keyed
    // address << 32 | port, least recently seen first out. For each slot
    // the address it is known by, and its state: an address still to be
    // looked up is pending, and known by itself meanwhile. An alias is
    // touched with its exporter, which so stays the more recent of the two
    // and never leaves the table before its aliases do.
    ExporterTable seen;
    std::vector<uint32_t> knownAs;
    std::vector<uint8_t> state;
    // The pending slots a lookup has met in the reply; each is settled by it.
    std::vector<uint32_t> met;

    // The netlink socket of the lookups, opened at the first and kept;
    // closed when a lookup is given up halfway, so that what is left of
    // that reply goes with it.
    int netlink = -1;
    uint32_t sequence = 0;
    std::vector<uint8_t> reply;
    bool answered = false;     // a lookup has had an answer
    bool unavailable = false;  // none ever will: every address is its own exporter
    bool failing = false;      // a lookup failed, and it has been said

    // Microseconds of CPU time the lookups may still take; refilled with
    // time up to a burst, so that whatever the associations, and whoever
    // sets them up, lookups take a bounded share of the processor.
    int64_t budgetUs = 0;
    int64_t budgetAtUs = 0;

    uint64_t aliases = 0;   // addresses in the table known by another one, now
    uint64_t lookups = 0;   // asked of the kernel
    uint64_t deferred = 0;  // records sent under their own address while the budget was spent
};

// Remembers up to `cap` addresses (the relay's -max-exporters); 0 turns
// aliases off, and every address is its own exporter.
void associationsInit(Associations& assoc, size_t cap);

// The address the sender's records go out under: its own, or that of the
// exporter it is an alias of. Asks the kernel only about an address that
// is new on the port or still pending, and never waits on it; one lookup
// settles every pending address of the associations it reads.
uint32_t associationsIdentity(Associations& assoc, uint32_t address, int32_t localPort);

// " aliases=N lookups=N deferred=N"
std::string associationsCountersText(const Associations& assoc);

// What the tables and the reply buffer hold (their capacity).
size_t associationsBytes(const Associations& assoc);
