#include "link/lusb.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <limits>
#include <system_error>
#include <utility>

#include "link/lcmd.h"

namespace kv {

namespace lusb_detail {

// What the worker waits for, lowest index first when several are signalled.
enum class TWake { kReceive, kSend, kStop, kTimeout };

// The state the worker and the UI thread share. It lives as long as either
// needs it, so a worker that outlives its link (closed or deleted from the
// response handler) still has its events, areas and locks.
struct TLinkShared {
  explicit TLinkShared(TLinkOwner* owner)
      : FOwner(owner), FOwnerAlive(owner->LifetimeToken()), FOwnerLoop(owner->LinkLoop()) {}

  TLinkOwner* const FOwner;  // outlives the link; a retired worker may outlive it
  // Taken on the UI thread, so that a worker never asks a gone owner for them.
  const std::weak_ptr<const void> FOwnerAlive;
  toolkit::EventLoop& FOwnerLoop;
  TUsbLink* FLink = nullptr;  // set before the worker starts; see FAbandoned

  std::mutex FLock;
  std::mutex FGate;
  // Set under FGate once the link may be gone: the worker then never calls it again.
  bool FAbandoned = false;
  // Nobody waits for this worker any more, and the owner may go before it ends:
  // it writes and reports nothing more.
  std::atomic<bool> FOrphaned{false};
  std::unique_lock<std::mutex>* FWorkerGate = nullptr;  // worker only: its hold on FGate

  std::atomic<bool> FRunning{false};
  std::atomic<bool> FClosing{false};
  std::atomic<bool> FEnded{false};
  std::atomic<int> FWaitTimeout{kDefaultWaitTimeoutMs};
  int FUiDeliveries = 0;  // UI thread only: deliveries whose handler is running

  int8_t FTimeoutCount = 0;  // worker only
  const int FTimeoutLimit = kTimeoutLimit;

  std::mutex FStateLock;
  std::condition_variable FWake;         // the worker's three events
  std::condition_variable FEndedSignal;  // the worker has left
  // UI thread only: set when the link retires this worker from inside its own
  // delivery; run once that delivery's handler has returned.
  std::function<void()> FAfterDelivery;
  bool FReceiveSignalled = false;
  bool FSendSignalled = false;
  // Mirrors FSendSignalled, so that the worker can look for a command to write
  // after every received byte without taking FStateLock each time.
  std::atomic<bool> FSendPending{false};
  bool FStopSignalled = false;
  std::array<uint8_t, kLinkAreaBytes> FSendArea{};
  int FSendLength = 0;
  std::deque<ByteBuffer> FReceiveQueue;   // reports handed in and not yet taken
  std::vector<ByteBuffer> FSpareReports;  // emptied reports, reused by Receive

