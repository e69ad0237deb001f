#pragma once
// A minimal host on the multimedia API: opens the unit's ports by name and
// records every callback (SysEx buffers, long errors, short messages), so a
// test sees exactly what an updater would see through the platform.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/mm/mmsystem.hpp"

namespace ql5::emulator::testing {

struct HostEvent {
    enum class Type { LongData, LongError, Data };
    Type type = Type::LongData;
    std::vector<std::uint8_t> bytes;  // LongData: the buffer; Data: the packed message bytes
};

class MmHost {
  public:
    MmHost() = default;
    ~MmHost();
    MmHost(const MmHost&) = delete;
    MmHost& operator=(const MmHost&) = delete;

    // Indices of the last input and output whose names equal name, or -1.
    static int findInput(const std::string& name);
    static int findOutput(const std::string& name);
    static bool listed(const std::string& name) {
        return findInput(name) >= 0 && findOutput(name) >= 0;
    }

    bool open(const std::string& name);
    void close();
    // midiOutLongMsg and a wait for MHDR_DONE; false when the platform
    // refused the send.
    bool send(const std::vector<std::uint8_t>& bytes);
    std::optional<HostEvent> next(std::chrono::milliseconds timeout);
    // The next SysEx message, skipping short messages.
    std::optional<std::vector<std::uint8_t>> nextSysEx(std::chrono::milliseconds timeout);

  private:
    static void callback(mm::HMIDIIN, mm::UINT msg, mm::DWORD_PTR instance, mm::DWORD_PTR p1,
                         mm::DWORD_PTR p2);
    void onEvent(mm::HMIDIIN handle, mm::UINT msg, mm::DWORD_PTR p1);

    static constexpr int kBuffers = 4;
    static constexpr std::uint32_t kBufferSize = 8192;
    mm::HMIDIIN in_ = nullptr;
    mm::HMIDIOUT out_ = nullptr;
    std::vector<std::vector<char>> storage_;
    std::vector<mm::MIDIHDR> headers_;
    bool closing_ = false;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<HostEvent> events_;
};

}  // namespace ql5::emulator::testing
