#include "exchange.hpp"

#include <cstdio>

#include "pause.hpp"

namespace ql5::engine::detail {

void beginExchange(UpdateState& st, int expect, std::int32_t length) {
    st.replyEvent.reset();
    st.linkGone.store(false);
    st.expect.store(expect);
    st.expectLength.store(length);
    st.awaiting.store(true);
    // The dispatcher's timer sleeps while nothing is awaited: poll again
    // every millisecond until this exchange ends.
    st.timer.Wake();
    // An abort that came before the reset must still end the coming wait.
    if (st.closing.load()) {
        st.replyEvent.set();
    }
}

Reply awaitReply(UpdateState& st, std::uint32_t timeoutMs) {
    Reply r;
    const sync::WaitResult w = st.replyEvent.wait(timeoutMs);
    if (st.closing.load()) {
        st.awaiting.store(false);
        r.code = kReplyAbort;
        return r;
    }
    if (w == sync::WaitResult::TimedOut) {
        // The dispatcher may hold the exchange at this moment: it then either
        // writes the reply (readArea, readTotal) and signals at once, or gives
        // the exchange back. Wait for the one or the other, so that nothing is
        // reused under it.
        for (;;) {
            if (st.awaiting.exchange(false)) {
                r.timedOut = true;
                return r;
            }
            if (st.replyEvent.wait(1) == sync::WaitResult::Signalled) {
                break;
            }
        }
        if (st.closing.load()) {
            r.code = kReplyAbort;
            return r;
        }
    }
    if (st.linkGone.load()) {
        r.timedOut = true;
        r.linkGone = true;
        return r;
    }
    r.code = st.replyCode.load();
    return r;
}

void settleLine(UpdateState& st, std::uint32_t quietMs) {
    st.awaiting.store(false);
    pause(st, quietMs);
    st.replyEvent.reset();
    if (st.closing.load()) {
        st.replyEvent.set();
    }
}

void failWith(UpdateState& st, int stringId) {
    st.window->showError(stringId);
    st.window->restoreControls();
}

std::string formatCounts(const char* format, int a, int b) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

}  // namespace ql5::engine::detail
