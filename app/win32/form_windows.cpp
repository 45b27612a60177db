#include "app/win32/form_windows.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <algorithm>

#include "toolkit/win32_event_loop.h"

namespace kv::win32 {

namespace {

using toolkit::Change;

// Control identifiers; the buttons get theirs from TIspWindow's table. None is
// IDOK (1) or IDCANCEL (2): the dialog keys send those for Enter with no
// default button and for Escape, and neither may press a command.
constexpr int kTitleId = 10;
constexpr int kProgressId = 11;
constexpr int kStatusId = 12;
constexpr int kListId = 13;
constexpr int kMemoId = 14;
constexpr int kFirstButtonId = 1001;
constexpr int kFirstMenuId = 100;

// The loop's question on Tab, answered with the layout's tab order.
const UINT kNextTabStopMessage = RegisterWindowMessageA(toolkit::kNextTabStopMessageName);

// The last panel reaches the right edge, as the toolkit's status bar draws it.
constexpr int kPanelToRightEdge = -1;

// BS_NOTIFY: the window hears of focus changes and shows the focused button as
// the default one, as a dialog does.
HWND CreateButtonControl(HWND parent, const toolkit::Button& model, int id, HFONT font) {
  DWORD style = BS_PUSHBUTTON | BS_NOTIFY | WS_TABSTOP;
  if (model.Visible()) style |= WS_VISIBLE;
  if (!model.Enabled()) style |= WS_DISABLED;
  return CreateChild(parent, "BUTTON", model.Caption(), style, 0, 0, 0, 0, id, font);
}

void MoveControl(HWND control, int left, int top, int width, int height) {
  if (control != nullptr) MoveWindow(control, left, top, width, height, TRUE);
}

void SetControlFont(HWND control, HFONT font) {
  if (control != nullptr) SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

}  // namespace

// ---- TFormWindow ----

TFormWindow::TFormWindow(toolkit::EventLoop& loop, toolkit::Form& form, const TGuiFonts& fonts)
    : TNativeWindow(loop), form_(form), screenFonts_(fonts), fonts_(&fonts) {}

bool TFormWindow::Create(const char* className, HWND modalOwner) {
  modalOwner_ = modalOwner;
  // Placed at the screen's DPI first; the window's own is known once it exists.
  scale_ = TDpiScale(screenFonts_.Dpi());
  if (!CreateNative(className, 0, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, form_.Caption(),
                    Px(form_.Left()), Px(form_.Top()), Px(form_.Width()), Px(form_.Height()),
                    nullptr, nullptr)) {
    return false;
  }
  const int dpi = WindowDpi(Handle());
  if (dpi != scale_.Dpi()) {
    scale_ = TDpiScale(dpi);
    ownFonts_ =
        std::make_unique<TGuiFonts>(screenFonts_.ButtonPixels(), screenFonts_.TitlePixels(), dpi);
    fonts_ = ownFonts_.get();
    MoveToModelBounds();
  }
  SendMessageA(Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(Fonts().Window()), FALSE);
  CreateControls();
  RECT client{};
  GetClientRect(Handle(), &client);
  Layout(client.right, client.bottom);
  subscriptions_.Add(form_, [this](Change change) { ApplyFormChange(change); });
  if (form_.Visible()) ApplyFormChange(Change::kVisible);
  return true;
}

void TFormWindow::ApplyFormChange(Change change) {
  HWND hwnd = Handle();
  if (hwnd == nullptr) return;
  switch (change) {
    case Change::kCaption:
      SetWindowTextA(hwnd, form_.Caption().c_str());
      break;
    case Change::kBounds:
      MoveToModelBounds();
      break;
    case Change::kVisible:
      if (form_.Visible()) {
        // Shown modally: the owner takes no input until this one closes.
        if (form_.Modal() && modalOwner_ != nullptr && IsWindowEnabled(modalOwner_)) {
          EnableWindow(modalOwner_, FALSE);
          ownerDisabled_ = true;
        }
        ShowWindow(hwnd, SW_SHOW);
        SetForegroundWindow(hwnd);
      } else {
        // The owner first, so that activation returns to it.
        if (ownerDisabled_) {
          EnableWindow(modalOwner_, TRUE);
          ownerDisabled_ = false;
          SetForegroundWindow(modalOwner_);
        }
        ShowWindow(hwnd, SW_HIDE);
      }
      break;
    default:
      break;
  }
}

void TFormWindow::MoveToModelBounds() {
  if (movingFromModel_ || Handle() == nullptr) return;
  movingFromModel_ = true;
  MoveWindow(Handle(), Px(form_.Left()), Px(form_.Top()), Px(form_.Width()), Px(form_.Height()),
             TRUE);
  movingFromModel_ = false;
}

void TFormWindow::SyncModelBounds() {
  if (movingFromModel_ || Handle() == nullptr || IsIconic(Handle())) return;
  RECT outer{};
  GetWindowRect(Handle(), &outer);
  movingFromModel_ = true;
  form_.SetBounds(scale_.ToLayout(outer.left), scale_.ToLayout(outer.top),
                  scale_.ToLayout(outer.right - outer.left),
                  scale_.ToLayout(outer.bottom - outer.top));
  movingFromModel_ = false;
}

void TFormWindow::ChangeDpi(int dpi, const RECT& suggested) {
  if (dpi <= 0 || dpi == scale_.Dpi()) return;
  scale_ = TDpiScale(dpi);
  // The old fonts stay alive until every control has its new one.
  std::unique_ptr<TGuiFonts> previous = std::move(ownFonts_);
  if (dpi == screenFonts_.Dpi()) {
    fonts_ = &screenFonts_;
  } else {
    ownFonts_ =
        std::make_unique<TGuiFonts>(screenFonts_.ButtonPixels(), screenFonts_.TitlePixels(), dpi);
    fonts_ = ownFonts_.get();
  }
  SendMessageA(Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(Fonts().Window()), FALSE);
  ApplyScale();
  // Windows' suggestion keeps the window under the mouse and on the monitor.
  SetWindowPos(Handle(), nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  RECT client{};
  GetClientRect(Handle(), &client);
  Layout(client.right, client.bottom);
}

bool TFormWindow::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) {
  switch (message) {
    case WM_DPICHANGED:
      ChangeDpi(HIWORD(wparam), *reinterpret_cast<const RECT*>(lparam));
      result = 0;
      return true;
    case WM_SIZE:
      Layout(LOWORD(lparam), HIWORD(lparam));
      SyncModelBounds();
      return false;
    case WM_MOVE:
      SyncModelBounds();
      return false;
    case WM_CLOSE:
      Guarded([this] { Closed(); });
      result = 0;
      return true;
    default:
      return false;
  }
}

// ---- TIspWindow ----

TIspWindow::TIspWindow(toolkit::EventLoop& loop, TfmIsp& isp, const TGuiFonts& fonts)
    : TFormWindow(loop, isp, fonts), isp_(isp) {
  // In creation order; the ids follow it.
  int id = kFirstButtonId;
  buttons_ = {
      {&isp.btnVersion, TfmIsp::kVersionBounds, id++},
      {&isp.bnSecurity, TfmIsp::kSecurityBounds, id++},
      {&isp.bnMcuProgram, TfmIsp::kMcuProgramBounds, id++},
      {&isp.bnDspPorgram, TfmIsp::kDspProgramBounds, id++},
      {&isp.btnStartProgram, TfmIsp::kStartProgramBounds, id++},
  };
  menuItems_ = {{&isp.Memory1, kFirstMenuId}, {&isp.HidData1, kFirstMenuId + 1}};
  // The layout's tab order: Mcu Prog 1, Security 2, Dsp Prog 3, Start Program 4, Version 6.
  std::pair<int, const TButtonView*> ordered[] = {
      {TfmIsp::kVersionTabOrder, &buttons_[0]},      {TfmIsp::kSecurityTabOrder, &buttons_[1]},
      {TfmIsp::kMcuProgramTabOrder, &buttons_[2]},   {TfmIsp::kDspProgramTabOrder, &buttons_[3]},
      {TfmIsp::kStartProgramTabOrder, &buttons_[4]},
  };
  std::sort(std::begin(ordered), std::end(ordered),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& entry : ordered) tabOrder_.push_back(entry.second);
}

TIspWindow::~TIspWindow() {
  subscriptions_.Clear();
  if (Handle() != nullptr) SetMenu(Handle(), nullptr);
  if (menu_ != nullptr) DestroyMenu(menu_);
}

void TIspWindow::CreateButton(TButtonView& button) {
  button.hwnd = CreateButtonControl(Handle(), *button.model, button.id, Fonts().Button());
  PlaceButton(button);
  TButtonView* view = &button;
  subscriptions_.Add(*button.model, [this, view](Change change) { ApplyButton(*view, change); });
}

void TIspWindow::PlaceButton(const TButtonView& button) {
  MoveControl(button.hwnd, Px(button.bounds.Left), Px(button.bounds.Top), Px(button.bounds.Width),
              Px(button.bounds.Height));
}

void TIspWindow::ApplyScale() {
  const TControlBounds& title = TfmIsp::kTitleBounds;
  MoveControl(title_, Px(title.Left), Px(title.Top), Px(title.Width), Px(title.Height));
  SetControlFont(title_, Fonts().Title());
  for (const TButtonView& button : buttons_) {
    PlaceButton(button);
    SetControlFont(button.hwnd, Fonts().Button());
  }
  SetControlFont(status_, Fonts().Window());
  ApplyPanels();
}

void TIspWindow::CreateControls() {
  HWND hwnd = Handle();
  const TControlBounds& title = TfmIsp::kTitleBounds;
  title_ = CreateChild(hwnd, "STATIC", isp_.lbHidShow.Caption(),
                       WS_VISIBLE | SS_CENTER | SS_NOPREFIX, Px(title.Left), Px(title.Top),
                       Px(title.Width), Px(title.Height), kTitleId, Fonts().Title());
  subscriptions_.Add(isp_.lbHidShow,
                     [this](Change) { SetWindowTextA(title_, isp_.lbHidShow.Caption().c_str()); });

  // The layout's creation order: a later control lies above an earlier one, so
  // "Start Program " covers the four small buttons.
  CreateButton(buttons_[0]);  // Version
  CreateButton(buttons_[1]);  // Security
  progress_ = CreateChild(hwnd, PROGRESS_CLASSA, "", WS_VISIBLE, 0, 0, 0,
                          Px(TfmIsp::kProgressBounds.Height), kProgressId, nullptr);
  ApplyProgress(Change::kRange);
  subscriptions_.Add(isp_.pbProgress, [this](Change change) { ApplyProgress(change); });
  status_ = CreateChild(hwnd, STATUSCLASSNAMEA, "",
                        WS_VISIBLE | CCS_NOPARENTALIGN | CCS_NORESIZE | SBARS_SIZEGRIP, 0, 0, 0,
                        Px(TfmIsp::kStatusBounds.Height), kStatusId, Fonts().Window());
  // A themed status bar paints its own background and ignores SB_SETBKCOLOR;
  // the red of a running command must show.
  SetWindowTheme(status_, L" ", L" ");
  ApplyPanels();
  ApplyStatusBar(Change::kSimplePanel);
  ApplyStatusBar(Change::kColor);
  subscriptions_.Add(isp_.sbStatus, [this](Change change) { ApplyStatusBar(change); });
  CreateButton(buttons_[2]);  // Mcu Prog
  CreateButton(buttons_[3]);  // Dsp Prog
  CreateButton(buttons_[4]);  // Start Program

  // A real menu bar whose items are left out while invisible, as they always are.
  menu_ = CreateMenu();
  SetMenu(hwnd, menu_);
  RebuildMenu();
  for (TMenuView& item : menuItems_) {
    subscriptions_.Add(*item.model, [this](Change) { RebuildMenu(); });
  }
}

void TIspWindow::Layout(int clientWidth, int clientHeight) {
  const int statusHeight = Px(TfmIsp::kStatusBounds.Height);
  const int progressHeight = Px(TfmIsp::kProgressBounds.Height);
  MoveControl(status_, 0, clientHeight - statusHeight, clientWidth, statusHeight);
  MoveControl(progress_, 0, clientHeight - statusHeight - progressHeight, clientWidth,
              progressHeight);
}

void TIspWindow::ApplyButton(const TButtonView& button, Change change) {
  switch (change) {
    case Change::kCaption:
      SetWindowTextA(button.hwnd, button.model->Caption().c_str());
      break;
    case Change::kEnabled:
      if (!button.model->Enabled() && GetFocus() == button.hwnd) {
        // A disabled control keeps no focus; the window takes it, so that the
        // keys still reach it and Tab goes on from the start of the order.
        SetFocus(Handle());
      }
      EnableWindow(button.hwnd, button.model->Enabled() ? TRUE : FALSE);
      break;
    case Change::kVisible:
      ShowWindow(button.hwnd, button.model->Visible() ? SW_SHOW : SW_HIDE);
      break;
    default:
      break;
  }
}

void TIspWindow::ApplyProgress(Change change) {
  const toolkit::ProgressBar& bar = isp_.pbProgress;
  if (change == Change::kRange) {
    SendMessageA(progress_, PBM_SETRANGE32, static_cast<WPARAM>(bar.Min()),
                 static_cast<LPARAM>(bar.Max()));
  }
  SendMessageA(progress_, PBM_SETPOS, static_cast<WPARAM>(bar.Position()), 0);
}

void TIspWindow::ApplyPanels() {
  const toolkit::StatusBar& bar = isp_.sbStatus;
  int edges[toolkit::StatusBar::kPanelCount];
  int edge = 0;
  for (int panel = 0; panel < toolkit::StatusBar::kPanelCount; ++panel) {
    edge += Px(bar.PanelWidth(panel));
    edges[panel] = panel + 1 < toolkit::StatusBar::kPanelCount ? edge : kPanelToRightEdge;
  }
  SendMessageA(status_, SB_SETPARTS, toolkit::StatusBar::kPanelCount,
               reinterpret_cast<LPARAM>(edges));
  for (int panel = 0; panel < toolkit::StatusBar::kPanelCount; ++panel) {
    SendMessageA(status_, SB_SETTEXTA, static_cast<WPARAM>(panel),
                 reinterpret_cast<LPARAM>(bar.PanelText(panel).c_str()));
  }
}

void TIspWindow::ApplyStatusBar(Change change) {
  const toolkit::StatusBar& bar = isp_.sbStatus;
  switch (change) {
    case Change::kPanel:
      ApplyPanels();
      break;
    case Change::kSimplePanel:
      SendMessageA(status_, SB_SIMPLE, bar.SimplePanel() ? TRUE : FALSE, 0);
      [[fallthrough]];
    case Change::kSimpleText:
      // In panel mode the step text is kept by the model and not drawn.
      if (bar.SimplePanel()) {
        SendMessageA(status_, SB_SETTEXTA, SB_SIMPLEID,
                     reinterpret_cast<LPARAM>(bar.SimpleText().c_str()));
      }
      break;
    case Change::kColor: {
      const toolkit::Color color = bar.Background();
      const COLORREF native =
          color.IsButtonFace() ? CLR_DEFAULT : RGB(color.Red(), color.Green(), color.Blue());
      SendMessageA(status_, SB_SETBKCOLOR, 0, static_cast<LPARAM>(native));
      InvalidateRect(status_, nullptr, TRUE);
      break;
    }
    default:
      break;
  }
}

void TIspWindow::RebuildMenu() {
  if (menu_ == nullptr) return;
  while (GetMenuItemCount(menu_) > 0) DeleteMenu(menu_, 0, MF_BYPOSITION);
  for (const TMenuView& item : menuItems_) {
    if (!item.model->Visible()) continue;
    AppendMenuA(menu_, MF_STRING, static_cast<UINT_PTR>(item.id), item.model->Caption().c_str());
  }
  DrawMenuBar(Handle());
}

void TIspWindow::Clicked(int id) {
  // Through the loop, as every event: after the handler under way, guarded.
  for (const TButtonView& button : buttons_) {
    if (button.id != id) continue;
    toolkit::Button* model = button.model;
    loop_.Post([model] { model->UserClick(); });
    return;
  }
  for (const TMenuView& item : menuItems_) {
    if (item.id != id) continue;
    toolkit::MenuItem* model = item.model;
    loop_.Post([model] { model->Click(); });
    return;
  }
}

void TIspWindow::Closed() {
  isp_.Close();  // FormClose: the session ends
  if (OnClosed) OnClosed();
}

const TIspWindow::TButtonView* TIspWindow::ButtonWithHandle(HWND hwnd) const {
  if (hwnd == nullptr) return nullptr;
  for (const TButtonView& button : buttons_) {
    if (button.hwnd == hwnd) return &button;
  }
  return nullptr;
}

bool TIspWindow::CanTakeFocus(const TButtonView& button) const {
  return button.hwnd != nullptr && IsWindowVisible(button.hwnd) && IsWindowEnabled(button.hwnd);
}

void TIspWindow::MoveFocus(bool backwards) {
  const int count = static_cast<int>(tabOrder_.size());
  const TButtonView* focused = ButtonWithHandle(GetFocus());
  // From outside the order, Tab starts at its first control, Shift+Tab at its last.
  int position = backwards ? count : -1;
  for (int i = 0; i < count; ++i) {
    if (tabOrder_[static_cast<size_t>(i)] == focused) position = i;
  }
  const int step = backwards ? -1 : 1;
  for (int tried = 1; tried <= count; ++tried) {
    const int next = ((position + step * tried) % count + count) % count;
    const TButtonView* candidate = tabOrder_[static_cast<size_t>(next)];
    if (CanTakeFocus(*candidate)) {
      SetFocus(candidate->hwnd);
      return;
    }
  }
}

LRESULT TIspWindow::DefaultButton() const {
  // Enter presses the focused button; with none focused, nothing.
  const TButtonView* focused = ButtonWithHandle(GetFocus());
  if (focused == nullptr || !CanTakeFocus(*focused)) return 0;
  return MAKELRESULT(focused->id, DC_HASDEFID);
}

void TIspWindow::ShowAsDefault(HWND button, bool isDefault) {
  if (ButtonWithHandle(button) == nullptr) return;
  SendMessageA(button, BM_SETSTYLE, isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
}

void TIspWindow::RestoreFocus() {
  // As a dialog does: back to the control that had the focus, else the first
  // one that can take it.
  const TButtonView* saved = ButtonWithHandle(savedFocus_);
  if (saved != nullptr && CanTakeFocus(*saved)) {
    SetFocus(saved->hwnd);
    return;
  }
  SetFocus(Handle());
  MoveFocus(false);
}

bool TIspWindow::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) {
  if (message == kNextTabStopMessage) {
    MoveFocus(wparam != 0);
    result = TRUE;
    return true;
  }
  switch (message) {
    case DM_GETDEFID:
      result = DefaultButton();
      return true;
    case WM_ACTIVATE:
      if (LOWORD(wparam) == WA_INACTIVE) {
        if (ButtonWithHandle(GetFocus()) != nullptr) savedFocus_ = GetFocus();
      } else if (!HIWORD(wparam)) {  // not minimised
        RestoreFocus();
      }
      result = 0;
      return true;
    case WM_COMMAND: {
      const int code = HIWORD(wparam);
      if (lparam != 0 && (code == BN_SETFOCUS || code == BN_KILLFOCUS)) {
        ShowAsDefault(reinterpret_cast<HWND>(lparam), code == BN_SETFOCUS);
        result = 0;
        return true;
      }
      const bool fromButton = lparam != 0 && code == BN_CLICKED;
      const bool fromMenu = lparam == 0 && code == 0;
      if (fromButton || fromMenu) Clicked(LOWORD(wparam));
      result = 0;
      return true;
    }
    case WM_DEVICECHANGE:
      // Not passed on to the default procedure.
      Guarded([this] { isp_.DeviceChangeMessage(); });
      result = TRUE;
      return true;
    default:
      return TFormWindow::HandleMessage(message, wparam, lparam, result);
  }
}

// ---- THidDataWindow ----

THidDataWindow::THidDataWindow(toolkit::EventLoop& loop, diag::TfmHidData& form,
                               const TGuiFonts& fonts)
    : TFormWindow(loop, form, fonts), hidData_(form) {}

void THidDataWindow::CreateControls() {
  list_ = CreateChild(Handle(), "LISTBOX", "",
                      WS_VISIBLE | WS_VSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY, 0, 0, 0, 0,
                      kListId, Fonts().Window());
  SendMessageA(list_, LB_SETITEMHEIGHT, 0, Px(diag::TfmHidData::kItemHeight));
  for (const std::string& item : hidData_.hbHidData.Items()) {
    SendMessageA(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
  }
  ApplyList(Change::kItemIndex);
  subscriptions_.Add(hidData_.hbHidData, [this](Change change) { ApplyList(change); });
}

void THidDataWindow::ApplyScale() {
  SetControlFont(list_, Fonts().Window());
  SendMessageA(list_, LB_SETITEMHEIGHT, 0, Px(diag::TfmHidData::kItemHeight));
}

void THidDataWindow::Layout(int clientWidth, int clientHeight) {
  if (list_ != nullptr) MoveWindow(list_, 0, 0, clientWidth, clientHeight, TRUE);
}

void THidDataWindow::ApplyList(Change change) {
  const toolkit::ListBox& list = hidData_.hbHidData;
  switch (change) {
    case Change::kItemAdded:
      if (list.Count() > 0) {
        SendMessageA(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(list.Items().back().c_str()));
      }
      break;
    case Change::kItemsCleared:
      SendMessageA(list_, LB_RESETCONTENT, 0, 0);
      break;
    case Change::kItemIndex:
      // Selecting an item scrolls it into view.
      SendMessageA(list_, LB_SETCURSEL, static_cast<WPARAM>(list.ItemIndex()), 0);
      break;
    default:
      break;
  }
}

// ---- TProgDataWindow ----

TProgDataWindow::TProgDataWindow(toolkit::EventLoop& loop, diag::TfmProgData& form,
                                 const TGuiFonts& fonts)
    : TFormWindow(loop, form, fonts), progData_(form) {}

void TProgDataWindow::CreateControls() {
  memo_ = CreateChild(Handle(), "EDIT", "",
                      WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0, 0,
                      0, 0, kMemoId, Fonts().Memo());
  // A listing is far above the edit control's default limit of 32 KiB.
  SendMessageA(memo_, EM_SETLIMITTEXT, 0, 0);
  ApplyMemo(Change::kText);
  subscriptions_.Add(progData_.moShowCode, [this](Change change) { ApplyMemo(change); });
}

void TProgDataWindow::ApplyScale() {
  SetControlFont(memo_, Fonts().Memo());
}

void TProgDataWindow::Layout(int clientWidth, int clientHeight) {
  if (memo_ != nullptr) MoveWindow(memo_, 0, 0, clientWidth, clientHeight, TRUE);
}

void TProgDataWindow::ApplyMemo(Change change) {
  const std::string& text = progData_.moShowCode.Text();
  if (change == Change::kText) {
    SetWindowTextA(memo_, WithCrLf(text).c_str());
    shownBytes_ = text.size();
    return;
  }
  if (change != Change::kTextAppended || text.size() < shownBytes_) return;
  // The model's line breaks may be split across two additions.
  const bool afterCarriageReturn = shownBytes_ > 0 && text[shownBytes_ - 1] == '\r';
  const std::string piece =
      WithCrLf(std::string_view(text).substr(shownBytes_), afterCarriageReturn);
  shownBytes_ = text.size();
  const LRESULT end = SendMessageA(memo_, WM_GETTEXTLENGTH, 0, 0);
  SendMessageA(memo_, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageA(memo_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(piece.c_str()));
}

}  // namespace kv::win32
