#include "hid/report_descriptor.h"

#include <array>
#include <limits>
#include <vector>

namespace kv::hid {
namespace {

// Item prefixes of a report descriptor with the size bits masked off: tag in
// the high nibble, type (main 0x00, global 0x04, local 0x08) in bits 2-3.
enum ItemPrefix : uint8_t {
  kMainInput = 0x80,
  kMainOutput = 0x90,
  kMainCollection = 0xA0,
  kMainFeature = 0xB0,
  kMainEndCollection = 0xC0,
  kGlobalUsagePage = 0x04,
  kGlobalReportSize = 0x74,
  kGlobalReportId = 0x84,
  kGlobalReportCount = 0x94,
  kGlobalPush = 0xA4,
  kGlobalPop = 0xB4,
  kLocalUsage = 0x08,
  kLongItem = 0xFE,  // followed by a data size byte and a tag byte
  kItemSizeMask = 0x03,
};

// The kernel keeps four levels; anything deeper is not a descriptor a device sends.
constexpr size_t kMaxPushDepth = 16;
constexpr size_t kReportKinds = 3;  // input, output, feature
constexpr size_t kReportIds = 256;

struct GlobalState {
  uint32_t usage_page = 0;
  uint32_t report_size = 0;
  uint32_t report_count = 0;
  uint32_t report_id = 0;
};

// Bits declared per report ID, for one kind of report.
using BitsPerId = std::array<uint64_t, kReportIds>;

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

uint32_t ItemValue(const uint8_t* data, size_t size) {
  uint32_t value = 0;
  for (size_t i = 0; i < size; ++i) value |= static_cast<uint32_t>(data[i]) << (8 * i);
  return value;
}

// The longest report of one kind in bytes with its ID byte, 0 when the
// descriptor has none of that kind; empty when it exceeds 16 bits.
std::optional<uint16_t> LongestReportBytes(const BitsPerId& bits) {
  uint64_t longest_bits = 0;
  for (uint64_t b : bits) longest_bits = b > longest_bits ? b : longest_bits;
  if (longest_bits == 0) return uint16_t{0};
  const uint64_t bytes = longest_bits / 8 + (longest_bits % 8 != 0 ? 1 : 0) + 1;
  if (bytes > std::numeric_limits<uint16_t>::max()) return std::nullopt;
  return static_cast<uint16_t>(bytes);
}

class DescriptorReader {
 public:
  std::optional<ReportLayout> Read(const uint8_t* descriptor, size_t size);

 private:
  bool ApplyMain(uint8_t prefix);
  bool ApplyGlobal(uint8_t prefix, uint32_t value);
  void ApplyLocal(uint8_t prefix, uint32_t value, size_t value_size);

