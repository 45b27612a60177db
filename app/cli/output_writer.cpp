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

// The analysis cannot follow std::unique_lock, which the waits need.
void TOutputWriter::Drain() KV_NO_THREAD_SAFETY_ANALYSIS {
  sync();
  std::unique_lock<Mutex> lock(lock_);
  changed_.wait(lock,
                [this]() KV_NO_THREAD_SAFETY_ANALYSIS { return handedOver_.empty() && !writing_; });
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

void TOutputWriter::WriteAll() KV_NO_THREAD_SAFETY_ANALYSIS {
  std::unique_lock<Mutex> lock(lock_);
  for (;;) {
    changed_.wait(
        lock, [this]() KV_NO_THREAD_SAFETY_ANALYSIS { return !handedOver_.empty() || closing_; });
    if (handedOver_.empty()) return;  // closing, and everything written
    std::deque<std::string> batch;
    batch.swap(handedOver_);
    writing_ = true;
    lock.unlock();
    // A stream that cannot be written (a closed pipe) stays failed; the rest is dropped.
    for (const std::string& text : batch) target_ << text;
    target_.flush();
    lock.lock();
    writing_ = false;
    changed_.notify_all();
  }
}

}  // namespace kv::cli
