// --trace: the run recorded so that --replay can play it again, on any machine.
// One line per event, stamped with the seconds since the start; the README
// ("The trace") tells the format and its version. The tool's own writer: the
// replay reads it with a reader of its own (sim/recording.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "app/cli/unit_choice.h"
#include "app/isp.h"
#include "app/isp_events.h"
#include "hid/hid_platform.h"
#include "toolkit/event_loop.h"
#include "toolkit/thread_annotations.h"

namespace kv::cli {

// Raise it with every change of what a line means; a replay refuses other versions.
inline constexpr int kTraceFormatVersion = 1;

struct TTraceHeader {
  std::string ToolVersion;
  std::optional<uint32_t> McuCrc32;
  std::optional<uint32_t> DspCrc32;
  std::string System;                    // "linux" or "windows": whose error codes the trace speaks
  std::string Bus;                       // "hidraw", "hid", "simulated", "replay"
  int Pace = 1;                          // the tool's timing was divided by this
  std::optional<double> TimeoutSeconds;  // --timeout, when given
};

// Any thread: every line is written whole, in the order the calls come.
class TTraceRecorder {
 public:
  // Called once, on the thread whose write failed, with the system's reason.
  using FailureHandler = std::function<void(const std::string& reason)>;

  TTraceRecorder(std::FILE* file, toolkit::Clock::time_point start);
  ~TTraceRecorder();
  TTraceRecorder(const TTraceRecorder&) = delete;
  TTraceRecorder& operator=(const TTraceRecorder&) = delete;

  void SetFailureHandler(FailureHandler handler);
  // False when the file could not be written.
  bool Header(const TTraceHeader& header);
  void Traffic(const TTrafficRecord& record);
  void Arrival(const hid::HidInterfaceInfo& info, const hid::HidAttributes& attributes,
               const hid::HidCaps& caps);
  void Removal(const hid::HidInterfaceInfo& info, const hid::HidAttributes& attributes);
  void ReadError(uint32_t error, const std::string& text);
  void Wait(TChainTimer timer);
  void Message(const std::string& name, const std::string& text);
  void Step(const std::string& text);
  void End(int code, const std::string& name);
  // The first failure's reason, once a write has failed.
  std::optional<std::string> Failure() const;

 private:
  // A line stamped with the seconds since the start.
  bool WriteLine(const std::string& body);
  // The first failure closes the file and is told once.
  bool Put(const std::string& text);

  mutable Mutex mutex_;
  std::FILE* file_ KV_GUARDED_BY(mutex_);
  const toolkit::Clock::time_point start_;
  std::optional<std::string> failure_ KV_GUARDED_BY(mutex_);
  FailureHandler onFailure_ KV_GUARDED_BY(mutex_);
};

// The platform the main window uses, with the unit's arrivals and removals as
// the tool sees them in its scans, and its failed reads, written to a recorder.
class TRecordingPlatform final : public TPlatformView {
 public:
  TRecordingPlatform(std::shared_ptr<hid::HidPlatform> inner,
                     std::shared_ptr<TTraceRecorder> recorder);

  std::vector<hid::HidInterfaceInfo> EnumerateInterfaces() override;
  std::unique_ptr<hid::HidHandle> Open(const std::string& path, hid::HidAccess access,
                                       bool forReading, uint32_t& error) override;

 private:
  struct TSeen {
    hid::HidInterfaceInfo Info;
    hid::HidAttributes Attributes;
    bool IsUnit = false;
  };
  TSeen Identify(const hid::HidInterfaceInfo& info);

  std::shared_ptr<TTraceRecorder> recorder_;
  Mutex mutex_;
  std::map<std::string, TSeen> seen_ KV_GUARDED_BY(mutex_);  // by path and instance
};

}  // namespace kv::cli
