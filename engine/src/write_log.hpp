#pragma once
// Bookkeeping of one update run, and the read-back check that runs when its
// acknowledgements cannot all be trusted. Internal to the engine.
#include <cstdint>

#include "engine/engine.hpp"

namespace ql5::engine::detail {

void startRunLog(UpdateState& st);
void noteTimeout(UpdateState& st);
void recordWrite(UpdateState& st, std::uint32_t address, std::uint32_t imageId,
                 std::int32_t length);
// True when a request timed out or a reply came that nobody waited for: a
// late or repeated acknowledgement may then have been taken for the wrong
// block.
bool runHadAnomaly(const UpdateState& st);

// Sends [offset, end) of st.imageData to address + offset in acknowledged
// blocks with the write's retry rules; shows its failure itself.
int writeBlocks(UpdateState& st, std::uint32_t address, std::int32_t offset, std::int32_t end,
                bool showProgress);

// Reads every block the run wrote back from the unit, writes again what
// differs, and fails with "Transfer error occurred." when the flash still
// differs or cannot be read. Returns 0 when the flash equals the images.
int verifyWrittenImages(UpdateState& st);

// Reads length (at most 4,096) bytes from the unit into readArea.
int readMemoryBlock(UpdateState& st, std::uint32_t address, std::uint32_t length);

}  // namespace ql5::engine::detail
