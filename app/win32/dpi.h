// Scaling of the windows' layout. Every position, size and font of the layout
// tables is given in 96-DPI units; a window is drawn at the DPI of the monitor
// it is on, and moves to another DPI when Windows says so (WM_DPICHANGED).
#pragma once

#include <windows.h>

namespace kv::win32 {

// The DPI the layout tables are written for.
inline constexpr int kLayoutDpi = 96;

// The DPI `hwnd` is drawn at: GetDpiForWindow where the system has it (Windows
// 10 1607 and later), the screen's otherwise.
int WindowDpi(HWND hwnd);
// The screen's DPI, for what is placed before a window exists.
int SystemDpi();

// Converts between layout units and the pixels of one DPI, rounding to the
// nearest pixel.
class TDpiScale {
 public:
  explicit TDpiScale(int dpi) : dpi_(dpi > 0 ? dpi : kLayoutDpi) {}

  int Dpi() const { return dpi_; }
  int ToPixels(int layoutUnits) const { return MulDiv(layoutUnits, dpi_, kLayoutDpi); }
  int ToLayout(int pixels) const { return MulDiv(pixels, kLayoutDpi, dpi_); }

 private:
  int dpi_;
};

}  // namespace kv::win32
