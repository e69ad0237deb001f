// ql5 update --all / version --all against several virtual units at once:
// one unit's fault stays in its own row, the exit code is the first failure.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "cli/all_units.hpp"
#include "cli/options.hpp"
#include "cli/run.hpp"

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

Result ql5(const std::vector<std::string>& args) {
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

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// The table row of unit k, its columns one space apart.
std::string row(const std::string& table, int k) {
    const std::string name = "Tarvik QL-5 #" + std::to_string(k) + " MIDI 1 ";
    const std::size_t at = table.find(name);
    if (at == std::string::npos) {
        return {};
    }
    std::string r;
    for (char c : table.substr(at, table.find('\n', at) - at)) {
        if (c != ' ' || r.empty() || r.back() != ' ') {
            r += c;
        }
    }
    return r;
}

// The time column of a row ("3.9s"), or -1.
double seconds(const std::string& row) {
    std::smatch m;
    return std::regex_search(row, m, std::regex(" ([0-9]+\\.[0-9])s ")) ? std::stod(m[1]) : -1;
}

TEST(Ql5All, FourUnitsAtOnceOneFailsTheOthersComplete) {
    const std::string dir = ::testing::TempDir() + "/ql5_all_" + std::to_string(::getpid());
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    Result r = ql5({"update", "--all", "--virtual=4:" + dir, "--fault", "unit2/begin#1:code=11"});
    EXPECT_EQ(r.code, kExitNotInUpdateMode) << r.err;
    for (int k : {1, 3, 4}) {
        const std::string port = "Tarvik QL-5 #" + std::to_string(k) + " MIDI 1";
        EXPECT_NE(row(r.out, k).find("1.10/1.00/0.90 -> 1.20/1.00/0.90"), std::string::npos)
            << r.out;
        EXPECT_NE(row(r.out, k).find(" ok"), std::string::npos) << r.out;
        EXPECT_EQ(count(r.err, port + ": PLEASE UNPLUG THE USB CABLE AND TURN OFF THE POWER."), 1U)
            << r.err;
        EXPECT_EQ(count(r.err, port + ": [8/8] writing image 139"), 1U) << r.err;
    }
    EXPECT_NE(row(r.out, 2).find("-> ?"), std::string::npos) << r.out;
    EXPECT_NE(row(r.out, 2).find("Please use the firmware update mode."), std::string::npos)
        << r.out;
    EXPECT_EQ(count(r.err, "Tarvik QL-5 #2 MIDI 1: Error: Please use the firmware update mode."),
              1U)
        << r.err;
    EXPECT_EQ(count(r.err, "Tarvik QL-5 #2 MIDI 1: PLEASE UNPLUG"), 0U);
    EXPECT_EQ(count(r.err, "Tarvik QL-5 #2 MIDI 1: [1/8]"), 0U) << "nothing written to unit 2";
    // Each row's time is its own unit's: unit 2, refused at its begin, did
    // not take as long as the whole updates of the others.
    for (int k : {1, 3, 4}) {
        EXPECT_GE(seconds(row(r.out, 2)), 0.0) << r.out;
        EXPECT_LT(seconds(row(r.out, 2)), seconds(row(r.out, k))) << r.out;
    }

    // Each unit's flash was kept on its own: three carry the new SYSTEM.
    r = ql5({"version", "--all", "--virtual=4:" + dir});
    EXPECT_EQ(r.code, 0) << r.err;
    for (int k : {1, 3, 4}) {
        EXPECT_NE(row(r.out, k).find("1.20/1.00/0.90 -> 1.20/1.00/1.00"), std::string::npos)
            << r.out;
    }
    EXPECT_NE(row(r.out, 2).find("1.10/1.00/0.90 -> 1.20/1.00/1.00"), std::string::npos) << r.out;
    for (int k = 1; k <= 4; ++k) {
        std::remove((dir + "/unit" + std::to_string(k) + ".flash").c_str());
    }
    std::filesystem::remove(dir);
}

TEST(Ql5All, ExitCodeIsTheFirstFailureInPortOrder) {
    // Unit 3 times out on its identity, unit 4 is not in update mode: the
    // time-out comes first in port order.
    const Result r = ql5({"update", "--all", "--virtual=4", "--fault",
                          "unit4/begin#1:code=11; unit3/identity#*:drop"});
    EXPECT_EQ(r.code, kExitTimeOut) << r.err;
    EXPECT_NE(row(r.out, 3).find("Time out error(1)"), std::string::npos) << r.out;
    EXPECT_NE(row(r.out, 4).find("Please use the firmware update mode."), std::string::npos);
    EXPECT_NE(row(r.out, 1).find(" ok"), std::string::npos) << r.out;
    EXPECT_NE(row(r.out, 2).find(" ok"), std::string::npos) << r.out;
}

TEST(Ql5All, VerifyReadsEachUnitBack) {
    // Unit 2 acknowledges a block it did not store, and refuses every write
    // after the plan's: only the read-back finds it, and only unit 2 fails.
    const std::string faults = "unit2/write#3:lie; unit2/write#3815-:code=2";
    Result r = ql5({"update", "--all", "--verify", "--virtual=2", "--fault", faults});
    EXPECT_EQ(r.code, kExitTransferError) << r.err;
    EXPECT_NE(row(r.out, 1).find(" ok"), std::string::npos) << r.out;
    EXPECT_NE(row(r.out, 2).find("Transfer error occurred."), std::string::npos) << r.out;
    r = ql5({"update", "--all", "--no-verify", "--virtual=2", "--fault", faults});
    EXPECT_EQ(r.code, 0) << "without the read-back the lie goes unseen: " << r.err;
    // By default each unit is read back as with --verify.
    r = ql5({"update", "--all", "--virtual=2", "--fault", faults});
    EXPECT_EQ(r.code, kExitTransferError) << r.err;
    EXPECT_NE(row(r.out, 1).find(" ok"), std::string::npos) << r.out;
}

TEST(Ql5All, OptionsAndFaultPrefixes) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        int count;
    };
    const std::vector<Case> cases = {
        {{"update", "--all", "--virtual=4"}, true, 4},
        {{"version", "--all", "--virtual"}, true, 1},
        {{"update", "--all", "--virtual=2:/tmp/x"}, true, 2},
        {{"update", "--all", "--virtual=0"}, false, 0},
        {{"update", "--all", "--virtual=x"}, false, 0},
        {{"update", "--all", "--virtual=3:"}, false, 0},
        {{"ports", "--all"}, false, 0},
        {{"update", "--all", "--in", "1"}, false, 0},
        {{"version", "--all", "--json", "--virtual"}, false, 0},
        {{"update", "--all", "--verify", "--virtual=2"}, true, 2},
        {{"update", "--virtual=4"}, true, 0},  // without --all: a flash file named 4
    };
    for (const Case& c : cases) {
        std::string error;
        const auto o = parseOptions(c.args, error);
        EXPECT_EQ(o.has_value(), c.ok) << c.args.back() << ": " << error;
        if (o) {
            EXPECT_EQ(o->virtualCount, c.count) << c.args.back();
        }
    }

    std::vector<std::string> per;
    std::string error;
    ASSERT_TRUE(splitFaultScript("write#1:drop; unit2/begin#1:code=11 ;unit3/read#*:badcrc;", 3,
                                 per, error));
    EXPECT_EQ(per, (std::vector<std::string>{"write#1:drop;", "write#1:drop;begin#1:code=11;",
                                             "write#1:drop;read#*:badcrc;"}));
    EXPECT_FALSE(splitFaultScript("unit4/write#1:drop", 3, per, error));
    EXPECT_NE(error.find("unit4/write#1:drop"), std::string::npos);
    EXPECT_FALSE(splitFaultScript("unit0/write#1:drop", 3, per, error));
    const Result r = ql5({"update", "--all", "--virtual=2", "--fault", "unit3/write#1:drop"});
    EXPECT_EQ(r.code, kExitUsage);
}

TEST(Ql5All, PortsShowsThePairs) {
    const Result r = ql5({"ports", "--virtual"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("* in  0 + out  0  Tarvik QL-5 MIDI 1"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace ql5::cli
