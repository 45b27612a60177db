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
// response handler, or from inside its own Close) still has its events, areas
// and locks.
struct TLinkShared {
  TLinkShared(TLinkOwner* owner, TUsbLink* link)
      : FOwner(owner),
        FOwnerAlive(owner->LifetimeToken()),
        FOwnerLoop(owner->LinkLoop()),
        FLink(link) {}

  TLinkOwner* const FOwner;  // outlives the link; a retired worker may outlive it
  // Taken on the UI thread, so that a worker never asks a gone owner for them.
  const toolkit::WeakHandle<TLinkOwner> FOwnerAlive;
  toolkit::EventLoop& FOwnerLoop;

  Mutex FLock;
  Mutex FGate;
  // Called by the worker only under FGate, and only while FAbandoned is clear.
  TUsbLink* const FLink;
  // Set once the link may be gone: the worker then never calls it again.
  bool FAbandoned KV_GUARDED_BY(FGate) = false;
  // Worker only: it holds FGate around the HandleByte call it is in.
  bool FWorkerHoldsGate = false;
  // Nobody waits for this worker any more, and the owner may go before it ends:
  // it writes and reports nothing more.
  std::atomic<bool> FOrphaned{false};

  std::atomic<bool> FRunning{false};
  std::atomic<bool> FClosing{false};
  std::atomic<bool> FEnded{false};
  // A Close waits for this worker's end; a Close nested in that wait only
  // abandons the worker and leaves the ending to the outer one.
  std::atomic<bool> FCloseWaiting{false};
  // The link object has been destroyed (a Close that waited must not touch it).
  std::atomic<bool> FLinkGone{false};
  std::atomic<std::chrono::milliseconds> FWaitTimeout{kDefaultWaitTimeout};
  int FUiDeliveries = 0;  // UI thread only: deliveries whose handler is running

  int8_t FTimeoutCount = 0;  // worker only
  const int FTimeoutLimit = kTimeoutLimit;

  Mutex FStateLock;
  std::condition_variable_any FWake;         // the worker's three events
  std::condition_variable_any FEndedSignal;  // the worker has left
  // UI thread only: set when the link retires this worker from inside its own
  // delivery; run once that delivery's handler has returned.
  std::function<void()> FAfterDelivery;
  bool FReceiveSignalled KV_GUARDED_BY(FStateLock) = false;
  bool FSendSignalled KV_GUARDED_BY(FStateLock) = false;
  // Set with every command handed over, so that the worker can look for one to
  // write after every received byte without taking FStateLock each time.
  std::atomic<bool> FSendPending{false};
  bool FStopSignalled KV_GUARDED_BY(FStateLock) = false;
  // The command handed over last (its receiver and code bytes feed the notices).
  std::array<uint8_t, kLinkAreaBytes> FSendArea KV_GUARDED_BY(FStateLock){};
  int FSendLength KV_GUARDED_BY(FStateLock) = 0;
  // Every command handed over and not yet written, oldest first: a command
  // handed over while an earlier one still waits for the worker is written after
  // it, never instead of it.
  std::deque<ByteBuffer> FUnwritten KV_GUARDED_BY(FStateLock);
  std::deque<ByteBuffer> FReceiveQueue KV_GUARDED_BY(FStateLock);   // reports not yet taken
  std::vector<ByteBuffer> FSpareBuffers KV_GUARDED_BY(FStateLock);  // emptied, for reuse

  // Worker only: the report being processed and the command being written.
  std::array<uint8_t, kLinkAreaBytes> FReceiveArea{};
  int FReceiveLength = 0;
  ByteBuffer FWriting;
};

}  // namespace lusb_detail

using lusb_detail::TLinkShared;
using lusb_detail::TWake;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kSpareBuffersKept = 8;
constexpr int64_t kLongestElapsedMs = 0xFFFFFFFF;

int ClampToArea(const uint8_t* bytes, int count) {
  if (bytes == nullptr) return 0;
  return std::clamp(count, 0, kLinkAreaBytes);
}

