#include <cstdio>
#include <string>
#include <vector>

#include "cli/run.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return ql5::cli::run(args, stdout, stderr);
}
