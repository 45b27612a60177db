// The Win32 view of the window, in-process on the Win32 event loop: native
// controls follow their models, clicks reach the models through the loop, the
// message box is modal while the loop keeps running. Runs under wine without a
// display (its null driver keeps windows working, unseen).
#include <windows.h>
// windows.h first: commctrl.h relies on its types.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "app/isp.h"
#include "app/win32/dpi.h"
#include "app/win32/form_windows.h"
#include "app/win32/gui_fonts.h"
#include "app/win32/message_boxes.h"
#include "app/win32/native_window.h"
#include "diag/diag_windows.h"
#include "hid/sim_bus.h"
#include "image/image_dump.h"
#include "toolkit/message_box.h"
#include "toolkit/win32_event_loop.h"

namespace kv::win32 {
namespace {

using namespace std::chrono_literals;
using toolkit::MessageSymbol;

constexpr auto kEventLimit = 10s;

RECT ClientPlace(HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  POINT corners[2] = {{rect.left, rect.top}, {rect.right, rect.bottom}};
  MapWindowPoints(nullptr, GetParent(child), corners, 2);
  return RECT{corners[0].x, corners[0].y, corners[1].x - corners[0].x,
              corners[1].y - corners[0].y};  // left, top, width, height
}

HWND ChildWithText(HWND parent, const char* className, const std::string& text) {
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    char name[64] = {};
    char caption[256] = {};
    GetClassNameA(child, name, sizeof name);
    GetWindowTextA(child, caption, sizeof caption);
    if (lstrcmpiA(name, className) == 0 && text == caption) return child;
  }
  return nullptr;
}

// The main window and its diagnostic windows over models with no unit attached.
class Win32View : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    isp.SetBounds(100, 80, TfmIsp::kWidth, TfmIsp::kHeight);
    ASSERT_TRUE(window.Create(TIspWindow::kClassName, nullptr));
    ASSERT_TRUE(hidWindow.Create(THidDataWindow::kClassName, nullptr));
    ASSERT_TRUE(progWindow.Create(TProgDataWindow::kClassName, window.Handle()));
    window.OnClosed = [this] { closed = true; };
    isp.Show();
  }

  bool RunUntil(const std::function<bool()>& done) { return loop->RunUntil(done, kEventLimit); }

  std::unique_ptr<toolkit::EventLoop> loop = toolkit::CreateWin32EventLoop();
  TGuiFonts fonts{TfmIsp::kButtonFontPixels, TfmIsp::kTitleFontPixels};
  toolkit::ScriptedMessageBoxes boxes{*loop};
  diag::TfmHidData fmHidData;
  diag::TfmProgData fmProgData;
  TfmIsp isp{*loop, boxes, std::make_shared<hid::SimulatedHidBus>(), fmHidData, fmProgData};
  TIspWindow window{*loop, isp, fonts};
  THidDataWindow hidWindow{*loop, fmHidData, fonts};
  TProgDataWindow progWindow{*loop, fmProgData, fonts};
  bool closed = false;
};

