#include "emulator/virtual_unit.hpp"

#include <algorithm>
#include <cmath>

#include "protocol/codecs.hpp"

#if QL5_EMULATOR_HAS_VIRTUAL_DEVICE
#include "virtual_device_link.hpp"
#endif

namespace ql5::emulator {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TimingProfile TimingProfile::realistic() {
    TimingProfile t;
    t.linkBytesPerSecond = 912000.0;
    t.eraseMsPer64KiB = 25.0;
    t.programMsPerPage = 0.5;
    t.replyLatencyMs = 0.2;
    return t;
}

// The receiving end the link calls into. It lives in a shared_ptr that the
// link's receiver holds too, so a host send racing the unit's destruction
// finds a closed inbox instead of freed memory.
struct VirtualUnit::Inbox {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Job> jobs;
    std::uint64_t generation = 0;
    bool stop = false;
    bool busy = false;
    // Messages on their way into the link, begun in the generation they
    // were made in; a plug waits for them, so that nothing the unit said
    // before a power cycle reaches the host after it.
    int sending = 0;
    std::shared_ptr<Transcript> transcript;
};

struct VirtualUnit::Reply {
    Bytes bytes;
    bool isReadReply = false;
};

namespace {

std::size_t kindIndex(RequestKind k) { return static_cast<std::size_t>(k); }

std::optional<RequestKind> requestKindOf(MessageKind k) {
    switch (k) {
        case MessageKind::IdentityRequest:
            return RequestKind::Identity;
        case MessageKind::BeginUpdate:
            return RequestKind::Begin;
        case MessageKind::WriteBlock:
            return RequestKind::Write;
        case MessageKind::Finish:
            return RequestKind::Finish;
        case MessageKind::Erase:
            return RequestKind::Erase;
        case MessageKind::ReadMemory:
            return RequestKind::Read;
        case MessageKind::OtherMaker:
            return RequestKind::Other;
        default:
            return std::nullopt;
    }
}

std::chrono::nanoseconds fromMs(double ms) {
    return std::chrono::nanoseconds(static_cast<std::int64_t>(std::llround(ms * 1e6)));
}

std::string stamp4(const std::string& s) {
    std::string out = s.substr(0, 4);
    out.resize(4, ' ');
    return out;
}

// A read reply whose length field claims the largest block while the
// message carries only what it really holds: the updater must not read or
// write past what arrived.
Bytes overclaimingReadReply(const Bytes& reply) {
    Bytes m = reply;
    if (m.size() > 10) {
        m[9] = 0x7F;
        m[10] = 0x7F;
    }
    return m;
}

}  // namespace

VirtualUnit::VirtualUnit(UnitConfig cfg, std::shared_ptr<UnitLink> link)
    : cfg_(std::move(cfg)), link_(std::move(link)) {
    start();
}

#if QL5_EMULATOR_HAS_VIRTUAL_DEVICE
VirtualUnit::VirtualUnit(UnitConfig cfg) : cfg_(std::move(cfg)) {
    device_ = mm::virt::VirtualDevice::create(cfg_.inputName, cfg_.outputName);
    link_ = std::make_shared<VirtualDeviceLink>(device_);
    start();
}
#endif

void VirtualUnit::start() {
    transcript_ =
        std::make_shared<Transcript>(cfg_.transcriptBytesPerEntry, cfg_.transcriptMaxEntries);
    inbox_ = std::make_shared<Inbox>();
    inbox_->transcript = transcript_;
    faults_ = cfg_.faults;
    updateMode_ = cfg_.updateMode;

    if (cfg_.patternFill) flash_.fillPattern(cfg_.patternSeed);
    const auto pokeStamp = [this](std::uint32_t address, const std::string& s) {
        const std::string v = stamp4(s);
        flash_.poke(address, std::span(reinterpret_cast<const std::uint8_t*>(v.data()), 4));
    };
    pokeStamp(kSystemStampAddress, cfg_.systemStamp);
    pokeStamp(kPresetStampAddress, cfg_.presetStamp);
    pokeStamp(kBootStampAddress, cfg_.bootStamp);

    link_->setLinkRate(cfg_.timing.linkBytesPerSecond);
    std::weak_ptr<Inbox> weak = inbox_;
    link_->setReceiver([weak](const std::uint8_t* bytes, std::size_t count) {
        const std::shared_ptr<Inbox> inbox = weak.lock();
        if (!inbox || bytes == nullptr) return;
        inbox->transcript->add(Direction::HostToUnit, bytes, count);
        {
            std::lock_guard lock(inbox->mutex);
            if (inbox->stop) return;
            inbox->jobs.push_back(
                {Job::Type::HostMessage, Bytes(bytes, bytes + count), inbox->generation});
        }
        inbox->cv.notify_all();
    });
    thread_ = std::thread([this] { run(); });
    if (cfg_.plugOnStart) plug();
}

VirtualUnit::~VirtualUnit() {
    link_->detach();
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->stop = true;
        inbox_->jobs.clear();
    }
    inbox_->cv.notify_all();
    if (thread_.joinable()) thread_.join();
    if (link_->plugged()) link_->unplug();
}

