#include "app/cli/trace_recorder.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "app/cli/tool_modes.h"
#include "hid/kv93t_usb_ids.h"

namespace kv::cli {

namespace {

// Ends the W line of a report the device did not take (README: the trace).
constexpr const char* kWriteFailedMark = "(write failed)";

// Free text in double quotes, so that blanks at either end survive editors and mail.
std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        quoted += c;
        break;
    }
  }
  return quoted + "\"";
}

std::string IdsText(const hid::HidAttributes& attributes) {
  return HexText(attributes.VendorID, 4) + ":" + HexText(attributes.ProductID, 4);
}

std::string PlaceText(const hid::HidInterfaceInfo& info) {
  return " port=" + Quoted(info.port) + " node=" + Quoted(info.path);
}

const char* TimerName(TChainTimer timer) {
  switch (timer) {
    case TChainTimer::kUsbWait:
      return "usb-wait";
    case TChainTimer::kWaitDisconnect:
      return "wait-disconnect";
    case TChainTimer::kDspProgram:
      return "dsp-program";
    case TChainTimer::kMcuProg:
      return "mcu-prog";
    case TChainTimer::kRunStep:
      return "run-step";
    case TChainTimer::kWrongDisconnect:
      return "wrong-disconnect";
    case TChainTimer::kAutoUpdate:
      return "auto-update";
  }
  return "timer";
}

// A reading handle whose failed reads go to the recorder.
class TRecordingHandle final : public hid::HidHandle {
 public:
  TRecordingHandle(std::unique_ptr<hid::HidHandle> inner,
                   std::shared_ptr<hid::HidPlatform> platform,
                   std::shared_ptr<TTraceRecorder> recorder)
      : inner_(std::move(inner)), platform_(std::move(platform)), recorder_(std::move(recorder)) {}

  bool GetAttributes(hid::HidAttributes& attributes) override {
    return inner_->GetAttributes(attributes);
  }
  bool GetCaps(hid::HidCaps& caps) override { return inner_->GetCaps(caps); }
  bool Write(const uint8_t* data, size_t count, size_t& written) override {
    return inner_->Write(data, count, written);
  }
  hid::HidReadStatus Read(uint8_t* buffer, size_t capacity, std::chrono::milliseconds slice,
                          size_t& transferred, uint32_t& error) override {
    const hid::HidReadStatus status = inner_->Read(buffer, capacity, slice, transferred, error);
    if (status == hid::HidReadStatus::kFailed) {
      recorder_->ReadError(error, platform_->ErrorText(error));
    }
    return status;
  }
  void CancelRead() override { inner_->CancelRead(); }
  bool CancelWakesReader() const override { return inner_->CancelWakesReader(); }

 private:
  std::unique_ptr<hid::HidHandle> inner_;
  std::shared_ptr<hid::HidPlatform> platform_;
  std::shared_ptr<TTraceRecorder> recorder_;
};

}  // namespace

TTraceRecorder::TTraceRecorder(std::FILE* file, toolkit::Clock::time_point start)
    : file_(file), start_(start) {}

TTraceRecorder::~TTraceRecorder() {
  MutexLock lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
}

void TTraceRecorder::SetFailureHandler(FailureHandler handler) {
  MutexLock lock(mutex_);
  onFailure_ = std::move(handler);
}

bool TTraceRecorder::Header(const TTraceHeader& header) {
  std::string text = "# kv93t-update recording " + std::to_string(kTraceFormatVersion) + "\n" +
                     "# tool " + header.ToolVersion + "\n";
  if (header.McuCrc32 && header.DspCrc32) {
    text += "# images mcu-crc32=" + HexText(*header.McuCrc32, 8) +
            " dsp-crc32=" + HexText(*header.DspCrc32, 8) + "\n";
  }
  text += "# platform " + header.System + " " + header.Bus + "\n" + "# pace " +
          std::to_string(header.Pace) + "\n";
  if (header.TimeoutSeconds) {
    char timeout[48];
    std::snprintf(timeout, sizeof timeout, "# timeout %g\n", *header.TimeoutSeconds);
    text += timeout;
  }
  return Put(text);
}

void TTraceRecorder::Traffic(const TTrafficRecord& record) {
  WriteLine(record.Line + (record.WriteFailed ? kWriteFailedMark : ""));
}

void TTraceRecorder::Arrival(const hid::HidInterfaceInfo& info,
                             const hid::HidAttributes& attributes, const hid::HidCaps& caps) {
  WriteLine("+ " + IdsText(attributes) + " in=" + std::to_string(caps.InputReportByteLength) +
            " out=" + std::to_string(caps.OutputReportByteLength) + PlaceText(info));
}

