// Input reports and link responses, in every UpdateState, through the main
// window: HidCtlDeviceData (report to link to HandleLinkResponse) and
// HandleLinkResponse itself, with the window's session state set from the input
// and its timers and buttons fired at the input's choice.
//
// The window runs on a portable loop with a fake HID platform that shows one
// unit (run or update personality) and accepts every write of the declared
// length. This thread is the UI thread. So that one input runs to its end without
// waiting for threads, the link hands the bytes of each report to its build-up on
// the UI thread (TInlineLink below): build-up, delivery, handler and queue are the
// link's own; only the hop to its worker is skipped for received bytes. Timers
// never fire by themselves (their intervals are an hour); the input fires them.
//
// Checked besides the sanitizers: the only exception a handler may end with is
// the byte buffer's range error "vector"; a report that arrives while receiving
// is off leaves no trace; in an ISP step one report is accepted per arming; every
// report written has the device's declared length.
#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "app/isp.h"
#include "diag/diag_windows.h"
#include "engine/engine_texts.h"
#include "engine/isp_report.h"
#include "fuzz_check.h"
#include "hid/hid_platform.h"
#include "image/dsp_image.h"
#include "link/lcmd.h"
#include "link/lusb.h"
#include "toolkit/event_loop.h"
#include "toolkit/message_box.h"

namespace {

using kv::ByteBuffer;
using kv::TfmIsp;
using kv::TTrafficDirection;
using kv::TTrafficRecord;
using kv::fuzz::InputReader;
using namespace std::chrono_literals;

constexpr uint16_t kReportBytesWithId = 65;
constexpr auto kHandOffBound = 5s;  // no single hand-off between threads takes this long
constexpr auto kNeverByItself = std::chrono::hours(1);
constexpr size_t kSmallImageBytes = 300;
constexpr size_t kLongestResponse = 300;  // a frame built up across reports: at most 263
constexpr uint8_t kDeviceAddress = 0x01;

// ---- The fake platform: one unit, reads that never complete ----

class TFakeHandle final : public kv::hid::HidHandle {
 public:
  explicit TFakeHandle(kv::hid::HidAttributes attributes) : attributes_(attributes) {}

  bool GetAttributes(kv::hid::HidAttributes& attributes) override {
    attributes = attributes_;
    return true;
  }
  bool GetCaps(kv::hid::HidCaps& caps) override {
    caps = {};
    caps.InputReportByteLength = kReportBytesWithId;
    caps.OutputReportByteLength = kReportBytesWithId;
    return true;
  }
  bool Write(const uint8_t* data, size_t count, size_t& written) override {
    KV_FUZZ_REQUIRE(data != nullptr && count == kReportBytesWithId && data[0] == 0);
    written = count;
    return true;
  }
  kv::hid::HidReadStatus Read(uint8_t* /*buffer*/, size_t /*capacity*/,
                              std::chrono::milliseconds slice, size_t& transferred,
                              uint32_t& /*error*/) override {
    transferred = 0;
    std::unique_lock lock(mutex_);
    if (cancel_.wait_for(lock, slice, [this] { return cancelled_; })) {
      cancelled_ = false;
      return kv::hid::HidReadStatus::kCancelled;
    }
    return kv::hid::HidReadStatus::kPending;
  }
  void CancelRead() override {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    cancel_.notify_all();
  }

 private:
  const kv::hid::HidAttributes attributes_;
  std::mutex mutex_;
  std::condition_variable cancel_;
  bool cancelled_ = false;
};

class TFakePlatform final : public kv::hid::HidPlatform {
 public:
  void SetProduct(uint16_t productId) { productId_ = productId; }

