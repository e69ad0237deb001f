// Asks whatever is on the chosen ports who it is, and accepts only the unit.
#include <algorithm>

#include "catalogue_internal.hpp"
#include "engine/engine.hpp"
#include "engine/images.hpp"
#include "exchange.hpp"

namespace ql5::engine {

namespace {

// What deviceId holds while no identity reply has arrived for the request
// just sent. Identity bytes travel as SysEx data bytes, below 0x80, so no
// identity reply can leave this behind; and were one to carry such bytes, it
// would not be in the KnownDeviceTable either.
constexpr std::array<std::uint8_t, 4> kNoIdentity{0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace

int identifyDevice(UpdateState& st) {
    // Any reply ends the wait, a result message as well as an identity
    // reply; deviceId must then not still hold the identity of an earlier
    // check (or the initial zeros) and be judged as this unit's.
    st.deviceId = kNoIdentity;
    detail::beginExchange(st);
    if (sendIdentityRequest(st) < 0) {
        st.awaiting.store(false);
        if (st.closing.load()) {
            return -1;  // the window closed the port under us: end quietly
        }
        detail::failWith(st, IDS_CANT_OPEN_OUT);
        return -1;
    }
    const detail::Reply r = detail::awaitReply(st, st.timing.identityTimeoutMs);
    if (r.code == detail::kReplyAbort) {
        return -1;
    }
    if (r.timedOut) {
        detail::settleLine(st, st.timing.resendPauseMs);
        detail::failWith(st, IDS_TIMEOUT1);
        return -1;
    }
    if (r.code != 0 || st.deviceId == kNoIdentity) {
        // Whatever answered, it did not say who it is: not the unit.
        detail::failWith(st, IDS_ILLEGAL_DEVICE);
        return -1;
    }
    setDeviceIdCopy(st, st.deviceId);
    const std::array<std::uint8_t, 4> id = deviceIdCopy(st);
    const bool known = std::any_of(KnownDeviceTable.begin(), KnownDeviceTable.end(),
                                   [&](const auto& row) { return row == id; });
    if (!known) {
        detail::failWith(st, IDS_ILLEGAL_DEVICE);
        return -1;
    }
    return 0;
}

}  // namespace ql5::engine
