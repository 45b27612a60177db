// The two operations every report passes through: WriteReport puts a command on
// the wire (link worker), HidCtlDeviceData takes an input report, decides how
// many of its bytes form the message and hands them to the link (UI thread).
// Both produce the traffic records of the HID traffic window and its observer.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "app/isp.h"

namespace kv {

namespace {

TTrafficRecord MakeRecord(TTrafficDirection direction, uint8_t reportId,
                          std::span<const uint8_t> bytes, std::string line) {
  TTrafficRecord record;
  record.Direction = direction;
  record.Time = toolkit::Clock::now();
  record.ReportId = reportId;
  record.Bytes.assign(bytes.begin(), bytes.end());
  record.Line = std::move(line);
  return record;
}

TTrafficRecord MakeRecord(TTrafficDirection direction, uint8_t reportId,
                          std::span<const uint8_t> bytes) {
  return MakeRecord(direction, reportId, bytes, TrafficLine(direction, reportId, bytes));
}

}  // namespace

void TfmIsp::WriteReport(const uint8_t* data, int count) {
  const size_t dataBytes = data == nullptr ? 0 : static_cast<size_t>(std::max(count, 0));
  // Handed over before the write: the reply cannot be read before it.
  HandOverWritten(MakeRecord(TTrafficDirection::kWritten, 0, {data, dataBytes}));
  bool written = false;
  {
    MutexLock lock(HeldDeviceLock);
    // Exactly the declared length, report ID included: zero past the data, data
    // beyond it not sent.
    const size_t reportBytes =
        HeldDevice == nullptr ? 0 : HeldDevice->GetCaps().OutputReportByteLength;
    if (reportBytes > 0) {
      std::vector<uint8_t> report(reportBytes, 0);
      std::copy_n(data, std::min(dataBytes, reportBytes - 1), report.begin() + 1);
      ReportsWrittenCount.fetch_add(1);
      size_t count = 0;
      written = HeldDevice->WriteFile(report.data(), report.size(), count);
    }
  }
  SettleWritten(written);
}

void TfmIsp::HandOverWritten(TTrafficRecord record) {
  MutexLock lock(writtenLock_);
  written_.push_back({std::move(record), false});
}

void TfmIsp::SettleWritten(bool written) {
  {
    MutexLock lock(writtenLock_);
    // The worker hands over one record at a time; a reply may have listed it already.
    if (!written_.empty() && !written_.back().Settled) {
      written_.back().Settled = true;
      written_.back().Record.WriteFailed = !written;
    }
  }
  weakSelf_.Post(Loop, [](TfmIsp& isp) { isp.ListWritten(); });
}

void TfmIsp::ListWritten(bool all) {
  std::deque<TTrafficRecord> records;
  {
    MutexLock lock(writtenLock_);
    while (!written_.empty() && (all || written_.front().Settled)) {
      records.push_back(std::move(written_.front().Record));
      written_.pop_front();
    }
  }
  for (const TTrafficRecord& record : records) AddTraffic(record);
}

void TfmIsp::ListRead(const TTrafficRecord& record) {
  // The reply came after its request's write: that write went out.
  ListWritten(true);
  AddTraffic(record);
}

void TfmIsp::AddTraffic(const TTrafficRecord& record) {
  if (TrafficObserver) TrafficObserver(record);
  if (record.Direction != TTrafficDirection::kDropped) fmHidData.AddTrafficLine(record.Line);
}

void TfmIsp::NoteDroppedReport(const TInputReport& report) {
  // Only observers hear of it: the traffic window shows no line for a dropped report.
  if (!TrafficObserver) return;
  const TInputMessage message = MessageOfReport(report.Data);
  const size_t count = message.Oversized ? report.Data.size() : message.Bytes;
  ListWritten();
  TrafficObserver(MakeRecord(TTrafficDirection::kDropped, report.ReportId,
                             std::span<const uint8_t>(report.Data.data(), count)));
}

void TfmIsp::HidCtlDeviceData(hid::TJvHidDevice* /*HidDev*/, uint8_t ReportID, const uint8_t* Data,
                              uint16_t Size) {
  KV_ASSERT_UI_THREAD(Loop);
  const TInputReport report{ReportID, InputReportData(Data, Size), Size};
  if (!ReceiveEnabled) {
    const std::optional<TInputReport> displaced = EarlyIspReply;
    if (!KeepEarlyIspReply(report)) {
      NoteDroppedReport(report);
    } else if (displaced) {
      NoteDroppedReport(*displaced);
    }
    return;
  }
  AcceptReport(report);
}

bool TfmIsp::KeepEarlyIspReply(const TInputReport& report) {
  // Only a report that came after the step's request was written, while its
  // arming is still pending; anything else is stale or unrequested.
  if (!AwaitsIspReply(UpdateState) || !tmUsbWait.Enabled()) return false;
  if (ReportsWrittenCount.load() <= IspRequestMark) return false;
  // The first such report is kept, unless a later one echoes this request and the
  // kept one does not: a stray report, or a repeat of the previous step's reply
  // read late, must not stand in for the reply that follows it.
  if (EarlyIspReply &&
      (EchoesRequest(EarlyIspReply->Data, RequestSum) || !EchoesRequest(report.Data, RequestSum))) {
    return false;
  }
  EarlyIspReply = report;
  return true;
}

void TfmIsp::AcceptReport(const TInputReport& report) {
  const TInputMessage message = MessageOfReport(report.Data);
  if (message.Oversized) {
    // The frame claims more than one report holds: nothing of it is passed on.
    ListRead(MakeRecord(TTrafficDirection::kRead, report.ReportId, report.Data,
                        TrafficLine(TTrafficDirection::kRead, report.ReportId, report.Data) +
                            OversizedFrameNote(message.ClaimedLength)));
    return;
  }
  // One report per arming while a boot-loader step is outstanding.
  if (UpdateState >= usConnect) ReceiveEnabled = false;
  const std::span<const uint8_t> bytes(report.Data.data(), message.Bytes);
  TTrafficRecord record = MakeRecord(TTrafficDirection::kRead, report.ReportId, bytes);
  if (AwaitsIspReply(UpdateState) && !IsDeviceFrame(report.Data) &&
      report.Received < IspReplyBytesNeeded(UpdateState)) {
    // A HID read delivers the whole report the device sent, so a short one is
    // the unit's answer to this request, cut: the step's wrong reply. Waiting
    // for another would wait for one that never comes (the boot loader answers
    // once), and its fields are not there to be read. The link still takes it
    // as the answer to its request, so that it is not left waiting for one.
    IspReplyCut = true;
    record = MakeRecord(TTrafficDirection::kRead, report.ReportId,
                        std::span<const uint8_t>(report.Data.data(),
                                                 std::min(report.Received, report.Data.size())));
  }
  if (Link) Link->Receive(bytes.data(), static_cast<int>(bytes.size()));
  ListRead(record);
}

}  // namespace kv
