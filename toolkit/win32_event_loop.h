// The Win32 binding of the event loop, for the Windows window. Besides the
// loop's own tasks and timers it dispatches the UI thread's native window
// messages, so real windows created on that thread work, and a WM_QUIT ends the
// loop like Quit. While it lives the system timer runs at 1 ms resolution, so
// toolkit timers keep to their intervals. The loop is a LoopCore: a window
// procedure runs its handlers through LoopCore::RunGuarded.
//
// Keys work as in a dialog in every window of the UI thread: Tab and Shift+Tab
// move the focus, Space presses the focused button, Enter presses the focused
// or default button.
#pragma once

#include <memory>

#include "toolkit/event_loop.h"

namespace kv::toolkit {

std::unique_ptr<EventLoop> CreateWin32EventLoop();

// Registered window message the loop sends to a top-level window on Tab
// (wParam 1 for Shift+Tab) before the system's dialog handling, whose order is
// the controls' stacking order. A window with a tab order of its own moves the
// focus and returns nonzero.
inline constexpr const char* kNextTabStopMessageName = "KvNextTabStop";

}  // namespace kv::toolkit
