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

TSeenInterface SurveyInterface(hid::HidPlatform& platform, const hid::HidInterfaceInfo& info) {
  TSeenInterface entry;
  entry.Path = info.path;
  entry.Port = info.port;
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
  return entry;
}

std::vector<TSeenInterface> SurveyInterfaces(hid::HidPlatform& platform) {
  std::vector<TSeenInterface> seen;
  for (const hid::HidInterfaceInfo& info : platform.EnumerateInterfaces()) {
    seen.push_back(SurveyInterface(platform, info));
  }
  return seen;
}

TChosenUnitPlatform::TChosenUnitPlatform(std::shared_ptr<hid::HidPlatform> inner,
                                         std::set<std::string> hiddenPaths)
    : TPlatformView(std::move(inner)), hidden_(std::move(hiddenPaths)) {}

std::vector<hid::HidInterfaceInfo> TChosenUnitPlatform::EnumerateInterfaces() {
  std::vector<hid::HidInterfaceInfo> shown;
  for (hid::HidInterfaceInfo& info : Inner()->EnumerateInterfaces()) {
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
  return Inner()->Open(path, access, forReading, error);
}

std::string UnitKey(const TSeenInterface& unit) {
  return unit.Port.empty() ? unit.Path : unit.Port;
}

TDeviceChangeFanOut::TDeviceChangeFanOut(std::shared_ptr<hid::HidPlatform> platform)
    : platform_(std::move(platform)) {
  platform_->SetDeviceChangeHandler(
      [this](uint32_t wparam, intptr_t lparam) { Notify(wparam, lparam); });
}

TDeviceChangeFanOut::~TDeviceChangeFanOut() {
  platform_->SetDeviceChangeHandler({});
}

void TDeviceChangeFanOut::SetHandler(const void* subscriber, hid::DeviceChangeHandler handler) {
  // Under the lock that Notify holds while it calls: once this returns, no call
  // to the old handler is in progress.
  MutexLock lock(mutex_);
  if (handler) {
    handlers_[subscriber] = std::move(handler);
  } else {
    handlers_.erase(subscriber);
  }
}

void TDeviceChangeFanOut::Notify(uint32_t wparam, intptr_t lparam) {
  MutexLock lock(mutex_);
  // Each handler only hands the change to its own loop: nothing here blocks.
  for (const auto& [subscriber, handler] : handlers_) handler(wparam, lparam);
}

TPinnedUnitPlatform::TPinnedUnitPlatform(std::shared_ptr<TDeviceChangeFanOut> fanOut,
                                         std::string port)
    : TPlatformView(fanOut->Platform()), fanOut_(std::move(fanOut)), port_(std::move(port)) {}

TPinnedUnitPlatform::~TPinnedUnitPlatform() {
  fanOut_->SetHandler(this, {});
}

std::vector<hid::HidInterfaceInfo> TPinnedUnitPlatform::EnumerateInterfaces() {
  std::vector<hid::HidInterfaceInfo> shown;
  for (hid::HidInterfaceInfo& info : Inner()->EnumerateInterfaces()) {
    if (info.port == port_) shown.push_back(std::move(info));
  }
  return shown;
}

std::unique_ptr<hid::HidHandle> TPinnedUnitPlatform::Open(const std::string& path,
                                                          hid::HidAccess access, bool forReading,
                                                          uint32_t& error) {
  // The path must still be on this port now: a path of a unit that left may
  // have been given to another one since.
  for (const hid::HidInterfaceInfo& info : Inner()->EnumerateInterfaces()) {
    if (info.path == path && info.port == port_) {
      return Inner()->Open(path, access, forReading, error);
    }
  }
  error = kHiddenInterfaceError;
  return nullptr;
}

}  // namespace kv::cli
