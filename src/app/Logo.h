#pragma once

#include <QPixmap>

namespace norvane {

// The program's 113 x 49 logo.
QPixmap makeLogo();

}  // namespace norvane
