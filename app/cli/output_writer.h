// What the tool prints, written by a thread of its own. The session hands over
// its text and goes on at once; a reader that does not read (a full pipe, a
// paused pager) then holds up only this thread, never the window's logic, its
// timers or the link. Nothing handed over is dropped: the end waits for it.
#pragma once

#include <condition_variable>
#include <deque>
#include <ostream>
#include <string>
#include <thread>

#include "toolkit/thread_annotations.h"

namespace kv::cli {

class TOutputWriter final : public std::streambuf {
 public:
  explicit TOutputWriter(std::ostream& target);
  // Writes everything handed over, then joins the thread.
  ~TOutputWriter() override;
  TOutputWriter(const TOutputWriter&) = delete;
  TOutputWriter& operator=(const TOutputWriter&) = delete;

  // Returns once everything handed over so far has been written: as long as the
  // reader takes, as writing to the stream directly would.
  void Drain();
  // Any thread: hands over text written elsewhere (TLineHandOver), whole.
  void HandOver(std::string text);

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  // A flush of the stream: what was put so far is handed over.
  int sync() override;

 private:
  void WriteAll();
  // The writer's thread: marks the last batch written, then waits for the next
  // one; false once closing with nothing left.
  bool TakeBatch(std::deque<std::string>& batch);

  std::ostream& target_;
  std::string put_;  // the caller's thread: put since the last flush
  Mutex lock_;
  std::condition_variable_any changed_;
  std::deque<std::string> handedOver_ KV_GUARDED_BY(lock_);
  bool writing_ KV_GUARDED_BY(lock_) = false;
  bool closing_ KV_GUARDED_BY(lock_) = false;
  std::thread thread_;
};

// One writer's stream among several sharing a TOutputWriter (one per unit
// updated at once): complete lines go over whole, each begun with `prefix`, so
// that lines of different units never mix; a partial line waits for its end.
class TLineHandOver final : public std::streambuf {
 public:
  TLineHandOver(TOutputWriter& writer, std::string prefix);
  ~TLineHandOver() override;
  TLineHandOver(const TLineHandOver&) = delete;
  TLineHandOver& operator=(const TLineHandOver&) = delete;

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  TOutputWriter& writer_;
  const std::string prefix_;
  std::string put_;
};

}  // namespace kv::cli
