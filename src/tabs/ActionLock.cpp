#include "tabs/ActionLock.h"

namespace norvane {

ActionLock::ActionLock(const ActionControls& controls) {
    QWidget* focused = nullptr;
    // The window's focus, active or not: a dialog that has just closed gives it back later.
    for (QWidget* control : controls)
        if (control && control->window()->focusWidget() == control) focused = control;
    for (QWidget* control : controls) {
        if (!control) continue;
        // Its own setting, not isEnabled(): a control that is disabled only because its
        // parent is must not come back disabled for good.
        saved_.emplace_back(control, !control->testAttribute(Qt::WA_ForceDisabled));
        control->setEnabled(false);
    }
    if (focused) {
        focused_ = focused;
        focusWhileLocked_ = focused->window()->focusWidget();
    }
}

ActionLock::~ActionLock() {
    for (auto& [control, wasEnabled] : saved_)
        if (control) control->setEnabled(wasEnabled);
    if (focused_ && focused_->isEnabled() && focused_->isVisible() &&
        focused_->window()->focusWidget() == focusWhileLocked_.data())
        focused_->setFocus(Qt::OtherFocusReason);
}

}  // namespace norvane