TEST_F(Win32View, PlacesEveryControlOfTheLayoutAndStacksStartProgramOnTop) {
  HWND hwnd = window.Handle();
  RECT outer{};
  GetWindowRect(hwnd, &outer);
  EXPECT_EQ(outer.right - outer.left, TfmIsp::kWidth);
  EXPECT_EQ(outer.bottom - outer.top, TfmIsp::kHeight);
  char caption[64] = {};
  GetWindowTextA(hwnd, caption, sizeof caption);
  EXPECT_STREQ(caption, "Update KV-93T V1.2 InC+InD");

  const struct {
    const char* cls;
    const char* text;
    TControlBounds bounds;
  } expected[] = {
      {"Static", "Device Update", TfmIsp::kTitleBounds},
      {"Button", "Version", TfmIsp::kVersionBounds},
      {"Button", "Security", TfmIsp::kSecurityBounds},
      {"Button", "Mcu Prog", TfmIsp::kMcuProgramBounds},
      {"Button", "Dsp Prog", TfmIsp::kDspProgramBounds},
      {"Button", "Start Program ", TfmIsp::kStartProgramBounds},
  };
  for (const auto& control : expected) {
    HWND child = ChildWithText(hwnd, control.cls, control.text);
    ASSERT_NE(child, nullptr) << control.text;
    const RECT place = ClientPlace(child);
    EXPECT_EQ(place.left, control.bounds.Left) << control.text;
    EXPECT_EQ(place.top, control.bounds.Top) << control.text;
    EXPECT_EQ(place.right, control.bounds.Width) << control.text;
    EXPECT_EQ(place.bottom, control.bounds.Height) << control.text;
  }
  // Top of the z-order first: "Start Program " before the four small buttons.
  EXPECT_EQ(GetWindow(hwnd, GW_CHILD), ChildWithText(hwnd, "Button", "Start Program "));

  // Progress bar and status bar along the bottom.
  RECT client{};
  GetClientRect(hwnd, &client);
  HWND status = FindWindowExA(hwnd, nullptr, STATUSCLASSNAMEA, nullptr);
  HWND progress = FindWindowExA(hwnd, nullptr, PROGRESS_CLASSA, nullptr);
  ASSERT_NE(status, nullptr);
  ASSERT_NE(progress, nullptr);
  const RECT statusPlace = ClientPlace(status);
  const RECT progressPlace = ClientPlace(progress);
  EXPECT_EQ(statusPlace.top, client.bottom - 19);
  EXPECT_EQ(statusPlace.bottom, 19);
  EXPECT_EQ(statusPlace.right, client.right);
  EXPECT_EQ(progressPlace.top, client.bottom - 19 - 17);
  EXPECT_EQ(progressPlace.bottom, 17);
  // A menu bar, none of whose items is visible.
  ASSERT_NE(GetMenu(hwnd), nullptr);
  EXPECT_EQ(GetMenuItemCount(GetMenu(hwnd)), 0);
}

TEST_F(Win32View, NativeControlsFollowTheirModels) {
  HWND hwnd = window.Handle();
  HWND start = ChildWithText(hwnd, "Button", "Start Program ");
  HWND status = FindWindowExA(hwnd, nullptr, STATUSCLASSNAMEA, nullptr);
  HWND progress = FindWindowExA(hwnd, nullptr, PROGRESS_CLASSA, nullptr);

  EXPECT_FALSE(IsWindowEnabled(start));
  isp.btnStartProgram.SetEnabled(true);
  EXPECT_TRUE(IsWindowEnabled(start));

  isp.pbProgress.SetRange(0, 1203);
  isp.pbProgress.SetPosition(17);
  EXPECT_EQ(SendMessageA(progress, PBM_GETPOS, 0, 0), 17);
  EXPECT_EQ(SendMessageA(progress, PBM_GETRANGE, FALSE, 0), 1203);

  int edges[2] = {};
  EXPECT_EQ(SendMessageA(status, SB_GETPARTS, 2, reinterpret_cast<LPARAM>(edges)), 2);
  EXPECT_EQ(edges[0], TfmIsp::kPanel0Width);
  EXPECT_EQ(edges[1], -1);
  char text[64] = {};
  SendMessageA(status, SB_GETTEXTA, 1, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, "No Device");
  isp.sbStatus.SetPanelText(1, "Detect Run HID");
  SendMessageA(status, SB_GETTEXTA, 1, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, "Detect Run HID");
  // The step text is kept by the model only: the bar stays in panel mode.
  isp.sbStatus.SetSimpleText("Connect");
  EXPECT_FALSE(SendMessageA(status, SB_ISSIMPLE, 0, 0));
  // A red bar: SB_SETBKCOLOR answers with the colour it replaces.
  isp.sbStatus.SetBackground(TfmIsp::kBusyColor);
  EXPECT_EQ(static_cast<COLORREF>(SendMessageA(status, SB_SETBKCOLOR, 0, CLR_DEFAULT)),
            RGB(255, 0, 0));

  // The window's own WM_DEVICECHANGE with no unit held shows "No Device".
  EXPECT_EQ(SendMessageA(hwnd, WM_DEVICECHANGE, 7, 0), TRUE);
  SendMessageA(status, SB_GETTEXTA, 1, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, "No Device");
}

