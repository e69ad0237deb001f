#pragma once
// The subset of the Windows multimedia API that the MIDI ports and the timer
// are written against, in our own namespace. A small core implements them over
// drivers (driver.hpp) on every platform; on Windows the first driver is the
// system's own WinMM (winmm_driver.hpp) and the timer is carried by the
// system's multimedia timer. The semantics below are the ones the transport
// relies on.
//
// Device indices: the position in the concatenation of the registered
// drivers' device lists, asked afresh on every call. An index past the end,
// including 0xFFFFFFFF (-1, "no selection"), gives MMSYSERR_BADDEVICEID.
#include <cstddef>
#include <cstdint>

namespace ql5::mm {

using MMRESULT = std::uint32_t;
using UINT = std::uint32_t;
using DWORD = std::uint32_t;
using DWORD_PTR = std::uintptr_t;
using UINT_PTR = std::uintptr_t;

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT MIDIERR_UNPREPARED = 64;
inline constexpr MMRESULT MIDIERR_STILLPLAYING = 65;
inline constexpr MMRESULT MIDIERR_NOTREADY = 67;
inline constexpr MMRESULT TIMERR_NOERROR = 0;
inline constexpr MMRESULT TIMERR_NOCANDO = 97;

inline constexpr DWORD MHDR_DONE = 0x00000001;
inline constexpr DWORD MHDR_PREPARED = 0x00000002;
inline constexpr DWORD MHDR_INQUEUE = 0x00000004;

inline constexpr UINT MIM_OPEN = 0x3C1;
inline constexpr UINT MIM_CLOSE = 0x3C2;
inline constexpr UINT MIM_DATA = 0x3C3;
inline constexpr UINT MIM_LONGDATA = 0x3C4;
inline constexpr UINT MIM_ERROR = 0x3C5;
inline constexpr UINT MIM_LONGERROR = 0x3C6;
inline constexpr UINT MIM_MOREDATA = 0x3CC;

inline constexpr DWORD CALLBACK_NULL = 0x00000000;
inline constexpr DWORD CALLBACK_FUNCTION = 0x00030000;

inline constexpr UINT TIME_ONESHOT = 0;
inline constexpr UINT TIME_PERIODIC = 1;

inline constexpr std::size_t MAXPNAMELEN = 32;

struct MIDIHDR {
    char* lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    MIDIHDR* lpNext;
    DWORD_PTR reserved;
    DWORD dwOffset;
    DWORD_PTR dwReserved[8];
};

struct MIDIINCAPSA {
    std::uint16_t wMid;
    std::uint16_t wPid;
    std::uint32_t vDriverVersion;
    char szPname[MAXPNAMELEN];
    DWORD dwSupport;
};

struct MIDIOUTCAPSA {
    std::uint16_t wMid;
    std::uint16_t wPid;
    std::uint32_t vDriverVersion;
    char szPname[MAXPNAMELEN];
    std::uint16_t wTechnology;
    std::uint16_t wVoices;
    std::uint16_t wNotes;
    std::uint16_t wChannelMask;
    DWORD dwSupport;
};

struct TIMECAPS {
    UINT wPeriodMin;
    UINT wPeriodMax;
};

struct MidiInDevice;   // opaque
struct MidiOutDevice;  // opaque
using HMIDIIN = MidiInDevice*;
using HMIDIOUT = MidiOutDevice*;

// Input callback: (handle, message, instance, param1, param2). For
// MIM_LONGDATA and MIM_LONGERROR param1 is the MIDIHDR*; for MIM_DATA it is
// the packed short message. Runs on the platform's MIDI input thread; calls
// for one device never overlap.
using MidiInProc = void (*)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
// Timer callback: (timer id, message, user value, reserved, reserved).
using LPTIMECALLBACK = void (*)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

// ---- MIDI input ----
UINT midiInGetNumDevs();
// Fills caps; szPname is always terminated. A name longer than 31 bytes is
// cut at 31.
MMRESULT midiInGetDevCapsA(UINT_PTR deviceId, MIDIINCAPSA* caps, UINT size);
// callback: a MidiInProc cast to DWORD_PTR, with CALLBACK_FUNCTION. MIM_OPEN
// is delivered before it returns.
MMRESULT midiInOpen(HMIDIIN* handle, UINT deviceId, DWORD_PTR callback, DWORD_PTR instance,
                    DWORD flags);
// Fails with MIDIERR_STILLPLAYING while buffers are queued. MIM_CLOSE is
// delivered before it returns; no callback runs after that.
MMRESULT midiInClose(HMIDIIN handle);
MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* hdr, UINT size);
// Fails with MIDIERR_STILLPLAYING while the header is queued.
MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* hdr, UINT size);
// Queues a prepared header for SysEx input (MIDIERR_UNPREPARED otherwise):
// clears MHDR_DONE, sets MHDR_INQUEUE. A SysEx message fills the oldest
// queued buffer from its F0 to its F7 (real-time bytes in between are not
// part of it); the buffer is handed back with MIM_LONGDATA when the F7 came
// or when it is full (the rest of the message then goes into the next
// buffer). With no buffer queued, SysEx bytes are lost.
MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* hdr, UINT size);
MMRESULT midiInStart(HMIDIIN handle);
// Stops input. A buffer that holds part of a message is handed back with
// what it holds; empty queued buffers stay queued.
MMRESULT midiInStop(HMIDIIN handle);
// Stops input and hands every queued buffer back (MHDR_DONE, MIM_LONGDATA),
// with the bytes it holds, usually none. Returns after those callbacks ran.
MMRESULT midiInReset(HMIDIIN handle);

