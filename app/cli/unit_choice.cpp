#include "app/cli/unit_choice.h"

#include "app/isp.h"

namespace kv::cli {

namespace {

// ERROR_FILE_NOT_FOUND: what a hidden interface answers, as if it had gone.
constexpr uint32_t kHiddenInterfaceError = 2;

}  // namespace

bool TSeenInterface::IsUnit() const {
  return *Personality() != '\0';
}

const char* TSeenInterface::Personality() const {
  if (!Identified || Attributes.VendorID != uidVendor) return "";
  if (Attributes.ProductID == uidRunProduct) return "run";
  if (Attributes.ProductID == uidUpdateProduct) return "update";
  return "";
}

std::vector<TSeenInterface> SurveyInterfaces(hid::HidPlatform& platform) {
  std::vector<TSeenInterface> seen;
  for (const hid::HidInterfaceInfo& info : platform.EnumerateInterfaces()) {
    TSeenInterface entry;
    entry.Path = info.path;
    uint32_t error = 0;
    std::unique_ptr<hid::HidHandle> handle =
        platform.Open(info.path, hid::HidAccess::kReadWrite, false, error);
    entry.Writable = handle != nullptr;
    if (!handle) {
      entry.OpenError = error;
      // Without access rights the attributes can still be read.
      handle = platform.Open(info.path, hid::HidAccess::kNone, false, error);
    }
    if (handle) entry.Identified = handle->GetAttributes(entry.Attributes);
    seen.push_back(std::move(entry));
  }
  return seen;
}

TChosenUnitPlatform::TChosenUnitPlatform(std::shared_ptr<hid::HidPlatform> inner,
                                         std::set<std::string> hiddenPaths)
    : inner_(std::move(inner)), hidden_(std::move(hiddenPaths)) {}

std::vector<hid::HidInterfaceInfo> TChosenUnitPlatform::EnumerateInterfaces() {
  std::vector<hid::HidInterfaceInfo> shown;
  for (hid::HidInterfaceInfo& info : inner_->EnumerateInterfaces()) {
    if (!hidden_.contains(info.path)) shown.push_back(std::move(info));
  }
  return shown;
}

std::unique_ptr<hid::HidHandle> TChosenUnitPlatform::Open(const std::string& path,
                                                          hid::HidAccess access, bool forReading,
                                                          uint32_t& error) {
  if (hidden_.contains(path)) {
    error = kHiddenInterfaceError;
    return nullptr;
  }
  return inner_->Open(path, access, forReading, error);
}

}  // namespace kv::cli
