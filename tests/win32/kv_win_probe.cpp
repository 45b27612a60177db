// kv-win-probe: looks at and drives the tool's window from another process,
// for the window test under wine: finds a top-level window by caption, lists its
// child controls with their places in client coordinates and their z-order,
// reads the status bar, clicks buttons, waits for message boxes and closes the
// window. Every wait has a limit given on the command line.
#include <windows.h>
// windows.h first: commctrl.h relies on its types.
#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr UINT kSendTimeoutMs = 5000;
constexpr size_t kRemoteBufferBytes = 4096;

// The tool's own names (app/win32).
constexpr const char* kMessageBoxClass = "TKvMessageBox";
constexpr const char* kSymbolProperty = "KvMessageSymbol";
constexpr INT_PTR kSymbolInformation = 1;
constexpr INT_PTR kSymbolError = 2;

std::string WindowText(HWND hwnd) {
  char text[512] = {};
  // WM_GETTEXT is marshalled between processes; GetWindowText is not, for controls.
  DWORD_PTR length = 0;
  SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, kSendTimeoutMs, &length);
  return text;
}

std::string ClassOf(HWND hwnd) {
  char name[256] = {};
  GetClassNameA(hwnd, name, sizeof name);
  return name;
}

// Polls `find` until it yields a window or the limit passes.
template <typename Find>
HWND WaitFor(Find find, int limitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    if (HWND hwnd = find()) return hwnd;
    if (std::chrono::steady_clock::now() >= deadline) return nullptr;
    std::this_thread::sleep_for(kPollInterval);
  }
}

struct WindowSearch {
  std::string caption;
  bool visibleOnly;
  HWND found = nullptr;
};

// A window, not one of the tool's message boxes, which carry the same caption.
BOOL CALLBACK MatchWindow(HWND hwnd, LPARAM lparam) {
  auto* search = reinterpret_cast<WindowSearch*>(lparam);
  char text[512] = {};
  GetWindowTextA(hwnd, text, sizeof text);
  if (search->caption != text || ClassOf(hwnd) == kMessageBoxClass) return TRUE;
  if (search->visibleOnly && !IsWindowVisible(hwnd)) return TRUE;
  search->found = hwnd;
  return FALSE;
}

HWND FindToolWindow(const std::string& caption, bool visibleOnly) {
  WindowSearch search{caption, visibleOnly};
  EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND FindVisibleWindow(const std::string& caption) {
  return FindToolWindow(caption, true);
}

std::vector<HWND> ChildrenTopFirst(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    children.push_back(child);
  }
  return children;
}

HWND FindChild(HWND parent, const std::string& className, const std::string& text) {
  for (HWND child : ChildrenTopFirst(parent)) {
    if (ClassOf(child) == className && WindowText(child) == text) return child;
  }
  return nullptr;
}

RECT ClientRectOf(HWND child, HWND parent) {
  RECT rect{};
  GetWindowRect(child, &rect);
  POINT topLeft{rect.left, rect.top};
  POINT bottomRight{rect.right, rect.bottom};
  ScreenToClient(parent, &topLeft);
  ScreenToClient(parent, &bottomRight);
  return RECT{topLeft.x, topLeft.y, bottomRight.x, bottomRight.y};
}

struct BoxSearch {
  std::string text;
  HWND found = nullptr;
};

BOOL CALLBACK MatchBox(HWND hwnd, LPARAM lparam) {
  auto* search = reinterpret_cast<BoxSearch*>(lparam);
  if (!IsWindowVisible(hwnd) || ClassOf(hwnd) != kMessageBoxClass) return TRUE;
  if (FindChild(hwnd, "Static", search->text) == nullptr &&
      FindChild(hwnd, "STATIC", search->text) == nullptr) {
    return TRUE;
  }
  search->found = hwnd;
  return FALSE;
}

BOOL CALLBACK PrintBox(HWND hwnd, LPARAM count) {
  if (!IsWindowVisible(hwnd) || ClassOf(hwnd) != kMessageBoxClass) return TRUE;
  std::string texts;
  for (HWND child : ChildrenTopFirst(hwnd)) {
    const std::string cls = ClassOf(child);
    if (cls == "Static" || cls == "STATIC") {
      texts += '\t';
      texts += WindowText(child);
    }
  }
  std::printf("box%s\n", texts.c_str());
  ++*reinterpret_cast<int*>(count);
  return TRUE;
}

