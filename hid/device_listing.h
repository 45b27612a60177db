// Every HID interface the controller lists, as kv93t-update --list and hid-list
// show it: identifiers, report lengths, whether it may be opened for reading
// and writing and, when not, why and what to do about it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hid/hid_platform.h"
#include "hid/kv93t_usb_ids.h"

namespace kv::hid {

// How long the listing waits for the controller's first scan.
constexpr std::chrono::milliseconds kListingScanLimit{5000};

struct ListedInterface {
  std::string path;
  std::string instance_id;
  std::string port;  // empty when the platform cannot tell
  HidAttributes attributes;
  bool caps_known = false;
  HidCaps caps;
  bool read_write = false;
  uint32_t refusal = 0;      // why the read-write open was refused; 0 when it was not
  std::string refusal_text;  // the system's text for it
  std::string access_hint;   // what the user can do about it; may be empty
  Kv93tPersonality personality = Kv93tPersonality::kNone;
};

struct InterfaceListing {
  bool available = false;  // false: this system offers no HID access at all
  std::vector<ListedInterface> interfaces;

  // Listed KV-93T interfaces, and those of them this user may open.
  int UnitCount() const;
  int UsableUnitCount() const;
};

// Runs the controller's first scan on a loop of its own and walks its device
// list with Enumerate; no device is checked out.
InterfaceListing ListHidInterfaces(std::shared_ptr<HidPlatform> platform);

}  // namespace kv::hid
