#pragma once
// Every time-out and pause of the protocol, in one table. Production uses
// the values below; tests replace them with short ones.
#include <cstdint>

namespace ql5::sync {

struct Timing {
    std::uint32_t identityTimeoutMs = 30000;  // identity request
    std::uint32_t beginTimeoutMs = 30000;     // begin-update command
    std::uint32_t finishTimeoutMs = 30000;    // finish command
    std::uint32_t eraseTimeoutMs = 120000;    // erase command
    std::uint32_t writeTimeoutMs = 1000;      // write-block command
    std::uint32_t readTimeoutMs = 120000;     // read-memory command
    std::uint32_t resendPauseMs = 100;        // before an erase or a block is sent again
    std::uint32_t beginPauseMs = 500;         // after the unit entered its update state
    std::uint32_t unplugPollMs = 500;         // between port scans while waiting for the unplug
    std::uint32_t sendDoneBoundMs = 5000;     // longest wait for the platform to finish a send
    std::uint32_t markerTimeoutMs = 5000;     // the short read that marks a step boundary

    // Short enough for tests, long enough for a loaded machine with
    // sanitizers: the programs use it when QL5_TIMING=test is set.
    static Timing forTests() {
        Timing t;
        t.identityTimeoutMs = 400;
        t.beginTimeoutMs = 400;
        t.finishTimeoutMs = 400;
        t.eraseTimeoutMs = 600;
        t.writeTimeoutMs = 250;
        // A unit that answered markers and stops is given up on after three
        // waits (1 + 2 + 2 s here): a loaded host that stalls for a second
        // must not look like that.
        t.readTimeoutMs = 2000;
        t.resendPauseMs = 20;
        t.beginPauseMs = 5;
        t.unplugPollMs = 10;
        t.sendDoneBoundMs = 1000;
        t.markerTimeoutMs = 1000;
        return t;
    }
};

}  // namespace ql5::sync
