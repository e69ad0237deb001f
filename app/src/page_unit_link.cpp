#include "page_unit_link.hpp"

#include <emscripten/em_asm.h>
#include <emscripten/emscripten.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace ql5::app {

namespace {

class PageUnitLink final : public emulator::UnitLink {
  public:
    void setReceiver(Receiver receiver) override {
        std::lock_guard<std::mutex> lock(mutex_);
        receiver_ = std::move(receiver);
    }
    void detach() override {
        std::lock_guard<std::mutex> lock(mutex_);
        receiver_ = nullptr;
    }
    bool send(const std::uint8_t* bytes, std::size_t count) override {
        if (!plugged_.load() || count == 0) return false;
        auto* copy = static_cast<std::uint8_t*>(std::malloc(count));
        if (copy == nullptr) return false;
        std::memcpy(copy, bytes, count);
        // The page frees the copy once the stand-in has taken it.
        MAIN_THREAD_ASYNC_EM_ASM(
            {
                const bytes = HEAPU8.slice($0, $0 + $1);
                _free($0);
                if (self.ql5StandIn) self.ql5StandIn.fromUnit(bytes);
            },
            copy, static_cast<int>(count));
        return true;
    }
    void plug() override { setPlugged(true); }
    void unplug() override { setPlugged(false); }
    bool plugged() const override { return plugged_.load(); }

    // The page: a message the host sent on the stand-in's output port.
    void deliver(const std::uint8_t* bytes, std::size_t count) {
        if (!plugged_.load()) return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (receiver_) receiver_(bytes, count);
    }

  private:
    void setPlugged(bool on) {
        plugged_ = on;
        MAIN_THREAD_ASYNC_EM_ASM(
            {
                if (self.ql5StandIn) self.ql5StandIn.setConnected(!!$0);
            },
            on ? 1 : 0);
    }

    std::mutex mutex_;
    Receiver receiver_;
    std::atomic<bool> plugged_{false};
};

std::shared_ptr<PageUnitLink>& theLink() {
    static std::shared_ptr<PageUnitLink> link = std::make_shared<PageUnitLink>();
    return link;
}

}  // namespace

std::shared_ptr<emulator::UnitLink> pageUnitLink() { return theLink(); }

}  // namespace ql5::app

extern "C" EMSCRIPTEN_KEEPALIVE void ql5_stand_in_to_unit(const std::uint8_t* bytes, int count) {
    if (bytes != nullptr && count > 0) {
        ql5::app::theLink()->deliver(bytes, static_cast<std::size_t>(count));
    }
}
