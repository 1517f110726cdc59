#pragma once
// Where the main frame opens: from the desktop's client rectangle, in unsigned arithmetic, so
// every division drops its remainder.
#include <QRect>

namespace gui {

// Desktop width W = right - left and height H = bottom - top; the frame's outer rectangle is
// (W/5, H/5) with size W/2 x H/5.
QRect ComputeFramePlacement(const QRect& desktop);

} // namespace gui
