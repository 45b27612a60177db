// What the fuzz targets found, kept as tests: each input that once crashed the
// tool or read or wrote where it must not, replayed against the fixed code.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "app/isp.h"
#include "app/isp_application.h"
#include "diag/diag_windows.h"
#include "engine/engine_texts.h"
#include "engine/isp_report.h"
#include "hid/sim_bus.h"
#include "image/mcu_image.h"
#include "link/lcmd.h"
#include "link/lusb.h"
#include "toolkit/event_loop.h"
#include "toolkit/message_box.h"

namespace kv {
namespace {

using namespace std::chrono_literals;

constexpr auto kEventBound = 5s;

ByteBuffer BootLoaderReply(uint32_t echo, uint32_t packetNumber) {
  const IspReply reply = BuildIspReply(echo, packetNumber);
  return ByteBuffer(reply.data(), reply.size());
}

// ---- The boot loader's 32-bit packet number ----

// A window with no unit: its engine is driven by hand.
class IdleWindow : public ::testing::Test {
 protected:
  IdleWindow() : application_(IdleOptions()), isp_(*application_.MainWindow()) {}

  static TIspApplicationOptions IdleOptions() {
    TIspApplicationOptions options;
    options.Simulate = true;
    options.Sim.units = 0;
    return options;
  }

  toolkit::ScriptedMessageBoxes& Boxes() {
    return dynamic_cast<toolkit::ScriptedMessageBoxes&>(application_.MessageBoxes());
  }

  // The window in the middle of the data packets of a small image.
  void EnterDataPhase() {
    ASSERT_TRUE(Succeeded(ParseMcuImage(isp_.Image, kMcuImageBound, EmbeddedMcuHexLines(), {})));
    isp_.UpdateState = usProgramData;
    isp_.ProgramOffset = 48;
  }

  // A good reply to the outstanding request, carrying `packetNumber`.
  void AnswerWith(uint32_t packetNumber) {
    isp_.HandleLinkResponse(BootLoaderReply(isp_.RequestSum, packetNumber));
  }

  TIspApplication application_;
  TfmIsp& isp_;
};

// Found by fuzz_isp_reports: a boot loader that answers a data packet with the
// largest packet number made the next number a signed overflow.
TEST_F(IdleWindow, DataPacketNumberWrapsAroundLikeItsFieldOnTheWire) {
  EnterDataPhase();
  isp_.RequestSum = 0x1234;
  AnswerWith(0x7FFFFFFF);
  EXPECT_EQ(isp_.UpdateState, usProgramData);
  EXPECT_EQ(static_cast<uint32_t>(isp_.PacketNumber), 0x80000000u);
  EXPECT_EQ(isp_.ProgramProgress, (0x7FFFFFFF - 3) / 2);
  EXPECT_EQ(isp_.sbStatus.SimpleText(), std::string(texts::kStepProgramData) + "1073741822");

  AnswerWith(0x80000000);
  EXPECT_EQ(static_cast<uint32_t>(isp_.PacketNumber), 0x80000001u);
  EXPECT_EQ(isp_.ProgramProgress, -1073741825);  // (-2^31 - 3) / 2, truncated toward zero

  AnswerWith(0xFFFFFFFF);
  EXPECT_EQ(isp_.PacketNumber, 0);
  EXPECT_EQ(isp_.ProgramProgress, -2);
  EXPECT_TRUE(Boxes().Boxes().empty());
}

// ---- Messages a link posts after its owner has gone ----

// An owner that records whether it was called after its destruction. It lives in
// static storage, so that such a call fails the test (by the flag, or as a pure
// virtual call) instead of touching freed memory.
class TShortLivedOwner : public TLinkOwner {
 public:
  TShortLivedOwner(toolkit::EventLoop& loop, bool& calledWhileGone, bool& destroyed)
      : loop_(loop), calledWhileGone_(calledWhileGone), destroyed_(destroyed) {}
  ~TShortLivedOwner() override { destroyed_ = true; }

  void WriteReport(const uint8_t*, int) override {}
  void LinkMessage(uint32_t, uintptr_t, intptr_t) override {
    if (destroyed_) calledWhileGone_ = true;
  }
  toolkit::EventLoop& LinkLoop() override { return loop_; }

 private:
  toolkit::EventLoop& loop_;
  bool& calledWhileGone_;
  bool& destroyed_;
};

// Found by fuzz_isp_reports: closing the main window's link queues the worker's
// last notice; a window destroyed before the loop ran it was called anyway.
TEST(LinkOwnerLifetime, NoticesPostedToAnOwnerThatHasGoneAreDropped) {
  const auto loop = toolkit::CreatePortableEventLoop();
  bool calledWhileGone = false;
  bool destroyed = false;
  alignas(TShortLivedOwner) static unsigned char storage[sizeof(TShortLivedOwner)];
  auto* owner = new (storage) TShortLivedOwner(*loop, calledWhileGone, destroyed);
  {
    TUsbCmdLink link(*owner);
    ASSERT_TRUE(link.Open());
    link.Close();  // the worker's "ended" notice is now queued on the loop
  }
  owner->~TShortLivedOwner();

  bool drained = false;
  loop->Post([&drained] { drained = true; });
  ASSERT_TRUE(loop->RunUntil([&drained] { return drained; }, kEventBound));
  EXPECT_FALSE(calledWhileGone);
}

TEST(LinkOwnerLifetime, NoticesReachAnOwnerThatIsStillThere) {
  const auto loop = toolkit::CreatePortableEventLoop();
  struct TCountingOwner : TLinkOwner {
    explicit TCountingOwner(toolkit::EventLoop& loop) : loop_(loop) {}
    void WriteReport(const uint8_t*, int) override {}
    void LinkMessage(uint32_t message, uintptr_t wparam, intptr_t) override {
      if (message == WM_LINK_NOTIFY && wparam == lnWorkerEnded) ++workerEnded;
    }
    toolkit::EventLoop& LinkLoop() override { return loop_; }
    toolkit::EventLoop& loop_;
    int workerEnded = 0;
  } owner(*loop);
  {
    TUsbCmdLink link(owner);
    ASSERT_TRUE(link.Open());
    link.Close();
  }
  ASSERT_TRUE(loop->RunUntil([&owner] { return owner.workerEnded == 1; }, kEventBound));
}

// ---- Two responses completed by one report ----

// Records the commands written (worker thread) and submits one command per
// response from its handler (UI thread).
class TChainingOwner : public TLinkOwner {
 public:
  explicit TChainingOwner(toolkit::EventLoop& loop) : loop_(loop) {}

