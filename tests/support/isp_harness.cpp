#include "isp_harness.h"

#include <algorithm>
#include <cstdio>

#include "engine/isp_report.h"
#include "sim/device_frame.h"

namespace kv::test {

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
                       toolkit::Clock::duration boxCloseAfter)
    : loop_(toolkit::CreatePortableEventLoop()),
      bus_(std::make_shared<hid::SimulatedHidBus>()),
      setup_(std::make_unique<sim::SimulatedSetup>(*bus_, options)),
      boxes_(*loop_, boxCloseAfter) {
  loop_->SetExceptionBox([this](const std::string& text) { exceptions.push_back(text); });
  isp_ = std::make_unique<TfmIsp>(*loop_, boxes_, bus_, hid_data_, prog_data_, timing,
                                  [this](const TTrafficRecord& record) {
                                    // The lines the traffic window shows: none for a dropped
                                    // report.
                                    if (record.Direction != TTrafficDirection::kDropped) {
                                      traffic.push_back(record.Line);
                                    }
                                  });
  diag::CentreOn(hid_data_, *isp_);
  diag::CentreOn(prog_data_, *isp_);
}

IspHarness::~IspHarness() {
  isp_.reset();
  setup_.reset();
}

bool IspHarness::RunUntil(const std::function<bool()>& done, toolkit::Clock::duration limit) {
  return loop_->RunUntil(done, limit);
}

void IspHarness::RunFor(toolkit::Clock::duration span) {
  loop_->RunUntil([] { return false; }, span);
}

bool IspHarness::WaitUntilReady() {
  return RunUntil(
      [this] { return isp_->HeldDevice != nullptr && isp_->btnStartProgram.Enabled(); });
}

void IspHarness::ClickStartProgram() {
  loop_->Post([this] { isp_->btnStartProgram.UserClick(); });
}

bool IspHarness::WaitForBox(std::string_view text, toolkit::Clock::duration limit) {
  return RunUntil(
      [this, text] {
        const auto& shown = boxes_.Boxes();
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
  for (const auto& box : boxes_.Boxes()) texts.push_back(box.text);
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
  for (const sim::ReceivedReport& report : setup_->Unit(unit).ReceivedReports()) {
    if (report.personality != sim::Personality::kUpdate || report.bytes.size() < 9) continue;
    const std::span<const uint8_t> data(report.bytes.data() + 1, report.bytes.size() - 1);
    requests.push_back({data[0], ReadLe32(data, kIspPacketNumberOffset).value_or(0)});
  }
  return requests;
}

std::vector<uint8_t> IspHarness::RunCommandCodes(size_t unit) {
  std::vector<uint8_t> codes;
  for (const sim::ReceivedReport& report : setup_->Unit(unit).ReceivedReports()) {
    if (report.personality != sim::Personality::kRun || report.bytes.size() < 2) continue;
    const sim::HostFrame frame =
        sim::ReadHostFrame(report.bytes.data() + 1, report.bytes.size() - 1);
    if (frame.status == sim::HostFrameStatus::kValid) codes.push_back(frame.code);
  }
  return codes;
}

}  // namespace kv::test
