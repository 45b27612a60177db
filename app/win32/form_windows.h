// The Win32 view of the tool's windows: native windows and controls created
// from the control models of TfmIsp, TfmHidData and TfmProgData. A view
// subscribes to its models and redraws what changed; the user's clicks go back
// to the models' Click() through the event loop, like any other event.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/isp.h"
#include "app/win32/dpi.h"
#include "app/win32/gui_fonts.h"
#include "app/win32/native_window.h"
#include "diag/diag_windows.h"
#include "toolkit/controls.h"

namespace kv::win32 {

// Keeps the subscriptions of a view and ends them with it.
class TSubscriptions {
 public:
  TSubscriptions() = default;
  TSubscriptions(const TSubscriptions&) = delete;
  TSubscriptions& operator=(const TSubscriptions&) = delete;
  ~TSubscriptions() { Clear(); }

  void Add(toolkit::Observable& model, toolkit::Observable::Listener listener) {
    entries_.emplace_back(&model, model.Subscribe(std::move(listener)));
  }
  void Clear() {
    for (auto& [model, subscription] : entries_) model->Unsubscribe(subscription);
    entries_.clear();
  }

 private:
  std::vector<std::pair<toolkit::Observable*, toolkit::Observable::Subscription>> entries_;
};

// What every top-level window shares: caption, bounds, visibility and the
// modal state of its Form model; closing it closes the model. The model's
// bounds are in 96-DPI units; the native window has them scaled to its DPI.
class TFormWindow : public TNativeWindow {
 public:
  // `fonts`: the fonts at the screen's DPI; a window at another DPI makes its own.
  TFormWindow(toolkit::EventLoop& loop, toolkit::Form& form, const TGuiFonts& fonts);

  // The native window, at the model's bounds, shown when the model is visible.
  // `modalOwner`: the window disabled while this one is shown modally.
  bool Create(const char* className, HWND modalOwner);

  int Dpi() const { return scale_.Dpi(); }

 protected:
  bool HandleMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) override;
  // Client area changed: the derived view lays its controls out.
  virtual void Layout(int clientWidth, int clientHeight) = 0;
  virtual void CreateControls() = 0;
  // The DPI changed: the derived view gives its controls the new places and fonts.
  virtual void ApplyScale() = 0;
  // The native window was closed by the user.
  virtual void Closed() { form_.Close(); }

  void ApplyFormChange(toolkit::Change change);
  void SyncModelBounds();
  void MoveToModelBounds();
  void ChangeDpi(int dpi, const RECT& suggested);
  const TGuiFonts& Fonts() const { return *fonts_; }
  int Px(int layoutUnits) const { return scale_.ToPixels(layoutUnits); }

  toolkit::Form& form_;
  const TGuiFonts& screenFonts_;
  const TGuiFonts* fonts_;
  std::unique_ptr<TGuiFonts> ownFonts_;  // when the window's DPI is not the screen's
  TDpiScale scale_{kLayoutDpi};
  TSubscriptions subscriptions_;
  HWND modalOwner_ = nullptr;
  bool movingFromModel_ = false;
  bool ownerDisabled_ = false;
};

// "Update KV-93T V1.2 InC+InD": the layout table, the status bar and the
// hidden menu of TfmIsp.
class TIspWindow final : public TFormWindow {
 public:
  static constexpr const char* kClassName = "TfmIsp";

  TIspWindow(toolkit::EventLoop& loop, TfmIsp& isp, const TGuiFonts& fonts);
  ~TIspWindow() override;

  // Runs once the window has been closed and its session ended.
  std::function<void()> OnClosed;

 protected:
  bool HandleMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) override;
  void Layout(int clientWidth, int clientHeight) override;
  void CreateControls() override;
  void Closed() override;

 private:
  struct TButtonView {
    toolkit::Button* model;
    TControlBounds bounds;
    int id;
    HWND hwnd = nullptr;
  };
  struct TMenuView {
    toolkit::MenuItem* model;
    int id;
  };

  void CreateButton(TButtonView& button);
  void PlaceButton(const TButtonView& button);
  void ApplyScale() override;
  void ApplyButton(const TButtonView& button, toolkit::Change change);
  void ApplyStatusBar(toolkit::Change change);
  void ApplyProgress(toolkit::Change change);
  void ApplyPanels();
  void RebuildMenu();
  void Clicked(int id);
  // Keys as in a dialog: Tab follows the layout's tab order, not the stacking.
  const TButtonView* ButtonWithHandle(HWND hwnd) const;
  bool CanTakeFocus(const TButtonView& button) const;
  void MoveFocus(bool backwards);
  LRESULT DefaultButton() const;
  void ShowAsDefault(HWND button, bool isDefault);
  void RestoreFocus();

  TfmIsp& isp_;
  HWND title_ = nullptr;
  HWND progress_ = nullptr;
  HWND status_ = nullptr;
  HMENU menu_ = nullptr;
  std::vector<TButtonView> buttons_;
  std::vector<const TButtonView*> tabOrder_;
  HWND savedFocus_ = nullptr;  // the focused control while the window is inactive
  std::vector<TMenuView> menuItems_;
};

// "Hid Data": a list box filling the client area.
class THidDataWindow final : public TFormWindow {
 public:
  static constexpr const char* kClassName = "TfmHidData";

  THidDataWindow(toolkit::EventLoop& loop, diag::TfmHidData& form, const TGuiFonts& fonts);

 protected:
  void Layout(int clientWidth, int clientHeight) override;
  void CreateControls() override;
  void ApplyScale() override;

 private:
  void ApplyList(toolkit::Change change);

  diag::TfmHidData& hidData_;
  HWND list_ = nullptr;
};

// "Program Data": a read-only memo filling the client area.
class TProgDataWindow final : public TFormWindow {
 public:
  static constexpr const char* kClassName = "TfmProgData";

  TProgDataWindow(toolkit::EventLoop& loop, diag::TfmProgData& form, const TGuiFonts& fonts);

 protected:
  void Layout(int clientWidth, int clientHeight) override;
  void CreateControls() override;
  void ApplyScale() override;

 private:
  void ApplyMemo(toolkit::Change change);

  diag::TfmProgData& progData_;
  HWND memo_ = nullptr;
  size_t shownBytes_ = 0;  // of the model's text, already in the control
};

}  // namespace kv::win32
