// The messages the program sends, assembled from their templates.
#include <atomic>
#include <cstring>
#include <mutex>

#include "catalogue_internal.hpp"
#include "engine/engine.hpp"
#include "engine/images.hpp"
#include "exchange.hpp"
#include "protocol/codecs.hpp"
#include "write_log.hpp"

namespace ql5::engine {

namespace {

// The identity of the last identity check, packed so that the dispatcher
// (timer thread) can read it while a worker writes it.
std::atomic<std::uint32_t> gDeviceIdCopy{0};

// Templates. Only stampModelId writes them; the dispatcher copies the
// identity reply under the same lock, so it never sends a half-stamped one.
std::mutex gTemplateMutex;
const std::uint8_t kIdentityRequest[6] = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
std::uint8_t gIdentityReply[15] = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x00, 0x00,
                                   0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};
std::uint8_t gResult[7] = {0xF0, 0x52, 0x00, 0x00, 0x00, 0x00, 0xF7};
std::uint8_t gBeginUpdate[6] = {0xF0, 0x52, 0x00, 0x00, 0x01, 0xF7};
std::uint8_t gWriteBlockHead[5] = {0xF0, 0x52, 0x00, 0x00, 0x02};
std::uint8_t gFinish[6] = {0xF0, 0x52, 0x00, 0x00, 0x04, 0xF7};
const std::uint8_t kErase[16] = {0xF0, 0x52, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7};
const std::uint8_t kReadMemory[17] = {0xF0, 0x52, 0x00, 0x00, 0x60, 0x30, 0x00, 0x00, 0x00,
                                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7};

// Outgoing requests of the worker are assembled here. The dispatcher's
// answers have a buffer of their own (answerBuffer), so an answer sent from
// the timer thread can never overwrite a request while it is being sent.
std::uint8_t sendBuffer[65536];
std::uint8_t answerBuffer[64];

std::uint8_t readAreaStorage[kReadAreaSize];
std::int32_t gReadTotal = 0;

void copyTemplate(std::uint8_t* dst, const std::uint8_t* tmpl, std::size_t n) {
    std::lock_guard<std::mutex> lock(gTemplateMutex);
    std::memcpy(dst, tmpl, n);
}

}  // namespace

std::uint8_t* readArea() { return readAreaStorage; }
std::int32_t& readTotal() { return gReadTotal; }

