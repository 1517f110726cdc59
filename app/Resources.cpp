#include "app/Resources.h"

// The resource file lives in a static library; its registration must be pulled in by hand.
static void InitKestruneResources()
{
    Q_INIT_RESOURCE(kestrune);
}

namespace gui {

QIcon AppIcon()
{
    static const bool initialised = (InitKestruneResources(), true);
    (void)initialised;
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/kestrune/icon-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace gui
