// The link's build-up of responses from received bytes (TUsbCmdLink::HandleByte),
// with framed and raw commands submitted in append and replace mode, commands
// submitted from the response handler, and the link closed or deleted from it.
// An open link on a trivial owner; this thread plays the UI thread. Received bytes
// take one of two roads, at the input's choice: straight to HandleByte on this
// thread (the delivery's Send then runs the handler at once), or, from a point
// on, as reports through Receive to the link's worker, which sends each delivery
// to this thread.
// Every response delivered and every command written is compared with a model
// of the queue and the build-up rules.
//
// Input: a sequence of operations, each an operation byte and its arguments.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "fuzz_check.h"
#include "link/lcmd.h"
#include "link/lusb.h"
#include "toolkit/event_loop.h"

namespace {

using kv::ByteBuffer;
using kv::fuzz::InputReader;
using namespace std::chrono_literals;

// No single hand-off to the worker takes this long, even under the sanitizers.
constexpr auto kWorkerBound = 5s;
constexpr size_t kRawResponseBytes = kv::kReportDataBytes;
constexpr int64_t kLongestElapsedMs = 0xFFFFFFFF;

enum class TOp : uint8_t {
  kSubmitFrame,    // code, payload length, payload, append flag
  kSubmitBytes,    // length, bytes, append flag
  kFeedBytes,      // count, bytes
  kFeedUnitFrame,  // code, payload length, payload: a well-formed answer
  kFeedRawReport,  // 64 bytes
  kSendBuffer,     // length, bytes: replace mode, expected shape unchanged
  kHandlerPolicy,  // what the response handler does from now on
  kClose,          // closes the link from outside a delivery; nothing follows
  kWorkerRoad,     // received bytes go through the worker from now on
  kCount,
};

enum class THandlerPolicy : uint8_t {
  kNothing,
  kAppendFrame,     // a keep-alive, appended
  kAppendRaw,       // a 70-byte request, appended
  kReplaceFrame,    // a keep-alive, replace mode
  kClose,           // closes the link
  kCloseAndDelete,  // closes and deletes the link, as the main window does on errors
  kCount,
};

kv::toolkit::EventLoop& Loop() {
  static const std::unique_ptr<kv::toolkit::EventLoop> loop =
      kv::toolkit::CreatePortableEventLoop();
  return *loop;
}

ByteBuffer KeepAlive() {
  return kv::BuildFrame(kv::TCmdPacket(1, kv::cmdKeepAlive), kv::pkFramed);
}

ByteBuffer RawRequest(uint8_t code) {
  ByteBuffer request(70);
  request[0] = code;
  request[kv::kFrameLengthOffset] = 1;
  return request;
}

bool ExpectsFrame(const ByteBuffer& bytes) {
  return bytes.size() >= kv::kFrameHeadBytes && kv::HasFrameShape(bytes);
}

// The queue and the build-up as the link is meant to behave.
class TLinkModel {
 public:
  void Submit(const ByteBuffer& bytes, bool append) {
    framed_ = ExpectsFrame(bytes);
    Enqueue(bytes, append);
  }
  void SendBuffer(const ByteBuffer& bytes) { Enqueue(bytes, false); }

  // Returns whether the byte completed a response that is delivered.
  bool Feed(uint8_t byte) {
    if (!framed_) {
      response_.push_back(byte);
      return response_.size() >= kRawResponseBytes && Complete();
    }
    // Raw bytes gathered past the length their byte 4 declares never end as a
    // frame: they are given up.
    if (response_.size() >= kv::kFrameHeadBytes &&
        response_.size() >= kv::FrameBytesForLength(response_[kv::kFrameLengthOffset])) {
      response_.clear();
    }
    if (response_.empty() && byte != kv::frDle) return false;
    if (response_.size() == 1 && byte != kv::frStx) return false;
    response_.push_back(byte);
    return response_.size() >= kv::kFrameHeadBytes &&
           response_.size() == kv::FrameBytesForLength(response_[kv::kFrameLengthOffset]) &&
           Complete();
  }