std::array<std::uint8_t, 4> deviceIdCopy() {
    const std::uint32_t v = gDeviceIdCopy.load();
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

void setDeviceIdCopy(const std::array<std::uint8_t, 4>& id) {
    gDeviceIdCopy.store(static_cast<std::uint32_t>(id[0]) | static_cast<std::uint32_t>(id[1]) << 8 |
                        static_cast<std::uint32_t>(id[2]) << 16 |
                        static_cast<std::uint32_t>(id[3]) << 24);
}

std::uint8_t modelId() { return static_cast<std::uint8_t>(gDeviceIdCopy.load() & 0xFFU); }

void resetProcessStateForTests() {
    std::lock_guard<std::mutex> lock(gTemplateMutex);
    gDeviceIdCopy.store(0);
    std::memset(gIdentityReply + 6, 0, 4);
    gResult[3] = 0;
    gBeginUpdate[3] = 0;
    gWriteBlockHead[3] = 0;
    gFinish[3] = 0;
    gReadTotal = 0;
}

int sendSysEx(UpdateState& st, const std::uint8_t* bytes, std::uint32_t length) {
    mm::MIDIHDR header{};
    header.lpData = reinterpret_cast<char*>(const_cast<std::uint8_t*>(bytes));
    header.dwBufferLength = length;
    header.dwFlags = 0;
    if (st.trace) {
        st.trace(true, bytes, length);
    }
    return st.midiOut.SendLong(&header) == 1 ? 0 : -1;
}

int sendIdentityRequest(UpdateState& st) { return sendSysEx(st, kIdentityRequest, 6); }

int sendResult(UpdateState& st, int code) {
    copyTemplate(answerBuffer, gResult, 7);
    answerBuffer[3] = modelId();
    answerBuffer[5] = static_cast<std::uint8_t>(code & 0xFF);
    return sendSysEx(st, answerBuffer, 7);
}

int sendIdentityReply(UpdateState& st) {
    copyTemplate(answerBuffer, gIdentityReply, 15);
    return sendSysEx(st, answerBuffer, 15);
}

int sendBeginUpdate(UpdateState& st) {
    copyTemplate(sendBuffer, gBeginUpdate, 6);
    sendBuffer[3] = modelId();
    return sendSysEx(st, sendBuffer, 6);
}

int sendFinish(UpdateState& st) {
    copyTemplate(sendBuffer, gFinish, 6);
    sendBuffer[3] = modelId();
    return sendSysEx(st, sendBuffer, 6);
}

int sendWriteBlock(UpdateState& st, std::uint8_t model, const std::uint8_t* data,
                   std::int32_t address, std::int32_t length) {
    // The length travels in two septets; anything longer would be cut.
    if (length < 0 || length > 16383 || address < 0) {
        return -1;
    }
    copyTemplate(sendBuffer, gWriteBlockHead, 5);
    sendBuffer[3] = model;
    protocol::septetsFromU32(static_cast<std::uint32_t>(address), sendBuffer + 5);
    sendBuffer[10] = static_cast<std::uint8_t>(length & 0x7F);
    sendBuffer[11] = static_cast<std::uint8_t>((length >> 7) & 0x7F);
    const int p = protocol::pack7in8(sendBuffer + 12, data, length);
    const std::uint32_t crc = protocol::crc32Block(data, static_cast<std::uint32_t>(length));
    protocol::septetsFromU32(crc, sendBuffer + 12 + p);
    sendBuffer[17 + p] = 0xF7;
    return sendSysEx(st, sendBuffer, static_cast<std::uint32_t>(p + 18));
}

int sendErase(UpdateState& st, std::uint8_t model, std::int32_t address, std::int32_t size) {
    if (address < 0 || size < 0) {
        return -1;
    }
    std::memcpy(sendBuffer, kErase, 16);
    sendBuffer[3] = model;
    protocol::septetsFromU32(static_cast<std::uint32_t>(address), sendBuffer + 5);
    protocol::septetsFromU32(static_cast<std::uint32_t>(size), sendBuffer + 10);
    return sendSysEx(st, sendBuffer, 16);
}

int sendReadRequest(UpdateState& st, std::uint32_t address, std::uint32_t length) {
    std::memcpy(sendBuffer, kReadMemory, 17);
    sendBuffer[3] = modelId();
    protocol::septetsFromU32(address, sendBuffer + 6);
    protocol::septetsFromU32(length, sendBuffer + 11);
    return sendSysEx(st, sendBuffer, 17);
}

namespace {

// Sends the read-memory command and waits for its reply: 0 when the reply's
// data were accepted into readArea, -1 otherwise.
int requestRead(UpdateState& st, std::uint32_t address, std::uint32_t length, std::int32_t needed) {
    gReadTotal = 0;
    detail::beginExchange(st, kExpectRead, static_cast<std::int32_t>(length));
    // A failed send shows as the time-out of the wait.
    (void)sendReadRequest(st, address, length);
    const detail::Reply r = detail::awaitReply(st, st.timing.readTimeoutMs);
    if (r.timedOut) {
        detail::settleLine(st, st.timing.resendPauseMs);
        return -1;
    }
    // A reply that set no new code (an unexpected kind byte) must not pass
    // off what an earlier read left in readArea as this one's data.
    if (r.code != 0 || gReadTotal < needed) {
        return -1;
    }
    return 0;
}

}  // namespace

int readMemory(UpdateState& st, std::uint32_t address, std::uint32_t length, std::uint8_t* out) {
    // Exactly 4 bytes are handed out, so 4 must have been accepted.
    if (requestRead(st, address, length, 4) != 0) {
        return -1;
    }
    std::memcpy(out, readAreaStorage, 4);
    return 0;
}

namespace detail {

int readMemoryBlock(UpdateState& st, std::uint32_t address, std::uint32_t length) {
    if (length > static_cast<std::uint32_t>(kBlockSize)) {
        return -1;
    }
    return requestRead(st, address, length, static_cast<std::int32_t>(length));
}

}  // namespace detail

void stampModelId() {
    const std::array<std::uint8_t, 4> id = deviceIdCopy();
    std::lock_guard<std::mutex> lock(gTemplateMutex);
    std::memcpy(gIdentityReply + 6, id.data(), 4);
    gResult[3] = id[0];
    gBeginUpdate[3] = id[0];
    gWriteBlockHead[3] = id[0];
    gFinish[3] = id[0];
}

}  // namespace ql5::engine