// ---------------------------------------------------------------- plugging

std::uint64_t VirtualUnit::generation() const {
    std::lock_guard lock(inbox_->mutex);
    return inbox_->generation;
}

void VirtualUnit::doPlug(std::string why) {
    {
        std::unique_lock lock(inbox_->mutex);
        ++inbox_->generation;
        // A message checked against the old generation may still be going
        // into the link; once plugged, the link would carry it to the host.
        inbox_->cv.wait(lock, [this] { return inbox_->sending == 0; });
    }
    inbox_->cv.notify_all();
    {
        std::lock_guard lock(stateMutex_);
        session_ = false;
        muted_ = false;  // a power cycle revives a hung unit
    }
    link_->plug();
    transcript_->addEvent(std::move(why));
    stateCv_.notify_all();
}

void VirtualUnit::doUnplug(std::string why) {
    {
        std::lock_guard lock(inbox_->mutex);
        ++inbox_->generation;
        // Whatever the host sent and the unit had not handled yet is lost
        // with the power; sends the unit itself queued go too.
        inbox_->jobs.clear();
    }
    inbox_->cv.notify_all();
    {
        std::lock_guard lock(stateMutex_);
        session_ = false;
    }
    link_->unplug();
    transcript_->addEvent(std::move(why));
    stateCv_.notify_all();
}

void VirtualUnit::plug() { doPlug("plugged"); }
void VirtualUnit::unplug() { doUnplug("unplugged"); }
bool VirtualUnit::plugged() const { return link_->plugged(); }

bool VirtualUnit::waitPlugged(bool state, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(stateMutex_);
    while (link_->plugged() != state) {
        if (stateCv_.wait_until(lock, std::min(deadline, Clock::now() + 5ms)) ==
                std::cv_status::timeout &&
            Clock::now() >= deadline) {
            return link_->plugged() == state;
        }
    }
    return true;
}

// ---------------------------------------------------------------- settings

void VirtualUnit::setFaults(FaultScript script) {
    std::lock_guard lock(stateMutex_);
    faults_ = std::move(script);
}

bool VirtualUnit::setFaults(std::string_view text, std::string* error) {
    std::optional<FaultScript> s = emulator::parseFaultScript(text, error);
    if (!s) return false;
    setFaults(std::move(*s));
    return true;
}

void VirtualUnit::setUpdateMode(bool on) {
    std::lock_guard lock(stateMutex_);
    updateMode_ = on;
}

bool VirtualUnit::updateSessionOpen() const {
    std::lock_guard lock(stateMutex_);
    return session_;
}

Counters VirtualUnit::counters() const {
    std::lock_guard lock(stateMutex_);
    return counters_;
}

void VirtualUnit::clearCounters() {
    std::lock_guard lock(stateMutex_);
    counters_ = Counters{};
}

std::chrono::nanoseconds VirtualUnit::modeledTime() const {
    return std::chrono::nanoseconds(modeledNs_.load());
}

