// The set of SCTP listening sockets, kept in line with the collector's port updates.
#pragma once

#include <sys/select.h>

#include <map>
#include <set>
#include <vector>

extern std::set<int>& portSet_;
extern std::map<int, int>& portToSocketMap_;
// Flat copies in ascending port order: all that reception walks per pass.
extern std::vector<int>& ports_;
extern std::vector<int>& sockets_;
extern int portSocketCount_;

extern fd_set selectionSet_;
extern int maxFileDesc_;

// Makes the selection set hold the collector socket alone.
void resetSelectionSet(int orvelSocket);

void updatePorts(std::set<int>& newPorts);
void enable_assoc(int sock);

// A socket opened by a port update may carry the descriptor number of one
// the same update closed, and so look ready in a set select filled before
// it existed. Clears such descriptors from this pass's ready set.
void unmarkSocketsOpenedThisPass(fd_set* ready);
