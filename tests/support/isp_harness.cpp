#include "isp_harness.h"

#include <algorithm>
#include <cstdio>

#include "engine/isp_report.h"
#include "sim/device_frame.h"

namespace kv::test {

sim::SimOptions WithFaults(sim::SimOptions options, const std::vector<std::string>& faults) {
  for (const std::string& text : faults) {
    sim::SimFault fault;
    std::string error;
    EXPECT_TRUE(sim::ParseSimFault(text, fault, error)) << error;
    options.faults.push_back(fault);
  }
  return options;
}

std::vector<std::string> SmallImageRecords(size_t bytes) {
  constexpr size_t kRecordBytes = 16;
  std::vector<std::string> records;
  for (size_t offset = 0; offset < bytes; offset += kRecordBytes) {
    std::vector<uint8_t> data;
    for (size_t i = offset; i < std::min(bytes, offset + kRecordBytes); ++i) {
      data.push_back(static_cast<uint8_t>(i * 7 + 3));
    }
    records.push_back(DataRecord(static_cast<uint16_t>(offset), data));
  }
  records.emplace_back(kEndOfFileRecord);
  return records;
}

IspHarness::IspHarness(sim::SimOptions options, TIspTiming timing,
                       toolkit::Clock::duration boxCloseAfter) {
  TIspApplicationOptions built;
  built.Simulate = true;
  built.Sim = std::move(options);
  built.Timing = timing;
  built.CreateMessageBoxes = [this, boxCloseAfter](toolkit::EventLoop& loop) {
    auto boxes = std::make_unique<toolkit::ScriptedMessageBoxes>(loop, boxCloseAfter);
    boxes_ = boxes.get();
    return boxes;
  };
  built.ExceptionBox = [this](const std::string& text) { exceptions.push_back(text); };
  built.TrafficObserver = [this](const TTrafficRecord& record) {
    // The lines the traffic window shows: none for a dropped report.
    if (record.Direction == TTrafficDirection::kDropped) {
      ++droppedReports;
    } else {
      traffic.push_back(record.Line);
    }
  };
  application_ = std::make_unique<TIspApplication>(std::move(built));
}

IspHarness::~IspHarness() {
  application_.reset();
}

bool IspHarness::RunUntil(const std::function<bool()>& done, toolkit::Clock::duration limit) {
  return Loop().RunUntil(done, limit);
}

void IspHarness::RunFor(toolkit::Clock::duration span) {
  Loop().RunUntil([] { return false; }, span);
}

bool IspHarness::WaitUntilReady() {
  return RunUntil(
      [this] { return Isp().HeldDevice != nullptr && Isp().btnStartProgram.Enabled(); });
}

void IspHarness::ClickStartProgram() {
  Loop().Post([this] { Isp().btnStartProgram.UserClick(); });
}

bool IspHarness::WaitForBox(std::string_view text, toolkit::Clock::duration limit) {
  return RunUntil(
      [this, text] {
        const auto& shown = boxes_->Boxes();
        return std::any_of(shown.begin(), shown.end(),
                           [text](const auto& box) { return box.text == text; });
      },
      limit);
}

bool IspHarness::WaitForRunCommand(uint8_t code, uint32_t count, size_t unit) {
  return RunUntil([this, code, count, unit] { return RunCommandCount(code, unit) >= count; });
}

std::vector<std::string> IspHarness::BoxTexts() const {
  std::vector<std::string> texts;
  for (const auto& box : boxes_->Boxes()) texts.push_back(box.text);
  return texts;
}

uint32_t IspHarness::RunCommandCount(uint8_t code, size_t unit) {
  const std::vector<uint8_t> codes = RunCommandCodes(unit);
  return static_cast<uint32_t>(std::count(codes.begin(), codes.end(), code));
}

uint32_t IspHarness::BootRequestCount(size_t unit) {
  return static_cast<uint32_t>(BootRequests(unit).size());
}

std::vector<BootRequest> IspHarness::BootRequests(size_t unit) {
  std::vector<BootRequest> requests;
  for (const sim::ReceivedReport& report : Setup().Unit(unit).ReceivedReports()) {
    if (report.personality != sim::Personality::kUpdate || report.bytes.size() < 9) continue;
    const std::span<const uint8_t> data(report.bytes.data() + 1, report.bytes.size() - 1);
    requests.push_back({data[0], ReadLe32(data, kIspPacketNumberOffset).value_or(0)});
  }
  return requests;
}

std::vector<uint8_t> IspHarness::RunCommandCodes(size_t unit) {
  std::vector<uint8_t> codes;
  for (const sim::ReceivedReport& report : Setup().Unit(unit).ReceivedReports()) {
    if (report.personality != sim::Personality::kRun || report.bytes.size() < 2) continue;
    const sim::HostFrame frame =
        sim::ReadHostFrame(report.bytes.data() + 1, report.bytes.size() - 1);
    if (frame.status == sim::HostFrameStatus::kValid) codes.push_back(frame.code);
  }
  return codes;
}

}  // namespace kv::test
