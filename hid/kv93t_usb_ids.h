// The unit's USB identity: one vendor, one product per personality. Nothing
// else about a device tells the unit apart. Every lister and the window's
// detection take the numbers from here.
#pragma once

#include <cstdint>

#include "hid/hid_platform.h"

namespace kv::hid {

inline constexpr uint16_t kKv93tVendorId = 0x0168;
inline constexpr uint16_t kKv93tRunProductId = 0x0821;     // application firmware
inline constexpr uint16_t kKv93tUpdateProductId = 0x0904;  // boot loader

enum class Kv93tPersonality { kNone, kRun, kUpdate };

constexpr Kv93tPersonality PersonalityOf(const HidAttributes& attributes) {
  if (attributes.VendorID != kKv93tVendorId) return Kv93tPersonality::kNone;
  if (attributes.ProductID == kKv93tRunProductId) return Kv93tPersonality::kRun;
  if (attributes.ProductID == kKv93tUpdateProductId) return Kv93tPersonality::kUpdate;
  return Kv93tPersonality::kNone;
}

// "run", "update", or "" for any other device.
constexpr const char* PersonalityWord(Kv93tPersonality personality) {
  switch (personality) {
    case Kv93tPersonality::kRun:
      return "run";
    case Kv93tPersonality::kUpdate:
      return "update";
    case Kv93tPersonality::kNone:
      break;
  }
  return "";
}

}  // namespace kv::hid
