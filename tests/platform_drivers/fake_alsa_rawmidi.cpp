#include "fake_alsa_rawmidi.hpp"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>

namespace ql5::test::fakeraw {
namespace {

struct Device {
    std::string name;
    std::vector<Substream> subdevices;
};

using Key = std::tuple<int, int, int>;  // card, device, subdevice

struct SubstreamState {
    bool busyIn = false;
    bool busyOut = false;
    bool openIn = false;
    bool openOut = false;
    std::vector<std::uint8_t> wire;
    std::vector<std::size_t> drains;
    std::vector<std::size_t> writes;  // bytes taken by each write call
    std::size_t inputBufferSize = 4096;
    std::size_t outputBufferSize = 4096;
};

struct World {
    std::mutex mutex;
    std::map<std::pair<int, int>, Device> devices;  // (card, device)
    std::map<Key, SubstreamState> substreams;
    std::size_t writeChunk = 0;
    bool stalled = false;
    bool gone = false;
    std::size_t inputCap = 1 << 20;
};

World& world() {
    static World instance;
    return instance;
}

Key keyOf(Address a) { return {a.card, a.device, a.subdevice}; }

}  // namespace
}  // namespace ql5::test::fakeraw

struct _snd_ctl {
    int card = -1;
};

struct _snd_rawmidi_info {
    unsigned int device = 0;
    int subdevice = 0;
    snd_rawmidi_stream_t stream = SND_RAWMIDI_STREAM_OUTPUT;
    char name[80] = {};
    char subname[32] = {};
    unsigned int subdevicesCount = 0;
};

struct _snd_rawmidi {
    ql5::test::fakeraw::Key key;
    bool output = false;
    int wake[2] = {-1, -1};  // input: a byte per pending chunk; output: room to write
    std::vector<std::uint8_t> pending;
    std::size_t xruns = 0;
    std::size_t bufferSize = 4096;
};

struct _snd_rawmidi_params {
    std::size_t bufferSize = 4096;
};

struct _snd_rawmidi_status {
    std::size_t xruns = 0;
};

namespace ql5::test::fakeraw {
namespace {

// Open handles, so that send() finds the input handle of a substream.
std::map<Key, snd_rawmidi_t*>& inputs() {
    static std::map<Key, snd_rawmidi_t*> handles;
    return handles;
}

}  // namespace

void reset() {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.devices.clear();
    w.substreams.clear();
    w.writeChunk = 0;
    w.stalled = false;
    w.gone = false;
    w.inputCap = 1 << 20;
}

void setInputBufferCap(std::size_t bytes) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.inputCap = bytes;
}

void addDevice(int card, int device, const std::string& name, std::vector<Substream> subdevices) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.devices[{card, device}] = Device{name, std::move(subdevices)};
}

void setBusy(Address address, bool output, bool busy) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto& state = w.substreams[keyOf(address)];
    (output ? state.busyOut : state.busyIn) = busy;
}

void setWriteChunk(std::size_t bytes) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.writeChunk = bytes;
}

void setStalled(bool stalled) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.stalled = stalled;
}

void setGone(bool gone) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.gone = gone;
}

std::vector<std::uint8_t> wire(Address address) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.substreams[keyOf(address)].wire;
}

std::vector<std::size_t> drains(Address address) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.substreams[keyOf(address)].drains;
}

std::vector<std::size_t> writes(Address address) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.substreams[keyOf(address)].writes;
}

std::size_t outputBufferSize(Address address) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.substreams[keyOf(address)].outputBufferSize;
}

bool isOpen(Address address, bool output) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto& state = w.substreams[keyOf(address)];
    return output ? state.openOut : state.openIn;
}

std::size_t inputBufferSize(Address address) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.substreams[keyOf(address)].inputBufferSize;
}

void send(Address address, const std::vector<std::uint8_t>& bytes) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto found = inputs().find(keyOf(address));
    if (found == inputs().end()) return;
    snd_rawmidi_t* handle = found->second;
    const std::size_t room =
        handle->bufferSize - std::min(handle->bufferSize, handle->pending.size());
    const std::size_t kept = std::min(room, bytes.size());
    handle->pending.insert(handle->pending.end(), bytes.begin(),
                           bytes.begin() + static_cast<std::ptrdiff_t>(kept));
    handle->xruns += bytes.size() - kept;
    const char one = 1;
    (void)!::write(handle->wake[1], &one, 1);
}

}  // namespace ql5::test::fakeraw

