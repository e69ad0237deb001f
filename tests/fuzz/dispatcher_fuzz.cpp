// Feeds arbitrary messages to the reply dispatcher: whatever arrives from a
// unit, it must never read past a message nor write past readArea.
//
// Input layout: a sequence of [control byte][length byte][length bytes].
// Control bit 0: a request awaits a reply; bit 1: readTotal starts near the
// end of readArea, so the overflow check is reached.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "catalogue_internal.hpp"
#include "engine/engine.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ql5::engine::UpdateState* st = new ql5::engine::UpdateState();  // ports stay closed
    std::size_t i = 0;
    while (i + 2 <= size) {
        const std::uint8_t control = data[i];
        const std::size_t n = data[i + 1] * 40U;  // up to ~10 KB, past a full block
        i += 2;
        const std::size_t take = n < size - i ? n : size - i;
        // An exactly sized copy, so that any read past it is caught.
        std::vector<std::uint8_t> m(data + i, data + i + take);
        i += take;
        st->awaiting.store((control & 1) != 0);
        std::int32_t& total = ql5::engine::readTotal(*st);
        total = (control & 2) != 0 ? ql5::engine::kReadAreaSize - (control >> 2) : 0;
        const std::int32_t before = total;
        ql5::engine::dispatchMessage(*st, m.data(), m.size());
        if (total < before || total > ql5::engine::kReadAreaSize) {
            std::abort();
        }
        st->replyEvent.reset();
    }
    return 0;
}
