#pragma once
#include <cstddef>

namespace ql5::midi::detail {

// Copies a capability record's name (at most `fieldSize` bytes, terminated
// or not) into the caller's 40-byte buffer, always terminated.
void copyDevName(const char* field, std::size_t fieldSize, char (&name)[40]);

}  // namespace ql5::midi::detail
