#include "emulator/fault_script.hpp"

#include <array>
#include <cctype>
#include <utility>

namespace ql5::emulator {

namespace {

struct KindName {
    RequestKind kind;
    std::string_view name;
};

constexpr std::array<KindName, 8> kKindNames{{
    {RequestKind::Identity, "identity"},
    {RequestKind::Begin, "begin"},
    {RequestKind::Write, "write"},
    {RequestKind::Finish, "finish"},
    {RequestKind::Erase, "erase"},
    {RequestKind::Read, "read"},
    {RequestKind::Other, "other"},
    {RequestKind::Any, "any"},
}};

struct ActionName {
    FaultAction::Type type;
    std::string_view name;
};

constexpr std::array<ActionName, 17> kActionNames{{
    {FaultAction::Type::Drop, "drop"},
    {FaultAction::Type::Ignore, "ignore"},
    {FaultAction::Type::Late, "late"},
    {FaultAction::Type::Twice, "twice"},
    {FaultAction::Type::Code, "code"},
    {FaultAction::Type::Lie, "lie"},
    {FaultAction::Type::BadCrc, "badcrc"},
    {FaultAction::Type::Truncate, "trunc"},
    {FaultAction::Type::Malformed, "malformed"},
    {FaultAction::Type::NoF7, "nof7"},
    {FaultAction::Type::Foreign, "foreign"},
    {FaultAction::Type::RealTime, "realtime"},
    {FaultAction::Type::Vanish, "vanish"},
    {FaultAction::Type::LongError, "longerror"},
    {FaultAction::Type::Mute, "mute"},
    {FaultAction::Type::Short, "short"},
    {FaultAction::Type::Flip, "flip"},
}};

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::optional<FaultScript> run(std::string* error) {
        FaultScript script;
        skipSpace();
        while (!atEnd()) {
            if (peek() == ';') {  // empty rule: "a;;b" and a trailing ';'
                ++pos_;
                skipSpace();
                continue;
            }
            FaultRule rule;
            if (!parseRule(rule)) break;
            script.rules.push_back(std::move(rule));
            skipSpace();
            if (atEnd()) break;
            if (peek() != ';') {
                fail("expected ';' between rules");
                break;
            }
        }
        if (!error_.empty()) {
            if (error != nullptr) *error = error_;
            return std::nullopt;
        }
        return script;
    }

  private:
    bool atEnd() const { return pos_ >= text_.size(); }
    char peek() const { return atEnd() ? '\0' : text_[pos_]; }

    void skipSpace() {
        while (!atEnd() && std::isspace(static_cast<unsigned char>(text_[pos_])) != 0) ++pos_;
    }

    bool fail(std::string_view what) {
        if (error_.empty()) error_ = "at " + std::to_string(pos_) + ": " + std::string(what);
        return false;
    }

    bool expect(char c, std::string_view what) {
        skipSpace();
        if (peek() != c) return fail(what);
        ++pos_;
        skipSpace();
        return true;
    }

    std::string_view word() {
        skipSpace();
        const std::size_t start = pos_;
        while (!atEnd() && std::isalpha(static_cast<unsigned char>(text_[pos_])) != 0) ++pos_;
        return text_.substr(start, pos_ - start);
    }

    // The longest name of the table that stands at the current position and
    // is not followed by another letter ("nof7" holds a digit, so keywords
    // cannot simply be runs of letters). Moves past it when found.
    template <typename Table>
    const typename Table::value_type* keyword(const Table& table) {
        skipSpace();
        const typename Table::value_type* best = nullptr;
        for (const auto& entry : table) {
            const std::string_view n = entry.name;
            if (text_.substr(pos_, n.size()) != n) continue;
            const std::size_t after = pos_ + n.size();
            if (after < text_.size() && std::isalpha(static_cast<unsigned char>(text_[after])) != 0)
                continue;
            if (best == nullptr || n.size() > best->name.size()) best = &entry;
        }
        if (best != nullptr) pos_ += best->name.size();
        return best;
    }