// Dropped when the owner is gone by the time the loop runs it.
void PostToOwner(const TLinkShared& s, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  s.FOwnerAlive.Post(s.FOwnerLoop, [message, wparam, lparam](TLinkOwner& owner) {
    owner.LinkMessage(message, wparam, lparam);
  });
}

uint8_t SendAreaByte(TLinkShared& s, size_t index) KV_EXCLUDES(s.FStateLock) {
  MutexLock lock(s.FStateLock);
  return s.FSendArea[index];
}

ByteBuffer SpareBuffer(TLinkShared& s) KV_REQUIRES(s.FStateLock) {
  if (s.FSpareBuffers.empty()) return {};
  ByteBuffer buffer = std::move(s.FSpareBuffers.back());
  s.FSpareBuffers.pop_back();
  return buffer;
}

void KeepSpare(TLinkShared& s, ByteBuffer& buffer) KV_REQUIRES(s.FStateLock) {
  if (s.FSpareBuffers.size() >= kSpareBuffersKept) return;
  buffer.clear();
  s.FSpareBuffers.push_back(std::move(buffer));
}

void SignalStop(TLinkShared& s) KV_EXCLUDES(s.FStateLock) {
  {
    MutexLock lock(s.FStateLock);
    s.FStopSignalled = true;
  }
  s.FWake.notify_one();
}

bool AnySignalled(const TLinkShared& s) KV_REQUIRES(s.FStateLock) {
  return s.FReceiveSignalled || s.FSendSignalled || s.FStopSignalled;
}

// Auto-reset semantics: the event that ends the wait is cleared by it. A
// negative time-out waits without limit; the stop event still ends the wait.
TWake WaitForEvent(TLinkShared& s) KV_EXCLUDES(s.FStateLock) {
  const std::chrono::milliseconds timeout = s.FWaitTimeout.load();
  const Clock::time_point deadline = Clock::now() + timeout;
  MutexLock lock(s.FStateLock);
  while (!AnySignalled(s)) {
    if (timeout < std::chrono::milliseconds::zero()) {
      s.FWake.wait(s.FStateLock);
    } else if (s.FWake.wait_until(s.FStateLock, deadline) == std::cv_status::timeout &&
               !AnySignalled(s)) {
      return TWake::kTimeout;
    }
  }
  if (std::exchange(s.FReceiveSignalled, false)) return TWake::kReceive;
  if (std::exchange(s.FSendSignalled, false)) return TWake::kSend;
  s.FStopSignalled = false;
  return TWake::kStop;
}

void MarkAbandoned(TLinkShared& s) KV_EXCLUDES(s.FGate) {
  MutexLock gate(s.FGate);
  s.FAbandoned = true;
}

// The worker's notifications go through the link's Notify while the link
// exists, straight to the owner once it may not.
void NotifyFromWorker(TLinkShared& s, int code, intptr_t value) KV_EXCLUDES(s.FGate) {
  if (s.FOrphaned) return;
  MutexLock gate(s.FGate);
  if (s.FAbandoned) {
    PostToOwner(s, WM_LINK_NOTIFY, static_cast<uintptr_t>(code), value);
  } else {
    s.FLink->Notify(code, value);
  }
}

// Moves the oldest handed-in report into the receive area. A closing link takes
// no more reports and drops what is left.
bool TakeReport(TLinkShared& s) KV_EXCLUDES(s.FStateLock) {
  MutexLock lock(s.FStateLock);
  if (s.FClosing) s.FReceiveQueue.clear();
  if (s.FReceiveQueue.empty()) return false;
  ByteBuffer& report = s.FReceiveQueue.front();
  s.FReceiveLength = static_cast<int>(report.size());
  std::copy(report.begin(), report.end(), s.FReceiveArea.begin());
  KeepSpare(s, report);
  s.FReceiveQueue.pop_front();
  return true;
}