  // After the handler: the next queued command goes out.
  void DispatchNext() {
    response_.clear();
    if (queue_.empty()) {
      busy_ = false;
      return;
    }
    writes_.push_back(queue_.front().bytes);
    queue_.pop_front();
  }

  const ByteBuffer& Response() const { return response_; }
  const std::vector<ByteBuffer>& Writes() const { return writes_; }
  bool Framed() const { return framed_; }
  size_t QueuedCount() const { return queue_.size(); }
  bool Busy() const { return busy_; }

 private:
  struct TQueued {
    ByteBuffer bytes;
    bool replaceable;
  };

  void Enqueue(const ByteBuffer& bytes, bool append) {
    if (!busy_) {
      busy_ = true;
      handedOver_ = true;
      writes_.push_back(bytes);
      return;
    }
    if (!append) {
      for (TQueued& queued : queue_) {
        if (!queued.replaceable) continue;
        queued.bytes = bytes;
        return;
      }
    }
    queue_.push_back({bytes, !append});
  }

  // Before the first hand-over there is no stopwatch: the response is dropped.
  bool Complete() {
    if (handedOver_) return true;
    response_.clear();
    return false;
  }

  bool framed_ = true;
  bool busy_ = false;
  bool handedOver_ = false;
  ByteBuffer response_;
  std::deque<TQueued> queue_;
  std::vector<ByteBuffer> writes_;
};

// One owner for the whole run: a worker retired from its own delivery may post
// its last notification after the input that closed it has ended.
class TFuzzOwner : public kv::TLinkOwner {
 public:
  void WriteReport(const uint8_t* data, int count) override {
    {
      std::lock_guard lock(mutex_);
      writes_.emplace_back(data, static_cast<size_t>(count));
    }
    written_.notify_all();
  }

  void LinkMessage(uint32_t message, uintptr_t wparam, intptr_t lparam) override {
    if (message != kv::WM_LINK_RESPONSE) return;
    KV_FUZZ_REQUIRE(lparam >= 0 && lparam <= kLongestElapsedMs);
    if (OnResponse) OnResponse(*reinterpret_cast<const ByteBuffer*>(wparam));
  }

  kv::toolkit::EventLoop& LinkLoop() override { return Loop(); }

  bool WaitForWrites(size_t count) {
    std::unique_lock lock(mutex_);
    return written_.wait_for(lock, kWorkerBound, [&] { return writes_.size() >= count; });
  }
  std::vector<ByteBuffer> Writes() {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  void Reset() {
    std::lock_guard lock(mutex_);
    writes_.clear();
  }

  std::function<void(const ByteBuffer&)> OnResponse;

 private:
  std::mutex mutex_;
  std::condition_variable written_;
  std::vector<ByteBuffer> writes_;
};

TFuzzOwner& Owner() {
  static TFuzzOwner owner;
  return owner;
}

// Runs what the link posted (the retired worker's reaping among it).
void DrainLoop() {
  bool drained = false;
  Loop().Post([&drained] { drained = true; });
  KV_FUZZ_REQUIRE(Loop().RunUntil([&drained] { return drained; }, kWorkerBound));
}

class TBuildUpRun {
 public:
  TBuildUpRun() : owner_(Owner()) {
    owner_.Reset();
    owner_.OnResponse = [this](const ByteBuffer& response) { HandleResponse(response); };
    link_ = std::make_unique<kv::TUsbCmdLink>(owner_);
    KV_FUZZ_REQUIRE(link_->Open());
  }

  ~TBuildUpRun() {
    link_.reset();
    DrainLoop();
    owner_.OnResponse = nullptr;
  }

