#include "fake_alsa_seq.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace ql5::test::fakeseq {
namespace {

struct Pending {
    snd_seq_event_t event{};
    std::vector<std::uint8_t> data;
    bool overrun = false;
};

}  // namespace
}  // namespace ql5::test::fakeseq

// The library's opaque types, as this stand-in keeps them.
struct _snd_seq {
    int client = -1;
    int wake[2] = {-1, -1};  // one byte per pending event, so poll() works
    std::deque<ql5::test::fakeseq::Pending> input;
    ql5::test::fakeseq::Pending current;
};

struct _snd_seq_client_info {
    int client = -1;
    char name[64] = {};
    int card = -1;
};

struct _snd_seq_port_info {
    int client = -1;
    int port = -1;
    char name[64] = {};
    unsigned int capability = 0;
    unsigned int type = 0;
};

namespace ql5::test::fakeseq {
namespace {

struct ClientRecord {
    std::string name;
    int card = -1;
    std::vector<FakePort> ports;
    snd_seq_t* handle = nullptr;  // ours; nullptr for a client that was just "there"
};

struct World {
    std::mutex mutex;
    std::map<int, ClientRecord> clients;
    std::vector<int> ours;
    int nextClient = 128;
    int openError = 0;
    int failCount = 0;
    int failError = 0;
    std::vector<SentEvent> sent;
    std::vector<Connection> connections;
    std::map<int, std::size_t> inputPools;
};

World& world() {
    static World instance;
    return instance;
}

void copyName(char (&to)[64], const std::string& from) {
    std::strncpy(to, from.c_str(), sizeof to - 1);
    to[sizeof to - 1] = '\0';
}

const FakePort* findPort(World& w, int client, int port) {
    const auto found = w.clients.find(client);
    if (found == w.clients.end()) return nullptr;
    for (const auto& p : found->second.ports) {
        if (p.port == port) return &p;
    }
    return nullptr;
}

// Must hold the world's mutex.
void enqueue(snd_seq_t* handle, Pending pending) {
    handle->input.push_back(std::move(pending));
    const char one = 1;
    (void)!::write(handle->wake[1], &one, 1);
}

// Events our client sends to its subscribers reach whoever is connected.
void route(World& w, const snd_seq_event_t& event, const std::vector<std::uint8_t>& data) {
    for (const auto& c : w.connections) {
        int client = -1;
        int port = -1;
        if (!c.from && c.ourClient == event.source.client && c.ourPort == event.source.port) {
            client = c.otherClient;
            port = c.otherPort;
        } else if (c.from && c.otherClient == event.source.client &&
                   c.otherPort == event.source.port) {
            client = c.ourClient;
            port = c.ourPort;
        } else {
            continue;
        }
        const auto target = w.clients.find(client);
        if (target == w.clients.end() || target->second.handle == nullptr) continue;
        Pending pending;
        pending.event = event;
        pending.event.dest.client = static_cast<unsigned char>(client);
        pending.event.dest.port = static_cast<unsigned char>(port);
        pending.data = data;
        enqueue(target->second.handle, std::move(pending));
    }
}

}  // namespace

void reset() {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.clients.clear();
    w.ours.clear();
    w.nextClient = 128;
    w.openError = 0;
    w.failCount = 0;
    w.sent.clear();
    w.connections.clear();
    w.inputPools.clear();
    // The system client, which is never listed.
    w.clients[0] = ClientRecord{"System",
                                -1,
                                {{0, "Timer", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                  SND_SEQ_PORT_TYPE_MIDI_GENERIC},
                                 {1, "Announce", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                  SND_SEQ_PORT_TYPE_MIDI_GENERIC}},
                                nullptr};
}

void addClient(int client, const std::string& name, int card, std::vector<FakePort> ports) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.clients[client] = ClientRecord{name, card, std::move(ports), nullptr};
}

void removeClient(int client) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.clients.erase(client);
    // As the kernel does: whoever reads the system's announce port hears of it.
    snd_seq_event_t exit;
    snd_seq_ev_clear(&exit);
    exit.type = SND_SEQ_EVENT_CLIENT_EXIT;
    exit.source.client = SND_SEQ_CLIENT_SYSTEM;
    exit.source.port = SND_SEQ_PORT_SYSTEM_ANNOUNCE;
    exit.data.addr.client = static_cast<unsigned char>(client);
    route(w, exit, {});
}

void failOpen(int error) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.openError = error;
}

void failSends(int count, int error) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.failCount = count;
    w.failError = error;
}

std::vector<SentEvent> sent() {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.sent;
}

std::vector<Connection> connections() {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.connections;
}

std::vector<int> ourClients() {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.ours;
}

