#include "engine/window.hpp"

namespace ql5::engine {

namespace {

struct StringEntry {
    int id;
    const char* text;
};

// The string table: every text shown in an error box, in the status line or
// in the About entry, exactly as the user sees it.
constexpr StringEntry kStrings[] = {
    {IDS_ABOUTBOX, "About Tarvik Dorn Series Updater(&A)..."},
    {IDS_TIMEOUT1, "Time out error(1)"},
    {IDS_TIMEOUT2, "Time out error(2)"},
    {IDS_TIMEOUT3, "Time out error(3)"},
    {IDS_ILLEGAL_DEVICE, "Illegal device connected."},
    {IDS_USE_UPDATE_MODE, "Please use the firmware update mode."},
    {IDS_TRANSFER_ERROR, "Transfer error occurred."},
    {IDS_UPDATE_COMPLETED, "Version update completed."},
    {IDS_IN_PROGRESS, "In Progress."},
    {IDS_CANT_OPEN_IN, "Can't open MIDI In device."},
    {IDS_ERROR_CAPTION, "Error"},
    {IDS_CANT_OPEN_OUT, "Can't open MIDI Out device."},
    {IDS_ERASING, "Erasing Flash memory."},
    {IDS_DATA_TRANSMIT, "Data transmit  %d / %d "},
    {IDS_UNPLUG, "PLEASE UNPLUG THE USB CABLE AND TURN OFF THE POWER."},
    {IDS_VERIFYING, "Verifying written data  %d / %d "},
};

}  // namespace

const char* loadString(int id) {
    for (const StringEntry& e : kStrings) {
        if (e.id == id) {
            return e.text;
        }
    }
    return "";
}

}  // namespace ql5::engine
