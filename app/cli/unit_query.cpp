#include "app/cli/unit_query.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/json_text.h"
#include "app/cli/unit_choice.h"
#include "app/isp.h"
#include "engine/engine_texts.h"
#include "engine/unit_check.h"
#include "hid/sim_bus.h"
#include "link/lcmd.h"
#include "sim/simulated_setup.h"

namespace kv::cli {

namespace {

// One read waits at most this long before the deadline is looked at again.
constexpr std::chrono::milliseconds kReadSlice{50};
// The first data bytes of a frame the unit sends: DLE STX, sender 01, receiver 00.
constexpr uint8_t kDeviceFrameSender = 0x01;
constexpr size_t kFrameLengthIndex = 4;

struct TAnswer {
  std::optional<TCmdPacket> Packet;
  std::string Problem;  // why there is none
};

// A write handle and a read handle on the unit, as the controller opens it.
class TUnitLine {
 public:
  TUnitLine(std::unique_ptr<hid::HidHandle> writer, std::unique_ptr<hid::HidHandle> reader)
      : writer_(std::move(writer)), reader_(std::move(reader)) {
    writer_->GetCaps(caps_);
  }

  // Sends one framed command and waits for the frame that answers it.
  TAnswer Ask(uint8_t code) {
    const ByteBuffer frame = BuildFrame(TCmdPacket(code), pkFramed);
    std::vector<uint8_t> report(std::max<size_t>(caps_.OutputReportByteLength, 1), 0);
    std::copy_n(frame.begin(), std::min(frame.size(), report.size() - 1), report.begin() + 1);
    size_t written = 0;
    if (!writer_->Write(report.data(), report.size(), written)) {
      return {std::nullopt, "the command could not be written"};
    }
    const auto deadline = std::chrono::steady_clock::now() + kUnitAnswerLimit;
    std::vector<uint8_t> input(std::max<size_t>(caps_.InputReportByteLength, 1 + kReportDataBytes));
    while (std::chrono::steady_clock::now() < deadline) {
      size_t transferred = 0;
      uint32_t error = 0;
      const hid::HidReadStatus status =
          reader_->Read(input.data(), input.size(), kReadSlice, transferred, error);
      if (status == hid::HidReadStatus::kFailed || status == hid::HidReadStatus::kCancelled) {
        return {std::nullopt, "the read failed (system error " + std::to_string(error) + ")"};
      }
      if (status != hid::HidReadStatus::kCompleted || transferred < 1 + kFrameOverheadBytes)
        continue;
      const uint8_t* data = input.data() + 1;  // after the report ID
      const size_t dataBytes = transferred - 1;
      if (data[0] != frDle || data[1] != frStx || data[2] != kDeviceFrameSender) continue;
      const size_t frameBytes = data[kFrameLengthIndex] + kFrameOverheadBytes;
      if (frameBytes > dataBytes) continue;  // claims more than the report holds
      TCmdPacket answer = ParseResponse(data, frameBytes);
      if (answer.Code == code) return {std::move(answer), {}};
    }
    return {std::nullopt, "no answer within " +
                              std::to_string(std::chrono::seconds(kUnitAnswerLimit).count()) +
                              " s"};
  }

 private:
  std::unique_ptr<hid::HidHandle> writer_;
  std::unique_ptr<hid::HidHandle> reader_;
  hid::HidCaps caps_;
};

std::string Printable(const ByteBuffer& bytes) {
  std::string text;
  for (uint8_t byte : bytes) text += (byte < 0x20 || byte >= 0x7F) ? '?' : static_cast<char>(byte);
  return text;
}

// The check's objects carry their time as every object of --json does.
class TCheckOutput {
 public:
  TCheckOutput(std::ostream& out, bool json)
      : out_(out), json_(json), start_(std::chrono::steady_clock::now()) {}

  TJsonObject Event(std::string_view name) const {
    TJsonObject object;
    object
        .AddSeconds(
            "time",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count())
        .Add("event", name);
    return object;
  }

  void Say(const TJsonObject& object, const std::string& plain) {
    out_ << (json_ ? object.Text() : plain) << '\n';
    out_.flush();
  }

  // A check changes nothing: its results say what an update would do.
  TExitCode End(TExitCode code, const std::string& reason) {
    const char* result = ExitCodeName(code);
    if (code == TExitCode::kUpdated) result = "would-update";
    if (code == TExitCode::kRefused) result = "would-refuse";
    TJsonObject object = Event("end");
    object.Add("exit_code", ToInt(code)).Add("result", result).Add("reason", reason);
    Say(object, reason);
    return code;
  }

