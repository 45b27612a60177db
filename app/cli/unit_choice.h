// Which KV-93T the command line works on. Several attached units are never
// updated side by side: the session stops before sending anything unless
// --path names one, and then the window logic sees that unit alone.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "hid/hid_platform.h"

namespace kv::cli {

// One HID interface as the command line sees it before the window does.
struct TSeenInterface {
  std::string Path;
  bool Identified = false;  // the attributes could be read
  hid::HidAttributes Attributes;
  bool Writable = false;            // it opens read-write (the update needs that)
  uint32_t OpenError = 0;           // the system's code when it does not
  bool IsUnit() const;              // the KV-93T in either personality
  const char* Personality() const;  // "run", "update" or ""
};

// Every interface the platform lists, each opened once for its attributes.
std::vector<TSeenInterface> SurveyInterfaces(hid::HidPlatform& platform);

// Shows the controller every interface except those set aside: the other units
// attached when the session began. A unit that leaves the bus and comes back
// in its other personality arrives under a new path and stays visible, so the
// chosen unit is followed through its switches while the others stay hidden.
class TChosenUnitPlatform final : public hid::HidPlatform {
 public:
  TChosenUnitPlatform(std::shared_ptr<hid::HidPlatform> inner, std::set<std::string> hiddenPaths);

  bool Available() const override { return inner_->Available(); }
  std::vector<hid::HidInterfaceInfo> EnumerateInterfaces() override;
  std::unique_ptr<hid::HidHandle> Open(const std::string& path, hid::HidAccess access,
                                       bool forReading, uint32_t& error) override;
  void SetDeviceChangeHandler(hid::DeviceChangeHandler handler) override {
    inner_->SetDeviceChangeHandler(std::move(handler));
  }
  std::string ErrorText(uint32_t error) const override { return inner_->ErrorText(error); }
  bool IsGoneError(uint32_t error) const override { return inner_->IsGoneError(error); }
  std::string AccessHint(uint32_t error) const override { return inner_->AccessHint(error); }

 private:
  const std::shared_ptr<hid::HidPlatform> inner_;
  const std::set<std::string> hidden_;
};

}  // namespace kv::cli
