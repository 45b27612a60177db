// Controls as plain model objects. A window logic drives them; a view (a real
// Win32 window, the command line, a test) subscribes to their changes and draws
// them. All members are for the UI thread.
//
// Click(): like a VCL control clicked in code, it calls OnClick directly, even
// when the control is disabled or hidden. An exception from the handler goes to
// the caller: inside a loop handler (a timer, a posted task, another click) the
// loop's exception guard shows it and the rest of the calling handler is skipped;
// a test that calls Click() itself sees the exception. A click by the user comes
// through the event loop (UserClick) and is therefore always guarded; it runs
// only while the control can still be clicked when its turn comes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "toolkit/event_loop.h"

namespace kv::toolkit {

// What changed in a control; a view redraws accordingly.
enum class Change {
  kCaption,
  kEnabled,
  kVisible,
  kRange,        // ProgressBar min/max
  kPosition,     // ProgressBar position
  kPanel,        // StatusBar panel text or width
  kSimpleText,   // StatusBar simple text
  kSimplePanel,  // StatusBar panel mode vs simple mode
  kColor,        // StatusBar background
  kItemAdded,    // ListBox: one item appended at the end
  kItemsCleared,
  kItemIndex,     // ListBox selection (the view scrolls it into view)
  kText,          // Memo: whole text replaced
  kTextAppended,  // Memo: text added at the end
  kBounds,        // Form position or size
};

// Listeners of one control. A listener may unsubscribe itself or others while
// being notified; an unsubscribed listener is not called again.
class Observable {
 public:
  using Listener = std::function<void(Change)>;
  using Subscription = int;

  Observable() = default;
  Observable(const Observable&) = delete;
  Observable& operator=(const Observable&) = delete;
  virtual ~Observable() = default;

  Subscription Subscribe(Listener listener);
  void Unsubscribe(Subscription subscription);

 protected:
  void Notify(Change change);

 private:
  std::vector<std::pair<Subscription, std::shared_ptr<Listener>>> listeners_;
  Subscription next_subscription_ = 1;
};

// A colour as RGB, or the system's button-face colour by name (a real window
// resolves it from the system; elsewhere it stands for the usual light grey).
class Color {
 public:
  static constexpr Color Rgb(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    return Color(red, green, blue, false);
  }
  static constexpr Color ButtonFace() { return Color(240, 240, 240, true); }

  constexpr bool IsButtonFace() const { return button_face_; }
  constexpr std::uint8_t Red() const { return red_; }
  constexpr std::uint8_t Green() const { return green_; }
  constexpr std::uint8_t Blue() const { return blue_; }
  friend constexpr bool operator==(const Color&, const Color&) = default;

 private:
  constexpr Color(std::uint8_t red, std::uint8_t green, std::uint8_t blue, bool button_face)
      : red_(red), green_(green), blue_(blue), button_face_(button_face) {}

  std::uint8_t red_;
  std::uint8_t green_;
  std::uint8_t blue_;
  bool button_face_;
};

// What a button and a menu item share: a caption, visibility and a click.
class Clickable : public Observable {
 public:
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);
  bool Visible() const { return visible_; }
  void SetVisible(bool visible);

  std::function<void()> OnClick;
  // A click in code: runs OnClick whether or not the control is enabled or
  // visible (see the top of this file).
  void Click();

 protected:
  Clickable(std::string caption, bool visible) : caption_(std::move(caption)), visible_(visible) {}

 private:
  std::string caption_;
  bool visible_;
};

class Button : public Clickable {
 public:
  explicit Button(std::string caption = {}, bool enabled = true)
      : Clickable(std::move(caption), true), enabled_(enabled) {}

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);

  // A click by the user, which a view queues on the loop: by the time it runs
  // the handler under way may have disabled the button (a double click on a
  // command that disables itself), so it runs OnClick only while the button is
  // still enabled. Returns whether it ran.
  bool UserClick();

 private:
  bool enabled_;
};

class Label : public Observable {
 public:
  explicit Label(std::string caption = {}) : caption_(std::move(caption)) {}

  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);

 private:
  std::string caption_;
};

