// In-process devices. Each device has a delivery thread that plays the part
// of the platform's MIDI input thread: what the device sends is pushed into
// the host's open input from there, in order, paced by the link rate.
#include "platform/mm/virtual_driver.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ql5::mm::virt {

namespace {

struct Item {
    std::vector<std::uint8_t> bytes;
    bool longError = false;
    bool gone = false;  // the device was unplugged: tell the open input
};

void pace(std::size_t count, double bytesPerSecond) {
    if (bytesPerSecond > 0.0 && count > 0) {
        std::this_thread::sleep_for(
            std::chrono::duration<double>(static_cast<double>(count) / bytesPerSecond));
    }
}

// Bytes of a packed short message: the status says how many follow.
std::size_t shortMessageLength(std::uint8_t status) {
    if (status >= 0xF8 || status == 0xF6) {
        return 1;
    }
    if (status == 0xF1 || status == 0xF3 || (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0) {
        return 2;
    }
    return 3;
}

}  // namespace

struct VirtualDevice::Impl {
    std::string inputName;
    std::string outputName;
    std::uint64_t serial = 0;  // tells the devices apart whatever their names

    mutable std::mutex mutex;
    std::condition_variable changed;
    bool plugged = false;
    bool destroyed = false;
    bool refuseInputOpen = false;
    bool refuseOutputOpen = false;
    bool refusePrepare = false;
    bool refuseSend = false;
    bool neverMarkDone = false;
    double bytesPerSecond = 0.0;
    HostMessageHandler handler;

    std::deque<Item> pending;
    bool delivering = false;    // an item was taken and is on its way
    std::uint64_t unplugs = 0;  // an item taken before an unplug is lost with it
    bool pushing = false;       // the delivery thread is inside the host's stream
    InputStream* hostInput = nullptr;
    int hostOutputs = 0;
    std::thread::id deliveryThreadId;
    std::thread deliveryThread;

    bool onDeliveryThread() const { return std::this_thread::get_id() == deliveryThreadId; }
    void run();
    void callHandler(const std::uint8_t* bytes, std::size_t count);
};

void VirtualDevice::Impl::run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [&] { return destroyed || !pending.empty(); });
        if (destroyed) {
            break;
        }
        Item item = std::move(pending.front());
        pending.pop_front();
        delivering = true;
        const std::uint64_t unplugsAtTake = unplugs;
        const double rate = bytesPerSecond;
        lock.unlock();
        pace(item.bytes.size(), rate);
        lock.lock();
        // Unplugged (and perhaps plugged in again, with another input open)
        // while the item was on the wire: it never arrives.
        const bool lost = unplugsAtTake != unplugs;
        InputStream* stream = (plugged || item.gone) && !lost ? hostInput : nullptr;
        if (stream != nullptr) {
            pushing = true;
            lock.unlock();
            if (item.gone) {
                stream->pushGone();
            } else if (item.longError) {
                stream->pushLongError();
            } else {
                stream->pushBytes(item.bytes.data(), item.bytes.size());
            }
            lock.lock();
            pushing = false;
        }
        delivering = false;
        changed.notify_all();
    }
}

void VirtualDevice::Impl::callHandler(const std::uint8_t* bytes, std::size_t count) {
    HostMessageHandler copy;
    {
        std::lock_guard<std::mutex> lock(mutex);
        copy = handler;
    }
    if (copy) {
        copy(bytes, count);
    }
}

namespace {

struct DeviceList {
    std::mutex mutex;
    std::vector<std::weak_ptr<VirtualDevice::Impl>> devices;  // in creation order
};

DeviceList& deviceList() {
    static DeviceList list;
    return list;
}

std::vector<std::shared_ptr<VirtualDevice::Impl>> pluggedDevices() {
    std::vector<std::shared_ptr<VirtualDevice::Impl>> result;
    std::lock_guard<std::mutex> lock(deviceList().mutex);
    auto& devices = deviceList().devices;
    for (auto it = devices.begin(); it != devices.end();) {
        auto device = it->lock();
        if (!device) {
            it = devices.erase(it);
            continue;
        }
        ++it;
        std::lock_guard<std::mutex> deviceLock(device->mutex);
        if (device->plugged) {
            result.push_back(std::move(device));
        }
    }
    return result;
}

class VirtualInput final : public DriverInput {
  public:
    explicit VirtualInput(std::shared_ptr<VirtualDevice::Impl> impl) : impl_(std::move(impl)) {}
    ~VirtualInput() override {
        std::unique_lock<std::mutex> lock(impl_->mutex);
        impl_->hostInput = nullptr;
        if (!impl_->onDeliveryThread()) {
            // No push may reach the host's stream after the port is closed.
            impl_->changed.wait(lock, [&] { return !impl_->pushing; });
        }
    }
    MMRESULT prepare() override {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        return impl_->refusePrepare ? MMSYSERR_NOMEM : MMSYSERR_NOERROR;
    }

