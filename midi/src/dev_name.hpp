#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/mm/mmsystem.hpp"

namespace ql5::midi::detail {

// Copies a capability record's name (at most `fieldSize` bytes, terminated
// or not) into the caller's 40-byte buffer, always terminated.
void copyDevName(const char* field, std::size_t fieldSize, char (&name)[40]);

// GetDevName of both port classes: the platform's capability query for the
// device, then the bounded copy; an empty name when the query fails.
template <typename Caps>
int queryDevName(mm::MMRESULT (*query)(mm::UINT_PTR, Caps*, mm::UINT), std::uint32_t deviceIndex,
                 char (&name)[40]) {
    Caps caps{};
    const mm::MMRESULT result = query(deviceIndex, &caps, sizeof(caps));
    if (result != mm::MMSYSERR_NOERROR) {
        name[0] = '\0';
        return static_cast<int>(result);
    }
    copyDevName(caps.szPname, sizeof(caps.szPname), name);
    return 0;
}

}  // namespace ql5::midi::detail
