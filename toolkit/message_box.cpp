#include "toolkit/message_box.h"

namespace kv::toolkit {

void ScriptedMessageBoxes::Show(MessageId id, const std::string& text, MessageSymbol symbol) {
  Shown shown{id, text, symbol, Clock::now()};
  boxes_.push_back(shown);
  if (OnShown) OnShown(shown);
  ++open_count_;
  const int generation = close_generation_;
  loop_.RunUntil([this, generation] { return close_generation_ != generation; }, close_after_);
  --open_count_;
}

}  // namespace kv::toolkit
