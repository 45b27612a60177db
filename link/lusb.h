// Lusb: the link to the unit. A link owns one worker thread that writes the
// commands the user-interface thread hands it and builds responses from the
// report bytes the user-interface thread hands it. It speaks to its owner only
// through three window messages; the owner's handlers run on the UI thread.
//
// Locks, in the order they may be taken:
//   FLock       worker only: one received report's byte pass (including the
//               synchronous delivery) and the report writes.
//   FGate       held by the worker while it runs code of the link object (one
//               received byte), released while it waits on a delivery and while
//               it writes; the UI thread takes it to retire a worker, so that a
//               link can be closed or deleted from its response handler, or from
//               inside its own Close, and the worker never touches the object
//               afterwards. Never held across anything that can block for long.
//   FQueueLock  the command queue and its bookkeeping (TUsbCmdLink).
//   FStateLock  the send area and the commands not yet written, the received
//               reports not yet taken, the events.
// The worker's locks, events and areas live in a block it shares with the link,
// so a worker that outlives its link still has them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <thread>

#include "link/byte_buffer.h"
#include "link/response_assembler.h"
#include "toolkit/event_loop.h"
#include "toolkit/thread_annotations.h"
#include "toolkit/weak_owner.h"

namespace kv {

// The window messages of the link (WM_USER + 0x14F .. 0x151).
enum TLinkMessage : uint32_t {
  WM_LINK_BYTE = 0x54F,      // posted per received byte by the base link; wparam = the byte
  WM_LINK_RESPONSE = 0x550,  // sent per complete response; wparam = const ByteBuffer*, lparam = ms
  WM_LINK_NOTIFY = 0x551,    // posted; wparam = TLinkNotification, lparam = value
};

enum TLinkNotification : int {
  lnNoResponse = 0,   // the time-out pattern completed; value = byte 3 of the last command
  lnStopTimeout = 5,  // Close gave up waiting for the worker; value = 0
  lnWorkerEnded = 6,  // the worker left its loop; value = byte 3 of the last command
};

// The window that owns a link. It outlives every link it owns.
class TLinkOwner {
 public:
  virtual ~TLinkOwner() = default;
  // Worker thread, inside FLock: put one command on the wire.
  virtual void WriteReport(const uint8_t* data, int count) = 0;
  // UI thread: one of the link's window messages.
  virtual void LinkMessage(uint32_t message, uintptr_t wparam, intptr_t lparam) = 0;
  virtual toolkit::EventLoop& LinkLoop() = 0;

  // Expires when the owner is destroyed. A message a link posted to its owner is
  // dropped if the owner has gone by the time the loop runs it, as a message
  // posted to a destroyed window is: a worker's last notice may still be queued.
  const toolkit::WeakHandle<TLinkOwner>& LifetimeToken() const { return FLifetime.Handle(); }

 private:
  const toolkit::WeakOwner<TLinkOwner> FLifetime{*this};
};

// Both areas are fixed; longer input is cut to this size.
inline constexpr int kLinkAreaBytes = 1024;
inline constexpr std::chrono::milliseconds kDefaultWaitTimeout{800};
inline constexpr int kTimeoutLimit = 2;
// Time-outs counted after FTimeoutLimit before lnNoResponse: more than this many.
inline constexpr int kQuietTimeoutsBeforeNotice = 3;
// A command with this code byte (byte 5 of a frame) is given up on sooner.
inline constexpr uint8_t kImpatientCommandCode = 0x05;
inline constexpr std::chrono::milliseconds kStopTimeout{5000};

// A response's elapsed time in whole milliseconds from performance-counter ticks:
// cut, not rounded, and held at 0xFFFFFFFF, the widest the message carries.
int64_t ElapsedMilliseconds(int64_t ticks, int64_t ticksPerSecond);

// One more wait of the worker that ended without a response: whether the owner
// is to hear lnNoResponse now. `timeoutCount` (the link's FTimeoutCount, which a
// transmission clears) and `quietTimeouts` carry the count from one time-out to
// the next; an impatient command (code 0x05) is given up on sooner.
bool NoResponseNoticeDue(int8_t& timeoutCount, int& quietTimeouts, int timeoutLimit,
                         bool impatientCommand);

namespace lusb_detail {
struct TLinkShared;
}

// The base link: moves bytes between the UI thread and its worker. A derived
// class that replaces HandleByte closes the link in its own destructor, since
// the worker calls HandleByte until it has stopped.
class TUsbLink {
 public:
  explicit TUsbLink(TLinkOwner& owner);
  virtual ~TUsbLink();
  TUsbLink(const TUsbLink&) = delete;
  TUsbLink& operator=(const TUsbLink&) = delete;