  void Run(InputReader& input) {
    while (!input.Empty() && open_) {
      switch (static_cast<TOp>(input.Byte() % static_cast<uint8_t>(TOp::kCount))) {
        case TOp::kSubmitFrame: {
          const ByteBuffer frame = FrameFrom(input);
          Submit(frame, input.Flag());
          break;
        }
        case TOp::kSubmitBytes: {
          const auto bytes = input.Bytes(input.Byte() % 80);
          Submit(ByteBuffer(bytes.data(), bytes.size()), input.Flag());
          break;
        }
        case TOp::kFeedBytes: {
          const auto bytes = input.Bytes(input.Byte() % 128 + 1u);
          Receive(ByteBuffer(bytes.data(), bytes.size()));
          break;
        }
        case TOp::kFeedUnitFrame:
          Receive(UnitFrameFrom(input));
          break;
        case TOp::kFeedRawReport: {
          ByteBuffer report(kRawResponseBytes);
          const auto bytes = input.Bytes(kRawResponseBytes);
          std::copy(bytes.begin(), bytes.end(), report.begin());
          Receive(report);
          break;
        }
        case TOp::kSendBuffer: {
          const auto bytes = input.Bytes(input.Byte() % 80);
          const ByteBuffer buffer(bytes.data(), bytes.size());
          model_.SendBuffer(buffer);
          link_->SendBuffer(buffer);
          AwaitWrites();
          break;
        }
        case TOp::kHandlerPolicy:
          policy_ = static_cast<THandlerPolicy>(input.Byte() %
                                                static_cast<uint8_t>(THandlerPolicy::kCount));
          break;
        case TOp::kClose:
          link_->Close();
          open_ = false;
          break;
        case TOp::kWorkerRoad:
          throughWorker_ = true;
          break;
        case TOp::kCount:
          break;
      }
    }
    if (link_ && open_) KV_FUZZ_REQUIRE(link_->QueuedCount() == model_.QueuedCount());
    KV_FUZZ_REQUIRE(expected_.empty());
    KV_FUZZ_REQUIRE(owner_.Writes() == model_.Writes());
  }

 private:
  static ByteBuffer FrameFrom(InputReader& input) {
    kv::TCmdPacket packet(1, input.Byte());
    const auto payload = input.Bytes(input.Byte() % 8);
    packet.Payload.append(payload.data(), payload.size());
    return kv::BuildFrame(packet, kv::pkFramed);
  }

  static ByteBuffer UnitFrameFrom(InputReader& input) {
    const uint8_t code = input.Byte();
    const auto payload = input.Bytes(input.Byte() % 56);
    ByteBuffer frame{
        kv::frDle, kv::frStx, 0x01, kv::frHostAddress, static_cast<uint8_t>(payload.size() + 1),
        code};
    frame.append(payload.data(), payload.size());
    frame.push_back(kv::frDle);
    frame.push_back(kv::frEtx);
    frame.push_back(input.Byte());  // the checksum is not examined
    return frame;
  }

  void Submit(const ByteBuffer& bytes, bool append) {
    model_.Submit(bytes, append);
    link_->Submit(bytes, append);
    AwaitWrites();
  }

  // Once bytes have gone through the worker, none is handed to HandleByte on this
  // thread again: the worker may still be finishing its last report, and in the
  // tool only the worker builds responses up.
  void Receive(const ByteBuffer& bytes) {
    if (!throughWorker_) {
      FeedHere(bytes);
      return;
    }
    pending_.append(bytes.data(), bytes.size());
    // The link takes at most kLinkAreaBytes of one report: older bytes make way.
    if (pending_.size() > static_cast<size_t>(kv::kLinkAreaBytes)) {
      const size_t excess = pending_.size() - static_cast<size_t>(kv::kLinkAreaBytes);
      pending_ = ByteBuffer(pending_.data() + excess, pending_.size() - excess);
    }
    ReceiveThroughWorker();
  }

  // Byte by byte on this thread: each delivery happens inside HandleByte.
  void FeedHere(const ByteBuffer& bytes) {
    for (uint8_t byte : bytes) {
      if (!open_) return;
      ModelFeed(byte);
      link_->HandleByte(byte);
      KV_FUZZ_REQUIRE(expected_.empty());
      if (!open_) return;
      AwaitWrites();
    }
  }

