#include "app/KeyLocks.h"

#include <QGuiApplication>

#if defined(KESTRUNE_HAVE_X11)
#include <QtGui/qguiapplication_platform.h>
#include <X11/XKBlib.h>
#endif

namespace gui {

std::optional<bool> LockKeyState(LockKey key)
{
#if defined(KESTRUNE_HAVE_X11) && QT_CONFIG(xcb)
    auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>()
                                   : nullptr;
    Display* display = x11 != nullptr ? x11->display() : nullptr;
    if (display == nullptr)
        return std::nullopt;
    const char* name = key == LockKey::Caps ? "Caps Lock" : key == LockKey::Num ? "Num Lock" : "Scroll Lock";
    const Atom atom = XInternAtom(display, name, True);
    if (atom == None)
        return std::nullopt;
    Bool on = False;
    if (!XkbGetNamedIndicator(display, atom, nullptr, &on, nullptr, nullptr))
        return std::nullopt;
    return on != False;
#else
    (void)key;
    return std::nullopt;
#endif
}

} // namespace gui
