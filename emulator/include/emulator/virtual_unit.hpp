#pragma once
// The virtual QL-5: the unit's side of the update protocol over one input
// and one output port, with 16 MiB of NOR flash, an update mode, a timing
// model and scripted faults. End-to-end tests and the demo update it exactly
// as they would update the hardware.
//
// How this unit behaves (what the updater can observe):
// - Identity request: identity reply F0 7E 00 06 02 52 <identity> <revision> F7,
//   in any state.
// - Begin-update: code 0 and an update session opens when the unit is in its
//   firmware update mode; code 11 otherwise.
// - Erase and write-block are carried out only inside an update session
//   (code 5 before the begin-update); the session ends with the finish
//   command or when the unit is unplugged.
// - Erase: code 0 and the range reads 0xFF; code 3 for a message of the wrong
//   length or with a byte >= 0x80 inside, code 4 for a range past the flash.
// - Write-block: code 0 and the block programmed (NOR: old AND new); code 3
//   when the message is malformed (its packed length is not exactly what the
//   message holds, a byte >= 0x80), code 4 out of range, code 2 on a CRC
//   mismatch over the unpacked bytes.
// - Finish: code 0. Inside a session the unit then behaves as one its user
//   unplugs: the ports vanish unplugAfterFinishMs after the reply has been
//   delivered, and come back after replugAfterMs (0 = when plug() is called).
//   A finish whose reply a fault lost still ends the session and unplugs; one
//   refused by a code=N fault does neither.
// - Read-memory: in any state. The requested bytes in read replies of at most
//   4,096 bytes each, in address order (one empty reply for length 0);
//   bytes 2-3 of a reply are 00 <model>, bytes 7-8 are 00 00. A range past
//   the flash gets a result message with code 4, a malformed request code 3.
// - Any other maker command: code 6. The host's result messages and identity
//   replies (its answers to the unit's own requests) are recorded and
//   otherwise ignored, as are other manufacturers' messages and short ones.
// - The model byte (offset 3) of the unit's own maker messages is the first
//   identity byte; the unit accepts requests whatever their offset 3 holds.
// Requests are handled one at a time, in arrival order, on the unit's own
// thread; the host's sending thread only queues them.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "emulator/fault_script.hpp"
#include "emulator/flash.hpp"
#include "emulator/messages.hpp"
#include "emulator/transcript.hpp"
#include "emulator/unit_link.hpp"

#if QL5_EMULATOR_HAS_VIRTUAL_DEVICE
#include "platform/mm/virtual_driver.hpp"
#endif

namespace ql5::emulator {

// Modeled time: how long the hardware would take. The unit sleeps on its
// own thread for these durations (never on the host's), and adds them up.
struct TimingProfile {
    double linkBytesPerSecond = 0;  // 0 = instant
    double eraseMsPer64KiB = 0;     // per started 64 KiB block
    double programMsPerPage = 0;    // per 256-byte page touched
    double replyLatencyMs = 0;      // before every answer

    // A fast serial NOR behind USB full-speed MIDI: 912,000 bytes/s on the
    // link (the class-compliant ceiling), 25 ms per 64 KiB block erase,
    // 0.5 ms per 256-byte page, 0.2 ms from request to answer. These are
    // typical, not worst-case, figures; a whole update models ~45 s.
    static TimingProfile realistic();
};

struct UnitConfig {
    std::array<std::uint8_t, 4> identity{0x6E, 0x00, 0x10, 0x00};
    std::array<std::uint8_t, 4> revision{'1', '0', '0', '0'};
    bool updateMode = true;
    std::string systemStamp = "1.10", presetStamp = "1.00", bootStamp = "0.90";
    std::string inputName = "Tarvik QL-5 MIDI 1", outputName = "Tarvik QL-5 MIDI 1";
    std::uint32_t unplugAfterFinishMs = 0;
    std::uint32_t replugAfterMs = 0;  // 0 = stays unplugged until plug()
    TimingProfile timing{};
    bool plugOnStart = true;
    // Fill the flash with a deterministic pattern (installed firmware) rather
    // than leaving it erased; the stamps are written either way.
    bool patternFill = true;
    std::uint32_t patternSeed = 0x51A5EED;
    // Bytes kept per transcript entry; 0 keeps whole messages.
    std::size_t transcriptBytesPerEntry = 0;
    // Entries the transcript keeps (the tail of the session); 0 keeps all.
    std::size_t transcriptMaxEntries = Transcript::kDefaultMaxEntries;
    FaultScript faults{};
};

struct Stamps {
    std::string system, preset, boot;
};

struct Counters {
    // Requests received, by kind (RequestKind::Any = all requests).
    std::array<std::uint64_t, 8> requests{};
    std::uint64_t hostResults = 0;          // the host's result messages
    std::uint64_t hostIdentityReplies = 0;  // the host's identity replies
    std::uint64_t ignoredMessages = 0;      // anything else the unit does not act on
    std::uint64_t repliesSent = 0;          // messages the unit sent (answers and unsolicited)
    std::uint64_t faultsApplied = 0;        // requests a fault rule matched
    std::uint64_t of(RequestKind k) const { return requests[static_cast<std::size_t>(k)]; }
};

class VirtualUnit {
  public:
#if QL5_EMULATOR_HAS_VIRTUAL_DEVICE
    // On the in-process virtual driver (a VirtualDevice named after the
    // config).
    explicit VirtualUnit(UnitConfig cfg = {});
#endif
    // On any link (tests, the standalone program).
    VirtualUnit(UnitConfig cfg, std::shared_ptr<UnitLink> link);
    ~VirtualUnit();
    VirtualUnit(const VirtualUnit&) = delete;
    VirtualUnit& operator=(const VirtualUnit&) = delete;

