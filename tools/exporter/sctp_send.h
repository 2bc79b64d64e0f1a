// The SCTP calls the exporter makes, and nothing else.
//
// The one seam between the exporter and the SCTP stack: the installed
// program links sctp_send.cpp, which passes straight through to the kernel
// and libsctp; the test build links the daemon's UDP emulation of SCTP in
// its place, so the whole chain of companions also runs on a kernel without
// SCTP.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

// An SCTP socket asking for outStreams streams each way; -1 with errno set
// (and *call naming the call that failed) otherwise.
int exporterSocket(bool oneToMany, uint16_t outStreams, const char** call);
// Binds the socket to its local addresses: one as bind() does, several as
// the addresses of a multi-homed endpoint (sctp_bindx), each association
// then having a path from each.
int exporterBind(int fd, const sockaddr_in* addrs, size_t n);
// Sets up a one-to-one association; *granted is the number of outbound
// streams the peer allowed.
int exporterConnect(int fd, const sockaddr_in& peer, int* granted);
// One message on one stream; `to` is the peer on a one-to-many socket and
// null on a one-to-one socket.
int exporterSend(int fd, const void* data, size_t len, const sockaddr_in* to, uint16_t stream);
// Ends the association in order (SHUTDOWN, not ABORT) and closes the socket.
void exporterClose(int fd, const sockaddr_in* to);
