// ql5 end to end against the virtual unit: the commands, their output, the
// exit codes, port choice, the trace, the image check and Ctrl-C.
#include <fcntl.h>
#include <gtest/gtest.h>
#ifdef _WIN32
#include <process.h>
#include <stdlib.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#ifdef _WIN32
// The Windows C runtime spells setenv _putenv_s.
inline int setenv(const char* name, const char* value, int /*overwrite*/) {
    return _putenv_s(name, value);
}
#endif

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/options.hpp"
#include "cli/ports.hpp"
#include "cli/run.hpp"
#include "platform/mm/timer_hooks.hpp"
#include "platform/mm/virtual_driver.hpp"

#ifndef _WIN32
extern char** environ;
#endif

namespace ql5::cli {
namespace {

struct Result {
    int code = -1;
    std::string out;
    std::string err;
};

std::string slurp(std::FILE* f) {
    std::rewind(f);
    std::string s;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        s.append(buf, n);
    }
    std::fclose(f);
    return s;
}

// ql5 in this process, with test time-outs.
Result ql5(std::vector<std::string> args) {
#ifdef _WIN32
    _putenv_s("QL5_TIMING", "test");
#else
    setenv("QL5_TIMING", "test", 1);
#endif
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    Result r;
    r.code = run(args, out, err);
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

// ql5 in this process with the programs' own time-outs: for runs that must
// succeed on a loaded machine.
Result ql5Production(std::vector<std::string> args) {
    setenv("QL5_TIMING", "production", 1);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    Result r;
    r.code = run(args, out, err);
    r.out = slurp(out);
    r.err = slurp(err);
    setenv("QL5_TIMING", "test", 1);
    return r;
}

std::string tempPath(const char* name) {
    return ::testing::TempDir() + "/" + name + std::to_string(::getpid());
}

TEST(Ql5Cli, HelpAndUsageErrors) {
    Result r = ql5({"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Exit codes:"), std::string::npos);
    // Each platform's help describes only what exists there.
#ifdef _WIN32
    const bool here = false;
#else
    const bool here = true;
#endif
    for (const char* posixOnly : {"client:port", "QL5_RAW_MIDI", "/dev/midi", "FIFO", "SIGTERM"}) {
        EXPECT_EQ(r.out.find(posixOnly) != std::string::npos, here) << posixOnly;
    }
    EXPECT_NE(r.out.find("Ctrl-C"), std::string::npos);
    EXPECT_EQ(ql5({}).code, kExitUsage);
    EXPECT_EQ(ql5({"flash"}).code, kExitUsage);
    EXPECT_EQ(ql5({"update", "--bogus"}).code, kExitUsage);
    EXPECT_EQ(ql5({"update", "--in"}).code, kExitUsage);
    r = ql5({"update", "--fault", "write#1:drop"});
    EXPECT_EQ(r.code, kExitUsage) << "faults only for the virtual unit";
    r = ql5({"update", "--virtual", "--fault", "write#x:drop"});
    EXPECT_EQ(r.code, kExitUsage);
    EXPECT_NE(r.err.find("--fault"), std::string::npos);
}

TEST(Ql5Cli, PortsMarksTheUnit) {
    const Result r = ql5({"ports", "--virtual"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("*  0  Tarvik QL-5 MIDI 1"), std::string::npos) << r.out;
}

// --in/--out: an index, an address, or a part of a name. Two ports whose
// names were cut alike are told apart by their addresses.
TEST(Ql5Cli, PortChoice) {
    const std::vector<std::string> names = {
        "Midi Through Port-0", "Bench Interface Long Port Name ", "Bench Interface Long Port Name ",
        "Tarvik QL-5 MIDI 1"};
    const std::vector<std::string> addresses = {"14:0", "28:0", "28:1", "32:0"};
    const std::vector<std::string> none(names.size());
    struct Case {
        const std::vector<std::string>* addresses;
        std::string wanted;
        int index;
        const char* error;
    };
    const Case cases[] = {
        {&addresses, "", 3, ""},
        {&addresses, "2", 2, ""},
        {&addresses, "28:1", 2, ""},
        {&addresses, "28:0", 1, ""},
        {&addresses, "Through", 0, ""},
        {&addresses, "9", -1, "there is no MIDI input port 9"},
        {&addresses, "28:9", -1, "no MIDI input port matches \"28:9\""},
        {&addresses, "Bench", -1,
         "more than one MIDI input port matches \"Bench\": 1 \"Bench Interface Long Port Name \" "
         "(28:0) 2 \"Bench Interface Long Port Name \" (28:1); give its index or address"},
        {&none, "14:0", -1, "no MIDI input port matches \"14:0\""},
    };
    for (const Case& c : cases) {
        const PortChoice got = choosePort(names, *c.addresses, c.wanted, "input");
        EXPECT_EQ(got.index, c.index) << c.wanted;
        EXPECT_EQ(got.error, c.error) << c.wanted;
        if (c.index >= 0) {
            EXPECT_EQ(got.name, names[static_cast<std::size_t>(c.index)]);
        }
    }
}

TEST(Ql5Cli, NoUnitAtAll) {
    const Result r = ql5({"version"});
    EXPECT_EQ(r.code, kExitNoUnit);
    EXPECT_NE(r.err.find("no MIDI"), std::string::npos);
}

TEST(Ql5Cli, VersionReport) {
    const Result r = ql5({"version", "--virtual"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "SYSTEM:\t\t1.10 -> 1.20\nPRESET:\t\t1.00\nBOOT:\t\t0.90 -> 1.00\n");
}

TEST(Ql5Cli, WholeUpdateThenVersionsOfTheNewFirmware) {
    const std::string flash = tempPath("flash");
    const std::string trace = tempPath("trace");
    // The documented time-outs: the message count below is a clean run's, and
    // a loaded machine must not turn a slow answer into a resend.
    Result r = ql5Production({"update", "--no-verify", "--virtual=" + flash, "--trace", trace});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Version update completed.\n");
    EXPECT_NE(r.err.find("[8/8] writing image 139 to 0x110000 (4096 bytes)"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("PLEASE UNPLUG THE USB CABLE AND TURN OFF THE POWER."), std::string::npos);
    r = ql5({"version", "--virtual=" + flash});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "SYSTEM:\t\t1.20 -> 1.20\nPRESET:\t\t1.00\nBOOT:\t\t0.90 -> 1.00\n");

    std::ifstream t(trace);
    std::string first;
    std::string second;
    std::getline(t, first);
    std::getline(t, second);
    EXPECT_NE(first.find(" -> F0 7E 00 06 01 F7"), std::string::npos) << first;
    EXPECT_NE(second.find(" <- F0 7E 00 06 02 52 6E 00 10 00 31 30 30 30 F7"), std::string::npos)
        << second;
    std::size_t lines = 2;
    for (std::string line; std::getline(t, line);) {
        ++lines;
    }
    // Identity, begin, 4 erases, 3,814 blocks, finish, and the 4-byte marker
    // read before each erase, after every 64 blocks of an image (2 + 56),
    // before the SYSTEM block and before the finish: each request and its
    // reply. With --no-verify a clean run reads nothing back.
    EXPECT_EQ(lines, 2U * (1 + 1 + 4 + 3814 + 1 + 4 + 58 + 2));
    std::remove(flash.c_str());
    std::remove(trace.c_str());
}

// ---- verify, and update --verify ----

TEST(Ql5Cli, VerifyComparesEveryImageAndUpdateVerifyRepairsWhatTheUnitLied) {
    const std::string flash = tempPath("verify-flash");
    // A unit with other firmware: every image differs from its first byte.
    Result r = ql5({"verify", "--virtual=" + flash});
    EXPECT_EQ(r.code, kExitMismatch) << r.err;
    EXPECT_NE(r.out.find("image 133 at 0x04B000 (155648 bytes): differs, first at 0x04B000"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("4 of 4 images differ from the carried firmware\n"), std::string::npos);
    EXPECT_NE(r.err.find("[verify] reading back 15619004 bytes"), std::string::npos) << r.err;

    // Block 3 acknowledged but not stored, block 60 stored with a bit stuck
    // at 0, in a run where nothing else goes wrong: without the read-back it
    // completes, and nothing tells. verify finds the two blocks.
    r = ql5(
        {"update", "--no-verify", "--virtual=" + flash, "--fault", "write#3:lie; write#60:flip"});
    EXPECT_EQ(r.code, 0) << r.err;
    r = ql5({"verify", "--virtual=" + flash});
    EXPECT_EQ(r.code, kExitMismatch) << r.err;
    EXPECT_NE(r.out.find("image 133 at 0x04B000 (155648 bytes): differs, first at 0x04D000, "),
              std::string::npos)
        << r.out;
    EXPECT_NE(
        r.out.find(
            "image 129 at 0x071000 (562108 bytes): differs, first at 0x086000, 1 byte differs"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("image 136 at 0x1CB000 (14897152 bytes): equal"), std::string::npos);

    // update --verify on the same faults repairs both before the finish.
    r = ql5({"update", "--verify", "--virtual=" + flash, "--fault", "write#3:lie; write#60:flip"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Version update completed.\n");
    // Everything before the SYSTEM block, then the SYSTEM block once written.
    const std::size_t before = r.err.find("[verify] reading back 15614908 bytes");
    EXPECT_NE(before, std::string::npos) << r.err;
    EXPECT_LT(before, r.err.find("[8/8] writing image 139"));
    EXPECT_NE(r.err.find("[verify] reading back 4096 bytes"), std::string::npos) << r.err;
    r = ql5({"verify", "--virtual=" + flash});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("all 4 images equal the carried firmware\n"), std::string::npos);

    // Reads that fail for good: 8, never a verdict of equal.
    r = ql5({"verify", "--virtual=" + flash, "--fault", "read#*:badcrc"});
    EXPECT_EQ(r.code, kExitTransferError) << r.err;
    EXPECT_NE(r.out.find("could not be read"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("equal the carried"), std::string::npos);
    // update --verify where the rewrite cannot help (every write after the
    // plan's is refused): the transfer error, no finish.
    r = ql5({"update", "--verify", "--virtual", "--fault", "write#3:lie; write#3815-:code=2"});
    EXPECT_EQ(r.code, kExitTransferError) << r.err;
    EXPECT_EQ(r.out.find("completed"), std::string::npos);
    EXPECT_EQ(ql5({"version", "--verify", "--virtual"}).code, kExitUsage);
    EXPECT_EQ(ql5({"verify", "--no-verify", "--virtual"}).code, kExitUsage);
    std::remove(flash.c_str());
}

TEST(Ql5Cli, UpdateReadsBackByDefaultSoBalancedFaultsCannotPass) {
    // A late duplicate acknowledgement fills the wait of a block the unit
    // never received: requests and replies balance, so only reading back
    // can tell. By default it is found and written again.
    const std::string flash = tempPath("balanced-flash");
    const char* faults = "write#5:twice=50ms; write#6:ignore";
    Result r = ql5({"update", "--virtual=" + flash, "--fault", faults});
    EXPECT_EQ(r.code, kExitOk) << r.err;
    EXPECT_NE(r.err.find("[verify] reading back 15614908 bytes"), std::string::npos) << r.err;
    r = ql5({"verify", "--virtual=" + flash});
    EXPECT_EQ(r.code, kExitOk) << r.out;
    // --no-verify is the plain sequence: what it does not guarantee.
    r = ql5({"update", "--no-verify", "--virtual=" + flash, "--fault", faults});
    EXPECT_EQ(r.code, kExitOk) << r.err;
    EXPECT_EQ(r.err.find("[verify]"), std::string::npos) << r.err;
    r = ql5({"verify", "--virtual=" + flash});
    EXPECT_EQ(r.code, kExitMismatch) << r.out;
    EXPECT_NE(r.out.find("image 133 at 0x04B000 (155648 bytes): differs, first at 0x050000"),
              std::string::npos)
        << r.out;
    std::remove(flash.c_str());
}

TEST(Ql5Cli, UnitThatReadsNothingInItsUpdateStateIsUpdatedAndSaysSo) {
    for (const char* faults : {"read#*:ignore", "read#*:code=1"}) {
        const Result r = ql5({"update", "--virtual", "--fault", faults});
        EXPECT_EQ(r.code, kExitOk) << faults << "\n" << r.err;
        EXPECT_EQ(r.out, "Version update completed.\n");
        const std::string note = "note: the unit answers no read in its update state";
        const std::size_t at = r.err.find(note);
        EXPECT_NE(at, std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(note, at + 1), std::string::npos) << "said once";
        EXPECT_EQ(r.err.find("[verify]"), std::string::npos) << r.err;
    }
}

struct FaultExit {
    const char* faults;
    int code;
    const char* message;
};

class Ql5FaultExit : public ::testing::TestWithParam<FaultExit> {};

TEST_P(Ql5FaultExit, EachFailureHasItsExitCode) {
    const FaultExit f = GetParam();
    const Result r = ql5({"update", "--virtual", "--fault", f.faults});
    EXPECT_EQ(r.code, f.code) << r.err;
    EXPECT_NE(r.err.find(std::string("Error: ") + f.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("completed"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Ql5FaultExit,
    ::testing::Values(
        FaultExit{"identity#1:code=3", kExitIllegalDevice, "Illegal device connected."},
        FaultExit{"begin#1:code=11", kExitNotInUpdateMode, "Please use the firmware update mode."},
        FaultExit{"identity#1:ignore", kExitTimeOut, "Time out error(1)"},
        FaultExit{"erase#2:drop", kExitTimeOut, "Time out error(3)"},
        FaultExit{"erase#1-7:code=2", kExitTransferError, "Transfer error occurred."},
        FaultExit{"finish#1:drop", kExitTransferError, "Transfer error occurred."}));

// One glitch on the line costs a resend, not the update: a lost reply, and a
// broken message reported by the platform in place of a reply.
class Ql5Recovers : public ::testing::TestWithParam<const char*> {};

TEST_P(Ql5Recovers, TheUpdateCompletes) {
    const Result r = ql5({"update", "--virtual", "--fault", GetParam()});
    EXPECT_EQ(r.code, kExitOk) << r.err;
    EXPECT_EQ(r.out, "Version update completed.\n");
}

INSTANTIATE_TEST_SUITE_P(Glitches, Ql5Recovers,
                         ::testing::Values("write#5:drop", "write#5:longerror"));

TEST(Ql5Cli, ADispatcherTimerThatCannotStartIsATransferError) {
    mm::setTimeSetEventRefused(true);
    const Result r = ql5({"update", "--virtual"});
    mm::setTimeSetEventRefused(false);
    EXPECT_EQ(r.code, kExitTransferError);
    EXPECT_NE(r.err.find("Error: Transfer error occurred."), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("completed"), std::string::npos);
}

TEST(Ql5Cli, PortThatCannotBeOpened) {
    auto dev = mm::virt::VirtualDevice::create("Tarvik QL-5 Locked", "Tarvik QL-5 Locked");
    dev->refuseOutputOpen(true);
    dev->plug();
    const Result r = ql5({"version", "--in", "Locked", "--out", "Locked"});
    EXPECT_EQ(r.code, kExitCannotOpen);
    EXPECT_NE(r.err.find("Error: Can't open MIDI Out device."), std::string::npos) << r.err;
    dev->unplug();
}

TEST(Ql5Cli, PortChoiceErrors) {
    auto a = mm::virt::VirtualDevice::create("Tarvik QL-5 A", "Tarvik QL-5 A");
    auto b = mm::virt::VirtualDevice::create("Tarvik QL-5 B", "Tarvik QL-5 B");
    a->plug();
    b->plug();
    Result r = ql5({"version", "--in", "QL-5", "--out", "A"});
    EXPECT_EQ(r.code, kExitNoUnit);
    EXPECT_NE(r.err.find("more than one MIDI input port matches \"QL-5\""), std::string::npos)
        << r.err;
    r = ql5({"version", "--out", "Nothing like it"});
    EXPECT_EQ(r.code, kExitNoUnit);
    EXPECT_NE(r.err.find("no MIDI output port matches \"Nothing like it\""), std::string::npos);
    r = ql5({"version", "--in", "99"});
    EXPECT_EQ(r.code, kExitNoUnit);
    EXPECT_NE(r.err.find("there is no MIDI input port 99"), std::string::npos);
    a->unplug();
    b->unplug();
}

// A version check whose reads fail says so and ends with the transfer
// error's code, in text and in JSON alike; nothing goes to standard output.
TEST(Ql5Cli, VersionCheckWhoseReadsFailExitsEight) {
    for (const char* faults : {"read#1:drop", "read#3:badcrc", "read#*:ignore"}) {
        for (const bool json : {false, true}) {
            std::vector<std::string> args = {"version", "--virtual", "--fault", faults};
            if (json) args.emplace_back("--json");
            const Result r = ql5(args);
            EXPECT_EQ(r.code, kExitTransferError) << faults << "\n" << r.err;
            EXPECT_NE(r.err.find("ql5: the unit's versions could not be read"), std::string::npos)
                << faults << "\n"
                << r.err;
            EXPECT_EQ(r.out, "") << faults;
        }
    }
}

// Every exit code the program has is explained in --help and in the README.
TEST(Ql5Cli, EveryExitCodeIsDocumented) {
    const std::string help = ql5({"--help"}).out;
    std::ifstream f(QL5_SOURCE_DIR "/README.md");
    std::stringstream readme;
    readme << f.rdbuf();
    ASSERT_FALSE(readme.str().empty());
    for (const int code : {kExitOk, kExitUsage, kExitNoUnit, kExitCannotOpen, kExitIllegalDevice,
                           kExitNotInUpdateMode, kExitTimeOut, kExitTransferError, kExitImageCheck,
                           kExitInterrupted}) {
        const std::string n = std::to_string(code);
        EXPECT_NE(help.find("\n  " + n + (n.size() == 1 ? "   " : "  ")), std::string::npos) << n;
        EXPECT_NE(readme.str().find("\n| " + n + " | "), std::string::npos) << n;
    }
    EXPECT_NE(help.find("a version check whose reads failed"), std::string::npos);
}

// With no port at all, 'ql5 ports' says why instead of printing two empty
// headings (only where this machine has no MIDI port of its own).
TEST(Ql5Cli, PortsWithNoPortAtAllSaysWhy) {
    const Result r = ql5({"ports"});
    EXPECT_EQ(r.code, 0);
    if (r.out.find("MIDI inputs:") != std::string::npos) {
        GTEST_SKIP() << "this machine has MIDI ports: " << r.out;
    }
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("ql5: no MIDI ports: ", 0), 0U) << r.err;
}

// ---- as a separate process ----
#ifdef _WIN32

TEST(Ql5Process, DamagedImageIsRefusedBeforeAnythingIsSent) {
    const std::string trace = tempPath("damaged-trace");
    const std::string cmd =
        std::string("\"") + QL5_DAMAGED_CLI_PATH + "\" update --virtual --trace " + trace + " 2>&1";
    std::FILE* p = _popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string seen;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p) != nullptr) {
        seen += buf;
    }
    EXPECT_EQ(_pclose(p), kExitImageCheck) << seen;
    EXPECT_NE(seen.find("firmware image 136 does not match"), std::string::npos) << seen;
    std::ifstream t(trace);
    EXPECT_FALSE(t.good()) << "no trace: nothing was even opened";
}

#else

struct Child {
    pid_t pid = -1;
    int errFd = -1;
};

Child spawnQl5(const char* binary, const std::vector<std::string>& args) {
    int pipeFds[2];
    EXPECT_EQ(pipe(pipeFds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(binary));
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    Child c;
    EXPECT_EQ(posix_spawn(&c.pid, binary, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    c.errFd = pipeFds[0];
    return c;
}

// Reads the child's standard error until text appears or it ends.
bool readUntil(int fd, const std::string& text, std::string& seen) {
    char buf[512];
    while (seen.find(text) == std::string::npos) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            return false;
        }
        seen.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

int waitExit(Child& c, std::string& seen) {
    std::string rest;
    readUntil(c.errFd, "\x01never", rest);
    seen += rest;
    close(c.errFd);
    int status = 0;
    waitpid(c.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Ql5Process, CtrlCDuringAWriteSaysWhereItStopped) {
    Child c = spawnQl5(QL5_CLI_PATH, {"update", "--virtual"});
    std::string seen;
    ASSERT_TRUE(readUntil(c.errFd, "[7/8]", seen)) << seen;
    kill(c.pid, SIGINT);
    const int code = waitExit(c, seen);
    EXPECT_EQ(code, kExitInterrupted) << seen;
    EXPECT_NE(seen.find("interrupted at step 7/8"), std::string::npos) << seen;
    EXPECT_NE(seen.find("run a full update before using the unit"), std::string::npos);
}

// Reads from a non-blocking descriptor until a whole SysEx message (F0 .. F7)
// has come, or the time is up.
bool readMessage(int fd, std::vector<std::uint8_t>& message, std::chrono::milliseconds limit) {
    message.clear();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::uint8_t byte = 0;
        if (read(fd, &byte, 1) == 1) {
            if (byte == 0xF0) message.clear();
            message.push_back(byte);
            if (byte == 0xF7 && message.front() == 0xF0) return true;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return false;
}

// The unit at the far end of a QL5_RAW_MIDI pipe answers the identity
// request and then goes away. The next send finds nobody reading; that must
// not end ql5 by SIGPIPE but look like an unplugged unit: the begin-update
// wait times out, with its message and exit code.
TEST(Ql5Process, APipePeerThatVanishesLooksLikeAnUnpluggedUnit) {
    const std::string toUnit = tempPath("to-unit");
    const std::string fromUnit = tempPath("from-unit");
    ASSERT_EQ(mkfifo(toUnit.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(fromUnit.c_str(), 0600), 0);
    // The unit's ends: it reads what ql5 sends and writes what ql5 reads.
    int unitReads = open(toUnit.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int unitWrites = open(fromUnit.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(unitReads, 0);
    ASSERT_GE(unitWrites, 0);

    setenv("QL5_TIMING", "test", 1);
    setenv("QL5_RAW_MIDI", ("Tarvik QL-5 (pipe):" + fromUnit + ":" + toUnit).c_str(), 1);
    Child c = spawnQl5(QL5_CLI_PATH, {"update"});
    unsetenv("QL5_RAW_MIDI");

    std::vector<std::uint8_t> request;
    ASSERT_TRUE(readMessage(unitReads, request, std::chrono::seconds(10)));
    EXPECT_EQ(request, (std::vector<std::uint8_t>{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}));
    const std::uint8_t reply[] = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x6E, 0x00,
                                  0x10, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};
    close(unitReads);  // gone before the begin-update command is written
    unitReads = -1;
    ASSERT_EQ(write(unitWrites, reply, sizeof reply), static_cast<ssize_t>(sizeof reply));

    std::string seen;
    int status = 0;
    readUntil(c.errFd, "\x01never", seen);
    close(c.errFd);
    ASSERT_EQ(waitpid(c.pid, &status, 0), c.pid);
    close(unitWrites);
    std::remove(toUnit.c_str());
    std::remove(fromUnit.c_str());
    ASSERT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status) << "\n" << seen;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kExitTimeOut) << seen;
    EXPECT_NE(seen.find("Error: Time out error(1)"), std::string::npos) << seen;
}

// Ctrl-C at every step of the plan, the unit's flash kept between runs: a
// version check then reports or fails with its exit code, and the update run
// again completes with every image in flash.
TEST(Ql5Process, CtrlCAtEveryStepIsFinishedByUpdatingAgain) {
    const std::string flash = tempPath("ctrlc-flash");
    for (int k = 1; k <= 8; ++k) {
        SCOPED_TRACE("step " + std::to_string(k));
        Child c = spawnQl5(QL5_CLI_PATH, {"update", "--virtual=" + flash});
        std::string seen;
        ASSERT_TRUE(readUntil(c.errFd, "[" + std::to_string(k) + "/8]", seen)) << seen;
        kill(c.pid, SIGINT);
        EXPECT_EQ(waitExit(c, seen), kExitInterrupted) << seen;
        Result r = ql5Production({"version", "--virtual=" + flash});
        if (r.code == 0) {
            EXPECT_NE(r.out.find("SYSTEM:\t\t"), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.code, kExitTransferError) << r.err;
        }
        r = ql5Production({"update", "--virtual=" + flash});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, "Version update completed.\n");
        r = ql5Production({"verify", "--virtual=" + flash});
        EXPECT_EQ(r.code, 0) << r.out << r.err;
    }
    std::remove(flash.c_str());
}

TEST(Ql5Process, DamagedImageIsRefusedBeforeAnythingIsSent) {
    const std::string trace = tempPath("damaged-trace");
    Child c = spawnQl5(QL5_DAMAGED_CLI_PATH, {"update", "--virtual", "--trace", trace});
    std::string seen;
    const int code = waitExit(c, seen);
    EXPECT_EQ(code, kExitImageCheck);
    EXPECT_NE(seen.find("firmware image 136 does not match"), std::string::npos) << seen;
    std::ifstream t(trace);
    EXPECT_FALSE(t.good()) << "no trace: nothing was even opened";
}

// A QL5_RAW_MIDI setting that cannot work is said on standard error, for a
// listing and for a command that needs the unit alike.
TEST(Ql5Process, BadRawMidiSettingIsSaid) {
    const std::string missing = tempPath("no-such-midi-node");
    struct Case {
        std::string setting;
        const char* said;
    };
    for (const Case& c :
         {Case{"Tarvik QL-5 bench:" + missing + ":/dev/null", "which does not exist"},
          Case{"Tarvik QL-5 bench:/dev/null", "is not NAME:INPUT_PATH:OUTPUT_PATH"}}) {
        for (const char* command : {"ports", "version"}) {
            ASSERT_EQ(setenv("QL5_RAW_MIDI", c.setting.c_str(), 1), 0);
            Child child = spawnQl5(QL5_CLI_PATH, {command});
            ASSERT_EQ(unsetenv("QL5_RAW_MIDI"), 0);
            std::string seen;
            const int code = waitExit(child, seen);
            EXPECT_EQ(code, std::string(command) == "ports" ? kExitOk : kExitNoUnit) << seen;
            EXPECT_NE(seen.find("QL5_RAW_MIDI"), std::string::npos) << command << ": " << seen;
            EXPECT_NE(seen.find(c.said), std::string::npos) << command << ": " << seen;
        }
    }
}
#endif

}  // namespace
}  // namespace ql5::cli
