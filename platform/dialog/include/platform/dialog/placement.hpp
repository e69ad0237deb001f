#pragma once
// Where a dialog opens: centred on its owner, or on the work area when it
// has none, and moved one title bar down and right per cascade step so that
// several copies of the program do not hide each other exactly. Pure
// arithmetic, shared by the toolkits.
namespace ql5::dlg {

struct Rect {
    int left, top, right, bottom;
};

struct Placement {
    int x, y;
    bool operator==(const Placement&) const = default;
};

// around: the owner's frame, or the work area itself; work: the screen
// without the task bar; width, height: the window's frame; step: the cascade
// step in pixels. Steps that would leave the work area continue from its
// top-left corner, each further row half a step to the right of the one
// before; the result always lies inside the work area when the window fits.
Placement placeWindow(const Rect& around, const Rect& work, int width, int height, int cascade,
                      int step);

}  // namespace ql5::dlg