  // Worker only: the report being processed and the copy being written.
  std::array<uint8_t, kLinkAreaBytes> FReceiveArea{};
  int FReceiveLength = 0;
  std::array<uint8_t, kLinkAreaBytes> FWriteArea{};
};

}  // namespace lusb_detail

using lusb_detail::TLinkShared;
using lusb_detail::TWake;

namespace {

constexpr size_t kSendAreaReceiverIndex = 3;  // receiver address of a frame
constexpr size_t kSendAreaCodeIndex = 5;      // code byte of a frame
constexpr size_t kSpareReportsKept = 4;
constexpr int64_t kLongestElapsedMs = 0xFFFFFFFF;

int ClampToArea(const uint8_t* bytes, int count) {
  if (bytes == nullptr) return 0;
  return std::clamp(count, 0, kLinkAreaBytes);
}

// Dropped when the owner is gone by the time the loop runs it.
void PostToOwner(const TLinkShared& s, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  TLinkOwner* owner = s.FOwner;
  s.FOwnerLoop.Post([owner, alive = s.FOwnerAlive, message, wparam, lparam] {
    if (alive.expired()) return;
    owner->LinkMessage(message, wparam, lparam);
  });
}

uint8_t SendAreaByte(TLinkShared& s, size_t index) {
  std::lock_guard lock(s.FStateLock);
  return s.FSendArea[index];
}

void Signal(TLinkShared& s, bool TLinkShared::*event) {
  {
    std::lock_guard lock(s.FStateLock);
    s.*event = true;
  }
  s.FWake.notify_one();
}

// Auto-reset semantics: the event that ends the wait is cleared by it. A
// negative time-out waits without limit; the stop event still ends the wait.
TWake WaitForEvent(TLinkShared& s) {
  std::unique_lock lock(s.FStateLock);
  const auto signalled = [&s] {
    return s.FReceiveSignalled || s.FSendSignalled || s.FStopSignalled;
  };
  const int timeoutMs = s.FWaitTimeout.load();
  if (timeoutMs < 0) {
    s.FWake.wait(lock, signalled);
  } else if (!s.FWake.wait_for(lock, std::chrono::milliseconds(timeoutMs), signalled)) {
    return TWake::kTimeout;
  }
  if (std::exchange(s.FReceiveSignalled, false)) return TWake::kReceive;
  if (std::exchange(s.FSendSignalled, false)) {
    s.FSendPending = false;
    return TWake::kSend;
  }
  s.FStopSignalled = false;
  return TWake::kStop;
}

// The worker's notifications go through the link's Notify while the link
// exists, straight to the owner once it may not.
void NotifyFromWorker(TLinkShared& s, int code, intptr_t value) {
  if (s.FOrphaned) return;
  std::lock_guard gate(s.FGate);
  if (s.FAbandoned) {
    PostToOwner(s, WM_LINK_NOTIFY, static_cast<uintptr_t>(code), value);
  } else {
    s.FLink->Notify(code, value);
  }
}

// Moves the oldest handed-in report into the receive area. A closing link takes
// no more reports and drops what is left.
bool TakeReport(TLinkShared& s) {
  std::lock_guard lock(s.FStateLock);
  if (s.FClosing) s.FReceiveQueue.clear();
  if (s.FReceiveQueue.empty()) return false;
  ByteBuffer& report = s.FReceiveQueue.front();
  s.FReceiveLength = static_cast<int>(report.size());
  std::copy(report.begin(), report.end(), s.FReceiveArea.begin());
  if (s.FSpareReports.size() < kSpareReportsKept) {
    report.clear();
    s.FSpareReports.push_back(std::move(report));
  }
  s.FReceiveQueue.pop_front();
  return true;
}

bool TakeSendSignal(TLinkShared& s) {
  std::lock_guard lock(s.FStateLock);
  s.FSendPending = false;
  return std::exchange(s.FSendSignalled, false);
}

// FLock held: one report write of what the send area holds.
void WriteSendArea(TLinkShared& s) {
  s.FTimeoutCount = 0;
  int length = 0;
  {
    std::lock_guard state(s.FStateLock);
    length = s.FSendLength;
    std::copy_n(s.FSendArea.begin(), length, s.FWriteArea.begin());
  }
  s.FOwner->WriteReport(s.FWriteArea.data(), length);
}

void ProcessReports(TLinkShared& s) {
  std::lock_guard lock(s.FLock);
  std::unique_lock gate(s.FGate);
  if (s.FAbandoned) return;
  s.FWorkerGate = &gate;
  while (TakeReport(s)) {
    for (int i = 0; i < s.FReceiveLength && !s.FClosing; ++i) {
      s.FLink->HandleByte(s.FReceiveArea[i]);
      // A command dispatched by this byte's delivery goes out before the next byte
      // is taken: a later delivery, in this report (a stale partial response
      // completed mid-report, then a new one) or in the next (a unit that answers
      // twice), may dispatch again and would overwrite the send area before it was
      // ever written.
      if (s.FSendPending && !s.FClosing && !s.FOrphaned && TakeSendSignal(s)) WriteSendArea(s);
    }
  }
  s.FWorkerGate = nullptr;
}

void Transmit(TLinkShared& s) {
  s.FTimeoutCount = 0;
  if (s.FOrphaned) return;
  std::lock_guard lock(s.FLock);
  WriteSendArea(s);
}

// `quietTimeouts` counts the time-outs after FTimeoutLimit has been reached.
void CountTimeout(TLinkShared& s, int& quietTimeouts) {
  if (s.FTimeoutCount < s.FTimeoutLimit) {
    ++s.FTimeoutCount;
    quietTimeouts = 0;
    return;
  }
  if (quietTimeouts > kQuietTimeoutsBeforeNotice ||
      SendAreaByte(s, kSendAreaCodeIndex) == kImpatientCommandCode) {
    NotifyFromWorker(s, lnNoResponse, SendAreaByte(s, kSendAreaReceiverIndex));
    s.FTimeoutCount = 0;
    return;
  }
  ++quietTimeouts;
}

// A sent message in flight: everything the UI side of a delivery needs, on the
// worker's stack while the worker waits.
struct TDelivery {
  TLinkShared* Shared;
  uint32_t Message;
  uintptr_t WParam;
  intptr_t LParam;
  const std::function<void()>* AfterHandler;
};

void FinishDelivery(const TDelivery& delivery) {
  TLinkShared& s = *delivery.Shared;
  --s.FUiDeliveries;
  if (s.FAfterDelivery) std::exchange(s.FAfterDelivery, nullptr)();
  if (!s.FClosing && *delivery.AfterHandler) (*delivery.AfterHandler)();
}

// UI thread. A link that is closing no longer bothers its owner.
void RunDelivery(const TDelivery& delivery) {
  TLinkShared& s = *delivery.Shared;
  if (s.FClosing) return;
  ++s.FUiDeliveries;
  try {
    s.FOwner->LinkMessage(delivery.Message, delivery.WParam, delivery.LParam);
  } catch (...) {
    FinishDelivery(delivery);
    throw;
  }
  FinishDelivery(delivery);
}

bool WaitForWorkerEnd(TLinkShared& s, toolkit::EventLoop& loop) {
  const auto ended = [&s] { return s.FEnded.load(); };
  // The worker may be blocked in a delivery to this very thread: serve it.
  if (loop.IsUiThread()) return loop.ServeSendsUntil(ended, kStopTimeout);
  std::unique_lock lock(s.FStateLock);
  return s.FEndedSignal.wait_for(lock, kStopTimeout, ended);
}

// A worker retired from inside its own delivery: it ends as soon as the handler
// has returned, and the loop joins it afterwards. Dropped unrun (the loop shuts
// down), it is waited for here, without the loop; a worker that still does not
// end is left to finish alone and told to stay away from its owner.
class TRetiredWorker {
 public:
  TRetiredWorker(std::thread thread, std::shared_ptr<TLinkShared> shared)
      : FThread(std::move(thread)), FShared(std::move(shared)) {}
  TRetiredWorker(const TRetiredWorker&) = delete;
  TRetiredWorker& operator=(const TRetiredWorker&) = delete;
  ~TRetiredWorker() {
    if (!FThread.joinable()) return;
    if (!FShared->FEnded) {
      std::unique_lock lock(FShared->FStateLock);
      FShared->FEndedSignal.wait_for(lock, kStopTimeout, [this] { return FShared->FEnded.load(); });
    }
    Finish();
  }

