#pragma once
// The program's dialogs on Qt: message boxes, folder and file dialogs, the certificate
// pick list and the PIN prompt.

#include "core/Dialogs.h"

namespace norvane {

Dialogs& qtDialogs();

}  // namespace norvane