using ql5::test::fakeraw::world;

extern "C" {

int snd_ctl_open(snd_ctl_t** ctl, const char* name, int) {
    int card = -1;
    if (std::sscanf(name, "hw:%d", &card) != 1) return -EINVAL;
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    for (const auto& [where, device] : w.devices) {
        if (where.first == card) {
            *ctl = new _snd_ctl{card};
            return 0;
        }
    }
    return -ENOENT;
}

int snd_ctl_close(snd_ctl_t* ctl) {
    delete ctl;
    return 0;
}

int snd_ctl_rawmidi_info(snd_ctl_t* ctl, snd_rawmidi_info_t* info) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto found = w.devices.find({ctl->card, static_cast<int>(info->device)});
    if (found == w.devices.end()) return -ENXIO;
    const auto& subs = found->second.subdevices;
    if (info->subdevice < 0 || info->subdevice >= static_cast<int>(subs.size())) return -ENXIO;
    const auto& sub = subs[static_cast<std::size_t>(info->subdevice)];
    const bool has = info->stream == SND_RAWMIDI_STREAM_INPUT ? sub.input : sub.output;
    if (!has) return -ENXIO;
    std::snprintf(info->name, sizeof info->name, "%s", found->second.name.c_str());
    std::snprintf(info->subname, sizeof info->subname, "%s", sub.name.c_str());
    info->subdevicesCount = static_cast<unsigned int>(subs.size());
    return 0;
}

int snd_rawmidi_info_malloc(snd_rawmidi_info_t** info) {
    *info = new _snd_rawmidi_info;
    return 0;
}
void snd_rawmidi_info_free(snd_rawmidi_info_t* info) { delete info; }
void snd_rawmidi_info_set_device(snd_rawmidi_info_t* info, unsigned int device) {
    info->device = device;
}
void snd_rawmidi_info_set_subdevice(snd_rawmidi_info_t* info, unsigned int subdevice) {
    info->subdevice = static_cast<int>(subdevice);
}
void snd_rawmidi_info_set_stream(snd_rawmidi_info_t* info, snd_rawmidi_stream_t stream) {
    info->stream = stream;
}
const char* snd_rawmidi_info_get_name(const snd_rawmidi_info_t* info) { return info->name; }
const char* snd_rawmidi_info_get_subdevice_name(const snd_rawmidi_info_t* info) {
    return info->subname;
}
unsigned int snd_rawmidi_info_get_subdevices_count(const snd_rawmidi_info_t* info) {
    return info->subdevicesCount;
}

int snd_rawmidi_open(snd_rawmidi_t** in, snd_rawmidi_t** out, const char* name, int) {
    int card = -1;
    int device = -1;
    int subdevice = -1;
    if (std::sscanf(name, "hw:%d,%d,%d", &card, &device, &subdevice) != 3) return -EINVAL;
    if ((in == nullptr) == (out == nullptr)) return -EINVAL;  // the driver opens one way at a time
    const bool output = out != nullptr;
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto found = w.devices.find({card, device});
    if (found == w.devices.end() ||
        subdevice >= static_cast<int>(found->second.subdevices.size())) {
        return -ENOENT;
    }
    const ql5::test::fakeraw::Key key{card, device, subdevice};
    auto& state = w.substreams[key];
    if (output ? (state.busyOut || state.openOut) : (state.busyIn || state.openIn)) return -EBUSY;
    auto* handle = new _snd_rawmidi;
    handle->key = key;
    handle->output = output;
    if (::pipe2(handle->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        delete handle;
        return -errno;
    }
    if (output) {
        state.openOut = true;
        if (w.stalled) {
            // Fill the pipe: poll then never reports room.
            const char block[4096] = {};
            while (::write(handle->wake[1], block, sizeof block) > 0) {
            }
        }
        *out = handle;
    } else {
        state.openIn = true;
        ql5::test::fakeraw::inputs()[key] = handle;
        *in = handle;
    }
    return 0;
}

int snd_rawmidi_close(snd_rawmidi_t* handle) {
    auto& w = world();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        auto& state = w.substreams[handle->key];
        if (handle->output) {
            state.openOut = false;
        } else {
            state.openIn = false;
            ql5::test::fakeraw::inputs().erase(handle->key);
        }
    }
    ::close(handle->wake[0]);
    ::close(handle->wake[1]);
    delete handle;
    return 0;
}