// ---- MIDI output ----
UINT midiOutGetNumDevs();
MMRESULT midiOutGetDevCapsA(UINT_PTR deviceId, MIDIOUTCAPSA* caps, UINT size);
MMRESULT midiOutOpen(HMIDIOUT* handle, UINT deviceId, DWORD_PTR callback, DWORD_PTR instance,
                     DWORD flags);
MMRESULT midiOutClose(HMIDIOUT handle);
MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* hdr, UINT size);
MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* hdr, UINT size);
// Sends the header's dwBufferLength bytes as one SysEx message. MHDR_DONE is
// set in dwFlags when the platform has finished with the bytes; that may be
// before or after this returns.
MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* hdr, UINT size);
MMRESULT midiOutShortMsg(HMIDIOUT handle, DWORD message);

// ---- multimedia timer ----
MMRESULT timeGetDevCaps(TIMECAPS* caps, UINT size);
MMRESULT timeBeginPeriod(UINT period);
MMRESULT timeEndPeriod(UINT period);
// Periodic (TIME_PERIODIC) or one-shot event on a thread of its own, with
// absolute deadlines (no drift). Ticks of one event never overlap. Returns
// the event id, 0 when refused.
UINT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback, DWORD_PTR user, UINT flags);
// Kills the event. When a tick is running, waits for it to return, unless
// called from that very tick. No tick of the event starts after this returns.
MMRESULT timeKillEvent(UINT id);
// Not in the Windows API: runs the next tick of a periodic event now rather
// than at its deadline, so that work a tick does can start as soon as input
// arrives. The regular deadlines stay as they are, ticks still never overlap
// (a wake during a tick makes the next one follow it), and many wakes before
// a tick starts give one tick. Safe from any thread; MMSYSERR_INVALPARAM for
// an event that is gone.
MMRESULT timeWakeEvent(UINT id);
// Not in the Windows API: a periodic event's ticks stop coming at their
// deadlines; the next one comes with the next timeWakeEvent (at once when a
// wake is already pending), and the regular period resumes from that tick.
// A parked event costs no wake-ups at all, which is what lets an owner that
// has nothing to poll for keep its timer without burning a core. Safe from
// any thread, including the event's own tick; MMSYSERR_INVALPARAM for a
// one-shot event or one that is gone.
MMRESULT timeParkEvent(UINT id);

}  // namespace ql5::mm
