// libFuzzer target: any byte sequence on the collector connection.
//
// Each input is written into a pipe whose read end becomes the daemon's
// collector socket, and the daemon's own request handling runs on it until it
// exits (at the latest when the bytes run out). A small model of the request
// stream walks the same bytes and says how the daemon must have ended: the
// exit status, the last line written, the wants counted and the port set in
// force. After each input the port set, its arrays, the selection set and the
// seam's open descriptors must agree, and an empty update must close them all.
#include <sys/select.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

#include "collector/orvel_link.h"
#include "fuzz_seam.h"
#include "main/settings.h"
#include "sctp/ports.h"

void quorvaneFuzzExit(int status) { throw DaemonExit{status}; }

namespace {

struct Expected {
    int status = 0;
    std::string lastLine = "exiting";
    uint64_t wants = 0;
    std::set<int> ports;
};

Expected model(const uint8_t* data, size_t size) {
    Expected e;
    auto be32 = [&](size_t at) {
        return static_cast<int>((uint32_t{data[at]} << 24) | (uint32_t{data[at + 1]} << 16) |
                                (uint32_t{data[at + 2]} << 8) | data[at + 3]);
    };
    size_t at = 0;
    while (at < size) {
        uint8_t code = data[at++];
        if (code == 0) {
            ++e.wants;
        } else if (code == 1) {
            if (size - at < 4) return e;
            int count = be32(at);
            at += 4;
            size_t entries = count > 0 ? static_cast<size_t>(count) : 0;
            if ((size - at) / 4 < entries) return e;
            std::set<int> ports;
            for (size_t i = 0; i < entries; ++i, at += 4) ports.insert(be32(at));
            e.ports = ports;
        } else {
            e.status = 1;
            e.lastLine = "unexpected request from orvel: " + std::to_string(code) + ", exiting";
            return e;
        }
    }
    return e;
}

std::stringstream& out = *new std::stringstream;
std::stringstream& err = *new std::stringstream;

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fuzz check failed: %s\n--- stdout tail\n%s\n--- stderr tail\n%s\n", what,
            out.str().substr(out.str().size() > 2000 ? out.str().size() - 2000 : 0).c_str(),
            err.str().substr(err.str().size() > 2000 ? err.str().size() - 2000 : 0).c_str());
    abort();
}

std::string lastLine(const std::string& text) {
    if (text.empty() || text.back() != '\n') return "";
    size_t start = text.rfind('\n', text.size() - 2);
    std::string line = text.substr(start == std::string::npos ? 0 : start + 1);
    line.pop_back();
    return line.size() >= 27 ? line.substr(27) : line;  // drop the time prefix
}

void checkPortState() {
    if (portSocketCount_ != static_cast<int>(portSet_.size()) || ports_.size() != portSet_.size() ||
        sockets_.size() != portSet_.size() || portToSocketMap_.size() != portSet_.size())
        fail("port set, map and arrays differ in size");
    std::set<int> sockets;
    int maxFd = orvelsock_;
    size_t i = 0;
    for (int port : portSet_) {
        if (ports_[i] != port) fail("ports_ not the port set in ascending order");
        if (sockets_[i] != portToSocketMap_[port]) fail("sockets_ and the port map disagree");
        int s = sockets_[i];
        if (s < 0 || s >= FD_SETSIZE) fail("a socket beyond the select limit entered the port set");
        if (!FD_ISSET(s, &selectionSet_)) fail("a listening socket is missing from the selection set");
        if (s > maxFd) maxFd = s;
        sockets.insert(s);
        ++i;
    }
    if (maxFd != maxFileDesc_) fail("maxFileDesc_ is not the largest watched descriptor");
    if (sockets != fuzzSeamOpenSockets()) fail("open descriptors differ from the port set's sockets");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::cout.rdbuf(out.rdbuf());
    std::cerr.rdbuf(err.rdbuf());
    udpsocketbufsize = 65536;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 60000) return 0;  // must fit the pipe, which nobody drains while writing
    int fds[2];
    if (pipe(fds) != 0) fail("pipe");
    if (size > 0 && write(fds[1], data, size) != static_cast<ssize_t>(size)) fail("write to pipe");
    close(fds[1]);
    orvelsock_ = fds[0];
    resetSelectionSet(orvelsock_);  // as start-up does once connected
    orvelWantsPacket_ = false;
    // Debug lines cost time; half of the inputs run with them.
    debugEnabled_ = size % 2 == 1;
    out.str("");
    err.str("");
    uint64_t wantsBefore = wantsReceived_.load();
    Expected e = model(data, size);

    int status = -1;
    try {
        for (;;) {
            handleORVELRequest();
            fd_set ready;
            FD_ZERO(&ready);
            unmarkSocketsOpenedThisPass(&ready);
        }
    } catch (const DaemonExit& exit) {
        status = exit.status;
    }

    if (status != e.status) fail("exit status");
    std::string line = lastLine(status == 0 ? out.str() : err.str());
    if (line != e.lastLine) fail(("last line " + line + ", expected " + e.lastLine).c_str());
    if (wantsReceived_.load() - wantsBefore != e.wants) fail("wants counted");
    if (orvelWantsPacket_ != (e.wants > 0)) fail("want flag");
    for (int port : portSet_) {
        if (e.ports.count(port) == 0) fail("a port outside the last update is listened on");
        if (fuzzSeamRefusesPort(static_cast<uint16_t>(port))) fail("a port whose bind failed is listened on");
    }
    std::string errors = err.str();
    for (int port : e.ports) {
        if (portSet_.count(port) != 0) continue;
        std::string p = std::to_string(port);
        // The descriptor limit is tested before the bind, so either may refuse.
        bool refused = errors.find("can't bind to port " + p + ":") != std::string::npos ||
                       errors.find("can't watch port " + p + ":") != std::string::npos ||
                       errors.find("can't create socket for port " + p + ":") != std::string::npos;
        if (!refused) fail(("port " + p + " of the last update left out without a reason").c_str());
    }
    checkPortState();

    // Back to no ports for the next input, through the daemon's own update.
    if (status != 0) close(orvelsock_);
    std::set<int> none;
    updatePorts(none);
    checkPortState();
    if (!fuzzSeamOpenSockets().empty()) fail("descriptors left open after an empty update");
    return 0;
}
