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

// What a request takes as its reply (UpdateState::expect).
inline constexpr int kExpectAny = 0;     // any reply (identification)
inline constexpr int kExpectAck = 1;     // a result message
inline constexpr int kExpectRead = 2;    // a read reply of expectLength bytes, or a refusal
inline constexpr int kExpectMarker = 3;  // a read reply of expectLength bytes only

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
    // Whether the reply last taken was a read reply (a garbled one included)
    // rather than a result message: a read answered by its own reply needs
    // no marker after it, whatever its data.
    std::atomic<bool> lastReplyWasRead{false};
    std::atomic<std::uint32_t> strayReplies{0};
    // Sees every SysEx message sent (outgoing true) or taken off the input
    // queue, on the thread that sends or dispatches it; for --trace. Must be
    // set before the timer starts.
    std::function<void(bool outgoing, const std::uint8_t* bytes, std::size_t length)> trace;

    std::unique_ptr<CatalogueState, CatalogueStateDeleter> catalogue{newCatalogueState()};

    // Set by abortForClose: the window is going away.
    std::atomic<bool> closing{false};

    // Set by the dispatcher when it ends the exchange in flight because a
    // port's device went away (the driver said so: card removed, write
    // refused, client gone). No reply can come: the wait ends at once, as
    // its time-out would, with the same message. Cleared by beginExchange.
    std::atomic<bool> linkGone{false};

    // What the request in flight takes as its reply (kExpect*), and for a
    // read the byte count its reply must carry. A reply of another kind, or a
    // read reply of another length, is a stray: counted, never taken.
    std::atomic<int> expect{0};
    std::atomic<std::int32_t> expectLength{0};

    // ql5 update (unless --no-verify): read every written block back before the finish
    // command, not only those in doubt.
    bool verifyAll = false;

    // What this update has written and which of its acknowledgements cannot
    // be trusted. Requests carry no sequence number: a duplicated or late
    // acknowledgement taken for the next block shifts every later one. A
    // marker exchange at each step boundary (a short read whose reply cannot
    // be mistaken for an acknowledgement, answered only after everything sent
    // before it) shows whether the line was shifted; the blocks acknowledged
    // since the previous marker are then in doubt and read back before the
    // finish command.
    struct WrittenImage {
        std::uint32_t address;
        std::uint32_t imageId;
        std::int32_t length;
    };
    struct Span {
        std::uint32_t address;  // the image's first byte in flash
        std::uint32_t imageId;
        std::int32_t offset;  // in the image
        std::int32_t length;
    };
    struct RunLog {
        std::uint32_t timeouts = 0;
        std::uint32_t straysSeen = 0;  // strayReplies at the last marker
        bool doubtful = false;         // a time-out since the last marker
        std::uint32_t imageId = 0;     // the image being written
        std::uint32_t markers = 0;
        std::int64_t bytesReadBack = 0;
        std::vector<WrittenImage> writes;
        std::vector<Span> sinceMarker;
        std::vector<Span> inDoubt;
        // Whether this unit answers markers: 0 not known yet (the first one
        // tells), 1 it does, -1 it does not or refused (no markers and no
        // read-back for the rest of the run: the plain sequence).
        int markerState = 0;
        std::uint32_t slowestMarkerMs = 0;  // the longest a marker took to be answered
        std::int32_t blocksSinceMarker = 0;
        std::size_t writesChecked = 0;      // writes already read back (verifyAll)
        bool smallReadsOnly = false;        // 4,096-byte reads failed for good
        bool unreadable = false;            // no read of a block succeeds: rewrite instead
        std::uint32_t rewrittenUnread = 0;  // blocks erased and written again unread
    } runLog;
    // A read timed out or ended in another reply than its own: its reply may
    // still be on the way, and a read reply carries no address. The next
    // read first brings the line back to one request at a time.
    bool readLineUnsettled = false;
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
// Assembles the read-memory command in sendBuffer and sends it.
int sendReadRequest(UpdateState& st, std::uint32_t address, std::uint32_t length);
void stampModelId(UpdateState& st);

// ---- reply dispatcher ----
// The timer callback: user is the UpdateState*.
void dispatcherTick(mm::UINT id, mm::UINT msg, mm::DWORD_PTR user, mm::DWORD_PTR r1,
                    mm::DWORD_PTR r2);
void ReplyDispatcher(UpdateState& st);
// Starts st.timer at 1 ms with dispatcherTick, and has the input port bring
// a tick forward whenever a message arrives, so an exchange does not wait
// out the rest of a period. The dispatcher still never runs twice at once.
// It polls every millisecond while a request awaits its reply; otherwise the
// timer sleeps until a message arrives or the next request is sent, so an
// idle window costs no wake-ups. Returns the timer's Start.
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

// ---- checking a unit's flash against the carried images ----
struct ImageVerdict {
    std::uint32_t imageId = 0;
    std::uint32_t address = 0;  // flash address of the image's first byte
    std::int32_t length = 0;
    int state = 0;                      // 0 equal, 1 differs, -1 could not be read
    std::uint32_t firstDifference = 0;  // flash address, when state is 1
    std::int64_t differingBytes = 0;
};
// Reads back every image the flash plan writes and compares it with the
// carried bytes, with progress; changes nothing. Returns 0 when every image
// was read (verdicts say which differ), -1 when a read failed for good or
// the window is closing. Needs an identified unit.
int verifyUnitFlash(UpdateState& st, std::vector<ImageVerdict>& verdicts);

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
