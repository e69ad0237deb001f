#include "platform/mm/web_midi_driver.hpp"

#include <emscripten/em_asm.h>
#include <emscripten/emscripten.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "short_message.hpp"

namespace ql5::mm {

namespace {

struct Port {
    std::string id;  // the browser's port id: tells same-named ports apart
    std::string name;
};

// The page's port lists, as it last reported them, in the browser's order.
// The main thread holds the lock only to swap a list in or to queue one
// message, never across anything that waits.
struct PortLists {
    std::mutex mutex;
    std::vector<Port> inputs, outputs;
    std::vector<Port> pendingInputs, pendingOutputs;
};

PortLists& lists() {
    static PortLists l;
    return l;
}

class WebInput;

// Open inputs by handle, so that a message for an input closed meanwhile is
// dropped rather than delivered to freed memory.
struct InputRegistry {
    std::mutex mutex;
    std::map<int, WebInput*> open;
    int next = 0;
};

InputRegistry& registry() {
    static InputRegistry r;
    return r;
}

// One open input: the page queues each arriving message; the reader thread
// (the platform's MIDI input thread) hands them to the core in order.
class WebInput final : public DriverInput {
  public:
    WebInput(InputStream& stream, const std::string& portId) : stream_(stream) {
        {
            std::lock_guard<std::mutex> lock(registry().mutex);
            handle_ = ++registry().next;
            registry().open[handle_] = this;
        }
        reader_ = std::thread([this] { readLoop(); });
        // Waits until the page listens, so that no answer to a request sent
        // after the open can arrive unheard.
        MAIN_THREAD_EM_ASM({ Module.ql5Midi.listen($0, UTF8ToString($1)); }, handle_,
                           portId.c_str());
    }

    ~WebInput() override {
        MAIN_THREAD_ASYNC_EM_ASM({ Module.ql5Midi.unlisten($0); }, handle_);
        {
            std::lock_guard<std::mutex> lock(registry().mutex);
            registry().open.erase(handle_);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        reader_.join();
    }

    // Main thread, under the registry lock.
    void queue(const std::uint8_t* bytes, std::size_t count) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.emplace_back(bytes, bytes + count);
        }
        wake_.notify_one();
    }

  private:
    void readLoop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || !messages_.empty(); });
            if (stopping_) return;
            std::vector<std::uint8_t> message = std::move(messages_.front());
            messages_.pop_front();
            lock.unlock();
            stream_.pushBytes(message.data(), message.size());
            lock.lock();
        }
    }

    InputStream& stream_;
    int handle_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::vector<std::uint8_t>> messages_;
    bool stopping_ = false;
    std::thread reader_;
};

class WebOutput final : public DriverOutput {
  public:
    explicit WebOutput(std::string portId) : portId_(std::move(portId)) {}

    MMRESULT sendLong(const std::uint8_t* bytes, std::size_t count, bool& markDone) override {
        markDone = true;
        // The page copies the bytes out of the program's memory before it
        // returns; the browser then owns them.
        const int sent =
            MAIN_THREAD_EM_ASM_INT({ return Module.ql5Midi.send(UTF8ToString($0), $1, $2); },
                                   portId_.c_str(), bytes, static_cast<int>(count));
        return sent != 0 ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
    }

    MMRESULT sendShort(std::uint32_t message) override {
        std::uint8_t bytes[3];
        const std::size_t count = detail::shortMessageBytes(message, bytes);
        if (count == 0) return MMSYSERR_NOERROR;
        bool done = true;
        return sendLong(bytes, count, done);
    }

  private:
    std::string portId_;
};

class WebMidiDriver final : public Driver {
  public:
    const char* name() const override { return "webmidi"; }
    std::uint32_t inputCount() override {
        return static_cast<std::uint32_t>(snapshot(true).size());
    }
    std::uint32_t outputCount() override {
        return static_cast<std::uint32_t>(snapshot(false).size());
    }
    std::string inputName(std::uint32_t index) override { return field(true, index, false); }
    std::string outputName(std::uint32_t index) override { return field(false, index, false); }
    std::string inputAddress(std::uint32_t index) override { return field(true, index, true); }
    std::string outputAddress(std::uint32_t index) override { return field(false, index, true); }

    MMRESULT openInput(std::uint32_t index, InputStream& stream,
                       std::unique_ptr<DriverInput>& port) override {
        const std::string id = field(true, index, true);
        if (id.empty()) return MMSYSERR_BADDEVICEID;
        port = std::make_unique<WebInput>(stream, id);
        return MMSYSERR_NOERROR;
    }

    MMRESULT openOutput(std::uint32_t index, std::unique_ptr<DriverOutput>& port) override {
        const std::string id = field(false, index, true);
        if (id.empty()) return MMSYSERR_BADDEVICEID;
        port = std::make_unique<WebOutput>(id);
        return MMSYSERR_NOERROR;
    }

  private:
    static std::vector<Port> snapshot(bool input) {
        std::lock_guard<std::mutex> lock(lists().mutex);
        return input ? lists().inputs : lists().outputs;
    }
    static std::string field(bool input, std::uint32_t index, bool id) {
        std::lock_guard<std::mutex> lock(lists().mutex);
        const auto& list = input ? lists().inputs : lists().outputs;
        if (index >= list.size()) return {};
        return id ? list[index].id : list[index].name;
    }
};

}  // namespace

std::shared_ptr<Driver> webMidiDriver() {
    static auto driver = std::make_shared<WebMidiDriver>();
    return driver;
}

}  // namespace ql5::mm

// The page half's entry points (web_midi.js), on the browser's main thread.
extern "C" {

// A new port list: begin, one call per connected port in the browser's
// order, then end swaps it in whole.
EMSCRIPTEN_KEEPALIVE void ql5_midi_ports_begin() {
    std::lock_guard<std::mutex> lock(ql5::mm::lists().mutex);
    ql5::mm::lists().pendingInputs.clear();
    ql5::mm::lists().pendingOutputs.clear();
}

EMSCRIPTEN_KEEPALIVE void ql5_midi_port(int output, const char* id, const char* name) {
    if (id == nullptr || name == nullptr) return;
    std::lock_guard<std::mutex> lock(ql5::mm::lists().mutex);
    auto& list = output != 0 ? ql5::mm::lists().pendingOutputs : ql5::mm::lists().pendingInputs;
    list.push_back({id, name});
}

EMSCRIPTEN_KEEPALIVE void ql5_midi_ports_end() {
    std::lock_guard<std::mutex> lock(ql5::mm::lists().mutex);
    ql5::mm::lists().inputs.swap(ql5::mm::lists().pendingInputs);
    ql5::mm::lists().outputs.swap(ql5::mm::lists().pendingOutputs);
}

// One whole message from an input; the bytes are copied before it returns.
EMSCRIPTEN_KEEPALIVE void ql5_midi_receive(int handle, const std::uint8_t* bytes, int count) {
    if (bytes == nullptr || count <= 0) return;
    std::lock_guard<std::mutex> lock(ql5::mm::registry().mutex);
    auto it = ql5::mm::registry().open.find(handle);
    if (it != ql5::mm::registry().open.end()) {
        it->second->queue(bytes, static_cast<std::size_t>(count));
    }
}
}
