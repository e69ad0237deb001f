// The Windows MIDI driver over WinMM (winmm_driver.hpp).
#include "platform/mm/winmm_driver.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/mm/atomic_ref.hpp"
#include "platform/mm/driver.hpp"
#include "short_message.hpp"
// Last: it brings the system headers, whose macros shadow some of our names.
#include "platform/mm/winmm_api.hpp"

namespace ql5::mm::winmm {

namespace {

using Clock = std::chrono::steady_clock;

constexpr ::UINT kHeaderSize = sizeof(::MIDIHDR);

bool headerDone(::MIDIHDR& header) {
    return (ql5::mm::AtomicRef<::DWORD>(header.dwFlags).load(std::memory_order_acquire) &
            MHDR_DONE) != 0;
}

// ---- input ----

struct InputBuffer {
    ::MIDIHDR header{};
    std::unique_ptr<char[]> bytes;
};

// What the system's input callback reaches through its instance value. Kept
// apart from the port so that, should the system refuse to close the port,
// it can be left alive rather than freed while the system may still use it.
struct Inbox {
    struct Event {
        ::UINT message;
        ::DWORD_PTR param;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Event> events;
    bool quit = false;
    std::uint32_t inSystem = 0;  // buffers queued with the system
    std::vector<InputBuffer> buffers;
};

// Runs on the system's thread. It only hands the message to the port's reader
// thread: the system does not allow MIDI calls (such as queueing the buffer
// again) from inside its callback.
void CALLBACK onInput(::HMIDIIN, ::UINT message, ::DWORD_PTR instance, ::DWORD_PTR param1,
                      ::DWORD_PTR) {
    switch (message) {
        case MIM_DATA:
        case MIM_MOREDATA:
        case MIM_LONGDATA:
        case MIM_LONGERROR:
            break;
        default:
            return;  // MIM_OPEN, MIM_CLOSE, MIM_ERROR (a stray data byte)
    }
    auto* inbox = reinterpret_cast<Inbox*>(instance);
    try {
        std::lock_guard<std::mutex> lock(inbox->mutex);
        inbox->events.push_back({message, param1});
    } catch (const std::bad_alloc&) {
        return;
    }
    inbox->changed.notify_all();
}

class WinMmInput final : public DriverInput {
  public:
    WinMmInput(const Api& api, InputStream& stream, const DriverOptions& options)
        : api_(api), stream_(stream), options_(options) {}

    ~WinMmInput() override {
        if (handle_ == nullptr) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(gate_);
            stopped_ = true;
        }
        api_.inReset(handle_);
        const bool allBack = waitAllBack();
        if (allBack) {
            for (InputBuffer& buffer : inbox_->buffers) {
                if ((buffer.header.dwFlags & MHDR_PREPARED) != 0) {
                    api_.inUnprepareHeader(handle_, &buffer.header, kHeaderSize);
                }
            }
        }
        const bool closed = api_.inClose(handle_) == MMSYSERR_NOERROR;
        {
            std::lock_guard<std::mutex> lock(inbox_->mutex);
            inbox_->quit = true;
        }
        inbox_->changed.notify_all();
        reader_.join();
        // A port the system would not close may still fill its buffers and
        // call back: its inbox is left alive for good.
        if (closed) {
            delete inbox_;
        }
    }

    WinMmInput(const WinMmInput&) = delete;
    WinMmInput& operator=(const WinMmInput&) = delete;

