#include "app/isp.h"

#include <algorithm>
#include <utility>

#include "app/isp_private.h"
#include "engine/engine_texts.h"
#include "image/dsp_image.h"
#include "image/image_dump.h"

namespace kv {

using isp_detail::kPanelConnection;
using isp_detail::kPanelSession;
using isp_detail::WholeMilliseconds;

TIspTiming TIspTiming::Scaled(int divisor) const {
  const auto scale = [divisor](ms interval) {
    return std::max(ms(1), divisor > 1 ? interval / divisor : interval);
  };
  TIspTiming scaled;
  scaled.UsbWaitLayout = scale(UsbWaitLayout);
  scaled.UsbWaitStartProgram = scale(UsbWaitStartProgram);
  scaled.UsbWaitData = scale(UsbWaitData);
  scaled.UsbWaitOther = scale(UsbWaitOther);
  scaled.WaitDisconnect = scale(WaitDisconnect);
  scaled.WrongDisconnect = scale(WrongDisconnect);
  scaled.McuProgPoll = scale(McuProgPoll);
  scaled.AutoUpdate = scale(AutoUpdate);
  scaled.DspProgram = scale(DspProgram);
  scaled.RunStep = scale(RunStep);
  return scaled;
}

TfmIsp::TfmIsp(toolkit::EventLoop& loop, toolkit::MessageBoxService& messageBoxes,
               std::shared_ptr<hid::HidPlatform> platform, diag::TfmHidData& hidData,
               diag::TfmProgData& progData, TIspTiming timing, TTrafficObserver trafficObserver)
    : toolkit::Form(std::string(kCaption), kWidth, kHeight),
      Loop(loop),
      MessageBoxes(messageBoxes),
      fmHidData(hidData),
      fmProgData(progData),
      Timing(timing),
      Platform(std::move(platform)),
      TrafficObserver(std::move(trafficObserver)),
      tmUsbWait(loop, WholeMilliseconds(timing.UsbWaitLayout)),
      tmWaitDisconnect(loop, WholeMilliseconds(timing.WaitDisconnect)),
      tmDspProgram(loop, WholeMilliseconds(timing.DspProgram)),
      tmMcuProg(loop, WholeMilliseconds(timing.McuProgPoll)),
      tmRunStep(loop, WholeMilliseconds(timing.RunStep)),
      tmWrongDisconnect(loop, WholeMilliseconds(timing.WrongDisconnect)),
      tmAutoUpdate(loop, WholeMilliseconds(timing.AutoUpdate)) {
  sbStatus.SetPanelWidth(kPanelSession, kPanel0Width);
  sbStatus.SetPanelText(kPanelSession, std::string(kPanelDisconnect));
  sbStatus.SetPanelWidth(kPanelConnection, kPanel1Width);
  sbStatus.SetPanelText(kPanelConnection, std::string(kPanelLayoutNoDevice));
  sbStatus.SetSimplePanel(false);
  HidCtl = std::make_unique<hid::TJvHidDeviceController>(Platform, Loop);
  BindHandlers();
  FormCreate();
}

TfmIsp::~TfmIsp() {
  // The controls count as gone from here on: the controller's destruction
  // reports the checked-out devices as unplugged, and that must only let go of
  // HeldDevice. The link goes first, since its worker writes through this window.
  TearingDown = true;
  if (Link) {
    Link->Close();
    Link.reset();
  }
  HidCtl.reset();
  weakSelf_.Release();
}

void TfmIsp::BindHandlers() {
  btnStartProgram.OnClick = [this] { btnStartProgramClick(); };
  btnVersion.OnClick = [this] { btnVersionClick(); };
  bnMcuProgram.OnClick = [this] { bnMcuProgramClick(); };
  bnSecurity.OnClick = [this] { bnSecurityClick(); };
  bnDspPorgram.OnClick = [this] { bnDspPorgramClick(); };
  Memory1.OnClick = [this] { Memory1Click(); };
  HidData1.OnClick = [this] { HidData1Click(); };
  OnClose = [this] { FormClose(); };

  tmUsbWait.OnTimer = [this] { tmUsbWaitTimer(); };
  tmWaitDisconnect.OnTimer = [this] { tmWaitDisconnectTimer(); };
  tmDspProgram.OnTimer = [this] { tmDspProgramTimer(); };
  tmMcuProg.OnTimer = [this] { tmMcuProgTimer(); };
  tmRunStep.OnTimer = [this] { tmRunStepTimer(); };
  tmWrongDisconnect.OnTimer = [this] { tmWrongDisconnectTimer(); };
  tmAutoUpdate.OnTimer = [this] { tmAutoUpdateTimer(); };

  HidCtl->OnEnumerate = [this](hid::TJvHidDevice* device, int index) {
    return HidCtlEnumerate(device, index);
  };
  HidCtl->OnDeviceChange = [this](hid::TJvHidDeviceController*) { HidCtlDeviceChange(); };
  HidCtl->OnDeviceData = [this](hid::TJvHidDevice* device, uint8_t reportId, const uint8_t* data,
                                uint16_t size) { HidCtlDeviceData(device, reportId, data, size); };
  HidCtl->OnDeviceDataError = [this](hid::TJvHidDevice* device, uint32_t error) {
    HidCtlDeviceDataError(device, error);
  };
  HidCtl->OnDeviceUnplug = [this](hid::TJvHidDevice* device) { HidCtlDeviceUnplug(device); };
}

// ---- Window ----

void TfmIsp::FormCreate() {
  KV_ASSERT_UI_THREAD(Loop);
  ShowNoDevice();
  SetMcuUpdatePending(false);
  AutoStage = asNone;
}

void TfmIsp::FormClose() {
  KV_ASSERT_UI_THREAD(Loop);
  CloseSession();
  // The link's worker is joined: the reports it wrote last are passed on now,
  // not in tasks that would find the window gone.
  ListWritten(true);
}

void TfmIsp::ShowNoDevice() {
  KV_ASSERT_UI_THREAD(Loop);
  if (HeldDevice != nullptr) return;
  ShowConnection(TIspConnection::kNone);
  bnDspPorgram.SetEnabled(false);
  bnMcuProgram.SetEnabled(false);
}

void TfmIsp::CloseSession() {
  KV_ASSERT_UI_THREAD(Loop);
  // A release still pending belongs to the session closed here; left running it
  // would close the next session, which a quickly re-enumerating unit may
  // already have opened.
  StopTimer(tmWaitDisconnect, TChainTimer::kWaitDisconnect);
  StopTimer(tmWrongDisconnect, TChainTimer::kWrongDisconnect);
  const bool linkClosed = Link != nullptr;
  if (Link) {
    Link->Close();
    Link.reset();
    ReceiveEnabled = false;
  }
  EarlyIspReply.reset();
  IspReplyCut = false;
  UpdateState = usVersionCheck;
  SetBusy(false);
  SetPanel(kPanelSession, kPanelDisconnect);
  SetProgress(0);
  if (linkClosed) Publish(TIspSessionEndEvent{});
}

void TfmIsp::DeviceChangeMessage() {
  KV_ASSERT_UI_THREAD(Loop);
  if (HeldDevice == nullptr) ShowNoDevice();
}

void TfmIsp::Memory1Click() {
  KV_ASSERT_UI_THREAD(Loop);
  fmProgData.ShowModal(Loop);
}

void TfmIsp::HidData1Click() {
  KV_ASSERT_UI_THREAD(Loop);
  fmHidData.Show();
  fmHidData.SetPosition(Left() + Width() + kHidDataGap, Top());
}

// ---- Helpers ----

void TfmIsp::SetHeldDevice(hid::TJvHidDevice* device) {
  {
    MutexLock lock(HeldDeviceLock);
    HeldDevice = device;
  }
  TIspConnectionEvent connection = picture_.Connection;
  connection.UnitHeld = device != nullptr;
  if (connection != picture_.Connection) Publish(connection);
}

bool TfmIsp::IsUnit(const hid::TJvHidDevice* device, uint16_t productId) {
  return device != nullptr && device->VendorID() == uidVendor && device->ProductID() == productId;
}

bool TfmIsp::IsEitherPersonality(const hid::TJvHidDevice* device) {
  return IsUnit(device, uidRunProduct) || IsUnit(device, uidUpdateProduct);
}

bool TfmIsp::PanelIs(std::string_view text) const {
  return sbStatus.PanelText(kPanelConnection) == text;
}

void TfmIsp::SetPanel(int panel, std::string_view text) {
  sbStatus.SetPanelText(panel, std::string(text));
}

void TfmIsp::ShowConnection(TIspConnection connection) {
  std::string_view panel = kPanelNoDevice;
  if (connection == TIspConnection::kRunMode) panel = kPanelRunHid;
  if (connection == TIspConnection::kUpdateMode) panel = kPanelUpdateHid;
  SetPanel(kPanelConnection, panel);
  TIspConnectionEvent event = picture_.Connection;
  event.Connection = connection;
  event.Panel = std::string(panel);
  if (event != picture_.Connection) Publish(event);
}

void TfmIsp::SetStep(TIspStepKind kind, std::string text, std::optional<int32_t> number) {
  sbStatus.SetSimpleText(text);
  TIspStepEvent event{kind, std::move(text), number};
  if (event != picture_.Step) Publish(event);
}

void TfmIsp::SetProgressRange(int max) {
  pbProgress.SetRange(0, max);
  SetProgress(pbProgress.Position());
}

void TfmIsp::SetProgress(int position) {
  pbProgress.SetPosition(position);
  // The bar clamps the position into its range: what it shows is told.
  const TIspProgressEvent event{pbProgress.Position(), pbProgress.Max()};
  if (event != picture_.Progress) Publish(event);
}

void TfmIsp::SetBusy(bool busy) {
  sbStatus.SetBackground(busy ? kBusyColor : toolkit::Color::ButtonFace());
  if (busy != picture_.Busy) Publish(TIspBusyEvent{busy});
}

void TfmIsp::SetMcuUpdatePending(bool pending) {
  McuUpdatePending = pending ? 1 : 0;
  if (pending != picture_.McuUpdatePending) Publish(TIspMcuUpdateEvent{pending});
}

void TfmIsp::SubscribeEvents(TIspEventObserver observer) {
  KV_ASSERT_UI_THREAD(Loop);
  observer(TIspEvent(picture_));
  eventObservers_.push_back(std::move(observer));
}

void TfmIsp::Publish(const TIspEvent& event) {
  Apply(picture_, event);
  // The controller reports its devices unplugged while the window is destroyed:
  // no front end is told of a window that is going.
  if (TearingDown) return;
  // An observer may subscribe another while it is told, which may move the list:
  // each is called through a copy, and one added now is told from the next event on.
  const size_t count = eventObservers_.size();
  for (size_t i = 0; i < count; ++i) {
    const TIspEventObserver observer = eventObservers_[i];
    observer(event);
  }
}

void TfmIsp::StartTimer(toolkit::Timer& timer, TChainTimer which) {
  ++TimerTally[static_cast<size_t>(which)].Starts;
  timer.Start();
  Publish(TIspWaitEvent{which, true});
}

void TfmIsp::StopTimer(toolkit::Timer& timer, TChainTimer which) {
  const bool wasRunning = timer.Enabled();
  timer.Stop();
  if (wasRunning) Publish(TIspWaitEvent{which, false});
}

void TfmIsp::CountFire(const toolkit::Timer& timer, TChainTimer which) {
  TTimerTally& tally = TimerTally[static_cast<size_t>(which)];
  ++tally.Fires;
  tally.Fired += std::chrono::milliseconds(timer.Interval());
}

void TfmIsp::ShowMessage(texts::TMessageId id, std::string_view text,
                         toolkit::MessageSymbol symbol) {
  Publish(TIspMessageEvent{texts::BoxId(id), std::string(text), symbol});
  MessageBoxes.Show(texts::BoxId(id), std::string(text), symbol);
}

bool TfmIsp::OpenNewLink() {
  Link = std::make_unique<TUsbCmdLink>(*this);
  return Link->Open();
}

void TfmIsp::EnsureLink() {
  // An unopened link stays in Link and ignores what it is given.
  if (!Link && OpenNewLink()) {
    ReceiveEnabled = true;
    Link->SetWaitTimeout(kCommandLinkWaitTimeout);
  }
  Link->SetPollDisabled(true);
}

// ---- Device detection ----

void TfmIsp::HidCtlDeviceChange() {
  KV_ASSERT_UI_THREAD(Loop);
  HidCtl->Enumerate();
}

bool TfmIsp::HidCtlEnumerate(hid::TJvHidDevice* HidDev, int Idx) {
  KV_ASSERT_UI_THREAD(Loop);
  const bool updateMode = IsUnit(HidDev, uidUpdateProduct);
  const bool runMode = IsUnit(HidDev, uidRunProduct);
  if (!updateMode && !runMode) return true;
  // Fails for the unit already held: a repeated enumeration changes nothing.
  hid::TJvHidDevice* claimed = nullptr;
  if (!HidCtl->CheckOutByIndex(claimed, Idx)) return true;
  SetHeldDevice(claimed);
  if (updateMode) {
    ShowConnection(TIspConnection::kUpdateMode);
    bnDspPorgram.SetEnabled(false);
    if (McuUpdatePending == 0) btnStartProgram.SetEnabled(true);
    return true;
  }
  ShowConnection(TIspConnection::kRunMode);
  if (AutoStage == asNone) {
    btnStartProgram.SetEnabled(true);
  } else if (AutoStage == asMcuUpdate) {
    // Back from the microcontroller's reset: the update goes on by itself.
    bnSecurity.SetEnabled(true);
    bnSecurity.Click();
  }
  return true;
}

void TfmIsp::HidCtlDeviceUnplug(hid::TJvHidDevice* HidDev) {
  KV_ASSERT_UI_THREAD(Loop);
  if (!IsEitherPersonality(HidDev)) return;
  SetHeldDevice(nullptr);
  if (TearingDown) return;
  hid::TJvHidDevice* device = HidDev;
  HidCtl->CheckIn(device);
  ShowConnection(TIspConnection::kNone);
  bnDspPorgram.SetEnabled(false);
  btnStartProgram.SetEnabled(false);
  CloseSession();
}

void TfmIsp::HidCtlDeviceDataError(hid::TJvHidDevice* /*HidDev*/, uint32_t Error) {
  KV_ASSERT_UI_THREAD(Loop);
  ShowMessage(texts::TMessageId::kReadError,
              std::string(texts::kReadErrorPrefix) + Platform->ErrorText(Error),
              toolkit::MessageSymbol::kInformation);
}

// ---- Commands ----

void TfmIsp::btnStartProgramClick() {
  KV_ASSERT_UI_THREAD(Loop);
  btnStartProgram.SetEnabled(false);
  StartTimer(tmAutoUpdate, TChainTimer::kAutoUpdate);
  btnVersion.Click();
}

void TfmIsp::btnVersionClick() {
  KV_ASSERT_UI_THREAD(Loop);
  if (!PanelIs(kPanelRunHid)) return;
  EnsureLink();
  SendCommand(TCmdPacket(1, cmdIdentify));
}

void TfmIsp::bnMcuProgramClick() {
  KV_ASSERT_UI_THREAD(Loop);
  // The image is prepared before the unit hears anything: a unit told to enter
  // update mode with no image to program would be left in its boot loader.
  const McuParseOutcome outcome =
      ParseMcuImage(Image, kMcuImageBound, McuImageLines, [this](const std::string& text) {
        ShowMessage(texts::TMessageId::kImageChecksumError, text, toolkit::MessageSymbol::kError);
      });
  if (!Succeeded(outcome)) {
    StopForImageError(outcome);
    return;
  }
  if (PanelIs(kPanelRunHid)) {
    EnsureLink();
    SendCommand(TCmdPacket(1, cmdIdentify));
    SendCommand(TCmdPacket(cmdEnterUpdate));
  }
  SetBusy(true);
  fmProgData.ReplaceListing(DumpImage(Image.ImageBuffer, Image.ImageByteCount, 0));
  SetProgressRange(Image.ImageByteCount / static_cast<int32_t>(kIspProgramDataBytes) + 1);
  bnMcuProgram.SetEnabled(false);
  SetMcuUpdatePending(true);
  StartTimer(tmMcuProg, TChainTimer::kMcuProg);
  btnStartProgram.SetEnabled(false);
}

void TfmIsp::StopForImageError(McuParseOutcome outcome) {
  switch (outcome) {
    case McuParseOutcome::ChecksumError:
      break;  // the parse has shown its own message
    case McuParseOutcome::NotARecord:
      ShowMessage(texts::TMessageId::kImageNotARecord, texts::kImageNotARecord,
                  toolkit::MessageSymbol::kError);
      break;
    case McuParseOutcome::BeyondBound:
      ShowMessage(texts::TMessageId::kImageBeyondBound, texts::kImageBeyondBound,
                  toolkit::MessageSymbol::kError);
      break;
    case McuParseOutcome::NoEndOfFile:
    case McuParseOutcome::Complete:
      ShowMessage(texts::TMessageId::kImageNoEndOfFile, texts::kImageNoEndOfFile,
                  toolkit::MessageSymbol::kError);
      break;
  }
  btnStartProgram.SetEnabled(true);
}

void TfmIsp::bnSecurityClick() {
  KV_ASSERT_UI_THREAD(Loop);
  if (!PanelIs(kPanelRunHid)) return;
  EnsureLink();
  SendCommand(TCmdPacket(1, cmdIdentify));
  ParamBlockIndex = 0;
  SendCommand(TCmdPacket(1, cmdReadParameter, static_cast<uint8_t>(ParamBlockIndex)));
  UpdateState = usRunCommands;
  SetBusy(true);
  SetStep(TIspStepKind::kParameterData, std::string(texts::kStepParameterData));
}

void TfmIsp::bnDspPorgramClick() {
  KV_ASSERT_UI_THREAD(Loop);
  if (HeldDevice == nullptr) return;
  if (Link) {
    Link->Close();
    Link.reset();
  }
  if (!OpenNewLink()) return;
  ReceiveEnabled = true;
  Link->SetWaitTimeout(kDspLinkWaitTimeout);
  Link->SetPollDisabled(true);
  SendCommand(TCmdPacket(1, cmdIdentify));
  UpdateState = usRunCommands;
  SetStep(TIspStepKind::kDspProgram, std::string(texts::kStepDspProgram));
  StartTimer(tmDspProgram, TChainTimer::kDspProgram);
  SetBusy(true);
  bnMcuProgram.SetEnabled(false);
  bnDspPorgram.SetEnabled(false);
}

void TfmIsp::StartIspSession() {
  KV_ASSERT_UI_THREAD(Loop);
  if (HeldDevice == nullptr) return;
  if (Link) Link->Close();
  if (!OpenNewLink()) {
    CloseSession();
    return;
  }
  Link->SetPollDisabled(true);
  RunIspStep();
}

// ---- Timers ----

void TfmIsp::tmUsbWaitTimer() {
  KV_ASSERT_UI_THREAD(Loop);
  CountFire(tmUsbWait, TChainTimer::kUsbWait);
  StopTimer(tmUsbWait, TChainTimer::kUsbWait);
  ReceiveEnabled = true;
  if (!EarlyIspReply) return;
  // The boot loader answered inside the arming delay: its reply is the one.
  const TInputReport early = *EarlyIspReply;
  EarlyIspReply.reset();
  AcceptReport(early);
}

void TfmIsp::tmWaitDisconnectTimer() {
  KV_ASSERT_UI_THREAD(Loop);
  CountFire(tmWaitDisconnect, TChainTimer::kWaitDisconnect);
  StopTimer(tmWaitDisconnect, TChainTimer::kWaitDisconnect);
  CloseSession();
}

void TfmIsp::tmWrongDisconnectTimer() {
  KV_ASSERT_UI_THREAD(Loop);
  CountFire(tmWrongDisconnect, TChainTimer::kWrongDisconnect);
  StopTimer(tmWrongDisconnect, TChainTimer::kWrongDisconnect);
  CloseSession();
  UpdateState = usVersionCheck;
}

void TfmIsp::tmMcuProgTimer() {
  KV_ASSERT_UI_THREAD(Loop);
  CountFire(tmMcuProg, TChainTimer::kMcuProg);
  if (!PanelIs(kPanelUpdateHid)) return;
  StopTimer(tmMcuProg, TChainTimer::kMcuProg);
  AutoStage = asMcuUpdate;
  UpdateState = usConnect;
  StartIspSession();
  SetBusy(true);
}

void TfmIsp::tmAutoUpdateTimer() {
  KV_ASSERT_UI_THREAD(Loop);
  CountFire(tmAutoUpdate, TChainTimer::kAutoUpdate);
  StopTimer(tmAutoUpdate, TChainTimer::kAutoUpdate);
  if (UpdateRefused != 0) {
    btnStartProgram.SetEnabled(true);
    return;
  }
  bnMcuProgram.Click();
}

void TfmIsp::tmDspProgramTimer() {
  KV_ASSERT_UI_THREAD(Loop);
  CountFire(tmDspProgram, TChainTimer::kDspProgram);
  StopTimer(tmDspProgram, TChainTimer::kDspProgram);
  SetBusy(true);
  PrepareDspImage(Image);
  fmProgData.ReplaceListing(DumpImage(Image.ImageBuffer, Image.ImageByteCount, 0));
  DspChunkIndex = 0;
  SendDspChunk(DspChunkIndex);
  DspLastChunk = DspLastChunkIndex(Image.ImageByteCount);
  Publish(TIspDspDownloadEvent{DspLastChunk});
  SetProgressRange(DspLastChunk);
  SetProgress(0);
}

void TfmIsp::tmRunStepTimer() {
  KV_ASSERT_UI_THREAD(Loop);
  CountFire(tmRunStep, TChainTimer::kRunStep);
  StopTimer(tmRunStep, TChainTimer::kRunStep);
  switch (AutoStage) {
    case asMcuUpdate:
      AutoStage = asDspDue;
      break;
    case asDspDue:
      bnDspPorgram.Click();
      AutoStage = asDspDownload;
      break;
    case asDspDownload:
      SendCommand(TCmdPacket(1, cmdKeepAlive));
      if (Link) {
        Link->SetWaitTimeout(kFinishedLinkWaitTimeout);
        Link->SetPollDisabled(false);
      }
      AutoStage = asNone;
      SetMcuUpdatePending(false);
      ShowMessage(texts::TMessageId::kProgramOk, texts::kProgramOk,
                  toolkit::MessageSymbol::kInformation);
      SendCommand(TCmdPacket(1, cmdCode04));
      break;
    default:
      break;
  }
}

}  // namespace kv