  private:
    std::shared_ptr<VirtualDevice::Impl> impl_;
};

class VirtualOutput final : public DriverOutput {
  public:
    explicit VirtualOutput(std::shared_ptr<VirtualDevice::Impl> impl) : impl_(std::move(impl)) {}
    ~VirtualOutput() override {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        --impl_->hostOutputs;
    }
    MMRESULT prepare() override {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        return impl_->refusePrepare ? MMSYSERR_NOMEM : MMSYSERR_NOERROR;
    }
    MMRESULT sendLong(const std::uint8_t* bytes, std::size_t count, bool& markDone) override {
        double rate = 0.0;
        bool never = false;
        {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            if (!impl_->plugged) {
                return MMSYSERR_NODRIVER;  // the device is gone
            }
            if (impl_->refuseSend) {
                return MIDIERR_NOTREADY;
            }
            rate = impl_->bytesPerSecond;
            never = impl_->neverMarkDone;
        }
        pace(count, rate);
        impl_->callHandler(bytes, count);
        markDone = !never;
        return MMSYSERR_NOERROR;
    }
    MMRESULT sendShort(std::uint32_t message) override {
        {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            if (!impl_->plugged) {
                return MMSYSERR_NODRIVER;
            }
            if (impl_->refuseSend) {
                return MIDIERR_NOTREADY;
            }
        }
        const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(message),
                                       static_cast<std::uint8_t>(message >> 8),
                                       static_cast<std::uint8_t>(message >> 16)};
        impl_->callHandler(bytes, shortMessageLength(bytes[0]));
        return MMSYSERR_NOERROR;
    }

  private:
    std::shared_ptr<VirtualDevice::Impl> impl_;
};

class VirtualDriver final : public Driver {
  public:
    const char* name() const override { return "virtual"; }
    std::uint32_t inputCount() override {
        return static_cast<std::uint32_t>(pluggedDevices().size());
    }
    std::string inputName(std::uint32_t index) override {
        auto devices = pluggedDevices();
        return index < devices.size() ? devices[index]->inputName : std::string();
    }
    std::uint32_t outputCount() override {
        return static_cast<std::uint32_t>(pluggedDevices().size());
    }
    std::string outputName(std::uint32_t index) override {
        auto devices = pluggedDevices();
        return index < devices.size() ? devices[index]->outputName : std::string();
    }
    // A device's input and output are one unit's pair.
    std::string inputDevice(std::uint32_t index) override { return deviceKey(index); }
    std::string outputDevice(std::uint32_t index) override { return deviceKey(index); }
    MMRESULT openInput(std::uint32_t index, InputStream& stream,
                       std::unique_ptr<DriverInput>& port) override {
        auto devices = pluggedDevices();
        if (index >= devices.size()) {
            return MMSYSERR_BADDEVICEID;
        }
        auto& impl = devices[index];
        std::lock_guard<std::mutex> lock(impl->mutex);
        if (impl->refuseInputOpen || impl->hostInput != nullptr) {
            return MMSYSERR_ALLOCATED;
        }
        port = std::make_unique<VirtualInput>(impl);
        impl->hostInput = &stream;
        return MMSYSERR_NOERROR;
    }
    MMRESULT openOutput(std::uint32_t index, std::unique_ptr<DriverOutput>& port) override {
        auto devices = pluggedDevices();
        if (index >= devices.size()) {
            return MMSYSERR_BADDEVICEID;
        }
        auto& impl = devices[index];
        std::lock_guard<std::mutex> lock(impl->mutex);
        if (impl->refuseOutputOpen) {
            return MMSYSERR_ALLOCATED;
        }
        port = std::make_unique<VirtualOutput>(impl);
        ++impl->hostOutputs;
        return MMSYSERR_NOERROR;
    }

