// Modal message boxes: a text, a symbol and one OK button. Show returns when the
// box is closed; until then the caller's event loop keeps running (timers,
// posted and sent tasks), as under a Windows message box.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "toolkit/event_loop.h"

namespace kv::toolkit {

enum class MessageSymbol {
  kInformation,  // refusals, read errors, success
  kError,        // failures
};

// Which message a box shows, beside its text: front ends that act on a message
// (the command line's exit code) decide from this, never from the wording. The
// values are the catalogue of the window's messages (kv::texts::TMessageId in
// engine/engine_texts.h); the toolkit only carries them.
enum class MessageId : uint16_t {
  kUnspecified = 0,  // a box that is none of the catalogue's messages
};

// Implemented by each front end (a real window, the command line).
class MessageBoxService {
 public:
  virtual ~MessageBoxService() = default;
  // UI thread. Returns once the user (or a script) has closed the box.
  virtual void Show(MessageId id, const std::string& text, MessageSymbol symbol) = 0;
};

// For tests: records every box and "closes" it after a chosen delay, running
// the loop in a nested loop meanwhile, so a test sees what goes on while a box
// is open.
class ScriptedMessageBoxes final : public MessageBoxService {
 public:
  struct Shown {
    MessageId id;
    std::string text;
    MessageSymbol symbol;
    Clock::time_point when;
  };

  explicit ScriptedMessageBoxes(EventLoop& loop,
                                Clock::duration close_after = Clock::duration::zero())
      : loop_(loop), close_after_(close_after) {}

  void SetCloseAfter(Clock::duration close_after) { close_after_ = close_after; }
  // Called as each box opens, before its nested loop runs.
  std::function<void(const Shown&)> OnShown;

  void Show(MessageId id, const std::string& text, MessageSymbol symbol) override;

  // Closes every open box at its loop's next wake-up (from a handler).
  void CloseOpenBoxes() { ++close_generation_; }

  const std::vector<Shown>& Boxes() const { return boxes_; }
  int OpenCount() const { return open_count_; }

 private:
  EventLoop& loop_;
  Clock::duration close_after_;
  std::vector<Shown> boxes_;
  int open_count_ = 0;
  int close_generation_ = 0;
};

}  // namespace kv::toolkit
