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
#include "platform/mm/mmsystem.hpp"
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

// ---- message catalogue ----
// The identity the last identity check received; modelId is its first byte.
std::array<std::uint8_t, 4> deviceIdCopy();
std::uint8_t modelId();
int sendSysEx(UpdateState& st, const std::uint8_t* bytes, std::uint32_t length);
int sendIdentityRequest(UpdateState& st);
int sendResult(UpdateState& st, int code);
int sendBeginUpdate(UpdateState& st);
int sendFinish(UpdateState& st);
int sendWriteBlock(UpdateState& st, std::uint8_t model, const std::uint8_t* data,
                   std::int32_t address, std::int32_t length);
int sendErase(UpdateState& st, std::uint8_t model, std::int32_t address, std::int32_t size);
int readMemory(UpdateState& st, std::uint32_t address, std::uint32_t length, std::uint8_t* out);
void stampModelId();

// ---- reply dispatcher ----
// The timer callback: user is the UpdateState*.
void dispatcherTick(mm::UINT id, mm::UINT msg, mm::DWORD_PTR user, mm::DWORD_PTR r1,
                    mm::DWORD_PTR r2);
void ReplyDispatcher(UpdateState& st);

// ---- identification, erase and write, sequence ----
int identifyDevice(UpdateState& st);
int eraseRegion(UpdateState& st, std::uint32_t address, std::uint32_t size);
int writeImage(UpdateState& st, std::uint32_t address, std::uint32_t size, std::uint32_t imageId);
int runFlashPlan(UpdateState& st);
// Worker bodies; the window starts them on a new thread with sync::startThread.
void updateWorker(UpdateState& st);
void versionCheckWorker(UpdateState& st);

// ---- version check ----
int sanitizeVersionText(char (&text)[5]);
int closePorts(UpdateState& st);
// The handler of the version check's end message, on the window's thread.
int onVersionCheckDone(UpdateState& st, int result);
// The report text of the last check (SYSTEM / PRESET / BOOT lines).
std::string versionReportText(const UpdateState& st);
// Shows versionReportText in the window's "Version Information" box.
void showVersionReport(UpdateState& st);

// What the window does when it is destroyed: close the output port, then the
// input port, set replyCode to 255 and signal replyEvent, so that a waiting
// worker gives up without a message.
void abortForClose(UpdateState& st);

}  // namespace ql5::engine
