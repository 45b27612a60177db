// The tool's modal message boxes in the window: a text, the information or
// error symbol and one OK button, modal to the window below it. The box is our
// own window run in a nested EventLoop::RunUntil, so the loop's tasks, timers
// and link responses go on being handled while it is open (MessageBoxA's own
// modal loop would leave them waiting).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "app/win32/gui_fonts.h"
#include "toolkit/event_loop.h"
#include "toolkit/message_box.h"

namespace kv::win32 {

class TWin32MessageBoxes final : public toolkit::MessageBoxService {
 public:
  static constexpr const char* kClassName = "TKvMessageBox";
  // Set on each box, for tools that read the symbol from outside.
  static constexpr const char* kSymbolProperty = "KvMessageSymbol";
  static constexpr int kSymbolInformation = 1;
  static constexpr int kSymbolError = 2;

  // `mainWindow` gives the window a box is modal to when no other box is open.
  TWin32MessageBoxes(toolkit::EventLoop& loop, const TGuiFonts& fonts, std::string caption,
                     std::function<HWND()> mainWindow);

  // UI thread. Returns when the user has closed the box, or the loop quits.
  void Show(toolkit::MessageId id, const std::string& text, toolkit::MessageSymbol symbol) override;

 private:
  toolkit::EventLoop& loop_;
  const TGuiFonts& fonts_;
  const std::string caption_;
  const std::function<HWND()> mainWindow_;
  std::vector<HWND> open_;  // innermost last
};

}  // namespace kv::win32
