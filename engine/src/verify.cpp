// Which acknowledgements of an update can be trusted, and the read-back of
// those that cannot.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "catalogue_internal.hpp"
#include "engine/images.hpp"
#include "exchange.hpp"
#include "write_log.hpp"

namespace ql5::engine::detail {

namespace {

constexpr int kMarkerAttempts = 3;
constexpr std::uint32_t kMarkerLength = 4;
constexpr std::int32_t kSmallRead = 256;
constexpr std::uint32_t kSector = 0x1000;

// 0 read; 1 refused, garbled or unanswered; -1 the window is closing or the
// line could not be brought back (shown).
int readOnce(UpdateState& st, std::uint32_t address, std::int32_t length, std::uint8_t* out) {
    readTotal(st) = 0;
    beginExchange(st, kExpectRead, length);
    (void)sendReadRequest(st, address, static_cast<std::uint32_t>(length));
    const Reply r = awaitReply(st, st.timing.readTimeoutMs);
    if (r.code == kReplyAbort) {
        return -1;
    }
    if (r.timedOut || !st.lastReplyWasRead.load()) {
        st.awaiting.store(false);
        // A read reply carries no address: the reply of this read (late, or
        // still to come after an acknowledgement that was taken for its
        // refusal) would answer the next read of the same length. The marker
        // lets it pass before anything else is read.
        return markStepBoundary(st) == 0 ? 1 : -1;
    }
    if (r.code != 0 || readTotal(st) < length) {
        return 1;  // its own reply, garbled: the line is in step
    }
    std::memcpy(out, readArea(st), static_cast<std::size_t>(length));
    return 0;
}

std::vector<UpdateState::Span> mergedSpans(std::vector<UpdateState::Span> spans) {
    std::sort(spans.begin(), spans.end(), [](const auto& a, const auto& b) {
        return a.address != b.address ? a.address < b.address : a.offset < b.offset;
    });
    std::vector<UpdateState::Span> out;
    for (const UpdateState::Span& s : spans) {
        if (!out.empty() && out.back().address == s.address && out.back().imageId == s.imageId &&
            s.offset <= out.back().offset + out.back().length) {
            const std::int32_t end =
                std::max(out.back().offset + out.back().length, s.offset + s.length);
            out.back().length = end - out.back().offset;
        } else {
            out.push_back(s);
        }
    }
    return out;
}

// Writes one block of span's image again; its acknowledgement is noted as
// the span's image's, whichever image was written last.
int writeSpanBlock(UpdateState& st, const UpdateState::Span& span, std::int32_t offset,
                   std::int32_t length) {
    const std::uint32_t current = st.runLog.imageId;
    st.runLog.imageId = span.imageId;
    const int rc = writeBlocks(st, span.address, offset, offset + length, false);
    st.runLog.imageId = current;
    return rc;
}

// The block cannot be read on this unit: erase its sector and write it
// again, each time confirmed by a marker with no time-out and no stray reply
// since the erase. 0 when so confirmed; otherwise the failure has been shown
// (or the window is closing).
int rewriteUnread(UpdateState& st, const UpdateState::Span& span, std::int32_t offset,
                  std::int32_t length) {
    const std::uint32_t at = span.address + static_cast<std::uint32_t>(offset);
    if (at % kSector != 0 || length > static_cast<std::int32_t>(kSector)) {
        failWith(st, IDS_TRANSFER_ERROR);  // the sector holds more than this block
        return -1;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        // The line is quiet before the erase, so what comes after it is this
        // block's alone.
        if (markStepBoundary(st) != 0) {
            return -1;
        }
        const std::uint32_t strays = st.strayReplies.load();
        const std::uint32_t timeouts = st.runLog.timeouts;
        if (eraseExchange(st, at, kSector, false) != 0 ||
            writeSpanBlock(st, span, offset, length) != 0 || markStepBoundary(st) != 0) {
            return -1;
        }
        if (st.strayReplies.load() == strays && st.runLog.timeouts == timeouts) {
            ++st.runLog.rewrittenUnread;
            return 0;
        }
    }
    failWith(st, IDS_TRANSFER_ERROR);
    return -1;
}

// The block at offset of span's image differs from what was read into
// flash: write it again and read it back. 0 when it now holds the image's
// bytes; otherwise the failure has been shown (or the window is closing).
int rewriteBlock(UpdateState& st, const UpdateState::Span& span, std::int32_t offset,
                 std::int32_t length, std::uint8_t* flash) {
    const std::uint8_t* want = st.imageData + offset;
    const std::uint32_t at = span.address + static_cast<std::uint32_t>(offset);
    // NOR programming can only clear bits: where a bit the image needs set is
    // clear, only an erase of the sector brings it back.
    bool programmable = true;
    for (std::int32_t i = 0; i < length; ++i) {
        programmable = programmable && (flash[i] & want[i]) == want[i];
    }
    if (!programmable) {
        if (at % kSector != 0 || length > static_cast<std::int32_t>(kSector)) {
            failWith(st, IDS_TRANSFER_ERROR);  // the sector holds more than this block
            return -1;
        }
        if (eraseExchange(st, at, kSector, false) != 0) {
            return -1;
        }
    }
    if (writeSpanBlock(st, span, offset, length) != 0) {
        return -1;
    }
    const int rc = readRange(st, at, length, flash);
    if (rc < 0) {
        return -1;
    }
    if (rc != 0 || std::memcmp(flash, want, static_cast<std::size_t>(length)) != 0) {
        failWith(st, IDS_TRANSFER_ERROR);
        return -1;
    }
    return 0;
}

}  // namespace

void startRunLog(UpdateState& st) {
    st.runLog = UpdateState::RunLog{};
    st.runLog.straysSeen = st.strayReplies.load();
}

void noteTimeout(UpdateState& st) {
    ++st.runLog.timeouts;
    st.runLog.doubtful = true;
}

void recordWrite(UpdateState& st, std::uint32_t address, std::uint32_t imageId,
                 std::int32_t length) {
    st.runLog.writes.push_back({address, imageId, length});
    st.runLog.imageId = imageId;
}

void noteAcknowledged(UpdateState& st, std::uint32_t address, std::int32_t offset,
                      std::int32_t length) {
    std::vector<UpdateState::Span>& v = st.runLog.sinceMarker;
    if (!v.empty() && v.back().address == address && v.back().imageId == st.runLog.imageId &&
        v.back().offset + v.back().length == offset) {
        v.back().length += length;
        return;
    }
    v.push_back({address, st.runLog.imageId, offset, length});
}

bool straysSinceMarker(const UpdateState& st) {
    return st.strayReplies.load() != st.runLog.straysSeen;
}

namespace {

void closeInterval(UpdateState& st) {
    UpdateState::RunLog& log = st.runLog;
    // Replies come in the order of their requests: every reply to what was
    // sent before the marker has been dispatched by now.
    if (log.doubtful || straysSinceMarker(st)) {
        log.inDoubt.insert(log.inDoubt.end(), log.sinceMarker.begin(), log.sinceMarker.end());
    }
    log.sinceMarker.clear();
    log.doubtful = false;
    log.blocksSinceMarker = 0;
    log.straysSeen = st.strayReplies.load();
}

void noMarkers(UpdateState& st) {
    UpdateState::RunLog& log = st.runLog;
    log.markerState = -1;
    log.sinceMarker.clear();
    log.inDoubt.clear();
    log.doubtful = false;
    log.blocksSinceMarker = 0;
    log.straysSeen = st.strayReplies.load();
    st.window->noteUncheckable();
}

std::uint32_t elapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - since)
                                          .count());
}

