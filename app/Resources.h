#pragma once
// The program's compiled-in resources: icon and dialog pictures.
#include <QIcon>

namespace gui {

// Icon 128: the window icon of the frame and the picture of the about box.
QIcon AppIcon();

} // namespace gui
