#pragma once
// The update engine: the state the worker, the reply dispatcher and the
// window share, the message operations, the dispatcher, and the two workers.
// Every operation acts on an UpdateState; none needs a window beyond the
// WindowInterface the state points at.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/images.hpp"
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

// One unit's message buffers, identity copy and stamped templates; owned by
// its UpdateState, so several units can be updated side by side.
struct CatalogueState;
CatalogueState* newCatalogueState();
struct CatalogueStateDeleter {
    void operator()(CatalogueState* p) const;
};

struct UpdateState {
    UpdateState() = default;
    // The timer's ticks read the ports and the event: stop it before any
    // member goes, then close the output and the input port while the timer
    // object still exists (the input port's arrival notice wakes it).
    ~UpdateState() {
        timer.Stop();
        midiOut.Close();
        midiIn.Close();
    }
    UpdateState(const UpdateState&) = delete;
    UpdateState& operator=(const UpdateState&) = delete;

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

    // Reply matching. Requests carry no sequence number, so the dispatcher
    // takes a reply only while a request is awaiting one: a reply that comes
    // when none is (a duplicate, or one that arrives after its wait gave up)
    // is counted and dropped, and never ends a later wait.
    std::atomic<bool> awaiting{false};
    std::atomic<std::uint32_t> strayReplies{0};
    // Sees every SysEx message sent (outgoing true) or taken off the input
    // queue, on the thread that sends or dispatches it; for --trace. Must be
    // set before the timer starts.
    std::function<void(bool outgoing, const std::uint8_t* bytes, std::size_t length)> trace;

    std::unique_ptr<CatalogueState, CatalogueStateDeleter> catalogue{newCatalogueState()};

    // Set by abortForClose: the window is going away.
    std::atomic<bool> closing{false};

    // What this update has written and what went wrong on the way, so that
    // an update whose acknowledgements cannot all be trusted is verified by
    // reading the flash back before it is reported complete.
    struct WrittenImage {
        std::uint32_t address;
        std::uint32_t imageId;
        std::int32_t length;
    };
    struct RunLog {
        std::uint32_t timeouts = 0;
        std::uint32_t straysAtStart = 0;
        std::vector<WrittenImage> writes;
    } runLog;
};

// ---- message catalogue ----
// The identity the last identity check received; modelId is its first byte.
std::array<std::uint8_t, 4> deviceIdCopy(const UpdateState& st);
std::uint8_t modelId(const UpdateState& st);
int sendSysEx(UpdateState& st, const std::uint8_t* bytes, std::uint32_t length);
int sendIdentityRequest(UpdateState& st);
int sendResult(UpdateState& st, int code);
int sendBeginUpdate(UpdateState& st);
int sendFinish(UpdateState& st);
int sendWriteBlock(UpdateState& st, std::uint8_t model, const std::uint8_t* data,
                   std::int32_t address, std::int32_t length);
int sendErase(UpdateState& st, std::uint8_t model, std::int32_t address, std::int32_t size);
int readMemory(UpdateState& st, std::uint32_t address, std::uint32_t length, std::uint8_t* out);
void stampModelId(UpdateState& st);

// ---- reply dispatcher ----
// The timer callback: user is the UpdateState*.
void dispatcherTick(mm::UINT id, mm::UINT msg, mm::DWORD_PTR user, mm::DWORD_PTR r1,
                    mm::DWORD_PTR r2);
void ReplyDispatcher(UpdateState& st);
// Starts st.timer at 1 ms with dispatcherTick, and has the input port bring
// a tick forward whenever a message arrives, so an exchange does not wait
// out the rest of a period. The dispatcher still never runs twice at once
// and still runs at least every millisecond. Returns the timer's Start.
std::uint32_t startDispatcher(UpdateState& st);
// One message through the dispatcher's decision table (what ReplyDispatcher
// does for each queued message). Never reads past n bytes.
void dispatchMessage(UpdateState& st, const std::uint8_t* m, std::size_t n);

// ---- identification, erase and write, sequence ----
int identifyDevice(UpdateState& st);
int eraseRegion(UpdateState& st, std::uint32_t address, std::uint32_t size);
int writeImage(UpdateState& st, std::uint32_t address, std::uint32_t size, std::uint32_t imageId);
int runFlashPlan(UpdateState& st);
// The same runner over another plan of eight rows (tests of the BOOT rows,
// which the carried plan does not have).
int runFlashPlan(UpdateState& st, const std::array<FlashPlanRow, 8>& plan);
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
