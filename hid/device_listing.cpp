#include "hid/device_listing.h"

#include <algorithm>
#include <utility>

#include "hid/jv_hid.h"
#include "toolkit/event_loop.h"

namespace kv::hid {

int InterfaceListing::UnitCount() const {
  return static_cast<int>(std::count_if(
      interfaces.begin(), interfaces.end(),
      [](const ListedInterface& listed) { return listed.personality != Kv93tPersonality::kNone; }));
}

int InterfaceListing::UsableUnitCount() const {
  return static_cast<int>(
      std::count_if(interfaces.begin(), interfaces.end(), [](const ListedInterface& listed) {
        return listed.personality != Kv93tPersonality::kNone && listed.read_write;
      }));
}

InterfaceListing ListHidInterfaces(std::shared_ptr<HidPlatform> platform) {
  InterfaceListing listing;
  listing.available = platform != nullptr && platform->Available();
  if (!listing.available) return listing;

  const std::unique_ptr<toolkit::EventLoop> loop = toolkit::CreatePortableEventLoop();
  TJvHidDeviceController controller(platform, *loop);
  bool scanned = false;
  controller.OnDeviceChange = [&scanned](TJvHidDeviceController*) { scanned = true; };
  controller.OnEnumerate = [&listing, &platform](TJvHidDevice* device, int) {
    ListedInterface listed;
    listed.path = device->DevicePath();
    listed.instance_id = device->DeviceInstance();
    listed.port = device->Port();
    listed.attributes = device->Attributes();
    listed.caps = device->GetCaps();
    listed.caps_known = listed.caps.InputReportByteLength != 0 ||
                        listed.caps.OutputReportByteLength != 0 || listed.caps.UsagePage != 0;
    listed.read_write = device->OpenedReadWrite();
    if (!listed.read_write) {
      listed.refusal = device->ReadWriteOpenError();
      listed.refusal_text = platform->ErrorText(listed.refusal);
      listed.access_hint = platform->AccessHint(listed.refusal);
    }
    listed.personality = PersonalityOf(listed.attributes);
    listing.interfaces.push_back(std::move(listed));
    return true;
  };
  // The first scan always reports a change; with nothing there it still runs.
  loop->RunUntil([&scanned] { return scanned; }, kListingScanLimit);
  controller.Enumerate();
  return listing;
}

}  // namespace kv::hid