  // UI thread, from the loop.
  void Reap(toolkit::EventLoop& loop) {
    loop.ServeSendsUntil([this] { return FShared->FEnded.load(); }, kStopTimeout);
    Finish();
  }

 private:
  void Finish() {
    if (FShared->FEnded) {
      FThread.join();
      return;
    }
    FShared->FOrphaned = true;
    FThread.detach();
  }

  std::thread FThread;
  std::shared_ptr<TLinkShared> FShared;
};

int64_t CounterNow() {
  return std::chrono::steady_clock::now().time_since_epoch().count();
}

constexpr int64_t CounterFrequency() {
  using Period = std::chrono::steady_clock::period;
  return Period::den / Period::num;
}

int64_t ElapsedMilliseconds(int64_t ticks, int64_t frequency) {
  if (ticks > std::numeric_limits<int64_t>::max() / 1000) return kLongestElapsedMs;
  return std::min(ticks * 1000 / frequency, kLongestElapsedMs);
}

}  // namespace

// ---- TUsbLink ----

TUsbLink::TUsbLink(TLinkOwner& owner)
    : FOwner(owner), FShared(std::make_shared<TLinkShared>(&owner)) {
  FShared->FLink = this;
}

TUsbLink::~TUsbLink() {
  TUsbLink::Close();
}

bool TUsbLink::Running() const {
  return FShared->FRunning;
}

bool TUsbLink::Accepting() const {
  return FShared->FRunning && !FShared->FClosing;
}

bool TUsbLink::Open() {
  if (Running()) return false;
  if (FThread.joinable()) FThread.join();  // a worker that left its loop on its own
  auto fresh = std::make_shared<TLinkShared>(&FOwner);
  fresh->FLink = this;
  fresh->FWaitTimeout = FShared->FWaitTimeout.load();
  {
    std::lock_guard lock(FShared->FStateLock);
    fresh->FSendArea = FShared->FSendArea;
    fresh->FSendLength = FShared->FSendLength;
  }
  fresh->FRunning = true;
  std::shared_ptr<TLinkShared> previous = std::exchange(FShared, fresh);
  try {
    FThread = std::thread(&TUsbLink::WorkerMain, fresh);
  } catch (const std::system_error&) {
    FShared = std::move(previous);
    return false;
  }
  return true;
}

void TUsbLink::Close() {
  TLinkShared& s = *FShared;
  s.FClosing = true;
  if (!FThread.joinable()) return;  // never opened, or already closed
  Signal(s, &TLinkShared::FStopSignalled);
  toolkit::EventLoop& loop = FOwner.LinkLoop();
  if (loop.IsUiThread() && s.FUiDeliveries > 0) {
    // Called from our own response handler: the worker waits for this handler to
    // return, so it cannot end before we do.
    RetireWorkerAfterDelivery();
    return;
  }
  if (WaitForWorkerEnd(s, loop)) {
    FThread.join();
    return;
  }
  Notify(lnStopTimeout, 0);
  GiveUpWorker();
}

void TUsbLink::AbandonWorker() {
  std::lock_guard gate(FShared->FGate);
  FShared->FAbandoned = true;
}

void TUsbLink::GiveUpWorker() {
  FShared->FOrphaned = true;
  AbandonWorker();
  FThread.detach();
}

void TUsbLink::RetireWorkerAfterDelivery() {
  AbandonWorker();
  // The worker waits for a handler further down this very stack, which may still
  // run a nested loop (a message box): reaped from that loop, it would block it
  // until the stop time-out. So the reaping is queued once the handler is done;
  // from then on the loop holds it, and a loop that shuts down first still waits
  // for the worker (TRetiredWorker's destructor) before it is gone.
  auto retired = std::make_shared<TRetiredWorker>(std::move(FThread), FShared);
  toolkit::EventLoop* loop = &FOwner.LinkLoop();
  FShared->FAfterDelivery = [retired, loop] {
    loop->Post([retired, loop] { retired->Reap(*loop); });
  };
}

void TUsbLink::SendBytes(const uint8_t* bytes, int count) {
  if (!Accepting()) return;
  TLinkShared& s = *FShared;
  const int length = ClampToArea(bytes, count);
  {
    std::lock_guard lock(s.FStateLock);
    std::copy_n(bytes, length, s.FSendArea.begin());
    s.FSendLength = length;
    s.FSendSignalled = true;
    s.FSendPending = true;
  }
  s.FWake.notify_one();
}

void TUsbLink::SendBuffer(const ByteBuffer& buffer) {
  TUsbLink::SendBytes(buffer.data(),
                      static_cast<int>(std::min<size_t>(buffer.size(), kLinkAreaBytes)));
}

void TUsbLink::Receive(const uint8_t* bytes, int count) {
  if (!Accepting()) return;
  TLinkShared& s = *FShared;
  const int length = ClampToArea(bytes, count);
  {
    std::lock_guard lock(s.FStateLock);
    ByteBuffer report;
    if (!s.FSpareReports.empty()) {
      report = std::move(s.FSpareReports.back());
      s.FSpareReports.pop_back();
    }
    report.append(bytes, static_cast<size_t>(length));
    s.FReceiveQueue.push_back(std::move(report));
    s.FReceiveSignalled = true;
  }
  s.FWake.notify_one();
}

void TUsbLink::HandleByte(uint8_t byte) {
  PostToOwner(*FShared, WM_LINK_BYTE, byte, 0);
}

void TUsbLink::Notify(int code, intptr_t value) {
  PostToOwner(*FShared, WM_LINK_NOTIFY, static_cast<uintptr_t>(code), value);
}

void TUsbLink::SetWaitTimeout(int milliseconds) {
  FShared->FWaitTimeout = milliseconds;
}

bool TUsbLink::SendToOwner(uint32_t message, uintptr_t wparam, intptr_t lparam,
                           const std::function<void()>& afterHandler) {
  TLinkShared* s = FShared.get();
  const TDelivery delivery{s, message, wparam, lparam, &afterHandler};
  // Outside a byte pass the worker holds no gate and takes it only to look.
  std::unique_lock<std::mutex> ownGate(s->FGate, std::defer_lock);
  std::unique_lock<std::mutex>& gate = s->FWorkerGate != nullptr ? *s->FWorkerGate : ownGate;
  // Let the UI thread retire this worker while the handler runs.
  if (gate.owns_lock()) gate.unlock();
  FOwner.LinkLoop().Send([&delivery] { RunDelivery(delivery); });
  gate.lock();
  return !s->FAbandoned && !s->FClosing;
}

void TUsbLink::WorkerMain(std::shared_ptr<TLinkShared> shared) {
  TLinkShared& s = *shared;
  int quietTimeouts = 0;
  for (bool running = true; running;) {
    switch (WaitForEvent(s)) {
      case TWake::kReceive:
        ProcessReports(s);
        break;
      case TWake::kSend:
        Transmit(s);
        break;
      case TWake::kTimeout:
        CountTimeout(s, quietTimeouts);
        break;
      case TWake::kStop:
        running = false;
        break;
    }
  }
  // The last word to the owner: after it the worker touches its shared block only.
  NotifyFromWorker(s, lnWorkerEnded, SendAreaByte(s, kSendAreaReceiverIndex));
  s.FRunning = false;
  {
    std::lock_guard lock(s.FStateLock);
    s.FEnded = true;
  }
  s.FEndedSignal.notify_all();
}

// ---- TUsbCmdLink ----

TUsbCmdLink::TUsbCmdLink(TLinkOwner& owner) : TUsbLink(owner) {
  FResponse.reserve(kLinkAreaBytes);
}

// The worker reaches this object's fields through HandleByte, so it is stopped
// before they go.
TUsbCmdLink::~TUsbCmdLink() {
  TUsbCmdLink::Close();
}

bool TUsbCmdLink::Open() {
  if (Running()) return false;
  FPollTimer =
      std::make_unique<toolkit::Timer>(Owner().LinkLoop(), static_cast<int>(FPollInterval));
  FPollTimer->OnTimer = [this] { Poll(); };
  FPollTimer->Start();
  return TUsbLink::Open();
}

void TUsbCmdLink::Close() {
  if (FPollTimer) FPollTimer->Stop();
  {
    std::lock_guard lock(FQueueLock);
    FQueue.clear();
    FReplaceSlot = nullptr;
  }
  TUsbLink::Close();
  FPollTimer.reset();
}

void TUsbCmdLink::SendBytes(const uint8_t* bytes, int count) {
  if (!Accepting()) return;
  RestartPollTimer();
  Enqueue(ByteBuffer(bytes, static_cast<size_t>(ClampToArea(bytes, count))), /*append=*/false);
}

void TUsbCmdLink::SendBuffer(const ByteBuffer& buffer) {
  if (!Accepting()) return;
  RestartPollTimer();
  Enqueue(buffer, /*append=*/false);
}

void TUsbCmdLink::Submit(const ByteBuffer& frame, bool append) {
  if (!Accepting()) return;
  RestartPollTimer();
  FFramed = frame.size() >= kShortestFrame && HasFrameShape(frame);
  Enqueue(frame, append);
}

bool TUsbCmdLink::Busy() const {
  std::lock_guard lock(FQueueLock);
  return FBusy;
}

size_t TUsbCmdLink::QueuedCount() const {
  std::lock_guard lock(FQueueLock);
  return FQueue.size();
}

void TUsbCmdLink::Enqueue(const ByteBuffer& bytes, bool append) {
  std::lock_guard lock(FQueueLock);
  if (!FBusy) {
    FBusy = true;
    StartStopwatch();
    TUsbLink::SendBuffer(bytes);
  } else if (append) {
    FQueue.push_back(bytes);
  } else if (FReplaceSlot == nullptr) {
    FQueue.push_back(bytes);
    FReplaceSlot = &FQueue.back();
  } else {
    *FReplaceSlot = bytes;
  }
}

void TUsbCmdLink::StartStopwatch() {
  FStartCount = CounterNow();
  FCounterFrequency = CounterFrequency();
}

void TUsbCmdLink::RestartPollTimer() {
  if (!FPollTimer) return;
  FPollTimer->Stop();
  FPollTimer->Start();
}

void TUsbCmdLink::Poll() {
  if (FPollDisabled) return;
  {
    std::lock_guard lock(FQueueLock);
    if (FBusy || !FQueue.empty()) return;
  }
  Submit(BuildFrame(TCmdPacket(static_cast<uint8_t>(FPollUnit), cmdKeepAlive), pkFramed),
         /*append=*/false);
}

void TUsbCmdLink::HandleByte(uint8_t byte) {
  if (!FFramed) {
    FResponse.push_back(byte);
    if (FResponse.size() >= kRawResponseBytes) CompleteResponse();
    return;
  }
  // Bytes ahead of the DLE STX start are noise.
  if (FResponse.empty() && byte != frDle) return;
  if (FResponse.size() == 1 && byte != frStx) return;
  FResponse.push_back(byte);
  if (FResponse.size() >= kShortestFrame &&
      FResponse.size() == FResponse[kFrameLengthIndex] + kFrameOverhead) {
    CompleteResponse();
  }
}

void TUsbCmdLink::CompleteResponse() {
  if (!Deliver()) return;  // closed or deleted meanwhile: nothing here is ours any more
  FResponse.clear();
}

bool TUsbCmdLink::Deliver() {
  const int64_t now = CounterNow();
  int64_t startCount = 0;
  int64_t frequency = 0;
  {
    std::lock_guard lock(FQueueLock);
    startCount = FStartCount;
    frequency = FCounterFrequency;
  }
  if (frequency == 0) return true;
  const int64_t elapsedMs = ElapsedMilliseconds(now - startCount, frequency);
  // Both run on the UI thread right after the handler, before that thread can
  // handle anything else: the idle interval counts from the delivery, and the next
  // command is dispatched before any later Submit can look at FBusy. Dispatched
  // from here afterwards, a response that came while idle would clear FBusy after
  // a command the UI thread had sent meanwhile, leaving that command outstanding
  // on a link that counts as idle.
  const std::function<void()> afterHandler = [this] {
    RestartPollTimer();
    DispatchNext();
  };
  return SendToOwner(WM_LINK_RESPONSE, reinterpret_cast<uintptr_t>(&FResponse),
                     static_cast<intptr_t>(elapsedMs), afterHandler);
}

void TUsbCmdLink::DispatchNext() {
  std::lock_guard lock(FQueueLock);
  if (FQueue.empty()) {
    FBusy = false;
    return;
  }
  StartStopwatch();
  TUsbLink::SendBuffer(FQueue.front());
  if (FReplaceSlot == &FQueue.front()) FReplaceSlot = nullptr;
  FQueue.pop_front();
}

}  // namespace kv
