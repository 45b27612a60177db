// Windows: the console runs its control handler on a thread of its own, which
// may raise the hub directly.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "app/cli/interrupt.h"

namespace kv::cli {

namespace {

constexpr int kInterruptedExitCode = 130;

std::atomic<TInterruptHub*> g_hub{nullptr};
Mutex g_policyLock;
TInterruptPolicy g_policy KV_GUARDED_BY(g_policyLock);

BOOL WINAPI ConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: {
      TInterruptHub* hub = g_hub.load();
      if (hub == nullptr) return FALSE;
      TInterruptPolicy::TAction action;
      {
        MutexLock lock(g_policyLock);
        action = g_policy.OnSignal(TInterruptPolicy::Clock::now());
      }
      if (action == TInterruptPolicy::TAction::kForceExit) std::_Exit(kInterruptedExitCode);
      if (action == TInterruptPolicy::TAction::kRequestClose) hub->Raise();
      return TRUE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

struct TConsoleInterruptWatch::State {};

TConsoleInterruptWatch::TConsoleInterruptWatch(TInterruptHub& hub) : state_(nullptr) {
  g_hub = &hub;
  SetConsoleCtrlHandler(ConsoleControl, TRUE);
}

TConsoleInterruptWatch::~TConsoleInterruptWatch() {
  SetConsoleCtrlHandler(ConsoleControl, FALSE);
  g_hub = nullptr;
}

}  // namespace kv::cli
