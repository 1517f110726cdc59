#pragma once
// The state of the lock keys, where the window system tells it.
#include <optional>

namespace gui {

enum class LockKey { Caps, Num, Scroll };

// On, off, or nothing when the platform cannot say (no X server, offscreen).
std::optional<bool> LockKeyState(LockKey key);

} // namespace gui