    MMRESULT open(std::uint32_t index) {
        std::unique_ptr<Inbox> inbox;
        try {
            inbox = std::make_unique<Inbox>();
            inbox->buffers.resize(options_.inputBuffers);
            for (InputBuffer& buffer : inbox->buffers) {
                buffer.bytes = std::make_unique<char[]>(options_.inputBufferBytes);
                buffer.header.lpData = buffer.bytes.get();
                buffer.header.dwBufferLength = options_.inputBufferBytes;
            }
        } catch (const std::bad_alloc&) {
            return MMSYSERR_NOMEM;
        }
        ::HMIDIIN handle = nullptr;
        const ::MMRESULT result =
            api_.inOpen(&handle, index, reinterpret_cast<::DWORD_PTR>(&onInput),
                        reinterpret_cast<::DWORD_PTR>(inbox.get()), CALLBACK_FUNCTION);
        if (result != MMSYSERR_NOERROR) {
            return result;
        }
        handle_ = handle;
        inbox_ = inbox.release();
        try {
            reader_ = std::thread([this] { readerLoop(); });
        } catch (const std::system_error&) {
            api_.inClose(handle_);
            handle_ = nullptr;
            delete inbox_;
            inbox_ = nullptr;
            return MMSYSERR_NOMEM;
        }
        // From here on the destructor undoes whatever was done.
        for (InputBuffer& buffer : inbox_->buffers) {
            ::MMRESULT queued = api_.inPrepareHeader(handle_, &buffer.header, kHeaderSize);
            if (queued == MMSYSERR_NOERROR) {
                queued = queue(buffer.header);
            }
            if (queued != MMSYSERR_NOERROR) {
                return queued;
            }
        }
        return MMSYSERR_NOERROR;
    }

    MMRESULT start() override {
        {
            std::lock_guard<std::mutex> lock(gate_);
            stopped_ = false;
        }
        const ::MMRESULT result = api_.inStart(handle_);
        if (result != MMSYSERR_NOERROR) {
            std::lock_guard<std::mutex> lock(gate_);
            stopped_ = true;
        }
        return result;
    }

    // The system's stop keeps the buffers; its reset hands them all back
    // (with 0 bytes when they were empty). Reset, then queue them again for
    // the next start.
    MMRESULT stop() override {
        {
            std::lock_guard<std::mutex> lock(gate_);
            if (stopped_) {
                return MMSYSERR_NOERROR;
            }
            stopped_ = true;
        }
        const ::MMRESULT result = api_.inReset(handle_);
        if (!waitAllBack()) {
            return MMSYSERR_ERROR;
        }
        std::lock_guard<std::mutex> lock(gate_);
        for (InputBuffer& buffer : inbox_->buffers) {
            queue(buffer.header);
        }
        return result;
    }

  private:
    ::MMRESULT queue(::MIDIHDR& header) {
        const ::MMRESULT result = api_.inAddBuffer(handle_, &header, kHeaderSize);
        if (result == MMSYSERR_NOERROR) {
            std::lock_guard<std::mutex> lock(inbox_->mutex);
            ++inbox_->inSystem;
        }
        return result;
    }

    bool stopped() {
        std::lock_guard<std::mutex> lock(gate_);
        return stopped_;
    }

    bool waitAllBack() {
        std::unique_lock<std::mutex> lock(inbox_->mutex);
        return inbox_->changed.wait_for(lock, std::chrono::milliseconds(options_.returnWaitMs),
                                        [&] { return inbox_->inSystem == 0; });
    }

    void readerLoop() {
        for (;;) {
            Inbox::Event event{};
            {
                std::unique_lock<std::mutex> lock(inbox_->mutex);
                inbox_->changed.wait(lock, [&] { return inbox_->quit || !inbox_->events.empty(); });
                if (inbox_->events.empty()) {
                    return;
                }
                event = inbox_->events.front();
                inbox_->events.pop_front();
            }
            handle(event);
        }
    }

    void handle(const Inbox::Event& event) {
        if (event.message == MIM_DATA || event.message == MIM_MOREDATA) {
            std::uint8_t bytes[3] = {};
            const std::size_t count =
                detail::shortMessageBytes(static_cast<std::uint32_t>(event.param), bytes);
            if (count > 0 && !stopped()) {
                stream_.pushBytes(bytes, count);
            }
            return;
        }
        auto* header = reinterpret_cast<::MIDIHDR*>(event.param);
        if (!stopped()) {
            if (header->dwBytesRecorded > 0) {
                stream_.pushBytes(
                    reinterpret_cast<const std::uint8_t*>(header->lpData),
                    std::min<std::size_t>(header->dwBytesRecorded, header->dwBufferLength));
            }
            if (event.message == MIM_LONGERROR) {
                stream_.pushLongError();
            }
        }
        // Queued again at once while running, so reception goes on after an
        // error too; kept back while stopped (a reset is collecting them).
        {
            std::lock_guard<std::mutex> lock(gate_);
            if (!stopped_ && api_.inAddBuffer(handle_, header, kHeaderSize) == MMSYSERR_NOERROR) {
                return;
            }
        }
        {
            std::lock_guard<std::mutex> lock(inbox_->mutex);
            --inbox_->inSystem;
        }
        inbox_->changed.notify_all();
    }