  // The bytes received so far go to the worker as one report once its last byte
  // completes a response that is delivered: this thread then knows the worker has
  // taken all of it when that delivery has been served. Until then they wait; the
  // build-up does not depend on where one report ends and the next begins.
  void ReceiveThroughWorker() {
    const TLinkModel modelBefore = model_;
    const bool modelOpenBefore = modelOpen_;
    bool lastDelivers = false;
    for (uint8_t byte : pending_) lastDelivers = ModelFeed(byte);
    if (!lastDelivers) {
      model_ = modelBefore;
      modelOpen_ = modelOpenBefore;
      expected_.clear();
      return;
    }
    const ByteBuffer report = std::move(pending_);
    pending_.clear();
    link_->Receive(report.data(), static_cast<int>(report.size()));
    KV_FUZZ_REQUIRE(Loop().ServeSendsUntil([this] { return expected_.empty(); }, kWorkerBound));
    if (!open_) return;
    // The next command is dispatched inside the delivery: once it has been served,
    // the queue is as the model has it, whatever the worker does next.
    KV_FUZZ_REQUIRE(link_->Busy() == model_.Busy());
    KV_FUZZ_REQUIRE(link_->QueuedCount() == model_.QueuedCount());
    AwaitWrites();
  }

  // The model takes one byte; a delivery runs the handler's part, then dispatches.
  bool ModelFeed(uint8_t byte) {
    if (!modelOpen_ || !model_.Feed(byte)) return false;
    expected_.push_back(model_.Response());
    switch (policy_) {
      case THandlerPolicy::kAppendFrame:
        model_.Submit(KeepAlive(), true);
        break;
      case THandlerPolicy::kAppendRaw:
        model_.Submit(RawRequest(0x80), true);
        break;
      case THandlerPolicy::kReplaceFrame:
        model_.Submit(KeepAlive(), false);
        break;
      case THandlerPolicy::kClose:
      case THandlerPolicy::kCloseAndDelete:
        modelOpen_ = false;
        return true;
      case THandlerPolicy::kNothing:
      case THandlerPolicy::kCount:
        break;
    }
    model_.DispatchNext();
    return true;
  }

  // The worker writes each command it is handed before the next bytes arrive, so
  // no hand-over overwrites one that has not gone out yet.
  void AwaitWrites() { KV_FUZZ_REQUIRE(owner_.WaitForWrites(model_.Writes().size())); }

  // This thread, as the UI thread: the link's delivery.
  void HandleResponse(const ByteBuffer& response) {
    KV_FUZZ_REQUIRE(!expected_.empty());
    KV_FUZZ_REQUIRE(response == expected_.front());
    expected_.pop_front();
    switch (policy_) {
      case THandlerPolicy::kAppendFrame:
        link_->Submit(KeepAlive(), true);  // the link is busy: queued
        break;
      case THandlerPolicy::kAppendRaw:
        link_->Submit(RawRequest(0x80), true);
        break;
      case THandlerPolicy::kReplaceFrame:
        link_->Submit(KeepAlive(), false);
        break;
      case THandlerPolicy::kClose:
        link_->Close();
        open_ = false;
        break;
      case THandlerPolicy::kCloseAndDelete:
        link_->Close();
        link_.reset();
        open_ = false;
        break;
      case THandlerPolicy::kNothing:
      case THandlerPolicy::kCount:
        break;
    }
  }

  TFuzzOwner& owner_;
  std::unique_ptr<kv::TUsbCmdLink> link_;
  TLinkModel model_;
  THandlerPolicy policy_ = THandlerPolicy::kNothing;
  bool open_ = true;       // the link takes bytes: no handler has closed it
  bool modelOpen_ = true;  // the same, as far as the model has got
  bool throughWorker_ = false;
  ByteBuffer pending_;  // received on the worker road, not yet handed over
  // Responses the model delivered and the link has not yet.
  std::deque<ByteBuffer> expected_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input(data, size);
  TBuildUpRun run;
  run.Run(input);
  return 0;
}
