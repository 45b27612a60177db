#include "app/win32/message_boxes.h"

#include <algorithm>
#include <memory>

#include "app/win32/dpi.h"

#include "app/win32/native_window.h"

namespace kv::win32 {

namespace {

// Layout of a box, in 96-DPI units.
constexpr int kMargin = 12;
constexpr int kIconSize = 32;
constexpr int kMaxTextWidth = 420;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 23;

constexpr int kIconId = 1;
constexpr int kTextId = 2;

const char* const kOkButtonProc = "KvOkButtonProc";

// Enter and Escape close the box like OK; the button alone only knows Space.
LRESULT CALLBACK OkButtonProc(HWND button, UINT message, WPARAM wparam, LPARAM lparam) {
  auto previous = reinterpret_cast<WNDPROC>(GetPropA(button, kOkButtonProc));
  if (message == WM_KEYDOWN && (wparam == VK_RETURN || wparam == VK_ESCAPE)) {
    PostMessageA(GetParent(button), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
    return 0;
  }
  if (message == WM_GETDLGCODE) return DLGC_WANTALLKEYS;
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
    RemovePropA(button, kOkButtonProc);
  }
  return CallWindowProcA(previous, button, message, wparam, lparam);
}

class TBoxWindow final : public TNativeWindow {
 public:
  TBoxWindow(toolkit::EventLoop& loop, const TGuiFonts& fonts)
      : TNativeWindow(loop), fonts_(fonts) {}
  ~TBoxWindow() override { DestroyNative(); }

  bool Create(const std::string& caption, const std::string& text, toolkit::MessageSymbol symbol,
              HWND owner) {
    if (!CreateNative(TWin32MessageBoxes::kClassName, WS_EX_DLGMODALFRAME,
                      WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN, caption, 0, 0, 0, 0,
                      owner, nullptr)) {
      return false;
    }
    // At the box's own DPI: its place, its sizes and its font.
    const TDpiScale scale(WindowDpi(Handle()));
    if (scale.Dpi() != fonts_.Dpi()) {
      ownFonts_ =
          std::make_unique<TGuiFonts>(fonts_.ButtonPixels(), fonts_.TitlePixels(), scale.Dpi());
    }
    const TGuiFonts& fonts = ownFonts_ ? *ownFonts_ : fonts_;
    const int margin = scale.ToPixels(kMargin);
    const int iconSize = scale.ToPixels(kIconSize);
    const int buttonWidth = scale.ToPixels(kButtonWidth);
    const int buttonHeight = scale.ToPixels(kButtonHeight);
    const bool error = symbol == toolkit::MessageSymbol::kError;
    SetPropA(
        Handle(), TWin32MessageBoxes::kSymbolProperty,
        reinterpret_cast<HANDLE>(static_cast<INT_PTR>(
            error ? TWin32MessageBoxes::kSymbolError : TWin32MessageBoxes::kSymbolInformation)));
    const SIZE textSize = MeasureText(text, fonts.Window(), scale.ToPixels(kMaxTextWidth));
    const int contentHeight = std::max<int>(iconSize, textSize.cy);
    const int textLeft = margin + iconSize + margin;
    // Wide enough for the caption too, beside the icon and the close button.
    const int captionWidth = CaptionTextWidth(caption, scale.ToPixels(kMaxTextWidth)) +
                             2 * GetSystemMetrics(SM_CXSIZE) + margin;
    const int clientWidth =
        std::max<int>({textLeft + textSize.cx + margin, buttonWidth + 2 * margin, captionWidth});
    const int clientHeight = margin + contentHeight + margin + buttonHeight + margin;

    HWND icon = CreateChild(Handle(), "STATIC", "", WS_VISIBLE | SS_ICON, margin, margin, iconSize,
                            iconSize, kIconId, nullptr);
    SendMessageA(icon, STM_SETICON,
                 reinterpret_cast<WPARAM>(LoadIcon(nullptr, error ? IDI_ERROR : IDI_INFORMATION)),
                 0);
    CreateChild(Handle(), "STATIC", text, WS_VISIBLE | SS_LEFT | SS_NOPREFIX, textLeft,
                margin + (contentHeight - textSize.cy) / 2, textSize.cx, textSize.cy, kTextId,
                fonts.Window());
    ok_ = CreateChild(Handle(), "BUTTON", "OK", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                      (clientWidth - buttonWidth) / 2, clientHeight - margin - buttonHeight,
                      buttonWidth, buttonHeight, IDOK, fonts.Window());
    SetPropA(ok_, kOkButtonProc,
             reinterpret_cast<HANDLE>(
                 SetWindowLongPtrA(ok_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&OkButtonProc))));