void VirtualUnit::addLinkTime(std::size_t bytes) {
    if (cfg_.timing.linkBytesPerSecond <= 0) return;
    modeledNs_ += static_cast<std::int64_t>(static_cast<double>(bytes) * 1e9 /
                                            cfg_.timing.linkBytesPerSecond);
}

// ---------------------------------------------------------------- waiting

bool VirtualUnit::waitIdle(std::chrono::milliseconds timeout) {
    {
        std::unique_lock lock(inbox_->mutex);
        if (!inbox_->cv.wait_for(lock, timeout,
                                 [this] { return inbox_->jobs.empty() && !inbox_->busy; })) {
            return false;
        }
    }
    link_->flush();
    return true;
}

bool VirtualUnit::waitForRequests(RequestKind kind, std::uint64_t n,
                                  std::chrono::milliseconds timeout) {
    std::unique_lock lock(stateMutex_);
    return stateCv_.wait_for(lock, timeout,
                             [&] { return counters_.requests[kindIndex(kind)] >= n; });
}

bool VirtualUnit::sleepFor(std::chrono::nanoseconds d, std::uint64_t gen) {
    std::unique_lock lock(inbox_->mutex);
    const auto deadline = Clock::now() + d;
    inbox_->cv.wait_until(lock, deadline,
                          [&] { return inbox_->stop || inbox_->generation != gen; });
    return !inbox_->stop && inbox_->generation == gen;
}

// ---------------------------------------------------------------- the thread

void VirtualUnit::enqueue(Job job) {
    {
        std::lock_guard lock(inbox_->mutex);
        if (inbox_->stop) return;
        job.generation = inbox_->generation;
        inbox_->jobs.push_back(std::move(job));
    }
    inbox_->cv.notify_all();
}

void VirtualUnit::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(inbox_->mutex);
            inbox_->cv.wait(lock, [this] { return inbox_->stop || !inbox_->jobs.empty(); });
            if (inbox_->stop) return;
            job = std::move(inbox_->jobs.front());
            inbox_->jobs.pop_front();
            inbox_->busy = true;
        }
        handle(job);
        {
            std::lock_guard lock(inbox_->mutex);
            inbox_->busy = false;
        }
        inbox_->cv.notify_all();
    }
}

void VirtualUnit::handle(const Job& job) {
    if (job.generation != generation()) return;  // queued before a plug/unplug
    switch (job.type) {
        case Job::Type::HostMessage:
            handleHostMessage(job.bytes, job.generation);
            break;
        case Job::Type::Send:
            onWire(job.generation, [&] { transmit(job.bytes, "unsolicited"); });
            break;
        case Job::Type::LongError:
            onWire(job.generation, [&] {
                link_->sendLongError();
                transcript_->addEvent("long error (MIM_LONGERROR) reported");
            });
            break;
    }
}

bool VirtualUnit::onWire(std::uint64_t gen, const std::function<void()>& put) {
    {
        std::lock_guard lock(inbox_->mutex);
        if (inbox_->generation != gen) return false;  // unplugged meanwhile
        ++inbox_->sending;
    }
    put();
    {
        std::lock_guard lock(inbox_->mutex);
        --inbox_->sending;
    }
    inbox_->cv.notify_all();
    return true;
}

void VirtualUnit::transmit(const Bytes& bytes, std::string note) {
    if (!link_->plugged()) {
        transcript_->addEvent("send lost, unplugged: " + note);
        return;
    }
    // Counted and recorded before the link can deliver, so whoever reacts
    // to the message already finds it accounted for.
    {
        std::lock_guard lock(stateMutex_);
        ++counters_.repliesSent;
    }
    transcript_->add(Direction::UnitToHost, bytes.data(), bytes.size(), std::move(note));
    addLinkTime(bytes.size());
    link_->send(bytes.data(), bytes.size());
}

