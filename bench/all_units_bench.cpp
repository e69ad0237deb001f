// Four units updated at once against one alone, both with the virtual unit's
// realistic timing profile: the host must not be what the units wait for.
//
//   ql5_all_units_bench [N]   N units at once (default 4) against one
//
// Prints both wall times and their ratio; the target is at most 1.05.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/all_units.hpp"
#include "cli/interrupt.hpp"
#include "cli/options.hpp"
#include "emulator/virtual_unit.hpp"

namespace {

using namespace ql5;

double updateAll(int units, int& code) {
    cli::Options o;
    o.command = cli::Command::Update;
    o.all = true;
    o.virtualUnit = true;
    o.virtualCount = units;
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const auto start = std::chrono::steady_clock::now();
    code = cli::runAllUnits(o, out, err, emulator::TimingProfile::realistic());
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fclose(out);
    std::fclose(err);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 4;
    if (n < 1 || n > 99) {
        std::fprintf(stderr, "usage: ql5_all_units_bench [N from 1 to 99]\n");
        return 2;
    }
    cli::holdInterrupts();
    int code1 = 0;
    int codeN = 0;
    const double one = updateAll(1, code1);
    const double many = updateAll(n, codeN);
    cli::releaseInterrupts();
    std::printf("one unit alone:     %7.2f s (exit %d)\n", one, code1);
    std::printf("%2d units at once:   %7.2f s (exit %d)\n", n, many, codeN);
    std::printf("ratio:              %7.3f (target <= 1.05)\n", many / one);
    return code1 == 0 && codeN == 0 ? 0 : 1;
}
