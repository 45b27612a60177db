#include "app/cli/tool_modes.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "app/cli/json_text.h"
#include "app/isp.h"
#include "app/isp_application.h"
#include "hid/device_listing.h"
#include "hid/hid_platform.h"
#include "hid/kv93t_usb_ids.h"
#include "image/dsp_image.h"
#include "image/image_dump.h"
#include "image/mcu_image.h"

#include "engine/unit_check.h"
#include "tool_version.h"

namespace kv::cli {

namespace {

// "KV-93T update mode", the longest entry of its column.
constexpr size_t kPersonalityColumn = 18;
// "read-write" and "no access".
constexpr size_t kAccessColumn = 10;

std::string PersonalityColumn(const hid::ListedInterface& listed) {
  const std::string word = hid::PersonalityWord(listed.personality);
  return word.empty() ? std::string() : "KV-93T " + word + " mode";
}

std::string Padded(std::string text, size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

const char* AccessWord(const hid::ListedInterface& listed) {
  return listed.read_write ? "read-write" : "no access";
}

// The port names the unit through its switch to the other personality, where
// the path changes; "-" where the system does not tell it.
std::string PortColumn(const hid::ListedInterface& listed) {
  return "port " + (listed.port.empty() ? std::string("-") : listed.port);
}

std::string PlainDeviceLines(const hid::ListedInterface& listed) {
  char ids[64];
  std::snprintf(ids, sizeof ids, "vendor 0x%04" PRIX16 "  product 0x%04" PRIX16,
                listed.attributes.VendorID, listed.attributes.ProductID);
  std::string lines = std::string(ids) + "  " +
                      Padded(PersonalityColumn(listed), kPersonalityColumn) + "  " +
                      Padded(AccessWord(listed), kAccessColumn) + "  " + PortColumn(listed) + "  " +
                      listed.path + "\n";
  if (!listed.read_write) {
    lines += "    read-write open refused: " + listed.refusal_text + "\n";
    if (!listed.access_hint.empty()) lines += "    " + listed.access_hint + "\n";
  }
  return lines;
}

std::string JsonDeviceLine(const hid::ListedInterface& listed) {
  TJsonObject object;
  object.Add("event", "device").Add("path", listed.path).Add("identified", true);
  object.Add("vendor", int64_t{listed.attributes.VendorID})
      .Add("product", int64_t{listed.attributes.ProductID})
      .Add("personality", hid::PersonalityWord(listed.personality))
      .Add("access", AccessWord(listed));
  if (!listed.port.empty()) object.Add("port", listed.port);
  if (!listed.read_write) {
    object.Add("refusal", listed.refusal_text).Add("hint", listed.access_hint);
  }
  return object.Text() + "\n";
}

// Why no unit can be used, for the error stream: the refusal and its remedy
// of the first unit listed without access, or that none is there.
std::string NoUsableUnitText(const hid::InterfaceListing& listing) {
  for (const hid::ListedInterface& listed : listing.interfaces) {
    if (listed.personality == hid::Kv93tPersonality::kNone || listed.read_write) continue;
    std::string text = "kv93t-update: the KV-93T at " + listed.path +
                       " cannot be opened for reading and writing: " + listed.refusal_text;
    if (!listed.access_hint.empty()) text += "; " + listed.access_hint;
    return text + "\n";
  }
  return "kv93t-update: no KV-93T found\n";
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
  const hid::InterfaceListing listing = [&options] {
    const TIspPlatform platform(options.Simulate, options.Sim, std::nullopt,
                                hid::kHostSimVocabulary);
    return hid::ListHidInterfaces(platform.Platform());
  }();
  if (!listing.available) {
    err << "kv93t-update: HID access is not available on this system\n";
    return TExitCode::kFailed;
  }
  for (const hid::ListedInterface& listed : listing.interfaces)
    out << (options.Json ? JsonDeviceLine(listed) : PlainDeviceLines(listed));
  const size_t count = listing.interfaces.size();
  if (!options.Json) {
    out << count << (count == 1 ? " HID device, " : " HID devices, ") << listing.UnitCount()
        << " of them the KV-93T.\n";
  }
  if (listing.UsableUnitCount() > 0) return TExitCode::kUpdated;
  err << NoUsableUnitText(listing);
  return TExitCode::kNoProgress;
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

namespace {

// CRC-32 (IEEE 802.3, reflected, as zip and `crc32` compute it).
uint32_t Crc32(const uint8_t* bytes, size_t count) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

uint32_t ImageCrc(const FirmwareImage& image) {
  const size_t bytes = static_cast<size_t>(std::max<int32_t>(image.ImageByteCount, 0));
  return Crc32(image.ImageBuffer.data(), std::min(bytes, image.ImageBuffer.size()));
}

std::string ImageLine(const char* name, const FirmwareImage& image) {
  char line[128];
  std::snprintf(line, sizeof line, "%s: %d bytes, CRC-32 %08" PRIX32, name,
                std::max<int32_t>(image.ImageByteCount, 0), ImageCrc(image));
  return line;
}

// The embedded images as the window prepares them; null when one cannot be.
std::unique_ptr<FirmwareImage> PreparedMcuImage() {
  auto image = std::make_unique<FirmwareImage>();
  if (!Succeeded(ParseMcuImage(*image, kMcuImageBound, EmbeddedMcuHexLines(),
                               [](const std::string&) {}))) {
    return nullptr;
  }
  return image;
}

std::unique_ptr<FirmwareImage> PreparedDspImage() {
  auto image = std::make_unique<FirmwareImage>();
  if (!PrepareDspImage(*image)) return nullptr;
  return image;
}

}  // namespace

std::optional<TImageCrcs> EmbeddedImageCrcs() {
  const std::unique_ptr<FirmwareImage> mcu = PreparedMcuImage();
  const std::unique_ptr<FirmwareImage> dsp = PreparedDspImage();
  if (!mcu || !dsp) return std::nullopt;
  return TImageCrcs{ImageCrc(*mcu), ImageCrc(*dsp)};
}

std::string HexText(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, static_cast<unsigned>(value));
  return text;
}

const char* ToolVersion() {
  return kToolVersion;
}

TExitCode PrintVersion(std::ostream& out, std::ostream& err) {
  out << "kv93t-update " << kToolVersion << " (" << TfmIsp::kCaption << ")\n";
  const std::unique_ptr<FirmwareImage> mcu = PreparedMcuImage();
  if (!mcu) {
    err << "kv93t-update: the embedded microcontroller image cannot be prepared\n";
    return TExitCode::kFailed;
  }
  out << ImageLine("microcontroller image", *mcu) << '\n';
  const std::unique_ptr<FirmwareImage> dsp = PreparedDspImage();
  if (!dsp) {
    err << "kv93t-update: the embedded DSP program cannot be prepared\n";
    return TExitCode::kFailed;
  }
  out << ImageLine("DSP program image", *dsp) << '\n';
  out << "accepted unit: type 0x" << std::hex << std::uppercase << int{uaUnitTypeKv93t} << std::dec
      << ", model \"" << kUnitModel << "\", version " << kLowestAcceptedVersion;
  if (kHighestAcceptedVersion != kLowestAcceptedVersion) out << " to " << kHighestAcceptedVersion;
  out << '\n';
  return TExitCode::kUpdated;
}

}  // namespace kv::cli
