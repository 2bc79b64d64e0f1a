// The SCTP calls the daemon makes, and nothing else.
//
// This is the one seam between the daemon and the SCTP stack: the production
// build links sctp_calls.cpp, which passes straight through to the kernel and
// libsctp; the test build links an emulation over UDP in its place, so the
// real event loop can run end to end on a kernel without SCTP.
#pragma once

#include <netinet/in.h>
#include <netinet/sctp.h>
#include <sys/socket.h>
#include <sys/types.h>

// socket(AF_INET, SOCK_SEQPACKET, IPPROTO_SCTP)
int sctpSocket();
int sctpSetsockopt(int sock, int level, int name, const void* value, socklen_t len);
int sctpBind(int sock, const struct sockaddr_in* addr);
int sctpListen(int sock, int backlog);
int sctpRecvmsg(int sock, void* buf, size_t len, struct sockaddr* from, socklen_t* fromlen,
                struct sctp_sndrcvinfo* sinfo, int* flags);
int sctpClose(int sock);