// How long a marker is waited for: the configured wait, or four times the
// slowest answer this unit gave, never more than a read may take.
std::uint32_t markerWaitMs(const UpdateState& st) {
    const std::uint32_t learned = st.runLog.slowestMarkerMs * 4;
    return std::min(st.timing.readTimeoutMs, std::max(st.timing.markerTimeoutMs, learned));
}

// One marker request; 0 answered, 1 not answered in time, 2 refused or
// garbled, -1 the window is closing.
int markerExchange(UpdateState& st, int expect, std::uint32_t waitMs) {
    readTotal(st) = 0;
    beginExchange(st, expect, static_cast<std::int32_t>(kMarkerLength));
    const auto sent = std::chrono::steady_clock::now();
    (void)sendReadRequest(st, kStampSystemAddress, kMarkerLength);
    const Reply r = awaitReply(st, waitMs);
    if (r.code == kReplyAbort) {
        return -1;
    }
    if (r.timedOut) {
        st.awaiting.store(false);
        return 1;
    }
    if (r.code != 0 || readTotal(st) < static_cast<std::int32_t>(kMarkerLength)) {
        return 2;
    }
    st.runLog.slowestMarkerMs = std::max(st.runLog.slowestMarkerMs, elapsedMs(sent));
    return 0;
}

}  // namespace