// Moves the oldest command not yet written into FWriting. With none left, the
// send event has nothing more to say and is cleared with it.
bool TakeUnwritten(TLinkShared& s) KV_EXCLUDES(s.FStateLock) {
  MutexLock lock(s.FStateLock);
  if (s.FUnwritten.empty()) {
    s.FSendPending = false;
    s.FSendSignalled = false;
    return false;
  }
  std::swap(s.FWriting, s.FUnwritten.front());
  KeepSpare(s, s.FUnwritten.front());
  s.FUnwritten.pop_front();
  return true;
}

// FLock held: one report write per command handed over and not yet written, in
// the order handed over. FGate is not held: a write may block for as long as
// the device takes no output reports, and Close must still be able to abandon
// the worker after its own wait.
void WriteUnwritten(TLinkShared& s) KV_REQUIRES(s.FLock) KV_EXCLUDES(s.FGate) {
  while (!s.FOrphaned && TakeUnwritten(s)) {
    s.FTimeoutCount = 0;
    s.FOwner->WriteReport(s.FWriting.data(), static_cast<int>(s.FWriting.size()));
  }
}

// One received byte to the link, unless it is no longer ours to call.
bool HandleOneByte(TLinkShared& s, uint8_t byte) KV_EXCLUDES(s.FGate) {
  MutexLock gate(s.FGate);
  if (s.FAbandoned) return false;
  s.FWorkerHoldsGate = true;
  s.FLink->HandleByte(byte);
  s.FWorkerHoldsGate = false;
  return true;
}

void ProcessReports(TLinkShared& s) KV_EXCLUDES(s.FLock, s.FGate) {
  MutexLock lock(s.FLock);
  while (TakeReport(s)) {
    for (int i = 0; i < s.FReceiveLength && !s.FClosing; ++i) {
      if (!HandleOneByte(s, s.FReceiveArea[i])) return;
      // A command dispatched by this byte's delivery goes out before the next byte
      // is taken, so the wire keeps the order of command and answer.
      if (s.FSendPending && !s.FClosing) WriteUnwritten(s);
    }
  }
}

void Transmit(TLinkShared& s) KV_EXCLUDES(s.FLock, s.FGate) {
  s.FTimeoutCount = 0;
  MutexLock lock(s.FLock);
  WriteUnwritten(s);
}

// `quietTimeouts` counts the time-outs after FTimeoutLimit has been reached.
void CountTimeout(TLinkShared& s, int& quietTimeouts) {
  const bool impatient = SendAreaByte(s, kFrameCodeOffset) == kImpatientCommandCode;
  if (NoResponseNoticeDue(s.FTimeoutCount, quietTimeouts, s.FTimeoutLimit, impatient)) {
    NotifyFromWorker(s, lnNoResponse, SendAreaByte(s, kFrameReceiverOffset));
  }
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

// Without the loop: the worker is not blocked on this thread.
bool WaitForEndedSignal(TLinkShared& s) KV_EXCLUDES(s.FStateLock) {
  const Clock::time_point deadline = Clock::now() + kStopTimeout;
  MutexLock lock(s.FStateLock);
  while (!s.FEnded) {
    if (s.FEndedSignal.wait_until(s.FStateLock, deadline) == std::cv_status::timeout) break;
  }
  return s.FEnded;
}

bool WaitForWorkerEnd(TLinkShared& s, toolkit::EventLoop& loop) {
  // The worker may be blocked in a delivery to this very thread: serve it.
  if (loop.IsUiThread())
    return loop.ServeSendsUntil([&s] { return s.FEnded.load(); }, kStopTimeout);
  return WaitForEndedSignal(s);
}

// A worker left behind: it ends when it can, alone, and stays away from its
// owner, which may be gone by then.
void LeaveWorker(TLinkShared& s, std::thread& worker) {
  s.FOrphaned = true;
  MarkAbandoned(s);
  worker.detach();
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
    WaitForEndedSignal(*FShared);
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
    LeaveWorker(*FShared, FThread);
  }

  std::thread FThread;
  std::shared_ptr<TLinkShared> FShared;
};