TEST_F(Win32View, ClicksReachTheModelThroughTheLoopAndClosingEndsTheSession) {
  HWND hwnd = window.Handle();
  HWND start = ChildWithText(hwnd, "Button", "Start Program ");
  int clicks = 0;
  isp.btnStartProgram.OnClick = [&clicks] { ++clicks; };
  SendMessageA(start, BM_CLICK, 0, 0);  // disabled: no click
  isp.btnStartProgram.SetEnabled(true);
  SendMessageA(start, BM_CLICK, 0, 0);
  EXPECT_EQ(clicks, 0) << "a click runs from the loop, after the message";
  ASSERT_TRUE(RunUntil([&] { return clicks == 1; }));

  // A menu item made visible appears and opens the traffic window beside the window.
  isp.HidData1.SetVisible(true);
  ASSERT_EQ(GetMenuItemCount(GetMenu(hwnd)), 1);
  SendMessageA(hwnd, WM_COMMAND, GetMenuItemID(GetMenu(hwnd), 0), 0);
  ASSERT_TRUE(RunUntil([&] { return fmHidData.Visible(); }));
  EXPECT_TRUE(IsWindowVisible(hidWindow.Handle()));
  RECT placed{};
  GetWindowRect(hidWindow.Handle(), &placed);
  EXPECT_EQ(placed.left, isp.Left() + isp.Width() + TfmIsp::kHidDataGap);
  EXPECT_EQ(placed.top, isp.Top());

  PostMessageA(hwnd, WM_CLOSE, 0, 0);
  ASSERT_TRUE(RunUntil([&] { return closed; }));
  EXPECT_FALSE(isp.Visible());
  EXPECT_FALSE(IsWindowVisible(hwnd));
}

// A key as the keyboard delivers it, to the control with the focus, through
// the loop; returns once the loop has taken every key message from the queue.
bool Press(toolkit::EventLoop& loop, WPARAM key, bool shift = false) {
  BYTE keys[256] = {};
  GetKeyboardState(keys);
  keys[VK_SHIFT] = shift ? 0x80 : 0;
  SetKeyboardState(keys);
  HWND target = GetFocus();
  PostMessageA(target, WM_KEYDOWN, key, 1);
  PostMessageA(target, WM_KEYUP, key, 1 | (1u << 30) | (1u << 31));
  const bool drained = loop.RunUntil(
      [] {
        MSG pending;
        return PeekMessageA(&pending, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_NOREMOVE) == FALSE;
      },
      kEventLimit);
  keys[VK_SHIFT] = 0;
  SetKeyboardState(keys);
  return drained;
}

std::string FocusedCaption() {
  char caption[64] = {};
  if (HWND focus = GetFocus()) GetWindowTextA(focus, caption, sizeof caption);
  return caption;
}