int markStepBoundary(UpdateState& st) {
    UpdateState::RunLog& log = st.runLog;
    if (log.markerState < 0) {
        return 0;  // this unit is not read in its update state
    }
    if (log.markerState == 0) {
        // Nothing promises that the unit answers a read in its update state:
        // the first marker may take as long as any read, and a refusal (or
        // no answer) means the update goes on as the plain sequence.
        const int rc = markerExchange(st, kExpectRead, st.timing.readTimeoutMs);
        if (rc < 0) {
            return -1;
        }
        if (rc != 0) {
            if (rc == 1) {
                settleLine(st, st.timing.resendPauseMs);
            }
            noMarkers(st);
            return 0;
        }
        log.markerState = 1;
        ++log.markers;
        closeInterval(st);
        return 0;
    }
    for (int attempt = 0; attempt < kMarkerAttempts; ++attempt) {
        // Each attempt waits twice as long as the one before: a host that
        // stalls for a moment does not end the update.
        const auto wait = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            st.timing.readTimeoutMs, static_cast<std::uint64_t>(markerWaitMs(st)) << attempt));
        const int rc = markerExchange(st, kExpectMarker, wait);
        if (rc < 0) {
            return -1;
        }
        if (rc == 0) {
            ++log.markers;
            closeInterval(st);
            return 0;
        }
        log.doubtful = true;
    }
    // The unit answered markers before and no longer does: neither what was
    // written since the last one nor the unit's state can be vouched for.
    // Nothing failed to erase or write here, so no time-out of those.
    failWith(st, IDS_TRANSFER_ERROR);
    return -1;
}

int readRange(UpdateState& st, std::uint32_t address, std::int32_t length, std::uint8_t* out) {
    UpdateState::RunLog& log = st.runLog;
    if (!log.smallReadsOnly) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const int rc = readOnce(st, address, length, out);
            if (rc != 1) {
                return rc;
            }
        }
    }
    // A unit that cannot serve a long read may still serve short ones.
    for (std::int32_t pos = 0; pos < length; pos += kSmallRead) {
        const std::int32_t n = std::min(kSmallRead, length - pos);
        int rc = readOnce(st, address + static_cast<std::uint32_t>(pos), n, out + pos);
        if (rc == 1) {
            rc = readOnce(st, address + static_cast<std::uint32_t>(pos), n, out + pos);
        }
        if (rc != 0) {
            return rc;
        }
    }
    if (length > kSmallRead) {
        // Long reads failed twice where short ones served: they are not
        // tried again in this run (each failure may cost a read's time-out).
        log.smallReadsOnly = true;
    }
    return 0;
}

