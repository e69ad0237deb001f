// The messages the program sends, assembled from their templates.
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "catalogue_internal.hpp"
#include "engine/engine.hpp"
#include "engine/images.hpp"
#include "exchange.hpp"
#include "protocol/codecs.hpp"
#include "write_log.hpp"

namespace ql5::engine {

namespace {

const std::uint8_t kIdentityRequest[6] = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
const std::uint8_t kErase[16] = {0xF0, 0x52, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7};
const std::uint8_t kReadMemory[17] = {0xF0, 0x52, 0x00, 0x00, 0x60, 0x30, 0x00, 0x00, 0x00,
                                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7};

}  // namespace

// Everything one unit's exchange keeps between messages. Each UpdateState
// owns one, so engines for several units never share a buffer or a template.
struct CatalogueState {
    // The identity of the last identity check, packed so that the dispatcher
    // (timer thread) can read it while a worker writes it.
    std::atomic<std::uint32_t> deviceIdCopy{0};

    // Templates. Only stampModelId writes them; the dispatcher copies the
    // identity reply under the same lock, so it never sends a half-stamped one.
    std::mutex templateMutex;
    std::uint8_t identityReply[15] = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x00, 0x00,
                                      0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};
    std::uint8_t result[7] = {0xF0, 0x52, 0x00, 0x00, 0x00, 0x00, 0xF7};
    std::uint8_t beginUpdate[6] = {0xF0, 0x52, 0x00, 0x00, 0x01, 0xF7};
    std::uint8_t writeBlockHead[5] = {0xF0, 0x52, 0x00, 0x00, 0x02};
    std::uint8_t finish[6] = {0xF0, 0x52, 0x00, 0x00, 0x04, 0xF7};

    // Outgoing requests of the worker are assembled here. The dispatcher's
    // answers have a buffer of their own (answerBuffer), so an answer sent from
    // the timer thread can never overwrite a request while it is being sent.
    std::uint8_t sendBuffer[65536] = {};
    std::uint8_t answerBuffer[64] = {};

    std::vector<std::uint8_t> readArea = std::vector<std::uint8_t>(kReadAreaSize);
    std::int32_t readTotal = 0;
};

CatalogueState* newCatalogueState() { return new CatalogueState(); }
void CatalogueStateDeleter::operator()(CatalogueState* p) const { delete p; }

namespace {

void copyTemplate(UpdateState& st, std::uint8_t* dst, const std::uint8_t* tmpl, std::size_t n) {
    std::lock_guard<std::mutex> lock(st.catalogue->templateMutex);
    std::memcpy(dst, tmpl, n);
}

}  // namespace

std::uint8_t* readArea(UpdateState& st) { return st.catalogue->readArea.data(); }
std::int32_t& readTotal(UpdateState& st) { return st.catalogue->readTotal; }

