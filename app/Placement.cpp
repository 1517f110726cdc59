#include "app/Placement.h"

namespace gui {

QRect ComputeFramePlacement(const QRect& desktop)
{
    // QRect's right() is inclusive; the desktop window's client rectangle is not.
    const unsigned w = static_cast<unsigned>(desktop.width());
    const unsigned h = static_cast<unsigned>(desktop.height());
    return QRect(static_cast<int>(w / 5), static_cast<int>(h / 5), static_cast<int>(w / 2),
                 static_cast<int>(h / 5));
}

} // namespace gui