    // The token at the current position, for error messages.
    std::string tokenHere() const {
        std::size_t end = pos_;
        while (end < text_.size() && std::isalnum(static_cast<unsigned char>(text_[end])) != 0)
            ++end;
        return std::string(text_.substr(pos_, end - pos_));
    }

    bool number(std::uint64_t& out, std::uint64_t max) {
        skipSpace();
        if (std::isdigit(static_cast<unsigned char>(peek())) == 0) return fail("expected a number");
        std::uint64_t v = 0;
        while (std::isdigit(static_cast<unsigned char>(peek())) != 0) {
            v = v * 10 + static_cast<std::uint64_t>(peek() - '0');
            if (v > max) return fail("number too large (at most " + std::to_string(max) + ")");
            ++pos_;
        }
        out = v;
        return true;
    }

    bool parseRule(FaultRule& rule) {
        const KindName* kind = keyword(kKindNames);
        if (kind != nullptr) rule.kind = kind->kind;
        if (kind == nullptr) {
            return fail(
                "expected a request kind (identity, begin, write, finish, erase, read, "
                "other, any)");
        }
        if (!expect('#', "expected '#' after the request kind")) return false;
        if (!parseOrdinals(rule)) return false;
        if (!expect(':', "expected ':' before the actions")) return false;
        for (;;) {
            FaultAction action;
            if (!parseAction(action)) return false;
            rule.actions.push_back(action);
            skipSpace();
            if (peek() != ',') break;
            ++pos_;
        }
        return true;
    }

    bool parseOrdinals(FaultRule& rule) {
        skipSpace();
        if (peek() == '*') {
            ++pos_;
            rule.first = 1;
            rule.last = UINT64_MAX;
            return true;
        }
        constexpr std::uint64_t kMaxOrdinal = 1000000000000ULL;
        const std::size_t firstPos = pos_;
        if (!number(rule.first, kMaxOrdinal)) return false;
        if (rule.first == 0) {
            pos_ = firstPos;
            return fail("ordinals count from 1");
        }
        skipSpace();
        if (peek() != '-') {
            rule.last = rule.first;
            return true;
        }
        ++pos_;
        skipSpace();
        if (std::isdigit(static_cast<unsigned char>(peek())) == 0) {
            rule.last = UINT64_MAX;  // "N-": from N on
            return true;
        }
        const std::size_t lastPos = pos_;
        if (!number(rule.last, kMaxOrdinal)) return false;
        if (rule.last < rule.first) {
            pos_ = lastPos;
            return fail("range ends before it starts");
        }
        return true;
    }

    bool parsePlacement(FaultAction& action, bool allowInside) {
        skipSpace();
        if (peek() != '=') return true;
        ++pos_;
        const std::size_t at = pos_;
        const std::string_view w = word();
        if (w == "before") {
            action.placement = Placement::Before;
        } else if (w == "after") {
            action.placement = Placement::After;
        } else if (allowInside && w == "inside") {
            action.placement = Placement::Inside;
        } else {
            pos_ = at;
            return fail(allowInside ? "expected before, after or inside"
                                    : "expected before or after");
        }
        return true;
    }

    // N, Nms or Ns, at most an hour, into action.value in ms.
    bool time(FaultAction& action) {
        std::uint64_t v = 0;
        if (!number(v, 3600000)) return false;
        const std::size_t unitPos = pos_;
        const std::string_view unit = word();
        if (unit == "s") {
            v *= 1000;
            if (v > 3600000) {
                pos_ = unitPos;
                return fail("delay longer than an hour");
            }
        } else if (!unit.empty() && unit != "ms") {
            pos_ = unitPos;
            return fail("time unit must be ms or s");
        }
        action.value = static_cast<std::uint32_t>(v);
        return true;
    }