void VirtualUnit::handleHostMessage(const Bytes& msg, std::uint64_t gen) {
    const MessageKind mk = classify(msg);
    addLinkTime(msg.size());
    const std::optional<RequestKind> rk = requestKindOf(mk);
    if (!rk) {
        std::lock_guard lock(stateMutex_);
        if (mk == MessageKind::Result) {
            ++counters_.hostResults;
        } else if (mk == MessageKind::IdentityReply) {
            ++counters_.hostIdentityReplies;
        } else {
            ++counters_.ignoredMessages;
        }
        return;
    }

    // Count the request and collect the faults that apply to it.
    std::vector<FaultAction> actions;
    bool muted = false;
    std::uint64_t kindOrdinal = 0;
    {
        std::lock_guard lock(stateMutex_);
        kindOrdinal = ++counters_.requests[kindIndex(*rk)];
        const std::uint64_t anyOrdinal = ++counters_.requests[kindIndex(RequestKind::Any)];
        for (const FaultRule& rule : faults_.rules) {
            if (rule.matches(*rk, kindOrdinal, anyOrdinal)) {
                actions.insert(actions.end(), rule.actions.begin(), rule.actions.end());
            }
        }
        if (!actions.empty()) ++counters_.faultsApplied;
        for (const FaultAction& a : actions) {
            if (a.type == FaultAction::Type::Mute) muted_ = true;
        }
        muted = muted_;
    }
    stateCv_.notify_all();

    using T = FaultAction::Type;
    const auto has = [&actions](T t) {
        return std::any_of(actions.begin(), actions.end(),
                           [t](const FaultAction& a) { return a.type == t; });
    };
    const auto find = [&actions](T t) -> const FaultAction* {
        for (const FaultAction& a : actions) {
            if (a.type == t) return &a;
        }
        return nullptr;
    };
    const std::string kindText(requestKindName(*rk));
    if (!actions.empty()) {
        // "write#3:drop,late=200ms": the rule text of what applies here.
        FaultRule applied{*rk, kindOrdinal, kindOrdinal, actions};
        transcript_->addEvent("faults for " + formatFaultScript(FaultScript{{applied}}));
    }

    if (muted) {
        transcript_->addEvent("fault: unit mute, " + kindText + " not answered");
        return;
    }
    const FaultAction* vanish = find(T::Vanish);
    if (vanish != nullptr && vanish->placement == Placement::Before) {
        doUnplug("fault: vanished before answering " + kindText);
        return;
    }
    if (has(T::Ignore)) {
        transcript_->addEvent("fault: " + kindText + " ignored");
        return;
    }

    bool finished = false;
    std::chrono::nanoseconds busy{0};
    std::vector<Reply> replies;
    const FaultAction* shortReads = *rk == RequestKind::Read ? find(T::Short) : nullptr;
    std::optional<ReadRequest> asked;
    if (shortReads != nullptr) {
        std::uint8_t ignored = 0;
        asked = parseReadMemory(msg, ignored);
    }
    if (const FaultAction* code = find(T::Code)) {
        replies.push_back({buildResult(model(), static_cast<std::uint8_t>(code->value)), false});
    } else if (asked && asked->length > shortReads->value) {
        replies.push_back({buildResult(model(), kResultMalformed), false});
    } else {
        replies = carryOut(*rk, msg, has(T::Lie), has(T::Flip), gen, finished, busy);
    }
    if (generation() != gen) return;  // unplugged while it was being carried out

    busy += fromMs(cfg_.timing.replyLatencyMs);
    modeledNs_ += busy.count();
    if (busy.count() > 0 && !sleepFor(busy, gen)) return;
    if (const FaultAction* late = find(T::Late)) {
        if (!sleepFor(std::chrono::milliseconds(late->value), gen)) return;
    }

    // Shape what goes on the wire.
    std::vector<std::pair<Bytes, std::string>> wire;
    const Bytes foreignSysEx{0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};
    const Bytes realTime{0xF8, 0xFE};
    for (const FaultAction& a : actions) {
        if (a.type == T::Foreign && a.placement == Placement::Before)
            wire.emplace_back(foreignSysEx, "fault: foreign sysex");
        if (a.type == T::RealTime && a.placement == Placement::Before)
            wire.emplace_back(realTime, "fault: real-time bytes");
    }
    const bool drop = has(T::Drop);
    const bool longError = has(T::LongError);
    Bytes lateCopy;
    for (Reply& r : replies) {
        Bytes b = std::move(r.bytes);
        std::string note;
        if (r.isReadReply && has(T::BadCrc) && b.size() >= 6) {
            b[b.size() - 6] ^= 0x01;  // first CRC septet
            note = "fault: bad crc";
        }
        if (has(T::Malformed)) {
            b = r.isReadReply ? overclaimingReadReply(b) : Bytes{0xF0, kMakerId, 0x00, 0xF7};
            note = "fault: malformed";
        }
        if (const FaultAction* t = find(T::Truncate)) {
            const std::size_t keep = t->value != 0 ? t->value : b.size() / 2;
            if (keep < b.size()) {
                b.resize(keep);
                b.push_back(0xF7);
            }
            note = "fault: truncated";
        }
        if (has(T::NoF7) && !b.empty() && b.back() == 0xF7) {
            b.pop_back();
            note = "fault: no F7";
        }
        if (drop) {
            transcript_->addEvent("fault: reply to " + kindText + " dropped");
            continue;
        }
        if (longError) {
            // The platform saw a broken SysEx where the reply should be.
            // The error stands where the reply would have been sent: after an
            // unplug nothing more of this request is said or noted.
            if (!onWire(gen, [&] {
                    if (link_->plugged()) link_->sendLongError();
                })) {
                return;
            }
            transcript_->addEvent("fault: long error instead of the reply to " + kindText);
            continue;
        }
        const FaultAction* rt = find(T::RealTime);
        if (rt != nullptr && rt->placement == Placement::Inside && b.size() > 2) {
            b.insert(b.begin() + static_cast<std::ptrdiff_t>(b.size() / 2), realTime.begin(),
                     realTime.end());
            note = "fault: real-time inside";
        }
        const FaultAction* twice = find(T::Twice);
        wire.emplace_back(b, note);
        if (twice != nullptr && twice->value == 0) wire.emplace_back(b, "fault: twice");
        if (twice != nullptr && twice->value != 0) lateCopy = b;
    }
    for (const FaultAction& a : actions) {
        if (a.type == T::Foreign && a.placement == Placement::After)
            wire.emplace_back(foreignSysEx, "fault: foreign sysex");
        if (a.type == T::RealTime && a.placement == Placement::After)
            wire.emplace_back(realTime, "fault: real-time bytes");
    }
    for (auto& piece : wire) {
        if (!onWire(gen, [&] { transmit(piece.first, std::move(piece.second)); })) return;
    }
    if (!lateCopy.empty()) {
        // The unit's thread sleeps: requests that arrive meanwhile are
        // carried out after the copy went, as on a unit that repeats itself.
        link_->flush();
        if (!sleepFor(std::chrono::milliseconds(find(T::Twice)->value), gen)) return;
        onWire(gen, [&] { transmit(lateCopy, "fault: twice, late"); });
    }

    if (vanish != nullptr) {
        link_->flush();
        doUnplug("fault: vanished after answering " + kindText);
        if (cfg_.replugAfterMs > 0) {
            const std::uint64_t g = generation();
            if (sleepFor(std::chrono::milliseconds(cfg_.replugAfterMs), g)) doPlug("replugged");
        }
        return;
    }
    if (finished) {
        // The user unplugs the unit once the finish reply reached the host.
        link_->flush();
        if (cfg_.unplugAfterFinishMs > 0 &&
            !sleepFor(std::chrono::milliseconds(cfg_.unplugAfterFinishMs), gen)) {
            return;  // plugged or unplugged by hand meanwhile
        }
        doUnplug("unplugged after finish");
        if (cfg_.replugAfterMs > 0) {
            const std::uint64_t g = generation();
            if (sleepFor(std::chrono::milliseconds(cfg_.replugAfterMs), g)) {
                doPlug("replugged after finish");
            }
        }
    }
}