class ProgressBar : public Observable {
 public:
  int Min() const { return min_; }
  int Max() const { return max_; }
  int Position() const { return position_; }
  // Refuses (returns false) a range whose min lies above its max; the position
  // is pulled into the new range.
  bool SetRange(int min, int max);
  // Positions outside the range are clamped to it, as the native control does.
  void SetPosition(int position);

 private:
  int min_ = 0;
  int max_ = 100;
  int position_ = 0;
};

class StatusBar : public Observable {
 public:
  static constexpr int kPanelCount = 2;

  // Panel accessors refuse an index outside 0..kPanelCount-1: getters return an
  // empty text or width 0, setters return false.
  const std::string& PanelText(int panel) const;
  bool SetPanelText(int panel, std::string text);
  int PanelWidth(int panel) const;
  bool SetPanelWidth(int panel, int width);

  // Shown only in simple mode; in panel mode it is stored and can be read back.
  const std::string& SimpleText() const { return simple_text_; }
  void SetSimpleText(std::string text);
  bool SimplePanel() const { return simple_panel_; }
  void SetSimplePanel(bool simple);

  Color Background() const { return background_; }
  void SetBackground(Color color);

 private:
  struct Panel {
    std::string text;
    int width = 50;
  };
  static bool IsPanel(int panel) { return panel >= 0 && panel < kPanelCount; }

  Panel panels_[kPanelCount];
  std::string simple_text_;
  bool simple_panel_ = false;
  Color background_ = Color::ButtonFace();
};

class ListBox : public Observable {
 public:
  static constexpr int kNoItem = -1;

  const std::vector<std::string>& Items() const { return items_; }
  int Count() const { return static_cast<int>(items_.size()); }
  // Returns the index of the new last item.
  int AddItem(std::string item);
  void Clear();

  int ItemIndex() const { return item_index_; }
  // kNoItem deselects; an index outside the items is refused (returns false).
  bool SetItemIndex(int index);

 private:
  std::vector<std::string> items_;
  int item_index_ = kNoItem;
};

// Lines are separated by "\n" in the model; a view converts as it needs.
class Memo : public Observable {
 public:
  explicit Memo(std::string text = {}) : text_(std::move(text)) {}

  const std::string& Text() const { return text_; }
  void SetText(std::string text);
  void Clear() { SetText({}); }
  // Appends the text exactly as given.
  void AddText(const std::string& text);
  // Appends one line the way a memo's Lines.Add does: on a line of its own,
  // ended by a line break.
  void AddLine(const std::string& line);

 private:
  std::string text_;
};

class MenuItem : public Clickable {
 public:
  explicit MenuItem(std::string caption = {}, bool visible = true)
      : Clickable(std::move(caption), visible) {}
};

// A top-level window's model: caption, outer bounds and visibility. Its
// controls are members of the window class that derives from or holds it.
class Form : public Observable {
 public:
  explicit Form(std::string caption = {}, int width = 0, int height = 0)
      : caption_(std::move(caption)), width_(width), height_(height) {}
  ~Form() override;

  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);
  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetBounds(int left, int top, int width, int height);
  void SetPosition(int left, int top) { SetBounds(left, top, width_, height_); }

  bool Visible() const { return visible_; }
  bool Modal() const { return modal_ != nullptr; }
  void Show();
  void Hide();
  // Shows the form and runs a nested loop on `loop` until the form is closed
  // (or the loop is asked to quit); everything else on the loop keeps running.
  // Returns true when the form was closed. Refused (false at once) off the UI
  // thread or while the form is already modal.
  bool ShowModal(EventLoop& loop);
  // Runs OnClose, then hides the form and ends its modal loop, if any.
  void Close();

  std::function<void()> OnClose;

 private:
  void SetVisible(bool visible);

  std::string caption_;
  int left_ = 0;
  int top_ = 0;
  int width_;
  int height_;
  bool visible_ = false;
  // Shared with a running modal loop, so the loop can end cleanly even when a
  // handler deletes the form while it is shown modally.
  struct ModalState {
    bool close_requested = false;
    bool form_destroyed = false;
  };
  std::shared_ptr<ModalState> modal_;
};

}  // namespace kv::toolkit
