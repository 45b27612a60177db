// Isp: the main window of the update tool and the owner of the whole update.
// It works on control models only (a front end draws them and forwards the
// user's clicks): the layout, the status bar, the menu, the seven timers that
// pace the update chain, and every field of the session. It owns the HID device
// controller and, while a session is open, the link to the unit.
//
// Threads: every member runs on the UI thread (the EventLoop's), except
// WriteReport and LinkLoop, which the link's worker calls. WriteReport reads
// HeldDevice under HeldDeviceLock; the UI thread takes the same lock whenever
// HeldDevice changes, so a device is never checked in while a write to it is in
// progress. The written line reaches the UI thread through EventLoop::Post.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/isp_events.h"
#include "diag/diag_windows.h"
#include "engine/engine_texts.h"
#include "engine/isp_report.h"
#include "engine/report_traffic.h"
#include "engine/unit_check.h"
#include "engine/update_state.h"
#include "hid/hid_platform.h"
#include "hid/jv_hid.h"
#include "hid/kv93t_usb_ids.h"
#include "image/firmware_data.h"
#include "image/firmware_image.h"
#include "image/mcu_image.h"
#include "link/lcmd.h"
#include "link/lusb.h"
#include "toolkit/controls.h"
#include "toolkit/event_loop.h"
#include "toolkit/message_box.h"
#include "toolkit/thread_annotations.h"
#include "toolkit/weak_owner.h"

namespace kv {

// The unit's USB identity: one vendor, one product per personality. Nothing
// else about a device is looked at.
enum TUnitUsbId : uint16_t {
  uidVendor = hid::kKv93tVendorId,
  uidRunProduct = hid::kKv93tRunProductId,        // application firmware: framed commands
  uidUpdateProduct = hid::kKv93tUpdateProductId,  // boot loader: 64-byte requests and replies
};

// Client coordinates of a control in pixels, for a front end that draws them.
struct TControlBounds {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
  bool AlignBottom = false;  // spans the client width at the bottom, Height high
};

// The intervals of the seven timers. Defaults are the tool's own; tests that do
// not measure pacing may shorten them (Scaled).
struct TIspTiming {
  using ms = std::chrono::milliseconds;
  ms UsbWaitLayout{100};         // tmUsbWait before the first step sets it
  ms UsbWaitStartProgram{1000};  // the reply to "Start Program" (the flash is erased)
  ms UsbWaitData{20};            // while more than one data packet's bytes remain
  ms UsbWaitOther{200};          // every other step
  ms WaitDisconnect{500};        // "MCU Reset" to releasing the link
  ms WrongDisconnect{500};       // a refusal's box closed to releasing the link
  ms McuProgPoll{100};           // waiting for the unit in update mode
  ms AutoUpdate{3000};           // no answer to the unit query: program anyway
  ms DspProgram{100};            // "Dsp Prog" to the first DSP chunk
  ms RunStep{100};               // steps after the parameter data and the DSP download

  // Every interval divided by `divisor`, none below 1 ms.
  TIspTiming Scaled(int divisor) const;
};

// Link wait time-outs set by the commands (the link only notifies on them).
inline constexpr std::chrono::milliseconds kCommandLinkWaitTimeout{5000};
inline constexpr std::chrono::milliseconds kDspLinkWaitTimeout{10000};
inline constexpr std::chrono::milliseconds kFinishedLinkWaitTimeout{500};

// What each timer did: how often it was started and fired, and the intervals of
// the firings added up. Benchmarks compute the chain's pacing floor from it.
struct TTimerTally {
  int64_t Starts = 0;
  int64_t Fires = 0;
  std::chrono::milliseconds Fired{0};
};

// One report as it passed the window's report I/O (TTrafficDirection: engine/report_traffic.h).
struct TTrafficRecord {
  TTrafficDirection Direction = TTrafficDirection::kRead;
  toolkit::Clock::time_point Time{};  // when it was written or read
  uint8_t ReportId = 0;
  std::vector<uint8_t> Bytes;  // the bytes the line lists
  std::string Line;            // "W 00  ..." / "R 00  ..." / "D 00  ..."
  bool WriteFailed = false;    // written: the device took none of it
};

// Receives every report, written, read and dropped, whether or not the traffic
// window shows it. UI thread.
using TTrafficObserver = std::function<void(const TTrafficRecord& record)>;

class TfmIsp : public toolkit::Form, public TLinkOwner {
 public:
  // Window texts.
  static constexpr std::string_view kCaption = "Update KV-93T V1.2 InC+InD";
  static constexpr std::string_view kTitle = "Device Update";
  static constexpr std::string_view kPanelDisconnect = "Disconnect";
  static constexpr std::string_view kPanelLayoutNoDevice = "No Devce";  // replaced at creation
  static constexpr std::string_view kPanelNoDevice = "No Device";
  static constexpr std::string_view kPanelRunHid = "Detect Run HID";
  static constexpr std::string_view kPanelUpdateHid = "Detect Update HID";
  static constexpr std::string_view kStartProgramCaption = "Start Program ";