std::vector<VirtualUnit::Reply> VirtualUnit::carryOut(RequestKind kind, const Bytes& msg, bool lie,
                                                      bool flip, std::uint64_t gen, bool& finished,
                                                      std::chrono::nanoseconds& busy) {
    std::vector<Reply> out;
    // A request whose unit was unplugged (or replugged) since it arrived was
    // lost with the power; the session checks below repeat this under the
    // state lock, so an unplug racing them always wins.
    if (generation() != gen) return out;
    const auto result = [this, &out](std::uint8_t code) {
        out.push_back({buildResult(model(), code), false});
    };
    const TimingProfile& t = cfg_.timing;
    switch (kind) {
        case RequestKind::Identity:
            out.push_back({buildIdentityReply(cfg_.identity, cfg_.revision), false});
            break;
        case RequestKind::Begin: {
            std::lock_guard lock(stateMutex_);
            if (generation() != gen) break;
            if (updateMode_) {
                session_ = true;
                out.push_back({buildResult(model(), kResultOk), false});
            } else {
                out.push_back({buildResult(model(), kResultNotInUpdateMode), false});
            }
            break;
        }
        case RequestKind::Finish: {
            std::lock_guard lock(stateMutex_);
            if (generation() != gen) break;
            finished = session_;
            session_ = false;
            out.push_back({buildResult(model(), kResultOk), false});
            break;
        }
        case RequestKind::Erase: {
            if (!updateSessionOpen()) {
                result(kResultNotUpdating);
                break;
            }
            std::uint8_t code = 0;
            const std::optional<EraseRequest> r = parseErase(msg, code);
            if (r && !lie) {
                std::lock_guard lock(flashMutex_);
                flash_.erase(r->address, r->size);
            }
            if (r) {
                const std::uint64_t blocks =
                    (static_cast<std::uint64_t>(r->size) + 0xFFFF) / 0x10000;
                busy += fromMs(t.eraseMsPer64KiB * static_cast<double>(blocks));
            }
            result(code);
            break;
        }
        case RequestKind::Write: {
            if (!updateSessionOpen()) {
                result(kResultNotUpdating);
                break;
            }
            std::uint8_t code = 0;
            std::optional<WriteRequest> r = parseWriteBlock(msg, code);
            if (r && flip) {
                // A bit stuck at 0: the first set bit of the block is lost.
                for (std::uint8_t& b : r->data) {
                    if (b != 0) {
                        b = static_cast<std::uint8_t>(b & (b - 1));
                        break;
                    }
                }
            }
            if (r && !lie) {
                std::lock_guard lock(flashMutex_);
                flash_.program(r->address, r->data);
            }
            if (r && !r->data.empty()) {
                const std::uint64_t firstPage = r->address / 256;
                const std::uint64_t lastPage =
                    (static_cast<std::uint64_t>(r->address) + r->data.size() - 1) / 256;
                busy += fromMs(t.programMsPerPage * static_cast<double>(lastPage - firstPage + 1));
            }
            result(code);
            break;
        }
        case RequestKind::Read: {
            std::uint8_t code = 0;
            const std::optional<ReadRequest> r = parseReadMemory(msg, code);
            if (!r) {
                result(code);
                break;
            }
            std::uint32_t done = 0;
            do {
                const std::uint32_t n = std::min(kMaxReadReplyBytes, r->length - done);
                Bytes chunk(n);
                {
                    std::lock_guard lock(flashMutex_);
                    flash_.read(r->address + done, chunk);
                }
                out.push_back({buildReadReply(model(), chunk), true});
                done += n;
            } while (done < r->length);
            break;
        }
        case RequestKind::Other:
        case RequestKind::Any:
            result(kResultUnknownCommand);
            break;
    }
    return out;
}