  void WriteReport(const uint8_t* data, int count) override {
    std::lock_guard lock(mutex_);
    writes_.emplace_back(data, static_cast<size_t>(count));
  }
  void LinkMessage(uint32_t message, uintptr_t, intptr_t) override {
    if (message != WM_LINK_RESPONSE) return;
    ++responses;
    if (link != nullptr) link->Submit(BuildFrame(TCmdPacket(1, nextCode++), pkFramed), true);
  }
  toolkit::EventLoop& LinkLoop() override { return loop_; }

  std::vector<ByteBuffer> Writes() {
    std::lock_guard lock(mutex_);
    return writes_;
  }

  TUsbCmdLink* link = nullptr;
  uint8_t nextCode = 0x22;
  int responses = 0;

 private:
  toolkit::EventLoop& loop_;
  std::mutex mutex_;
  std::vector<ByteBuffer> writes_;
};

ByteBuffer UnitAnswer(uint8_t code) {
  return {0x10, 0x02, 0x01, 0x00, 0x02, code, 0x33, 0x10, 0x03, 0x00};
}

// Found by fuzz_link_buildup: a report that completes a response and then a
// second one (the first built up from bytes left over from an earlier report)
// dispatched twice within one pass; the first command dispatched was overwritten
// in the send area before it was written, and its answer never came.
TEST(LinkDispatch, EveryCommandDispatchedWhileOneReportIsReadIsWritten) {
  const auto loop = toolkit::CreatePortableEventLoop();
  TChainingOwner owner(*loop);
  TUsbCmdLink link(owner);
  owner.link = &link;
  ASSERT_TRUE(link.Open());
  const ByteBuffer first = BuildFrame(TCmdPacket(1, 0x21), pkFramed);
  link.Submit(first, true);
  ASSERT_TRUE(loop->RunUntil([&] { return owner.Writes().size() == 1; }, kEventBound));

  // The first half of an answer, then a report with its rest and a whole answer.
  const ByteBuffer answer = UnitAnswer(0x21);
  link.Receive(answer.data(), 5);
  ByteBuffer report(answer.data() + 5, answer.size() - 5);
  const ByteBuffer second = UnitAnswer(0x22);
  report.append(second.data(), second.size());
  link.Receive(report.data(), static_cast<int>(report.size()));

  ASSERT_TRUE(loop->RunUntil([&] { return owner.responses == 2; }, kEventBound));
  ASSERT_TRUE(loop->RunUntil([&] { return owner.Writes().size() == 3; }, kEventBound));
  EXPECT_EQ(owner.Writes(),
            (std::vector<ByteBuffer>{first, BuildFrame(TCmdPacket(1, 0x22), pkFramed),
                                     BuildFrame(TCmdPacket(1, 0x23), pkFramed)}));
  owner.link = nullptr;
}

// Found by fuzz_link_buildup: after a response that came while the link was idle
// the worker dispatched (and, the queue being empty, cleared FBusy) only once the
// UI thread was free again; a command the UI thread sent in between stayed
// outstanding on a link that counted as idle. Each round races the two.
TEST(LinkDispatch, CommandSentRightAfterAnIdleDeliveryKeepsTheLinkBusy) {
  constexpr int kRounds = 300;
  const auto loop = toolkit::CreatePortableEventLoop();
  TChainingOwner owner(*loop);
  TUsbCmdLink link(owner);
  ASSERT_TRUE(link.Open());
  const ByteBuffer command = BuildFrame(TCmdPacket(1, 0x21), pkFramed);
  const ByteBuffer answer = UnitAnswer(0x21);
  const auto receive = [&link](const ByteBuffer& bytes) {
    link.Receive(bytes.data(), static_cast<int>(bytes.size()));
  };
  link.Submit(command, true);  // starts the stopwatch: deliveries count from here
  receive(answer);
  ASSERT_TRUE(loop->RunUntil([&] { return owner.responses == 1 && !link.Busy(); }, kEventBound));

  for (int round = 0; round < kRounds; ++round) {
    const int responses = owner.responses;
    const size_t writes = owner.Writes().size();
    receive(answer);  // unasked: the link is idle
    ASSERT_TRUE(
        loop->ServeSendsUntil([&] { return owner.responses == responses + 1; }, kEventBound));
    link.Submit(command, true);  // at once, as a handler of the next event would
    ASSERT_TRUE(loop->RunUntil([&] { return owner.Writes().size() == writes + 1; }, kEventBound));
    ASSERT_TRUE(link.Busy()) << "round " << round;
    receive(answer);  // its answer makes the link idle again
    ASSERT_TRUE(loop->RunUntil([&] { return !link.Busy(); }, kEventBound));
  }
}

}  // namespace
}  // namespace kv
