// SPDX-License-Identifier: MIT
#pragma once
// The frame each window of the design has, asked of an X window manager
// through the Motif hints. Qt derives those hints from the window flags, but
// gives a window whose title bar has no buttons no decorations at all in
// them, and every window a resize handle. Window managers that read the
// hints button by button draw exactly these; openbox takes from them only
// whether a window has a frame, and draws its own buttons.
class QWidget;

namespace tam {

enum class Frame {
  kCaptionOnly,         // title and border: the progress window
  kCaptionMenuMinimize  // title, border, system menu, minimise: the main window
};

// Writes the hints on window's native window, replacing Qt's. Call it once
// the native window exists and before it is shown (showEvent), and again
// after each change of the window flags, which makes Qt write its own. Does
// nothing on a platform other than X11.
void RequestFrame(QWidget* window, Frame frame);

}  // namespace tam
