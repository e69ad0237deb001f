// Interprets every SysEx message the unit sends, answers the unit's own
// requests, and completes the exchange a worker is waiting on.
#include <algorithm>
#include <cstring>

#include "catalogue_internal.hpp"
#include "engine/engine.hpp"
#include "protocol/codecs.hpp"

namespace ql5::engine {

namespace {

// Completes the awaited exchange: the caller has written what the worker will
// read (replyCode, deviceId, readArea) only after this said yes, so a reply
// nobody waits for changes nothing a worker may be reading.
enum class ReplyKind { Ack, Read, Identity };

// Whether the request in flight takes a reply of this kind; a read reply's
// length (-1 when it cannot be told) must be the one asked for.
bool fits(const UpdateState& st, ReplyKind kind, std::int32_t readLength) {
    const int e = st.expect.load();
    switch (kind) {
        case ReplyKind::Ack:
            return e == kExpectAny || e == kExpectAck || e == kExpectRead;
        case ReplyKind::Read:
            return e == kExpectAny ||
                   (e == kExpectRead && (readLength < 0 || readLength == st.expectLength.load())) ||
                   (e == kExpectMarker && readLength == st.expectLength.load());
        case ReplyKind::Identity:
            return e == kExpectAny;
    }
    return false;
}

bool takeReply(UpdateState& st, ReplyKind kind, std::int32_t readLength = -1) {
    // Taken first, judged after: the worker sets what it expects before it
    // starts awaiting and changes it only once this exchange has ended, so
    // what is read here belongs to the exchange just taken. Judged first, a
    // reply could be held against the previous request's expectation and
    // then taken by the next one (a late acknowledgement as a marker's reply).
    if (!st.awaiting.exchange(false)) {
        st.strayReplies.fetch_add(1);
        return false;
    }
    if (!fits(st, kind, readLength)) {
        st.awaiting.store(true);  // given back: the request still awaits its reply
        st.strayReplies.fetch_add(1);
        return false;
    }
    return true;
}

void signal(UpdateState& st) { st.replyEvent.set(); }

void onReadReply(UpdateState& st, const std::uint8_t* m, std::size_t n) {
    if (n < 6) {
        return;  // too short to say what it is
    }
    const std::int32_t announced =
        n >= 11 && m[5] == 0x04 && m[6] == 0x30 ? (m[9] | (m[10] << 7)) : -1;
    if (!takeReply(st, ReplyKind::Read, announced)) {
        return;
    }
    st.lastReplyWasRead.store(true);
    if (m[5] != 0x04) {
        signal(st);
        return;
    }
    st.replyCode.store(1);
    if (n < 11 || m[6] != 0x30) {
        signal(st);
        return;
    }
    const int length = m[9] | (m[10] << 7);
    const int packed = protocol::packedLength(length);
    std::int32_t& total = readTotal(st);
    // Data, then five CRC septets, must lie within the message, and the
    // unpacked bytes within readArea; otherwise the data are not accepted.
    if (static_cast<std::size_t>(packed) + 16 > n || total < 0 || length > kReadAreaSize - total) {
        signal(st);
        return;
    }
    std::uint8_t* dst = readArea(st) + total;
    protocol::unpack7in8(dst, m + 11, packed);
    const std::uint32_t crc = protocol::crc32Block(dst, static_cast<std::uint32_t>(length));
    if (crc == protocol::u32FromSeptets(m + 11 + packed)) {
        total += length;
        st.replyCode.store(0);
    }
    signal(st);
}

void onMakerMessage(UpdateState& st, const std::uint8_t* m, std::size_t n) {
    if (n < 5) {
        return;
    }
    switch (m[4]) {
        case 0x00:  // result message
            if (n >= 6 && takeReply(st, ReplyKind::Ack)) {
                st.lastReplyWasRead.store(false);
                st.replyCode.store(m[5]);
                signal(st);
            }
            return;
        case 0x01:
        case 0x04:
        case 0x05:
            (void)sendResult(st, 0);
            return;
        case 0x02:
            if (takeReply(st, ReplyKind::Ack)) {
                st.lastReplyWasRead.store(false);
                st.replyCode.store(0);
                signal(st);
            }
            return;
        case 0x03:
            return;
        case 0x60:
            onReadReply(st, m, n);
            return;
        default:
            (void)sendResult(st, 1);
            return;
    }
}

void onUniversalMessage(UpdateState& st, const std::uint8_t* m, std::size_t n) {
    if (n < 5 || m[3] != 0x06) {
        return;
    }
    switch (m[4]) {
        case 0x01:  // identity request from the unit
            (void)sendIdentityReply(st);
            return;
        case 0x02:  // identity reply
            if (n >= 10 && takeReply(st, ReplyKind::Identity)) {
                std::copy(m + 6, m + 10, st.deviceId.begin());
                st.replyCode.store(0);
                signal(st);
            }
            return;
        default:
            (void)sendResult(st, 1);
            return;
    }
}

}  // namespace

void dispatchMessage(UpdateState& st, const std::uint8_t* m, std::size_t n) {
    if (n < 2 || m[0] != 0xF0) {
        return;
    }
    if (m[1] == 0x52) {
        onMakerMessage(st, m, n);
    } else if (m[1] == 0x7E) {
        onUniversalMessage(st, m, n);
    }
}

void ReplyDispatcher(UpdateState& st) {
    for (;;) {
        const midi::SysExView m = st.midiIn.FrontSysEx();
        if (!m) {
            return;
        }
        if (st.trace) {
            st.trace(false, m.data, m.length);
        }
        dispatchMessage(st, m.data, m.length);
        st.midiIn.RemoveFrontSysEx();
    }
}

std::uint32_t startDispatcher(UpdateState& st) {
    st.midiIn.setArrivalNotify(
        [](void* context) { static_cast<UpdateState*>(context)->timer.Wake(); }, &st);
    return st.timer.Start(1, dispatcherTick, reinterpret_cast<mm::DWORD_PTR>(&st));
}

void dispatcherTick(mm::UINT id, mm::UINT, mm::DWORD_PTR user, mm::DWORD_PTR, mm::DWORD_PTR) {
    // The platform hands back the pointer-sized user value given to Start.
    UpdateState& st = *reinterpret_cast<UpdateState*>(user);
    ReplyDispatcher(st);
    // Every reply that came is dispatched; if the device is gone no other
    // will come: end the wait in flight now instead of at its time-out.
    if ((st.midiIn.deviceGone() || st.midiOut.deviceGone()) && st.awaiting.exchange(false)) {
        st.linkGone.store(true);
        st.replyEvent.set();
    }
    // With the queue drained and no request waiting for its reply there is
    // nothing to poll for: a message that arrives wakes the timer (see
    // startDispatcher), and so does the next request (beginExchange). Waking
    // a thread 1,000 times a second for nothing costs an idle window a few
    // percent of a core.
    if (!st.awaiting.load()) {
        mm::timeParkEvent(id);
    }
}

}  // namespace ql5::engine
