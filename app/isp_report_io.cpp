// The two operations every report passes through: WriteReport puts a command on
// the wire (link worker), HidCtlDeviceData takes an input report, decides how
// many of its bytes form the message and hands them to the link (UI thread).
// Both produce the traffic lines of the HID traffic window.
#include <algorithm>
#include <string>
#include <vector>

#include "app/isp.h"

namespace kv {

namespace {

// The first four data bytes of a frame the unit sends: DLE STX, sender 01, receiver 00.
enum TDeviceFrameStart : uint8_t {
  dfDle = frDle,
  dfStx = frStx,
  dfSender = 0x01,
  dfReceiver = frHostAddress,
};
constexpr size_t kIspEchoOffset = 0;  // a boot-loader reply's checksum echo

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHexByte(std::string& line, uint8_t byte) {
  line += kHexDigits[byte >> 4];
  line += kHexDigits[byte & 0x0F];
}

// "W %02X  " or "R %02X  " with the report ID, then "%02X " per byte.
std::string TrafficLine(char direction, uint8_t reportId, const uint8_t* bytes, size_t count) {
  std::string line;
  line.reserve(5 + 3 * count);
  line += direction;
  line += ' ';
  AppendHexByte(line, reportId);
  line += "  ";
  for (size_t i = 0; i < count; ++i) {
    AppendHexByte(line, bytes[i]);
    line += ' ';
  }
  return line;
}

bool IsDeviceFrame(const std::array<uint8_t, kIspReportBytes>& data) {
  return data[0] == dfDle && data[1] == dfStx && data[2] == dfSender && data[3] == dfReceiver;
}

// How many of the report's bytes form the message: a device frame's length, else 64.
size_t MessageBytes(const std::array<uint8_t, kIspReportBytes>& data) {
  if (!IsDeviceFrame(data)) return kIspReportBytes;
  return std::min<size_t>(data[kFrameLengthOffset] + kFrameOverheadBytes, kIspReportBytes);
}

TTrafficRecord MakeRecord(TTrafficDirection direction, uint8_t reportId, const uint8_t* bytes,
                          size_t count, std::string line) {
  TTrafficRecord record;
  record.Direction = direction;
  record.Time = toolkit::Clock::now();
  record.ReportId = reportId;
  if (count > 0) record.Bytes.assign(bytes, bytes + count);
  record.Line = std::move(line);
  return record;
}

}  // namespace

void TfmIsp::WriteReport(const uint8_t* data, int count) {
  const size_t dataBytes = data == nullptr ? 0 : static_cast<size_t>(std::max(count, 0));
  TTrafficRecord record = MakeRecord(TTrafficDirection::kWritten, 0, data, dataBytes,
                                     TrafficLine('W', 0, data, dataBytes));
  {
    std::lock_guard lock(HeldDeviceLock);
    if (HeldDevice != nullptr) {
      // Exactly the declared length, report ID included: zero past the data,
      // data beyond it not sent.
      const size_t reportBytes = HeldDevice->GetCaps().OutputReportByteLength;
      if (reportBytes > 0) {
        std::vector<uint8_t> report(reportBytes, 0);
        std::copy_n(data, std::min(dataBytes, reportBytes - 1), report.begin() + 1);
        ReportsWrittenCount.fetch_add(1);
        size_t written = 0;
        HeldDevice->WriteFile(report.data(), report.size(), written);
      }
    }
  }
  PostTraffic(std::move(record));
}

void TfmIsp::PostTraffic(TTrafficRecord record) {
  std::weak_ptr<TfmIsp*> weak = Self;
  Loop.Post([weak, record = std::move(record)] {
    if (auto self = weak.lock()) (*self)->AddTraffic(record);
  });
}

void TfmIsp::AddTraffic(const TTrafficRecord& record) {
  if (TrafficObserver) TrafficObserver(record);
  if (record.Direction != TTrafficDirection::kDropped) fmHidData.AddTrafficLine(record.Line);
}

void TfmIsp::NoteDroppedReport(const TInputReport& report) {
  // Only observers hear of it: the traffic window shows no line for a dropped report.
  if (!TrafficObserver) return;
  const size_t count = MessageBytes(report.Data);
  TrafficObserver(MakeRecord(TTrafficDirection::kDropped, report.ReportId, report.Data.data(),
                             count, TrafficLine('D', report.ReportId, report.Data.data(), count)));
}

TfmIsp::TInputReport TfmIsp::CopyReport(uint8_t reportId, const uint8_t* data, uint16_t size) {
  TInputReport report;
  report.ReportId = reportId;
  if (data != nullptr) {
    std::copy_n(data, std::min<size_t>(size, report.Data.size()), report.Data.begin());
  }
  return report;
}

void TfmIsp::HidCtlDeviceData(hid::TJvHidDevice* /*HidDev*/, uint8_t ReportID, const uint8_t* Data,
                              uint16_t Size) {
  const TInputReport report = CopyReport(ReportID, Data, Size);
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
  const bool stepOutstanding = UpdateState >= usConnect && UpdateState <= usProgramData;
  if (!stepOutstanding || !tmUsbWait.Enabled()) return false;
  if (ReportsWrittenCount.load() <= IspRequestMark) return false;
  // The first such report is kept, unless a later one echoes this request and the
  // kept one does not: a stray report, or a repeat of the previous step's reply
  // read late, must not stand in for the reply that follows it.
  if (EarlyIspReply && (EchoesRequest(*EarlyIspReply) || !EchoesRequest(report))) return false;
  EarlyIspReply = report;
  return true;
}

bool TfmIsp::EchoesRequest(const TInputReport& report) const {
  return ReadLe32(report.Data, kIspEchoOffset) == RequestSum;
}

void TfmIsp::AcceptReport(const TInputReport& report) {
  size_t messageBytes = kIspReportBytes;
  if (IsDeviceFrame(report.Data)) {
    const uint8_t frameLength = report.Data[kFrameLengthOffset];
    if (frameLength > kLargestFrameLength) {
      // The frame claims more than one report holds: nothing of it is passed on.
      AddTraffic(MakeRecord(
          TTrafficDirection::kRead, report.ReportId, report.Data.data(), report.Data.size(),
          TrafficLine('R', report.ReportId, report.Data.data(), report.Data.size()) +
              "-- dropped: frame length " + std::to_string(frameLength) + " exceeds the report"));
      return;
    }
    messageBytes = FrameBytesForLength(frameLength);
  }
  // One report per arming while a boot-loader step is outstanding.
  if (UpdateState >= usConnect) ReceiveEnabled = false;
  TTrafficRecord record =
      MakeRecord(TTrafficDirection::kRead, report.ReportId, report.Data.data(), messageBytes,
                 TrafficLine('R', report.ReportId, report.Data.data(), messageBytes));
  if (Link) Link->Receive(report.Data.data(), static_cast<int>(messageBytes));
  AddTraffic(record);
}

}  // namespace kv
