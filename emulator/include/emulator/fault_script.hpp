#pragma once
// Scripted misbehaviour of the virtual unit, per request kind and ordinal.
//
// Text form (whitespace is free between tokens; keywords are lower case):
//
//   script  := [rule { ';' rule }] [';']
//   rule    := kind '#' ordinals ':' action { ',' action }
//   kind    := identity | begin | write | finish | erase | read | other | any
//   ordinals:= '*'            every request of the kind
//            | N              the Nth (counted from 1 since the unit was made)
//            | N '-' M        the Nth to the Mth, both included
//            | N '-'          the Nth and every later one
//   action  := drop             carry the request out, lose the reply
//            | ignore           lose the request: neither carried out nor answered
//            | late '=' TIME    answer after TIME (N, Nms or Ns)
//            | twice ['=' TIME] send the reply two times; with TIME the second
//                               copy goes TIME after the first, while the
//                               requests that came meanwhile wait (a repeated
//                               acknowledgement that arrives after the next
//                               request went out)
//            | code '=' N       do not carry the request out; answer result code N (0..127)
//            | lie              answer 0 without storing or erasing (write, erase)
//            | flip             (write) store the block with its first set bit
//                               cleared, and answer 0: a bit stuck at 0, which
//                               only an erase can set again
//            | badcrc           corrupt the CRC of each read reply
//            | trunc ['=' N]    send only the first N bytes of the reply (default:
//                               half), closed with F7
//            | malformed        send a malformed message instead of the reply: a
//                               read reply whose length field claims more than it
//                               carries; for other kinds the 4 bytes F0 52 00 F7
//            | nof7             send the reply without its closing F7
//            | foreign ['=' before|after]          another maker's SysEx (default before)
//            | realtime ['=' before|after|inside]  F8/FE bytes (default before)
//            | vanish ['=' before|after]  unplug before answering (the request
//                               is lost) or after the reply went out (default after)
//            | longerror        the driver reports a broken SysEx (MIM_LONGERROR)
//                               instead of the reply
//            | mute             stop answering: from this request on nothing is
//                               carried out or answered until the unit is replugged
//            | short ['=' N]    (read) refuse a read of more than N bytes (default
//                               256) with result code 3, as a unit with a small
//                               read buffer would; shorter reads are served
//
// Example: "write#3:drop; write#5-35:code=2; erase#1:late=200ms; read#*:badcrc;
//           identity#1:twice; any#10:foreign"
//
// "any" counts every request the host sends (not its answers to the unit's
// own requests), in arrival order; the other kinds count their own. All the
// rules that match a request apply together.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ql5::emulator {

enum class RequestKind { Identity, Begin, Write, Finish, Erase, Read, Other, Any };

std::string_view requestKindName(RequestKind kind);

enum class Placement { Before, After, Inside };

struct FaultAction {
    enum class Type {
        Drop,
        Ignore,
        Late,
        Twice,
        Code,
        Lie,
        BadCrc,
        Truncate,
        Malformed,
        NoF7,
        Foreign,
        RealTime,
        Vanish,
        LongError,
        Mute,
        Short,
        Flip,
    };
    Type type = Type::Drop;
    std::uint32_t value = 0;  // Late, Twice: ms; Code: code; Truncate: bytes (0 = half);
                              // Short: longest read served
    Placement placement = Placement::Before;
    bool operator==(const FaultAction&) const = default;
};

struct FaultRule {
    RequestKind kind = RequestKind::Any;
    std::uint64_t first = 1;  // ordinals, 1-based, inclusive
    std::uint64_t last = UINT64_MAX;
    std::vector<FaultAction> actions;

    bool matches(RequestKind k, std::uint64_t kindOrdinal, std::uint64_t anyOrdinal) const;
    bool operator==(const FaultRule&) const = default;
};

struct FaultScript {
    std::vector<FaultRule> rules;
    bool empty() const { return rules.empty(); }
    bool operator==(const FaultScript&) const = default;
};

// Parses the text form. On failure returns nullopt and, when error is given,
// a message that names the byte offset ("at 12: ...").
std::optional<FaultScript> parseFaultScript(std::string_view text, std::string* error);
// The text form of a script; parseFaultScript(formatFaultScript(s)) == s.
std::string formatFaultScript(const FaultScript& script);

}  // namespace ql5::emulator