TEST_F(Win32View, TabSpaceAndEnterWorkAsInADialogInTheLayoutsTabOrder) {
  HWND hwnd = window.Handle();
  struct {
    toolkit::Button* model;
    int clicks = 0;
  } buttons[] = {{&isp.bnMcuProgram},
                 {&isp.bnSecurity},
                 {&isp.bnDspPorgram},
                 {&isp.btnStartProgram},
                 {&isp.btnVersion}};
  for (auto& button : buttons) {
    button.model->SetEnabled(true);
    button.model->OnClick = [&button] { ++button.clicks; };
  }
  auto clickCounts = [&] {
    std::string counts;
    for (const auto& button : buttons) counts += std::to_string(button.clicks);
    return counts;
  };
  SetFocus(hwnd);

  // Tab order 1 Mcu Prog, 2 Security, 3 Dsp Prog, 4 Start Program, 6 Version,
  // then round again; not the stacking order, where "Start Program " is first.
  const char* const forward[] = {"Mcu Prog",       "Security", "Dsp Prog",
                                 "Start Program ", "Version",  "Mcu Prog"};
  for (const char* expected : forward) {
    ASSERT_TRUE(Press(*loop, VK_TAB));
    EXPECT_EQ(FocusedCaption(), expected);
  }
  ASSERT_TRUE(Press(*loop, VK_TAB, true));
  EXPECT_EQ(FocusedCaption(), "Version") << "Shift+Tab goes back, round the start";
  ASSERT_TRUE(Press(*loop, VK_TAB, true));
  EXPECT_EQ(FocusedCaption(), "Start Program ");
  // The focused button shows as the default one, as in a dialog.
  HWND start = ChildWithText(hwnd, "Button", "Start Program ");
  EXPECT_EQ(GetWindowLongPtrA(start, GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
  EXPECT_EQ(GetWindowLongPtrA(ChildWithText(hwnd, "Button", "Version"), GWL_STYLE) & BS_TYPEMASK,
            BS_PUSHBUTTON);

  // A disabled button is passed over.
  isp.bnSecurity.SetEnabled(false);
  ASSERT_TRUE(Press(*loop, VK_TAB));  // Version
  ASSERT_TRUE(Press(*loop, VK_TAB));  // Mcu Prog
  ASSERT_TRUE(Press(*loop, VK_TAB));
  EXPECT_EQ(FocusedCaption(), "Dsp Prog");
  EXPECT_EQ(clickCounts(), "00000") << "moving the focus presses nothing";

  // Space presses the focused button, through the loop like a click.
  ASSERT_TRUE(Press(*loop, VK_SPACE));
  ASSERT_TRUE(RunUntil([&] { return buttons[2].clicks == 1; }));
  EXPECT_EQ(clickCounts(), "00100");
  // Enter presses the focused button.
  ASSERT_TRUE(Press(*loop, VK_TAB));
  ASSERT_EQ(FocusedCaption(), "Start Program ");
  ASSERT_TRUE(Press(*loop, VK_RETURN));
  ASSERT_TRUE(RunUntil([&] { return buttons[3].clicks == 1; }));
  EXPECT_EQ(clickCounts(), "00110");

  // With the window itself focused, Enter and Escape press nothing; the Enter
  // on "Version" after them is pressed after anything they would have pressed.
  SetFocus(hwnd);
  ASSERT_TRUE(Press(*loop, VK_RETURN));
  ASSERT_TRUE(Press(*loop, VK_ESCAPE));
  SetFocus(ChildWithText(hwnd, "Button", "Version"));
  ASSERT_TRUE(Press(*loop, VK_RETURN));
  ASSERT_TRUE(RunUntil([&] { return buttons[4].clicks == 1; }));
  EXPECT_EQ(clickCounts(), "00111");

  // A focused button that becomes disabled hands the focus to the window, so
  // the keys still work: Tab starts the order again.
  SetFocus(start);
  isp.btnStartProgram.SetEnabled(false);
  EXPECT_EQ(GetFocus(), hwnd);
  ASSERT_TRUE(Press(*loop, VK_TAB));
  EXPECT_EQ(FocusedCaption(), "Mcu Prog");
}

TEST_F(Win32View, MovingToA144DpiMonitorScalesEveryControlAndTakesTheSuggestedPlace) {
  HWND hwnd = window.Handle();
  ASSERT_EQ(window.Dpi(), 96) << "this test starts at 96 DPI";
  // What Windows sends when the window moves to a monitor at 150 %.
  RECT suggested{150, 120, 150 + 630, 120 + 260};
  SendMessageA(hwnd, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
  EXPECT_EQ(window.Dpi(), 144);
  RECT outer{};
  GetWindowRect(hwnd, &outer);
  EXPECT_EQ(outer.left, 150);
  EXPECT_EQ(outer.top, 120);
  EXPECT_EQ(outer.right - outer.left, 630);
  EXPECT_EQ(outer.bottom - outer.top, 260);
  // The model keeps 96-DPI units.
  EXPECT_EQ(isp.Left(), 100);
  EXPECT_EQ(isp.Top(), 80);
  EXPECT_EQ(isp.Width(), 420);
  EXPECT_EQ(isp.Height(), 173);

  // The layout table's places times 1.5, to the nearest pixel.
  const struct {
    const char* cls;
    const char* text;
    RECT place;  // left, top, width, height
  } expected[] = {
      {"Static", "Device Update", {144, 24, 302, 30}},
      {"Button", "Version", {264, 78, 120, 38}},
      {"Button", "Security", {120, 78, 120, 38}},
      {"Button", "Mcu Prog", {360, 78, 120, 38}},
      {"Button", "Dsp Prog", {240, 78, 120, 38}},
      {"Button", "Start Program ", {120, 72, 362, 45}},
  };
  for (const auto& control : expected) {
    HWND child = ChildWithText(hwnd, control.cls, control.text);
    ASSERT_NE(child, nullptr) << control.text;
    const RECT place = ClientPlace(child);
    EXPECT_EQ(place.left, control.place.left) << control.text;
    EXPECT_EQ(place.top, control.place.top) << control.text;
    EXPECT_EQ(place.right, control.place.right) << control.text;
    EXPECT_EQ(place.bottom, control.place.bottom) << control.text;
  }
  RECT client{};
  GetClientRect(hwnd, &client);
  HWND status = FindWindowExA(hwnd, nullptr, STATUSCLASSNAMEA, nullptr);
  HWND progress = FindWindowExA(hwnd, nullptr, PROGRESS_CLASSA, nullptr);
  EXPECT_EQ(ClientPlace(status).bottom, 29);
  EXPECT_EQ(ClientPlace(status).top, client.bottom - 29);
  EXPECT_EQ(ClientPlace(progress).bottom, 26);
  EXPECT_EQ(ClientPlace(progress).top, client.bottom - 29 - 26);
  int edges[2] = {};
  SendMessageA(status, SB_GETPARTS, 2, reinterpret_cast<LPARAM>(edges));
  EXPECT_EQ(edges[0], 270);
  // The fonts grew with it: the button font is 13 pixels at 96 DPI.
  HWND start = ChildWithText(hwnd, "Button", "Start Program ");
  LOGFONTA font{};
  GetObjectA(reinterpret_cast<HFONT>(SendMessageA(start, WM_GETFONT, 0, 0)), sizeof font, &font);
  EXPECT_EQ(font.lfHeight, -20);  // 19.5 rounded

  // And back to 96 DPI: the table's own places.
  RECT back{100, 80, 100 + 420, 80 + 173};
  SendMessageA(hwnd, WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&back));
  const RECT place = ClientPlace(start);
  EXPECT_EQ(place.left, 80);
  EXPECT_EQ(place.top, 48);
  EXPECT_EQ(place.right, 241);
  EXPECT_EQ(place.bottom, 30);
}

TEST_F(Win32View, TheTrafficListSelectsEachNewLine) {
  fmHidData.Show();
  HWND list = FindWindowExA(hidWindow.Handle(), nullptr, "LISTBOX", nullptr);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(SendMessageA(list, LB_GETITEMHEIGHT, 0, 0), diag::TfmHidData::kItemHeight);
  for (int i = 0; i < 40; ++i) fmHidData.AddTrafficLine("W 00  10 02 00 01 01 10 10 03 11 ");
  EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 40);
  EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), 39);
}