    void plug();
    // Ends an update session and loses any request not yet handled, as
    // pulling the cable does.
    void unplug();
    bool plugged() const;

    void setFaults(FaultScript script);
    bool setFaults(std::string_view text, std::string* error);
    static std::optional<FaultScript> parseFaultScript(std::string_view text, std::string* error) {
        return emulator::parseFaultScript(text, error);
    }
    void setUpdateMode(bool on);
    bool updateSessionOpen() const;

    // Waits until every queued request and send has been handled and the
    // link has delivered it. False on time-out.
    bool waitIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until at least n requests of the kind have been received.
    bool waitForRequests(RequestKind kind, std::uint64_t n, std::chrono::milliseconds timeout);
    // Waits until the ports are in the given state.
    bool waitPlugged(bool state, std::chrono::milliseconds timeout);

    // ---- flash ----
    Bytes readFlash(std::uint32_t address, std::uint32_t length) const;
    // Sets bytes as they are (no NOR rule, no log): a unit prepared by hand.
    bool pokeFlash(std::uint32_t address, std::span<const std::uint8_t> bytes);
    Stamps stamps() const;
    std::vector<FlashOp> flashLog() const;
    void clearFlashLog();

    // ---- checks after an update ----
    bool regionEquals(std::uint32_t address, std::span<const std::uint8_t> image) const;
    // Flash addresses of the 4,096-byte blocks (counted from address) whose
    // bytes differ from the image; a block past the flash counts as differing.
    std::vector<std::uint32_t> differingBlocks(std::uint32_t address,
                                               std::span<const std::uint8_t> image) const;
    std::vector<ByteRange> writtenOutsideRegions() const;
    std::vector<ByteRange> erasedOutsideRegions() const;
    bool touchedOutsideRegions() const;
    std::vector<FlashOp> writesOverUnerased() const;
    // True when some range in [address, address + length) was erased or
    // programmed since the log was last cleared (e.g. the BOOT region).
    bool touched(std::uint32_t address, std::uint32_t length) const;

    Counters counters() const;
    // Zeroes the counters, and with them the ordinals the fault rules count
    // ("write#3" is then the third write from now on).
    void clearCounters();
    Transcript& transcript() { return *transcript_; }
    const Transcript& transcript() const { return *transcript_; }
    // Sum of the modeled durations (device time plus link time at the
    // profile's rate) since the unit was made.
    std::chrono::nanoseconds modeledTime() const;

    // ---- what a unit may send on its own (queued behind any answer) ----
    void sendIdentityRequest();
    void sendMakerCommand(std::uint8_t command, std::span<const std::uint8_t> payload = {});
    void sendRaw(std::span<const std::uint8_t> bytes);
    void sendLongError();

    const UnitConfig& config() const { return cfg_; }
    std::uint8_t model() const { return cfg_.identity[0]; }
#if QL5_EMULATOR_HAS_VIRTUAL_DEVICE
    // The device under the unit's ports (for the driver's own fault switches);
    // null when the unit runs on another link.
    std::shared_ptr<mm::virt::VirtualDevice> device() const { return device_; }
#endif

    struct Inbox;  // shared with the link's receiver, which may outlive us

  private:
    struct Job {
        enum class Type { HostMessage, Send, LongError };
        Type type = Type::HostMessage;
        Bytes bytes;
        std::uint64_t generation = 0;
    };
    struct Reply;

    void start();
    void run();
    void handle(const Job& job);
    void handleHostMessage(const Bytes& msg, std::uint64_t generation);
    std::vector<Reply> carryOut(RequestKind kind, const Bytes& msg, bool lie, bool flip,
                                std::uint64_t gen, bool& finished, std::chrono::nanoseconds& busy);
    void transmit(const Bytes& bytes, std::string note);
    // Runs put (a send into the link) if the unit is still in generation
    // gen, and keeps a plug from completing meanwhile. False if it was not.
    bool onWire(std::uint64_t gen, const std::function<void()>& put);
    bool sleepFor(std::chrono::nanoseconds d, std::uint64_t generation);
    void doUnplug(std::string why);
    void doPlug(std::string why);
    std::uint64_t generation() const;
    void addLinkTime(std::size_t bytes);
    void enqueue(Job job);

    UnitConfig cfg_;
    std::shared_ptr<UnitLink> link_;
#if QL5_EMULATOR_HAS_VIRTUAL_DEVICE
    std::shared_ptr<mm::virt::VirtualDevice> device_;
#endif
    std::shared_ptr<Transcript> transcript_;
    std::shared_ptr<Inbox> inbox_;

    mutable std::mutex flashMutex_;
    Flash flash_;

    mutable std::mutex stateMutex_;
    std::condition_variable stateCv_;
    FaultScript faults_;
    Counters counters_;
    bool session_ = false;
    bool muted_ = false;
    bool updateMode_ = true;

    std::atomic<std::int64_t> modeledNs_{0};
    std::thread thread_;
};

}  // namespace ql5::emulator
