#include "app/win32/form_windows.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <algorithm>

namespace kv::win32 {

namespace {

using toolkit::Change;

// Control identifiers; the buttons get theirs from TIspWindow's table.
constexpr int kTitleId = 10;
constexpr int kProgressId = 11;
constexpr int kStatusId = 12;
constexpr int kListId = 13;
constexpr int kMemoId = 14;
constexpr int kFirstButtonId = 1;
constexpr int kFirstMenuId = 100;

// The last panel reaches the right edge, as the toolkit's status bar draws it.
constexpr int kPanelToRightEdge = -1;

HWND CreateButtonControl(HWND parent, const toolkit::Button& model, const TControlBounds& bounds,
                         int id, HFONT font) {
  DWORD style = BS_PUSHBUTTON | WS_TABSTOP;
  if (model.Visible()) style |= WS_VISIBLE;
  if (!model.Enabled()) style |= WS_DISABLED;
  return CreateChild(parent, "BUTTON", model.Caption(), style, bounds.Left, bounds.Top,
                     bounds.Width, bounds.Height, id, font);
}

}  // namespace

// ---- TFormWindow ----

TFormWindow::TFormWindow(toolkit::EventLoop& loop, toolkit::Form& form, const TGuiFonts& fonts)
    : TNativeWindow(loop), form_(form), fonts_(fonts) {}

bool TFormWindow::Create(const char* className, HWND modalOwner) {
  modalOwner_ = modalOwner;
  if (!CreateNative(className, 0, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, form_.Caption(),
                    form_.Left(), form_.Top(), form_.Width(), form_.Height(), nullptr, nullptr)) {
    return false;
  }
  SendMessageA(Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(fonts_.Window()), FALSE);
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
      if (movingFromModel_) break;
      movingFromModel_ = true;
      MoveWindow(hwnd, form_.Left(), form_.Top(), form_.Width(), form_.Height(), TRUE);
      movingFromModel_ = false;
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

void TFormWindow::SyncModelBounds() {
  if (movingFromModel_ || Handle() == nullptr || IsIconic(Handle())) return;
  RECT outer{};
  GetWindowRect(Handle(), &outer);
  movingFromModel_ = true;
  form_.SetBounds(outer.left, outer.top, outer.right - outer.left, outer.bottom - outer.top);
  movingFromModel_ = false;
}

bool TFormWindow::HandleMessage(UINT message, WPARAM /*wparam*/, LPARAM lparam, LRESULT& result) {
  switch (message) {
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
}

TIspWindow::~TIspWindow() {
  subscriptions_.Clear();
  if (Handle() != nullptr) SetMenu(Handle(), nullptr);
  if (menu_ != nullptr) DestroyMenu(menu_);
}

void TIspWindow::CreateButton(TButtonView& button) {
  button.hwnd =
      CreateButtonControl(Handle(), *button.model, button.bounds, button.id, fonts_.Button());
  TButtonView* view = &button;
  subscriptions_.Add(*button.model, [this, view](Change change) { ApplyButton(*view, change); });
}

void TIspWindow::CreateControls() {
  HWND hwnd = Handle();
  const TControlBounds& title = TfmIsp::kTitleBounds;
  title_ =
      CreateChild(hwnd, "STATIC", isp_.lbHidShow.Caption(), WS_VISIBLE | SS_CENTER | SS_NOPREFIX,
                  title.Left, title.Top, title.Width, title.Height, kTitleId, fonts_.Title());
  subscriptions_.Add(isp_.lbHidShow,
                     [this](Change) { SetWindowTextA(title_, isp_.lbHidShow.Caption().c_str()); });

  // The layout's creation order: a later control lies above an earlier one, so
  // "Start Program " covers the four small buttons.
  CreateButton(buttons_[0]);  // Version
  CreateButton(buttons_[1]);  // Security
  progress_ = CreateChild(hwnd, PROGRESS_CLASSA, "", WS_VISIBLE, 0, 0, 0,
                          TfmIsp::kProgressBounds.Height, kProgressId, nullptr);
  ApplyProgress(Change::kRange);
  subscriptions_.Add(isp_.pbProgress, [this](Change change) { ApplyProgress(change); });
  status_ = CreateChild(hwnd, STATUSCLASSNAMEA, "",
                        WS_VISIBLE | CCS_NOPARENTALIGN | CCS_NORESIZE | SBARS_SIZEGRIP, 0, 0, 0,
                        TfmIsp::kStatusBounds.Height, kStatusId, fonts_.Window());
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
  const int statusHeight = TfmIsp::kStatusBounds.Height;
  const int progressHeight = TfmIsp::kProgressBounds.Height;
  if (status_ != nullptr) {
    MoveWindow(status_, 0, clientHeight - statusHeight, clientWidth, statusHeight, TRUE);
  }
  if (progress_ != nullptr) {
    MoveWindow(progress_, 0, clientHeight - statusHeight - progressHeight, clientWidth,
               progressHeight, TRUE);
  }
}

void TIspWindow::ApplyButton(const TButtonView& button, Change change) {
  switch (change) {
    case Change::kCaption:
      SetWindowTextA(button.hwnd, button.model->Caption().c_str());
      break;
    case Change::kEnabled:
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
    edge += bar.PanelWidth(panel);
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
    loop_.Post([model] { model->Click(); });
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

bool TIspWindow::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) {
  switch (message) {
    case WM_COMMAND: {
      const int code = HIWORD(wparam);
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
                      kListId, fonts_.Window());
  SendMessageA(list_, LB_SETITEMHEIGHT, 0, diag::TfmHidData::kItemHeight);
  for (const std::string& item : hidData_.hbHidData.Items()) {
    SendMessageA(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
  }
  ApplyList(Change::kItemIndex);
  subscriptions_.Add(hidData_.hbHidData, [this](Change change) { ApplyList(change); });
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
                      0, 0, kMemoId, fonts_.Memo());
  // A listing is far above the edit control's default limit of 32 KiB.
  SendMessageA(memo_, EM_SETLIMITTEXT, 0, 0);
  ApplyMemo(Change::kText);
  subscriptions_.Add(progData_.moShowCode, [this](Change change) { ApplyMemo(change); });
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
