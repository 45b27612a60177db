// How report I/O reads and logs reports, as pure functions: the traffic lines of
// the HID traffic window, and how many bytes of an input report form the message
// handed to the link. The main window (app/isp_report_io.cpp) writes and takes
// the reports.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "engine/isp_report.h"

namespace kv {

// How a report passed the window's report I/O; the letter starts its line.
enum class TTrafficDirection : char {
  kWritten = 'W',  // handed to the device by WriteReport
  kRead = 'R',     // read and handed on (the traffic window's read line)
  kDropped = 'D',  // read but dropped: no arming was open; the traffic window shows none
};

// "W %02X  " or "R %02X  " with the report ID, then "%02X " per byte.
std::string TrafficLine(TTrafficDirection direction, uint8_t reportId,
                        std::span<const uint8_t> bytes);

// An input report as the engine reads it: 64 data bytes, zero past what the
// device sent, so nothing beyond the report is ever read.
using TInputReportData = std::array<uint8_t, kIspReportBytes>;
TInputReportData InputReportData(const uint8_t* data, size_t size);

// Data bytes 0 to 3 are 0x10 0x02 0x01 0x00: a run-mode frame from the unit.
bool IsDeviceFrame(const TInputReportData& data);

// The message an input report carries: a device frame's L + 8 bytes, or the 64
// bytes of a boot-loader reply. A frame whose length byte claims more than the
// report holds carries none.
struct TInputMessage {
  size_t Bytes = 0;
  bool Oversized = false;
  uint8_t ClaimedLength = 0;  // a frame's byte 4
};
TInputMessage MessageOfReport(const TInputReportData& data);

// Appended to the read line of an oversized frame, which is listed but not passed on.
std::string OversizedFrameNote(uint8_t claimedLength);

// A boot-loader reply's checksum echo (bytes 0 to 3) equals the request's sum.
bool EchoesRequest(const TInputReportData& data, uint32_t requestSum);

}  // namespace kv
