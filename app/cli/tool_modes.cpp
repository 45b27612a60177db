#include "app/cli/tool_modes.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "app/cli/json_text.h"
#include "app/isp.h"
#include "hid/hid_platform.h"
#include "hid/sim_bus.h"
#include "image/dsp_image.h"
#include "image/image_dump.h"
#include "image/mcu_image.h"
#include "sim/simulated_setup.h"

#ifndef KV_VERSION
#define KV_VERSION "unknown"
#endif

namespace kv::cli {

namespace {

// "KV-93T update mode", the longest entry of its column.
constexpr size_t kPersonalityColumn = 18;

struct TDeviceEntry {
  std::string Path;
  bool Identified = false;
  hid::HidAttributes Attributes;
};

const char* PersonalityOf(const TDeviceEntry& entry) {
  if (!entry.Identified || entry.Attributes.VendorID != uidVendor) return "";
  if (entry.Attributes.ProductID == uidRunProduct) return "run";
  if (entry.Attributes.ProductID == uidUpdateProduct) return "update";
  return "";
}

// Opened the way the controller opens a device it only lists: read-write, or
// without access rights when that is refused, which still allows the query.
TDeviceEntry Identify(hid::HidPlatform& platform, const hid::HidInterfaceInfo& info) {
  TDeviceEntry entry;
  entry.Path = info.path;
  uint32_t error = 0;
  std::unique_ptr<hid::HidHandle> handle =
      platform.Open(info.path, hid::HidAccess::kReadWrite, false, error);
  if (!handle) handle = platform.Open(info.path, hid::HidAccess::kNone, false, error);
  if (handle) entry.Identified = handle->GetAttributes(entry.Attributes);
  return entry;
}

std::string PlainDeviceLine(const TDeviceEntry& entry) {
  char ids[64];
  if (entry.Identified) {
    std::snprintf(ids, sizeof ids, "vendor 0x%04" PRIX16 "  product 0x%04" PRIX16,
                  entry.Attributes.VendorID, entry.Attributes.ProductID);
  } else {
    std::snprintf(ids, sizeof ids, "vendor ------  product ------");
  }
  const std::string personality = PersonalityOf(entry);
  std::string column = personality.empty() ? std::string() : "KV-93T " + personality + " mode";
  column.resize(kPersonalityColumn, ' ');
  return std::string(ids) + "  " + column + "  " + entry.Path;
}

std::string JsonDeviceLine(const TDeviceEntry& entry) {
  TJsonObject object;
  object.Add("event", "device").Add("path", entry.Path).Add("identified", entry.Identified);
  object.Add("vendor", int64_t{entry.Attributes.VendorID})
      .Add("product", int64_t{entry.Attributes.ProductID})
      .Add("personality", PersonalityOf(entry));
  return object.Text();
}

std::string WithoutCarriageReturns(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (c != '\r') result += c;
  }
  return result;
}

}  // namespace

TExitCode ListDevices(const TCliOptions& options, std::ostream& out, std::ostream& err) {
  std::shared_ptr<hid::HidPlatform> platform;
  std::shared_ptr<hid::SimulatedHidBus> bus;
  std::unique_ptr<sim::SimulatedSetup> setup;
  if (options.Simulate) {
    bus = std::make_shared<hid::SimulatedHidBus>();
    setup = std::make_unique<sim::SimulatedSetup>(*bus, options.Sim);
    platform = bus;
  } else {
    platform = hid::CreateSystemHidPlatform();
  }
  if (!platform || !platform->Available()) {
    err << "kv93t-update: HID access is not available on this system\n";
    return TExitCode::kFailed;
  }
  int units = 0;
  const std::vector<hid::HidInterfaceInfo> interfaces = platform->EnumerateInterfaces();
  for (const hid::HidInterfaceInfo& info : interfaces) {
    const TDeviceEntry entry = Identify(*platform, info);
    if (*PersonalityOf(entry) != '\0') ++units;
    out << (options.Json ? JsonDeviceLine(entry) : PlainDeviceLine(entry)) << '\n';
  }
  if (!options.Json) {
    out << interfaces.size() << (interfaces.size() == 1 ? " HID device, " : " HID devices, ")
        << units << " of them the KV-93T.\n";
  }
  setup.reset();
  return TExitCode::kUpdated;
}

TExitCode DumpEmbeddedImage(const TCliOptions& options, std::ostream& out, std::ostream& err) {
  auto image = std::make_unique<FirmwareImage>();
  if (options.Dump == TDumpImage::kMcu) {
    const McuParseOutcome outcome =
        ParseMcuImage(*image, kMcuImageBound, EmbeddedMcuHexLines(),
                      [&err](const std::string& text) { err << "kv93t-update: " << text << '\n'; });
    if (!Succeeded(outcome)) {
      err << "kv93t-update: the embedded microcontroller image cannot be prepared\n";
      return TExitCode::kFailed;
    }
  } else if (!PrepareDspImage(*image)) {
    err << "kv93t-update: the embedded DSP program cannot be prepared\n";
    return TExitCode::kFailed;
  }
  // The listing ends its lines the Windows way; the stream ends them the local way.
  out << WithoutCarriageReturns(DumpImage(image->ImageBuffer, image->ImageByteCount, 0));
  out.flush();
  return TExitCode::kUpdated;
}

void PrintVersion(std::ostream& out) {
  out << "kv93t-update " << KV_VERSION << " (" << TfmIsp::kCaption << ")\n";
}

}  // namespace kv::cli