TEST_F(Win32View, TheMemoShowsTheWholeListingWithWindowsLineBreaks) {
  HWND memo = FindWindowExA(progWindow.Handle(), nullptr, "EDIT", nullptr);
  ASSERT_NE(memo, nullptr);
  EXPECT_EQ(GetWindowTextLengthA(memo), 5);  // "Memo1"
  const LONG_PTR style = GetWindowLongPtrA(memo, GWL_STYLE);
  EXPECT_TRUE(style & ES_READONLY);
  EXPECT_TRUE(style & WS_VSCROLL);
  EXPECT_FALSE(style & WS_HSCROLL);

  // A listing far above the edit control's default 32 KiB.
  std::vector<uint8_t> bytes(8192, 0x41);
  const std::string listing = DumpImage(bytes, static_cast<int32_t>(bytes.size()), 0);
  fmProgData.ReplaceListing(listing);
  EXPECT_EQ(GetWindowTextLengthA(memo), static_cast<int>(listing.size()));
  // The model's "\n" become "\r\n"; "\r\n" stays as it is.
  fmProgData.moShowCode.SetText("a\nb");
  fmProgData.moShowCode.AddText("\r\nc\n");
  char text[32] = {};
  GetWindowTextA(memo, text, sizeof text);
  EXPECT_STREQ(text, "a\r\nb\r\nc\r\n");
}

TEST_F(Win32View, TheMemoIsInAMonospacedTenPointAnsiFont) {
  HWND memo = FindWindowExA(progWindow.Handle(), nullptr, "EDIT", nullptr);
  ASSERT_NE(memo, nullptr);
  LOGFONTA font{};
  ASSERT_NE(
      GetObjectA(reinterpret_cast<HFONT>(SendMessageA(memo, WM_GETFONT, 0, 0)), sizeof font, &font),
      0);
  ASSERT_EQ(fonts.Dpi(), 96) << "the pixel height below is the one at 96 DPI";
  EXPECT_EQ(font.lfHeight, -13);  // 10 pt
  EXPECT_EQ(font.lfCharSet, ANSI_CHARSET);
  EXPECT_EQ(font.lfPitchAndFamily & 0x3, FIXED_PITCH);
  // The face asked for, or a monospaced stand-in where it is not installed.
  const std::string face = font.lfFaceName;
  if (FontInstalled("Arial monospaced for SAP"))
    EXPECT_EQ(face, "Arial monospaced for SAP");
  else
    EXPECT_EQ(face, "Courier New");
}