// ---------------------------------------------------------------- unsolicited

void VirtualUnit::sendIdentityRequest() { enqueue({Job::Type::Send, buildIdentityRequest(), 0}); }

void VirtualUnit::sendMakerCommand(std::uint8_t command, std::span<const std::uint8_t> payload) {
    enqueue({Job::Type::Send, buildMakerCommand(model(), command, payload), 0});
}

void VirtualUnit::sendRaw(std::span<const std::uint8_t> bytes) {
    enqueue({Job::Type::Send, Bytes(bytes.begin(), bytes.end()), 0});
}

void VirtualUnit::sendLongError() { enqueue({Job::Type::LongError, {}, 0}); }

// ---------------------------------------------------------------- flash and checks

Bytes VirtualUnit::readFlash(std::uint32_t address, std::uint32_t length) const {
    const std::uint64_t end =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(address) + length, kFlashSize);
    if (address >= kFlashSize) return {};
    Bytes out(static_cast<std::size_t>(end - address));
    std::lock_guard lock(flashMutex_);
    flash_.read(address, out);
    return out;
}

bool VirtualUnit::pokeFlash(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(flashMutex_);
    return flash_.poke(address, bytes);
}

Stamps VirtualUnit::stamps() const {
    const auto text = [this](std::uint32_t a) {
        const Bytes b = readFlash(a, 4);
        return std::string(b.begin(), b.end());
    };
    return {text(kSystemStampAddress), text(kPresetStampAddress), text(kBootStampAddress)};
}

