#pragma once
// The WinMM calls the Windows MIDI driver makes, as a table so that a test can
// stand in for the system. Include after platform/mm headers: the system
// headers define several of our names as macros (with the same values).
// Everything here is the system's own type, hence the leading "::".
#include <windows.h>

#include <mmsystem.h>  // after windows.h, which it needs

#include "platform/mm/winmm_driver.hpp"

namespace ql5::mm::winmm {

struct Api {
    ::UINT(WINAPI* inGetNumDevs)();
    ::MMRESULT(WINAPI* inGetDevCaps)(::UINT_PTR, ::LPMIDIINCAPSA, ::UINT);
    ::MMRESULT(WINAPI* inOpen)(::LPHMIDIIN, ::UINT, ::DWORD_PTR, ::DWORD_PTR, ::DWORD);
    ::MMRESULT(WINAPI* inPrepareHeader)(::HMIDIIN, ::LPMIDIHDR, ::UINT);
    ::MMRESULT(WINAPI* inUnprepareHeader)(::HMIDIIN, ::LPMIDIHDR, ::UINT);
    ::MMRESULT(WINAPI* inAddBuffer)(::HMIDIIN, ::LPMIDIHDR, ::UINT);
    ::MMRESULT(WINAPI* inStart)(::HMIDIIN);
    ::MMRESULT(WINAPI* inReset)(::HMIDIIN);
    ::MMRESULT(WINAPI* inClose)(::HMIDIIN);

    ::UINT(WINAPI* outGetNumDevs)();
    ::MMRESULT(WINAPI* outGetDevCaps)(::UINT_PTR, ::LPMIDIOUTCAPSA, ::UINT);
    ::MMRESULT(WINAPI* outOpen)(::LPHMIDIOUT, ::UINT, ::DWORD_PTR, ::DWORD_PTR, ::DWORD);
    ::MMRESULT(WINAPI* outPrepareHeader)(::HMIDIOUT, ::LPMIDIHDR, ::UINT);
    ::MMRESULT(WINAPI* outUnprepareHeader)(::HMIDIOUT, ::LPMIDIHDR, ::UINT);
    ::MMRESULT(WINAPI* outLongMsg)(::HMIDIOUT, ::LPMIDIHDR, ::UINT);
    ::MMRESULT(WINAPI* outShortMsg)(::HMIDIOUT, ::DWORD);
    ::MMRESULT(WINAPI* outReset)(::HMIDIOUT);
    ::MMRESULT(WINAPI* outClose)(::HMIDIOUT);
};

// The system's own functions.
const Api& systemApi();

}  // namespace ql5::mm::winmm