std::array<std::uint8_t, 4> deviceIdCopy(const UpdateState& st) {
    const std::uint32_t v = st.catalogue->deviceIdCopy.load();
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

void setDeviceIdCopy(UpdateState& st, const std::array<std::uint8_t, 4>& id) {
    st.catalogue->deviceIdCopy.store(
        static_cast<std::uint32_t>(id[0]) | static_cast<std::uint32_t>(id[1]) << 8 |
        static_cast<std::uint32_t>(id[2]) << 16 | static_cast<std::uint32_t>(id[3]) << 24);
}

std::uint8_t modelId(const UpdateState& st) {
    return static_cast<std::uint8_t>(st.catalogue->deviceIdCopy.load() & 0xFFU);
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
    CatalogueState& c = *st.catalogue;
    copyTemplate(st, c.answerBuffer, c.result, 7);
    c.answerBuffer[3] = modelId(st);
    c.answerBuffer[5] = static_cast<std::uint8_t>(code & 0xFF);
    return sendSysEx(st, c.answerBuffer, 7);
}

int sendIdentityReply(UpdateState& st) {
    CatalogueState& c = *st.catalogue;
    copyTemplate(st, c.answerBuffer, c.identityReply, 15);
    return sendSysEx(st, c.answerBuffer, 15);
}

int sendBeginUpdate(UpdateState& st) {
    std::uint8_t* sendBuffer = st.catalogue->sendBuffer;
    copyTemplate(st, sendBuffer, st.catalogue->beginUpdate, 6);
    sendBuffer[3] = modelId(st);
    return sendSysEx(st, sendBuffer, 6);
}

int sendFinish(UpdateState& st) {
    std::uint8_t* sendBuffer = st.catalogue->sendBuffer;
    copyTemplate(st, sendBuffer, st.catalogue->finish, 6);
    sendBuffer[3] = modelId(st);
    return sendSysEx(st, sendBuffer, 6);
}

int sendWriteBlock(UpdateState& st, std::uint8_t model, const std::uint8_t* data,
                   std::int32_t address, std::int32_t length) {
    // The length travels in two septets; anything longer would be cut.
    if (length < 0 || length > 16383 || address < 0) {
        return -1;
    }
    std::uint8_t* sendBuffer = st.catalogue->sendBuffer;
    copyTemplate(st, sendBuffer, st.catalogue->writeBlockHead, 5);
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
    std::uint8_t* sendBuffer = st.catalogue->sendBuffer;
    std::memcpy(sendBuffer, kErase, 16);
    sendBuffer[3] = model;
    protocol::septetsFromU32(static_cast<std::uint32_t>(address), sendBuffer + 5);
    protocol::septetsFromU32(static_cast<std::uint32_t>(size), sendBuffer + 10);
    return sendSysEx(st, sendBuffer, 16);
}

int sendReadRequest(UpdateState& st, std::uint32_t address, std::uint32_t length) {
    std::uint8_t* sendBuffer = st.catalogue->sendBuffer;
    std::memcpy(sendBuffer, kReadMemory, 17);
    sendBuffer[3] = modelId(st);
    protocol::septetsFromU32(address, sendBuffer + 6);
    protocol::septetsFromU32(length, sendBuffer + 11);
    return sendSysEx(st, sendBuffer, 17);
}

namespace {

// A read of this many bytes brings the line back after a read that timed
// out: none of the stamp reads has its length, so the late reply of the read
// that timed out cannot pass for its reply, and the unit answers it only
// after that late reply.
constexpr std::uint32_t kSettleReadLength = 8;

int settleReads(UpdateState& st) {
    st.catalogue->readTotal = 0;
    detail::beginExchange(st, kExpectMarker, static_cast<std::int32_t>(kSettleReadLength));
    (void)sendReadRequest(st, kStampSystemAddress, kSettleReadLength);
    const detail::Reply r = detail::awaitReply(st, st.timing.readTimeoutMs);
    if (r.timedOut) {
        detail::settleLine(st, st.timing.resendPauseMs);
        return -1;
    }
    if (r.code == detail::kReplyAbort) {
        return -1;
    }
    st.readLineUnsettled = false;
    return 0;
}

// Sends the read-memory command and waits for its reply: 0 when the reply's
// data were accepted into readArea, -1 otherwise.
int requestRead(UpdateState& st, std::uint32_t address, std::uint32_t length, std::int32_t needed) {
    // A read reply carries no address: after a read that timed out, its late
    // reply must not answer this one.
    if (st.readLineUnsettled && settleReads(st) != 0) {
        return -1;
    }
    st.catalogue->readTotal = 0;
    detail::beginExchange(st, kExpectRead, static_cast<std::int32_t>(length));
    // A failed send shows as the time-out of the wait.
    (void)sendReadRequest(st, address, length);
    const detail::Reply r = detail::awaitReply(st, st.timing.readTimeoutMs);
    if (r.timedOut) {
        detail::settleLine(st, st.timing.resendPauseMs);
        st.readLineUnsettled = true;
        return -1;
    }
    // A reply that set no new code (an unexpected kind byte) must not pass
    // off what an earlier read left in readArea as this one's data.
    if (r.code != 0 || st.catalogue->readTotal < needed) {
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
    std::memcpy(out, readArea(st), 4);
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

void stampModelId(UpdateState& st) {
    const std::array<std::uint8_t, 4> id = deviceIdCopy(st);
    CatalogueState& c = *st.catalogue;
    std::lock_guard<std::mutex> lock(c.templateMutex);
    std::memcpy(c.identityReply + 6, id.data(), 4);
    c.result[3] = id[0];
    c.beginUpdate[3] = id[0];
    c.writeBlockHead[3] = id[0];
    c.finish[3] = id[0];
}

}  // namespace ql5::engine