  bool Available() const override { return true; }
  std::vector<kv::hid::HidInterfaceInfo> EnumerateInterfaces() override {
    return {{"fuzz-unit-" + std::to_string(productId_), "fuzz-unit", "fuzz-port"}};
  }
  std::unique_ptr<kv::hid::HidHandle> Open(const std::string& /*path*/,
                                           kv::hid::HidAccess /*access*/, bool /*for_reading*/,
                                           uint32_t& /*error*/) override {
    kv::hid::HidAttributes attributes;
    attributes.VendorID = kv::uidVendor;
    attributes.ProductID = productId_;
    return std::make_unique<TFakeHandle>(attributes);
  }
  void SetDeviceChangeHandler(kv::hid::DeviceChangeHandler /*handler*/) override {}
  std::string ErrorText(uint32_t error) const override { return "error " + std::to_string(error); }
  // Nothing the fake reports ever means that the device has gone.
  bool IsGoneError(uint32_t /*error*/) const override { return false; }

 private:
  uint16_t productId_ = kv::uidRunProduct;
};

// ---- The link with its received bytes built up on the UI thread ----

class TInlineLink final : public kv::TUsbCmdLink {
 public:
  explicit TInlineLink(kv::TLinkOwner& owner) : TUsbCmdLink(owner) {}
  ~TInlineLink() override { *alive_ = false; }

  // The handler may close the link, or delete it, in the middle of a report: the
  // rest of the report is then dropped, as the worker drops it.
  void Receive(const uint8_t* bytes, int count) override {
    if (!Accepting() || bytes == nullptr || count <= 0) return;
    const std::shared_ptr<bool> alive = alive_;
    const std::vector<uint8_t> report(bytes, bytes + std::min(count, kv::kLinkAreaBytes));
    for (uint8_t byte : report) {
      if (!*alive || !Accepting()) return;
      HandleByte(byte);
    }
  }

 private:
  const std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// ---- The run ----

kv::toolkit::EventLoop& Loop() {
  static const std::unique_ptr<kv::toolkit::EventLoop> loop =
      kv::toolkit::CreatePortableEventLoop();
  return *loop;
}

std::vector<std::string>& CaughtExceptions() {
  static std::vector<std::string> caught;
  return caught;
}

// KV_FUZZ_VERBOSE=1 lists each input's traffic and boxes (for writing seeds).
bool Verbose() {
  static const bool verbose = std::getenv("KV_FUZZ_VERBOSE") != nullptr;
  return verbose;
}

kv::TIspTiming HandFiredTiming() {
  kv::TIspTiming timing;
  for (auto* interval :
       {&timing.UsbWaitLayout, &timing.UsbWaitStartProgram, &timing.UsbWaitData,
        &timing.UsbWaitOther, &timing.WaitDisconnect, &timing.WrongDisconnect, &timing.McuProgPoll,
        &timing.AutoUpdate, &timing.DspProgram, &timing.RunStep}) {
    *interval = kNeverByItself;
  }
  return timing;
}

// A small image, so that "Mcu Prog" stays cheap: 16-byte records, then the end.
const std::vector<const char*>& SmallImageLines() {
  static const std::vector<std::string> records = [] {
    std::vector<std::string> lines;
    for (size_t offset = 0; offset < kSmallImageBytes; offset += 16) {
      const size_t count = std::min<size_t>(16, kSmallImageBytes - offset);
      uint8_t sum = static_cast<uint8_t>(count + (offset >> 8) + (offset & 0xFF));
      char field[16];
      std::snprintf(field, sizeof field, ":%02X%04X00", static_cast<unsigned>(count),
                    static_cast<unsigned>(offset));
      std::string line = field;
      for (size_t i = 0; i < count; ++i) {
        const auto byte = static_cast<uint8_t>((offset + i) * 13 + 7);
        std::snprintf(field, sizeof field, "%02X", static_cast<unsigned>(byte));
        line += field;
        sum = static_cast<uint8_t>(sum + byte);
      }
      std::snprintf(field, sizeof field, "%02X", static_cast<unsigned>(static_cast<uint8_t>(-sum)));
      lines.push_back(line + field);
    }
    lines.emplace_back(":00000001FF");
    return lines;
  }();
  static const std::vector<const char*> table = [] {
    std::vector<const char*> pointers;
    for (const std::string& line : records) pointers.push_back(line.c_str());
    return pointers;
  }();
  return table;
}

// Runs what was posted so far (traffic lines, reaping of retired workers).
void DrainLoop() {
  bool drained = false;
  Loop().Post([&drained] { drained = true; });
  KV_FUZZ_REQUIRE(Loop().RunUntil([&drained] { return drained; }, kHandOffBound));
}

void CheckCaughtExceptions() {
  for (const std::string& text : CaughtExceptions()) KV_FUZZ_REQUIRE(text == "vector");
  CaughtExceptions().clear();
}

enum class TOp : uint8_t {
  kReport,       // report ID, size, bytes: through HidCtlDeviceData
  kResponse,     // length, bytes: straight to HandleLinkResponse
  kUnitFrame,    // code, payload length, payload: a well-formed frame as a report
  kIspReply,     // echo choice, packet number, data: a boot-loader reply as a report
  kFireTimer,    // which timer; fires only an enabled one, as the loop would
  kClickButton,  // which command
  kCount,
};

class TWindowRun {
 public:
  explicit TWindowRun(InputReader& input) : input_(input) {
    Platform()->SetProduct(input_.Flag() ? kv::uidUpdateProduct : kv::uidRunProduct);
    isp_ = std::make_unique<TfmIsp>(Loop(), boxes_, Platform(), hidData_, progData_,
                                    HandFiredTiming(), [this](const TTrafficRecord& record) {
                                      // The traffic window's lines: none for a dropped report.
                                      if (record.Direction != TTrafficDirection::kDropped) {
                                        traffic_.push_back(record.Line);
                                      }
                                    });
    isp_->McuImageLines = SmallImageLines();
    KV_FUZZ_REQUIRE(Loop().RunUntil([this] { return isp_->HeldDevice != nullptr; }, kHandOffBound));
    DrainLoop();
  }

