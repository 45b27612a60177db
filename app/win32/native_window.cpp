#include "app/win32/native_window.h"

namespace kv::win32 {

namespace {
constexpr int kAppIconId = 1;  // app/win32/resources/version.rc.in
}  // namespace

TNativeWindow::TNativeWindow(toolkit::EventLoop& loop) : loop_(loop) {}

TNativeWindow::~TNativeWindow() {
  DestroyNative();
}

bool TNativeWindow::CreateNative(const char* className, DWORD exStyle, DWORD style,
                                 const std::string& caption, int left, int top, int width,
                                 int height, HWND owner, HMENU menu) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA existing{};
  existing.cbSize = sizeof existing;
  if (!GetClassInfoExA(instance, className, &existing)) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = &TNativeWindow::WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    // The executable's own icon (resource 1), the system's where it has none.
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(kAppIconId));
    if (windowClass.hIcon == nullptr) windowClass.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = className;
    if (RegisterClassExA(&windowClass) == 0) return false;
  }
  hwnd_ = CreateWindowExA(exStyle, className, caption.c_str(), style, left, top, width, height,
                          owner, menu, instance, this);
  return hwnd_ != nullptr;
}

void TNativeWindow::DestroyNative() {
  if (hwnd_ == nullptr) return;
  HWND hwnd = hwnd_;
  // Messages sent while the window goes away no longer reach this object.
  SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
  hwnd_ = nullptr;
  DestroyWindow(hwnd);
}

void TNativeWindow::Guarded(const toolkit::Task& handler) {
  // Every loop binding of this tool is a LoopCore.
  static_cast<toolkit::LoopCore&>(loop_).RunGuarded(handler);
}

LRESULT CALLBACK TNativeWindow::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lparam);
    auto* self = static_cast<TNativeWindow*>(create->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TNativeWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (self != nullptr) {
    LRESULT result = 0;
    if (self->HandleMessage(message, wparam, lparam, result)) return result;
  }
  return DefWindowProcA(hwnd, message, wparam, lparam);
}

HWND CreateChild(HWND parent, const char* className, const std::string& text, DWORD style, int left,
                 int top, int width, int height, int id, HFONT font) {
  HWND child =
      CreateWindowExA(0, className, text.c_str(), WS_CHILD | WS_CLIPSIBLINGS | style, left, top,
                      width, height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                      GetModuleHandleA(nullptr), nullptr);
  if (child == nullptr) return nullptr;
  SetWindowPos(child, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  if (font != nullptr) SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return child;
}

std::string WithCrLf(std::string_view text, bool afterCarriageReturn) {
  std::string converted;
  converted.reserve(text.size() + text.size() / 32);
  for (size_t i = 0; i < text.size(); ++i) {
    const bool afterCr = i == 0 ? afterCarriageReturn : text[i - 1] == '\r';
    if (text[i] == '\n' && !afterCr) converted += '\r';
    converted += text[i];
  }
  return converted;
}

}  // namespace kv::win32