    bool parseAction(FaultAction& action) {
        const ActionName* name = keyword(kActionNames);
        if (name == nullptr) return fail("unknown action '" + tokenHere() + "'");
        action.type = name->type;
        using T = FaultAction::Type;
        switch (action.type) {
            case T::Late:
                if (!expect('=', "late needs a time: late=200ms")) return false;
                return time(action);
            case T::Twice:
                skipSpace();
                if (peek() != '=') return true;
                ++pos_;
                return time(action);
            case T::Short: {
                action.value = 256;
                skipSpace();
                if (peek() != '=') return true;
                ++pos_;
                std::uint64_t v = 0;
                if (!number(v, 16383)) return false;
                action.value = static_cast<std::uint32_t>(v);
                return true;
            }
            case T::Code: {
                if (!expect('=', "code needs a value: code=2")) return false;
                std::uint64_t v = 0;
                if (!number(v, 127)) return false;
                action.value = static_cast<std::uint32_t>(v);
                return true;
            }
            case T::Truncate: {
                skipSpace();
                if (peek() != '=') return true;
                ++pos_;
                std::uint64_t v = 0;
                if (!number(v, 1000000)) return false;
                action.value = static_cast<std::uint32_t>(v);
                return true;
            }
            case T::Foreign:
                action.placement = Placement::Before;
                return parsePlacement(action, false);
            case T::RealTime:
                action.placement = Placement::Before;
                return parsePlacement(action, true);
            case T::Vanish:
                action.placement = Placement::After;
                return parsePlacement(action, false);
            default:
                return true;
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::string error_;
};

std::string_view placementName(Placement p) {
    switch (p) {
        case Placement::Before:
            return "before";
        case Placement::After:
            return "after";
        case Placement::Inside:
            return "inside";
    }
    return "before";
}

}  // namespace

std::string_view requestKindName(RequestKind kind) {
    for (const KindName& kn : kKindNames) {
        if (kn.kind == kind) return kn.name;
    }
    return "?";
}

bool FaultRule::matches(RequestKind k, std::uint64_t kindOrdinal, std::uint64_t anyOrdinal) const {
    if (kind == RequestKind::Any) return anyOrdinal >= first && anyOrdinal <= last;
    return kind == k && kindOrdinal >= first && kindOrdinal <= last;
}

std::optional<FaultScript> parseFaultScript(std::string_view text, std::string* error) {
    return Parser(text).run(error);
}

std::string formatFaultScript(const FaultScript& script) {
    std::string out;
    for (const FaultRule& rule : script.rules) {
        if (!out.empty()) out += "; ";
        out += requestKindName(rule.kind);
        out += '#';
        if (rule.first == 1 && rule.last == UINT64_MAX) {
            out += '*';
        } else {
            out += std::to_string(rule.first);
            if (rule.last == UINT64_MAX) {
                out += '-';
            } else if (rule.last != rule.first) {
                out += '-' + std::to_string(rule.last);
            }
        }
        out += ':';
        bool firstAction = true;
        for (const FaultAction& a : rule.actions) {
            if (!firstAction) out += ',';
            firstAction = false;
            for (const ActionName& an : kActionNames) {
                if (an.type == a.type) out += an.name;
            }
            using T = FaultAction::Type;
            switch (a.type) {
                case T::Late:
                    out += '=' + std::to_string(a.value) + "ms";
                    break;
                case T::Twice:
                    if (a.value != 0) out += '=' + std::to_string(a.value) + "ms";
                    break;
                case T::Short:
                    out += '=' + std::to_string(a.value);
                    break;
                case T::Code:
                    out += '=' + std::to_string(a.value);
                    break;
                case T::Truncate:
                    if (a.value != 0) out += '=' + std::to_string(a.value);
                    break;
                case T::Foreign:
                case T::RealTime:
                case T::Vanish:
                    out += '=';
                    out += placementName(a.placement);
                    break;
                default:
                    break;
            }
        }
    }
    return out;
}

}  // namespace ql5::emulator
