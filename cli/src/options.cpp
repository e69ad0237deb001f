#include "cli/options.hpp"

#include "engine/window.hpp"

namespace ql5::cli {

std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string& error) {
    Options o;
    bool verifyGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const char* name) -> std::optional<std::string> {
            const std::string prefix = std::string(name) + "=";
            if (a.rfind(prefix, 0) == 0) {
                return a.substr(prefix.size());
            }
            if (i + 1 >= args.size()) {
                error = std::string(name) + " needs a value";
                return std::nullopt;
            }
            return args[++i];
        };
        auto is = [&](const char* name) {
            return a == name || a.rfind(std::string(name) + "=", 0) == 0;
        };
        if (a == "--help" || a == "-h") {
            o.command = Command::Help;
            return o;
        }
        if (a == "--version") {
            o.command = Command::ShowVersion;
            return o;
        }
        if (is("--in") || is("--out") || is("--fault") || is("--trace")) {
            const std::string name = a.substr(0, a.find('='));
            std::optional<std::string> v = value(name.c_str());
            if (!v) {
                return std::nullopt;
            }
            if (v->empty()) {
                error = name + " needs a value";
                return std::nullopt;
            }
            (name == "--in"      ? o.in
             : name == "--out"   ? o.out
             : name == "--fault" ? o.faults
                                 : o.trace) = *v;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--verify") {
            o.verify = true;
            verifyGiven = true;
        } else if (a == "--no-verify") {
            o.verify = false;
            verifyGiven = true;
        } else if (a == "--all") {
            o.all = true;
        } else if (a == "--virtual") {
            o.virtualUnit = true;
        } else if (a.rfind("--virtual=", 0) == 0) {
            o.virtualUnit = true;
            o.virtualFlash = a.substr(10);
        } else if (!a.empty() && a[0] == '-') {
            error = "unknown option " + a;
            return std::nullopt;
        } else if (o.command == Command::None) {
            if (a == "ports") {
                o.command = Command::Ports;
            } else if (a == "version") {
                o.command = Command::Version;
            } else if (a == "update") {
                o.command = Command::Update;
            } else if (a == "verify") {
                o.command = Command::Verify;
            } else {
                error = "unknown command " + a;
                return std::nullopt;
            }
        } else {
            error = "unexpected argument " + a;
            return std::nullopt;
        }
    }
    if (o.command == Command::None) {
        error = "no command given";
        return std::nullopt;
    }
    if (o.json && (o.command == Command::Update || o.command == Command::Verify)) {
        error = "--json is for ports and version";
        return std::nullopt;
    }
    if (verifyGiven && o.command != Command::Update) {
        error = "--verify and --no-verify are options of update";
        return std::nullopt;
    }
    if (o.all) {
        if (o.command != Command::Update && o.command != Command::Version) {
            error = "--all goes with update or version";
            return std::nullopt;
        }
        if (!o.in.empty() || !o.out.empty() || !o.trace.empty()) {
            error = "--all takes no --in, --out or --trace";
            return std::nullopt;
        }
        if (o.json) {
            error = "--json does not go with --all";
            return std::nullopt;
        }
        if (o.virtualUnit) {
            // --virtual=N or --virtual=N:DIR; plain --virtual is one unit.
            const std::string v = o.virtualFlash;
            const std::size_t colon = v.find(':');
            const std::string count = v.substr(0, colon);
            if (v.empty()) {
                o.virtualCount = 1;
            } else if (count.empty() || count.size() > 2 ||
                       count.find_first_not_of("0123456789") != std::string::npos ||
                       std::stoi(count) < 1 ||
                       (colon != std::string::npos && colon + 1 == v.size())) {
                error = "--all needs --virtual=N or --virtual=N:DIR (N from 1 to 99)";
                return std::nullopt;
            } else {
                o.virtualCount = std::stoi(count);
                o.virtualDir = colon == std::string::npos ? std::string() : v.substr(colon + 1);
            }
            o.virtualFlash.clear();
        }
    }
    if (!o.faults.empty() && !o.virtualUnit) {
        error = "--fault needs --virtual";
        return std::nullopt;
    }
    return o;
}

