#include "core/Background.h"

namespace norvane {

namespace {
std::atomic<bool> abortFlag{false};
}

bool abortRequested() { return abortFlag.load(); }
void requestAbort() { abortFlag = true; }
void clearAbortRequest() { abortFlag = false; }

}  // namespace norvane
