#pragma once
// Per-unit buffers and helpers shared by the catalogue and the reply
// dispatcher. Internal to the engine.
#include <array>
#include <cstdint>

#include "engine/engine.hpp"

namespace ql5::engine {

inline constexpr std::int32_t kReadAreaSize = 5824512;

// Read replies are unpacked here at readTotal (timer thread); readMemory
// sets readTotal to 0 before it asks and reads both after its wait.
std::uint8_t* readArea(UpdateState& st);
std::int32_t& readTotal(UpdateState& st);

void setDeviceIdCopy(UpdateState& st, const std::array<std::uint8_t, 4>& id);
// The identity reply template, sent from the dispatcher's own buffer.
int sendIdentityReply(UpdateState& st);

}  // namespace ql5::engine
