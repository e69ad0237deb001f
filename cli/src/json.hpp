#pragma once
// The little JSON that ql5 writes: strings quoted and escaped.
#include <string>
#include <string_view>

namespace ql5::cli {

// s as a JSON string literal, quotes included. Control characters are
// escaped; bytes that are not valid UTF-8 (a port name is whatever the
// driver reports) become U+FFFD, so the document always parses.
std::string jsonString(std::string_view s);

}  // namespace ql5::cli