void TTraceRecorder::Removal(const hid::HidInterfaceInfo& info,
                             const hid::HidAttributes& attributes) {
  WriteLine("- " + IdsText(attributes) + PlaceText(info));
}

void TTraceRecorder::ReadError(uint32_t error, const std::string& text) {
  WriteLine("E " + std::to_string(error) + " " + Quoted(text));
}

void TTraceRecorder::Wait(TChainTimer timer) {
  WriteLine(std::string("P ") + TimerName(timer));
}

void TTraceRecorder::Message(const std::string& name, const std::string& text) {
  WriteLine("M " + name + " " + Quoted(text));
}

void TTraceRecorder::Step(const std::string& text) {
  WriteLine("S " + Quoted(text));
}

void TTraceRecorder::End(int code, const std::string& name) {
  WriteLine("X " + std::to_string(code) + " " + name);
}

std::optional<std::string> TTraceRecorder::Failure() const {
  MutexLock lock(mutex_);
  return failure_;
}

bool TTraceRecorder::WriteLine(const std::string& body) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%.3f ",
                std::chrono::duration<double>(toolkit::Clock::now() - start_).count());
  return Put(stamp + body + "\n");
}

bool TTraceRecorder::Put(const std::string& text) {
  FailureHandler handler;
  std::string reason;
  {
    MutexLock lock(mutex_);
    if (file_ == nullptr) return false;
    errno = 0;
    if (std::fputs(text.c_str(), file_) >= 0 && std::fflush(file_) == 0) return true;
    // The update goes on to its end (stopping mid-flash would hurt the unit);
    // the run then ends with a failure that names the reason.
    failure_ = std::strerror(errno != 0 ? errno : EIO);
    reason = *failure_;
    std::fclose(file_);
    file_ = nullptr;
    handler = onFailure_;
  }
  if (handler) handler(reason);
  return false;
}

TRecordingPlatform::TRecordingPlatform(std::shared_ptr<hid::HidPlatform> inner,
                                       std::shared_ptr<TTraceRecorder> recorder)
    : TPlatformView(std::move(inner)), recorder_(std::move(recorder)) {}

std::vector<hid::HidInterfaceInfo> TRecordingPlatform::EnumerateInterfaces() {
  std::vector<hid::HidInterfaceInfo> listed = Inner()->EnumerateInterfaces();
  // A node name comes back for the unit's other personality (hidraw0 again):
  // the instance tells the two apart.
  const auto key = [](const hid::HidInterfaceInfo& info) {
    return info.path + '\n' + info.instance_id;
  };
  MutexLock lock(mutex_);
  std::map<std::string, TSeen> now;
  for (const hid::HidInterfaceInfo& info : listed) {
    const auto known = seen_.find(key(info));
    if (known != seen_.end()) now.emplace(key(info), known->second);
  }
  // Removals first: an arrival may take the node that a removal gave up.
  for (const auto& [seenKey, gone] : seen_) {
    if (gone.IsUnit && !now.contains(seenKey)) recorder_->Removal(gone.Info, gone.Attributes);
  }
  for (const hid::HidInterfaceInfo& info : listed) {
    if (!now.contains(key(info))) now.emplace(key(info), Identify(info));
  }
  seen_ = std::move(now);
  return listed;
}

TRecordingPlatform::TSeen TRecordingPlatform::Identify(const hid::HidInterfaceInfo& info) {
  TSeen seen{info, {}, false};
  uint32_t error = 0;
  // Only the unit's interfaces are recorded: a replay needs nothing else, and
  // the other devices of the user's machine are none of the trace's business.
  std::unique_ptr<hid::HidHandle> handle =
      Inner()->Open(info.path, hid::HidAccess::kNone, false, error);
  if (!handle || !handle->GetAttributes(seen.Attributes)) return seen;
  seen.IsUnit = hid::PersonalityOf(seen.Attributes) != hid::Kv93tPersonality::kNone;
  if (!seen.IsUnit) return seen;
  hid::HidCaps caps;
  if (!handle->GetCaps(caps)) caps = {};
  recorder_->Arrival(info, seen.Attributes, caps);
  return seen;
}

std::unique_ptr<hid::HidHandle> TRecordingPlatform::Open(const std::string& path,
                                                         hid::HidAccess access, bool forReading,
                                                         uint32_t& error) {
  std::unique_ptr<hid::HidHandle> handle = Inner()->Open(path, access, forReading, error);
  if (!handle || !forReading) return handle;
  return std::make_unique<TRecordingHandle>(std::move(handle), Inner(), recorder_);
}

}  // namespace kv::cli