  private:
    static std::string deviceKey(std::uint32_t index) {
        auto devices = pluggedDevices();
        return index < devices.size() ? "virtual " + std::to_string(devices[index]->serial)
                                      : std::string();
    }
};

}  // namespace

std::shared_ptr<VirtualDevice> VirtualDevice::create(std::string inputName,
                                                     std::string outputName) {
    auto impl = std::make_shared<Impl>();
    impl->inputName = std::move(inputName);
    impl->outputName = std::move(outputName);
    static std::atomic<std::uint64_t> nextSerial{1};
    impl->serial = nextSerial.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->deliveryThread = std::thread([raw = impl.get()] { raw->run(); });
        impl->deliveryThreadId = impl->deliveryThread.get_id();
    }
    {
        std::lock_guard<std::mutex> lock(deviceList().mutex);
        deviceList().devices.push_back(impl);
    }
    return std::shared_ptr<VirtualDevice>(new VirtualDevice(std::move(impl)));
}

VirtualDevice::VirtualDevice(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

VirtualDevice::~VirtualDevice() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->destroyed = true;
        impl_->plugged = false;
        impl_->pending.clear();
        impl_->handler = nullptr;  // it may point into the owner, going away now
    }
    impl_->changed.notify_all();
    if (impl_->onDeliveryThread()) {
        impl_->deliveryThread.detach();
    } else {
        impl_->deliveryThread.join();
    }
}

void VirtualDevice::setHostMessageHandler(HostMessageHandler handler) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->handler = std::move(handler);
}

void VirtualDevice::plug() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->plugged = true;
}

void VirtualDevice::unplug() {
    {
        std::unique_lock<std::mutex> lock(impl_->mutex);
        const bool was = impl_->plugged;
        impl_->plugged = false;
        impl_->pending.clear();  // what was on its way is lost with the cable
        ++impl_->unplugs;
        if (!impl_->onDeliveryThread()) {
            // A message already going into the host's stream is there when
            // unplug returns; none arrives after.
            impl_->changed.wait(lock, [&] { return !impl_->pushing; });
        }
        // An input open on the device hears that it went, as from a real
        // driver.
        if (was && impl_->hostInput != nullptr) {
            Item gone;
            gone.gone = true;
            impl_->pending.push_back(std::move(gone));
        }
    }
    impl_->changed.notify_all();
}

bool VirtualDevice::plugged() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->plugged;
}

void VirtualDevice::send(const std::uint8_t* bytes, std::size_t count) {
    if (bytes == nullptr || count == 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (!impl_->plugged) {
            return;
        }
        impl_->pending.push_back(Item{std::vector<std::uint8_t>(bytes, bytes + count), false});
    }
    impl_->changed.notify_all();
}

void VirtualDevice::sendLongError() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (!impl_->plugged) {
            return;
        }
        impl_->pending.push_back(Item{{}, true});
    }
    impl_->changed.notify_all();
}

void VirtualDevice::flush() {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    if (impl_->onDeliveryThread()) {
        return;  // it would wait for itself
    }
    impl_->changed.wait(lock, [&] { return impl_->pending.empty() && !impl_->delivering; });
}

void VirtualDevice::refuseInputOpen(bool on) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->refuseInputOpen = on;
}

void VirtualDevice::refuseOutputOpen(bool on) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->refuseOutputOpen = on;
}

void VirtualDevice::refusePrepare(bool on) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->refusePrepare = on;
}

void VirtualDevice::refuseSend(bool on) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->refuseSend = on;
}

void VirtualDevice::neverMarkDone(bool on) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->neverMarkDone = on;
}

void VirtualDevice::setLinkRate(double bytesPerSecond) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->bytesPerSecond = bytesPerSecond > 0.0 ? bytesPerSecond : 0.0;
}

const std::string& VirtualDevice::inputName() const { return impl_->inputName; }
const std::string& VirtualDevice::outputName() const { return impl_->outputName; }

bool VirtualDevice::hostInputOpen() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->hostInput != nullptr;
}

bool VirtualDevice::hostOutputOpen() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->hostOutputs > 0;
}

std::shared_ptr<Driver> virtualDriver() {
    static const std::shared_ptr<Driver> instance = std::make_shared<VirtualDriver>();
    return instance;
}

}  // namespace ql5::mm::virt