  // Layout.
  static constexpr int kWidth = 420;
  static constexpr int kHeight = 173;
  static constexpr TControlBounds kTitleBounds{96, 16, 201, 20};
  static constexpr int kTitleFontPixels = 16;
  static constexpr TControlBounds kVersionBounds{176, 52, 80, 25};
  static constexpr TControlBounds kSecurityBounds{80, 52, 80, 25};
  static constexpr TControlBounds kProgressBounds{0, 0, 0, 17, true};
  static constexpr TControlBounds kStatusBounds{0, 0, 0, 19, true};
  static constexpr TControlBounds kMcuProgramBounds{240, 52, 80, 25};
  static constexpr TControlBounds kDspProgramBounds{160, 52, 80, 25};
  static constexpr TControlBounds kStartProgramBounds{80, 48, 241, 30};
  static constexpr int kButtonFontPixels = 13;
  static constexpr int kPanel0Width = 180;
  static constexpr int kPanel1Width = 50;
  // Tab order of the buttons (Version 6, Security 2, Mcu Prog 1, Dsp Prog 3, Start 4).
  static constexpr int kVersionTabOrder = 6;
  static constexpr int kSecurityTabOrder = 2;
  static constexpr int kMcuProgramTabOrder = 1;
  static constexpr int kDspProgramTabOrder = 3;
  static constexpr int kStartProgramTabOrder = 4;
  // fmHidData opens this far to the right of the main window.
  static constexpr int kHidDataGap = 10;

  static constexpr toolkit::Color kBusyColor = toolkit::Color::Rgb(255, 0, 0);

  TfmIsp(toolkit::EventLoop& loop, toolkit::MessageBoxService& messageBoxes,
         std::shared_ptr<hid::HidPlatform> platform, diag::TfmHidData& fmHidData,
         diag::TfmProgData& fmProgData, TIspTiming timing = {},
         TTrafficObserver trafficObserver = {});
  ~TfmIsp() override;
  TfmIsp(const TfmIsp&) = delete;
  TfmIsp& operator=(const TfmIsp&) = delete;

  // ---- Services, given at construction ----
  toolkit::EventLoop& Loop;
  toolkit::MessageBoxService& MessageBoxes;
  diag::TfmHidData& fmHidData;
  diag::TfmProgData& fmProgData;
  const TIspTiming Timing;
  const std::shared_ptr<hid::HidPlatform> Platform;
  const TTrafficObserver TrafficObserver;

  // ---- Controls, in creation order (a later one lies above an earlier one) ----
  toolkit::Label lbHidShow{std::string(kTitle)};
  toolkit::Button btnVersion{"Version", true};
  toolkit::Button bnSecurity{"Security", false};
  toolkit::ProgressBar pbProgress;
  toolkit::StatusBar sbStatus;
  toolkit::Button bnMcuProgram{"Mcu Prog", true};
  toolkit::Button bnDspPorgram{"Dsp Prog", false};
  toolkit::Button btnStartProgram{std::string(kStartProgramCaption), false};
  // MainMenu1: neither item is ever made visible.
  toolkit::MenuItem Memory1{"Memory", false};
  toolkit::MenuItem HidData1{"HidData", false};

  // ---- Timers ----
  toolkit::Timer tmUsbWait;
  toolkit::Timer tmWaitDisconnect;
  toolkit::Timer tmDspProgram;
  toolkit::Timer tmMcuProg;
  toolkit::Timer tmRunStep;
  toolkit::Timer tmWrongDisconnect;
  toolkit::Timer tmAutoUpdate;

