#include "app/win32/gui_fonts.h"

#include <cstring>

namespace kv::win32 {

namespace {

int PointsToHeight(int points) {
  HDC screen = GetDC(nullptr);
  const int pixelsPerInch = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  // Negative: the character height, as a point size means it.
  return -MulDiv(points, pixelsPerInch, 72);
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

TGuiFonts::TGuiFonts(int buttonPixels, int titlePixels)
    : window_(MakeFont(PointsToHeight(kWindowPoints), kWindowFace, DEFAULT_CHARSET, DEFAULT_PITCH)),
      button_(MakeFont(-buttonPixels, kWindowFace, DEFAULT_CHARSET, DEFAULT_PITCH)),
      title_(MakeFont(-titlePixels, kWindowFace, DEFAULT_CHARSET, DEFAULT_PITCH)),
      memoFace_(FontInstalled(kMemoFace) ? kMemoFace : kMemoFallbackFace) {
  memo_ = MakeFont(PointsToHeight(kMemoPoints), memoFace_.c_str(), ANSI_CHARSET, FIXED_PITCH);
}

TGuiFonts::~TGuiFonts() {
  for (HFONT font : {window_, button_, title_, memo_}) {
    if (font != nullptr) DeleteObject(font);
  }
}

}  // namespace kv::win32