std::vector<FlashOp> VirtualUnit::flashLog() const {
    std::lock_guard lock(flashMutex_);
    return flash_.log();
}

void VirtualUnit::clearFlashLog() {
    std::lock_guard lock(flashMutex_);
    flash_.clearLog();
}

bool VirtualUnit::regionEquals(std::uint32_t address, std::span<const std::uint8_t> image) const {
    if (static_cast<std::uint64_t>(address) + image.size() > kFlashSize) return false;
    std::lock_guard lock(flashMutex_);
    const auto mem = flash_.bytes().subspan(address, image.size());
    return std::equal(mem.begin(), mem.end(), image.begin());
}

std::vector<std::uint32_t> VirtualUnit::differingBlocks(std::uint32_t address,
                                                        std::span<const std::uint8_t> image) const {
    std::vector<std::uint32_t> out;
    std::lock_guard lock(flashMutex_);
    const auto mem = flash_.bytes();
    for (std::size_t off = 0; off < image.size(); off += kCheckBlockSize) {
        const std::size_t n = std::min<std::size_t>(kCheckBlockSize, image.size() - off);
        const std::uint64_t at = static_cast<std::uint64_t>(address) + off;
        if (at + n > kFlashSize) {
            out.push_back(static_cast<std::uint32_t>(at));
            continue;
        }
        if (!std::equal(image.begin() + static_cast<std::ptrdiff_t>(off),
                        image.begin() + static_cast<std::ptrdiff_t>(off + n),
                        mem.begin() + static_cast<std::ptrdiff_t>(at))) {
            out.push_back(static_cast<std::uint32_t>(at));
        }
    }
    return out;
}

std::vector<ByteRange> VirtualUnit::writtenOutsideRegions() const {
    std::lock_guard lock(flashMutex_);
    return flash_.writtenOutsideRegions();
}

std::vector<ByteRange> VirtualUnit::erasedOutsideRegions() const {
    std::lock_guard lock(flashMutex_);
    return flash_.erasedOutsideRegions();
}

bool VirtualUnit::touchedOutsideRegions() const {
    return !writtenOutsideRegions().empty() || !erasedOutsideRegions().empty();
}

std::vector<FlashOp> VirtualUnit::writesOverUnerased() const {
    std::lock_guard lock(flashMutex_);
    return flash_.writesOverUnerased();
}

bool VirtualUnit::touched(std::uint32_t address, std::uint32_t length) const {
    const std::uint64_t end = static_cast<std::uint64_t>(address) + length;
    std::lock_guard lock(flashMutex_);
    for (const FlashOp& op : flash_.log()) {
        const std::uint64_t opEnd = static_cast<std::uint64_t>(op.address) + op.length;
        if (op.length > 0 && op.address < end && opEnd > address) return true;
    }
    return false;
}

}  // namespace ql5::emulator
