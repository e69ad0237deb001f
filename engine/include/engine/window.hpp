#pragma once
// The one way the engine reaches a window: the dialog implements it with
// its controls, the command-line program with a terminal, the tests with a
// recorder. Every call may come from a worker thread and returns when done.
#include <cstdint>
#include <string>

namespace ql5::engine {

// The string table.
enum StringId : int {
    IDS_ABOUTBOX = 101,
    IDS_TIMEOUT1 = 102,
    IDS_TIMEOUT2 = 103,
    IDS_TIMEOUT3 = 104,
    IDS_ILLEGAL_DEVICE = 105,
    IDS_USE_UPDATE_MODE = 106,
    IDS_TRANSFER_ERROR = 107,
    IDS_UPDATE_COMPLETED = 108,
    IDS_IN_PROGRESS = 109,
    IDS_CANT_OPEN_IN = 110,
    IDS_ERROR_CAPTION = 111,
    IDS_CANT_OPEN_OUT = 113,
    IDS_ERASING = 114,
    IDS_DATA_TRANSMIT = 115,
    IDS_UNPLUG = 117,
    IDS_VERIFYING = 118,
};

// The text of a string id, exactly as shown; empty for an unknown id.
const char* loadString(int id);

class WindowInterface {
  public:
    virtual ~WindowInterface() = default;
    virtual void setStatusLine(const std::string& text) = 0;
    virtual void setStepCounter(const std::string& text) = 0;
    virtual void setProgressRange(std::int32_t low, std::int32_t high) = 0;
    virtual void setProgressPos(std::int32_t pos) = 0;
    // Modal box captioned "Error" with the stop icon and the text of the
    // string id; returns when the user has closed it.
    virtual void showError(int stringId) = 0;
    // Modal box captioned "Version Information" with the information icon.
    virtual void showVersionReport(const std::string& text) = 0;
    // Enables both port lists and all four buttons, then clears busy.
    virtual void restoreControls() = 0;
    // Enables or disables Execute and Version Check together.
    virtual void enableActions(bool enable) = 0;
    // Refills the port lists; 1 when both hold a port of the unit, else 0.
    virtual int discoverPorts() = 0;
    // The version check's end message (posted, not sent): the window calls
    // onVersionCheckDone(result) on its own thread.
    virtual void postVersionCheckDone(int result) = 0;
    // The unit does not answer reads in its update state: the update goes
    // on without checking what it writes. Called at most once per update;
    // the window shows nothing new for it.
    virtual void noteUncheckable() {}
};

}  // namespace ql5::engine
