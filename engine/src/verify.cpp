#include <cstring>

#include "catalogue_internal.hpp"
#include "engine/images.hpp"
#include "exchange.hpp"
#include "write_log.hpp"

namespace ql5::engine::detail {

void startRunLog(UpdateState& st) {
    st.runLog = UpdateState::RunLog{};
    st.runLog.straysAtStart = st.strayReplies.load();
}

void noteTimeout(UpdateState& st) { ++st.runLog.timeouts; }

void recordWrite(UpdateState& st, std::uint32_t address, std::uint32_t imageId,
                 std::int32_t length) {
    st.runLog.writes.push_back({address, imageId, length});
}

bool runHadAnomaly(const UpdateState& st) {
    return st.runLog.timeouts != 0 || st.strayReplies.load() != st.runLog.straysAtStart;
}

namespace {

// 0 equal, 1 different, -1 could not be read (or the window is closing).
int compareBlock(UpdateState& st, std::uint32_t address, std::int32_t offset, std::int32_t len) {
    if (readMemoryBlock(st, address + static_cast<std::uint32_t>(offset),
                        static_cast<std::uint32_t>(len)) != 0) {
        return -1;
    }
    return std::memcmp(readArea(st), st.imageData + offset, static_cast<std::size_t>(len)) == 0 ? 0
                                                                                                : 1;
}

}  // namespace

int verifyWrittenImages(UpdateState& st) {
    // A reply still on its way must not be taken for a read reply below.
    settleLine(st, st.timing.writeTimeoutMs);
    for (const UpdateState::WrittenImage& w : st.runLog.writes) {
        const ImageBytes img = loadImage(w.imageId);
        st.imageData = img.data;
        st.imageLength = w.length;
        for (std::int32_t off = 0; off < w.length; off += kBlockSize) {
            const std::int32_t len = w.length - off < kBlockSize ? w.length - off : kBlockSize;
            int cmp = compareBlock(st, w.address, off, len);
            if (cmp == 1) {
                if (writeBlocks(st, w.address, off, off + len, false) != 0) {
                    return -1;  // the write has told the user, or the window is closing
                }
                cmp = compareBlock(st, w.address, off, len);
            }
            if (st.closing.load()) {
                return -1;
            }
            if (cmp != 0) {
                failWith(st, IDS_TRANSFER_ERROR);
                return -1;
            }
        }
    }
    return 0;
}

}  // namespace ql5::engine::detail
