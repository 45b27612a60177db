#include "app/win32/gui_fonts.h"

#include <cstring>

#include "app/win32/dpi.h"

namespace kv::win32 {

namespace {

constexpr int kPointsPerInch = 72;

// Negative heights: the character height, as a point size means it.
int PointsToHeight(int points, int dpi) {
  return -MulDiv(points, dpi, kPointsPerInch);
}

int PixelsToHeight(int layoutPixels, int dpi) {
  return -TDpiScale(dpi).ToPixels(layoutPixels);
}

HFONT MakeFont(int height, const char* face, DWORD charset, DWORD pitch) {
  return CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, charset, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, pitch | FF_DONTCARE, face);
}

int CALLBACK NoteFontFound(const LOGFONTA*, const TEXTMETRICA*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

}  // namespace

bool FontInstalled(const char* face) {
  LOGFONTA query{};
  query.lfCharSet = DEFAULT_CHARSET;
  std::strncpy(query.lfFaceName, face, LF_FACESIZE - 1);
  bool found = false;
  HDC screen = GetDC(nullptr);
  EnumFontFamiliesExA(screen, &query, &NoteFontFound, reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, screen);
  return found;
}

TGuiFonts::TGuiFonts(int buttonPixels, int titlePixels, int dpi)
    : dpi_(dpi > 0 ? dpi : SystemDpi()),
      buttonPixels_(buttonPixels),
      titlePixels_(titlePixels),
      window_(MakeFont(PointsToHeight(kWindowPoints, dpi_), kWindowFace, DEFAULT_CHARSET,
                       DEFAULT_PITCH)),
      button_(MakeFont(PixelsToHeight(buttonPixels, dpi_), kWindowFace, DEFAULT_CHARSET,
                       DEFAULT_PITCH)),
      title_(
          MakeFont(PixelsToHeight(titlePixels, dpi_), kWindowFace, DEFAULT_CHARSET, DEFAULT_PITCH)),
      memoFace_(FontInstalled(kMemoFace) ? kMemoFace : kMemoFallbackFace) {
  memo_ = MakeFont(PointsToHeight(kMemoPoints, dpi_), memoFace_.c_str(), ANSI_CHARSET, FIXED_PITCH);
}

TGuiFonts::~TGuiFonts() {
  for (HFONT font : {window_, button_, title_, memo_}) {
    if (font != nullptr) DeleteObject(font);
  }
}

}  // namespace kv::win32
