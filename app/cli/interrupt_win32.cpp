// Windows: the console runs its control handler on a thread of its own, which
// may raise the hub directly.
#include <windows.h>

#include <atomic>
#include <cstdlib>

#include "app/cli/interrupt.h"

namespace kv::cli {

namespace {

constexpr int kInterruptedExitCode = 130;

std::atomic<TInterruptHub*> g_hub{nullptr};
std::atomic<int> g_raised{0};

BOOL WINAPI ConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: {
      TInterruptHub* hub = g_hub.load();
      if (hub == nullptr) return FALSE;
      if (g_raised.fetch_add(1) > 0) std::_Exit(kInterruptedExitCode);
      hub->Raise();
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
