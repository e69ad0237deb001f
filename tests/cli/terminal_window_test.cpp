// The redrawn progress bar as each kind of terminal gets it: escape codes
// only where they are understood, spaces over the old line where they are
// not, no line longer than the terminal is wide, nothing redrawn in a file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/terminal.hpp"
#include "cli/terminal_window.hpp"

namespace ql5::cli {
namespace {

std::string slurp(std::FILE* f) {
    std::rewind(f);
    std::string s;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

// Two bar lines (half way, then done; the last one is always drawn) and the
// end of the bar, as an image write and the next step make them.
std::string drawTwice(TerminalMode mode, int columns) {
    std::FILE* err = std::tmpfile();
    std::FILE* out = std::tmpfile();
    engine::UpdateState st;
    TerminalWindow w(st, out, err, Terminal{mode, [columns] { return columns; }},
                     [] { return true; });
    w.setProgressRange(0, 1048576);
    w.setProgressPos(524288);
    w.setProgressPos(1048576);
    w.endProgress();
    std::fclose(out);
    return slurp(err);
}

// The pieces between carriage returns, without the escape code at the end.
std::vector<std::string> redraws(const std::string& s) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while ((at = s.find('\r', at)) != std::string::npos) {
        const std::size_t end = s.find_first_of("\r\n", at + 1);
        std::string part = s.substr(at + 1, end == std::string::npos ? end : end - at - 1);
        if (part.size() >= 3 && part.compare(part.size() - 3, 3, "\x1b[K") == 0) {
            part.resize(part.size() - 3);
        }
        parts.push_back(part);
        at = at + 1;
    }
    return parts;
}

TEST(TerminalWindow, BarFitsTheTerminalInEachMode) {
    for (const int columns : {20, 40, 60, 80, 200}) {
        for (const TerminalMode mode : {TerminalMode::Escapes, TerminalMode::Plain}) {
            const bool escapes = mode == TerminalMode::Escapes;
            const std::string where =
                std::string(escapes ? "escapes" : "plain") + ", " + std::to_string(columns);
            const std::string s = drawTwice(mode, columns);
            const auto parts = redraws(s);
            ASSERT_EQ(parts.size(), 2u) << where;
            for (const auto& p : parts) {
                EXPECT_LE(p.size(), static_cast<std::size_t>(columns - 1)) << where << ": " << p;
                // Narrower than the numbers need: cut, never wrapped.
                if (columns >= 40) {
                    EXPECT_NE(p.find("bytes"), std::string::npos) << where << p;
                }
            }
            if (columns >= 40) {
                EXPECT_NE(parts[1].find("1048576 / 1048576"), std::string::npos) << where;
            }
            EXPECT_EQ(s.find('\x1b') != std::string::npos, escapes) << where;
            if (escapes) {
                EXPECT_EQ(s.find("\x1b[K"), s.find('\x1b')) << where << ": only [K";
            }
            // The bar line ends before what follows starts.
            EXPECT_EQ(s.back(), '\n') << where;
            EXPECT_EQ(s.find('\n'), s.size() - 1) << where;
        }
    }
    EXPECT_NE(redraws(drawTwice(TerminalMode::Escapes, 200))[0].find("KB/s"), std::string::npos);
}

TEST(TerminalWindow, PlainRedrawCoversTheLongerLineBefore) {
    // The second line is shorter than the first (its rate part goes at
    // this width once the numbers grow): spaces cover the rest.
    std::FILE* err = std::tmpfile();
    std::FILE* out = std::tmpfile();
    engine::UpdateState st;
    int columns = 80;
    TerminalWindow w(st, out, err, Terminal{TerminalMode::Plain, [&columns] { return columns; }},
                     [] { return true; });
    w.setProgressRange(0, 1000000);
    w.setProgressPos(10);
    columns = 30;  // the console was made narrower
    w.setProgressPos(1000000);
    std::fclose(out);
    const auto parts = redraws(slurp(err));
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_GT(parts[0].size(), 29u);
    EXPECT_EQ(parts[1].size(), parts[0].size()) << "spaces over the old line's end";
    EXPECT_EQ(parts[1].find_last_not_of(' ') + 1, 29u) << "the text itself fits 30 columns";
}

TEST(TerminalWindow, FileGetsNoRedrawnBar) {
    const std::string s = drawTwice(TerminalMode::None, 80);
    EXPECT_EQ(s.find('\r'), std::string::npos);
    EXPECT_EQ(s.find('\x1b'), std::string::npos);
}

TEST(TerminalWindow, ProgressLineNarrowsTheBarThenDropsTheRate) {
    struct Case {
        int width;
        const char* want;
    } cases[] = {
        {200, "  [###############---------------] 5 / 10 bytes  0 KB/s  50 s left"},
        {60, "  [###########------------] 5 / 10 bytes  0 KB/s  50 s left"},
        {40, "  [###########-----------] 5 / 10 bytes"},
        {30, "  [######------] 5 / 10 bytes"},
        {20, "  [#####-----] 5 / "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fitProgressLine("  ", 30, 5, 10, 0.1, c.width), c.want) << c.width;
    }
}

}  // namespace
}  // namespace ql5::cli