  // UI thread. False when already running or when the thread cannot start.
  virtual bool Open();
  // UI thread. Safe from inside this link's WM_LINK_RESPONSE handler.
  virtual void Close();
  // Ignored unless running. Copies; more than kLinkAreaBytes are cut.
  virtual void SendBytes(const uint8_t* bytes, int count);
  virtual void SendBuffer(const ByteBuffer& buffer);
  // UI thread: hands in one report (copied); reports are processed in the order
  // given. Ignored unless running: no worker waits for it yet.
  virtual void Receive(const uint8_t* bytes, int count);
  // Worker thread, once per received byte.
  virtual void HandleByte(uint8_t byte);
  // Posts WM_LINK_NOTIFY.
  virtual void Notify(int code, intptr_t value);
  // Takes effect at the worker's next wait. A negative time-out never runs out.
  virtual void SetWaitTimeout(std::chrono::milliseconds timeout);
  std::chrono::milliseconds WaitTimeout() const;

  // From a successful Open until the worker has left its loop.
  bool Running() const;

 protected:
  TLinkOwner& Owner() const { return FOwner; }
  // Running and not being closed: commands and reports are taken.
  bool Accepting() const;
  // Worker thread, from HandleByte: send a message synchronously to the owner and
  // wait until its handler returns. `afterHandler` runs on the UI thread right
  // after the handler while the link is still open. Returns false when the link
  // was closed or deleted meanwhile: the caller must then return without touching
  // the link.
  bool SendToOwner(uint32_t message, uintptr_t wparam, intptr_t lparam,
                   const std::function<void()>& afterHandler);
  // UI thread: the base Close. False when this link was deleted while it waited
  // (from a hand-off that the wait served): the caller must then return without
  // touching the link.
  bool StopWorker();

 private:
  static void WorkerMain(std::shared_ptr<lusb_detail::TLinkShared> shared);
  // Close from inside the response handler: joined once the handler is done.
  void RetireWorkerAfterDelivery();

  TLinkOwner& FOwner;
  std::thread FThread;
  // Everything the worker touches outside the link object. A new block per Open.
  std::shared_ptr<lusb_detail::TLinkShared> FShared;
};

// The link the main window uses: one command outstanding at a time, a FIFO of
// waiting commands, responses built up as frames or 64-byte reports and sent to
// the owner with the time since the command was handed to the worker, and an
// idle keep-alive.
class TUsbCmdLink : public TUsbLink {
 public:
  explicit TUsbCmdLink(TLinkOwner& owner);
  ~TUsbCmdLink() override;

  bool Open() override;
  void Close() override;
  // UI thread. Replace mode, leaving the expected response shape as it is.
  void SendBytes(const uint8_t* bytes, int count) override;
  void SendBuffer(const ByteBuffer& buffer) override;

  // UI thread: transmit at once when idle; otherwise queue (append) or overwrite
  // the one replaceable waiting command (replace).
  void Submit(const ByteBuffer& frame, bool append);
  void SetPollDisabled(bool disabled) { FPollDisabled = disabled; }

  // A command has been handed to the worker and its response not yet delivered.
  bool Busy() const;
  size_t QueuedCount() const;
  // UI thread: the idle poll's timer while open (none otherwise), for tests and
  // benchmarks that check the idle interval by its tally instead of a wall clock.
  const toolkit::Timer* PollTimer() const { return FPollTimer.get(); }

  // Worker thread: builds the response up in the shape the last Submit expects.
  void HandleByte(uint8_t byte) override;

 private:
  void Poll();
  void RestartPollTimer();
  void Enqueue(const ByteBuffer& bytes, bool append) KV_EXCLUDES(FQueueLock);
  void StartStopwatch() KV_REQUIRES(FQueueLock);
  void Deliver() KV_EXCLUDES(FQueueLock);
  // UI thread, inside the delivery, right after the handler.
  void DispatchNext() KV_EXCLUDES(FQueueLock);

  mutable Mutex FQueueLock;
  std::atomic<bool> FFramed{true};  // written by Submit, read by the worker
  bool FPollDisabled = true;        // UI thread
  bool FBusy KV_GUARDED_BY(FQueueLock) = false;
  // Worker; the owner reads the complete response during the delivery.
  TResponseAssembler FResponse;
  std::deque<ByteBuffer> FQueue KV_GUARDED_BY(FQueueLock);
  // An element of FQueue (a deque keeps it in place) or none.
  ByteBuffer* FReplaceSlot KV_GUARDED_BY(FQueueLock) = nullptr;
  std::unique_ptr<toolkit::Timer> FPollTimer;  // UI thread
  const std::chrono::milliseconds FPollInterval{3000};
  const uint32_t FPollUnit = 1;
  int64_t FStartCount KV_GUARDED_BY(FQueueLock) = 0;
  // 0 until the first hand-over: no delivery before it.
  int64_t FCounterFrequency KV_GUARDED_BY(FQueueLock) = 0;
};

}  // namespace kv