  ~TWindowRun() {
    if (Verbose()) {
      for (const std::string& line : traffic_) std::fprintf(stderr, "%s\n", line.c_str());
      for (const auto& box : boxes_.Boxes()) std::fprintf(stderr, "box: %s\n", box.text.c_str());
      std::fprintf(stderr, "end: UpdateState %d, step text \"%s\"\n", isp_->UpdateState,
                   isp_->sbStatus.SimpleText().c_str());
    }
    isp_.reset();
    DrainLoop();
    CheckCaughtExceptions();
  }

  void Run() {
    SetSessionState();
    while (!input_.Empty()) {
      RunOperation(static_cast<TOp>(input_.Byte() % static_cast<uint8_t>(TOp::kCount)));
      ReplaceNewLink();
      DrainLoop();
      CheckCaughtExceptions();
    }
  }

 private:
  static const std::shared_ptr<TFakePlatform>& Platform() {
    static const auto platform = std::make_shared<TFakePlatform>();
    return platform;
  }

  TfmIsp& Isp() { return *isp_; }

  bool InIspStep() const { return isp_->UpdateState >= kv::usConnect; }

  // The session as some moment of an update could have left it.
  void SetSessionState() {
    TfmIsp& isp = Isp();
    isp.UpdateState = static_cast<int32_t>(input_.Byte() % 13) - 1;  // -1 .. 11
    isp.ReceiveEnabled = input_.Flag();
    isp.AutoStage = input_.Byte() % 5;
    isp.McuUpdatePending = input_.Flag() ? 1 : 0;
    isp.UpdateRefused = input_.Flag() ? 1 : 0;
    isp.ParamBlockIndex = input_.Byte() % 13;
    isp.SessionKey = input_.Le32();
    isp.PacketNumber = static_cast<int32_t>(input_.Le32());
    isp.RequestSum = input_.Le16();
    switch (input_.Byte() % 4) {
      case 0:
        kv::ParseMcuImage(isp.Image, kv::kMcuImageBound, isp.McuImageLines, nullptr);
        break;
      case 1:
        kv::PrepareDspImage(isp.Image);
        break;
      case 2:  // past the buffer too: the readers of the count must stay inside it
        isp.Image.ImageByteCount = static_cast<int32_t>(input_.Le32() & 0x3FFFF);
        break;
      default:
        isp.Image.ImageByteCount = 0;
        break;
    }
    const auto imageBytes = static_cast<uint32_t>(std::max(isp.Image.ImageByteCount, 0));
    isp.ProgramOffset = static_cast<int32_t>(input_.Le32() % (imageBytes + 113));
    isp.DspChunkIndex = input_.Le16();
    isp.DspLastChunk =
        input_.Flag() ? kv::DspLastChunkIndex(isp.Image.ImageByteCount) : input_.Le16();
    if (input_.Flag()) isp.sbStatus.SetSimpleText(std::string(kv::texts::kStepMcuReset));
    if (input_.Flag()) isp.tmUsbWait.Start();
    if (input_.Flag()) InstallLink(/*busy=*/input_.Flag(), /*framed=*/!InIspStep());
  }

