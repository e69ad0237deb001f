#include "emulator/messages.hpp"

#include "emulator/flash.hpp"
#include "protocol/codecs.hpp"

namespace ql5::emulator {

std::string_view kindName(MessageKind kind) {
    switch (kind) {
        case MessageKind::IdentityRequest:
            return "identity-request";
        case MessageKind::IdentityReply:
            return "identity-reply";
        case MessageKind::Result:
            return "result";
        case MessageKind::BeginUpdate:
            return "begin-update";
        case MessageKind::WriteBlock:
            return "write-block";
        case MessageKind::Finish:
            return "finish";
        case MessageKind::Erase:
            return "erase";
        case MessageKind::ReadMemory:
            return "read-memory";
        case MessageKind::ReadReply:
            return "read-reply";
        case MessageKind::OtherMaker:
            return "maker-other";
        case MessageKind::OtherUniversal:
            return "universal-other";
        case MessageKind::Foreign:
            return "foreign";
        case MessageKind::RealTime:
            return "real-time";
        case MessageKind::Short:
            return "short";
        case MessageKind::Malformed:
            return "malformed";
    }
    return "?";
}

MessageKind classify(std::span<const std::uint8_t> msg) {
    if (msg.empty()) return MessageKind::Malformed;
    if (msg[0] >= 0xF8) return MessageKind::RealTime;
    if (msg[0] != 0xF0) return (msg[0] & 0x80) != 0 ? MessageKind::Short : MessageKind::Malformed;
    if (msg.size() < 2) return MessageKind::Malformed;
    if (msg[1] == 0x7E || msg[1] == 0x7F) {
        if (msg[1] == 0x7E && msg.size() >= 5 && msg[3] == 0x06) {
            if (msg[4] == 0x01) return MessageKind::IdentityRequest;
            if (msg[4] == 0x02) return MessageKind::IdentityReply;
        }
        return MessageKind::OtherUniversal;
    }
    if (msg[1] != kMakerId) return MessageKind::Foreign;
    if (msg.size() < 5) return MessageKind::Malformed;
    switch (msg[4]) {
        case kCmdResult:
            return MessageKind::Result;
        case kCmdBeginUpdate:
            return MessageKind::BeginUpdate;
        case kCmdWriteBlock:
            return MessageKind::WriteBlock;
        case kCmdFinish:
            return MessageKind::Finish;
        case kCmdErase:
            return MessageKind::Erase;
        case kCmdReadMemory:
            // The request has 30 at offset 5; a reply has 04 there.
            if (msg.size() >= 6 && msg[5] == kReadReplyMarker) return MessageKind::ReadReply;
            return MessageKind::ReadMemory;
        default:
            return MessageKind::OtherMaker;
    }
}

Bytes buildIdentityRequest() { return {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}; }

Bytes buildIdentityReply(std::span<const std::uint8_t, 4> identity,
                         std::span<const std::uint8_t, 4> revision) {
    Bytes m{0xF0, 0x7E, 0x00, 0x06, 0x02, kMakerId};
    m.insert(m.end(), identity.begin(), identity.end());
    m.insert(m.end(), revision.begin(), revision.end());
    m.push_back(0xF7);
    return m;
}

Bytes buildResult(std::uint8_t model, std::uint8_t code) {
    return {0xF0, kMakerId, 0x00, model, kCmdResult, static_cast<std::uint8_t>(code & 0x7F), 0xF7};
}

Bytes buildMakerCommand(std::uint8_t model, std::uint8_t command,
                        std::span<const std::uint8_t> payload) {
    Bytes m{0xF0, kMakerId, 0x00, model, command};
    m.insert(m.end(), payload.begin(), payload.end());
    m.push_back(0xF7);
    return m;
}

Bytes buildReadReply(std::uint8_t model, std::span<const std::uint8_t> data) {
    const auto length = static_cast<std::uint32_t>(data.size());
    const int packed = protocol::packedLength(static_cast<int>(length));
    Bytes m(static_cast<std::size_t>(packed) + 17);
    m[0] = 0xF0;
    m[1] = kMakerId;
    m[2] = 0x00;
    m[3] = model;
    m[4] = kCmdReadMemory;
    m[5] = kReadReplyMarker;
    m[6] = kReadKindFlash;
    m[7] = 0x00;
    m[8] = 0x00;
    m[9] = static_cast<std::uint8_t>(length & 0x7F);
    m[10] = static_cast<std::uint8_t>((length >> 7) & 0x7F);
    protocol::pack7in8(m.data() + 11, data.data(), static_cast<int>(length));
    protocol::septetsFromU32(protocol::crc32Block(data.data(), length), m.data() + 11 + packed);
    m[16 + static_cast<std::size_t>(packed)] = 0xF7;
    return m;
}

bool wellFramed(std::span<const std::uint8_t> msg) {
    if (msg.size() < 2 || msg.front() != 0xF0 || msg.back() != 0xF7) return false;
    for (std::size_t i = 1; i + 1 < msg.size(); ++i) {
        if (msg[i] >= 0x80) return false;
    }
    return true;
}

namespace {

bool fitsFlash(std::uint32_t address, std::uint32_t length) {
    return static_cast<std::uint64_t>(address) + length <= kFlashSize;
}

}  // namespace

std::optional<EraseRequest> parseErase(std::span<const std::uint8_t> msg, std::uint8_t& code) {
    if (msg.size() != 16 || !wellFramed(msg)) {
        code = kResultMalformed;
        return std::nullopt;
    }
    EraseRequest r{protocol::u32FromSeptets(msg.data() + 5),
                   protocol::u32FromSeptets(msg.data() + 10)};
    if (!fitsFlash(r.address, r.size)) {
        code = kResultOutOfRange;
        return std::nullopt;
    }
    code = kResultOk;
    return r;
}

std::optional<WriteRequest> parseWriteBlock(std::span<const std::uint8_t> msg, std::uint8_t& code) {
    // Head (12), CRC (5) and F7 at least; the packed length must then be
    // exactly what the message holds between them.
    if (msg.size() < 18 || !wellFramed(msg)) {
        code = kResultMalformed;
        return std::nullopt;
    }
    const std::uint32_t address = protocol::u32FromSeptets(msg.data() + 5);
    const std::uint32_t length =
        static_cast<std::uint32_t>(msg[10]) | (static_cast<std::uint32_t>(msg[11]) << 7);
    const auto packed = static_cast<std::size_t>(protocol::packedLength(static_cast<int>(length)));
    if (msg.size() != packed + 18) {
        code = kResultMalformed;
        return std::nullopt;
    }
    if (!fitsFlash(address, length)) {
        code = kResultOutOfRange;
        return std::nullopt;
    }
    WriteRequest r;
    r.address = address;
    r.data.resize(length + 7);  // unpack writes whole groups
    const int got = protocol::unpack7in8(r.data.data(), msg.data() + 12, static_cast<int>(packed));
    if (got != static_cast<int>(length)) {
        code = kResultMalformed;
        return std::nullopt;
    }
    r.data.resize(length);
    const std::uint32_t crc = protocol::u32FromSeptets(msg.data() + 12 + packed);
    if (crc != protocol::crc32Block(r.data.data(), length)) {
        code = kResultCrcMismatch;
        return std::nullopt;
    }
    code = kResultOk;
    return r;
}

std::optional<ReadRequest> parseReadMemory(std::span<const std::uint8_t> msg, std::uint8_t& code) {
    if (msg.size() != 17 || !wellFramed(msg) || msg[5] != kReadKindFlash) {
        code = kResultMalformed;
        return std::nullopt;
    }
    ReadRequest r{protocol::u32FromSeptets(msg.data() + 6),
                  protocol::u32FromSeptets(msg.data() + 11)};
    if (!fitsFlash(r.address, r.length)) {
        code = kResultOutOfRange;
        return std::nullopt;
    }
    code = kResultOk;
    return r;
}

}  // namespace ql5::emulator