TEST_F(Win32View, AMessageBoxIsModalWhileTheLoopKeepsRunning) {
  TWin32MessageBoxes nativeBoxes(*loop, fonts, std::string(TfmIsp::kCaption),
                                 [this] { return window.Handle(); });
  toolkit::Timer ticking(*loop, 5);
  int ticks = 0;
  ticking.OnTimer = [&] { ++ticks; };
  ticking.Start();
  bool sawBox = false;
  bool ownerDisabled = false;
  INT_PTR symbol = 0;
  // Looks at the open box from inside the nested loop, then presses OK.
  toolkit::Timer inspector(*loop, 50);
  inspector.OnTimer = [&] {
    HWND box = FindWindowA(TWin32MessageBoxes::kClassName, nullptr);
    if (box == nullptr || ticks < 3) return;
    inspector.Stop();
    sawBox = ChildWithText(box, "Static", "vector") != nullptr;
    ownerDisabled = !IsWindowEnabled(window.Handle());
    symbol = reinterpret_cast<INT_PTR>(GetPropA(box, TWin32MessageBoxes::kSymbolProperty));
    SendMessageA(ChildWithText(box, "Button", "OK"), BM_CLICK, 0, 0);
  };
  inspector.Start();
  // Ends the box if the inspector never gets there, so the test cannot hang.
  toolkit::Timer rescue(*loop, 10000);
  rescue.OnTimer = [&] {
    rescue.Stop();
    HWND box = FindWindowA(TWin32MessageBoxes::kClassName, nullptr);
    if (box != nullptr) PostMessageA(box, WM_CLOSE, 0, 0);
  };
  rescue.Start();

  nativeBoxes.Show(toolkit::MessageId::kUnspecified, "vector", MessageSymbol::kError);
  EXPECT_TRUE(sawBox);
  EXPECT_TRUE(ownerDisabled);
  EXPECT_EQ(symbol, TWin32MessageBoxes::kSymbolError);
  EXPECT_GE(ticks, 3) << "timers ran while the box was open";
  EXPECT_TRUE(IsWindowEnabled(window.Handle()));
  EXPECT_EQ(FindWindowA(TWin32MessageBoxes::kClassName, nullptr), nullptr);
}

// At 144 DPI the layout is 1.5 times as large and so are its fonts: every
// caption still fits its control, nothing is cut.
TEST(Win32Dpi, AtOneHundredFortyFourDpiEveryCaptionFitsItsScaledControl) {
  const TDpiScale scale(144);
  EXPECT_EQ(scale.ToPixels(420), 630);
  EXPECT_EQ(scale.ToPixels(173), 260);  // 259.5 rounds up
  EXPECT_EQ(scale.ToLayout(630), 420);
  EXPECT_EQ(scale.ToLayout(260), 173);

  const TGuiFonts fonts(13, 16, 144);
  const TGuiFonts fonts96(13, 16, 96);
  HDC dc = GetDC(nullptr);
  auto extent = [dc](HFONT font, const std::string& text) {
    HGDIOBJ previous = SelectObject(dc, font);
    SIZE size{};
    GetTextExtentPoint32A(dc, text.data(), static_cast<int>(text.size()), &size);
    SelectObject(dc, previous);
    return size;
  };
  // Captions with their 96-DPI boxes from the layout table: width x height.
  const struct {
    const char* text;
    int width;
    int height;
    bool title;
  } controls[] = {{"Version", 80, 25, false},         {"Security", 80, 25, false},
                  {"Mcu Prog", 80, 25, false},        {"Dsp Prog", 80, 25, false},
                  {"Start Program ", 241, 30, false}, {"Device Update", 201, 20, true}};
  // A push button's frame and focus rectangle take a few pixels on each side.
  const int frame = scale.ToPixels(4);
  for (const auto& control : controls) {
    const SIZE text = extent(control.title ? fonts.Title() : fonts.Button(), control.text);
    const SIZE text96 = extent(control.title ? fonts96.Title() : fonts96.Button(), control.text);
    EXPECT_GT(text.cy, text96.cy) << control.text << ": the font grows with the DPI";
    EXPECT_LE(text.cx + 2 * frame, scale.ToPixels(control.width)) << control.text;
    EXPECT_LE(text.cy, scale.ToPixels(control.height)) << control.text;
  }
  ReleaseDC(nullptr, dc);
}

TEST(Win32Text, LineBreaksBecomeCrLfOnce) {
  EXPECT_EQ(WithCrLf("a\nb\r\nc"), "a\r\nb\r\nc");
  EXPECT_EQ(WithCrLf("\n", true), "\n");
  EXPECT_EQ(WithCrLf("\n", false), "\r\n");
  EXPECT_EQ(WithCrLf(""), "");
}

}  // namespace
}  // namespace kv::win32
