// The fonts of the windows: MS Sans Serif 8 pt for everything not named, a
// 13-pixel font for the command buttons, a 16-pixel one for the title, and the
// Program Data window's monospaced memo font. Pixel sizes are 96-DPI units,
// scaled to the DPI the fonts are made for.
#pragma once

#include <windows.h>

#include <string>

namespace kv::win32 {

class TGuiFonts {
 public:
  static constexpr const char* kWindowFace = "MS Sans Serif";
  static constexpr int kWindowPoints = 8;
  static constexpr const char* kMemoFace = "Arial monospaced for SAP";
  // Where the memo's own face is not installed.
  static constexpr const char* kMemoFallbackFace = "Courier New";
  static constexpr int kMemoPoints = 10;

  // `dpi` 0: the screen's.
  TGuiFonts(int buttonPixels, int titlePixels, int dpi = 0);
  ~TGuiFonts();
  TGuiFonts(const TGuiFonts&) = delete;
  TGuiFonts& operator=(const TGuiFonts&) = delete;

  HFONT Window() const { return window_; }
  HFONT Button() const { return button_; }
  HFONT Title() const { return title_; }
  HFONT Memo() const { return memo_; }
  const std::string& MemoFace() const { return memoFace_; }
  int Dpi() const { return dpi_; }
  int ButtonPixels() const { return buttonPixels_; }
  int TitlePixels() const { return titlePixels_; }

 private:
  int dpi_;
  int buttonPixels_;
  int titlePixels_;
  HFONT window_;
  HFONT button_;
  HFONT title_;
  HFONT memo_;
  std::string memoFace_;
};

bool FontInstalled(const char* face);

}  // namespace kv::win32
