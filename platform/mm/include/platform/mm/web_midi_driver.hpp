#pragma once
// The browser's MIDI ports (Web MIDI), for the program built as a web page.
//
// navigator.requestMIDIAccess exists on the page's main thread only, and the
// program's threads never run there. So the driver keeps a copy of the port
// list that the page refreshes (at start and on every statechange event),
// sends through the main thread (the sending thread waits for the page to
// have handed the bytes to the browser; the main thread waits for nobody),
// and gives every open input its own reader thread, to which the page hands
// each arriving message. A port whose state turns to "disconnected" leaves
// the list: the engine sees an unplugged unit, as with any other driver.
//
// The page half lives in web_midi.js (linked into the page's script).
#include <memory>

#include "platform/mm/driver.hpp"

namespace ql5::mm {

// The one Web MIDI driver of the program (the page's ports are one set).
std::shared_ptr<Driver> webMidiDriver();

}  // namespace ql5::mm