int readBackInDoubt(UpdateState& st) {
    UpdateState::RunLog& log = st.runLog;
    if (log.markerState < 0) {
        return 0;  // nothing can be read on this unit; it has been said once
    }
    std::vector<UpdateState::Span> spans;
    if (st.verifyAll) {
        for (std::size_t i = log.writesChecked; i < log.writes.size(); ++i) {
            const UpdateState::WrittenImage& w = log.writes[i];
            spans.push_back({w.address, w.imageId, 0, w.length});
        }
    } else {
        spans = mergedSpans(log.inDoubt);
    }
    log.inDoubt.clear();
    log.writesChecked = log.writes.size();
    std::int32_t total = 0;
    for (const UpdateState::Span& s : spans) {
        total += s.length;
    }
    if (total == 0) {
        return 0;
    }
    st.window->setProgressRange(0, total);
    st.window->setProgressPos(0);
    st.window->setStatusLine(formatCounts(loadString(IDS_VERIFYING), 0, total));
    std::int32_t done = 0;
    std::uint8_t flash[kBlockSize];
    for (const UpdateState::Span& s : spans) {
        const ImageBytes img = loadImage(s.imageId);
        st.imageData = img.data;
        st.imageLength = img.length;
        for (std::int32_t off = s.offset; off < s.offset + s.length; off += kBlockSize) {
            const std::int32_t len = std::min(kBlockSize, s.offset + s.length - off);
            const std::uint32_t at = s.address + static_cast<std::uint32_t>(off);
            const int rc = log.unreadable ? 1 : readRange(st, at, len, flash);
            if (rc < 0) {
                return -1;
            }
            if (rc != 0) {
                // Nothing tells whether the flash holds the image, and this
                // unit serves no read of it: bring the block to a known state
                // instead, and read nothing more in this run.
                log.unreadable = true;
                if (rewriteUnread(st, s, off, len) != 0) {
                    return -1;
                }
            } else {
                log.bytesReadBack += len;
                if (std::memcmp(flash, img.data + off, static_cast<std::size_t>(len)) != 0 &&
                    rewriteBlock(st, s, off, len, flash) != 0) {
                    return -1;
                }
            }
            done += len;
            st.window->setProgressPos(done);
            st.window->setStatusLine(formatCounts(loadString(IDS_VERIFYING), done, total));
        }
    }
    return 0;
}

}  // namespace ql5::engine::detail

namespace ql5::engine {

int verifyUnitFlash(UpdateState& st, std::vector<ImageVerdict>& verdicts) {
    verdicts.clear();
    // Outside an update the unit is read as any other time: a marker after a
    // failed read brings the line back, and one that is not answered ends
    // the comparison.
    st.runLog.markerState = 1;
    std::int32_t total = 0;
    for (const FlashPlanRow& row : FlashPlan) {
        if (row.operation == kOperationWrite) {
            total += row.size != 0 ? static_cast<std::int32_t>(row.size)
                                   : loadImage(row.resourceId).length;
        }
    }
    st.window->setProgressRange(0, total);
    st.window->setProgressPos(0);
    st.window->setStatusLine(detail::formatCounts(loadString(IDS_VERIFYING), 0, total));
    std::int32_t done = 0;
    std::uint8_t flash[kBlockSize];
    for (const FlashPlanRow& row : FlashPlan) {
        if (row.operation != kOperationWrite) {
            continue;
        }
        const ImageBytes img = loadImage(row.resourceId);
        ImageVerdict v;
        v.imageId = row.resourceId;
        v.address = row.address;
        v.length = row.size != 0 ? static_cast<std::int32_t>(row.size) : img.length;
        for (std::int32_t off = 0; off < v.length; off += kBlockSize) {
            const std::int32_t len = std::min(kBlockSize, v.length - off);
            const std::uint32_t at = row.address + static_cast<std::uint32_t>(off);
            const int rc = detail::readRange(st, at, len, flash);
            if (rc != 0) {
                v.state = -1;
                verdicts.push_back(v);
                return -1;
            }
            for (std::int32_t i = 0; i < len; ++i) {
                if (flash[i] != img.data[off + i]) {
                    if (v.state == 0) {
                        v.state = 1;
                        v.firstDifference = at + static_cast<std::uint32_t>(i);
                    }
                    ++v.differingBytes;
                }
            }
            done += len;
            st.window->setProgressPos(done);
            st.window->setStatusLine(detail::formatCounts(loadString(IDS_VERIFYING), done, total));
        }
        verdicts.push_back(v);
    }
    return 0;
}

}  // namespace ql5::engine
