// What a user whom the system refuses the unit's hidraw node can do about it
// (Linux). The project's udev rule (packaging/70-kv93t.rules) gives the node
// to the user at the seat (logind's uaccess) and to the plugdev group. Where
// the rule is not installed, installing it is the answer; where it is (the
// Debian package puts it in place), the user is neither at the seat nor in
// plugdev, and installing it again would change nothing.
#pragma once

#include <cstdint>
#include <string>

#include "hid/interface_gone.h"

namespace kv::hid {

// `installed_rule`: the path where udev reads the rule from, or "" when it is
// in none of udev's rule folders. Empty for errors other than EACCES and EPERM.
inline std::string LinuxAccessHint(uint32_t error, const std::string& installed_rule) {
  if (error != kLinuxEacces && error != kLinuxEperm) return {};
  if (!installed_rule.empty()) {
    return "this user may not open the unit's hidraw node, although the udev rule " +
           installed_rule +
           " is installed: it gives the node to the user logged in at the seat and to the "
           "plugdev group; add this user to plugdev (sudo usermod -aG plugdev $USER), log in "
           "again, then unplug and replug the unit";
  }
  return "this user may not open the unit's hidraw node: install the udev rule "
         "packaging/70-kv93t.rules (sudo cp packaging/70-kv93t.rules /etc/udev/rules.d/ && "
         "sudo udevadm control --reload), then unplug and replug the unit; without logind, "
         "add the user to the plugdev group";
}

}  // namespace kv::hid
