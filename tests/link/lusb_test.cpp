#include "link/lusb.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "link/lcmd.h"

namespace kv {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kEventBound = 5s;  // no single expected event takes this long

// What the owner window is told, by number: no response, Close gave up on its
// worker, the worker ended.
constexpr int kNoResponseNotice = 0;
constexpr int kStopTimeoutNotice = 5;
constexpr int kWorkerEndedNotice = 6;
// How long Close waits for its worker before it gives up on it.
constexpr auto kCloseWait = 5000ms;

struct TNotice {
  int Code;
  intptr_t Value;
  Clock::time_point At;
};

// Plays the main window: records what the link writes (worker thread) and the
// messages it receives (UI thread).
class TRecordingOwner : public TLinkOwner {
 public:
  explicit TRecordingOwner(toolkit::EventLoop& loop) : loop_(loop) {}

  void WriteReport(const uint8_t* data, int count) override {
    std::lock_guard lock(mutex_);
    writes_.emplace_back(data, static_cast<size_t>(count));
    writeTimes_.push_back(Clock::now());
  }

  void LinkMessage(uint32_t message, uintptr_t wparam, intptr_t lparam) override {
    if (message == WM_LINK_BYTE) linkBytes.push_back(static_cast<uint8_t>(wparam));
    if (message == WM_LINK_NOTIFY)
      notices.push_back({static_cast<int>(wparam), lparam, Clock::now()});
    if (message != WM_LINK_RESPONSE) return;
    responses.push_back(*reinterpret_cast<const ByteBuffer*>(wparam));
    elapsedMs.push_back(lparam);
    if (onResponse) onResponse();
  }

  toolkit::EventLoop& LinkLoop() override {
    if (!loop_.IsUiThread()) workerReachedLoop = true;
    return loop_;
  }

  std::vector<ByteBuffer> Writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  size_t WriteCount() const {
    std::lock_guard lock(mutex_);
    return writes_.size();
  }
  Clock::time_point WriteTime(size_t index) const {
    std::lock_guard lock(mutex_);
    return writeTimes_.at(index);
  }
  bool Noticed(int code) const {
    for (const TNotice& notice : notices) {
      if (notice.Code == code) return true;
    }
    return false;
  }

  // UI thread only.
  std::vector<ByteBuffer> responses;
  std::vector<intptr_t> elapsedMs;
  std::vector<TNotice> notices;
  std::vector<uint8_t> linkBytes;
  std::function<void()> onResponse;
  std::atomic<bool> workerReachedLoop{false};

