#include "app/cli/output_writer.h"

#include <mutex>
#include <utility>

namespace kv::cli {

TOutputWriter::TOutputWriter(std::ostream& target)
    : target_(target), thread_([this] { WriteAll(); }) {}

TOutputWriter::~TOutputWriter() {
  sync();
  {
    MutexLock lock(lock_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void TOutputWriter::Drain() {
  sync();
  MutexLock lock(lock_);
  while (!handedOver_.empty() || writing_) changed_.wait(lock_);
}

TOutputWriter::int_type TOutputWriter::overflow(int_type ch) {
  if (!traits_type::eq_int_type(ch, traits_type::eof())) put_ += traits_type::to_char_type(ch);
  return traits_type::not_eof(ch);
}

std::streamsize TOutputWriter::xsputn(const char* text, std::streamsize count) {
  put_.append(text, static_cast<size_t>(count));
  return count;
}

int TOutputWriter::sync() {
  if (put_.empty()) return 0;
  {
    MutexLock lock(lock_);
    handedOver_.push_back(std::move(put_));
  }
  put_.clear();
  changed_.notify_all();
  return 0;
}

void TOutputWriter::HandOver(std::string text) {
  if (text.empty()) return;
  {
    MutexLock lock(lock_);
    handedOver_.push_back(std::move(text));
  }
  changed_.notify_all();
}

void TOutputWriter::WriteAll() {
  for (std::deque<std::string> batch; TakeBatch(batch);) {
    // A stream that cannot be written (a closed pipe) stays failed; the rest is dropped.
    for (const std::string& text : batch) target_ << text;
    target_.flush();
    batch.clear();
  }
}

bool TOutputWriter::TakeBatch(std::deque<std::string>& batch) {
  MutexLock lock(lock_);
  if (writing_) {
    writing_ = false;
    changed_.notify_all();
  }
  while (handedOver_.empty() && !closing_) changed_.wait(lock_);
  if (handedOver_.empty()) return false;  // closing, and everything written
  batch.swap(handedOver_);
  writing_ = true;
  return true;
}

TLineHandOver::TLineHandOver(TOutputWriter& writer, std::string prefix)
    : writer_(writer), prefix_(std::move(prefix)) {}

TLineHandOver::~TLineHandOver() {
  // A last line without its end still goes out.
  if (!put_.empty()) put_ += '\n';
  sync();
}

TLineHandOver::int_type TLineHandOver::overflow(int_type ch) {
  if (!traits_type::eq_int_type(ch, traits_type::eof())) put_ += traits_type::to_char_type(ch);
  return traits_type::not_eof(ch);
}

std::streamsize TLineHandOver::xsputn(const char* text, std::streamsize count) {
  put_.append(text, static_cast<size_t>(count));
  return count;
}

int TLineHandOver::sync() {
  std::string lines;
  size_t begin = 0;
  for (size_t end = put_.find('\n'); end != std::string::npos; end = put_.find('\n', begin)) {
    lines += prefix_;
    lines.append(put_, begin, end + 1 - begin);
    begin = end + 1;
  }
  put_.erase(0, begin);
  writer_.HandOver(std::move(lines));
  return 0;
}

}  // namespace kv::cli