  // ---- Session state (UI thread; HeldDevice is written under HeldDeviceLock) ----
  std::unique_ptr<hid::TJvHidDeviceController> HidCtl;
  std::unique_ptr<TUsbCmdLink> Link;
  hid::TJvHidDevice* HeldDevice = nullptr;
  int32_t UpdateState = usVersionCheck;
  bool ReceiveEnabled = false;
  int32_t AutoStage = asNone;
  int32_t McuUpdatePending = 0;
  int32_t UpdateRefused = 0;
  int32_t ParamBlockIndex = 0;
  TParamBlock ParamBlock{};
  uint32_t SessionKey = 0;
  int32_t DspChunkIndex = 0;
  int32_t DspLastChunk = 0;
  int32_t PacketNumber = 0;
  int32_t ProgramOffset = 0;
  uint32_t RequestSum = 0;
  int32_t ProgramProgress = 0;
  uint32_t DeviceId = 0;
  uint32_t ConfigWord0 = 0;
  uint32_t ConfigWord1 = 0;
  FirmwareImage Image;
  // The records "Mcu Prog" parses: the embedded image unless a test swaps it.
  std::span<const char* const> McuImageLines = EmbeddedMcuHexLines();

  // Pacing tally, indexed by TChainTimer; UI thread.
  std::array<TTimerTally, kChainTimerCount> TimerTally{};
  const TTimerTally& Tally(TChainTimer timer) const {
    return TimerTally[static_cast<size_t>(timer)];
  }

  // ---- Window events and operations ----
  void FormCreate();
  void FormClose();
  // No unit held: panel 1 "No Device", "Dsp Prog" and "Mcu Prog" disabled.
  void ShowNoDevice();
  // Closes and deletes the link; the session's display state back to idle.
  void CloseSession();
  // The main window's own WM_DEVICECHANGE; whoever drives the window calls it
  // when the platform reports a device change.
  void DeviceChangeMessage();

  // ---- Commands (button handlers) ----
  void btnStartProgramClick();
  void btnVersionClick();
  void bnMcuProgramClick();
  void bnSecurityClick();
  void bnDspPorgramClick();
  void Memory1Click();
  void HidData1Click();
  // tmMcuProg found the unit in update mode: a new link runs the boot-loader steps.
  void StartIspSession();

  // ---- Timer handlers ----
  void tmUsbWaitTimer();
  void tmWaitDisconnectTimer();
  void tmWrongDisconnectTimer();
  void tmMcuProgTimer();
  void tmAutoUpdateTimer();
  void tmDspProgramTimer();
  void tmRunStepTimer();

  // ---- HID controller events ----
  void HidCtlDeviceChange();
  bool HidCtlEnumerate(hid::TJvHidDevice* HidDev, int Idx);
  void HidCtlDeviceUnplug(hid::TJvHidDevice* HidDev);
  void HidCtlDeviceDataError(hid::TJvHidDevice* HidDev, uint32_t Error);
  // app/isp_report_io.cpp
  void HidCtlDeviceData(hid::TJvHidDevice* HidDev, uint8_t ReportID, const uint8_t* Data,
                        uint16_t Size);

  // ---- Update engine (app/isp_sequencer.cpp, app/isp_link_response.cpp) ----
  // Builds and submits the request of the step UpdateState names, arms its reply.
  void RunIspStep();
  void HandleIspReply(const TCmdPacket& reply);
  void HandleLinkResponse(const ByteBuffer& response);
  void CheckUnitVersion(const TCmdPacket& reply);
  void RejectUnit(texts::TMessageId id, std::string_view message);
  // Serialises the packet and hands it to the link; nothing while no link is held.
  void SendCommand(const TCmdPacket& packet, bool append = true, int mode = pkFramed);

  // ---- TLinkOwner ----
  // Worker thread.
  void WriteReport(const uint8_t* data, int count) override;
  void LinkMessage(uint32_t message, uintptr_t wparam, intptr_t lparam) override;
  toolkit::EventLoop& LinkLoop() override { return Loop; }

  // ---- Events (UI thread) ----
  // The observer is told where the window stands (a TIspPicture) at once, then
  // every event as it is published, until the window is destroyed.
  void SubscribeEvents(TIspEventObserver observer);

