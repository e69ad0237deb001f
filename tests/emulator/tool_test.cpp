// The standalone program, run as a child process over FIFOs: once spoken to
// byte by byte, and once through the platform's raw byte-stream driver and
// the multimedia API, as the updater would reach it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mm_host.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/raw_stream_driver.hpp"
#include "unit_harness.hpp"

extern char** environ;

namespace ql5::emulator::testing {
namespace {

namespace fs = std::filesystem;

class Tool : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ql5-emulator-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        toUnit = dir / "to-unit";
        toHost = dir / "to-host";
        log = dir / "out.txt";
    }
    void TearDown() override {
        stop();
        if (hostFd >= 0) ::close(hostFd);
        fs::remove_all(dir);
    }

    // Starts the program with the given options after --stream; true once
    // both FIFOs exist.
    bool start(std::vector<std::string> extra) {
        std::vector<std::string> args{QL5_EMULATOR_TOOL, "--stream", toUnit.string(),
                                      toHost.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        pid = run(args);
        for (int i = 0; i < 500; ++i) {
            if (fs::exists(toUnit) && fs::exists(toHost)) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    pid_t run(const std::vector<std::string>& args) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t child = -1;
        if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0) child = -1;
        posix_spawn_file_actions_destroy(&actions);
        return child;
    }

    int wait(pid_t child) {
        int status = 0;
        for (int i = 0; i < 500; ++i) {
            if (::waitpid(child, &status, WNOHANG) == child) {
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        return -1;
    }

    int stop() {
        if (pid <= 0) return -1;
        ::kill(pid, SIGTERM);
        const int rc = wait(pid);
        pid = -1;
        return rc;
    }

    std::string output() const {
        std::ifstream in(log);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    void hostWrite(const Bytes& b) {
        const int fd = ::open(toUnit.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
        ::close(fd);
    }

    Bytes hostRead(std::size_t n, std::chrono::milliseconds timeout = 2000ms) {
        if (hostFd < 0) hostFd = ::open(toHost.c_str(), O_RDONLY | O_NONBLOCK);
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p{hostFd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            std::uint8_t buf[256];
            const ssize_t r = ::read(hostFd, buf, std::min(sizeof buf, n - out.size()));
            if (r > 0) out.insert(out.end(), buf, buf + r);
        }
        return out;
    }

    fs::path dir, toUnit, toHost, log;
    pid_t pid = -1;
    int hostFd = -1;
};

TEST_F(Tool, AnswersOverFifosAndPrintsOneLinePerMessage) {
    ASSERT_TRUE(start({"--system", "1.20", "--fault", "identity#2:code=9"}));
    hostRead(0, 0ms);  // open the reading end before anything is sent
    hostWrite(kIdentityRequest);
    EXPECT_EQ(hostRead(15), (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x6E, 0x00, 0x10, 0x00, 0x31,
                                   0x30, 0x30, 0x30, 0xF7}));
    hostWrite(kIdentityRequest);
    EXPECT_EQ(hostRead(7), result(9));
    hostWrite(readCmd(0x110FE0, 4));
    EXPECT_EQ(hostRead(22),
              (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x60, 0x04, 0x30, 0x00, 0x00, 0x04, 0x00,
                     0x00, 0x31, 0x2E, 0x32, 0x30, 0x10, 0x60, 0x5A, 0x7A, 0x06, 0xF7}));
    EXPECT_EQ(stop(), 0);
    const std::string out = output();
    EXPECT_NE(out.find("host>unit  identity-request      6 B  F0 7E 00 06 01 F7"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("unit>host  result                7 B  F0 52 00 6E 00 09 F7"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("faults: identity#2:code=9"), std::string::npos) << out;
    // FIFOs the program made are gone with it.
    EXPECT_FALSE(fs::exists(toUnit));
    EXPECT_FALSE(fs::exists(toHost));
}

TEST_F(Tool, RejectsABadFaultScriptWithItsPosition) {
    const pid_t child = run({QL5_EMULATOR_TOOL, "--stream", toUnit.string(), toHost.string(),
                             "--fault", "write#3:explode"});
    ASSERT_GT(child, 0);
    EXPECT_EQ(wait(child), 2);
    EXPECT_NE(output().find("--fault: at 8: unknown action 'explode'"), std::string::npos)
        << output();
    EXPECT_FALSE(fs::exists(toUnit));
}

TEST_F(Tool, RejectsBadArguments) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{QL5_EMULATOR_TOOL},
          {QL5_EMULATOR_TOOL, "--stream", "only-one"},
          {QL5_EMULATOR_TOOL, "--bogus"},
          {QL5_EMULATOR_TOOL, "--stream", "a", "b", "--identity", "6E00"},
          {QL5_EMULATOR_TOOL, "--stream", "a", "b", "--replug-after", "soon"}}) {
        const pid_t child = run(args);
        ASSERT_GT(child, 0);
        EXPECT_EQ(wait(child), 2) << args.back();
    }
}

TEST_F(Tool, NormalModeThroughTheRawStreamDriver) {
    ASSERT_TRUE(start({"--unplug-after-finish", "0", "--normal-mode"}));
    // The host side: the platform's byte-stream driver on the same FIFOs.
    mm::setDrivers({mm::rawStreamDriver("Tarvik QL-5 MIDI 1", toHost.string(), toUnit.string())});
    MmHost host;
    ASSERT_TRUE(host.open("Tarvik QL-5 MIDI 1"));
    ASSERT_TRUE(host.send(kIdentityRequest));
    EXPECT_EQ(host.nextSysEx(2000ms)->size(), 15U);
    ASSERT_TRUE(host.send(kBeginUpdate));
    EXPECT_EQ(host.nextSysEx(2000ms), result(11));  // --normal-mode
    ASSERT_TRUE(host.send(kFinish));
    EXPECT_EQ(host.nextSysEx(2000ms), result(0));
    // No session was open, so the unit stays: the ports are still listed.
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(MmHost::listed("Tarvik QL-5 MIDI 1"));
    host.close();
    mm::setDrivers({});
    EXPECT_EQ(stop(), 0);
}

TEST_F(Tool, AfterFinishThePortsLeaveTheRawStreamDriversLists) {
    ASSERT_TRUE(start({"--unplug-after-finish", "0"}));
    mm::setDrivers({mm::rawStreamDriver("Tarvik QL-5 MIDI 1", toHost.string(), toUnit.string())});
    {
        MmHost host;
        ASSERT_TRUE(host.open("Tarvik QL-5 MIDI 1"));
        ASSERT_TRUE(host.send(kBeginUpdate));
        EXPECT_EQ(host.nextSysEx(2000ms), result(0));
        ASSERT_TRUE(host.send(eraseCmd(0x110000, 0x1000)));
        EXPECT_EQ(host.nextSysEx(2000ms), result(0));
        ASSERT_TRUE(host.send(writeCmd(0x110000, pattern(4096, 4))));
        EXPECT_EQ(host.nextSysEx(2000ms), result(0));
        ASSERT_TRUE(host.send(kFinish));
        EXPECT_EQ(host.nextSysEx(2000ms), result(0));
        bool gone = false;
        for (int i = 0; i < 200 && !gone; ++i) {
            gone = !MmHost::listed("Tarvik QL-5 MIDI 1");
            if (!gone) std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(gone);
    }
    mm::setDrivers({});
    EXPECT_EQ(stop(), 0);
}

TEST_F(Tool, FinishInsideASessionRemovesTheFifos) {
    ASSERT_TRUE(start({"--unplug-after-finish", "0"}));
    hostRead(0, 0ms);
    hostWrite(kBeginUpdate);
    EXPECT_EQ(hostRead(7), result(0));
    hostWrite(kFinish);
    EXPECT_EQ(hostRead(7), result(0));
    for (int i = 0; i < 200 && fs::exists(toUnit); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(fs::exists(toUnit));
    EXPECT_FALSE(fs::exists(toHost));
    EXPECT_EQ(stop(), 0);
    EXPECT_NE(output().find("unplugged after finish"), std::string::npos) << output();
}

}  // namespace
}  // namespace ql5::emulator::testing

namespace ql5::emulator::testing {
namespace {

// Only where a sequencer exists (a desktop, not a container): the program
// must come up as a client whose ports carry the unit's name.
TEST(ToolAlsa, AppearsAsASequencerClientNamedLikeTheUnit) {
    if (::access("/dev/snd/seq", R_OK | W_OK) != 0) GTEST_SKIP() << "no ALSA sequencer here";
    char tmpl[] = "/tmp/ql5-emulator-alsa-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string log = std::string(tmpl) + "/out.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    char* argv[] = {const_cast<char*>(QL5_EMULATOR_TOOL), const_cast<char*>("--alsa"), nullptr};
    pid_t child = -1;
    ASSERT_EQ(posix_spawn(&child, argv[0], &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    std::string out;
    for (int i = 0; i < 300 && out.find("ALSA sequencer client") == std::string::npos; ++i) {
        std::this_thread::sleep_for(10ms);
        std::ifstream in(log);
        std::stringstream s;
        s << in.rdbuf();
        out = s.str();
    }
    ::kill(child, SIGTERM);
    int status = 0;
    ::waitpid(child, &status, 0);
    fs::remove_all(tmpl);
    EXPECT_NE(out.find("ql5-emulator: Tarvik QL-5 MIDI 1, ALSA sequencer client, in "),
              std::string::npos)
        << out;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace ql5::emulator::testing