    PlaceOver(owner, clientWidth, clientHeight);
    MessageBeep(error ? MB_ICONHAND : MB_ICONASTERISK);
    ShowWindow(Handle(), SW_SHOW);
    SetForegroundWindow(Handle());
    SetFocus(ok_);
    return true;
  }

  bool Closed() const { return closed_; }

 protected:
  bool HandleMessage(UINT message, WPARAM wparam, LPARAM /*lparam*/, LRESULT& result) override {
    switch (message) {
      case WM_COMMAND:
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) closed_ = true;
        result = 0;
        return true;
      case WM_CLOSE:
        closed_ = true;
        result = 0;
        return true;
      case WM_ACTIVATE:
        if (LOWORD(wparam) != WA_INACTIVE && ok_ != nullptr) SetFocus(ok_);
        result = 0;
        return true;
      default:
        return false;
    }
  }

 private:
  int CaptionTextWidth(const std::string& caption, int maxWidth) const {
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) return 0;
    HFONT font = CreateFontIndirectA(&metrics.lfCaptionFont);
    const int width = MeasureText(caption, font, maxWidth).cx;
    DeleteObject(font);
    return width;
  }

  SIZE MeasureText(const std::string& text, HFONT font, int maxWidth) const {
    HDC dc = GetDC(Handle());
    HGDIOBJ previous = SelectObject(dc, font);
    RECT bounds{0, 0, maxWidth, 0};
    // An empty text (an exception without a message) still gets a line.
    const std::string measured = text.empty() ? std::string(" ") : text;
    DrawTextA(dc, measured.c_str(), static_cast<int>(measured.size()), &bounds,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, previous);
    ReleaseDC(Handle(), dc);
    return SIZE{bounds.right - bounds.left + 1, bounds.bottom - bounds.top};
  }

  // Centred on the window it is modal to (on the screen without one).
  void PlaceOver(HWND owner, int clientWidth, int clientHeight) {
    RECT outer{0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&outer, static_cast<DWORD>(GetWindowLongPtrA(Handle(), GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrA(Handle(), GWL_EXSTYLE)));
    const int width = outer.right - outer.left;
    const int height = outer.bottom - outer.top;
    RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (owner != nullptr && IsWindowVisible(owner)) GetWindowRect(owner, &area);
    const int left = area.left + (area.right - area.left - width) / 2;
    const int top = area.top + (area.bottom - area.top - height) / 2;
    SetWindowPos(Handle(), HWND_TOP, left, top, width, height, SWP_NOACTIVATE);
  }

  const TGuiFonts& fonts_;
  std::unique_ptr<TGuiFonts> ownFonts_;  // when the box's DPI is not the screen's
  HWND ok_ = nullptr;
  bool closed_ = false;
};

}  // namespace

TWin32MessageBoxes::TWin32MessageBoxes(toolkit::EventLoop& loop, const TGuiFonts& fonts,
                                       std::string caption, std::function<HWND()> mainWindow)
    : loop_(loop),
      fonts_(fonts),
      caption_(std::move(caption)),
      mainWindow_(std::move(mainWindow)) {}

void TWin32MessageBoxes::Show(toolkit::MessageId /*id*/, const std::string& text,
                              toolkit::MessageSymbol symbol) {
  if (!loop_.IsUiThread()) return;
  HWND owner = open_.empty() ? (mainWindow_ ? mainWindow_() : nullptr) : open_.back();
  TBoxWindow box(loop_, fonts_);
  if (!box.Create(caption_, text, symbol, owner)) return;
  const bool ownerWasEnabled = owner != nullptr && IsWindowEnabled(owner);
  if (owner != nullptr) EnableWindow(owner, FALSE);
  open_.push_back(box.Handle());
  loop_.RunUntil([&box] { return box.Closed(); });
  open_.pop_back();
  // The owner first, so that activation returns to it when the box goes.
  if (owner != nullptr && ownerWasEnabled) EnableWindow(owner, TRUE);
  if (owner != nullptr) SetForegroundWindow(owner);
}

}  // namespace kv::win32
