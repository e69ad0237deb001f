#pragma once
// The update engine: the state the worker, the reply dispatcher and the
// window share, the message operations, the dispatcher, and the two workers.
// Every operation acts on an UpdateState; none needs a window beyond the
// WindowInterface the state points at.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/window.hpp"
#include "midi/CDxMMidiIn.hpp"
#include "midi/CDxMMidiOut.hpp"
#include "midi/CDxMTimer.hpp"
#include "platform/sync/sync.hpp"
#include "platform/sync/timing.hpp"

namespace ql5::engine {

struct VersionTexts {
    std::string boot;
    std::string preset;
    std::string system;
};

struct UpdateState {
    const std::uint8_t* imageData = nullptr;
    std::int32_t imageLength = 0;
    midi::CDxMMidiIn midiIn;
    midi::CDxMMidiOut midiOut;
    midi::CDxMTimer timer;
    sync::AutoResetEvent replyEvent;
    std::atomic<std::int32_t> replyCode{0};
    std::array<std::uint8_t, 4> deviceId{};
    std::atomic<std::int32_t> busy{0};
    VersionTexts deviceVersions;
    VersionTexts carriedVersions;

    WindowInterface* window = nullptr;
    sync::Timing timing;
};

}  // namespace ql5::engine
