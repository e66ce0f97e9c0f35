#include "app/Background.h"

namespace norvane {

namespace {
std::atomic<bool> abortFlag{false};
}

bool abortRequested() { return abortFlag.load(); }
void requestAbort() { abortFlag = true; }
void clearAbortRequest() { abortFlag = false; }

ActionLock::ActionLock(const std::vector<QWidget*>& controls) {
    for (QWidget* control : controls) {
        if (!control) continue;
        saved_.emplace_back(control, control->isEnabled());
        control->setEnabled(false);
    }
}

ActionLock::~ActionLock() {
    for (auto& [control, wasEnabled] : saved_)
        if (control) control->setEnabled(wasEnabled);
}

}  // namespace norvane
