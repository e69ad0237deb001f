#pragma once
#include <cstdio>
#include <string>
#include <vector>

namespace ql5::cli {

// Runs ql5 with the arguments after the program name; returns the exit code.
// SIGINT and SIGTERM are taken as the user's interrupt while a command runs.
int run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace ql5::cli