HWND FindBox(const std::string& text) {
  BoxSearch search{text};
  EnumWindows(&MatchBox, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool ClickButton(HWND button) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result) !=
         0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: kv-win-probe COMMAND ARGS [; COMMAND ARGS]...\n"
               "  wait-window CAPTION LIMIT_MS\n"
               "  controls CAPTION\n"
               "  panels CAPTION\n"
               "  wait-panel CAPTION PANEL TEXT LIMIT_MS\n"
               "  wait-enabled CAPTION BUTTON_TEXT LIMIT_MS\n"
               "  click CAPTION BUTTON_TEXT\n"
               "  wait-box TEXT LIMIT_MS\n"
               "  press-ok TEXT\n"
               "  boxes -\n"
               "  windows CAPTION\n"
               "  close CAPTION\n"
               "  wait-gone CAPTION LIMIT_MS\n");
  return kExitUsage;
}

int WaitWindow(const std::string& caption, int limitMs) {
  HWND hwnd = WaitFor([&] { return FindVisibleWindow(caption); }, limitMs);
  if (hwnd == nullptr) {
    std::printf("no window \"%s\" within %d ms\n", caption.c_str(), limitMs);
    return kExitFailed;
  }
  RECT outer{};
  RECT client{};
  GetWindowRect(hwnd, &outer);
  GetClientRect(hwnd, &client);
  HMENU menu = GetMenu(hwnd);
  std::printf("window %ld %ld %ld %ld client %ld %ld screen %d %d menu %d menuitems %d\n",
              outer.left, outer.top, outer.right - outer.left, outer.bottom - outer.top,
              client.right, client.bottom, GetSystemMetrics(SM_CXSCREEN),
              GetSystemMetrics(SM_CYSCREEN), menu != nullptr ? 1 : 0,
              menu != nullptr ? GetMenuItemCount(menu) : 0);
  return kExitOk;
}

int Controls(const std::string& caption) {
  HWND parent = FindVisibleWindow(caption);
  if (parent == nullptr) return kExitFailed;
  int z = 0;
  for (HWND child : ChildrenTopFirst(parent)) {
    const RECT rect = ClientRectOf(child, parent);
    std::printf("child\t%d\t%s\t%s\t%ld\t%ld\t%ld\t%ld\t%d\t%d\n", z++, ClassOf(child).c_str(),
                WindowText(child).c_str(), rect.left, rect.top, rect.right - rect.left,
                rect.bottom - rect.top, IsWindowEnabled(child) ? 1 : 0,
                IsWindowVisible(child) ? 1 : 0);
  }
  return kExitOk;
}

HWND StatusBarOf(HWND parent) {
  for (HWND child : ChildrenTopFirst(parent)) {
    if (ClassOf(child) == STATUSCLASSNAMEA) return child;
  }
  return nullptr;
}

