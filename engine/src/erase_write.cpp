// The two operations that change the unit's flash: erase a region, write an
// image in acknowledged 4,096-byte blocks, each with its retry rules.
#include "engine/engine.hpp"
#include "engine/images.hpp"
#include "exchange.hpp"
#include "write_log.hpp"

namespace ql5::engine {

namespace {

constexpr int kMaxEraseCommands = 7;
constexpr int kMaxBlockSends = 32;

}  // namespace

int eraseRegion(UpdateState& st, std::uint32_t address, std::uint32_t size) {
    // A step boundary: a reply still on its way from the last write must not
    // be taken for the erase's, and shows whether the writes were shifted.
    if (detail::markStepBoundary(st) != 0) {
        return -1;
    }
    st.window->setProgressRange(0, 10);
    if (detail::eraseExchange(st, address, size, true) != 0) {
        return -1;
    }
    st.window->setProgressPos(10);
    return 0;
}

namespace detail {

int eraseExchange(UpdateState& st, std::uint32_t address, std::uint32_t size, bool show) {
    int errors = 0;
    for (;;) {
        beginExchange(st, kExpectAck);
        (void)sendErase(st, modelId(st), static_cast<std::int32_t>(address),
                        static_cast<std::int32_t>(size));
        if (show) {
            st.window->setProgressPos(1);
            st.window->setStatusLine(loadString(IDS_ERASING));
        }
        const Reply r = awaitReply(st, st.timing.eraseTimeoutMs);
        if (r.code == kReplyAbort) {
            return -1;
        }
        if (r.timedOut) {
            noteTimeout(st);
            settleLine(st, st.timing.resendPauseMs);
            failWith(st, IDS_TIMEOUT3);
            return -1;
        }
        if (r.code == 0) {
            return 0;
        }
        if (++errors >= kMaxEraseCommands) {
            failWith(st, IDS_TRANSFER_ERROR);
            return -1;
        }
        sync::sleepMs(st.timing.resendPauseMs);
    }
}

int writeBlocks(UpdateState& st, std::uint32_t address, std::int32_t offset, std::int32_t end,
                bool showProgress) {
    int failures = 0;
    bool hadTimeout = false;
    while (offset < end) {
        const std::int32_t block = end - offset < kBlockSize ? end - offset : kBlockSize;
        beginExchange(st, kExpectAck);
        (void)sendWriteBlock(st, modelId(st), st.imageData + offset,
                             static_cast<std::int32_t>(address) + offset, block);
        if (showProgress) {
            st.window->setStatusLine(
                formatCounts(loadString(IDS_DATA_TRANSMIT), offset, st.imageLength));
        }
        const Reply r = awaitReply(st, st.timing.writeTimeoutMs);
        if (r.code == kReplyAbort) {
            return -1;
        }
        if (r.timedOut) {
            noteTimeout(st);
            hadTimeout = true;
            if (r.linkGone) {
                // The driver saw the unit go: the resends could not reach it.
                // The message is the one the last of them would have brought.
                failWith(st, IDS_TIMEOUT2);
                return -1;
            }
            // The wait for a late reply replaces the plain pause before the
            // block goes out again.
            settleLine(st, st.timing.resendPauseMs);
            if (++failures >= kMaxBlockSends) {
                failWith(st, IDS_TIMEOUT2);
                return -1;
            }
            continue;
        }
        if (r.code == 0) {
            failures = 0;
            noteAcknowledged(st, address, offset, block);
            offset += block;
            if (showProgress) {
                st.window->setProgressPos(offset);
            }
            if (hadTimeout || straysSinceMarker(st) ||
                ++st.runLog.blocksSinceMarker >= kMarkerInterval) {
                // An earlier send of this block may still be answered, or a
                // reply came that nobody waited for: the acknowledgements may
                // be shifted. Back to one request at a time before the next
                // block goes out. Without either, a marker every
                // kMarkerInterval blocks bounds what one fault puts in doubt.
                if (markStepBoundary(st) != 0) {
                    return -1;
                }
                hadTimeout = false;
            }
            continue;
        }
        if (++failures >= kMaxBlockSends) {
            failWith(st, IDS_TRANSFER_ERROR);
            return -1;
        }
        sync::sleepMs(st.timing.resendPauseMs);
    }
    return 0;
}

}  // namespace detail

int writeImage(UpdateState& st, std::uint32_t address, std::uint32_t size, std::uint32_t imageId) {
    const ImageBytes img = loadImage(imageId);
    // The carried program has every image and the plan never asks for more
    // than an image holds; refuse rather than send bytes from past its end.
    if (img.data == nullptr || size > static_cast<std::uint32_t>(img.length)) {
        detail::failWith(st, IDS_TRANSFER_ERROR);
        return -1;
    }
    st.imageData = img.data;
    st.imageLength = size != 0 ? static_cast<std::int32_t>(size) : img.length;
    st.window->setProgressRange(0, st.imageLength);
    detail::recordWrite(st, address, imageId, st.imageLength);
    return detail::writeBlocks(st, address, 0, st.imageLength, true);
}

}  // namespace ql5::engine