  GlobalState global_;
  std::vector<GlobalState> pushed_;
  std::array<BitsPerId, kReportKinds> bits_{};
  size_t collection_depth_ = 0;
  bool top_collection_seen_ = false;
  bool usage_pending_ = false;
  uint32_t usage_ = 0;
  uint32_t usage_page_override_ = 0;  // from a 4-byte usage, which names its own page
  bool usage_has_page_ = false;
  ReportLayout layout_;
};

std::optional<ReportLayout> DescriptorReader::Read(const uint8_t* descriptor, size_t size) {
  size_t pos = 0;
  while (pos < size) {
    const uint8_t prefix = descriptor[pos];
    if (prefix == kLongItem) {
      if (size - pos < 3) return std::nullopt;
      const size_t data_size = descriptor[pos + 1];
      if (size - pos - 3 < data_size) return std::nullopt;
      pos += 3 + data_size;
      continue;
    }
    const size_t size_code = prefix & kItemSizeMask;
    const size_t value_size = size_code == 3 ? 4 : size_code;
    if (size - pos - 1 < value_size) return std::nullopt;
    const uint32_t value = ItemValue(descriptor + pos + 1, value_size);
    const uint8_t item = static_cast<uint8_t>(prefix & ~kItemSizeMask);
    pos += 1 + value_size;

    switch (item & 0x0C) {
      case 0x00:
        if (!ApplyMain(item)) return std::nullopt;
        break;
      case 0x04:
        if (!ApplyGlobal(item, value)) return std::nullopt;
        break;
      case 0x08:
        ApplyLocal(item, value, value_size);
        break;
      default:  // reserved type: skipped as the HID rules ask
        break;
    }
  }
  if (collection_depth_ != 0 || !pushed_.empty()) return std::nullopt;

  const auto input = LongestReportBytes(bits_[0]);
  const auto output = LongestReportBytes(bits_[1]);
  const auto feature = LongestReportBytes(bits_[2]);
  if (!input || !output || !feature) return std::nullopt;
  layout_.caps.InputReportByteLength = *input;
  layout_.caps.OutputReportByteLength = *output;
  layout_.caps.FeatureReportByteLength = *feature;
  return layout_;
}

bool DescriptorReader::ApplyMain(uint8_t prefix) {
  const uint64_t bits = static_cast<uint64_t>(global_.report_size) * global_.report_count;
  switch (prefix) {
    case kMainInput:
      bits_[0][global_.report_id] = SaturatingAdd(bits_[0][global_.report_id], bits);
      break;
    case kMainOutput:
      bits_[1][global_.report_id] = SaturatingAdd(bits_[1][global_.report_id], bits);
      break;
    case kMainFeature:
      bits_[2][global_.report_id] = SaturatingAdd(bits_[2][global_.report_id], bits);
      break;
    case kMainCollection:
      if (collection_depth_ == 0 && !top_collection_seen_) {
        top_collection_seen_ = true;
        layout_.caps.UsagePage =
            static_cast<uint16_t>(usage_has_page_ ? usage_page_override_ : global_.usage_page);
        layout_.caps.Usage = static_cast<uint16_t>(usage_pending_ ? usage_ : 0);
      }
      ++collection_depth_;
      break;
    case kMainEndCollection:
      if (collection_depth_ == 0) return false;
      --collection_depth_;
      break;
    default:
      break;
  }
  // Local items describe only the main item that follows them.
  usage_pending_ = false;
  usage_has_page_ = false;
  return true;
}

bool DescriptorReader::ApplyGlobal(uint8_t prefix, uint32_t value) {
  switch (prefix) {
    case kGlobalUsagePage:
      global_.usage_page = value;
      break;
    case kGlobalReportSize:
      global_.report_size = value;
      break;
    case kGlobalReportCount:
      global_.report_count = value;
      break;
    case kGlobalReportId:
      if (value == 0 || value >= kReportIds) return false;
      global_.report_id = value;
      layout_.uses_report_ids = true;
      break;
    case kGlobalPush:
      if (pushed_.size() >= kMaxPushDepth) return false;
      pushed_.push_back(global_);
      break;
    case kGlobalPop:
      if (pushed_.empty()) return false;
      global_ = pushed_.back();
      pushed_.pop_back();
      break;
    default:
      break;
  }
  return true;
}

void DescriptorReader::ApplyLocal(uint8_t prefix, uint32_t value, size_t value_size) {
  // Only the first usage before a collection names it.
  if (prefix != kLocalUsage || usage_pending_) return;
  usage_pending_ = true;
  if (value_size == 4) {
    usage_has_page_ = true;
    usage_page_override_ = value >> 16;
    usage_ = value & 0xFFFF;
  } else {
    usage_ = value;
  }
}

}  // namespace

std::optional<ReportLayout> ParseReportDescriptor(const uint8_t* descriptor, size_t size) {
  if (descriptor == nullptr && size != 0) return std::nullopt;
  if (size > kMaxReportDescriptorSize) return std::nullopt;
  DescriptorReader reader;
  return reader.Read(descriptor, size);
}

}  // namespace kv::hid
