// The emulator's rawmidi link: how it finds a card's node by the card's id,
// and how it keeps serving when the node goes away and comes back (a USB
// gadget unbound and bound again). A pseudo-terminal stands in for the
// node: closing its master side makes reads of the slave fail as a removed
// card's do, and the next one has another path, as a new card number would.
#include "rawmidi_link.hpp"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ql5::emulator::tool {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(RawMidiNode, ACardIdIsFoundThroughProcAsoundAndAPathStaysAsItIs) {
    const fs::path dir = fs::temp_directory_path() / ("ql5-rawmidi-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::create_directory_symlink("card2", dir / "QL5GadgetA");
    fs::create_directory_symlink("card12", dir / "Other");
    fs::create_directory_symlink("cardX", dir / "Broken");
    fs::create_directory_symlink("something", dir / "NotACard");
    const std::string proc = dir.string();
    struct Case {
        const char* given;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"QL5GadgetA", "/dev/snd/midiC2D0"},
        {"Other", "/dev/snd/midiC12D0"},
        {"/dev/snd/midiC5D0", "/dev/snd/midiC5D0"},
        {"Missing", ""},
        {"Broken", ""},
        {"NotACard", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(resolveRawMidiNode(c.given, proc, "/dev/snd"), c.expected) << c.given;
    }
    fs::remove_all(dir);
}

// One pseudo-terminal in raw mode: the test writes and reads the master,
// the link opens the slave by its path.
struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return;
        slave = ::ptsname(master);
        termios t{};
        ::tcgetattr(master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master, TCSANOW, &t);
    }
    ~Pty() { close(); }
    void close() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    bool write(const std::vector<std::uint8_t>& bytes) const {
        return ::write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    std::vector<std::uint8_t> read(std::size_t count, std::chrono::milliseconds limit) const {
        std::vector<std::uint8_t> got;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            std::uint8_t buf[256];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
};

class Received {
  public:
    void add(const std::uint8_t* m, std::size_t n) {
        std::lock_guard lock(mutex_);
        messages_.emplace_back(m, m + n);
        changed_.notify_all();
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return messages_.size() >= count; });
    }
    std::vector<std::vector<std::uint8_t>> all() {
        std::lock_guard lock(mutex_);
        return messages_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<std::uint8_t>> messages_;
};

template <typename F>
bool eventually(F f, std::chrono::milliseconds limit = 3s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!f()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(RawMidiLinkTest, ServesTheNodeAndOpensItAgainWhenItComesBackElsewhere) {
    auto first = std::make_unique<Pty>();
    ASSERT_FALSE(first->slave.empty());
    std::mutex pathMutex;
    std::string path = first->slave;
    RawMidiLink link([&] {
        std::lock_guard lock(pathMutex);
        return path;
    });
    Received received;
    link.setReceiver([&](const std::uint8_t* m, std::size_t n) { received.add(m, n); });
    link.plug();
    ASSERT_TRUE(link.connected()) << link.error();
    EXPECT_EQ(link.opens(), 1);
    EXPECT_EQ(link.kernelBuffer(), 0U);  // not a rawmidi node: nothing to set

    const std::vector<std::uint8_t> request = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    const std::vector<std::uint8_t> reply = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0xF7};
    ASSERT_TRUE(first->write(request));
    ASSERT_TRUE(received.waitFor(1, 3s));
    ASSERT_TRUE(link.send(reply.data(), reply.size()));
    EXPECT_EQ(first->read(reply.size(), 3s), reply);

    // The node goes away: half a message was on its way, and is dropped.
    ASSERT_TRUE(first->write({0xF0, 0x7E, 0x7F}));
    std::this_thread::sleep_for(50ms);
    first->close();
    EXPECT_TRUE(eventually([&] { return !link.connected(); }));
    EXPECT_FALSE(link.send(reply.data(), reply.size()));
    EXPECT_TRUE(link.plugged());  // the unit stays as it is

    // It comes back under another path.
    auto second = std::make_unique<Pty>();
    ASSERT_FALSE(second->slave.empty());
    {
        std::lock_guard lock(pathMutex);
        path = second->slave;
    }
    ASSERT_TRUE(eventually([&] { return link.connected(); })) << link.error();
    EXPECT_EQ(link.opens(), 2);
    ASSERT_TRUE(second->write(request));
    ASSERT_TRUE(received.waitFor(2, 3s));
    ASSERT_TRUE(link.send(reply.data(), reply.size()));
    EXPECT_EQ(second->read(reply.size(), 3s), reply);
    const auto all = received.all();
    ASSERT_EQ(all.size(), 2U);
    EXPECT_EQ(all[0], request);
    EXPECT_EQ(all[1], request);  // not joined to the half message before the loss

    link.unplug();
    EXPECT_FALSE(link.connected());
}

TEST(RawMidiLinkTest, ANodeNotThereAtPlugIsWaitedFor) {
    std::mutex pathMutex;
    std::string path;  // not there yet
    RawMidiLink link([&] {
        std::lock_guard lock(pathMutex);
        return path;
    });
    link.plug();
    EXPECT_FALSE(link.connected());
    EXPECT_FALSE(link.error().empty());
    Pty pty;
    {
        std::lock_guard lock(pathMutex);
        path = pty.slave;
    }
    EXPECT_TRUE(eventually([&] { return link.connected(); }));
    link.unplug();
}

}  // namespace
}  // namespace ql5::emulator::tool
