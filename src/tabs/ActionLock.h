#pragma once
// One action at a time: while an action runs, every control that starts an action (on
// every tab and panel of its window) is disabled, and comes back as it was after, with the
// keyboard focus on the control that started it.

#include <QPointer>
#include <QWidget>
#include <vector>

namespace norvane {

// The controls of a window that start actions, in one list that every handler locks.
using ActionControls = std::vector<QWidget*>;

class ActionLock {
public:
    explicit ActionLock(const ActionControls& controls);
    ~ActionLock();
    ActionLock(const ActionLock&) = delete;
    ActionLock& operator=(const ActionLock&) = delete;

private:
    std::vector<std::pair<QPointer<QWidget>, bool>> saved_;
    // The focused control that the lock disabled, and where the focus went meanwhile: the
    // focus comes back to the control unless the user moved it elsewhere.
    QPointer<QWidget> focused_;
    QPointer<QWidget> focusWhileLocked_;
};

}  // namespace norvane