int64_t CounterNow() {
  return Clock::now().time_since_epoch().count();
}

constexpr int64_t CounterFrequency() {
  using Period = Clock::period;
  return Period::den / Period::num;
}

}  // namespace

bool NoResponseNoticeDue(int8_t& timeoutCount, int& quietTimeouts, int timeoutLimit,
                         bool impatientCommand) {
  if (timeoutCount < timeoutLimit) {
    ++timeoutCount;
    quietTimeouts = 0;
    return false;
  }
  if (quietTimeouts > kQuietTimeoutsBeforeNotice || impatientCommand) {
    timeoutCount = 0;
    return true;
  }
  ++quietTimeouts;
  return false;
}

int64_t ElapsedMilliseconds(int64_t ticks, int64_t ticksPerSecond) {
  if (ticksPerSecond <= 0 || ticks <= 0) return 0;
  if (ticks > std::numeric_limits<int64_t>::max() / 1000) return kLongestElapsedMs;
  return std::min(ticks * 1000 / ticksPerSecond, kLongestElapsedMs);
}

// ---- TUsbLink ----

TUsbLink::TUsbLink(TLinkOwner& owner)
    : FOwner(owner), FShared(std::make_shared<TLinkShared>(&owner, this)) {}

TUsbLink::~TUsbLink() {
  FShared->FLinkGone = true;
  StopWorker();
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
  auto fresh = std::make_shared<TLinkShared>(&FOwner, this);
  fresh->FWaitTimeout = FShared->FWaitTimeout.load();
  {
    MutexLock previousState(FShared->FStateLock);
    MutexLock freshState(fresh->FStateLock);
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
  StopWorker();
}

bool TUsbLink::StopWorker() {
  // Keeps the block, and everything used below, alive if this link is deleted
  // while the wait serves hand-offs.
  const std::shared_ptr<TLinkShared> shared = FShared;
  TLinkShared& s = *shared;
  s.FClosing = true;
  if (s.FCloseWaiting) {
    // Nested in a Close that waits for this worker, further down this stack: the
    // worker must not call this object again (it may be deleted as soon as we
    // return); the outer Close joins the worker or gives up on it.
    MarkAbandoned(s);
    return true;
  }
  if (!FThread.joinable()) return true;  // never opened, or already closed
  SignalStop(s);
  toolkit::EventLoop& loop = FOwner.LinkLoop();
  if (loop.IsUiThread() && s.FUiDeliveries > 0) {
    // Called from our own response handler: the worker waits for this handler to
    // return, so it cannot end before we do.
    RetireWorkerAfterDelivery();
    return true;
  }
  std::thread worker = std::move(FThread);
  s.FCloseWaiting = true;
  const bool ended = WaitForWorkerEnd(s, loop);
  s.FCloseWaiting = false;
  // From here on, `this` only while the link still exists.
  const bool linkAlive = !s.FLinkGone;
  if (ended) {
    worker.join();
    return linkAlive;
  }
  if (linkAlive) {
    Notify(lnStopTimeout, 0);
  } else {
    PostToOwner(s, WM_LINK_NOTIFY, lnStopTimeout, 0);
  }
  LeaveWorker(s, worker);
  return linkAlive;
}

void TUsbLink::RetireWorkerAfterDelivery() {
  MarkAbandoned(*FShared);
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
    MutexLock lock(s.FStateLock);
    std::copy_n(bytes, length, s.FSendArea.begin());
    s.FSendLength = length;
    ByteBuffer command = SpareBuffer(s);
    command.append(bytes, static_cast<size_t>(length));
    s.FUnwritten.push_back(std::move(command));
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
    MutexLock lock(s.FStateLock);
    ByteBuffer report = SpareBuffer(s);
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

std::chrono::milliseconds TUsbLink::WaitTimeout() const {
  return FShared->FWaitTimeout.load();
}

void TUsbLink::SetWaitTimeout(std::chrono::milliseconds timeout) {
  FShared->FWaitTimeout = timeout;
}

// The analysis cannot follow the worker's hold on FGate from the byte pass
// through the virtual HandleByte into here: it is handed back around the wait
// and taken again before the worker looks at the link.
bool TUsbLink::SendToOwner(uint32_t message, uintptr_t wparam, intptr_t lparam,
                           const std::function<void()>& afterHandler) KV_NO_THREAD_SAFETY_ANALYSIS {
  TLinkShared* s = FShared.get();
  const TDelivery delivery{s, message, wparam, lparam, &afterHandler};
  const bool heldGate = s->FWorkerHoldsGate;
  // Let the UI thread retire this worker while the handler runs.
  if (heldGate) s->FGate.unlock();
  FOwner.LinkLoop().Send([&delivery] { RunDelivery(delivery); });
  s->FGate.lock();
  const bool stillOurs = !s->FAbandoned && !s->FClosing;
  if (!heldGate) s->FGate.unlock();
  return stillOurs;
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
  NotifyFromWorker(s, lnWorkerEnded, SendAreaByte(s, kFrameReceiverOffset));
  s.FRunning = false;
  {
    MutexLock lock(s.FStateLock);
    s.FEnded = true;
  }
  s.FEndedSignal.notify_all();
}

// ---- TUsbCmdLink ----

TUsbCmdLink::TUsbCmdLink(TLinkOwner& owner) : TUsbLink(owner) {}

// The worker reaches this object's fields through HandleByte, so it is stopped
// before they go.
TUsbCmdLink::~TUsbCmdLink() {
  TUsbCmdLink::Close();
}

bool TUsbCmdLink::Open() {
  if (Running()) return false;
  FPollTimer =
      std::make_unique<toolkit::Timer>(Owner().LinkLoop(), static_cast<int>(FPollInterval.count()));
  FPollTimer->OnTimer = [this] { Poll(); };
  FPollTimer->Start();
  return TUsbLink::Open();
}

void TUsbCmdLink::Close() {
  if (FPollTimer) FPollTimer->Stop();
  {
    MutexLock lock(FQueueLock);
    FQueue.clear();
    FReplaceSlot = nullptr;
  }
  if (!StopWorker()) return;  // deleted meanwhile: nothing here is ours any more
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
  FFramed = TResponseAssembler::ShapeAnswering(frame) == TResponseShape::kFrame;
  Enqueue(frame, append);
}

bool TUsbCmdLink::Busy() const {
  MutexLock lock(FQueueLock);
  return FBusy;
}

size_t TUsbCmdLink::QueuedCount() const {
  MutexLock lock(FQueueLock);
  return FQueue.size();
}

void TUsbCmdLink::Enqueue(const ByteBuffer& bytes, bool append) {
  MutexLock lock(FQueueLock);
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
    MutexLock lock(FQueueLock);
    if (FBusy || !FQueue.empty()) return;
  }
  Submit(BuildFrame(TCmdPacket(static_cast<uint8_t>(FPollUnit), cmdKeepAlive), pkFramed),
         /*append=*/false);
}

void TUsbCmdLink::HandleByte(uint8_t byte) {
  FResponse.Expect(FFramed ? TResponseShape::kFrame : TResponseShape::kRawReport);
  // After a delivery the link may be closed or deleted: nothing follows it here.
  if (FResponse.Take(byte)) Deliver();
}

void TUsbCmdLink::Deliver() {
  const int64_t now = CounterNow();
  int64_t startCount = 0;
  int64_t frequency = 0;
  {
    MutexLock lock(FQueueLock);
    startCount = FStartCount;
    frequency = FCounterFrequency;
  }
  if (frequency == 0) return;
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
  SendToOwner(WM_LINK_RESPONSE, reinterpret_cast<uintptr_t>(&FResponse.Response()),
              static_cast<intptr_t>(elapsedMs), afterHandler);
}

void TUsbCmdLink::DispatchNext() {
  MutexLock lock(FQueueLock);
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