    const Api api_;  // a copy: the port may outlive its driver
    InputStream& stream_;
    DriverOptions options_;
    ::HMIDIIN handle_ = nullptr;
    Inbox* inbox_ = nullptr;  // set before the reader starts; see ~WinMmInput
    std::mutex gate_;         // stopped_; held while a buffer is queued
    bool stopped_ = true;
    std::thread reader_;
};

// ---- output ----

struct OutputBlock {
    ::MIDIHDR header{};
    std::vector<char> bytes;
};

class WinMmOutput final : public DriverOutput {
  public:
    WinMmOutput(const Api& api, const DriverOptions& options) : api_(api), options_(options) {}

    ~WinMmOutput() override {
        if (handle_ == nullptr) {
            return;
        }
        if (!abandoned_.empty()) {
            // The system hands every header it still holds back on a reset.
            api_.outReset(handle_);
            const auto deadline = Clock::now() + std::chrono::milliseconds(options_.returnWaitMs);
            for (auto& block : abandoned_) {
                waitDone(block->header, deadline);
            }
            reap();
        }
        if (api_.outClose(handle_) != MMSYSERR_NOERROR) {
            // Still the system's: headers it never handed back and the event
            // it signals are left alive rather than freed under it.
            for (auto& block : abandoned_) {
                (void)block.release();
            }
            return;
        }
        ::CloseHandle(event_);
    }

    WinMmOutput(const WinMmOutput&) = delete;
    WinMmOutput& operator=(const WinMmOutput&) = delete;

    MMRESULT open(std::uint32_t index) {
        ::HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (event == nullptr) {
            return MMSYSERR_NOMEM;
        }
        ::HMIDIOUT handle = nullptr;
        const ::MMRESULT result =
            api_.outOpen(&handle, index, reinterpret_cast<::DWORD_PTR>(event), 0, CALLBACK_EVENT);
        if (result != MMSYSERR_NOERROR) {
            ::CloseHandle(event);
            return result;
        }
        handle_ = handle;
        event_ = event;
        return MMSYSERR_NOERROR;
    }

    MMRESULT sendLong(const std::uint8_t* bytes, std::size_t count, bool& markDone) override {
        markDone = true;
        reap();
        std::unique_ptr<OutputBlock> block;
        try {
            block = std::make_unique<OutputBlock>();
            block->bytes.assign(bytes, bytes + count);
        } catch (const std::bad_alloc&) {
            return MMSYSERR_NOMEM;
        }
        block->header.lpData = block->bytes.data();
        block->header.dwBufferLength = static_cast<::DWORD>(count);
        ::MMRESULT result = api_.outPrepareHeader(handle_, &block->header, kHeaderSize);
        if (result != MMSYSERR_NOERROR) {
            return result;
        }
        result = api_.outLongMsg(handle_, &block->header, kHeaderSize);
        if (result != MMSYSERR_NOERROR) {
            api_.outUnprepareHeader(handle_, &block->header, kHeaderSize);
            return result;
        }
        const auto wireMs = static_cast<std::uint64_t>(count) * 2 * 1000 / 3125;
        const auto deadline =
            Clock::now() + std::chrono::milliseconds(options_.sendSlackMs + wireMs);
        if (!waitDone(block->header, deadline)) {
            try {
                abandoned_.push_back(std::move(block));
            } catch (const std::bad_alloc&) {
                (void)block.release();  // never freed: the system may still read it
            }
            return MIDIERR_NOTREADY;
        }
        api_.outUnprepareHeader(handle_, &block->header, kHeaderSize);
        return MMSYSERR_NOERROR;
    }

    MMRESULT sendShort(std::uint32_t message) override {
        return api_.outShortMsg(handle_, message);
    }

  private:
    bool waitDone(::MIDIHDR& header, Clock::time_point deadline) {
        while (!headerDone(header)) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            // The event says "some header is done"; the flag says which. A
            // short slice covers a signal that went to an earlier header.
            ::WaitForSingleObject(event_,
                                  static_cast<::DWORD>(std::min<std::int64_t>(left.count(), 50)));
        }
        return true;
    }

