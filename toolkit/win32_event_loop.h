// The Win32 binding of the event loop, for the Windows window. Besides the
// loop's own tasks and timers it dispatches the UI thread's native window
// messages, so real windows created on that thread work, and a WM_QUIT ends the
// loop like Quit. While it lives the system timer runs at 1 ms resolution, so
// toolkit timers keep to their intervals. The loop is a LoopCore: a window
// procedure runs its handlers through LoopCore::RunGuarded.
#pragma once

#include <memory>

#include "toolkit/event_loop.h"

namespace kv::toolkit {

std::unique_ptr<EventLoop> CreateWin32EventLoop();

}  // namespace kv::toolkit
