#pragma once
// What the unit recognises in a message and how it builds its own. The
// builders produce exactly the layouts the updater reads; the classifier is
// deliberately tolerant (it names a message by its leading bytes) because the
// unit must be able to answer "malformed" to anything it receives.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace ql5::emulator {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kMakerId = 0x52;

// Command bytes of the maker messages.
inline constexpr std::uint8_t kCmdResult = 0x00;
inline constexpr std::uint8_t kCmdBeginUpdate = 0x01;
inline constexpr std::uint8_t kCmdWriteBlock = 0x02;
inline constexpr std::uint8_t kCmdFinish = 0x04;
inline constexpr std::uint8_t kCmdErase = 0x0A;
inline constexpr std::uint8_t kCmdReadMemory = 0x60;
inline constexpr std::uint8_t kReadKindFlash = 0x30;
inline constexpr std::uint8_t kReadReplyMarker = 0x04;

// The unit never puts more raw bytes than this into one read reply.
inline constexpr std::uint32_t kMaxReadReplyBytes = 4096;
inline constexpr std::uint32_t kMaxBlockLength = 16383;

// Result codes the unit answers with. 0 and 11 are what the updater relies
// on; the others are this unit's own choice and every one of them is a
// failure to the updater.
enum ResultCode : std::uint8_t {
    kResultOk = 0,
    kResultCrcMismatch = 2,       // write block: CRC over the unpacked bytes differs
    kResultMalformed = 3,         // wrong length, a byte >= 0x80, missing F7
    kResultOutOfRange = 4,        // address + length beyond the 16 MiB flash
    kResultNotUpdating = 5,       // erase / write without a begin-update first
    kResultUnknownCommand = 6,    // a maker command this unit does not have
    kResultNotInUpdateMode = 11,  // begin-update while not in firmware update mode
};

// What a message is, judged by its leading bytes.
enum class MessageKind {
    IdentityRequest,
    IdentityReply,
    Result,
    BeginUpdate,
    WriteBlock,
    Finish,
    Erase,
    ReadMemory,
    ReadReply,
    OtherMaker,      // maker message with any other command byte
    OtherUniversal,  // F0 7E / F0 7F that is not an identity request or reply
    Foreign,         // another manufacturer's SysEx
    RealTime,        // F8..FF single bytes
    Short,           // channel / common messages (no F0)
    Malformed,       // too short to classify, or no F0
};

std::string_view kindName(MessageKind kind);
MessageKind classify(std::span<const std::uint8_t> msg);

// Builders. model is the byte at offset 3 of maker messages.
Bytes buildIdentityRequest();
Bytes buildIdentityReply(std::span<const std::uint8_t, 4> identity,
                         std::span<const std::uint8_t, 4> revision);
Bytes buildResult(std::uint8_t model, std::uint8_t code);
Bytes buildMakerCommand(std::uint8_t model, std::uint8_t command,
                        std::span<const std::uint8_t> payload = {});
// One read reply carrying data (at most kMaxBlockLength bytes).
Bytes buildReadReply(std::uint8_t model, std::span<const std::uint8_t> data);

// The parts of host requests the unit needs, after every check of the
// layout. Each parser returns nullopt with a result code on failure.
struct EraseRequest {
    std::uint32_t address = 0;
    std::uint32_t size = 0;
};
struct WriteRequest {
    std::uint32_t address = 0;
    Bytes data;
};
struct ReadRequest {
    std::uint32_t address = 0;
    std::uint32_t length = 0;
};

// True when every byte between the leading F0 and the closing F7 is below
// 0x80 and the message ends with F7.
bool wellFramed(std::span<const std::uint8_t> msg);

std::optional<EraseRequest> parseErase(std::span<const std::uint8_t> msg, std::uint8_t& code);
std::optional<WriteRequest> parseWriteBlock(std::span<const std::uint8_t> msg, std::uint8_t& code);
std::optional<ReadRequest> parseReadMemory(std::span<const std::uint8_t> msg, std::uint8_t& code);

}  // namespace ql5::emulator
