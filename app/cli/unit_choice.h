// Which KV-93T a session of the command line works on. A unit is known by its
// USB port, which it keeps when it re-enumerates in its other personality under
// a new path. A single session stops before sending anything when several units
// are attached unless --path names one (by port or path); --all and --station
// give each unit a session of its own, pinned to its port.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "hid/hid_platform.h"
#include "toolkit/thread_annotations.h"

namespace kv::cli {

// One HID interface as the command line sees it before the window does.
struct TSeenInterface {
  std::string Path;
  std::string Port;         // empty when the platform cannot tell
  bool Identified = false;  // the attributes could be read
  hid::HidAttributes Attributes;
  bool Writable = false;            // it opens read-write (the update needs that)
  uint32_t OpenError = 0;           // the system's code when it does not
  bool IsUnit() const;              // the KV-93T in either personality
  const char* Personality() const;  // "run", "update" or ""
};

// Every interface the platform lists, each opened once for its attributes.
std::vector<TSeenInterface> SurveyInterfaces(hid::HidPlatform& platform);
// One of them.
TSeenInterface SurveyInterface(hid::HidPlatform& platform, const hid::HidInterfaceInfo& info);

// A platform seen through a narrower view or a recorder: whatever a view does not
// change passes to the platform inside it.
class TPlatformView : public hid::HidPlatform {
 public:
  explicit TPlatformView(std::shared_ptr<hid::HidPlatform> inner) : inner_(std::move(inner)) {}

  bool Available() const override { return inner_->Available(); }
  std::vector<hid::HidInterfaceInfo> EnumerateInterfaces() override {
    return inner_->EnumerateInterfaces();
  }
  std::unique_ptr<hid::HidHandle> Open(const std::string& path, hid::HidAccess access,
                                       bool forReading, uint32_t& error) override {
    return inner_->Open(path, access, forReading, error);
  }
  void SetDeviceChangeHandler(hid::DeviceChangeHandler handler) override {
    inner_->SetDeviceChangeHandler(std::move(handler));
  }
  std::string ErrorText(uint32_t error) const override { return inner_->ErrorText(error); }
  bool IsGoneError(uint32_t error) const override { return inner_->IsGoneError(error); }
  std::string AccessHint(uint32_t error) const override { return inner_->AccessHint(error); }

 protected:
  const std::shared_ptr<hid::HidPlatform>& Inner() const { return inner_; }

 private:
  const std::shared_ptr<hid::HidPlatform> inner_;
};

// Shows the controller every interface except those set aside: the other units
// attached when the session began. A unit that leaves the bus and comes back
// in its other personality arrives under a new path and stays visible, so the
// chosen unit is followed through its switches while the others stay hidden.
class TChosenUnitPlatform final : public TPlatformView {
 public:
  TChosenUnitPlatform(std::shared_ptr<hid::HidPlatform> inner, std::set<std::string> hiddenPaths);

  std::vector<hid::HidInterfaceInfo> EnumerateInterfaces() override;
  std::unique_ptr<hid::HidHandle> Open(const std::string& path, hid::HidAccess access,
                                       bool forReading, uint32_t& error) override;

 private:
  const std::set<std::string> hidden_;
};

// What names a unit: its port, or its path where the platform tells no port.
std::string UnitKey(const TSeenInterface& unit);

// Passes the device changes of one platform on to several subscribers (one per
// session): a platform has one handler.
class TDeviceChangeFanOut {
 public:
  explicit TDeviceChangeFanOut(std::shared_ptr<hid::HidPlatform> platform);
  ~TDeviceChangeFanOut();
  TDeviceChangeFanOut(const TDeviceChangeFanOut&) = delete;
  TDeviceChangeFanOut& operator=(const TDeviceChangeFanOut&) = delete;

  const std::shared_ptr<hid::HidPlatform>& Platform() const { return platform_; }
  // An empty handler removes the subscriber; no call to its handler is in
  // progress once this returns.
  void SetHandler(const void* subscriber, hid::DeviceChangeHandler handler);

 private:
  void Notify(uint32_t wparam, intptr_t lparam);

  const std::shared_ptr<hid::HidPlatform> platform_;
  Mutex mutex_;
  std::map<const void*, hid::DeviceChangeHandler> handlers_ KV_GUARDED_BY(mutex_);
};

// Shows the controller the interfaces on one USB port alone: the unit there,
// whichever personality and path it comes back with, and never another unit,
// however the others switch around it.
class TPinnedUnitPlatform final : public TPlatformView {
 public:
  TPinnedUnitPlatform(std::shared_ptr<TDeviceChangeFanOut> fanOut, std::string port);
  ~TPinnedUnitPlatform() override;

  std::vector<hid::HidInterfaceInfo> EnumerateInterfaces() override;
  std::unique_ptr<hid::HidHandle> Open(const std::string& path, hid::HidAccess access,
                                       bool forReading, uint32_t& error) override;
  void SetDeviceChangeHandler(hid::DeviceChangeHandler handler) override {
    fanOut_->SetHandler(this, std::move(handler));
  }

 private:
  const std::shared_ptr<TDeviceChangeFanOut> fanOut_;
  const std::string port_;
};

}  // namespace kv::cli