// The status bar's messages carry pointers: its texts are read through a
// buffer in the window's own process.
std::optional<std::string> PanelText(HWND status, int panel) {
  DWORD processId = 0;
  GetWindowThreadProcessId(status, &processId);
  HANDLE process =
      OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
  if (process == nullptr) return std::nullopt;
  std::optional<std::string> result;
  void* remote = VirtualAllocEx(process, nullptr, kRemoteBufferBytes, MEM_COMMIT, PAGE_READWRITE);
  if (remote != nullptr) {
    char text[256] = {};
    SIZE_T moved = 0;
    WriteProcessMemory(process, remote, text, sizeof text, &moved);
    DWORD_PTR ignored = 0;
    if (SendMessageTimeoutA(status, SB_GETTEXTA, static_cast<WPARAM>(panel),
                            reinterpret_cast<LPARAM>(remote), SMTO_ABORTIFHUNG, kSendTimeoutMs,
                            &ignored) != 0 &&
        ReadProcessMemory(process, remote, text, sizeof text - 1, &moved)) {
      result = text;
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  CloseHandle(process);
  return result;
}

int WaitPanel(const std::string& caption, int panel, const std::string& expected, int limitMs) {
  HWND found = WaitFor(
      [&]() -> HWND {
        HWND parent = FindVisibleWindow(caption);
        HWND status = parent != nullptr ? StatusBarOf(parent) : nullptr;
        return status != nullptr && PanelText(status, panel) == expected ? status : nullptr;
      },
      limitMs);
  if (found == nullptr) {
    std::printf("panel %d never read \"%s\" within %d ms\n", panel, expected.c_str(), limitMs);
    return kExitFailed;
  }
  return kExitOk;
}

int Panels(const std::string& caption) {
  HWND parent = FindVisibleWindow(caption);
  HWND status = parent != nullptr ? StatusBarOf(parent) : nullptr;
  if (status == nullptr) return kExitFailed;
  // SB_GETPARTS fills an array: read through the window's process as well.
  DWORD processId = 0;
  GetWindowThreadProcessId(status, &processId);
  HANDLE process =
      OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
  if (process == nullptr) return kExitFailed;
  constexpr int kMaxParts = 8;
  int edges[kMaxParts] = {};
  DWORD_PTR parts = 0;
  void* remote = VirtualAllocEx(process, nullptr, kRemoteBufferBytes, MEM_COMMIT, PAGE_READWRITE);
  if (remote != nullptr) {
    SendMessageTimeoutA(status, SB_GETPARTS, kMaxParts, reinterpret_cast<LPARAM>(remote),
                        SMTO_ABORTIFHUNG, kSendTimeoutMs, &parts);
    SIZE_T read = 0;
    ReadProcessMemory(process, remote, edges, sizeof edges, &read);
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  CloseHandle(process);
  if (remote == nullptr) return kExitFailed;
  const int count = static_cast<int>(parts < kMaxParts ? parts : kMaxParts);
  std::printf("parts %d", count);
  for (int i = 0; i < count; ++i) std::printf(" %d", edges[i]);
  std::printf("\n");
  for (int i = 0; i < count; ++i) {
    std::printf("panel\t%d\t%s\n", i, PanelText(status, i).value_or("?").c_str());
  }
  return kExitOk;
}

int WaitEnabled(const std::string& caption, const std::string& buttonText, int limitMs) {
  HWND button = WaitFor(
      [&]() -> HWND {
        HWND parent = FindVisibleWindow(caption);
        HWND child = parent != nullptr ? FindChild(parent, "Button", buttonText) : nullptr;
        if (child == nullptr && parent != nullptr) child = FindChild(parent, "BUTTON", buttonText);
        return child != nullptr && IsWindowEnabled(child) ? child : nullptr;
      },
      limitMs);
  if (button == nullptr) {
    std::printf("\"%s\" not enabled within %d ms\n", buttonText.c_str(), limitMs);
    return kExitFailed;
  }
  return kExitOk;
}

int Click(const std::string& caption, const std::string& buttonText) {
  HWND parent = FindVisibleWindow(caption);
  if (parent == nullptr) return kExitFailed;
  HWND button = FindChild(parent, "Button", buttonText);
  if (button == nullptr) button = FindChild(parent, "BUTTON", buttonText);
  if (button == nullptr || !IsWindowEnabled(button)) return kExitFailed;
  return ClickButton(button) ? kExitOk : kExitFailed;
}

int WaitBox(const std::string& text, int limitMs) {
  HWND box = WaitFor([&] { return FindBox(text); }, limitMs);
  if (box == nullptr) {
    std::printf("no box \"%s\" within %d ms\n", text.c_str(), limitMs);
    return kExitFailed;
  }
  RECT outer{};
  GetWindowRect(box, &outer);
  const auto symbol = reinterpret_cast<INT_PTR>(GetPropA(box, kSymbolProperty));
  const char* symbolName = symbol == kSymbolInformation ? "information"
                           : symbol == kSymbolError     ? "error"
                                                        : "unknown";
  std::printf("box %ld %ld %ld %ld symbol %s caption %s\n", outer.left, outer.top,
              outer.right - outer.left, outer.bottom - outer.top, symbolName,
              WindowText(box).c_str());
  return kExitOk;
}

BOOL CALLBACK PrintTopLevel(HWND hwnd, LPARAM caption) {
  char text[512] = {};
  GetWindowTextA(hwnd, text, sizeof text);
  if (*reinterpret_cast<const std::string*>(caption) != text) return TRUE;
  RECT outer{};
  GetWindowRect(hwnd, &outer);
  std::printf("top-level %p\t%s\tvisible %d enabled %d\t%ld %ld %ld %ld\n",
              static_cast<void*>(hwnd), ClassOf(hwnd).c_str(), IsWindowVisible(hwnd) ? 1 : 0,
              IsWindowEnabled(hwnd) ? 1 : 0, outer.left, outer.top, outer.right - outer.left,
              outer.bottom - outer.top);
  return TRUE;
}

int Windows(const std::string& caption) {
  EnumWindows(&PrintTopLevel, reinterpret_cast<LPARAM>(&caption));
  return kExitOk;
}

int Boxes() {
  int count = 0;
  EnumWindows(&PrintBox, reinterpret_cast<LPARAM>(&count));
  std::printf("%d box(es) open\n", count);
  return kExitOk;
}

int PressOk(const std::string& text) {
  HWND box = FindBox(text);
  if (box == nullptr) return kExitFailed;
  HWND ok = FindChild(box, "Button", "OK");
  if (ok == nullptr) ok = FindChild(box, "BUTTON", "OK");
  return ok != nullptr && ClickButton(ok) ? kExitOk : kExitFailed;
}

int Close(const std::string& caption) {
  HWND hwnd = FindToolWindow(caption, false);
  if (hwnd == nullptr) return kExitFailed;
  return PostMessageA(hwnd, WM_CLOSE, 0, 0) ? kExitOk : kExitFailed;
}

int WaitGone(const std::string& caption, int limitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (FindToolWindow(caption, false) != nullptr) {
    if (std::chrono::steady_clock::now() >= deadline) return kExitFailed;
    std::this_thread::sleep_for(kPollInterval);
  }
  return kExitOk;
}

int Limit(const char* text) {
  return std::atoi(text);
}

// One command: its name, its subject and the rest of its arguments.
int RunCommand(const std::vector<std::string>& words) {
  if (words.size() < 2) return Usage();
  const size_t argc = words.size() + 1;
  const std::string& command = words[0];
  const std::string& subject = words[1];
  auto arg = [&](size_t i) { return words[i - 1].c_str(); };
  if (command == "wait-window" && argc == 4) return WaitWindow(subject, Limit(arg(3)));
  if (command == "controls" && argc == 3) return Controls(subject);
  if (command == "panels" && argc == 3) return Panels(subject);
  if (command == "wait-panel" && argc == 6) {
    return WaitPanel(subject, std::atoi(arg(3)), arg(4), Limit(arg(5)));
  }
  if (command == "wait-enabled" && argc == 5) return WaitEnabled(subject, arg(3), Limit(arg(4)));
  if (command == "click" && argc == 4) return Click(subject, arg(3));
  if (command == "wait-box" && argc == 4) return WaitBox(subject, Limit(arg(3)));
  if (command == "press-ok" && argc == 3) return PressOk(subject);
  if (command == "boxes" && argc == 3) return Boxes();
  if (command == "windows" && argc == 3) return Windows(subject);
  if (command == "close" && argc == 3) return Close(subject);
  if (command == "wait-gone" && argc == 4) return WaitGone(subject, Limit(arg(3)));
  return Usage();
}

}  // namespace

// Several commands may follow each other, separated by a ";" word: one wine
// process for them all, where each process start costs seconds. The first
// that fails ends the run with its code.
int main(int argc, char** argv) {
  // Places in the window's own pixels: a probe unaware of DPI would be shown
  // coordinates scaled back to 96 DPI.
  SetProcessDPIAware();
  std::vector<std::string> words;
  for (int i = 1; i <= argc; ++i) {
    if (i < argc && std::string(argv[i]) != ";") {
      words.emplace_back(argv[i]);
      continue;
    }
    const int code = RunCommand(words);
    if (code != 0) return code;
    words.clear();
  }
  return 0;
}