 private:
  std::ostream& out_;
  const bool json_;
  const std::chrono::steady_clock::time_point start_;
};

}  // namespace

TExitCode CheckUnit(const TCliOptions& options, std::ostream& out, std::ostream& err) {
  std::shared_ptr<hid::HidPlatform> platform;
  std::shared_ptr<hid::SimulatedHidBus> bus;
  std::unique_ptr<sim::SimulatedSetup> setup;
  if (options.Simulate) {
    bus = std::make_shared<hid::SimulatedHidBus>(hid::kHostSimVocabulary);
    setup = std::make_unique<sim::SimulatedSetup>(*bus, options.Sim);
    platform = bus;
  } else {
    platform = hid::CreateSystemHidPlatform();
  }
  if (!platform || !platform->Available()) {
    err << "kv93t-update: HID access is not available on this system\n";
    return TExitCode::kFailed;
  }
  return CheckUnitOn(*platform, options, out);
}

TExitCode CheckUnitOn(hid::HidPlatform& platform, const TCliOptions& options, std::ostream& out) {
  TCheckOutput output(out, options.Json);
  std::vector<TSeenInterface> units;
  for (TSeenInterface& seen : SurveyInterfaces(platform)) {
    if (seen.IsUnit() && (options.DevicePath.empty() || seen.Path == options.DevicePath)) {
      units.push_back(std::move(seen));
    }
  }
  if (units.empty()) return output.End(TExitCode::kNoProgress, "no unit found");
  if (units.size() > 1) {
    for (const TSeenInterface& unit : units) out << "  " << unit.Path << '\n';
    return output.End(TExitCode::kUsage, "several units are attached; choose one with --path");
  }
  const TSeenInterface& unit = units.front();
  if (std::string_view(unit.Personality()) == "update") {
    // The boot loader has no type or version to tell; the window programs it.
    return output.End(TExitCode::kUpdated,
                      unit.Path +
                          ": the unit is in update mode (its boot loader runs); this tool would "
                          "program it");
  }
  uint32_t error = 0;
  std::unique_ptr<hid::HidHandle> writer =
      platform.Open(unit.Path, hid::HidAccess::kReadWrite, false, error);
  std::unique_ptr<hid::HidHandle> reader =
      writer ? platform.Open(unit.Path, hid::HidAccess::kReadWrite, true, error) : nullptr;
  if (!writer || !reader) {
    return output.End(TExitCode::kFailed,
                      unit.Path + " cannot be opened: " + platform.ErrorText(error));
  }
  TUnitLine line(std::move(writer), std::move(reader));
  const TAnswer identify = line.Ask(cmdIdentify);
  if (!identify.Packet || identify.Packet->Payload.empty()) {
    return output.End(TExitCode::kNoProgress,
                      "the unit did not tell its type: " +
                          (identify.Packet ? std::string("empty answer") : identify.Problem));
  }
  const uint8_t unitType = identify.Packet->Payload[0];
  const TAnswer version = line.Ask(cmdVersionText);
  if (!version.Packet) {
    return output.End(TExitCode::kNoProgress,
                      "the unit did not tell its version: " + version.Problem);
  }
  const std::string text(version.Packet->Payload.begin(), version.Packet->Payload.end());
  char typeText[8];
  std::snprintf(typeText, sizeof typeText, "0x%02X", unitType);
  TJsonObject object = output.Event("unit");
  object.Add("path", unit.Path)
      .Add("unit_type", int64_t{unitType})
      .Add("version_text", text)
      .Add("version", int64_t{VersionNumberOf(text)});
  output.Say(object, unit.Path + ": unit type " + typeText + ", version text \"" +
                         Printable(version.Packet->Payload) + "\"");
  if (unitType != uaUnitTypeKv93t) {
    return output.End(TExitCode::kRefused,
                      "this tool would refuse it: \"" + std::string(texts::kWrongUnitType) + "\"");
  }
  switch (CheckVersionText(text)) {
    case TUnitVerdict::kAccepted:
      return output.End(TExitCode::kUpdated, "this tool would update it");
    case TUnitVerdict::kWrongModel:
      return output.End(TExitCode::kRefused, "this tool would refuse it: \"" +
                                                 std::string(texts::kWrongUnitType) + "\"");
    case TUnitVerdict::kTooOld:
      return output.End(TExitCode::kRefused, "this tool would refuse it: \"" +
                                                 std::string(texts::kTooOldVersion) + "\"");
    case TUnitVerdict::kTooNew:
      return output.End(TExitCode::kRefused, "this tool would refuse it: \"" +
                                                 std::string(texts::kTooNewVersion) + "\"");
  }
  return TExitCode::kFailed;
}

}  // namespace kv::cli