  void InstallLink(bool busy, bool framed) {
    auto link = std::make_unique<TInlineLink>(Isp());
    KV_FUZZ_REQUIRE(link->Open());
    link->SetPollDisabled(true);
    if (busy) link->Submit(Placeholder(framed), true);
    Isp().Link = std::move(link);
  }

  static ByteBuffer Placeholder(bool framed) {
    if (framed) return kv::BuildFrame(kv::TCmdPacket(1, kv::cmdIdentify), kv::pkFramed);
    const kv::IspRequest request = kv::BuildConnectRequest();
    return ByteBuffer(request.data(), request.size());
  }

  // A command that opened a link of its own gets one that builds up on this thread
  // instead, in the same state: busy with as many commands queued, expecting the
  // shape its step expects.
  void ReplaceNewLink() {
    TfmIsp& isp = Isp();
    if (!isp.Link || dynamic_cast<TInlineLink*>(isp.Link.get()) != nullptr) return;
    const bool running = isp.Link->Running();
    const bool busy = isp.Link->Busy();
    const size_t queued = isp.Link->QueuedCount();
    isp.Link->Close();
    auto link = std::make_unique<TInlineLink>(isp);
    if (running) KV_FUZZ_REQUIRE(link->Open());
    link->SetPollDisabled(true);
    const ByteBuffer placeholder = Placeholder(!InIspStep());
    if (busy) {
      for (size_t i = 0; i <= queued; ++i) link->Submit(placeholder, true);
    }
    isp.Link = std::move(link);
  }

  void RunOperation(TOp op) {
    switch (op) {
      case TOp::kReport: {
        const uint8_t reportId = input_.Byte();
        const auto bytes = input_.Bytes(input_.Byte() % 80);
        DeliverReport(reportId, std::vector<uint8_t>(bytes.begin(), bytes.end()));
        break;
      }
      case TOp::kResponse: {
        const size_t low = input_.Byte();
        const auto bytes = input_.Bytes(low + input_.Byte() % 48u);
        const ByteBuffer response(bytes.data(), std::min(bytes.size(), kLongestResponse));
        Guarded([this, &response] { Isp().HandleLinkResponse(response); });
        break;
      }
      case TOp::kUnitFrame:
        DeliverReport(0, UnitFrame());
        break;
      case TOp::kIspReply:
        DeliverReport(0, IspReply());
        break;
      case TOp::kFireTimer:
        FireTimer(input_.Byte() % kv::kChainTimerCount);
        break;
      case TOp::kClickButton:
        ClickButton(input_.Byte() % 5);
        break;
      case TOp::kCount:
        break;
    }
  }