int exitCodeForError(int stringId) {
    switch (stringId) {
        case engine::IDS_CANT_OPEN_IN:
        case engine::IDS_CANT_OPEN_OUT:
            return kExitCannotOpen;
        case engine::IDS_ILLEGAL_DEVICE:
            return kExitIllegalDevice;
        case engine::IDS_USE_UPDATE_MODE:
            return kExitNotInUpdateMode;
        case engine::IDS_TIMEOUT1:
        case engine::IDS_TIMEOUT2:
        case engine::IDS_TIMEOUT3:
            return kExitTimeOut;
        default:
            return kExitTransferError;
    }
}

// Each platform's help names only what exists there: Windows has no port
// addresses, no byte-stream ports and no signals.
#ifdef _WIN32
#define QL5_HELP_PORT "an index from\n                     'ql5 ports', or a part of its name"
#define QL5_HELP_RAW ""
#define QL5_HELP_INTERRUPT "Ctrl-C, Ctrl-Break or closing the console"
#else
#define QL5_HELP_PORT                                                                    \
    "an index or an address (client:port) from\n                     'ql5 ports', or a " \
    "part of its name"
#define QL5_HELP_RAW                                                                  \
    "  QL5_RAW_MIDI=NAME:INPUT_PATH:OUTPUT_PATH\n"                                    \
    "                     a unit behind a byte stream (FIFOs, /dev/midi*, a serial\n" \
    "                     adapter), listed as NAME\n"
#define QL5_HELP_INTERRUPT "Ctrl-C or SIGTERM"
#endif

const char* helpText() {
    return R"(Usage: ql5 COMMAND [OPTIONS]

Updates the firmware of a Tarvik QL-5 over its MIDI ports, or reads its versions.

Commands:
  ports              list every MIDI input and output port; * marks the unit's
  version            identify the unit and show its SYSTEM, PRESET and BOOT versions
                     beside the versions this program carries
  update             write the carried firmware into the unit (the whole update)
  verify             read back every region the update writes and compare it with
                     the carried images; changes nothing

Options:
  --in PORT          MIDI input port: )" QL5_HELP_PORT R"(
  --out PORT         MIDI output port, likewise (default for both: the last port
                     whose name contains "Tarvik QL-5")
  --json             ports and version: print one JSON document instead of text
  --virtual[=FILE]   use the built-in virtual unit instead of hardware; with FILE,
                     its flash is kept in FILE from one run to the next
  --fault SCRIPT     make the virtual unit misbehave, e.g. "write#3:drop; erase#1:code=2"
  --trace FILE       write every SysEx message, both directions, with a timestamp
  --no-verify        (update) the plain sequence: read back only the blocks whose
                     acknowledgement is in doubt. Without it every written block is
                     read back before the SYSTEM block and the finish command; a
                     block that differs is written again, and if it still differs
                     the update ends with a transfer error (--verify: the default)
  --all              with update or version: every attached unit at once, each on
                     its own ports (see 'ql5 ports' for the pairs); a table at the end
  --virtual=N[:DIR]  with --all: N virtual units, each with its own flash, kept in
                     DIR/unitK.flash when DIR is given; a --fault rule prefixed
                     "unitK/" (e.g. "unit2/write#3:drop") applies to unit K only
  --help, --version

Environment:
)" QL5_HELP_RAW R"(  QL5_TIMING=test    shorten every time-out and pause, for trying the error paths

Exit codes:
  0   success ('ports' also when it finds no port at all, and says why)
  2   wrong command line, a --fault script that does not parse, or a --virtual
      FILE or --trace FILE that cannot be read or written
  3   no unit: its ports were not found, or a port choice matched nothing or several
  4   a MIDI port could not be opened
  5   an illegal device answered
  6   the unit is not in its firmware update mode
  7   time-out
  8   transfer error, a version check whose reads failed, or for verify: the
      unit's flash could not be read
  9   a carried firmware image failed its check; nothing was sent
  10  interrupted ()" QL5_HELP_INTERRUPT R"(); after an interrupted update the
      unit needs a full update
  11  verify: the unit's flash differs from the carried images
  With --all: 0 when every unit succeeded, otherwise the code of the first unit
  that failed, in port order.
)";
}

}  // namespace ql5::cli
