#include "privileges.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The kernel's own interface rather than libcap: two system calls are all
// it takes, and the collector loads no library for them.
bool readCapabilities(__user_cap_data_struct data[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, data) == 0;
}

}  // namespace

bool dropCapabilities(std::string* error) {
    __user_cap_data_struct held[2] = {};
    bool nothing = readCapabilities(held);
    for (const auto& d : held) nothing = nothing && !d.effective && !d.permitted && !d.inheritable;
    // A user's own run holds nothing, and its service manager may forbid
    // capset altogether.
    if (nothing && prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, CAP_NET_RAW, 0, 0) <= 0) return true;
    // Ambient first: it may only hold what permitted and inheritable hold,
    // and the kernel clears it when they go, but say so rather than rely on it.
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
        *error = std::string("cannot clear the ambient capabilities: ") + strerror(errno);
        return false;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    if (syscall(SYS_capset, &header, none) != 0) {
        *error = std::string("cannot drop capabilities: ") + strerror(errno);
        return false;
    }
    return true;
}
