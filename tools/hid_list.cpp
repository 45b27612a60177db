// hid-list: prints every HID interface the system binding of this build sees,
// with its identifiers, report lengths and whether it could be opened for
// reading and writing, and names the unit's personality where it is the unit.
// Useful to check the udev rule on Linux or a driver on Windows before running
// the update tool.
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "hid/hid_platform.h"

namespace {

// USB identifiers of the unit: one vendor, one product per personality.
constexpr uint16_t kUnitVendorId = 0x0168;
constexpr uint16_t kRunModeProductId = 0x0821;
constexpr uint16_t kUpdateModeProductId = 0x0904;

const char* PersonalityOf(const kv::hid::HidAttributes& attributes) {
  if (attributes.VendorID != kUnitVendorId) return "";
  if (attributes.ProductID == kRunModeProductId) return "KV-93T run mode";
  if (attributes.ProductID == kUpdateModeProductId) return "KV-93T update mode";
  return "";
}

struct InterfaceReport {
  bool identified = false;
  bool read_write = false;
  kv::hid::HidAttributes attributes;
  kv::hid::HidCaps caps;
  bool caps_known = false;
  std::string problem;
};

// Opened the way the update tool opens a device: read-write, or without
// access rights when that is refused, which still allows the queries.
InterfaceReport Inspect(kv::hid::HidPlatform& platform, const std::string& path) {
  InterfaceReport report;
  uint32_t error = 0;
  auto handle = platform.Open(path, kv::hid::HidAccess::kReadWrite, false, error);
  report.read_write = handle != nullptr;
  if (!handle) {
    report.problem = "read-write open refused: " + platform.ErrorText(error);
    handle = platform.Open(path, kv::hid::HidAccess::kNone, false, error);
  }
  if (!handle) {
    report.problem = "cannot be opened: " + platform.ErrorText(error);
    return report;
  }
  report.identified = handle->GetAttributes(report.attributes);
  report.caps_known = handle->GetCaps(report.caps);
  return report;
}

void Print(const kv::hid::HidInterfaceInfo& info, const InterfaceReport& report) {
  if (report.identified) {
    std::printf("vendor 0x%04" PRIX16 "  product 0x%04" PRIX16 "  version 0x%04" PRIX16,
                report.attributes.VendorID, report.attributes.ProductID,
                report.attributes.VersionNumber);
  } else {
    std::printf("vendor ------  product ------  version ------");
  }
  if (report.caps_known) {
    std::printf("  in %3u  out %3u", static_cast<unsigned>(report.caps.InputReportByteLength),
                static_cast<unsigned>(report.caps.OutputReportByteLength));
  }
  std::printf("  %s", report.read_write ? "read-write" : "no access");
  if (report.identified) {
    const char* personality = PersonalityOf(report.attributes);
    if (*personality != '\0') std::printf("  <- %s", personality);
  }
  std::printf("\n    path:     %s\n    instance: %s\n", info.path.c_str(),
              info.instance_id.c_str());
  if (!report.problem.empty()) std::printf("    %s\n", report.problem.c_str());
}

}  // namespace

int main() {
  const std::unique_ptr<kv::hid::HidPlatform> platform = kv::hid::CreateSystemHidPlatform();
  if (!platform->Available()) {
    std::printf("HID access is not available on this system.\n");
    return 1;
  }
  const auto interfaces = platform->EnumerateInterfaces();
  int units = 0;
  for (const kv::hid::HidInterfaceInfo& info : interfaces) {
    const InterfaceReport report = Inspect(*platform, info.path);
    Print(info, report);
    if (report.identified && *PersonalityOf(report.attributes) != '\0') ++units;
  }
  std::printf("%zu HID interface%s, %d of them the KV-93T.\n", interfaces.size(),
              interfaces.size() == 1 ? "" : "s", units);
  return 0;
}
