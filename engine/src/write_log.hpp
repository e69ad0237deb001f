#pragma once
// Bookkeeping of one update run: which acknowledgements can be trusted, the
// marker exchange that shows it at each step boundary, and the read-back of
// what is in doubt. Internal to the engine.
#include <cstdint>

#include "engine/engine.hpp"

namespace ql5::engine::detail {

void startRunLog(UpdateState& st);
void noteTimeout(UpdateState& st);
// An image write starts: remembered for --verify, and as the image whose
// blocks the acknowledgements below belong to.
void recordWrite(UpdateState& st, std::uint32_t address, std::uint32_t imageId,
                 std::int32_t length);
// Block [offset, offset + length) of the image at address was acknowledged.
void noteAcknowledged(UpdateState& st, std::uint32_t address, std::int32_t offset,
                      std::int32_t length);
// True when a reply came that nobody waited for since the last marker.
bool straysSinceMarker(const UpdateState& st);

// The marker exchange: a 4-byte read whose reply the unit sends only after
// every reply to what was sent before it, and which no acknowledgement can
// pass for. When it is answered the line is back to one request at a time;
// if a time-out or a stray reply came since the previous marker, the blocks
// acknowledged in between are put in doubt. The first marker of a run may
// take as long as any read; a unit that does not answer it, or refuses it,
// gets no marker and no read-back for the rest of the run (the window is told
// once through noteUncheckable) and 0 is returned. Later markers are waited
// for four times as long as the slowest answer so far (at least
// markerTimeoutMs), three times, each twice as long as the one before (at
// most readTimeoutMs); then the unit is
// gone: "Transfer error occurred." and -1 (-1 silently when the window is
// closing).
int markStepBoundary(UpdateState& st);

// Blocks acknowledged without a marker in between, at most: a time-out taken
// for nothing puts no more than this in doubt, and two faults that balance
// each other's replies must fall within this many blocks to go unseen.
inline constexpr std::int32_t kMarkerInterval = 64;

// Sends [offset, end) of st.imageData to address + offset in acknowledged
// blocks with the write's retry rules; shows its failure itself.
int writeBlocks(UpdateState& st, std::uint32_t address, std::int32_t offset, std::int32_t end,
                bool showProgress);

// One erase with the erase's retry rules (show: the progress bar at 1 and
// "Erasing Flash memory." with each command); shows its failure itself.
int eraseExchange(UpdateState& st, std::uint32_t address, std::uint32_t size, bool show);

// Reads length (at most 4,096) bytes at address into out: one read, once
// more if it fails, then in 256-byte reads (each tried twice). 0 read; 1 it
// cannot be read; -1 the window is closing or a failure was shown.
int readRange(UpdateState& st, std::uint32_t address, std::int32_t length, std::uint8_t* out);

// Reads back the blocks in doubt (with st.verifyAll every block written
// since the last call), with progress, rewrites what differs (erasing its
// 4 KiB sector first when programming alone cannot give the image's bytes)
// and reads it again. A block no read serves is erased and written again
// instead, confirmed by a marker, and so is every later one of the run.
// Fails with "Transfer error occurred." when the flash still differs or a
// rewrite cannot be confirmed. 0 when the flash equals the images, or when
// the unit answers no marker (nothing can be read).
int readBackInDoubt(UpdateState& st);

}  // namespace ql5::engine::detail
