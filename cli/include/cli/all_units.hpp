#pragma once
// ql5 update --all / ql5 version --all: every attached unit at once, each by
// its own engine instance (state, dispatcher, timer, worker).
#include <cstdio>
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "emulator/virtual_unit.hpp"

namespace ql5::cli {

// Splits a fault script over n virtual units: a rule prefixed "unitK/" goes
// to unit K (1-based) only, a rule without a prefix to every unit. Returns
// false, with a message, for a prefix naming no unit.
bool splitFaultScript(const std::string& text, int units, std::vector<std::string>& perUnit,
                      std::string& error);

// Runs the command on every unit; returns the exit code. virtualTiming is
// the timing profile of the virtual units (the benchmark's realistic one).
int runAllUnits(const Options& o, std::FILE* out, std::FILE* err,
                const emulator::TimingProfile& virtualTiming = {});

}  // namespace ql5::cli
