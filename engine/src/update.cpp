// The whole firmware update as one worker: identify, enter the update state,
// run the flash plan, finish, and wait for the user to unplug the unit.
#include <cstring>

#include "engine/engine.hpp"
#include "engine/images.hpp"
#include "exchange.hpp"
#include "pause.hpp"
#include "write_log.hpp"

namespace ql5::engine {

namespace {

constexpr int kPlanRows = static_cast<int>(FlashPlan.size());

}  // namespace

int runFlashPlan(UpdateState& st) { return runFlashPlan(st, FlashPlan); }

int runFlashPlan(UpdateState& st, const std::array<FlashPlanRow, 8>& plan) {
    // A row at address 0 writes the BOOT region; it runs only when the unit's
    // BOOT stamp differs from the carried one.
    bool hasBootRow = false;
    for (const FlashPlanRow& row : plan) {
        hasBootRow = hasBootRow || row.address == 0;
    }
    bool skipBootRows = false;
    if (hasBootRow) {
        std::uint8_t unitStamp[4];
        if (readMemory(st, kStampBootAddress, 4, unitStamp) != 0) {
            // Ending here with every control disabled would leave the user
            // stuck; say what happened, as any other failed exchange does.
            if (!st.closing.load()) {
                detail::failWith(st, IDS_TRANSFER_ERROR);
            }
            return -1;
        }
        const ImageBytes boot = loadImage(kImageBoot);
        st.imageData = boot.data;
        st.imageLength = boot.length;
        skipBootRows = boot.data != nullptr &&
                       boot.length >= static_cast<std::int32_t>(kStampBootOffset + 4) &&
                       std::memcmp(boot.data + kStampBootOffset, unitStamp, 4) == 0;
    }
    for (int k = 1; k <= kPlanRows; ++k) {
        const FlashPlanRow& row = plan[static_cast<std::size_t>(k - 1)];
        // The SYSTEM block goes last and says the update ran to its end:
        // everything written before it is checked (and repaired) first, so a
        // check that fails leaves it erased.
        if (row.operation == kOperationWrite && row.resourceId == kImageSystem &&
            (detail::markStepBoundary(st) != 0 || detail::readBackInDoubt(st) != 0)) {
            return -1;
        }
        st.window->setStepCounter(detail::formatCounts("%d/%d", k, kPlanRows));
        const bool skipped = skipBootRows && row.address == 0;
        if (skipped) {
            continue;
        }
        if (row.operation == kOperationErase) {
            if (eraseRegion(st, row.address, row.size) != 0) {
                return -1;
            }
        } else if (row.operation == kOperationWrite) {
            if (writeImage(st, row.address, row.size, row.resourceId) != 0) {
                return -1;
            }
        }
    }
    return 0;
}

void updateWorker(UpdateState& st) {
    st.window->setStepCounter(detail::formatCounts("0/%d", kPlanRows, 0));
    if (identifyDevice(st) != 0) {
        return;
    }
    stampModelId(st);

    detail::beginExchange(st, kExpectAck);
    (void)sendBeginUpdate(st);
    st.window->setStatusLine(loadString(IDS_ERASING));
    detail::Reply r = detail::awaitReply(st, st.timing.beginTimeoutMs);
    if (r.code == detail::kReplyAbort) {
        return;
    }
    if (r.timedOut) {
        detail::settleLine(st, st.timing.resendPauseMs);
        detail::failWith(st, IDS_TIMEOUT1);
        return;
    }
    st.window->setStatusLine("");
    if (r.code == 11) {
        detail::failWith(st, IDS_USE_UPDATE_MODE);
        return;
    }
    if (r.code != 0) {
        detail::failWith(st, IDS_TRANSFER_ERROR);
        return;
    }
    detail::pause(st, st.timing.beginPauseMs);
    if (st.closing.load()) {
        return;  // nobody is left to tell
    }

    detail::startRunLog(st);
    if (runFlashPlan(st) != 0) {
        return;
    }
    // Acknowledgements carry no sequence number: the blocks whose
    // acknowledgement may have been taken for another's (all of them with
    // --verify) are read back before the unit is told to finish, so
    // completion is never reported over flash that differs. What was written
    // before the SYSTEM block has been checked before it; this checks the
    // SYSTEM block itself.
    if (detail::markStepBoundary(st) != 0 || detail::readBackInDoubt(st) != 0) {
        return;
    }

    detail::beginExchange(st, kExpectAck);
    (void)sendFinish(st);
    r = detail::awaitReply(st, st.timing.finishTimeoutMs);
    if (r.code == detail::kReplyAbort) {
        return;
    }
    if (r.timedOut) {
        detail::settleLine(st, st.timing.resendPauseMs);
        detail::failWith(st, IDS_TRANSFER_ERROR);
        return;
    }
    // Any reply to the finish command counts, whatever its code.

    st.window->setStatusLine(loadString(IDS_UNPLUG));
    do {
        detail::pause(st, st.timing.unplugPollMs);
        if (st.closing.load()) {
            return;  // nobody is left to tell
        }
    } while (st.window->discoverPorts() == 1);
    st.window->setStatusLine(loadString(IDS_UPDATE_COMPLETED));
    st.window->restoreControls();
    st.window->enableActions(false);
}

}  // namespace ql5::engine
