#include "workflows/ActionLock.h"

namespace norvane {

ActionLock::ActionLock(const ActionControls& controls) {
    for (QWidget* control : controls) {
        if (!control) continue;
        // Its own setting, not isEnabled(): a control that is disabled only because its
        // parent is must not come back disabled for good.
        saved_.emplace_back(control, !control->testAttribute(Qt::WA_ForceDisabled));
        control->setEnabled(false);
    }
}

ActionLock::~ActionLock() {
    for (auto& [control, wasEnabled] : saved_)
        if (control) control->setEnabled(wasEnabled);
}

}  // namespace norvane