std::size_t inputPool(int client) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto found = w.inputPools.find(client);
    return found == w.inputPools.end() ? 0 : found->second;
}

std::vector<FakePort> portsOf(int client) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto found = w.clients.find(client);
    return found == w.clients.end() ? std::vector<FakePort>{} : found->second.ports;
}

void deliverSysEx(int client, int destPort, int sourceClient, int sourcePort,
                  const std::vector<std::uint8_t>& piece) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto target = w.clients.find(client);
    if (target == w.clients.end() || target->second.handle == nullptr) return;
    Pending pending;
    snd_seq_ev_clear(&pending.event);
    pending.event.type = SND_SEQ_EVENT_SYSEX;
    pending.event.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
    pending.event.source.client = static_cast<unsigned char>(sourceClient);
    pending.event.source.port = static_cast<unsigned char>(sourcePort);
    pending.event.dest.client = static_cast<unsigned char>(client);
    pending.event.dest.port = static_cast<unsigned char>(destPort);
    pending.event.data.ext.len = static_cast<unsigned int>(piece.size());
    pending.data = piece;
    enqueue(target->second.handle, std::move(pending));
}

void deliverEvent(int client, const snd_seq_event_t& event) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto target = w.clients.find(client);
    if (target == w.clients.end() || target->second.handle == nullptr) return;
    Pending pending;
    pending.event = event;
    enqueue(target->second.handle, std::move(pending));
}

void deliverOverrun(int client) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto target = w.clients.find(client);
    if (target == w.clients.end() || target->second.handle == nullptr) return;
    Pending pending;
    pending.overrun = true;
    enqueue(target->second.handle, std::move(pending));
}

}  // namespace ql5::test::fakeseq

using ql5::test::fakeseq::world;

extern "C" {

int snd_seq_open(snd_seq_t** handle, const char*, int, int) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.openError != 0) return w.openError;
    auto* seq = new _snd_seq;
    if (::pipe2(seq->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        delete seq;
        return -errno;
    }
    seq->client = w.nextClient++;
    w.clients[seq->client] =
        ql5::test::fakeseq::ClientRecord{"Client-" + std::to_string(seq->client), -1, {}, seq};
    w.ours.push_back(seq->client);
    *handle = seq;
    return 0;
}

int snd_seq_close(snd_seq_t* handle) {
    auto& w = world();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.clients.erase(handle->client);
        std::erase_if(w.connections, [&](const auto& c) { return c.ourClient == handle->client; });
    }
    ::close(handle->wake[0]);
    ::close(handle->wake[1]);
    delete handle;
    return 0;
}

int snd_seq_set_client_name(snd_seq_t* handle, const char* name) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.clients[handle->client].name = name;
    return 0;
}

int snd_seq_client_id(snd_seq_t* handle) { return handle->client; }

int snd_seq_set_input_buffer_size(snd_seq_t*, size_t) { return 0; }

int snd_seq_set_client_pool_input(snd_seq_t* handle, size_t size) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.inputPools[handle->client] = size;
    return size <= 2000 ? 0 : -EINVAL;
}

int snd_seq_create_simple_port(snd_seq_t* handle, const char* name, unsigned int caps,
                               unsigned int type) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto& ports = w.clients[handle->client].ports;
    const int port = static_cast<int>(ports.size());
    ports.push_back({port, name, caps, type});
    return port;
}

int snd_seq_connect_from(snd_seq_t* handle, int myPort, int client, int port) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto* source = ql5::test::fakeseq::findPort(w, client, port);
    if (source == nullptr) return -ENOENT;
    const unsigned int needed = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
    if ((source->capability & needed) != needed) return -EPERM;
    w.connections.push_back({handle->client, myPort, client, port, true});
    return 0;
}

int snd_seq_connect_to(snd_seq_t* handle, int myPort, int client, int port) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto* dest = ql5::test::fakeseq::findPort(w, client, port);
    if (dest == nullptr) return -ENOENT;
    const unsigned int needed = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    if ((dest->capability & needed) != needed) return -EPERM;
    w.connections.push_back({handle->client, myPort, client, port, false});
    return 0;
}