 private:
  toolkit::EventLoop& loop_;
  mutable std::mutex mutex_;
  std::vector<ByteBuffer> writes_;
  std::vector<Clock::time_point> writeTimes_;
};

ByteBuffer Command(uint8_t code) {
  return BuildFrame(TCmdPacket(1, code), pkFramed);
}

// A unit's answer: 10 02 01 00 L code 33 10 03 checksum (checksum not examined).
ByteBuffer Answer(uint8_t code) {
  return {0x10, 0x02, 0x01, 0x00, 0x02, code, 0x33, 0x10, 0x03, 0x5A};
}

ByteBuffer Counting(size_t count, uint8_t first = 0) {
  ByteBuffer bytes(count);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

class LusbTest : public ::testing::Test {
 protected:
  bool RunUntil(const std::function<bool()>& done, Clock::duration limit = kEventBound) {
    return loop->RunUntil(done, limit);
  }
  void Feed(TUsbLink& target, const ByteBuffer& bytes) {
    target.Receive(bytes.data(), static_cast<int>(bytes.size()));
  }
  // Answers the outstanding command once the link has written `writes` commands.
  void AnswerWrite(size_t writes) {
    ASSERT_TRUE(RunUntil([&] { return owner.WriteCount() == writes; }));
    const size_t delivered = owner.responses.size();
    Feed(*link, Answer(cmdIdentify));
    ASSERT_TRUE(RunUntil([&] { return owner.responses.size() == delivered + 1; }));
  }

  std::unique_ptr<toolkit::EventLoop> loop = toolkit::CreatePortableEventLoop();
  TRecordingOwner owner{*loop};
  std::unique_ptr<TUsbCmdLink> link = std::make_unique<TUsbCmdLink>(owner);
};

TEST_F(LusbTest, AppendedCommandsGoOutInOrderOnePerResponse) {
  ASSERT_TRUE(link->Open());
  std::vector<size_t> writesSeenByHandler;
  owner.onResponse = [&] { writesSeenByHandler.push_back(owner.WriteCount()); };

  link->Submit(Command(0x21), true);
  link->Submit(Command(0x22), true);
  link->Submit(Command(0x23), true);
  EXPECT_EQ(link->QueuedCount(), 2u);
  for (size_t write = 1; write <= 3; ++write) AnswerWrite(write);

  EXPECT_EQ(owner.Writes(), (std::vector<ByteBuffer>{Command(0x21), Command(0x22), Command(0x23)}));
  EXPECT_EQ(writesSeenByHandler, (std::vector<size_t>{1, 2, 3}));
  EXPECT_TRUE(RunUntil([&] { return !link->Busy(); }));
}

TEST_F(LusbTest, ReplaceModeOverwritesOnlyTheWaitingReplaceableCommand) {
  ASSERT_TRUE(link->Open());
  link->Submit(Command(0x20), true);  // idle: out at once
  EXPECT_EQ(link->QueuedCount(), 0u);
  link->Submit(Command(0x21), false);
  link->Submit(Command(0x22), true);
  link->Submit(Command(0x23), false);  // takes the place of 0x21, ahead of 0x22
  EXPECT_EQ(link->QueuedCount(), 2u);
  AnswerWrite(1);
  ASSERT_TRUE(RunUntil([&] { return owner.WriteCount() == 2; }));
  // 0x23 is out now, so the next replace-mode command joins at the back again,
  // behind the appended one.
  link->Submit(Command(0x24), false);
  EXPECT_EQ(link->QueuedCount(), 2u);
  AnswerWrite(2);
  AnswerWrite(3);
  ASSERT_TRUE(RunUntil([&] { return owner.WriteCount() == 4; }));

  EXPECT_EQ(owner.Writes(),
            (std::vector<ByteBuffer>{Command(0x20), Command(0x23), Command(0x22), Command(0x24)}));
}

TEST_F(LusbTest, FrameResponseEndsAtItsLengthAndNoiseAheadIsDropped) {
  ASSERT_TRUE(link->Open());
  link->Submit(Command(cmdIdentify), true);
  const ByteBuffer first = Answer(cmdIdentify);
  const ByteBuffer second{0x10, 0x02, 0x01, 0x00, 0x01, 0x12, 0x10, 0x03, 0x11};
  ByteBuffer report{0x55};
  report.append(first.data(), first.size());
  report.append(second.data(), 4);
  Feed(*link, report);
  Feed(*link, ByteBuffer(second.data() + 4, second.size() - 4));

  ASSERT_TRUE(RunUntil([&] { return owner.responses.size() == 2; }));
  EXPECT_EQ(owner.responses[0], first);
  EXPECT_EQ(owner.responses[1], second);
}

TEST_F(LusbTest, RawResponseEndsAtItsSixtyFourthByte) {
  ASSERT_TRUE(link->Open());
  link->Submit(Counting(70, 0x80), true);  // no frame shape: a raw reply is expected
  Feed(*link, Counting(65));
  Feed(*link, Counting(63, 65));

  ASSERT_TRUE(RunUntil([&] { return owner.responses.size() == 2; }));
  EXPECT_EQ(owner.responses[0], Counting(64));
  EXPECT_EQ(owner.responses[1], Counting(64, 64));
}

// The shape expected follows the latest command submitted, not the one being
// answered: a frame queued behind a raw request while the raw answer is being
// built makes the rest of that answer build as a frame.
TEST_F(LusbTest, AFrameQueuedWhileARawAnswerIsBuiltTurnsItIntoAFrame) {
  ASSERT_TRUE(link->Open());
  link->Submit(Counting(70, 0x80), true);
  ASSERT_TRUE(RunUntil([&] { return owner.WriteCount() == 1; }));
  const ByteBuffer answer = Answer(cmdIdentify);
  Feed(*link, ByteBuffer(answer.data(), 5));
  // Whether or not the worker has taken those five bytes yet, they start a frame.
  link->Submit(Command(cmdVersionText), true);
  EXPECT_EQ(link->QueuedCount(), 1u);
  Feed(*link, ByteBuffer(answer.data() + 5, answer.size() - 5));

  ASSERT_TRUE(RunUntil([&] { return owner.responses.size() == 1; }));
  EXPECT_EQ(owner.responses[0], answer);
  ASSERT_TRUE(RunUntil([&] { return owner.WriteCount() == 2; }));
  EXPECT_EQ(owner.Writes()[1], Command(cmdVersionText));
}

TEST_F(LusbTest, CommandSubmittedByTheHandlerGoesOutAfterItReturns) {
  ASSERT_TRUE(link->Open());
  bool busyInHandler = false;
  size_t writesInHandler = 0;
  owner.onResponse = [&] {
    if (owner.responses.size() != 1) return;
    link->Submit(Command(cmdVersionText), true);
    busyInHandler = link->Busy();
    writesInHandler = owner.WriteCount();
  };
  link->Submit(Command(cmdIdentify), true);
  AnswerWrite(1);
  ASSERT_TRUE(RunUntil([&] { return owner.WriteCount() == 2; }));

  EXPECT_TRUE(busyInHandler);
  EXPECT_EQ(writesInHandler, 1u);
  EXPECT_TRUE(link->Busy());
  EXPECT_EQ(owner.Writes().back(), Command(cmdVersionText));
  AnswerWrite(2);
  EXPECT_TRUE(RunUntil([&] { return !link->Busy(); }));
}

// A unit that answers twice: both answers are read in one pass, and each
// delivery dispatches a command. The first one dispatched is written before the
// second answer is read, not overwritten in the send area by the next.
TEST_F(LusbTest, EveryDispatchedCommandIsWrittenWhenAnswersArriveBackToBack) {
  ASSERT_TRUE(link->Open());
  uint8_t nextCode = 0x22;
  owner.onResponse = [&] {
    if (nextCode <= 0x23) link->Submit(Command(nextCode++), true);
  };
  link->Submit(Command(0x21), true);
  ASSERT_TRUE(RunUntil([&] { return owner.WriteCount() == 1; }));
  Feed(*link, Answer(0x21));
  Feed(*link, Answer(0x21));
  ASSERT_TRUE(RunUntil([&] { return owner.responses.size() == 2; }));
  EXPECT_TRUE(RunUntil([&] { return owner.WriteCount() == 3; }));
  EXPECT_EQ(owner.Writes(), (std::vector<ByteBuffer>{Command(0x21), Command(0x22), Command(0x23)}));
}

TEST_F(LusbTest, IdleLinkSendsKeepAliveThreeSecondsAfterTheLastResponseUnlessDisabled) {
  TRecordingOwner quietOwner(*loop);
  TUsbCmdLink quietLink(quietOwner);  // the poll stays off until its owner decides
  ASSERT_TRUE(quietLink.Open());
  ASSERT_TRUE(link->Open());
  link->SetPollDisabled(false);
  Clock::time_point delivered;
  toolkit::Timer::Tally atDelivery;
  owner.onResponse = [&] {
    delivered = Clock::now();
    atDelivery = link->PollTimer()->Counted();
  };
  link->Submit(Command(cmdIdentify), true);
  AnswerWrite(1);

  ASSERT_TRUE(RunUntil([&] { return owner.WriteCount() == 2; }, 10s));
  // A timer never fires early, so the wall clock bounds the wait from below.
  EXPECT_GE(owner.WriteTime(1) - delivered, 3000ms);
  // From above, the timer's own record, which no load can blur: one restart as
  // the delivery ended, and that arming of 3000 ms is the one that fired; the
  // keep-alive's own submission restarted it once more.
  const toolkit::Timer::Tally atKeepAlive = link->PollTimer()->Counted();
  EXPECT_EQ(atKeepAlive.Fires - atDelivery.Fires, 1);
  EXPECT_EQ(atKeepAlive.Starts - atDelivery.Starts, 2);
  EXPECT_EQ(atKeepAlive.Armed - atDelivery.Armed, 2 * 3000ms);
  EXPECT_EQ(owner.Writes()[1], ByteBuffer({0x10, 0x02, 0x00, 0x01, 0x01, 0x12, 0x10, 0x03, 0x13}));
  EXPECT_EQ(quietOwner.WriteCount(), 0u);
}

TEST_F(LusbTest, NoResponseNoticeComesAtTheSeventhTimeOutOrTheThirdForCode05) {
  constexpr auto kWait = 200ms;
  TRecordingOwner impatientOwner(*loop);
  TUsbCmdLink impatientLink(impatientOwner);
  for (TUsbCmdLink* target : {link.get(), &impatientLink}) {
    target->SetWaitTimeout(kWait);
    ASSERT_TRUE(target->Open());
  }
  link->Submit(Command(cmdIdentify), true);
  impatientLink.Submit(BuildFrame(TCmdPacket(7, 0x05), pkFramed), true);

  ASSERT_TRUE(RunUntil([&] {
    return owner.Noticed(kNoResponseNotice) && impatientOwner.Noticed(kNoResponseNotice);
  }));
  const TNotice& notice = owner.notices.at(0);
  EXPECT_EQ(notice.Code, kNoResponseNotice);
  EXPECT_EQ(notice.Value, 1);  // byte 3 of the last command: its receiver
  // Not sooner than the time-outs allow; which time-out it is, exactly, the
  // count below holds (a loaded machine stretches every wait).
  EXPECT_GE(notice.At - owner.WriteTime(0), 7 * kWait);
  const TNotice& impatient = impatientOwner.notices.at(0);
  EXPECT_EQ(impatient.Value, 7);
  EXPECT_GE(impatient.At - impatientOwner.WriteTime(0), 3 * kWait);
}

// The count behind the notice, time-out by time-out: every 7th while nothing is
// sent, every 3rd for code 05, and a transmission (the count cleared) starts a
// whole round again.
TEST(NoResponseCount, NoticeAtTheSeventhTimeOutOrTheThirdForCode05) {
  struct Case {
    bool impatient;
    int clearAfter;             // a transmission after this many time-outs; 0 for none
    std::vector<int> noticeAt;  // the time-outs (from 1) that bring a notice, of 16
  };
  const Case cases[] = {
      {false, 0, {7, 14}},
      {true, 0, {3, 6, 9, 12, 15}},
      {false, 3, {10}},
      {true, 2, {5, 8, 11, 14}},
  };
  for (const Case& c : cases) {
    int8_t timeoutCount = 0;
    int quietTimeouts = 0;
    std::vector<int> noticeAt;
    for (int timeout = 1; timeout <= 16; ++timeout) {
      if (NoResponseNoticeDue(timeoutCount, quietTimeouts, 2, c.impatient)) {
        noticeAt.push_back(timeout);
      }
      if (timeout == c.clearAfter) timeoutCount = 0;
    }
    EXPECT_EQ(noticeAt, c.noticeAt)
        << "impatient " << c.impatient << ", cleared after " << c.clearAfter;
  }
}

// Only a transmission restarts the count: with nothing sent the notice comes
// again every 7th time-out, and a command sent part-way through a round makes
// the next notice wait 7 whole time-outs from that command.
TEST_F(LusbTest, NoResponseNoticeRepeatsEverySeventhTimeOutAndRestartsAfterATransmission) {
  constexpr auto kWait = 200ms;
  TUsbLink base(owner);
  base.SetWaitTimeout(kWait);
  ASSERT_TRUE(base.Open());
  const ByteBuffer command = Command(cmdIdentify);
  base.SendBuffer(command);
  auto noticesSeen = [&](size_t count) {
    return RunUntil([&] { return owner.notices.size() >= count; }, 16 * kWait);
  };
  ASSERT_TRUE(noticesSeen(2));
  EXPECT_GE(owner.notices[0].At - owner.WriteTime(0), 7 * kWait);
  EXPECT_GE(owner.notices[1].At - owner.WriteTime(0), 14 * kWait);

  RunUntil([] { return false; }, 3 * kWait);  // three time-outs into the third round
  base.SendBuffer(command);
  ASSERT_TRUE(RunUntil([&] { return owner.WriteCount() == 2; }));
  ASSERT_TRUE(noticesSeen(3));
  EXPECT_GE(owner.notices[2].At - owner.WriteTime(1), 7 * kWait);
  for (const TNotice& notice : owner.notices) EXPECT_EQ(notice.Code, kNoResponseNotice);
}

TEST_F(LusbTest, CloseReportsWorkerEndedAndNoStopTimeout) {
  TRecordingOwner unopenedOwner(*loop);
  TUsbCmdLink unopened(unopenedOwner);
  unopened.Close();
  ASSERT_TRUE(link->Open());
  link->Submit(Command(cmdIdentify), true);
  ASSERT_TRUE(RunUntil([&] { return owner.WriteCount() == 1; }));

  link->Close();
  EXPECT_FALSE(link->Running());
  ASSERT_TRUE(RunUntil([&] { return !owner.notices.empty(); }));
  RunUntil([] { return false; }, 20ms);  // anything else posted would show now
  ASSERT_EQ(owner.notices.size(), 1u);
  EXPECT_EQ(owner.notices[0].Code, kWorkerEndedNotice);
  EXPECT_EQ(owner.notices[0].Value, 1);
  EXPECT_TRUE(unopenedOwner.notices.empty());
}

TEST_F(LusbTest, SecondOpenFailsAndNothingIsSentBeforeOpen) {
  const ByteBuffer early = Command(0x30);
  link->SendBytes(early.data(), static_cast<int>(early.size()));
  link->Submit(early, true);
  EXPECT_FALSE(link->Busy());
  EXPECT_EQ(link->WaitTimeout(), 800ms);  // until the owner sets its own
  ASSERT_TRUE(link->Open());
  EXPECT_FALSE(link->Open());
  link->Submit(Command(0x31), true);
  AnswerWrite(1);
  EXPECT_EQ(owner.Writes(), std::vector<ByteBuffer>{Command(0x31)});
}

TEST_F(LusbTest, ElapsedTimeRunsFromHandOverToDelivery) {
  ASSERT_TRUE(link->Open());
  link->Submit(Command(cmdIdentify), true);
  ASSERT_TRUE(RunUntil([&] { return owner.WriteCount() == 1; }));
  std::this_thread::sleep_for(40ms);
  Feed(*link, Answer(cmdIdentify));
  ASSERT_TRUE(RunUntil([&] { return owner.responses.size() == 1; }));
  EXPECT_GE(owner.elapsedMs[0], 40);
}

TEST(LusbElapsed, WholeMillisecondsAreCutNotRounded) {
  EXPECT_EQ(ElapsedMilliseconds(15, 10'000), 1);                // 1.5 ms
  EXPECT_EQ(ElapsedMilliseconds(1'999'999, 1'000'000'000), 1);  // 1.999999 ms
  EXPECT_EQ(ElapsedMilliseconds(9, 10'000), 0);                 // 0.9 ms
  EXPECT_EQ(ElapsedMilliseconds(3'579'545, 3'579'545), 1000);
  EXPECT_EQ(ElapsedMilliseconds(int64_t{1} << 62, 1'000'000'000), 0xFFFFFFFF);
  EXPECT_EQ(ElapsedMilliseconds(50, 0), 0);  // no counter
  EXPECT_EQ(ElapsedMilliseconds(-50, 10'000), 0);
}

TEST_F(LusbTest, HandlerMayCloseOrDeleteTheLink) {
  for (const bool deleteIt : {false, true}) {
    SCOPED_TRACE(deleteIt ? "delete" : "close");
    TRecordingOwner handlerOwner(*loop);
    auto handlerLink = std::make_unique<TUsbCmdLink>(handlerOwner);
    TUsbCmdLink* const raw = handlerLink.get();
    Clock::duration messageBoxTime{};
    handlerOwner.onResponse = [&] {
      raw->Submit(Command(cmdVersionText), true);
      if (deleteIt) {
        handlerLink.reset();
      } else {
        raw->Close();
      }
      // A message box after the close runs a nested loop; nothing may hold it up.
      const Clock::time_point shown = Clock::now();
      loop->RunUntil([] { return false; }, 50ms);
      messageBoxTime = Clock::now() - shown;
    };
    ASSERT_TRUE(raw->Open());
    raw->Submit(Command(cmdIdentify), true);
    ASSERT_TRUE(RunUntil([&] { return handlerOwner.WriteCount() == 1; }));
    Feed(*raw, Answer(cmdIdentify));

    ASSERT_TRUE(RunUntil([&] { return handlerOwner.Noticed(kWorkerEndedNotice); }));
    EXPECT_FALSE(handlerOwner.Noticed(kStopTimeoutNotice));
    EXPECT_LT(messageBoxTime, kCloseWait / 2);
    EXPECT_EQ(handlerOwner.WriteCount(), 1u);  // the queued command died with the link
    if (!deleteIt) {
      EXPECT_FALSE(raw->Running());
    }
  }
}

TEST_F(LusbTest, CloseServesADeliveryTheWorkerIsBlockedIn) {
  link->SetWaitTimeout(60s);  // no time-out notices: the worker reaches the loop only to deliver
  ASSERT_TRUE(link->Open());
  link->Submit(Command(cmdIdentify), true);
  ASSERT_TRUE(RunUntil([&] { return owner.WriteCount() == 1; }));
  Feed(*link, Answer(cmdIdentify));
  // This thread is not serving the loop now, so the worker stays in its delivery.
  const Clock::time_point giveUp = Clock::now() + kEventBound;
  while (!owner.workerReachedLoop && Clock::now() < giveUp) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(owner.workerReachedLoop);
  std::this_thread::sleep_for(20ms);

  link->Close();
  ASSERT_TRUE(RunUntil([&] { return owner.Noticed(kWorkerEndedNotice); }));
  EXPECT_FALSE(owner.Noticed(kStopTimeoutNotice));
  EXPECT_TRUE(owner.responses.empty());  // a closing link does not call the handler
}

// An owner whose report write number `stuckWrite` (from 1) hangs until released,
// or for `hold` at most. The earlier writes are recorded and return at once.
class TStuckOwner : public TRecordingOwner {
 public:
  TStuckOwner(toolkit::EventLoop& loop, size_t stuckWrite, Clock::duration hold)
      : TRecordingOwner(loop), stuckWrite_(stuckWrite), hold_(hold) {}
  void WriteReport(const uint8_t* data, int count) override {
    std::unique_lock lock(mutex_);
    if (++writes_ != stuckWrite_) {
      lock.unlock();
      TRecordingOwner::WriteReport(data, count);
      return;
    }
    writing_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, hold_, [this] { return released_; });
  }
  bool WaitUntilWriting() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kEventBound, [this] { return writing_; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  const size_t stuckWrite_;
  const Clock::duration hold_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t writes_ = 0;
  bool writing_ = false;
  bool released_ = false;
};

// Never destroyed: nothing can wait for a given-up worker, which may still be
// returning from the write when the process ends.
TStuckOwner& KeptStuckOwner(toolkit::EventLoop& loop, size_t stuckWrite, Clock::duration hold) {
  static auto& keptOwners = *new std::vector<TStuckOwner*>();
  return *keptOwners.emplace_back(new TStuckOwner(loop, stuckWrite, hold));
}

// Allowance for Close past its own 5 s wait: abandoning the worker is immediate.
constexpr auto kCloseAllowance = 2s;

TEST_F(LusbTest, CloseGivesUpOnAWorkerStuckInAWrite) {
  // The first command goes out from the worker's send wake-up; the second, one a
  // delivery dispatched, from inside the pass over the received report.
  for (const size_t stuckWrite : {size_t{1}, size_t{2}}) {
    SCOPED_TRACE(stuckWrite == 1 ? "first command" : "command dispatched by a delivery");
    TStuckOwner& stuck = KeptStuckOwner(*loop, stuckWrite, 4 * kEventBound);
    {
      TUsbCmdLink stuckLink(stuck);
      stuck.onResponse = [&] { stuckLink.Submit(Command(cmdVersionText), true); };
      ASSERT_TRUE(stuckLink.Open());
      stuckLink.Submit(Command(cmdIdentify), true);
      if (stuckWrite == 2) {
        ASSERT_TRUE(RunUntil([&] { return stuck.WriteCount() == 1; }));
        Feed(stuckLink, Answer(cmdIdentify));
        ASSERT_TRUE(RunUntil([&] { return stuck.responses.size() == 1; }));
      }
      ASSERT_TRUE(stuck.WaitUntilWriting());
      const Clock::time_point closing = Clock::now();
      stuckLink.Close();
      const Clock::duration closeTime = Clock::now() - closing;
      EXPECT_GE(closeTime, kCloseWait);
      EXPECT_LT(closeTime, kCloseWait + kCloseAllowance);
      ASSERT_TRUE(RunUntil([&] { return stuck.Noticed(kStopTimeoutNotice); }));
    }  // deleted while its worker is still inside the write
    stuck.Release();
    RunUntil([] { return false; }, 20ms);
  }
}

// Close's wait serves other threads' hand-offs to the UI thread. One of them may
// run a nested loop in which the same link is closed and deleted: the outer
// Close must not touch the link afterwards, nor sit out its wait for nothing.
TEST_F(LusbTest, LinkMayBeClosedAndDeletedFromInsideItsOwnClose) {
  TStuckOwner& stuck = KeptStuckOwner(*loop, 1, 4 * kEventBound);
  auto stuckLink = std::make_unique<TUsbCmdLink>(stuck);
  ASSERT_TRUE(stuckLink->Open());
  stuckLink->Submit(Command(cmdIdentify), true);
  ASSERT_TRUE(stuck.WaitUntilWriting());
  // This thread serves the hand-off only from inside Close's wait.
  bool deletedInside = false;
  std::thread other([&] {
    loop->Send([&] {
      stuckLink->Close();
      stuckLink.reset();
      deletedInside = true;
      stuck.Release();  // the worker can end now
    });
  });
  const Clock::time_point closing = Clock::now();
  stuckLink->Close();
  const Clock::duration closeTime = Clock::now() - closing;
  other.join();

  EXPECT_TRUE(deletedInside);
  EXPECT_LT(closeTime, kCloseWait);
  ASSERT_TRUE(RunUntil([&] { return stuck.Noticed(kWorkerEndedNotice); }));
  EXPECT_FALSE(stuck.Noticed(kStopTimeoutNotice));
}

// A timer submits a command while an idle link is delivering a late response,
// and the handler of that response submits another: each is written once, in
// the order submitted.
TEST_F(LusbTest, CommandSubmittedDuringALateDeliveryIsNotLost) {
  link->SetWaitTimeout(60s);  // no time-out notices: the worker reaches the loop only to deliver
  ASSERT_TRUE(link->Open());
  link->Submit(Command(0x20), true);
  AnswerWrite(1);
  ASSERT_TRUE(RunUntil([&] { return !link->Busy(); }));
  owner.onResponse = [&] { link->Submit(Command(0xBB), true); };

  owner.workerReachedLoop = false;
  Feed(*link, Answer(0x20));  // late: nothing is outstanding
  // This thread is not serving the loop now, so the worker stays in its delivery.
  const Clock::time_point giveUp = Clock::now() + kEventBound;
  while (!owner.workerReachedLoop && Clock::now() < giveUp) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(owner.workerReachedLoop);
  link->Submit(Command(0xAA), true);  // the timer: the link counts as idle

  ASSERT_TRUE(RunUntil([&] { return owner.responses.size() == 2; }));
  RunUntil([&] { return owner.WriteCount() >= 3; });
  RunUntil([] { return false; }, 50ms);  // a write too many would show now
  EXPECT_EQ(owner.Writes(), (std::vector<ByteBuffer>{Command(0x20), Command(0xAA), Command(0xBB)}));
}

TEST_F(LusbTest, BaseLinkPostsEveryByteAndCutsOversizedAreas) {
  TUsbLink base(owner);
  ASSERT_TRUE(base.Open());
  const ByteBuffer big = Counting(1500);
  base.SendBytes(big.data(), static_cast<int>(big.size()));
  Feed(base, ByteBuffer{0x55, 0x10, 0x02});
  Feed(base, big);

  ASSERT_TRUE(
      RunUntil([&] { return owner.linkBytes.size() >= 3 + 1024 && owner.WriteCount() == 1; }));
  EXPECT_EQ(owner.Writes()[0], Counting(1024));
  ByteBuffer expected{0x55, 0x10, 0x02};
  expected.append(big.data(), 1024);
  EXPECT_EQ(ByteBuffer(owner.linkBytes.data(), owner.linkBytes.size()), expected);
}

}  // namespace
}  // namespace kv
