// Force-included ahead of every source of the fuzz target. The daemon ends by
// calling exit(); the fuzzer has to survive that and go on with the next
// input. exit() is declared noexcept by the C library, so neither a linker
// wrap that throws (the unwinder would call terminate) nor one that longjmps
// (destructors skipped, so LeakSanitizer reports the half-read port set) will
// do. Instead the daemon's own calls are renamed, after the C library's
// declarations have been seen, to a function that throws: the stack unwinds
// through the daemon's frames with every destructor run.
#pragma once

#include <cstdlib>

struct DaemonExit {
    int status;
};

[[noreturn]] void quorvaneFuzzExit(int status);

#define exit quorvaneFuzzExit
