// Per-socket reception: at most one receive from a listening socket per pass.
#pragma once

#include <sys/select.h>

#include "packet/packet_msg.h"

// Once, before the event loop starts.
void initReceiveScratch();

// Serves entry index of the port arrays if its socket is in ready: the
// datagram lands behind the header gap of the first free message, or in the
// discard message when the pool is empty.
void receiveFromPort(int index, const fd_set* ready, PacketMsg* discard);
