// A native window of our own class whose messages reach a C++ object, with each
// handler run inside the event loop's exception guard (an exception must never
// unwind through a window procedure).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "toolkit/event_loop.h"
#include "toolkit/loop_core.h"

namespace kv::win32 {

class TNativeWindow {
 public:
  TNativeWindow(const TNativeWindow&) = delete;
  TNativeWindow& operator=(const TNativeWindow&) = delete;
  virtual ~TNativeWindow();

  HWND Handle() const { return hwnd_; }

 protected:
  explicit TNativeWindow(toolkit::EventLoop& loop);

  // Registers `className` once and creates the window; false on failure.
  bool CreateNative(const char* className, DWORD exStyle, DWORD style, const std::string& caption,
                    int left, int top, int width, int height, HWND owner, HMENU menu);
  void DestroyNative();

  // The window's own messages; return true when handled, with the result in `result`.
  virtual bool HandleMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) = 0;

  // Runs a handler of the tool inside the loop's exception guard.
  void Guarded(const toolkit::Task& handler);

  toolkit::EventLoop& loop_;

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

  HWND hwnd_ = nullptr;
};

// A child control of a system class, placed in client coordinates. The control
// is put on top of the siblings created before it, so a later control lies
// above an earlier one where they overlap.
HWND CreateChild(HWND parent, const char* className, const std::string& text, DWORD style, int left,
                 int top, int width, int height, int id, HFONT font);

// The model's "\n" line breaks as an edit control needs them ("\r\n"); "\r\n"
// stays as it is. `afterCarriageReturn`: the text continues one that ended in "\r".
std::string WithCrLf(std::string_view text, bool afterCarriageReturn = false);

}  // namespace kv::win32
