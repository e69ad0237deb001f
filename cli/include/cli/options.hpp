#pragma once
// The command line of ql5.
#include <optional>
#include <string>
#include <vector>

namespace ql5::cli {

enum class Command { None, Ports, Version, Update, Verify, Help, ShowVersion };

struct Options {
    Command command = Command::None;
    std::string in;  // index or name substring; empty = automatic
    std::string out;
    bool virtualUnit = false;
    std::string virtualFlash;  // file that keeps the virtual unit's flash between runs
    std::string faults;        // fault script for the virtual unit
    std::string trace;         // file for the SysEx trace
    bool json = false;         // ports and version: one JSON document on standard output
    bool verify = true;        // update: read every written block back (--no-verify: not)
    bool all = false;          // every attached unit at once
    int virtualCount = 0;      // with --all: how many virtual units (--virtual=N)
    std::string virtualDir;    // with --all: directory for their flash files (--virtual=N:DIR)
};

// Parses argv; on error returns nullopt and a message.
std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string& error);

// Exit codes.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 2,
    kExitNoUnit = 3,
    kExitCannotOpen = 4,
    kExitIllegalDevice = 5,
    kExitNotInUpdateMode = 6,
    kExitTimeOut = 7,
    kExitTransferError = 8,
    kExitImageCheck = 9,
    kExitInterrupted = 10,
    kExitMismatch = 11,
};

// The exit code for the error message with that string id.
int exitCodeForError(int stringId);

const char* helpText();

}  // namespace ql5::cli
