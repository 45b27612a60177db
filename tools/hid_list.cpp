// hid-list: prints every HID interface the controller of this build lists,
// with its identifiers, USB port, report lengths and whether it could be
// opened for reading and writing (and, when not, why and what to do), and
// names the unit's personality where it is the unit. Useful to check the udev rule on
// Linux or a driver on Windows before running the update tool; it shows what
// kv93t-update --list shows, from the same listing, with the instance ids and
// report lengths added.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "hid/device_listing.h"
#include "hid/hid_platform.h"
#include "hid/kv93t_usb_ids.h"

namespace {

void Print(const kv::hid::ListedInterface& listed) {
  std::printf("vendor 0x%04" PRIX16 "  product 0x%04" PRIX16 "  version 0x%04" PRIX16,
              listed.attributes.VendorID, listed.attributes.ProductID,
              listed.attributes.VersionNumber);
  if (listed.caps_known) {
    std::printf("  in %3u  out %3u", static_cast<unsigned>(listed.caps.InputReportByteLength),
                static_cast<unsigned>(listed.caps.OutputReportByteLength));
  }
  std::printf("  %s", listed.read_write ? "read-write" : "no access");
  if (listed.personality != kv::hid::Kv93tPersonality::kNone)
    std::printf("  <- KV-93T %s mode", kv::hid::PersonalityWord(listed.personality));
  std::printf("\n    path:     %s\n    instance: %s\n    port:     %s\n", listed.path.c_str(),
              listed.instance_id.c_str(), listed.port.empty() ? "-" : listed.port.c_str());
  if (!listed.read_write) {
    std::printf("    read-write open refused: %s\n", listed.refusal_text.c_str());
    if (!listed.access_hint.empty()) std::printf("    %s\n", listed.access_hint.c_str());
  }
}

constexpr int kExitUsage = 2;

void PrintUsage(std::FILE* to) {
  std::fprintf(to,
               "usage: hid-list [--help]\n"
               "Lists every HID interface this system shows, with its identifiers, report\n"
               "lengths and access, and names the KV-93T where it is one. Exit 0 once listed,\n"
               "1 when HID access is not available, 2 for any argument but --help.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    PrintUsage(stdout);
    return 0;
  }
  if (argc > 1) {
    std::fprintf(stderr, "hid-list: unexpected argument '%s'\n", argv[1]);
    PrintUsage(stderr);
    return kExitUsage;
  }
  const kv::hid::InterfaceListing listing =
      kv::hid::ListHidInterfaces(kv::hid::CreateSystemHidPlatform());
  if (!listing.available) {
    std::printf("HID access is not available on this system.\n");
    return 1;
  }
  for (const kv::hid::ListedInterface& listed : listing.interfaces) Print(listed);
  const size_t count = listing.interfaces.size();
  std::printf("%zu HID interface%s, %d of them the KV-93T.\n", count, count == 1 ? "" : "s",
              listing.UnitCount());
  return 0;
}
