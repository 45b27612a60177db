// The Win32 binding: the UI thread sleeps in MsgWaitForMultipleObjectsEx on a
// wake event and its message queue.
#include "toolkit/win32_event_loop.h"

#include <windows.h>
// windows.h first: mmsystem.h relies on its types.
#include <mmsystem.h>

#include <chrono>

#include "toolkit/loop_core.h"

namespace kv::toolkit {
namespace {

// The default tick (15.6 ms) would stretch a 20 ms timer to about 31 ms.
constexpr UINT kSystemTimerResolutionMs = 1;

// Tab, Shift+Tab, Space and Enter in a window of this thread work as in a
// dialog. A window that keeps a tab order of its own (not its controls'
// stacking order) is asked first; the system's dialog handling does the rest.
bool HandleDialogKey(MSG& msg) {
  if (msg.hwnd == nullptr || msg.message < WM_KEYFIRST || msg.message > WM_KEYLAST) return false;
  HWND root = GetAncestor(msg.hwnd, GA_ROOT);
  if (root == nullptr) return false;
  if (msg.message == WM_KEYDOWN && msg.wParam == VK_TAB) {
    static const UINT tabStopMessage = RegisterWindowMessageA(kNextTabStopMessageName);
    const bool backwards = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
    if (SendMessageW(root, tabStopMessage, backwards ? 1 : 0, 0) != 0) return true;
  }
  return IsDialogMessageW(root, &msg) != FALSE;
}

DWORD MillisecondsUntil(Clock::time_point deadline) {
  const Clock::duration left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  // Rounded up: waking before the deadline would only make the loop sleep again.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms >= static_cast<long long>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
}

class Win32EventLoop final : public LoopCore {
 public:
  Win32EventLoop() : wake_event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    timeBeginPeriod(kSystemTimerResolutionMs);
    // Gives the thread its message queue now, so messages posted to it before
    // the loop first waits are kept.
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  }

  ~Win32EventLoop() override {
    Shutdown();
    timeEndPeriod(kSystemTimerResolutionMs);
    if (wake_event_ != nullptr) CloseHandle(wake_event_);
  }

  Win32EventLoop(const Win32EventLoop&) = delete;
  Win32EventLoop& operator=(const Win32EventLoop&) = delete;

 protected:
  void WaitForWork(Mutex& held, Clock::time_point deadline, Serving serving)
      KV_REQUIRES(held) override {
    const DWORD wake_mask = serving == Serving::kEverything ? QS_ALLINPUT : QS_SENDMESSAGE;
    const DWORD timeout = MillisecondsUntil(deadline);
    held.unlock();
    // The event is auto-reset and stays signalled until this wait consumes it,
    // so a wake-up between the caller's check and this wait is not lost.
    MsgWaitForMultipleObjectsEx(1, &wake_event_, timeout, wake_mask, MWMO_INPUTAVAILABLE);
    held.lock();
  }

  void WakeUiThread() override { SetEvent(wake_event_); }

  bool DispatchNativeMessage(Serving serving) override {
    MSG msg;
    if (serving == Serving::kSendsOnly) {
      // Peeking delivers messages other threads send to this thread's windows,
      // and removes nothing posted.
      PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
      return false;
    }
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    if (msg.message == WM_QUIT) {
      Quit();
      return true;
    }
    if (HandleDialogKey(msg)) return true;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    return true;
  }

 private:
  HANDLE wake_event_;
};

}  // namespace

std::unique_ptr<EventLoop> CreateWin32EventLoop() {
  return std::make_unique<Win32EventLoop>();
}

}  // namespace kv::toolkit