int snd_seq_event_output_direct(snd_seq_t* handle, snd_seq_event_t* event) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.failCount > 0) {
        --w.failCount;
        return w.failError;
    }
    ql5::test::fakeseq::SentEvent record;
    record.sourceClient = handle->client;
    record.sourcePort = event->source.port;
    record.toSubscribers = event->dest.client == SND_SEQ_ADDRESS_SUBSCRIBERS;
    record.direct = event->queue == SND_SEQ_QUEUE_DIRECT;
    record.type = event->type;
    if ((event->flags & SND_SEQ_EVENT_LENGTH_MASK) == SND_SEQ_EVENT_LENGTH_VARIABLE) {
        const auto* bytes = static_cast<const std::uint8_t*>(event->data.ext.ptr);
        record.data.assign(bytes, bytes + event->data.ext.len);
    } else {
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&event->data);
        record.data.assign(raw, raw + sizeof event->data);
    }
    snd_seq_event_t copy = *event;
    copy.source.client = static_cast<unsigned char>(handle->client);
    if (record.toSubscribers) {
        ql5::test::fakeseq::route(w, copy, record.data);
    }
    w.sent.push_back(std::move(record));
    return static_cast<int>(sizeof(snd_seq_event_t));
}

int snd_seq_poll_descriptors_count(snd_seq_t*, short) { return 1; }

int snd_seq_poll_descriptors(snd_seq_t* handle, struct pollfd* pfds, unsigned int space, short) {
    if (space < 1) return 0;
    pfds[0].fd = handle->wake[0];
    pfds[0].events = POLLIN;
    pfds[0].revents = 0;
    return 1;
}

int snd_seq_event_input(snd_seq_t* handle, snd_seq_event_t** event) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (handle->input.empty()) return -EAGAIN;
    handle->current = std::move(handle->input.front());
    handle->input.pop_front();
    char one;
    (void)!::read(handle->wake[0], &one, 1);
    if (handle->current.overrun) return -ENOSPC;
    if ((handle->current.event.flags & SND_SEQ_EVENT_LENGTH_MASK) ==
        SND_SEQ_EVENT_LENGTH_VARIABLE) {
        handle->current.event.data.ext.ptr = handle->current.data.data();
        handle->current.event.data.ext.len = static_cast<unsigned int>(handle->current.data.size());
    }
    *event = &handle->current.event;
    return static_cast<int>(handle->input.size());
}

int snd_seq_event_input_pending(snd_seq_t* handle, int) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return static_cast<int>(handle->input.size());
}

int snd_seq_client_info_malloc(snd_seq_client_info_t** info) {
    *info = new _snd_seq_client_info;
    return 0;
}
void snd_seq_client_info_free(snd_seq_client_info_t* info) { delete info; }
void snd_seq_client_info_set_client(snd_seq_client_info_t* info, int client) {
    info->client = client;
}
int snd_seq_client_info_get_client(const snd_seq_client_info_t* info) { return info->client; }
const char* snd_seq_client_info_get_name(snd_seq_client_info_t* info) { return info->name; }
int snd_seq_client_info_get_card(const snd_seq_client_info_t* info) { return info->card; }

int snd_seq_query_next_client(snd_seq_t*, snd_seq_client_info_t* info) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto next = w.clients.upper_bound(info->client);
    if (next == w.clients.end()) return -ENOENT;
    info->client = next->first;
    ql5::test::fakeseq::copyName(info->name, next->second.name);
    info->card = next->second.card;
    return 0;
}

int snd_seq_port_info_malloc(snd_seq_port_info_t** info) {
    *info = new _snd_seq_port_info;
    return 0;
}
void snd_seq_port_info_free(snd_seq_port_info_t* info) { delete info; }
void snd_seq_port_info_set_client(snd_seq_port_info_t* info, int client) { info->client = client; }
void snd_seq_port_info_set_port(snd_seq_port_info_t* info, int port) { info->port = port; }
int snd_seq_port_info_get_port(const snd_seq_port_info_t* info) { return info->port; }
unsigned int snd_seq_port_info_get_capability(const snd_seq_port_info_t* info) {
    return info->capability;
}
unsigned int snd_seq_port_info_get_type(const snd_seq_port_info_t* info) { return info->type; }
const char* snd_seq_port_info_get_name(const snd_seq_port_info_t* info) { return info->name; }

static int fillPort(int client, int port, snd_seq_port_info_t* info, bool next) {
    auto& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto found = w.clients.find(client);
    if (found == w.clients.end()) return -ENOENT;
    for (const auto& p : found->second.ports) {
        if (next ? p.port > port : p.port == port) {
            info->client = client;
            info->port = p.port;
            ql5::test::fakeseq::copyName(info->name, p.name);
            info->capability = p.capability;
            info->type = p.type;
            return 0;
        }
    }
    return -ENOENT;
}

int snd_seq_query_next_port(snd_seq_t*, snd_seq_port_info_t* info) {
    return fillPort(info->client, info->port, info, true);
}

int snd_seq_get_any_port_info(snd_seq_t*, int client, int port, snd_seq_port_info_t* info) {
    return fillPort(client, port, info, false);
}

}  // extern "C"