    // Frees the abandoned headers the system has handed back since.
    void reap() {
        auto it = abandoned_.begin();
        while (it != abandoned_.end()) {
            if (headerDone((*it)->header)) {
                api_.outUnprepareHeader(handle_, &(*it)->header, kHeaderSize);
                it = abandoned_.erase(it);
            } else {
                ++it;
            }
        }
    }

    const Api api_;  // a copy: the port may outlive its driver
    DriverOptions options_;
    ::HMIDIOUT handle_ = nullptr;
    ::HANDLE event_ = nullptr;
    // Sends are one at a time (the core holds the port's send lock).
    std::vector<std::unique_ptr<OutputBlock>> abandoned_;
};

// ---- the driver ----

class WinMmDriver final : public Driver {
  public:
    WinMmDriver(const Api& api, const DriverOptions& options) : api_(api), options_(options) {}

    const char* name() const override { return "winmm"; }

    std::uint32_t inputCount() override { return api_.inGetNumDevs(); }

    std::string inputName(std::uint32_t index) override {
        ::MIDIINCAPSA caps{};
        if (api_.inGetDevCaps(index, &caps, sizeof caps) != MMSYSERR_NOERROR) {
            return {};
        }
        return std::string(caps.szPname, ::strnlen(caps.szPname, sizeof caps.szPname));
    }

    std::uint32_t outputCount() override { return api_.outGetNumDevs(); }

    std::string outputName(std::uint32_t index) override {
        ::MIDIOUTCAPSA caps{};
        if (api_.outGetDevCaps(index, &caps, sizeof caps) != MMSYSERR_NOERROR) {
            return {};
        }
        return std::string(caps.szPname, ::strnlen(caps.szPname, sizeof caps.szPname));
    }

    // WinMM tells nothing of devices, but it names a unit's input and output
    // alike and numbers a second unit of one kind ("2- ..."): the name is the
    // device.
    std::string inputDevice(std::uint32_t index) override { return inputName(index); }
    std::string outputDevice(std::uint32_t index) override { return outputName(index); }

    MMRESULT openInput(std::uint32_t index, InputStream& stream,
                       std::unique_ptr<DriverInput>& port) override {
        try {
            auto input = std::make_unique<WinMmInput>(api_, stream, options_);
            const MMRESULT result = input->open(index);
            if (result != MMSYSERR_NOERROR) {
                return result;
            }
            port = std::move(input);
        } catch (const std::bad_alloc&) {
            return MMSYSERR_NOMEM;
        }
        return MMSYSERR_NOERROR;
    }

    MMRESULT openOutput(std::uint32_t index, std::unique_ptr<DriverOutput>& port) override {
        try {
            auto output = std::make_unique<WinMmOutput>(api_, options_);
            const MMRESULT result = output->open(index);
            if (result != MMSYSERR_NOERROR) {
                return result;
            }
            port = std::move(output);
        } catch (const std::bad_alloc&) {
            return MMSYSERR_NOMEM;
        }
        return MMSYSERR_NOERROR;
    }

  private:
    const Api api_;
    const DriverOptions options_;
};

}  // namespace

const Api& systemApi() {
    static const Api api{
        &::midiInGetNumDevs,
        &::midiInGetDevCapsA,
        &::midiInOpen,
        &::midiInPrepareHeader,
        &::midiInUnprepareHeader,
        &::midiInAddBuffer,
        &::midiInStart,
        &::midiInReset,
        &::midiInClose,
        &::midiOutGetNumDevs,
        &::midiOutGetDevCapsA,
        &::midiOutOpen,
        &::midiOutPrepareHeader,
        &::midiOutUnprepareHeader,
        &::midiOutLongMsg,
        &::midiOutShortMsg,
        &::midiOutReset,
        &::midiOutClose,
    };
    return api;
}

std::shared_ptr<Driver> makeDriver(const Api& api, DriverOptions options) {
    return std::make_shared<WinMmDriver>(api, options);
}

}  // namespace ql5::mm::winmm

namespace ql5::mm {

std::shared_ptr<Driver> winmmDriver() {
    static const std::shared_ptr<Driver> driver = winmm::makeDriver(winmm::systemApi());
    return driver;
}

}  // namespace ql5::mm