  // Handlers run inside the loop's exception guard, as they do in the tool.
  static void Guarded(const std::function<void()>& handler) { Loop().Send(handler); }

  std::vector<uint8_t> UnitFrame() {
    const uint8_t code = input_.Byte();
    const auto payload = input_.Bytes(input_.Byte() % 57);
    std::vector<uint8_t> frame{kv::frDle,
                               kv::frStx,
                               kDeviceAddress,
                               kv::frHostAddress,
                               static_cast<uint8_t>(payload.size() + 1),
                               code};
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(kv::frDle);
    frame.push_back(kv::frEtx);
    frame.push_back(0);
    frame.resize(kv::kIspReportBytes);
    return frame;
  }

  std::vector<uint8_t> IspReply() {
    const uint32_t echo = input_.Flag() ? Isp().RequestSum : input_.Le16();
    const kv::IspReply reply = kv::BuildIspReply(echo, input_.Le32());
    std::vector<uint8_t> report(reply.begin(), reply.end());
    const auto data = input_.Bytes(input_.Byte() % 16);
    std::copy(data.begin(), data.end(), report.begin() + kv::kIspDataOffset);
    return report;
  }

  // The report in a buffer of exactly its size, so that a read past it is caught.
  void DeliverReport(uint8_t reportId, const std::vector<uint8_t>& bytes) {
    TfmIsp& isp = Isp();
    const bool receiving = isp.ReceiveEnabled;
    const bool ispStep = InIspStep();
    const size_t linesBefore = traffic_.size();
    const auto data = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), data.get());
    Guarded([&] {
      isp.HidCtlDeviceData(isp.HeldDevice, reportId, bytes.empty() ? nullptr : data.get(),
                           static_cast<uint16_t>(bytes.size()));
    });
    const auto newLines = std::span(traffic_).subspan(linesBefore);
    const bool tracedRead =
        std::any_of(newLines.begin(), newLines.end(),
                    [](const std::string& line) { return line.starts_with("R "); });
    // A frame longer than a report is dropped with a note and uses up no arming.
    const bool droppedFrame = std::any_of(
        newLines.begin(), newLines.end(),
        [](const std::string& line) { return line.find("dropped") != std::string::npos; });
    if (!receiving) KV_FUZZ_REQUIRE(!tracedRead);
    if (receiving && ispStep && tracedRead && !droppedFrame) KV_FUZZ_REQUIRE(!isp.ReceiveEnabled);
  }

  void FireTimer(size_t which) {
    TfmIsp& isp = Isp();
    const std::array<kv::toolkit::Timer*, kv::kChainTimerCount> timers{
        &isp.tmUsbWait, &isp.tmWaitDisconnect,  &isp.tmDspProgram, &isp.tmMcuProg,
        &isp.tmRunStep, &isp.tmWrongDisconnect, &isp.tmAutoUpdate};
    kv::toolkit::Timer* timer = timers[which];
    if (!timer->Enabled()) return;
    Guarded([timer] { timer->Fire(); });
  }

  void ClickButton(size_t which) {
    TfmIsp& isp = Isp();
    const std::array<kv::toolkit::Button*, 5> buttons{&isp.btnStartProgram, &isp.btnVersion,
                                                      &isp.bnMcuProgram, &isp.bnSecurity,
                                                      &isp.bnDspPorgram};
    kv::toolkit::Button* button = buttons[which];
    Guarded([button] { button->Click(); });
  }

  InputReader& input_;
  kv::toolkit::ScriptedMessageBoxes boxes_{Loop()};
  kv::diag::TfmHidData hidData_;
  kv::diag::TfmProgData progData_;
  std::vector<std::string> traffic_;
  std::unique_ptr<TfmIsp> isp_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  Loop().SetExceptionBox([](const std::string& text) { CaughtExceptions().push_back(text); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input(data, size);
  TWindowRun run(input);
  run.Run();
  return 0;
}
