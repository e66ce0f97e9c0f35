#pragma once
// What a screen reader and a keyboard-only user need from our windows: the windows read as
// frames, Enter presses the focused button as Space does, and the controls of Qt's file
// dialog are named in Portuguese.

class QFileDialog;
class QWidget;

namespace norvane {

// The program's top-level windows (plain widgets) are frames to a screen reader, which then
// announces their title when they come up. The application object installs it before any
// window exists (Qt keeps the interface a window first got). Idempotent.
void describeWindowsAsFrames();

// Enter and Return press the focused push button of the window (a dialog already does so
// through its default button; a plain window does not).
void pressFocusedButtonOnEnter(QWidget* window);

// Portuguese accessible names for the controls of Qt's own file dialog.
void nameFileDialogControls(QFileDialog* dialog);

}  // namespace norvane
