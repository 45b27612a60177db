#include "toolkit/controls.h"

#include <algorithm>

namespace kv::toolkit {

// ---- Observable ----

Observable::Subscription Observable::Subscribe(Listener listener) {
  if (!listener) return 0;
  const Subscription subscription = next_subscription_++;
  listeners_.emplace_back(subscription, std::make_shared<Listener>(std::move(listener)));
  return subscription;
}

void Observable::Unsubscribe(Subscription subscription) {
  std::erase_if(listeners_,
                [subscription](const auto& entry) { return entry.first == subscription; });
}

void Observable::Notify(Change change) {
  // Listeners may (un)subscribe while being notified: walk a snapshot and skip
  // the ones removed meanwhile. The shared_ptr keeps a running listener alive.
  const auto snapshot = listeners_;
  for (const auto& [subscription, listener] : snapshot) {
    const bool still_subscribed =
        std::any_of(listeners_.begin(), listeners_.end(),
                    [id = subscription](const auto& entry) { return entry.first == id; });
    if (still_subscribed) (*listener)(change);
  }
}

// ---- Clickable, Button, MenuItem, Label ----

void Clickable::SetCaption(std::string caption) {
  if (caption == caption_) return;
  caption_ = std::move(caption);
  Notify(Change::kCaption);
}

void Clickable::SetVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  Notify(Change::kVisible);
}

void Clickable::Click() {
  // A copy: the handler may reassign OnClick or delete the control.
  const std::function<void()> handler = OnClick;
  if (handler) handler();
}

void Button::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Notify(Change::kEnabled);
}

bool Button::UserClick() {
  if (!enabled_) return false;
  Click();
  return true;
}

void Label::SetCaption(std::string caption) {
  if (caption == caption_) return;
  caption_ = std::move(caption);
  Notify(Change::kCaption);
}

// ---- ProgressBar ----

bool ProgressBar::SetRange(int min, int max) {
  if (min > max) return false;
  if (min != min_ || max != max_) {
    min_ = min;
    max_ = max;
    Notify(Change::kRange);
  }
  SetPosition(position_);
  return true;
}

void ProgressBar::SetPosition(int position) {
  position = std::clamp(position, min_, max_);
  if (position == position_) return;
  position_ = position;
  Notify(Change::kPosition);
}

// ---- StatusBar ----

const std::string& StatusBar::PanelText(int panel) const {
  static const std::string kNoText;
  return IsPanel(panel) ? panels_[panel].text : kNoText;
}

bool StatusBar::SetPanelText(int panel, std::string text) {
  if (!IsPanel(panel)) return false;
  if (text == panels_[panel].text) return true;
  panels_[panel].text = std::move(text);
  Notify(Change::kPanel);
  return true;
}

int StatusBar::PanelWidth(int panel) const {
  return IsPanel(panel) ? panels_[panel].width : 0;
}

bool StatusBar::SetPanelWidth(int panel, int width) {
  if (!IsPanel(panel) || width < 0) return false;
  if (width == panels_[panel].width) return true;
  panels_[panel].width = width;
  Notify(Change::kPanel);
  return true;
}

void StatusBar::SetSimpleText(std::string text) {
  if (text == simple_text_) return;
  simple_text_ = std::move(text);
  Notify(Change::kSimpleText);
}

void StatusBar::SetSimplePanel(bool simple) {
  if (simple == simple_panel_) return;
  simple_panel_ = simple;
  Notify(Change::kSimplePanel);
}

void StatusBar::SetBackground(Color color) {
  if (color == background_) return;
  background_ = color;
  Notify(Change::kColor);
}

// ---- ListBox ----

int ListBox::AddItem(std::string item) {
  items_.push_back(std::move(item));
  Notify(Change::kItemAdded);
  return Count() - 1;
}

void ListBox::Clear() {
  if (items_.empty()) return;
  items_.clear();
  item_index_ = kNoItem;
  Notify(Change::kItemsCleared);
}

bool ListBox::SetItemIndex(int index) {
  if (index < kNoItem || index >= Count()) return false;
  if (index == item_index_) return true;
  item_index_ = index;
  Notify(Change::kItemIndex);
  return true;
}

// ---- Memo ----

void Memo::SetText(std::string text) {
  if (text == text_) return;
  text_ = std::move(text);
  Notify(Change::kText);
}

void Memo::AddText(const std::string& text) {
  if (text.empty()) return;
  text_ += text;
  Notify(Change::kTextAppended);
}

void Memo::AddLine(const std::string& line) {
  std::string added;
  if (!text_.empty() && text_.back() != '\n') added = "\n";
  added += line;
  added += '\n';
  AddText(added);
}

// ---- Form ----

Form::~Form() {
  if (modal_) modal_->form_destroyed = true;
}

void Form::SetCaption(std::string caption) {
  if (caption == caption_) return;
  caption_ = std::move(caption);
  Notify(Change::kCaption);
}

void Form::SetBounds(int left, int top, int width, int height) {
  if (width < 0 || height < 0) return;
  if (left == left_ && top == top_ && width == width_ && height == height_) return;
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  Notify(Change::kBounds);
}

void Form::SetVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  Notify(Change::kVisible);
}

void Form::Show() {
  SetVisible(true);
}

void Form::Hide() {
  SetVisible(false);
}

bool Form::ShowModal(EventLoop& loop) {
  if (!loop.IsUiThread() || modal_) return false;
  const auto state = std::make_shared<ModalState>();
  modal_ = state;
  SetVisible(true);
  loop.RunUntil([state] { return state->close_requested || state->form_destroyed; });
  if (state->form_destroyed) return false;
  modal_.reset();
  if (!state->close_requested) SetVisible(false);  // the loop is quitting
  return state->close_requested;
}

void Form::Close() {
  const std::function<void()> handler = OnClose;
  if (handler) handler();
  if (modal_) modal_->close_requested = true;
  SetVisible(false);
}

}  // namespace kv::toolkit
