// Reading a HID report descriptor for what the tool needs from it: the byte
// lengths of the longest input, output and feature report and the usage of the
// first top-level collection. The lengths are counted the way the Windows HID
// class counts them, so that every platform hands the controller the same
// numbers: the longest report of each kind, padded to whole bytes, plus one
// byte for the report ID even when the device numbers no reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "hid/hid_platform.h"

namespace kv::hid {

struct ReportLayout {
  HidCaps caps;
  // True when the descriptor declares report IDs. Devices without them send
  // and expect reports with no ID byte on the wire; the Linux binding adds the
  // 0 that callers expect as the first byte of every input report.
  bool uses_report_ids = false;
};

// The largest descriptor the Linux kernel hands out (HID_MAX_DESCRIPTOR_SIZE).
constexpr size_t kMaxReportDescriptorSize = 4096;

// Empty for a descriptor that is cut short, unbalanced (collections, push and
// pop), declares report ID 0 or above 255, or declares a report longer than a
// 16-bit byte length can hold.
std::optional<ReportLayout> ParseReportDescriptor(const uint8_t* descriptor, size_t size);

}  // namespace kv::hid