int snd_rawmidi_poll_descriptors_count(snd_rawmidi_t*) { return 1; }

int snd_rawmidi_poll_descriptors(snd_rawmidi_t* handle, struct pollfd* pfds, unsigned int space) {
    if (space < 1) return 0;
    pfds[0].fd = handle->output ? handle->wake[1] : handle->wake[0];
    pfds[0].events = handle->output ? POLLOUT : POLLIN;
    pfds[0].revents = 0;
    return 1;
}

int snd_rawmidi_poll_descriptors_revents(snd_rawmidi_t*, struct pollfd* pfds, unsigned int nfds,
                                         unsigned short* revents) {
    if (nfds < 1) return -EINVAL;
    *revents = static_cast<unsigned short>(pfds[0].revents);
    return 0;
}

ssize_t snd_rawmidi_write(snd_rawmidi_t* handle, const void* buffer, size_t size) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.gone) return -ENODEV;
    if (w.stalled) return -EAGAIN;
    // As the kernel: a write takes no more than the output buffer holds (the
    // device sends fast enough that it is empty again by the next call).
    std::size_t take = std::min(size, handle->bufferSize);
    if (w.writeChunk != 0) take = std::min(take, w.writeChunk);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    auto& state = w.substreams[handle->key];
    state.wire.insert(state.wire.end(), bytes, bytes + take);
    state.writes.push_back(take);
    return static_cast<ssize_t>(take);
}

ssize_t snd_rawmidi_read(snd_rawmidi_t* handle, void* buffer, size_t size) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.gone) return -ENODEV;
    char drain[64];
    while (::read(handle->wake[0], drain, sizeof drain) > 0) {
    }
    if (handle->pending.empty()) return -EAGAIN;
    const std::size_t take = std::min(size, handle->pending.size());
    std::memcpy(buffer, handle->pending.data(), take);
    handle->pending.erase(handle->pending.begin(),
                          handle->pending.begin() + static_cast<std::ptrdiff_t>(take));
    if (!handle->pending.empty()) {
        const char one = 1;
        (void)!::write(handle->wake[1], &one, 1);
    }
    return static_cast<ssize_t>(take);
}

int snd_rawmidi_drain(snd_rawmidi_t* handle) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.gone) return -ENODEV;
    auto& state = w.substreams[handle->key];
    state.drains.push_back(state.wire.size());
    return 0;
}

int snd_rawmidi_params_malloc(snd_rawmidi_params_t** params) {
    *params = new _snd_rawmidi_params;
    return 0;
}
void snd_rawmidi_params_free(snd_rawmidi_params_t* params) { delete params; }
int snd_rawmidi_params_current(snd_rawmidi_t* handle, snd_rawmidi_params_t* params) {
    params->bufferSize = handle->bufferSize;
    return 0;
}
int snd_rawmidi_params_set_buffer_size(snd_rawmidi_t*, snd_rawmidi_params_t* params, size_t val) {
    params->bufferSize = val;
    return 0;
}
size_t snd_rawmidi_params_get_buffer_size(const snd_rawmidi_params_t* params) {
    return params->bufferSize;
}
int snd_rawmidi_params(snd_rawmidi_t* handle, snd_rawmidi_params_t* params) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    handle->bufferSize = std::min(params->bufferSize, w.inputCap);
    auto& state = w.substreams[handle->key];
    (handle->output ? state.outputBufferSize : state.inputBufferSize) = handle->bufferSize;
    return 0;
}

int snd_rawmidi_status_malloc(snd_rawmidi_status_t** status) {
    *status = new _snd_rawmidi_status;
    return 0;
}
void snd_rawmidi_status_free(snd_rawmidi_status_t* status) { delete status; }
int snd_rawmidi_status(snd_rawmidi_t* handle, snd_rawmidi_status_t* status) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    // Reading the count clears it, as the kernel does.
    status->xruns = handle->xruns;
    handle->xruns = 0;
    return 0;
}
size_t snd_rawmidi_status_get_xruns(const snd_rawmidi_status_t* status) { return status->xruns; }

}  // extern "C"