  // Reports written to a held device so far (any thread).
  uint64_t ReportsWritten() const { return ReportsWrittenCount.load(); }

 private:
  // One input report as the engine reads it (InputReportData).
  struct TInputReport {
    uint8_t ReportId = 0;
    TInputReportData Data{};
    size_t Received = 0;  // the bytes the device sent; Data holds zeros past them
  };

  void BindHandlers();
  void SetHeldDevice(hid::TJvHidDevice* device);
  static bool IsUnit(const hid::TJvHidDevice* device, uint16_t productId);
  static bool IsEitherPersonality(const hid::TJvHidDevice* device);
  bool PanelIs(std::string_view text) const;
  void SetPanel(int panel, std::string_view text);
  // Each sets what the window shows, then publishes it when it changed.
  void ShowConnection(TIspConnection connection);
  void SetStep(TIspStepKind kind, std::string text, std::optional<int32_t> number = std::nullopt);
  void SetProgressRange(int max);
  void SetProgress(int position);
  void SetBusy(bool busy);
  void SetMcuUpdatePending(bool pending);
  void Publish(const TIspEvent& event);
  void StartTimer(toolkit::Timer& timer, TChainTimer which);
  void StopTimer(toolkit::Timer& timer, TChainTimer which);
  void CountFire(const toolkit::Timer& timer, TChainTimer which);
  void ShowMessage(texts::TMessageId id, std::string_view text, toolkit::MessageSymbol symbol);
  void EnsureLink();
  bool OpenNewLink();

  // "Mcu Prog" found the embedded image unusable: nothing was sent.
  void StopForImageError(McuParseOutcome outcome);

  // app/isp_sequencer.cpp
  IspRequest BuildStepRequest();
  // Where the microcontroller download stands, as its requests are built.
  void PublishMcuDownload();
  void ArmReply();
  void FailIspStep();

  // app/isp_link_response.cpp
  void IdentifyStep(const TCmdPacket& reply);
  void ParameterStep(const TCmdPacket& reply);
  void DspChunkStep(const TCmdPacket& reply);
  void StopForParamError(texts::TMessageId id, const std::string& message);
  void SendDspChunk(int32_t chunkIndex);

  // app/isp_report_io.cpp
  void AcceptReport(const TInputReport& report);
  // True when the report is kept to stand in for the reply once the arming fires.
  bool KeepEarlyIspReply(const TInputReport& report);
  void NoteDroppedReport(const TInputReport& report);
  // Worker thread: queues a written record for the UI thread, before the write.
  void HandOverWritten(TTrafficRecord record);
  // Worker thread: the write of the record handed over last has ended.
  void SettleWritten(bool written);
  // UI thread: passes on the written records handed over so far whose write has
  // ended, in their order; with `all`, the others too (a reply has come after them).
  void ListWritten(bool all = false);
  // UI thread: a read record, after the written ones of the requests before it.
  void ListRead(const TTrafficRecord& record);
  void AddTraffic(const TTrafficRecord& record);

 private:
  // Guards HeldDevice against the worker's WriteReport.
  Mutex HeldDeviceLock;
  // Counted by WriteReport just before each device write: a reply counted after
  // a request's mark answers that request or a later one.
  std::atomic<uint64_t> ReportsWrittenCount{0};
  uint64_t IspRequestMark = 0;  // ReportsWrittenCount when the step's request was submitted
  std::optional<TInputReport> EarlyIspReply;  // the first reply before the arming
  // The reply on its way through the link came shorter than its step's fields:
  // the step fails without reading them.
  bool IspReplyCut = false;
  // Written records handed over by the worker, not yet passed on. Handed over
  // before each write, so a reply, which can only come after its write, finds
  // its request's record here and lists it first: the traffic keeps the wire's order.
  Mutex writtenLock_;
  struct THandedOver {
    TTrafficRecord Record;
    bool Settled = false;  // its write has ended
  };
  std::deque<THandedOver> written_ KV_GUARDED_BY(writtenLock_);
  bool TearingDown = false;
  // What the events have told so far; UI thread.
  TIspPicture picture_;
  std::vector<TIspEventObserver> eventObservers_;
  // Tasks posted to the loop do nothing once the window is gone.
  toolkit::WeakOwner<TfmIsp> weakSelf_{*this};
};

}  // namespace kv
